#include "emulator/Ft2232hBridge.h"

#include "emulator/VirtualClock.h"

#include <algorithm>
#include <cstdint>

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
    struct Packet
    {
        uint64_t arrivalNs;
        uint32_t size; // data bytes, modem status not counted
    };
    std::deque<uint8_t> transit;     // data of the packets on their way
    std::deque<Packet> packets;
    uint64_t lastArrivalNs = 0;
    std::deque<uint8_t> received;    // at the host, ready for FT_Read

    void clearReplies()
    {
        chipBuffer.clear();
        transit.clear();
        packets.clear();
        received.clear();
    }
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

void Ft2232hBridge::place(const std::string& usbSerialNumber, unsigned hubPort)
{
    for (unsigned i = 0; i < kChannels; ++i) {
        Identity& identity = channels[i]->identity;
        identity.serialNumber = usbSerialNumber + static_cast<char>('A' + i);
        identity.locationId = 0x2100u | (hubPort & 0xF) << 4 | (i + 1);
    }
}

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
    c.clearReplies();
    c.engine->discardPartial();
}

void Ft2232hBridge::purge(unsigned channel, bool receive, bool transmit)
{
    Channel& c = *channels[channel];
    clock.advanceNanoseconds(timing.controlRequestNs);
    if (receive)
        c.clearReplies();
    if (transmit)
        c.engine->discardPartial();
}

bool Ft2232hBridge::setLatencyTimer(unsigned channel, uint8_t milliseconds)
{
    clock.advanceNanoseconds(timing.controlRequestNs);
    if (milliseconds < 1)
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
    if (mode == kModeMpsse && mpsseRefused)
        return true;
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
    // Timed: the OUT transfer starts in the next microframe, packet after
    // packet; the engine works on each packet as it arrives, so the write
    // ends when both the last packet and the clocking are through.
    uint64_t usbEnd = 0;
    if (timing.usbScheduling) {
        const uint64_t packets = std::max<uint64_t>(1, (size + kPacketBytes - 1) / kPacketBytes);
        const uint64_t start = timing.nextMicroframe(clock.nowNanoseconds() + timing.driverCallNs);
        usbEnd = start + packets * timing.packetNs;
        clock.advanceNanoseconds(start + timing.packetNs - clock.nowNanoseconds());
    } else {
        clock.advanceNanoseconds(timing.usbCostNs(size));
    }
    if (c.mode != kModeMpsse || size == 0) {
        if (usbEnd > clock.nowNanoseconds())
            clock.advanceNanoseconds(usbEnd - clock.nowNanoseconds());
        return;
    }

    // Only the latency timer's short packet goes out here. Packets stay on
    // the bus until a host takes them: moving them into the D2XX face's queue
    // would hide them from a libusb host that reads with bulk transfers.
    expireLatency(c);
    const bool wasEmpty = c.chipBuffer.empty();
    size_t flushUpTo = 0;
    c.engine->feed(data, size, c.chipBuffer, flushUpTo);
    if (usbEnd > clock.nowNanoseconds())
        clock.advanceNanoseconds(usbEnd - clock.nowNanoseconds());
    const uint64_t now = clock.nowNanoseconds();
    // Send immediate: what is queued up to it leaves now, the last packet short.
    size_t sent = flushUpTo;
    sendPackets(c, flushUpTo, now);
    // Every 510 bytes make a full packet that leaves without waiting.
    if (c.chipBuffer.size() >= kPacketDataBytes) {
        const size_t full = c.chipBuffer.size() - c.chipBuffer.size() % kPacketDataBytes;
        sendPackets(c, full, now);
        sent += full;
    }
    // The latency timer runs from the first byte queued after the last packet.
    if (!c.chipBuffer.empty() && (wasEmpty || sent > 0))
        c.bufferSinceNs = now;
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
    if (timing.usbScheduling)
        clock.advanceNanoseconds(timing.driverCallNs);
    deliverDue(c);
    // Block: packets on their way and the latency timer may bring the rest,
    // else the time-out ends the wait.
    const uint64_t deadline = clock.nowNanoseconds() + timing.readTimeoutNs;
    while (c.received.size() < count) {
        const uint64_t next = nextArrival(c);
        const uint64_t until = std::min(next, deadline);
        const uint64_t now = clock.nowNanoseconds();
        if (until > now)
            clock.advanceNanoseconds(until - now);
        deliverDue(c);
        if (next > deadline)
            break;
    }
    const size_t taken = std::min(count, c.received.size());
    std::copy_n(c.received.begin(), taken, buffer);
    c.received.erase(c.received.begin(), c.received.begin() + static_cast<std::ptrdiff_t>(taken));
    if (!timing.usbScheduling)
        clock.advanceNanoseconds(timing.usbCostNs(taken));
    return taken;
}

