#include "support/fcs_builder.h"

#include <stdexcept>

#include "support/file_tree_builders.h"
#include "support/ftbl_builder.h"

namespace dorv::test {

Bytes make_record(uint32_t file_number, const Bytes& payload, uint8_t flags, uint8_t reserved,
                  uint32_t data_offset, std::optional<uint16_t> data_length) {
    return makeRecord(file_number, payload, flags, reserved,
                      data_length.value_or(static_cast<uint16_t>(payload.size())), data_offset);
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
    Bytes out(data_start());
    put_le32(out, 0, count_.value_or(static_cast<uint32_t>(headers_.size())));
    std::size_t at = 4;
    for (const Header& h : headers_) {
        const uint32_t offset = h.relative ? data_start() + h.data_offset : h.data_offset;
        putRecordHeader(out, at, h.file_number, offset, h.data_length, h.flags, h.reserved);
        at += 12;
    }
    out.insert(out.end(), data_.begin(), data_.end());
    return out;
}

}  // namespace dorv::test
