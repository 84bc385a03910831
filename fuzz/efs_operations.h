// The operation mode of the EFS fuzz target: a fresh image is formatted and
// mounted, then the input is read as a list of operations (their bytes are
// described in fuzz/efs_image_input.h): file writes and deletes, idle steps,
// wear levelling, formats, layout reloads (the same row, another layout id,
// another geometry), mounts, the exported block-manager calls with entries
// the input chooses, the data-block and BM-block calls a host may make
// between operations, on blocks the input names, and the calls that change
// which image the library works on or unmount it: adopting the caller's
// buffer by EFS_init_tools under the loaded layout (its size becomes the
// limit a later, larger layout must respect), EFS_init over the image in
// use, EFS_erase and the "RDFS" marker, and EFS_physical_init.
//
// A model says what the image holds; after every operation the image is
// read with the test-side reader, never with the library: a state the model
// knows must be there, so a write or delete that answers non-zero leaves
// every file as before on an image that mounts. A mount, format, erase or
// marker that answers non-zero leaves the image byte for byte as it was; one
// that answers 0 leaves exactly what the format prescribes; so does a
// data-block write or a swap that answers non-zero. A write needing more
// blocks than the layout has spares, and a delete on a layout without
// spares, answer 28 with the image byte for byte. Any other write or delete
// refused for want of room, or the delete of an empty file, answers
// non-zero; on a sound image it leaves the spare statuses known, as the scan
// it runs first (like a wear move, it may store) stays done. A mount whose
// layout needs more than the image's limit is refused (22). A mount of a sound image
// takes every write the layout has room for. An unmounting operation leaves
// every later call answering "not mounted", yet the verified calls still
// work with the retry count the last mount set.
#ifndef DORV_FUZZ_EFS_OPERATIONS_H
#define DORV_FUZZ_EFS_OPERATIONS_H

#include <algorithm>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <map>
#include <optional>
#include <vector>

#include "dorv/efs.h"
#include "efs/efs_internal.h"
#include "efs/efs_layout.h"
#include "fuzz/efs_image_input.h"
#include "support/efs_image_builder.h"

namespace dorv::fuzz {

class EfsOperations {
public:
    EfsOperations(const uint8_t* input, size_t size) : in_(input), size_(size) {}

    void run() {
        const auto rows = layout_rows();
        loaded_ = rows[next() % rows.size()];
        const uint8_t flags = next();
        by_tools_ = (flags & 1) != 0;
        if (test::load_efs_layout(loaded_) != 0) std::abort();
        // The caller's buffer: the first layout's size, or room for the
        // largest layout (so that a larger layout's image fits in it); then
        // perhaps half a block of erased bytes, so that a sized mount's limit
        // ends inside a block.
        uint32_t largest = 0;
        for (const auto& row : rows) largest = std::max(largest, blocks_of(row) * test::kEfsBlock);
        image_.assign((flags & 2) != 0 ? largest : EFS_get_efs_size(), 0);
        image_.resize(image_.size() + ((flags & 4) != 0 ? test::kEfsBlock / 2 : 0), 0xFF);
        // Nothing on the image yet: the mount fails but adopts it.
        if (mount() == 0) std::abort();
        format();
        if (on_image_ && mount() != 0) std::abort();
        for (int step = 0; step < 48 && pos_ < size_; ++step) {
            const uint8_t op = next();
            switch (op % 16) {
                case 0: write(); break;
                case 1: erase_file(); break;
                case 2: (void)EFS_idle_reclaim(); break;
                case 3: (void)EFS_wear_leveling(0, 0); break;
                case 4: format(); break;
                case 5: reload(rows[next() % rows.size()]); break;
                case 6: remount(by_tools_); break;
                case 7: commit(false); break;
                case 8: commit(true); break;
                case 9: swap_and_commit(); break;
                case 10: host_data_block_call(); break;
                case 11: host_bm_block_call(); break;
                case 12: remount(true); break;
                case 13: mount_in_place(); break;
                case 14: unmount_by_host(); break;
                default: replace_image(); break;
            }
            check_image();
        }
    }

private:
    using Row = test::EfsLayoutRow;

