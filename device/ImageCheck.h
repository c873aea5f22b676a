#pragma once

#include "device/FirmwareSet.h"

#include <cstdint>
#include <string>
#include <vector>

// Whether a file looks like what belongs at a flash offset, before anything
// is erased: an application image where the FPGA expects its bitstream (or
// the other way round) leaves an instrument that does not start. The images
// are still written byte for byte; this only reads them.
//   offset 0         an FPGA bitstream: a Xilinx .bit file, or a bare
//                    bitstream with the 7-series sync word near its start
//   offset 0x500000  an application image: well-formed S-records
// Other offsets have no rule. Plain C++, never throws.
class ImageCheck
{
public:
    static constexpr uint32_t bitstreamOffset = FirmwareSet::bitstreamOffset;
    static constexpr uint32_t applicationOffset = FirmwareSet::applicationOffset;
    static constexpr uint32_t syncWord = 0xAA995566;
    // How far into the configuration data the sync word may come.
    static constexpr std::size_t syncWindow = 4096;

    // Empty when the file's bytes fit `offset`, else one sentence saying what
    // is wrong with them (no trailing newline).
    static std::string check(const std::vector<unsigned char>& data, uint32_t offset);

    static std::string checkBitstream(const std::vector<unsigned char>& data);
    static std::string checkSRecords(const std::vector<unsigned char>& data);
};
