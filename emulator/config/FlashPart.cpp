#include "emulator/config/FlashPart.h"

namespace emu {

namespace {

constexpr uint64_t us = 1000;
constexpr uint64_t ms = 1000 * us;
constexpr uint64_t s = 1000 * ms;
constexpr uint32_t MiB = 1024 * 1024;

// The 14 factory bytes (unique ID) of the Micron answers: made-up values.
#define MICRON_UID 0x11, 0x22, 0x33, 0x44, 0x55, 0x66, 0x77, 0x88, 0x99, 0xAA, 0xBB, 0xCC, 0xDD, 0xEE

std::vector<FlashPart> buildTable()
{
    std::vector<FlashPart> parts;

    // Times are the datasheets' program/erase tables, typical / maximum;
    // those marked (unconfirmed) could not be checked against the document.
    FlashPart mt25q128;
    mt25q128.name = "mt25q128";
    mt25q128.family = FlashPart::Family::Micron;
    // 20 BA 18: Micron, 3 V, 128 Mbit; 0x10: sixteen bytes follow.
    // Placeholders (not confirmed): extended ID 0x40, configuration 0x00, and the UID.
    mt25q128.identification = {0x20, 0xBA, 0x18, 0x10, 0x40, 0x00, MICRON_UID};
    mt25q128.size = 16 * MiB;
    mt25q128.hasSfdp = true;
    mt25q128.pageProgram = {120 * us, 1800 * us};
    mt25q128.erase4k = {50 * ms, 400 * ms};
    mt25q128.erase32k = {100 * ms, 1 * s};   // (unconfirmed)
    mt25q128.erase64k = {150 * ms, 1 * s};
    mt25q128.bulkErase = {38 * s, 114 * s};
    mt25q128.statusWrite = {1300 * us, 8 * ms}; // (unconfirmed)
    mt25q128.nvcrWrite = {200 * ms, 3 * s};      // (unconfirmed)
    parts.push_back(mt25q128);

    FlashPart s25fl256;
    s25fl256.name = "s25fl256";
    s25fl256.family = FlashPart::Family::Spansion;
    // 01 02 19: Spansion, 256 Mbit; 4D: ID-CFI length; 01: 4 KiB + 64 KiB
    // sectors; 80: family. Placeholders from here on: reserved bytes, then
    // the CFI query string "QRY" and command set 0x0002.
    s25fl256.identification = {0x01, 0x02, 0x19, 0x4D, 0x01, 0x80, 0x00, 0x00, 0x00, 0x00,
                               0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x51, 0x52, 0x59, 0x02};
    s25fl256.size = 32 * MiB;
    s25fl256.parameterSectorSize = 4096;
    s25fl256.parameterSectorCount = 32;
    s25fl256.electronicSignature = 0x18;
    s25fl256.pageProgram = {250 * us, 750 * us};
    s25fl256.erase4k = {130 * ms, 650 * ms}; // (unconfirmed)
    s25fl256.erase64k = {130 * ms, 650 * ms};
    s25fl256.bulkErase = {66 * s, 330 * s};
    s25fl256.statusWrite = {140 * ms, 500 * ms}; // (unconfirmed)
    parts.push_back(s25fl256);

    // The 16 MiB flash of the Arty board as the loader knows it: only the
    // capacity byte 0x0C is certain; the rest is a Micron-like placeholder.
    FlashPart arty = mt25q128;
    arty.name = "arty";
    arty.identification = {0x20, 0xBA, 0x0C, 0x10, 0x40, 0x00, MICRON_UID};
    parts.push_back(arty);

    // Present but mute (held in reset, no power): MISO floats high.
    FlashPart corrupted = mt25q128;
    corrupted.name = "corrupted";
    corrupted.answers = false;
    parts.push_back(corrupted);

    // A real part the loader does not support: Micron MT25QL64, 64 Mbit.
    FlashPart unknown = mt25q128;
    unknown.name = "unknown";
    unknown.identification = {0x20, 0xBA, 0x17, 0x10, 0x40, 0x00, MICRON_UID};
    unknown.size = 8 * MiB;
    unknown.bulkErase = {19 * s, 57 * s}; // (unconfirmed)
    parts.push_back(unknown);

    return parts;
}

#undef MICRON_UID

} // namespace

const std::vector<FlashPart>& FlashPart::all()
{
    static const std::vector<FlashPart> table = buildTable();
    return table;
}

const FlashPart* FlashPart::find(const std::string& name)
{
    for (const FlashPart& part : all())
        if (part.name == name)
            return &part;
    return nullptr;
}

std::string FlashPart::acceptedNames()
{
    std::string names;
    for (const FlashPart& part : all())
        names += (names.empty() ? "" : ", ") + part.name;
    return names;
}

} // namespace emu
