#include "emulator/MpsseEngine.h"
#include "emulator/MpsseTarget.h"
#include "emulator/VirtualClock.h"

#include <gtest/gtest.h>

#include <vector>

namespace {

using Bytes = std::vector<uint8_t>;

// Records what reaches the pins; DI answers from a queue (0x00 once it runs dry).
class RecordingTarget final : public emu::MpsseTarget
{
public:
    void setLowPins(uint8_t value, uint8_t direction) override { pinWrites.push_back({value, direction}); }
    uint8_t readLowPins() const override { return 0x5A; }
    uint8_t shift(uint8_t out, unsigned bits) override
    {
        shifted.push_back(out);
        lastBits = bits;
        return next < answers.size() ? answers[next++] : 0x00;
    }
    void clockPulses(uint64_t count) override { pulses.push_back(count); }

    std::vector<std::pair<uint8_t, uint8_t>> pinWrites;
    Bytes shifted, answers;
    unsigned lastBits = 0;
    std::vector<uint64_t> pulses;
    size_t next = 0;
};

class MpsseEngineTest : public ::testing::Test
{
protected:
    Bytes feed(const Bytes& bytes)
    {
        Bytes replies;
        flushUpTo = 0;
        engine.feed(bytes.data(), bytes.size(), replies, flushUpTo);
        return replies;
    }
    // Pins driven as the loader sets them up: SK, DO, CS outputs, 15 MHz.
    void setUpSpi() { feed({0x8A, 0x86, 0x01, 0x00, 0x80, 0x08, 0x0B}); }

