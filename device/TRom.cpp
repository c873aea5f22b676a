#include "device/TRom.h"

#include "base/ConsoleSink.h"
#include "base/HexText.h"
#include "base/ProgressReporter.h"
#include "device/ChangePlan.h"
#include "device/FlashChip.h"
#include "device/FlashRegisters.h"
#include "device/PagePipeline.h"
#include "device/TFtdi.h"
#include "device/WholeFile.h"

#include <algorithm>
#include <functional>
#include <iomanip>
#include <sstream>
#include <utility>

namespace {

constexpr uint32_t kReadChunk = 0x10000;
constexpr int32_t kProgressPages = 100;
constexpr uint64_t kBulkPollMicroseconds = 100000;
constexpr uint64_t kBusyPauseMicroseconds = 100000;
constexpr unsigned kBusyCheckReads = 2;
// Differing positions a verify hands back; the count covers them all.
constexpr size_t kKeptMismatches = 1024;
// The erase's first poll comes after the typical sector erase time, the
// later ones this fraction of it apart; no single poll waits longer than
// kMaxPollWaitMicroseconds, well inside the read time-out.
constexpr uint32_t kLaterPollDivisor = 32;
constexpr uint32_t kMaxPollWaitMicroseconds = 200000;
constexpr uint32_t kMinPollWaitMicroseconds = 100;
// A status byte of all ones has the write-in-progress bit set, but it is
// what a bus reads that nothing drives: a flash busy for real also shows
// its write-enable latch and never all the protection bits at once here.
constexpr unsigned char kNothingDrivesTheBus = 0xFF;
// The diagnosis's raw reads: JEDEC identification, the SFDP table (JESD216:
// three address bytes, eight dummy clocks) and the Spansion bank register.
constexpr unsigned char kReadIdentification = 0x9F;
constexpr unsigned char kReadSfdp = 0x5A;
constexpr unsigned char kReadBankRegister = 0x16;
constexpr uint32_t kMaxRawRead = 256;

void info(const std::string& text) { ProgressReporter::info(text); }
void error(const std::string& text) { ProgressReporter::error(text); }

// "<label><value in the hexadecimal form>\n" as one Info report.
void reportHex(const char* label, unsigned value)
{
    info(label + hexText(value) + "\n");
}

// A time as a message shows it: "1.8 ms", "0.65 s", "3.0 s".
std::string duration(double seconds, bool oneDecimal)
{
    const bool milliseconds = seconds < 0.1;
    std::ostringstream s;
    if (oneDecimal)
        s << std::fixed << std::setprecision(1);
    s << (milliseconds ? seconds * 1000.0 : seconds) << (milliseconds ? " ms" : " s");
    return s.str();
}

void reportProgress(double percent, bool last)
{
    std::ostringstream s;
    s << "\rProgress: " << std::fixed << std::setprecision(1) << percent << (last ? "%\n" : "%");
    info(s.str());
}

} // namespace

const char TRom::stoppedBetweenCommands[] = "Stopped on request before the next flash command\n";
const char TRom::stoppedWhileBusy[] =
    "Stopped on request while the flash was busy; it finishes the command under way by itself\n";

TRom::TRom(TFtdi* ftdi) : ftdi(ftdi) {}

