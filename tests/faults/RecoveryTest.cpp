// The loader after a fault: the cable pulled mid-run and put back, and a
// firmware file that cannot be read.

#include "tests/faults/SweepSupport.h"
#include "tests/support/ConsoleCapture.h"

#include "emulator/SpiFlash.h"
#include "gui/FWUpdateProcessor.h"

#include <QUrl>

#include <gtest/gtest.h>

#include <algorithm>
#include <string>

using namespace sweep;
using FwLoaderGui::FWUpdateProcessor;

namespace {

constexpr uint32_t kAppOffset = 0x500000;
const std::string kLost = "The USB connection to the bridge was lost\n";

class Recovery : public ::testing::Test
{
protected:
    void SetUp() override
    {
        dir = fs::temp_directory_path() / ("pravel-recovery-" + std::to_string(::getpid()));
        fs::remove_all(dir);
        fs::create_directories(dir / "firmware");
        writeFile(dir / "firmware" / "pravel.srec", application);
        writeFile(dir / "firmware" / "download.bit", bitstream);
        writeFile(dir / "firmware" / "version.txt", Bytes{'1', '\n'});
    }
    void TearDown() override
    {
        std::error_code ec;
        fs::remove_all(dir, ec);
    }

    std::shared_ptr<d2xx::EmulatedDriver> makeDriver(const std::string& faults, const std::string& image = "")
    {
        emu::BenchConfig bench;
        std::string error;
        EXPECT_TRUE(emu::BenchConfig::parse(emu::BenchConfig::options({{"faults", faults}, {"image", image}}),
                                            emu::BenchConfig::Face::D2xx, bench, error))
            << error;
        auto driver = d2xx::EmulatedDriver::create(bench, error);
        EXPECT_TRUE(driver) << error;
        return driver;
    }
    std::unique_ptr<FWUpdateProcessor> makeProcessor(const std::shared_ptr<d2xx::EmulatedDriver>& driver)
    {
        auto processor = std::make_unique<FWUpdateProcessor>(driver, driver->clock());
        processor->setFirmwareDir(QUrl::fromLocalFile(QString::fromStdString((dir / "firmware").string())));
        return processor;
    }
    static void run(FWUpdateProcessor& processor)
    {
        processor.program();
        processor.waitForProgramming();
    }
    static size_t count(const std::vector<LogRow>& log, const std::string& text)
    {
        return size_t(std::count_if(log.begin(), log.end(), [&](const LogRow& r) { return r.text == text; }));
    }

    fs::path dir;
    const Bytes application = randomBytes(5000, 21);
    const Bytes bitstream = randomBytes(2000, 22);
};

// The cable pulled mid-application: the loss is named once, last; once it is
// back, one Refresh Device finds the instrument and a run writes the firmware.
TEST_F(Recovery, UnplugMidRunReplugRefreshAndRunAgain)
{
    for (bool refreshWhileOut : {false, true}) {
        SCOPED_TRACE(refreshWhileOut ? "refreshed while unplugged" : "refreshed after replug");
        auto driver = makeDriver("unplug@32"); // discovery takes about 20 calls: this is mid-image
        LogCapture capture;
        testsupport::ConsoleCapture console;
        auto processor = makeProcessor(driver);
        processor->refreshDevices();
        ASSERT_TRUE(processor->deviceDetected());
        capture.take();

        run(*processor);
        const std::string diagnostics = console.err();
        const auto failed = capture.take();
        SCOPED_TRACE(joined(failed));
        EXPECT_EQ(count(failed, kLost), 1u);
        EXPECT_EQ(count(failed, kComplete), 0u);
        EXPECT_EQ(failed.back().text, kLost);
        EXPECT_EQ(diagnostics.find("overflow"), std::string::npos) << diagnostics;

        if (refreshWhileOut) {
            processor->refreshDevices();
            EXPECT_FALSE(processor->deviceDetected());
        }
        driver->setPlugged(true);
        processor->refreshDevices();
        ASSERT_TRUE(processor->deviceDetected()) << joined(capture.take());
        capture.take();
        run(*processor);
        const auto again = capture.take();
        ASSERT_FALSE(again.empty());
        EXPECT_EQ(again.back().text, kComplete) << joined(again);
        EXPECT_TRUE(holdsImages(*driver, application, bitstream));
    }
}

// Every file of a run is read before the first erase: a bitstream that
// cannot be read leaves the flash exactly as it was, the application's
// sectors included.
TEST_F(Recovery, AnUnreadableBitstreamLeavesTheFlashAsItWas)
{
    const fs::path image = dir / "flash.bin";
    Bytes before;
    const Bytes block = randomBytes(0x10000, 23);
    for (int sector = 0; sector < 256; ++sector)
        before.insert(before.end(), block.begin(), block.end());
    writeFile(image, before);
    // Root reads a file whatever its mode; a directory in the file's place
    // cannot be read by anyone.
    fs::remove(dir / "firmware" / "download.bit");
    fs::create_directory(dir / "firmware" / "download.bit");
    {
        auto driver = makeDriver("", image.string());
        LogCapture capture;
        auto processor = makeProcessor(driver);
        processor->refreshDevices();
        ASSERT_TRUE(processor->deviceDetected());
        run(*processor);
        const auto log = capture.take();
        EXPECT_EQ(count(log, kComplete), 0u) << joined(log);
        EXPECT_EQ(log.back().type, ProgressReporter::Error) << joined(log);
        const std::string refusal = "Error opening file for reading: " + (dir / "firmware" / "download.bit").string() + "\n";
        EXPECT_EQ(count(log, refusal), 1u) << joined(log);
    }
    EXPECT_TRUE(readFile(image) == before) << "the flash image changed";
}

} // namespace
