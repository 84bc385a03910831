// SPI flash emulated over the caller's image. Every access is checked against
// the extent the device was bound with; the medium under it does the copy.
#include <cstdint>

#include "afs/afs_layout.h"
#include "afs/afs_state.h"
#include "common/le_bytes.h"
#include "dorv/afs.h"

namespace {

using dorv::afs::module_state;

bool in_device(uint64_t offset, uint64_t length) {
    return gpBuffer != nullptr && dorv::le::fits(module_state().device_extent, offset, length);
}

uint32_t device_read(uint64_t offset, uint32_t length, uint8_t* destination) {
    if (length == 0) return STORAGE_OK;
    if (destination == nullptr || !in_device(offset, length)) return STORAGE_IO_ERROR;
    module_state().medium.get().read(gpBuffer, static_cast<uint32_t>(offset), destination, length);
    return STORAGE_OK;
}

uint32_t device_write(uint64_t offset, uint32_t length, const uint8_t* source) {
    if (length == 0) return STORAGE_OK;
    if (source == nullptr || !in_device(offset, length)) return STORAGE_IO_ERROR;
    module_state().medium.get().write(gpBuffer, static_cast<uint32_t>(offset), source, length);
    return STORAGE_OK;
}

}  // namespace

DORV_C_BEGIN

DORV_API uint32_t SpiFlashDrvInitialize(uint8_t* buffer) {
    dorv::afs::spi_bind(buffer, 0);
    return STORAGE_OK;
}

DORV_API uint32_t SpiFlashDrvDeinitialize(void) { return STORAGE_OK; }

DORV_API uint32_t SpiDrvRead(uint32_t offset, uint32_t length, uint8_t* destination) {
    return device_read(offset, length, destination);
}

DORV_API uint32_t SpiDrvWrite(uint32_t offset, uint32_t length, const uint8_t* source) {
    return device_write(offset, length, source);
}

DORV_API uint32_t SpiDrvEraseBlock(uint32_t offset) {
    constexpr uint32_t block = dorv::afs::layout::kEraseBlock;
    if (!in_device(offset, block)) return STORAGE_IO_ERROR;
    module_state().medium.get().erase(gpBuffer, offset, block);
    return STORAGE_OK;
}

DORV_API uint32_t mg_copyfrom(void*, uint32_t base, uint32_t offset, uint8_t* destination, uint32_t,
                              uint32_t length) {
    return device_read(static_cast<uint64_t>(base) + offset, length, destination);
}

DORV_API uint32_t mg_copyto(void*, uint32_t base, uint32_t offset, const uint8_t* source, uint32_t,
                            uint32_t length) {
    return device_write(static_cast<uint64_t>(base) + offset, length, source);
}

DORV_C_END
