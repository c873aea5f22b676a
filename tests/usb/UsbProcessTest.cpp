// Whole programs under pravel-emulate: pravel-flash through its real libftdi1
// backend, the loader's window, and two programs nobody here wrote (flashrom,
// openFPGALoader), each driving the emulated instrument over the virtual USB
// bus. The flash is kept in image files, checked byte for byte afterwards.

#include "emulator/DemoFirmware.h"
#include "tests/support/ChildRun.h"
#include "tests/support/Diagnose.h"

#include <gtest/gtest.h>

#include <cstdint>
#include <filesystem>
#include <fstream>
#include <map>
#include <regex>
#include <string>
#include <vector>

namespace fs = std::filesystem;
using testsupport::Bytes;
using testsupport::randomBytes;
using testsupport::readFile;
using testsupport::writeFile;

namespace {

constexpr uint32_t kMiB = 1024 * 1024;
const char* const kFlashromProgrammer = "ft2232_spi:type=2232H,port=B,divisor=4";
// flashrom knows the MT25Q128's identification under two names; this one
// keeps to 3-byte addresses.
const char* const kMt25qThreeByte = "N25Q128..3E";

bool has(const std::string& text, const std::string& needle) { return text.find(needle) != std::string::npos; }

struct Outcome : testsupport::ChildOutcome
{
    // What pravel-emulate said at the end, taken off `err`.
    std::string summary;
    double emulatedSeconds = -1;
    uint64_t transfers = 0; // bulk and control
};

Outcome run(const std::vector<std::string>& argv, const std::map<std::string, std::string>& env, const fs::path& cwd)
{
    Outcome outcome;
    static_cast<testsupport::ChildOutcome&>(outcome) = testsupport::runChild(argv, env, cwd);
    static const std::regex summary(
        "pravel-emulate: emulated time ([0-9.]+) s; USB: ([0-9]+) bulk transfers[^\n]*, ([0-9]+) control requests\n");
    std::smatch m;
    if (std::regex_search(outcome.err, m, summary)) {
        outcome.summary = m.str(0);
        outcome.emulatedSeconds = std::stod(m.str(1));
        outcome.transfers = std::stoull(m.str(2)) + std::stoull(m.str(3));
        outcome.err.erase(static_cast<size_t>(m.position(0)), static_cast<size_t>(m.length(0)));
    }
    return outcome;
}

std::string describe(const Outcome& o)
{
    return "exit " + std::to_string(o.status) + "\n--- stdout\n" + o.out + "--- stderr\n" + o.err + o.summary;
}

class UsbProcess : public ::testing::Test
{
protected:
    // `command` under pravel-emulate with the flash in `image`.
    Outcome emulate(const std::vector<std::string>& command, const fs::path& image, const std::string& chip = "mt25q128",
                    const std::string& faults = "", const fs::path& cwd = {})
    {
        std::vector<std::string> argv = {PRAVEL_EMULATE, "--chip", chip, "--virtual-time"};
        if (!image.empty())
            argv.insert(argv.end(), {"--image", image.string()});
        if (!faults.empty())
            argv.insert(argv.end(), {"--faults", faults});
        argv.push_back("--");
        argv.insert(argv.end(), command.begin(), command.end());
        return run(argv, {}, cwd.empty() ? dir : cwd);
    }

    // pravel-flash on the emulated D2XX face.
    Outcome direct(const std::vector<std::string>& args, const fs::path& image, const std::string& chip, const fs::path& cwd)
    {
        std::vector<std::string> argv = {PRAVEL_FLASH, "--device", "emulated", "--chip", chip};
        if (!image.empty())
            argv.insert(argv.end(), {"--image", image.string()});
        argv.insert(argv.end(), args.begin(), args.end());
        return run(argv, {}, cwd);
    }

