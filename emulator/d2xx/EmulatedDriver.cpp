#include "emulator/d2xx/EmulatedDriver.h"

#include "emulator/BridgedInstrument.h"
#include "emulator/CallTrace.h"
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

    // One instrument: its bridge, its clock, its faults and its counts.
    struct Unit
    {
        emu::VirtualClock clock;
        emu::BridgedInstrument board; // declared after the clock it runs on
        emu::FaultPlan faults;
        std::string serialNumber;

        std::mutex mutex;
        uint64_t calls = 0;
        std::map<std::string, uint64_t> callsPerFunction;
        bool gone = false;                         // unplugged by the fault plan
        std::map<FT_HANDLE, unsigned> openHandles; // handle -> channel
        std::set<FT_HANDLE> deadHandles;           // opened before an unplug, not closed yet

        bool present() const { return board.bridge && !gone; }

        int channelOf(FT_HANDLE handle) const
        {
            const auto found = openHandles.find(handle);
            if (found == openHandles.end() || deadHandles.count(handle))
                return -1;
            return int(found->second);
        }

        // Counts a call; true when the plan fails it.
        bool count(const char* function)
        {
            ++calls;
            const uint64_t nth = ++callsPerFunction[function];
            if (faults.unplugAtCall != 0 && calls >= faults.unplugAtCall)
                gone = true;
            bool injected = false;
            for (const auto& failing : faults.failingCalls)
                injected = injected || (failing.first == function && failing.second == nth);
            return injected;
        }
    };

    emu::CallTrace trace;
    emu::VirtualClock idleClock; // for a bench without instruments
    std::vector<std::unique_ptr<Unit>> units;
    bool enumerationFails = false;

    // The bench's own state. Taken after a unit's lock, never before one.
    std::mutex benchMutex;
    std::map<FT_HANDLE, Unit*> handleUnits;
    uintptr_t nextHandle = 0xD2000;
    std::vector<FT_DEVICE_LIST_INFO_NODE> listed; // as the last FT_CreateDeviceInfoList saw it

    Unit* unitOf(FT_HANDLE handle)
    {
        std::lock_guard<std::mutex> lock(benchMutex);
        const auto found = handleUnits.find(handle);
        return found == handleUnits.end() ? nullptr : found->second;
    }

    template <typename Body>
    FT_STATUS finish(const char* function, const std::string& arguments, bool gone, FT_STATUS goneStatus,
                     bool injected, Body& body)
    {
        Call call;
        call.tracing = trace.enabled();
        FT_STATUS status = FT_OK;
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

    // Runs one D2XX call on `unit`: counts it, applies its fault plan,
    // records it. `goneStatus` is what the call returns once the bridge is
    // unplugged; FT_OK leaves that case to `body`.
    template <typename Body>
    FT_STATUS run(Unit& unit, const char* function, const std::string& arguments, FT_STATUS goneStatus, Body body)
    {
        std::lock_guard<std::mutex> lock(unit.mutex);
        unit.clock.catchUp();
        const bool injected = unit.count(function);
        return finish(function, arguments, unit.gone, goneStatus, injected, body);
    }

    // A call about no one instrument: every instrument counts it, under all
    // their locks; it fails as any of their plans says. With one instrument
    // this is that instrument's call.
    template <typename Body>
    FT_STATUS runOnBench(const char* function, const std::string& arguments, FT_STATUS goneStatus, Body body)
    {
        std::vector<std::unique_lock<std::mutex>> locks;
        bool injected = false;
        bool gone = !units.empty();
        for (const auto& unit : units) {
            locks.emplace_back(unit->mutex);
            unit->clock.catchUp();
            injected = unit->count(function) || injected;
            gone = gone && unit->gone;
        }
        return finish(function, arguments, gone, goneStatus, injected, body);
    }

    // A call on an open handle: on its instrument, or on the bench when the
    // handle is not one of ours.
    template <typename Body>
    FT_STATUS runOnHandle(FT_HANDLE handle, const char* function, const std::string& arguments, FT_STATUS goneStatus,
                          Body body)
    {
        Unit* unit = unitOf(handle);
        if (!unit)
            return runOnBench(function, arguments, goneStatus, [&](Call&) -> FT_STATUS { return FT_INVALID_HANDLE; });
        return run(*unit, function, arguments, goneStatus, [&](Call& call) -> FT_STATUS {
            const int channel = unit->channelOf(handle);
            if (channel < 0)
                return FT_INVALID_HANDLE;
            return body(call, *unit, unsigned(channel));
        });
    }
};

EmulatedDriver::EmulatedDriver(std::unique_ptr<State> state) : state(std::move(state)) {}

EmulatedDriver::~EmulatedDriver() = default;

