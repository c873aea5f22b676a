#include "device/FlashChip.h"

namespace {

const char kFlashCorrupted[] =
    "Flash corrupted!\n"
    "Please do the following:\n"
    "- Ground pin 13 of the SPI connector (EXT_RESET) to the chassis\n"
    "- Re-launch this program or click refresh devices\n"
    "- Verify that a valid device is reported below \"Config ROM ID\"\n"
    "- Program the flash\n"
    "- After programming, disconnect the line to EXT_RESET and power cycle\n";

constexpr uint32_t kMs = 1000;
constexpr uint32_t kS = 1000 * kMs;

// What each operation's wait is called, with the part's times filled in below.
FlashBusyTime pageProgram(uint32_t typical, uint32_t maximum)
{
    return {"a page program", "Waiting for the flash to finish programming a page", typical, maximum};
}
FlashBusyTime sectorErase(uint32_t typical, uint32_t maximum)
{
    return {"a sector erase", "Waiting for the flash to finish erasing", typical, maximum};
}
FlashBusyTime bulkErase(uint32_t typical, uint32_t maximum)
{
    return {"an erase of the whole chip", "Waiting for the flash to finish erasing the whole chip", typical, maximum};
}
FlashBusyTime registerWrite(uint32_t typical, uint32_t maximum)
{
    return {"a register write", "Waiting for the flash to finish writing its register", typical, maximum};
}

// Times are the datasheets' program/erase tables, typical / maximum (the
// register writes could not be checked against the documents).
// The Micron part has the flag status and non-volatile configuration
// registers and an SFDP table; the Spansion part has none of them (its 0x70
// reads a floating line) but a bank register.
const FlashChip kMt25q128 = [] {
    FlashChip chip;
    chip.name = "MT25Q128";
    chip.capacityCode = 0x18;
    chip.memorySize = 0x1000000;
    chip.hasFlagStatus = true;
    chip.hasNvcr = true;
    chip.pageProgram = pageProgram(120, 1800);
    chip.sectorErase = sectorErase(150 * kMs, 1 * kS);
    chip.bulkErase = bulkErase(38 * kS, 114 * kS);
    chip.registerWrite = registerWrite(200 * kMs, 3 * kS);
    chip.hasSfdp = true;
    chip.statusBlockProtectBits = 0x5C; // BP3 (bit 6), BP2..0 (bits 4..2)
    chip.flagStatusFourByteBit = 0x01;
    chip.nvcrThreeByteBit = 0x0001;
    chip.nvcrDualOffBit = 0x0004;
    chip.nvcrQuadOffBit = 0x0008;
    return chip;
}();

const FlashChip kS25fl256 = [] {
    FlashChip chip;
    chip.name = "S25FL256";
    chip.capacityCode = 0x19;
    chip.memorySize = 0x2000000;
    chip.pageProgram = pageProgram(250, 750);
    chip.sectorErase = sectorErase(130 * kMs, 650 * kMs);
    chip.bulkErase = bulkErase(66 * kS, 330 * kS);
    chip.registerWrite = registerWrite(140 * kMs, 500 * kMs);
    chip.hasBankRegister = true;
    chip.statusBlockProtectBits = 0x1C; // BP2..0 (bits 4..2)
    chip.bankFourByteBit = 0x80;         // EXTADD
    return chip;
}();

const FlashChip::Identification kIdentifications[] = {
    {0x18, "MT25Q128 is detected\n", &kMt25q128},
    {0x0C, "Arty detected\n", &kMt25q128},
    {0x19, "S25FL256 is detected\n", &kS25fl256},
    // A bus with nothing driving MISO reads all ones.
    {0xFF, kFlashCorrupted, nullptr},
};

const FlashChip::Identification kUnknown = {0, "Unknown memory is detected\n", nullptr};

} // namespace

const FlashChip::Identification& FlashChip::identify(uint8_t id)
{
    for (const Identification& identification : kIdentifications)
        if (identification.id == id)
            return identification;
    return kUnknown;
}

const FlashChip& FlashChip::slowest()
{
    static const FlashChip chip = [] {
        FlashChip slowest;
        slowest.name = "";
        const auto longer = [](FlashBusyTime& kept, const FlashBusyTime& other) {
            if (other.maximumMicroseconds > kept.maximumMicroseconds)
                kept = other;
        };
        for (const Identification& identification : kIdentifications) {
            if (!identification.chip)
                continue;
            longer(slowest.pageProgram, identification.chip->pageProgram);
            longer(slowest.sectorErase, identification.chip->sectorErase);
            longer(slowest.bulkErase, identification.chip->bulkErase);
            longer(slowest.registerWrite, identification.chip->registerWrite);
        }
        return slowest;
    }();
    return chip;
}
