#pragma once

#include <cstdint>
#include <filesystem>
#include <string>
#include <vector>

class TFtdi;

// Clocks a Xilinx .bit file straight into the FPGA through the bridge,
// bypassing the flash. Reports only to the standard streams.
class TFpga
{
public:
    explicit TFpga(TFtdi* ftdi);

    int Configuration();
    int Reset();
    int DoneCheck(int32_t& done);
    std::string ExtractFileExt(std::string fileName);
    int FileOpen(std::string fileName);
    int ConfigTop(std::string portDescription, std::filesystem::path bitstreamPath);

    TFtdi* ftdi;
    int32_t bitstreamSize = 0;
    std::vector<unsigned char> bitstreamData;
    int32_t chunkCount = 0;
};
