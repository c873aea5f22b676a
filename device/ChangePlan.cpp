#include "device/ChangePlan.h"

#include <algorithm>

namespace {

constexpr unsigned char kErased = 0xFF;

} // namespace

size_t ChangePlan::count(Need need) const
{
    return static_cast<size_t>(std::count(sectors.begin(), sectors.end(), need));
}

ChangePlan ChangePlan::make(uint32_t offset, const std::vector<unsigned char>& image,
                            const std::vector<unsigned char>& flash, uint32_t sectorSize, uint32_t pageSize)
{
    ChangePlan plan;
    const uint64_t size = std::min(image.size(), flash.size());
    if (size == 0 || sectorSize == 0 || pageSize == 0)
        return plan;
    const uint64_t start = offset;
    const uint64_t end = start + size;
    // The image's positions [from, to) that fall into the block of `blockSize` at `block`.
    const auto span = [&](uint64_t block, uint64_t blockSize) {
        return std::make_pair(std::max(start, block * blockSize) - start, std::min(end, (block + 1) * blockSize) - start);
    };

    const uint64_t firstSector = start / sectorSize;
    plan.sectors.assign(static_cast<size_t>((end - 1) / sectorSize - firstSector + 1), Need::Nothing);
    for (size_t i = 0; i < plan.sectors.size(); ++i) {
        const auto [from, to] = span(firstSector + i, sectorSize);
        for (uint64_t k = from; k < to && plan.sectors[i] != Need::Erase; ++k)
            if (image[k] != flash[k])
                plan.sectors[i] = (image[k] & ~flash[k]) ? Need::Erase : Need::ProgramOnly;
    }

    // Runs of sectors that need the erase, each erased as one range.
    for (size_t i = 0; i < plan.sectors.size(); ++i) {
        if (plan.sectors[i] != Need::Erase)
            continue;
        size_t last = i;
        while (last + 1 < plan.sectors.size() && plan.sectors[last + 1] == Need::Erase)
            ++last;
        plan.erases.emplace_back(static_cast<uint32_t>((firstSector + i) * sectorSize),
                                 static_cast<uint32_t>((firstSector + last) * sectorSize));
        i = last;
    }

    const uint64_t firstPage = start / pageSize;
    for (uint64_t page = firstPage; page <= (end - 1) / pageSize; ++page) {
        const auto [from, to] = span(page, pageSize);
        const auto first = image.begin() + static_cast<std::ptrdiff_t>(from);
        const auto last = image.begin() + static_cast<std::ptrdiff_t>(to);
        const bool erased = plan.sectors[static_cast<size_t>(page * pageSize / sectorSize - firstSector)] == Need::Erase;
        plan.pages.push_back(erased ? std::any_of(first, last, [](unsigned char b) { return b != kErased; })
                                    : !std::equal(first, last, flash.begin() + static_cast<std::ptrdiff_t>(from)));
    }
    return plan;
}