    emu::VirtualClock clock;
    RecordingTarget target;
    emu::BridgeTiming timing;
    emu::MpsseEngine engine{&target, clock, timing};
    size_t flushUpTo = 0;
};

TEST_F(MpsseEngineTest, BadCommandsAreAnsweredAndTheStreamGoesOn)
{
    // 0xAA and 0xAB are the classic sync probes; 0x4B is a TMS command this engine does not take.
    EXPECT_EQ(feed({0xAA, 0x81, 0xAB, 0x4B, 0x83}), (Bytes{0xFA, 0xAA, 0x5A, 0xFA, 0xAB, 0xFA, 0x4B, 0xFF}));
    // Known single-byte commands produce nothing and take no operands.
    EXPECT_TRUE(feed({0x84, 0x85, 0x8A, 0x8B, 0x8C, 0x8D, 0x96, 0x97}).empty());
    EXPECT_EQ(engine.partialSize(), 0u);
}

TEST_F(MpsseEngineTest, CommandsSplitAcrossWritesRunOnceComplete)
{
    setUpSpi();
    target.pinWrites.clear();
    // Set-pins split after the opcode, then a 3-byte data write split inside its payload.
    EXPECT_TRUE(feed({0x80}).empty());
    EXPECT_TRUE(target.pinWrites.empty());
    feed({0x00, 0x0B, 0x11, 0x02});
    ASSERT_EQ(target.pinWrites.size(), 1u);
    EXPECT_EQ(target.pinWrites[0], std::make_pair(uint8_t(0x00), uint8_t(0x0B)));
    feed({0x00, 0xC1, 0xC2});
    EXPECT_TRUE(target.shifted.empty()) << "a data command runs only with all its bytes";
    EXPECT_EQ(engine.partialSize(), 5u);
    feed({0xC3, 0x81});
    EXPECT_EQ(target.shifted, (Bytes{0xC1, 0xC2, 0xC3}));
    EXPECT_EQ(engine.partialSize(), 0u);

    // A length of 0xFFFF means 65536 bytes, and a purge drops a half-received command.
    feed({0x11, 0xFF, 0xFF, 0x01});
    EXPECT_EQ(engine.partialSize(), 4u);
    engine.discardPartial();
    target.shifted.clear();
    feed({0x11, 0x00, 0x00, 0x42});
    EXPECT_EQ(target.shifted, (Bytes{0x42}));
}

TEST_F(MpsseEngineTest, ReadsFollowTheOpcodeBitFieldsAndLoopback)
{
    setUpSpi();
    target.answers = {0x01, 0x01, 0xA0, 0xA0};
    // Byte reads MSB first (0x20) and LSB first (0x28); bit reads land in the low bits MSB first, the high bits LSB first.
    EXPECT_EQ(feed({0x20, 0x00, 0x00, 0x28, 0x00, 0x00, 0x22, 0x02, 0x2A, 0x02}), (Bytes{0x01, 0x80, 0x05, 0xA0}));
    EXPECT_EQ(target.lastBits, 3u);
    EXPECT_EQ(target.shifted, Bytes(4, 0x00)) << "reads drive nothing on DO";
    // Loopback reads what DO carries, while the pins still toggle.
    EXPECT_EQ(feed({0x84, 0x39, 0x00, 0x00, 0x12}), (Bytes{0x12})) << "LSB first out and in cancel out";
    EXPECT_EQ(target.shifted.back(), 0x48);
    EXPECT_EQ(feed({0x85, 0x31, 0x00, 0x00, 0x3C}), (Bytes{0x00}));
}

TEST_F(MpsseEngineTest, UndrivenClockOrDataPinsDoNotReachTheBoard)
{
    // Power-on: every pin an input. Shifts clock nothing and read the pulled-up DI.
    EXPECT_EQ(feed({0x31, 0x00, 0x00, 0x12, 0x8E, 0x03}), (Bytes{0xFF}));
    EXPECT_TRUE(target.shifted.empty());
    EXPECT_TRUE(target.pulses.empty());
    // SK driven but DO an input: the board sees the line floating high.
    feed({0x80, 0x00, 0x01, 0x11, 0x00, 0x00, 0x12});
    EXPECT_EQ(target.shifted, (Bytes{0xFF}));
    // Leaving MPSSE mode releases the pins the board had been driven with.
    engine.releasePins();
    EXPECT_EQ(target.pinWrites.back().second, 0x00);
}

TEST_F(MpsseEngineTest, ClockPulsesAndTheirCostOnTheVirtualClock)
{
    setUpSpi();
    uint64_t before = clock.nowNanoseconds();
    // n + 1 pulses, also beyond the documented 0..7, and (L + 1) * 8 for 0x8F: 280 clocks at 15 MHz.
    feed({0x8E, 0x07, 0x8E, 0xFF, 0x8F, 0x01, 0x00});
    EXPECT_EQ(target.pulses, (std::vector<uint64_t>{8, 256, 16}));
    EXPECT_NEAR(double(clock.nowNanoseconds() - before), 280 * 1e9 / 15e6, 2.0);

    // 1000 bytes: 533 us at 15 MHz, five times as long with divide-by-5 back on.
    Bytes write = {0x11, 0xE7, 0x03};
    write.resize(3 + 1000, 0x55);
    for (const uint64_t factor : {1, 5}) {
        before = clock.nowNanoseconds();
        feed(write);
        EXPECT_NEAR(double(clock.nowNanoseconds() - before), factor * 533333.0, 10.0);
        feed({0x8B});
    }
    EXPECT_EQ(engine.clockHz(), 3000000u);
    engine.reset(); // a fresh MPSSE mode starts divided by 5 with divisor 0: 6 MHz
    EXPECT_EQ(engine.clockHz(), 6000000u);
    EXPECT_FALSE(engine.loopback());
}

TEST_F(MpsseEngineTest, SendImmediateMarksTheFlushPointAndFilteredRepliesVanish)
{
    setUpSpi();
    EXPECT_EQ(feed({0x81, 0x87, 0x81}).size(), 2u);
    EXPECT_EQ(flushUpTo, 1u);

    int asked = 0;
    engine.setReplyFilter([&asked] { return ++asked == 2; });
    // The second reply-producing command (the 0x20) is dropped; the bad-command answer is never asked about.
    EXPECT_EQ(feed({0x81, 0x20, 0x01, 0x00, 0xAA, 0x83}), (Bytes{0x5A, 0xFA, 0xAA, 0xFF}));
    EXPECT_EQ(asked, 3);
    EXPECT_EQ(target.shifted.size(), 2u) << "a dropped reply's bytes were still clocked";
}

} // namespace