    // pravel-flash through libftdi under the launcher.
    Outcome libftdi(const std::vector<std::string>& args, const fs::path& image, const std::string& chip = "mt25q128",
                    const std::string& faults = "", const fs::path& cwd = {})
    {
        std::vector<std::string> command = {PRAVEL_FLASH, "--device", "libftdi"};
        command.insert(command.end(), args.begin(), args.end());
        return emulate(command, image, chip, faults, cwd);
    }

    Outcome flashrom(const std::vector<std::string>& args, const fs::path& image, const std::string& chip = "mt25q128")
    {
        std::vector<std::string> command = {FLASHROM, "-p", kFlashromProgrammer};
        command.insert(command.end(), args.begin(), args.end());
        return emulate(command, image, chip);
    }

    testsupport::ScratchDir scratch{"pravel-usb"};
    const fs::path dir = scratch.path();
};

} // namespace

TEST_F(UsbProcess, PravelFlashThroughLibftdiSaysAndWritesWhatTheEmulatedFaceDoes)
{
    const fs::path firmware = dir / "fw";
    std::string error;
    ASSERT_TRUE(emu::DemoFirmware::writeDirectory(firmware.string(), "t-13.1", error)) << error;
    const fs::path bit = dir / "small.bit";
    writeFile(bit, emu::DemoFirmware::bitFile()); // a whole bitstream, which configures the FPGA

    // The same starting flash on both sides, each in its own directory.
    const fs::path faceDir = dir / "face", usbDir = dir / "usb";
    fs::create_directories(faceDir);
    fs::create_directories(usbDir);
    const Bytes start = randomBytes(16 * kMiB, 3);
    writeFile(faceDir / "flash.bin", start);
    writeFile(usbDir / "flash.bin", start);

    const std::vector<std::vector<std::string>> jobs = {
        {"channels"},
        {"detect"},
        {"write", "--verify", "--firmware-dir", firmware.string()},
        {"read", "--offset", "0x500000", "--length", "70000", "back.bin"},
        {"verify", "--firmware-dir", firmware.string()},
        {"erase", "--offset", "0x10000", "--length", "0x20000"},
        {"status"},
        {"nvcr"},
        {"nvcr", "--write", "0xfffe"},
        {"fpga", "--check-done", bit.string()},
    };
    for (const auto& job : jobs) {
        SCOPED_TRACE(job[0] + (job.size() > 1 ? " " + job[1] : ""));
        const Outcome face = direct(job, faceDir / "flash.bin", "mt25q128", faceDir);
        const Outcome usb = libftdi(job, usbDir / "flash.bin", "mt25q128", "", usbDir);
        EXPECT_EQ(face.status, 0) << describe(face);
        EXPECT_EQ(usb.status, face.status) << describe(usb);
        EXPECT_EQ(usb.out, face.out);
        EXPECT_EQ(usb.err, face.err);
        EXPECT_FALSE(usb.summary.empty()) << describe(usb);
        EXPECT_TRUE(readFile(usbDir / "flash.bin") == readFile(faceDir / "flash.bin"));
    }
    EXPECT_EQ(readFile(usbDir / "back.bin"), readFile(faceDir / "back.bin"));
    EXPECT_EQ(readFile(usbDir / "back.bin").size(), 70000u);
    EXPECT_EQ(readFile(usbDir / "flash.bin.nvcr"), readFile(faceDir / "flash.bin.nvcr"));
}

TEST_F(UsbProcess, DetectThroughLibftdiMatchesTheEmulatedFace)
{
    // Each chip's own lines are proven through TRom: here the parts the
    // libftdi path treats apart (another size, all ones read, no bridge).
    for (const char* chip : {"s25fl256", "corrupted", "unplugged"}) {
        SCOPED_TRACE(chip);
        const Outcome face = direct({"detect"}, {}, chip, dir);
        const Outcome usb = libftdi({"detect"}, {}, chip);
        EXPECT_EQ(usb.status, face.status) << describe(usb);
        EXPECT_EQ(usb.out, face.out);
        EXPECT_EQ(usb.err, face.err);
    }
}

