#pragma once

#include "emulator/BridgedInstrument.h"
#include "emulator/config/BenchConfig.h"

#include <cstdint>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

namespace emu {

class UsbFt2232h;
class VirtualClock;

struct UsbCounts
{
    uint64_t emulatedNs = 0;
    uint64_t bulkOut = 0;
    uint64_t bulkIn = 0;
    uint64_t bytesOut = 0;
    uint64_t bytesIn = 0;
    uint64_t control = 0;
};

// The one emulated USB bus of a process: an FT2232H per instrument of the
// bench, each with the instrument on channel B, its fault plan and its
// counts. Built on first use from the environment. Callers hold lock()
// around every use of a device. One clock for the bus: the process's own
// sleeps run on it too.
class EmulatedUsbBus
{
public:
    enum class Transfer { Control, BulkOut, BulkIn };

    // What the launcher hands the stand-in: the bench's settings under this
    // prefix (emu::BenchConfig), and these of its own.
    static constexpr const char* kPrefix = "PRAVEL_USB_";
    static constexpr const char* kVirtualTime = "PRAVEL_USB_VIRTUAL_TIME"; // 1: sleeps and clocks are emulated
    static constexpr const char* kReport = "PRAVEL_USB_REPORT";           // directory for the exit counts

    static EmulatedUsbBus& instance();
    // The clock every emulated cost and, with virtual time, every sleep of
    // the process runs on. Never reset.
    static VirtualClock& clock();

    std::unique_lock<std::mutex> lock() { return std::unique_lock<std::mutex>(guard); }

    // Replaces the instrument and the plan, clears the counts (tests).
    bool configure(const BenchConfig& bench, std::string& error);
    // Why the environment's settings were refused; empty when they were not.
    const std::string& configurationError() const { return error; }

    // The devices on the bus, listed or not; `index` from 0.
    size_t deviceCount() const { return devices.size(); }
    // Attached and not unplugged.
    bool present(size_t index) const;
    bool enumerationFails() const { return bench.transfers.enumerationFails; }
    UsbFt2232h& device(size_t index) { return *devices[index]->usb; }

    // Counts one transfer of a device and applies its plan: 0 to carry it
    // out, else the libusb error it ends with.
    int beginTransfer(size_t index, Transfer kind);
    void addBytes(size_t index, uint64_t out, uint64_t in);
    // Summed over the devices.
    UsbCounts counts() const;

    // Writes the counts for the launcher, when it asked for them.
    void writeReport() const;

private:
    EmulatedUsbBus();
    ~EmulatedUsbBus();
    bool build(std::string& why);

    struct Device
    {
        BridgedInstrument board;
        std::unique_ptr<UsbFt2232h> usb;
        UsbFaultPlan plan;
        bool gone = false;
        uint64_t transfers = 0;
        uint64_t controlCount = 0;
        uint64_t bulkInCount = 0;
        uint64_t bulkOutCount = 0;
        uint64_t bytesOut = 0;
        uint64_t bytesIn = 0;
    };

    std::mutex guard;
    BenchConfig bench;
    std::string error;
    std::vector<std::unique_ptr<Device>> devices;
    uint64_t startNs = 0;
};

} // namespace emu
