#include "device/TRom.h"

#include "device/TFtdi.h"
#include "device/WholeFile.h"
#include "base/ConsoleSink.h"
#include "base/HexText.h"
#include "base/ProgressReporter.h"

#include <algorithm>
#include <filesystem>
#include <functional>
#include <iomanip>
#include <sstream>

// What the identification byte (the JEDEC capacity code) tells about the chip.
struct TRom::ChipRow
{
    uint8_t id;
    const char* report;
    bool identified; // false: geometry left alone, result 0
    uint8_t capacityCode;
    int32_t pageSize;
    int32_t sectorSize;
    int32_t memorySize;
    int32_t sectorCount;
    const char* name;   // for messages about the part
    bool hasFlagStatus; // 0x70
    bool hasNvcr;       // 0xB5 / 0xB1
    // Datasheet typical times: the programming and erase loops space their
    // status reads by them.
    uint32_t pageProgramMicroseconds;
    uint32_t sectorEraseMicroseconds;
};

namespace {

using ChipRow = TRom::ChipRow;

const char kFlashCorrupted[] =
    "Flash corrupted!\n"
    "Please do the following:\n"
    "- Ground pin 13 of the SPI connector (EXT_RESET) to the chassis\n"
    "- Re-launch this program or click refresh devices\n"
    "- Verify that a valid device is reported below \"Config ROM ID\"\n"
    "- Program the flash\n"
    "- After programming, disconnect the line to EXT_RESET and power cycle\n";

// The Micron parts have the flag status and non-volatile configuration
// registers; the Spansion part has neither (its 0x70 reads a floating line).
const ChipRow kChips[] = {
    {0x18, "MT25Q128 is detected\n", true, 0x18, 256, 65536, 0x1000000, 256, "MT25Q128", true, true, 120, 150000},
    {0x0C, "Arty detected\n", true, 0x18, 256, 65536, 0x1000000, 256, "MT25Q128", true, true, 120, 150000},
    {0x19, "S25FL256 is detected\n", true, 0x19, 256, 65536, 0x2000000, 512, "S25FL256", false, false, 250, 130000},
    // A bus with nothing driving MISO reads all ones.
    {0xFF, kFlashCorrupted, false, 0, 0, 0, 0, 0, "", false, false, 0, 0},
};
const ChipRow kUnknownChip = {0, "Unknown memory is detected\n", false, 0, 0, 0, 0, 0, "", false, false, 0, 0};

constexpr uint64_t kFileLimit = 0x2000000;    // offset + file size may not pass this
constexpr uint64_t kAddressSpace = 0x1000000; // three address bytes reach this far
constexpr uint32_t kReadChunk = 0x10000;
constexpr unsigned kEraseReadyReads = 10000;
constexpr unsigned kPageReadyReads = 100;
constexpr int32_t kProgressPages = 100;
constexpr uint64_t kBulkPollMicroseconds = 100000;
constexpr unsigned kBulkPolls = 4000; // 400 s: well past the slowest chip's maximum
constexpr uint64_t kBusyPauseMicroseconds = 100000;
constexpr unsigned kBusyCheckReads = 2;
// Differing positions a verify hands back; the count covers them all.
constexpr size_t kKeptMismatches = 1024;
// Status register bit 0: a program, erase or register write is still going.
constexpr unsigned char kStatusWriteInProgress = 0x01;
// Pipelined programming: pages per USB write start at one and double up to
// this after every batch that found each page ready in time.
constexpr size_t kMaxPipelinedPages = 128;
// A page found busy at its pipelined status read stretches the wait of the
// pages after it by a quarter, up to this many typical page times.
constexpr uint32_t kMaxPageWaitFactor = 16;
// The erase's first poll comes after the typical sector erase time, the
// later ones this fraction of it apart; no single poll waits longer than
// kMaxPollWaitMicroseconds, well inside the read time-out.
constexpr uint32_t kLaterPollDivisor = 32;
constexpr uint32_t kMaxPollWaitMicroseconds = 200000;
constexpr uint32_t kMinPollWaitMicroseconds = 100;

// Every report starts from a fresh stream with the base shown, so hex numbers
// read 0x.. and zero reads 0.
std::stringstream message()
{
    std::stringstream s;
    s.setf(std::ios::showbase);
    return s;
}

void report(ProgressReporter::MessageType type, const std::stringstream& s)
{
    ProgressReporter::getInstance().reportMessage(type, s.str());
}

void info(const std::string& text) { ProgressReporter::info(text); }
void error(const std::string& text) { ProgressReporter::error(text); }

// "<label><value in the hexadecimal form>\n" as one Info report.
void reportHex(const char* label, unsigned value)
{
    info(label + hexText(value) + "\n");
}

void reportProgress(double percent, bool last)
{
    auto s = message();
    s << "\rProgress: " << std::fixed << std::setprecision(1) << percent << (last ? "%\n" : "%");
    report(ProgressReporter::Info, s);
}

} // namespace