TRom::Readiness TRom::WaitUntilReady(const ReadyWait& wait)
{
    Clock& clock = ftdi->clock();
    const auto start = clock.now();
    const double bound = wait.busy ? busyMargin * wait.busy->maximumMicroseconds / 1e6 : 0.0;
    bool shown = false;
    Readiness readiness = Readiness::Busy;
    for (unsigned read = 0; read < wait.maxReads; ++read) {
        if (ftdi->StopRequested()) {
            error(stoppedWhileBusy);
            readiness = Readiness::Stopped;
            break;
        }
        unsigned char status = 0;
        const uint32_t onTheWire = read == 0 ? wait.firstWaitMicroseconds : wait.laterWaitMicroseconds;
        if (ftdi->MPSSE_ReadStatusAfter(onTheWire, status) && !(status & kStatusWriteInProgress)) {
            readiness = Readiness::Ready;
            break;
        }
        // The bridge is gone: the flash is not to blame.
        if (ftdi->LinkLost()) {
            readiness = Readiness::Lost;
            break;
        }
        if (wait.busy) {
            const double waited = clock.secondsSince(start);
            if (waitObserver) {
                waitObserver(wait.busy->awaited, waited);
                shown = true;
            }
            if (waited >= bound) {
                ReportTimedOut(*wait.busy, waited);
                readiness = Readiness::TimedOut;
                break;
            }
        }
        if (wait.pauseMicroseconds > 0 && read + 1 < wait.maxReads)
            clock.sleepMicroseconds(wait.pauseMicroseconds);
    }
    if (shown)
        waitObserver(std::string(), clock.secondsSince(start));
    return readiness;
}

void TRom::ReportTimedOut(const FlashBusyTime& busy, double seconds) const
{
    const std::string flash = identifiedChip ? std::string("The ") + identifiedChip->name + " flash" : "The flash";
    error(flash + " was still busy " + duration(seconds, true) + " after " + busy.operation + " (datasheet maximum " +
          duration(busy.maximumMicroseconds / 1e6, false) + ")\n");
}

TRom::ReadyWait TRom::PolledWait(const FlashBusyTime& busy)
{
    ReadyWait wait;
    wait.busy = &busy;
    wait.firstWaitMicroseconds = std::min(busy.typicalMicroseconds, kMaxPollWaitMicroseconds);
    wait.laterWaitMicroseconds = std::min(std::max(busy.typicalMicroseconds / kLaterPollDivisor, kMinPollWaitMicroseconds),
                                          kMaxPollWaitMicroseconds);
    return wait;
}

bool TRom::StopBeforeNextCommand()
{
    if (!ftdi->StopRequested())
        return false;
    error(stoppedBetweenCommands);
    return true;
}

void TRom::SetProgressObserver(std::function<void(Phase, double)> observer)
{
    progressObserver = std::move(observer);
}

void TRom::SetWaitObserver(std::function<void(const std::string&, double)> observer)
{
    waitObserver = std::move(observer);
}

void TRom::Observe(Phase phase, double done)
{
    if (progressObserver)
        progressObserver(phase, done);
}

int TRom::CheckMemory()
{
    identifyResult = IdentifyResult::ReadFailed;
    identificationByte = -1;
    // A busy flash ignores the identification command and would read as a
    // mute one: an erase an unplugged run left goes on for up to a second.
    if (!WaitForLeftoverOperation())
        return 0;
    unsigned char id = 0;
    if (!ftdi->MPSSE_ReadID(id)) {
        error("Memory access failed\n");
        return 0;
    }
    identificationByte = id;
    reportHex("Config ROM ID: ", static_cast<unsigned>(id));
    const FlashChip::Identification& identification = FlashChip::identify(id);
    info(identification.report);
    identifyResult = identification.chip ? IdentifyResult::Identified : IdentifyResult::Unsupported;
    if (!identification.chip)
        return 0;
    identifiedChip = identification.chip;
    return 1;
}

bool TRom::WaitForLeftoverOperation()
{
    unsigned char status = 0;
    if (!ftdi->MPSSE_ReadStatus(status)) {
        error("Memory access failed\n");
        return false;
    }
    if (status == kNothingDrivesTheBus || !(status & kStatusWriteInProgress))
        return true;
    // An interrupted run of the loader leaves at most a sector erase going.
    FlashBusyTime leftover = FlashChip::slowest().sectorErase;
    leftover.operation = "it was found busy, longer than a sector erase takes";
    leftover.awaited = "Waiting for the flash to finish what an interrupted run left";
    info("The flash is busy, probably finishing an erase an interrupted run left; waiting for it\n");
    ReadyWait wait = PolledWait(leftover);
    wait.firstWaitMicroseconds = wait.laterWaitMicroseconds;
    switch (WaitUntilReady(wait)) {
    case Readiness::Ready:
        return true;
    case Readiness::TimedOut:
        error("An erase of the whole chip takes minutes: try again later\n");
        identifyResult = IdentifyResult::StillBusy;
        return false;
    default:
        return false;
    }
}

