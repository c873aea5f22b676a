#include "device/d2xx/LibFtdiDriver.h"

#include "base/ConsoleSink.h"

#include <ftdi.h>
#include <libusb.h>

#include <algorithm>
#include <chrono>
#include <climits>
#include <cstdio>
#include <cstring>

namespace d2xx {
namespace {

const char* const udevHint =
    "no access rights? Install the udev rule packaging/udev/99-pravel-ftdi.rules (see README) and replug the bridge";

// The FTDI chip families by bcdDevice, as D2XX types them.
struct ChipFamily
{
    uint16_t bcdDevice;
    uint32_t type;
    unsigned channels;
    bool hiSpeed;
};

const ChipFamily chipFamilies[] = {
    {0x0200, FT_DEVICE_AM, 1, false},
    {0x0400, FT_DEVICE_BM, 1, false},
    {0x0500, FT_DEVICE_2232C, 2, false},
    {0x0600, FT_DEVICE_232R, 1, false},
    {0x0700, FT_DEVICE_2232H, 2, true},
    {0x0800, FT_DEVICE_4232H, 4, true},
    {0x0900, FT_DEVICE_232H, 1, true},
};

const ChipFamily unknownFamily = {0, FT_DEVICE_UNKNOWN, 1, false};

const ChipFamily& familyOf(uint16_t bcdDevice)
{
    for (const ChipFamily& family : chipFamilies)
        if (family.bcdDevice == bcdDevice)
            return family;
    return unknownFamily;
}

// `text` then `suffix`, cut so that both fit `size` bytes with the NUL: the
// suffix is what tells two channels apart, so the text gives way.
void copyWithSuffix(char* dest, size_t size, const std::string& text, const std::string& suffix)
{
    std::string value = text.substr(0, size - 1 - std::min(size - 1, suffix.size())) + suffix;
    value.resize(std::min(value.size(), size - 1));
    std::memset(dest, 0, size);
    std::memcpy(dest, value.data(), value.size());
}

// One hex digit each for the bus number, every hub port and last the
// channel (0 on a single-channel chip, 1.. for A..): bus 2, port 1.3,
// channel B gives 0x2132. Buses and ports are 1..15 and the digits start
// with the bus, so two paths never give the same number. A path that does
// not fit that (bus or port above 15, more than eight digits) gets 0:
// such a channel is listed but cannot be opened by location.
uint32_t locationOf(const FtdiUsbDevice& device, const ChipFamily& family, unsigned channel)
{
    if (device.bus < 1 || device.bus > 15 || device.ports.size() > 6)
        return 0;
    uint32_t location = device.bus;
    for (uint8_t port : device.ports) {
        if (port < 1 || port > 15)
            return 0;
        location = location * 16 + port;
    }
    return location * 16 + (family.channels > 1 ? channel + 1 : 0);
}

struct ScannedDevice
{
    libusb_device* usb;
    FtdiUsbDevice facts;
};

std::string describeUsbPath(const FtdiUsbDevice& device)
{
    std::string path = "bus " + std::to_string(device.bus) + " port ";
    for (size_t i = 0; i < device.ports.size(); ++i)
        path += (i ? "." : "") + std::to_string(device.ports[i]);
    return path;
}

// FTDI's standard vendor and product IDs (0, 0: libftdi's own list) on the
// bus behind `ctx`. The libusb devices stay valid until `list` is freed.
int scanDevices(ftdi_context* ctx, ftdi_device_list** list, std::vector<ScannedDevice>& found)
{
    int result = ftdi_usb_find_all(ctx, list, 0, 0);
    if (result < 0)
        return result;
    for (ftdi_device_list* entry = *list; entry; entry = entry->next) {
        ScannedDevice device{entry->dev, {}};
        libusb_device_descriptor descriptor{};
        if (libusb_get_device_descriptor(entry->dev, &descriptor) != 0)
            continue;
        device.facts.vendorId = descriptor.idVendor;
        device.facts.productId = descriptor.idProduct;
        device.facts.bcdDevice = descriptor.bcdDevice;
        device.facts.bus = libusb_get_bus_number(entry->dev);
        uint8_t portPath[8];
        int depth = libusb_get_port_numbers(entry->dev, portPath, static_cast<int>(sizeof portPath));
        if (depth > 0)
            device.facts.ports.assign(portPath, portPath + depth);

        char product[128] = {};
        char serial[64] = {};
        // Reading the strings opens the device, which is where missing rights show.
        if (ftdi_usb_get_strings2(ctx, entry->dev, nullptr, 0, product, sizeof product, serial, sizeof serial) == 0) {
            device.facts.stringsRead = true;
            device.facts.product = product;
            device.facts.serial = serial;
        } else {
            ConsoleSink::error("LibFtdiDriver: cannot read the FTDI device at " + describeUsbPath(device.facts) + " (" +
                               ftdi_get_error_string(ctx) + "): " + udevHint + "\n");
        }
        found.push_back(device);
    }
    return result;
}

bool matches(const FT_DEVICE_LIST_INFO_NODE& node, const void* arg, uint32_t flags)
{
    switch (flags) {
    case FT_OPEN_BY_DESCRIPTION:
        return std::strncmp(node.Description, static_cast<const char*>(arg), sizeof node.Description) == 0;
    case FT_OPEN_BY_SERIAL_NUMBER:
        return std::strncmp(node.SerialNumber, static_cast<const char*>(arg), sizeof node.SerialNumber) == 0;
    case FT_OPEN_BY_LOCATION:
        return node.LocId != 0 && node.LocId == static_cast<uint32_t>(reinterpret_cast<uintptr_t>(arg));
    default:
        return false;
    }
}

void reportLibusbUnavailable()
{
    static std::once_flag once;
    std::call_once(once, [] {
        ConsoleSink::error("LibFtdiDriver: libusb could not be initialised; no FTDI bridge can be reached\n");
    });
}

// One look at the bus through a libftdi context of its own, freed with the
// list of what it found unless the context was handed on (set to nullptr).
// No context: libusb could not start, and that has been said.
struct BusScan
{
    ftdi_context* context = ftdi_new();
    ftdi_device_list* list = nullptr;
    std::vector<ScannedDevice> found;
    int result = -1;

