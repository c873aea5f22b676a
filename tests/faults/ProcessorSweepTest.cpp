// A Basic run through the update processor with one fault at a spread of
// D2XX calls, unplug moments and lost replies: each must end within 5 s of
// emulated time, never claim success wrongly, touch nothing outside its
// images' sectors, and leave the loader able to run again after one Refresh
// Device, with the flash as the fault left it (still erasing, say).

#include "tests/faults/SweepSupport.h"

#include "device/FlashGeometry.h"
#include "device/d2xx/ForwardingDriver.h"
#include "emulator/d2xx/EmulatedDriver.h"
#include "emulator/CallTrace.h"
#include "emulator/DemoFirmware.h"
#include "emulator/EmulatedInstrument.h"
#include "emulator/Ft2232hBridge.h"
#include "emulator/SpiFlash.h"
#include "emulator/VirtualClock.h"
#include "base/ProgressReporter.h"
#include "gui/FWUpdateProcessor.h"

#include <QCoreApplication>
#include <QStringList>
#include <QUrl>

#include <gtest/gtest.h>

#include <algorithm>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <map>
#include <mutex>
#include <sstream>
#include <string>
#include <vector>

using namespace sweep;
using d2xx::FT_STATUS;
using d2xx::FT_HANDLE;
using FwLoaderGui::FWUpdateProcessor;

namespace {

constexpr uint32_t kSector = FlashGeometry::sectorSize;
constexpr uint64_t kFaultBoundNs = 5'000'000'000;
// Faulted runs the sweep of the small run aims at; the stride over each kind
// of fault follows from it. 0: every single call. Under the sanitizers a run
// costs several times as much, so there it is a spread of 300.
// PRAVEL_FAULT_RUNS changes it.
#if defined(__SANITIZE_ADDRESS__) || defined(__SANITIZE_THREAD__)
constexpr unsigned kDefaultBudget = 300;
constexpr uint64_t kTimedPerKind = 2;
#else
constexpr unsigned kDefaultBudget = 0;
constexpr uint64_t kTimedPerKind = 8;
#endif

// What a fault is aimed at, as PRAVEL_EMULATED_FAULTS spells it.
struct Fault
{
    std::string kind; // a D2XX function, "unplug" or "no-reply"
    uint64_t ordinal = 0;
    std::string text() const { return ordinal ? kind + "@" + std::to_string(ordinal) : kind; }
};

// Counts every call on its way to the emulated driver and notes the virtual
// time at which the aimed-at fault strikes.
class CountingDriver final : public d2xx::ForwardingDriver
{
public:
    CountingDriver(std::shared_ptr<d2xx::EmulatedDriver> emulated, Fault fault)
        : ForwardingDriver(emulated), emulated(std::move(emulated)), fault(std::move(fault))
    {
    }

    FT_STATUS FT_CreateDeviceInfoList(uint32_t* c) override { return count("FT_CreateDeviceInfoList"), inner->FT_CreateDeviceInfoList(c); }
    FT_STATUS FT_GetDeviceInfoList(d2xx::FT_DEVICE_LIST_INFO_NODE* l, uint32_t* c) override
    {
        return count("FT_GetDeviceInfoList"), inner->FT_GetDeviceInfoList(l, c);
    }
    FT_STATUS FT_OpenEx(const void* a, uint32_t f, FT_HANDLE* h) override { return count("FT_OpenEx"), inner->FT_OpenEx(a, f, h); }
    FT_STATUS FT_ResetDevice(FT_HANDLE h) override { return count("FT_ResetDevice"), inner->FT_ResetDevice(h); }
    FT_STATUS FT_Purge(FT_HANDLE h, uint32_t m) override { return count("FT_Purge"), inner->FT_Purge(h, m); }
    FT_STATUS FT_SetLatencyTimer(FT_HANDLE h, uint8_t ms) override { return count("FT_SetLatencyTimer"), inner->FT_SetLatencyTimer(h, ms); }
    FT_STATUS FT_SetBitMode(FT_HANDLE h, uint8_t m, uint8_t mode) override { return count("FT_SetBitMode"), inner->FT_SetBitMode(h, m, mode); }
    FT_STATUS FT_GetBitMode(FT_HANDLE h, uint8_t* p) override { return count("FT_GetBitMode"), inner->FT_GetBitMode(h, p); }
    FT_STATUS FT_Write(FT_HANDLE h, const void* b, uint32_t c, uint32_t* w) override
    {
        count("FT_Write");
        const FT_STATUS status = inner->FT_Write(h, b, c, w);
        // A reply that never comes takes effect when its command goes out.
        if (fault.kind == "no-reply" && !struck && emulated->bridge()->replyCommands() >= fault.ordinal)
            strike();
        return status;
    }
    FT_STATUS FT_GetStatus(FT_HANDLE h, uint32_t* r, uint32_t* t, uint32_t* e) override { return count("FT_GetStatus"), inner->FT_GetStatus(h, r, t, e); }
    FT_STATUS FT_Read(FT_HANDLE h, void* b, uint32_t c, uint32_t* r) override { return count("FT_Read"), inner->FT_Read(h, b, c, r); }
    FT_STATUS FT_Close(FT_HANDLE h) override { return count("FT_Close"), inner->FT_Close(h); }

