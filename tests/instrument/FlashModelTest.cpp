#include "InstrumentBoard.h"

#include <algorithm>

namespace {

emu::InstrumentOptions chip(const std::string& name)
{
    emu::InstrumentOptions options;
    options.chip = name;
    return options;
}

TEST(FlashIdentification, EachPartAnswersItsOwn)
{
    const struct { const char* chip; Bytes prefix; uint32_t size; } parts[] = {
        {"mt25q128", {0x20, 0xBA, 0x18, 0x10}, 16u << 20},
        {"s25fl256", {0x01, 0x02, 0x19, 0x4D, 0x01, 0x80}, 32u << 20},
        {"arty", {0x20, 0xBA, 0x0C}, 16u << 20},
        {"unknown", {0x20, 0xBA, 0x17}, 8u << 20},
        {"corrupted", {0xFF, 0xFF, 0xFF, 0xFF}, 16u << 20},
    };
    for (const auto& part : parts) {
        SCOPED_TRACE(part.chip);
        InstrumentBoard board(chip(part.chip));
        ASSERT_TRUE(board.board) << board.error;
        const Bytes id = board.transact({0x9F}, 20);
        EXPECT_TRUE(std::equal(part.prefix.begin(), part.prefix.end(), id.begin()));
        EXPECT_EQ(board.flash().part().size, part.size);
    }
    InstrumentBoard mute(chip("corrupted")); // answers nothing at all
    EXPECT_EQ(mute.status(), 0xFF);

    InstrumentBoard unplugged(chip("unplugged"));
    EXPECT_FALSE(unplugged.board);
    for (const char* name : {"unplugged", "mt25q128", "s25fl256", "arty", "corrupted", "unknown"})
        EXPECT_NE(unplugged.error.find(name), std::string::npos) << unplugged.error;
}

TEST(FlashIdentification, BitWideShiftsAssembleIntoBytes)
{
    InstrumentBoard board;
    emu::EmulatedInstrument& pins = *board.board;
    pins.setLowPins(0x00, InstrumentBoard::direction);
    pins.shift(0x90, 4); // 0x9F in two halves
    pins.shift(0xF0, 4);
    uint8_t first = 0;
    for (int bit = 0; bit < 8; ++bit) {
        const bool di = (pins.readLowPins() & 0x04) != 0; // DI carries the bit the flash drives
        const uint8_t sampled = pins.shift(0, 1);
        EXPECT_EQ(di, sampled == 0x80);
        first = static_cast<uint8_t>((first << 1) | (sampled >> 7));
    }
    EXPECT_EQ(first, 0x20);
    EXPECT_EQ(pins.shift(0, 4), 0xB0);
    EXPECT_EQ(pins.shift(0, 4), 0xA0);
    pins.setLowPins(0x68, InstrumentBoard::direction);
    EXPECT_EQ(pins.readLowPins() & 0x6F, 0x6C); // outputs as driven, DI pulled up
}

TEST(FlashData, ProgramWrapsInItsPageAndOnlyClearsBits)
{
    InstrumentBoard board;
    board.program(0x500000 + 250, {1, 2, 3, 4, 5, 6, 7, 8, 9, 10});
    EXPECT_EQ(board.read(0x500000 + 250, 6), (Bytes{1, 2, 3, 4, 5, 6}));
    EXPECT_EQ(board.read(0x500000, 5), (Bytes{7, 8, 9, 10, 0xFF}));
    EXPECT_EQ(board.read(0x5000FF, 2), (Bytes{6, 0xFF})); // reads stream on; the next page is untouched

    board.program(0x500000, {0x3C}); // a second program ANDs
    EXPECT_EQ(board.read(0x500000, 1), (Bytes{0x04}));
}

TEST(FlashData, ReadWrapsAtTheEndOfTheArray)
{
    InstrumentBoard board(chip("unknown")); // 8 MiB: address bit 23 is not decoded
    board.program(0x7FFFFE, {0xA1, 0xA2});
    board.program(0, {0xB1});
    EXPECT_EQ(board.read(0xFFFFFE, 3), (Bytes{0xA1, 0xA2, 0xB1}));
}

TEST(FlashData, EraseSetsWholeSectorsAndLeavesNeighbours)
{
    InstrumentBoard board;
    for (uint32_t address : {0x1FFFFu, 0x20000u, 0x2FFFFu, 0x30000u})
        board.program(address, {0x00});
    board.write(InstrumentBoard::cmd(0xD8, 0x2ABCD));
    EXPECT_EQ(board.read(0x1FFFF, 1), (Bytes{0x00}));
    EXPECT_EQ(board.read(0x30000, 1), (Bytes{0x00}));
    EXPECT_EQ(board.read(0x20000, 0x10000), Bytes(0x10000, 0xFF));
    board.write({0xC7});
    EXPECT_EQ(board.read(0x1FFFF, 2), (Bytes{0xFF, 0xFF}));
}

TEST(FlashWriteEnable, WritesNeedTheLatchAndExactFraming)
{
    InstrumentBoard board;
    board.program(0x100, {0x00});
    board.trace.clear();
    for (const Bytes& command : {InstrumentBoard::cmd(0x02, 0x200, {0x00}), InstrumentBoard::cmd(0xD8, 0x100),
                                 Bytes{0xC7}, Bytes{0xB1, 0x00, 0x00}})
        board.transact(command); // no write enable
    EXPECT_EQ(board.read(0x100, 1), (Bytes{0x00}));
    EXPECT_EQ(board.read(0x200, 1), (Bytes{0xFF}));
    EXPECT_EQ(board.flash().storage().nvcr(), 0xFFFF);
    const auto spi = board.trace.spi();
    ASSERT_EQ(spi.size(), 6u);
    EXPECT_TRUE(spi[0].ignored && spi[1].ignored && spi[2].ignored && spi[3].ignored);
    EXPECT_FALSE(spi[4].ignored);
    EXPECT_TRUE(spi[0].hasAddress && spi[0].address == 0x200 && spi[0].dataLength == 1);

    // The latch shows in the status, stays while busy and clears at the end.
    board.transact({0x06});
    board.transact({0x04});
    EXPECT_EQ(board.status(), 0x00);
    board.transact({0x06});
    board.transact(InstrumentBoard::cmd(0x02, 0x200, {0x00}));
    EXPECT_EQ(board.status(), 0x03);
    board.waitReady();
    EXPECT_EQ(board.status(), 0x00);

    // Not carried out: an extra byte after an erase, chip select rising
    // inside a byte of a program.
    board.transact({0x06});
    board.transact({0xD8, 0x00, 0x01, 0x00, 0x00});
    EXPECT_EQ(board.status(), 0x02);
    board.board->setLowPins(0x00, InstrumentBoard::direction);
    for (uint8_t byte : InstrumentBoard::cmd(0x02, 0x300, {0x00}))
        board.board->shift(byte, 8);
    board.board->shift(0x00, 4);
    board.board->setLowPins(0x68, InstrumentBoard::direction);
    EXPECT_TRUE(board.trace.spi().back().ignored);
    EXPECT_EQ(board.read(0x300, 1), (Bytes{0xFF}));
}

TEST(FlashBusy, StatusRepeatsAndCountsDownPolls)
{
    emu::InstrumentOptions options;
    options.busyStatusReads = 3;
    InstrumentBoard board(options);
    board.transact({0x06});
    board.transact(InstrumentBoard::cmd(0x02, 0, {0x00}));
    EXPECT_EQ(board.transact({0x05}, 5), (Bytes{0x03, 0x03, 0x03, 0x00, 0x00}));
    EXPECT_EQ(board.flash().statusBytesRead(), 5u);

    board.transact({0x06});
    board.transact(InstrumentBoard::cmd(0xD8, 0));
    for (int i = 0; i < 5; ++i)
        board.transact({0x05}); // no status byte clocked: no poll
    EXPECT_EQ(board.waitReady(), 4u);

    options.busyStatusReads = 0;
    InstrumentBoard instant(options);
    instant.transact({0x06});
    instant.transact(InstrumentBoard::cmd(0x02, 0, {0x00}));
    EXPECT_EQ(instant.status(), 0x00);
}

TEST(FlashBusy, OnlyStatusReadsAreAnsweredWhileBusy)
{
    emu::InstrumentOptions options;
    options.busyStatusReads = 100;
    InstrumentBoard board(options);
    board.program(0x10, {0x5A});
    board.transact({0x06});
    board.transact(InstrumentBoard::cmd(0xD8, 0x10000));
    EXPECT_EQ(board.transact({0x70}, 1), (Bytes{0x00}));
    EXPECT_EQ(board.transact({0x9F}, 2), (Bytes{0xFF, 0xFF}));
    EXPECT_EQ(board.read(0x10, 1), (Bytes{0xFF}));
    board.transact({0x04});
    board.transact(InstrumentBoard::cmd(0xD8, 0x0));
    EXPECT_EQ(board.status(), 0x03);
    board.waitReady();
    EXPECT_EQ(board.transact({0x70}, 1), (Bytes{0x80}));
    EXPECT_EQ(board.read(0x10, 1), (Bytes{0x5A}));
}

TEST(FlashBusy, StuckBusyAndTimedMode)
{
    emu::InstrumentOptions stuckOptions;
    stuckOptions.stuckBusy = true;
    InstrumentBoard stuck(stuckOptions);
    stuck.write({0xB1, 0xEF, 0xFF}); // register writes still finish
    stuck.transact({0x06});
    stuck.transact(InstrumentBoard::cmd(0x02, 0, {0x00}));
    EXPECT_EQ(stuck.waitReady(5000), 5001u);
    stuck.clock.advanceNanoseconds(3600ull * 1000000000);
    EXPECT_EQ(stuck.status(), 0x03);

    emu::InstrumentOptions timedOptions;
    timedOptions.timed = true;
    InstrumentBoard timed(timedOptions);
    timed.transact({0x06});
    timed.transact(InstrumentBoard::cmd(0xD8, 0));
    EXPECT_EQ(timed.waitReady(50), 51u); // polls alone do not end it
    timed.clock.advanceNanoseconds(150000000 - 1);
    EXPECT_EQ(timed.status(), 0x03);
    timed.clock.advanceNanoseconds(1);
    EXPECT_EQ(timed.status(), 0x00);
}

TEST(FlashFaults, FlippedCellReadsInvertedOnlyThere)
{
    emu::InstrumentOptions options;
    options.flippedAddresses = {0x500010};
    InstrumentBoard board(options);
    board.program(0x50000F, {0xA5, 0xA5, 0xA5});
    EXPECT_EQ(board.read(0x50000F, 3), (Bytes{0xA5, 0xA4, 0xA5}));
    EXPECT_EQ(board.flash().storage().at(0x500010), 0xA5);
}

TEST(FlashRegisters, NonvolatileConfigurationRegister)
{
    InstrumentBoard board;
    EXPECT_EQ(board.transact({0xB5}, 3), (Bytes{0xFF, 0xFF, 0xFF}));
    board.transact({0x06});
    board.transact({0xB1, 0xEF, 0x7F}); // low byte first
    EXPECT_EQ(board.status(), 0x03);     // the write takes time
    board.waitReady();
    EXPECT_EQ(board.transact({0xB5}, 3), (Bytes{0xEF, 0x7F, 0xEF}));
    board.write({0xB1, 0x00}); // one byte short: not written
    EXPECT_EQ(board.flash().storage().nvcr(), 0x7FEF);

    InstrumentBoard spansion(chip("s25fl256")); // has neither this register nor flag status
    spansion.write({0xB1, 0x00, 0x00});
    EXPECT_EQ(spansion.transact({0xB5}, 2), (Bytes{0xFF, 0xFF}));
    EXPECT_EQ(spansion.transact({0x70}, 1), (Bytes{0xFF}));
}

TEST(FlashRegisters, BankRegisterReachesTheUpperHalf)
{
    InstrumentBoard board(chip("s25fl256"));
    board.program(0x000100, {0x11});
    board.transact({0x17, 0x01}); // A24; volatile, no write enable
    EXPECT_EQ(board.transact({0x16}, 2), (Bytes{0x01, 0x01}));
    board.program(0x000100, {0x22});
    EXPECT_EQ(board.read(0x000100, 1), (Bytes{0x22}));
    EXPECT_EQ(board.trace.spi().back().address, 0x1000100u);
    EXPECT_EQ(board.flash().storage().at(0x000100), 0x11);

    board.transact({0x17, 0x00});
    EXPECT_EQ(board.read(0x000100, 1), (Bytes{0x11}));
    board.write({0x12, 0x01, 0xFF, 0xFF, 0xFF, 0x33}); // 4-byte opcodes ignore the bank
    EXPECT_EQ(board.transact({0x13, 0x01, 0xFF, 0xFF, 0xFF}, 2), (Bytes{0x33, 0xFF}));
    board.write({0xDC, 0x01, 0x00, 0x00, 0x00});
    EXPECT_EQ(board.flash().storage().at(0x1000100), 0xFF);

    InstrumentBoard micron;
    micron.transact({0x17, 0x01});
    EXPECT_EQ(micron.flash().bankRegister(), 0);
}

} // namespace