// Faults on the bus: a transfer that fails is reported or retried to a flash
// that really holds the image; an unplug mid-write is named, and once the
// bridge is back the next run writes the image.
TEST_F(UsbProcess, TransferFaultsNeverPassForAGoodWriteAndAnUnplugIsNamed)
{
    const Bytes image = randomBytes(192 * 1024, 9);
    writeFile(dir / "image.bin", image);
    // --force: random bytes at 0 are no bitstream.
    const std::vector<std::string> write = {"write", "--force", "--verify", (dir / "image.bin").string()};
    const auto holdsImage = [&image](const fs::path& flash) {
        const Bytes stored = readFile(flash);
        return stored.size() >= image.size() && std::equal(image.begin(), image.end(), stored.begin());
    };
    // A clean run tells how many transfers the whole write takes.
    const Outcome clean = libftdi(write, dir / "clean.bin");
    ASSERT_EQ(clean.status, 0) << describe(clean);
    ASSERT_GT(clean.transfers, 100u);

    for (const char* fault : {"bulk-out@40", "bulk-in@30", "control@9", "timeout@25", "bulk-out@2"}) {
        SCOPED_TRACE(fault);
        const fs::path flash = dir / (std::string(fault) + ".bin");
        const Outcome o = libftdi(write, flash, "mt25q128", fault);
        if (o.status == 0)
            EXPECT_TRUE(holdsImage(flash)) << describe(o);
        else
            EXPECT_TRUE(has(o.out + o.err, "NG") || has(o.err, "failed") || has(o.err, "Error")) << describe(o);
    }
    // The flash's own faults reach the instrument on this face too.
    const Outcome stuck = libftdi(write, dir / "stuck.bin", "mt25q128", "stuck-page@0x100");
    EXPECT_TRUE(stuck.status == 1 && has(stuck.err, "Program...NG")) << describe(stuck);

    const Outcome cut = libftdi(write, dir / "flash.bin", "mt25q128", "unplug@" + std::to_string(clean.transfers / 2));
    EXPECT_EQ(cut.status, 1) << describe(cut);
    EXPECT_TRUE(has(cut.err, "unplugged")) << describe(cut);
    EXPECT_FALSE(has(cut.out + cut.err, "Program...OK")) << describe(cut);
    EXPECT_FALSE(has(cut.out + cut.err, "complete")) << describe(cut);
    const Outcome again = libftdi(write, dir / "flash.bin");
    EXPECT_EQ(again.status, 0) << describe(again);
    EXPECT_EQ(readFile(dir / "flash.bin").size(), 16 * kMiB);
    EXPECT_TRUE(holdsImage(dir / "flash.bin"));
}

TEST_F(UsbProcess, FlashromProbesEveryEmulatedPart)
{
    Outcome o = flashrom({}, {}, "mt25q128");
    EXPECT_EQ(o.status, 1) << describe(o);
    EXPECT_TRUE(has(o.out, "Multiple flash chip definitions match")) << describe(o);
    o = flashrom({"-c", kMt25qThreeByte}, {}, "mt25q128");
    EXPECT_EQ(o.status, 0) << describe(o);
    EXPECT_TRUE(has(o.out, "Found Micron/Numonyx/ST flash chip \"N25Q128..3E\" (16384 kB, SPI)")) << describe(o);
    o = flashrom({"-c", "MT25QL128"}, {}, "mt25q128");
    EXPECT_EQ(o.status, 0) << describe(o);
    o = flashrom({"-c", "S25FL256S......0"}, {}, "s25fl256");
    EXPECT_EQ(o.status, 0) << describe(o);
    EXPECT_TRUE(has(o.out, "Found Spansion flash chip \"S25FL256S......0\" (32768 kB, SPI)")) << describe(o);
    // A part flashrom has no entry for: taken from its SFDP tables.
    o = flashrom({}, {}, "arty");
    EXPECT_EQ(o.status, 0) << describe(o);
    EXPECT_TRUE(has(o.out, "Found Unknown flash chip \"SFDP-capable chip\" (16384 kB, SPI)")) << describe(o);
    // Nothing answering: nothing found.
    o = flashrom({}, {}, "corrupted");
    EXPECT_EQ(o.status, 1) << describe(o);
    EXPECT_TRUE(has(o.out, "No EEPROM/flash device found")) << describe(o);
}

