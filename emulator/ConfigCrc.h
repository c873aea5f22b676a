#pragma once

#include <cstdint>

namespace emu {

// The running CRC of 7-series configuration logic: CRC-32C (Castagnoli),
// least significant bit first, over each register write taken as 37 bits,
// the 32 data bits followed by the 5-bit register address.
class ConfigCrc
{
public:
    static uint32_t update(uint32_t crc, uint32_t registerAddress, uint32_t data);
};

} // namespace emu
