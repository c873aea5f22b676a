#pragma once

#include <cstdint>
#include <functional>
#include <string>
#include <vector>

class TFtdi;
struct FlashBusyTime;
struct FlashChip;
struct FlashRegisters;

// Driver of the SPI configuration flash behind the FPGA: identification and
// registers, erase, image loading and page programming, read-back and verify.
// Every result is reported as text through ProgressReporter; operations
// return 1 for success and 0 for failure and never throw.
class TRom
{
public:
    // The operations that report progress, for observers that want it as data.
    enum class Phase { Erasing, Programming, Reading };

    // How the last CheckMemory ended.
    enum class IdentifyResult
    {
        Identified,
        ReadFailed,  // the bridge did not carry the reads
        StillBusy,   // busy past the bound with something an interrupted run left
        Unsupported, // no part the loader supports answered (a mute bus included)
    };

    // A wait for the flash gives up this many times the datasheet's maximum
    // for the operation, and fails the operation naming both.
    static constexpr unsigned busyMargin = 3;

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

    // Identification and registers. Before reading the identification,
    // CheckMemory waits (bounded by the slowest sector erase of any supported
    // part) for a flash still busy with what an interrupted run left; a bus
    // nothing drives reads status 0xFF and is not waited for.
    int CheckMemory();
    IdentifyResult LastIdentifyResult() const { return identifyResult; }
    int CheckStatus();
    int CheckFlagStatus();
    int BusyCheck();
    int BusyCheck_WithoutTimer(unsigned int maxReads);
    int NVCRRead(unsigned short& value);
    int NVCRWrite(unsigned short value);
    // After NVCRWrite: until the flash is done writing, bounded by the
    // register write's datasheet maximum; 0 after reporting why not.
    int WaitAfterRegisterWrite();
    // What the identified part has; before any identification, every register.
    bool HasFlagStatus() const;
    bool HasNvcr() const;

    // Raw reads for a diagnosis: nothing reported, nothing written, the
    // identification above left as it is. `chip` is the part the answers
    // came from: only the registers it has are read.
    // The first `count` bytes (1..256) of the JEDEC identification.
    int ReadIdentification(unsigned char* bytes, uint32_t count);
    // `count` bytes (1..256) of the SFDP table from `address`; 0 for a part without one.
    int ReadSfdp(const FlashChip& chip, uint32_t address, unsigned char* bytes, uint32_t count);
    int ReadRegisters(const FlashChip& chip, FlashRegisters& registers);

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
    // `length` bytes from `address`, without Read's reports and leaving the
    // offset alone: for a look at the flash before a run writes it. 0 when
    // the range runs past the flash or the read fails.
    int ReadAt(uint32_t address, unsigned char* buffer, int length);
    // Every differing byte reported.
    int Verify();
    // The same with only the first `reportedMismatches` differing bytes
    // reported; `result` counts them all.
    int Verify(VerifyResult& result, uint64_t reportedMismatches);

    // Called with the operation under way and its share done (0 to 1), beside
    // the text reports; empty: nobody listens.
    void SetProgressObserver(std::function<void(Phase, double)> observer);
    // Called at each status read of a wait for the flash with what it awaits
    // ("Waiting for the flash to finish erasing") and the seconds waited so
    // far, and with an empty text when the wait is over.
    void SetWaitObserver(std::function<void(const std::string& awaited, double seconds)> observer);
    // Erase and program commands sent (or attempted) since construction: the
    // flash may differ from before once this has grown.
    uint64_t ChangeCommandsSent() const { return changeCommands; }

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

    // Busy: the reads were used up; TimedOut: busy past the time bound;
    // Lost: the bridge went away during the wait.
    enum class Readiness { Ready, Busy, TimedOut, Stopped, Lost };

    // How a wait for the flash reads its status register.
    struct ReadyWait
    {
        // What is awaited: its maximum times busyMargin bounds the wait in
        // time, and a long wait is shown as its `awaited`. None: only the count.
        const FlashBusyTime* busy = nullptr;
        unsigned maxReads = UINT32_MAX;
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
    // finishes its command by itself). Reports a time-out (naming the part,
    // the operation and its maximum) and used-up reads (on standard error).
    Readiness WaitUntilReady(const ReadyWait& wait);
    // The poll spacing of a wait for `busy`: the first read when a typical
    // one is done, the others close after.
    static ReadyWait PolledWait(const FlashBusyTime& busy);
    // Waits for one page program: the 100-read bound and the time bound.
    int WaitForPage(unsigned maxReads);
    // At most `maxReads` status reads, bounded by `busy`'s time when given.
    int WaitForReads(unsigned maxReads, const FlashBusyTime* busy);
    // Before identifying: a flash still busy with what an interrupted run
    // left is waited for. false after reporting.
    bool WaitForLeftoverOperation();
    void ReportTimedOut(const FlashBusyTime& busy, double seconds) const;
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
    // Where reads end: the identified chip's size, within the 3-byte address space.
    uint64_t ReadableEnd() const;
    // Writes the image's pages (only the `wanted` ones when given, indexed
    // as the pages are written); 0 after reporting a failure.
    int ProgramPages(const std::vector<bool>* wanted);
    int FinishProgram(int result, bool dump);
    // Erases every sector from the one holding `start` to the one holding
    // `lastByte`, reporting the range from `start` on.
    int EraseThrough(uint32_t start, uint32_t lastByte);
    // `length` (at least 1) bytes from `address` with queued 64 KiB reads;
    // `afterChunk` gets the bytes still to read after each chunk.
    int ReadRange(uint32_t address, unsigned char* buffer, int length, const std::function<void(int)>& afterChunk);

    TFtdi* ftdi;
    std::vector<unsigned char> imageData;
    uint32_t offset = 0;
    int32_t chunkCount = 0;
    const FlashChip* identifiedChip = nullptr;
    IdentifyResult identifyResult = IdentifyResult::Unsupported;
    uint64_t changeCommands = 0;
    int identificationByte = -1;
    std::function<void(Phase, double)> progressObserver;
    std::function<void(const std::string&, double)> waitObserver;
};
