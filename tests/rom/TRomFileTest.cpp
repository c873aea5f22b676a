// Image files that cannot, or can only just, be loaded.
#include "tests/rom/RomRig.h"

#include <gmock/gmock.h>

#ifndef _WIN32
#include <sys/stat.h>
#endif

using romtest::Rig;
using testing::ElementsAre;

TEST(TRomFileOpen, BadFilesAreRefusedAndTheEarlierImageStays)
{
    Rig rig;
    rig.rom->SetOffset(0);
    const auto dir = romtest::scratchDir();
    const auto earlier = romtest::pattern(777, 9);
    ASSERT_EQ(rig.rom->FileOpen(romtest::writeFile(dir / "earlier.srec", earlier)), 1);

    const auto refused = [&](const std::string& name, const std::string& message) {
        SCOPED_TRACE(name);
        rig.log.clear();
        EXPECT_EQ(rig.rom->FileOpen(name), 0);
        EXPECT_THAT(rig.texts(), ElementsAre(message));
        EXPECT_EQ(rig.log.at(0).type, ProgressReporter::Error);
        EXPECT_EQ(rig.rom->imageData, earlier);
        EXPECT_EQ(rig.rom->imageSize, 777);
    };
    const std::string missing = (dir / "missing.srec").u8string();
    refused(missing, "Error opening file for reading: " + missing + "\n");
    refused(dir.u8string(), "Error opening file for reading: " + dir.u8string() + "\n");
    refused("", "Error opening file for reading: \n");

    const auto huge = dir / "huge.bit";
    std::ofstream(huge).close();
    std::filesystem::resize_file(huge, 0x2000001);
    refused(huge.u8string(), "Error, file is too large: 33554433 bytes\n");

#ifndef _WIN32
    // A FIFO would block a plain open until a writer comes.
    const auto fifo = dir / "fifo.srec";
    ASSERT_EQ(mkfifo(fifo.c_str(), 0600), 0);
    refused(fifo.u8string(), "Error opening file for reading: " + fifo.u8string() + "\n");
    refused("/dev/zero", "Error opening file for reading: /dev/zero\n");

    // sysfs files claim 4096 bytes and deliver a few: a short read.
    for (const char* shortFile : {"/sys/kernel/profiling", "/sys/power/state"})
        if (std::filesystem::is_regular_file(shortFile)) {
            refused(shortFile, "Error reading file!\n");
            break;
        }

    const std::string locked = romtest::writeFile(dir / "locked.srec", romtest::pattern(10, 1));
    std::filesystem::permissions(locked, std::filesystem::perms::none);
    if (std::ifstream(locked).is_open())
        std::printf("[ skipped  ] unreadable file: running with rights that read it anyway\n");
    else
        refused(locked, "Error opening file for reading: " + locked + "\n");
#endif
}

TEST(TRomFileOpen, OddNamesEmptyFilesAndTheFullSizeLoad)
{
    Rig rig;
    rig.rom->SetOffset(0);
    const auto dir = romtest::scratchDir();
    const auto image = romtest::pattern(4321, 2);
    const std::string odd = (dir / u8"my image #2 Größe ünd 日本.srec").u8string();
    romtest::writeFile(std::filesystem::u8path(odd), image);
    EXPECT_EQ(rig.rom->FileOpen(odd), 1);
    EXPECT_EQ(rig.rom->imageData, image);
    EXPECT_THAT(rig.texts(), ElementsAre("File read successfully. Size: 4321 bytes\n"));

    rig.log.clear();
    EXPECT_EQ(rig.rom->FileOpen(romtest::writeFile(dir / "empty.srec", {})), 1);
    EXPECT_EQ(rig.rom->imageSize, 0);
    EXPECT_TRUE(rig.rom->imageData.empty());
    EXPECT_THAT(rig.texts(), ElementsAre("File read successfully. Size: 0 bytes\n"));

    const auto full = dir / "full.bit";
    std::ofstream(full).close();
    std::filesystem::resize_file(full, 0x2000000);
    EXPECT_EQ(rig.rom->FileOpen(full.u8string()), 1);
    EXPECT_EQ(rig.rom->imageSize, 0x2000000);
}
