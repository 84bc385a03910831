// Little-endian loads and stores of 8/16/32-bit fields in byte buffers.
//
// Every on-flash and in-buffer format of the library is little-endian and
// unaligned. These helpers never check bounds: the caller checks that the
// field lies inside its buffer before every call.
#ifndef DORV_COMMON_LE_BYTES_H
#define DORV_COMMON_LE_BYTES_H

#include <cstddef>
#include <cstdint>

namespace dorv::le {

inline uint8_t load8(const uint8_t* p) { return p[0]; }

inline uint16_t load16(const uint8_t* p) {
    return static_cast<uint16_t>(p[0] | (p[1] << 8));
}

inline uint32_t load32(const uint8_t* p) {
    return static_cast<uint32_t>(p[0]) | (static_cast<uint32_t>(p[1]) << 8) |
           (static_cast<uint32_t>(p[2]) << 16) | (static_cast<uint32_t>(p[3]) << 24);
}

inline void store8(uint8_t* p, uint8_t v) { p[0] = v; }

inline void store16(uint8_t* p, uint16_t v) {
    p[0] = static_cast<uint8_t>(v);
    p[1] = static_cast<uint8_t>(v >> 8);
}

inline void store32(uint8_t* p, uint32_t v) {
    p[0] = static_cast<uint8_t>(v);
    p[1] = static_cast<uint8_t>(v >> 8);
    p[2] = static_cast<uint8_t>(v >> 16);
    p[3] = static_cast<uint8_t>(v >> 24);
}

// True when [offset, offset + length) lies inside a buffer of `size` bytes,
// computed without wrapping for any operands.
inline bool fits(uint64_t size, uint64_t offset, uint64_t length) {
    return offset <= size && length <= size - offset;
}

}  // namespace dorv::le

#endif
