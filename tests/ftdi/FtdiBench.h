#pragma once

#include "tests/support/ConsoleCapture.h"
#include "tests/support/Emulated.h"
#include "tests/support/LogCapture.h"

#include "device/TFtdi.h"
#include "emulator/d2xx/EmulatedDriver.h"
#include "emulator/CallTrace.h"
#include "emulator/VirtualClock.h"
#include "base/ProgressReporter.h"

#include <gtest/gtest.h>

#include <memory>
#include <string>
#include <utility>
#include <vector>

using testsupport::Bytes;
using testsupport::Log;

inline const std::string kChannelB = "USB <-> Serial Converter B";
inline const Bytes kSetupBytes = {0x85, 0x97, 0x8A, 0x86, 0x01, 0x00, 0x80, 0x68, 0x6B};
inline const Bytes kWriteEnableBytes = {0x80, 0x00, 0x6B, 0x11, 0x00, 0x00, 0x06, 0x80, 0x68, 0x6B};

// TFtdi over the emulated bridge, with the activity log and the console lines captured.
class FtdiBench : public ::testing::Test
{
protected:
    // A fresh bridge, channel B open unless `open` is false, log and trace empty.
    // The flash is never busy, so no test here has to poll.
    void start(const std::string& faults = "", bool open = true, bool attached = true)
    {
        ftdi.reset();
        driver = testsupport::emulatedDriver(attached ? "mt25q128" : "unplugged", faults, 0);
        ftdi = std::make_unique<TFtdi>(driver, driver->clock());
        if (open) {
            ASSERT_EQ(ftdi->PortOpen(kChannelB), 1);
        }
        log.clear();
        console.clear();
        driver->trace().clear();
    }

    // Bytes of every FT_Write the bridge accepted, oldest first.
    std::vector<Bytes> writes() const
    {
        std::vector<Bytes> out;
        for (const auto& call : driver->trace().calls("FT_Write"))
            if (call.status == 0)
                out.push_back(call.data);
        return out;
    }
    std::vector<std::string> functions() const
    {
        std::vector<std::string> out;
        for (const auto& call : driver->trace().calls())
            out.push_back(call.function);
        return out;
    }
    uint64_t nowUs() const { return driver->clock().nowNanoseconds() / 1000; }
    Bytes readFlash(uint32_t address, int32_t length)
    {
        Bytes out(static_cast<size_t>(length), 0xEE);
        EXPECT_EQ(ftdi->MPSSE_ReadDataBytes(address, out.data(), length), 1);
        return out;
    }

    std::shared_ptr<d2xx::EmulatedDriver> driver;
    std::unique_ptr<TFtdi> ftdi;
    testsupport::LogCapture log;
    testsupport::ConsoleCapture console;
};
