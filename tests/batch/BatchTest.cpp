// pravel-flash on an emulated bench of several instruments, in this process:
// write --all puts the set into every flash and a record per instrument into
// the run history; a fault on one fails that one alone; with several and no
// choice nothing is touched; Ctrl-C ends every run and closes every port.

#include "tests/support/Emulated.h"
#include "tests/support/GatedDriver.h"

#include "cli/CommandLine.h"
#include "cli/ConsoleReporter.h"
#include "cli/FlashTool.h"
#include "emulator/CallTrace.h"
#include "emulator/DemoFirmware.h"
#include "emulator/Ft2232hBridge.h"
#include "record/Sha256.h"

#include <nlohmann/json.hpp>

#include <gtest/gtest.h>

#include <cstdlib>
#include <fstream>
#include <future>
#include <sstream>

namespace fs = std::filesystem;
using testsupport::Bytes;
using testsupport::readFile;

namespace {

bool has(const std::string& text, const std::string& needle) { return text.find(needle) != std::string::npos; }

std::shared_ptr<d2xx::EmulatedDriver> bench(const std::string& instruments, const std::string& faults = "")
{
    emu::BenchConfig config;
    std::string error;
    const bool parsed = emu::BenchConfig::parse(emu::BenchConfig::options({{"instruments", instruments}, {"faults", faults}}),
                                                emu::BenchConfig::Face::D2xx, config, error);
    auto driver = parsed ? d2xx::EmulatedDriver::create(config, error) : nullptr;
    if (!driver)
        throw std::runtime_error(error);
    driver->trace().setEnabled(false);
    return driver;
}

struct Ran
{
    int status = -1;
    std::string out, err;
};

class Batch : public ::testing::Test
{
protected:
    void SetUp() override
    {
        // A small set: eight runs at once stay quick under the sanitizers.
        fs::create_directories(firmware);
        const std::string records = emu::DemoFirmware::srecFile(20000);
        testsupport::writeFile(firmware / "pravel.srec", Bytes(records.begin(), records.end()));
        testsupport::writeFile(firmware / "download.bit", emu::DemoFirmware::bitFile("pravel_demo", "7a35tcsg324", 60000));
        std::ofstream(firmware / "version.txt") << "4.2.0\n";
        // The run history goes here, not into the user's.
        setenv("XDG_STATE_HOME", (dir / "state").c_str(), 1);
    }

    Ran tool(const std::vector<std::string>& args, std::shared_ptr<d2xx::EmulatedDriver> driver,
             std::shared_ptr<d2xx::D2xxDriver> front = nullptr, std::atomic<bool>* stopFlag = nullptr)
    {
        Invocation invocation;
        std::string error;
        EXPECT_TRUE(CommandLine::parse(args, invocation, error)) << error;
        std::ostringstream out, err;
        std::atomic<bool> ownStop{false};
        Ran ran;
        {
            ConsoleReporter reporter(out, err, false, false);
            reporter.install();
            FlashTool flashTool(invocation, reporter, stopFlag ? *stopFlag : ownStop);
            flashTool.useDriver(DriverSelection::emulated(driver, front));
            ran.status = flashTool.run();
        }
        ran.out = out.str();
        ran.err = err.str();
        return ran;
    }

    std::vector<nlohmann::json> history()
    {
        std::vector<nlohmann::json> lines;
        std::ifstream in(dir / "state" / "pravel-fw-loader" / "runs.jsonl");
        for (std::string line; std::getline(in, line);)
            lines.push_back(nlohmann::json::parse(line));
        return lines;
    }

    // Whether instrument `index` holds the demo set at its offsets.
    bool holdsTheSet(d2xx::EmulatedDriver& driver, size_t index)
    {
        bool all = true;
        for (const auto& [name, offset] : {std::pair<const char*, uint32_t>{"pravel.srec", 0x500000}, {"download.bit", 0}}) {
            const Bytes file = readFile(firmware / name);
            const auto& storage = driver.instrument(index)->flash().storage();
            for (size_t i = 0; i < file.size() && all; ++i)
                all = storage.at(offset + static_cast<uint32_t>(i)) == file[i];
        }
        return all;
    }

