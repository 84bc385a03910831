// The medium under an emulated flash device.
//
// Both flash file systems emulate their chips over a caller's buffer, and
// every byte they read, write or erase in that buffer goes through a Medium.
// The library runs on plain memory; the tests put a recording or
// power-cutting medium in its place, so they see every write and erase in the
// order it reaches the image. The flash layers check every range against their
// image before they call the medium, so a medium never sees one outside it.
#ifndef DORV_COMMON_FLASH_MEDIUM_H
#define DORV_COMMON_FLASH_MEDIUM_H

#include <cstdint>
#include <cstring>

namespace dorv::flash {

class Medium {
public:
    virtual ~Medium() = default;
    virtual void read(const uint8_t* image, uint32_t offset, uint8_t* dst, uint32_t length) {
        if (length != 0) std::memcpy(dst, image + offset, length);
    }
    // Plain overwrite: the new bytes replace the old ones whatever they were.
    virtual void write(uint8_t* image, uint32_t offset, const uint8_t* src, uint32_t length) {
        if (length != 0) std::memmove(image + offset, src, length);
    }
    // An erased byte reads 0xFF.
    virtual void erase(uint8_t* image, uint32_t offset, uint32_t length) {
        if (length != 0) std::memset(image + offset, 0xFF, length);
    }
};

// Plain memory, the medium of every flash layer outside the tests.
inline Medium& direct_medium() {
    static Medium direct;
    return direct;
}

// The medium one flash layer runs on. Each file system keeps its own slot in
// its module state, so a test swaps one without touching the other.
class MediumSlot {
public:
    Medium& get() const { return *current_; }
    // Null puts plain memory back.
    void set(Medium* medium) { current_ = medium != nullptr ? medium : &direct_medium(); }

private:
    Medium* current_ = &direct_medium();
};

}  // namespace dorv::flash

#endif
