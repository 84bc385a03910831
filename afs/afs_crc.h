// The two ways the library computes crc16 (see AfsCrc.cpp): the portable
// table one, and the carry-less-multiply one on x86-64 processors that have
// the instruction. crc16 picks one at run time; both give the same values.
#ifndef DORV_AFS_AFS_CRC_H
#define DORV_AFS_AFS_CRC_H

#include <cstdint>

namespace dorv::afs {

// crc16 of `length` bytes (0xFFFF start) followed by the seed's low then high
// byte; data may be null only when length is 0.
uint16_t crc16_tables(const uint8_t* data, uint32_t length, uint16_t seed);
// Same; false (and nothing computed) where the processor or the build lacks
// carry-less multiplication.
bool crc16_clmul(const uint8_t* data, uint32_t length, uint16_t seed, uint16_t* out);

}  // namespace dorv::afs

#endif
