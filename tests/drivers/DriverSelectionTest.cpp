#include "tests/support/ConsoleCapture.h"
#include "composition/DriverSelection.h"
#include "emulator/d2xx/EmulatedDriver.h"
#ifdef _WIN32
#include "device/d2xx/Ftd2xxDllDriver.h"
#else
#include "device/d2xx/LibFtdiDriver.h"
#endif
#include "emulator/CallTrace.h"
#include "emulator/EmulatedInstrument.h"
#include "emulator/Ft2232hBridge.h"
#include "emulator/VirtualClock.h"
#include "emulator/SpiFlash.h"

#include <gtest/gtest.h>

#include <chrono>
#include <filesystem>
#include <map>
#include <string>
#include <thread>
#include <vector>

using namespace d2xx;

namespace {

// The real bridge's backend on this platform, and the other platform's.
#ifdef _WIN32
using HardwareDriver = Ftd2xxDllDriver;
const char* const hardwareName = "ftd2xx";
const char* const foreignName = "libftdi";
#else
using HardwareDriver = LibFtdiDriver;
const char* const hardwareName = "libftdi";
const char* const foreignName = "ftd2xx";
#endif

using Environment = std::map<std::string, std::string>;

DriverSelection selection(const Environment& environment, std::string& error)
{
    return DriverSelection::choose({}, error, [&environment](const char* name) -> const char* {
        auto it = environment.find(name);
        return it == environment.end() ? nullptr : it->second.c_str();
    });
}

std::shared_ptr<D2xxDriver> select(const Environment& environment, std::string& error)
{
    return selection(environment, error).driver();
}

std::shared_ptr<EmulatedDriver> selectEmulated(Environment environment)
{
    environment["PRAVEL_DEVICE"] = "emulated";
    std::string error;
    auto driver = std::dynamic_pointer_cast<EmulatedDriver>(select(environment, error));
    EXPECT_TRUE(driver) << error;
    EXPECT_EQ(error, "");
    return driver;
}

void expectMentionsAll(const std::string& text, std::initializer_list<const char*> words)
{
    for (const char* word : words)
        EXPECT_NE(text.find(word), std::string::npos) << "\"" << word << "\" missing from: " << text;
}

} // namespace

TEST(DriverSelection, RealHardwareIsTheDefaultAndTheOtherPlatformsBackendIsRefused)
{
    std::string error = "stale";
    for (const Environment& environment : {Environment{}, Environment{{"PRAVEL_DEVICE", ""}},
                                           Environment{{"PRAVEL_DEVICE", hardwareName}}}) {
        EXPECT_TRUE(std::dynamic_pointer_cast<HardwareDriver>(select(environment, error)));
        EXPECT_EQ(error, "");
    }
    EXPECT_EQ(select({{"PRAVEL_DEVICE", foreignName}}, error), nullptr);
    expectMentionsAll(error, {"ftd2xx", "Windows", "libftdi", "emulated"});
}

TEST(DriverSelection, UnknownValuesAreErrorsNamingWhatIsAccepted)
{
    std::string error;
    for (const char* device : {"usb", "Emulated", "emulated ", "ftdi"}) {
        EXPECT_EQ(select({{"PRAVEL_DEVICE", device}}, error), nullptr) << device;
        expectMentionsAll(error, {"PRAVEL_DEVICE", device, "emulated", "libftdi", "ftd2xx"});
    }
    EXPECT_EQ(select({{"PRAVEL_DEVICE", "emulated"}, {"PRAVEL_EMULATED_CHIP", "w25q64"}}, error), nullptr);
    expectMentionsAll(error, {"PRAVEL_EMULATED_CHIP", "w25q64", "mt25q128", "s25fl256", "arty", "corrupted", "unknown",
                              "unplugged"});
    EXPECT_EQ(select({{"PRAVEL_DEVICE", "emulated"}, {"PRAVEL_EMULATED_FAULTS", "enumeration,melt@3"}}, error), nullptr);
    expectMentionsAll(error, {"PRAVEL_EMULATED_FAULTS", "melt@3", "unplug@", "flip@"});

    // An unusable image is an error, not a silent in-memory flash.
    const std::string directory = std::filesystem::temp_directory_path().string();
    EXPECT_EQ(select({{"PRAVEL_DEVICE", "emulated"}, {"PRAVEL_EMULATED_IMAGE", directory}}, error), nullptr);
    EXPECT_NE(error.find("emulated instrument"), std::string::npos) << error;
}

TEST(DriverSelection, EmulatedVariablesNeverTurnRealHardwareIntoAnEmulation)
{
    std::string error;
    testsupport::ConsoleCapture console;
    auto driver = select({{"PRAVEL_DEVICE", hardwareName},
                          {"PRAVEL_EMULATED_CHIP", "unplugged"},
                          {"PRAVEL_EMULATED_FAULTS", "not even parsed"}},
                         error);
    const std::string warnings = console.err();
    EXPECT_TRUE(std::dynamic_pointer_cast<HardwareDriver>(driver)) << error;
    expectMentionsAll(warnings, {"PRAVEL_EMULATED_CHIP", "PRAVEL_EMULATED_FAULTS", "ignored"});
    EXPECT_EQ(warnings.find("PRAVEL_EMULATED_IMAGE"), std::string::npos);
}

