#include "emulator/MpsseEngine.h"

#include "emulator/MpsseTarget.h"
#include "emulator/VirtualClock.h"

namespace emu {
namespace {

// Bit fields of the data-shifting opcodes 0x10..0x3F.
constexpr uint8_t kBitMode = 0x02;
constexpr uint8_t kLsbFirst = 0x08;
constexpr uint8_t kWriteDo = 0x10;
constexpr uint8_t kReadDi = 0x20;

constexpr uint8_t kBadCommand = 0xFA;

enum : uint8_t {
    kSetLow = 0x80,
    kReadLow = 0x81,
    kSetHigh = 0x82,
    kReadHigh = 0x83,
    kLoopbackOn = 0x84,
    kLoopbackOff = 0x85,
    kSetDivisor = 0x86,
    kSendImmediate = 0x87,
    kDivideBy5Off = 0x8A,
    kDivideBy5On = 0x8B,
    kThreePhaseOn = 0x8C,
    kThreePhaseOff = 0x8D,
    kClockBits = 0x8E,
    kClockBytes = 0x8F,
    kAdaptiveOn = 0x96,
    kAdaptiveOff = 0x97,
};

bool isShift(uint8_t opcode) { return opcode >= 0x10 && opcode <= 0x3F; }

uint8_t reverseBits(uint8_t value)
{
    value = static_cast<uint8_t>((value & 0xF0) >> 4 | (value & 0x0F) << 4);
    value = static_cast<uint8_t>((value & 0xCC) >> 2 | (value & 0x33) << 2);
    value = static_cast<uint8_t>((value & 0xAA) >> 1 | (value & 0x55) << 1);
    return value;
}

uint8_t topBits(unsigned bits) { return static_cast<uint8_t>(0xFF00u >> bits); }

// Pins that are inputs read high: the FT2232H has internal pull-ups.
uint8_t pulledUp(uint8_t value, uint8_t direction) { return static_cast<uint8_t>((value & direction) | ~direction); }

} // namespace

MpsseEngine::MpsseEngine(MpsseTarget* target, VirtualClock& clock, const BridgeTiming& timing)
    : target(target), clock(clock), timing(timing)
{
}

void MpsseEngine::reset()
{
    partial.clear();
    loopbackOn = false;
    divideBy5On = true;
    threePhaseOn = false;
    adaptiveOn = false;
    clockDivisor = 0;
    announceClock();
}

void MpsseEngine::announceClock()
{
    if (target)
        target->clockRateChanged(clockHz());
}

void MpsseEngine::releasePins()
{
    lowDirection = 0;
    highDirection = 0;
    if (target)
        target->setLowPins(lowValue, lowDirection);
}

uint8_t MpsseEngine::readLowPins() const
{
    return target ? target->readLowPins() : pulledUp(lowValue, lowDirection);
}

uint8_t MpsseEngine::readHighPins() const { return pulledUp(highValue, highDirection); }

uint64_t MpsseEngine::clockHz() const
{
    const uint64_t base = divideBy5On ? timing.dividedClockHz : timing.masterClockHz;
    return base / ((1 + uint64_t(clockDivisor)) * 2);
}

void MpsseEngine::feed(const uint8_t* data, size_t size, std::vector<uint8_t>& replies, size_t& flushUpTo)
{
    const uint8_t* p = data;
    size_t available = size;
    if (!partial.empty()) {
        partial.insert(partial.end(), data, data + size);
        p = partial.data();
        available = partial.size();
    }
    size_t used = 0;
    while (used < available) {
        const size_t length = commandLength(p + used, available - used);
        if (length > available - used)
            break;
        execute(p + used, replies, flushUpTo);
        used += length;
    }
    // Keep the incomplete tail for the next write.
    if (!partial.empty())
        partial.erase(partial.begin(), partial.begin() + static_cast<std::ptrdiff_t>(used));
    else
        partial.assign(data + used, data + size);
}

size_t MpsseEngine::commandLength(const uint8_t* p, size_t available) const
{
    const uint8_t opcode = p[0];
    if (isShift(opcode)) {
        if (opcode & kBitMode)
            return (opcode & kWriteDo) ? 3 : 2;
        if (available < 3)
            return 3;
        const size_t count = size_t(p[1] | p[2] << 8) + 1;
        return (opcode & kWriteDo) ? 3 + count : 3;
    }
    switch (opcode) {
    case kSetLow:
    case kSetHigh:
    case kSetDivisor:
    case kClockBytes:
        return 3;
    case kClockBits:
        return 2;
    default:
        return 1; // single-byte commands, and unknown opcodes
    }
}

void MpsseEngine::execute(const uint8_t* p, std::vector<uint8_t>& replies, size_t& flushUpTo)
{
    const uint8_t opcode = p[0];
    if (isShift(opcode)) {
        executeShift(p, replies);
        return;
    }
    switch (opcode) {
    case kSetLow:
        lowValue = p[1];
        lowDirection = p[2];
        if (target)
            target->setLowPins(lowValue, lowDirection);
        break;
    case kSetHigh:
        highValue = p[1];
        highDirection = p[2];
        break;
    case kReadLow: {
        const uint8_t pins = readLowPins();
        addReply(replies, &pins, 1);
        break;
    }
    case kReadHigh: {
        const uint8_t pins = readHighPins();
        addReply(replies, &pins, 1);
        break;
    }
    case kLoopbackOn:
        loopbackOn = true;
        break;
    case kLoopbackOff:
        loopbackOn = false;
        break;
    case kSetDivisor:
        clockDivisor = static_cast<uint16_t>(p[1] | p[2] << 8);
        announceClock();
        break;
    case kSendImmediate:
        flushUpTo = replies.size();
        break;
    case kDivideBy5Off:
        divideBy5On = false;
        announceClock();
        break;
    case kDivideBy5On:
        divideBy5On = true;
        announceClock();
        break;
    case kThreePhaseOn:
        threePhaseOn = true;
        break;
    case kThreePhaseOff:
        threePhaseOn = false;
        break;
    case kAdaptiveOn:
        adaptiveOn = true;
        break;
    case kAdaptiveOff:
        adaptiveOn = false;
        break;
    case kClockBits:
        // Documented for n 0..7; larger n keeps the same n + 1 formula.
        pulseClock(uint64_t(p[1]) + 1);
        break;
    case kClockBytes:
        pulseClock((uint64_t(p[1] | p[2] << 8) + 1) * 8);
        break;
    default: {
        // The bad-command answer is not a reply to a read: never dropped.
        const uint8_t answer[2] = {kBadCommand, opcode};
        replies.insert(replies.end(), answer, answer + 2);
        break;
    }
    }
}

void MpsseEngine::executeShift(const uint8_t* p, std::vector<uint8_t>& replies)
{
    const uint8_t opcode = p[0];
    const bool lsbFirst = opcode & kLsbFirst;
    const bool writes = opcode & kWriteDo;
    const bool reads = opcode & kReadDi;
    const bool drop = reads && replyFilter && replyFilter();

    if (opcode & kBitMode) {
        const unsigned bits = (p[1] & 0x07) + 1;
        const uint8_t out = writes ? p[2] : 0;
        const uint8_t in = static_cast<uint8_t>(shiftBits(out, bits, lsbFirst, writes) & topBits(bits));
        if (reads && !drop) {
            // MSB first fills the register from bit 0 upwards, LSB first from bit 7 downwards.
            const uint8_t reply = lsbFirst ? static_cast<uint8_t>(reverseBits(in) << (8 - bits))
                                           : static_cast<uint8_t>(in >> (8 - bits));
            replies.push_back(reply);
        }
        return;
    }

    const size_t count = size_t(p[1] | p[2] << 8) + 1;
    const uint8_t* data = p + 3;
    if (reads && !drop)
        replies.reserve(replies.size() + count);
    for (size_t i = 0; i < count; ++i) {
        const uint8_t in = shiftBits(writes ? data[i] : 0, 8, lsbFirst, writes);
        if (reads && !drop)
            replies.push_back(lsbFirst ? reverseBits(in) : in);
    }
}

uint8_t MpsseEngine::shiftBits(uint8_t out, unsigned bits, bool lsbFirst, bool writes)
{
    uint8_t wire = lsbFirst ? reverseBits(out) : out;
    if (writes && !dataOutDriven())
        wire = 0xFF; // DO is an input: the line floats high
    uint8_t in = 0xFF; // no clock reaches the board: DI stays pulled up
    if (clockDriven())
        in = target ? target->shift(wire, bits) : 0xFF;
    if (loopbackOn)
        in = wire;
    chargeClocks(bits);
    return in;
}

void MpsseEngine::pulseClock(uint64_t count)
{
    // Time first: a flash that is polled across a long run of clocks shows,
    // at the end of it, its state at the end of it.
    chargeClocks(count);
    if (target && clockDriven())
        target->clockPulses(count);
}

void MpsseEngine::addReply(std::vector<uint8_t>& replies, const uint8_t* bytes, size_t size)
{
    if (replyFilter && replyFilter())
        return;
    replies.insert(replies.end(), bytes, bytes + size);
}

void MpsseEngine::chargeClocks(uint64_t clocks)
{
    const uint64_t base = divideBy5On ? timing.dividedClockHz : timing.masterClockHz;
    if (base == 0)
        return;
    // One SK period is (1 + divisor) * 2 base clocks; 3-phase clocking stretches each bit by half.
    // Femtoseconds keep the rounding far below a nanosecond over a 64 KiB shift.
    uint64_t periodFs = (1 + uint64_t(clockDivisor)) * (2000000000000000ull / base);
    if (threePhaseOn)
        periodFs = periodFs * 3 / 2;
    femtosecondRemainder += clocks * periodFs;
    clock.advanceNanoseconds(femtosecondRemainder / 1000000);
    femtosecondRemainder %= 1000000;
}

} // namespace emu
