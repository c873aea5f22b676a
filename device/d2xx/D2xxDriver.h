#pragma once

#include "device/d2xx/D2xxTypes.h"

namespace d2xx {

// The D2XX calls the loader makes, with D2XX's meaning, and nothing more.
// Only TFtdi calls it. Backends: libftdi1 (Linux), FTD2XX.dll (Windows) and
// the emulated bridge; the entry points choose one (composition/) and hand
// it down. Every call of one driver comes from one thread at a time.
class D2xxDriver
{
public:
    virtual ~D2xxDriver() = default;

    virtual FT_STATUS FT_CreateDeviceInfoList(uint32_t* count) = 0;
    virtual FT_STATUS FT_GetDeviceInfoList(FT_DEVICE_LIST_INFO_NODE* list, uint32_t* count) = 0;
    // `arg` is a NUL-terminated description, serial number, or a location
    // passed as a pointer-sized integer, as `flags` says.
    virtual FT_STATUS FT_OpenEx(const void* arg, uint32_t flags, FT_HANDLE* handle) = 0;
    virtual FT_STATUS FT_ResetDevice(FT_HANDLE handle) = 0;
    virtual FT_STATUS FT_Purge(FT_HANDLE handle, uint32_t mask) = 0;
    virtual FT_STATUS FT_SetLatencyTimer(FT_HANDLE handle, uint8_t milliseconds) = 0;
    virtual FT_STATUS FT_SetBitMode(FT_HANDLE handle, uint8_t mask, uint8_t mode) = 0;
    virtual FT_STATUS FT_GetBitMode(FT_HANDLE handle, uint8_t* pins) = 0;
    virtual FT_STATUS FT_Write(FT_HANDLE handle, const void* buffer, uint32_t count, uint32_t* written) = 0;
    virtual FT_STATUS FT_GetStatus(FT_HANDLE handle, uint32_t* rxBytes, uint32_t* txBytes, uint32_t* eventStatus) = 0;
    virtual FT_STATUS FT_Read(FT_HANDLE handle, void* buffer, uint32_t count, uint32_t* returned) = 0;
    virtual FT_STATUS FT_Close(FT_HANDLE handle) = 0;
};

} // namespace d2xx
