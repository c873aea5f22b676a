#include "device/d2xx/DriverSelection.h"
#include "device/d2xx/EmulatedDriver.h"
#include "device/d2xx/LibFtdiDriver.h"
#include "emulator/EmulatedInstrument.h"
#include "emulator/SpiFlash.h"

#include <gtest/gtest.h>

#include <filesystem>
#include <map>
#include <string>

using namespace d2xx;

namespace {

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
    EXPECT_TRUE(std::dynamic_pointer_cast<LibFtdiDriver>(select({}, error)));
    EXPECT_EQ(error, "");
    EXPECT_TRUE(std::dynamic_pointer_cast<LibFtdiDriver>(select({{"PRAVEL_DEVICE", ""}}, error)));
    EXPECT_TRUE(std::dynamic_pointer_cast<LibFtdiDriver>(select({{"PRAVEL_DEVICE", "libftdi"}}, error)));

    EXPECT_EQ(select({{"PRAVEL_DEVICE", "ftd2xx"}}, error), nullptr);
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
    expectMentionsAll(error,
                      {"PRAVEL_EMULATED_CHIP", "w25q64", "mt25q128", "s25fl256", "arty", "corrupted", "unknown",
                       "unplugged"});

    EXPECT_EQ(select({{"PRAVEL_DEVICE", "emulated"}, {"PRAVEL_EMULATED_FAULTS", "enumeration,melt@3"}}, error),
              nullptr);
    expectMentionsAll(error, {"PRAVEL_EMULATED_FAULTS", "melt@3", "unplug@", "flip@"});
}

TEST(DriverSelection, EmulatedVariablesNeverTurnRealHardwareIntoAnEmulation)
{
    std::string error;
    testing::internal::CaptureStderr();
    auto driver = select({{"PRAVEL_DEVICE", "libftdi"},
                          {"PRAVEL_EMULATED_CHIP", "unplugged"},
                          {"PRAVEL_EMULATED_FAULTS", "not even parsed"}},
                         error);
    const std::string warnings = testing::internal::GetCapturedStderr();
    EXPECT_TRUE(std::dynamic_pointer_cast<LibFtdiDriver>(driver)) << error;
    expectMentionsAll(warnings, {"PRAVEL_EMULATED_CHIP", "PRAVEL_EMULATED_FAULTS", "ignored"});
    EXPECT_EQ(warnings.find("PRAVEL_EMULATED_IMAGE"), std::string::npos);
}

TEST(DriverSelection, EachEmulatedChipSitsBehindAnAttachedBridge)
{
    for (const char* chip : {"mt25q128", "s25fl256", "arty", "corrupted", "unknown"}) {
        auto driver = selectEmulated({{"PRAVEL_EMULATED_CHIP", chip}});
        ASSERT_TRUE(driver) << chip;
        ASSERT_NE(driver->instrument(), nullptr) << chip;
        EXPECT_EQ(driver->instrument()->flash().part().name, chip);
        uint32_t count = 0;
        EXPECT_EQ(driver->FT_CreateDeviceInfoList(&count), FT_OK) << chip;
        EXPECT_EQ(count, 2u) << chip;
    }
    auto fallback = selectEmulated({});
    ASSERT_TRUE(fallback && fallback->instrument());
    EXPECT_EQ(fallback->instrument()->flash().part().name, "mt25q128");
}

TEST(DriverSelection, UnpluggedMeansNoBridgeAtAll)
{
    auto driver = selectEmulated({{"PRAVEL_EMULATED_CHIP", "unplugged"}});
    ASSERT_TRUE(driver);
    EXPECT_EQ(driver->bridge(), nullptr);
    uint32_t count = 99;
    EXPECT_EQ(driver->FT_CreateDeviceInfoList(&count), FT_OK);
    EXPECT_EQ(count, 0u);
    FT_HANDLE handle = nullptr;
    EXPECT_NE(driver->FT_OpenEx("USB <-> Serial Converter B", FT_OPEN_BY_DESCRIPTION, &handle), FT_OK);
}

TEST(DriverSelection, FaultTextReachesTheEmulatedBridge)
{
    uint32_t count = 0;
    auto enumerationFails = selectEmulated({{"PRAVEL_EMULATED_FAULTS", "enumeration"}});
    ASSERT_TRUE(enumerationFails);
    EXPECT_NE(enumerationFails->FT_CreateDeviceInfoList(&count), FT_OK);

    auto healthy = selectEmulated({{"PRAVEL_EMULATED_FAULTS", ""}});
    ASSERT_TRUE(healthy);
    EXPECT_EQ(healthy->FT_CreateDeviceInfoList(&count), FT_OK);

    // Only the first FT_OpenEx fails; the count is per function.
    auto failingOpen = selectEmulated({{"PRAVEL_EMULATED_FAULTS", "FT_OpenEx@1"}});
    ASSERT_TRUE(failingOpen);
    FT_HANDLE handle = nullptr;
    EXPECT_EQ(failingOpen->FT_OpenEx("USB <-> Serial Converter B", FT_OPEN_BY_DESCRIPTION, &handle), FT_IO_ERROR);
    EXPECT_EQ(failingOpen->FT_OpenEx("USB <-> Serial Converter B", FT_OPEN_BY_DESCRIPTION, &handle), FT_OK);
    failingOpen->FT_Close(handle);
}

TEST(DriverSelection, AnUnusableImageIsAnErrorNotAnInMemoryFlash)
{
    std::string error;
    const std::string directory = std::filesystem::temp_directory_path().string();
    EXPECT_EQ(select({{"PRAVEL_DEVICE", "emulated"}, {"PRAVEL_EMULATED_IMAGE", directory}}, error), nullptr);
    EXPECT_NE(error.find("emulated instrument"), std::string::npos) << error;
}
