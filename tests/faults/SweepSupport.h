#pragma once

// What the whole-run fault tests share: files, the captured activity log,
// and a way to reach the emulated flash without going through the bridge.

#include "tests/support/Emulated.h"

#include "emulator/d2xx/EmulatedDriver.h"
#include "emulator/EmulatedInstrument.h"
#include "emulator/VirtualClock.h"
#include "base/ProgressReporter.h"

#include <cstdint>
#include <filesystem>
#include <mutex>
#include <string>
#include <utility>
#include <vector>

namespace sweep {

namespace fs = std::filesystem;
using Bytes = std::vector<uint8_t>;

inline const std::string kComplete = "Device programming is complete. Device must be restarted for changes to take effect.\n";

using testsupport::randomBytes;
using testsupport::readFile;
using testsupport::writeFile;

struct LogRow
{
    ProgressReporter::MessageType type;
    std::string text;
};

// The activity log, from whichever thread reports.
class LogCapture
{
public:
    LogCapture()
    {
        ProgressReporter::getInstance().setReportCallback([this](ProgressReporter::MessageType type, const std::string& text) {
            std::lock_guard<std::mutex> lock(mutex);
            rows.push_back({type, text});
        });
    }
    ~LogCapture() { ProgressReporter::getInstance().setReportCallback(nullptr); }
    std::vector<LogRow> take()
    {
        std::lock_guard<std::mutex> lock(mutex);
        return std::exchange(rows, {});
    }

private:
    std::mutex mutex;
    std::vector<LogRow> rows;
};

// Both images where a run writes them.
inline bool holdsImages(d2xx::EmulatedDriver& driver, const Bytes& application, const Bytes& bitstream)
{
    return testsupport::flashBytes(driver, 0x500000, application.size()) == application &&
           testsupport::flashBytes(driver, 0, bitstream.size()) == bitstream;
}

inline std::string joined(const std::vector<LogRow>& log)
{
    std::string out;
    for (const auto& row : log)
        out += (row.type == ProgressReporter::Error ? "E| " : "I| ") + row.text;
    return out;
}

// Straight on the flash chip, bypassing the bridge (and so the call counts):
// marks sectors next to the run's with known data, so an erase or write
// that strays there shows.
class Marker
{
public:
    explicit Marker(d2xx::EmulatedDriver& emulated) : board(*emulated.instrument()), clock(emulated.clock()) {}
    void program(uint32_t address, const Bytes& data)
    {
        transaction({0x06});
        Bytes command = {0x02, uint8_t(address >> 16), uint8_t(address >> 8), uint8_t(address)};
        command.insert(command.end(), data.begin(), data.end());
        transaction(command);
        for (int i = 0; i < 100000 && (transaction({0x05, 0x00}) & 1); ++i)
            clock.advanceNanoseconds(100000);
    }

private:
    uint8_t transaction(const Bytes& bytes)
    {
        board.setLowPins(0x00, 0x6B); // chip select low
        uint8_t last = 0;
        for (uint8_t b : bytes)
            last = board.shift(b, 8);
        board.setLowPins(0x68, 0x6B);
        return last;
    }
    emu::EmulatedInstrument& board;
    emu::VirtualClock& clock;
};

} // namespace sweep
