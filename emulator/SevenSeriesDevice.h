#pragma once

#include <cstdint>
#include <string>

namespace emu {

// A 7-series FPGA as its configuration logic sees it: the IDCODE a
// bitstream must name, and the configuration frames a full bitstream writes
// through FDRI (101 words each, pad frames included).
struct SevenSeriesDevice
{
    static constexpr uint32_t wordsPerFrame = 101;
    static constexpr uint32_t syncWord = 0xAA995566;

    const char* name;        // as a .bit header's part field begins, e.g. "7a35t"
    uint32_t idcode;         // the silicon revision in bits 31..28 is not compared
    uint32_t frames;
    uint32_t bitstreamBytes; // the whole raw bitstream

    uint32_t frameWords() const { return frames * wordsPerFrame; }

    static const SevenSeriesDevice& xc7a35t();
    // The device whose name begins `part` ("7a35tcsg324"), or nullptr.
    static const SevenSeriesDevice* find(const std::string& part);
};

} // namespace emu