std::shared_ptr<EmulatedDriver> EmulatedDriver::create(const emu::BenchConfig& bench, std::string& error)
{
    auto state = std::make_unique<State>();
    state->enumerationFails = bench.calls.enumerationFails;
    for (const emu::BenchConfig::Instrument& one : bench.bench()) {
        auto unit = std::make_unique<State::Unit>();
        unit->faults = one.calls;
        unit->serialNumber = one.serialNumber;
        if (!unit->board.build(one, one.calls, unit->clock, &state->trace, error))
            return nullptr;
        state->units.push_back(std::move(unit));
    }
    return std::shared_ptr<EmulatedDriver>(new EmulatedDriver(std::move(state)));
}

std::shared_ptr<EmulatedDriver> EmulatedDriver::create(const emu::BenchConfig::Lookup& settings,
                                                       emu::BenchConfig& bench, std::string& error)
{
    if (!emu::BenchConfig::parse(settings, emu::BenchConfig::Face::D2xx, bench, error))
        return nullptr;
    std::shared_ptr<EmulatedDriver> driver = create(bench, error);
    if (!driver)
        error = "emulated instrument: " + error;
    return driver;
}

FT_STATUS EmulatedDriver::FT_CreateDeviceInfoList(uint32_t* count)
{
    State& s = *state;
    return s.runOnBench("FT_CreateDeviceInfoList", "", FT_OK, [&](State::Call&) -> FT_STATUS {
        if (!count)
            return FT_INVALID_PARAMETER;
        if (s.enumerationFails)
            return FT_IO_ERROR;
        std::vector<FT_DEVICE_LIST_INFO_NODE> nodes;
        for (const auto& unit : s.units) {
            for (unsigned channel = 0; unit->present() && channel < emu::Ft2232hBridge::kChannels; ++channel) {
                const auto& identity = unit->board.bridge->identity(channel);
                FT_DEVICE_LIST_INFO_NODE node{};
                const bool open = unit->board.bridge->isOpen(channel);
                node.Flags = FT_FLAGS_HISPEED | (open ? uint32_t(FT_FLAGS_OPENED) : 0u);
                node.Type = FT_DEVICE_2232H;
                node.ID = emu::Ft2232hBridge::kUsbId;
                node.LocId = identity.locationId;
                copyField(node.SerialNumber, sizeof node.SerialNumber, identity.serialNumber);
                copyField(node.Description, sizeof node.Description, identity.description);
                for (const auto& handle : unit->openHandles)
                    if (handle.second == channel)
                        node.ftHandle = handle.first;
                nodes.push_back(node);
            }
        }
        std::lock_guard<std::mutex> lock(s.benchMutex);
        s.listed = std::move(nodes);
        *count = static_cast<uint32_t>(s.listed.size());
        return FT_OK;
    });
}

