// The seed buffers of the FCS buffer fuzz target, opened against its table.
// With DORV_WRITE_FUZZ_SEEDS=<dir> set the test also writes them there, which
// is how fuzz/corpus/fcs_buffer/ was made.
#include <gtest/gtest.h>

#include <string>
#include <tuple>
#include <vector>

#include "dorv/fcs.h"
#include "dorv/file_table.h"
#include "support/fcs_builder.h"
#include "support/fcs_fuzz_table.h"
#include "support/file_table_state.h"
#include "support/fuzz_seeds.h"

namespace {

using dorv::test::FcsBuilder;
using dorv::test::pattern;

std::vector<std::tuple<std::string, std::vector<uint8_t>, fcs_status_t>> seeds() {
    return {
        {"empty", FcsBuilder().build(), FCS_OK},
        {"three_files_unsorted",
         FcsBuilder()
             .file(2, pattern(5, 1))
             .file(1, pattern(16, 2), 0x00, 0x7F)
             .file(99, pattern(3, 3))
             .build(),
         FCS_OK},
        {"overlapping_payloads",
         FcsBuilder()
             .raw(3, 4, 20)
             .raw(1, 16, 8, 0x01, 0xAA)
             .raw(2, 0, 0)
             .data(pattern(8, 9))
             .build(),
         FCS_OK},
        {"long_empty_and_zero_names",
         FcsBuilder()
             .file(4, pattern(8, 4))
             .file(5, {})
             .file(0, pattern(2, 5))
             .file(6, pattern(1, 6))
             .build(),
         FCS_OK},
        {"duplicate_file", FcsBuilder().file(1, {1}).file(1, {2}).build(), FCS_INVALID_BUFFER},
    };
}

class FcsSeeds : public dorv::test::FileTableStateTest {};

TEST_F(FcsSeeds, EverySeedOpensAsIntended) {
    const std::vector<uint8_t> table = dorv::test::fcs_fuzz_table();
    ASSERT_EQ(
        load_file_table(table.data(), dorv::test::kFcsFuzzSku, static_cast<uint32_t>(table.size())),
        0);
    for (const auto& [name, bytes, expected] : seeds()) {
        fcs_handle_t* handle = nullptr;
        const auto size = static_cast<uint32_t>(bytes.size());
        EXPECT_EQ(createHandleFromStructure(&handle, bytes.data(), size), expected) << name;
        if (handle != nullptr) closeHandle(&handle);
        EXPECT_TRUE(dorv::test::writeSeedIfAsked(name, bytes)) << name;
    }
}

}  // namespace
