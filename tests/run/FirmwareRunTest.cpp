// The one programming run, as the window and pravel-flash drive it, on the
// emulated instrument.
#include "tests/support/Emulated.h"
#include "tests/support/GatedDriver.h"
#include "tests/support/LogCapture.h"

#include "device/FirmwareRun.h"
#include "device/TFtdi.h"
#include "device/TRom.h"
#include "device/FlashBitstream.h"
#include "emulator/CallTrace.h"
#include "emulator/DemoFirmware.h"
#include "emulator/Ft2232hBridge.h"
#include "emulator/VirtualClock.h"

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <atomic>
#include <cmath>
#include <iostream>
#include <filesystem>
#include <future>
#include <string>
#include <vector>

namespace fs = std::filesystem;
using testing::ElementsAre;
using testsupport::Bytes;

namespace {

constexpr uint32_t kApp = FirmwareSet::applicationOffset;

// The window's options: its offset hook and the defaults.
FirmwareRun::Options windowOptions(TRom& rom)
{
    FirmwareRun::Options options;
    options.setOffset = [&rom](uint32_t offset) { rom.SetOffset(offset); };
    return options;
}

// pravel-flash write --verify.
FirmwareRun::Options toolOptions()
{
    FirmwareRun::Options options;
    options.verify = true;
    options.announceBeforeLoad = true;
    options.hintAfterLoadFailure = false;
    options.shownMismatches = 20;
    return options;
}

// An identified flash behind an open port, its reports captured, a firmware
// directory beside it.
class RunRig
{
public:
    explicit RunRig(const std::string& faults = "", bool timed = false, bool worst = false)
        : driver(testsupport::emulatedDriver("mt25q128", faults, 2, timed, worst)),
          gate(std::make_shared<testsupport::GatedDriver>(driver)), ftdi(gate, driver->clock()), rom(&ftdi)
    {
        ftdi.SetStopRequest(&stop);
        identified = ftdi.PortOpen(FirmwareSet::portDescription) == 1 && rom.CheckMemory() == 1;
        log.clear();
    }

    // The application and bitstream files, as a firmware set of this directory.
    FirmwareSet firmware(const Bytes& app, const Bytes& bit)
    {
        testsupport::writeFile(dir / FirmwareSet::applicationFileName, app);
        testsupport::writeFile(dir / FirmwareSet::bitstreamFileName, bit);
        return FirmwareSet::inDirectory(dir.u8string());
    }
    Bytes flash(uint32_t address, size_t length) { return testsupport::flashBytes(*driver, address, length); }
    size_t writes() { return driver->trace().calls("FT_Write").size(); }
    std::vector<std::string> texts() const { return log.texts(); }

    std::shared_ptr<d2xx::EmulatedDriver> driver;
    std::shared_ptr<testsupport::GatedDriver> gate;
    TFtdi ftdi;
    TRom rom;
    std::atomic<bool> stop{false};
    bool identified = false;
    testsupport::ScratchDir scratch{"pravel-run"};
    const fs::path dir = scratch.path();
    testsupport::LogCapture log;
};

} // namespace

TEST(FirmwareRun, ProgressComesAsDataAndOnlyGrows)
{
    RunRig rig;
    ASSERT_TRUE(rig.identified);
    std::vector<FirmwareRun::Progress> seen;
    auto options = toolOptions();
    options.progress = [&](const FirmwareRun::Progress& p) { seen.push_back(p); };
    ASSERT_TRUE(FirmwareRun(rig.rom, rig.firmware(Bytes(30000, 1), Bytes(20000, 2)), options).run().ok);
    std::vector<std::string> stages;
    for (size_t i = 0; i < seen.size(); ++i) {
        if (stages.empty() || stages.back() != seen[i].stage) {
            stages.push_back(seen[i].stage);
        } else {
            EXPECT_GE(seen[i].stageDone, seen[i - 1].stageDone) << seen[i].stage;
        }
        if (i > 0) {
            EXPECT_GE(seen[i].runDone, seen[i - 1].runDone);
        }
    }
    EXPECT_THAT(stages, ElementsAre("Erasing pravel.srec", "Programming pravel.srec", "Verifying pravel.srec",
                                    "Erasing download.bit", "Programming download.bit", "Verifying download.bit"));
    EXPECT_DOUBLE_EQ(seen.back().runDone, 1.0);
}

