#include "device/d2xx/D2xxDriver.h"

#include <mutex>

namespace d2xx {
namespace {

// Stands in until the entry point picks a driver: no bridge anywhere.
class AbsentDriver final : public D2xxDriver
{
public:
    FT_STATUS FT_CreateDeviceInfoList(uint32_t* count) override
    {
        if (count)
            *count = 0;
        return FT_OK;
    }
    FT_STATUS FT_GetDeviceInfoList(FT_DEVICE_LIST_INFO_NODE*, uint32_t* count) override
    {
        if (count)
            *count = 0;
        return FT_OK;
    }
    FT_STATUS FT_OpenEx(const void*, uint32_t, FT_HANDLE*) override { return FT_DEVICE_NOT_FOUND; }
    FT_STATUS FT_ResetDevice(FT_HANDLE) override { return FT_INVALID_HANDLE; }
    FT_STATUS FT_Purge(FT_HANDLE, uint32_t) override { return FT_INVALID_HANDLE; }
    FT_STATUS FT_SetLatencyTimer(FT_HANDLE, uint8_t) override { return FT_INVALID_HANDLE; }
    FT_STATUS FT_SetBitMode(FT_HANDLE, uint8_t, uint8_t) override { return FT_INVALID_HANDLE; }
    FT_STATUS FT_GetBitMode(FT_HANDLE, uint8_t*) override { return FT_INVALID_HANDLE; }
    FT_STATUS FT_Write(FT_HANDLE, const void*, uint32_t, uint32_t*) override { return FT_INVALID_HANDLE; }
    FT_STATUS FT_GetStatus(FT_HANDLE, uint32_t*, uint32_t*, uint32_t*) override { return FT_INVALID_HANDLE; }
    FT_STATUS FT_Read(FT_HANDLE, void*, uint32_t, uint32_t*) override { return FT_INVALID_HANDLE; }
    FT_STATUS FT_Close(FT_HANDLE) override { return FT_INVALID_HANDLE; }
};

std::mutex defaultMutex;
std::shared_ptr<D2xxDriver> defaultDriver;

} // namespace

void D2xxDriver::setDefault(std::shared_ptr<D2xxDriver> driver)
{
    std::lock_guard<std::mutex> lock(defaultMutex);
    defaultDriver = std::move(driver);
}

std::shared_ptr<D2xxDriver> D2xxDriver::getDefault()
{
    std::lock_guard<std::mutex> lock(defaultMutex);
    if (!defaultDriver)
        defaultDriver = std::make_shared<AbsentDriver>();
    return defaultDriver;
}

} // namespace d2xx
