#pragma once

#include "device/d2xx/D2xxDriver.h"

#include <memory>
#include <utility>

namespace d2xx {

// Passes every call to another driver; a wrapper overrides only the calls it
// changes (interrupting a run, gating writes in tests).
class ForwardingDriver : public D2xxDriver
{
public:
    explicit ForwardingDriver(std::shared_ptr<D2xxDriver> inner) : inner(std::move(inner)) {}

    FT_STATUS FT_CreateDeviceInfoList(uint32_t* count) override { return inner->FT_CreateDeviceInfoList(count); }
    FT_STATUS FT_GetDeviceInfoList(FT_DEVICE_LIST_INFO_NODE* list, uint32_t* count) override
    {
        return inner->FT_GetDeviceInfoList(list, count);
    }
    FT_STATUS FT_OpenEx(const void* arg, uint32_t flags, FT_HANDLE* handle) override
    {
        return inner->FT_OpenEx(arg, flags, handle);
    }
    FT_STATUS FT_ResetDevice(FT_HANDLE handle) override { return inner->FT_ResetDevice(handle); }
    FT_STATUS FT_Purge(FT_HANDLE handle, uint32_t mask) override { return inner->FT_Purge(handle, mask); }
    FT_STATUS FT_SetLatencyTimer(FT_HANDLE handle, uint8_t milliseconds) override
    {
        return inner->FT_SetLatencyTimer(handle, milliseconds);
    }
    FT_STATUS FT_SetBitMode(FT_HANDLE handle, uint8_t mask, uint8_t mode) override
    {
        return inner->FT_SetBitMode(handle, mask, mode);
    }
    FT_STATUS FT_GetBitMode(FT_HANDLE handle, uint8_t* pins) override { return inner->FT_GetBitMode(handle, pins); }
    FT_STATUS FT_Write(FT_HANDLE handle, const void* buffer, uint32_t count, uint32_t* written) override
    {
        return inner->FT_Write(handle, buffer, count, written);
    }
    FT_STATUS FT_GetStatus(FT_HANDLE handle, uint32_t* rxBytes, uint32_t* txBytes, uint32_t* eventStatus) override
    {
        return inner->FT_GetStatus(handle, rxBytes, txBytes, eventStatus);
    }
    FT_STATUS FT_Read(FT_HANDLE handle, void* buffer, uint32_t count, uint32_t* returned) override
    {
        return inner->FT_Read(handle, buffer, count, returned);
    }
    FT_STATUS FT_Close(FT_HANDLE handle) override { return inner->FT_Close(handle); }

protected:
    std::shared_ptr<D2xxDriver> inner;
};

} // namespace d2xx
