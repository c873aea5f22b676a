#include "emulator/FrameMemory.h"

#include <algorithm>

namespace emu {

FrameMemory::FrameMemory(const SevenSeriesDevice& device)
{
    for (size_t r = 0; r < device.rowCount; ++r) {
        Row row{device.rows[r].address, places.size(), {0}};
        for (const char* column = device.rows[r].columns; *column; ++column)
            row.columnStart.push_back(row.columnStart.back() + SevenSeriesDevice::framesIn(*column));
        const uint32_t frames = row.columnStart.back();
        addressedFrames += frames;
        places.insert(places.end(), frames, unwritten);
        places.insert(places.end(), SevenSeriesDevice::padFramesPerRow, pad);
        rows.push_back(std::move(row));
    }
}

size_t FrameMemory::position(uint32_t far) const
{
    // Block type, half and row (and the reserved bits above) pick the row,
    // then the column (bits 16..7) and the minor address (6..0).
    const uint32_t rowAddress = far & ~0x1FFFFu;
    const uint32_t column = (far >> 7) & 0x3FF;
    const uint32_t minor = far & 0x7F;
    for (const Row& row : rows) {
        if (row.address != rowAddress)
            continue;
        if (column + 1 >= row.columnStart.size() || minor >= row.columnStart[column + 1] - row.columnStart[column])
            return outside;
        return row.first + row.columnStart[column] + minor;
    }
    return outside;
}

size_t FrameMemory::next(size_t at) const
{
    return at == outside || at + 1 >= places.size() ? outside : at + 1;
}

bool FrameMemory::write(size_t at)
{
    if (at >= places.size())
        return false;
    if (places[at] == unwritten) {
        places[at] = frameWritten;
        ++writtenFrames;
    }
    return true;
}

void FrameMemory::clear()
{
    // Every flash transaction holds the FPGA in reset: most clears find nothing.
    if (writtenFrames == 0)
        return;
    for (uint8_t& place : places)
        if (place == frameWritten)
            place = unwritten;
    writtenFrames = 0;
}

} // namespace emu
