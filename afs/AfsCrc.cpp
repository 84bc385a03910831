// CRC-16 (0x1021, MSB first, start 0xFFFF), its 14-bit variant and CRC-8
// (0x07, start 1). crc16 runs over every page read and written: on x86-64
// processors with carry-less multiplication it folds 16 bytes per multiply
// pair; elsewhere it uses sixteen slicing tables built at compile time.
#include <array>
#include <cstdint>

#include "afs/afs_crc.h"
#include "dorv/afs.h"

#if defined(__x86_64__) && defined(__GNUC__) && !defined(_WIN32)
#define DORV_AFS_CRC_CLMUL 1
#include <immintrin.h>
#endif

namespace {

constexpr uint16_t step16(uint16_t r) {
    for (int bit = 0; bit < 8; ++bit) r = static_cast<uint16_t>((r & 0x8000) ? (r << 1) ^ 0x1021 : r << 1);
    return r;
}

constexpr int kSliceCount = 16;
using Slices = std::array<std::array<uint16_t, 256>, kSliceCount>;

constexpr Slices make_slices() {
    Slices t{};
    for (uint32_t i = 0; i < 256; ++i) t[0][i] = step16(static_cast<uint16_t>(i << 8));
    for (int k = 1; k < kSliceCount; ++k) {
        for (uint32_t i = 0; i < 256; ++i) {
            const uint16_t prev = t[k - 1][i];
            t[k][i] = static_cast<uint16_t>((prev << 8) ^ t[0][prev >> 8]);
        }
    }
    return t;
}

constexpr Slices kSlices = make_slices();
constexpr const std::array<uint16_t, 256>& crc16_table = kSlices[0];

inline uint16_t byte16(uint16_t r, uint8_t b) {
    return static_cast<uint16_t>((r << 8) ^ crc16_table[((r >> 8) ^ b) & 0xFF]);
}

// Bytes of one 16-byte step of the table version: the running value folds
// into the first two bytes, every byte looks up the table of its distance
// from the end.
inline uint16_t slice16(uint16_t r, const uint8_t* p) {
    return static_cast<uint16_t>(kSlices[15][(p[0] ^ (r >> 8)) & 0xFF] ^ kSlices[14][(p[1] ^ r) & 0xFF] ^
                                 kSlices[13][p[2]] ^ kSlices[12][p[3]] ^ kSlices[11][p[4]] ^
                                 kSlices[10][p[5]] ^ kSlices[9][p[6]] ^ kSlices[8][p[7]] ^
                                 kSlices[7][p[8]] ^ kSlices[6][p[9]] ^ kSlices[5][p[10]] ^
                                 kSlices[4][p[11]] ^ kSlices[3][p[12]] ^ kSlices[2][p[13]] ^
                                 kSlices[1][p[14]] ^ kSlices[0][p[15]]);
}

inline uint16_t finish(uint16_t r, const uint8_t* p, uint32_t n, uint16_t seed) {
    while (n-- > 0) r = byte16(r, *p++);
    // The seed's two bytes (low first) in one step of two lookups.
    const uint32_t w = r ^ (static_cast<uint32_t>(seed & 0xFF) << 8 | seed >> 8);
    return static_cast<uint16_t>(kSlices[1][w >> 8] ^ kSlices[0][w & 0xFF]);
}

#ifdef DORV_AFS_CRC_CLMUL

// x^n mod (x^16 + x^12 + x^5 + 1), the polynomial of crc16.
constexpr uint64_t x_pow_mod(uint32_t n) {
    uint32_t r = 1;
    for (uint32_t i = 0; i < n; ++i) {
        r <<= 1;
        if (r & 0x10000u) r ^= 0x11021u;
    }
    return r;
}

// The bytes are read as one polynomial, first byte's top bit highest. A
// 16-byte block, byte-reversed into a register, is a polynomial of degree
// < 128 whose high half H and low half L are its first and last 8 bytes, and
// B x^n = H x^(n+64) + L x^n is two multiplies by 16-bit constants x^k mod P.
// The running value A (congruent to the bytes so far, the start value folded
// into the first two) moves past four blocks at once, every multiply
// independent of the others, then past single blocks. At the end A x^16
// mod P is the table version's running value (A x^32 + seed x^16 when the
// seed follows at once): reduced by multiplies below x^64, then by six table
// lookups.
struct Clmul {
    __attribute__((target("pclmul,ssse3"))) static __m128i load(const uint8_t* p) {
        const __m128i reverse = _mm_set_epi8(0, 1, 2, 3, 4, 5, 6, 7, 8, 9, 10, 11, 12, 13, 14, 15);
        return _mm_shuffle_epi8(_mm_loadu_si128(reinterpret_cast<const __m128i*>(p)), reverse);
    }
    // x^(n + 64) mod P in the high half, x^n mod P in the low one.
    template <uint32_t N>
    __attribute__((target("pclmul,ssse3"))) static __m128i pair() {
        constexpr auto high = static_cast<long long>(x_pow_mod(N + 64));
        constexpr auto low = static_cast<long long>(x_pow_mod(N));
        return _mm_set_epi64x(high, low);
    }
    // B x^n for a pair of constants of n.
    __attribute__((target("pclmul,ssse3"))) static __m128i times(__m128i b, __m128i k) {
        return _mm_xor_si128(_mm_clmulepi64_si128(b, k, 0x11), _mm_clmulepi64_si128(b, k, 0x00));
    }
    // A value below x^80 reduced to 16 bits.
    __attribute__((target("pclmul,ssse3"))) static uint16_t reduce80(__m128i t) {
        constexpr auto x64 = static_cast<long long>(x_pow_mod(64));
        const __m128i k64 = _mm_set_epi64x(0, x64);
        // Its bits from x^64 up (16 of them) times x^64 mod P: below x^64.
        const __m128i u = _mm_xor_si128(_mm_clmulepi64_si128(_mm_srli_si128(t, 8), k64, 0x00), t);
        const auto v = static_cast<uint64_t>(_mm_cvtsi128_si64(u));
        // Bytes 2-7 of v stand at x^16 .. x^63: the slicing tables reduce them.
        return static_cast<uint16_t>(v ^ kSlices[0][(v >> 16) & 0xFF] ^ kSlices[1][(v >> 24) & 0xFF] ^
                                     kSlices[2][(v >> 32) & 0xFF] ^ kSlices[3][(v >> 40) & 0xFF] ^
                                     kSlices[4][(v >> 48) & 0xFF] ^ kSlices[5][(v >> 56) & 0xFF]);
    }
};

// A of `blocks` (>= 1) blocks.
__attribute__((target("pclmul,ssse3"), always_inline)) inline __m128i clmul_fold(const uint8_t* p, uint32_t blocks) {
    const __m128i start = _mm_set_epi64x(static_cast<long long>(0xFFFF000000000000ull), 0);
    __m128i a = _mm_setzero_si128();
    uint32_t i = 0;
    if (blocks >= 4) {
        const __m128i k384 = Clmul::pair<384>(), k256 = Clmul::pair<256>(), k128 = Clmul::pair<128>();
        a = _mm_xor_si128(_mm_xor_si128(Clmul::times(_mm_xor_si128(Clmul::load(p), start), k384),
                                        Clmul::times(Clmul::load(p + 16), k256)),
                          _mm_xor_si128(Clmul::times(Clmul::load(p + 32), k128), Clmul::load(p + 48)));
        i = 4;
        const __m128i k512 = Clmul::pair<512>();
        for (; i + 4 <= blocks; i += 4) {
            const uint8_t* q = p + 16 * i;
            a = _mm_xor_si128(_mm_xor_si128(Clmul::times(a, k512), Clmul::times(Clmul::load(q), k384)),
                              _mm_xor_si128(_mm_xor_si128(Clmul::times(Clmul::load(q + 16), k256),
                                                          Clmul::times(Clmul::load(q + 32), k128)),
                                            Clmul::load(q + 48)));
        }
    } else {
        a = _mm_xor_si128(Clmul::load(p), start);
        i = 1;
    }
    const __m128i k128 = Clmul::pair<128>();
    for (; i < blocks; ++i) a = _mm_xor_si128(Clmul::times(a, k128), Clmul::load(p + 16 * i));
    return a;
}

// The running value after `blocks` blocks: A x^16 = H x^80 + L x^16.
__attribute__((target("pclmul,ssse3"), always_inline)) inline uint16_t clmul_blocks(const uint8_t* p, uint32_t blocks) {
    const __m128i a = clmul_fold(p, blocks);
    constexpr auto x80 = static_cast<long long>(x_pow_mod(80));
    const __m128i k80 = _mm_set_epi64x(0, x80);
    return Clmul::reduce80(_mm_xor_si128(_mm_clmulepi64_si128(a, k80, 0x01), _mm_slli_si128(_mm_move_epi64(a), 2)));
}

// The crc of `blocks` blocks then the seed's low and high byte:
// A x^32 + (low x^8 + high) x^16 = H x^96 + L x^32 + seed' x^16.
__attribute__((target("pclmul,ssse3"), always_inline)) inline uint16_t clmul_blocks_seed(const uint8_t* p, uint32_t blocks,
                                                                                 uint16_t seed) {
    const __m128i a = clmul_fold(p, blocks);
    const uint32_t s = static_cast<uint32_t>(seed & 0xFF) << 8 | seed >> 8;
    const __m128i k32 = Clmul::pair<32>();
    return Clmul::reduce80(_mm_xor_si128(Clmul::times(a, k32), _mm_cvtsi32_si128(static_cast<int>(s << 16))));
}

// crc16 of length >= 16 bytes and the seed.
__attribute__((target("pclmul,ssse3"))) uint16_t clmul_crc16(const uint8_t* data, uint32_t length, uint16_t seed) {
    const uint32_t blocks = length / 16;
    return length % 16 == 0 ? clmul_blocks_seed(data, blocks, seed)
                            : finish(clmul_blocks(data, blocks), data + 16 * blocks, length % 16, seed);
}

bool clmul_available() {
    static const bool available = __builtin_cpu_supports("pclmul") && __builtin_cpu_supports("ssse3");
    return available;
}

#endif

constexpr uint8_t crc8_entry(uint8_t b) {
    for (int bit = 0; bit < 8; ++bit) b = static_cast<uint8_t>((b & 0x80) ? (b << 1) ^ 0x07 : b << 1);
    return b;
}

}  // namespace

