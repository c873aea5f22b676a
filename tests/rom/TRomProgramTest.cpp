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
    // One USB write per page and per erase, each with its write enable, and
    // one per status read: the flash is busy for two reads after each.
    EXPECT_EQ(rig.trace().calls("FT_Write").size(), (pages + erases) * (2 + 3));

    std::vector<std::string> expected;
    for (size_t k = 100; k <= pages; k += 100)
        expected.push_back(progress((1.0 - static_cast<double>(size - std::min<size_t>(k * 256, size)) / static_cast<double>(size)) * 100.0));
    expected.push_back(progress(100.0, "%\n"));
    expected.push_back("Program...OK\n");
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
    EXPECT_EQ(rig.rom->imageData, earlier);
    EXPECT_EQ(rig.rom->imageSize, 300);

    std::filesystem::resize_file(big, 28311552);
    EXPECT_EQ(rig.rom->FileOpen(big), 1);
    EXPECT_EQ(rig.rom->imageSize, 28311552);

    // 0x500000 + 28 MiB passes the 16 MiB that three address bytes reach.
    rig.log.clear();
    rig.trace().clear();
    EXPECT_EQ(rig.rom->Program(false), 0);
    EXPECT_THAT(rig.texts(), ElementsAre("Error, image does not fit into the flash: it ends at 0x2000000, the flash "
                                         "ends at 0x1000000\n",
                                         "Program...NG\n"));
    EXPECT_EQ(rig.log[0].first, ProgressReporter::Error);
    EXPECT_TRUE(rig.trace().spi().empty()) << "nothing erased or written";
}

TEST(TRomProgramLimits, FlashStuckBusyAfterTheFirstPage)
{
    // Every program or erase stays busy for 200 status reads: the erase
    // (10000 allowed) survives, the first page (100 allowed) does not.
    Rig rig("mt25q128", "", 200);
    ASSERT_NO_FATAL_FAILURE(rig.load(0, romtest::pattern(1000, 3)));
    rig.trace().clear();
    rig.log.clear();
    testing::internal::CaptureStderr();
    EXPECT_EQ(rig.rom->Program(true), 0);
    EXPECT_EQ(testing::internal::GetCapturedStderr(), "Status check (without timer) overflow\n");
    EXPECT_THAT(after(rig.texts(), "Programming...\n"),
                ElementsAre("Error in BusyCheck_WithoutTimer\n", "Program...NG\n", "Dump not supported yet...\n"));
    EXPECT_EQ(rig.log.back().first, ProgressReporter::Info);
    const auto spi = rig.trace().spi();
    auto page = std::find_if(spi.begin(), spi.end(), [](const auto& t) { return t.opcode == 0x02; });
    ASSERT_NE(page, spi.end());
    EXPECT_EQ(std::count_if(page + 1, spi.end(), [](const auto& t) { return t.opcode == 0x05; }), 100);
    EXPECT_EQ(std::count_if(page + 1, spi.end(), [](const auto& t) { return t.opcode == 0x02; }), 0);
}

TEST(TRomReadBack, ReadVerifyAndABadCell)
{
    Rig rig("mt25q128", "flip@0x500123");
    ASSERT_NO_FATAL_FAILURE(rig.load(0x500000, romtest::pattern(0x30000, 5)));
    ASSERT_EQ(rig.rom->Program(false), 1);

    Bytes buffer(0x30000);
    rig.log.clear();
    EXPECT_EQ(rig.rom->Read(buffer.data(), 0x30000, false), 1);
    EXPECT_THAT(rig.texts(), ElementsAre("Read size = 0x30000\n", "progress = 1remain = 131072\n",
                                         "progress = 2remain = 65536\n", "progress = 3remain = 0\n", "Read...OK\n"));
    EXPECT_EQ(rig.rom->chunkCount, 0);

    rig.log.clear();
    EXPECT_EQ(rig.rom->Verify(), 0);
    ASSERT_EQ(rig.log.size(), 6u);
    EXPECT_EQ(rig.log[5], std::make_pair(ProgressReporter::Error, std::string("Verify failed on point: 291\n")));

    // Away from the bad cell the image verifies clean, with only the read's lines.
    rig.rom->SetOffset(0x600000);
    ASSERT_EQ(rig.rom->Program(false), 1);
    rig.log.clear();
    EXPECT_EQ(rig.rom->Verify(), 1);
    EXPECT_EQ(rig.log.size(), 5u);
    EXPECT_EQ(rig.log.back().second, "Read...OK\n");
}

TEST(TRomReadBack, VerifyAfterAFailedReadFails)
{
    Rig rig("mt25q128", "no-reply@3"); // the second chunk's reply
    ASSERT_NO_FATAL_FAILURE(rig.load(0, Bytes(70000, 0xFF)));    // erased flash would match
    rig.log.clear();
    EXPECT_EQ(rig.rom->Verify(), 0);
    EXPECT_THAT(rig.texts(), ElementsAre("Read size = 0x11170\n", "progress = 1remain = 4464\n", "Read...NG\n"));
    EXPECT_EQ(rig.rom->chunkCount, 0);
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
        EXPECT_EQ(rig.log.back().second, c.result ? "Read...OK\n" : "Read...NG\n");
        if (!c.result) {
            EXPECT_TRUE(rig.trace().calls().empty());
            EXPECT_EQ(rig.log.size(), 3u); // the size, why, and the verdict
        }
    }
    // Verify reads through the same gate.
    rig.rom->SetOffset(0x1000000);
    ASSERT_EQ(rig.rom->FileOpen(romtest::writeFile(romtest::scratchDir() / "ones.bin", Bytes(16, 0xFF))), 1);
    rig.log.clear();
    EXPECT_EQ(rig.rom->Verify(), 0);
    EXPECT_EQ(rig.texts().at(1), "Error, the read does not fit into the flash: it ends at 0x1000010, the flash ends at 0x1000000\n");
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
            rig.load(offset, image);
            EXPECT_EQ(rig.rom->Program(false), 1);
            EXPECT_EQ(rig.flash(offset, image.size()), image);
        }
        // At least every erased sector's maximum time went by on the virtual clock.
        const uint64_t sectors = (application.size() + 0xFFFF) / 0x10000 + (bitstream.size() + 0xFFFF) / 0x10000;
        const uint64_t maximumEraseNs = std::string(chip) == "mt25q128" ? 1000000000ull : 650000000ull;
        EXPECT_GE(rig.nowNs(), sectors * maximumEraseNs);
    }
}
