// pravel-flash end to end: the built binary on the emulated instrument, with
// the flash kept in an image file in a temporary directory; and the tool in
// this process where a test must hold it at one transaction.

#include "tests/support/ChildRun.h"
#include "tests/support/Diagnose.h"
#include "tests/support/Emulated.h"
#include "tests/support/GatedDriver.h"
#include "tests/support/VendorBitstreams.h"

#include "cli/CommandLine.h"
#include "cli/ConsoleReporter.h"
#include "cli/FlashTool.h"
#include "cli/InterruptSignal.h"
#include "emulator/CallTrace.h"
#include "emulator/DemoFirmware.h"

#include <algorithm>
#include <csignal>
#include <cstdint>
#include <filesystem>
#include <fstream>
#include <future>
#include <map>
#include <sstream>
#include <string>
#include <tuple>
#include <vector>

#include <gtest/gtest.h>
#include <nlohmann/json.hpp>

namespace fs = std::filesystem;
using testsupport::Bytes;
using testsupport::randomBytes;
using testsupport::readFile;
using testsupport::writeFile;

namespace {

constexpr uint32_t kFlashSize = 16 * 1024 * 1024; // mt25q128

std::string text(const fs::path& path)
{
    const Bytes bytes = readFile(path);
    return std::string(bytes.begin(), bytes.end());
}

// A .bit file for the instrument's FPGA with `rawSize` bytes of configuration data.
Bytes bitFile(uint32_t rawSize) { return emu::DemoFirmware::bitFile("tool", "7a35tcsg324", rawSize); }

size_t count(const std::string& text, const std::string& needle)
{
    size_t n = 0;
    for (size_t at = text.find(needle); at != std::string::npos; at = text.find(needle, at + 1))
        ++n;
    return n;
}

bool has(const std::string& text, const std::string& needle) { return text.find(needle) != std::string::npos; }

using Outcome = testsupport::ChildOutcome;

class FlashToolTest : public ::testing::Test
{
protected:
    // The tool on the emulated instrument, in `dir`.
    Outcome run(const std::vector<std::string>& args, const std::string& faults = "", const std::string& chip = "",
                const std::string& boot = "")
    {
        std::map<std::string, std::string> env = {{"PRAVEL_DEVICE", "emulated"}, {"PRAVEL_EMULATED_IMAGE", flash.string()}};
        if (!faults.empty())
            env["PRAVEL_EMULATED_FAULTS"] = faults;
        if (!chip.empty())
            env["PRAVEL_EMULATED_CHIP"] = chip;
        if (!boot.empty())
            env["PRAVEL_EMULATED_BOOT"] = boot;
        std::vector<std::string> argv = {PRAVEL_FLASH_BINARY};
        argv.insert(argv.end(), args.begin(), args.end());
        return testsupport::runChild(argv, env, dir);
    }
    std::string file(const std::string& name, const Bytes& bytes)
    {
        writeFile(dir / name, bytes);
        return (dir / name).string();
    }