    std::map<std::string, uint64_t> perFunction;
    uint64_t total = 0;
    bool struck = false;
    uint64_t struckAtNs = 0;

private:
    void count(const char* function)
    {
        ++total;
        const uint64_t nth = ++perFunction[function];
        if (!struck && ((fault.kind == function && fault.ordinal == nth) || (fault.kind == "unplug" && fault.ordinal == total)))
            strike();
    }
    void strike()
    {
        struck = true;
        struckAtNs = emulated->clock().nowNanoseconds();
    }

    std::shared_ptr<d2xx::EmulatedDriver> emulated;
    Fault fault;
};

const std::vector<std::pair<uint32_t, Bytes>>& markers()
{
    static const std::vector<std::pair<uint32_t, Bytes>> list = {
        {kSector, randomBytes(256, 11)},                 // right after the bitstream's sector
        {kAppOffset - 256, randomBytes(256, 12)},        // the end of the sector before the application
        {kAppOffset + 2 * kSector, randomBytes(256, 13)}, // right after the application's sectors
        {0xFFFF00, randomBytes(256, 14)},                // the top of the flash
    };
    return list;
}

struct Totals
{
    unsigned runs = 0, survived = 0, failedCleanly = 0;
    uint64_t longestAfterFaultNs = 0;
};
Totals processorTotals;

class ProcessorSweep : public ::testing::Test
{
protected:
    // The firmware directory and how the flash behaves.
    struct Scenario
    {
        Scenario(const std::string& name, size_t applicationSize, const char* timing)
            : dir(fs::temp_directory_path() / ("pravel-sweep-" + name + "-" + std::to_string(::getpid()))),
              application(randomBytes(applicationSize, 2)),
              // A real bitstream: the run reads the flash's own before its first erase.
              bitstream(emu::DemoFirmware::bitFile("sweep", "7a35tcsg324", 1500)), timing(timing)
        {
            fs::create_directories(dir);
            writeFile(dir / "pravel.srec", application);
            writeFile(dir / "download.bit", bitstream);
            writeFile(dir / "version.txt", Bytes{'2', '.', '0', '\n'});
        }
        ~Scenario()
        {
            std::error_code ec;
            fs::remove_all(dir, ec);
        }
        fs::path dir;
        Bytes application, bitstream;
        const char* timing; // instant, typical, worst
    };

    struct Run
    {
        std::vector<LogRow> log;
        std::map<std::string, uint64_t> perFunction;
        uint64_t total = 0, replies = 0, durationNs = 0;
        bool struck = false;
        uint64_t afterFaultNs = 0;
        QStringList details; // what the stage said it waited for
    };

