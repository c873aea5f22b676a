#include "emulator/SfdpTable.h"

#include "emulator/config/FlashPart.h"

#include <algorithm>

namespace emu {
namespace {

constexpr uint64_t us = 1000;
constexpr uint64_t ms = 1000 * us;

// A typical time as JESD216's five-bit count and two-bit unit: the first
// unit in which the rounded count fits.
template <size_t N>
uint32_t encodeTime(uint64_t ns, const uint64_t (&units)[N], unsigned countBits = 5)
{
    const uint64_t limit = 1u << countBits;
    for (uint32_t unit = 0; unit < N; ++unit) {
        const uint64_t count = std::max<uint64_t>(1, (ns + units[unit] / 2) / units[unit]);
        if (count <= limit || unit == N - 1)
            return (unit << countBits) | uint32_t(std::min(count, limit) - 1);
    }
    return 0;
}

// max = 2 * (m + 1) * typical, m the smallest that covers every ratio.
uint32_t multiplier(std::initializer_list<BusyTime> times)
{
    uint64_t m = 0;
    for (const BusyTime& t : times)
        if (t.typicalNs > 0)
            m = std::max<uint64_t>(m, (t.maximumNs + 2 * t.typicalNs - 1) / (2 * t.typicalNs) - 1);
    return uint32_t(std::min<uint64_t>(m, 15));
}

uint32_t log2(uint32_t value)
{
    uint32_t n = 0;
    while ((1u << (n + 1)) <= value)
        ++n;
    return n;
}

void put(std::vector<uint8_t>& out, uint32_t value)
{
    for (int i = 0; i < 4; ++i)
        out.push_back(uint8_t(value >> (8 * i)));
}

} // namespace

std::vector<uint8_t> SfdpTable::build(const FlashPart& part)
{
    std::vector<uint8_t> out = {'S', 'F', 'D', 'P', 0x06, 0x01, 0x00, 0xFF}; // JESD216B, one header
    // Parameter header 0: basic table, revision 1.6, 16 DWORDs at 0x30, ID MSB FF.
    out.insert(out.end(), {0x00, 0x06, 0x01, uint8_t(basicTableDwords), uint8_t(basicTableOffset), 0x00, 0x00, 0xFF});
    out.resize(basicTableOffset, 0xFF);

    const uint64_t eraseUnits[4] = {1 * ms, 16 * ms, 128 * ms, 1000 * ms};
    const uint64_t programUnits[2] = {8 * us, 64 * us};
    const uint64_t chipUnits[4] = {16 * ms, 256 * ms, 4000 * ms, 64000 * ms};

    // 1: 4 KiB erase 0x20, 64-byte write buffer, 3- or 4-byte addresses,
    //    DTR and the 1-1-2, 1-2-2, 1-4-4, 1-1-4 reads.
    put(out, 0xFFFB20E5);
    put(out, part.size * 8 - 1);  // 2: density in bits, minus one
    put(out, 0x6B08EB29);         // 3: 1-4-4 EB (9 wait + 1 mode), 1-1-4 6B (8 wait)
    put(out, 0xBB273B08);         // 4: 1-1-2 3B (8 wait), 1-2-2 BB (7 wait + 1 mode)
    put(out, 0xFFFFFFFF);         // 5: 2-2-2 and 4-4-4 protocols
    put(out, 0xBB08FFFF);         // 6: 2-2-2 fast read
    put(out, 0xEB29FFFF);         // 7: 4-4-4 fast read
    put(out, 0x520F200C);         // 8: erase types 1 (4 KiB, 0x20) and 2 (32 KiB, 0x52)
    put(out, 0x0000D810);         // 9: erase type 3 (64 KiB, 0xD8); no type 4
    // 10: typical erase times of types 1..3 and the typical-to-maximum multiplier.
    put(out, (encodeTime(part.erase64k.typicalNs, eraseUnits) << 18) |
                 (encodeTime(part.erase32k.typicalNs, eraseUnits) << 11) |
                 (encodeTime(part.erase4k.typicalNs, eraseUnits) << 4) |
                 multiplier({part.erase4k, part.erase32k, part.erase64k, part.bulkErase}));
    // 11: chip erase, byte and page program typical times, page size, multiplier.
    const uint32_t page = encodeTime(part.pageProgram.typicalNs, programUnits);
    put(out, 0x80000000u | (encodeTime(part.bulkErase.typicalNs, chipUnits) << 24) | (0x1u << 19) | (0x3u << 14) |
                 ((page & 0x3F) << 8) | (log2(part.pageSize) << 4) | multiplier({part.pageProgram}));
    put(out, 0x0000000F);         // 12: program/erase suspend supported
    put(out, 0x757A757A);         // 13: suspend 75, resume 7A
    // 14: deep power-down B9 / release AB (30 us), polling by status 05 and flag status 70.
    put(out, (0xB9u << 23) | (0xABu << 15) | (1u << 13) | (29u << 8) | 0x0F);
    put(out, 0x00000000);         // 15: no quad-enable bit to set
    // 16: enter 4-byte: B7, extended address register, 4-byte opcodes; leave:
    //     E9, extended address register, hardware/software reset, power cycle;
    //     software reset 66/99.
    put(out, 0x251D5080);
    return out;
}

} // namespace emu
