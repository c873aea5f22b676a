#include "tests/ftdi/FtdiBench.h"

#include "emulator/DemoFirmware.h"

#include <algorithm>

#include <functional>

namespace {

Bytes pattern(size_t length, unsigned seed)
{
    Bytes out(length);
    for (size_t i = 0; i < length; ++i)
        out[i] = static_cast<uint8_t>(i * seed + (i >> 8) + seed);
    return out;
}

Bytes concat(std::initializer_list<Bytes> parts)
{
    Bytes out;
    for (const auto& part : parts)
        out.insert(out.end(), part.begin(), part.end());
    return out;
}

} // namespace

// How the flash itself treats these commands is proven on the flash model;
// here: the exact transactions, and that they land where they should.
TEST_F(FtdiBench, ProgramReadAndEraseGoOutAsWholeTransactions)
{
    ASSERT_NO_FATAL_FAILURE(start());
    Bytes page = pattern(256, 3), zeros(16, 0x00);
    ASSERT_EQ(ftdi->MPSSE_PageProgram(0x123400, page.data(), 256), 1);
    EXPECT_EQ(writes(), (std::vector<Bytes>{kWriteEnableBytes, concat({{0x80, 0x00, 0x6B, 0x11, 0x03, 0x01, 0x02, 0x12, 0x34, 0x00},
                                                                       page, {0x80, 0x68, 0x6B}})}));
    ASSERT_EQ(ftdi->MPSSE_PageProgram(0x130000, zeros.data(), 16), 1); // in the next sector

    driver->trace().clear();
    const Bytes sector = readFlash(0x120000, 65536);
    EXPECT_TRUE(std::equal(page.begin(), page.end(), sector.begin() + 0x3400));
    EXPECT_EQ(writes(), (std::vector<Bytes>{{0x80, 0x00, 0x6B, 0x11, 0x03, 0x00, 0x03, 0x12, 0x00, 0x00, 0x20, 0xFF, 0xFF, 0x87, 0x80, 0x68, 0x6B}}));
    ASSERT_EQ(driver->trace().calls("FT_Read").size(), 1u);
    EXPECT_EQ(driver->trace().calls("FT_Read")[0].data.size(), 65536u);

    // The top address byte is not sent; the next sector keeps its data.
    driver->trace().clear();
    ASSERT_EQ(ftdi->MPSSE_EraseSector(0xAB123456), 1);
    EXPECT_EQ(writes(), (std::vector<Bytes>{kWriteEnableBytes, {0x80, 0x00, 0x6B, 0x11, 0x03, 0x00, 0xD8, 0x12, 0x34, 0x56, 0x80, 0x68, 0x6B}}));
    EXPECT_EQ(readFlash(0x120000, 65536), Bytes(65536, 0xFF));
    EXPECT_EQ(readFlash(0x130000, 16), zeros);

    // Lengths out of range send nothing at all.
    driver->trace().clear();
    Bytes big(65537, 0x11);
    EXPECT_EQ(ftdi->MPSSE_ReadDataBytes(0, big.data(), 65537), 0);
    EXPECT_EQ(ftdi->MPSSE_ReadDataBytes(0, big.data(), 0), 0);
    EXPECT_EQ(ftdi->MPSSE_Configuration(big.data(), 65537), 0);
    EXPECT_EQ(ftdi->MPSSE_PageProgram(0, big.data(), 65533), 0);
    EXPECT_EQ(big, Bytes(65537, 0x11));
    EXPECT_TRUE(driver->trace().calls().empty());
}

// Each chip's identification, and the register kept in an image file, are
// proven through TRom and the tool; here: the exact register transactions.
TEST_F(FtdiBench, ConfigurationRegisterGoesOutLowByteFirst)
{
    ASSERT_NO_FATAL_FAILURE(start());
    EXPECT_EQ(ftdi->MPSSE_NVCRWrite(0x12, 0x34), 1);
    EXPECT_EQ(console.out(), "NVCR Write Success\n");
    EXPECT_EQ(writes(), (std::vector<Bytes>{kWriteEnableBytes, {0x80, 0x00, 0x6B, 0x11, 0x02, 0x00, 0xB1, 0x34, 0x12, 0x87, 0x80, 0x68, 0x6B}}));
    unsigned char value[2] = {};
    EXPECT_EQ(ftdi->MPSSE_NVCRRead(value), 1);
    EXPECT_EQ(value[0], 0x34);
    EXPECT_EQ(value[1], 0x12);
}