    // One Basic run with `fault`, checked; then, the fault spent, a second
    // one that must succeed.
    Run runWith(const Scenario& scenario, const Fault& fault, bool check = true)
    {
        const emu::BenchConfig::Settings settings = {{"timing", scenario.timing},
                                                     {"faults", fault.kind.empty() ? "" : fault.text()}};
        emu::BenchConfig bench;
        std::string error;
        EXPECT_TRUE(emu::BenchConfig::parse(emu::BenchConfig::options(settings), emu::BenchConfig::Face::D2xx, bench, error))
            << error;
        auto emulated = d2xx::EmulatedDriver::create(bench, error);
        if (!emulated) {
            ADD_FAILURE() << error;
            return {};
        }
        Marker marker(*emulated);
        // A stuck flash would stick on the markers already.
        for (const auto& [address, bytes] : markers())
            if (fault.kind != "stuck-busy")
                marker.program(address, bytes);
        emulated->trace().clear();

        auto counting = std::make_shared<CountingDriver>(emulated, fault);
        LogCapture capture;
        FWUpdateProcessor processor(counting, emulated->clock());
        processor.setFirmwareDir(QUrl::fromLocalFile(QString::fromStdString(scenario.dir.string())));
        capture.take();

        processor.refreshDevices();
        Run run;
        QObject::connect(&processor, &FWUpdateProcessor::stageDetailChanged, [&] { run.details << processor.stageDetail(); });
        const uint64_t start = emulated->clock().nowNanoseconds();
        processor.program();
        processor.waitForProgramming();
        QCoreApplication::sendPostedEvents();
        run.log = capture.take();
        run.perFunction = counting->perFunction;
        run.total = counting->total;
        run.replies = emulated->bridge()->replyCommands();
        run.durationNs = emulated->clock().nowNanoseconds() - start;
        run.struck = counting->struck;
        run.afterFaultNs = emulated->clock().nowNanoseconds() - counting->struckAtNs;
        if (!check)
            return run;

        SCOPED_TRACE(fault.text() + "\n" + joined(run.log));
        EXPECT_TRUE(run.struck) << "the fault was never reached";
        EXPECT_LE(run.afterFaultNs, kFaultBoundNs);
        const bool survived = !run.log.empty() && run.log.back().text == kComplete;
        if (survived) {
            EXPECT_TRUE(holdsImages(*emulated, scenario.application, scenario.bitstream)) << "called complete, but the flash holds something else";
        } else {
            expectFailedCleanly(run.log);
        }
        // A bridge pulled mid-run is named, once.
        const auto said = [&](const std::string& text) {
            return std::count_if(run.log.begin(), run.log.end(), [&](const LogRow& r) { return r.text.rfind(text, 0) == 0; });
        };
        EXPECT_LE(said(kLost), 1);
        if (fault.kind == "unplug" && !survived && said("Starting programming of") > 0) {
            EXPECT_EQ(said(kLost), 1);
        }
        expectNothingOutsideTheRunsSectors(*emulated);

        // The same loader, the fault over, at once: one refresh and a run.
        emulated->endCallFaults();
        processor.refreshDevices();
        processor.program();
        processor.waitForProgramming();
        const auto again = capture.take();
        EXPECT_TRUE(!again.empty() && again.back().text == kComplete) << "the run after the fault:\n" << joined(again);
        EXPECT_TRUE(holdsImages(*emulated, scenario.application, scenario.bitstream)) << "after the run that followed the fault";

        ++processorTotals.runs;
        processorTotals.longestAfterFaultNs = std::max(processorTotals.longestAfterFaultNs, run.afterFaultNs);
        ++(survived ? processorTotals.survived : processorTotals.failedCleanly);
        return run;
    }

    // A failure is said, as an error, and no success follows it.
    static void expectFailedCleanly(const std::vector<LogRow>& log)
    {
        const auto firstError = std::find_if(log.begin(), log.end(), [](const LogRow& r) { return r.type == ProgressReporter::Error; });
        ASSERT_NE(firstError, log.end()) << "the run failed without saying so";
        EXPECT_EQ(log.back().type, ProgressReporter::Error);
        for (auto row = log.begin(); row != log.end(); ++row) {
            EXPECT_NE(row->text, kComplete);
            if (row > firstError) {
                EXPECT_EQ(row->text.find("...OK"), std::string::npos) << "a success after the failure: " << row->text;
            }
        }
    }

