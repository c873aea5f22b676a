#pragma once

#include <cstdint>
#include <functional>
#include <string>
#include <vector>

class TFtdi;
struct FlashChip;

// Driver of the SPI configuration flash behind the FPGA: identification and
// registers, erase, image loading and page programming, read-back and verify.
// Every result is reported as text through ProgressReporter; operations
// return 1 for success and 0 for failure and never throw.
class TRom
{
public:
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

    // Read-back and verify.
    int Read(unsigned char* buffer, int length, bool dump);
    // Every differing byte reported.
    int Verify();
    // The same with only the first `reportedMismatches` differing bytes
    // reported; `result` counts them all.
    int Verify(VerifyResult& result, uint64_t reportedMismatches);

    // Called with the operation under way and its share done (0 to 1), beside
    // the text reports; empty: nobody listens.
    void SetProgressObserver(std::function<void(Phase, double)> observer);

    TFtdi* Ftdi() const { return ftdi; }
    const std::vector<unsigned char>& ImageData() const { return imageData; }
    int32_t ImageSize() const { return static_cast<int32_t>(imageData.size()); }
    uint32_t Offset() const { return offset; }
    // Pages or chunks done in the operation under way; after a failed
    // Program, the pages written before it.
    int32_t ChunkCount() const { return chunkCount; }

    // The part identified last (nullptr before any identification; a failed
    // identification keeps it) and its geometry, 0 before.
    const FlashChip* Chip() const { return identifiedChip; }
    // The identification byte the last CheckMemory read; -1 when that read
    // failed, or before any.
    int IdentificationByte() const { return identificationByte; }
    uint8_t CapacityCode() const;
    int32_t PageSize() const;
    int32_t SectorSize() const;
    int32_t MemorySize() const;
    int32_t SectorCount() const;
    // Its typical page program and sector erase times: the loops space their
    // status reads by them.
    uint32_t TypicalPageProgramMicroseconds() const;
    uint32_t TypicalSectorEraseMicroseconds() const;

    // Part of the interface; nothing in the loader calls them.
    // Erases nothing and returns 0: erasing goes by address (EraseSectorAddr).
    int EraseSectorNum(int sector);
    // The first ImageSize() bytes of `in`, each with its bit order reversed, into `out`.
    void ConvertRBF(unsigned char* out, unsigned char* in);
    // Writes no file and reports nothing.
    void Dump(std::string fileName, unsigned char* data, int length);

private:
    // The identified part, or one without any geometry before.
    const FlashChip& Geometry() const;

    // Lost: the bridge went away during the wait.
    enum class Readiness { Ready, Busy, Stopped, Lost };

    // How a wait for the flash reads its status register. The bound is a
    // count of reads; a time from the part's datasheet can take its place.
    struct ReadyWait
    {
        unsigned maxReads = 1;
        // Clocked on the wire before the first status byte, and before each
        // later one: no USB exchange is spent on polls that could only
        // answer busy.
        uint32_t firstWaitMicroseconds = 0;
        uint32_t laterWaitMicroseconds = 0;
        // Slept on the host between two reads.
        uint64_t pauseMicroseconds = 0;
    };

    // Status reads until the flash reports its write-in-progress bit clear;
    // a failed read counts as busy. A stop request ends the wait (the flash
    // finishes its command by itself).
    Readiness WaitUntilReady(const ReadyWait& wait);
    // true, after reporting it, when a stop was requested.
    bool StopBeforeNextCommand();
    bool FitsTheImageLimit(uint64_t size);
    void TakeImage(std::vector<unsigned char>& data);
    void Observe(Phase phase, double done);
    // One register byte read and reported as "<label><value>"; 0 when the read fails.
    int ReportRegister(int32_t (TFtdi::*read)(unsigned char&), const char* label);
    // true (after saying so) when the identified part lacks the register.
    bool RefuseMissingRegister(bool present, const char* which);
    bool ImageFits();
    // Writes the image's pages (only the `wanted` ones when given, indexed
    // as the pages are written); 0 after reporting a failure.
    int ProgramPages(const std::vector<bool>* wanted);
    int FinishProgram(int result, bool dump);
    // `length` (at least 1) bytes from `address` with queued 64 KiB reads;
    // `afterChunk` gets the bytes still to read after each chunk.
    int ReadRange(uint32_t address, unsigned char* buffer, int length, const std::function<void(int)>& afterChunk);

    TFtdi* ftdi;
    std::vector<unsigned char> imageData;
    uint32_t offset = 0;
    int32_t chunkCount = 0;
    const FlashChip* identifiedChip = nullptr;
    int identificationByte = -1;
    std::function<void(Phase, double)> progressObserver;
};
