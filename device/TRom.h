#pragma once

#include <cstdint>
#include <string>
#include <vector>

class TFtdi;

// Driver of the SPI configuration flash behind the FPGA: identification and
// registers, erase, image loading and page programming, read-back and verify.
// Every result is reported as text through ProgressReporter; operations
// return 1 for success and 0 for failure and never throw.
class TRom
{
public:
    explicit TRom(TFtdi* ftdi);

    // Identification and registers.
    int CheckMemory();
    int CheckStatus();
    int CheckFlagStatus();
    int BusyCheck();
    int BusyCheck_WithoutTimer(unsigned int maxReads);
    int NVCRRead(unsigned short& value);
    int NVCRWrite(unsigned short value);

    // Erase.
    int EraseSectorAddr(uint32_t start, uint32_t end);
    int EraseBulk();
    int EraseSectorNum(int sector);

    // Image loading and programming.
    int SetOffset(uint32_t offset);
    int FileOpen(std::string fileName);
    int Program(bool dump);
    void ConvertRBF(unsigned char* out, unsigned char* in);

    // Read-back and verify.
    int Read(unsigned char* buffer, int length, bool dump);
    int Verify();
    void Dump(std::string fileName, unsigned char* data, int length);

    TFtdi* ftdi;
    std::vector<unsigned char> imageData;
    int32_t imageSize = 0;
    uint32_t offset = 0;
    int32_t chunkCount = 0;
    uint8_t capacityCode = 0;
    int32_t pageSize = 0;
    int32_t sectorSize = 0;
    int32_t memorySize = 0;
    int32_t sectorCount = 0;

    // The identified chip's typical page program and sector erase times.
    uint32_t typicalPageProgramMicroseconds() const { return pageProgramMicroseconds; }
    uint32_t typicalSectorEraseMicroseconds() const { return sectorEraseMicroseconds; }

private:
    // Status reads spaced on the wire: the first `firstWait` after the
    // command, the others `laterWait` apart, at most `maxReads` in all.
    // Writes the overflow line when they run out.
    int WaitReadySpaced(uint32_t firstWait, uint32_t laterWait, unsigned int maxReads);
    int ProgramPages();

    uint32_t pageProgramMicroseconds = 0;
    uint32_t sectorEraseMicroseconds = 0;
};
