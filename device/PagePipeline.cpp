#include "device/PagePipeline.h"

#include "base/ProgressReporter.h"
#include "device/FlashChip.h"

#include <algorithm>
#include <utility>

namespace {

// Status reads a page may take, its pipelined one included, before the run fails.
constexpr unsigned kPageReadyReads = 100;
// Pages per USB write start at one and double up to this after every batch
// that found each page ready in time.
constexpr size_t kMaxPipelinedPages = 128;
// A page found busy at its pipelined status read stretches the wait of the
// pages after it by a quarter, up to this many typical page times.
constexpr uint32_t kMaxPageWaitFactor = 16;

} // namespace

PagePipeline::PagePipeline(TFtdi& ftdi, int32_t pageSize, uint32_t typicalPageMicroseconds, Hooks hooks)
    : ftdi(ftdi), pageSize(pageSize), typicalWait(typicalPageMicroseconds), hooks(std::move(hooks))
{
}

int32_t PagePipeline::PageLength(uint32_t at, int32_t left) const
{
    return std::min(pageSize - static_cast<int32_t>(at % static_cast<uint32_t>(pageSize)), left);
}

int PagePipeline::Write(uint32_t address, const unsigned char* data, int32_t length, const std::vector<bool>* wanted)
{
    int32_t remaining = length;
    size_t page = 0;
    const auto advance = [&](int32_t written) {
        ++page;
        remaining -= written;
        address += static_cast<uint32_t>(written);
        data += written;
        hooks.pageDone(written);
    };
    const auto skipped = [&](size_t index) { return wanted && !(*wanted)[index]; };

    const uint32_t longestWait = std::max<uint32_t>(typicalWait, 1) * kMaxPageWaitFactor;
    uint32_t wait = typicalWait;
    size_t batchPages = 1;
    std::vector<TFtdi::PageWrite> pages;
    std::vector<unsigned char> statuses;
    const auto through = [&] {
        if (hooks.batchDone)
            hooks.batchDone();
    };
    while (remaining > 0) {
        while (remaining > 0 && skipped(page))
            advance(PageLength(address, remaining));
        if (remaining == 0)
            break;
        through();
        if (hooks.stopBeforeNextCommand())
            return 0;
        pages.clear();
        uint32_t at = address;
        const unsigned char* from = data;
        int32_t left = remaining;
        while (pages.size() < batchPages && left > 0 && !skipped(page + pages.size())) {
            const int32_t pageLength = PageLength(at, left);
            pages.push_back({at, from, pageLength});
            at += static_cast<uint32_t>(pageLength);
            from += pageLength;
            left -= pageLength;
        }
        const int32_t count = static_cast<int32_t>(pages.size());
        if (!ftdi.MPSSE_PageProgramPipelined(pages.data(), count, wait)) {
            ProgressReporter::error("Error in MPSSE_PageProgram\n");
            return 0;
        }
        statuses.assign(pages.size(), 0);
        // A failed read counts as a busy answer.
        if (!ftdi.MPSSE_ReadStatusBytes(statuses.data(), count))
            statuses.assign(pages.size(), kStatusWriteInProgress);

        size_t ready = 0;
        while (ready < pages.size() && !(statuses[ready] & kStatusWriteInProgress))
            ++ready;
        for (size_t i = 0; i < ready; ++i)
            advance(pages[i].length);
        if (ready == pages.size()) {
            batchPages = std::min(batchPages * 2, kMaxPipelinedPages);
            continue;
        }
        // One of the page's status reads is spent already.
        if (!hooks.waitReady(kPageReadyReads - 1)) {
            if (!ftdi.StopRequested())
                ProgressReporter::error("Error in BusyCheck_WithoutTimer\n");
            return 0;
        }
        advance(pages[ready].length);
        // This chip takes longer than typical: wait longer, and risk fewer pages.
        wait = std::min(wait + std::max<uint32_t>(wait / 4, 1), longestWait);
        batchPages = 1;
    }
    through();
    return 1;
}