const FlashChip& TRom::Geometry() const
{
    // Before any identification: no geometry at all, so that nothing can
    // erase or program, and waits bounded by the slowest part.
    static const FlashChip none = [] {
        FlashChip chip = FlashChip::slowest();
        chip.pageSize = 0;
        chip.sectorSize = 0;
        return chip;
    }();
    return identifiedChip ? *identifiedChip : none;
}

uint8_t TRom::CapacityCode() const { return Geometry().capacityCode; }
int32_t TRom::PageSize() const { return Geometry().pageSize; }
int32_t TRom::SectorSize() const { return Geometry().sectorSize; }
int32_t TRom::MemorySize() const { return Geometry().memorySize; }
int32_t TRom::SectorCount() const { return Geometry().sectorCount(); }

bool TRom::HasFlagStatus() const
{
    return !identifiedChip || identifiedChip->hasFlagStatus;
}

bool TRom::HasNvcr() const
{
    return !identifiedChip || identifiedChip->hasNvcr;
}

bool TRom::RefuseMissingRegister(bool present, const char* which)
{
    if (present)
        return false;
    error(std::string("Error, the ") + identifiedChip->name + " has no " + which + "\n");
    return true;
}

int TRom::ReportRegister(int32_t (TFtdi::*read)(unsigned char&), const char* label)
{
    unsigned char value = 0;
    if (!(ftdi->*read)(value))
        return 0;
    reportHex(label, static_cast<unsigned>(value));
    return 1;
}

int TRom::CheckStatus()
{
    return ReportRegister(&TFtdi::MPSSE_ReadStatus, "Status = ");
}

int TRom::CheckFlagStatus()
{
    if (RefuseMissingRegister(HasFlagStatus(), "flag status register"))
        return 0;
    return ReportRegister(&TFtdi::MPSSE_ReadFlagStatus, "Flag Status = ");
}

int TRom::BusyCheck()
{
    ReadyWait wait;
    wait.maxReads = kBusyCheckReads;
    wait.pauseMicroseconds = kBusyPauseMicroseconds;
    return WaitUntilReady(wait) == Readiness::Ready ? 1 : 0;
}

int TRom::BusyCheck_WithoutTimer(unsigned int maxReads)
{
    return WaitForReads(maxReads, nullptr);
}

int TRom::WaitForPage(unsigned maxReads)
{
    return WaitForReads(maxReads, &Geometry().pageProgram);
}

int TRom::WaitForReads(unsigned maxReads, const FlashBusyTime* busy)
{
    ReadyWait wait;
    wait.busy = busy;
    wait.maxReads = maxReads;
    const Readiness readiness = WaitUntilReady(wait);
    if (readiness == Readiness::Busy)
        ConsoleSink::error("Status check (without timer) overflow\n");
    return readiness == Readiness::Ready ? 1 : 0;
}

int TRom::WaitAfterRegisterWrite()
{
    ReadyWait wait = PolledWait(Geometry().registerWrite);
    return WaitUntilReady(wait) == Readiness::Ready ? 1 : 0;
}

int TRom::NVCRRead(unsigned short& value)
{
    if (RefuseMissingRegister(HasNvcr(), "non-volatile configuration register"))
        return 0;
    unsigned char bytes[2] = {0, 0};
    if (!ftdi->MPSSE_NVCRRead(bytes)) {
        error("NVCR Read Failure\n");
        return 0;
    }
    value = static_cast<unsigned short>(bytes[0] + 256 * bytes[1]);
    reportHex("NVCR Read Value : ", value);
    return 1;
}

