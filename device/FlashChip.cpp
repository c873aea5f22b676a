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
    chip.hasSfdp = true;
    chip.statusBlockProtectBits = 0x5C; // BP3 (bit 6), BP2..0 (bits 4..2)
    chip.flagStatusFourByteBit = 0x01;
    chip.nvcrThreeByteBit = 0x0001;
    chip.nvcrDualOffBit = 0x0004;
    chip.nvcrQuadOffBit = 0x0008;
    chip.typicalPageProgramMicroseconds = 120;
    chip.typicalSectorEraseMicroseconds = 150000;
    return chip;
}();

const FlashChip kS25fl256 = [] {
    FlashChip chip;
    chip.name = "S25FL256";
    chip.capacityCode = 0x19;
    chip.memorySize = 0x2000000;
    chip.hasBankRegister = true;
    chip.statusBlockProtectBits = 0x1C; // BP2..0 (bits 4..2)
    chip.bankFourByteBit = 0x80;         // EXTADD
    chip.typicalPageProgramMicroseconds = 250;
    chip.typicalSectorEraseMicroseconds = 130000;
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