    // Every flash transaction that changed something stayed in the sectors
    // of the two images, and the marked data around them is still there.
    static void expectNothingOutsideTheRunsSectors(d2xx::EmulatedDriver& emulated)
    {
        const auto inRunSectors = [](uint64_t begin, uint64_t end) {
            return (end <= kSector) || (begin >= kAppOffset && end <= kAppOffset + 2 * kSector);
        };
        for (const auto& t : emulated.trace().spi()) {
            if (t.ignored)
                continue;
            switch (t.opcode) {
            case 0x9F: case 0x05: case 0x70: case 0x03: case 0x06: case 0x04: case 0xB5:
                break; // reads and the write-enable latch
            case 0x02:
                EXPECT_TRUE(inRunSectors(t.address, uint64_t(t.address) + t.dataLength)) << "page program at " << t.address;
                break;
            case 0xD8:
                EXPECT_TRUE(inRunSectors(t.address, uint64_t(t.address) + 1)) << "sector erase at " << t.address;
                break;
            default:
                ADD_FAILURE() << "flash command " << int(t.opcode) << " in a firmware run";
            }
        }
        const auto& storage = emulated.instrument()->flash().storage();
        for (const auto& [address, bytes] : markers())
            for (size_t i = 0; i < bytes.size(); ++i)
                ASSERT_EQ(storage.at(address + uint32_t(i)), bytes[i]) << "marked byte at " << address + i;
    }

    // Ordinals 1..count, every one if they fit into `budget` runs, else spread
    // evenly, the first and the last always among them.
    static std::vector<uint64_t> spread(uint64_t count, uint64_t budget)
    {
        std::vector<uint64_t> out;
        if (count == 0)
            return out;
        if (budget == 0 || count <= budget) {
            for (uint64_t n = 1; n <= count; ++n)
                out.push_back(n);
            return out;
        }
        for (uint64_t i = 0; i < budget; ++i)
            out.push_back(1 + i * (count - 1) / (budget - 1));
        out.erase(std::unique(out.begin(), out.end()), out.end());
        return out;
    }

    static unsigned budget()
    {
        const char* text = std::getenv("PRAVEL_FAULT_RUNS");
        return text ? unsigned(std::strtoul(text, nullptr, 10)) : kDefaultBudget;
    }