// The time left and the run bar against what the run really took, on the
// virtual clock: the Basic set and a whole-flash image, the flash at its
// typical and at its maximum times. Judged from a tenth of the run on.
TEST(FirmwareRun, TimeLeftAndTheRunBarFollowTheRunsTime)
{
    for (const bool worst : {false, true}) {
        for (const bool whole : {false, true}) {
            RunRig rig("", true, worst);
            ASSERT_TRUE(rig.identified);
            rig.driver->trace().setEnabled(false); // a whole flash's traffic
            std::string error;
            ASSERT_TRUE(emu::DemoFirmware::writeDirectory(rig.dir.u8string(), "1", error)) << error;
            const std::string big = (rig.dir / "whole.bin").u8string();
            if (whole)
                testsupport::writeFile(big, testsupport::randomBytes(0x1000000, 8));
            const FirmwareSet set = whole ? FirmwareSet::single(big, 0) : FirmwareSet::inDirectory(rig.dir.u8string());
            struct Seen
            {
                double at, left, done;
            };
            std::vector<Seen> seen;
            const Clock& clock = rig.driver->clock();
            const auto start = clock.now();
            FirmwareRun::Options options = windowOptions(rig.rom);
            options.verify = true;
            options.progress = [&](const FirmwareRun::Progress& p) {
                seen.push_back({clock.secondsSince(start), p.secondsLeft, p.runDone});
            };
            ASSERT_TRUE(FirmwareRun(rig.rom, set, options).run().ok);
            const double total = clock.secondsSince(start);
            double leftError = 0, barError = 0;
            for (const Seen& s : seen) {
                if (s.at < 0.1 * total)
                    continue;
                const double trueLeft = total - s.at;
                leftError = std::max(leftError, std::fabs(s.left - trueLeft) / std::max(trueLeft, 1e-3));
                barError = std::max(barError, std::fabs(s.done - s.at / total));
            }
            SCOPED_TRACE(std::string(worst ? "worst" : "typical") + (whole ? ", 16 MiB" : ", Basic set"));
            EXPECT_LE(leftError, 0.25);
            EXPECT_LE(barError, 0.10);
            std::cout << (worst ? "worst" : "typical") << (whole ? ", 16 MiB image: " : ", Basic set: ") << total
                      << " s emulated, " << seen.size() << " updates; time left off by " << leftError * 100
                      << "% at most, run bar by " << barError * 100 << " points\n";
        }
    }
}

// Nothing reaches the device before every file has passed.
TEST(FirmwareRun, FilesThatCannotBeWrittenFailBeforeAnythingIsSent)
{
    struct Case
    {
        const char* name;
        size_t appSize, bitSize;
        bool removeBit;
        std::string message; // %: the bitstream's path
    };
    const Case cases[] = {
        {"missing", 1000, 1000, true, "Error opening file for reading: %\n"},
        {"empty", 1000, 0, false, "Error, % is empty: nothing to write\n"},
        {"overlapping", 1000, kApp + 1, false, "Error, % at 0 would erase sectors of the image written before it\n"},
        {"too large", 0xB00001, 1000, false, ""},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        RunRig rig;
        ASSERT_TRUE(rig.identified);
        const FirmwareSet set = rig.firmware(Bytes(c.appSize, 0x5A), Bytes(c.bitSize, 0xA5));
        if (c.removeBit)
            fs::remove(rig.dir / FirmwareSet::bitstreamFileName);
        const size_t writes = rig.writes();
        const auto outcome = FirmwareRun(rig.rom, set, windowOptions(rig.rom)).run();
        EXPECT_FALSE(outcome.ok);
        EXPECT_EQ(outcome.failedStage, FirmwareRun::Stage::Load);
        EXPECT_FALSE(outcome.flashTouched);
        EXPECT_EQ(rig.writes(), writes) << "the device was touched";
        const std::string failing = set.images()[static_cast<size_t>(outcome.failedImage)].path;
        std::string message = c.message;
        if (!message.empty())
            message.replace(message.find('%'), 1, failing);
        else
            message = "Error, " + failing + " (11534337 bytes) does not fit into the flash at 0x500000: the address "
                      "space ends at 0x1000000\n";
        EXPECT_THAT(rig.texts(), ElementsAre(message, "Programming of " + failing + " failed.\n", FirmwareRun::checkConnections));
    }
}