    // The fuzz layouts, one whose files run past its last logical block (a
    // file that needs a second block from block V - 1, one placed past V),
    // and each again with another layout id.
    static std::vector<Row> layout_rows() {
        auto rows = efs_fuzz_layouts();
        rows.push_back(Row{.sku_id = 4, .bm_num = 2, .valid_block_num = 2, .non_valid_block_num = 2, .files_num = 3,
                           .files = {{0, 0, 0, 64}, {1, 1, 0, 5000}, {2, 3, 0, 16}}});
        const size_t n = rows.size();
        for (size_t i = 0; i < n; ++i) {
            Row other = rows[i];
            other.layout_id ^= 0x40;
            rows.push_back(other);
        }
        return rows;
    }

    static uint32_t blocks_of(const Row& row) {
        return row.bm_num + row.valid_block_num + row.non_valid_block_num;
    }

    // What a mount depends on: geometry, layout id and file places.
    static bool same_layout(const Row& a, const Row& b) {
        if (a.bm_num != b.bm_num || a.valid_block_num != b.valid_block_num ||
            a.non_valid_block_num != b.non_valid_block_num || a.files_num != b.files_num ||
            (a.layout_id & 0xFF) != (b.layout_id & 0xFF) || a.files.size() != b.files.size()) {
            return false;
        }
        for (size_t i = 0; i < a.files.size(); ++i) {
            const auto &x = a.files[i], &y = b.files[i];
            if (x.file_index != y.file_index || x.block != y.block || x.offset != y.offset || x.max_size != y.max_size) {
                return false;
            }
        }
        return true;
    }

    static uint32_t load32(const uint8_t* p) {
        return p[0] | (p[1] << 8) | (p[2] << 16) | (static_cast<uint32_t>(p[3]) << 24);
    }
    static void store32(uint8_t* p, uint32_t v) {
        for (int i = 0; i < 4; ++i) p[i] = static_cast<uint8_t>(v >> (8 * i));
    }
    static bool erased(const uint8_t* p, size_t n) {
        return std::all_of(p, p + n, [](uint8_t x) { return x == 0xFF; });
    }

    // The image a format of the row writes, built once per row.
    static const std::vector<uint8_t>& formatted_image(const Row& row) {
        static std::vector<std::pair<Row, std::vector<uint8_t>>> built;
        for (const auto& [r, bytes] : built) {
            if (same_layout(r, row) && r.sku_id == row.sku_id) return bytes;
        }
        built.emplace_back(row, test::EfsImage::formatted(row).bytes);
        return built.back().second;
    }

    uint8_t next() { return pos_ < size_ ? in_[pos_++] : 0; }
    uint32_t data_blocks() const { return g_efs_valid_block_num + g_efs_non_valid_block_num; }

    // The image the library works on: the caller's buffer, or the one it
    // allocated itself (EFS_physical_init or a mount with create).
    std::vector<uint8_t> image() const {
        if (!own_) return image_;
        if (efs_image == nullptr) std::abort();
        return std::vector<uint8_t>(efs_image, efs_image + own_size_);
    }

    // The bytes the flash layer may reach now.
    uint32_t reach() const {
        return std::min({efs_size, limit_, own_ ? own_size_ : static_cast<uint32_t>(image_.size())});
    }

    // The library allocated an image of its own: what the model knows of
    // the caller's buffer waits until that buffer is adopted again.
    void use_own_image(uint32_t size) {
        if (!own_) {
            parked_on_image_ = on_image_;
            parked_files_ = files_;
        }
        own_ = true;
        own_size_ = size;
        limit_ = size;
        on_image_.reset();
        files_.clear();
    }

    void use_callers_image(uint32_t limit) {
        if (own_) {
            on_image_ = parked_on_image_;
            files_ = parked_files_;
            own_ = false;
        }
        limit_ = limit;
    }

    // Adopts the caller's buffer and mounts it: unsized by EFS_init_tools
    // (the loaded layout's size becomes the limit; only when the buffer has
    // that much), else sized. A mount writes nothing.
    int adopt_and_mount(bool tools) {
        const auto length = static_cast<uint32_t>(image_.size());
        const uint32_t need = EFS_get_efs_size();
        const auto before = image_;
        int rc = 0;
        if (tools && need <= length) {
            rc = EFS_init_tools(image_.data());
            use_callers_image(need);
        } else {
            rc = efs_mount_image(image_.data(), length);
            if (need <= length) use_callers_image(length);
        }
        if (image_ != before) std::abort();
        if (need <= length) note_mount(rc);
        return rc;
    }

