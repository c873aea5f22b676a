#pragma once

#include "device/d2xx/EmulatedDriver.h"

#include <atomic>
#include <condition_variable>
#include <memory>
#include <mutex>

namespace apptest {

using namespace d2xx;

// The emulated bridge with two things a window test needs on top: pulling the
// bridge off the bus and plugging it back, and holding a programming run at
// one of its writes so the test can look at the window while it runs.
class GatedDriver final : public d2xx::D2xxDriver
{
public:
    explicit GatedDriver(std::shared_ptr<d2xx::EmulatedDriver> inner) : inner(std::move(inner)) {}

    void setPlugged(bool value) { plugged = value; }

    // The next FT_Write waits until release().
    void holdNextWrite()
    {
        std::lock_guard<std::mutex> lock(mutex);
        holdArmed = true;
        held = false;
    }
    bool isHeld()
    {
        std::lock_guard<std::mutex> lock(mutex);
        return held;
    }
    void release()
    {
        std::lock_guard<std::mutex> lock(mutex);
        holdArmed = false;
        changed.notify_all();
    }

    // Unplugged: an empty bus.
    FT_STATUS FT_CreateDeviceInfoList(uint32_t* count) override
    {
        return plugged ? inner->FT_CreateDeviceInfoList(count) : (*count = 0, FT_OK);
    }
    FT_STATUS FT_GetDeviceInfoList(FT_DEVICE_LIST_INFO_NODE* list, uint32_t* count) override
    {
        return plugged ? inner->FT_GetDeviceInfoList(list, count) : (*count = 0, FT_OK);
    }
    FT_STATUS FT_OpenEx(const void* arg, uint32_t flags, FT_HANDLE* handle) override
    {
        return plugged ? inner->FT_OpenEx(arg, flags, handle) : FT_DEVICE_NOT_FOUND;
    }
    FT_STATUS FT_ResetDevice(FT_HANDLE h) override { return inner->FT_ResetDevice(h); }
    FT_STATUS FT_Purge(FT_HANDLE h, uint32_t mask) override { return inner->FT_Purge(h, mask); }
    FT_STATUS FT_SetLatencyTimer(FT_HANDLE h, uint8_t ms) override { return inner->FT_SetLatencyTimer(h, ms); }
    FT_STATUS FT_SetBitMode(FT_HANDLE h, uint8_t mask, uint8_t mode) override { return inner->FT_SetBitMode(h, mask, mode); }
    FT_STATUS FT_GetBitMode(FT_HANDLE h, uint8_t* pins) override { return inner->FT_GetBitMode(h, pins); }
    FT_STATUS FT_Write(FT_HANDLE h, const void* buffer, uint32_t count, uint32_t* written) override
    {
        {
            std::unique_lock<std::mutex> lock(mutex);
            if (holdArmed) {
                held = true;
                changed.wait(lock, [this] { return !holdArmed; });
            }
        }
        return inner->FT_Write(h, buffer, count, written);
    }
    FT_STATUS FT_GetStatus(FT_HANDLE h, uint32_t* rx, uint32_t* tx, uint32_t* ev) override { return inner->FT_GetStatus(h, rx, tx, ev); }
    FT_STATUS FT_Read(FT_HANDLE h, void* buf, uint32_t n, uint32_t* got) override { return inner->FT_Read(h, buf, n, got); }
    FT_STATUS FT_Close(FT_HANDLE h) override { return inner->FT_Close(h); }

private:
    std::shared_ptr<d2xx::EmulatedDriver> inner;
    std::atomic<bool> plugged{true};
    std::mutex mutex;
    std::condition_variable changed;
    bool holdArmed = false;
    bool held = false;
};

} // namespace apptest
