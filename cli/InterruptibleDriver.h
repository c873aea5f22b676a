#pragma once

#include "device/d2xx/ForwardingDriver.h"

#include <atomic>
#include <memory>

// Passes every call to the real driver until `stop` is set; from then on it
// refuses each USB write that would start a new transaction on the wire, so
// the device classes end through their own failure paths and nothing is cut
// in half. Still let through once stopped:
//   - writes that leave or return the pins idle (set-up, chip select high,
//     the end of an FPGA reset pulse, closing clocks);
//   - status-register reads, so the wait for a program or erase already sent
//     can see it finish;
//   - the command that follows a write enable already sent: the two belong
//     together.
// Refused writes fail with FT_IO_ERROR and send nothing.
class InterruptibleDriver final : public d2xx::ForwardingDriver
{
public:
    InterruptibleDriver(std::shared_ptr<d2xx::D2xxDriver> inner, const std::atomic<bool>& stop);

    d2xx::FT_STATUS FT_Write(d2xx::FT_HANDLE handle, const void* buffer, uint32_t count, uint32_t* written) override;

    // Whether a write has been refused since construction.
    bool refusedAny() const { return refused; }

private:
    const std::atomic<bool>& stop;
    bool afterWriteEnable = false;
    bool refused = false;
};
