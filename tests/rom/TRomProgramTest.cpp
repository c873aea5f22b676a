// Loading, programming, read-back and verify against the emulated instrument.
#include "tests/rom/RomRig.h"

#include "emulator/DemoFirmware.h"

#include <cstdio>

using romtest::Bytes;
using romtest::Rig;
using testing::ElementsAre;
using testing::ElementsAreArray;

namespace {

std::string progress(double percent, const char* end = "%")
{
    char text[32];
    std::snprintf(text, sizeof text, "\rProgress: %.1f%s", percent, end);
    return text;
}

std::vector<std::string> after(const std::vector<std::string>& log, const std::string& line)
{
    auto it = std::find(log.begin(), log.end(), line);
    return it == log.end() ? std::vector<std::string>{} : std::vector<std::string>(it + 1, log.end());
}

// What Program reports after "Programming...", as page by page: a progress
// row every 100 pages, the closing one, the verdict.
std::vector<std::string> programmingLog(size_t size)
{
    std::vector<std::string> rows;
    for (size_t k = 100; k <= (size + 255) / 256; k += 100)
        rows.push_back(progress((1.0 - static_cast<double>(size - std::min<size_t>(k * 256, size)) / static_cast<double>(size)) * 100.0));
    rows.push_back(progress(100.0, "%\n"));
    rows.push_back("Program...OK\n");
    return rows;
}

} // namespace

class TRomProgram : public testing::TestWithParam<std::tuple<uint32_t, size_t>>
{
};

TEST_P(TRomProgram, FlashHoldsTheImageAndNothingAroundItChanges)
{
    const auto [offset, size] = GetParam();
    const uint32_t sector = 0x10000;
    Rig rig;
    const auto image = romtest::pattern(size, offset >> 16);
    ASSERT_NO_FATAL_FAILURE(rig.load(offset, image));

    // Markers: below the image, in the first sector past it, and on the
    // image's first and last bytes (only an erase lets those be programmed).
    const uint32_t next = static_cast<uint32_t>((offset + size + sector - 1) / sector * sector);
    if (offset > 0) {
        ASSERT_NO_FATAL_FAILURE(rig.mark(offset - 2, {0x12, 0x34}));
    }
    ASSERT_NO_FATAL_FAILURE(rig.mark(next, {0x56, 0x78}));
    if (size > 0) {
        ASSERT_NO_FATAL_FAILURE(rig.mark(offset, {0x00}));
        ASSERT_NO_FATAL_FAILURE(rig.mark(static_cast<uint32_t>(offset + size - 1), {0x00}));
    }
    rig.trace().clear();
    rig.log.clear();

    EXPECT_EQ(rig.rom->Program(false), 1);

    size_t pages = 0, erases = 0;
    for (const auto& t : rig.trace().spi()) {
        if (t.opcode == 0xD8) {
            EXPECT_EQ(t.address, offset + erases * sector);
            ++erases;
        } else if (t.opcode == 0x02) {
            EXPECT_EQ(t.address, offset + pages * 256);
            EXPECT_EQ(t.dataLength, std::min<size_t>(256, size - pages * 256));
            ++pages;
        }
    }
    EXPECT_EQ(pages, (size + 255) / 256);
    EXPECT_EQ(erases, (size + sector - 1) / sector) << "sectors that hold an image byte, no more";

    const std::vector<std::string> expected = programmingLog(size);
    EXPECT_THAT(after(rig.texts(), "Programming...\n"), ElementsAreArray(expected));
    if (size == 1000000) {
        EXPECT_EQ(expected[0], "\rProgress: 2.6%");
    } else if (size == 0) {
        EXPECT_THAT(rig.texts(), ElementsAre("Erase...OK\n", "Programming...\n", progress(100.0, "%\n"), "Program...OK\n"));
    }

    EXPECT_EQ(rig.flash(offset, size), image);
    if (offset > 0) {
        EXPECT_EQ(rig.flash(offset - 2, 2), (Bytes{0x12, 0x34}));
    }
    EXPECT_EQ(rig.flash(next, 2), (Bytes{0x56, 0x78}));
    EXPECT_EQ(rig.flash(static_cast<uint32_t>(offset + size), next - offset - size), Bytes(next - offset - size, 0xFF));
}