    int mount() { return adopt_and_mount(by_tools_); }

    // What a mount's answer says: 0 sets the retry count; a refusal before
    // the mount began (22) or without a layout or an image (1) may leave it
    // cleared; a mount that fails reading the image (41) keeps what it set.
    void note_mount(int rc) {
        if (rc == 0) retries_known_ = true;
        if (rc != 0 && rc != 41) retries_known_ = false;
        trust_ = rc == 0 ? Trust::unknown : Trust::no;
    }

    // Whether every write with room must work now: judged once per mount,
    // when a write first asks (the library's own operations since the mount
    // keep a sound image sound and leave an unsound one unsound).
    bool trusted() {
        if (trust_ == Trust::unknown) trust_ = sound_for_writes() ? Trust::yes : Trust::no;
        return trust_ == Trust::yes;
    }

    // The image holds a sound file system of the loaded layout: every mapped
    // block verifies and at most one spare lacks a sound header (the status
    // scan repairs one). Then every write the layout has room for works.
    bool sound_for_writes() const {
        const auto bytes = image();
        if (!test::efs_image_fault(bytes, loaded_).empty()) return false;
        const auto view = test::read_efs_state(bytes, loaded_);
        uint32_t bad = 0;
        for (const uint8_t p : view->spare) {
            const uint8_t* h = bytes.data() + (loaded_.bm_num + p) * test::kEfsBlock;
            if (test::ref_crc32(0, h, 12) != load32(h + 12)) ++bad;
        }
        return bad <= 1;
    }

    void expect_unmounted() {
        if (EFS_is_initialized() != 0) std::abort();
        const uint8_t byte = 0;
        if (EFS_write(0, 0, 1, &byte) != 1 || EFS_delete(0) != 1 || EFS_idle_reclaim() != 1) std::abort();
    }

    // Every configured file of the image's layout that has a place on it
    // is empty.
    void forget_files() {
        files_.clear();
        for (const auto& f : on_image_->files) {
            if (f.block < on_image_->valid_block_num) files_[f.file_index] = std::vector<uint8_t>{};
        }
    }

    // A format inside the image's limit writes exactly the empty file system
    // of the loaded layout and unmounts; one that cannot complete inside it
    // is refused with the image untouched.
    void format() {
        auto expect = image();
        const uint32_t need = EFS_get_efs_size();
        const int rc = EFS_do_format();
        if (need > limit_) {
            if (rc == 0 || image() != expect) std::abort();
            return;
        }
        if (rc != 0) std::abort();
        expect_unmounted();
        const auto& formatted = formatted_image(loaded_);
        std::copy(formatted.begin(), formatted.end(), expect.begin());
        if (image() != expect) std::abort();
        on_image_ = loaded_;
        forget_files();
        probe_verified_write(0, 0xFF);
    }

    void reload(const Row& row) {
        const bool was_mounted = EFS_is_initialized() != 0;
        if (test::load_efs_layout(row) != 0) std::abort();
        const bool kept = was_mounted && same_layout(row, loaded_);
        loaded_ = row;
        if (kept ? EFS_is_initialized() == 0 : EFS_is_initialized() != 0) std::abort();
        if (!kept) expect_unmounted();
    }

    // A mount of the image in use answered rc: it mounts what the model says
    // is there, and the library reads what the model knows.
    void check_mount_answer(int rc) {
        if (!on_image_) {
            // What the model cannot tell mounts: the model knows no file.
            if (rc == 0) on_image_ = loaded_;
            files_.clear();
            return;
        }
        if (same_layout(*on_image_, loaded_) != (rc == 0)) std::abort();
        if (rc != 0) return;
        static std::vector<uint8_t> buf(70000);
        for (const auto& [index, content] : files_) {
            uint32_t length = static_cast<uint32_t>(buf.size());
            const int read = EFS_read(index, 0, &length, buf.data());
            if (content.empty() ? read != 2
                                : read != 0 || length != content.size() ||
                                      std::memcmp(buf.data(), content.data(), length) != 0) {
                std::abort();
            }
        }
    }

