#include "InstrumentBoard.h"
#include "tests/support/Files.h"

#include <filesystem>
#include <fstream>

namespace {

namespace fs = std::filesystem;

class FlashImage : public ::testing::Test
{
protected:
    void SetUp() override
    {
        directory = fs::temp_directory_path() /
                    (std::string("pravel-instrument-") + ::testing::UnitTest::GetInstance()->current_test_info()->name());
        fs::remove_all(directory);
        fs::create_directories(directory);
        image = (directory / "flash.bin").string();
    }
    void TearDown() override { fs::remove_all(directory); }

    emu::InstrumentOptions options(const std::string& chip = "mt25q128") const
    {
        emu::InstrumentOptions o = InstrumentBoard::chip(chip, 1);
        o.imagePath = image;
        return o;
    }

    fs::path directory;
    std::string image;
};

TEST_F(FlashImage, WrongSizeIsRefusedAndLeftUntouched)
{
    std::ofstream(image, std::ios::binary) << "not a flash image";
    InstrumentBoard board(options());
    EXPECT_FALSE(board.board);
    for (const std::string& part : {image, std::string("17"), std::string("16777216")})
        EXPECT_NE(board.error.find(part), std::string::npos) << board.error;
    EXPECT_EQ(fs::file_size(image), 17u);

    fs::remove(image);
    InstrumentBoard created(options("mt25q128"));
    InstrumentBoard bigger(options("s25fl256")); // a 16 MiB image does not fit 32 MiB
    EXPECT_FALSE(bigger.board);
    EXPECT_EQ(testsupport::readFile(image), Bytes(16u << 20, 0xFF));
}

TEST_F(FlashImage, ChangesAreWrittenThroughPagesAtATime)
{
    InstrumentBoard board(options("unknown"));
    ASSERT_TRUE(board.board) << board.error;
    EXPECT_EQ(fs::file_size(image), 8u << 20);
    board.program(0x123456, {0x12, 0x34});
    board.write({0xB1, 0xEF, 0xFF});
    const Bytes contents = testsupport::readFile(image); // visible while the instrument runs
    EXPECT_EQ(Bytes(contents.begin() + 0x123455, contents.begin() + 0x123459), (Bytes{0xFF, 0x12, 0x34, 0xFF}));
    EXPECT_EQ(testsupport::readFile(image + ".nvcr"), (Bytes{0xEF, 0xFF}));

    board.write(InstrumentBoard::cmd(0xD8, 0x120000));
    EXPECT_EQ(testsupport::readFile(image)[0x123456], 0xFF);
}

} // namespace