INSTANTIATE_TEST_SUITE_P(Sizes, TRomProgram,
                         testing::Combine(testing::Values(0u, 0x500000u),
                                          testing::Values(size_t{0}, size_t{1000}, size_t{25600}, size_t{65536},
                                                          size_t{1000000})));

TEST(TRomProgramLimits, SizeLimitAndImagesThatWouldWrapRound)
{
    Rig rig;
    const auto earlier = romtest::pattern(300, 1);
    ASSERT_NO_FATAL_FAILURE(rig.load(0x500000, earlier));
    const auto big = romtest::sparseFile(romtest::scratchDir() / "big.srec", 28311553);
    rig.log.clear();
    EXPECT_EQ(rig.rom->FileOpen(big), 0);
    EXPECT_THAT(rig.texts(), ElementsAre("Error, file is too large: 28311553 bytes\n"));
    EXPECT_EQ(rig.rom->ImageData(), earlier);
    EXPECT_EQ(rig.rom->ImageSize(), 300);

    std::filesystem::resize_file(big, 28311552);
    EXPECT_EQ(rig.rom->FileOpen(big), 1);
    EXPECT_EQ(rig.rom->ImageSize(), 28311552);

    // 0x500000 + 28 MiB passes the 16 MiB that three address bytes reach.
    rig.log.clear();
    rig.trace().clear();
    EXPECT_EQ(rig.rom->Program(false), 0);
    EXPECT_THAT(rig.texts(), ElementsAre("Error, image does not fit into the flash: it ends at 0x2000000, the flash "
                                         "ends at 0x1000000\n",
                                         "Program...NG\n"));
    EXPECT_EQ(rig.log.rows()[0].type, ProgressReporter::Error);
    EXPECT_TRUE(rig.trace().spi().empty()) << "nothing erased or written";
}

TEST(TRomProgramLimits, APageThatNeverBecomesReadyFailsTheRun)
{
    // The first page: status reads until three times its 1.8 ms maximum
    // (well before the 100 reads a page may take), then the end.
    Rig rig("mt25q128", "stuck-page@0");
    ASSERT_NO_FATAL_FAILURE(rig.load(0, romtest::pattern(1000, 3)));
    rig.trace().clear();
    rig.log.clear();
    EXPECT_EQ(rig.rom->Program(true), 0);
    EXPECT_EQ(rig.console.err(), "");
    const auto ending = after(rig.texts(), "Programming...\n");
    ASSERT_EQ(ending.size(), 4u);
    // 3 x 1.8 ms and the status read it ends on; the regex dialects of
    // GoogleTest differ between platforms, so no regex.
    EXPECT_THAT(ending[0], testing::AllOf(testing::StartsWith("The MT25Q128 flash was still busy 5."),
                                          testing::EndsWith(" ms after a page program (datasheet maximum 1.8 ms)\n")));
    EXPECT_THAT(std::vector<std::string>(ending.begin() + 1, ending.end()),
                ElementsAre("Error in BusyCheck_WithoutTimer\n", "Program...NG\n", "Dump not supported yet...\n"));
    EXPECT_EQ(rig.log.rows().back().type, ProgressReporter::Info);
    const auto spi = rig.trace().spi();
    auto page = std::find_if(spi.begin(), spi.end(), [](const auto& t) { return t.opcode == 0x02; });
    ASSERT_NE(page, spi.end());
    EXPECT_LT(std::count_if(page + 1, spi.end(), [](const auto& t) { return t.opcode == 0x05; }), 100);
    EXPECT_EQ(std::count_if(page + 1, spi.end(), [](const auto& t) { return t.opcode == 0x02; }), 0);

    // A page deep inside a batch: the pages before it are written and
    // reported, the ones sent after it were ignored, and the run ends there.
    Rig deep("mt25q128", "stuck-page@0x509500"); // the 150th page
    const auto image = romtest::pattern(300 * 256, 4);
    ASSERT_NO_FATAL_FAILURE(deep.load(0x500000, image));
    deep.log.clear();
    EXPECT_EQ(deep.rom->Program(false), 0);
    EXPECT_THAT(after(deep.texts(), "Programming...\n"),
                ElementsAre(progress(100.0 / 3), testing::HasSubstr("after a page program"),
                            "Error in BusyCheck_WithoutTimer\n", "Program...NG\n"));
    EXPECT_EQ(deep.rom->ChunkCount(), 149);
    EXPECT_EQ(deep.flash(0x500000, 150 * 256), Bytes(image.begin(), image.begin() + 150 * 256));
    EXPECT_EQ(deep.flash(0x500000 + 150 * 256, 150 * 256), Bytes(150 * 256, 0xFF));
}

