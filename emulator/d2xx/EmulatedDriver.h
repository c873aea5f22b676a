#pragma once

#include "device/d2xx/D2xxDriver.h"
#include "emulator/config/BenchConfig.h"

#include <memory>
#include <string>

namespace emu {
class CallTrace;
class EmulatedInstrument;
class Ft2232hBridge;
class VirtualClock;
}

namespace d2xx {

// D2XX over the emulated bench: one FT2232H per instrument, the instrument
// behind its channel B. Keeps the call trace and carries out the D2XX fault
// plans. Each instrument counts the calls that reach it (those on its
// handles, the opens that name it) and the bench's own (listing, an open
// that names none), runs on its own virtual clock, as instruments on a real
// bench run side by side, and has a lock of its own: runs on different
// instruments go on in parallel.
class EmulatedDriver final : public D2xxDriver
{
public:
    // The bench's settings in the environment, under this prefix (emu::BenchConfig).
    static constexpr const char* kPrefix = "PRAVEL_EMULATED_";

    // nullptr with `error` set when the instrument cannot be built.
    static std::shared_ptr<EmulatedDriver> create(const emu::BenchConfig& bench, std::string& error);
    // The bench `settings` describe, parsed into `bench` and built; nullptr
    // with `error` naming the refused setting, or why the instrument cannot
    // be built ("emulated instrument: ...").
    static std::shared_ptr<EmulatedDriver> create(const emu::BenchConfig::Lookup& settings, emu::BenchConfig& bench,
                                                  std::string& error);
    ~EmulatedDriver() override;

    FT_STATUS FT_CreateDeviceInfoList(uint32_t* count) override;
    FT_STATUS FT_GetDeviceInfoList(FT_DEVICE_LIST_INFO_NODE* list, uint32_t* count) override;
    FT_STATUS FT_OpenEx(const void* arg, uint32_t flags, FT_HANDLE* handle) override;
    FT_STATUS FT_ResetDevice(FT_HANDLE handle) override;
    FT_STATUS FT_Purge(FT_HANDLE handle, uint32_t mask) override;
    FT_STATUS FT_SetLatencyTimer(FT_HANDLE handle, uint8_t milliseconds) override;
    FT_STATUS FT_SetBitMode(FT_HANDLE handle, uint8_t mask, uint8_t mode) override;
    FT_STATUS FT_GetBitMode(FT_HANDLE handle, uint8_t* pins) override;
    FT_STATUS FT_Write(FT_HANDLE handle, const void* buffer, uint32_t count, uint32_t* written) override;
    FT_STATUS FT_GetStatus(FT_HANDLE handle, uint32_t* rxBytes, uint32_t* txBytes, uint32_t* eventStatus) override;
    FT_STATUS FT_Read(FT_HANDLE handle, void* buffer, uint32_t count, uint32_t* returned) override;
    FT_STATUS FT_Close(FT_HANDLE handle) override;

    // Pulls the bridge off the bus or plugs it back in (an unplug of the fault
    // plan is then spent). Handles opened before it went stay dead, and the
    // channel each one holds stays claimed until it is closed, as with a real
    // driver.
    void setPlugged(bool plugged);
    void setPlugged(size_t index, bool plugged);
    // The fault plan's call faults are over: no further call fails, every
    // reply arrives and an unplugged bridge is back. The flash's own faults
    // (stuck-busy, flipped bits) stay.
    void endCallFaults();

    emu::CallTrace& trace();
    // The first instrument's (a clock of its own when none is attached).
    emu::VirtualClock& clock();
    // nullptr when no bridge is attached.
    emu::Ft2232hBridge* bridge();
    emu::EmulatedInstrument* instrument();

    // The instruments on the bench, in order; the calls above are about the first.
    size_t instrumentCount() const;
    emu::VirtualClock& clock(size_t index);
    emu::Ft2232hBridge* bridge(size_t index);
    emu::EmulatedInstrument* instrument(size_t index);
    // The bridge's USB serial number (no channel letter), or -1.
    int indexOf(const std::string& usbSerialNumber) const;

private:
    struct State;
    explicit EmulatedDriver(std::unique_ptr<State> state);
    std::unique_ptr<State> state;
};

} // namespace d2xx
