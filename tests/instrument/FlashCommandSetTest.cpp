// The emulated flash parts against their datasheets: what all of them share
// (identification, pages, the write-enable latch, busy), then each part's
// command table, every single-line command with the answer or the effect the
// datasheet gives it.
#include "InstrumentBoard.h"

#include <algorithm>

namespace {

using Board = InstrumentBoard;

Bytes cmd4(uint8_t opcode, uint32_t address, const Bytes& data = {})
{
    Bytes bytes{opcode, uint8_t(address >> 24), uint8_t(address >> 16), uint8_t(address >> 8), uint8_t(address)};
    bytes.insert(bytes.end(), data.begin(), data.end());
    return bytes;
}

uint32_t dword(const Bytes& bytes, size_t at)
{
    return uint32_t(bytes[at]) | uint32_t(bytes[at + 1]) << 8 | uint32_t(bytes[at + 2]) << 16 |
           uint32_t(bytes[at + 3]) << 24;
}

uint8_t flags(Board& board) { return board.transact({0x70}, 1)[0]; }

TEST(FlashParts, EachPartAnswersItsOwnIdentification)
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

TEST(FlashParts, BitWideShiftsAssembleIntoBytes)
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

TEST(FlashParts, ProgramWrapsInItsPageAndReadsWrapAtTheEndOfTheArray)
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

TEST(FlashParts, WritesNeedTheLatchAndExactFraming)
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

TEST(FlashParts, StatusRepeatsCountsDownPollsAndOnlyStatusIsAnswered)
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

TEST(FlashParts, ASlowPageOutlastsTheDatasheet)
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

TEST(Mt25qCommands, IdentificationSfdpAndConfigurationRegisters)
{
    Board board;
    EXPECT_EQ(Bytes(board.transact({0x9E}, 4)), (Bytes{0x20, 0xBA, 0x18, 0x10}));

    // SFDP: the signature, one parameter header, the basic table at 0x30.
    const Bytes sfdp = board.transact({0x5A, 0x00, 0x00, 0x00, 0x00}, 0x30 + 16 * 4);
    EXPECT_EQ(Bytes(sfdp.begin(), sfdp.begin() + 4), (Bytes{'S', 'F', 'D', 'P'}));
    EXPECT_EQ(sfdp[5], 0x01) << "major revision";
    EXPECT_EQ(sfdp[6], 0x00) << "one parameter header";
    EXPECT_EQ(Bytes(sfdp.begin() + 8, sfdp.begin() + 16), (Bytes{0x00, 0x06, 0x01, 16, 0x30, 0x00, 0x00, 0xFF}));
    const size_t table = 0x30;
    EXPECT_EQ(dword(sfdp, table) & 0xFF03, 0x2001u) << "4 KiB erase with 0x20";
    EXPECT_EQ((dword(sfdp, table) >> 17) & 3, 1u) << "3- or 4-byte addresses";
    EXPECT_EQ(dword(sfdp, table + 4), 128u * 1024 * 1024 - 1) << "128 Mbit";
    EXPECT_EQ(dword(sfdp, table + 28), 0x520F200Cu) << "erase types 4 KiB / 0x20, 32 KiB / 0x52";
    EXPECT_EQ(dword(sfdp, table + 32) & 0xFFFF, 0xD810u) << "erase type 64 KiB / 0xD8";
    EXPECT_EQ((dword(sfdp, table + 40) >> 4) & 0xF, 8u) << "256-byte pages";
    EXPECT_EQ((dword(sfdp, table + 52) >> 23) & 0xFF, 0xB9u) << "deep power-down";
    EXPECT_EQ((dword(sfdp, table + 60) >> 24) & 0x25, 0x25u) << "B7, extended address register, 4-byte opcodes";
    // The table's address wraps nowhere: reads start where asked.
    EXPECT_EQ(board.transact({0x5A, 0x00, 0x00, 0x02, 0x00}, 2), (Bytes{'D', 'P'}));

    // Nonvolatile configuration: written low byte first, taking time; read
    // back it repeats; one byte short is no write.
    EXPECT_EQ(board.transact({0xB5}, 3), (Bytes{0xFF, 0xFF, 0xFF}));
    board.transact({0x06});
    board.transact({0xB1, 0xEF, 0x7F});
    EXPECT_EQ(board.status(), 0x03);
    board.waitReady();
    EXPECT_EQ(board.transact({0xB5}, 3), (Bytes{0xEF, 0x7F, 0xEF}));
    board.write({0xB1, 0xFF});
    EXPECT_EQ(board.flash().storage().nvcr(), 0x7FEF);
    board.write({0xB1, 0xFF, 0xFF});

    // Volatile and enhanced volatile configuration, extended address.
    EXPECT_EQ(board.transact({0x85}, 1), Bytes{0xFB});
    EXPECT_EQ(board.transact({0x65}, 1), Bytes{0xDF});
    EXPECT_EQ(board.transact({0xC8}, 1), Bytes{0x00});
    for (const Bytes& write : {Bytes{0x81, 0x4B}, Bytes{0x61, 0xCF}, Bytes{0xC5, 0x01}})
        board.transact(write); // no write enable: ignored
    EXPECT_EQ(board.transact({0x85}, 1), Bytes{0xFB});
    for (const Bytes& write : {Bytes{0x81, 0x4B}, Bytes{0x61, 0xCF}, Bytes{0xC5, 0x01}}) {
        board.transact({0x06});
        board.transact(write);
        EXPECT_EQ(board.status() & 0x02, 0) << "the volatile writes clear the latch";
    }
    EXPECT_EQ(board.transact({0x85}, 1), Bytes{0x4B});
    EXPECT_EQ(board.transact({0x65}, 1), Bytes{0xCF});
    EXPECT_EQ(board.transact({0xC8}, 1), Bytes{0x01});

    // Reset: enable then reset, back to the power-on registers; a lone 0x99 does nothing.
    board.transact({0x99});
    EXPECT_EQ(board.transact({0x85}, 1), Bytes{0x4B});
    board.transact({0x66});
    board.transact({0x9F}, 1);
    board.transact({0x99});
    EXPECT_EQ(board.transact({0x85}, 1), Bytes{0x4B}) << "something came between enable and reset";
    board.transact({0x66});
    board.transact({0x99});
    EXPECT_EQ(board.transact({0x85}, 1), Bytes{0xFB});
    EXPECT_EQ(board.transact({0xC8}, 1), Bytes{0x00});

    // Deep power-down hears nothing but the release.
    board.transact({0xB9});
    EXPECT_EQ(board.transact({0x9F}, 2), (Bytes{0xFF, 0xFF}));
    EXPECT_EQ(board.transact({0x05}, 1), Bytes{0xFF});
    EXPECT_TRUE(board.flash().deepPoweredDown());
    board.transact({0xAB});
    EXPECT_EQ(board.transact({0x9F}, 2), (Bytes{0x20, 0xBA}));

    // Dual and quad protocols leave a one-line host nothing to say: from the
    // enhanced volatile register, from 0x35, from the nonvolatile register at reset.
    for (const Bytes& leave : {Bytes{0x61, 0x5F}, Bytes{0x61, 0x9F}, Bytes{0x35}}) {
        Board lost;
        lost.transact({0x06});
        lost.transact(leave);
        EXPECT_EQ(lost.transact({0x9F}, 2), (Bytes{0xFF, 0xFF})) << int(leave[0]);
        lost.transact({0x66});
        lost.transact({0x99});
        EXPECT_EQ(lost.transact({0x05}, 1), Bytes{0xFF});
    }
    Board quadAtReset;
    quadAtReset.write({0xB1, 0xF7, 0xFF});
    EXPECT_EQ(quadAtReset.transact({0x9F}, 1), Bytes{0x20}) << "the nonvolatile register waits for a reset";
    quadAtReset.transact({0x66});
    quadAtReset.transact({0x99});
    EXPECT_EQ(quadAtReset.transact({0x9F}, 1), Bytes{0xFF});

    // Commands the part lacks, and the multi-line ones, leave MISO floating.
    board.trace.clear();
    for (uint8_t opcode : {0x77, 0x3B, 0x6B, 0xEB, 0x16, 0x17, 0x90})
        EXPECT_EQ(board.transact({opcode, 0, 0, 0}, 2), (Bytes{0xFF, 0xFF})) << int(opcode);
    for (const auto& t : board.trace.spi())
        EXPECT_TRUE(t.ignored);
}

TEST(Mt25qCommands, ReadsProgramsErasesAndAddressModes)
{
    Board board;
    board.program(0x123400, {0xA5, 0x5A, 0x3C});
    EXPECT_EQ(board.read(0x123400, 3), (Bytes{0xA5, 0x5A, 0x3C}));
    // Fast read: eight dummy clocks by default, the configured number otherwise.
    EXPECT_EQ(board.transact({0x0B, 0x12, 0x34, 0x00, 0x00}, 2), (Bytes{0xA5, 0x5A}));
    board.transact({0x06});
    board.transact({0x81, 0x4B}); // four dummy clocks
    EXPECT_EQ(board.transact({0x0B, 0x12, 0x34, 0x00}, 2), (Bytes{0xFA, 0x55})) << "data half a byte early";
    board.transact({0x06});
    board.transact({0x81, 0xFB});

    // 4-byte opcodes, and the 4-byte address mode for the 3-byte ones.
    board.write(cmd4(0x12, 0x00FFFF00, {0x11, 0x22}));
    EXPECT_EQ(board.transact(cmd4(0x13, 0x00FFFF00), 2), (Bytes{0x11, 0x22}));
    EXPECT_EQ(board.transact(cmd4(0x13, 0x01FFFF00), 2), (Bytes{0x11, 0x22})) << "16 MiB: bit 24 is not decoded";
    EXPECT_EQ(board.transact(Bytes{0x0C, 0x00, 0xFF, 0xFF, 0x00, 0x00}, 2), (Bytes{0x11, 0x22}));
    EXPECT_EQ(flags(board) & 0x01, 0);
    board.transact({0xB7});
    EXPECT_EQ(flags(board), 0x81);
    EXPECT_TRUE(board.flash().fourByteAddressing());
    EXPECT_EQ(board.transact(cmd4(0x03, 0x00123400), 1), Bytes{0xA5});
    board.write(cmd4(0x20, 0x00123456));
    EXPECT_EQ(board.transact(cmd4(0x03, 0x00123400), 1), Bytes{0xFF});
    board.transact({0xE9});
    EXPECT_EQ(flags(board), 0x80);

    // Erase sizes: 4 KiB (0x20 / 0x21), 32 KiB (0x52 / 0x5C), 64 KiB (0xD8 / 0xDC).
    const struct { Bytes command; uint32_t start; uint32_t size; } erases[] = {
        {Board::cmd(0x20, 0x201234), 0x201000, 0x1000}, {cmd4(0x21, 0x00303456), 0x303000, 0x1000},
        {Board::cmd(0x52, 0x40ABCD), 0x408000, 0x8000}, {cmd4(0x5C, 0x00512345), 0x510000, 0x8000},
        {Board::cmd(0xD8, 0x6ABCDE), 0x6A0000, 0x10000}, {cmd4(0xDC, 0x00712345), 0x710000, 0x10000},
    };
    for (const auto& erase : erases) {
        SCOPED_TRACE(erase.start);
        for (uint32_t at : {erase.start - 1, erase.start, erase.start + erase.size - 1, erase.start + erase.size})
            board.program(at, {0x00});
        board.write(erase.command);
        EXPECT_EQ(board.read(erase.start - 1, 2), (Bytes{0x00, 0xFF}));
        EXPECT_EQ(board.read(erase.start + erase.size - 1, 2), (Bytes{0xFF, 0x00}));
    }
    for (uint8_t bulk : {0xC7, 0x60}) {
        board.program(0x10, {0x00});
        board.write({bulk});
        EXPECT_EQ(board.read(0x10, 1), Bytes{0xFF}) << int(bulk);
    }

    // One-time programmable area: 64 bytes, then the lock byte.
    board.write({0x42, 0x00, 0x00, 0x02, 0x12, 0x34});
    EXPECT_EQ(board.transact({0x4B, 0x00, 0x00, 0x00, 0x00}, 5), (Bytes{0xFF, 0xFF, 0x12, 0x34, 0xFF}));
    board.write({0x42, 0x00, 0x00, 0x40, 0xFE}); // lock
    board.write({0x42, 0x00, 0x00, 0x05, 0x00});
    EXPECT_EQ(board.transact({0x4B, 0x00, 0x00, 0x05, 0x00}, 1), Bytes{0xFF});
    EXPECT_EQ(flags(board) & 0x12, 0x12) << "programming a locked area is an error";
    board.transact({0x50});
}

TEST(Mt25qCommands, BlockProtectionRefusesAndFlags)
{
    Board board;
    board.program(0xFF0000, {0x00}); // the top sector
    board.write({0x01, 0x04});       // BP = 1, TB = 0: the top 64 KiB
    EXPECT_EQ(board.status(), 0x04);
    board.program(0xFF0100, {0x00});
    EXPECT_EQ(board.read(0xFF0100, 1), Bytes{0xFF});
    EXPECT_EQ(flags(board), 0x92) << "ready, program error, protection error";
    board.transact({0x50});
    EXPECT_EQ(flags(board), 0x80);
    board.write(Board::cmd(0x20, 0xFF0000));
    EXPECT_EQ(board.read(0xFF0000, 1), Bytes{0x00});
    EXPECT_EQ(flags(board), 0xA2) << "ready, erase error, protection error";
    board.transact({0x50});
    board.write({0xC7});
    EXPECT_EQ(board.read(0xFF0000, 1), Bytes{0x00}) << "no bulk erase while anything is protected";
    EXPECT_EQ(flags(board) & 0x22, 0x22);
    board.transact({0x50});
    board.program(0xFE0000, {0x00});
    EXPECT_EQ(board.read(0xFE0000, 1), Bytes{0x00}) << "below the protected area";
    EXPECT_EQ(flags(board), 0x80);

    board.write({0x01, 0x24 | 0x08}); // BP = 3, TB = 1: the bottom 256 KiB
    board.program(0x3FFFF, {0x00});
    board.program(0x40000, {0x00});
    EXPECT_EQ(board.read(0x3FFFF, 2), (Bytes{0xFF, 0x00}));
    board.write({0x01, 0x5C}); // BP = 15: everything
    board.program(0xABCDEF, {0x00});
    EXPECT_EQ(board.read(0xABCDEF, 1), Bytes{0xFF});
}

TEST(Mt25qCommands, SuspendResumeAndSectorLocks)
{
    Board board(Board::chip("mt25q128", 4));
    board.program(0x20000, {0x00});
    board.transact({0x06});
    board.transact(Board::cmd(0xD8, 0x10000));
    board.transact({0x75});
    EXPECT_EQ(flags(board), 0xC0) << "ready, erase suspended";
    EXPECT_EQ(board.read(0x20000, 1), Bytes{0x00}) << "reads elsewhere go on";
    board.transact({0x7A});
    EXPECT_EQ(board.status() & 0x01, 0x01);
    board.waitReady();
    EXPECT_EQ(flags(board), 0x80);

    // Volatile lock bits: bit 0 locks a 64 KiB sector, bit 1 holds the lock until reset.
    board.write({0xE5, 0x30, 0x00, 0x00, 0x01});
    EXPECT_EQ(board.transact({0xE8, 0x30, 0x00, 0x00}, 1), Bytes{0x01});
    board.program(0x300000, {0x00});
    EXPECT_EQ(board.read(0x300000, 1), Bytes{0xFF});
    EXPECT_EQ(flags(board), 0x92);
    board.transact({0x50});
    board.write({0xE1, 0x00, 0x30, 0x00, 0x00, 0x03});
    board.write({0xE5, 0x30, 0x00, 0x00, 0x00});
    EXPECT_EQ(board.transact({0xE0, 0x00, 0x30, 0x00, 0x00}, 1), Bytes{0x03}) << "locked down";
    board.transact({0x66});
    board.transact({0x99});
    EXPECT_EQ(board.transact({0xE8, 0x30, 0x00, 0x00}, 1), Bytes{0x00});

    // Nonvolatile lock bits: programmed one sector at a time, erased all together, frozen.
    board.write({0xE3, 0x00, 0x40, 0x00, 0x00});
    EXPECT_EQ(board.transact({0xE2, 0x00, 0x40, 0x00, 0x00}, 1), Bytes{0x00});
    board.program(0x400000, {0x00});
    EXPECT_EQ(board.read(0x400000, 1), Bytes{0xFF});
    board.transact({0x50});
    board.write({0xE4});
    EXPECT_EQ(board.transact({0xE2, 0x00, 0x40, 0x00, 0x00}, 1), Bytes{0xFF});
    EXPECT_EQ(board.transact({0xA7}, 1), Bytes{0x00});
    board.write({0xA6});
    EXPECT_EQ(board.transact({0xA7}, 1), Bytes{0x01});
    board.write({0xE3, 0x00, 0x40, 0x00, 0x00});
    EXPECT_EQ(board.transact({0xE2, 0x00, 0x40, 0x00, 0x00}, 1), Bytes{0xFF}) << "frozen";

    EXPECT_EQ(board.transact({0x2D}, 2), (Bytes{0xFF, 0xFF}));
    EXPECT_EQ(board.transact({0x27}, 8), Bytes(8, 0xFF));
}

TEST(S25flCommands, IdentificationRegistersAndBank)
{
    Board board(Board::chip("s25fl256"));
    EXPECT_EQ(board.transact({0x90, 0x00, 0x00, 0x00}, 4), (Bytes{0x01, 0x18, 0x01, 0x18}));
    EXPECT_EQ(board.transact({0x90, 0x00, 0x00, 0x01}, 2), (Bytes{0x18, 0x01}));
    EXPECT_EQ(board.transact({0xAB, 0x00, 0x00, 0x00}, 2), (Bytes{0x18, 0x18}));
    EXPECT_EQ(board.transact({0x35}, 1), Bytes{0x00}) << "configuration register, factory value";
    EXPECT_EQ(board.transact({0x07}, 1), Bytes{0x00});
    board.write({0xB1, 0x00, 0x00}); // no such register, write enable or not
    for (uint8_t missing : {0x5A, 0x70, 0xB5, 0x66, 0xB7, 0x52, 0x9E})
        EXPECT_EQ(board.transact({missing, 0, 0, 0, 0}, 2), (Bytes{0xFF, 0xFF})) << int(missing);

    // Bank register: 0x17 directly (volatile, no write enable), or 0xB9
    // followed by 0x01. Its A24 takes the 3-byte opcodes to the upper half;
    // the 4-byte ones ignore it.
    board.program(0x000100, {0x11});
    board.transact({0x17, 0x01});
    EXPECT_EQ(board.transact({0x16}, 2), (Bytes{0x01, 0x01}));
    board.program(0x000100, {0x22});
    EXPECT_EQ(board.read(0x000100, 1), (Bytes{0x22}));
    EXPECT_EQ(board.trace.spi().back().address, 0x1000100u);
    EXPECT_EQ(board.flash().storage().at(0x000100), 0x11);
    board.transact({0x17, 0x00});
    EXPECT_EQ(board.read(0x000100, 1), (Bytes{0x11}));
    board.transact({0x17, 0x01});
    board.write({0x12, 0x01, 0xFF, 0xFF, 0xFF, 0x33});
    EXPECT_EQ(board.transact({0x13, 0x01, 0xFF, 0xFF, 0xFF}, 2), (Bytes{0x33, 0xFF}));
    board.write({0xDC, 0x01, 0x00, 0x00, 0x00});
    EXPECT_EQ(board.flash().storage().at(0x1000100), 0xFF);
    board.transact({0xB9});
    board.transact({0x01, 0x00});
    EXPECT_EQ(board.transact({0x16}, 1), Bytes{0x00});
    EXPECT_EQ(board.status(), 0x00) << "that 0x01 wrote no status";
    // Extended addressing: the 3-byte opcodes take four address bytes.
    board.write(cmd4(0x12, 0x01ABCDEF, {0x77}));
    board.transact({0x17, 0x80});
    EXPECT_TRUE(board.flash().fourByteAddressing());
    EXPECT_EQ(board.transact(cmd4(0x03, 0x01ABCDEF), 1), Bytes{0x77});
    // Software reset clears the bank register.
    board.transact({0xF0});
    EXPECT_EQ(board.transact({0x16}, 1), Bytes{0x00});
    EXPECT_EQ(board.read(0xABCDEF, 1), Bytes{0xFF});
    board.transact({0xFF}); // mode bit reset: nothing to see
    EXPECT_EQ(board.read(0xABCDEF, 1), Bytes{0xFF});

    // One-time programmable area, read with eight dummy clocks.
    board.write({0x42, 0x00, 0x00, 0x20, 0x5A});
    EXPECT_EQ(board.transact({0x4B, 0x00, 0x00, 0x20, 0x00}, 2), (Bytes{0x5A, 0xFF}));
}

TEST(S25flCommands, SuspendResumeSectorProtectionAndSmallRegisters)
{
    Board board(Board::chip("s25fl256", 4));
    board.transact({0x06});
    board.transact(Board::cmd(0x02, 0x100, {0x12}));
    board.transact({0x75}); // erase suspend: no erase under way
    EXPECT_EQ(board.transact({0x07}, 1), Bytes{0x00});
    board.transact({0x85});
    EXPECT_EQ(board.transact({0x07}, 1), Bytes{0x01}) << "program suspended";
    EXPECT_EQ(board.status() & 0x01, 0x00);
    board.transact({0x8A});
    board.waitReady();
    EXPECT_EQ(board.read(0x100, 1), Bytes{0x12});

    // Dynamic (volatile) and persistent protection bits, 00h = protected.
    board.write({0xE1, 0x00, 0x05, 0x00, 0x00, 0x00});
    EXPECT_EQ(board.transact({0xE0, 0x00, 0x05, 0x00, 0x00}, 1), Bytes{0x00});
    board.transact({0x06});
    board.transact(Board::cmd(0x02, 0x50000, {0x00}));
    EXPECT_EQ(board.status(), 0x43) << "P_ERR";
    board.transact({0x30});
    board.write({0xE1, 0x00, 0x05, 0x00, 0x00, 0xFF});
    board.write({0xE3, 0x00, 0x06, 0x00, 0x00});
    EXPECT_EQ(board.transact({0xE2, 0x00, 0x06, 0x00, 0x00}, 1), Bytes{0x00});
    board.transact({0x06});
    board.transact(Board::cmd(0xD8, 0x60000));
    EXPECT_EQ(board.status(), 0x23) << "E_ERR";
    board.transact({0x30});
    board.write({0xE4});
    EXPECT_EQ(board.transact({0xE2, 0x00, 0x06, 0x00, 0x00}, 1), Bytes{0xFF});

    EXPECT_EQ(board.transact({0x2B}, 2), (Bytes{0xFF, 0xFF})) << "ASP register";
    EXPECT_EQ(board.transact({0xA7}, 1), Bytes{0x01}) << "PPB lock bit: PPBs may change";
    EXPECT_EQ(board.transact({0xE7}, 8), Bytes(8, 0xFF));
    board.write({0x4A, 0x34});
    EXPECT_EQ(board.transact({0x41}, 1), Bytes{0x34});
    EXPECT_EQ(board.transact({0x14}, 4), Bytes(4, 0x00));
    board.write({0x15, 0x01, 0x02, 0x03, 0x04});
    EXPECT_EQ(board.transact({0x14}, 4), (Bytes{0x01, 0x02, 0x03, 0x04}));
}

TEST(S25flCommands, FourByteReadsBothHalvesAndParameterSectors)
{
    Board board(Board::chip("s25fl256"));
    board.write(cmd4(0x12, 0x00FFFFFF, {0x01, 0x02})); // the second byte wraps to its page's start
    board.write(cmd4(0x12, 0x01000000, {0x03}));
    EXPECT_EQ(board.transact(cmd4(0x13, 0x00FFFFFF), 2), (Bytes{0x01, 0x03}));
    EXPECT_EQ(board.transact(Bytes{0x0C, 0x01, 0x00, 0x00, 0x00, 0x00}, 1), Bytes{0x03});
    EXPECT_EQ(board.read(0xFFFF00, 1), Bytes{0x02}) << "the page wrapped";
    EXPECT_EQ(board.read(0x000000, 1), Bytes{0xFF}) << "3-byte reads stay in the lower half";

    // 4 KiB parameter sectors: the bottom 128 KiB (TBPARM 0).
    for (uint32_t at : {0x0FFFu, 0x1000u, 0x2000u, 0x40000u})
        board.program(at, {0x00});
    board.write(Board::cmd(0x20, 0x1ABC));
    EXPECT_EQ(board.read(0x0FFF, 2), (Bytes{0x00, 0xFF}));
    EXPECT_EQ(board.read(0x2000, 1), Bytes{0x00});
    board.transact({0x06});
    board.transact(Board::cmd(0x20, 0x40000));
    EXPECT_TRUE(board.trace.spi().back().ignored) << "no parameter sector there";
    EXPECT_EQ(board.status(), 0x02);
    board.transact({0x04});
    board.write(Board::cmd(0xD8, 0x0000)); // 64 KiB, parameter sectors included
    EXPECT_EQ(board.read(0x0FFF, 1), Bytes{0xFF});
    EXPECT_EQ(board.read(0x2000, 1), Bytes{0xFF});
    for (uint8_t bulk : {0x60, 0xC7}) {
        board.program(0x40000, {0x00});
        board.write({bulk});
        EXPECT_EQ(board.read(0x40000, 1), Bytes{0xFF}) << int(bulk);
    }

    // TBPARM moves them to the top, once and for all.
    board.write({0x01, 0x00, 0x04});
    board.write({0x01, 0x00, 0x00});
    EXPECT_EQ(board.transact({0x35}, 1), Bytes{0x04}) << "a one-time bit";
    board.write(cmd4(0x12, 0x01FFF000, {0x00}));
    board.write(cmd4(0x21, 0x01FFF000));
    EXPECT_EQ(board.transact(cmd4(0x13, 0x01FFF000), 1), Bytes{0xFF});
}

TEST(S25flCommands, ProtectedSectorSetsAnErrorThatHoldsUntilCleared)
{
    Board board(Board::chip("s25fl256"));
    board.write({0x01, 0x04}); // BP = 1: the top 1/64, 512 KiB
    EXPECT_EQ(board.status(), 0x04);
    board.transact({0x06});
    board.transact(cmd4(0x12, 0x01F80000, {0x00}));
    EXPECT_EQ(board.status(), 0x47) << "P_ERR, with WIP and WEL held";
    EXPECT_EQ(board.waitReady(200), 201u) << "busy for good";
    EXPECT_EQ(board.transact({0x9F}, 1), Bytes{0xFF});
    board.transact({0x30});
    EXPECT_EQ(board.status(), 0x04);
    EXPECT_EQ(board.transact(cmd4(0x13, 0x01F80000), 1), Bytes{0xFF});

    board.transact({0x06});
    board.transact(cmd4(0xDC, 0x01FF0000));
    EXPECT_EQ(board.status(), 0x27) << "E_ERR";
    board.transact({0x30});
    board.transact({0x06});
    board.transact({0xC7});
    EXPECT_EQ(board.status() & 0x20, 0x20) << "no bulk erase while anything is protected";
    board.transact({0x30});
    board.write(cmd4(0x12, 0x01F7FFFF, {0x00}));
    EXPECT_EQ(board.transact(cmd4(0x13, 0x01F7FFFF), 1), Bytes{0x00}) << "just below the protected area";

    board.write({0x01, 0x04, 0x20}); // TBPROT: the bottom instead
    board.program(0x100, {0x00});
    EXPECT_EQ(board.status(), 0x47);
}

} // namespace
