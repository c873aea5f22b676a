#pragma once

#include <cstddef>
#include <cstdint>
#include <initializer_list>
#include <vector>

// Appends commands of the FT2232H's MPSSE (FTDI AN_108) to a byte stream:
// the data-shifting commands of an SPI master in mode 0 (bytes out on the
// falling clock edge, bytes in on the rising one, most significant bit
// first), the low GPIO byte, clocks without data, send-immediate and the
// clock set-up. Lengths go out as count - 1, low byte first, so each count
// is 1..maxLength.
class MpsseCommands
{
public:
    static constexpr uint32_t maxLength = 65536;

    explicit MpsseCommands(std::vector<unsigned char>& out);

    MpsseCommands& setLowByte(unsigned char value, unsigned char direction);
    MpsseCommands& readLowByte();
    // Only the header: the `count` data bytes must follow (bytes()).
    MpsseCommands& bytesOutHeader(uint32_t count);
    MpsseCommands& bytesOut(std::initializer_list<unsigned char> data);
    MpsseCommands& bytesIn(uint32_t count);
    // Bytes out on the falling edge and in on the rising one at once; only
    // the header: the `count` data bytes must follow (bytes()).
    MpsseCommands& bytesInOutHeader(uint32_t count);
    // `count` x 8 clocks with no data, in as many commands as it takes.
    MpsseCommands& idleClockBytes(uint64_t count);
    // 1..8 clocks with no data (the documented range of the command).
    MpsseCommands& clockPulses(unsigned char countMinusOne);
    MpsseCommands& sendImmediate();
    // The internal loop from data out to data in, for a test of the bridge alone.
    MpsseCommands& loopbackOn();
    MpsseCommands& loopbackOff();
    MpsseCommands& adaptiveClockingOff();
    MpsseCommands& divideBy5Off();
    MpsseCommands& clockDivisor(uint16_t divisor);

    // Payload: plain bytes, and a flash address as three bytes, most
    // significant first (only bits 23..0 go out).
    MpsseCommands& bytes(const unsigned char* data, size_t count);
    MpsseCommands& byte(unsigned char value);
    MpsseCommands& address24(uint32_t address);

private:
    MpsseCommands& length(uint32_t count);

    std::vector<unsigned char>& out;
};
