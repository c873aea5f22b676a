#include "InstrumentBoard.h"

#include "tests/support/Files.h"

#include "emulator/DemoFirmware.h"
#include "emulator/FpgaConfigPort.h"

#include <algorithm>

namespace {

bool done(const InstrumentBoard& board) { return (board.board->readLowPins() & 0x80) != 0; }

const Bytes& demoBit()
{
    static const Bytes bit = emu::DemoFirmware::bitFile();
    return bit;
}

// Where the 32-bit word `value` starts in `bytes`, searched from `from`.
size_t find(const Bytes& bytes, uint32_t value, size_t from = 0)
{
    const Bytes pattern{uint8_t(value >> 24), uint8_t(value >> 16), uint8_t(value >> 8), uint8_t(value)};
    return size_t(std::search(bytes.begin() + std::ptrdiff_t(from), bytes.end(), pattern.begin(), pattern.end()) -
                  bytes.begin());
}

// Sends `bytes` to the FPGA the way the loader does: data with chip select
// high, then the closing 256 clocks.
void configure(InstrumentBoard& board, const Bytes& bytes)
{
    board.send(bytes);
    board.board->clockPulses(256);
}

TEST(FpgaPort, OnlyTheWholeDemoBitstreamRaisesDone)
{
    const Bytes& bit = demoBit();
    InstrumentBoard whole;
    configure(whole, bit);
    EXPECT_TRUE(done(whole));
    const emu::FpgaConfigPort& fpga = whole.board->fpga();
    EXPECT_TRUE(fpga.initB() && fpga.idcodeMatched() && fpga.busWidthSeen());
    EXPECT_EQ(fpga.frameWordsWritten(), 5420u * 101u) << "every frame of the XC7A35T";
    EXPECT_EQ(fpga.bytesReceived(), bit.size());

    for (size_t cut : {size_t(300), size_t(65536), bit.size() - 100}) {
        SCOPED_TRACE(cut);
        InstrumentBoard board;
        configure(board, Bytes(bit.begin(), bit.begin() + std::ptrdiff_t(cut)));
        board.board->clockPulses(100000);
        EXPECT_FALSE(done(board));
        EXPECT_TRUE(board.board->fpga().initB()) << "a short stream is no error, just not finished";
    }
}

TEST(FpgaPort, AnotherPartAWrongCrcOrReversedBitsNeverStart)
{
    // A full bitstream for the XC7A100T names another IDCODE.
    InstrumentBoard other;
    configure(other, emu::DemoFirmware::bitFile("other", "7a100tcsg324"));
    EXPECT_FALSE(done(other));
    EXPECT_FALSE(other.board->fpga().initB());
    EXPECT_FALSE(other.board->fpga().idcodeMatched());

    // One flipped bit in the frame data: the CRC check fails.
    Bytes damaged = demoBit();
    damaged[damaged.size() / 2] ^= 0x10;
    InstrumentBoard crc;
    configure(crc, damaged);
    EXPECT_FALSE(done(crc));
    EXPECT_TRUE(crc.board->fpga().crcError());
    EXPECT_FALSE(crc.board->fpga().initB());

    // Bytes sent LSB first: no sync word is ever seen.
    Bytes reversed = demoBit();
    for (uint8_t& b : reversed) {
        uint8_t r = 0;
        for (int i = 0; i < 8; ++i)
            r = uint8_t(r << 1 | ((b >> i) & 1));
        b = r;
    }
    InstrumentBoard lsb;
    configure(lsb, reversed);
    EXPECT_FALSE(done(lsb));
    EXPECT_FALSE(lsb.board->fpga().syncSeen());
    EXPECT_TRUE(lsb.board->fpga().initB());
}

TEST(FpgaPort, DoneFollowsStartAndItsStartupClocks)
{
    const Bytes& bit = demoBit();
    // The CMD write of START: header 0x30008001, then 0x00000005.
    size_t start = find(bit, 0x30008001, bit.size() - 100);
    while (start < bit.size() && !(bit[start + 4] == 0 && bit[start + 7] == 0x05))
        start = find(bit, 0x30008001, start + 1);
    ASSERT_LT(start, bit.size());
    InstrumentBoard board;
    board.send(Bytes(bit.begin(), bit.begin() + std::ptrdiff_t(start + 8)));
    EXPECT_FALSE(done(board));
    board.board->clockPulses(emu::FpgaConfigPort::startupClocks - 1);
    EXPECT_FALSE(done(board));
    board.board->shift(0xFF, 1); // a bit-wide shift is a clock too
    EXPECT_TRUE(done(board));

    // The sync word is hunted bit by bit: a stream three bits late still configures.
    InstrumentBoard late;
    late.board->shift(0xE0, 3);
    configure(late, bit);
    EXPECT_TRUE(done(late));
}

TEST(FpgaPort, ProgramPulseClearsEverythingAndHoldsOffData)
{
    InstrumentBoard board;
    configure(board, demoBit());
    ASSERT_TRUE(done(board));

    board.pins(0x08); // both control lines low
    EXPECT_FALSE(done(board));
    EXPECT_FALSE(board.board->fpga().initB());
    configure(board, demoBit()); // ignored while held
    board.pins(0x68);
    EXPECT_FALSE(done(board));
    EXPECT_TRUE(board.board->fpga().initB());
    EXPECT_EQ(board.board->fpga().bytesReceived(), 0u);

    configure(board, demoBit());
    board.pins(0x48); // one line low is no reset
    board.pins(0x68);
    EXPECT_TRUE(done(board));

    // An error sticks until the next pulse.
    InstrumentBoard failed;
    configure(failed, emu::DemoFirmware::bitFile("other", "7a100tcsg324"));
    configure(failed, demoBit());
    EXPECT_FALSE(done(failed));
    failed.pins(0x08);
    failed.pins(0x68);
    configure(failed, demoBit());
    EXPECT_TRUE(done(failed));

    // A flash access drives both lines low with chip select: the FPGA lets
    // go of the bus and takes none of the flash's bytes.
    EXPECT_EQ(board.transact({0x9F}, 3), (Bytes{0x20, 0xBA, 0x18}));
    EXPECT_FALSE(done(board));
    EXPECT_EQ(board.board->fpga().bytesReceived(), 0u);
}

// The 7-series configuration user guide's packet examples: the bus-width
// pattern, the sync word AA995566h, a Type 1 write of CMD (30008001h) with
// RCRC (7), a Type 1 write of IDCODE (30018001h) with the XC7A35T's
// 0362D093h, a Type 1 write of FDRI with no words (30004000h) followed by a
// Type 2 header carrying the XC7A35T's frame data count (50085A5Ch).
TEST(FpgaPort, UserGuidePacketHeadersByHand)
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

namespace {

// An instrument whose flash holds `image` at address 0, erased above it.
std::unique_ptr<InstrumentBoard> holding(const Bytes& image, emu::InstrumentOptions options = {})
{
    static const testsupport::ScratchDir dir("fpga-power");
    Bytes flash(16 << 20, 0xFF);
    std::copy(image.begin(), image.end(), flash.begin());
    options.imagePath = testsupport::writeFile(dir.path() / "flash.img", flash);
    return std::make_unique<InstrumentBoard>(options);
}

bool traced(const InstrumentBoard& board, const std::string& text)
{
    for (const std::string& event : board.trace.fpga())
        if (event.find(text) != std::string::npos)
            return true;
    return false;
}

} // namespace

TEST(FpgaPort, PowerCycleConfiguresFromTheFlashAtZero)
{
    const Bytes& bit = demoBit();
    const size_t cut = (bit.size() - 0x1000) & ~size_t(0xFF); // page-aligned: completed below
    emu::InstrumentOptions flipped;
    flipped.faults.flippedAddresses = {uint32_t(bit.size() / 2)};
    const struct
    {
        const char* what;
        Bytes image;
        emu::InstrumentOptions options;
        bool done;
        const char* event;
    } cases[] = {
        {"the demo bitstream", bit, {}, true, "DONE high"},
        {"another part's", emu::DemoFirmware::bitFile("other", "7a50tcsg324"), {}, false, "IDCODE 0362C093 (XC7A50T)"},
        {"a bit flipped in the frames", bit, flipped, false, "CRC error"},
        {"erased", {}, {}, false, "read 16777216 bytes of the flash from 0, DONE low"},
        {"cut short", Bytes(bit.begin(), bit.begin() + std::ptrdiff_t(cut)), {}, false, "read 16777216 bytes"},
    };
    std::unique_ptr<InstrumentBoard> board;
    for (const auto& c : cases) {
        SCOPED_TRACE(c.what);
        board = holding(c.image, c.options);
        EXPECT_EQ(board->board->powerCycle(), c.done);
        EXPECT_EQ(done(*board), c.done);
        EXPECT_TRUE(traced(*board, c.event));
    }

    // The cut stream, completed, starts the next time; an FPGA the bridge
    // holds in reset never reads the flash.
    for (size_t at = cut; at < bit.size(); at += 256)
        board->program(uint32_t(at), Bytes(bit.begin() + std::ptrdiff_t(at),
                                           bit.begin() + std::ptrdiff_t(std::min(bit.size(), at + 256))));
    EXPECT_TRUE(board->board->powerCycle());
    board->pins(0x08);
    EXPECT_FALSE(board->board->powerCycle());
    EXPECT_TRUE(traced(*board, "read 0 bytes"));
}
