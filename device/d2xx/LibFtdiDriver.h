#pragma once

#include "device/d2xx/D2xxDriver.h"

#include <cstdint>
#include <map>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

namespace d2xx {

// What a USB scan learns about one FTDI chip: enough to list its channels
// the way D2XX does.
struct FtdiUsbDevice
{
    uint16_t vendorId = 0;
    uint16_t productId = 0;
    uint16_t bcdDevice = 0;      // tells the chip family apart
    bool stringsRead = false;    // false: no access to the device's strings
    std::string product;         // USB product string, no channel suffix
    std::string serial;
    uint8_t bus = 0;
    std::vector<uint8_t> ports;  // port path from the root hub
};

// D2XX over libftdi1 and libusb: a real FTDI bridge on Linux. Every open
// channel has its own libftdi context, and a receive buffer of ours so that
// FT_GetStatus can tell how many bytes are waiting.
class LibFtdiDriver final : public D2xxDriver
{
public:
    LibFtdiDriver();
    ~LibFtdiDriver() override; // closes what is still open

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

    // One device-list node per channel of `device` (" A", " B", ... on the
    // description and "A", "B", ... on the serial of multi-channel chips).
    static std::vector<FT_DEVICE_LIST_INFO_NODE> channelNodes(const FtdiUsbDevice& device);

    // Gives up on FT_Read after this long without the requested count.
    static constexpr int readTimeoutMilliseconds = 1000;

private:
    struct Port;

    Port* find(FT_HANDLE handle);
    // Under the lock, `call` on the port of `handle`. An unknown handle is
    // FT_INVALID_HANDLE, a port whose bridge was found unplugged FT_IO_ERROR
    // (said once already) without a call.
    template <typename Call>
    FT_STATUS withPort(FT_HANDLE handle, Call call);
    FT_STATUS scanLocked(uint32_t* count);
    FT_STATUS fillReceiveBuffer(Port& port, size_t wanted);
    FT_STATUS failed(Port& port, const char* call);

    std::mutex mutex;
    std::vector<FT_DEVICE_LIST_INFO_NODE> deviceList;
    bool listed = false;
    std::map<FT_HANDLE, std::unique_ptr<Port>> ports;
};

} // namespace d2xx
