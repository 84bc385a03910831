// Test media for the emulated flash layers of both file systems.
//
// FaultFlash records every write and erase that reaches an image (offset and
// bytes) and can cut the power: after a given number of operations the next
// one lands as the cut's Tear says (a write as its first write_prefix bytes,
// none by default; an erase on its first half with half_erase, else not at
// all) and nothing after it lands at all. replay() rebuilds the image that
// any prefix of a recorded log leaves, torn the same way, so a test can mount
// every state a power loss could leave behind.
#ifndef DORV_TESTS_SUPPORT_FLASH_HARNESS_H
#define DORV_TESTS_SUPPORT_FLASH_HARNESS_H

#include <cstddef>
#include <cstdint>
#include <functional>
#include <limits>
#include <vector>

#include "common/flash_medium.h"

namespace dorv::test {

struct FlashOp {
    enum class Kind { write, erase };
    Kind kind;
    uint32_t offset;
    uint32_t length;
    std::vector<uint8_t> bytes;  // the written bytes (writes only)
};

// How the operation that the power cut hits lands.
struct Tear {
    uint32_t write_prefix = 0;  // bytes of a torn write that land
    bool half_erase = false;    // a torn erase lands on its first half (else not at all)
};

class FaultFlash : public flash::Medium {
public:
    void read(const uint8_t* image, uint32_t offset, uint8_t* dst, uint32_t length) override;
    void write(uint8_t* image, uint32_t offset, const uint8_t* src, uint32_t length) override;
    void erase(uint8_t* image, uint32_t offset, uint32_t length) override;

    // After `ops` more writes or erases have landed whole, the next one lands
    // as `tear` says and later ones are dropped (still recorded as attempted).
    void cut_after(std::size_t ops, Tear tear = {});
    bool power_lost() const { return lost_; }

    // Every write and erase that was issued, in order (those after a cut too).
    const std::vector<FlashOp>& log() const { return log_; }
    void clear_log() { log_.clear(); }

    // Called after every read with the bytes just read; a test may change
    // them to imitate a flaky read.
    std::function<void(uint32_t offset, uint8_t* dst, uint32_t length)> on_read;
    std::size_t reads() const { return reads_; }

private:
    bool admit(uint32_t length, uint32_t& landed, bool is_erase);

    std::vector<FlashOp> log_;
    std::size_t budget_ = std::numeric_limits<std::size_t>::max();
    Tear tear_;
    bool lost_ = false;
    std::size_t reads_ = 0;
};

// `base` with the first `count` operations of `log` applied, and then
// operation `count` applied as `tear` says when `torn` is set.
std::vector<uint8_t> replay(std::vector<uint8_t> base, const std::vector<FlashOp>& log,
                            std::size_t count, bool torn = false, Tear tear = {});

// Puts a medium in a flash layer's slot for one scope.
class ScopedMedium {
public:
    ScopedMedium(flash::MediumSlot& slot, flash::Medium& medium) : slot_(slot) { slot_.set(&medium); }
    ~ScopedMedium() { slot_.set(nullptr); }
    ScopedMedium(const ScopedMedium&) = delete;
    ScopedMedium& operator=(const ScopedMedium&) = delete;

private:
    flash::MediumSlot& slot_;
};

}  // namespace dorv::test

#endif
