#include "cli/InterruptibleDriver.h"

#include <cstddef>
#include <utility>

using namespace d2xx;

namespace {

constexpr uint8_t kSetLowByte = 0x80;
constexpr uint8_t kBytesOut = 0x11;
constexpr uint8_t kPinsIdle = 0x68;
constexpr uint8_t kFlashReadStatus = 0x05;
constexpr uint8_t kFlashWriteEnable = 0x06;

// A write that moves the pins away from idle (chip select low, FPGA reset)
// or clocks raw data out (FPGA configuration) begins something on the wire.
bool startsTransaction(const uint8_t* bytes, uint32_t count)
{
    if (count == 0)
        return false;
    if (bytes[0] == kBytesOut)
        return true;
    return bytes[0] == kSetLowByte && count >= 2 && bytes[1] != kPinsIdle;
}

// The flash command of a chip-select transaction: 80 vv dd, 11 Ll Lh, opcode.
int flashOpcode(const uint8_t* bytes, uint32_t count)
{
    if (count < 7 || bytes[0] != kSetLowByte || bytes[3] != kBytesOut)
        return -1;
    return bytes[6];
}

} // namespace

InterruptibleDriver::InterruptibleDriver(std::shared_ptr<D2xxDriver> inner, const std::atomic<bool>& stop)
    : inner(std::move(inner)), stop(stop)
{
}

FT_STATUS InterruptibleDriver::FT_Write(FT_HANDLE handle, const void* buffer, uint32_t count, uint32_t* written)
{
    const uint8_t* bytes = static_cast<const uint8_t*>(buffer);
    const bool pairsWithPrevious = afterWriteEnable;
    const int opcode = bytes ? flashOpcode(bytes, count) : -1;
    afterWriteEnable = false;

    if (stop.load() && bytes && startsTransaction(bytes, count) && !pairsWithPrevious &&
        opcode != kFlashReadStatus) {
        refused = true;
        if (written)
            *written = 0;
        return FT_IO_ERROR;
    }
    const FT_STATUS status = inner->FT_Write(handle, buffer, count, written);
    afterWriteEnable = status == FT_OK && opcode == kFlashWriteEnable;
    return status;
}

FT_STATUS InterruptibleDriver::FT_CreateDeviceInfoList(uint32_t* count)
{
    return inner->FT_CreateDeviceInfoList(count);
}

FT_STATUS InterruptibleDriver::FT_GetDeviceInfoList(FT_DEVICE_LIST_INFO_NODE* list, uint32_t* count)
{
    return inner->FT_GetDeviceInfoList(list, count);
}

FT_STATUS InterruptibleDriver::FT_OpenEx(const void* arg, uint32_t flags, FT_HANDLE* handle)
{
    return inner->FT_OpenEx(arg, flags, handle);
}

FT_STATUS InterruptibleDriver::FT_ResetDevice(FT_HANDLE handle)
{
    return inner->FT_ResetDevice(handle);
}

FT_STATUS InterruptibleDriver::FT_Purge(FT_HANDLE handle, uint32_t mask)
{
    return inner->FT_Purge(handle, mask);
}

FT_STATUS InterruptibleDriver::FT_SetLatencyTimer(FT_HANDLE handle, uint8_t milliseconds)
{
    return inner->FT_SetLatencyTimer(handle, milliseconds);
}

FT_STATUS InterruptibleDriver::FT_SetBitMode(FT_HANDLE handle, uint8_t mask, uint8_t mode)
{
    return inner->FT_SetBitMode(handle, mask, mode);
}

FT_STATUS InterruptibleDriver::FT_GetBitMode(FT_HANDLE handle, uint8_t* pins)
{
    return inner->FT_GetBitMode(handle, pins);
}

FT_STATUS InterruptibleDriver::FT_GetStatus(FT_HANDLE handle, uint32_t* rxBytes, uint32_t* txBytes,
                                            uint32_t* eventStatus)
{
    return inner->FT_GetStatus(handle, rxBytes, txBytes, eventStatus);
}

FT_STATUS InterruptibleDriver::FT_Read(FT_HANDLE handle, void* buffer, uint32_t count, uint32_t* returned)
{
    return inner->FT_Read(handle, buffer, count, returned);
}

FT_STATUS InterruptibleDriver::FT_Close(FT_HANDLE handle)
{
    return inner->FT_Close(handle);
}
