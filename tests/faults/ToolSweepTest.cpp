// pravel-flash write --verify --firmware-dir, as a process on the emulated
// instrument (flash kept in an image file), with one fault at a sample of
// D2XX calls, unplug moments and lost replies. Each faulted run must exit 0
// with both images in the flash, or 1 without claiming success; nothing
// outside the images' sectors may change; and the next run must succeed.

#ifdef _WIN32
#include "tests/support/Files.h"
#include "tests/windows/ChildProcess.h"

#include <windows.h>
#else
#include "tests/support/ChildRun.h"
#endif

#include "device/FirmwareRun.h"
#include "device/FirmwareSet.h"
#include "device/FlashGeometry.h"
#include "device/TFtdi.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <chrono>
#include <cstdlib>
#include <cstring>
#include <cstdint>
#include <filesystem>
#include <iostream>
#include <map>
#include <string>
#include <vector>

namespace fs = std::filesystem;
using testsupport::Bytes;
using testsupport::randomBytes;
using testsupport::readFile;
using testsupport::writeFile;

struct Outcome
{
    int status = -1;
    std::string out, err;
};

namespace {

const std::string kComplete = FirmwareRun::complete;
const std::string kLost = TFtdi::linkLostMessage;
constexpr uint32_t kFlashSize = 16 * 1024 * 1024; // the emulated MT25Q128
constexpr uint32_t kAppOffset = FirmwareSet::applicationOffset;
constexpr uint32_t kSector = FlashGeometry::sectorSize;
// Only a guard against a run that never ends: a faulted run takes a few
// milliseconds, one that waited out its polls took a minute or more.
constexpr auto kHangGuard = std::chrono::seconds(30);
// How many of each kind of fault; fewer under the sanitizers and Wine, where
// each run of the tool costs several times as much.
#if defined(__SANITIZE_ADDRESS__) || defined(__SANITIZE_THREAD__) || defined(_WIN32)
constexpr uint64_t kSample = 2;
#else
constexpr uint64_t kSample = 5;
#endif

#ifdef _WIN32
// pravel-flash.exe beside this test program, in "tools", as a user would place it.
Outcome tool(const std::vector<std::string>& args, const std::map<std::string, std::string>& env, const fs::path& cwd)
{
    std::wstring self(MAX_PATH, L'\0');
    self.resize(GetModuleFileNameW(nullptr, self.data(), DWORD(self.size())));
    static int runs = 0;
    ChildProcess child(fs::path(self).parent_path() / "tools" / "pravel-flash.exe", args, env,
                       cwd / ("run" + std::to_string(++runs)), cwd);
    const auto outcome = child.finish();
    return {static_cast<int>(outcome.status), outcome.out, outcome.err};
}
#else
Outcome tool(std::vector<std::string> args, std::map<std::string, std::string> env, const fs::path& cwd)
{
    args.insert(args.begin(), PRAVEL_FLASH_BINARY);
    // The sanitizers' settings reach the child, so it runs as the tests do.
    for (const char* name : {"ASAN_OPTIONS", "UBSAN_OPTIONS", "LSAN_OPTIONS"})
        if (const char* value = std::getenv(name))
            env[name] = value;
    const auto outcome = testsupport::runChild(args, env, cwd, kHangGuard);
    return {outcome.status, outcome.out, outcome.err};
}
#endif

// Byte for byte, [offset, offset + length) of both.
bool same(const Bytes& a, const Bytes& b, size_t offset, size_t length)
{
    return a.size() >= offset + length && b.size() >= offset + length &&
           std::memcmp(a.data() + offset, b.data() + offset, length) == 0;
}

class ToolSweep : public ::testing::Test
{
protected:
    void SetUp() override
    {
        fs::create_directories(dir / "fw");
        writeFile(dir / "fw" / "pravel.srec", application);
        writeFile(dir / "fw" / "download.bit", bitstream);
        writeFile(dir / "fw" / "version.txt", Bytes{'3', '\n'});
        const Bytes block = randomBytes(kSector, 31);
        for (uint32_t at = 0; at < kFlashSize; at += kSector)
            before.insert(before.end(), block.begin(), block.end());
    }
    Outcome write(const std::string& faults, const std::string& chip = "")
    {
        std::map<std::string, std::string> env = {{"PRAVEL_DEVICE", "emulated"}, {"PRAVEL_EMULATED_IMAGE", flash.string()}};
        if (!faults.empty())
            env["PRAVEL_EMULATED_FAULTS"] = faults;
        if (!chip.empty())
            env["PRAVEL_EMULATED_CHIP"] = chip;
        // --force: the images are random bytes, not what the file-kind check
        // expects. With the flash's typical busy times the tool ends by
        // saying how much emulated time the run took.
        return tool({"-q", "--timing", "typical", "write", "--verify", "--force", "--firmware-dir", (dir / "fw").string()},
                    env, dir);
    }

    // "Emulated time: 2.41 s" from standard error, in seconds; -1 without it.
    static double emulatedSeconds(const Outcome& outcome)
    {
        const std::string label = "Emulated time: ";
        const size_t at = outcome.err.rfind(label);
        return at == std::string::npos ? -1.0 : std::atof(outcome.err.c_str() + at + label.size());
    }

    // The fault-free run: its emulated time, and how many D2XX calls it makes,
    // found as the first unplug moment that no longer fails the run.
    void calibrate()
    {
        writeFile(flash, before);
        const Outcome clean = write("");
        ASSERT_EQ(clean.status, 0) << clean.out << clean.err;
        faultFreeSeconds = emulatedSeconds(clean);
        ASSERT_GT(faultFreeSeconds, 0.0) << clean.err;
        uint64_t failing = 1, passing = 1;
        while (write("unplug@" + std::to_string(passing)).status != 0)
            failing = passing, passing *= 2;
        while (passing - failing > 1) {
            const uint64_t middle = (failing + passing) / 2;
            (write("unplug@" + std::to_string(middle)).status == 0 ? passing : failing) = middle;
        }
        calls = passing;
    }

