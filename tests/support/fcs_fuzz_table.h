// The fixed file table that the FCS buffer fuzz target and its seed test open
// buffers against: short and 48-character names, an empty name, a name used
// by two numbers, file number 0 and the largest size limit.
#ifndef DORV_TESTS_SUPPORT_FCS_FUZZ_TABLE_H
#define DORV_TESTS_SUPPORT_FCS_FUZZ_TABLE_H

#include <cstdint>
#include <string>
#include <vector>

#include "support/ftbl_builder.h"

namespace dorv::test {

constexpr uint32_t kFcsFuzzSku = 3;

inline std::vector<uint8_t> fcs_fuzz_table() {
    return FtblBuilder()
        .add_sku(kFcsFuzzSku, {{"/home/a", 1, 0x0001, 0, 0, 16},
                               {"/home/b", 2, 0x0002, 0, 0, 0},
                               {"/home/c/", 3, 0, 0, 0, 0xFFFFFFFF},
                               {std::string(48, 'x'), 4, 0, 0, 0, 8},
                               {"", 5, 0, 0, 0, 4},
                               {"/home/zero", 0, 0, 0, 0, 64},
                               {"/home/a", 6, 0, 0, 0, 16}})
        .build();
}

}  // namespace dorv::test

#endif
