#include "afs/afs_state.h"

#include "dorv/afs.h"

uint8_t* gpBuffer = nullptr;

namespace dorv::afs {

ModuleState& module_state() {
    static ModuleState state;
    return state;
}

void spi_bind(uint8_t* buffer, uint32_t extent) {
    gpBuffer = buffer;
    module_state().device_extent = buffer != nullptr ? extent : 0;
}

void reset_module_state() {
    spi_bind(nullptr, 0);
    module_state().medium.set(nullptr);
    module_state().chunk_cntr = 0;
}

}  // namespace dorv::afs
