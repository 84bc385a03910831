#include "support/efs_image_builder.h"

#include <algorithm>

#include "dorv/efs.h"

namespace dorv::test {

uint32_t ref_crc32(uint32_t seed, const uint8_t* data, size_t length) {
    uint32_t crc = seed;
    for (size_t i = 0; i < length; ++i) {
        crc ^= data[i];
        for (int bit = 0; bit < 8; ++bit) crc = (crc & 1) ? (crc >> 1) ^ 0xEDB88320u : crc >> 1;
    }
    return crc;
}

uint16_t ref_crc16(uint16_t seed, const uint8_t* data, size_t length) {
    uint16_t crc = seed;
    for (size_t i = 0; i < length; ++i) {
        crc = static_cast<uint16_t>(crc ^ (data[i] << 8));
        for (int bit = 0; bit < 8; ++bit) {
            crc = static_cast<uint16_t>((crc & 0x8000) ? (crc << 1) ^ 0x1021 : crc << 1);
        }
    }
    return crc;
}

std::vector<uint8_t> efs_ftbl(const EfsLayoutRow& row) {
    return FtblBuilder().add_sku(row.sku_id, {}).add_efs_row(row).build();
}

int load_efs_layout(const EfsLayoutRow& row) {
    const std::vector<uint8_t> ftbl = efs_ftbl(row);
    return load_autogen_data(ftbl.data(), static_cast<int>(row.sku_id), static_cast<uint32_t>(ftbl.size()));
}

EfsLayoutRow efs_row(uint32_t b, uint32_t v, uint32_t s, std::vector<EfsLayoutFile> files,
                     uint32_t files_num) {
    EfsLayoutRow row;
    row.bm_num = b;
    row.valid_block_num = v;
    row.non_valid_block_num = s;
    row.files_num = files_num;
    row.files = std::move(files);
    return row;
}

namespace {

void put32(uint8_t* p, uint32_t v) {
    for (int i = 0; i < 4; ++i) p[i] = static_cast<uint8_t>(v >> (8 * i));
}
uint32_t get32(const uint8_t* p) {
    return p[0] | (p[1] << 8) | (p[2] << 16) | (static_cast<uint32_t>(p[3]) << 24);
}

}  // namespace

EfsImage::EfsImage(const EfsLayoutRow& row)
    : bytes((row.bm_num + row.valid_block_num + row.non_valid_block_num) * kEfsBlock, 0xFF),
      row_(row), b_(row.bm_num), v_(row.valid_block_num), s_(row.non_valid_block_num) {}

EfsImage& EfsImage::bm_header(uint32_t bm, uint32_t generation) {
    return bm_header_raw(bm, generation, static_cast<uint8_t>(b_), static_cast<uint8_t>(v_),
                         static_cast<uint8_t>(s_), static_cast<uint8_t>(row_.layout_id));
}

EfsImage& EfsImage::bm_header_raw(uint32_t bm, uint32_t generation, uint8_t b, uint8_t v,
                                  uint8_t s, uint8_t layout_id) {
    uint8_t* h = at(bm * kEfsBlock);
    h[0] = 1;
    h[1] = 0;
    h[2] = static_cast<uint8_t>(row_.sku_id);
    h[3] = 0;
    put32(h + 4, generation);
    h[8] = b;
    h[9] = v;
    h[10] = s;
    h[11] = layout_id;
    put32(h + 12, ref_crc32(0, h, 12));
    return *this;
}

EfsImage& EfsImage::bme(uint32_t bm, uint32_t slot, const std::vector<uint8_t>& valid,
                        const std::vector<uint8_t>& spare, uint32_t ra, uint32_t rb) {
    uint8_t* e = at(bm * kEfsBlock + 16 + slot * r());
    std::copy(valid.begin(), valid.end(), e);
    std::copy(spare.begin(), spare.end(), e + v_);
    put32(e + v_ + s_, ra);
    put32(e + v_ + s_ + 4, rb);
    put32(e + v_ + s_ + 8, ref_crc32(0, e, v_ + s_ + 8));
    return *this;
}

std::vector<uint8_t> EfsImage::identity_valid() const {
    std::vector<uint8_t> m(v_);
    for (uint32_t i = 0; i < v_; ++i) m[i] = static_cast<uint8_t>(i);
    return m;
}

std::vector<uint8_t> EfsImage::identity_spare() const {
    std::vector<uint8_t> m(s_);
    for (uint32_t i = 0; i < s_; ++i) m[i] = static_cast<uint8_t>(v_ + i);
    return m;
}

EfsImage& EfsImage::data_header(uint32_t physical, uint32_t erase_count) {
    uint8_t* h = at(data_offset(physical));
    put32(h, erase_count);
    std::fill(h + 4, h + 12, 0);
    put32(h + 12, ref_crc32(0, h, 12));
    return *this;
}

EfsImage& EfsImage::payload(uint32_t physical, const std::vector<uint8_t>& payload) {
    uint8_t* p = at(data_offset(physical) + 16);
    std::copy(payload.begin(), payload.begin() + kEfsPayload, p);
    put32(p + kEfsPayload, ref_crc32(0, payload.data(), kEfsPayload));
    return *this;
}

std::vector<uint8_t> empty_records_payload(const EfsLayoutRow& row, uint32_t d) {
    std::vector<uint8_t> payload(kEfsPayload, 0xFF);
    const uint8_t empty[2] = {0xFF, 0xFF};
    const uint16_t crc = ref_crc16(static_cast<uint16_t>(d), empty, 2);
    for (const EfsLayoutFile& f : row.files) {
        if ((f.block & 0xFF) != d || f.offset > kEfsPayload - 4) continue;
        payload[f.offset + 2] = static_cast<uint8_t>(crc);
        payload[f.offset + 3] = static_cast<uint8_t>(crc >> 8);
    }
    return payload;
}

EfsImage EfsImage::formatted(const EfsLayoutRow& row) {
    EfsImage image(row);
    image.bm_header(0, 1).bme(0, 0, image.identity_valid(), image.identity_spare());
    for (uint32_t p = 0; p < image.v_ + image.s_; ++p) image.data_header(p, 1);
    for (uint32_t d = 0; d < image.v_; ++d) image.payload(d, empty_records_payload(row, d));
    return image;
}

std::optional<EfsMountView> read_efs_state(const std::vector<uint8_t>& image, const EfsLayoutRow& row) {
    const uint32_t b = row.bm_num, v = row.valid_block_num, s = row.non_valid_block_num;
    const uint32_t r = v + s + 12;
    if (b == 0 || image.size() < (b + v + s) * static_cast<size_t>(kEfsBlock)) return std::nullopt;
    std::optional<uint32_t> best;
    uint32_t best_gen = 0;
    for (uint32_t i = 0; i < b; ++i) {
        const uint8_t* h = image.data() + i * kEfsBlock;
        const bool ff = std::all_of(h, h + 16, [](uint8_t x) { return x == 0xFF; });
        const bool zero = std::all_of(h, h + 16, [](uint8_t x) { return x == 0; });
        if (ff || zero || ref_crc32(0, h, 12) != get32(h + 12)) continue;
        if (h[8] != b || h[9] != v || h[10] != s || h[11] != static_cast<uint8_t>(row.layout_id)) {
            return std::nullopt;
        }
        if (get32(h + 4) > best_gen) {
            best_gen = get32(h + 4);
            best = i;
        }
    }
    if (!best) return std::nullopt;
    const uint8_t* block = image.data() + *best * kEfsBlock;
    auto exists = [&](uint32_t k) { return 16 + (k + 1) * r <= 4095; };
    auto blank = [&](uint32_t k) {
        return std::all_of(block + 16 + k * r, block + 16 + (k + 1) * r, [](uint8_t x) { return x == 0xFF; });
    };
    auto sound = [&](uint32_t k) {
        const uint8_t* e = block + 16 + k * r;
        return ref_crc32(0, e, v + s + 8) == get32(e + v + s + 8);
    };
    uint32_t newest = 0;
    if (exists(1)) {
        for (uint32_t k = 1;; ++k) {
            if (blank(k)) {
                newest = k - 1;
                break;
            }
            if (!exists(k + 1)) {
                newest = k;
                break;
            }
        }
    }
    EfsMountView view{*best, best_gen, 16 + newest * r, false, {}, {}};
    if (!sound(newest)) {
        if (newest == 0 || !sound(newest - 1)) return std::nullopt;
        --newest;
        view.bme_offset -= r;
        view.force_switch = true;
    }
    const uint8_t* e = block + view.bme_offset;
    std::vector<bool> seen(v + s, false);
    for (uint32_t i = 0; i < v + s; ++i) {
        if (e[i] >= v + s || seen[e[i]]) return std::nullopt;
        seen[e[i]] = true;
    }
    view.valid.assign(e, e + v);
    view.spare.assign(e + v, e + v + s);
    return view;
}

namespace {

uint16_t get16(const uint8_t* p) { return static_cast<uint16_t>(p[0] | (p[1] << 8)); }

}  // namespace

EfsFileView decode_efs_file(const std::vector<uint8_t>& image, const EfsLayoutRow& row, const EfsMountView& view,
                            const EfsLayoutFile& file) {
    EfsFileView out;
    const uint32_t b = row.bm_num, v = row.valid_block_num;
    const uint32_t f = file.block & 0xFF, o = file.offset;
    if (o > kEfsPayload - 4 || f >= v) return out;
    auto payload = [&](uint32_t logical) { return image.data() + (b + view.valid[logical]) * kEfsBlock + 16; };
    const uint8_t* record = payload(f) + o;
    const uint16_t length = get16(record);
    if (length == 0xFFFF) {
        out.empty = true;
        out.sound = ref_crc16(static_cast<uint16_t>(f), record, 2) == get16(record + 2);
        return out;
    }
    const uint32_t room = kEfsPayload - 4 - o;
    uint32_t held = std::min<uint32_t>(length, room);
    uint16_t crc = ref_crc16(static_cast<uint16_t>(f), record, 2);
    crc = ref_crc16(crc, record + 4, held);
    if (crc != get16(record + 2)) return out;
    out.data.assign(record + 4, record + 4 + held);
    for (uint32_t k = 1; out.data.size() < length; ++k) {
        if (f + k >= v) return out;
        const uint8_t* next = payload(f + k);
        held = std::min<uint32_t>(length - static_cast<uint32_t>(out.data.size()), kEfsPayload - 4);
        uint16_t c = ref_crc16(static_cast<uint16_t>(f + k), next, 2);
        c = ref_crc16(c, next + 4, held);
        if (get16(next) != 0xFFFF || c != get16(next + 2)) return out;
        out.data.insert(out.data.end(), next + 4, next + 4 + held);
    }
    out.sound = true;
    return out;
}

std::string efs_image_fault(const std::vector<uint8_t>& image, const EfsLayoutRow& row) {
    const auto view = read_efs_state(image, row);
    if (!view) return "no mountable BM state (headers, records or maps)";
    const uint32_t b = row.bm_num;
    std::vector<uint32_t> generations;
    for (uint32_t i = 0; i < b; ++i) {
        const uint8_t* h = image.data() + i * kEfsBlock;
        const bool ff = std::all_of(h, h + 16, [](uint8_t x) { return x == 0xFF; });
        const bool zero = std::all_of(h, h + 16, [](uint8_t x) { return x == 0; });
        if (ff || zero || ref_crc32(0, h, 12) != get32(h + 12)) continue;
        generations.push_back(get32(h + 4));
    }
    std::sort(generations.begin(), generations.end());
    if (std::adjacent_find(generations.begin(), generations.end()) != generations.end()) {
        return "two valid BM headers share a generation";
    }
    for (uint32_t l = 0; l < row.valid_block_num; ++l) {
        const uint8_t* block = image.data() + (b + view->valid[l]) * kEfsBlock;
        if (ref_crc32(0, block, 12) != get32(block + 12)) return "mapped block without a sound header";
        if (ref_crc32(0, block + 16, kEfsPayload) != get32(block + 16 + kEfsPayload)) {
            return "mapped block without a sound footer";
        }
    }
    return {};
}

uint32_t efs_erase_count(const std::vector<uint8_t>& image, const EfsLayoutRow& row, uint32_t physical) {
    return get32(image.data() + (row.bm_num + physical) * kEfsBlock);
}

}  // namespace dorv::test
