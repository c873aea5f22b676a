#include "device/TFpga.h"

#include "base/ConsoleSink.h"
#include "device/TFtdi.h"
#include "device/WholeFile.h"

#include <algorithm>
#include <cstdint>
#include <limits>
#include <stdexcept>
#include <string>

namespace {

constexpr int32_t kChunk = 0x10000; // the most one configuration transfer takes
constexpr unsigned char kClosingClocks = 0xFF;
const char kExtension[] = ".bit";

} // namespace

TFpga::TFpga(TFtdi* ftdi) : ftdi(ftdi) {}

int TFpga::Configuration()
{
    const int32_t size = std::min<int64_t>(std::max<int32_t>(bitstreamSize, 0), static_cast<int64_t>(bitstreamData.size()));
    // 64-bit position: stepping past a size near 2 GiB must not overflow.
    for (int64_t position = 0; position < size; position += kChunk) {
        const int32_t length = static_cast<int32_t>(std::min<int64_t>(kChunk, size - position));
        // A stop request ends the load between two transfers.
        if (ftdi->StopRequested() || !ftdi->MPSSE_Configuration(bitstreamData.data() + position, length)) {
            // The closing clocks still go out, so the FPGA is not left mid-byte.
            ftdi->MPSSE_SendClock(kClosingClocks);
            chunkCount = 0;
            ConsoleSink::error("Configuration...NG\n");
            return 0;
        }
        ++chunkCount;
        ConsoleSink::note("Progress: " + std::to_string(chunkCount) + "\n");
    }
    // Start-up of the FPGA needs clocks after the last byte.
    if (!ftdi->MPSSE_SendClock(kClosingClocks)) {
        chunkCount = 0;
        ConsoleSink::error("Configuration...NG\n");
        return 0;
    }
    chunkCount = 0;
    ConsoleSink::note("Configuration...OK\n");
    return 1;
}

int TFpga::Reset()
{
    return ftdi->MPSSE_FPGAReset();
}

int TFpga::DoneCheck(int32_t& done)
{
    return ftdi->MPSSE_GetDone(done);
}

std::string TFpga::ExtractFileExt(std::string fileName)
{
    // Both separators count, whatever the host system: names come from Windows too.
    const size_t separator = fileName.find_last_of("/\\");
    const std::string component = separator == std::string::npos ? fileName : fileName.substr(separator + 1);
    if (component == "." || component == "..")
        return {};
    const size_t dot = component.rfind('.');
    if (dot == std::string::npos || dot == 0)
        return {};
    return component.substr(dot);
}

int TFpga::FileOpen(std::string fileName)
{
    if (ExtractFileExt(fileName) != kExtension) {
        ConsoleSink::error("Invalid file type: Xilinx bitstream [.bit] required.\n");
        return 0;
    }
    WholeFile file;
    WholeFile::Status status = file.open(fileName);
    if (status == WholeFile::Ok && file.size() > static_cast<uint64_t>(std::numeric_limits<int32_t>::max()))
        status = WholeFile::ReadFailed;
    // A failed or short read keeps the bitstream loaded before.
    if (status == WholeFile::Ok)
        status = file.readInto(bitstreamData);
    if (status != WholeFile::Ok) {
        ConsoleSink::error(WholeFile::failure(status, fileName));
        return 0;
    }
    bitstreamSize = static_cast<int32_t>(bitstreamData.size());

    ConsoleSink::note("File read successfully. Size: " + std::to_string(bitstreamSize) + " bytes\n");
    return 1;
}

int TFpga::ConfigTop(std::string portDescription, std::filesystem::path bitstreamPath)
{
    if (ftdi->PortOpen(portDescription) != 1)
        return 0;

    std::string name;
    try {
        name = bitstreamPath.u8string();
    } catch (...) {
        ftdi->PortClose();
        return 0;
    }
    // Stop at the first failed step: a missing file must not clock the
    // bitstream of an earlier load into the FPGA.
    if (!Reset() || !FileOpen(name) || !Configuration()) {
        ftdi->PortClose();
        return 0;
    }
    ftdi->PortClose();
    return 1;
}
