#include "device/MpsseCommands.h"

#include <algorithm>

namespace {

// Opcodes of AN_108. The data-shifting ones are bit fields: bit 0 writes on
// the falling edge, bit 4 writes DO, bit 5 reads DI (bit 2 clear: reads on
// the rising edge; bit 3 clear: MSB first; bit 1 clear: whole bytes).
constexpr unsigned char kBytesOutFalling = 0x11;
constexpr unsigned char kBytesInRising = 0x20;
constexpr unsigned char kBytesInOut = 0x31; // out falling, in rising
constexpr unsigned char kSetLowByte = 0x80;
constexpr unsigned char kReadLowByte = 0x81;
constexpr unsigned char kLoopbackOn = 0x84;
constexpr unsigned char kLoopbackOff = 0x85;
constexpr unsigned char kClockDivisor = 0x86;
constexpr unsigned char kSendImmediate = 0x87;
constexpr unsigned char kDivideBy5Off = 0x8A;
constexpr unsigned char kClockPulses = 0x8E;
constexpr unsigned char kIdleClockBytes = 0x8F;
constexpr unsigned char kAdaptiveClockingOff = 0x97;

} // namespace

MpsseCommands::MpsseCommands(std::vector<unsigned char>& out) : out(out) {}

MpsseCommands& MpsseCommands::length(uint32_t count)
{
    const uint32_t field = count - 1;
    out.push_back(static_cast<unsigned char>(field & 0xFF));
    out.push_back(static_cast<unsigned char>((field >> 8) & 0xFF));
    return *this;
}

MpsseCommands& MpsseCommands::setLowByte(unsigned char value, unsigned char direction)
{
    out.insert(out.end(), {kSetLowByte, value, direction});
    return *this;
}

MpsseCommands& MpsseCommands::readLowByte()
{
    return byte(kReadLowByte);
}

MpsseCommands& MpsseCommands::bytesOutHeader(uint32_t count)
{
    out.push_back(kBytesOutFalling);
    return length(count);
}

MpsseCommands& MpsseCommands::bytesOut(std::initializer_list<unsigned char> data)
{
    bytesOutHeader(static_cast<uint32_t>(data.size()));
    out.insert(out.end(), data.begin(), data.end());
    return *this;
}

MpsseCommands& MpsseCommands::bytesIn(uint32_t count)
{
    out.push_back(kBytesInRising);
    return length(count);
}

MpsseCommands& MpsseCommands::bytesInOutHeader(uint32_t count)
{
    out.push_back(kBytesInOut);
    return length(count);
}

MpsseCommands& MpsseCommands::idleClockBytes(uint64_t count)
{
    while (count > 0) {
        const uint32_t chunk = static_cast<uint32_t>(std::min<uint64_t>(count, maxLength));
        out.push_back(kIdleClockBytes);
        length(chunk);
        count -= chunk;
    }
    return *this;
}

MpsseCommands& MpsseCommands::clockPulses(unsigned char countMinusOne)
{
    out.insert(out.end(), {kClockPulses, countMinusOne});
    return *this;
}

MpsseCommands& MpsseCommands::sendImmediate()
{
    return byte(kSendImmediate);
}

MpsseCommands& MpsseCommands::loopbackOn()
{
    return byte(kLoopbackOn);
}

MpsseCommands& MpsseCommands::loopbackOff()
{
    return byte(kLoopbackOff);
}

MpsseCommands& MpsseCommands::adaptiveClockingOff()
{
    return byte(kAdaptiveClockingOff);
}

MpsseCommands& MpsseCommands::divideBy5Off()
{
    return byte(kDivideBy5Off);
}

MpsseCommands& MpsseCommands::clockDivisor(uint16_t divisor)
{
    out.insert(out.end(), {kClockDivisor, static_cast<unsigned char>(divisor & 0xFF),
                           static_cast<unsigned char>(divisor >> 8)});
    return *this;
}

MpsseCommands& MpsseCommands::bytes(const unsigned char* data, size_t count)
{
    out.insert(out.end(), data, data + count);
    return *this;
}

MpsseCommands& MpsseCommands::byte(unsigned char value)
{
    out.push_back(value);
    return *this;
}

MpsseCommands& MpsseCommands::address24(uint32_t address)
{
    out.insert(out.end(), {static_cast<unsigned char>((address >> 16) & 0xFF),
                           static_cast<unsigned char>((address >> 8) & 0xFF),
                           static_cast<unsigned char>(address & 0xFF)});
    return *this;
}
