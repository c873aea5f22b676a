#pragma once

// What the suites on the emulated instrument share: an emulated driver from a
// chip and a fault plan, the flash array read straight from the chip, and
// the byte patterns and files the images are made of.

#include "device/d2xx/EmulatedDriver.h"
#include "emulator/EmulatedInstrument.h"
#include "emulator/FaultPlan.h"
#include "emulator/FlashStorage.h"
#include "emulator/SpiFlash.h"

#include <cstdint>
#include <filesystem>
#include <fstream>
#include <memory>
#include <stdexcept>
#include <string>
#include <vector>

namespace testsupport {

using Bytes = std::vector<unsigned char>;

// `chip` "unplugged" leaves the bus without a bridge. The flash stays busy
// for `busyReads` status reads after each program or erase, or for its
// datasheet times on the virtual clock when `timed` (the maximum ones when
// `worst`). Throws on options the emulator refuses.
inline std::shared_ptr<d2xx::EmulatedDriver> emulatedDriver(const std::string& chip = "mt25q128",
                                                           const std::string& faults = "", unsigned busyReads = 2,
                                                           bool timed = false, bool worst = false)
{
    d2xx::EmulatedDriverOptions options;
    options.bridgeAttached = chip != "unplugged";
    options.instrument.chip = options.bridgeAttached ? chip : "mt25q128";
    options.instrument.busyStatusReads = busyReads;
    options.instrument.timed = timed;
    options.instrument.worst = worst;
    std::string error;
    std::shared_ptr<d2xx::EmulatedDriver> driver;
    if (emu::FaultPlan::parse(faults, options.faults, error))
        driver = d2xx::EmulatedDriver::create(options, error);
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

// Pseudo-random bytes (a linear congruential generator's top bits).
inline Bytes randomBytes(size_t size, uint32_t seed)
{
    Bytes bytes(size);
    uint32_t state = seed * 2654435761u + 1;
    for (auto& b : bytes)
        b = static_cast<unsigned char>((state = state * 1664525u + 1013904223u) >> 24);
    return bytes;
}

// Returns the path as UTF-8.
inline std::string writeFile(const std::filesystem::path& path, const Bytes& bytes)
{
    std::ofstream(path, std::ios::binary | std::ios::trunc)
        .write(reinterpret_cast<const char*>(bytes.data()), static_cast<std::streamsize>(bytes.size()));
    return path.u8string();
}

inline Bytes readFile(const std::filesystem::path& path)
{
    std::ifstream in(path, std::ios::binary | std::ios::ate);
    Bytes bytes(in ? static_cast<size_t>(in.tellg()) : 0);
    in.seekg(0).read(reinterpret_cast<char*>(bytes.data()), static_cast<std::streamsize>(bytes.size()));
    return bytes;
}

} // namespace testsupport
