#pragma once

#include "device/TFtdi.h"
#include "device/TRom.h"
#include "device/d2xx/EmulatedDriver.h"
#include "emulator/CallTrace.h"
#include "emulator/EmulatedInstrument.h"
#include "emulator/FaultPlan.h"
#include "emulator/SpiFlash.h"
#include "emulator/VirtualClock.h"
#include "gui/ProgressReporter.h"

#include <algorithm>
#include <filesystem>
#include <fstream>
#include <memory>
#include <stdexcept>
#include <string>
#include <vector>

#include <gtest/gtest.h>

namespace romtest {

struct Report
{
    ProgressReporter::MessageType type;
    std::string text;
};

// An emulated instrument, busy for `busyReads` status reads after each program
// or erase (or for the chip's typical times when `timed`).
inline std::shared_ptr<d2xx::EmulatedDriver> makeDriver(const std::string& chip, const std::string& faults,
                                                      unsigned busyReads = 2, bool timed = false)
{
    d2xx::EmulatedDriverOptions options;
    options.instrument.chip = chip;
    options.instrument.busyStatusReads = busyReads;
    options.instrument.timed = timed;
    std::string error;
    if (!emu::FaultPlan::parse(faults, options.faults, error))
        throw std::runtime_error("fault plan: " + error);
    auto driver = d2xx::EmulatedDriver::create(options, error);
    if (!driver)
        throw std::runtime_error("emulator: " + error);
    return driver;
}

// An emulated instrument behind an open port, a TRom on it, and every report
// captured from the moment the port is open.
class Rig
{
public:
    explicit Rig(const std::string& chip = "mt25q128", const std::string& faults = "", unsigned busyReads = 2,
                 bool timed = false)
    {
        driver = makeDriver(chip, faults, busyReads, timed);
        ftdi = std::make_unique<TFtdi>(driver, driver->clock());
        if (ftdi->PortOpen("USB <-> Serial Converter B") != 1)
            throw std::runtime_error("port did not open");
        rom = std::make_unique<TRom>(ftdi.get());
        ProgressReporter::getInstance().setReportCallback(
            [this](ProgressReporter::MessageType type, const std::string& text) { log.push_back({type, text}); });
    }
    ~Rig() { ProgressReporter::getInstance().setReportCallback({}); }

    std::vector<std::string> texts() const
    {
        std::vector<std::string> out;
        for (const Report& r : log)
            out.push_back(r.text);
        return out;
    }
    // What the flash array holds, straight from the emulated chip.
    std::vector<unsigned char> flash(uint32_t address, size_t length)
    {
        const auto& storage = driver->instrument()->flash().storage();
        std::vector<unsigned char> out(length);
        for (size_t i = 0; i < length; ++i)
            out[i] = storage.at(address + static_cast<uint32_t>(i));
        return out;
    }
    // Puts a marker byte pattern into erased flash, outside the code under test.
    void mark(uint32_t address, std::vector<unsigned char> bytes)
    {
        ASSERT_EQ(ftdi->MPSSE_PageProgram(address, bytes.data(), static_cast<int32_t>(bytes.size())), 1);
        unsigned char status = 1;
        for (int i = 0; i < 1000 && (status & 1); ++i)
            ASSERT_EQ(ftdi->MPSSE_ReadStatus(status), 1);
    }

    emu::CallTrace& trace() { return driver->trace(); }

    std::shared_ptr<d2xx::EmulatedDriver> driver;
    std::unique_ptr<TFtdi> ftdi;
    std::unique_ptr<TRom> rom;
    std::vector<Report> log;
};

// 1-based position, among all FT_Write calls so far, of the n-th (1-based)
// write whose bytes contain `pattern`; 0 if there is none. Used to aim an
// FT_Write fault at one particular transaction of a second, identical run.
inline uint64_t writeIndex(emu::CallTrace& trace, const std::vector<unsigned char>& pattern, int n)
{
    const auto writes = trace.calls("FT_Write");
    for (size_t i = 0; i < writes.size(); ++i) {
        const auto& d = writes[i].data;
        if (std::search(d.begin(), d.end(), pattern.begin(), pattern.end()) != d.end() && --n == 0)
            return i + 1;
    }
    return 0;
}

// A scratch directory of its own for each test.
inline std::filesystem::path scratchDir()
{
    const auto* info = testing::UnitTest::GetInstance()->current_test_info();
    auto dir = std::filesystem::path(testing::TempDir()) / (std::string("rom_") + info->test_suite_name() + "_" + info->name());
    std::filesystem::remove_all(dir);
    std::filesystem::create_directories(dir);
    return dir;
}

inline std::vector<unsigned char> pattern(size_t size, unsigned seed)
{
    std::vector<unsigned char> bytes(size);
    for (size_t i = 0; i < size; ++i)
        bytes[i] = static_cast<unsigned char>((i * 7 + seed + (i >> 8) * 13) & 0xFF);
    return bytes;
}

inline std::string writeFile(const std::filesystem::path& path, const std::vector<unsigned char>& bytes)
{
    std::ofstream(path, std::ios::binary).write(reinterpret_cast<const char*>(bytes.data()),
                                                 static_cast<std::streamsize>(bytes.size()));
    return path.u8string();
}

} // namespace romtest
