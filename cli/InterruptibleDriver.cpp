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
constexpr uint32_t kWriteEnableLength = 10; // 80 00 6B, 11 00 00 06, 80 68 6B

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
    : ForwardingDriver(std::move(inner)), stop(stop)
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
    // Only a lone write enable pairs with the write after it; a pipelined
    // batch of pages also starts with one but is complete in itself.
    afterWriteEnable = status == FT_OK && opcode == kFlashWriteEnable && count == kWriteEnableLength;
    return status;
}
