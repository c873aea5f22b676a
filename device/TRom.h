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

    // The operations that report progress, for observers that want it as data.
    enum class Phase { Erasing, Programming, Reading };

    // What a read-back found against the loaded image.
    struct VerifyResult
    {
        bool readOk = false;
        uint64_t mismatchCount = 0;
        std::vector<uint32_t> firstMismatches; // image positions, the first 1024 at most
    };

    // The reports of a stop request (see TFtdi::SetStopRequest).
    static const char stoppedBetweenCommands[];
    static const char stoppedWhileBusy[];

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
    // Kept for the interface; erases nothing and returns 0. Erasing goes by
    // address (EraseSectorAddr).
    int EraseSectorNum(int sector);

    // Image loading and programming.
    int SetOffset(uint32_t offset);
    int FileOpen(std::string fileName);
    // An image read beforehand, taken with FileOpen's checks and report.
    int SetImage(std::vector<unsigned char> data);
    int Program(bool dump);
    // Program, but only where the flash differs from the image: each sector
    // is read first and skipped when it holds the image already; a sector
    // whose change only clears bits is programmed without an erase. Reports
    // how many sectors were skipped.
    int ProgramChanged(bool dump);
    void ConvertRBF(unsigned char* out, unsigned char* in);

    // Read-back and verify.
    int Read(unsigned char* buffer, int length, bool dump);
    // Every differing byte reported.
    int Verify();
    // The same with only the first `reportedMismatches` differing bytes
    // reported; `result` counts them all.
    int Verify(VerifyResult& result, uint64_t reportedMismatches);
    // Kept for the interface; writes no file and reports nothing.
    void Dump(std::string fileName, unsigned char* data, int length);

    // Called with the operation under way and its share done (0 to 1), beside
    // the text reports; empty: nobody listens.
    std::function<void(Phase, double)> progressObserver;

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
    // Lost: the bridge went away during the wait.
    enum class Readiness { Ready, Busy, Stopped, Lost };

    // Status reads until the flash reports its write-in-progress bit clear,
    // `pauseMicroseconds` apart; a failed read counts as busy. A stop request
    // ends the wait (the flash finishes its command by itself).
    Readiness WaitUntilReady(unsigned maxReads, uint64_t pauseMicroseconds);
    // true, after reporting it, when a stop was requested.
    bool StopBeforeNextCommand();
    bool FitsTheImageLimit(uint64_t size);
    void TakeImage(std::vector<unsigned char>& data);
    void Observe(Phase phase, double done);
    // true (after saying so) when the identified part lacks the register.
    bool RefuseMissingRegister(bool present, const char* which);
    // Status reads spaced on the wire: the first `firstWait` after the
    // command, the others `laterWait` apart, at most `maxReads` in all.
    Readiness WaitReadySpaced(uint32_t firstWait, uint32_t laterWait, unsigned int maxReads);
    bool ImageFits();
    // Writes the image's pages (only the `wanted` ones when given, indexed
    // as the pages are written); 0 after reporting a failure.
    int ProgramPages(const std::vector<bool>* wanted);
    int FinishProgram(int result, bool dump);
    // `length` (at least 1) bytes from `address` with queued 64 KiB reads;
    // `afterChunk` gets the bytes still to read after each chunk.
    int ReadRange(uint32_t address, unsigned char* buffer, int length, const std::function<void(int)>& afterChunk);

    // The chip table's row of the last part identified; nullptr before.
    const ChipRow* identifiedChip = nullptr;
};
