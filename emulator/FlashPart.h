#pragma once

#include <cstdint>
#include <string>
#include <vector>

namespace emu {

// One SPI NOR flash the emulated instrument can carry. Everything that
// differs between chips lives in this table; SpiFlash only reads it.
struct FlashPart
{
    std::string name;                    // as PRAVEL_EMULATED_CHIP spells it
    std::vector<uint8_t> identification; // answer to 0x9F, first byte first
    bool answers = true;                 // false: nothing drives MISO, every byte reads 0xFF
    uint32_t size = 0;                   // bytes
    uint32_t pageSize = 256;
    uint32_t sectorSize = 65536;
    bool hasFlagStatus = false;          // 0x70 (Micron)
    bool hasNvcr = false;                // 0xB5 / 0xB1 (Micron)
    bool hasBankRegister = false;        // 0x16 / 0x17 (Spansion, parts above 16 MiB)
    bool hasFourByteOpcodes = false;     // 0x13 / 0x12 / 0xDC
    // Typical busy times (datasheet typical values, nanoseconds).
    uint64_t pageProgramNs = 0;
    uint64_t sectorEraseNs = 0;
    uint64_t bulkEraseNs = 0;
    uint64_t registerWriteNs = 0;

    // nullptr when no part has that name.
    static const FlashPart* find(const std::string& name);
    static const std::vector<FlashPart>& all();
    // "mt25q128, s25fl256, ..." for error messages.
    static std::string acceptedNames();
};

} // namespace emu