    void remount(bool tools) {
        if (EFS_get_efs_size() > image_.size()) {
            // Sized: the buffer is too short for the layout; nothing changes.
            const auto before = image();
            const bool was_mounted = EFS_is_initialized() != 0;
            if (adopt_and_mount(tools) != 22 || image() != before || (EFS_is_initialized() != 0) != was_mounted) {
                std::abort();
            }
            return;
        }
        check_mount_answer(adopt_and_mount(tools));
    }

    // EFS_init over the image in use, which keeps the limit it came with: a
    // layout that needs more is refused (22) and leaves the EFS unmounted.
    // With create the library formats a fresh image of its own and mounts
    // it. A mount that answers 0 takes a write the layout has room for.
    void mount_in_place() {
        const bool create = (next() & 1) != 0;
        const uint32_t need = EFS_get_efs_size();
        const auto before = image();
        const int rc = EFS_init(create ? 1 : 0);
        if (create) {
            if (rc != 0) std::abort();
            use_own_image(need);
            if (image() != formatted_image(loaded_)) std::abort();
            on_image_ = loaded_;
            forget_files();
        } else if (need > limit_) {
            if (rc != 22 || EFS_is_initialized() != 0 || image() != before) std::abort();
        } else {
            if (image() != before) std::abort();
            check_mount_answer(rc);
        }
        note_mount(rc);
        if (rc == 0) write();
    }

    // EFS_erase or the "RDFS" marker. Either unmounts: the erase leaves the
    // loaded layout's BM blocks erased and the data blocks as they were (a
    // refusal is allowed only when that layout does not fit the image), the
    // marker lands on bytes 0-3.
    void unmount_by_host() {
        const uint8_t kind = next();
        const bool marker = (kind & 1) != 0;
        const uint8_t start = next();
        const uint8_t fill = next();
        // A host's verified write while still mounted, first.
        if ((kind & 2) != 0) probe_verified_write(start, fill);
        auto expect = image();
        const bool fits = EFS_get_efs_size() <= limit_;
        const int rc = marker ? EFS_write_RTFD_marker() : EFS_erase();
        if (rc == 0 && marker) store32(expect.data(), 0x53464452u);
        if (rc == 0 && !marker) {
            std::fill_n(expect.begin(), std::min<size_t>(g_efs_bm_num * test::kEfsBlock, expect.size()), 0xFF);
        }
        if ((rc != 0 && (fits || marker)) || image() != expect) std::abort();
        if (rc == 0 || !marker) expect_unmounted();
        relearn_image();
        probe_verified_write(start, fill);
    }

    // EFS_physical_init: without create it only recomputes the size; with
    // create a fresh erased image of the library's own, sized for the loaded
    // layout, takes the place of the one in use, and no mount survives it.
    void replace_image() {
        const bool create = (next() & 1) != 0;
        const int was_mounted = EFS_is_initialized();
        const auto before = image();
        const int rc = EFS_physical_init(create ? 1 : 0);
        if (!create) {
            if (rc != 0 || EFS_is_initialized() != was_mounted || image() != before) std::abort();
            return;
        }
        if (rc != 0) std::abort();
        use_own_image(EFS_get_efs_size());
        if (!erased(efs_image, own_size_)) std::abort();
        expect_unmounted();
        const uint8_t start = next();
        probe_verified_write(start, next());
    }

    // A blank-checked verified write of 16 bytes into the first erased 16
    // bytes from block `start` on. While mounted, one into a BM block or a
    // block that holds files is refused untouched (22). Elsewhere, with the
    // retry count a mount set, it answers 0 and lands there, mounted or not;
    // before any mount it may answer 41 and write nothing.
    void probe_verified_write(uint8_t start, uint8_t fill) {
        const bool mounted = efs_ctx.mounted != 0;
        auto expect = image();
        const uint32_t spans = reach() / 16;
        for (uint32_t i = 0; i < spans; ++i) {
            const uint32_t at = ((start * (test::kEfsBlock / 16) + i) % spans) * 16;
            if (!erased(expect.data() + at, 16)) continue;
            const uint32_t block = at / test::kEfsBlock;
            const bool live = mounted && (block < g_efs_bm_num ||
                                          std::find(efs_ctx.valid_map, efs_ctx.valid_map + g_efs_valid_block_num,
                                                    block - g_efs_bm_num) != efs_ctx.valid_map + g_efs_valid_block_num);
            const std::vector<uint8_t> data(16, fill);
            const int rc = EFS_write_with_read_check(at, 16, data.data(), 1);
            if (live) {
                if (rc != 22 || image() != expect) std::abort();
                return;
            }
            if (rc == 0) std::fill_n(expect.begin() + at, 16, fill);
            if ((rc != 0 && (retries_known_ || mounted || rc != 41)) || image() != expect) std::abort();
            if (rc == 0 && !mounted && fill != 0xFF) relearn_image();
            return;
        }
    }