    BusScan()
    {
        if (context)
            result = scanDevices(context, &list, found);
        else
            reportLibusbUnavailable();
    }
    ~BusScan()
    {
        ftdi_list_free(&list);
        if (context)
            ftdi_free(context);
    }
    BusScan(const BusScan&) = delete;
    BusScan& operator=(const BusScan&) = delete;
};

} // namespace

struct LibFtdiDriver::Port
{
    ftdi_context* context = nullptr;
    uint32_t location = 0;
    std::vector<uint8_t> received; // read from the chip, not yet handed out
    bool gone = false;             // libusb said the device is no longer there
    // An empty answer comes when the chip's latency timer runs out, and until
    // it runs out again only a new command can make the chip send anything:
    // status polls till then answer from the buffer instead of from USB.
    std::chrono::milliseconds latency{16};
    std::chrono::steady_clock::time_point quietUntil{};
};

LibFtdiDriver::LibFtdiDriver() = default;

LibFtdiDriver::~LibFtdiDriver()
{
    for (auto& entry : ports) {
        ftdi_usb_close(entry.second->context);
        ftdi_free(entry.second->context);
    }
}

std::vector<FT_DEVICE_LIST_INFO_NODE> LibFtdiDriver::channelNodes(const FtdiUsbDevice& device)
{
    const ChipFamily& family = familyOf(device.bcdDevice);
    std::vector<FT_DEVICE_LIST_INFO_NODE> nodes;
    for (unsigned channel = 0; channel < family.channels; ++channel) {
        FT_DEVICE_LIST_INFO_NODE node{};
        node.Flags = family.hiSpeed ? uint32_t{FT_FLAGS_HISPEED} : 0u;
        node.Type = family.type;
        node.ID = static_cast<uint32_t>(device.vendorId) << 16 | device.productId;
        node.LocId = locationOf(device, family, channel);
        if (device.stringsRead) {
            const std::string letter(1, static_cast<char>('A' + channel));
            const bool multi = family.channels > 1;
            copyWithSuffix(node.Description, sizeof node.Description, device.product, multi ? " " + letter : "");
            copyWithSuffix(node.SerialNumber, sizeof node.SerialNumber, device.serial, multi ? letter : "");
        }
        node.ftHandle = nullptr;
        nodes.push_back(node);
    }
    return nodes;
}

FT_STATUS LibFtdiDriver::FT_CreateDeviceInfoList(uint32_t* count)
{
    if (!count)
        return FT_INVALID_PARAMETER;
    std::lock_guard<std::mutex> lock(mutex);
    return scanLocked(count);
}

FT_STATUS LibFtdiDriver::scanLocked(uint32_t* count)
{
    *count = 0;
    deviceList.clear();
    listed = true;

    const BusScan scan;
    if (!scan.context)
        return FT_OK;
    FT_STATUS status = FT_OK;
    if (scan.result < 0) {
        ConsoleSink::error(std::string("LibFtdiDriver: USB scan failed (") + ftdi_get_error_string(scan.context) + ")\n");
        status = FT_IO_ERROR;
    }
    for (const ScannedDevice& device : scan.found) {
        for (FT_DEVICE_LIST_INFO_NODE node : channelNodes(device.facts)) {
            for (const auto& entry : ports) {
                if (entry.second->location == node.LocId) {
                    node.Flags |= FT_FLAGS_OPENED;
                    node.ftHandle = entry.first;
                }
            }
            deviceList.push_back(node);
        }
    }
    *count = static_cast<uint32_t>(deviceList.size());
    return status;
}

FT_STATUS LibFtdiDriver::FT_GetDeviceInfoList(FT_DEVICE_LIST_INFO_NODE* list, uint32_t* count)
{
    if (!count)
        return FT_INVALID_PARAMETER;
    // One lock from the check to the copy: another thread's scan cannot
    // change the list in between.
    std::lock_guard<std::mutex> lock(mutex);
    if (!listed) {
        uint32_t scanned = 0;
        const FT_STATUS status = scanLocked(&scanned);
        if (status != FT_OK)
            return status;
    }
    *count = static_cast<uint32_t>(deviceList.size());
    if (deviceList.empty())
        return FT_OK;
    if (!list)
        return FT_INVALID_PARAMETER;
    std::copy(deviceList.begin(), deviceList.end(), list);
    return FT_OK;
}

FT_STATUS LibFtdiDriver::FT_OpenEx(const void* arg, uint32_t flags, FT_HANDLE* handle)
{
    if (!handle || (!arg && flags != FT_OPEN_BY_LOCATION))
        return FT_INVALID_PARAMETER;
    if (flags != FT_OPEN_BY_DESCRIPTION && flags != FT_OPEN_BY_SERIAL_NUMBER && flags != FT_OPEN_BY_LOCATION)
        return FT_INVALID_PARAMETER;
    std::lock_guard<std::mutex> lock(mutex);

    BusScan scan;
    ftdi_context* ctx = scan.context;
    if (!ctx)
        return FT_DEVICE_NOT_FOUND;
    FT_STATUS status = FT_DEVICE_NOT_FOUND;
    for (const ScannedDevice& device : scan.found) {
        const std::vector<FT_DEVICE_LIST_INFO_NODE> nodes = channelNodes(device.facts);
        for (unsigned channel = 0; channel < nodes.size() && status == FT_DEVICE_NOT_FOUND; ++channel) {
            if (!matches(nodes[channel], arg, flags))
                continue;
            for (const auto& entry : ports)
                if (entry.second->location == nodes[channel].LocId)
                    status = FT_DEVICE_NOT_OPENED; // D2XX too refuses a second open
            if (status != FT_DEVICE_NOT_FOUND)
                break;
            // The interface has to be chosen before the device is opened.
            const auto iface = static_cast<ftdi_interface>(INTERFACE_A + channel);
            if (ftdi_set_interface(ctx, iface) != 0 || ftdi_usb_open_dev(ctx, device.usb) != 0) {
                ConsoleSink::error(std::string("LibFtdiDriver: cannot open ") + nodes[channel].Description + " at " +
                                   describeUsbPath(device.facts) + " (" + ftdi_get_error_string(ctx) + "): " + udevHint +
                                   "\n");
                status = FT_DEVICE_NOT_OPENED;
                break;
            }
            // Short USB reads: the chip answers an empty poll after one
            // latency period, so FT_GetStatus never blocks for long.
            ctx->usb_read_timeout = 100;
            auto port = std::make_unique<Port>();
            port->context = ctx;
            port->location = nodes[channel].LocId;
            *handle = port.get();
            ports.emplace(port.get(), std::move(port));
            scan.context = nullptr;
            status = FT_OK;
        }
        if (status != FT_DEVICE_NOT_FOUND)
            break;
    }
    return status;
}

LibFtdiDriver::Port* LibFtdiDriver::find(FT_HANDLE handle)
{
    auto it = ports.find(handle);
    return it == ports.end() ? nullptr : it->second.get();
}

template <typename Call>
FT_STATUS LibFtdiDriver::withPort(FT_HANDLE handle, Call call)
{
    std::lock_guard<std::mutex> lock(mutex);
    Port* port = find(handle);
    if (!port)
        return FT_INVALID_HANDLE;
    if (port->gone)
        return FT_IO_ERROR;
    return call(*port);
}

FT_STATUS LibFtdiDriver::FT_ResetDevice(FT_HANDLE handle)
{
    return withPort(handle, [this](Port& port) -> FT_STATUS {
        port.received.clear();
        return ftdi_usb_reset(port.context) == 0 ? FT_OK : failed(port, "ftdi_usb_reset");
    });
}

FT_STATUS LibFtdiDriver::FT_Purge(FT_HANDLE handle, uint32_t mask)
{
    return withPort(handle, [this, mask](Port& port) -> FT_STATUS {
        const bool rx = mask & FT_PURGE_RX;
        const bool tx = mask & FT_PURGE_TX;
        if (rx)
            port.received.clear();
        int result = 0;
        if (rx && tx)
            result = ftdi_tcioflush(port.context);
        else if (rx)
            result = ftdi_tciflush(port.context);
        else if (tx)
            result = ftdi_tcoflush(port.context);
        return result == 0 ? FT_OK : failed(port, "ftdi_tcflush");
    });
}

FT_STATUS LibFtdiDriver::FT_SetLatencyTimer(FT_HANDLE handle, uint8_t milliseconds)
{
    return withPort(handle, [this, milliseconds](Port& port) -> FT_STATUS {
        if (milliseconds < 1)
            return FT_INVALID_PARAMETER;
        if (ftdi_set_latency_timer(port.context, milliseconds) != 0)
            return failed(port, "ftdi_set_latency_timer");
        port.latency = std::chrono::milliseconds(milliseconds);
        return FT_OK;
    });
}

FT_STATUS LibFtdiDriver::FT_SetBitMode(FT_HANDLE handle, uint8_t mask, uint8_t mode)
{
    return withPort(handle, [this, mask, mode](Port& port) -> FT_STATUS {
        return ftdi_set_bitmode(port.context, mask, mode) == 0 ? FT_OK : failed(port, "ftdi_set_bitmode");
    });
}

FT_STATUS LibFtdiDriver::FT_GetBitMode(FT_HANDLE handle, uint8_t* pins)
{
    return withPort(handle, [this, pins](Port& port) -> FT_STATUS {
        if (!pins)
            return FT_INVALID_PARAMETER;
        return ftdi_read_pins(port.context, pins) == 0 ? FT_OK : failed(port, "ftdi_read_pins");
    });
}

FT_STATUS LibFtdiDriver::FT_Write(FT_HANDLE handle, const void* buffer, uint32_t count, uint32_t* written)
{
    return withPort(handle, [&](Port& port) -> FT_STATUS {
        if (written)
            *written = 0;
        if (count == 0)
            return FT_OK;
        if (!buffer || count > static_cast<uint32_t>(INT_MAX))
            return FT_INVALID_PARAMETER;
        port.quietUntil = {}; // a command may bring a reply at once
        const int result =
            ftdi_write_data(port.context, static_cast<const unsigned char*>(buffer), static_cast<int>(count));
        if (result < 0)
            return failed(port, "ftdi_write_data");
        if (written)
            *written = static_cast<uint32_t>(result);
        // Callers take FT_OK as "all of it went out".
        return static_cast<uint32_t>(result) == count ? FT_OK : FT_IO_ERROR;
    });
}

// After a failed libftdi call: names an unplugged bridge once, and gives
// the status every later call of the port returns too.
FT_STATUS LibFtdiDriver::failed(Port& port, const char* call)
{
    int configuration = 0;
    if (!port.gone && libusb_get_configuration(port.context->usb_dev, &configuration) == LIBUSB_ERROR_NO_DEVICE) {
        port.gone = true;
        ConsoleSink::error(std::string("LibFtdiDriver: the FTDI bridge was unplugged (") + call + ": " +
                           ftdi_get_error_string(port.context) + ")\n");
    }
    return FT_IO_ERROR;
}

// Moves what the chip has sent into the port's buffer until `wanted` bytes
// are there or the chip has nothing more right now. Each pass is one USB
// transfer: libftdi's own read would go on with another one after a short
// transfer and so wait a whole latency period for the chip's empty answer.
FT_STATUS LibFtdiDriver::fillReceiveBuffer(Port& port, size_t wanted)
{
    ftdi_context* ctx = port.context;
    const unsigned packet = ctx->max_packet_size > 2 ? ctx->max_packet_size : 64;
    const size_t fullTransfer = ctx->readbuffer_chunksize / packet * (packet - 2);
    std::vector<unsigned char> rest;
    while (port.received.size() < wanted) {
        // One byte asks for one transfer; the rest of it stays in libftdi's buffer.
        unsigned char first = 0;
        const int got = ftdi_read_data(ctx, &first, 1);
        if (got < 0)
            return failed(port, "ftdi_read_data");
        if (got == 0)
            break; // the chip's status bytes alone: nothing to read now
        const size_t more = ctx->readbuffer_remaining;
        port.received.push_back(first);
        if (more > 0) {
            rest.resize(more);
            if (ftdi_read_data(ctx, rest.data(), static_cast<int>(more)) != static_cast<int>(more))
                return failed(port, "ftdi_read_data");
            port.received.insert(port.received.end(), rest.begin(), rest.end());
        }
        if (1 + more < fullTransfer)
            break; // a short transfer: the chip has sent all it had
    }
    return FT_OK;
}

FT_STATUS LibFtdiDriver::FT_GetStatus(FT_HANDLE handle, uint32_t* rxBytes, uint32_t* txBytes, uint32_t* eventStatus)
{
    return withPort(handle, [&](Port& port) -> FT_STATUS {
        if (std::chrono::steady_clock::now() >= port.quietUntil) {
            // What the chip has ready now; the chip's buffer is 4 KiB, one pass is plenty.
            const size_t before = port.received.size();
            const FT_STATUS status = fillReceiveBuffer(port, before + 64 * 1024);
            if (status != FT_OK)
                return status;
            if (port.received.size() == before)
                port.quietUntil = std::chrono::steady_clock::now() + port.latency;
        }
        if (rxBytes)
            *rxBytes = static_cast<uint32_t>(std::min<size_t>(port.received.size(), UINT32_MAX));
        if (txBytes)
            *txBytes = 0; // ftdi_write_data returns once the bytes are sent
        if (eventStatus)
            *eventStatus = 0;
        return FT_OK;
    });
}

FT_STATUS LibFtdiDriver::FT_Read(FT_HANDLE handle, void* buffer, uint32_t count, uint32_t* returned)
{
    if (returned)
        *returned = 0;
    return withPort(handle, [&](Port& port) -> FT_STATUS {
        if (count == 0)
            return FT_OK;
        if (!buffer)
            return FT_INVALID_PARAMETER;
        // An empty pass waits for the chip's latency timer, so this loop does not spin.
        const auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(readTimeoutMilliseconds);
        while (port.received.size() < count && std::chrono::steady_clock::now() < deadline) {
            const FT_STATUS status = fillReceiveBuffer(port, count);
            if (status != FT_OK)
                return status;
        }
        // As D2XX: a time-out is FT_OK with fewer bytes than asked for.
        const size_t n = std::min<size_t>(count, port.received.size());
        std::memcpy(buffer, port.received.data(), n);
        port.received.erase(port.received.begin(), port.received.begin() + static_cast<std::ptrdiff_t>(n));
        if (returned)
            *returned = static_cast<uint32_t>(n);
        return FT_OK;
    });
}

FT_STATUS LibFtdiDriver::FT_Close(FT_HANDLE handle)
{
    std::lock_guard<std::mutex> lock(mutex);
    auto it = ports.find(handle);
    if (it == ports.end())
        return FT_INVALID_HANDLE;
    const int result = ftdi_usb_close(it->second->context);
    ftdi_free(it->second->context);
    ports.erase(it);
    return result == 0 ? FT_OK : FT_IO_ERROR;
}

} // namespace d2xx