TEST(DriverSelection, ChipAndFaultVariablesShapeTheEmulatedBridge)
{
    for (const char* chip : {"s25fl256", ""}) {
        auto driver = selectEmulated({{"PRAVEL_EMULATED_CHIP", chip}});
        ASSERT_TRUE(driver && driver->instrument()) << chip;
        EXPECT_EQ(driver->instrument()->flash().part().name, *chip ? chip : "mt25q128");
    }
    uint32_t count = 99;
    auto unplugged = selectEmulated({{"PRAVEL_EMULATED_CHIP", "unplugged"}});
    ASSERT_TRUE(unplugged);
    EXPECT_EQ(unplugged->bridge(), nullptr);
    EXPECT_EQ(unplugged->FT_CreateDeviceInfoList(&count), FT_OK);
    EXPECT_EQ(count, 0u);

    auto enumerationFails = selectEmulated({{"PRAVEL_EMULATED_FAULTS", "enumeration"}});
    ASSERT_TRUE(enumerationFails);
    EXPECT_NE(enumerationFails->FT_CreateDeviceInfoList(&count), FT_OK);

    // Only the first FT_OpenEx fails.
    auto failingOpen = selectEmulated({{"PRAVEL_EMULATED_FAULTS", "FT_OpenEx@1"}});
    ASSERT_TRUE(failingOpen);
    FT_HANDLE handle = nullptr;
    EXPECT_EQ(failingOpen->FT_OpenEx("USB <-> Serial Converter B", FT_OPEN_BY_DESCRIPTION, &handle), FT_IO_ERROR);
    EXPECT_EQ(failingOpen->FT_OpenEx("USB <-> Serial Converter B", FT_OPEN_BY_DESCRIPTION, &handle), FT_OK);
    failingOpen->FT_Close(handle);
}

// The clock an entry point's sleeps go through, the emulated instrument's
// controls, and its timing: timed, a sector erase keeps the flash busy for the
// datasheet's typical or maximum time.
TEST(DriverSelection, TheEmulatedInstrumentComesWithItsClockTraceAndTiming)
{
    std::string error;
    const DriverSelection hardware = selection({{"PRAVEL_DEVICE", hardwareName}}, error);
    EXPECT_EQ(&hardware.clock(), &Clock::system());
    EXPECT_FALSE(hardware.isEmulated() || hardware.timedEmulation());
    EXPECT_EQ(hardware.emulatedSeconds(), 0.0);

    const std::pair<const char*, uint64_t> timings[] = {{"", 0}, {"instant", 0}, {"typical", 150000000}, {"worst", 1000000000}};
    for (const auto& [timing, eraseNs] : timings) {
        SCOPED_TRACE(timing);
        const DriverSelection emulated =
            selection({{"PRAVEL_DEVICE", "emulated"}, {"PRAVEL_EMULATED_TIMING", timing}}, error);
        auto driver = std::dynamic_pointer_cast<EmulatedDriver>(emulated.driver());
        ASSERT_TRUE(driver) << error;
        EXPECT_EQ(&emulated.clock(), static_cast<Clock*>(&driver->clock()));
        EXPECT_EQ(emulated.timedEmulation(), eraseNs > 0);
        EXPECT_EQ(driver->bridge()->costs().usbScheduling, eraseNs > 0);
        emulated.clock().sleepMicroseconds(1500000);
        EXPECT_DOUBLE_EQ(emulated.emulatedSeconds(), 1.5);
        EXPECT_TRUE(driver->trace().enabled());
        emulated.setCallTrace(false);
        EXPECT_FALSE(driver->trace().enabled());
        if (eraseNs == 0)
            continue;
        emu::EmulatedInstrument& board = *driver->instrument();
        for (const auto& command : {std::vector<uint8_t>{0x06}, std::vector<uint8_t>{0xD8, 0x00, 0x00, 0x00}}) {
            board.setLowPins(0x00, 0x6B);
            for (uint8_t b : command)
                board.shift(b, 8);
            board.setLowPins(0x68, 0x6B);
        }
        driver->clock().advanceNanoseconds(eraseNs - 1);
        EXPECT_TRUE(board.flash().busy());
        driver->clock().advanceNanoseconds(1);
        EXPECT_FALSE(board.flash().busy());
    }
    EXPECT_EQ(select({{"PRAVEL_DEVICE", "emulated"}, {"PRAVEL_EMULATED_TIMING", "slow"}}, error), nullptr);
    expectMentionsAll(error, {"PRAVEL_EMULATED_TIMING", "slow", "instant", "typical", "worst"});
    EXPECT_EQ(select({{"PRAVEL_DEVICE", "emulated"}, {"PRAVEL_EMULATED_PACE", "fast"}}, error), nullptr);
    expectMentionsAll(error, {"PRAVEL_EMULATED_PACE", "fast", "virtual", "realtime"});
}

// For a demo: emulated time never runs ahead of real time, and time the host
// spends outside the emulated bridge (the window's own work) passes there too.
TEST(DriverSelection, PacedEmulatedTimeKeepsStepWithRealTime)
{
    using std::chrono::steady_clock;
    auto driver = selectEmulated({{"PRAVEL_EMULATED_PACE", "realtime"}});
    ASSERT_TRUE(driver);
    const auto seconds = [](steady_clock::duration d) { return std::chrono::duration<double>(d).count(); };
    uint32_t channels = 0;
    ASSERT_EQ(driver->FT_CreateDeviceInfoList(&channels), FT_OK); // level with real time from here
    const auto realStart = steady_clock::now();
    const double emulatedStart = double(driver->clock().nowNanoseconds()) / 1e9;
    driver->clock().sleepMicroseconds(50000);
    EXPECT_GE(seconds(steady_clock::now() - realStart), 0.049);
    std::this_thread::sleep_for(std::chrono::milliseconds(30));
    const double realBefore = seconds(steady_clock::now() - realStart);
    ASSERT_EQ(driver->FT_CreateDeviceInfoList(&channels), FT_OK);
    const double emulated = double(driver->clock().nowNanoseconds()) / 1e9 - emulatedStart;
    EXPECT_GE(emulated, realBefore - 0.001);
    EXPECT_LE(emulated, seconds(steady_clock::now() - realStart) + 0.001);
}
