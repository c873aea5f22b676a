#include "device/BitstreamPart.h"

#include "base/HexText.h"

namespace {

// IDCODEs from the 7-series configuration user guide and the vendor's own
// bitstreams. Frames: the guide's bitstream length in bytes, less the 2332
// bytes of packets around the frame data of an uncompressed bitstream, over
// 404 bytes a frame (the XC7A35T: 17,536,096 bits, 5420 frames).
const BitstreamPart parts[] = {
    {"XC7A35T", 0x0362D093, 5420},   {"XC7A50T", 0x0362C093, 5420},   {"XC7A75T", 0x03632093, 9464},
    {"XC7A100T", 0x03631093, 9464},  {"XC7A200T", 0x03636093, 24080}, {"XC7S25", 0x037C4093, 3068},
    {"XC7S50", 0x0362F093, 5420},    {"XC7K160T", 0x0364C093, 16560}, {"XC7K325T", 0x03651093, 28320},
    {"XC7K420T", 0x03752093, 46368},
};

} // namespace

const BitstreamPart* BitstreamPart::find(uint32_t idcode)
{
    for (const BitstreamPart& part : parts)
        if (sameFpga(part.idcode, idcode))
            return &part;
    return nullptr;
}

const BitstreamPart& BitstreamPart::instrumentFpga()
{
    return parts[0];
}

std::string BitstreamPart::describe(uint32_t idcode)
{
    const BitstreamPart* part = find(idcode);
    return std::string(part ? "an " + std::string(part->name) : "an FPGA this loader does not know") + " (IDCODE " +
           upperHex(idcode, 8) + ")";
}
