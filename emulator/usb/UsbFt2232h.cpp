#include "emulator/usb/UsbFt2232h.h"

#include "emulator/Ft2232hBridge.h"
#include "emulator/VirtualClock.h"

#include <libusb.h>

#include <algorithm>
#include <cstring>
#include <utility>

namespace emu {
namespace {

// FTDI's vendor requests (the SIO_* values of libftdi's ftdi.h).
enum : uint8_t {
    kSioReset = 0x00,
    kSioModemControl = 0x01,
    kSioFlowControl = 0x02,
    kSioBaudRate = 0x03,
    kSioData = 0x04,
    kSioPollModemStatus = 0x05,
    kSioEventChar = 0x06,
    kSioErrorChar = 0x07,
    kSioSetLatency = 0x09,
    kSioGetLatency = 0x0A,
    kSioSetBitMode = 0x0B,
    kSioReadPins = 0x0C,
    kSioReadEeprom = 0x90,
    kSioWriteEeprom = 0x91,
    kSioEraseEeprom = 0x92,
};

// wValue of kSioReset, named from the chip's side: 1 empties what the host
// sent, 2 what waits to go to the host.
enum : uint16_t { kResetSio = 0, kPurgeFromHost = 1, kPurgeToHost = 2 };

const char* const kManufacturer = "FTDI";
const char* const kProduct = "USB <-> Serial Converter";
constexpr unsigned kEepromWords = 128; // a 93C56

void put16(std::vector<uint8_t>& out, uint16_t value)
{
    out.push_back(static_cast<uint8_t>(value & 0xFF));
    out.push_back(static_cast<uint8_t>(value >> 8));
}

std::vector<uint8_t> endpoint(uint8_t address)
{
    std::vector<uint8_t> out = {7, LIBUSB_DT_ENDPOINT, address, LIBUSB_TRANSFER_TYPE_BULK};
    put16(out, UsbFt2232h::kMaxPacket);
    out.push_back(0);
    return out;
}

UsbResult copyOut(const std::vector<uint8_t>& source, uint8_t* data, uint16_t length)
{
    const size_t n = std::min<size_t>(source.size(), length);
    if (n > 0)
        std::memcpy(data, source.data(), n);
    return static_cast<UsbResult>(n);
}

} // namespace

UsbFt2232h::UsbFt2232h(Ft2232hBridge& bridge, VirtualClock& clock, std::string serialNumber, unsigned hubPort)
    : bridge(bridge), clock(clock), serial(std::move(serialNumber)), path{1, static_cast<uint8_t>(hubPort)}
{
    buildEeprom();
}

std::vector<uint8_t> UsbFt2232h::deviceDescriptor()
{
    std::vector<uint8_t> out = {LIBUSB_DT_DEVICE_SIZE, LIBUSB_DT_DEVICE};
    put16(out, 0x0200); // USB 2.0
    out.insert(out.end(), {0, 0, 0, 64});
    put16(out, kVendorId);
    put16(out, kProductId);
    put16(out, kBcdDevice);
    out.insert(out.end(), {1, 2, 3, 1});
    return out;
}

std::vector<uint8_t> UsbFt2232h::configDescriptor()
{
    std::vector<uint8_t> body;
    const uint8_t endpoints[2][2] = {{0x81, 0x02}, {0x83, 0x04}};
    for (uint8_t interface = 0; interface < 2; ++interface) {
        // Vendor-specific class; the interface string is the product's.
        body.insert(body.end(), {LIBUSB_DT_INTERFACE_SIZE, LIBUSB_DT_INTERFACE, interface, 0, 2, 0xFF, 0xFF, 0xFF, 2});
        for (uint8_t address : endpoints[interface]) {
            const std::vector<uint8_t> ep = endpoint(address);
            body.insert(body.end(), ep.begin(), ep.end());
        }
    }
    std::vector<uint8_t> out = {LIBUSB_DT_CONFIG_SIZE, LIBUSB_DT_CONFIG};
    put16(out, static_cast<uint16_t>(LIBUSB_DT_CONFIG_SIZE + body.size()));
    out.insert(out.end(), {2, 1, 0, 0x80, 50}); // 2 interfaces, value 1, bus powered, 100 mA
    out.insert(out.end(), body.begin(), body.end());
    return out;
}

std::string UsbFt2232h::stringText(uint8_t index) const
{
    switch (index) {
    case 1:
        return kManufacturer;
    case 2:
        return kProduct;
    case 3:
        return serial;
    default:
        return {};
    }
}

std::vector<uint8_t> UsbFt2232h::stringDescriptor(uint8_t index) const
{
    if (index == 0)
        return {4, LIBUSB_DT_STRING, 0x09, 0x04}; // English (United States)
    const std::string text = stringText(index);
    if (text.empty())
        return {};
    std::vector<uint8_t> out = {static_cast<uint8_t>(2 + 2 * text.size()), LIBUSB_DT_STRING};
    for (char c : text)
        put16(out, static_cast<uint8_t>(c));
    return out;
}

int UsbFt2232h::channelOfEndpoint(uint8_t endpoint, bool& in)
{
    in = (endpoint & LIBUSB_ENDPOINT_IN) != 0;
    switch (endpoint) {
    case 0x02:
    case 0x81:
        return 0;
    case 0x04:
    case 0x83:
        return 1;
    default:
        return -1;
    }
}

void UsbFt2232h::chargeControl()
{
    clock.advanceNanoseconds(bridge.costs().controlRequestNs);
}

UsbResult UsbFt2232h::control(uint8_t requestType, uint8_t request, uint16_t value, uint16_t index, uint8_t* data,
                              uint16_t length)
{
    const bool in = (requestType & LIBUSB_ENDPOINT_IN) != 0;
    switch (requestType & 0x60) {
    case LIBUSB_REQUEST_TYPE_VENDOR:
        return vendorRequest(in, request, value, index, data, length);
    case LIBUSB_REQUEST_TYPE_STANDARD:
        chargeControl();
        return standardRequest(requestType, request, value, data, length);
    default:
        chargeControl();
        return LIBUSB_ERROR_PIPE; // the chip stalls what it does not know
    }
}

UsbResult UsbFt2232h::standardRequest(uint8_t requestType, uint8_t request, uint16_t value, uint8_t* data,
                                      uint16_t length)
{
    const bool in = (requestType & LIBUSB_ENDPOINT_IN) != 0;
    switch (request) {
    case LIBUSB_REQUEST_GET_DESCRIPTOR: {
        if (!in)
            return LIBUSB_ERROR_PIPE;
        std::vector<uint8_t> descriptor;
        switch (value >> 8) {
        case LIBUSB_DT_DEVICE:
            descriptor = deviceDescriptor();
            break;
        case LIBUSB_DT_CONFIG:
            if ((value & 0xFF) == 0)
                descriptor = configDescriptor();
            break;
        case LIBUSB_DT_STRING:
            descriptor = stringDescriptor(static_cast<uint8_t>(value & 0xFF));
            break;
        default:
            break;
        }
        if (descriptor.empty())
            return LIBUSB_ERROR_PIPE;
        return copyOut(descriptor, data, length);
    }
    case LIBUSB_REQUEST_GET_CONFIGURATION:
        return in ? copyOut({configuration}, data, length) : LIBUSB_ERROR_PIPE;
    case LIBUSB_REQUEST_SET_CONFIGURATION:
        if (in || value > 1)
            return LIBUSB_ERROR_PIPE;
        configuration = static_cast<uint8_t>(value);
        return 0;
    case LIBUSB_REQUEST_GET_STATUS:
        return in ? copyOut({0, 0}, data, length) : LIBUSB_ERROR_PIPE;
    default:
        return LIBUSB_ERROR_PIPE;
    }
}

UsbResult UsbFt2232h::vendorRequest(bool in, uint8_t request, uint16_t value, uint16_t index, uint8_t* data,
                                    uint16_t length)
{
    // The channel is wIndex's low byte: 1 = A, 2 = B (0 also means A).
    const unsigned port = index & 0xFF;
    const unsigned channel = port <= 1 ? 0 : port - 1;
    const bool portRequest = request != kSioReadEeprom && request != kSioWriteEeprom && request != kSioEraseEeprom;
    if (portRequest && channel >= 2) {
        chargeControl();
        return LIBUSB_ERROR_PIPE;
    }

    switch (request) {
    case kSioReset:
        if (in)
            break;
        if (value == kResetSio)
            bridge.reset(channel);
        else if (value == kPurgeFromHost)
            bridge.purge(channel, false, true);
        else if (value == kPurgeToHost)
            bridge.purge(channel, true, false);
        else
            break;
        return 0;
    case kSioModemControl:
    case kSioFlowControl:
    case kSioBaudRate:
    case kSioData:
    case kSioEventChar:
    case kSioErrorChar:
        // The UART's settings: accepted; MPSSE does not use them.
        if (in)
            break;
        chargeControl();
        return 0;
    case kSioPollModemStatus:
        if (!in)
            break;
        chargeControl();
        return copyOut({Ft2232hBridge::kModemStatus[0], Ft2232hBridge::kModemStatus[1]}, data, length);
    case kSioSetLatency:
        if (in)
            break;
        // The chip takes 1..255 ms; 0 it refuses.
        if (!bridge.setLatencyTimer(channel, static_cast<uint8_t>(value & 0xFF)))
            return LIBUSB_ERROR_PIPE;
        return 0;
    case kSioGetLatency:
        if (!in)
            break;
        chargeControl();
        return copyOut({bridge.latencyTimer(channel)}, data, length);
    case kSioSetBitMode:
        if (in)
            break;
        if (!bridge.setBitMode(channel, static_cast<uint8_t>(value & 0xFF), static_cast<uint8_t>(value >> 8)))
            return LIBUSB_ERROR_PIPE;
        return 0;
    case kSioReadPins:
        if (!in)
            break;
        return copyOut({bridge.readPins(channel)}, data, length);
    case kSioReadEeprom: {
        if (!in)
            break;
        chargeControl();
        const uint16_t word = eeprom[index % eeprom.size()];
        return copyOut({static_cast<uint8_t>(word & 0xFF), static_cast<uint8_t>(word >> 8)}, data, length);
    }
    case kSioWriteEeprom:
        if (in)
            break;
        chargeControl();
        eeprom[index % eeprom.size()] = value;
        return 0;
    case kSioEraseEeprom:
        if (in)
            break;
        chargeControl();
        std::fill(eeprom.begin(), eeprom.end(), 0xFFFF);
        return 0;
    default:
        break;
    }
    chargeControl();
    return LIBUSB_ERROR_PIPE;
}

UsbResult UsbFt2232h::bulkOut(uint8_t endpoint, const uint8_t* data, size_t length)
{
    bool in = false;
    const int channel = channelOfEndpoint(endpoint, in);
    if (channel < 0 || in)
        return LIBUSB_ERROR_PIPE;
    bridge.write(static_cast<unsigned>(channel), data, length);
    return static_cast<UsbResult>(length);
}

UsbResult UsbFt2232h::bulkIn(uint8_t endpoint, uint8_t* data, size_t length, unsigned timeoutMs)
{
    bool in = false;
    const int channel = channelOfEndpoint(endpoint, in);
    if (channel < 0 || !in)
        return LIBUSB_ERROR_PIPE;
    const uint64_t before = clock.nowNanoseconds();
    const std::vector<uint8_t> transfer = bridge.bulkIn(static_cast<unsigned>(channel), length);
    if (transfer.empty())
        return LIBUSB_ERROR_OVERFLOW; // not even one packet fits the host's buffer
    // Status bytes alone after the host stopped waiting: nothing arrived in time.
    if (transfer.size() == 2 && timeoutMs != 0 && clock.nowNanoseconds() - before > uint64_t(timeoutMs) * 1000000)
        return LIBUSB_ERROR_TIMEOUT;
    const BridgeTiming& timing = bridge.costs();
    if (!timing.usbScheduling && transfer.size() > 2) {
        // Instant mode: a flat cost per transfer, as the D2XX face charges a read.
        const size_t packets = (transfer.size() + kMaxPacket - 1) / kMaxPacket;
        clock.advanceNanoseconds(timing.usbCostNs(transfer.size() - 2 * packets));
    }
    std::memcpy(data, transfer.data(), transfer.size());
    return static_cast<UsbResult>(transfer.size());
}

void UsbFt2232h::buildEeprom()
{
    // A plausible programmed 93C56: both channels UART, bus powered at
    // 100 mA, the device's IDs and strings, checksum in the last word.
    eeprom.assign(kEepromWords, 0);
    std::vector<uint8_t> bytes(kEepromWords * 2, 0);
    auto set16 = [&](size_t at, uint16_t value) {
        bytes[at] = static_cast<uint8_t>(value & 0xFF);
        bytes[at + 1] = static_cast<uint8_t>(value >> 8);
    };
    set16(0x02, kVendorId);
    set16(0x04, kProductId);
    set16(0x06, kBcdDevice);
    bytes[0x08] = 0x80;
    bytes[0x09] = 50;
    size_t at = 0x9A; // string area of the FT2232H layout
    for (uint8_t i = 1; i <= 3; ++i) {
        const std::vector<uint8_t> descriptor = stringDescriptor(i);
        bytes[0x0C + 2 * (i - 1)] = static_cast<uint8_t>(0x80 | (at & 0x7F));
        bytes[0x0D + 2 * (i - 1)] = descriptor[0];
        std::copy(descriptor.begin(), descriptor.end(), bytes.begin() + static_cast<std::ptrdiff_t>(at));
        at += descriptor.size();
    }
    bytes[0x18] = 0x56; // chip type 93C56
    uint16_t checksum = 0xAAAA;
    for (unsigned i = 0; i + 1 < kEepromWords; ++i) {
        const uint16_t word = static_cast<uint16_t>(bytes[2 * i] | bytes[2 * i + 1] << 8);
        eeprom[i] = word;
        checksum = static_cast<uint16_t>(checksum ^ word);
        checksum = static_cast<uint16_t>((checksum << 1) | (checksum >> 15));
    }
    eeprom[kEepromWords - 1] = checksum;
}

} // namespace emu
