#pragma once

#include <cstdint>
#include <fstream>
#include <memory>
#include <string>
#include <vector>

namespace emu {

// The flash array's contents and its nonvolatile configuration register.
// Always held in memory; with a backing file every change is written
// through to it as it happens, and the register goes to "<file>.nvcr".
class FlashStorage
{
public:
    static constexpr uint16_t factoryNvcr = 0xFFFF;

    // `path` empty: in memory only, erased. Otherwise the raw image file,
    // created erased when missing. nullptr with `error` set when the file
    // has another size than `size` or cannot be used; it is left untouched.
    static std::unique_ptr<FlashStorage> open(const std::string& path, uint32_t size, std::string& error);

    uint32_t size() const { return static_cast<uint32_t>(bytes.size()); }
    uint8_t at(uint32_t address) const { return bytes[address % bytes.size()]; }

    // Page program: each stored byte becomes stored AND data (only 1 -> 0).
    void program(uint32_t address, const uint8_t* data, uint32_t length);
    // Sets the range to 0xFF.
    void erase(uint32_t address, uint32_t length);

    uint16_t nvcr() const { return nvcrValue; }
    void setNvcr(uint16_t value);

    // false once a write-through to the file failed (disk full, file gone).
    bool healthy() const { return fileHealthy; }

private:
    FlashStorage() = default;
    void writeThrough(uint32_t address, uint32_t length);

    std::vector<uint8_t> bytes;
    uint16_t nvcrValue = factoryNvcr;
    std::string imagePath; // empty: memory only
    std::fstream file;
    bool fileHealthy = true;
};

} // namespace emu