int TRom::NVCRWrite(unsigned short value)
{
    if (RefuseMissingRegister(HasNvcr(), "non-volatile configuration register"))
        return 0;
    if (!ftdi->MPSSE_NVCRWrite(static_cast<unsigned char>(value >> 8), static_cast<unsigned char>(value & 0xFF))) {
        error("NVCR Write Failure\n");
        return 0;
    }
    reportHex("NVCR is written with : ", value);
    return 1;
}

int TRom::EraseSectorAddr(uint32_t start, uint32_t end)
{
    const int32_t sectorSize = SectorSize();
    if (sectorSize <= 0) {
        // Without a sector size the loop would never advance.
        error("Error, no flash chip identified: cannot erase\n");
        return 0;
    }

    info("Erase Sector address " + hexText(start) + " to " + hexText(end) + "\n");
    info("Erasing...\n");

    // Polling a sector erase back to back would only load the bus.
    const ReadyWait wait = PolledWait(Geometry().sectorErase);
    int result = 1;
    double shown = -1.0; // the progress printed last; none yet
    Observe(Phase::Erasing, 0.0);
    // 64-bit, so a range that ends near 4 GiB cannot wrap the address and loop.
    for (uint64_t address = start; address <= end; address += static_cast<uint64_t>(sectorSize)) {
        if (StopBeforeNextCommand()) {
            result = 0;
            break;
        }
        ++changeCommands;
        if (!ftdi->MPSSE_EraseSector(static_cast<uint32_t>(address)) || WaitUntilReady(wait) != Readiness::Ready) {
            result = 0;
            break;
        }
        Observe(Phase::Erasing, std::min(1.0, static_cast<double>(address - start + static_cast<uint64_t>(sectorSize)) /
                                                  (static_cast<double>(end - start) + 1.0)));
        const double percent = end == start ? 100.0
                                            : (static_cast<double>(address) - static_cast<double>(start)) /
                                                  (static_cast<double>(end) - static_cast<double>(start)) * 100.0;
        reportProgress(percent, false);
        shown = percent;
    }
    // A failed or stopped erase ends its progress line where it stood.
    if (result)
        reportProgress(100.0, true);
    else if (shown >= 0.0)
        reportProgress(shown, true);
    return result;
}

int TRom::EraseBulk()
{
    if (StopBeforeNextCommand())
        return 0;
    ++changeCommands;
    if (!ftdi->MPSSE_WriteEnable() || !ftdi->MPSSE_BulkErase())
        return 0;
    // A whole-chip erase takes tens of seconds: a poll every 100 ms is plenty.
    ReadyWait wait;
    wait.busy = &Geometry().bulkErase;
    wait.pauseMicroseconds = kBulkPollMicroseconds;
    return WaitUntilReady(wait) == Readiness::Ready ? 1 : 0;
}

int TRom::SetOffset(uint32_t newOffset)
{
    offset = newOffset;
    return 1;
}

int TRom::FileOpen(std::string fileName)
{
    WholeFile file;
    const WholeFile::Status opened = file.open(fileName);
    if (opened != WholeFile::Ok) {
        error(WholeFile::failure(opened, fileName));
        return 0;
    }
    if (!FitsTheImageLimit(file.size()))
        return 0;
    // A failed or short read leaves the image loaded before, so nothing can
    // later write half a file.
    std::vector<unsigned char> data;
    const WholeFile::Status read = file.readInto(data);
    if (read != WholeFile::Ok) {
        error(WholeFile::failure(read, fileName));
        return 0;
    }
    TakeImage(data);
    return 1;
}

int TRom::SetImage(std::vector<unsigned char> data)
{
    if (!FitsTheImageLimit(data.size()))
        return 0;
    TakeImage(data);
    return 1;
}

bool TRom::FitsTheImageLimit(uint64_t size)
{
    if (static_cast<uint64_t>(offset) + size <= FlashGeometry::imageLimit)
        return true;
    error("Error, file is too large: " + std::to_string(size) + " bytes\n");
    return false;
}

