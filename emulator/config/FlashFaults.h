#pragma once

#include <cstdint>
#include <vector>

namespace emu {

// What the flash chip itself does wrong, whichever face of the bridge
// drives it. Addresses are flash addresses; a page fault hits the page that
// holds its address.
struct FlashFaults
{
    bool stuckBusy = false;                 // WIP never clears after the first program or erase
    std::vector<uint32_t> flippedAddresses; // bit 0 of these bytes reads inverted
    // Programs of these pages stay busy beyond the datasheet maximum: 50
    // more status reads in instant mode, twice the maximum page time when timed.
    std::vector<uint32_t> slowPages;
    // Programs of these pages stay busy through three more status reads
    // (chip select framed), however long each is, on top of their time.
    std::vector<uint32_t> heldPages;
    std::vector<uint32_t> stuckPages;       // programs of these pages never end
    // Left so by an earlier tool or design: every block-protect bit of the
    // status register set (the whole array protected), or 4-byte addressing
    // entered (a volatile mode: a software reset leaves it).
    bool leftProtected = false;
    bool leftFourByte = false;
};

} // namespace emu
