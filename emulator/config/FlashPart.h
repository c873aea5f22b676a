#pragma once

#include <cstdint>
#include <string>
#include <vector>

namespace emu {

// A datasheet time: typical and maximum, nanoseconds.
struct BusyTime
{
    uint64_t typicalNs = 0;
    uint64_t maximumNs = 0;
};

// One SPI NOR flash the emulated instrument can carry. Everything that
// differs between chips lives in this table; SpiFlash only reads it.
struct FlashPart
{
    // Whose command set the part speaks: Micron MT25Q (flag status register,
    // configuration registers, extended address register, 4-byte mode) or
    // Spansion/Infineon S25FL-S (bank register, P_ERR/E_ERR, parameter sectors).
    enum class Family { Micron, Spansion };

    std::string name;                    // as PRAVEL_EMULATED_CHIP spells it
    Family family = Family::Micron;
    std::vector<uint8_t> identification; // answer to 0x9F, first byte first
    bool answers = true;                 // false: nothing drives MISO, every byte reads 0xFF
    uint32_t size = 0;                   // bytes
    uint32_t pageSize = 256;
    uint32_t sectorSize = 65536;         // the uniform erase sector
    uint32_t parameterSectorSize = 0;    // Spansion hybrid layout: 4 KiB sectors ...
    uint32_t parameterSectorCount = 0;   // ... this many, at the bottom (TBPARM 0) or top (TBPARM 1)
    uint8_t electronicSignature = 0;     // Spansion: 0x90 / 0xAB device ID
    bool hasSfdp = false;                // answers 0x5A with a JESD216 table

    BusyTime pageProgram;
    BusyTime erase4k;                    // Micron subsector / Spansion parameter sector
    BusyTime erase32k;                   // Micron only
    BusyTime erase64k;
    BusyTime bulkErase;
    BusyTime statusWrite;                // 0x01
    BusyTime nvcrWrite;                  // Micron 0xB1

    // nullptr when no part has that name.
    static const FlashPart* find(const std::string& name);
    static const std::vector<FlashPart>& all();
    // "mt25q128, s25fl256, ..." for error messages.
    static std::string acceptedNames();
};

} // namespace emu
