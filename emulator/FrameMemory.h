#pragma once

#include "emulator/SevenSeriesDevice.h"

#include <cstddef>
#include <cstdint>
#include <vector>

namespace emu {

// The configuration frames of a device, in the order FDRI fills them: each
// row's frames, then its two pad slots, row after row. A frame address
// (FAR) names one place in that order; the frame address register steps
// through it as frames are written. Remembers which frames were written.
class FrameMemory
{
public:
    static constexpr size_t outside = SIZE_MAX;

    explicit FrameMemory(const SevenSeriesDevice& device);

    // The place FAR value `far` names, or `outside` when no frame has that address.
    size_t position(uint32_t far) const;
    // The place after `at` in FDRI order; `outside` past the last pad slot.
    size_t next(size_t at) const;
    // A frame written at `at`: false when `at` is outside the device. A pad
    // slot takes the frame and keeps nothing.
    bool write(size_t at);

    uint32_t written() const { return writtenFrames; }
    uint32_t frames() const { return addressedFrames; }
    void clear();

private:
    enum : uint8_t { unwritten, frameWritten, pad };
    struct Row
    {
        uint32_t address;
        size_t first;                    // place of its first frame
        std::vector<uint32_t> columnStart; // frames before each column, one more entry for the row's end
    };

    std::vector<Row> rows;
    std::vector<uint8_t> places;
    uint32_t addressedFrames = 0;
    uint32_t writtenFrames = 0;
};

} // namespace emu
