#pragma once

#include <cstddef>
#include <cstdint>
#include <utility>
#include <vector>

// What a changed-only write has to do to turn what the flash holds into the
// image: per sector nothing, programming alone (the change only clears bits)
// or an erase first; which runs of sectors to erase; which pages to write.
// Made from the two byte ranges alone, touching nothing.
struct ChangePlan
{
    enum class Need { Nothing, ProgramOnly, Erase };

    // From the sector that holds the image's first byte to the one that
    // holds its last.
    std::vector<Need> sectors;
    // The first and the last sector address of each run of sectors to
    // erase, as TRom::EraseSectorAddr takes them.
    std::vector<std::pair<uint32_t, uint32_t>> erases;
    // One per flash page the image reaches into, from the first: whether it
    // is written. A page of an erased sector is written unless the image
    // holds only erased bytes there; a page of any other sector when it
    // differs from the flash.
    std::vector<bool> pages;

    size_t count(Need need) const;

    // `image` goes to `offset`; `flash` holds what the flash has there, as
    // many bytes. Sector and page sizes are powers of two, the page the smaller.
    static ChangePlan make(uint32_t offset, const std::vector<unsigned char>& image,
                           const std::vector<unsigned char>& flash, uint32_t sectorSize, uint32_t pageSize);
};
