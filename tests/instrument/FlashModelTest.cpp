#include "InstrumentBoard.h"

#include <algorithm>

namespace {

using Board = InstrumentBoard;

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
        Board board(Board::chip(part.chip));
        ASSERT_TRUE(board.board) << board.error;
        const Bytes id = board.transact({0x9F}, 20);
        EXPECT_TRUE(std::equal(part.prefix.begin(), part.prefix.end(), id.begin()));
        EXPECT_EQ(board.flash().part().size, part.size);
    }
    EXPECT_EQ(Board(Board::chip("corrupted")).status(), 0xFF) << "a corrupted part answers nothing at all";
}

TEST(FlashIdentification, BitWideShiftsAssembleIntoBytes)
{
    Board board;
    emu::EmulatedInstrument& pins = *board.board;
    board.pins(0x00);
    pins.shift(0x90, 4); // 0x9F in two halves
    pins.shift(0xF0, 4);
    EXPECT_EQ(pins.readLowPins() & 0x04, 0x00) << "DI carries the first bit the flash drives";
    EXPECT_EQ(pins.shift(0, 3), 0x20);
    EXPECT_EQ(pins.shift(0, 5), 0x00);
    EXPECT_EQ(pins.shift(0, 4), 0xB0);
    EXPECT_EQ(pins.readLowPins() & 0x04, 0x04);
    board.pins(0x68);
    EXPECT_EQ(pins.readLowPins() & 0x6F, 0x6C); // outputs as driven, DI pulled up
}

TEST(FlashData, ProgramWrapsInItsPageAndReadsWrapAtTheEndOfTheArray)
{
    Board board(Board::chip("unknown")); // 8 MiB: address bit 23 is not decoded
    board.program(0x500000 + 250, {1, 2, 3, 4, 5, 6, 7, 8, 9, 10});
    EXPECT_EQ(board.read(0x500000 + 250, 6), (Bytes{1, 2, 3, 4, 5, 6}));
    EXPECT_EQ(board.read(0x500000, 5), (Bytes{7, 8, 9, 10, 0xFF}));
    EXPECT_EQ(board.read(0x5000FF, 2), (Bytes{6, 0xFF})); // reads stream on; the next page is untouched
    board.program(0x500000, {0x3C}); // a second program ANDs
    EXPECT_EQ(board.read(0x500000, 1), (Bytes{0x04}));

    board.program(0x7FFFFE, {0xA1, 0xA2});
    board.program(0, {0xB1});
    EXPECT_EQ(board.read(0xFFFFFE, 3), (Bytes{0xA1, 0xA2, 0xB1}));
}

TEST(FlashData, EraseSetsWholeSectorsAndLeavesNeighbours)
{
    Board board;
    for (uint32_t address : {0x1FFFFu, 0x20000u, 0x2FFFFu, 0x30000u})
        board.program(address, {0x00});
    board.write(Board::cmd(0xD8, 0x2ABCD));
    Bytes expected(0x10002, 0xFF); // the sector, and one programmed byte either side
    expected.front() = expected.back() = 0x00;
    EXPECT_EQ(board.read(0x1FFFF, 0x10002), expected);
    board.write({0xC7});
    EXPECT_EQ(board.read(0x1FFFF, 2), (Bytes{0xFF, 0xFF}));
}

TEST(FlashWriteEnable, WritesNeedTheLatchAndExactFraming)
{
    Board board;
    board.program(0x100, {0x00});
    board.trace.clear();
    for (const Bytes& command : {Board::cmd(0x02, 0x200, {0x00}), Board::cmd(0xD8, 0x100), Bytes{0xC7}, Bytes{0xB1, 0x00, 0x00}})
        board.transact(command); // no write enable
    EXPECT_EQ(board.read(0x100, 1), (Bytes{0x00}));
    EXPECT_EQ(board.read(0x200, 1), (Bytes{0xFF}));
    EXPECT_EQ(board.flash().storage().nvcr(), 0xFFFF);
    const auto spi = board.trace.spi();
    ASSERT_EQ(spi.size(), 6u);
    for (size_t i = 0; i < spi.size(); ++i)
        EXPECT_EQ(spi[i].ignored, i < 4) << i;
    EXPECT_TRUE(spi[0].hasAddress && spi[0].address == 0x200 && spi[0].dataLength == 1);

    // The latch shows in the status, stays while busy and clears at the end; 0x04 clears it.
    board.transact({0x06});
    board.transact({0x04});
    EXPECT_EQ(board.status(), 0x00);
    board.transact({0x06});
    board.transact(Board::cmd(0x02, 0x200, {0x00}));
    EXPECT_EQ(board.status(), 0x03);
    board.waitReady();
    EXPECT_EQ(board.status(), 0x00);

    // Not carried out: an extra byte after an erase, chip select rising inside a byte of a program.
    board.transact({0x06});
    board.transact({0xD8, 0x00, 0x01, 0x00, 0x00});
    EXPECT_EQ(board.status(), 0x02);
    board.pins(0x00);
    board.send(Board::cmd(0x02, 0x300, {0x00}));
    board.board->shift(0x00, 4);
    board.pins(0x68);
    EXPECT_TRUE(board.trace.spi().back().ignored);
    EXPECT_EQ(board.read(0x300, 1), (Bytes{0xFF}));
}

