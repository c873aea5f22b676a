// Files for the wrong offset, damaged files and the demo set, in memory and
// from disk.

#include "device/ImageCheck.h"
#include "emulator/DemoFirmware.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

namespace {

using Bytes = std::vector<unsigned char>;

Bytes bytes(const std::string& text) { return Bytes(text.begin(), text.end()); }

const Bytes demoBit = emu::DemoFirmware::bitFile();
const Bytes demoSrec = bytes(emu::DemoFirmware::srecFile());

// The demo .bit without its header: the bare configuration data.
Bytes bareBitstream()
{
    const Bytes bit = emu::DemoFirmware::bitFile("x", "7a35tcsg324", 512);
    return Bytes(bit.end() - 512, bit.end());
}

} // namespace

TEST(ImageCheck, DemoFirmwareAndItsVariantsPass)
{
    EXPECT_EQ(ImageCheck::check(demoBit, 0), "");
    EXPECT_EQ(ImageCheck::check(bareBitstream(), 0), "");
    EXPECT_EQ(ImageCheck::check(demoSrec, 0x500000), "");
    // Unix line ends, no line end after the last record, S1/S2 records.
    std::string unix = emu::DemoFirmware::srecFile(100);
    for (std::size_t at; (at = unix.find("\r\n")) != std::string::npos;)
        unix.erase(at, 1);
    EXPECT_EQ(ImageCheck::checkSRecords(bytes(unix)), "");
    unix.pop_back();
    EXPECT_EQ(ImageCheck::checkSRecords(bytes(unix)), "");
    EXPECT_EQ(ImageCheck::checkSRecords(bytes("S107000001020304EE\nS20800001005060708CD\nS9030000FC\n")), "");
    // No rule elsewhere: anything goes.
    EXPECT_EQ(ImageCheck::check(bytes("anything"), 0x100000), "");
}

TEST(ImageCheck, EachImageRefusedAtTheOtherOffset)
{
    EXPECT_NE(ImageCheck::check(demoSrec, 0).find("not an FPGA bitstream"), std::string::npos);
    EXPECT_NE(ImageCheck::check(demoBit, 0x500000).find("line 1 is not an S-record"), std::string::npos);
    EXPECT_NE(ImageCheck::check(bareBitstream(), 0x500000), "");
    EXPECT_EQ(ImageCheck::check({}, 0), "The file is empty.");
    EXPECT_EQ(ImageCheck::check({}, 0x500000), "The file is empty.");
}

TEST(ImageCheck, DamagedBitstreams)
{
    // The sync word pushed beyond the window it must appear in.
    Bytes late(ImageCheck::syncWindow, 0xFF);
    const Bytes raw = bareBitstream();
    late.insert(late.end(), raw.begin(), raw.end());
    EXPECT_NE(ImageCheck::checkBitstream(late), "");

    const std::pair<std::size_t, const char*> cuts[] = {
        {20, "cut short"}, {demoBit.size() - 1, "less configuration data"}};
    for (const auto& [size, words] : cuts) {
        const Bytes cut(demoBit.begin(), demoBit.begin() + long(size));
        EXPECT_NE(ImageCheck::checkBitstream(cut).find(words), std::string::npos) << size;
    }
    Bytes badField = demoBit;
    badField[13] = 'z'; // where the design name's 'a' belongs
    EXPECT_NE(ImageCheck::checkBitstream(badField).find("damaged"), std::string::npos);

    // A header whose data has no sync word: a .bit of something else.
    Bytes noSync = emu::DemoFirmware::bitFile("x", "7a35tcsg324", 512);
    for (std::size_t i = noSync.size() - 512; i < noSync.size(); ++i)
        if (noSync[i] == 0xAA)
            noSync[i] = 0xAB;
    EXPECT_NE(ImageCheck::checkBitstream(noSync).find("no sync word"), std::string::npos);
}

TEST(ImageCheck, DamagedSRecordsNameTheLineAndTheFault)
{
    const std::string good = "S00600004844521B\r\nS107000001020304EE\r\nS9030000FC\r\n";
    ASSERT_EQ(ImageCheck::checkSRecords(bytes(good)), "");
    const std::pair<std::string, std::string> cases[] = {
        {"S107000001020304EF", "line 2 has the checksum 0xEF where its bytes give 0xEE"},
        {"S108000001020304EE", "line 2 says it holds 8 bytes but holds 7"},
        {"S407000001020304EE", "line 2 has the undefined record type S4"},
        {"S10700000102030GEE", "line 2 holds a character that is not a hexadecimal digit"},
        {"S107000001020304E", "line 2 has an odd number of hexadecimal digits"},
        {"S304000000FB", "line 2 is too short for its address and checksum"},
        {"", "line 2 is not an S-record"},
        {":0400000001020304F2", "line 2 is not an S-record"}, // Intel HEX
    };
    for (const auto& [line, problem] : cases) {
        std::string text = good;
        text.replace(text.find("S107"), 18, line);
        EXPECT_EQ(ImageCheck::checkSRecords(bytes(text)), "The file is not a valid S-record file: " + problem + ".")
            << line;
    }
    EXPECT_EQ(ImageCheck::checkSRecords(bytes("S00600004844521B\nS9030000FC\n")),
              "The S-record file holds no data records.");
}