TEST_F(UsbProcess, FlashromReadsWritesARegionAndTheWholeMt25q)
{
    const fs::path flash = dir / "flash.bin";
    Bytes contents = randomBytes(16 * kMiB, 21);
    writeFile(flash, contents);
    const std::vector<std::string> chip = {"-c", kMt25qThreeByte};

    // The whole chip read back.
    std::vector<std::string> args = chip;
    args.insert(args.end(), {"-r", (dir / "read.bin").string()});
    Outcome o = flashrom(args, flash);
    ASSERT_EQ(o.status, 0) << describe(o);
    EXPECT_TRUE(readFile(dir / "read.bin") == contents);

    // A random 1 MiB region, through a layout file; flashrom verifies it.
    const uint32_t start = 0x340000;
    const Bytes region = randomBytes(kMiB, 22);
    std::copy(region.begin(), region.end(), contents.begin() + start);
    writeFile(dir / "want.bin", contents);
    std::ofstream(dir / "layout.txt") << "00340000:0043ffff region\n";
    args = chip;
    args.insert(args.end(), {"-l", (dir / "layout.txt").string(), "-i", "region", "--noverify-all", "-w",
                             (dir / "want.bin").string()});
    o = flashrom(args, flash);
    ASSERT_EQ(o.status, 0) << describe(o);
    EXPECT_TRUE(has(o.out, "VERIFIED")) << describe(o);
    EXPECT_TRUE(readFile(flash) == contents);

    // The whole chip.
    const Bytes whole = randomBytes(16 * kMiB, 23);
    writeFile(dir / "whole.bin", whole);
    args = chip;
    args.insert(args.end(), {"-w", (dir / "whole.bin").string()});
    o = flashrom(args, flash);
    ASSERT_EQ(o.status, 0) << describe(o);
    EXPECT_TRUE(has(o.out, "VERIFIED")) << describe(o);
    EXPECT_TRUE(readFile(flash) == whole);
}

// With MT25QL128 flashrom switches the flash to 4-byte addresses (0xB7)
// and uses the 4-byte opcodes.
TEST_F(UsbProcess, FlashromWritesTheWholeMt25ql128WithFourByteAddresses)
{
    const fs::path flash = dir / "flash.bin";
    writeFile(flash, randomBytes(16 * kMiB, 31));
    const Bytes image = randomBytes(16 * kMiB, 32);
    writeFile(dir / "img16m.bin", image);
    const Outcome o = flashrom({"-c", "MT25QL128", "-w", (dir / "img16m.bin").string()}, flash);
    EXPECT_EQ(o.status, 0) << describe(o);
    EXPECT_TRUE(readFile(flash) == image);
}