    const test::EfsLayoutFile* place(uint32_t index) const {
        for (const auto& f : loaded_.files) {
            if (f.file_index == index) return &f;
        }
        return nullptr;
    }

    // A write within the file's size that needs more spares than the layout
    // has: it can never land.
    bool over_spares(const test::EfsLayoutFile& f, uint32_t size) const {
        constexpr uint32_t data_max = test::kEfsPayload - 4;
        return size <= f.max_size && size < 0xFFFFu && f.offset <= data_max &&
               (f.offset + size + 4 + data_max - 1) / data_max > loaded_.non_valid_block_num;
    }

    // A write the loaded layout has room for: within the file's size, its
    // blocks below V, one spare for each, and over no other file's record.
    bool write_fits(const test::EfsLayoutFile& f, uint32_t size) const {
        constexpr uint32_t data_max = test::kEfsPayload - 4;
        if (size > f.max_size || f.offset > data_max || over_spares(f, size)) return false;
        const uint32_t room = data_max - f.offset;
        const uint32_t used = size <= room ? 1 : 1 + (size - room + data_max - 1) / data_max;
        if (f.block + used > loaded_.valid_block_num) return false;
        for (const auto& g : loaded_.files) {
            if (g.file_index == f.file_index || g.block < f.block || g.block >= f.block + used) continue;
            const uint32_t k = g.block - f.block;
            const uint32_t begin = k == 0 ? f.offset : 0;
            const uint32_t before = k == 0 ? 0 : room + (k - 1) * data_max;
            const uint32_t end = begin + 4 + std::min(size - std::min(size, before), k == 0 ? room : data_max);
            if (g.offset < end && begin < g.offset + 4u) return false;
        }
        return true;
    }

    void write() {
        const uint32_t index = next() % (g_efs_files_num + 1);
        const auto* f = place(index);
        const uint32_t limit = f != nullptr ? f->max_size + 2u : 300u;
        const uint32_t size = ((next() << 8) | next()) % limit;
        const uint8_t fill = next();
        std::vector<uint8_t> data(size + 1u);
        for (uint32_t i = 0; i < data.size(); ++i) data[i] = static_cast<uint8_t>(fill + i * 7);
        const bool mounted = EFS_is_initialized() != 0;
        const bool fits = f != nullptr && write_fits(*f, size);
        const bool never = mounted && f != nullptr && over_spares(*f, size);
        const bool sound = mounted && trusted();
        const auto before = image();
        const int rc = EFS_write(index, 0, size, data.data());
        if (sound && fits && rc != 0) std::abort();
        if ((!mounted || f == nullptr) && (rc != (mounted ? 22 : 1) || image() != before)) std::abort();
        // More blocks than the layout has spares: refused (28) before the
        // maintenance, the image byte for byte as it was.
        if (never && (rc != 28 || image() != before)) std::abort();
        // Any other write the layout has no room for is refused, and every
        // file reads as before (check_image); the status scan and wear move
        // it runs first may have stored, and on a sound image the scan has
        // made the spare statuses known.
        if (mounted && f != nullptr && !fits && !never && (rc == 0 || (sound && efs_ctx.status_scanned == 0))) {
            std::abort();
        }
        if (rc != 0) return;
        data.resize(size);
        // Length 0 reads back as an empty file of no bytes.
        if (size == 0) {
            files_.erase(static_cast<uint16_t>(index));
        } else {
            files_[static_cast<uint16_t>(index)] = data;
        }
    }

