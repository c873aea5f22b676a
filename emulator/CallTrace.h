#pragma once

#include <atomic>
#include <cstdint>
#include <mutex>
#include <string>
#include <vector>

namespace emu {

// One D2XX call as the emulated bridge saw it.
struct D2xxCall
{
    std::string function;      // "FT_Write", "FT_SetBitMode", ...
    std::string arguments;     // the scalar arguments, e.g. "mask=0x0 mode=0x2"
    std::vector<uint8_t> data; // bytes written (FT_Write) or read (FT_Read)
    uint32_t status = 0;       // the FT_STATUS returned
};

// One flash transaction, from chip select falling to chip select rising.
struct SpiTransaction
{
    uint8_t opcode = 0;
    bool hasAddress = false;
    uint32_t address = 0;    // as the flash decoded it
    uint32_t dataLength = 0; // bytes after opcode and address, in either direction
    bool ignored = false;    // the flash did not act on it (busy, no write enable, ...)
};

// What tests assert on: every D2XX call, every flash transaction and the
// FPGA's configuration events, in order.
// Thread-safe.
class CallTrace
{
public:
    void recordCall(D2xxCall call);
    void recordSpi(SpiTransaction transaction);
    // What the FPGA's configuration logic did that a test asks about: why
    // it stopped, DONE rising, a power-up read.
    void recordFpga(std::string event);

    std::vector<D2xxCall> calls() const;
    std::vector<D2xxCall> calls(const std::string& function) const;
    std::vector<SpiTransaction> spi() const;
    std::vector<std::string> fpga() const;
    void clear();

    // Long runs (benchmarks, demos) can stop recording; on by default.
    void setEnabled(bool enabled) { recording = enabled; }
    bool enabled() const { return recording; }

private:
    std::atomic<bool> recording{true};
    mutable std::mutex mutex;
    std::vector<D2xxCall> callList;
    std::vector<SpiTransaction> spiList;
    std::vector<std::string> fpgaList;
};

} // namespace emu
