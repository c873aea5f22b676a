#pragma once

#include <cstddef>
#include <cstdint>
#include <functional>
#include <vector>

namespace emu {

class MpsseTarget;
class VirtualClock;

// What each emulated bridge operation costs on the virtual clock: the one
// table both timing models read (the README repeats it). Instant mode (the
// default) charges a flat cost per transfer; timed mode (`usbScheduling`)
// runs bulk transfers on USB 2.0 high-speed microframes: an OUT transfer
// starts on the next microframe, each 512-byte packet (510 data bytes and
// two modem-status bytes in the IN direction) takes `packetNs`, and an IN
// packet leaves the chip when 510 bytes are ready, at a send-immediate, or
// when the latency timer runs out, reaching the host in the next microframe.
struct BridgeTiming
{
    bool usbScheduling = false;             // timed mode
    uint64_t microframeNs = 125000;         // USB 2.0 high speed
    uint64_t packetNs = 12500;              // one 512-byte bulk packet: ten per microframe, 40 MB/s
    uint64_t driverCallNs = 2000;           // timed mode: host driver overhead of a read or write call
    uint64_t usbTransferNs = 125000;        // instant mode: one microframe per bulk transfer
    uint64_t usbBytesPerSecond = 40000000;  // instant mode: sustained bulk throughput
    uint64_t controlRequestNs = 125000;     // reset, purge, latency, bit mode, pin read
    uint64_t statusQueryNs = 2000;          // FT_GetStatus answers from the driver's own queue
    uint64_t readTimeoutNs = 1000000000;    // how long FT_Read waits for missing bytes
    uint64_t masterClockHz = 60000000;      // SK base with divide-by-5 off
    uint64_t dividedClockHz = 12000000;     // SK base with divide-by-5 on

    uint64_t usbCostNs(uint64_t bytes) const
    {
        return usbTransferNs + (usbBytesPerSecond ? bytes * 1000000000ull / usbBytesPerSecond : 0);
    }
    // The start of the first microframe at or after `ns`.
    uint64_t nextMicroframe(uint64_t ns) const
    {
        return microframeNs ? (ns + microframeNs - 1) / microframeNs * microframeNs : ns;
    }
    static BridgeTiming usbHighSpeed()
    {
        BridgeTiming timing;
        timing.usbScheduling = true;
        return timing;
    }
};

// The MPSSE command processor of one FT2232H channel, as FTDI's MPSSE command
// set defines it. Written bytes go in through feed(); whatever the commands
// send back is appended to the caller's reply buffer. Commands split across
// writes are kept until they are complete. Not thread-safe: the bridge's
// owner serialises calls.
class MpsseEngine
{
public:
    // `target` may be nullptr: nothing attached, DI pulled up.
    MpsseEngine(MpsseTarget* target, VirtualClock& clock, const BridgeTiming& timing);

    // Runs every complete command in `data` (after any partial command kept
    // from before). Reply bytes are appended to `replies`; `flushUpTo` is set
    // to the reply size at each send-immediate (0x87) and left alone otherwise.
    void feed(const uint8_t* data, size_t size, std::vector<uint8_t>& replies, size_t& flushUpTo);

    // Power-on state: divide-by-5 on, loopback, 3-phase and adaptive off,
    // pins inputs, no partial command.
    void reset();
    // Drops a partially received command (TX purge).
    void discardPartial() { partial.clear(); }
    // Leaving MPSSE mode: every GPIO pin becomes an input again.
    void releasePins();

    // Asked once per command that produces reply bytes (data reads, pin
    // reads); true drops that reply. Fault injection uses it.
    void setReplyFilter(std::function<bool()> dropReply) { replyFilter = std::move(dropReply); }
    void setTiming(const BridgeTiming& value) { timing = value; }

    uint8_t readLowPins() const;
    uint8_t readHighPins() const;
    uint64_t clockHz() const;
    bool loopback() const { return loopbackOn; }
    bool threePhase() const { return threePhaseOn; }
    bool adaptive() const { return adaptiveOn; }
    bool divideBy5() const { return divideBy5On; }
    uint16_t divisor() const { return clockDivisor; }
    size_t partialSize() const { return partial.size(); }

private:
    // Bytes the command at `p` needs in all; may exceed `available` (then wait).
    size_t commandLength(const uint8_t* p, size_t available) const;
    void execute(const uint8_t* p, std::vector<uint8_t>& replies, size_t& flushUpTo);
    void executeShift(const uint8_t* p, std::vector<uint8_t>& replies);
    uint8_t shiftBits(uint8_t out, unsigned bits, bool lsbFirst, bool writes);
    void pulseClock(uint64_t count);
    void addReply(std::vector<uint8_t>& replies, const uint8_t* bytes, size_t size);
    void chargeClocks(uint64_t clocks);
    void announceClock();
    bool clockDriven() const { return (lowDirection & 0x01) != 0; }
    bool dataOutDriven() const { return (lowDirection & 0x02) != 0; }

    MpsseTarget* target;
    VirtualClock& clock;
    BridgeTiming timing;
    std::function<bool()> replyFilter;
    std::vector<uint8_t> partial;

    uint8_t lowValue = 0;
    uint8_t lowDirection = 0;
    uint8_t highValue = 0;
    uint8_t highDirection = 0;
    bool loopbackOn = false;
    bool divideBy5On = true;
    bool threePhaseOn = false;
    bool adaptiveOn = false;
    uint16_t clockDivisor = 0;
    uint64_t femtosecondRemainder = 0;
};

} // namespace emu
