// Identification, registers and erase against the emulated instrument.
#include "tests/rom/RomRig.h"

using romtest::Bytes;
using romtest::Rig;
using testing::ElementsAre;

TEST(TRomIdentify, EachEmulatedChipGivesItsLinesResultAndGeometry)
{
    const std::string corruptedText =
        "Flash corrupted!\nPlease do the following:\n"
        "- Ground pin 13 of the SPI connector (EXT_RESET) to the chassis\n"
        "- Re-launch this program or click refresh devices\n"
        "- Verify that a valid device is reported below \"Config ROM ID\"\n"
        "- Program the flash\n"
        "- After programming, disconnect the line to EXT_RESET and power cycle\n";
    const struct
    {
        const char *chip, *idLine;
        std::string chipLine;
        int result;
        int32_t sectors, memory;
        uint8_t code;
    } cases[] = {
        {"mt25q128", "Config ROM ID: 0x18\n", "MT25Q128 is detected\n", 1, 256, 0x1000000, 0x18},
        {"arty", "Config ROM ID: 0xc\n", "Arty detected\n", 1, 256, 0x1000000, 0x18},
        {"s25fl256", "Config ROM ID: 0x19\n", "S25FL256 is detected\n", 1, 512, 0x2000000, 0x19},
        {"corrupted", "Config ROM ID: 0xff\n", corruptedText, 0, 0, 0, 0},
        {"unknown", "Config ROM ID: 0x17\n", "Unknown memory is detected\n", 0, 0, 0, 0},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.chip);
        Rig rig(c.chip);
        EXPECT_EQ(rig.rom->CheckMemory(), c.result);
        EXPECT_THAT(rig.texts(), ElementsAre(c.idLine, c.chipLine));
        EXPECT_EQ(rig.log.rows().at(1).type, ProgressReporter::Info);
        EXPECT_EQ(rig.rom->SectorCount(), c.sectors);
        EXPECT_EQ(rig.rom->MemorySize(), c.memory);
        EXPECT_EQ(rig.rom->CapacityCode(), c.code);
        EXPECT_EQ(rig.rom->PageSize(), c.result ? 256 : 0);
        EXPECT_EQ(rig.rom->SectorSize(), c.result ? 65536 : 0);
    }
}

TEST(TRomIdentify, FailedOrUnsupportedIdentificationKeepsEarlierGeometry)
{
    Rig rig("s25fl256", "no-reply@4"); // each identification reads the status, then the ID
    ASSERT_EQ(rig.rom->CheckMemory(), 1);
    rig.log.clear();
    EXPECT_EQ(rig.rom->CheckMemory(), 0);
    EXPECT_EQ(rig.log.rows(), testsupport::Log{testsupport::error("Memory access failed\n")});

    EXPECT_EQ(rig.rom->MemorySize(), 0x2000000);

    // In deep power-down the MT25Q leaves the line undriven: it reads as corrupted.
    Rig micron;
    ASSERT_EQ(micron.rom->CheckMemory(), 1);
    romtest::Bytes powerDown = {0x80, 0x00, 0x6B, 0x11, 0x00, 0x00, 0xB9, 0x80, 0x68, 0x6B};
    ASSERT_EQ(micron.ftdi->FW_Write(powerDown.data(), 10), 0u);
    EXPECT_EQ(micron.rom->CheckMemory(), 0);
    EXPECT_EQ(micron.log.rows().back().text.rfind("Flash corrupted!\n", 0), 0u);
    EXPECT_EQ(micron.rom->SectorSize(), 65536);
    EXPECT_EQ(micron.rom->MemorySize(), 0x1000000);
    EXPECT_EQ(micron.rom->CapacityCode(), 0x18);
}

TEST(TRomRegisters, NvcrTravelsLowByteFirstAndStatusReadsReportHex)
{
    Rig rig;
    EXPECT_EQ(rig.rom->NVCRWrite(0xffef), 1);
    EXPECT_EQ(rig.driver->instrument()->flash().storage().nvcr(), 0xffef);
    ASSERT_EQ(rig.rom->BusyCheck_WithoutTimer(1000), 1);
    unsigned short value = 0;
    EXPECT_EQ(rig.rom->NVCRRead(value), 1);
    EXPECT_EQ(value, 0xffef);
    EXPECT_EQ(rig.rom->CheckStatus(), 1);
    EXPECT_EQ(rig.rom->BusyCheck(), 1);
    EXPECT_THAT(rig.texts(), ElementsAre("NVCR is written with : 0xffef\n", "NVCR Read Value : 0xffef\n", "Status = 0\n"));
}