TEST_F(FtdiBench, MissingReplyFailsEachReadAndLeavesItsOutput)
{
    using Read = std::function<int32_t(TFtdi&, unsigned char*)>;
    const std::pair<const char*, Read> reads[] = {
        {"ReadID", [](TFtdi& f, unsigned char* out) { return f.MPSSE_ReadID(*out); }},
        {"ReadStatus", [](TFtdi& f, unsigned char* out) { return f.MPSSE_ReadStatus(*out); }},
        {"ReadFlagStatus", [](TFtdi& f, unsigned char* out) { return f.MPSSE_ReadFlagStatus(*out); }},
        {"NVCRRead", [](TFtdi& f, unsigned char* out) { return f.MPSSE_NVCRRead(out); }},
        {"ReadDataBytes", [](TFtdi& f, unsigned char* out) { return f.MPSSE_ReadDataBytes(0, out, 16); }},
    };
    for (const auto& [name, read] : reads) {
        SCOPED_TRACE(name);
        ASSERT_NO_FATAL_FAILURE(start("no-reply@1"));
        Bytes out(16, 0xEE);
        const uint64_t before = nowUs();
        EXPECT_EQ(read(*ftdi, out.data()), 0);
        EXPECT_EQ(console.out() + console.err(), "");
        EXPECT_GE(nowUs() - before, 1000000u);
        EXPECT_EQ(out, Bytes(16, 0xEE));
    }

    // The pin read fails as well when its reply cannot be fetched.
    ASSERT_NO_FATAL_FAILURE(start("FT_Read@1"));
    unsigned char pins = 0xEE;
    EXPECT_EQ(ftdi->MPSSE_ReadDataBitsLowByte(&pins), 0);
    EXPECT_EQ(pins, 0xEE);
    EXPECT_EQ(ftdi->MPSSE_ReadDataBitsLowByte(&pins), 1);
    EXPECT_EQ(pins & 0x6B, 0x68);
}