TEST(TRomProgramPipeline, ABusyPageIsWaitedForAndTheIgnoredPagesAreSentAgain)
{
    // Pages 0, 1 and 44 (inside the sixth batch, pages 32 to 63) stay busy
    // through three status reads: each is still busy at its pipelined read,
    // so the pages sent behind it reach a busy flash and are ignored.
    const auto image = romtest::pattern(1000000, 9);
    Rig slow("mt25q128", "held-page@0x500000,held-page@0x500100,held-page@0x502c00");
    ASSERT_NO_FATAL_FAILURE(slow.load(0x500000, image));
    slow.trace().clear();
    slow.log.clear();
    EXPECT_EQ(slow.rom->Program(false), 1);
    const auto spi = slow.trace().spi();
    const auto pageWrites = std::count_if(spi.begin(), spi.end(), [](const auto& t) { return t.opcode == 0x02; });
    EXPECT_GE(std::count_if(spi.begin(), spi.end(), [](const auto& t) { return t.opcode == 0x02 && t.ignored; }), 2);
    EXPECT_GT(pageWrites, (1000000 + 255) / 256) << "the pages behind a busy one go out again";
    EXPECT_EQ(slow.flash(0x500000, image.size()), image);
    // The log is the one of a page-by-page run.
    EXPECT_THAT(after(slow.texts(), "Programming...\n"), ElementsAreArray(programmingLog(image.size())));
}

TEST(TRomProgramPipeline, PagesAndErasePollsRideOnFewUsbTransfersInTypicalTiming)
{
    Rig rig("s25fl256", "", 2, true);
    const auto image = romtest::pattern(0x20000, 2);
    ASSERT_NO_FATAL_FAILURE(rig.load(0, image));
    rig.trace().clear();
    const uint64_t start = rig.nowNs();
    ASSERT_EQ(rig.rom->Program(false), 1);
    const uint64_t elapsed = rig.nowNs() - start;
    EXPECT_EQ(rig.flash(0, image.size()), image);

    // Two sectors, each polled once: the poll waits out the typical erase.
    size_t erasePolls = 0, pagesSeen = 0, pageReads = 0;
    const auto spi = rig.trace().spi();
    for (const auto& t : spi) {
        pagesSeen += t.opcode == 0x02;
        if (t.opcode == 0x05)
            ++(pagesSeen ? pageReads : erasePolls);
    }
    EXPECT_EQ(erasePolls, 2u);
    EXPECT_EQ(pageReads, 512u) << "one status read per page, none of them repeated";
    EXPECT_EQ(std::count_if(spi.begin(), spi.end(), [](const auto& t) { return t.ignored; }), 0);
    // 512 pages in batches of 1, 2, 4, ... 128: 11 writes, not 1024.
    EXPECT_LE(rig.trace().calls("FT_Write").size(), 2u * 3u + 11u);
    // Nothing waited longer than the erases and pages themselves.
    EXPECT_GT(elapsed, 2 * 130000000ull + 512 * 250000ull);
}

