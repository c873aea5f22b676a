#include "InstrumentBoard.h"

namespace {

// Dummy and bus-width words, the sync word (optional), then `payload` bytes.
Bytes bitstream(size_t payload, bool withSync = true)
{
    Bytes bytes{0xFF, 0xFF, 0xFF, 0xFF, 0x00, 0x00, 0x00, 0xBB, 0x11, 0x22, 0x00, 0x44};
    if (withSync)
        bytes.insert(bytes.end(), {0xAA, 0x99, 0x55, 0x66});
    bytes.resize(bytes.size() + payload, 0x30);
    return bytes;
}

bool done(const InstrumentBoard& board) { return (board.board->readLowPins() & 0x80) != 0; }

TEST(FpgaPort, DoneNeedsSyncEnoughDataAndClosingClocks)
{
    InstrumentBoard board;
    board.send(bitstream(63));
    board.board->clockPulses(256);
    EXPECT_FALSE(done(board)); // one byte short
    EXPECT_TRUE(board.board->fpga().syncSeen());
    board.send({0x00});
    board.board->clockPulses(7);
    EXPECT_FALSE(done(board));
    board.board->shift(0, 1); // bit-wide shifts are clocks too
    EXPECT_TRUE(done(board));
    EXPECT_EQ(board.board->fpga().bytesReceived(), bitstream(64).size());

    InstrumentBoard noSync;
    noSync.send(bitstream(4096, false));
    noSync.board->clockPulses(256);
    EXPECT_FALSE(done(noSync));
}

TEST(FpgaPort, ResetClearsConfigurationAndHoldsOffData)
{
    emu::InstrumentOptions options;
    options.fpgaBytesAfterSync = 8;
    InstrumentBoard board(options);
    auto configure = [&board] {
        board.send(bitstream(8));
        board.board->clockPulses(8);
    };
    configure();
    EXPECT_TRUE(done(board));

    board.pins(0x08); // both control lines low
    EXPECT_FALSE(done(board));
    configure();
    board.pins(0x68);
    EXPECT_FALSE(done(board));
    EXPECT_EQ(board.board->fpga().bytesReceived(), 0u);

    configure();
    board.pins(0x48); // one line low is no reset
    board.pins(0x68);
    EXPECT_TRUE(done(board));

    // A flash access drives both lines low with chip select: the FPGA lets
    // go of the bus and takes none of the flash's bytes.
    EXPECT_EQ(board.transact({0x9F}, 3), (Bytes{0x20, 0xBA, 0x18}));
    EXPECT_FALSE(done(board));
    EXPECT_EQ(board.board->fpga().bytesReceived(), 0u);
}

} // namespace