    void erase_file() {
        const uint32_t index = next() % (g_efs_files_num + 1);
        const bool mounted = EFS_is_initialized() != 0;
        const auto* f = place(index);
        const auto known = files_.find(static_cast<uint16_t>(index));
        const bool empty = mounted && f != nullptr && known != files_.end() && known->second.empty() &&
                           first_block_sound(*f);
        const bool sound = mounted && trusted();
        const auto before = image();
        const int rc = EFS_delete(index);
        if ((!mounted || f == nullptr) && (rc != (mounted ? 22 : 1) || image() != before)) std::abort();
        // The delete of a file placed past the last logical block, or of a
        // file already empty, is refused and every file reads as before
        // (check_image); the scan and wear move it runs first may have
        // stored. On a sound image the empty file answers 2 (or 5 when a wear
        // move is due and its commit cannot land) and the spare statuses are
        // known.
        const bool past = mounted && f != nullptr && f->block >= g_efs_valid_block_num;
        // Without spares nothing can be deleted: refused (28) before the
        // maintenance, the image byte for byte as it was.
        const bool no_spares = mounted && f != nullptr && f->offset <= test::kEfsPayload - 4 &&
                               g_efs_non_valid_block_num == 0;
        if (no_spares && (rc != 28 || image() != before)) std::abort();
        if (!no_spares && (past || empty) && (rc == 0 || (sound && efs_ctx.status_scanned == 0))) std::abort();
        if (!no_spares && empty && sound && rc != 2 && rc != 5) std::abort();
        if (rc == 0) files_[static_cast<uint16_t>(index)] = std::vector<uint8_t>{};
    }

    // The block that holds the file's record verifies whole (header and
    // footer), as the model's image has it.
    bool first_block_sound(const test::EfsLayoutFile& f) const {
        if (!on_image_ || !same_layout(*on_image_, loaded_) || f.block >= loaded_.valid_block_num) return false;
        const auto bytes = image();
        const auto view = test::read_efs_state(bytes, loaded_);
        if (!view) return false;
        const uint8_t* block = bytes.data() + (loaded_.bm_num + view->valid[f.block]) * test::kEfsBlock;
        return test::ref_crc32(0, block, 12) == load32(block + 12) &&
               test::ref_crc32(0, block + 16, test::kEfsPayload) == load32(block + 16 + test::kEfsPayload);
    }

    // An entry from the committed maps (identity when unmounted), changed as
    // the input says: kept, two places swapped, or one place set.
    void build_entry() {
        const uint32_t v = g_efs_valid_block_num, total = data_blocks();
        maps_.resize(total + 1);
        for (uint32_t i = 0; i < total; ++i) {
            if (efs_ctx.mounted != 0) {
                maps_[i] = i < v ? efs_ctx.valid_map[i] : efs_ctx.spare_map[i - v];
            } else {
                maps_[i] = static_cast<uint8_t>(i);
            }
        }
        const uint8_t kind = next() % 3, a = next(), b = next();
        if (total != 0 && kind == 1) std::swap(maps_[a % total], maps_[b % total]);
        if (total != 0 && kind == 2) maps_[a % total] = b;
        entry_ = efs_bme_t{maps_.data(), maps_.data() + v, 0, 0, 0};
    }

    bool entry_is_permutation() const {
        std::vector<bool> seen(data_blocks(), false);
        for (uint32_t i = 0; i < data_blocks(); ++i) {
            if (maps_[i] >= data_blocks() || seen[maps_[i]]) return false;
            seen[maps_[i]] = true;
        }
        return true;
    }

    uint32_t entry_crc() const {
        std::vector<uint8_t> bytes(maps_.begin(), maps_.begin() + data_blocks());
        bytes.resize(bytes.size() + 8, 0);
        return test::ref_crc32(0, bytes.data(), bytes.size());
    }

    bool entry_is_committed() const {
        const uint32_t v = g_efs_valid_block_num;
        return efs_ctx.mounted != 0 && std::equal(maps_.begin(), maps_.begin() + v, efs_ctx.valid_map) &&
               std::equal(maps_.begin() + v, maps_.begin() + data_blocks(), efs_ctx.spare_map);
    }

