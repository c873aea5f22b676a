#pragma once

// What the suites on the emulated instrument share: an emulated driver from a
// chip and a fault plan, the flash array read straight from the chip, and
// the byte patterns the images are made of.

#include "tests/support/Files.h"

#include "emulator/EmulatedInstrument.h"
#include "emulator/FlashStorage.h"
#include "emulator/SpiFlash.h"
#include "emulator/VirtualClock.h"
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

// A bench of several instruments: `instruments` is a count or a list of
// chip[:image] entries; a fault is aimed at one with "N:". Throws on options
// the emulator refuses.
inline std::shared_ptr<d2xx::EmulatedDriver> emulatedBench(const std::string& instruments, const std::string& faults = "",
                                                          const std::string& timing = "instant")
{
    emu::BenchConfig bench;
    std::string error;
    std::shared_ptr<d2xx::EmulatedDriver> driver;
    if (emu::BenchConfig::parse(
            emu::BenchConfig::options({{"instruments", instruments}, {"faults", faults}, {"timing", timing}}),
            emu::BenchConfig::Face::D2xx, bench, error))
        driver = d2xx::EmulatedDriver::create(bench, error);
    if (!driver)
        throw std::runtime_error("emulated bench: " + error);
    return driver;
}

// The clock of the bench's instrument with that USB serial number.
inline Clock& clockOf(d2xx::EmulatedDriver& bench, const std::string& serialNumber)
{
    const int index = bench.indexOf(serialNumber);
    return index < 0 ? static_cast<Clock&>(bench.clock()) : bench.clock(static_cast<size_t>(index));
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
