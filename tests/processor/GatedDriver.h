#pragma once

#include "device/d2xx/EmulatedDriver.h"
#include "device/d2xx/ForwardingDriver.h"

#include <atomic>
#include <condition_variable>
#include <memory>
#include <mutex>

namespace testrig {

using namespace d2xx;

// The emulated bridge, plus pulling it off the bus and holding a programming
// run at one write while a test looks around. Only the first writer is held:
// a stray write from another thread then shows in the trace instead of hanging.
class GatedDriver final : public ForwardingDriver
{
public:
    explicit GatedDriver(std::shared_ptr<EmulatedDriver> emulated) : ForwardingDriver(std::move(emulated)) {}

    void setPlugged(bool value) { plugged = value; }
    void holdNextWrite() { std::lock_guard<std::mutex> l(m); armed = true; held = false; }
    bool isHeld() { std::lock_guard<std::mutex> l(m); return held; }
    void waitUntilHeld() { std::unique_lock<std::mutex> l(m); cv.wait(l, [this] { return held; }); }
    void release() { { std::lock_guard<std::mutex> l(m); armed = false; } cv.notify_all(); }

    FT_STATUS FT_Write(FT_HANDLE h, const void* b, uint32_t c, uint32_t* w) override
    {
        {
            std::unique_lock<std::mutex> l(m);
            if (armed && !held) {
                held = true;
                cv.notify_all();
                cv.wait(l, [this] { return !armed; });
            }
        }
        return inner->FT_Write(h, b, c, w);
    }
    FT_STATUS FT_CreateDeviceInfoList(uint32_t* c) override { return plugged ? inner->FT_CreateDeviceInfoList(c) : (*c = 0, FT_OK); }
    FT_STATUS FT_GetDeviceInfoList(FT_DEVICE_LIST_INFO_NODE* l, uint32_t* c) override { return plugged ? inner->FT_GetDeviceInfoList(l, c) : (*c = 0, FT_OK); }
    FT_STATUS FT_OpenEx(const void* a, uint32_t f, FT_HANDLE* h) override { return plugged ? inner->FT_OpenEx(a, f, h) : FT_DEVICE_NOT_FOUND; }

private:
    std::atomic<bool> plugged{true};
    std::mutex m;
    std::condition_variable cv;
    bool armed = false, held = false;
};

} // namespace testrig
