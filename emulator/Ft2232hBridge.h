#pragma once

#include "emulator/MpsseEngine.h"

#include <cstddef>
#include <cstdint>
#include <deque>
#include <memory>
#include <string>
#include <vector>

namespace emu {

class MpsseTarget;
class VirtualClock;

// An FT2232H on the USB bus: two channels, A and B, each with its own MPSSE
// engine, latency timer and receive queue. Channel B drives the instrument;
// nothing is attached to channel A. Channels are indexed 0 (A) and 1 (B).
// Arguments are not range-checked beyond what the chip itself refuses: the
// D2XX face validates handles first. Not thread-safe.
class Ft2232hBridge
{
public:
    static constexpr unsigned kChannels = 2;
    static constexpr uint32_t kUsbId = 0x04036010; // VID 0403, PID 6010
    static constexpr uint8_t kDefaultLatencyMs = 16;
    static constexpr size_t kChipBufferBytes = 4096;
    static constexpr size_t kPacketBytes = 512;     // high-speed bulk packet
    static constexpr size_t kPacketDataBytes = 510; // after the two modem-status bytes
    static constexpr uint8_t kModemStatus[2] = {0x32, 0x60}; // idle line (unconfirmed)

    struct Identity
    {
        std::string description; // as D2XX lists it, channel letter appended
        std::string serialNumber;
        uint32_t locationId;
    };

    Ft2232hBridge(VirtualClock& clock, MpsseTarget* channelBTarget, const BridgeTiming& timing = {});
    ~Ft2232hBridge();

    const Identity& identity(unsigned channel) const;
    // Where the bridge sits and its serial number: port 1.<hubPort> of bus 2
    // (location 0x21<hubPort><channel>, as libftdi's backend numbers paths)
    // and the USB serial with the channel letter. A new bridge is FT7PRVL at 1.1.
    void place(const std::string& usbSerialNumber, unsigned hubPort);
    // The channel with that exact identity, or -1.
    int findByDescription(const std::string& description) const;
    int findBySerialNumber(const std::string& serialNumber) const;
    int findByLocation(uint32_t locationId) const;

    bool isOpen(unsigned channel) const;
    // false when the channel is open already.
    bool open(unsigned channel);
    void close(unsigned channel);

    // Empties both directions: queued replies, the chip's buffer and any partial command.
    void reset(unsigned channel);
    void purge(unsigned channel, bool receive, bool transmit);
    // false (and no change) for 0: the chip takes 1..255 ms.
    bool setLatencyTimer(unsigned channel, uint8_t milliseconds);
    // false (and no change) for a mode the chip does not have.
    bool setBitMode(unsigned channel, uint8_t mask, uint8_t mode);
    uint8_t latencyTimer(unsigned channel) const;
    uint8_t bitMode(unsigned channel) const;
    // The low byte's pins right now, in any mode.
    uint8_t readPins(unsigned channel);

    // Bytes from the host. In MPSSE mode they are commands; otherwise they
    // would go out of the UART and are dropped.
    void write(unsigned channel, const uint8_t* data, size_t size);
    // Bytes the host can read now (replies whose latency has run out are delivered first).
    size_t receiveQueued(unsigned channel);
    // Takes up to `count` bytes, waiting on virtual time for the latency timer,
    // at most the read time-out; returns how many were taken.
    size_t read(unsigned channel, uint8_t* buffer, size_t count);
    // One bulk IN transfer as the USB host sees it: the packets that have
    // reached the host, each two modem-status bytes and up to 510 data bytes,
    // up to `maxLength` bytes and ending at the first short packet. Waits on
    // virtual time for the first packet; with nothing queued in the chip the
    // latency timer brings a packet of status bytes alone.
    std::vector<uint8_t> bulkIn(unsigned channel, size_t maxLength);

    // The ordinals (from 1, over both channels) of reply-producing commands
    // whose reply never reaches the host.
    void dropRepliesAt(std::vector<uint64_t> ordinals);
    // A bridge in the wrong mode: the switch to MPSSE is taken (no error)
    // but the channels stay as they were, so no MPSSE command is answered.
    void refuseMpsse(bool refuse) { mpsseRefused = refuse; }
    uint64_t replyCommands() const { return replyCommandCount; }

    void setTiming(const BridgeTiming& value);
    const BridgeTiming& costs() const { return timing; }
    MpsseEngine& engine(unsigned channel);

private:
    struct Channel;
    void deliverDue(Channel& channel);
    void sendPackets(Channel& channel, size_t count, uint64_t readyNs);
    void expireLatency(Channel& channel);
    uint64_t nextArrival(const Channel& channel) const;
    bool dropNextReply();

    VirtualClock& clock;
    BridgeTiming timing;
    std::vector<std::unique_ptr<Channel>> channels;
    std::vector<uint64_t> dropOrdinals;
    uint64_t replyCommandCount = 0;
    bool mpsseRefused = false;
};

} // namespace emu
