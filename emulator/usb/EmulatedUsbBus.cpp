#include "emulator/usb/EmulatedUsbBus.h"

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
        devices.clear();
    }
}

EmulatedUsbBus::~EmulatedUsbBus() = default;

bool EmulatedUsbBus::configure(const BenchConfig& wanted, std::string& why)
{
    BenchConfig previous = std::move(bench);
    bench = wanted;
    devices.clear();
    startNs = clock().nowNanoseconds();
    if (!bench.attached)
        return true;
    if (!build(why)) {
        devices.clear();
        bench = std::move(previous);
        bench.attached = false;
        return false;
    }
    return true;
}

bool EmulatedUsbBus::build(std::string& why)
{
    for (const BenchConfig::Instrument& one : bench.bench()) {
        auto device = std::make_unique<Device>();
        device->plan = one.transfers;
        if (!device->board.build(one, one.transfers.instrument, clock(), nullptr, why))
            return false;
        device->usb = std::make_unique<UsbFt2232h>(*device->board.bridge, clock(), one.serialNumber, one.hubPort);
        devices.push_back(std::move(device));
    }
    return true;
}

bool EmulatedUsbBus::present(size_t index) const
{
    return bench.attached && index < devices.size() && !devices[index]->gone;
}

int EmulatedUsbBus::beginTransfer(size_t index, Transfer kind)
{
    clock().catchUp();
    if (index >= devices.size())
        return LIBUSB_ERROR_NO_DEVICE;
    Device& d = *devices[index];
    ++d.transfers;
    uint64_t nth = 0;
    UsbFaultPlan::Kind planned = UsbFaultPlan::Kind::Control;
    switch (kind) {
    case Transfer::Control:
        nth = ++d.controlCount;
        break;
    case Transfer::BulkOut:
        nth = ++d.bulkOutCount;
        planned = UsbFaultPlan::Kind::BulkOut;
        break;
    case Transfer::BulkIn:
        nth = ++d.bulkInCount;
        planned = UsbFaultPlan::Kind::BulkIn;
        break;
    }
    if (d.plan.unplugAtTransfer != 0 && d.transfers >= d.plan.unplugAtTransfer)
        d.gone = true;
    if (!present(index))
        return LIBUSB_ERROR_NO_DEVICE;
    for (const auto& fault : d.plan.failing) {
        if (fault.second != nth)
            continue;
        if (fault.first == planned)
            return LIBUSB_ERROR_IO;
        if (fault.first == UsbFaultPlan::Kind::Timeout && kind == Transfer::BulkIn)
            return LIBUSB_ERROR_TIMEOUT;
    }
    return 0;
}

void EmulatedUsbBus::addBytes(size_t index, uint64_t out, uint64_t in)
{
    if (index >= devices.size())
        return;
    devices[index]->bytesOut += out;
    devices[index]->bytesIn += in;
}

UsbCounts EmulatedUsbBus::counts() const
{
    UsbCounts c;
    c.emulatedNs = clock().nowNanoseconds() - startNs;
    for (const auto& d : devices) {
        c.bulkOut += d->bulkOutCount;
        c.bulkIn += d->bulkInCount;
        c.bytesOut += d->bytesOut;
        c.bytesIn += d->bytesIn;
        c.control += d->controlCount;
    }
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
