#pragma once

#include "device/TFtdi.h"

#include <cstdint>
#include <functional>
#include <vector>

// Writes an image's pages in pipelined batches: each page's write enable,
// page program and a status read clocked after the page's typical program
// time go out together, many pages in one USB write, and all their status
// bytes come back in one read. A batch starts at one page and doubles after
// every batch that found each page ready in time. A page still busy at its
// status read made the flash ignore the pages after it: that page gets the
// rest of its status reads one by one, the pages after it a longer wait and
// smaller batches again, and programming resumes behind it. What is
// reported, and when, is the same as page by page.
class PagePipeline
{
public:
    // What the owner does around the pages.
    struct Hooks
    {
        // true (after saying so) when a stop was requested: nothing more goes out.
        std::function<bool()> stopBeforeNextCommand;
        // At most `maxReads` status reads until the busy page is done; 1: ready.
        std::function<int(unsigned maxReads)> waitReady;
        // Each page written or skipped, in order, with its length.
        std::function<void(int32_t length)> pageDone;
        // Every page reported so far is through: its batch's status came
        // back (pages of one batch are reported together, not as they end).
        std::function<void()> batchDone;
    };

    PagePipeline(TFtdi& ftdi, int32_t pageSize, uint32_t typicalPageMicroseconds, Hooks hooks);

    // `length` bytes of `data` into the flash from `address`, never past the
    // end of a flash page in one write (the chip would wrap round onto the
    // page's start). With `wanted`, a page it marks false (indexed from the
    // first page written) counts as written without going out. 0 after
    // reporting a failure.
    int Write(uint32_t address, const unsigned char* data, int32_t length, const std::vector<bool>* wanted);

private:
    int32_t PageLength(uint32_t at, int32_t left) const;

    TFtdi& ftdi;
    int32_t pageSize;
    uint32_t typicalWait;
    Hooks hooks;
};
