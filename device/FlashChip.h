#pragma once

#include "device/FlashGeometry.h"

#include <cstdint>

// Bits of the status register (0x05) that every supported part shares.
enum FlashStatusBit : unsigned char
{
    kStatusWriteInProgress = 0x01, // a program, erase or register write is still going
};

// How long the flash stays busy with one operation, from the part's
// datasheet: the loops space their status reads by the typical time, the
// time model weighs the run's stages by it, and a wait gives up a margin
// past the maximum.
struct FlashBusyTime
{
    const char* operation = "";   // for messages: "a sector erase"
    const char* awaited = "";     // what a long wait shows: "Waiting for the flash to finish erasing"
    uint32_t typicalMicroseconds = 0;
    uint32_t maximumMicroseconds = 0;
};

// What the loader knows of one supported flash part. One object per part;
// a board that identifies differently names the same object.
struct FlashChip
{
    const char* name = "";    // for messages about the part
    uint8_t capacityCode = 0; // the JEDEC capacity byte
    int32_t pageSize = static_cast<int32_t>(FlashGeometry::pageSize);
    int32_t sectorSize = static_cast<int32_t>(FlashGeometry::sectorSize);
    int32_t memorySize = 0;
    bool hasFlagStatus = false; // 0x70
    bool hasNvcr = false;       // 0xB5 / 0xB1
    FlashBusyTime pageProgram;   // 0x02, one page
    FlashBusyTime sectorErase;   // 0xD8, one 64 KiB sector
    FlashBusyTime bulkErase;     // 0xC7, the whole chip
    FlashBusyTime registerWrite; // the non-volatile configuration register (0xB1), or the status register where the part has none
    bool hasSfdp = false;       // 0x5A: the JESD216 parameter table
    bool hasBankRegister = false; // 0x16: the bank address register (Spansion)
    // The register bits that stop a host which, like the loader, speaks to
    // the part on one data line with 3-byte addresses; 0 where the part has
    // no such bit. Block protection refuses program and erase; in 4-byte mode
    // the part takes the byte after the loader's address as a fourth one.
    unsigned char statusBlockProtectBits = 0; // status register: set, blocks are protected
    unsigned char flagStatusFourByteBit = 0;  // flag status register: set, 4-byte addresses now
    unsigned char bankFourByteBit = 0;        // bank register: set, 4-byte addresses now
    uint16_t nvcrThreeByteBit = 0;            // NVCR: clear, 4-byte addresses from power-up
    uint16_t nvcrDualOffBit = 0;              // NVCR: clear, the dual I/O protocol from power-up
    uint16_t nvcrQuadOffBit = 0;              // NVCR: clear, the quad I/O protocol from power-up

    int32_t sectorCount() const { return sectorSize > 0 ? memorySize / sectorSize : 0; }

    // No geometry, and for each operation the supported part that takes
    // longest: what waits are bounded by before the part is known.
    static const FlashChip& slowest();

    // What an identification byte tells: the line reported, and the part
    // when it is one the loader supports (nullptr: nothing to work with).
    struct Identification
    {
        uint8_t id;
        const char* report;
        const FlashChip* chip;
    };
    static const Identification& identify(uint8_t id);
};