    // The answer of a block-manager call with entry_: an unsound entry is
    // refused while mounted, and a refused call wrote nothing. True when the
    // call landed (answered 0).
    bool landed(int rc, bool sound, const std::vector<uint8_t>& before) {
        if (!sound && efs_ctx.mounted != 0 && rc != 22) std::abort();
        if (rc == 1 || rc == 22) {
            if (image() != before) std::abort();
            return false;
        }
        // Entries the input made may map blank blocks.
        trust_ = Trust::no;
        return rc == 0;
    }

    // The outcome of a block-manager call with entry_: refused calls write
    // nothing; a commit makes the entry's maps the image's.
    void settle(int rc, bool sound, const std::vector<uint8_t>& before, bool same_maps) {
        if (!landed(rc, sound, before)) return;
        if (!on_image_) std::abort();
        const auto view = test::read_efs_state(image(), *on_image_);
        if (!view || !std::equal(view->valid.begin(), view->valid.end(), maps_.begin()) ||
            !std::equal(view->spare.begin(), view->spare.end(), maps_.begin() + g_efs_valid_block_num)) {
            std::abort();
        }
        // Other blocks hold the files now.
        if (!same_maps) relearn_files(*view);
    }

    // The model becomes what the reader finds, as far as it reads soundly.
    void relearn_files(const test::EfsMountView& view) {
        const auto bytes = image();
        files_.clear();
        for (const auto& f : on_image_->files) {
            const auto file = test::decode_efs_file(bytes, *on_image_, view, f);
            // A record of length 0 reads as no bytes, not as an empty file.
            if (file.sound && (file.empty || !file.data.empty()) && file.data.size() <= f.max_size) {
                files_[f.file_index] = file.data;
            }
        }
    }

    // After a call that may have erased or written whatever the input
    // names, or unmounted the file system by breaking its BM blocks.
    void relearn_image() {
        if (!on_image_) return;
        const auto view = test::read_efs_state(image(), *on_image_);
        if (!view) {
            on_image_.reset();
            files_.clear();
            return;
        }
        relearn_files(*view);
    }

    // What a data-block call does to the block at `address` of `bytes`:
    // the erase gives it a fresh header with the count plus one; the payload
    // and the footer are written only where they find erased bytes (41
    // otherwise, with nothing written: a payload write checks its footer
    // area too before it writes).
    static int predict_block_call(std::vector<uint8_t>& bytes, uint32_t address, uint8_t kind,
                                  const std::vector<uint8_t>& payload, uint32_t count) {
        uint8_t* block = bytes.data() + address;
        if (kind == 0) {
            std::fill_n(block, test::kEfsBlock, 0xFF);
            std::fill_n(block, 12, 0);
            store32(block, count + 1);
            store32(block + 12, test::ref_crc32(0, block, 12));
            return 0;
        }
        if (kind == 1) {
            if (!erased(block + 16, test::kEfsPayload + 4)) return 41;
            std::copy(payload.begin(), payload.end(), block + 16);
        }
        if (!erased(block + 16 + test::kEfsPayload, 4)) return 41;
        store32(block + 16 + test::kEfsPayload, test::ref_crc32(0, payload.data(), payload.size()));
        return 0;
    }

    // Erase, payload or footer of a data block the input names. While
    // mounted a block that holds files is refused untouched; any other block
    // in the image is erased or written as the format says, mounted or not,
    // once a mount has set the retry count.
    void host_data_block_call() {
        const bool mounted = efs_ctx.mounted != 0;
        const uint32_t block = next() % (data_blocks() + 1);
        const uint8_t kind = next() % 3;
        const std::vector<uint8_t> payload(EFS_PAYLOAD_SIZE, next());
        const uint8_t count = kind == 0 ? next() : 0;
        const bool holds_files =
            mounted && std::find(efs_ctx.valid_map, efs_ctx.valid_map + g_efs_valid_block_num, block) !=
                           efs_ctx.valid_map + g_efs_valid_block_num;
        const uint64_t address = (static_cast<uint64_t>(g_efs_bm_num) + block) * test::kEfsBlock;
        const bool inside = block < data_blocks() && address + test::kEfsBlock <= reach();
        const auto before = image();
        auto expect = before;
        const int expected = inside ? predict_block_call(expect, static_cast<uint32_t>(address), kind, payload, count)
                                    : 22;
        int rc = 0;
        if (kind == 0) rc = EFS_erase_data_block(block, count);
        if (kind == 1) rc = EFS_write_data_block(block, payload.data());
        if (kind == 2) rc = EFS_write_data_footer(block, payload.data());
        if (holds_files) {
            if (rc != 22 || image() != before) std::abort();
            return;
        }
        const bool retries = retries_known_ || mounted;
        if (rc == expected ? image() != expect : (retries || rc != 41 || image() != before)) std::abort();
        if (!mounted && rc == 0) relearn_image();
    }