const char TRom::stoppedBetweenCommands[] = "Stopped on request before the next flash command\n";
const char TRom::stoppedWhileBusy[] =
    "Stopped on request while the flash was busy; it finishes the command under way by itself\n";

TRom::TRom(TFtdi* ftdi) : ftdi(ftdi) {}

TRom::Readiness TRom::WaitUntilReady(unsigned maxReads, uint64_t pauseMicroseconds)
{
    for (unsigned read = 0; read < maxReads; ++read) {
        if (ftdi->StopRequested()) {
            error(stoppedWhileBusy);
            return Readiness::Stopped;
        }
        unsigned char status = 0;
        if (ftdi->MPSSE_ReadStatus(status) && !(status & kStatusWriteInProgress))
            return Readiness::Ready;
        // The bridge is gone (already said): the flash is not to blame.
        if (ftdi->LinkLost())
            return Readiness::Lost;
        if (pauseMicroseconds > 0 && read + 1 < maxReads)
            ftdi->clock().sleepMicroseconds(pauseMicroseconds);
    }
    return Readiness::Busy;
}

// The wait runs on the wire (see TFtdi::MPSSE_ReadStatusAfter), so no USB
// exchange is spent on polls that could only answer busy.
TRom::Readiness TRom::WaitReadySpaced(uint32_t firstWait, uint32_t laterWait, unsigned int maxReads)
{
    for (unsigned int read = 0; read < maxReads; ++read) {
        if (ftdi->StopRequested()) {
            error(stoppedWhileBusy);
            return Readiness::Stopped;
        }
        unsigned char status = 0;
        if (ftdi->MPSSE_ReadStatusAfter(read == 0 ? firstWait : laterWait, status) &&
            !(status & kStatusWriteInProgress))
            return Readiness::Ready;
        if (ftdi->LinkLost())
            return Readiness::Lost;
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

void TRom::Observe(Phase phase, double done)
{
    if (progressObserver)
        progressObserver(phase, done);
}

int TRom::CheckMemory()
{
    unsigned char id = 0;
    if (!ftdi->MPSSE_ReadID(id)) {
        error("Memory access failed\n");
        return 0;
    }
    reportHex("Config ROM ID: ", static_cast<unsigned>(id));

    const ChipRow* row = &kUnknownChip;
    for (const ChipRow& chip : kChips)
        if (chip.id == id)
            row = &chip;
    info(row->report);
    if (!row->identified)
        return 0;
    identifiedChip = row;
    capacityCode = row->capacityCode;
    pageSize = row->pageSize;
    sectorSize = row->sectorSize;
    memorySize = row->memorySize;
    sectorCount = row->sectorCount;
    return 1;
}

int TRom::CheckStatus()
{
    unsigned char status = 0;
    if (!ftdi->MPSSE_ReadStatus(status))
        return 0;
    reportHex("Status = ", static_cast<unsigned>(status));
    return 1;
}

bool TRom::HasFlagStatus() const
{
    return !identifiedChip || identifiedChip->hasFlagStatus;
}

uint32_t TRom::TypicalPageProgramMicroseconds() const
{
    return identifiedChip ? identifiedChip->pageProgramMicroseconds : 0;
}

uint32_t TRom::TypicalSectorEraseMicroseconds() const
{
    return identifiedChip ? identifiedChip->sectorEraseMicroseconds : 0;
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

int TRom::CheckFlagStatus()
{
    if (RefuseMissingRegister(HasFlagStatus(), "flag status register"))
        return 0;
    unsigned char flags = 0;
    if (!ftdi->MPSSE_ReadFlagStatus(flags))
        return 0;
    reportHex("Flag Status = ", static_cast<unsigned>(flags));
    return 1;
}

int TRom::BusyCheck()
{
    return WaitUntilReady(kBusyCheckReads, kBusyPauseMicroseconds) == Readiness::Ready ? 1 : 0;
}

int TRom::BusyCheck_WithoutTimer(unsigned int maxReads)
{
    const Readiness readiness = WaitUntilReady(maxReads, 0);
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
    const uint32_t firstPoll = std::min(eraseTime, kMaxPollWaitMicroseconds);
    const uint32_t laterPolls =
        std::min(std::max(eraseTime / kLaterPollDivisor, kMinPollWaitMicroseconds), kMaxPollWaitMicroseconds);
    int result = 1;
    Observe(Phase::Erasing, 0.0);
    // 64-bit, so a range that ends near 4 GiB cannot wrap the address and loop.
    for (uint64_t address = start; address <= end; address += static_cast<uint64_t>(sectorSize)) {
        if (StopBeforeNextCommand() || !ftdi->MPSSE_EraseSector(static_cast<uint32_t>(address))) {
            result = 0;
            break;
        }
        const Readiness readiness = WaitReadySpaced(firstPoll, laterPolls, kEraseReadyReads);
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
    return WaitUntilReady(kBulkPolls + 1, kBulkPollMicroseconds) == Readiness::Ready ? 1 : 0;
}

int TRom::EraseSectorNum(int /*sector*/)
{
    return 0;
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
    if (opened == WholeFile::OpenFailed) {
        error("Error opening file for reading: " + fileName + "\n");
        return 0;
    }
    if (opened != WholeFile::Ok) {
        error("Error reading file!\n");
        return 0;
    }
    if (!FitsTheImageLimit(file.size()))
        return 0;
    // A failed or short read leaves the image loaded before, so nothing can
    // later write half a file.
    std::vector<unsigned char> data;
    if (file.readInto(data) != WholeFile::Ok) {
        error("Error reading file!\n");
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
    if (static_cast<uint64_t>(offset) + size <= kFileLimit)
        return true;
    error("Error, file is too large: " + std::to_string(size) + " bytes\n");
    return false;
}

void TRom::TakeImage(std::vector<unsigned char>& data)
{
    imageData.swap(data);
    imageSize = static_cast<int32_t>(imageData.size());
    info("File read successfully. Size: " + std::to_string(imageSize) + " bytes\n");
}

bool TRom::ImageFits()
{
    if (pageSize <= 0 || sectorSize <= 0) {
        error("Error, no flash chip identified: cannot program\n");
        return false;
    }

    // Addresses go out as three bytes: an image past the chip's end or past
    // 16 MiB would wrap round onto the start of the flash.
    const uint64_t imageEnd = static_cast<uint64_t>(offset) + static_cast<uint64_t>(std::max<int32_t>(imageSize, 0));
    const uint64_t limit = std::min<uint64_t>(kAddressSpace, static_cast<uint64_t>(std::max<int32_t>(memorySize, 0)));
    if (imageSize < 0 || static_cast<size_t>(imageSize) != imageData.size()) {
        error("Error, image size does not match the loaded data\n");
        error("Program...NG\n");
        return false;
    }
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

    if (imageSize > 0) {
        // Erase the sectors from the one at `offset` to the one holding the
        // image's last byte. The erase steps from `offset` in whole sectors,
        // so an offset inside a sector needs the end moved to the same
        // position in the last sector to reach it.
        const uint32_t last = offset + static_cast<uint32_t>(imageSize) - 1;
        const uint32_t sector = static_cast<uint32_t>(sectorSize);
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
    if (imageSize > 0) {
        info("Comparing the flash with the image...\n");
        std::vector<unsigned char> current(static_cast<size_t>(imageSize));
        if (!ReadRange(offset, current.data(), imageSize, nullptr)) {
            error("Error, the flash could not be read\n");
            error("Program...NG\n");
            return 0;
        }

        // Per sector: already the image, reachable by programming alone (it
        // only clears bits), or in need of an erase.
        enum Need { Nothing, ProgramOnly, Erase };
        const uint32_t sector = static_cast<uint32_t>(sectorSize);
        const uint32_t firstSector = offset / sector;
        const uint64_t end = static_cast<uint64_t>(offset) + static_cast<uint64_t>(imageSize);
        const uint32_t sectors = static_cast<uint32_t>((end - 1) / sector - firstSector + 1);
        std::vector<Need> needs(sectors, Nothing);
        for (uint32_t i = 0; i < sectors; ++i) {
            const uint64_t from = std::max<uint64_t>(offset, uint64_t(firstSector + i) * sector) - offset;
            const uint64_t to = std::min<uint64_t>(end, uint64_t(firstSector + i + 1) * sector) - offset;
            for (uint64_t k = from; k < to && needs[i] != Erase; ++k) {
                const unsigned char want = imageData[k], have = current[k];
                if (want != have)
                    needs[i] = (want & ~have) ? Erase : ProgramOnly;
            }
        }
        const auto count = [&](Need need) { return std::count(needs.begin(), needs.end(), need); };
        info("Unchanged sectors skipped: " + std::to_string(count(Nothing)) + " of " + std::to_string(sectors) + "\n");
        info("Sectors programmed without erase: " + std::to_string(count(ProgramOnly)) + "\n");

        // Runs of sectors that need the erase, each erased as one range.
        for (uint32_t i = 0; i < sectors;) {
            if (needs[i] != Erase) {
                ++i;
                continue;
            }
            uint32_t last = i;
            while (last + 1 < sectors && needs[last + 1] == Erase)
                ++last;
            if (!EraseSectorAddr((firstSector + i) * sector, (firstSector + last) * sector)) {
                error("Erase...NG\n");
                return 0;
            }
            i = last + 1;
        }

        // A page is written when its sector was erased and it holds more than
        // erased bytes, or when it differs from what the flash holds.
        uint32_t at = offset;
        int32_t left = imageSize;
        while (left > 0) {
            const int32_t room = pageSize - static_cast<int32_t>(at % static_cast<uint32_t>(pageSize));
            const int32_t length = std::min(room, left);
            const size_t from = at - offset;
            const auto first = imageData.begin() + static_cast<std::ptrdiff_t>(from);
            const Need need = needs[at / sector - firstSector];
            wanted.push_back(need == Erase ? std::any_of(first, first + length, [](unsigned char b) { return b != 0xFF; })
                                           : !std::equal(first, first + length, current.begin() + static_cast<std::ptrdiff_t>(from)));
            at += static_cast<uint32_t>(length);
            left -= length;
        }
    }
    info("Erase...OK\n");
    info("Programming...\n");
    return FinishProgram(ProgramPages(&wanted), dump);
}

// Pages go out in pipelined batches: each page's write enable, page program
// and a status read clocked after the page's typical program time, many pages
// per USB write and all their status bytes in one read. A page still busy at
// its status read made the flash ignore the pages after it: that page gets
// the rest of its status reads one by one, and programming resumes after it.
// What is reported, and when, is the same as page by page.
int TRom::ProgramPages(const std::vector<bool>* wanted)
{
    chunkCount = 0;
    uint32_t address = offset;
    size_t position = 0;
    int32_t remaining = imageSize;
    size_t page = 0;
    const auto pageLength = [&](uint32_t at, int32_t left) {
        return std::min(pageSize - static_cast<int32_t>(at % static_cast<uint32_t>(pageSize)), left);
    };
    const auto advance = [&](int32_t length) {
        ++page;
        remaining -= length;
        address += static_cast<uint32_t>(length);
        position += static_cast<size_t>(length);
        ++chunkCount;
        Observe(Phase::Programming, 1.0 - static_cast<double>(remaining) / static_cast<double>(imageSize));
        if (chunkCount % kProgressPages == 0)
            reportProgress((1.0 - static_cast<double>(remaining) / static_cast<double>(imageSize)) * 100.0, false);
    };

    const uint32_t typicalWait = TypicalPageProgramMicroseconds();
    const uint32_t longestWait = std::max<uint32_t>(typicalWait, 1) * kMaxPageWaitFactor;
    uint32_t wait = typicalWait;
    size_t batchPages = 1;
    std::vector<TFtdi::PageWrite> pages;
    std::vector<unsigned char> statuses;
    const auto skipped = [&](size_t index) { return wanted && !(*wanted)[index]; };
    Observe(Phase::Programming, 0.0);
    while (remaining > 0) {
        // Pages that need no writing count as written.
        while (remaining > 0 && skipped(page))
            advance(pageLength(address, remaining));
        if (remaining == 0)
            break;
        if (StopBeforeNextCommand())
            return 0;
        // A write never runs past the end of a flash page: the chip would wrap
        // it onto the page's start. With a page-aligned offset every write is
        // a whole page but the last.
        pages.clear();
        uint32_t at = address;
        size_t from = position;
        int32_t left = remaining;
        while (pages.size() < batchPages && left > 0 && !skipped(page + pages.size())) {
            const int32_t length = pageLength(at, left);
            pages.push_back({at, imageData.data() + from, length});
            at += static_cast<uint32_t>(length);
            from += static_cast<size_t>(length);
            left -= length;
        }
        const int32_t count = static_cast<int32_t>(pages.size());
        if (!ftdi->MPSSE_PageProgramPipelined(pages.data(), count, wait)) {
            error("Error in MPSSE_PageProgram\n");
            return 0;
        }
        statuses.assign(pages.size(), 0);
        // A failed read counts as a busy answer.
        if (!ftdi->MPSSE_ReadStatusBytes(statuses.data(), count))
            statuses.assign(pages.size(), 0x01);

        size_t ready = 0;
        while (ready < pages.size() && !(statuses[ready] & 0x01))
            ++ready;
        for (size_t i = 0; i < ready; ++i)
            advance(pages[i].length);
        if (ready == pages.size()) {
            batchPages = std::min(batchPages * 2, kMaxPipelinedPages);
            continue;
        }
        // One of the page's status reads is spent already.
        if (!BusyCheck_WithoutTimer(kPageReadyReads - 1)) {
            if (!ftdi->StopRequested())
                error("Error in BusyCheck_WithoutTimer\n");
            return 0;
        }
        advance(pages[ready].length);
        // This chip takes longer than typical: wait longer, and risk fewer pages.
        wait = std::min(wait + std::max<uint32_t>(wait / 4, 1), longestWait);
        batchPages = 1;
    }
    return 1;
}

void TRom::ConvertRBF(unsigned char* out, unsigned char* in)
{
    if (!out || !in || imageSize <= 0)
        return;
    for (int32_t i = 0; i < imageSize; ++i) {
        unsigned char b = in[i];
        unsigned char r = 0;
        for (int bit = 0; bit < 8; ++bit)
            r = static_cast<unsigned char>(r | (((b >> bit) & 1u) << (7 - bit)));
        out[i] = r;
    }
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
    const uint64_t limit = memorySize > 0 ? std::min<uint64_t>(kAddressSpace, static_cast<uint64_t>(memorySize))
                                          : kAddressSpace;
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
    const int32_t size = std::min<int64_t>(std::max<int32_t>(imageSize, 0), static_cast<int64_t>(imageData.size()));
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

void TRom::Dump(std::string /*fileName*/, unsigned char* /*data*/, int /*length*/) {}
