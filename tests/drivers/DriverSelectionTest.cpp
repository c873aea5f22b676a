#include "device/d2xx/DriverSelection.h"
#include "device/d2xx/EmulatedDriver.h"
#ifdef _WIN32
#include "device/d2xx/Ftd2xxDllDriver.h"
#else
#include "device/d2xx/LibFtdiDriver.h"
#endif
#include "emulator/EmulatedInstrument.h"
#include "emulator/SpiFlash.h"

#include <gtest/gtest.h>

#include <filesystem>
#include <map>
#include <string>

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

std::shared_ptr<D2xxDriver> select(const Environment& environment, std::string& error)
{
    return selectDriver(
        [&environment](const char* name) -> const char* {
            auto it = environment.find(name);
            return it == environment.end() ? nullptr : it->second.c_str();
        },
        error);
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
    testing::internal::CaptureStderr();
    auto driver = select({{"PRAVEL_DEVICE", hardwareName},
                          {"PRAVEL_EMULATED_CHIP", "unplugged"},
                          {"PRAVEL_EMULATED_FAULTS", "not even parsed"}},
                         error);
    const std::string warnings = testing::internal::GetCapturedStderr();
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
