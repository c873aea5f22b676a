#pragma once

// What the whole-run fault tests share: files, the captured activity log,
// and a way to reach the emulated flash without going through the bridge.

#include "tests/support/Emulated.h"
#include "tests/support/LogCapture.h"

#include "device/FirmwareRun.h"
#include "device/FirmwareSet.h"
#include "device/TFtdi.h"
#include "emulator/d2xx/EmulatedDriver.h"
#include "emulator/EmulatedInstrument.h"
#include "emulator/VirtualClock.h"

#include <cstdint>
#include <filesystem>
#include <string>
#include <vector>

namespace sweep {

namespace fs = std::filesystem;
using Bytes = std::vector<uint8_t>;

inline const std::string kComplete = FirmwareRun::complete;
inline const std::string kLost = TFtdi::linkLostMessage;
constexpr uint32_t kAppOffset = FirmwareSet::applicationOffset;

using testsupport::joined;
using testsupport::LogCapture;
using testsupport::LogRow;
using testsupport::randomBytes;
using testsupport::readFile;
using testsupport::writeFile;

// Both images where a run writes them.
inline bool holdsImages(d2xx::EmulatedDriver& driver, const Bytes& application, const Bytes& bitstream)
{
    return testsupport::flashBytes(driver, kAppOffset, application.size()) == application &&
           testsupport::flashBytes(driver, 0, bitstream.size()) == bitstream;
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
