#include "emulator/d2xx/EmulatedDriver.h"

#include "emulator/CallTrace.h"
#include "emulator/EmulatedInstrument.h"
#include "emulator/Ft2232hBridge.h"
#include "emulator/VirtualClock.h"

#include <algorithm>
#include <cstdio>
#include <cstring>
#include <map>
#include <set>
#include <mutex>
#include <vector>

namespace d2xx {
namespace {

std::string hex(uint64_t value)
{
    char text[24];
    std::snprintf(text, sizeof text, "0x%llx", static_cast<unsigned long long>(value));
    return text;
}

// A NUL-terminated argument, read no further than any real name could reach.
std::string boundedText(const void* arg)
{
    constexpr size_t kLimit = 256;
    const char* text = static_cast<const char*>(arg);
    std::string out;
    for (size_t i = 0; i < kLimit && text[i] != '\0'; ++i)
        out.push_back(text[i]);
    return out;
}

void copyField(char* field, size_t size, const std::string& text)
{
    std::memset(field, 0, size);
    std::memcpy(field, text.data(), std::min(text.size(), size - 1));
}

} // namespace

struct EmulatedDriver::State
{
    // What a call leaves for the trace besides its arguments.
    struct Call
    {
        bool tracing = false;
        std::vector<uint8_t> data;
    };

    emu::VirtualClock clock;
    emu::CallTrace trace;
    std::unique_ptr<emu::EmulatedInstrument> instrument;
    std::unique_ptr<emu::Ft2232hBridge> bridge; // declared after the instrument it drives
    emu::FaultPlan faults;

    std::mutex mutex;
    uint64_t calls = 0;
    std::map<std::string, uint64_t> callsPerFunction;
    bool gone = false;                           // unplugged by the fault plan
    std::map<FT_HANDLE, unsigned> openHandles;   // handle -> channel
    std::set<FT_HANDLE> deadHandles;             // opened before an unplug, not closed yet
    uintptr_t nextHandle = 0xD2000;
    std::vector<FT_DEVICE_LIST_INFO_NODE> listed; // as the last FT_CreateDeviceInfoList saw it

    bool present() const { return bridge && !gone; }

    int channelOf(FT_HANDLE handle) const
    {
        const auto found = openHandles.find(handle);
        if (found == openHandles.end() || deadHandles.count(handle))
            return -1;
        return int(found->second);
    }