DORV_C_BEGIN

DORV_API extern const uint8_t gCrc8_low[16] = {
    crc8_entry(0x0), crc8_entry(0x1), crc8_entry(0x2), crc8_entry(0x3), crc8_entry(0x4), crc8_entry(0x5),
    crc8_entry(0x6), crc8_entry(0x7), crc8_entry(0x8), crc8_entry(0x9), crc8_entry(0xA), crc8_entry(0xB),
    crc8_entry(0xC), crc8_entry(0xD), crc8_entry(0xE), crc8_entry(0xF)};
DORV_API extern const uint8_t gCrc8_high[16] = {
    crc8_entry(0x00), crc8_entry(0x10), crc8_entry(0x20), crc8_entry(0x30), crc8_entry(0x40), crc8_entry(0x50),
    crc8_entry(0x60), crc8_entry(0x70), crc8_entry(0x80), crc8_entry(0x90), crc8_entry(0xA0), crc8_entry(0xB0),
    crc8_entry(0xC0), crc8_entry(0xD0), crc8_entry(0xE0), crc8_entry(0xF0)};

DORV_API uint16_t crc16(const uint8_t* data, int32_t length, const uint16_t* seed) {
    const uint32_t n = (data != nullptr && length > 0) ? static_cast<uint32_t>(length) : 0;
    const uint16_t s = seed != nullptr ? *seed : 0;
#ifdef DORV_AFS_CRC_CLMUL
    if (n >= 16 && clmul_available()) return clmul_crc16(data, n, s);
#endif
    return dorv::afs::crc16_tables(data, n, s);
}