// openFPGALoader 0.10.0 leaves its SPI pin map uninitialised without --board:
// stack left-overs may move chip select or the clock (a fault of the peer).
// So the run is made the same every time: no address randomisation, a fixed
// environment and fixed-length paths (the stand-in through a link), which for
// these arguments leave the cable's own pins, as on the instrument.
TEST_F(UsbProcess, OpenFpgaLoaderWritesAndVerifiesThroughSpiOnChannelB)
{
    const fs::path flash = dir / "flash.bin";
    const Bytes before = randomBytes(16 * kMiB, 41);
    writeFile(flash, before);
    const Bytes image = randomBytes(300000, 42);
    writeFile(dir / "image.bin", image);
    fs::create_symlink(PRAVEL_USB_STANDIN, dir / "usb.so");
    const Outcome o = run({PRAVEL_EMULATE, "--chip", "mt25q128", "--virtual-time", "--image", flash.string(), "--",
                           "setarch", "-R", OPENFPGALOADER, "-c", "ft2232", "--ftdi-channel", "1", "--spi", "-f",
                           "--verify", "-o", "0x100000", "--file-type", "bin", "image.bin"},
                          {{"PATH", "/usr/bin:/bin"}, {"PRAVEL_USB_LIBRARY", (dir / "usb.so").string()}}, dir);
    EXPECT_EQ(o.status, 0) << describe(o);
    EXPECT_TRUE(has(o.out + o.err, "Detected: micron N25Q128")) << describe(o);
    const Bytes stored = readFile(flash);
    ASSERT_EQ(stored.size(), before.size());
    EXPECT_TRUE(std::equal(image.begin(), image.end(), stored.begin() + 0x100000));
    // Its erase covers whole 64 KiB sectors: before and after them nothing changed.
    EXPECT_TRUE(std::equal(before.begin(), before.begin() + 0x100000, stored.begin()));
    const size_t end = 0x100000 + (image.size() + 0xFFFF) / 0x10000 * 0x10000;
    EXPECT_TRUE(std::equal(before.begin() + static_cast<std::ptrdiff_t>(end), before.end(),
                           stored.begin() + static_cast<std::ptrdiff_t>(end)));
}

#ifdef PRAVEL_LOADER_EXE
// The loader's window as a process: a small library loaded into it presses
// "Load Firmware" once the window is ready and prints the log when the run
// has ended.
TEST_F(UsbProcess, TheWindowProgramsTheFirmwareThroughLibftdi)
{
    // The firmware directory sits beside the executable: a copy in `dir`.
    const fs::path app = dir / "pravel-fw-loader";
    fs::copy_file(PRAVEL_LOADER_EXE, app);
    // Small images: the window's own waits run in real time.
    fs::create_directories(dir / "firmware");
    // The instance lock lives there; Qt takes it only when private to the user.
    fs::create_directories(dir / "runtime");
    fs::permissions(dir / "runtime", fs::perms::owner_all);
    std::ofstream(dir / "firmware" / "version.txt") << "t-13.2\n";
    writeFile(dir / "firmware" / "download.bit", emu::DemoFirmware::bitFile("usb", "7a35tcsg324", 3000));
    const std::string srecText = emu::DemoFirmware::srecFile(2048);
    writeFile(dir / "firmware" / "pravel.srec", Bytes(srecText.begin(), srecText.end()));
    const fs::path flash = dir / "flash.bin";
    // Real time here: the window's event loop runs on real timers.
    const Outcome o = run({PRAVEL_EMULATE, "--image", flash.string(), "--", app.string()},
                          {{"PRAVEL_DEVICE", "libftdi"},
                           {"LD_PRELOAD", PRAVEL_WINDOW_DRIVER},
                           // Sanitized builds: the preloaded libraries come before ASan's runtime,
                           // and their allocations are not the loader's leaks.
                           {"ASAN_OPTIONS", "verify_asan_link_order=0:detect_leaks=0"},
                           {"QT_QPA_PLATFORM", "offscreen"},
                           {"QT_QUICK_BACKEND", "software"},
                           {"XDG_RUNTIME_DIR", (dir / "runtime").string()}},
                          dir);
    EXPECT_EQ(o.status, 0) << describe(o);
    EXPECT_TRUE(has(o.out, "Device programming is complete. Device must be restarted for changes to take effect.")) << describe(o);
    EXPECT_TRUE(has(o.out, "Port(USB <-> Serial Converter B) open")) << describe(o);
    const Bytes stored = readFile(flash);
    const Bytes bit = readFile(dir / "firmware" / "download.bit");
    const Bytes srec = readFile(dir / "firmware" / "pravel.srec");
    ASSERT_EQ(stored.size(), 16 * kMiB);
    EXPECT_TRUE(std::equal(bit.begin(), bit.end(), stored.begin()));
    EXPECT_TRUE(std::equal(srec.begin(), srec.end(), stored.begin() + 0x500000));
}
#endif

