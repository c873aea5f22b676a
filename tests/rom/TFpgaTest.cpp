// Direct FPGA configuration against the emulated instrument's FPGA port.
#include "tests/rom/RomRig.h"

#include "emulator/DemoFirmware.h"

using romtest::Bytes;
using romtest::Rig;

namespace {

const char kPort[] = "USB <-> Serial Converter B";

// A .bit file: header, then the raw stream with the sync word and data after it.
Bytes bitFile(size_t size)
{
    Bytes bytes = {0x00, 0x09, 0x0F, 0xF0, 0x0F, 0xF0, 0x0F, 0xF0, 0x0F, 0xF0, 0x00, 0x00, 0x01, 'e', 0x00, 0x02, 0x49, 0xF0};
    bytes.insert(bytes.end(), 32, 0xFF);
    for (unsigned char b : {0x00, 0x00, 0x00, 0xBB, 0x11, 0x22, 0x00, 0x44, 0xFF, 0xFF, 0xFF, 0xFF, 0xAA, 0x99, 0x55, 0x66})
        bytes.push_back(b);
    const auto data = romtest::pattern(size - bytes.size(), 4);
    bytes.insert(bytes.end(), data.begin(), data.end());
    return bytes;
}

std::vector<size_t> writeSizes(emu::CallTrace& trace)
{
    std::vector<size_t> sizes;
    for (const auto& call : trace.calls("FT_Write"))
        sizes.push_back(call.data.size());
    return sizes;
}

} // namespace

TEST(TFpga, OnlyNamesEndingInDotBitAreOpened)
{
    Rig rig;
    const auto dir = romtest::scratchDir();
    const auto good = bitFile(1000);
    for (const char* name : {"download.bit", "download.BIT", "image.bit.bak", "download", ".bit"})
        romtest::writeFile(dir / name, good);

    EXPECT_EQ(rig.fpga->FileOpen((dir / "download.bit").u8string()), 1);
    EXPECT_EQ(rig.console.out(), "File read successfully. Size: 1000 bytes\n");
    EXPECT_EQ(rig.fpga->bitstreamData, good);

    for (const char* name : {"download.BIT", "image.bit.bak", "download", ".bit"}) {
        SCOPED_TRACE(name);
        EXPECT_EQ(rig.fpga->FileOpen((dir / name).u8string()), 0);
        EXPECT_EQ(rig.console.err(), "Invalid file type: Xilinx bitstream [.bit] required.\n");
    }
    const std::string missing = (dir / "missing.bit").u8string();
    EXPECT_EQ(rig.fpga->FileOpen(missing), 0);
    EXPECT_EQ(rig.console.err(), "Error opening file for reading: " + missing + "\n");
    EXPECT_EQ(rig.fpga->bitstreamData, good);
    EXPECT_EQ(rig.fpga->bitstreamSize, 1000);

    EXPECT_EQ(rig.fpga->ExtractFileExt("firmware\\download.bit"), ".bit");
    for (const char* none : {"dir.d/name", "..", "fw.bit/"})
        EXPECT_EQ(rig.fpga->ExtractFileExt(none), "") << none;
}

TEST(TFpga, BitstreamGoesOutInChunksEvenWhenOneFails)
{
    const auto file = romtest::writeFile(romtest::scratchDir() / "download.bit", bitFile(150000));
    Rig rig;
    ASSERT_EQ(rig.fpga->FileOpen(file), 1);
    ASSERT_EQ(rig.fpga->Reset(), 1);
    const size_t writesBefore = rig.trace().calls("FT_Write").size();
    rig.trace().clear();
    rig.console.clear();
    EXPECT_EQ(rig.fpga->Configuration(), 1);
    EXPECT_EQ(rig.console.out(), "Progress: 1\nProgress: 2\nProgress: 3\nConfiguration...OK\n");
    EXPECT_THAT(writeSizes(rig.trace()), testing::ElementsAre(65539u, 65539u, 18931u, 2u));
    EXPECT_EQ(rig.trace().calls("FT_Write").back().data, (std::vector<uint8_t>{0x8E, 0xFF}));
    EXPECT_EQ(rig.fpga->chunkCount, 0);
    int32_t done = 1;
    EXPECT_EQ(rig.fpga->DoneCheck(done), 1);
    EXPECT_EQ(done, 0) << "framing alone, no frames: the FPGA does not start";
    EXPECT_EQ(rig.driver->instrument()->fpga().bytesReceived(), 150000u);

    // The same run with the second chunk's write failing.
    const uint64_t second = romtest::writeIndex(rig.trace(), {0x11, 0xFF, 0xFF}, 2);
    ASSERT_NE(second, 0u);
    Rig failing("mt25q128", "FT_Write@" + std::to_string(writesBefore + second));
    ASSERT_EQ(failing.fpga->FileOpen(file), 1);
    ASSERT_EQ(failing.fpga->Reset(), 1);
    failing.console.clear();
    EXPECT_EQ(failing.fpga->Configuration(), 0);
    EXPECT_THAT(failing.console.err(), testing::HasSubstr("Configuration...NG\n"));
    EXPECT_EQ(failing.console.out(), "Progress: 1\n");
    EXPECT_EQ(failing.trace().calls("FT_Write").back().data, (std::vector<uint8_t>{0x8E, 0xFF}));
    EXPECT_EQ(failing.fpga->chunkCount, 0);
}

TEST(TFpga, ConfigTopConfiguresOnlyFromTheNamedFile)
{
    const auto dir = romtest::scratchDir();
    Rig rig;
    ASSERT_EQ(rig.ftdi->PortClose(), 1); // ConfigTop opens the port itself
    rig.trace().clear();
    EXPECT_EQ(rig.fpga->ConfigTop(kPort, dir / "download.bit"), 0) << "no file yet";
    EXPECT_EQ(rig.driver->instrument()->fpga().bytesReceived(), 0u);
    EXPECT_EQ(rig.trace().calls("FT_Close").size(), 1u);

    const Bytes bit = emu::DemoFirmware::bitFile();
    romtest::writeFile(dir / "download.bit", bit);
    EXPECT_EQ(rig.fpga->ConfigTop(kPort, dir / "download.bit"), 1);
    EXPECT_TRUE(rig.driver->instrument()->fpga().done());
    EXPECT_EQ(rig.driver->instrument()->fpga().bytesReceived(), bit.size());
    EXPECT_EQ(rig.trace().calls("FT_Close").size(), 2u);

    // A later missing file must not send the bitstream loaded before.
    rig.trace().clear();
    EXPECT_EQ(rig.fpga->ConfigTop(kPort, dir / "gone.bit"), 0);
    for (const auto& call : rig.trace().calls("FT_Write"))
        EXPECT_LT(call.data.size(), 100u);
    EXPECT_EQ(rig.driver->instrument()->fpga().bytesReceived(), 0u);
    EXPECT_EQ(rig.trace().calls("FT_Close").size(), 1u);
}