TEST(TRomErase, WorkedRangeErasesThirteenSectorsAndNothingElse)
{
    Rig rig;
    ASSERT_EQ(rig.rom->CheckMemory(), 1);
    for (uint32_t a : {0x4fff00u, 0x500000u, 0x5c0000u, 0x5cff00u, 0x5d0000u})
        ASSERT_NO_FATAL_FAILURE(rig.mark(a, {0x12, 0x34}));
    rig.log.clear();
    EXPECT_EQ(rig.rom->EraseSectorAddr(0x500000, 0x5c0000), 1);
    EXPECT_THAT(rig.texts(),
                ElementsAre("Erase Sector address 0x500000 to 0x5c0000\n", "Erasing...\n", "\rProgress: 0.0%",
                            "\rProgress: 8.3%", "\rProgress: 16.7%", "\rProgress: 25.0%", "\rProgress: 33.3%",
                            "\rProgress: 41.7%", "\rProgress: 50.0%", "\rProgress: 58.3%", "\rProgress: 66.7%",
                            "\rProgress: 75.0%", "\rProgress: 83.3%", "\rProgress: 91.7%", "\rProgress: 100.0%",
                            "\rProgress: 100.0%\n"));
    EXPECT_EQ(rig.flash(0x500000, 13 * 0x10000), Bytes(13 * 0x10000, 0xFF));
    EXPECT_EQ(rig.flash(0x4fff00, 2), (Bytes{0x12, 0x34}));
    EXPECT_EQ(rig.flash(0x5d0000, 2), (Bytes{0x12, 0x34}));
}

TEST(TRomErase, UnalignedSingleAndFailingRanges)
{
    Rig rig;
    ASSERT_EQ(rig.rom->CheckMemory(), 1);
    rig.trace().clear();
    EXPECT_EQ(rig.rom->EraseSectorAddr(0x8000, 0x17fff), 1);
    std::vector<uint32_t> erased;
    for (const auto& t : rig.trace().spi())
        if (t.opcode == 0xD8)
            erased.push_back(t.address);
    EXPECT_EQ(erased, std::vector<uint32_t>{0x8000});

    rig.log.clear();
    EXPECT_EQ(rig.rom->EraseSectorAddr(0x20000, 0x20000), 1);
    EXPECT_EQ(rig.log.rows().at(2).text, "\rProgress: 100.0%");
    rig.log.clear();
    EXPECT_EQ(rig.rom->EraseSectorAddr(0x30000, 0x20000), 1);
    EXPECT_EQ(rig.log.rows().size(), 3u);

    // The same run again, with the second sector erase command failing.
    Rig dry;
    dry.rom->CheckMemory();
    dry.rom->EraseSectorAddr(0, 0x20000);
    const uint64_t second = romtest::writeIndex(dry.trace(), {0x11, 0x03, 0x00, 0xD8}, 2);
    ASSERT_NE(second, 0u);
    Rig failing("mt25q128", "FT_Write@" + std::to_string(second));
    failing.rom->CheckMemory();
    failing.log.clear();
    EXPECT_EQ(failing.rom->EraseSectorAddr(0, 0x20000), 0);
    // Its progress line ends where the erase stopped, never at 100%.
    EXPECT_THAT(failing.texts(), ElementsAre("Erase Sector address 0 to 0x20000\n", "Erasing...\n", "\rProgress: 0.0%",
                                             "\rProgress: 0.0%\n"));
}