TEST_F(UsbProcess, TheLauncherRefusesWhatItCannotEmulateAndPassesTheExitStatusOn)
{
    const struct
    {
        std::vector<std::string> args;
        const char* says;
    } refused[] = {
        {{"--chip", "w25q64", "--", "true"}, "accepted values: mt25q128"},
        {{"--faults", "FT_Write@3", "--", "true"}, "D2XX"},
        {{"--faults", "unplug@0", "--", "true"}, "bad count"},
        {{"--timing", "fast", "--", "true"}, "instant, typical, worst"},
        {{"--boot", "rom", "--", "true"}, "accepted values: none, flash"},
        {{"--frobnicate", "--", "true"}, "unknown option"},
        {{"--chip", "mt25q128"}, "no command"},
    };
    for (const auto& r : refused) {
        std::vector<std::string> argv = {PRAVEL_EMULATE};
        argv.insert(argv.end(), r.args.begin(), r.args.end());
        const Outcome o = run(argv, {}, dir);
        EXPECT_EQ(o.status, 2) << describe(o);
        EXPECT_TRUE(has(o.err, r.says)) << describe(o);
    }
    // The program's own status comes back; a program that never asks for USB is said to.
    Outcome o = run({PRAVEL_EMULATE, "--", "sh", "-c", "exit 7"}, {}, dir);
    EXPECT_EQ(o.status, 7);
    EXPECT_TRUE(has(o.err, "the program made no USB request")) << describe(o);
    o = run({PRAVEL_EMULATE, "--", "no-such-program-here"}, {}, dir);
    EXPECT_EQ(o.status, 127) << describe(o);
}

// The timed model: a 1 MiB write with read-back through libftdi takes the
// emulated time the D2XX face takes for it.
TEST_F(UsbProcess, ATimedWriteThroughLibftdiTakesTheTimeOfTheEmulatedFace)
{
    writeFile(dir / "image.bin", randomBytes(kMiB, 51));
    const std::vector<std::string> write = {"write", "--force", "--verify", (dir / "image.bin").string()};
    std::vector<std::string> faceArgs = {"--timing", "typical"};
    faceArgs.insert(faceArgs.end(), write.begin(), write.end());
    const Outcome face = direct(faceArgs, dir / "face.bin", "mt25q128", dir);
    ASSERT_EQ(face.status, 0) << describe(face);
    const std::string said = face.out + face.err;
    std::smatch m;
    ASSERT_TRUE(std::regex_search(said, m, std::regex("Emulated time: ([0-9.]+) s"))) << describe(face);
    const double faceSeconds = std::stod(m.str(1));

    std::vector<std::string> argv = {PRAVEL_EMULATE, "--timing", "typical", "--virtual-time", "--image",
                                     (dir / "usb.bin").string(), "--", PRAVEL_FLASH, "--device", "libftdi"};
    argv.insert(argv.end(), write.begin(), write.end());
    const Outcome usb = run(argv, {}, dir);
    ASSERT_EQ(usb.status, 0) << describe(usb);
    RecordProperty("d2xx_face_s", std::to_string(faceSeconds));
    RecordProperty("libftdi_s", std::to_string(usb.emulatedSeconds));
    EXPECT_GT(faceSeconds, 1.0);
    EXPECT_LT(usb.emulatedSeconds, faceSeconds * 1.10) << usb.summary;
    EXPECT_GT(usb.emulatedSeconds, faceSeconds * 0.90) << usb.summary;
    const Bytes written = readFile(dir / "usb.bin"), expected = readFile(dir / "face.bin");
    EXPECT_EQ(written.size(), expected.size());
    EXPECT_TRUE(written == expected);
}