void TRom::TakeImage(std::vector<unsigned char>& data)
{
    imageData.swap(data);
    info("File read successfully. Size: " + std::to_string(imageData.size()) + " bytes\n");
}

bool TRom::ImageFits()
{
    if (PageSize() <= 0 || SectorSize() <= 0) {
        error("Error, no flash chip identified: cannot program\n");
        return false;
    }
    // Addresses go out as three bytes: an image past the chip's end or past
    // 16 MiB would wrap round onto the start of the flash.
    const uint64_t imageEnd = static_cast<uint64_t>(offset) + imageData.size();
    const uint64_t limit = std::min<uint64_t>(FlashGeometry::addressSpace, static_cast<uint64_t>(MemorySize()));
    if (imageEnd > limit) {
        error("Error, image does not fit into the flash: it ends at " + hexText(imageEnd) + ", the flash ends at " +
              hexText(limit) + "\n");
        error("Program...NG\n");
        return false;
    }
    return true;
}

int TRom::EraseThrough(uint32_t start, uint32_t lastByte)
{
    // The erase steps from `start` in whole sectors, so a start inside a
    // sector needs the end moved to the same position in the last sector to
    // reach it.
    const uint32_t sector = static_cast<uint32_t>(SectorSize());
    const uint32_t reach = lastByte / sector * sector + start % sector;
    return EraseSectorAddr(start, std::max(lastByte, reach));
}

int TRom::Program(bool dump)
{
    if (!ImageFits())
        return 0;

    // Erase the sectors from the one at `offset` to the one holding the
    // image's last byte. An empty image needs no erase: nothing is sent, and
    // the erase counts as done.
    if (!imageData.empty() && !EraseThrough(offset, offset + static_cast<uint32_t>(imageData.size()) - 1)) {
        error("Erase...NG\n");
        return 0;
    }
    info("Erase...OK\n");
    info("Programming...\n");
    return FinishProgram(ProgramPages(nullptr), dump);
}

int TRom::FinishProgram(int result, bool dump)
{
    if (result) {
        Observe(Phase::Programming, 1.0);
        reportProgress(100.0, true);
        chunkCount = 0;
        info("Program...OK\n");
    } else {
        error("Program...NG\n");
    }
    if (dump)
        info("Dump not supported yet...\n");
    return result;
}

int TRom::ProgramChanged(bool dump)
{
    if (!ImageFits())
        return 0;
    std::vector<bool> wanted;
    if (!imageData.empty()) {
        info("Comparing the flash with the image...\n");
        std::vector<unsigned char> current(imageData.size());
        if (!ReadRange(offset, current.data(), ImageSize(), nullptr)) {
            // Nothing was sent that changes the flash.
            error("Error, the flash could not be read to compare it with the image\n");
            return 0;
        }
        ChangePlan plan = ChangePlan::make(offset, imageData, current, static_cast<uint32_t>(SectorSize()),
                                           static_cast<uint32_t>(PageSize()));
        using Need = ChangePlan::Need;
        info("Unchanged sectors skipped: " + std::to_string(plan.count(Need::Nothing)) + " of " +
             std::to_string(plan.sectors.size()) + "\n");
        info("Sectors programmed without erase: " + std::to_string(plan.count(Need::ProgramOnly)) + "\n");
        // Each run of sectors as a plain write would show it: from its first
        // image byte to its last.
        const uint32_t imageLast = offset + static_cast<uint32_t>(imageData.size()) - 1;
        const uint32_t sector = static_cast<uint32_t>(SectorSize());
        for (const auto& [first, last] : plan.erases) {
            if (!EraseThrough(std::max(first, offset), std::min(last + (sector - 1), imageLast))) {
                error("Erase...NG\n");
                return 0;
            }
        }
        wanted = std::move(plan.pages);
    }
    info("Erase...OK\n");
    info("Programming...\n");
    return FinishProgram(ProgramPages(&wanted), dump);
}

