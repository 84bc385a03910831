// The operation mode of the EFS fuzz target: a fresh image is formatted and
// mounted, then the input is read as a list of operations: file writes and
// deletes, idle steps, wear levelling, formats, layout reloads (the same
// row, another layout id, another geometry), mounts, the exported
// block-manager calls with entries the input chooses, and the data-block and
// BM-block calls a host may make between operations, on blocks the input
// names. A model says what the
// image holds; after every operation the image is read with the test-side
// reader, never with the library: a state the model knows must be there, an
// entry the block manager must refuse leaves the image as it was, and an
// unmounting operation leaves every later call answering "not mounted".
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
        by_tools_ = (next() & 1) != 0;
        if (test::load_efs_layout(loaded_) != 0) std::abort();
        image_.assign(EFS_get_efs_size(), 0);
        // Nothing on the image yet: the mount fails but adopts it.
        if (mount() == 0) std::abort();
        format();
        if (on_image_ && mount() != 0) std::abort();
        for (int step = 0; step < 48 && pos_ < size_; ++step) {
            const uint8_t op = next();
            switch (op % 12) {
                case 0: write(); break;
                case 1: erase_file(); break;
                case 2: (void)EFS_idle_reclaim(); break;
                case 3: (void)EFS_wear_leveling(0, 0); break;
                case 4: format(); break;
                case 5: reload(rows[next() % rows.size()]); break;
                case 6: remount(); break;
                case 7: commit(false); break;
                case 8: commit(true); break;
                case 9: swap_and_commit(); break;
                case 10: host_data_block_call(); break;
                default: host_bm_block_call(); break;
            }
            check_image();
        }
    }

