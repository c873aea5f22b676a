#pragma once

#include "device/d2xx/D2xxDriver.h"

#include <memory>
#include <string>

namespace d2xx {

// D2XX through FTDI's own FTD2XX.dll, loaded when the driver is created.
// Without the DLL every call fails with FT_DEVICE_NOT_FOUND and the list is
// empty; `loadError()` says why. Windows only.
class Ftd2xxDllDriver final : public D2xxDriver
{
public:
    Ftd2xxDllDriver();
    ~Ftd2xxDllDriver() override;

    bool loaded() const;
    const std::string& loadError() const;

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

private:
    struct Library;
    std::unique_ptr<Library> library;
};

} // namespace d2xx
