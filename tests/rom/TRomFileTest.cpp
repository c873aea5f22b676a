// Image files that cannot, or can only just, be loaded.
#include "tests/rom/RomRig.h"

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
    const auto earlier = romtest::pattern(4321, 9);
    const std::string odd = (dir / u8"my image #2 Größe ünd 日本.srec").u8string();
    romtest::writeFile(std::filesystem::u8path(odd), earlier);
    EXPECT_EQ(rig.rom->FileOpen(odd), 1);
    EXPECT_THAT(rig.texts(), ElementsAre("File read successfully. Size: 4321 bytes\n"));

    const auto refused = [&](const std::string& name, const std::string& message) {
        SCOPED_TRACE(name);
        rig.log.clear();
        EXPECT_EQ(rig.rom->FileOpen(name), 0);
        EXPECT_THAT(rig.texts(), ElementsAre(message));
        EXPECT_EQ(rig.log.rows().at(0).type, ProgressReporter::Error);
        EXPECT_EQ(rig.rom->ImageData(), earlier);
        EXPECT_EQ(rig.rom->ImageSize(), 4321);
    };
    const auto cannotOpen = [&](const std::string& name) { refused(name, "Error opening file for reading: " + name + "\n"); };
    cannotOpen((dir / "missing.srec").u8string());
    cannotOpen(dir.u8string());
    cannotOpen("");
    refused(romtest::sparseFile(dir / "huge.bit", 0x2000001), "Error, file is too large: 33554433 bytes\n");

#ifndef _WIN32
    // A FIFO would block a plain open until a writer comes.
    const auto fifo = dir / "fifo.srec";
    ASSERT_EQ(mkfifo(fifo.c_str(), 0600), 0);
    cannotOpen(fifo.u8string());
    cannotOpen("/dev/zero");

    // sysfs files claim 4096 bytes and deliver a few: a short read.
    for (const char* shortFile : {"/sys/kernel/profiling", "/sys/power/state"})
        if (std::filesystem::is_regular_file(shortFile)) {
            refused(shortFile, "Error reading file!\n");
            break;
        }
#endif
}

TEST(TRomFileOpen, EmptyAndFullSizeFilesLoad)
{
    Rig rig;
    rig.rom->SetOffset(0);
    const auto dir = romtest::scratchDir();
    EXPECT_EQ(rig.rom->FileOpen(romtest::writeFile(dir / "empty.srec", {})), 1);
    EXPECT_EQ(rig.rom->ImageSize(), 0);
    EXPECT_TRUE(rig.rom->ImageData().empty());
    EXPECT_THAT(rig.texts(), ElementsAre("File read successfully. Size: 0 bytes\n"));
    EXPECT_EQ(rig.rom->FileOpen(romtest::sparseFile(dir / "full.bit", 0x2000000)), 1);
    EXPECT_EQ(rig.rom->ImageSize(), 0x2000000);
}

// Nothing calls it: what it must do, bit order reversed byte by byte for
// exactly the loaded image's length (every bit set in one byte or another).
TEST(TRomConvertRBF, ReversesTheBitsOfEachImageByte)
{
    Rig rig;
    ASSERT_EQ(rig.rom->SetImage(romtest::Bytes(4)), 1);
    unsigned char in[] = {0x01, 0xF0, 0xA5, 0x1A, 0x03};
    unsigned char out[] = {0xEE, 0xEE, 0xEE, 0xEE, 0xEE};
    rig.rom->ConvertRBF(out, in);
    EXPECT_THAT(out, ElementsAre(0x80, 0x0F, 0xA5, 0x58, 0xEE));
}
