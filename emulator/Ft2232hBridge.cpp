#include "emulator/Ft2232hBridge.h"

#include "emulator/VirtualClock.h"

#include <algorithm>

namespace emu {
namespace {

enum : uint8_t { kModeReset = 0x00, kModeMpsse = 0x02 };

// The bit modes an FT2232H channel accepts. 0x20 (CBUS bit-bang) does not
// exist on this chip, but D2XX passes it through and the chip carries on.
constexpr uint8_t kKnownModes[] = {0x00, 0x01, 0x02, 0x04, 0x08, 0x10, 0x20, 0x40};

const Ft2232hBridge::Identity kIdentities[Ft2232hBridge::kChannels] = {
    {"USB <-> Serial Converter A", "FT7PRVLA", 0x2111},
    {"USB <-> Serial Converter B", "FT7PRVLB", 0x2112},
};

} // namespace

struct Ft2232hBridge::Channel
{
    Identity identity;
    std::unique_ptr<MpsseEngine> engine;
    bool open = false;
    uint8_t latencyMs = kDefaultLatencyMs;
    uint8_t mode = kModeReset;
    uint8_t mask = 0;
    std::vector<uint8_t> chipBuffer; // replies still in the chip, not yet sent to the host
    uint64_t bufferSinceNs = 0;      // when the latency timer for chipBuffer started
    std::deque<uint8_t> received;    // at the host, ready for FT_Read
};

Ft2232hBridge::Ft2232hBridge(VirtualClock& clock, MpsseTarget* channelBTarget, const BridgeTiming& timing)
    : clock(clock), timing(timing)
{
    for (unsigned i = 0; i < kChannels; ++i) {
        auto channel = std::make_unique<Channel>();
        channel->identity = kIdentities[i];
        channel->engine = std::make_unique<MpsseEngine>(i == 1 ? channelBTarget : nullptr, clock, timing);
        channel->engine->setReplyFilter([this] { return dropNextReply(); });
        channels.push_back(std::move(channel));
    }
}

Ft2232hBridge::~Ft2232hBridge() = default;

const Ft2232hBridge::Identity& Ft2232hBridge::identity(unsigned channel) const { return channels[channel]->identity; }

int Ft2232hBridge::findByDescription(const std::string& description) const
{
    for (unsigned i = 0; i < kChannels; ++i)
        if (channels[i]->identity.description == description)
            return int(i);
    return -1;
}

int Ft2232hBridge::findBySerialNumber(const std::string& serialNumber) const
{
    for (unsigned i = 0; i < kChannels; ++i)
        if (channels[i]->identity.serialNumber == serialNumber)
            return int(i);
    return -1;
}

int Ft2232hBridge::findByLocation(uint32_t locationId) const
{
    for (unsigned i = 0; i < kChannels; ++i)
        if (channels[i]->identity.locationId == locationId)
            return int(i);
    return -1;
}

bool Ft2232hBridge::isOpen(unsigned channel) const { return channels[channel]->open; }

bool Ft2232hBridge::open(unsigned channel)
{
    Channel& c = *channels[channel];
    clock.advanceNanoseconds(timing.controlRequestNs);
    if (c.open)
        return false;
    c.open = true;
    c.received.clear(); // a new handle starts with empty host buffers
    return true;
}

void Ft2232hBridge::close(unsigned channel)
{
    Channel& c = *channels[channel];
    c.open = false;
    c.received.clear();
}

void Ft2232hBridge::reset(unsigned channel)
{
    Channel& c = *channels[channel];
    clock.advanceNanoseconds(timing.controlRequestNs);
    c.received.clear();
    c.chipBuffer.clear();
    c.engine->discardPartial();
}

void Ft2232hBridge::purge(unsigned channel, bool receive, bool transmit)
{
    Channel& c = *channels[channel];
    clock.advanceNanoseconds(timing.controlRequestNs);
    if (receive) {
        c.received.clear();
        c.chipBuffer.clear();
    }
    if (transmit)
        c.engine->discardPartial();
}

bool Ft2232hBridge::setLatencyTimer(unsigned channel, uint8_t milliseconds)
{
    clock.advanceNanoseconds(timing.controlRequestNs);
    if (milliseconds < 2)
        return false;
    channels[channel]->latencyMs = milliseconds;
    return true;
}

bool Ft2232hBridge::setBitMode(unsigned channel, uint8_t mask, uint8_t mode)
{
    Channel& c = *channels[channel];
    clock.advanceNanoseconds(timing.controlRequestNs);
    if (std::find(std::begin(kKnownModes), std::end(kKnownModes), mode) == std::end(kKnownModes))
        return false;
    if (mode == kModeReset) {
        // Back to UART: the MPSSE lets go of every pin.
        c.engine->discardPartial();
        c.engine->releasePins();
    } else if (mode == kModeMpsse && c.mode != kModeMpsse) {
        c.engine->reset();
    } else if (mode != kModeMpsse) {
        c.engine->discardPartial();
    }
    c.mode = mode;
    c.mask = mask;
    return true;
}

uint8_t Ft2232hBridge::latencyTimer(unsigned channel) const { return channels[channel]->latencyMs; }

uint8_t Ft2232hBridge::bitMode(unsigned channel) const { return channels[channel]->mode; }

uint8_t Ft2232hBridge::readPins(unsigned channel)
{
    clock.advanceNanoseconds(timing.controlRequestNs);
    return channels[channel]->engine->readLowPins();
}

void Ft2232hBridge::write(unsigned channel, const uint8_t* data, size_t size)
{
    Channel& c = *channels[channel];
    clock.advanceNanoseconds(timing.usbCostNs(size));
    if (c.mode != kModeMpsse || size == 0)
        return;

    const bool wasEmpty = c.chipBuffer.empty();
    size_t flushUpTo = 0;
    c.engine->feed(data, size, c.chipBuffer, flushUpTo);
    size_t delivered = flushUpTo;
    deliver(c, flushUpTo);
    // A full chip buffer goes to the host without waiting for the timer.
    if (c.chipBuffer.size() >= kChipBufferBytes) {
        const size_t full = c.chipBuffer.size() - c.chipBuffer.size() % kChipBufferBytes;
        deliver(c, full);
        delivered += full;
    }
    if (!c.chipBuffer.empty() && (wasEmpty || delivered > 0))
        c.bufferSinceNs = clock.nowNanoseconds();
}

size_t Ft2232hBridge::receiveQueued(unsigned channel)
{
    Channel& c = *channels[channel];
    clock.advanceNanoseconds(timing.statusQueryNs);
    deliverDue(c);
    return c.received.size();
}

size_t Ft2232hBridge::read(unsigned channel, uint8_t* buffer, size_t count)
{
    Channel& c = *channels[channel];
    deliverDue(c);
    if (c.received.size() < count) {
        // Block: the latency timer may still bring the rest, else the time-out ends the wait.
        const uint64_t now = clock.nowNanoseconds();
        const uint64_t deadline = now + timing.readTimeoutNs;
        if (!c.chipBuffer.empty()) {
            const uint64_t due = c.bufferSinceNs + uint64_t(c.latencyMs) * 1000000;
            if (due <= deadline) {
                if (due > now)
                    clock.advanceNanoseconds(due - now);
                deliver(c, c.chipBuffer.size());
            }
        }
        if (c.received.size() < count) {
            const uint64_t later = clock.nowNanoseconds();
            if (deadline > later)
                clock.advanceNanoseconds(deadline - later);
        }
    }
    const size_t taken = std::min(count, c.received.size());
    std::copy_n(c.received.begin(), taken, buffer);
    c.received.erase(c.received.begin(), c.received.begin() + static_cast<std::ptrdiff_t>(taken));
    clock.advanceNanoseconds(timing.usbCostNs(taken));
    return taken;
}

void Ft2232hBridge::dropRepliesAt(std::vector<uint64_t> ordinals) { dropOrdinals = std::move(ordinals); }

void Ft2232hBridge::setTiming(const BridgeTiming& value)
{
    timing = value;
    for (auto& channel : channels)
        channel->engine->setTiming(value);
}

MpsseEngine& Ft2232hBridge::engine(unsigned channel) { return *channels[channel]->engine; }

void Ft2232hBridge::deliverDue(Channel& channel)
{
    if (channel.chipBuffer.empty())
        return;
    if (clock.nowNanoseconds() >= channel.bufferSinceNs + uint64_t(channel.latencyMs) * 1000000)
        deliver(channel, channel.chipBuffer.size());
}

void Ft2232hBridge::deliver(Channel& channel, size_t count)
{
    count = std::min(count, channel.chipBuffer.size());
    if (count == 0)
        return;
    channel.received.insert(channel.received.end(), channel.chipBuffer.begin(),
                            channel.chipBuffer.begin() + static_cast<std::ptrdiff_t>(count));
    channel.chipBuffer.erase(channel.chipBuffer.begin(), channel.chipBuffer.begin() + static_cast<std::ptrdiff_t>(count));
    channel.bufferSinceNs = clock.nowNanoseconds();
}

bool Ft2232hBridge::dropNextReply()
{
    ++replyCommandCount;
    return std::find(dropOrdinals.begin(), dropOrdinals.end(), replyCommandCount) != dropOrdinals.end();
}

} // namespace emu