int TRom::ProgramPages(const std::vector<bool>* wanted)
{
    chunkCount = 0;
    const double size = static_cast<double>(imageData.size());
    double written = 0;
    PagePipeline::Hooks hooks;
    hooks.stopBeforeNextCommand = [this] {
        if (StopBeforeNextCommand())
            return true;
        ++changeCommands; // pages go out next
        return false;
    };
    hooks.waitReady = [this](unsigned maxReads) { return WaitForPage(maxReads); };
    hooks.pageDone = [&](int32_t length) {
        written += length;
        ++chunkCount;
        if (chunkCount % kProgressPages == 0)
            reportProgress((1.0 - (size - written) / size) * 100.0, false);
    };
    hooks.batchDone = [&] { Observe(Phase::Programming, 1.0 - (size - written) / size); };
    Observe(Phase::Programming, 0.0);
    PagePipeline pipeline(*ftdi, PageSize(), Geometry().pageProgram.typicalMicroseconds, std::move(hooks));
    return pipeline.Write(offset, imageData.data(), ImageSize(), wanted);
}

int TRom::Read(unsigned char* buffer, int length, bool dump)
{
    // A negative length shows as its 32-bit pattern, as a hex stream writes it.
    reportHex("Read size = ", static_cast<unsigned>(length));

    chunkCount = 0;
    Observe(Phase::Reading, 0.0);
    int result = (length >= 0 && (buffer || length == 0)) ? 1 : 0;
    const uint64_t limit = ReadableEnd();
    const uint64_t end = static_cast<uint64_t>(offset) + static_cast<uint64_t>(std::max(length, 0));
    if (result && length > 0 && end > limit) {
        error("Error, the read does not fit into the flash: it ends at " + hexText(end) + ", the flash ends at " +
              hexText(limit) + "\n");
        result = 0;
    }
    if (result && length > 0) {
        result = ReadRange(offset, buffer, length, [this, length](int remaining) {
            ++chunkCount;
            Observe(Phase::Reading, 1.0 - static_cast<double>(remaining) / static_cast<double>(length));
            info("progress = " + std::to_string(chunkCount) + "remain = " + std::to_string(remaining) + "\n");
        });
    }

    if (dump)
        info("Dump not supported yet...\n");
    if (result)
        info("Read...OK\n");
    else
        error("Read...NG\n");
    chunkCount = 0;
    return result;
}

uint64_t TRom::ReadableEnd() const
{
    // Addresses go out as three bytes: past 16 MiB (or the chip's end) a read
    // would wrap round and return the start of the flash as if it were there.
    return MemorySize() > 0 ? std::min<uint64_t>(FlashGeometry::addressSpace, static_cast<uint64_t>(MemorySize()))
                            : FlashGeometry::addressSpace;
}

int TRom::ReadAt(uint32_t address, unsigned char* buffer, int length)
{
    if (length <= 0 || !buffer)
        return length == 0 ? 1 : 0;
    if (static_cast<uint64_t>(address) + static_cast<uint64_t>(length) > ReadableEnd())
        return 0;
    return ReadRange(address, buffer, length, nullptr);
}

int TRom::ReadRange(uint32_t address, unsigned char* buffer, int length, const std::function<void(int)>& afterChunk)
{
    int remaining = length;
    unsigned char* position = buffer;
    // The next chunk's command goes out before the previous reply is read, so
    // the bridge is already clocking it in while the host takes the reply.
    uint32_t sendAddress = address;
    int unsent = remaining;
    const auto sendNext = [&]() {
        if (unsent == 0)
            return true;
        const int chunk = std::min<int>(unsent, static_cast<int>(kReadChunk));
        if (!ftdi->MPSSE_ReadDataBytesSend(sendAddress, chunk))
            return false;
        sendAddress += static_cast<uint32_t>(chunk);
        unsent -= chunk;
        return true;
    };
    if (StopBeforeNextCommand() || !sendNext())
        return 0;
    while (remaining > 0) {
        const int chunk = std::min<int>(remaining, static_cast<int>(kReadChunk));
        const bool go = unsent == 0 || !StopBeforeNextCommand();
        const bool sent = go && sendNext();
        // Even when the next command does not go out, the reply on its way is
        // taken off the queue.
        if (!ftdi->MPSSE_ReadDataBytesReceive(position, chunk) || !sent)
            return 0;
        remaining -= chunk;
        position += chunk;
        if (afterChunk)
            afterChunk(remaining);
    }
    return 1;
}

