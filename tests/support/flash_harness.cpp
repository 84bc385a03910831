#include "support/flash_harness.h"

#include <algorithm>
#include <cstring>

namespace dorv::test {

void FaultFlash::read(const uint8_t* image, uint32_t offset, uint8_t* dst, uint32_t length) {
    Medium::read(image, offset, dst, length);
    ++reads_;
    if (on_read) on_read(offset, dst, length);
}

void FaultFlash::cut_after(std::size_t ops, Tear tear) {
    budget_ = ops;
    tear_ = tear;
    lost_ = false;
}

// Decides how much of the next operation lands; records the power loss.
bool FaultFlash::admit(uint32_t length, uint32_t& landed, bool is_erase) {
    if (lost_) {
        landed = 0;
        return false;
    }
    if (budget_ > 0) {
        if (budget_ != std::numeric_limits<std::size_t>::max()) --budget_;
        landed = length;
        return true;
    }
    lost_ = true;
    landed = is_erase ? (tear_.half_erase ? length / 2 : 0) : std::min(tear_.write_prefix, length);
    return landed != 0;
}

void FaultFlash::write(uint8_t* image, uint32_t offset, const uint8_t* src, uint32_t length) {
    log_.push_back({FlashOp::Kind::write, offset, length, std::vector<uint8_t>(src, src + length)});
    uint32_t landed = 0;
    if (admit(length, landed, false)) Medium::write(image, offset, src, landed);
}

void FaultFlash::erase(uint8_t* image, uint32_t offset, uint32_t length) {
    log_.push_back({FlashOp::Kind::erase, offset, length, {}});
    uint32_t landed = 0;
    if (admit(length, landed, true)) Medium::erase(image, offset, landed);
}

std::vector<uint8_t> replay(std::vector<uint8_t> base, const std::vector<FlashOp>& log,
                            std::size_t count, bool torn, Tear tear) {
    auto apply = [&base](const FlashOp& op, uint32_t landed) {
        if (static_cast<uint64_t>(op.offset) + landed > base.size()) return;  // the layer never issues these
        if (op.kind == FlashOp::Kind::write) {
            std::memcpy(base.data() + op.offset, op.bytes.data(), landed);
        } else {
            std::memset(base.data() + op.offset, 0xFF, landed);
        }
    };
    count = std::min(count, log.size());
    for (std::size_t i = 0; i < count; ++i) apply(log[i], log[i].length);
    if (torn && count < log.size()) {
        const FlashOp& op = log[count];
        apply(op, op.kind == FlashOp::Kind::write ? std::min(tear.write_prefix, op.length)
                                                  : (tear.half_erase ? op.length / 2 : 0));
    }
    return base;
}

}  // namespace dorv::test