TEST(TRomReadBack, ReadVerifyAndABadCell)
{
    Rig rig("mt25q128", "flip@0x500123");
    ASSERT_NO_FATAL_FAILURE(rig.load(0x500000, romtest::pattern(0x30000, 5)));
    ASSERT_EQ(rig.rom->Program(false), 1);

    Bytes buffer(0x30000);
    rig.log.clear();
    rig.trace().clear();
    EXPECT_EQ(rig.rom->Read(buffer.data(), 0x30000, false), 1);
    EXPECT_THAT(rig.texts(), ElementsAre("Read size = 0x30000\n", "progress = 1remain = 131072\n",
                                         "progress = 2remain = 65536\n", "progress = 3remain = 0\n", "Read...OK\n"));
    EXPECT_EQ(rig.rom->ChunkCount(), 0);
    // Each 64 KiB read command goes out before the reply ahead of it is taken.
    std::vector<std::string> transfers;
    for (const auto& call : rig.trace().calls())
        if (call.function == "FT_Write" || call.function == "FT_Read")
            transfers.push_back(call.function + " " + std::to_string(call.data.size()));
    EXPECT_THAT(transfers, ElementsAre("FT_Write 17", "FT_Write 17", "FT_Read 65536", "FT_Write 17", "FT_Read 65536",
                                       "FT_Read 65536"));

    rig.log.clear();
    EXPECT_EQ(rig.rom->Verify(), 0);
    ASSERT_EQ(rig.log.rows().size(), 6u);
    EXPECT_EQ(rig.log.rows()[5], testsupport::error("Verify failed on point: 291\n"));

    // Away from the bad cell the image verifies clean, with only the read's lines.
    rig.rom->SetOffset(0x600000);
    ASSERT_EQ(rig.rom->Program(false), 1);
    rig.log.clear();
    EXPECT_EQ(rig.rom->Verify(), 1);
    EXPECT_EQ(rig.log.rows().size(), 5u);
    EXPECT_EQ(rig.log.rows().back().text, "Read...OK\n");
}

TEST(TRomReadBack, VerifyAfterAFailedReadFails)
{
    Rig rig("mt25q128", "no-reply@4"); // the second chunk's reply, after identification's two
    ASSERT_NO_FATAL_FAILURE(rig.load(0, Bytes(70000, 0xFF)));    // erased flash would match
    rig.log.clear();
    EXPECT_EQ(rig.rom->Verify(), 0);
    EXPECT_THAT(rig.texts(), ElementsAre("Read size = 0x11170\n", "progress = 1remain = 4464\n", "Read...NG\n"));
    EXPECT_EQ(rig.rom->ChunkCount(), 0);
}

TEST(TRomProgramLimits, OffsetInsideASectorAndAPageStillLandsByteForByte)
{
    // No page write may run past a flash page, or the flash would wrap it.
    Rig rig;
    const auto image = romtest::pattern(0x10000, 7);
    ASSERT_NO_FATAL_FAILURE(rig.load(0x8080, image));
    ASSERT_NO_FATAL_FAILURE(rig.mark(0x18070, Bytes(16, 0x00))); // in the second sector the image covers: it must be erased too
    EXPECT_EQ(rig.rom->Program(false), 1);
    EXPECT_EQ(rig.flash(0x8080, 0x10000), image);
}

// Three address bytes reach 16 MiB: on the 32 MiB part a read at or past it
// would wrap round to the start and report the wrong bytes as read.
TEST(TRomReadBack, ReadsPastTheAddressableRangeAreRefused)
{
    Rig rig("s25fl256");
    ASSERT_EQ(rig.rom->CheckMemory(), 1);
    Bytes buffer(0x20000, 0xEE);
    struct Case
    {
        uint32_t offset;
        int length;
        int result;
    };
    for (const Case& c : {Case{0x1000000, 1, 0}, Case{0x1FF0000, 0x10000, 0}, Case{0xFFFFFF, 2, 0},
                          Case{0xFF0000, 0x10000, 1}, Case{0x1000000, 0, 1}}) {
        SCOPED_TRACE(c.offset);
        rig.rom->SetOffset(c.offset);
        rig.log.clear();
        rig.trace().clear();
        EXPECT_EQ(rig.rom->Read(buffer.data(), c.length, false), c.result);
        EXPECT_EQ(rig.log.rows().back().text, c.result ? "Read...OK\n" : "Read...NG\n");
        if (!c.result) {
            EXPECT_TRUE(rig.trace().calls().empty());
            EXPECT_EQ(rig.log.rows().size(), 3u); // the size, why, and the verdict
        }
    }
    // Verify reads through the same gate.
    rig.rom->SetOffset(0x1000000);
    ASSERT_EQ(rig.rom->FileOpen(romtest::writeFile(romtest::scratchDir() / "ones.bin", Bytes(16, 0xFF))), 1);
    rig.log.clear();
    EXPECT_EQ(rig.rom->Verify(), 0);
    EXPECT_EQ(rig.texts().at(1), "Error, the read does not fit into the flash: it ends at 0x1000010, the flash ends at 0x1000000\n");
}

