#include "tests/ftdi/FtdiBench.h"

#include <filesystem>
#include <functional>

namespace {

Bytes pattern(size_t length, unsigned seed)
{
    Bytes out(length);
    for (size_t i = 0; i < length; ++i)
        out[i] = static_cast<uint8_t>(i * seed + (i >> 8) + seed);
    return out;
}

d2xx::EmulatedDriverOptions withChip(const char* chip)
{
    d2xx::EmulatedDriverOptions options;
    options.instrument.chip = chip;
    return options;
}

Bytes concat(std::initializer_list<Bytes> parts)
{
    Bytes out;
    for (const auto& part : parts)
        out.insert(out.end(), part.begin(), part.end());
    return out;
}

} // namespace

TEST_F(FtdiBench, ReadsTheCapacityByteOfEachChip)
{
    const std::pair<const char*, unsigned char> chips[] = {
        {"mt25q128", 0x18}, {"s25fl256", 0x19}, {"arty", 0x0C}, {"corrupted", 0xFF}};
    for (const auto& [chip, capacity] : chips) {
        SCOPED_TRACE(chip);
        start("", true, withChip(chip));
        unsigned char id = 0x55;
        EXPECT_EQ(ftdi->MPSSE_ReadID(id), 1);
        EXPECT_EQ(id, capacity);
        EXPECT_EQ(writes(), (std::vector<Bytes>{{0x80, 0x00, 0x6B, 0x11, 0x00, 0x00, 0x9F, 0x20, 0x13, 0x00, 0x87, 0x80, 0x68, 0x6B}}));
        EXPECT_EQ(driver->trace().calls("FT_Read").at(0).data.size(), 20u);
    }
}

