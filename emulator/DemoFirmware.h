#pragma once

#include <cstdint>
#include <string>
#include <vector>

namespace emu {

// A firmware set that looks real to the loader and to a reader, for demos
// on the emulated instrument only: a Xilinx .bit file for an XC7A35T (the
// header fields, then a raw bitstream of the part's size with its dummy
// words, bus-width pattern, sync word and configuration packets, every frame
// and a correct CRC) and an application image as Motorola S-records.
class DemoFirmware
{
public:
    static constexpr uint32_t xc7a35tBitstreamSize = 2192012;
    static constexpr uint32_t syncWord = 0xAA995566;

    // The whole .bit file for the 7-series `part` (an XC7A35T when the name
    // is not known). `rawSize` 0: the part's full bitstream, which configures
    // it; anything shorter keeps the packets around fewer frames.
    static std::vector<uint8_t> bitFile(const std::string& designName = "pravel_demo;UserID=0XFFFFFFFF",
                                        const std::string& part = "7a35tcsg324", uint32_t rawSize = 0);
    // S0 header, S3 data records of 32 bytes from `address`, S7 end record;
    // the data is a deterministic pattern of `size` bytes.
    static std::string srecFile(uint32_t size = 64 * 1024, uint32_t address = 0);

    // Writes "version.txt" (holding `version`), "download.bit" and
    // "pravel.srec" into `directory`, creating it. false with `error` set
    // when a file cannot be written.
    static bool writeDirectory(const std::string& directory, const std::string& version, std::string& error);
};

} // namespace emu