TEST_F(FtdiBench, FailedWritesStopTheOperationAndSayWhere)
{
    Bytes data(64, 0x00);
    const std::string wren = "Error::TFtdi::MPSSE_WriteEnable()::FW_Write()\n";
    struct Case
    {
        int failingWrite; // the open's set-up is write 1: 2 is the write enable, 3 the command after it
        std::function<int32_t(TFtdi&)> run;
        std::string err; // every diagnostic of a failure goes to standard error
    };
    const Case cases[] = {
        {2, [](TFtdi& f) { return f.MPSSE_WriteEnable(); }, wren},
        {2, [](TFtdi& f) { return f.MPSSE_BulkErase(); }, wren + "Error::TFtdi::MPSSE_BulkErase()::MPSSE_WriteEnable()\n"},
        {2, [](TFtdi& f) { return f.MPSSE_EraseSector(0); }, wren + "Error::TFtdi::MPSSE_SectorErase()::MPSSE_WriteEnable()\n"},
        {2, [](TFtdi& f) { return f.MPSSE_NVCRWrite(1, 2); }, wren},
        {2, [&](TFtdi& f) { return f.MPSSE_PageProgram(0, data.data(), 64); }, wren + "Error::TFtdi::MPSSE_PageProgram::MPSSE_WriteEnable\n"},
        {2, [&](TFtdi& f) { return f.MPSSE_Configuration(data.data(), 64); }, "Error::TFtdi::MPSSE_PageProgram::FW_Write\n"},
        {3, [](TFtdi& f) { return f.MPSSE_BulkErase(); }, "Error::TFtdi::MPSSE_BulkErase()::FW_Write()\n"},
        {3, [](TFtdi& f) { return f.MPSSE_EraseSector(0); }, "Error::TFtdi::MPSSE_SectorErase()::FW_Write()\n"},
        {3, [](TFtdi& f) { return f.MPSSE_NVCRWrite(1, 2); }, ""},
        {3, [&](TFtdi& f) { return f.MPSSE_PageProgram(0, data.data(), 64); }, "Error::TFtdi::MPSSE_PageProgram::FW_Write\n"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(std::to_string(c.failingWrite) + " " + c.err);
        ASSERT_NO_FATAL_FAILURE(start("FT_Write@" + std::to_string(c.failingWrite)));
        EXPECT_EQ(c.run(*ftdi), 0);
        EXPECT_EQ(console.out(), "");
        EXPECT_EQ(console.err(), c.err);
        // Nothing follows a failed write enable.
        const bool commandFailed = c.failingWrite == 3;
        EXPECT_EQ(writes(), commandFailed ? std::vector<Bytes>{kWriteEnableBytes} : std::vector<Bytes>{});
        // The failed write emptied the queues for the next command.
        EXPECT_EQ(driver->trace().calls("FT_Purge").size(), 1u);
        EXPECT_FALSE(ftdi->LinkLost());
        EXPECT_EQ(driver->trace().spi().size(), commandFailed ? 1u : 0u);
    }
}

TEST_F(FtdiBench, ConfiguresTheFpgaAndReadsDone)
{
    ASSERT_NO_FATAL_FAILURE(start());
    const uint64_t before = nowUs();
    ASSERT_EQ(ftdi->MPSSE_FPGAReset(), 1);
    EXPECT_GE(nowUs() - before, 1000000u);
    EXPECT_EQ(writes(), (std::vector<Bytes>{{0x80, 0x08, 0x6B}, {0x80, 0x68, 0x6B}}));

    Bytes stream = concat({Bytes(32, 0xFF), {0x00, 0x00, 0x00, 0xBB, 0x11, 0x22, 0x00, 0x44, 0xFF, 0xFF, 0xFF, 0xFF},
                                 {0xAA, 0x99, 0x55, 0x66}, pattern(600, 11)});
    driver->trace().clear();
    ASSERT_EQ(ftdi->MPSSE_Configuration(stream.data(), static_cast<int32_t>(stream.size())), 1);
    ASSERT_EQ(ftdi->MPSSE_SendClock(0xFF), 1);
    const uint16_t field = static_cast<uint16_t>(stream.size() - 1);
    EXPECT_EQ(writes(), (std::vector<Bytes>{concat({{0x11, static_cast<uint8_t>(field), static_cast<uint8_t>(field >> 8)}, stream}),
                                            {0x8E, 0xFF}}));

    driver->trace().clear();
    int32_t done = -1;
    EXPECT_EQ(ftdi->MPSSE_GetDone(done), 1);
    EXPECT_EQ(done, 0) << "the framing without the frames does not start the FPGA";
    // A whole bitstream, in chunks, does.
    ASSERT_EQ(ftdi->MPSSE_FPGAReset(), 1);
    const std::vector<uint8_t> bit = emu::DemoFirmware::bitFile();
    for (size_t at = 0; at < bit.size(); at += 65536) {
        std::vector<uint8_t> chunk(bit.begin() + std::ptrdiff_t(at), bit.begin() + std::ptrdiff_t(std::min(bit.size(), at + 65536)));
        ASSERT_EQ(ftdi->MPSSE_Configuration(chunk.data(), static_cast<int32_t>(chunk.size())), 1);
    }
    ASSERT_EQ(ftdi->MPSSE_SendClock(0xFF), 1);
    driver->trace().clear();
    EXPECT_EQ(ftdi->MPSSE_GetDone(done), 1);
    EXPECT_EQ(done, 1);
    EXPECT_EQ(functions(), (std::vector<std::string>{"FT_SetBitMode", "FT_GetBitMode", "FT_SetBitMode", "FT_Write"}));
    EXPECT_EQ(driver->trace().calls("FT_SetBitMode").at(0).arguments, "mask=0x0 mode=0x20");
    EXPECT_EQ(driver->trace().calls("FT_SetBitMode").at(1).arguments, "mask=0x0 mode=0x2");
    EXPECT_EQ(writes(), std::vector<Bytes>{kSetupBytes});
    driver->trace().clear();
    unsigned char id = 0;
    EXPECT_EQ(ftdi->MPSSE_ReadID(id), 1); // back in MPSSE mode
    EXPECT_EQ(id, 0x18);
    EXPECT_EQ(writes(), (std::vector<Bytes>{{0x80, 0x00, 0x6B, 0x11, 0x00, 0x00, 0x9F, 0x20, 0x13, 0x00, 0x87, 0x80, 0x68, 0x6B}}));
    EXPECT_EQ(driver->trace().calls("FT_Read").at(0).data.size(), 20u);

    ASSERT_EQ(ftdi->MPSSE_FPGAReset(), 1);
    EXPECT_EQ(ftdi->MPSSE_GetDone(done), 1);
    EXPECT_EQ(done, 0);
}
