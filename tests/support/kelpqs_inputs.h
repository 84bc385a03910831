// Test-side start-up inputs of the library API: the record of buffers, the
// ombl.cfg partition, a sample configuration set and the fuzz input layout.
#ifndef DORV_TESTS_SUPPORT_KELPQS_INPUTS_H
#define DORV_TESTS_SUPPORT_KELPQS_INPUTS_H

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

#include "dorv/kelpqs.h"
#include "support/fcs_builder.h"

namespace dorv::test {

// The buffers of one start-up. record() points into them: they must stay
// alive while the library uses them.
struct DorvInputs {
    Bytes tarvo;
    Bytes ombl;
    Bytes ftbl;
    Bytes pqs;
    Bytes efs;
    uint32_t sku = 0;

    // Empty buffers are given as (null, 0).
    DorvInitTables record();
};

// An ombl.cfg partition: a 16-byte head whose word at offset 8 is the table
// size (the Zan.cfg buffer's size unless given), then the Zan.cfg buffer.
Bytes make_ombl(const Bytes& zan_cfg, std::optional<uint32_t> table_size = std::nullopt);

// The sample configuration set of the API tests (SKU 7).
namespace sample {
constexpr uint32_t kSku = 7;
constexpr uint32_t kAlpha = 0x201;   // "/home/mca/alpha": tarvo value, valid Zan override
constexpr uint32_t kBeta = 0x202;    // "/home/mca/beta": tarvo value only, has a trailer
constexpr uint32_t kBetaX = 0x203;   // "/home/mca/beta.x": sorts after beta, but beta.x/ before beta/
constexpr uint32_t kGamma = 0x204;   // "/home/mca/gamma": empty tarvo record, not valid
constexpr uint32_t kDelta = 0x205;   // "/home/mca/delta": only in Zan.cfg
constexpr uint32_t kEmpty = 0x206;   // "/home/cfg/empty": valid, empty value
constexpr uint32_t kHidden = 0x207;  // "/home/cfg/hidden": hidden by an invalid 3-byte override
constexpr uint32_t kUnknown = 0x999; // in tarvo.cfg but not in the file table

Bytes alphaDefault();   // "alpha-default"
Bytes alphaOverride();  // "alpha-zan", record flags 0x81, reserved 0x5A
Bytes betaValue();      // 01 02 03 04

Bytes ftbl();
Bytes tarvo();
Bytes zan();  // the Zan.cfg table inside ombl()
Bytes ombl();
// The Zan.cfg table that terminating a start-up on inputs() builds when no
// value was changed: the valid current values, "/home/mca/beta.x" before
// "/home/mca/beta".
Bytes builtZan();
DorvInputs inputs();  // tarvo(), ombl(), ftbl(), SKU 7
}  // namespace sample

}  // namespace dorv::test

#endif