TEST(TRomErase, NoChipOrBulkErase)
{
    Rig rig;
    EXPECT_EQ(rig.rom->EraseSectorAddr(0, 0x10000), 0) << "no chip identified yet";
    EXPECT_EQ(rig.rom->Program(false), 0);
    ASSERT_EQ(rig.log.rows().size(), 2u);
    EXPECT_EQ(rig.log.rows()[0].type, ProgressReporter::Error);
    for (const auto& t : rig.trace().spi())
        EXPECT_TRUE(t.opcode != 0xD8 && t.opcode != 0x02);

    // A real whole-chip erase takes 38 s: the wait has to last that long.
    Rig timed("mt25q128", "", 2, true);
    ASSERT_EQ(timed.rom->CheckMemory(), 1);
    ASSERT_NO_FATAL_FAILURE(timed.mark(0x700000, {0x00}));
    const uint64_t start = timed.nowNs();
    EXPECT_EQ(timed.rom->EraseBulk(), 1);
    EXPECT_GE(timed.nowNs() - start, 38000000000u);
    EXPECT_EQ(timed.flash(0x700000, 1)[0], 0xFF);

    // A flash that never gets done: three times the datasheet's 114 s.
    Rig stuck("mt25q128", "stuck-busy");
    ASSERT_EQ(stuck.rom->CheckMemory(), 1);
    const uint64_t before = stuck.nowNs();
    EXPECT_EQ(stuck.rom->EraseBulk(), 0);
    EXPECT_GE(stuck.nowNs() - before, 342000000000u);
    EXPECT_LT(stuck.nowNs() - before, 342200000000u);
    EXPECT_THAT(stuck.texts().back(), testing::EndsWith("after an erase of the whole chip (datasheet maximum 114 s)\n"));
}

// The S25FL256 has neither the flag status register nor the NVCR: its 0x70
// would read a floating line. Nothing is sent for them, and a write says so.
TEST(TRomRegisters, RegistersThePartLacksAreNeitherReadNorWritten)
{
    Rig rig("s25fl256");
    ASSERT_EQ(rig.rom->CheckMemory(), 1);
    EXPECT_FALSE(rig.rom->HasFlagStatus());
    EXPECT_FALSE(rig.rom->HasNvcr());
    rig.log.clear();
    rig.trace().clear();
    EXPECT_EQ(rig.rom->NVCRWrite(0x1234), 0);
    unsigned short value = 0x5555;
    EXPECT_EQ(rig.rom->NVCRRead(value), 0);
    EXPECT_EQ(rig.rom->CheckFlagStatus(), 0);
    EXPECT_EQ(rig.console.out(), ""); // no "NVCR Write Success"
    EXPECT_EQ(value, 0x5555);
    EXPECT_TRUE(rig.trace().calls().empty());
    const std::string nvcr = "Error, the S25FL256 has no non-volatile configuration register\n";
    EXPECT_THAT(rig.log.rows(), ElementsAre(testsupport::error(nvcr), testsupport::error(nvcr),
                                            testsupport::error("Error, the S25FL256 has no flag status register\n")));
    EXPECT_EQ(rig.rom->CheckStatus(), 1);

    // The Micron parts have both; so does a TRom that has identified nothing yet.
    for (const char* chip : {"mt25q128", "arty"}) {
        Rig micron(chip);
        EXPECT_TRUE(micron.rom->HasFlagStatus() && micron.rom->HasNvcr());
        ASSERT_EQ(micron.rom->CheckMemory(), 1);
        EXPECT_TRUE(micron.rom->HasFlagStatus() && micron.rom->HasNvcr()) << chip;
        EXPECT_EQ(micron.rom->CheckFlagStatus(), 1);
    }
}

// A bridge that goes away mid-wait ends the wait at once, and the flash is
// not blamed: it is left to the caller that ends the operation to say why.
TEST(TRomRegisters, ALostBridgeEndsTheReadyWaitWithoutBlamingTheFlash)
{
    Rig rig;
    ASSERT_EQ(rig.rom->CheckMemory(), 1);
    rig.log.clear();
    rig.trace().clear();
    rig.driver->setPlugged(false);
    EXPECT_EQ(rig.rom->BusyCheck_WithoutTimer(10000), 0);
    EXPECT_EQ(rig.rom->EraseBulk(), 0);
    EXPECT_EQ(rig.console.err().find("overflow"), std::string::npos);
    EXPECT_TRUE(rig.log.rows().empty());
    EXPECT_TRUE(rig.ftdi->LinkLost());
    EXPECT_EQ(rig.trace().calls().size(), 2u); // the status read's write and the purge that found the bridge gone
}
