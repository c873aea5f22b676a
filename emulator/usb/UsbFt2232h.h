#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

namespace emu {

class Ft2232hBridge;
class VirtualClock;

// What one USB request did, in libusb's terms: a byte count, or a negative
// libusb error code.
using UsbResult = int;

// The emulated FT2232H as the USB host sees it: descriptors, FTDI's vendor
// requests on endpoint 0, and the two channels' bulk endpoints (A: OUT 0x02 /
// IN 0x81, B: OUT 0x04 / IN 0x83). Bulk IN packets are at most 512 bytes and
// each begins with the two modem-status bytes; a packet goes out when data
// is there, or, with nothing to send, when the channel's latency timer runs
// out (then it carries the status bytes alone). Not thread-safe.
class UsbFt2232h
{
public:
    static constexpr uint16_t kVendorId = 0x0403;
    static constexpr uint16_t kProductId = 0x6010;
    static constexpr uint16_t kBcdDevice = 0x0700;
    static constexpr unsigned kMaxPacket = 512;

    // Where the device sits: bus 2, hub port 1, port <hubPort> (1.1 for
    // the one bridge of old), address 5 for 1.1, 6 for 1.2, ...
    static constexpr uint8_t kBus = 2;
    static constexpr uint8_t kAddress = 5;
    const std::vector<uint8_t>& portPath() const { return path; }
    uint8_t address() const { return static_cast<uint8_t>(kAddress + path.back() - 1); }

    UsbFt2232h(Ft2232hBridge& bridge, VirtualClock& clock, std::string serialNumber = "FT7PRVL", unsigned hubPort = 1);

    // Raw descriptors as GET_DESCRIPTOR returns them.
    static std::vector<uint8_t> deviceDescriptor();
    static std::vector<uint8_t> configDescriptor();
    // Index 0: the language list; 1..3 manufacturer, product, serial; empty when absent.
    std::vector<uint8_t> stringDescriptor(uint8_t index) const;
    // The same strings as text (empty when absent).
    std::string stringText(uint8_t index) const;

    // A control transfer; `data` holds wLength bytes in either direction.
    UsbResult control(uint8_t requestType, uint8_t request, uint16_t value, uint16_t index, uint8_t* data,
                      uint16_t length);
    // Bulk transfers on an endpoint of ours; `timeoutMs` 0 waits for ever.
    UsbResult bulkOut(uint8_t endpoint, const uint8_t* data, size_t length);
    UsbResult bulkIn(uint8_t endpoint, uint8_t* data, size_t length, unsigned timeoutMs);

    // The channel (0 = A, 1 = B) of a bulk endpoint, or -1.
    static int channelOfEndpoint(uint8_t endpoint, bool& in);

private:
    UsbResult vendorRequest(bool in, uint8_t request, uint16_t value, uint16_t index, uint8_t* data, uint16_t length);
    UsbResult standardRequest(uint8_t requestType, uint8_t request, uint16_t value, uint8_t* data, uint16_t length);
    void chargeControl();
    void buildEeprom();

    Ft2232hBridge& bridge;
    VirtualClock& clock;
    std::string serial;
    std::vector<uint8_t> path;
    uint8_t configuration = 1;
    std::vector<uint16_t> eeprom;
};

} // namespace emu