    // Small images on a flash that is busy for two status reads after each
    // program or erase: few enough calls to try every one of them.
    static const Scenario& small()
    {
        static const Scenario scenario("small", 3000, "instant"); // 12 pages, one sector
        return scenario;
    }
};

// The run without faults: what the sweep is spread over, and its log is the
// usual one, with no error in it.
TEST_F(ProcessorSweep, FaultFreeRunIsCountedAndClean)
{
    const Run run = runWith(small(), {}, false);
    ASSERT_FALSE(run.log.empty());
    EXPECT_EQ(run.log.back().text, kComplete);
    for (const auto& row : run.log)
        EXPECT_EQ(row.type, ProgressReporter::Info) << row.text;
    // Pages go out in pipelined batches: a dozen writes carry the whole run.
    EXPECT_GT(run.perFunction.at("FT_Write"), 10u);
    std::cout << "fault-free Basic run: " << run.total << " D2XX calls, " << run.replies << " replies, "
              << run.durationNs / 1000000 << " ms emulated;";
    for (const auto& [function, count] : run.perFunction)
        std::cout << " " << function << " " << count;
    std::cout << "\n";
}

// Every D2XX function the run calls fails once, at a spread of its calls.
TEST_F(ProcessorSweep, EachFunctionFailingAtEachOfItsCalls)
{
    const Scenario& scenario = small();
    const Run probe = runWith(scenario, {}, false);
    // Half the budget goes to the functions, shared out by how often each is called.
    const uint64_t share = budget() / 2;
    unsigned runs = 0;
    for (const auto& [function, count] : probe.perFunction) {
        const uint64_t mine = share == 0 ? 0 : std::max<uint64_t>(3, share * count / probe.total);
        for (uint64_t ordinal : spread(count, mine)) {
            runWith(scenario, {function, ordinal});
            ++runs;
            if (HasFatalFailure())
                return;
        }
    }
    std::cout << runs << " function faults over " << probe.perFunction.size() << " functions\n";
}

// The bridge pulled at a spread of calls, and each reply in turn lost.
TEST_F(ProcessorSweep, UnplugAtEachCallAndEachReplyLost)
{
    const Scenario& scenario = small();
    const Run probe = runWith(scenario, {}, false);
    const uint64_t share = budget() / 2;
    const uint64_t replyShare = std::min<uint64_t>(probe.replies, share / 3);
    unsigned runs = 0;
    for (uint64_t ordinal : spread(probe.total, share == 0 ? 0 : share - replyShare)) {
        runWith(scenario, {"unplug", ordinal});
        ++runs;
    }
    for (uint64_t ordinal : spread(probe.replies, replyShare)) {
        runWith(scenario, {"no-reply", ordinal});
        ++runs;
    }
    std::cout << runs << " unplug and lost-reply faults\n";
}

// An application over two sectors on a flash that is busy for its
// datasheet's typical times, so the run waits through its erases: a sample
// of every kind of fault; at the maximum times, a sample of unplug moments,
// most of them in an erase that goes on while the bridge is away.
TEST_F(ProcessorSweep, BusyFlashAndALargerImageSampled)
{
    for (const char* timing : {"typical", "worst"}) {
        const bool typical = std::string(timing) == "typical";
        const Scenario scenario(timing, 70000, timing);
        const Run probe = runWith(scenario, {}, false);
        ASSERT_FALSE(probe.log.empty());
        ASSERT_EQ(probe.log.back().text, kComplete);
        constexpr uint64_t kPerKind = kTimedPerKind;
        unsigned runs = 0;
        for (const auto& [function, count] : probe.perFunction)
            for (uint64_t ordinal : spread(typical ? count : 0, kPerKind))
                runWith(scenario, {function, ordinal}), ++runs;
        for (uint64_t ordinal : spread(probe.total, 3 * kPerKind))
            runWith(scenario, {"unplug", ordinal}), ++runs;
        for (uint64_t ordinal : spread(typical ? probe.replies : 0, 2 * kPerKind))
            runWith(scenario, {"no-reply", ordinal}), ++runs;
        std::cout << timing << ": " << runs << " faults over a run of " << probe.total << " D2XX calls, "
                  << probe.durationNs / 1000000 << " ms emulated\n";
    }
}

// A flash that never finishes its first erase: the run ends three times the
// datasheet's 1 s maximum after it, saying why, and meanwhile says what it
// waits for; the next refresh gives up on it as long.
TEST_F(ProcessorSweep, AStuckFlashEndsWithinThreeTimesItsMaximum)
{
    for (const char* timing : {"instant", "typical", "worst"}) {
        SCOPED_TRACE(timing);
        const Scenario scenario(std::string("stuck-") + timing, 3000, timing);
        const Run run = runWith(scenario, {"stuck-busy", 0}, false);
        expectFailedCleanly(run.log);
        EXPECT_GE(run.durationNs, 3'000'000'000u);
        EXPECT_LE(run.durationNs, 3'050'000'000u);
        const auto said = [&](const std::string& text) {
            return std::any_of(run.log.begin(), run.log.end(), [&](const LogRow& r) { return r.text == text; });
        };
        EXPECT_TRUE(std::any_of(run.log.begin(), run.log.end(), [](const LogRow& r) {
            return r.text.find("flash was still busy 3.0 s after a sector erase (datasheet maximum 1 s)") != std::string::npos;
        })) << joined(run.log);
        EXPECT_TRUE(said("Erase...NG\n"));
        EXPECT_FALSE(std::any_of(run.log.begin(), run.log.end(), [](const LogRow& r) {
            return r.text.find("Progress: 100.0%") != std::string::npos;
        })) << joined(run.log);
        EXPECT_EQ(run.details.count("Waiting for the flash to finish erasing: 2 s"), 1) << run.details.join(", ").toStdString();
    }
}

class SweepSummary : public ::testing::Environment
{
public:
    void TearDown() override
    {
        if (processorTotals.runs == 0)
            return;
        std::cout << "processor fault sweep: " << processorTotals.runs << " runs, " << processorTotals.survived
                  << " survived, " << processorTotals.failedCleanly << " failed cleanly; the longest run went on "
                  << processorTotals.longestAfterFaultNs / 1000000 << " ms of emulated time after its fault\n";
    }
};

} // namespace

int main(int argc, char** argv)
{
    QCoreApplication app(argc, argv);
    ::testing::InitGoogleTest(&argc, argv);
    ::testing::AddGlobalTestEnvironment(new SweepSummary);
    return RUN_ALL_TESTS();
}