FT_STATUS EmulatedDriver::FT_GetDeviceInfoList(FT_DEVICE_LIST_INFO_NODE* list, uint32_t* count)
{
    State& s = *state;
    return s.runOnBench("FT_GetDeviceInfoList", "", FT_OK, [&](State::Call&) -> FT_STATUS {
        if (!list || !count)
            return FT_INVALID_PARAMETER;
        std::lock_guard<std::mutex> lock(s.benchMutex);
        // The nodes of instruments unplugged since are gone from the list.
        std::vector<FT_DEVICE_LIST_INFO_NODE> shown;
        for (const FT_DEVICE_LIST_INFO_NODE& node : s.listed)
            for (const auto& unit : s.units)
                if (unit->present() && unit->board.bridge->findByLocation(node.LocId) >= 0)
                    shown.push_back(node);
        s.listed = shown;
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

    // Identities never change: the instrument an open names is found
    // without a lock, then the open is its call. The first one matching.
    State::Unit* target = nullptr;
    int channel = -1;
    const bool valid = flags == FT_OPEN_BY_LOCATION ||
                       ((flags == FT_OPEN_BY_DESCRIPTION || flags == FT_OPEN_BY_SERIAL_NUMBER) && arg);
    for (size_t i = 0; valid && handle && !target && i < s.units.size(); ++i) {
        const emu::Ft2232hBridge& bridge = *s.units[i]->board.bridge;
        channel = flags == FT_OPEN_BY_DESCRIPTION     ? bridge.findByDescription(key)
                  : flags == FT_OPEN_BY_SERIAL_NUMBER ? bridge.findBySerialNumber(key)
                                                      : bridge.findByLocation(static_cast<uint32_t>(
                                                            reinterpret_cast<uintptr_t>(arg)));
        if (channel >= 0)
            target = s.units[i].get();
    }
    if (!target) {
        return s.runOnBench("FT_OpenEx", arguments, FT_DEVICE_NOT_FOUND, [&](State::Call&) -> FT_STATUS {
            return !handle || !valid ? FT_INVALID_PARAMETER : FT_DEVICE_NOT_FOUND;
        });
    }
    return s.run(*target, "FT_OpenEx", arguments, FT_DEVICE_NOT_FOUND, [&](State::Call&) -> FT_STATUS {
        if (!target->present())
            return FT_DEVICE_NOT_FOUND;
        if (!target->board.bridge->open(unsigned(channel)))
            return FT_DEVICE_NOT_OPENED;
        // Handles are never reused, so a stale one is always recognised.
        std::lock_guard<std::mutex> lock(s.benchMutex);
        FT_HANDLE fresh = reinterpret_cast<FT_HANDLE>(s.nextHandle);
        s.nextHandle += 0x10;
        target->openHandles[fresh] = unsigned(channel);
        s.handleUnits[fresh] = target;
        *handle = fresh;
        return FT_OK;
    });
}

FT_STATUS EmulatedDriver::FT_ResetDevice(FT_HANDLE handle)
{
    return state->runOnHandle(handle, "FT_ResetDevice", "", FT_IO_ERROR,
                              [&](State::Call&, State::Unit& unit, unsigned channel) -> FT_STATUS {
                                  unit.board.bridge->reset(channel);
                                  return FT_OK;
                              });
}

FT_STATUS EmulatedDriver::FT_Purge(FT_HANDLE handle, uint32_t mask)
{
    return state->runOnHandle(handle, "FT_Purge", "mask=" + hex(mask), FT_IO_ERROR,
                              [&](State::Call&, State::Unit& unit, unsigned channel) -> FT_STATUS {
                                  unit.board.bridge->purge(channel, (mask & FT_PURGE_RX) != 0,
                                                           (mask & FT_PURGE_TX) != 0);
                                  return FT_OK;
                              });
}

FT_STATUS EmulatedDriver::FT_SetLatencyTimer(FT_HANDLE handle, uint8_t milliseconds)
{
    return state->runOnHandle(handle, "FT_SetLatencyTimer", "ms=" + std::to_string(milliseconds), FT_IO_ERROR,
                              [&](State::Call&, State::Unit& unit, unsigned channel) -> FT_STATUS {
                                  // 2..255 ms is the D2XX driver's own rule; the chip itself takes 1.
                                  if (milliseconds < 2)
                                      return FT_INVALID_PARAMETER;
                                  const bool taken = unit.board.bridge->setLatencyTimer(channel, milliseconds);
                                  return taken ? FT_OK : FT_INVALID_PARAMETER;
                              });
}

FT_STATUS EmulatedDriver::FT_SetBitMode(FT_HANDLE handle, uint8_t mask, uint8_t mode)
{
    return state->runOnHandle(handle, "FT_SetBitMode", "mask=" + hex(mask) + " mode=" + hex(mode), FT_IO_ERROR,
                              [&](State::Call&, State::Unit& unit, unsigned channel) -> FT_STATUS {
                                  return unit.board.bridge->setBitMode(channel, mask, mode) ? FT_OK
                                                                                            : FT_INVALID_PARAMETER;
                              });
}

FT_STATUS EmulatedDriver::FT_GetBitMode(FT_HANDLE handle, uint8_t* pins)
{
    return state->runOnHandle(handle, "FT_GetBitMode", "", FT_IO_ERROR,
                              [&](State::Call& call, State::Unit& unit, unsigned channel) -> FT_STATUS {
                                  if (!pins)
                                      return FT_INVALID_PARAMETER;
                                  *pins = unit.board.bridge->readPins(channel);
                                  if (call.tracing)
                                      call.data.push_back(*pins);
                                  return FT_OK;
                              });
}

FT_STATUS EmulatedDriver::FT_Write(FT_HANDLE handle, const void* buffer, uint32_t count, uint32_t* written)
{
    if (written)
        *written = 0;
    return state->runOnHandle(handle, "FT_Write", "count=" + std::to_string(count), FT_IO_ERROR,
                              [&](State::Call& call, State::Unit& unit, unsigned channel) -> FT_STATUS {
                                  if (!written || (!buffer && count > 0))
                                      return FT_INVALID_PARAMETER;
                                  const auto* bytes = static_cast<const uint8_t*>(buffer);
                                  if (call.tracing)
                                      call.data.assign(bytes, bytes + count);
                                  unit.board.bridge->write(channel, bytes, count);
                                  *written = count;
                                  return FT_OK;
                              });
}

FT_STATUS EmulatedDriver::FT_GetStatus(FT_HANDLE handle, uint32_t* rxBytes, uint32_t* txBytes, uint32_t* eventStatus)
{
    return state->runOnHandle(handle, "FT_GetStatus", "", FT_IO_ERROR,
                              [&](State::Call&, State::Unit& unit, unsigned channel) -> FT_STATUS {
                                  if (!rxBytes || !txBytes || !eventStatus)
                                      return FT_INVALID_PARAMETER;
                                  *rxBytes = static_cast<uint32_t>(unit.board.bridge->receiveQueued(channel));
                                  *txBytes = 0; // the engine consumes every write at once
                                  *eventStatus = 0;
                                  return FT_OK;
                              });
}

FT_STATUS EmulatedDriver::FT_Read(FT_HANDLE handle, void* buffer, uint32_t count, uint32_t* returned)
{
    if (returned)
        *returned = 0;
    return state->runOnHandle(handle, "FT_Read", "count=" + std::to_string(count), FT_IO_ERROR,
                              [&](State::Call& call, State::Unit& unit, unsigned channel) -> FT_STATUS {
                                  if (!returned || (!buffer && count > 0))
                                      return FT_INVALID_PARAMETER;
                                  auto* bytes = static_cast<uint8_t*>(buffer);
                                  const size_t taken = count ? unit.board.bridge->read(channel, bytes, count) : 0;
                                  *returned = static_cast<uint32_t>(taken);
                                  if (call.tracing)
                                      call.data.assign(bytes, bytes + taken);
                                  return FT_OK;
                              });
}

FT_STATUS EmulatedDriver::FT_Close(FT_HANDLE handle)
{
    State& s = *state;
    State::Unit* unit = s.unitOf(handle);
    if (!unit)
        return s.runOnBench("FT_Close", "", FT_OK, [&](State::Call&) -> FT_STATUS {
            bool gone = !s.units.empty();
            for (const auto& one : s.units)
                gone = gone && one->gone;
            return gone ? FT_IO_ERROR : FT_INVALID_HANDLE;
        });
    return s.run(*unit, "FT_Close", "", FT_OK, [&](State::Call&) -> FT_STATUS {
        const auto found = unit->openHandles.find(handle);
        if (found == unit->openHandles.end())
            return unit->gone ? FT_IO_ERROR : FT_INVALID_HANDLE;
        // Even when the bridge is gone the handle is given up, so it cannot be used again.
        const unsigned channel = found->second;
        const bool dead = unit->deadHandles.erase(handle) > 0;
        unit->openHandles.erase(found);
        unit->board.bridge->close(channel);
        {
            std::lock_guard<std::mutex> lock(s.benchMutex);
            s.handleUnits.erase(handle);
        }
        return unit->gone || dead ? FT_IO_ERROR : FT_OK;
    });
}

void EmulatedDriver::setPlugged(bool plugged)
{
    for (size_t i = 0; i < state->units.size(); ++i)
        setPlugged(i, plugged);
}

void EmulatedDriver::setPlugged(size_t index, bool plugged)
{
    State::Unit& unit = *state->units.at(index);
    std::lock_guard<std::mutex> lock(unit.mutex);
    if (plugged == !unit.gone)
        return;
    unit.gone = !plugged;
    unit.faults.unplugAtCall = 0;
    for (const auto& open : unit.openHandles)
        unit.deadHandles.insert(open.first);
}

void EmulatedDriver::endCallFaults()
{
    setPlugged(true);
    State& s = *state;
    s.enumerationFails = false;
    for (const auto& unit : s.units) {
        std::lock_guard<std::mutex> lock(unit->mutex);
        unit->faults.failingCalls.clear();
        unit->faults.noReplyAt.clear();
        unit->board.bridge->dropRepliesAt({});
    }
}

emu::CallTrace& EmulatedDriver::trace() { return state->trace; }

emu::VirtualClock& EmulatedDriver::clock() { return state->units.empty() ? state->idleClock : clock(0); }

emu::Ft2232hBridge* EmulatedDriver::bridge() { return state->units.empty() ? nullptr : bridge(0); }

emu::EmulatedInstrument* EmulatedDriver::instrument() { return state->units.empty() ? nullptr : instrument(0); }

size_t EmulatedDriver::instrumentCount() const { return state->units.size(); }

emu::VirtualClock& EmulatedDriver::clock(size_t index) { return state->units.at(index)->clock; }

emu::Ft2232hBridge* EmulatedDriver::bridge(size_t index) { return state->units.at(index)->board.bridge.get(); }

emu::EmulatedInstrument* EmulatedDriver::instrument(size_t index)
{
    return state->units.at(index)->board.instrument.get();
}

int EmulatedDriver::indexOf(const std::string& usbSerialNumber) const
{
    for (size_t i = 0; i < state->units.size(); ++i)
        if (state->units[i]->serialNumber == usbSerialNumber)
            return static_cast<int>(i);
    return -1;
}

} // namespace d2xx