    // Erase or check of a BM block the input names: while mounted the
    // current block is refused and the file system stays as it was.
    void host_bm_block_call() {
        const bool mounted = efs_ctx.mounted != 0;
        const uint32_t index = next() % (g_efs_bm_num + 1);
        const bool erase = (next() & 1) != 0;
        const auto before = image();
        const int rc = erase ? EFS_erase_next_BM(index) : EFS_check_next_BM_state(index);
        if (mounted && index == efs_ctx.current_bm && rc != 22) std::abort();
        if ((rc == 22 || !erase) && image() != before) std::abort();
        if (!mounted && erase && rc == 0) relearn_image();
    }

    void commit(bool by_switch) {
        const bool mounted = efs_ctx.mounted != 0;
        build_entry();
        const bool same = entry_is_committed();
        bool sound = entry_is_permutation();
        const auto before = image();
        int rc = 0;
        if (by_switch) {
            entry_.crc32 = (next() & 1) != 0 ? entry_crc() : next();
            sound = sound && entry_.crc32 == entry_crc();
            rc = EFS_switch_BM(&entry_);
        } else {
            rc = EFS_commit_BME(&entry_, 0, 0);
        }
        if (!mounted && rc != 1) std::abort();
        settle(rc, sound, before, same);
    }

    void swap_and_commit() {
        if (efs_ctx.mounted != 0 && efs_ctx.status_scanned == 0 && EFS_scan_for_Data_Blocks_status_and_EC() != 0) {
            return;
        }
        if (efs_ctx.mounted != 0 && efs_ctx.free_count == 0 && EFS_erase_dirty_block() != 0) return;
        build_entry();
        const bool sound = entry_is_permutation();
        const uint32_t logical = next() % (g_efs_valid_block_num + 1);
        std::vector<uint8_t> payload(EFS_PAYLOAD_SIZE, next());
        const auto before = image();
        const int rc = EFS_bme_swap_and_write_new_block(&entry_, logical, payload.data());
        // A swap that does not land (no free spare, one not erased) writes nothing.
        if (rc != 0 && image() != before) std::abort();
        if (!landed(rc, sound, before)) return;
        settle(EFS_commit_BME(&entry_, 0, 0), true, before, false);
    }

    // The state the model knows is on the image.
    void check_image() {
        if (!on_image_) return;
        const auto bytes = image();
        const auto view = test::read_efs_state(bytes, *on_image_);
        if (!view) std::abort();
        for (const auto& f : on_image_->files) {
            const auto known = files_.find(f.file_index);
            if (known == files_.end()) continue;
            const auto file = test::decode_efs_file(bytes, *on_image_, *view, f);
            if (!file.sound || file.data != known->second) std::abort();
        }
    }

    const uint8_t* in_;
    size_t size_;
    size_t pos_ = 0;
    bool by_tools_ = false;
    Row loaded_;
    std::optional<Row> on_image_;
    // The caller's buffer.
    std::vector<uint8_t> image_;
    // The library's own image is in use (its size), and the limit the
    // library holds for the image in use.
    bool own_ = false;
    uint32_t own_size_ = 0;
    uint32_t limit_ = 0;
    // The model of the caller's buffer while the library's own image is in
    // use.
    std::optional<Row> parked_on_image_;
    std::map<uint16_t, std::vector<uint8_t>> parked_files_;
    // A mount has set the retry count, which no unmount clears.
    bool retries_known_ = false;
    // Mounted on a sound image, changed since only by the library's own
    // file operations: every write with room must work.
    enum class Trust { no, unknown, yes };
    Trust trust_ = Trust::no;
    // Known contents by file index (empty: no bytes or no file); a file the
    // model cannot tell is absent.
    std::map<uint16_t, std::vector<uint8_t>> files_;
    std::vector<uint8_t> maps_;
    efs_bme_t entry_{};
};

}  // namespace dorv::fuzz

#endif