    // Runs one D2XX call: counts it, applies the fault plan, records it.
    // `goneStatus` is what the call returns once the bridge is unplugged;
    // FT_OK leaves that case to `body`.
    template <typename Body>
    FT_STATUS run(const char* function, const std::string& arguments, FT_STATUS goneStatus, Body body)
    {
        std::lock_guard<std::mutex> lock(mutex);
        Call call;
        call.tracing = trace.enabled();
        ++calls;
        const uint64_t nth = ++callsPerFunction[function];
        if (faults.unplugAtCall != 0 && calls >= faults.unplugAtCall)
            gone = true;

        FT_STATUS status = FT_OK;
        bool injected = false;
        for (const auto& failing : faults.failingCalls)
            injected = injected || (failing.first == function && failing.second == nth);
        if (gone && goneStatus != FT_OK) {
            status = goneStatus;
        } else if (injected) {
            status = FT_IO_ERROR;
        } else {
            try {
                status = body(call);
            } catch (...) {
                status = FT_OTHER_ERROR;
            }
        }
        if (call.tracing)
            trace.recordCall({function, arguments, std::move(call.data), status});
        return status;
    }
};

EmulatedDriver::EmulatedDriver(std::unique_ptr<State> state) : state(std::move(state)) {}

EmulatedDriver::~EmulatedDriver() = default;

std::shared_ptr<EmulatedDriver> EmulatedDriver::create(const emu::BenchConfig& bench, std::string& error)
{
    auto state = std::make_unique<State>();
    state->faults = bench.calls;
    if (bench.attached) {
        state->instrument = emu::EmulatedInstrument::create(bench.instrument, state->clock, &state->trace, error);
        if (!state->instrument)
            return nullptr;
        const emu::BridgeTiming timing = bench.instrument.timed ? emu::BridgeTiming::usbHighSpeed() : emu::BridgeTiming{};
        state->bridge = std::make_unique<emu::Ft2232hBridge>(state->clock, state->instrument.get(), timing);
        state->bridge->dropRepliesAt(bench.calls.noReplyAt);
        state->bridge->refuseMpsse(bench.calls.noMpsse);
    }
    return std::shared_ptr<EmulatedDriver>(new EmulatedDriver(std::move(state)));
}

FT_STATUS EmulatedDriver::FT_CreateDeviceInfoList(uint32_t* count)
{
    State& s = *state;
    return s.run("FT_CreateDeviceInfoList", "", FT_OK, [&](State::Call&) -> FT_STATUS {
        if (!count)
            return FT_INVALID_PARAMETER;
        if (s.faults.enumerationFails)
            return FT_IO_ERROR;
        s.listed.clear();
        for (unsigned channel = 0; s.present() && channel < emu::Ft2232hBridge::kChannels; ++channel) {
            const auto& identity = s.bridge->identity(channel);
            FT_DEVICE_LIST_INFO_NODE node{};
            const bool open = s.bridge->isOpen(channel);
            node.Flags = FT_FLAGS_HISPEED | (open ? uint32_t(FT_FLAGS_OPENED) : 0u);
            node.Type = FT_DEVICE_2232H;
            node.ID = emu::Ft2232hBridge::kUsbId;
            node.LocId = identity.locationId;
            copyField(node.SerialNumber, sizeof node.SerialNumber, identity.serialNumber);
            copyField(node.Description, sizeof node.Description, identity.description);
            for (const auto& handle : s.openHandles)
                if (handle.second == channel)
                    node.ftHandle = handle.first;
            s.listed.push_back(node);
        }
        *count = static_cast<uint32_t>(s.listed.size());
        return FT_OK;
    });
}

FT_STATUS EmulatedDriver::FT_GetDeviceInfoList(FT_DEVICE_LIST_INFO_NODE* list, uint32_t* count)
{
    State& s = *state;
    return s.run("FT_GetDeviceInfoList", "", FT_OK, [&](State::Call&) -> FT_STATUS {
        if (!list || !count)
            return FT_INVALID_PARAMETER;
        if (!s.present())
            s.listed.clear();
        // Never more nodes than FT_CreateDeviceInfoList announced: the caller sized the array by it.
        std::copy(s.listed.begin(), s.listed.end(), list);
        *count = static_cast<uint32_t>(s.listed.size());
        return FT_OK;
    });
}

FT_STATUS EmulatedDriver::FT_OpenEx(const void* arg, uint32_t flags, FT_HANDLE* handle)
{
    State& s = *state;
    std::string key;
    std::string arguments;
    if (flags == FT_OPEN_BY_LOCATION) {
        arguments = "location=" + hex(reinterpret_cast<uintptr_t>(arg));
    } else if (arg) {
        key = boundedText(arg);
        arguments = std::string(flags == FT_OPEN_BY_SERIAL_NUMBER ? "serial" : "description") + "=\"" + key + "\"";
    }
    arguments += (arguments.empty() ? "" : " ") + std::string("flags=") + hex(flags);

    return s.run("FT_OpenEx", arguments, FT_DEVICE_NOT_FOUND, [&](State::Call&) -> FT_STATUS {
        if (!handle)
            return FT_INVALID_PARAMETER;
        if (!s.present())
            return FT_DEVICE_NOT_FOUND;
        int channel = -1;
        switch (flags) {
        case FT_OPEN_BY_DESCRIPTION:
            if (!arg)
                return FT_INVALID_PARAMETER;
            channel = s.bridge->findByDescription(key);
            break;
        case FT_OPEN_BY_SERIAL_NUMBER:
            if (!arg)
                return FT_INVALID_PARAMETER;
            channel = s.bridge->findBySerialNumber(key);
            break;
        case FT_OPEN_BY_LOCATION:
            channel = s.bridge->findByLocation(static_cast<uint32_t>(reinterpret_cast<uintptr_t>(arg)));
            break;
        default:
            return FT_INVALID_PARAMETER;
        }
        if (channel < 0)
            return FT_DEVICE_NOT_FOUND;
        if (!s.bridge->open(unsigned(channel)))
            return FT_DEVICE_NOT_OPENED;
        // Handles are never reused, so a stale one is always recognised.
        FT_HANDLE fresh = reinterpret_cast<FT_HANDLE>(s.nextHandle);
        s.nextHandle += 0x10;
        s.openHandles[fresh] = unsigned(channel);
        *handle = fresh;
        return FT_OK;
    });
}

FT_STATUS EmulatedDriver::FT_ResetDevice(FT_HANDLE handle)
{
    State& s = *state;
    return s.run("FT_ResetDevice", "", FT_IO_ERROR, [&](State::Call&) -> FT_STATUS {
        const int channel = s.channelOf(handle);
        if (channel < 0)
            return FT_INVALID_HANDLE;
        s.bridge->reset(unsigned(channel));
        return FT_OK;
    });
}

FT_STATUS EmulatedDriver::FT_Purge(FT_HANDLE handle, uint32_t mask)
{
    State& s = *state;
    return s.run("FT_Purge", "mask=" + hex(mask), FT_IO_ERROR, [&](State::Call&) -> FT_STATUS {
        const int channel = s.channelOf(handle);
        if (channel < 0)
            return FT_INVALID_HANDLE;
        s.bridge->purge(unsigned(channel), (mask & FT_PURGE_RX) != 0, (mask & FT_PURGE_TX) != 0);
        return FT_OK;
    });
}

FT_STATUS EmulatedDriver::FT_SetLatencyTimer(FT_HANDLE handle, uint8_t milliseconds)
{
    State& s = *state;
    return s.run("FT_SetLatencyTimer", "ms=" + std::to_string(milliseconds), FT_IO_ERROR,
                 [&](State::Call&) -> FT_STATUS {
                     const int channel = s.channelOf(handle);
                     if (channel < 0)
                         return FT_INVALID_HANDLE;
                     // 2..255 ms is the D2XX driver's own rule; the chip itself takes 1.
                     if (milliseconds < 2)
                         return FT_INVALID_PARAMETER;
                     return s.bridge->setLatencyTimer(unsigned(channel), milliseconds) ? FT_OK : FT_INVALID_PARAMETER;
                 });
}

FT_STATUS EmulatedDriver::FT_SetBitMode(FT_HANDLE handle, uint8_t mask, uint8_t mode)
{
    State& s = *state;
    return s.run("FT_SetBitMode", "mask=" + hex(mask) + " mode=" + hex(mode), FT_IO_ERROR,
                 [&](State::Call&) -> FT_STATUS {
                     const int channel = s.channelOf(handle);
                     if (channel < 0)
                         return FT_INVALID_HANDLE;
                     return s.bridge->setBitMode(unsigned(channel), mask, mode) ? FT_OK : FT_INVALID_PARAMETER;
                 });
}

FT_STATUS EmulatedDriver::FT_GetBitMode(FT_HANDLE handle, uint8_t* pins)
{
    State& s = *state;
    return s.run("FT_GetBitMode", "", FT_IO_ERROR, [&](State::Call& call) -> FT_STATUS {
        const int channel = s.channelOf(handle);
        if (channel < 0)
            return FT_INVALID_HANDLE;
        if (!pins)
            return FT_INVALID_PARAMETER;
        *pins = s.bridge->readPins(unsigned(channel));
        if (call.tracing)
            call.data.push_back(*pins);
        return FT_OK;
    });
}

FT_STATUS EmulatedDriver::FT_Write(FT_HANDLE handle, const void* buffer, uint32_t count, uint32_t* written)
{
    State& s = *state;
    if (written)
        *written = 0;
    return s.run("FT_Write", "count=" + std::to_string(count), FT_IO_ERROR, [&](State::Call& call) -> FT_STATUS {
        const int channel = s.channelOf(handle);
        if (channel < 0)
            return FT_INVALID_HANDLE;
        if (!written || (!buffer && count > 0))
            return FT_INVALID_PARAMETER;
        const auto* bytes = static_cast<const uint8_t*>(buffer);
        if (call.tracing)
            call.data.assign(bytes, bytes + count);
        s.bridge->write(unsigned(channel), bytes, count);
        *written = count;
        return FT_OK;
    });
}

FT_STATUS EmulatedDriver::FT_GetStatus(FT_HANDLE handle, uint32_t* rxBytes, uint32_t* txBytes, uint32_t* eventStatus)
{
    State& s = *state;
    return s.run("FT_GetStatus", "", FT_IO_ERROR, [&](State::Call&) -> FT_STATUS {
        const int channel = s.channelOf(handle);
        if (channel < 0)
            return FT_INVALID_HANDLE;
        if (!rxBytes || !txBytes || !eventStatus)
            return FT_INVALID_PARAMETER;
        *rxBytes = static_cast<uint32_t>(s.bridge->receiveQueued(unsigned(channel)));
        *txBytes = 0; // the engine consumes every write at once
        *eventStatus = 0;
        return FT_OK;
    });
}

FT_STATUS EmulatedDriver::FT_Read(FT_HANDLE handle, void* buffer, uint32_t count, uint32_t* returned)
{
    State& s = *state;
    if (returned)
        *returned = 0;
    return s.run("FT_Read", "count=" + std::to_string(count), FT_IO_ERROR, [&](State::Call& call) -> FT_STATUS {
        const int channel = s.channelOf(handle);
        if (channel < 0)
            return FT_INVALID_HANDLE;
        if (!returned || (!buffer && count > 0))
            return FT_INVALID_PARAMETER;
        auto* bytes = static_cast<uint8_t*>(buffer);
        const size_t taken = count ? s.bridge->read(unsigned(channel), bytes, count) : 0;
        *returned = static_cast<uint32_t>(taken);
        if (call.tracing)
            call.data.assign(bytes, bytes + taken);
        return FT_OK;
    });
}

FT_STATUS EmulatedDriver::FT_Close(FT_HANDLE handle)
{
    State& s = *state;
    return s.run("FT_Close", "", FT_OK, [&](State::Call&) -> FT_STATUS {
        const auto found = s.openHandles.find(handle);
        if (found == s.openHandles.end())
            return s.gone ? FT_IO_ERROR : FT_INVALID_HANDLE;
        // Even when the bridge is gone the handle is given up, so it cannot be used again.
        const unsigned channel = found->second;
        const bool dead = s.deadHandles.erase(handle) > 0;
        s.openHandles.erase(found);
        s.bridge->close(channel);
        return s.gone || dead ? FT_IO_ERROR : FT_OK;
    });
}

void EmulatedDriver::setPlugged(bool plugged)
{
    State& s = *state;
    std::lock_guard<std::mutex> lock(s.mutex);
    if (plugged == !s.gone)
        return;
    s.gone = !plugged;
    s.faults.unplugAtCall = 0;
    for (const auto& open : s.openHandles)
        s.deadHandles.insert(open.first);
}

void EmulatedDriver::endCallFaults()
{
    setPlugged(true);
    State& s = *state;
    std::lock_guard<std::mutex> lock(s.mutex);
    s.faults.failingCalls.clear();
    s.faults.noReplyAt.clear();
    s.faults.enumerationFails = false;
    if (s.bridge)
        s.bridge->dropRepliesAt({});
}

emu::CallTrace& EmulatedDriver::trace() { return state->trace; }

emu::VirtualClock& EmulatedDriver::clock() { return state->clock; }

emu::Ft2232hBridge* EmulatedDriver::bridge() { return state->bridge.get(); }

emu::EmulatedInstrument* EmulatedDriver::instrument() { return state->instrument.get(); }

} // namespace d2xx