TEST(FirmwareRun, ReadBackFindingsComeBackAsData)
{
    RunRig flipped("flip@0x500010");
    ASSERT_TRUE(flipped.identified);
    const auto outcome = FirmwareRun(flipped.rom, flipped.firmware(Bytes(5000, 0x11), Bytes(100, 0x22)), toolOptions()).run();
    EXPECT_FALSE(outcome.ok);
    EXPECT_EQ(outcome.failedImage, 0);
    EXPECT_EQ(outcome.failedStage, FirmwareRun::Stage::Verify);
    EXPECT_TRUE(outcome.verify.readOk);
    EXPECT_EQ(outcome.verify.mismatchCount, 1u);
    EXPECT_THAT(outcome.verify.firstMismatches, ElementsAre(16u));
    EXPECT_FALSE(flipped.log.has(FirmwareRun::checkConnections)) << "a differing byte is no connection problem";

    // A read-back that fails names the connection like any other device
    // failure. The reply lost is the first after programming's.
    const auto applicationOnly = [](RunRig& rig) {
        testsupport::writeFile(rig.dir / "app.srec", Bytes(5000, 0x11));
        return FirmwareSet::basic((rig.dir / "app.srec").u8string(), "");
    };
    size_t replies;
    {
        RunRig probe;
        ASSERT_TRUE(probe.identified);
        auto options = toolOptions();
        options.verify = false;
        ASSERT_TRUE(FirmwareRun(probe.rom, applicationOnly(probe), options).run().ok);
        // Reply-producing commands, not reads: a batch of pages has one status reply per page.
        replies = probe.driver->bridge()->replyCommands();
    }
    RunRig lost("no-reply@" + std::to_string(replies + 1));
    ASSERT_TRUE(lost.identified);
    const auto failed = FirmwareRun(lost.rom, applicationOnly(lost), toolOptions()).run();
    EXPECT_FALSE(failed.ok);
    EXPECT_FALSE(failed.verify.readOk);
    EXPECT_EQ(failed.failedStage, FirmwareRun::Stage::Verify);
    const std::vector<std::string> said = lost.texts();
    ASSERT_GE(said.size(), 4u);
    EXPECT_THAT(std::vector<std::string>(said.end() - 4, said.end()),
                ElementsAre("Read...NG\n", "Verify...NG: the flash could not be read\n",
                            "Programming of " + (lost.dir / "app.srec").u8string() + " failed.\n",
                            FirmwareRun::checkConnections));
}

// Before the first erase, the bitstream for 0 against what the flash holds
// there: one for another FPGA, or with a failed CRC check, is written only
// when confirmed, and a refusal leaves the flash as it was.
TEST(FirmwareRun, ARiskyBitstreamIsWrittenOnlyWhenConfirmed)
{
    const auto bitFile = [](const char* part) { return emu::DemoFirmware::bitFile("guard", part, 3000); };
    const Bytes current = bitFile("7a35tcsg324"), other = bitFile("7a50tcsg324");
    Bytes broken = current;
    broken[broken.size() / 2] ^= 0x10; // in the frame data
    const struct
    {
        const char* what;
        bool planted; // the flash holds `current` at 0, else it is erased
        const Bytes& bit;
        std::string risk; // empty: written without a question
    } cases[] = {
        {"another FPGA", true, other,
         "This bitstream is for an XC7A50T (IDCODE 0362C093); the instrument's current firmware is for an "
         "XC7A35T (IDCODE 0362D093)."},
        {"a failed CRC check", true, broken, "This bitstream is damaged: 1 of its 1 CRC checks fail"},
        {"another FPGA over an erased flash", false, other, ""},
        {"the same FPGA", true, bitFile("7a35tcpg236"), ""},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.what);
        RunRig rig;
        ASSERT_TRUE(rig.identified);
        const std::string planted = testsupport::writeFile(rig.dir / "current.bit", current);
        if (c.planted) {
            ASSERT_TRUE(FirmwareRun(rig.rom, FirmwareSet::single(planted, 0), windowOptions(rig.rom)).run().ok);
        }
        const Bytes before = rig.flash(0, 0x1000000);
        const auto reads = [&rig] {
            size_t bytes = 0;
            for (const auto& call : rig.driver->trace().calls("FT_Read"))
                bytes += call.data.size();
            return bytes;
        };
        for (const bool confirmed : {false, true}) {
            const size_t readBefore = reads();
            std::vector<std::string> asked;
            auto options = windowOptions(rig.rom);
            options.confirmRisk = [&](const FirmwareSet::Image&, const std::string& risk) {
                asked.push_back(risk);
                return confirmed ? std::string() : std::string("refused\n");
            };
            const FirmwareSet set = rig.firmware(Bytes(5000, 0x11), c.bit);
            const std::string bitPath = set.images()[1].path;
            rig.log.clear();
            const auto outcome = FirmwareRun(rig.rom, set, options).run();
            EXPECT_EQ(asked.size(), c.risk.empty() ? 0u : 1u);
            EXPECT_TRUE(asked.empty() || asked[0].find(c.risk) != std::string::npos) << asked[0];
            EXPECT_EQ(outcome.ok, confirmed || c.risk.empty());
            const std::vector<std::string> said = rig.texts();
            EXPECT_EQ(said[0].rfind("Bitstream " + bitPath + ": design guard, ", 0), 0u) << said[0];
            if (!outcome.ok) {
                EXPECT_TRUE(rig.flash(0, 0x1000000) == before) << "the flash was touched";
                EXPECT_LE(reads() - readBefore, FlashBitstream::firstRead) << "more than the IDCODE was read";
                EXPECT_THAT(said, ElementsAre(said[0], "Warning: " + asked[0] + "\n", "refused\n",
                                              "Programming of " + bitPath + " failed.\n"));
            } else {
                EXPECT_EQ(rig.flash(0, c.bit.size()), c.bit);
            }
            if (c.risk.empty())
                break;
        }
    }
}

