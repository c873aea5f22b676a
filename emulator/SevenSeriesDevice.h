#pragma once

#include <cstddef>
#include <cstdint>
#include <string>

namespace emu {

// One row of configuration frames: the frame address of its first frame
// (block type, top/bottom half and row fields; column and minor 0) and its
// columns in address order, each a letter for the frames (minor addresses)
// the column has:
//   I 42 (I/O)   K 30 (clocking)   C 36 (logic)   B 28 (block RAM and DSP
//   interconnect)   G 32 (the column ending a row with transceivers)
//   M 128 (block RAM contents, block type 1)
struct FrameRow
{
    uint32_t address;
    const char* columns;
};

// A 7-series FPGA as its configuration logic sees it: the IDCODE a
// bitstream must name and the frame address space the configuration frames
// fill. A full bitstream writes the rows in order through FDRI, each row's
// frames followed by two pad frames; frames are 101 words.
struct SevenSeriesDevice
{
    static constexpr uint32_t wordsPerFrame = 101;
    static constexpr uint32_t padFramesPerRow = 2;
    static constexpr uint32_t syncWord = 0xAA995566;

    const char* name;        // as a .bit header's part field begins, e.g. "7a35t"
    uint32_t idcode;         // the silicon revision in bits 31..28 is not compared
    uint32_t bitstreamBytes; // the whole raw bitstream
    const FrameRow* rows;    // in the order a full bitstream writes them
    size_t rowCount;

    // Frames with a frame address, and the FDRI frames of a full bitstream
    // (those plus the pad frames).
    uint32_t addressedFrames() const;
    uint32_t frames() const { return addressedFrames() + padFramesPerRow * uint32_t(rowCount); }
    uint32_t frameWords() const { return frames() * wordsPerFrame; }
    // "XC7A35T"
    std::string displayName() const;
    // The frames of a column by its letter in FrameRow::columns; 0 for another letter.
    static uint32_t framesIn(char column);

    static const SevenSeriesDevice& xc7a35t();
    // The device whose name begins `part` ("7a35tcsg324"), or nullptr.
    static const SevenSeriesDevice* find(const std::string& part);
    // The device with that IDCODE, revision bits aside, or nullptr.
    static const SevenSeriesDevice* byIdcode(uint32_t idcode);
};

} // namespace emu
