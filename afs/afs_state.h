// Module-wide AFS state: the bound SPI device and the flash medium under it.
// One place for all of it, with a reset that the tests use.
#ifndef DORV_AFS_AFS_STATE_H
#define DORV_AFS_AFS_STATE_H

#include <cstdint>

#include "common/flash_medium.h"

namespace dorv::afs {

struct ModuleState {
    // Bytes of the bound device from gpBuffer on; 0 = nothing may be touched.
    uint32_t device_extent = 0;
    flash::MediumSlot medium;
    // Links followed by the public entry read since it last read a file id.
    uint32_t chunk_cntr = 0;
};

ModuleState& module_state();

// Binds the SPI device (gpBuffer) with the extent it may be accessed in.
void spi_bind(uint8_t* buffer, uint32_t extent);

// Back to the state at load: no device, plain memory medium.
void reset_module_state();

}  // namespace dorv::afs

#endif
