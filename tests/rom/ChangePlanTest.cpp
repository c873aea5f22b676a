// The changed-only plan on its own, with 16-byte sectors and 4-byte pages.
#include "device/ChangePlan.h"

#include <gtest/gtest.h>

namespace {

using Bytes = std::vector<unsigned char>;
using Need = ChangePlan::Need;
constexpr Need N = Need::Nothing, P = Need::ProgramOnly, E = Need::Erase;

Bytes with(Bytes bytes, std::initializer_list<std::pair<size_t, unsigned char>> changes)
{
    for (const auto& [at, value] : changes)
        bytes[at] = value;
    return bytes;
}

} // namespace

TEST(ChangePlan, SectorsErasesAndPagesFollowWhatDiffers)
{
    const struct
    {
        const char* what;
        uint32_t offset;
        Bytes image, flash;
        std::vector<Need> sectors;
        std::vector<std::pair<uint32_t, uint32_t>> erases;
        std::vector<bool> pages;
    } cases[] = {
        {"unchanged", 16, Bytes(16, 0x5A), Bytes(16, 0x5A), {N}, {}, {0, 0, 0, 0}},
        {"a change that only clears bits", 0, with(Bytes(32, 0xFF), {{5, 0x0F}}), Bytes(32, 0xFF), {P, N}, {},
         {0, 1, 0, 0, 0, 0, 0, 0}},
        {"a bit set again: erase, and leave out the erased pages", 0, with(Bytes(32, 0x00), {{4, 0xFF}, {5, 0xFF}, {6, 0xFF}, {7, 0xFF}}),
         Bytes(32, 0x00), {E, N}, {{0, 0}}, {1, 0, 1, 1, 0, 0, 0, 0}},
        {"runs of sectors to erase", 0, with(Bytes(64, 0x00), {{1, 0x01}, {17, 0x01}, {63, 0x01}}), Bytes(64, 0x00),
         {E, E, N, E}, {{0, 16}, {48, 48}}, {1, 1, 1, 1, 1, 1, 1, 1, 0, 0, 0, 0, 1, 1, 1, 1}},
        {"starting and ending inside pages", 6, Bytes(12, 0x00), Bytes(12, 0xFF), {P, P}, {}, {1, 1, 1, 1}},
        {"nothing", 0, {}, {}, {}, {}, {}},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.what);
        const ChangePlan plan = ChangePlan::make(c.offset, c.image, c.flash, 16, 4);
        EXPECT_EQ(plan.sectors, c.sectors);
        EXPECT_EQ(plan.erases, c.erases);
        EXPECT_EQ(plan.pages, c.pages);
    }
}
