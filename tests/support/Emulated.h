#pragma once

// What the suites on the emulated instrument share: an emulated driver from a
// chip and a fault plan, the flash array read straight from the chip, and
// the byte patterns the images are made of.

#include "tests/support/Files.h"

#include "emulator/EmulatedInstrument.h"
#include "emulator/FlashStorage.h"
#include "emulator/SpiFlash.h"
#include "emulator/d2xx/EmulatedDriver.h"

#include <cstdint>
#include <memory>
#include <stdexcept>
#include <string>
#include <vector>

namespace testsupport {

// `chip` "unplugged" leaves the bus without a bridge. The flash stays busy
// for `busyReads` status reads after each program or erase, or for its
// datasheet times on the virtual clock when `timed` (the maximum ones when
// `worst`). Throws on options the emulator refuses.
inline std::shared_ptr<d2xx::EmulatedDriver> emulatedDriver(const std::string& chip = "mt25q128",
                                                           const std::string& faults = "", unsigned busyReads = 2,
                                                           bool timed = false, bool worst = false)
{
    const emu::BenchConfig::Settings settings = {
        {"chip", chip}, {"faults", faults}, {"timing", worst ? "worst" : timed ? "typical" : "instant"}};
    emu::BenchConfig bench;
    std::string error;
    std::shared_ptr<d2xx::EmulatedDriver> driver;
    if (emu::BenchConfig::parse(emu::BenchConfig::options(settings), emu::BenchConfig::Face::D2xx, bench, error)) {
        bench.instrument.busyStatusReads = busyReads;
        driver = d2xx::EmulatedDriver::create(bench, error);
    }
    if (!driver)
        throw std::runtime_error("emulated instrument: " + error);
    return driver;
}

// What the flash array holds, past the SPI side.
inline Bytes flashBytes(d2xx::EmulatedDriver& driver, uint32_t address, size_t length)
{
    const auto& storage = driver.instrument()->flash().storage();
    Bytes out(length);
    for (size_t i = 0; i < length; ++i)
        out[i] = storage.at(address + static_cast<uint32_t>(i));
    return out;
}

// Bytes that differ from their neighbours and between seeds.
inline Bytes pattern(size_t size, unsigned seed)
{
    Bytes bytes(size);
    for (size_t i = 0; i < size; ++i)
        bytes[i] = static_cast<unsigned char>((i * 7 + seed + (i >> 8) * 13) & 0xFF);
    return bytes;
}

} // namespace testsupport