// A stop asked for while a page program is under way: that page is written
// whole and nothing after it goes out.
TEST(FirmwareRun, AStopRequestEndsTheRunBetweenTransactions)
{
    RunRig rig;
    ASSERT_TRUE(rig.identified);
    const Bytes app = testsupport::randomBytes(70000, 3);
    const FirmwareSet set = rig.firmware(app, Bytes(1000, 4));
    const uint32_t held = kApp + 0x100 * 30; // the last page of a pipelined batch
    rig.gate->holdNextWrite(testsupport::pageProgramAt(held));
    auto running = std::async(std::launch::async, [&] { return FirmwareRun(rig.rom, set, toolOptions()).run(); });
    rig.gate->waitUntilHeld();
    rig.stop = true;
    const size_t writes = rig.writes();
    rig.gate->release();
    const auto outcome = running.get();

    EXPECT_FALSE(outcome.ok);
    EXPECT_TRUE(outcome.stopped && outcome.flashTouched && !outcome.linkLost);
    EXPECT_EQ(outcome.failedImage, 0);
    EXPECT_EQ(outcome.failedStage, FirmwareRun::Stage::Program);
    EXPECT_EQ(rig.writes(), writes + 1) << "only the held page went out";
    const size_t written = held - kApp + 0x100;
    EXPECT_EQ(rig.flash(kApp, written), Bytes(app.begin(), app.begin() + static_cast<long>(written)));
    EXPECT_EQ(rig.flash(kApp + static_cast<uint32_t>(written), 0x100), Bytes(0x100, 0xFF));
    EXPECT_EQ(rig.flash(0, 0x100), Bytes(0x100, 0xFF)) << "the bitstream was not begun";
    EXPECT_FALSE(rig.log.has(FirmwareRun::checkConnections));
    EXPECT_EQ(rig.texts().back(), "Programming of " + set.images()[0].path + " failed.\n");
}

// A stop during a long wait (a whole-chip erase, tens of seconds) ends it
// within half a second of emulated time; the chip goes on erasing by itself.
TEST(FirmwareRun, AStopDuringAWaitEndsItAtOnce)
{
    RunRig rig("", true);
    ASSERT_TRUE(rig.identified);
    // The tenth status read of the erase's wait, well inside it.
    int statusReads = 0;
    rig.gate->holdNextWrite([&](const std::vector<uint8_t>& bytes) {
        return bytes.size() > 6 && bytes[6] == 0x05 && ++statusReads == 10;
    });
    auto erasing = std::async(std::launch::async, [&] { return rig.rom.EraseBulk(); });
    rig.gate->waitUntilHeld();
    rig.stop = true;
    const uint64_t stoppedAt = rig.driver->clock().nowNanoseconds();
    rig.gate->release();
    EXPECT_EQ(erasing.get(), 0);
    EXPECT_LT(rig.driver->clock().nowNanoseconds() - stoppedAt, 500000000u);
    EXPECT_THAT(rig.texts(), ElementsAre(TRom::stoppedWhileBusy));
}

// A reply that never comes: a stop during the wait for it ends the wait at
// once instead of after the read's whole second.
TEST(FirmwareRun, AStopDuringAReplyWaitEndsIt)
{
    // Raises the stop after the tenth pause of the waiting read.
    class StoppingClock final : public Clock
    {
    public:
        StoppingClock(Clock& inner, std::atomic<bool>& stop) : inner(inner), stop(stop) {}
        void sleepMicroseconds(uint64_t microseconds) override
        {
            if (++sleeps == 10)
                stop = true;
            inner.sleepMicroseconds(microseconds);
        }
        std::chrono::nanoseconds now() const override { return inner.now(); }
        Clock& inner;
        std::atomic<bool>& stop;
        int sleeps = 0;
    };
    const auto driver = testsupport::emulatedDriver("mt25q128", "no-reply@1");
    std::atomic<bool> stop{false};
    StoppingClock clock(driver->clock(), stop); // the open's two settle pauses count too
    TFtdi waiting(driver, clock);
    ASSERT_EQ(waiting.PortOpen(FirmwareSet::portDescription), 1);
    waiting.SetStopRequest(&stop);
    const uint64_t before = driver->clock().nowNanoseconds();
    unsigned char status = 0;
    EXPECT_EQ(waiting.MPSSE_ReadStatus(status), 0);
    EXPECT_TRUE(stop);
    EXPECT_LT(driver->clock().nowNanoseconds() - before, 5000000u) << "more than 5 ms of waiting";
}