TEST(FlashBusy, StatusRepeatsCountsDownPollsAndOnlyStatusIsAnswered)
{
    Board board(Board::chip("mt25q128", 3));
    board.program(0x10, {0x5A});
    board.transact({0x06});
    board.transact(Board::cmd(0x02, 0, {0x00}));
    EXPECT_EQ(board.transact({0x05}, 5), (Bytes{0x03, 0x03, 0x03, 0x00, 0x00}));

    board.transact({0x06});
    board.transact(Board::cmd(0xD8, 0x10000));
    for (int i = 0; i < 5; ++i)
        board.transact({0x05}); // no status byte clocked: no poll
    // While busy, identification, reads, write disable and erases go unanswered.
    EXPECT_EQ(board.transact({0x9F}, 2), (Bytes{0xFF, 0xFF}));
    EXPECT_EQ(board.read(0x10, 1), (Bytes{0xFF}));
    board.transact({0x04});
    board.transact(Board::cmd(0xD8, 0x0));
    // Three polls in all, the flag status read among them.
    EXPECT_EQ(board.transact({0x70}, 1), (Bytes{0x00}));
    EXPECT_EQ(board.status(), 0x03);
    EXPECT_EQ(board.waitReady(), 2u);
    EXPECT_EQ(board.transact({0x70}, 1), (Bytes{0x80}));
    EXPECT_EQ(board.read(0x10, 1), (Bytes{0x5A}));

    // Timed: polls alone do not end it, the virtual clock does.
    emu::InstrumentOptions options;
    options.timed = true;
    Board timed(options);
    timed.transact({0x06});
    timed.transact(Board::cmd(0xD8, 0));
    EXPECT_EQ(timed.waitReady(50), 51u);
    timed.clock.advanceNanoseconds(150000000 - 1);
    EXPECT_EQ(timed.status(), 0x03);
    timed.clock.advanceNanoseconds(1);
    EXPECT_EQ(timed.status(), 0x00);
}

TEST(FlashBusy, ASlowPageOutlastsTheDatasheet)
{
    emu::InstrumentOptions options = Board::chip("mt25q128", 2);
    options.faults.slowPages = {0x500180};
    Board board(options);
    board.transact({0x06});
    board.transact(Board::cmd(0x02, 0x500000, {0x00}));
    EXPECT_EQ(board.waitReady(), 3u);
    board.transact({0x06});
    board.transact(Board::cmd(0x02, 0x500100, {0x00}));
    EXPECT_EQ(board.waitReady(), 53u);

    options.timed = true;
    options.worst = true;
    Board timed(options);
    timed.transact({0x06});
    timed.transact(Board::cmd(0x02, 0x500100, {0x00}));
    timed.clock.advanceNanoseconds(2 * 1800000 - 1);
    EXPECT_EQ(timed.status() & 0x01, 0x01);
    timed.clock.advanceNanoseconds(1);
    EXPECT_EQ(timed.status() & 0x01, 0x00);
}

TEST(FlashRegisters, NonvolatileConfigurationRegister)
{
    Board board;
    EXPECT_EQ(board.transact({0xB5}, 3), (Bytes{0xFF, 0xFF, 0xFF}));
    board.transact({0x06});
    board.transact({0xB1, 0xEF, 0x7F}); // low byte first
    EXPECT_EQ(board.status(), 0x03);     // the write takes time
    board.waitReady();
    EXPECT_EQ(board.transact({0xB5}, 3), (Bytes{0xEF, 0x7F, 0xEF}));
    board.write({0xB1, 0x00}); // one byte short: not written
    EXPECT_EQ(board.flash().storage().nvcr(), 0x7FEF);

    Board spansion(Board::chip("s25fl256")); // has neither this register nor flag status
    spansion.write({0xB1, 0x00, 0x00});
    EXPECT_EQ(spansion.transact({0xB5}, 2), (Bytes{0xFF, 0xFF}));
    EXPECT_EQ(spansion.transact({0x70}, 1), (Bytes{0xFF}));
}

TEST(FlashRegisters, BankRegisterReachesTheUpperHalf)
{
    Board board(Board::chip("s25fl256"));
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

    Board micron;
    micron.transact({0x17, 0x01});
    EXPECT_EQ(micron.flash().bankRegister(), 0);
}

} // namespace
