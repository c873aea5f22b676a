#include "device/TRom.h"

#include "base/ConsoleSink.h"
#include "base/HexText.h"
#include "base/ProgressReporter.h"
#include "device/ChangePlan.h"
#include "device/FlashChip.h"
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
constexpr unsigned kEraseReadyReads = 10000;
constexpr int32_t kProgressPages = 100;
constexpr uint64_t kBulkPollMicroseconds = 100000;
constexpr unsigned kBulkPolls = 4000; // 400 s: well past the slowest chip's maximum
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

void info(const std::string& text) { ProgressReporter::info(text); }
void error(const std::string& text) { ProgressReporter::error(text); }

// "<label><value in the hexadecimal form>\n" as one Info report.
void reportHex(const char* label, unsigned value)
{
    info(label + hexText(value) + "\n");
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
    for (unsigned read = 0; read < wait.maxReads; ++read) {
        if (ftdi->StopRequested()) {
            error(stoppedWhileBusy);
            return Readiness::Stopped;
        }
        unsigned char status = 0;
        const uint32_t onTheWire = read == 0 ? wait.firstWaitMicroseconds : wait.laterWaitMicroseconds;
        if (ftdi->MPSSE_ReadStatusAfter(onTheWire, status) && !(status & kStatusWriteInProgress))
            return Readiness::Ready;
        // The bridge is gone (already said): the flash is not to blame.
        if (ftdi->LinkLost())
            return Readiness::Lost;
        if (wait.pauseMicroseconds > 0 && read + 1 < wait.maxReads)
            ftdi->clock().sleepMicroseconds(wait.pauseMicroseconds);
    }
    return Readiness::Busy;
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

void TRom::Observe(Phase phase, double done)
{
    if (progressObserver)
        progressObserver(phase, done);
}

int TRom::CheckMemory()
{
    unsigned char id = 0;
    identificationByte = -1;
    if (!ftdi->MPSSE_ReadID(id)) {
        error("Memory access failed\n");
        return 0;
    }
    identificationByte = id;
    reportHex("Config ROM ID: ", static_cast<unsigned>(id));
    const FlashChip::Identification& identification = FlashChip::identify(id);
    info(identification.report);
    if (!identification.chip)
        return 0;
    identifiedChip = identification.chip;
    return 1;
}

const FlashChip& TRom::Geometry() const
{
    // Before any identification: no geometry at all, so that nothing can
    // erase or program.
    static const FlashChip none = [] {
        FlashChip chip;
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
uint32_t TRom::TypicalPageProgramMicroseconds() const { return Geometry().typicalPageProgramMicroseconds; }
uint32_t TRom::TypicalSectorEraseMicroseconds() const { return Geometry().typicalSectorEraseMicroseconds; }

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
    ReadyWait wait;
    wait.maxReads = maxReads;
    const Readiness readiness = WaitUntilReady(wait);
    if (readiness == Readiness::Busy)
        ConsoleSink::error("Status check (without timer) overflow\n");
    return readiness == Readiness::Ready ? 1 : 0;
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

    // Polling a sector erase back to back would only load the bus: the first
    // status read comes when a typical erase is done, the others close after.
    const uint32_t eraseTime = TypicalSectorEraseMicroseconds();
    ReadyWait wait;
    wait.maxReads = kEraseReadyReads;
    wait.firstWaitMicroseconds = std::min(eraseTime, kMaxPollWaitMicroseconds);
    wait.laterWaitMicroseconds =
        std::min(std::max(eraseTime / kLaterPollDivisor, kMinPollWaitMicroseconds), kMaxPollWaitMicroseconds);
    int result = 1;
    Observe(Phase::Erasing, 0.0);
    // 64-bit, so a range that ends near 4 GiB cannot wrap the address and loop.
    for (uint64_t address = start; address <= end; address += static_cast<uint64_t>(sectorSize)) {
        if (StopBeforeNextCommand() || !ftdi->MPSSE_EraseSector(static_cast<uint32_t>(address))) {
            result = 0;
            break;
        }
        const Readiness readiness = WaitUntilReady(wait);
        if (readiness != Readiness::Ready) {
            if (readiness == Readiness::Busy)
                ConsoleSink::error("Status check (without timer) overflow\n");
            result = 0;
            break;
        }
        Observe(Phase::Erasing, std::min(1.0, static_cast<double>(address - start + static_cast<uint64_t>(sectorSize)) /
                                                  (static_cast<double>(end - start) + 1.0)));
        const double percent = end == start ? 100.0
                                            : (static_cast<double>(address) - static_cast<double>(start)) /
                                                  (static_cast<double>(end) - static_cast<double>(start)) * 100.0;
        reportProgress(percent, false);
    }
    reportProgress(100.0, true);
    return result;
}

int TRom::EraseBulk()
{
    if (StopBeforeNextCommand() || !ftdi->MPSSE_WriteEnable() || !ftdi->MPSSE_BulkErase())
        return 0;
    // A whole-chip erase takes tens of seconds; poll until it is done.
    ReadyWait wait;
    wait.maxReads = kBulkPolls + 1;
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

int TRom::Program(bool dump)
{
    if (!ImageFits())
        return 0;

    if (!imageData.empty()) {
        // Erase the sectors from the one at `offset` to the one holding the
        // image's last byte. The erase steps from `offset` in whole sectors,
        // so an offset inside a sector needs the end moved to the same
        // position in the last sector to reach it.
        const uint32_t last = offset + static_cast<uint32_t>(imageData.size()) - 1;
        const uint32_t sector = static_cast<uint32_t>(SectorSize());
        const uint32_t reach = last / sector * sector + offset % sector;
        if (!EraseSectorAddr(offset, std::max(last, reach))) {
            error("Erase...NG\n");
            return 0;
        }
    }
    // An empty image needs no erase: nothing is sent, and the erase counts as done.
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
            error("Error, the flash could not be read\n");
            error("Program...NG\n");
            return 0;
        }
        ChangePlan plan = ChangePlan::make(offset, imageData, current, static_cast<uint32_t>(SectorSize()),
                                           static_cast<uint32_t>(PageSize()));
        using Need = ChangePlan::Need;
        info("Unchanged sectors skipped: " + std::to_string(plan.count(Need::Nothing)) + " of " +
             std::to_string(plan.sectors.size()) + "\n");
        info("Sectors programmed without erase: " + std::to_string(plan.count(Need::ProgramOnly)) + "\n");
        for (const auto& [first, last] : plan.erases) {
            if (!EraseSectorAddr(first, last)) {
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
    hooks.stopBeforeNextCommand = [this] { return StopBeforeNextCommand(); };
    hooks.waitReady = [this](unsigned maxReads) { return BusyCheck_WithoutTimer(maxReads); };
    hooks.pageDone = [&](int32_t length) {
        written += length;
        ++chunkCount;
        Observe(Phase::Programming, 1.0 - (size - written) / size);
        if (chunkCount % kProgressPages == 0)
            reportProgress((1.0 - (size - written) / size) * 100.0, false);
    };
    Observe(Phase::Programming, 0.0);
    PagePipeline pipeline(*ftdi, PageSize(), TypicalPageProgramMicroseconds(), std::move(hooks));
    return pipeline.Write(offset, imageData.data(), ImageSize(), wanted);
}

int TRom::Read(unsigned char* buffer, int length, bool dump)
{
    // A negative length shows as its 32-bit pattern, as a hex stream writes it.
    reportHex("Read size = ", static_cast<unsigned>(length));

    chunkCount = 0;
    Observe(Phase::Reading, 0.0);
    int result = (length >= 0 && (buffer || length == 0)) ? 1 : 0;
    // Addresses go out as three bytes: past 16 MiB (or the chip's end) a read
    // would wrap round and return the start of the flash as if it were there.
    const uint64_t limit = MemorySize() > 0
                               ? std::min<uint64_t>(FlashGeometry::addressSpace, static_cast<uint64_t>(MemorySize()))
                               : FlashGeometry::addressSpace;
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
