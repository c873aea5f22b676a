#include "emulator/ConfigCrc.h"

#include <array>

namespace emu {
namespace {

constexpr uint32_t polynomial = 0x82F63B78; // 0x1EDC6F41 reflected

std::array<uint32_t, 256> makeTable()
{
    std::array<uint32_t, 256> table{};
    for (uint32_t i = 0; i < 256; ++i) {
        uint32_t crc = i;
        for (int bit = 0; bit < 8; ++bit)
            crc = (crc & 1) ? (crc >> 1) ^ polynomial : crc >> 1;
        table[i] = crc;
    }
    return table;
}

} // namespace

uint32_t ConfigCrc::update(uint32_t crc, uint32_t registerAddress, uint32_t data)
{
    static const std::array<uint32_t, 256> table = makeTable();
    for (int i = 0; i < 4; ++i, data >>= 8)
        crc = table[(crc ^ data) & 0xFF] ^ (crc >> 8);
    for (int i = 0; i < 5; ++i, registerAddress >>= 1)
        crc = ((crc ^ registerAddress) & 1) ? (crc >> 1) ^ polynomial : crc >> 1;
    return crc;
}

} // namespace emu