// Two instruments on the bus: flashrom's serial= and pravel-flash's --serial
// (through the real libftdi1) each write the instrument they name and leave
// the other's flash as it was.
TEST_F(UsbProcess, OnATwoInstrumentBusEachClientWritesOnlyTheOneItNames)
{
    const fs::path first = dir / "bench.bin", second = dir / "bench-2.bin";
    const Bytes before1 = randomBytes(16 * kMiB, 41), before2 = randomBytes(16 * kMiB, 42);
    writeFile(first, before1);
    writeFile(second, before2);
    const auto onBench = [&](std::vector<std::string> command) {
        std::vector<std::string> argv = {PRAVEL_EMULATE, "--instruments", "2", "--image", first.string(), "--virtual-time", "--"};
        argv.insert(argv.end(), command.begin(), command.end());
        return run(argv, {}, dir);
    };

    Bytes want = before2;
    const Bytes region = randomBytes(0x10000, 43);
    std::copy(region.begin(), region.end(), want.begin() + 0x100000);
    writeFile(dir / "want.bin", want);
    std::ofstream(dir / "layout.txt") << "00100000:0010ffff region\n";
    Outcome o = onBench({FLASHROM, "-p", std::string(kFlashromProgrammer) + ",serial=FT7PRVL2", "-c", kMt25qThreeByte,
                         "-l", (dir / "layout.txt").string(), "-i", "region", "--noverify-all", "-w",
                         (dir / "want.bin").string()});
    ASSERT_EQ(o.status, 0) << describe(o);
    EXPECT_TRUE(readFile(second) == want);
    EXPECT_TRUE(readFile(first) == before1) << "flashrom wrote the instrument it was not given";

    const Bytes image = randomBytes(0x8000, 44);
    writeFile(dir / "image.bin", image);
    o = onBench({PRAVEL_FLASH, "--device", "libftdi", "--serial", "FT7PRVL", "write", "--offset", "0x200000",
                 (dir / "image.bin").string()});
    ASSERT_EQ(o.status, 0) << describe(o);
    EXPECT_TRUE(has(o.out, "Port(serial FT7PRVLB) open")) << describe(o);
    Bytes want1 = before1;
    std::copy(image.begin(), image.end(), want1.begin() + 0x200000);
    std::fill(want1.begin() + 0x208000, want1.begin() + 0x210000, 0xFF);
    EXPECT_TRUE(readFile(first) == want1);
    EXPECT_TRUE(readFile(second) == want) << "pravel-flash wrote the instrument it was not given";

    // Without a choice it refuses, naming both.
    o = onBench({PRAVEL_FLASH, "--device", "libftdi", "write", "--offset", "0x200000", (dir / "image.bin").string()});
    EXPECT_EQ(o.status, 1) << describe(o);
    EXPECT_TRUE(has(o.err, "FT7PRVL at 0x2112, FT7PRVL2 at 0x2122")) << describe(o);
}

// The diagnosis through libftdi comes to the steps and verdicts of the
// emulated face, fault by fault; only the times it measures may differ.
TEST_F(UsbProcess, DiagnoseThroughLibftdiComesToTheEmulatedFacesVerdicts)
{
    const Bytes image = testsupport::firmwareFlash(16 * kMiB);
    writeFile(dir / "flash.bin", image);
    for (const std::string faults : {"", "miso-noise", "no-mpsse", "protected"}) {
        SCOPED_TRACE(faults);
        const std::map<std::string, std::string> env = {{"PRAVEL_EMULATED_FAULTS", faults}};
        const Outcome face =
            run({PRAVEL_FLASH, "--device", "emulated", "--image", (dir / "flash.bin").string(), "diagnose"}, env, dir);
        const Outcome usb = libftdi({"diagnose"}, dir / "flash.bin", "mt25q128", faults);
        EXPECT_EQ(face.status, faults.empty() ? 0 : 1) << describe(face);
        EXPECT_EQ(usb.status, face.status) << describe(usb);
        EXPECT_EQ(testsupport::diagnosisVerdicts(usb.out), testsupport::diagnosisVerdicts(face.out)) << usb.out;
        EXPECT_TRUE(readFile(dir / "flash.bin") == image) << "the diagnosis changed the flash";
    }
}
