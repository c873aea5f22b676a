#pragma once

#include <cstdint>
#include <optional>
#include <string>

struct FlashChip;

// The registers that tell whether a host like the loader (one data line,
// 3-byte addresses) can program the part, as a diagnosis reads them: the
// status register always, the others where the part has them. Decoded by
// the chip table's named bits.
struct FlashRegisters
{
    uint8_t status = 0;
    std::optional<uint8_t> flagStatus; // 0x70
    std::optional<uint16_t> nvcr;      // 0xB5, least significant byte first on the wire
    std::optional<uint8_t> bank;       // 0x16

    // Block-protect bits set: program and erase of those blocks are refused.
    uint8_t blockProtectBits(const FlashChip& chip) const;
    // The part takes 4-byte addresses now.
    bool fourByteNow(const FlashChip& chip) const;
    // The NVCR makes it start in 4-byte mode at every power-up.
    bool fourByteFromPowerUp(const FlashChip& chip) const;
    // "quad", "dual" or empty: the multi-line protocol the NVCR starts the
    // part in, after which it no longer hears single-line commands.
    std::string protocolFromPowerUp(const FlashChip& chip) const;

    // "status 0x0, flag status 0x80, NVCR 0xffff", as far as read.
    std::string text() const;
};
