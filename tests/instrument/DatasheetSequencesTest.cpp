// Byte sequences as the datasheets and guides print them in their examples
// and figures, fed to the models from the outside: if a model and the loader
// shared a mistake, these would still catch it.
#include "InstrumentBoard.h"

#include "emulator/FpgaConfigPort.h"

namespace {

using Board = InstrumentBoard;

// MT25QL128ABA: READ ID answers 20h (Micron), BAh (3 V), 18h (128Mb), then
// the number of bytes still to come, 10h. READ FLAG STATUS REGISTER, 70h,
// shows bit 7 set when ready. FAST READ is 0Bh, three address bytes, eight
// dummy clocks by default; READ 03h has none. WRITE ENABLE 06h sets bit 1 of
// the status register (05h).
TEST(DatasheetSequences, Mt25qFigures)
{
    Board board;
    EXPECT_EQ(board.transact({0x9F}, 4), (Bytes{0x20, 0xBA, 0x18, 0x10}));
    EXPECT_EQ(board.transact({0x70}, 1), Bytes{0x80});
    board.transact({0x06});
    EXPECT_EQ(board.transact({0x05}, 1), Bytes{0x02});
    board.transact({0x02, 0x00, 0x01, 0x00, 0xC3});
    board.waitReady();
    EXPECT_EQ(board.transact({0x03, 0x00, 0x01, 0x00}, 1), Bytes{0xC3});
    EXPECT_EQ(board.transact({0x0B, 0x00, 0x01, 0x00, 0x00}, 1), Bytes{0xC3});
    // ENTER 4-BYTE ADDRESS MODE B7h: READ 03h then takes A31-A0; flag status bit 0 says so.
    board.transact({0xB7});
    EXPECT_EQ(board.transact({0x70}, 1), Bytes{0x81});
    EXPECT_EQ(board.transact({0x03, 0x00, 0x00, 0x01, 0x00}, 1), Bytes{0xC3});
    board.transact({0xE9});
    // 4-BYTE FAST READ 0Ch: A31-A0 and eight dummy clocks in either mode.
    EXPECT_EQ(board.transact({0x0C, 0x00, 0x00, 0x01, 0x00, 0x00}, 1), Bytes{0xC3});
}

// S25FL256S: READ_ID 90h with address 000000h gives 01h (Spansion) then 18h;
// RES ABh with three dummy bytes gives 18h; RDID 9Fh 01h 02h 19h; RDCR 35h
// reads the configuration register (factory 00h); BRWR 17h / BRRD 16h the
// bank register, whose bit 0 is A24 for the 3-byte commands.
TEST(DatasheetSequences, S25flFigures)
{
    Board board(Board::chip("s25fl256"));
    EXPECT_EQ(board.transact({0x90, 0x00, 0x00, 0x00}, 2), (Bytes{0x01, 0x18}));
    EXPECT_EQ(board.transact({0xAB, 0x00, 0x00, 0x00}, 1), Bytes{0x18});
    EXPECT_EQ(board.transact({0x9F}, 3), (Bytes{0x01, 0x02, 0x19}));
    EXPECT_EQ(board.transact({0x35}, 1), Bytes{0x00});
    board.transact({0x17, 0x01});
    EXPECT_EQ(board.transact({0x16}, 1), Bytes{0x01});
    board.transact({0x06});
    board.transact({0x02, 0x00, 0x00, 0x10, 0x3C});
    board.waitReady();
    board.transact({0x17, 0x00});
    EXPECT_EQ(board.transact({0x13, 0x01, 0x00, 0x00, 0x10}, 1), Bytes{0x3C});
    EXPECT_EQ(board.transact({0x03, 0x00, 0x00, 0x10}, 1), Bytes{0xFF});
}

// The 7-series configuration user guide's packet examples: the bus-width
// pattern, the sync word AA995566h, a Type 1 write of CMD (30008001h) with
// RCRC (7), a Type 1 write of IDCODE (30018001h) with the XC7A35T's
// 0362D093h, a Type 1 write of FDRI with no words (30004000h) followed by a
// Type 2 header carrying the XC7A35T's frame data count (50085A5Ch).
TEST(DatasheetSequences, Ug470PacketHeaders)
{
    const uint32_t words[] = {0xFFFFFFFF, 0x000000BB, 0x11220044, 0xFFFFFFFF, 0xAA995566, 0x20000000,
                              0x30008001, 0x00000007, 0x20000000, 0x30018001, 0x0362D093, 0x30004000, 0x50085A5C};
    emu::FpgaConfigPort fpga;
    for (uint32_t word : words)
        for (int shift = 24; shift >= 0; shift -= 8)
            fpga.shift(uint8_t(word >> shift), 8);
    EXPECT_TRUE(fpga.busWidthSeen());
    EXPECT_TRUE(fpga.syncSeen());
    EXPECT_TRUE(fpga.idcodeMatched());
    for (uint32_t i = 0; i < 0x85A5C; ++i)
        fpga.shift(0, 8), fpga.shift(0, 8), fpga.shift(0, 8), fpga.shift(0, 8);
    EXPECT_EQ(fpga.frameWordsWritten(), 0x85A5Cu) << "exactly the XC7A35T's frames";
    EXPECT_TRUE(fpga.initB());

    // The XC7A100T's IDCODE, 13631093h (revision 1), is another part.
    emu::FpgaConfigPort other;
    for (uint32_t word : {0xAA995566u, 0x30018001u, 0x13631093u})
        for (int shift = 24; shift >= 0; shift -= 8)
            other.shift(uint8_t(word >> shift), 8);
    EXPECT_FALSE(other.idcodeMatched());
    EXPECT_FALSE(other.initB());
}

} // namespace
