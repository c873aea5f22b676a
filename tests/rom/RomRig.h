#pragma once

#include "tests/support/ConsoleCapture.h"
#include "tests/support/Emulated.h"
#include "tests/support/LogCapture.h"

#include "device/FirmwareSet.h"
#include "device/TFpga.h"
#include "device/TFtdi.h"
#include "device/TRom.h"
#include "emulator/d2xx/EmulatedDriver.h"
#include "emulator/CallTrace.h"
#include "emulator/EmulatedInstrument.h"
#include "emulator/config/FaultPlan.h"
#include "emulator/FpgaConfigPort.h"
#include "emulator/SpiFlash.h"
#include "emulator/VirtualClock.h"
#include "base/ProgressReporter.h"

#include <algorithm>
#include <filesystem>
#include <fstream>
#include <memory>
#include <stdexcept>
#include <string>
#include <vector>

#include <gmock/gmock.h>
#include <gtest/gtest.h>

namespace romtest {

using testsupport::Bytes;
using testsupport::pattern;
using testsupport::writeFile;

// A scratch directory of its own for each test.
inline std::filesystem::path scratchDir()
{
    const auto* info = testing::UnitTest::GetInstance()->current_test_info();
    auto dir = std::filesystem::path(testing::TempDir()) / (std::string("rom_") + info->test_suite_name() + "_" + info->name());
    std::filesystem::remove_all(dir);
    std::filesystem::create_directories(dir);
    return dir;
}

// A file `size` bytes long holding only zeros, made without writing them.
inline std::string sparseFile(const std::filesystem::path& path, uintmax_t size)
{
    std::ofstream(path).close();
    std::filesystem::resize_file(path, size);
    return path.u8string();
}

// An emulated instrument behind an open port, TRom and TFpga on it, and every
// report captured from the moment the port is open, the console lines too
// (while several rigs live, the one made last takes them). The flash stays busy for
// `busyReads` status reads after each program or erase (for the chip's
// typical times when `timed`, its maximum times when `worst` as well).
class Rig
{
public:
    explicit Rig(const std::string& chip = "mt25q128", const std::string& faults = "", unsigned busyReads = 2,
                 bool timed = false, bool worst = false)
        : driver(testsupport::emulatedDriver(chip, faults, busyReads, timed, worst))
    {
        ftdi = std::make_unique<TFtdi>(driver, driver->clock());
        if (ftdi->PortOpen(FirmwareSet::portDescription) != 1)
            throw std::runtime_error("port did not open");
        rom = std::make_unique<TRom>(ftdi.get());
        fpga = std::make_unique<TFpga>(ftdi.get());
        log.clear();
    }

    std::vector<std::string> texts() const { return log.texts(); }
    // What the flash array holds, straight from the emulated chip.
    Bytes flash(uint32_t address, size_t length) { return testsupport::flashBytes(*driver, address, length); }
    // Puts a marker into erased flash, outside the code under test.
    void mark(uint32_t address, Bytes bytes)
    {
        ASSERT_EQ(ftdi->MPSSE_PageProgram(address, bytes.data(), static_cast<int32_t>(bytes.size())), 1);
        unsigned char status = 1;
        for (int i = 0; i < 1000 && (status & 1); ++i)
            ASSERT_EQ(ftdi->MPSSE_ReadStatus(status), 1);
    }
    // Identifies the chip and loads `image` from a file, to go to `offset`.
    void load(uint32_t offset, const Bytes& image)
    {
        ASSERT_EQ(rom->CheckMemory(), 1);
        rom->SetOffset(offset);
        ASSERT_EQ(rom->FileOpen(writeFile(scratchDir() / "image.srec", image)), 1);
    }
    emu::CallTrace& trace() { return driver->trace(); }
    uint64_t nowNs() { return driver->clock().nowNanoseconds(); }

    std::shared_ptr<d2xx::EmulatedDriver> driver;
    std::unique_ptr<TFtdi> ftdi;
    std::unique_ptr<TRom> rom;
    std::unique_ptr<TFpga> fpga;
    testsupport::LogCapture log;
    testsupport::ConsoleCapture console;
};

// 1-based position, among all FT_Write calls so far, of the n-th write whose
// bytes contain `pattern` (0 if none): aims an FT_Write fault at one
// transaction of a second, identical run.
inline uint64_t writeIndex(emu::CallTrace& trace, const Bytes& pattern, int n)
{
    const auto writes = trace.calls("FT_Write");
    for (size_t i = 0; i < writes.size(); ++i) {
        const auto& d = writes[i].data;
        if (std::search(d.begin(), d.end(), pattern.begin(), pattern.end()) != d.end() && --n == 0)
            return i + 1;
    }
    return 0;
}

} // namespace romtest
