#pragma once

#include "emulator/d2xx/EmulatedDriver.h"
#include "device/d2xx/ForwardingDriver.h"

#include <algorithm>
#include <atomic>
#include <condition_variable>
#include <cstdint>
#include <functional>
#include <memory>
#include <mutex>
#include <vector>

namespace testsupport {

using namespace d2xx;

// The emulated bridge, plus pulling it off the bus and holding a run at one
// write while a test looks around or asks it to stop. Only the writes asked
// for are held (one, or one per instrument of a bench): a stray write from
// another thread then shows in the trace instead of hanging.
class GatedDriver final : public ForwardingDriver
{
public:
    using Match = std::function<bool(const std::vector<uint8_t>& bytes)>;

    explicit GatedDriver(std::shared_ptr<EmulatedDriver> emulated) : ForwardingDriver(std::move(emulated)) {}

    void setPlugged(bool value) { plugged = value; }
    // Holds the next write, or the next one whose bytes `match`; `count` such
    // writes when several threads write.
    void holdNextWrite(Match match = nullptr, unsigned count = 1)
    {
        std::lock_guard<std::mutex> l(m);
        armed = true;
        held = 0;
        wanted = count;
        which = std::move(match);
    }
    bool isHeld() { std::lock_guard<std::mutex> l(m); return held == wanted; }
    void waitUntilHeld() { std::unique_lock<std::mutex> l(m); cv.wait(l, [this] { return held == wanted; }); }
    void release() { { std::lock_guard<std::mutex> l(m); armed = false; } cv.notify_all(); }

    FT_STATUS FT_Write(FT_HANDLE h, const void* b, uint32_t c, uint32_t* w) override
    {
        {
            std::unique_lock<std::mutex> l(m);
            const auto* bytes = static_cast<const uint8_t*>(b);
            if (armed && held < wanted && (!which || (bytes && which(std::vector<uint8_t>(bytes, bytes + c))))) {
                ++held;
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
    bool armed = false;
    unsigned held = 0, wanted = 1;
    Match which;
};

// Matches the write that carries flash command `opcode` with address
// `address` (three address bytes, after the chip select and the length).
inline GatedDriver::Match commandAt(uint8_t opcode, uint32_t address)
{
    // Anywhere in the write: pages go out in pipelined batches. The command
    // follows its bytes-out header (11 Ll Lh).
    return [opcode, address](const std::vector<uint8_t>& bytes) {
        const uint8_t command[] = {opcode, uint8_t(address >> 16), uint8_t(address >> 8), uint8_t(address)};
        for (size_t i = 0; i + 7 <= bytes.size(); ++i)
            if (bytes[i] == 0x11 && std::equal(command, command + 4, bytes.begin() + static_cast<long>(i) + 3))
                return true;
        return false;
    };
}

// The page program write for flash address `address`.
inline GatedDriver::Match pageProgramAt(uint32_t address) { return commandAt(0x02, address); }

} // namespace testsupport
