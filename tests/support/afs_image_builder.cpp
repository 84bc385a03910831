#include "support/afs_image_builder.h"

#include <cstring>

#include "common/le_bytes.h"

namespace dorv::test {

void AfsImage::header(uint32_t u, const AfsHeaderSpec& h) {
    uint8_t* p = unit(u);
    le::store32(p, h.crc_magic);
    le::store32(p + 4, h.sequence);
    le::store32(p + 8, h.erase_count);
    le::store16(p + 12, h.aux);
    le::store16(p + 14, h.id);
    p[16] = crc8(p, 16);
    le::store32(p, h.magic);
    p[17] = h.complete;
}

std::vector<uint8_t> afs_page_bytes(uint8_t fill, uint16_t page) {
    std::vector<uint8_t> b(64);
    for (std::size_t i = 0; i < b.size(); ++i) b[i] = static_cast<uint8_t>(fill + i * 3 + page);
    return b;
}

static void put_record(uint8_t* at, uint8_t fill, uint16_t page) {
    const std::vector<uint8_t> data = afs_page_bytes(fill, page);
    std::memcpy(at, data.data(), 64);
    le::store16(at + 64, crc16(data.data(), 64, &page));
}

void AfsImage::meta_page(uint32_t u, uint32_t slot, uint16_t page, uint16_t chain, uint8_t fill, bool end_mark) {
    uint8_t* p = unit(u);
    uint8_t c[2];
    le::store16(c, chain);
    le::store16(p + 18 + 2 * slot, static_cast<uint16_t>(crc14(c, 2) ^ page));
    put_record(p + 260 + 66 * slot, fill, page);
    if (end_mark) p[18 + 2 * (slot + 1) + 1] = 0x7F;
}

void AfsImage::meta_pages(uint32_t u, const std::vector<uint16_t>& pages, uint8_t fill) {
    uint16_t chain = 0;
    for (std::size_t s = 0; s < pages.size(); ++s) {
        meta_page(u, static_cast<uint32_t>(s), pages[s], chain, fill, s + 1 == pages.size());
        chain = pages[s];
    }
}

void AfsImage::data_page(uint32_t u, uint32_t slot, uint16_t page, uint8_t fill, uint8_t status) {
    uint8_t* p = unit(u);
    p[18 + slot] = status;
    put_record(p + 140 + 66 * slot, fill, page);
}

uint16_t AfsImage::entry(uint32_t u, uint32_t e) const {
    return le::load16(bytes.data() + static_cast<std::size_t>(u) * 8192 + 18 + 2 * e);
}

afs_context_t afs_context(AfsImage& img, uint32_t vas, uint32_t data_start) {
    afs_context_t ctx{};
    ctx.image = img.bytes.data();
    ctx.size = static_cast<uint32_t>(img.bytes.size());
    ctx.vas = vas;
    ctx.data_start = data_start;
    return ctx;
}

}  // namespace dorv::test
