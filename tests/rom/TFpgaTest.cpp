// Direct FPGA configuration against the emulated instrument's FPGA port.
#include "device/TFpga.h"
#include "emulator/FpgaConfigPort.h"
#include "tests/rom/RomRig.h"

#include <gmock/gmock.h>

using testing::ElementsAre;
using testing::HasSubstr;

namespace {

const char kPort[] = "USB <-> Serial Converter B";

// A .bit file: header, then the raw stream with the sync word and data after it.
std::vector<unsigned char> bitFile(size_t size)
{
    std::vector<unsigned char> bytes = {0x00, 0x09, 0x0F, 0xF0, 0x0F, 0xF0, 0x0F, 0xF0, 0x0F, 0xF0, 0x00, 0x00, 0x01,
                                        'e',  0x00, 0x02, 0x49, 0xF0};
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

struct Board
{
    explicit Board(const std::string& faults = "")
        : driver(romtest::makeDriver("mt25q128", faults)), ftdi(driver, driver->clock()), fpga(&ftdi)
    {
    }
    std::shared_ptr<d2xx::EmulatedDriver> driver;
    TFtdi ftdi;
    TFpga fpga;
};

} // namespace

TEST(TFpgaFileOpen, OnlyNamesEndingInDotBitAreOpened)
{
    Board board;
    const auto dir = romtest::scratchDir();
    const auto good = bitFile(1000);
    for (const char* name : {"download.bit", "download.BIT", "image.bit.bak", "download", ".bit"})
        romtest::writeFile(dir / name, good);

    testing::internal::CaptureStdout();
    EXPECT_EQ(board.fpga.FileOpen((dir / "download.bit").u8string()), 1);
    EXPECT_EQ(testing::internal::GetCapturedStdout(), "File read successfully. Size: 1000 bytes\n");
    EXPECT_EQ(board.fpga.bitstreamData, good);

    for (const char* name : {"download.BIT", "image.bit.bak", "download", ".bit"}) {
        SCOPED_TRACE(name);
        testing::internal::CaptureStderr();
        EXPECT_EQ(board.fpga.FileOpen((dir / name).u8string()), 0);
        EXPECT_EQ(testing::internal::GetCapturedStderr(), "Invalid file type: Xilinx bitstream [.bit] required.\n");
    }
    const std::string missing = (dir / "missing.bit").u8string();
    testing::internal::CaptureStderr();
    EXPECT_EQ(board.fpga.FileOpen(missing), 0);
    EXPECT_EQ(testing::internal::GetCapturedStderr(), "Error opening file for reading: " + missing + "\n");
    EXPECT_EQ(board.fpga.bitstreamData, good);
    EXPECT_EQ(board.fpga.bitstreamSize, 1000);

    EXPECT_EQ(board.fpga.ExtractFileExt("firmware\\download.bit"), ".bit");
    EXPECT_EQ(board.fpga.ExtractFileExt("dir.d/name"), "");
    EXPECT_EQ(board.fpga.ExtractFileExt(".."), "");
    EXPECT_EQ(board.fpga.ExtractFileExt("fw.bit/"), "");
}

TEST(TFpgaConfiguration, BitstreamGoesOutInChunksAndTheFpgaIsDone)
{
    Board board;
    ASSERT_EQ(board.ftdi.PortOpen(kPort), 1);
    ASSERT_EQ(board.fpga.FileOpen(romtest::writeFile(romtest::scratchDir() / "download.bit", bitFile(150000))), 1);
    ASSERT_EQ(board.fpga.Reset(), 1);
    board.driver->trace().clear();

    testing::internal::CaptureStdout();
    EXPECT_EQ(board.fpga.Configuration(), 1);
    EXPECT_EQ(testing::internal::GetCapturedStdout(), "Progress: 1\nProgress: 2\nProgress: 3\nConfiguration...OK\n");
    EXPECT_THAT(writeSizes(board.driver->trace()), ElementsAre(65539u, 65539u, 18931u, 2u));
    EXPECT_EQ(board.driver->trace().calls("FT_Write").back().data, (std::vector<uint8_t>{0x8E, 0xFF}));
    EXPECT_EQ(board.fpga.chunkCount, 0);

    int32_t done = 0;
    EXPECT_EQ(board.fpga.DoneCheck(done), 1);
    EXPECT_EQ(done, 1);
    EXPECT_EQ(board.driver->instrument()->fpga().bytesReceived(), 150000u);
}

TEST(TFpgaConfiguration, FailedSecondChunkStillSendsTheClosingClocks)
{
    Board dry;
    ASSERT_EQ(dry.ftdi.PortOpen(kPort), 1);
    const auto file = romtest::writeFile(romtest::scratchDir() / "download.bit", bitFile(150000));
    ASSERT_EQ(dry.fpga.FileOpen(file), 1);
    testing::internal::CaptureStdout();
    ASSERT_EQ(dry.fpga.Configuration(), 1);
    testing::internal::GetCapturedStdout();
    const auto sizes = writeSizes(dry.driver->trace());
    const auto second = std::find(std::find(sizes.begin(), sizes.end(), 65539u) + 1, sizes.end(), 65539u);
    ASSERT_NE(second, sizes.end());

    Board board("FT_Write@" + std::to_string(second - sizes.begin() + 1));
    ASSERT_EQ(board.ftdi.PortOpen(kPort), 1);
    ASSERT_EQ(board.fpga.FileOpen(file), 1);
    testing::internal::CaptureStdout();
    testing::internal::CaptureStderr();
    EXPECT_EQ(board.fpga.Configuration(), 0);
    EXPECT_THAT(testing::internal::GetCapturedStderr(), HasSubstr("Configuration...NG\n"));
    EXPECT_EQ(testing::internal::GetCapturedStdout(), "Progress: 1\n");
    EXPECT_EQ(board.driver->trace().calls("FT_Write").back().data, (std::vector<uint8_t>{0x8E, 0xFF}));
    EXPECT_EQ(board.fpga.chunkCount, 0);
}

TEST(TFpgaConfigTop, ConfiguresOnlyFromTheNamedFile)
{
    const auto dir = romtest::scratchDir();
    Board board;
    testing::internal::CaptureStdout();
    EXPECT_EQ(board.fpga.ConfigTop(kPort, dir / "download.bit"), 0) << "no file yet";
    EXPECT_EQ(board.driver->instrument()->fpga().bytesReceived(), 0u);
    EXPECT_EQ(board.driver->trace().calls("FT_Close").size(), 1u);

    romtest::writeFile(dir / "download.bit", bitFile(70000));
    EXPECT_EQ(board.fpga.ConfigTop(kPort, dir / "download.bit"), 1);
    EXPECT_TRUE(board.driver->instrument()->fpga().done());
    EXPECT_EQ(board.driver->instrument()->fpga().bytesReceived(), 70000u);
    EXPECT_EQ(board.driver->trace().calls("FT_Close").size(), 2u);

    // A later missing file must not send the bitstream loaded before.
    board.driver->trace().clear();
    EXPECT_EQ(board.fpga.ConfigTop(kPort, dir / "gone.bit"), 0);
    testing::internal::GetCapturedStdout();
    for (const auto& call : board.driver->trace().calls("FT_Write"))
        EXPECT_LT(call.data.size(), 100u);
    EXPECT_EQ(board.driver->instrument()->fpga().bytesReceived(), 0u);
    EXPECT_EQ(board.driver->trace().calls("FT_Close").size(), 1u);
}