    testsupport::ScratchDir scratch{"pravel-batch"};
    const fs::path dir = scratch.path();
    const fs::path firmware = dir / "fw";
};

TEST_F(Batch, EveryInstrumentGetsTheSetAndARecordOfItsOwn)
{
    for (const size_t count : {1, 2, 8}) {
        SCOPED_TRACE(count);
        fs::remove_all(dir / "state");
        const auto driver = bench(std::to_string(count));
        const Ran ran = tool({"write", "--all", "--verify", "--firmware-dir", firmware.string(), "--report",
                              (dir / "report.json").string()},
                             driver);
        ASSERT_EQ(ran.status, 0) << ran.err;
        EXPECT_TRUE(has(ran.out, std::to_string(count) + " of " + std::to_string(count) + " instruments succeeded"))
            << ran.out;
        const std::vector<nlohmann::json> records = history();
        ASSERT_EQ(records.size(), count);
        std::set<std::string> serials;
        for (size_t i = 0; i < count; ++i) {
            const std::string serial = emu::BenchConfig::serialNumberOf(static_cast<unsigned>(i));
            EXPECT_TRUE(holdsTheSet(*driver, i)) << serial;
            EXPECT_TRUE(has(ran.out, serial + ": Verify...OK: " + (firmware / "download.bit").string())) << serial;
            serials.insert(records[i]["serial"].get<std::string>());
            EXPECT_EQ(records[i]["outcome"], "success");
            for (const auto& image : records[i]["images"]) {
                const Bytes file = readFile(image["path"].get<std::string>());
                EXPECT_EQ(image["sha256"], Sha256::hex(file.data(), file.size()));
            }
        }
        EXPECT_EQ(serials.size(), count) << "every instrument has its own record";
        std::ifstream report(dir / "report.json");
        EXPECT_EQ(nlohmann::json::parse(report)["runs"].size(), count);
    }
}

// The second of three is unplugged in the middle of programming: it fails,
// named in the table; the others are programmed and verified.
TEST_F(Batch, AnInstrumentUnpluggedMidRunFailsAlone)
{
    const auto driver = bench("3", "2:unplug@40");
    const Ran ran = tool({"write", "--all", "--verify", "--firmware-dir", firmware.string()}, driver);
    EXPECT_EQ(ran.status, 1);
    EXPECT_TRUE(has(ran.out, "2 of 3 instruments succeeded")) << ran.out;
    EXPECT_TRUE(has(ran.out, "FT7PRVL2    MT25Q128    FAILED")) << ran.out;
    EXPECT_TRUE(has(ran.err, "FT7PRVL2: Please check power and USB connections and try again.")) << ran.err;
    for (const size_t index : {0, 2})
        EXPECT_TRUE(holdsTheSet(*driver, index)) << index;
    for (const char* serial : {"FT7PRVL: ", "FT7PRVL3: "})
        EXPECT_TRUE(has(ran.out, std::string(serial) + "Verify...OK: " + (firmware / "download.bit").string())) << serial;
    const std::vector<nlohmann::json> records = history();
    ASSERT_EQ(records.size(), 3u);
    EXPECT_EQ(records[1]["outcome"], "failed");
    EXPECT_TRUE(records[1]["failed_stage"] == "erase" || records[1]["failed_stage"] == "program") << records[1];
}

TEST_F(Batch, SeveralInstrumentsAndNoChoiceIsRefused)
{
    const auto driver = bench("2");
    const Ran ran = tool({"write", "--firmware-dir", firmware.string()}, driver);
    EXPECT_EQ(ran.status, 1);
    EXPECT_TRUE(has(ran.err, "2 instruments are attached: FT7PRVL at 0x2112, FT7PRVL2 at 0x2122")) << ran.err;
    EXPECT_FALSE(has(ran.out, "Port(")) << "a port was opened";
    for (size_t index = 0; index < 2; ++index)
        EXPECT_EQ(testsupport::flashBytes(*driver, 0, 0x1000), Bytes(0x1000, 0xFF));
    EXPECT_TRUE(history().empty());
    // diagnose names them itself, and checks the one chosen.
    EXPECT_TRUE(has(tool({"diagnose"}, driver).out, "2 bridges are called"));
    const Ran chosen = tool({"--serial", "FT7PRVL2", "diagnose"}, driver);
    EXPECT_TRUE(has(chosen.out, "(serial \"FT7PRVL2B\", location 0x2122) opened")) << chosen.out;
}

// Ctrl-C while every instrument is held in the middle of a page program:
// every run stops between transactions and every port is closed.
TEST_F(Batch, CtrlCStopsEveryRunAndClosesEveryPort)
{
    const auto driver = bench("4");
    const auto gate = std::make_shared<testsupport::GatedDriver>(driver);
    gate->holdNextWrite(testsupport::pageProgramAt(0x500000 + 0x100 * 20), 4);
    std::atomic<bool> stop{false};
    auto running = std::async(std::launch::async, [&] {
        return tool({"write", "--all", "--firmware-dir", firmware.string()}, driver, gate, &stop);
    });
    gate->waitUntilHeld();
    stop = true;
    gate->release();
    const Ran ran = running.get();
    EXPECT_EQ(ran.status, FlashTool::Interrupted) << ran.err;
    EXPECT_TRUE(has(ran.out, "INTERRUPTED")) << ran.out;
    for (size_t index = 0; index < 4; ++index) {
        EXPECT_FALSE(driver->bridge(index)->isOpen(1)) << index;
        EXPECT_FALSE(holdsTheSet(*driver, index)) << index;
    }
}

} // namespace