std::vector<uint8_t> Ft2232hBridge::bulkIn(unsigned channel, size_t maxLength)
{
    Channel& c = *channels[channel];
    std::vector<uint8_t> transfer;
    if (maxLength < 2)
        return transfer;
    expireLatency(c);
    if (c.packets.empty() && c.chipBuffer.empty()) {
        // Nothing to send: the chip answers with status bytes when its timer runs out.
        const uint64_t due = timing.nextMicroframe(clock.nowNanoseconds() + uint64_t(c.latencyMs) * 1000000);
        clock.advanceNanoseconds(due - clock.nowNanoseconds());
        transfer.assign(kModemStatus, kModemStatus + 2);
        return transfer;
    }
    // Packets as they arrive, the transfer waiting for each one the chip has sent.
    const uint64_t first = nextArrival(c);
    if (first > clock.nowNanoseconds())
        clock.advanceNanoseconds(first - clock.nowNanoseconds());
    expireLatency(c);
    while (!c.packets.empty() && transfer.size() + 2 + c.packets.front().size <= maxLength) {
        const Channel::Packet packet = c.packets.front();
        if (packet.arrivalNs > clock.nowNanoseconds())
            clock.advanceNanoseconds(packet.arrivalNs - clock.nowNanoseconds());
        c.packets.pop_front();
        transfer.insert(transfer.end(), kModemStatus, kModemStatus + 2);
        transfer.insert(transfer.end(), c.transit.begin(), c.transit.begin() + std::ptrdiff_t(packet.size));
        c.transit.erase(c.transit.begin(), c.transit.begin() + std::ptrdiff_t(packet.size));
        if (packet.size < kPacketDataBytes)
            break;
    }
    return transfer;
}

void Ft2232hBridge::dropRepliesAt(std::vector<uint64_t> ordinals) { dropOrdinals = std::move(ordinals); }

void Ft2232hBridge::setTiming(const BridgeTiming& value)
{
    timing = value;
    for (auto& channel : channels)
        channel->engine->setTiming(value);
}

MpsseEngine& Ft2232hBridge::engine(unsigned channel) { return *channels[channel]->engine; }

// Bytes that wait for the latency timer leave as a short packet when it runs out.
void Ft2232hBridge::expireLatency(Channel& channel)
{
    if (channel.chipBuffer.empty())
        return;
    const uint64_t due = channel.bufferSinceNs + uint64_t(channel.latencyMs) * 1000000;
    if (clock.nowNanoseconds() >= due)
        sendPackets(channel, channel.chipBuffer.size(), due);
}

void Ft2232hBridge::deliverDue(Channel& channel)
{
    expireLatency(channel);
    const uint64_t now = clock.nowNanoseconds();
    size_t bytes = 0;
    while (!channel.packets.empty() && channel.packets.front().arrivalNs <= now) {
        bytes += channel.packets.front().size;
        channel.packets.pop_front();
    }
    if (bytes == 0)
        return;
    channel.received.insert(channel.received.end(), channel.transit.begin(),
                            channel.transit.begin() + static_cast<std::ptrdiff_t>(bytes));
    channel.transit.erase(channel.transit.begin(), channel.transit.begin() + static_cast<std::ptrdiff_t>(bytes));
}

// The first `count` bytes of the chip buffer leave in packets of 510 data
// bytes, ready at `readyNs`. Timed, each reaches the host in the microframe
// after it is ready, ten packets per microframe; instant, at once.
void Ft2232hBridge::sendPackets(Channel& channel, size_t count, uint64_t readyNs)
{
    count = std::min(count, channel.chipBuffer.size());
    if (count == 0)
        return;
    for (size_t offset = 0; offset < count; offset += kPacketDataBytes) {
        const uint32_t size = uint32_t(std::min(kPacketDataBytes, count - offset));
        uint64_t arrival = readyNs;
        if (timing.usbScheduling)
            arrival = std::max(timing.nextMicroframe(readyNs), channel.lastArrivalNs) + timing.packetNs;
        channel.lastArrivalNs = arrival;
        channel.packets.push_back({arrival, size});
    }
    channel.transit.insert(channel.transit.end(), channel.chipBuffer.begin(),
                           channel.chipBuffer.begin() + static_cast<std::ptrdiff_t>(count));
    channel.chipBuffer.erase(channel.chipBuffer.begin(), channel.chipBuffer.begin() + static_cast<std::ptrdiff_t>(count));
    channel.bufferSinceNs = readyNs;
}

// When the next packet reaches the host, or the latency timer sends one;
// UINT64_MAX when nothing is on its way.
uint64_t Ft2232hBridge::nextArrival(const Channel& channel) const
{
    uint64_t next = UINT64_MAX;
    if (!channel.packets.empty())
        next = channel.packets.front().arrivalNs;
    else if (!channel.chipBuffer.empty()) {
        const uint64_t due = channel.bufferSinceNs + uint64_t(channel.latencyMs) * 1000000;
        next = timing.usbScheduling ? std::max(timing.nextMicroframe(due), channel.lastArrivalNs) + timing.packetNs
                                    : due;
    }
    return next;
}

bool Ft2232hBridge::dropNextReply()
{
    ++replyCommandCount;
    return std::find(dropOrdinals.begin(), dropOrdinals.end(), replyCommandCount) != dropOrdinals.end();
}

} // namespace emu
