#pragma once

#include <cstdint>
#include <vector>

namespace emu {

struct FlashPart;

// The Serial Flash Discoverable Parameters (JESD216B) a part answers to
// 0x5A: the "SFDP" header, one parameter header and the 16-DWORD basic flash
// parameter table, built from the part table so that what a peer discovers
// (density, erase types and times, page size, 4-byte address methods, deep
// power-down, status polling) is what the model then does.
class SfdpTable
{
public:
    static constexpr uint32_t basicTableOffset = 0x30;
    static constexpr uint32_t basicTableDwords = 16;

    static std::vector<uint8_t> build(const FlashPart& part);
};

} // namespace emu
