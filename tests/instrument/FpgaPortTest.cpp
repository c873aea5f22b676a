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

struct FpgaBoard : InstrumentBoard
{
    using InstrumentBoard::InstrumentBoard;
    bool done() const { return (board->readLowPins() & 0x80) != 0; }
    void pins(uint8_t value) { board->setLowPins(value, direction); }
    void send(const Bytes& bytes)
    {
        for (uint8_t byte : bytes)
            board->shift(byte, 8);
    }
};

TEST(FpgaPort, DoneNeedsSyncEnoughDataAndClosingClocks)
{
    FpgaBoard board;
    board.pins(0x08);
    board.pins(0x68);
    board.send(bitstream(63));
    board.board->clockPulses(256);
    EXPECT_FALSE(board.done()); // one byte short
    EXPECT_TRUE(board.board->fpga().syncSeen());
    board.send({0x00});
    board.board->clockPulses(7);
    EXPECT_FALSE(board.done());
    board.board->clockPulses(1);
    EXPECT_TRUE(board.done());
    EXPECT_EQ(board.board->fpga().bytesReceived(), bitstream(64).size());

    FpgaBoard bits; // bit-wide shifts are clocks too
    bits.send(bitstream(64));
    bits.board->shift(0, 7);
    EXPECT_FALSE(bits.done());
    bits.board->shift(0, 1);
    EXPECT_TRUE(bits.done());

    FpgaBoard noSync;
    noSync.send(bitstream(4096, false));
    noSync.board->clockPulses(256);
    EXPECT_FALSE(noSync.done());
}

TEST(FpgaPort, ResetClearsConfigurationAndHoldsOffData)
{
    emu::InstrumentOptions options;
    options.fpgaBytesAfterSync = 8;
    FpgaBoard board(options);
    board.send(bitstream(8));
    board.board->clockPulses(8);
    EXPECT_TRUE(board.done());

    board.pins(0x08); // both control lines low
    EXPECT_FALSE(board.done());
    board.send(bitstream(8));
    board.board->clockPulses(8);
    board.pins(0x68);
    EXPECT_FALSE(board.done());
    EXPECT_EQ(board.board->fpga().bytesReceived(), 0u);

    board.send(bitstream(8));
    board.board->clockPulses(8);
    board.pins(0x48); // one line low is no reset
    board.pins(0x68);
    EXPECT_TRUE(board.done());

    // A flash access drives both lines low with chip select: the FPGA lets
    // go of the bus and takes none of the flash's bytes.
    EXPECT_EQ(board.transact({0x9F}, 3), (Bytes{0x20, 0xBA, 0x18}));
    EXPECT_FALSE(board.done());
    EXPECT_EQ(board.board->fpga().bytesReceived(), 0u);
}

} // namespace