private:
    using Row = test::EfsLayoutRow;

    // The fuzz layouts, and each again with another layout id.
    static std::vector<Row> layout_rows() {
        auto rows = efs_fuzz_layouts();
        const size_t n = rows.size();
        for (size_t i = 0; i < n; ++i) {
            Row other = rows[i];
            other.layout_id ^= 0x40;
            rows.push_back(other);
        }
        return rows;
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

    uint8_t next() { return pos_ < size_ ? in_[pos_++] : 0; }
    uint32_t data_blocks() const { return g_efs_valid_block_num + g_efs_non_valid_block_num; }

    int mount() {
        const auto length = static_cast<uint32_t>(image_.size());
        // An unsized adoption vouches for the loaded layout's size.
        if (by_tools_ && EFS_get_efs_size() <= length) return EFS_init_tools(image_.data());
        return efs_mount_image(image_.data(), length);
    }

    void expect_unmounted() {
        if (EFS_is_initialized() != 0) std::abort();
        const uint8_t byte = 0;
        if (EFS_write(0, 0, 1, &byte) != 1 || EFS_delete(0) != 1 || EFS_idle_reclaim() != 1) std::abort();
    }

    // Every configured file of the image's layout is empty.
    void forget_files() {
        files_.clear();
        for (const auto& f : on_image_->files) files_[f.file_index] = std::vector<uint8_t>{};
    }

    void format() {
        const int rc = EFS_do_format();
        expect_unmounted();
        on_image_.reset();
        if (rc != 0) return;
        on_image_ = loaded_;
        forget_files();
    }

    void reload(const Row& row) {
        const bool was_mounted = EFS_is_initialized() != 0;
        if (test::load_efs_layout(row) != 0) std::abort();
        const bool kept = was_mounted && same_layout(row, loaded_);
        loaded_ = row;
        if (kept ? EFS_is_initialized() == 0 : EFS_is_initialized() != 0) std::abort();
        if (!kept) expect_unmounted();
    }

    void remount() {
        const int rc = mount();
        if (!on_image_) {
            // What a cut-short format left mounts: the model knows no file.
            if (rc == 0) on_image_ = loaded_;
            files_.clear();
            return;
        }
        if (same_layout(*on_image_, loaded_) != (rc == 0)) std::abort();
        if (rc != 0) return;
        // The library's reads agree with the model.
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

    const test::EfsLayoutFile* place(uint32_t index) const {
        for (const auto& f : loaded_.files) {
            if (f.file_index == index) return &f;
        }
        return nullptr;
    }

    void write() {
        const uint32_t index = next() % (g_efs_files_num + 1);
        const auto* f = place(index);
        const uint32_t limit = f != nullptr ? f->max_size + 2u : 300u;
        const uint32_t size = ((next() << 8) | next()) % limit;
        const uint8_t fill = next();
        std::vector<uint8_t> data(size + 1u);
        for (uint32_t i = 0; i < data.size(); ++i) data[i] = static_cast<uint8_t>(fill + i * 7);
        if (EFS_write(index, 0, size, data.data()) != 0) return;
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
        if (EFS_delete(index) == 0) files_[static_cast<uint16_t>(index)] = std::vector<uint8_t>{};
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

    // The outcome of a block-manager call with entry_: refused calls write
    // nothing; a commit makes the entry's maps the image's.
    void settle(int rc, bool sound, const std::vector<uint8_t>& before, bool same_maps) {
        if (!sound && efs_ctx.mounted != 0 && rc != 22) std::abort();
        if (rc == 1 || rc == 22) {
            if (image_ != before) std::abort();
            return;
        }
        if (rc != 0) return;
        if (!on_image_) std::abort();
        const auto view = test::read_efs_state(image_, *on_image_);
        if (!view || !std::equal(view->valid.begin(), view->valid.end(), maps_.begin()) ||
            !std::equal(view->spare.begin(), view->spare.end(), maps_.begin() + g_efs_valid_block_num)) {
            std::abort();
        }
        // Other blocks hold the files now.
        if (!same_maps) relearn_files(*view);
    }

    // The model becomes what the reader finds, as far as it reads soundly.
    void relearn_files(const test::EfsMountView& view) {
        files_.clear();
        for (const auto& f : on_image_->files) {
            const auto file = test::decode_efs_file(image_, *on_image_, view, f);
            // A record of length 0 reads as no bytes, not as an empty file.
            if (file.sound && (file.empty || !file.data.empty()) && file.data.size() <= f.max_size) {
                files_[f.file_index] = file.data;
            }
        }
    }

    // After a host call that answered 0 while unmounted: such calls may
    // erase or write whatever the input names.
    void relearn_image() {
        if (!on_image_) return;
        const auto view = test::read_efs_state(image_, *on_image_);
        if (!view) {
            on_image_.reset();
            files_.clear();
            return;
        }
        relearn_files(*view);
    }

    // Erase, payload or footer of a data block the input names. While
    // mounted a block that holds files is refused untouched; a spare may be
    // erased or written, which the files never notice.
    void host_data_block_call() {
        const bool mounted = efs_ctx.mounted != 0;
        const uint32_t block = next() % (data_blocks() + 1);
        const uint8_t kind = next() % 3;
        const std::vector<uint8_t> payload(EFS_PAYLOAD_SIZE, next());
        const bool holds_files =
            mounted && std::find(efs_ctx.valid_map, efs_ctx.valid_map + g_efs_valid_block_num, block) !=
                           efs_ctx.valid_map + g_efs_valid_block_num;
        const auto before = image_;
        int rc = 0;
        if (kind == 0) rc = EFS_erase_data_block(block, next());
        if (kind == 1) rc = EFS_write_data_block(block, payload.data());
        if (kind == 2) rc = EFS_write_data_footer(block, payload.data());
        if (holds_files && rc != 22) std::abort();
        if (rc == 22 && image_ != before) std::abort();
        if (!mounted && rc == 0) relearn_image();
    }

    // Erase or check of a BM block the input names: while mounted the
    // current block is refused and the file system stays as it was.
    void host_bm_block_call() {
        const bool mounted = efs_ctx.mounted != 0;
        const uint32_t index = next() % (g_efs_bm_num + 1);
        const bool erase = (next() & 1) != 0;
        const auto before = image_;
        const int rc = erase ? EFS_erase_next_BM(index) : EFS_check_next_BM_state(index);
        if (mounted && index == efs_ctx.current_bm && rc != 22) std::abort();
        if ((rc == 22 || !erase) && image_ != before) std::abort();
        if (!mounted && erase && rc == 0) relearn_image();
    }

    void commit(bool by_switch) {
        const bool mounted = efs_ctx.mounted != 0;
        build_entry();
        const bool same = entry_is_committed();
        bool sound = entry_is_permutation();
        const auto before = image_;
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
        const auto before = image_;
        const int rc = EFS_bme_swap_and_write_new_block(&entry_, logical, payload.data());
        if (!sound && efs_ctx.mounted != 0 && rc != 22) std::abort();
        if (rc == 1 || rc == 22) {
            if (image_ != before) std::abort();
            return;
        }
        if (rc != 0) return;
        settle(EFS_commit_BME(&entry_, 0, 0), true, before, false);
    }

    // The state the model knows is on the image.
    void check_image() {
        if (!on_image_) return;
        const auto view = test::read_efs_state(image_, *on_image_);
        if (!view) std::abort();
        for (const auto& f : on_image_->files) {
            const auto known = files_.find(f.file_index);
            if (known == files_.end()) continue;
            const auto file = test::decode_efs_file(image_, *on_image_, *view, f);
            if (!file.sound || file.data != known->second) std::abort();
        }
    }

    const uint8_t* in_;
    size_t size_;
    size_t pos_ = 0;
    bool by_tools_ = false;
    Row loaded_;
    std::optional<Row> on_image_;
    std::vector<uint8_t> image_;
    // Known contents by file index (empty: no bytes or no file); a file the
    // model cannot tell is absent.
    std::map<uint16_t, std::vector<uint8_t>> files_;
    std::vector<uint8_t> maps_;
    efs_bme_t entry_{};
};

}  // namespace dorv::fuzz

#endif
