#include "emulator/usb/EmulatedUsbBus.h"

#include "emulator/Ft2232hBridge.h"
#include "emulator/VirtualClock.h"
#include "emulator/usb/UsbFt2232h.h"

#include <libusb.h>

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <fcntl.h>
#include <unistd.h>

namespace emu {

VirtualClock& EmulatedUsbBus::clock()
{
    static VirtualClock processClock;
    return processClock;
}

EmulatedUsbBus& EmulatedUsbBus::instance()
{
    // Never destroyed: exit handlers and late threads may still call in.
    static EmulatedUsbBus* bus = new EmulatedUsbBus();
    return *bus;
}

EmulatedUsbBus::EmulatedUsbBus()
{
    BenchConfig fromEnvironment;
    if (!BenchConfig::parse(BenchConfig::environment(kPrefix), BenchConfig::Face::Usb, fromEnvironment,
                            error) ||
        !configure(fromEnvironment, error)) {
        std::fprintf(stderr, "pravel-emulate: %s\n", error.c_str());
        bench = BenchConfig();
        bench.attached = false; // a bus that cannot be built has nothing on it
    }
}

EmulatedUsbBus::~EmulatedUsbBus() = default;

bool EmulatedUsbBus::configure(const BenchConfig& wanted, std::string& why)
{
    BenchConfig previous = std::move(bench);
    bench = wanted;
    usb.reset();
    bridge.reset();
    instrumentBoard.reset();
    gone = false;
    transfers = controlCount = bulkInCount = bulkOutCount = bytesOut = bytesIn = 0;
    startNs = clock().nowNanoseconds();
    if (!bench.attached)
        return true;
    if (!build(why)) {
        bench = std::move(previous);
        bench.attached = false;
        return false;
    }
    return true;
}

bool EmulatedUsbBus::build(std::string& why)
{
    instrumentBoard = EmulatedInstrument::create(bench.instrument, clock(), nullptr, why);
    if (!instrumentBoard)
        return false;
    // Timed, the bridge runs bulk transfers on USB microframes as for the D2XX face.
    const BridgeTiming timing = bench.instrument.timed ? BridgeTiming::usbHighSpeed() : BridgeTiming{};
    bridge = std::make_unique<Ft2232hBridge>(clock(), instrumentBoard.get(), timing);
    bridge->dropRepliesAt(bench.transfers.instrument.noReplyAt);
    bridge->refuseMpsse(bench.transfers.instrument.noMpsse);
    usb = std::make_unique<UsbFt2232h>(*bridge, clock());
    return true;
}

bool EmulatedUsbBus::present() const
{
    return bench.attached && usb && !gone;
}

int EmulatedUsbBus::beginTransfer(Transfer kind)
{
    ++transfers;
    uint64_t nth = 0;
    UsbFaultPlan::Kind planned = UsbFaultPlan::Kind::Control;
    switch (kind) {
    case Transfer::Control:
        nth = ++controlCount;
        break;
    case Transfer::BulkOut:
        nth = ++bulkOutCount;
        planned = UsbFaultPlan::Kind::BulkOut;
        break;
    case Transfer::BulkIn:
        nth = ++bulkInCount;
        planned = UsbFaultPlan::Kind::BulkIn;
        break;
    }
    if (bench.transfers.unplugAtTransfer != 0 && transfers >= bench.transfers.unplugAtTransfer)
        gone = true;
    if (!present())
        return LIBUSB_ERROR_NO_DEVICE;
    for (const auto& fault : bench.transfers.failing) {
        if (fault.second != nth)
            continue;
        if (fault.first == planned)
            return LIBUSB_ERROR_IO;
        if (fault.first == UsbFaultPlan::Kind::Timeout && kind == Transfer::BulkIn)
            return LIBUSB_ERROR_TIMEOUT;
    }
    return 0;
}

void EmulatedUsbBus::addBytes(uint64_t out, uint64_t in)
{
    bytesOut += out;
    bytesIn += in;
}

UsbCounts EmulatedUsbBus::counts() const
{
    UsbCounts c;
    c.emulatedNs = clock().nowNanoseconds() - startNs;
    c.bulkOut = bulkOutCount;
    c.bulkIn = bulkInCount;
    c.bytesOut = bytesOut;
    c.bytesIn = bytesIn;
    c.control = controlCount;
    return c;
}

void EmulatedUsbBus::writeReport() const
{
    const char* directory = std::getenv(kReport);
    if (!directory || !*directory)
        return;
    const UsbCounts c = counts();
    char path[4096];
    std::snprintf(path, sizeof path, "%s/%ld", directory, static_cast<long>(getpid()));
    char line[256];
    const int n = std::snprintf(line, sizeof line, "%llu %llu %llu %llu %llu %llu\n",
                                static_cast<unsigned long long>(c.emulatedNs), static_cast<unsigned long long>(c.bulkOut),
                                static_cast<unsigned long long>(c.bulkIn), static_cast<unsigned long long>(c.bytesOut),
                                static_cast<unsigned long long>(c.bytesIn), static_cast<unsigned long long>(c.control));
    // Plain system calls: this also runs from exit handlers.
    const int fd = ::open(path, O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0600);
    if (fd < 0)
        return;
    if (n > 0 && ::write(fd, line, static_cast<size_t>(n)) != n)
        std::fprintf(stderr, "pravel-emulate: cannot record the USB counts in %s\n", path);
    ::close(fd);
}

} // namespace emu
