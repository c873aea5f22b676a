// The demo firmware must look real: a .bit file whose header a reader can
// walk, and S-records whose counts, checksums and addresses add up.

#include "tests/support/Files.h"
#include "emulator/DemoFirmware.h"

#include <gtest/gtest.h>

#include <filesystem>
#include <sstream>

using emu::DemoFirmware;

namespace {

uint32_t be(const std::vector<uint8_t>& b, size_t at, int bytes)
{
    uint32_t value = 0;
    for (int i = 0; i < bytes; ++i)
        value = (value << 8) | b.at(at + size_t(i));
    return value;
}

} // namespace

TEST(DemoFirmware, BitFileHeaderLeadsToAnXc7a35tBitstream)
{
    const std::vector<uint8_t> bit = DemoFirmware::bitFile();
    const std::vector<uint8_t> magic = {0x00, 0x09, 0x0F, 0xF0, 0x0F, 0xF0, 0x0F, 0xF0, 0x0F, 0xF0, 0x00, 0x00, 0x01};
    ASSERT_TRUE(std::equal(magic.begin(), magic.end(), bit.begin()));
    size_t at = magic.size();
    for (char key : {'a', 'b', 'c', 'd', 'e'}) {
        ASSERT_EQ(bit.at(at), uint8_t(key));
        if (key == 'e')
            break;
        const uint32_t length = be(bit, at + 1, 2);
        EXPECT_EQ(bit.at(at + 2 + length), 0) << key << " is NUL-terminated within its length";
        at += 3 + length;
    }
    ASSERT_EQ(be(bit, at + 1, 4), 2192012u);
    const size_t raw = at + 5;
    ASSERT_EQ(bit.size(), raw + 2192012u);
    EXPECT_EQ(be(bit, raw, 4), 0xFFFFFFFFu); // the FPGA port tests configure the FPGA with it
}

TEST(DemoFirmware, SrecRecordsAddUpAndTheDirectoryHoldsTheThreeFiles)
{
    std::istringstream text(DemoFirmware::srecFile(1000, 0x8000)); // not a whole number of records
    std::string line, types;
    uint32_t next = 0x8000;
    while (std::getline(text, line)) {
        line.erase(line.find_last_not_of('\r') + 1);
        ASSERT_TRUE(line.size() >= 10 && line[0] == 'S' && line.size() % 2 == 0) << line;
        std::vector<uint8_t> bytes;
        unsigned sum = 0;
        for (size_t i = 2; i < line.size(); i += 2)
            sum += bytes.emplace_back(uint8_t(std::stoul(line.substr(i, 2), nullptr, 16)));
        EXPECT_EQ(bytes[0], bytes.size() - 1) << line;
        EXPECT_EQ(sum & 0xFF, 0xFFu) << line;
        types += line[1];
        if (line[1] == '3') {
            EXPECT_EQ(be(bytes, 1, 4), next) << line;
            next += uint32_t(bytes.size()) - 6;
        }
    }
    EXPECT_EQ(types.front(), '0');
    EXPECT_EQ(types.back(), '7');
    EXPECT_EQ(next, 0x8000u + 1000);

    const testsupport::ScratchDir scratch("pravel-demo-firmware");
    const std::filesystem::path& root = scratch.path();
    std::string error;
    ASSERT_TRUE(DemoFirmware::writeDirectory((root / "fw").string(), "demo", error)) << error;
    EXPECT_EQ(std::filesystem::file_size(root / "fw" / "version.txt"), 5u);
    EXPECT_EQ(std::filesystem::file_size(root / "fw" / "download.bit"), DemoFirmware::bitFile().size());
    EXPECT_TRUE(std::filesystem::exists(root / "fw" / "pravel.srec"));
    // Below a file no directory can be made: an error, not a crash.
    EXPECT_FALSE(DemoFirmware::writeDirectory((root / "fw" / "version.txt" / "x").string(), "demo", error));
    EXPECT_FALSE(error.empty());
}
