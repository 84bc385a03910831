// Feeds arbitrary bytes to the file-table and EFS layout loaders with a few
// SKU ids, then runs every lookup; the sanitizers catch any read outside the
// input or write outside the EFS_files array.
#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

#include "common/le_bytes.h"
#include "dorv/efs.h"
#include "dorv/file_table.h"
#include "efs/efs_layout.h"
#include "fcs/file_table_internal.h"

namespace {

uint32_t load32(const std::vector<uint8_t>& bytes, size_t at) {
    return dorv::le::fits(bytes.size(), at, 4) ? dorv::le::load32(bytes.data() + at) : 0;
}

volatile uint32_t g_sink;

void run_lookups() {
    // Every entry of the selection must lie inside the input.
    for (int32_t i = 0; i < g_table_num_files; ++i) {
        const file_table_entry_t& entry = g_table_buf[i];
        g_sink = g_sink + static_cast<uint8_t>(entry.name[0]) +
                 static_cast<uint8_t>(entry.name[47]) + entry.max_data_size;
    }
    std::vector<std::string> names = {"", "/home/a", "/home/" + std::string(42, 'q'),
                                      "/home/" + std::string(43, 'q'), std::string(300, 'z')};
    if (g_table_num_files > 0) {
        // The first entry's own name, cut to 48 bytes, and once more with an extra character.
        const std::string own(dorv::fcs::name_field_view(g_table_buf[0].name));
        names.push_back(own);
        names.push_back(own + "x");
    }
    for (const std::string& name : names) {
        fileno_t number{0};
        file_attributes_t attributes = 0;
        uint32_t max_size = 0;
        char out[48];
        g_sink = g_sink + (get_file_entry_by_file_name(name.c_str()) != nullptr);
        if (get_fileno_by_file_name(name.c_str(), &number) == 0) {
            g_sink = g_sink + (get_file_entry_by_fileno(&number) != nullptr);
            g_sink = g_sink + get_file_name_by_fileno(&number, out) + static_cast<uint8_t>(out[47]);
        }
        g_sink = g_sink + get_file_attributes_by_file_name(name.c_str(), &attributes, &max_size);
    }
    for (uint32_t n : {0u, 1u, 0x10u, 0xFFFFFFFFu}) {
        const fileno_t number{n};
        char out[48];
        g_sink = g_sink + (get_file_entry_by_fileno(&number) != nullptr) +
                 get_file_name_by_fileno(&number, out);
    }
    // Every configured record the loaded layout names must be readable.
    for (uint32_t i = 0; i < g_efs_files_num && i <= 65536; ++i) {
        const efs_file_layout_t* record = dorv::efs::layout_record(i);
        if (record == nullptr) break;
        g_sink = g_sink + record->flags + record->max_size;
    }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    // An exact-size copy, so that a read one byte past the input is caught.
    const std::vector<uint8_t> bytes(data, data + size);
    const uint32_t size32 = static_cast<uint32_t>(size);
    const uint32_t skus[] = {1, 0x101, load32(bytes, 16), load32(bytes, 32)};

    dorv::fcs::reset_file_table();
    dorv::efs::reset_layout();
    for (uint32_t sku : skus) {
        // No reset between the loads: each one must cope with the state the
        // one before left, and release what it replaces.
        load_file_table(bytes.data(), sku, size32);
        run_lookups();
        load_autogen_data(bytes.data(), static_cast<int>(sku), size32);
        run_lookups();
    }
    dorv::fcs::reset_file_table();
    dorv::efs::reset_layout();
    return 0;
}