    testsupport::ScratchDir scratch{"pravel-cli"};
    const fs::path dir = scratch.path();
    const fs::path flash = dir / "flash.bin";
};

TEST_F(FlashToolTest, FirmwareSetLandsAtItsOffsetsAndNothingElseChanges)
{
    // Start from a flash full of known data, so a stray erase or write shows.
    const Bytes before = randomBytes(kFlashSize, 1);
    writeFile(flash, before);
    const fs::path fw = dir / "fw";
    fs::create_directory(fw);
    const std::string records = emu::DemoFirmware::srecFile(30000);
    const Bytes application(records.begin(), records.end()); // S-records ending inside their second sector
    ASSERT_GT(application.size(), 0x10000u);
    ASSERT_LT(application.size(), 0x20000u);
    const Bytes bitstream = bitFile(150000);
    writeFile(fw / "pravel.srec", application);
    writeFile(fw / "download.bit", bitstream);
    std::ofstream(fw / "version.txt") << "2.7.1\nnotes that are not the version\n";

    const Outcome written = run({"write", "--firmware-dir", fw.string()});
    ASSERT_EQ(written.status, 0) << written.err;
    const size_t version = written.out.find("Firmware version: 2.7.1\n");
    const size_t first = written.out.find("Starting programming of " + (fw / "pravel.srec").string());
    const size_t second = written.out.find("Starting programming of " + (fw / "download.bit").string());
    EXPECT_LT(version, first);
    EXPECT_LT(first, written.out.find("File read successfully. Size: " + std::to_string(application.size())));
    EXPECT_LT(first, second);
    EXPECT_NE(second, std::string::npos);
    EXPECT_EQ(count(written.out, "Program...OK\n"), 2u);
    EXPECT_TRUE(has(written.out, "Device programming is complete."));
    // Not a terminal: every progress state is a line of its own.
    EXPECT_FALSE(has(written.out, "\r"));
    EXPECT_TRUE(has(written.out, "\nProgress: 100.0%\n"));

    // Each image, the rest of its last sector erased, everything else as before.
    Bytes expected = before;
    for (const auto& [offset, image] : {std::pair<uint32_t, const Bytes&>{0, bitstream}, {0x500000, application}}) {
        const size_t end = offset + image.size(), sectorEnd = (end + 0xFFFF) / 0x10000 * 0x10000;
        std::copy(image.begin(), image.end(), expected.begin() + offset);
        std::fill(expected.begin() + static_cast<long>(end), expected.begin() + static_cast<long>(sectorEnd), 0xFF);
    }
    EXPECT_TRUE(readFile(flash) == expected);

    const Outcome verified = run({"verify", "--application", (fw / "pravel.srec").string(), "--bitstream", (fw / "download.bit").string()});
    EXPECT_EQ(verified.status, 0) << verified.err;
    EXPECT_EQ(count(verified.out, "Verify...OK"), 2u);

    const Outcome readApp = run({"read", "--offset", "0x500000", "--length", std::to_string(application.size()), (dir / "app.out").string()});
    const Outcome readBit = run({"-q", "read", "--offset=0", "--length", std::to_string(bitstream.size()), (dir / "bit.out").string()});
    EXPECT_EQ(readApp.status + readBit.status, 0) << readApp.err << readBit.err;
    EXPECT_EQ(readFile(dir / "app.out"), application);
    EXPECT_EQ(readFile(dir / "bit.out"), bitstream);
    EXPECT_FALSE(has(readBit.out, "progress = ")) << "quiet";
}

TEST_F(FlashToolTest, VerifyNamesTheDifferingPositionsAndCountsTheRest)
{
    const Outcome flipped = run({"write", "--verify", "--force", "--application", file("app.srec", randomBytes(5000, 3))}, "flip@0x500010");
    EXPECT_EQ(flipped.status, 1);
    EXPECT_TRUE(has(flipped.out, "Program...OK\n")); // programming itself went through
    EXPECT_TRUE(has(flipped.err, "Verify failed on point: 16\n")) << flipped.err;
    EXPECT_TRUE(has(flipped.err, "flash address 0x500010")) << flipped.err;
    EXPECT_EQ(count(flipped.err, "Verify failed on point: "), 1u);
    EXPECT_FALSE(has(flipped.out, "Finished programming"));

    // Against erased flash almost every byte differs: 20 lines, then the count.
    const Bytes data = randomBytes(3000, 4);
    const auto differing = std::count_if(data.begin(), data.end(), [](uint8_t b) { return b != 0xFF; });
    const Outcome many = run({"verify", "--offset", "0x100000", file("other.bin", data)});
    EXPECT_EQ(many.status, 1);
    EXPECT_EQ(count(many.err, "Verify failed on point: "), 20u);
    EXPECT_TRUE(has(many.err, std::to_string(differing) + " bytes of")) << many.err;
}

TEST_F(FlashToolTest, ChangedOnlyRewritesWhatDiffersAndSaysWhatItSkipped)
{
    Bytes image = randomBytes(0x30000, 7);
    ASSERT_EQ(run({"-q", "write", "--offset", "0x100000", file("image.bin", image)}).status, 0);
    image[0x25000] = static_cast<uint8_t>(~image[0x25000]);
    const Outcome changed = run({"-q", "write", "--verify", "--changed-only", "--offset", "0x100000", file("image.bin", image)});
    EXPECT_EQ(changed.status, 0) << changed.err;
    EXPECT_TRUE(has(changed.out, "Unchanged sectors skipped: 2 of 3\n")) << changed.out;
    EXPECT_TRUE(has(changed.out, "Erase Sector address 0x120000 to 0x12ffff\n")) << changed.out;
    EXPECT_TRUE(has(changed.out, "Verify...OK"));
    const Bytes after = readFile(flash);
    EXPECT_TRUE(std::equal(image.begin(), image.end(), after.begin() + 0x100000));

    // The comparison's reply lost (after identification's two): nothing went out that changes the flash.
    const Outcome unread = run({"-q", "write", "--changed-only", "--offset", "0x100000", file("image.bin", image)}, "no-reply@3");
    EXPECT_EQ(unread.status, 1);
    EXPECT_TRUE(has(unread.err, "Error, the flash could not be read to compare it with the image\nNothing was written\n"))
        << unread.err;
}

// Each chip's own lines are proven through TRom; here, the exit status.
TEST_F(FlashToolTest, DetectSucceedsOnlyForSupportedChips)
{
    const std::tuple<const char*, int, const char*> cases[] = {
        {"s25fl256", 0, "S25FL256 is detected\n"}, {"unknown", 1, "Unknown memory is detected\n"},
        {"unplugged", 1, "Port Open Error\n"}};
    for (const auto& [chip, status, message] : cases) {
        SCOPED_TRACE(chip);
        std::error_code ec;
        fs::remove(flash, ec); // each chip has its own size
        const Outcome outcome = run({"--chip", chip, "detect"});
        EXPECT_EQ(outcome.status, status);
        EXPECT_TRUE(has(outcome.out + outcome.err, message)) << outcome.out;
        EXPECT_EQ(has(outcome.out, "Flash size:"), status == 0);
    }
}

TEST_F(FlashToolTest, FaultsDuringWriteFailAndNeverClaimSuccess)
{
    const std::string image = file("image.bin", randomBytes(3000, 5));
    // The 7th and 8th USB writes carry the second and third batch of pages
    // (after set-up, identification, and the erase with its one poll).
    for (const std::string faults : {"FT_Write@7", "FT_Write@8", "unplug@25", "stuck-busy", "stuck-page@0x400"}) {
        SCOPED_TRACE(faults);
        const Outcome outcome = run({"write", "--force", image}, faults);
        EXPECT_EQ(outcome.status, 1);
        EXPECT_FALSE(has(outcome.out, "Program...OK"));
        EXPECT_TRUE(has(outcome.err, "Programming of " + image + " failed.\nPlease check power and USB connections and try again.\n"))
            << outcome.err;
        EXPECT_TRUE(has(outcome.err, "Program...NG\n") || has(outcome.err, "Erase...NG\n")) << outcome.err;
    }
    // Identification's reply lost: nothing written, and where to look.
    const Outcome unread = run({"write", "--force", image}, "no-reply@1");
    EXPECT_TRUE(has(unread.err, "Memory access failed\nNothing was written\nPlease check power and USB connections and try again.\n"))
        << unread.err;
}

TEST_F(FlashToolTest, UsageErrorsExitTwoAndNameTheProblem)
{
    const std::string image = file("image.bin", Bytes(10, 0));
    const std::pair<std::vector<std::string>, const char*> cases[] = {
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
    for (const auto& [args, names] : cases) {
        std::string line;
        for (const auto& a : args)
            line += a + " ";
        SCOPED_TRACE(line);
        const Outcome outcome = run(args);
        EXPECT_EQ(outcome.status, 2);
        EXPECT_TRUE(has(outcome.err, names)) << outcome.err;
        EXPECT_FALSE(has(outcome.out, "Port(")) << "the port was opened";
    }
    EXPECT_FALSE(fs::exists(flash)) << "a usage error touched the instrument";

    const std::string commands[] = {"channels", "detect", "write", "read", "verify", "erase", "status", "nvcr", "fpga", "check-boot"};
    for (size_t i = 0; i < std::size(commands); ++i) {
        const Outcome outcome = run({commands[i], i % 2 ? "-h" : "--help"});
        EXPECT_EQ(outcome.status, 0) << commands[i];
        EXPECT_EQ(outcome.out.rfind("Usage: pravel-flash [global options] " + commands[i], 0), 0u) << outcome.out;
    }
    const Outcome help = run({"--help"});
    EXPECT_EQ(help.status, 0);
    EXPECT_TRUE(has(help.out, "fpga"));
    EXPECT_EQ(run({"--version"}).out.rfind("pravel-flash ", 0), 0u);
}

TEST_F(FlashToolTest, RegistersAndFpgaConfiguration)
{
    EXPECT_EQ(run({"nvcr", "--write", "0xffef"}).status, 0);
    const Outcome readBack = run({"nvcr"});
    EXPECT_EQ(readBack.status, 0);
    EXPECT_TRUE(has(readBack.out, "NVCR Read Value : 0xffef\n")) << readBack.out;
    const Outcome status = run({"status"});
    EXPECT_EQ(status.status, 0);
    EXPECT_TRUE(has(status.out, "Status = 0\n") && has(status.out, "Flag Status = ")) << status.out;
    // The S25FL256 has neither the flag status register nor the NVCR: status
    // shows what it has; the register is refused before anything is sent.
    const std::string spansion = (dir / "s25fl256.bin").string();
    const Outcome partStatus = run({"--image", spansion, "status"}, "", "s25fl256");
    EXPECT_EQ(partStatus.status, 0) << partStatus.err;
    EXPECT_TRUE(has(partStatus.out, "Status = ") && !has(partStatus.out, "Flag Status")) << partStatus.out;
    const Outcome partNvcr = run({"--image", spansion, "nvcr", "--write", "0x1234"}, "", "s25fl256");
    EXPECT_EQ(partNvcr.status, 1);
    EXPECT_TRUE(has(partNvcr.err, "has no non-volatile configuration register")) << partNvcr.err;
    EXPECT_FALSE(has(partNvcr.out, "NVCR Write Success"));
    EXPECT_EQ(run({"--image", spansion, "nvcr"}, "", "s25fl256").status, 1);

    // Only the whole bitstream configures the FPGA: every frame, the CRC, then start-up.
    const Bytes bit = emu::DemoFirmware::bitFile();
    const Outcome done = run({"-q", "fpga", "--check-done", file("good.bit", bit)});
    EXPECT_EQ(done.status, 0) << done.err;
    EXPECT_TRUE(has(done.out, "Configuration...OK\n"));
    EXPECT_FALSE(has(done.out, "Progress")) << "quiet";
    // Which cut streams leave DONE low is the emulated FPGA's own test.
    const Outcome truncated = run({"fpga", "--check-done", file("cut.bit", Bytes(bit.begin(), bit.end() - 100))});
    EXPECT_EQ(truncated.status, 1);
    EXPECT_TRUE(has(truncated.err, "DONE is low")) << truncated.err;
    // A DONE pin that could not be read (the switch to the pin's bit mode, the
    // pin read) is no low one.
    for (const char* fault : {"FT_SetBitMode@2", "FT_GetBitMode@1"}) {
        const Outcome unread = run({"fpga", "--check-done", file("good.bit", bit)}, fault);
        EXPECT_EQ(unread.status, 1) << fault;
        EXPECT_TRUE(has(unread.err, "the DONE pin could not be read") && !has(unread.err, "DONE is low"))
            << fault << unread.err;
    }
    const Outcome wrongType = run({"fpga", file("image.bin", bit)});
    EXPECT_EQ(wrongType.status, 1);
    EXPECT_FALSE(has(wrongType.out, "Port(")) << "the FPGA was reset for a file it cannot load";
}

TEST_F(FlashToolTest, ReadReplacesItsFileWholeOrNotAtAll)
{
    const Bytes content = randomBytes(kFlashSize, 6);
    writeFile(flash, content);
    const std::string target = file("dump.bin", Bytes{'o', 'l', 'd'});
    // The third reply is the second 64 KiB chunk (the first is the identification).
    const Outcome failed = run({"read", "--offset", "0x10000", "--length", "0x30000", target}, "no-reply@3");
    EXPECT_EQ(failed.status, 1);
    EXPECT_TRUE(has(failed.err, "Read...NG\n"));
    EXPECT_EQ(readFile(target), (Bytes{'o', 'l', 'd'}));
    EXPECT_EQ(std::distance(fs::directory_iterator(dir), fs::directory_iterator()), 2) << "a partial file was left";

    EXPECT_EQ(run({"read", "--offset", "0x10000", "--length", "0x30000", target}).status, 0);
    EXPECT_EQ(readFile(target), Bytes(content.begin() + 0x10000, content.begin() + 0x40000));
}

// Erase itself is proven through TRom; here, that the tool's range reaches
// exactly the sectors asked, and the whole-chip form.
TEST_F(FlashToolTest, EraseTouchesOnlyTheSectorsAsked)
{
    Bytes content = randomBytes(kFlashSize, 8);
    writeFile(flash, content);
    const Outcome range = run({"erase", "--offset", "0x20000", "--length", "0x20000"});
    EXPECT_EQ(range.status, 0) << range.err;
    EXPECT_TRUE(has(range.out, "Erase...OK\n"));
    std::fill(content.begin() + 0x20000, content.begin() + 0x40000, 0xFF);
    EXPECT_TRUE(readFile(flash) == content);

    EXPECT_EQ(run({"erase", "--all"}).status, 0);
    EXPECT_TRUE(readFile(flash) == Bytes(kFlashSize, 0xFF));
}

// A file that does not look like what belongs at its offset is refused
// before the port opens, unless --force.
TEST_F(FlashToolTest, FilesOfTheWrongKindNeedForce)
{
    const std::string records = emu::DemoFirmware::srecFile(2000);
    const std::string srec = file("app.srec", Bytes(records.begin(), records.end()));
    const Outcome refused = run({"write", srec});
    EXPECT_EQ(refused.status, 1);
    EXPECT_TRUE(has(refused.err, "Error, " + srec + " does not belong at 0: ")) << refused.err;
    EXPECT_TRUE(has(refused.err, "--force")) << refused.err;
    EXPECT_FALSE(has(refused.out, "Port(")) << "the port was opened";
    EXPECT_TRUE(readFile(flash) == Bytes(kFlashSize, 0xFF)) << "the flash was touched";

    const Outcome bitstreamAsApplication = run({"write", "--application", file("a.bit", bitFile(3000))});
    EXPECT_EQ(bitstreamAsApplication.status, 1);
    EXPECT_TRUE(has(bitstreamAsApplication.err, "does not belong at 0x500000: ")) << bitstreamAsApplication.err;

    const Outcome forced = run({"write", "--force", srec});
    EXPECT_EQ(forced.status, 0) << forced.err;
    const Bytes after = readFile(flash);
    EXPECT_TRUE(std::equal(records.begin(), records.end(), after.begin()));
    // Other offsets have no rule, and verify never asks.
    EXPECT_EQ(run({"write", "--offset", "0x100000", srec}).status, 0);
    EXPECT_EQ(run({"verify", srec}).status, 0);
}

// What the flash holds, as check-boot judges it and as the emulated
// instrument does when switched on (it configures from the flash at 0): the
// Basic set; a real XC7A50T bitstream, refused over the XC7A35T's until
// --force; an erased flash; a cut bitstream.
TEST_F(FlashToolTest, CheckBootSaysWhatThePowerCycleDoes)
{
    const fs::path fw = dir / "fw";
    std::string error;
    ASSERT_TRUE(emu::DemoFirmware::writeDirectory(fw.string(), "1.0", error)) << error;
    const Bytes demo = readFile(fw / "download.bit");
    const Bytes fiftyT = testsupport::vendorBitstream("7a50tcsg324");
    if (fiftyT.empty())
        GTEST_SKIP() << "No vendor bitstreams in " << testsupport::vendorBitstreamDir;
    const std::string foreign = file("50t.bit", fiftyT);
    const std::string cut = file("cut.bit", Bytes(demo.begin(), demo.begin() + 1000000));
    const struct
    {
        std::vector<std::string> write;
        int written; // its exit status
        std::string said;
        bool starts;
        const char* verdict;
    } flashes[] = {
        {{"write", "--firmware-dir", fw.string()}, 0, "Bitstream " + (fw / "download.bit").string() + ": design pravel_demo",
         true, "The FPGA would start."},
        {{"write", "--bitstream", foreign}, 1,
         "This bitstream is for an XC7A50T (IDCODE 0362C093); the instrument's current firmware is for an XC7A35T "
         "(IDCODE 0362D093).\nError, nothing was written: " + foreign + " needs --force",
         true, "The FPGA would start."},
        {{"write", "--force", "--bitstream", foreign}, 0, "XC7A50T", false,
         "The FPGA would not start: This bitstream is for an XC7A50T (IDCODE 0362C093); the instrument's FPGA is"},
        {{"erase", "--all"}, 0, "", false, "There is no bitstream: all "},
        {{"write", "--force", "--bitstream", cut}, 0, "", false, "from byte 1000000 on the bytes are erased"},
    };
    for (const auto& f : flashes) {
        SCOPED_TRACE(f.write.back());
        const Bytes before = readFile(flash);
        const Outcome written = run(f.write);
        EXPECT_EQ(written.status, f.written) << written.err;
        EXPECT_TRUE(has(written.out + written.err, f.said)) << written.out << written.err;
        if (f.written != 0) {
            EXPECT_TRUE(readFile(flash) == before) << "a refused write touched the flash";
        }
        const Outcome check = run({"check-boot"});
        EXPECT_EQ(check.status, f.starts ? 0 : 1);
        EXPECT_TRUE(has(f.starts ? check.out : check.err, f.verdict)) << check.out << check.err;
        const Outcome done = run({"fpga", "--check-done"}, "", "", "flash");
        EXPECT_EQ(done.status, f.starts ? 0 : 1) << done.err;
        EXPECT_TRUE(has(done.out + done.err, f.starts ? "DONE is high" : "DONE is low"));
    }
}

TEST_F(FlashToolTest, TimingModesReportEmulatedTime)
{
    const std::string image = file("image.bin", randomBytes(70000, 11));
    const Outcome typical = run({"--timing", "typical", "write", "--force", image});
    EXPECT_EQ(typical.status, 0) << typical.err;
    const size_t at = typical.err.find("Emulated time: ");
    ASSERT_NE(at, std::string::npos) << typical.err;
    // Two sector erases of a typical MT25Q128 alone take a few tenths of a second.
    EXPECT_GT(std::stod(typical.err.substr(at + 15)), 0.1);
    EXPECT_EQ(typical.err.substr(typical.err.size() - 2), "s\n");

    const Outcome instant = run({"--timing", "instant", "detect"});
    EXPECT_EQ(instant.status, 0);
    EXPECT_FALSE(has(instant.err, "Emulated time")) << instant.err;
    const Outcome refused = run({"--timing", "slow", "detect"});
    EXPECT_EQ(refused.status, 2);
    EXPECT_TRUE(has(refused.err, "instant, typical, worst")) << refused.err;
}

// Each wiring, bridge and flash fault is named at the step that finds it,
// with nothing written; a healthy instrument passes every step in under 2 s.
TEST_F(FlashToolTest, DiagnoseNamesEachFaultAtItsStepAndNeverWrites)
{
    writeFile(flash, testsupport::firmwareFlash(kFlashSize));
    const fs::path report = dir / "report.json";
    const Outcome healthy = run({"--timing", "typical", "diagnose", "--report", report.string()});
    EXPECT_EQ(healthy.status, 0) << healthy.out;
    EXPECT_EQ(count(healthy.out, ": ok: "), 7u) << healthy.out;
    const size_t at = healthy.err.find("Emulated time: ");
    ASSERT_NE(at, std::string::npos) << healthy.err;
    EXPECT_LT(std::stod(healthy.err.substr(at + 15)), 2.0) << healthy.err;
    const auto json = nlohmann::json::parse(text(report));
    EXPECT_EQ(json["result"], "ok");
    EXPECT_EQ(json["version"], PRAVEL_VERSION);
    EXPECT_EQ(json["steps"].size(), 7u);

    const std::tuple<const char*, const char*, const char*> cases[] = {
        {"", "unplugged", "1. Channels: FINDING: No FTDI bridge is connected."},
        {"miso-high", "", "4. SPI lines to the flash: FINDING: The JEDEC ID reads FF FF FF in each of 4 reads"},
        {"miso-low", "", "4. SPI lines to the flash: FINDING: The JEDEC ID reads 00 00 00"},
        {"miso-noise", "", "4. SPI lines to the flash: FINDING: The JEDEC ID varies at 15 MHz"},
        {"miso-noise", "", "at 1 MHz it reads 20 BA 18 in each of 4 reads: the slower clock helped."},
        {"miso-noise@0", "", "and still at 1 MHz"},
        {"no-mpsse", "", "2. MPSSE sync: FINDING: No answer to the bad-command probes"},
        {"protected", "", "5. The flash: FINDING: MT25Q128 (Micron, 16 MiB); SFDP 1.6 gives 16 MiB; status 0x5c"},
        {"four-byte", "", "The flash is in 4-byte address mode (flag status 0x81)"},
        {"four-byte", "s25fl256", "The flash is in 4-byte address mode (bank register 0x80)"},
    };
    writeFile(dir / "other.bin", Bytes(2 * kFlashSize, 0x5A)); // for the 32 MiB part
    for (const auto& [faults, chip, line] : cases) {
        SCOPED_TRACE(std::string(faults) + " " + chip);
        const fs::path target = *chip ? dir / "other.bin" : flash;
        const Bytes before = readFile(target);
        const Outcome outcome = run({"--image", target.string(), "diagnose"}, faults, chip);
        EXPECT_EQ(outcome.status, 1);
        EXPECT_TRUE(has(outcome.out, line)) << outcome.out;
        EXPECT_TRUE(readFile(target) == before) << "the diagnosis changed the flash";
    }
}

TEST(InterruptSignal, CtrlCRaisesTheStopFlag)
{
    InterruptSignal::install();
    ASSERT_FALSE(InterruptSignal::raised());
    std::raise(SIGINT);
    EXPECT_TRUE(InterruptSignal::raised());
    EXPECT_TRUE(InterruptSignal::flag().load());
}

// The tool in this process, held on one page program while Ctrl-C's flag is
// raised: it ends interrupted, without the connection hint; the pins go idle
// and the port closes. (What the flash holds then is the firmware run's.)
TEST(FlashToolStop, CtrlCStopsBetweenTransactions)
{
    const auto dir = fs::path(testing::TempDir()) / "pravel-cli-stop";
    fs::create_directories(dir);
    setenv("XDG_STATE_HOME", (dir / "state").c_str(), 1); // not the user's run history
    const Bytes image = randomBytes(300000, 9);
    const std::string path = writeFile(dir / "big.bin", image);
    Invocation invocation;
    std::string error;
    ASSERT_TRUE(CommandLine::parse({"write", "--offset", "0x100000", path}, invocation, error)) << error;

    const auto emulated = testsupport::emulatedDriver();
    const auto gate = std::make_shared<testsupport::GatedDriver>(emulated);
    const uint32_t held = 0x100000 + 0x100 * 510; // the last page of a pipelined batch
    gate->holdNextWrite(testsupport::pageProgramAt(held));
    std::atomic<bool> stop{false};
    std::ostringstream out, err;
    ConsoleReporter reporter(out, err, false, false);
    reporter.install();
    FlashTool tool(invocation, reporter, stop);
    tool.useDriver(DriverSelection::emulated(emulated, gate));
    auto running = std::async(std::launch::async, [&] { return tool.run(); });
    gate->waitUntilHeld();
    stop = true;
    gate->release();
    const int status = running.get();

    EXPECT_EQ(status, FlashTool::Interrupted) << err.str();
    EXPECT_EQ(err.str().substr(err.str().size() - 12), "interrupted\n");
    EXPECT_FALSE(has(out.str(), "Program...OK"));
    EXPECT_FALSE(has(err.str(), "Please check power"));
    // The pins go back to idle, then the port closes.
    const auto calls = emulated->trace().calls();
    ASSERT_GE(calls.size(), 3u);
    EXPECT_EQ(calls[calls.size() - 3].function, "FT_Write");
    EXPECT_EQ(calls[calls.size() - 3].data, (Bytes{0x80, 0x68, 0x6B}));
    EXPECT_EQ(calls.back().function, "FT_Close");
    fs::remove_all(dir);
}

} // namespace