int TRom::Verify()
{
    VerifyResult result;
    return Verify(result, UINT64_MAX);
}

int TRom::Verify(VerifyResult& outcome, uint64_t reportedMismatches)
{
    outcome = VerifyResult();
    std::vector<unsigned char> readBack;
    const int32_t size = ImageSize();
    try {
        readBack.resize(static_cast<size_t>(size));
    } catch (const std::exception&) {
        error("Verify failed: out of memory\n");
        return 0;
    }
    if (!Read(readBack.data(), size, false))
        return 0;
    outcome.readOk = true;

    for (int32_t i = 0; i < size; ++i) {
        if (imageData[static_cast<size_t>(i)] != readBack[static_cast<size_t>(i)]) {
            if (outcome.firstMismatches.size() < kKeptMismatches)
                outcome.firstMismatches.push_back(static_cast<uint32_t>(i));
            if (outcome.mismatchCount++ < reportedMismatches)
                error("Verify failed on point: " + std::to_string(i) + "\n");
        }
    }
    return outcome.mismatchCount == 0 ? 1 : 0;
}

int TRom::EraseSectorNum(int /*sector*/)
{
    return 0;
}

void TRom::ConvertRBF(unsigned char* out, unsigned char* in)
{
    if (!out || !in)
        return;
    for (size_t i = 0; i < imageData.size(); ++i) {
        unsigned char b = in[i];
        unsigned char r = 0;
        for (int bit = 0; bit < 8; ++bit)
            r = static_cast<unsigned char>(r | (((b >> bit) & 1u) << (7 - bit)));
        out[i] = r;
    }
}

void TRom::Dump(std::string /*fileName*/, unsigned char* /*data*/, int /*length*/) {}

int TRom::ReadIdentification(unsigned char* bytes, uint32_t count)
{
    if (!bytes || count < 1 || count > kMaxRawRead)
        return 0;
    return ftdi->MPSSE_Transfer(TFtdi::SpiCommand(kReadIdentification).reading(count).flushed(), bytes);
}

int TRom::ReadSfdp(const FlashChip& chip, uint32_t address, unsigned char* bytes, uint32_t count)
{
    if (!chip.hasSfdp || !bytes || count < 1 || count > kMaxRawRead)
        return 0;
    const unsigned char dummy = 0;
    return ftdi->MPSSE_Transfer(
        TFtdi::SpiCommand(kReadSfdp).at(address).sending(&dummy, 1).reading(count).flushed(), bytes);
}

int TRom::ReadRegisters(const FlashChip& chip, FlashRegisters& registers)
{
    registers = FlashRegisters();
    if (!ftdi->MPSSE_ReadStatus(registers.status))
        return 0;
    unsigned char byte = 0;
    if (chip.hasFlagStatus) {
        if (!ftdi->MPSSE_ReadFlagStatus(byte))
            return 0;
        registers.flagStatus = byte;
    }
    if (chip.hasNvcr) {
        unsigned char nvcr[2] = {0, 0};
        if (!ftdi->MPSSE_NVCRRead(nvcr))
            return 0;
        registers.nvcr = static_cast<uint16_t>(nvcr[0] | nvcr[1] << 8);
    }
    if (chip.hasBankRegister) {
        if (!ftdi->MPSSE_Transfer(TFtdi::SpiCommand(kReadBankRegister).reading(1).flushed(), &byte))
            return 0;
        registers.bank = byte;
    }
    return 1;
}

