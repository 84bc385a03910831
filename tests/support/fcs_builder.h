// Test-side writer of FCS buffers and file records, byte by byte, independent
// of the library's own flush.
#ifndef DORV_TESTS_SUPPORT_FCS_BUILDER_H
#define DORV_TESTS_SUPPORT_FCS_BUILDER_H

#include <cstdint>
#include <optional>
#include <vector>

namespace dorv::test {

using Bytes = std::vector<uint8_t>;

// A file record (makeRecord's) with the given data_offset; data_length is the
// payload's length unless given.
Bytes make_record(uint32_t file_number, const Bytes& payload, uint8_t flags = 0x01,
                  uint8_t reserved = 0, uint32_t data_offset = 0,
                  std::optional<uint16_t> data_length = std::nullopt);

// Payload of `length` bytes, each byte derived from `seed` and its position.
Bytes pattern(std::size_t length, uint8_t seed);

class FcsBuilder {
public:
    // A header whose payload is appended to the data area; its data_offset is
    // filled in by build() (relative to the start of the buffer).
    FcsBuilder& file(uint32_t file_number, const Bytes& payload, uint8_t flags = 0x01,
                     uint8_t reserved = 0);
    // A header written exactly as given; nothing is appended to the data area.
    FcsBuilder& raw(uint32_t file_number, uint32_t data_offset, uint16_t data_length,
                    uint8_t flags = 0x01, uint8_t reserved = 0);
    // Bytes appended to the data area without a header.
    FcsBuilder& data(const Bytes& bytes);
    // Writes a different entry count than the number of headers.
    FcsBuilder& count(uint32_t n);

    // Entry count, headers, data area.
    Bytes build() const;
    // Offset of the data area in the built buffer.
    uint32_t data_start() const;

private:
    struct Header {
        uint32_t file_number;
        uint32_t data_offset;  // relative to the data area for file(), absolute for raw()
        uint16_t data_length;
        uint8_t flags;
        uint8_t reserved;
        bool relative;
    };
    std::vector<Header> headers_;
    Bytes data_;
    std::optional<uint32_t> count_;
};

}  // namespace dorv::test

#endif
