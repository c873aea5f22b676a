// pravel-flash end to end: the built binary on the emulated instrument, with
// the flash kept in an image file in a temporary directory.

#include "tests/cli/ToolProcess.h"

#include <algorithm>
#include <cstdint>
#include <filesystem>
#include <fstream>
#include <cstring>

#include <gtest/gtest.h>

namespace fs = std::filesystem;
using clitest::Outcome;
using clitest::ToolProcess;
using Bytes = std::vector<uint8_t>;

namespace {

constexpr uint32_t kFlashSize = 16 * 1024 * 1024; // mt25q128
constexpr uint32_t kSector = 0x10000;
constexpr uint32_t kApplication = 0x500000;

// Pseudo-random bytes, cheap enough for whole flash images in a debug build.
Bytes randomBytes(size_t size, uint32_t seed)
{
    Bytes bytes(size);
    uint64_t state = 0x9E3779B97F4A7C15ull * (seed + 1);
    for (size_t i = 0; i < size; i += 8) {
        state ^= state << 13;
        state ^= state >> 7;
        state ^= state << 17;
        std::memcpy(bytes.data() + i, &state, std::min<size_t>(8, size - i));
    }
    return bytes;
}

void writeFile(const fs::path& path, const Bytes& bytes)
{
    std::ofstream out(path, std::ios::binary | std::ios::trunc);
    out.write(reinterpret_cast<const char*>(bytes.data()), static_cast<std::streamsize>(bytes.size()));
}

Bytes readFile(const fs::path& path)
{
    std::ifstream in(path, std::ios::binary | std::ios::ate);
    Bytes bytes(in ? static_cast<size_t>(in.tellg()) : 0);
    in.seekg(0);
    in.read(reinterpret_cast<char*>(bytes.data()), static_cast<std::streamsize>(bytes.size()));
    return bytes;
}

// A Xilinx .bit file: the fixed header, the raw-data field, then dummy
// words, the bus-width pattern, the sync word and `afterSync` bytes.
Bytes bitFile(size_t afterSync)
{
    Bytes raw(16, 0xFF);
    const Bytes preamble = {0x00, 0x00, 0x00, 0xBB, 0x11, 0x22, 0x00, 0x44, 0xFF, 0xFF,
                            0xFF, 0xFF, 0xAA, 0x99, 0x55, 0x66};
    raw.insert(raw.end(), preamble.begin(), preamble.end());
    const Bytes body = randomBytes(afterSync, 7);
    raw.insert(raw.end(), body.begin(), body.end());

    Bytes file = {0x00, 0x09, 0x0F, 0xF0, 0x0F, 0xF0, 0x0F, 0xF0, 0x0F, 0xF0, 0x00, 0x00, 0x01, 'e'};
    const uint32_t n = static_cast<uint32_t>(raw.size());
    file.insert(file.end(), {uint8_t(n >> 24), uint8_t(n >> 16), uint8_t(n >> 8), uint8_t(n)});
    file.insert(file.end(), raw.begin(), raw.end());
    return file;
}

size_t count(const std::string& text, const std::string& needle)
{
    size_t n = 0;
    for (size_t at = text.find(needle); at != std::string::npos; at = text.find(needle, at + 1))
        ++n;
    return n;
}

class FlashToolTest : public ::testing::Test
{
protected:
    void SetUp() override
    {
        std::string pattern = (fs::temp_directory_path() / "pravel-cli-XXXXXX").string();
        ASSERT_NE(mkdtemp(pattern.data()), nullptr);
        dir = pattern;
        flash = dir / "flash.bin";
    }

    void TearDown() override
    {
        std::error_code ec;
        fs::remove_all(dir, ec);
    }

    std::map<std::string, std::string> environment(const std::string& faults, const std::string& chip) const
    {
        std::map<std::string, std::string> env = {{"PRAVEL_DEVICE", "emulated"},
                                                  {"PRAVEL_EMULATED_IMAGE", flash.string()}};
        if (!faults.empty())
            env["PRAVEL_EMULATED_FAULTS"] = faults;
        if (!chip.empty())
            env["PRAVEL_EMULATED_CHIP"] = chip;
        return env;
    }