TEST(TRomProgramChanged, OnlyTheSectorsThatDifferAreErasedOrProgrammed)
{
    Rig rig;
    const uint32_t base = 0x500000;
    auto image = romtest::pattern(0x2C000, 6); // two whole sectors and three quarters of a third
    ASSERT_NO_FATAL_FAILURE(rig.load(base, image));
    ASSERT_EQ(rig.rom->Program(false), 1);

    // Sector 0 stays, one page of sector 1 only loses bits, one byte of
    // sector 2 needs a bit set again.
    image[0x10000 + 0x345] &= 0x0F;
    image[0x10000 + 0x346] = 0x00;
    image[0x20000 + 0x777] = static_cast<unsigned char>(image[0x20000 + 0x777] | 0x80 | ~image[0x20000 + 0x777]);
    ASSERT_NE(image, rig.flash(base, image.size()));
    ASSERT_EQ(rig.rom->SetImage(image), 1);
    rig.trace().clear();
    rig.log.clear();
    EXPECT_EQ(rig.rom->ProgramChanged(false), 1);
    EXPECT_EQ(rig.flash(base, image.size()), image);

    const auto texts = rig.texts();
    EXPECT_THAT(texts, testing::IsSupersetOf({std::string("Unchanged sectors skipped: 1 of 3\n"),
                                              std::string("Sectors programmed without erase: 1\n"),
                                              std::string("Erase Sector address 0x520000 to 0x52bfff\n")}));
    EXPECT_EQ(texts.back(), "Program...OK\n");
    std::vector<uint32_t> erased, programmed;
    for (const auto& t : rig.trace().spi()) {
        if (t.opcode == 0xD8)
            erased.push_back(t.address);
        if (t.opcode == 0x02 && !t.ignored)
            programmed.push_back(t.address);
    }
    EXPECT_THAT(erased, ElementsAre(0x520000u));
    ASSERT_EQ(programmed.size(), 1u + 0xC000 / 256);
    EXPECT_EQ(programmed[0], 0x510300u) << "the one page of sector 1 that changed";
    EXPECT_EQ(programmed[1], 0x520000u);

    // The same image again: nothing to erase, nothing to write.
    rig.trace().clear();
    rig.log.clear();
    EXPECT_EQ(rig.rom->ProgramChanged(false), 1);
    EXPECT_THAT(rig.texts(), testing::Contains(std::string("Unchanged sectors skipped: 3 of 3\n")));
    for (const auto& t : rig.trace().spi())
        EXPECT_TRUE(t.opcode == 0x03 || t.opcode == 0x05) << int(t.opcode);
}

// The slowest parts the datasheets allow, on USB timed like a real bus: the
// firmware set still programs, so every wait limit of the loader covers them.
TEST(TRomProgramLimits, SlowestLegalPartsStillTakeTheFirmwareSet)
{
    const std::string srec = emu::DemoFirmware::srecFile();
    const Bytes application(srec.begin(), srec.end());
    const Bytes bitstream = emu::DemoFirmware::bitFile();
    for (const char* chip : {"mt25q128", "s25fl256"}) {
        SCOPED_TRACE(chip);
        Rig rig(chip, "", 2, true, true);
        rig.trace().setEnabled(false); // some hundred thousand status polls
        for (const auto& [offset, image] : {std::pair<uint32_t, const Bytes&>{0x500000, application}, {0, bitstream}}) {
            ASSERT_NO_FATAL_FAILURE(rig.load(offset, image));
            EXPECT_EQ(rig.rom->Program(false), 1);
            EXPECT_EQ(rig.flash(offset, image.size()), image);
        }
        // At least every erased sector's maximum time went by on the virtual clock.
        const uint64_t sectors = (application.size() + 0xFFFF) / 0x10000 + (bitstream.size() + 0xFFFF) / 0x10000;
        const uint64_t maximumEraseNs = std::string(chip) == "mt25q128" ? 1000000000ull : 650000000ull;
        EXPECT_GE(rig.nowNs(), sectors * maximumEraseNs);
    }
}
