// The emulated FT2232H fed any byte stream on channel B in MPSSE mode, with
// status queries, reads, purges and mode changes in between: it must
// neither crash nor hang, whatever the bytes. The flash keeps what earlier
// inputs wrote; the bridge starts each input reset.
//
// Input: a sequence of steps, each one byte saying what, then its bytes:
//   0..5  write the next (byte + 1) bytes
//   6     read up to (byte + 1) bytes of what is queued
//   7     purge (byte's low bits: receive, transmit)
//   8     set the bit mode to (byte)
//   9     read the pins

#include "fuzz/FuzzSupport.h"

#include <algorithm>
#include <cstdlib>
#include <cstdint>
#include <vector>

using namespace d2xx;

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size)
{
    auto driver = fuzz::instrument();
    FT_HANDLE handle = nullptr;
    if (driver->FT_OpenEx("USB <-> Serial Converter B", FT_OPEN_BY_DESCRIPTION, &handle) != FT_OK)
        std::abort(); // the last input's close did not release the channel
    // What the last input left: queues, a partial command, pins.
    uint32_t done = 0;
    const uint8_t idle[] = {0x80, 0x68, 0x6B};
    if (driver->FT_ResetDevice(handle) != FT_OK || driver->FT_SetBitMode(handle, 0, FT_BITMODE_MPSSE) != FT_OK ||
        driver->FT_Write(handle, idle, sizeof idle, &done) != FT_OK)
        std::abort();
    std::vector<uint8_t> buffer(256);
    size_t at = 0;
    while (at + 1 < size) {
        const uint8_t what = data[at] % 10;
        const uint8_t argument = data[at + 1];
        at += 2;
        uint32_t rx = 0, tx = 0, events = 0;
        switch (what) {
        case 6:
            if (driver->FT_GetStatus(handle, &rx, &tx, &events) == FT_OK)
                driver->FT_Read(handle, buffer.data(), std::min<uint32_t>(rx, argument + 1u), &done);
            break;
        case 7:
            driver->FT_Purge(handle, argument & 3u);
            break;
        case 8:
            driver->FT_SetBitMode(handle, 0, argument);
            break;
        case 9:
            driver->FT_GetBitMode(handle, buffer.data());
            break;
        default: {
            const size_t count = std::min<size_t>(argument + 1u, size - at);
            driver->FT_Write(handle, data + at, static_cast<uint32_t>(count), &done);
            at += count;
        }
        }
    }
    driver->FT_Close(handle);
    return 0;
}