    Outcome run(const std::vector<std::string>& args, const std::string& faults = "", const std::string& chip = "")
    {
        return ToolProcess(args, environment(faults, chip)).finish();
    }

    std::string file(const std::string& name, const Bytes& bytes)
    {
        writeFile(dir / name, bytes);
        return (dir / name).string();
    }

    fs::path dir;
    fs::path flash;
};

TEST_F(FlashToolTest, FirmwareSetLandsAtItsOffsetsAndNothingElseChanges)
{
    // Start from a flash full of known data, so a stray erase or write shows.
    const Bytes before = randomBytes(kFlashSize, 1);
    writeFile(flash, before);

    fs::create_directory(dir / "fw");
    const Bytes application = randomBytes(70000, 2); // ends inside its second sector
    const Bytes bitstream = bitFile(150000);
    writeFile(dir / "fw" / "pravel.srec", application);
    writeFile(dir / "fw" / "download.bit", bitstream);
    std::ofstream(dir / "fw" / "version.txt") << "2.7.1\nnotes that are not the version\n";

    const Outcome written = run({"write", "--firmware-dir", (dir / "fw").string()});
    ASSERT_EQ(written.status, 0) << written.err;
    const size_t version = written.out.find("Firmware version: 2.7.1\n");
    const size_t first = written.out.find("Starting programming of " + (dir / "fw" / "pravel.srec").string());
    const size_t second = written.out.find("Starting programming of " + (dir / "fw" / "download.bit").string());
    EXPECT_LT(version, first);
    EXPECT_LT(first, second);
    EXPECT_NE(second, std::string::npos);
    EXPECT_EQ(count(written.out, "Program...OK\n"), 2u);
    EXPECT_NE(written.out.find("Device programming is complete."), std::string::npos);
    // Not a terminal: every progress state is a line of its own.
    EXPECT_EQ(written.out.find('\r'), std::string::npos);
    EXPECT_NE(written.out.find("\nProgress: 100.0%\n"), std::string::npos);

    const Bytes after = readFile(flash);
    ASSERT_EQ(after.size(), before.size());
    auto expectRange = [&](uint32_t offset, const Bytes& image) {
        const uint32_t end = offset + static_cast<uint32_t>(image.size());
        const uint32_t erasedEnd = (end + kSector - 1) / kSector * kSector;
        EXPECT_TRUE(std::equal(image.begin(), image.end(), after.begin() + offset)) << "image at " << offset;
        EXPECT_TRUE(std::all_of(after.begin() + end, after.begin() + erasedEnd, [](uint8_t b) { return b == 0xFF; }))
            << "rest of the last sector at " << offset;
        return erasedEnd;
    };
    const uint32_t bitEnd = expectRange(0, bitstream);
    const uint32_t appEnd = expectRange(kApplication, application);
    EXPECT_TRUE(std::equal(after.begin() + bitEnd, after.begin() + kApplication, before.begin() + bitEnd));
    EXPECT_TRUE(std::equal(after.begin() + appEnd, after.end(), before.begin() + appEnd));

    const Outcome verified = run({"verify", "--application", (dir / "fw" / "pravel.srec").string(), "--bitstream",
                                  (dir / "fw" / "download.bit").string()});
    EXPECT_EQ(verified.status, 0) << verified.err;
    EXPECT_EQ(count(verified.out, "Verify...OK"), 2u);

    const Outcome readApp = run({"read", "--offset", "0x500000", "--length", std::to_string(application.size()),
                                 (dir / "app.out").string()});
    const Outcome readBit =
        run({"-q", "read", "--offset=0", "--length", std::to_string(bitstream.size()), (dir / "bit.out").string()});
    EXPECT_EQ(readApp.status, 0) << readApp.err;
    EXPECT_EQ(readBit.status, 0) << readBit.err;
    EXPECT_EQ(readFile(dir / "app.out"), application);
    EXPECT_EQ(readFile(dir / "bit.out"), bitstream);
    EXPECT_EQ(readBit.out.find("progress = "), std::string::npos) << "quiet";
}

TEST_F(FlashToolTest, VerifyNamesTheDifferingPositionsAndCountsTheRest)
{
    const std::string image = file("app.srec", randomBytes(5000, 3));

    const Outcome flipped = run({"write", "--verify", "--application", image}, "flip@0x500010");
    EXPECT_EQ(flipped.status, 1);
    EXPECT_NE(flipped.out.find("Program...OK\n"), std::string::npos); // programming itself went through
    EXPECT_NE(flipped.err.find("Verify failed on point: 16\n"), std::string::npos) << flipped.err;
    EXPECT_NE(flipped.err.find("flash address 0x500010"), std::string::npos) << flipped.err;
    EXPECT_EQ(count(flipped.err, "Verify failed on point: "), 1u);
    EXPECT_EQ(flipped.out.find("Finished programming"), std::string::npos);

    // Against erased flash almost every byte differs: 20 lines, then the count.
    const Bytes data = randomBytes(3000, 4);
    const size_t differing = static_cast<size_t>(std::count_if(data.begin(), data.end(), [](uint8_t b) { return b != 0xFF; }));
    const Outcome many = run({"verify", "--offset", "0x100000", file("other.bin", data)});
    EXPECT_EQ(many.status, 1);
    EXPECT_EQ(count(many.err, "Verify failed on point: "), 20u);
    EXPECT_NE(many.err.find(std::to_string(differing) + " bytes of"), std::string::npos) << many.err;
}

TEST_F(FlashToolTest, DetectSucceedsOnlyForSupportedChips)
{
    const struct
    {
        const char* chip;
        int status;
        const char* text;
    } cases[] = {
        {"mt25q128", 0, "MT25Q128 is detected\n"},
        {"s25fl256", 0, "S25FL256 is detected\n"},
        {"arty", 0, "Arty detected\n"},
        {"corrupted", 1, "Flash corrupted!\nPlease do the following:\n"},
        {"unknown", 1, "Unknown memory is detected\n"},
        {"unplugged", 1, "Port Open Error\n"},
    };
    for (const auto& c : cases) {
        std::error_code ec;
        fs::remove(flash, ec); // each chip has its own size
        const Outcome outcome = run({"--chip", c.chip, "detect"});
        EXPECT_EQ(outcome.status, c.status) << c.chip;
        EXPECT_NE((outcome.out + outcome.err).find(c.text), std::string::npos) << c.chip << "\n" << outcome.out;
        EXPECT_EQ(outcome.out.find("Flash size:") != std::string::npos, c.status == 0) << c.chip;
    }
}

TEST_F(FlashToolTest, FaultsDuringWriteFailAndNeverClaimSuccess)
{
    const std::string image = file("image.bin", randomBytes(3000, 5));
    // With the flash busy for two status reads, the 38th and 39th USB writes
    // are the write enable and the page program of the seventh page.
    for (const std::string faults : {"FT_Write@38", "FT_Write@39", "unplug@60", "stuck-busy"}) {
        const Outcome outcome = run({"write", image}, faults);
        EXPECT_EQ(outcome.status, 1) << faults;
        EXPECT_EQ(outcome.out.find("Program...OK"), std::string::npos) << faults;
        EXPECT_NE(outcome.err.find("Programming of " + image + " failed.\n"
                                   "Please check power and USB connections and try again.\n"),
                  std::string::npos)
            << faults << "\n" << outcome.err;
        const bool verdict = outcome.err.find("Program...NG\n") != std::string::npos ||
                             outcome.err.find("Erase...NG\n") != std::string::npos;
        EXPECT_TRUE(verdict) << faults << "\n" << outcome.err;
    }
}

TEST_F(FlashToolTest, UsageErrorsExitTwoAndNameTheProblem)
{
    const std::string image = file("image.bin", Bytes(10, 0));
    const struct
    {
        std::vector<std::string> args;
        const char* names;
    } cases[] = {
        {{}, "no command"},
        {{"frobnicate"}, "unknown command \"frobnicate\""},
        {{"write", "--frobnicate", image}, "--frobnicate"},
        {{"read", "--offset", "0x5g", "--length", "4", "x"}, "--offset"},
        {{"read", "--offset", "-1", "--length", "4", "x"}, "--offset"},
        {{"read", "--offset", "0", "--length", "99999999999999999999", "x"}, "--length"},
        {{"read", "--offset", "0xfffff0", "--length", "0x20", "x"}, "--length"},
        {{"read", "--length", "4", "x"}, "--offset"},
        {{"read", "--offset"}, "--offset needs a value"},
        {{"write", "--offset", "0x8000", image}, "--offset"},
        {{"write", image, "--firmware-dir", dir.string()}, "either"},
        {{"erase", "--offset", "0", "--length", "0x8000"}, "--length"},
        {{"erase", "--all", "--offset", "0"}, "--all"},
        {{"nvcr", "--write", "0x10000"}, "--write"},
        {{"detect", "extra"}, "\"extra\""},
        {{"--device", "serial", "detect"}, "--device"},
        {{"--chip", "mx25l", "detect"}, "--chip"},
        {{"--verify", "write", image}, "--verify"},
    };
    for (const auto& c : cases) {
        const Outcome outcome = run(c.args);
        std::string line;
        for (const auto& a : c.args)
            line += a + " ";
        EXPECT_EQ(outcome.status, 2) << line;
        EXPECT_NE(outcome.err.find(c.names), std::string::npos) << line << "\n" << outcome.err;
        EXPECT_EQ(outcome.out.find("Port("), std::string::npos) << line << ": the port was opened";
    }
    EXPECT_FALSE(fs::exists(flash)) << "a usage error touched the instrument";

    for (const std::string command : {"channels", "detect", "write", "read", "verify", "erase", "status", "nvcr", "fpga"}) {
        for (const std::string help : {"--help", "-h"}) {
            const Outcome outcome = run({command, help});
            EXPECT_EQ(outcome.status, 0) << command;
            EXPECT_EQ(outcome.out.rfind("Usage: pravel-flash [global options] " + command, 0), 0u) << outcome.out;
        }
    }
    const Outcome help = run({"--help"});
    EXPECT_EQ(help.status, 0);
    EXPECT_NE(help.out.find("fpga"), std::string::npos);
    EXPECT_EQ(run({"--version"}).out.rfind("pravel-flash ", 0), 0u);
}

TEST_F(FlashToolTest, RegistersAndFpgaConfiguration)
{
    const Outcome written = run({"nvcr", "--write", "0xffef"});
    EXPECT_EQ(written.status, 0) << written.err;
    const Outcome readBack = run({"nvcr"});
    EXPECT_EQ(readBack.status, 0);
    EXPECT_NE(readBack.out.find("NVCR Read Value : 0xffef\n"), std::string::npos) << readBack.out;

    const Outcome status = run({"status"});
    EXPECT_EQ(status.status, 0);
    EXPECT_NE(status.out.find("Status = 0\n"), std::string::npos) << status.out;

    const Bytes bit = bitFile(300);
    const Outcome done = run({"-q", "fpga", "--check-done", file("good.bit", bit)});
    EXPECT_EQ(done.status, 0) << done.err;
    EXPECT_NE(done.out.find("Configuration...OK\n"), std::string::npos);
    EXPECT_EQ(done.out.find("Progress"), std::string::npos) << "quiet";

    // Cut off right after the sync word: the FPGA never starts.
    const Outcome truncated = run({"fpga", "--check-done", file("cut.bit", Bytes(bit.begin(), bit.begin() + 60))});
    EXPECT_EQ(truncated.status, 1);
    EXPECT_NE(truncated.err.find("DONE is low"), std::string::npos) << truncated.err;

    const Outcome wrongType = run({"fpga", file("image.bin", bit)});
    EXPECT_EQ(wrongType.status, 1);
    EXPECT_EQ(wrongType.out.find("Port("), std::string::npos) << "the FPGA was reset for a file it cannot load";
}

TEST_F(FlashToolTest, ReadReplacesItsFileWholeOrNotAtAll)
{
    const Bytes content = randomBytes(kFlashSize, 6);
    writeFile(flash, content);
    const std::string target = file("dump.bin", Bytes{'o', 'l', 'd'});

    // The third reply is the second 64 KiB chunk (the first is the identification).
    const Outcome failed = run({"read", "--offset", "0x10000", "--length", "0x30000", target}, "no-reply@3");
    EXPECT_EQ(failed.status, 1);
    EXPECT_NE(failed.err.find("Read...NG\n"), std::string::npos);
    EXPECT_EQ(readFile(target), (Bytes{'o', 'l', 'd'}));
    EXPECT_EQ(std::distance(fs::directory_iterator(dir), fs::directory_iterator()), 2) << "a partial file was left";

    const Outcome read = run({"read", "--offset", "0x10000", "--length", "0x30000", target});
    EXPECT_EQ(read.status, 0) << read.err;
    EXPECT_EQ(readFile(target), Bytes(content.begin() + 0x10000, content.begin() + 0x40000));
}

TEST_F(FlashToolTest, EraseTouchesOnlyTheSectorsAsked)
{
    const Bytes content = randomBytes(kFlashSize, 8);
    writeFile(flash, content);
    const Outcome range = run({"erase", "--offset", "0x20000", "--length", "0x20000"});
    EXPECT_EQ(range.status, 0) << range.err;
    EXPECT_NE(range.out.find("Erase...OK\n"), std::string::npos);
    Bytes expected = content;
    std::fill(expected.begin() + 0x20000, expected.begin() + 0x40000, 0xFF);
    EXPECT_TRUE(readFile(flash) == expected);

    const Outcome all = run({"erase", "--all"});
    EXPECT_EQ(all.status, 0) << all.err;
    const Bytes erased = readFile(flash);
    EXPECT_TRUE(std::all_of(erased.begin(), erased.end(), [](uint8_t b) { return b == 0xFF; }));

    const Outcome stuck = run({"erase", "--all"}, "stuck-busy");
    EXPECT_EQ(stuck.status, 1);
    EXPECT_NE(stuck.err.find("Erase...NG\n"), std::string::npos);
}

TEST_F(FlashToolTest, CtrlCStopsBetweenTransactions)
{
    const Bytes image = randomBytes(2 * 1024 * 1024, 9);
    const std::string path = file("big.bin", image);

    ToolProcess tool({"write", path}, environment("", ""));
    ASSERT_TRUE(tool.waitForOutput("Programming...\n"));
    ASSERT_TRUE(tool.waitForOutput("Progress: ", tool.outputSoFar().find("Programming...\n")));
    tool.signal(SIGINT);
    const Outcome outcome = tool.finish();

    EXPECT_EQ(outcome.status, 130) << outcome.err;
    EXPECT_EQ(outcome.err.substr(outcome.err.size() - std::min<size_t>(outcome.err.size(), 12)), "interrupted\n");
    EXPECT_EQ(outcome.out.find("Program...OK"), std::string::npos);
    EXPECT_NE(outcome.out.find("Port(USB <-> Serial Converter B) close\n"), std::string::npos) << "port left open";

    // Whole pages of the image, then erased flash: no page was cut short.
    const Bytes after = readFile(flash);
    const auto firstDifference =
        static_cast<size_t>(std::mismatch(image.begin(), image.end(), after.begin()).first - image.begin());
    EXPECT_GT(firstDifference, 0u);
    EXPECT_LT(firstDifference, image.size());
    EXPECT_EQ(firstDifference % 256, 0u);
    EXPECT_TRUE(std::all_of(after.begin() + static_cast<long>(firstDifference), after.begin() + static_cast<long>(image.size()),
                            [](uint8_t b) { return b == 0xFF; }));
}

} // namespace
