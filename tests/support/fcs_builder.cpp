#include "support/fcs_builder.h"

#include <stdexcept>

#include "support/file_tree_builders.h"

namespace dorv::test {
namespace {

void put16(Bytes& out, uint16_t v) {
    out.push_back(static_cast<uint8_t>(v));
    out.push_back(static_cast<uint8_t>(v >> 8));
}

void put32(Bytes& out, uint32_t v) {
    for (int shift = 0; shift < 32; shift += 8) out.push_back(static_cast<uint8_t>(v >> shift));
}

void put_header(Bytes& out, uint32_t number, uint32_t offset, uint16_t length, uint8_t flags,
                uint8_t reserved) {
    put32(out, number);
    put32(out, offset);
    put16(out, length);
    out.push_back(flags);
    out.push_back(reserved);
}

}  // namespace

Bytes make_record(uint32_t file_number, const Bytes& payload, uint8_t flags, uint8_t reserved,
                  uint32_t data_offset, std::optional<uint16_t> data_length) {
    Bytes out = makeRecord(file_number, payload, flags, reserved,
                           data_length.value_or(static_cast<uint16_t>(payload.size())));
    for (int i = 0; i < 4; ++i) out[4 + i] = static_cast<uint8_t>(data_offset >> (8 * i));
    return out;
}

Bytes pattern(std::size_t length, uint8_t seed) {
    Bytes out(length);
    for (std::size_t i = 0; i < length; ++i) out[i] = static_cast<uint8_t>(seed + i * 7);
    return out;
}

FcsBuilder& FcsBuilder::file(uint32_t file_number, const Bytes& payload, uint8_t flags,
                             uint8_t reserved) {
    if (payload.size() > 0xFFFF) throw std::length_error("payload over 16 bits");
    headers_.push_back({file_number, static_cast<uint32_t>(data_.size()),
                        static_cast<uint16_t>(payload.size()), flags, reserved, true});
    data_.insert(data_.end(), payload.begin(), payload.end());
    return *this;
}

FcsBuilder& FcsBuilder::raw(uint32_t file_number, uint32_t data_offset, uint16_t data_length,
                            uint8_t flags, uint8_t reserved) {
    headers_.push_back({file_number, data_offset, data_length, flags, reserved, false});
    return *this;
}

FcsBuilder& FcsBuilder::data(const Bytes& bytes) {
    data_.insert(data_.end(), bytes.begin(), bytes.end());
    return *this;
}

FcsBuilder& FcsBuilder::count(uint32_t n) {
    count_ = n;
    return *this;
}

uint32_t FcsBuilder::data_start() const { return static_cast<uint32_t>(4 + 12 * headers_.size()); }

Bytes FcsBuilder::build() const {
    Bytes out;
    put32(out, count_.value_or(static_cast<uint32_t>(headers_.size())));
    for (const Header& h : headers_) {
        const uint32_t offset = h.relative ? data_start() + h.data_offset : h.data_offset;
        put_header(out, h.file_number, offset, h.data_length, h.flags, h.reserved);
    }
    out.insert(out.end(), data_.begin(), data_.end());
    return out;
}

}  // namespace dorv::test