    bool holdsImages(const Bytes& contents) const
    {
        return contents.size() == kFlashSize &&
               std::memcmp(contents.data() + kAppOffset, application.data(), application.size()) == 0 &&
               std::memcmp(contents.data(), bitstream.data(), bitstream.size()) == 0;
    }

    // Returns whether the run survived the fault.
    bool check(const std::string& fault)
    {
        writeFile(flash, before);
        const Outcome faulted = write(fault);
        SCOPED_TRACE(fault + "\nstdout:\n" + faulted.out + "stderr:\n" + faulted.err);
        EXPECT_TRUE(faulted.status == 0 || faulted.status == 1) << "exit status " << faulted.status;
        // The fault struck within the fault-free run's time: at most 5 s more.
        const double seconds = emulatedSeconds(faulted);
        EXPECT_GE(seconds, 0.0);
        EXPECT_LE(seconds, faultFreeSeconds + 5.0);
        const Bytes contents = readFile(flash);
        if (faulted.status == 0) {
            EXPECT_NE(faulted.out.find(kComplete), std::string::npos);
            EXPECT_TRUE(holdsImages(contents)) << "exit 0, but the flash holds something else";
        } else {
            EXPECT_EQ(faulted.out.find(kComplete), std::string::npos);
            EXPECT_FALSE(faulted.err.empty()) << "the failure was not said";
            // Once the port was open, a pulled bridge is the last word.
            if (fault.rfind("unplug@", 0) == 0 && fault != "unplug@1") {
                EXPECT_TRUE(faulted.err.size() >= kLost.size() &&
                            faulted.err.compare(faulted.err.size() - kLost.size(), kLost.size(), kLost) == 0);
            }
        }
        // Outside the two images' sectors every byte is as it was.
        EXPECT_TRUE(same(contents, before, kSector, kAppOffset - kSector));
        EXPECT_TRUE(same(contents, before, kAppOffset + kSector, kFlashSize - kAppOffset - kSector));

        const Outcome again = write("");
        EXPECT_EQ(again.status, 0) << "the run after the fault:\n" << again.out << again.err;
        EXPECT_TRUE(holdsImages(readFile(flash)));
        return faulted.status == 0;
    }

    static std::vector<uint64_t> spread(uint64_t count, uint64_t samples)
    {
        std::vector<uint64_t> out;
        for (uint64_t i = 0; i < samples; ++i)
            out.push_back(1 + i * (count - 1) / std::max<uint64_t>(samples - 1, 1));
        out.erase(std::unique(out.begin(), out.end()), out.end());
        return out;
    }

    testsupport::ScratchDir scratch{"pravel-tool-sweep"};
    const fs::path dir = scratch.path();
    const fs::path flash = dir / "flash.bin";
    Bytes before;
    double faultFreeSeconds = 0;
    uint64_t calls = 0;
    const Bytes application = randomBytes(3000, 32);
    const Bytes bitstream = randomBytes(1500, 33);
};

TEST_F(ToolSweep, WriteAndVerifyWithOneFaultEach)
{
    ASSERT_NO_FATAL_FAILURE(calibrate());
    // Nearly every call belongs to a status poll (a write, a queue query, a
    // read): each of those functions makes about a third of the calls.
    const uint64_t third = std::max<uint64_t>(calls / 3, 2);
    std::vector<std::string> faults = {"FT_OpenEx@1", "FT_ResetDevice@1", "FT_Purge@1", "FT_SetLatencyTimer@1",
                                       "FT_SetBitMode@1", "FT_SetBitMode@2", "FT_Close@1"};
    for (uint64_t n : spread(third, 2 * kSample))
        faults.push_back("FT_Write@" + std::to_string(n));
    for (uint64_t n : spread(third, kSample + 2))
        faults.push_back("FT_Read@" + std::to_string(n));
    for (uint64_t n : spread(third, kSample))
        faults.push_back("FT_GetStatus@" + std::to_string(n));
    for (uint64_t n : spread(calls, 2 * kSample))
        faults.push_back("unplug@" + std::to_string(n));
    for (uint64_t n : spread(third, kSample + 1))
        faults.push_back("no-reply@" + std::to_string(n));

    unsigned survived = 0, failed = 0;
    for (const std::string& fault : faults) {
        (check(fault) ? survived : failed)++;
        if (HasFatalFailure())
            return;
    }
    std::cout << "tool fault sweep: " << faults.size() << " runs over a run of " << calls << " D2XX calls and "
              << faultFreeSeconds << " s emulated: " << survived << " survived, " << failed << " failed cleanly\n";
}

// A failed status read once left its reply queued and every later read waited
// a second (hours of emulated time); now it is retried at no extra cost.
TEST_F(ToolSweep, AFailedStatusReadIsSurvived)
{
    writeFile(flash, before);
    const double clean = emulatedSeconds(write(""));
    for (const char* fault : {"FT_Read@3", "FT_Read@4"}) { // after identification's status and ID reads
        writeFile(flash, before);
        const Outcome outcome = write(fault);
        EXPECT_EQ(outcome.status, 0) << outcome.out << outcome.err;
        EXPECT_TRUE(holdsImages(readFile(flash)));
        EXPECT_LE(emulatedSeconds(outcome), clean + 0.1) << fault;
    }
}

} // namespace