TEST_F(FtdiBench, ProgramReadAndEraseReachTheFlashInWholeTransactions)
{
    start();
    Bytes first = pattern(256, 3), second = pattern(256, 7), both(256), zeros(16, 0x00);
    for (size_t i = 0; i < 256; ++i)
        both[i] = first[i] & second[i];
    ASSERT_EQ(ftdi->MPSSE_PageProgram(0x123400, first.data(), 256), 1);
    EXPECT_EQ(writes(), (std::vector<Bytes>{kWriteEnableBytes, concat({{0x80, 0x00, 0x6B, 0x11, 0x03, 0x01, 0x02, 0x12, 0x34, 0x00},
                                                                       first, {0x80, 0x68, 0x6B}})}));
    EXPECT_EQ(spiLog(), (std::vector<std::string>{"6", "2@123400+256"}));
    ASSERT_TRUE(waitReady());

    driver->trace().clear();
    Bytes sector = readFlash(0x120000, 65536);
    EXPECT_TRUE(std::equal(first.begin(), first.end(), sector.begin() + 0x3400));
    EXPECT_EQ(writes(), (std::vector<Bytes>{{0x80, 0x00, 0x6B, 0x11, 0x03, 0x00, 0x03, 0x12, 0x00, 0x00, 0x20, 0xFF, 0xFF, 0x87, 0x80, 0x68, 0x6B}}));
    ASSERT_EQ(driver->trace().calls("FT_Read").size(), 1u);
    EXPECT_EQ(driver->trace().calls("FT_Read")[0].data.size(), 65536u);

    // Programming again without an erase can only clear bits.
    ASSERT_EQ(ftdi->MPSSE_PageProgram(0x123400, second.data(), 256), 1);
    ASSERT_TRUE(waitReady());
    EXPECT_EQ(readFlash(0x123400, 256), both);

    // An erase with no write enable before it is ignored.
    Bytes bareErase = {0x80, 0x00, 0x6B, 0x11, 0x03, 0x00, 0xD8, 0x12, 0x34, 0x00, 0x80, 0x68, 0x6B};
    driver->trace().clear();
    ASSERT_EQ(ftdi->FW_Write(bareErase.data(), 13), 0u);
    EXPECT_EQ(spiLog(), std::vector<std::string>{"d8@123400!"});
    EXPECT_EQ(readFlash(0x123400, 256), both);

    // The top address byte is not sent; the next sector keeps its data.
    ASSERT_EQ(ftdi->MPSSE_PageProgram(0x130000, zeros.data(), 16), 1);
    ASSERT_TRUE(waitReady());
    driver->trace().clear();
    ASSERT_EQ(ftdi->MPSSE_EraseSector(0xAB123456), 1);
    EXPECT_EQ(writes(), (std::vector<Bytes>{kWriteEnableBytes, {0x80, 0x00, 0x6B, 0x11, 0x03, 0x00, 0xD8, 0x12, 0x34, 0x56, 0x80, 0x68, 0x6B}}));
    EXPECT_EQ(spiLog(), (std::vector<std::string>{"6", "d8@123456"}));
    ASSERT_TRUE(waitReady());
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

TEST_F(FtdiBench, ConfigurationRegisterRoundTripSurvivesInTheImage)
{
    const auto dir = std::filesystem::temp_directory_path() /
                     ("ftdi_nvcr_" + std::to_string(reinterpret_cast<uintptr_t>(this)));
    std::filesystem::create_directories(dir);
    d2xx::EmulatedDriverOptions options;
    options.instrument.imagePath = (dir / "flash.bin").string();
    start("", true, options);

    testing::internal::CaptureStdout();
    EXPECT_EQ(ftdi->MPSSE_NVCRWrite(0x12, 0x34), 1);
    EXPECT_EQ(testing::internal::GetCapturedStdout(), "NVCR Write Success\n");
    EXPECT_EQ(writes(), (std::vector<Bytes>{kWriteEnableBytes, {0x80, 0x00, 0x6B, 0x11, 0x02, 0x00, 0xB1, 0x34, 0x12, 0x87, 0x80, 0x68, 0x6B}}));
    ASSERT_TRUE(waitReady());
    unsigned char value[2] = {};
    EXPECT_EQ(ftdi->MPSSE_NVCRRead(value), 1);
    EXPECT_EQ(value[0], 0x34);
    EXPECT_EQ(value[1], 0x12);

    start("", true, options);
    value[0] = value[1] = 0;
    EXPECT_EQ(ftdi->MPSSE_NVCRRead(value), 1);
    EXPECT_EQ(value[0], 0x34);
    EXPECT_EQ(value[1], 0x12);

    ftdi.reset();
    driver.reset();
    std::error_code ignored;
    std::filesystem::remove_all(dir, ignored);
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
        start("no-reply@1");
        Bytes out(16, 0xEE);
        const uint64_t before = nowUs();
        testing::internal::CaptureStderr();
        testing::internal::CaptureStdout();
        EXPECT_EQ(read(*ftdi, out.data()), 0);
        EXPECT_EQ(testing::internal::GetCapturedStdout() + testing::internal::GetCapturedStderr(), "");
        EXPECT_GE(nowUs() - before, 1000000u);
        EXPECT_EQ(out, Bytes(16, 0xEE));
    }

    // The pin read fails as well when its reply cannot be fetched.
    start("FT_Read@1");
    unsigned char pins = 0xEE;
    EXPECT_EQ(ftdi->MPSSE_ReadDataBitsLowByte(&pins), 0);
    EXPECT_EQ(pins, 0xEE);
    EXPECT_EQ(ftdi->MPSSE_ReadDataBitsLowByte(&pins), 1);
    EXPECT_EQ(pins & 0x6B, 0x68);
}

