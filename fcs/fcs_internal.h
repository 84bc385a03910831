// Pieces of the FCS handle code that the tests reach directly. Not exported.
#ifndef DORV_FCS_FCS_INTERNAL_H
#define DORV_FCS_FCS_INTERNAL_H

#include <cstdint>

#include "dorv/fcs.h"

namespace dorv::fcs {

// Opens an FCS buffer into the handle's tree: FCS_OK, FCS_INVALID_BUFFER when
// the buffer is rejected, FCS_OUT_OF_MEMORY when an allocation failed. Never
// throws. Records added before a failure stay in the tree.
fcs_status_t load_buffer(fcs_handle_t* handle, const uint8_t* buffer, uint32_t size) noexcept;

// Size of the FCS buffer that holds `entries` headers and `data_bytes` bytes of
// payload, computed in 64 bits; false when it does not fit 32 bits.
bool flushed_size(uint64_t entries, uint64_t data_bytes, uint32_t* needed);

}  // namespace dorv::fcs

#endif
