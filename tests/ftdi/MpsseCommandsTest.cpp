// The MPSSE byte builders against FTDI's AN_108, "Command Processor for MPSSE
// and MCU Host Bus Emulation Modes": each command as its table lists it,
// the data-shifting opcodes made from the bit definitions.
#include "device/MpsseCommands.h"

#include <gtest/gtest.h>

#include <functional>
#include <vector>

namespace {

using Bytes = std::vector<unsigned char>;

// "Data Shifting Command bit definitions": bit 0 -ve CLK on write, bit 2 -ve
// CLK on read, bit 3 LSB first, bit 4 do write TDI/DO, bit 5 do read TDO/DI;
// bit 1 clear: whole bytes.
constexpr unsigned char kWriteOnFallingEdge = 0x01;
constexpr unsigned char kWriteDo = 0x10;
constexpr unsigned char kReadDi = 0x20;

} // namespace

TEST(MpsseCommands, EachCommandIsTheOneAn108Lists)
{
    const struct
    {
        const char* command;
        std::function<void(MpsseCommands&)> build;
        Bytes bytes;
    } cases[] = {
        // Length L - 1, low byte first: 0x0000 is 1 byte, 0xFFFF is 65536.
        {"Clock Data Bytes Out on -ve clock edge MSB first (no read)", [](MpsseCommands& m) { m.bytesOut({0xAB, 0xCD}); },
         {kWriteDo | kWriteOnFallingEdge, 0x01, 0x00, 0xAB, 0xCD}},
        {"the same, header only", [](MpsseCommands& m) { m.bytesOutHeader(65536); }, {kWriteDo | kWriteOnFallingEdge, 0xFF, 0xFF}},
        {"Clock Data Bytes In on +ve clock edge MSB first (no write)", [](MpsseCommands& m) { m.bytesIn(1).bytesIn(0x1235); },
         {kReadDi, 0x00, 0x00, kReadDi, 0x34, 0x12}},
        {"Set / Read Data bits LowByte", [](MpsseCommands& m) { m.setLowByte(0x68, 0x6B).readLowByte(); }, {0x80, 0x68, 0x6B, 0x81}},
        {"Disconnect TDI to TDO for Loopback, Turn Off Adaptive clocking, Disable Clk Divide by 5, Set clk divisor",
         [](MpsseCommands& m) { m.loopbackOff().adaptiveClockingOff().divideBy5Off().clockDivisor(0x1234); },
         {0x85, 0x97, 0x8A, 0x86, 0x34, 0x12}},
        {"Send Immediate, Clock For n bits with no data transfer", [](MpsseCommands& m) { m.sendImmediate().clockPulses(7); },
         {0x87, 0x8E, 0x07}},
        // Each command clocks at most 65536 x 8: more takes another.
        {"Clock For n x 8 bits with no data transfer", [](MpsseCommands& m) { m.idleClockBytes(0).idleClockBytes(65538); },
         {0x8F, 0xFF, 0xFF, 0x8F, 0x01, 0x00}},
        // Payload: a flash address goes as its low three bytes, most significant first.
        {"address", [](MpsseCommands& m) { m.address24(0xAB123456).byte(0x02); }, {0x12, 0x34, 0x56, 0x02}},
    };
    for (const auto& c : cases) {
        Bytes out = {0xEE}; // appended, never replaced
        MpsseCommands commands(out);
        c.build(commands);
        Bytes expected = {0xEE};
        expected.insert(expected.end(), c.bytes.begin(), c.bytes.end());
        EXPECT_EQ(out, expected) << c.command;
    }
}
