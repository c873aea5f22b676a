#pragma once

#include <cstdint>
#include <functional>
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
    // One row of the table of supported chips: what the identification byte
    // tells about the part.
    struct ChipRow;

    explicit TRom(TFtdi* ftdi);

    // Identification and registers.
    int CheckMemory();
    int CheckStatus();
    int CheckFlagStatus();
    int BusyCheck();
    int BusyCheck_WithoutTimer(unsigned int maxReads);
    int NVCRRead(unsigned short& value);
    int NVCRWrite(unsigned short value);
    // What the identified part has; before any identification, every register.
    bool HasFlagStatus() const;
    bool HasNvcr() const;

    // Erase.
    int EraseSectorAddr(uint32_t start, uint32_t end);
    int EraseBulk();
    int EraseSectorNum(int sector);

    // Image loading and programming.
    int SetOffset(uint32_t offset);
    int FileOpen(std::string fileName);
    int Program(bool dump);
    // Program, but only where the flash differs from the image: each sector
    // is read first and skipped when it holds the image already; a sector
    // whose change only clears bits is programmed without an erase. Reports
    // how many sectors were skipped.
    int ProgramChanged(bool dump);
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

    // The identified part's typical page program and sector erase times (0
    // before any identification): the loops space their status reads by them.
    uint32_t TypicalPageProgramMicroseconds() const;
    uint32_t TypicalSectorEraseMicroseconds() const;

private:
    // true (after saying so) when the identified part lacks the register.
    bool RefuseMissingRegister(bool present, const char* which);

    // The chip table's row of the last part identified; nullptr before.
    const ChipRow* identifiedChip = nullptr;

    // Status reads spaced on the wire: the first `firstWait` after the
    // command, the others `laterWait` apart, at most `maxReads` in all.
    // Writes the overflow line when they run out.
    int WaitReadySpaced(uint32_t firstWait, uint32_t laterWait, unsigned int maxReads);
    bool ImageFits();
    // Writes the image's pages (only the `wanted` ones when given, indexed
    // as the pages are written); 0 after reporting a failure.
    int ProgramPages(const std::vector<bool>* wanted);
    int FinishProgram(int result, bool dump);
    // `length` (at least 1) bytes from `address` with queued 64 KiB reads;
    // `afterChunk` gets the bytes still to read after each chunk.
    int ReadRange(uint32_t address, unsigned char* buffer, int length, const std::function<void(int)>& afterChunk);
};