DORV_API uint16_t crc14(const uint8_t* data, int32_t length) {
    uint16_t r = 0x3FFF;
    if (data == nullptr) return r;
    for (int32_t i = 0; i < length; ++i) r = static_cast<uint16_t>(byte16(r, data[i]) & 0x3FFF);
    return r;
}

DORV_API uint8_t crc8(const uint8_t* data, uint32_t length) {
    uint8_t r = 0x01;
    if (data == nullptr) return r;
    for (uint32_t i = 0; i < length; ++i) {
        const uint8_t x = static_cast<uint8_t>(r ^ data[i]);
        r = static_cast<uint8_t>(gCrc8_high[x >> 4] ^ gCrc8_low[x & 0x0F]);
    }
    return r;
}

DORV_C_END

namespace dorv::afs {

uint16_t crc16_tables(const uint8_t* data, uint32_t length, uint16_t seed) {
    uint16_t r = 0xFFFF;
    const uint8_t* p = data;
    uint32_t n = length;
    for (; n >= 16; n -= 16, p += 16) r = slice16(r, p);
    return finish(r, p, n, seed);
}

bool crc16_clmul(const uint8_t* data, uint32_t length, uint16_t seed, uint16_t* out) {
#ifdef DORV_AFS_CRC_CLMUL
    if (!clmul_available()) return false;
    *out = length < 16 ? finish(0xFFFF, data, length, seed) : clmul_crc16(data, length, seed);
    return true;
#else
    (void)data, (void)length, (void)seed, (void)out;
    return false;
#endif
}

}  // namespace dorv::afs
