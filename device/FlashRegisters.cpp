#include "device/FlashRegisters.h"

#include "base/HexText.h"
#include "device/FlashChip.h"

uint8_t FlashRegisters::blockProtectBits(const FlashChip& chip) const
{
    return static_cast<uint8_t>(status & chip.statusBlockProtectBits);
}

bool FlashRegisters::fourByteNow(const FlashChip& chip) const
{
    return (flagStatus && (*flagStatus & chip.flagStatusFourByteBit)) || (bank && (*bank & chip.bankFourByteBit));
}

bool FlashRegisters::fourByteFromPowerUp(const FlashChip& chip) const
{
    return nvcr && chip.nvcrThreeByteBit && !(*nvcr & chip.nvcrThreeByteBit);
}

std::string FlashRegisters::protocolFromPowerUp(const FlashChip& chip) const
{
    if (!nvcr)
        return {};
    if (chip.nvcrQuadOffBit && !(*nvcr & chip.nvcrQuadOffBit))
        return "quad";
    if (chip.nvcrDualOffBit && !(*nvcr & chip.nvcrDualOffBit))
        return "dual";
    return {};
}

std::string FlashRegisters::text() const
{
    std::string out = "status " + hexText(status);
    if (flagStatus)
        out += ", flag status " + hexText(*flagStatus);
    if (nvcr)
        out += ", NVCR " + hexText(*nvcr);
    if (bank)
        out += ", bank register " + hexText(*bank);
    return out;
}