TEST_F(FtdiBench, FailedWritesStopTheOperationAndSayWhere)
{
    Bytes data(64, 0x00);
    struct Case
    {
        const char* faults;
        std::function<int32_t(TFtdi&)> run;
        const char* err;
        const char* out;
    };
#define WREN_FAILED "Error::TFtdi::MPSSE_WriteEnable()::FW_Write()\n"
    // The set-up write of the open is the first FT_Write: @2 fails the write
    // enable (or the configuration write), @3 the command after it.
    const Case cases[] = {
        {"FT_Write@2", [](TFtdi& f) { return f.MPSSE_WriteEnable(); }, WREN_FAILED, ""},
        {"FT_Write@2", [](TFtdi& f) { return f.MPSSE_BulkErase(); }, WREN_FAILED "Error::TFtdi::MPSSE_BulkErase()::MPSSE_WriteEnable()\n", ""},
        {"FT_Write@2", [](TFtdi& f) { return f.MPSSE_EraseSector(0); }, WREN_FAILED "Error::TFtdi::MPSSE_SectorErase()::MPSSE_WriteEnable()\n", ""},
        {"FT_Write@2", [](TFtdi& f) { return f.MPSSE_NVCRWrite(1, 2); }, WREN_FAILED, ""},
        {"FT_Write@2", [&](TFtdi& f) { return f.MPSSE_PageProgram(0, data.data(), 64); }, WREN_FAILED, "Error::TFtdi::MPSSE_PageProgram::MPSSE_WriteEnable\n"},
        {"FT_Write@2", [&](TFtdi& f) { return f.MPSSE_Configuration(data.data(), 64); }, "Error::TFtdi::MPSSE_PageProgram::FW_Write\n", ""},
        {"FT_Write@3", [](TFtdi& f) { return f.MPSSE_BulkErase(); }, "Error::TFtdi::MPSSE_BulkErase()::FW_Write()\n", ""},
        {"FT_Write@3", [](TFtdi& f) { return f.MPSSE_EraseSector(0); }, "Error::TFtdi::MPSSE_SectorErase()::FW_Write()\n", ""},
        {"FT_Write@3", [](TFtdi& f) { return f.MPSSE_NVCRWrite(1, 2); }, "", ""},
        {"FT_Write@3", [&](TFtdi& f) { return f.MPSSE_PageProgram(0, data.data(), 64); }, "", "Error::TFtdi::MPSSE_PageProgram::FW_Write\n"},
    };
#undef WREN_FAILED
    for (const Case& c : cases) {
        SCOPED_TRACE(std::string(c.faults) + " " + c.err + c.out);
        start(c.faults);
        testing::internal::CaptureStderr();
        testing::internal::CaptureStdout();
        EXPECT_EQ(c.run(*ftdi), 0);
        EXPECT_EQ(testing::internal::GetCapturedStdout(), c.out);
        EXPECT_EQ(testing::internal::GetCapturedStderr(), c.err);
        // Only the write enable before a failed command got through; nothing
        // follows a failed write enable.
        const bool commandFailed = std::string(c.faults) == "FT_Write@3";
        EXPECT_EQ(writes(), commandFailed ? std::vector<Bytes>{kWriteEnableBytes} : std::vector<Bytes>{});
        EXPECT_EQ(driver->trace().spi().size(), commandFailed ? 1u : 0u);
    }
}

TEST_F(FtdiBench, ConfiguresTheFpgaAndReadsDone)
{
    start();
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
    EXPECT_EQ(done, 1);
    EXPECT_EQ(functions(), (std::vector<std::string>{"FT_SetBitMode", "FT_GetBitMode", "FT_SetBitMode", "FT_Write"}));
    EXPECT_EQ(driver->trace().calls("FT_SetBitMode").at(0).arguments, "mask=0x0 mode=0x20");
    EXPECT_EQ(driver->trace().calls("FT_SetBitMode").at(1).arguments, "mask=0x0 mode=0x2");
    EXPECT_EQ(writes(), std::vector<Bytes>{kSetupBytes});
    unsigned char id = 0;
    EXPECT_EQ(ftdi->MPSSE_ReadID(id), 1); // back in MPSSE mode
    EXPECT_EQ(id, 0x18);

    ASSERT_EQ(ftdi->MPSSE_FPGAReset(), 1);
    EXPECT_EQ(ftdi->MPSSE_GetDone(done), 1);
    EXPECT_EQ(done, 0);
}
