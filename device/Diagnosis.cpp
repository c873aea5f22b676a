#include "device/Diagnosis.h"

#include "base/HexText.h"
#include "device/BitstreamReader.h"
#include "device/FirmwareSet.h"
#include "device/FlashChip.h"
#include "device/FlashGeometry.h"
#include "device/FlashRegisters.h"
#include "device/ImageCheck.h"
#include "device/TFtdi.h"
#include "device/TRom.h"
#include "record/RunRecord.h"

#include <algorithm>
#include <cstdio>
#include <utility>

using namespace d2xx;

namespace {

const std::vector<DiagnosisReport::StepName> kSteps = {
    {"channels", "Channels"},
    {"mpsse-sync", "MPSSE sync"},
    {"loopback", "Data path without the flash"},
    {"spi-lines", "SPI lines to the flash"},
    {"flash", "The flash"},
    {"read-speed", "Read speed"},
    {"contents", "What the flash holds"},
};

constexpr uint32_t kFt2232hId = 0x04036010; // VID 0403, PID 6010
constexpr unsigned char kSyncProbe = 0xAA;   // AN_108's bad opcodes for synchronising
constexpr unsigned char kSecondProbe = 0xAB;
constexpr uint32_t kApplicationProbeBytes = 4096;
constexpr size_t kReadChunk = 0x10000;

// JEP106 manufacturer codes of SPI NOR flash makers (bank 1).
const struct
{
    unsigned char code;
    const char* name;
} kManufacturers[] = {
    {0x01, "Spansion/Infineon"}, {0x1F, "Adesto/Atmel"}, {0x20, "Micron"},      {0x9D, "ISSI"},
    {0xBF, "SST/Microchip"},     {0xC2, "Macronix"},     {0xC8, "GigaDevice"}, {0xEF, "Winbond"},
};

#ifdef _WIN32
const char kHeldCause[] = "Another program holds the channel, or Windows gave the bridge another driver than FTDI's.";
const char kHeldAction[] =
    "Close other programs that use the bridge, check in the Device Manager that it uses FTDI's driver, replug it "
    "and run diagnose again.";
#else
const char kHeldCause[] =
    "Another program or the kernel's serial driver (ftdi_sio) holds the channel, or this user may not open it.";
const char kHeldAction[] =
    "Close programs that use the bridge or /dev/ttyUSB*, unload the kernel's serial driver (sudo rmmod ftdi_sio) "
    "and install the udev rule 99-pravel-ftdi.rules from the package (see the README); replug the bridge and run "
    "diagnose again.";
#endif
const char kLostCause[] = "The USB link lost a reply, or the bridge was unplugged.";
const char kLostAction[] = "Check the USB cable and port (no unpowered hub) and run diagnose again.";

std::string hexBytes(const std::vector<unsigned char>& bytes, size_t shown = 16)
{
    std::string out;
    for (size_t i = 0; i < bytes.size() && i < shown; ++i) {
        char text[4];
        std::snprintf(text, sizeof text, "%02X", bytes[i]);
        out += (i ? " " : "") + std::string(text);
    }
    if (bytes.size() > shown)
        out += " ... (" + std::to_string(bytes.size()) + " bytes)";
    return out.empty() ? "nothing" : out;
}

std::string fixed(double value, int decimals)
{
    char text[32];
    std::snprintf(text, sizeof text, "%.*f", decimals, value);
    return text;
}

std::string milliseconds(uint64_t microseconds)
{
    return fixed(static_cast<double>(microseconds) / 1000.0, 1) + " ms";
}

std::string mebibytes(uint64_t bytes)
{
    return bytes % 0x100000 == 0 ? std::to_string(bytes / 0x100000) + " MiB" : std::to_string(bytes) + " bytes";
}

std::string clockText(uint32_t hz)
{
    return hz % 1000000 == 0 ? std::to_string(hz / 1000000) + " MHz" : std::to_string(hz / 1000) + " kHz";
}

std::string quoted(const std::string& text)
{
    return "\"" + text + "\"";
}

std::string describe(const TFtdi::Channel& channel)
{
    return quoted(channel.description) + ", serial " + quoted(channel.serialNumber) + ", location " +
           hexText(channel.locId) + ", ID " + hexText(channel.id) + ", type " + hexText(channel.type) + ", flags " +
           hexText(channel.flags);
}

bool allEqual(const std::vector<unsigned char>& bytes, unsigned char value)
{
    return std::all_of(bytes.begin(), bytes.end(), [value](unsigned char b) { return b == value; });
}

bool steady(const std::vector<std::vector<unsigned char>>& answers)
{
    return std::all_of(answers.begin(), answers.end(), [&](const auto& answer) { return answer == answers.front(); });
}

std::string listAnswers(const std::vector<std::vector<unsigned char>>& answers)
{
    std::string out;
    for (const auto& answer : answers)
        out += (out.empty() ? "" : ", ") + hexBytes(answer);
    return out;
}

std::string joined(const std::vector<std::string>& parts)
{
    std::string out;
    for (const std::string& part : parts)
        out += (out.empty() ? "" : " ") + part;
    return out;
}

DiagnosisStep& finding(DiagnosisStep& step, std::string line, std::string cause, std::string action, bool stops)
{
    step.verdict = DiagnosisStep::Verdict::Finding;
    step.line = std::move(line);
    step.cause = std::move(cause);
    step.action = std::move(action);
    step.stops = stops;
    return step;
}

DiagnosisStep begin(size_t index)
{
    DiagnosisStep step;
    step.number = static_cast<int>(index + 1);
    step.id = kSteps[index].id;
    step.name = kSteps[index].name;
    return step;
}

} // namespace

Diagnosis::Diagnosis(TFtdi& ftdi, TRom& rom, std::string port, std::string program)
    : ftdi(ftdi), rom(rom), port(std::move(port)), program(std::move(program))
{
}

const std::vector<DiagnosisReport::StepName>& Diagnosis::steps()
{
    return kSteps;
}

DiagnosisReport Diagnosis::run(const StepSeen& seen)
{
    DiagnosisReport report;
    report.program = program;
    report.version = PRAVEL_VERSION;
    report.date = RunRecord::utcNow();
    report.port = port;
    report.planned = kSteps;

    using Step = DiagnosisStep (Diagnosis::*)();
    const Step order[] = {&Diagnosis::channels, &Diagnosis::mpsseSync, &Diagnosis::loopback, &Diagnosis::spiLines,
                          &Diagnosis::flash,    &Diagnosis::readSpeed, &Diagnosis::contents};
    for (const Step step : order) {
        if (ftdi.StopRequested())
            break;
        report.steps.push_back((this->*step)());
        // A step cut short by a stop found nothing it could stand by.
        if (ftdi.StopRequested()) {
            report.steps.pop_back();
            break;
        }
        if (seen)
            seen(report.steps.back());
        if (report.steps.back().stops)
            break;
    }
    report.stopped = ftdi.StopRequested();
    if (portOpen) {
        portOpen = false;
        if (report.stopped)
            ftdi.MPSSE_IdlePins();
        ftdi.PortClose();
    }
    return report;
}

DiagnosisStep Diagnosis::channels()
{
    DiagnosisStep step = begin(0);
    const TFtdi::Listing listing = ftdi.ListChannels();
    const std::vector<TFtdi::Channel>& listed = listing.channels;
    step.details.emplace_back("channelsListed", static_cast<double>(listed.size()));
    for (size_t i = 0; i < listed.size(); ++i)
        step.details.emplace_back("channel" + std::to_string(i), describe(listed[i]));
    if (listing.status != FT_OK)
        return finding(step,
                       "The driver could not list the USB bridges (D2XX status " + std::to_string(listing.status) +
                           ").",
                       "The FTDI driver is missing or not working.",
                       "Install FTDI's D2XX driver (Windows) or libftdi1 (Linux), replug the bridge and run diagnose "
                       "again.",
                       true);
    if (listed.empty())
        return finding(step, "No FTDI bridge is connected.",
                       "The USB cable is unplugged or faulty, or the instrument's programming port has no power.",
                       "Connect the instrument's programming port to this computer with a working USB cable, switch "
                       "the instrument on and run diagnose again.",
                       true);

    // An instrument chosen by serial number or location is the one looked
    // at; otherwise every channel with the instrument's description.
    const bool chosenOne = ftdi.PortChosenByIdentity();
    if (!chosenOne)
        ftdi.SetPortDescription(port);
    std::vector<const TFtdi::Channel*> named;
    for (const TFtdi::Channel& channel : listed)
        if (ftdi.PortIs(channel))
            named.push_back(&channel);
    if (named.empty() && chosenOne) {
        std::string all;
        for (const TFtdi::Channel& channel : listed)
            all += (all.empty() ? "" : ", ") + std::string("serial ") + quoted(channel.serialNumber) +
                   " at location " + hexText(channel.locId);
        return finding(step, "No channel is " + ftdi.PortName() + "; listed: " + all + ".",
                       "That instrument is not connected, or another serial number or location was meant.",
                       "Check the serial number (pravel-flash list) and run diagnose again.", true);
    }
    if (named.empty()) {
        const TFtdi::Channel* unreadable = nullptr;
        const TFtdi::Channel* channelB = nullptr;
        for (const TFtdi::Channel& channel : listed) {
            if (channel.id != kFt2232hId)
                continue;
            const std::string& description = channel.description;
            if (description.empty())
                unreadable = &channel;
            else if (description.size() > 2 && description.compare(description.size() - 2, 2, " B") == 0)
                channelB = &channel;
        }
        if (channelB) {
            const std::string& name = channelB->description;
            return finding(step,
                           "Channel B of the FT2232H is called " + quoted(name) + ", not " + quoted(port) + ".",
                           "The bridge's EEPROM holds another description (a blank EEPROM says \"Dual RS232-HS\").",
                           "Give the loader that name (pravel-flash --port " + quoted(name) +
                               ") or write \"USB <-> Serial Converter\" back into the bridge's EEPROM with FTDI's "
                               "FT_Prog.",
                           true);
        }
        if (unreadable)
            return finding(step, "An FT2232H is connected, but its name and serial number cannot be read.",
                           "This user may not use the USB device: the udev rule is not installed.",
                           "Install the udev rule 99-pravel-ftdi.rules from the package (see the README), replug the "
                           "bridge and run diagnose again.",
                           true);
        std::string ids;
        for (const TFtdi::Channel& channel : listed)
            ids += (ids.empty() ? "" : ", ") + hexText(channel.id);
        return finding(step,
                       "None of the " + std::to_string(listed.size()) +
                           " FTDI channels is the instrument's FT2232H (VID 0403, PID 6010); IDs found: " + ids + ".",
                       "The instrument's programming port is not connected; what is connected is another FTDI "
                       "device, such as a USB serial adapter.",
                       "Connect the instrument's programming port to this computer and run diagnose again.", true);
    }

    const TFtdi::Channel& chosen = *named.front();
    const std::string which = quoted(chosen.description) + " (serial " + quoted(chosen.serialNumber) + ", location " +
                              hexText(chosen.locId) + ")";
    if (chosen.flags & FT_FLAGS_OPENED)
        return finding(step, "Channel B " + which + " is open in another program.",
                       "Another program holds the bridge: a second copy of the loader or pravel-flash, flashrom, "
                       "openFPGALoader or a terminal program.",
                       "Close that program and run diagnose again.", true);
    portOpen = ftdi.PortOpen() == 1;
    if (!portOpen)
        return finding(step, "Channel B " + which + " is listed but could not be opened.", kHeldCause, kHeldAction,
                       true);

    step.line = "FT2232H channel B " + which + " opened; " + std::to_string(listed.size()) + " channels listed.";
    if (named.size() > 1) {
        std::string all;
        for (const TFtdi::Channel* channel : named)
            all += (all.empty() ? "" : ", ") + std::string("serial ") + quoted(channel->serialNumber) +
                   " at location " + hexText(channel->locId);
        finding(step,
                std::to_string(named.size()) + " bridges are called " + quoted(port) + ": " + all +
                    "; the loader uses the first one listed, serial " + quoted(chosen.serialNumber) + ".",
                "More than one instrument is connected to this computer.",
                "Choose the instrument to check with --serial or --location (pravel-flash list shows them), or "
                "unplug all but that one, then run diagnose again.",
                false);
    }
    return step;
}

DiagnosisStep Diagnosis::mpsseSync()
{
    DiagnosisStep step = begin(1);
    // The first probe as the queue stands (bytes left in it show in front
    // of the answer), flushed; the second after a purge, left to the
    // latency timer, which times that.
    TFtdi::SyncAnswer first, second;
    const bool firstOk = ftdi.MPSSE_Sync(kSyncProbe, false, true, syncWaitMicroseconds, first) == 1;
    const bool secondOk = ftdi.MPSSE_Sync(kSecondProbe, true, false, syncWaitMicroseconds, second) == 1;
    step.details.emplace_back("firstProbe", "AA 87: " + hexBytes(first.bytes));
    step.details.emplace_back("secondProbe", "purge, AB: " + hexBytes(second.bytes));
    step.details.emplace_back("unflushedAnswerMicroseconds", static_cast<double>(second.microseconds));

    if (ftdi.LinkLost())
        return finding(step, "The bridge stopped answering the USB driver.", kLostCause, kLostAction, true);
    if (!firstOk && !secondOk) {
        if (first.bytes.empty() && second.bytes.empty())
            return finding(step,
                           "No answer to the bad-command probes AA and AB: channel B is not in MPSSE mode.",
                           "The bridge ignored the switch to MPSSE mode: its EEPROM gives channel B a mode without "
                           "the MPSSE, or it is not an FT2232H.",
                           "Check channel B's settings in the bridge's EEPROM with FTDI's FT_Prog (RS232 UART, D2XX "
                           "driver), replug the bridge and run diagnose again.",
                           true);
        return finding(step,
                       "The bad-command probes were answered with " + hexBytes(first.bytes) + " and " +
                           hexBytes(second.bytes) + ", not FA AA and FA AB: channel B is not in MPSSE mode.",
                       "Channel B runs in another mode (bit-bang or FIFO) and answers as that mode does.",
                       "Check channel B's settings in the bridge's EEPROM with FTDI's FT_Prog, close other programs "
                       "that use the bridge, replug it and run diagnose again.",
                       true);
    }

    std::vector<std::string> found;
    if (!firstOk || first.bytes.size() > 2) {
        const size_t stale = firstOk ? first.bytes.size() - 2 : first.bytes.size();
        found.push_back(std::to_string(stale) + " stale bytes came before the engine's answer (" +
                        hexBytes(first.bytes) + "); after a purge the answer is clean.");
    }
    if (!secondOk)
        found.push_back("Without send-immediate the answer never came within " + milliseconds(syncWaitMicroseconds) +
                        ".");
    else if (second.microseconds > slowAnswerMicroseconds)
        found.push_back("Without send-immediate the answer took " + milliseconds(second.microseconds) +
                        ": the latency timer is not the 2 ms the loader sets.");
    if (!found.empty())
        return finding(step, joined(found),
                       "Replies of an earlier command were left unread, or the driver did not take the loader's "
                       "latency setting.",
                       "The loader purges and sets the latency itself and flushes every read, so programming still "
                       "works; if the finding stays after a replug, update the FTDI driver.",
                       false);
    step.line = "The engine answers FA AA at once and FA AB after a purge, " + milliseconds(second.microseconds) +
                " later without send-immediate.";
    return step;
}

DiagnosisStep Diagnosis::loopback()
{
    DiagnosisStep step = begin(2);
    std::vector<unsigned char> pattern(loopbackBytes), echoed(loopbackBytes, 0);
    // Every byte value once, in an order that changes many bits at a time.
    for (uint32_t i = 0; i < loopbackBytes; ++i)
        pattern[i] = static_cast<unsigned char>((i * 0x6D + 0x35) & 0xFF);
    if (ftdi.MPSSE_Loopback(pattern.data(), loopbackBytes, echoed.data()) != 1)
        return finding(step,
                       "The " + std::to_string(loopbackBytes) + " bytes clocked through the internal loopback did "
                                                               "not come back.",
                       "The bridge or its USB link loses data: a faulty cable, port or bridge.",
                       "Try another USB port and cable; if it stays, the bridge is faulty.", true);
    size_t differing = 0, first = loopbackBytes;
    for (size_t i = 0; i < loopbackBytes; ++i) {
        if (pattern[i] == echoed[i])
            continue;
        if (differing++ == 0)
            first = i;
    }
    step.details.emplace_back("bytesDiffering", static_cast<double>(differing));
    if (differing > 0)
        return finding(step,
                       std::to_string(differing) + " of " + std::to_string(loopbackBytes) +
                           " bytes came back changed through the internal loopback (first at byte " +
                           std::to_string(first) + ": sent " + hexText(pattern[first]) + ", got " +
                           hexText(echoed[first]) + ").",
                       "The bridge itself corrupts data: the flash is not involved.",
                       "Try another USB port and cable; if it stays, replace the bridge.", true);
    step.line = std::to_string(loopbackBytes) +
                " bytes clocked out and in through the bridge's internal loopback came back unchanged.";
    return step;
}

bool Diagnosis::readIdentifications(std::vector<std::vector<unsigned char>>& answers)
{
    answers.clear();
    for (unsigned i = 0; i < identificationReads; ++i) {
        std::vector<unsigned char> answer(identificationBytes, 0);
        if (!rom.ReadIdentification(answer.data(), identificationBytes))
            return false;
        answers.push_back(std::move(answer));
    }
    return true;
}

DiagnosisStep Diagnosis::spiLines()
{
    DiagnosisStep step = begin(3);
    const std::string fast = clockText(TFtdi::SpiClockHz(TFtdi::standardClockDivisor));
    std::vector<std::vector<unsigned char>> answers;
    if (!readIdentifications(answers))
        return finding(step, "The JEDEC ID read got no reply.", kLostCause, kLostAction, true);
    step.details.emplace_back("jedecIdAtStandardClock", listAnswers(answers));

    if (steady(answers)) {
        const std::vector<unsigned char>& answer = answers.front();
        const std::string reads = std::to_string(identificationReads);
        if (allEqual(answer, 0xFF)) {
            // A busy flash ignores the identification but still drives its status.
            unsigned char status = 0xFF;
            const bool read = ftdi.MPSSE_ReadStatus(status) == 1;
            step.details.emplace_back("status", read ? hexText(status) : std::string("not read"));
            if (read && status != 0xFF && (status & kStatusWriteInProgress))
                return finding(step,
                               "The JEDEC ID reads FF FF FF, but the status register reads " + hexText(status) +
                                   ": the flash is busy and ignores the identification.",
                               "An erase or program is still under way, or the flash hangs in it.",
                               "Wait a minute and run diagnose again; if the flash stays busy, power-cycle the "
                               "instrument.",
                               true);
            return finding(step,
                           "The JEDEC ID reads FF FF FF in each of " + reads + " reads: MISO floats high.",
                           "The flash is unpowered, held in reset, in deep power-down or not connected.",
                           "First step of the recovery procedure: ground pin 13 of the SPI connector (EXT_RESET) to "
                           "the chassis and run diagnose again.",
                           true);
        }
        if (allEqual(answer, 0x00))
            return finding(step, "The JEDEC ID reads 00 00 00 in each of " + reads + " reads: MISO is stuck low.",
                           "MISO is shorted to ground, or the flash's output or supply is damaged.",
                           "Check the MISO line (the flash's DQ1) for a short to ground and the flash's supply, then "
                           "run diagnose again.",
                           true);
        identification = answer;
        step.line = "The JEDEC ID reads " + hexBytes(answer) + " at " + fast + ", the same in each of " + reads +
                    " reads.";
        return step;
    }

    // Varying answers: bad wiring, or a clock too fast for it. Once more, slower.
    const std::string slow = clockText(TFtdi::SpiClockHz(retryClockDivisor));
    std::vector<std::vector<unsigned char>> slower;
    const bool set = ftdi.MPSSE_SetClockDivisor(retryClockDivisor) == 1;
    const bool read = set && readIdentifications(slower);
    const bool restored = ftdi.MPSSE_SetClockDivisor(TFtdi::standardClockDivisor) == 1;
    if (!set || !read || !restored)
        return finding(step, "The JEDEC ID varies at " + fast + " (" + listAnswers(answers) +
                                 "); the retry at a slower clock got no reply.",
                       kLostCause, kLostAction, true);
    step.details.emplace_back("jedecIdAtRetryClock", listAnswers(slower));
    const bool helped = steady(slower) && !allEqual(slower.front(), 0xFF) && !allEqual(slower.front(), 0x00);
    if (helped)
        return finding(step,
                       "The JEDEC ID varies at " + fast + " (" + listAnswers(answers) + "); at " + slow +
                           " it reads " + hexBytes(slower.front()) + " in each of " +
                           std::to_string(identificationReads) + " reads: the slower clock helped.",
                       "The SPI wiring is too long or poor for " + fast +
                           ": reflections or crosstalk on SCK and MISO, or a weak ground.",
                       "Shorten the cable between the bridge and the instrument, run a ground wire beside the "
                       "signals and check the ground connection; the loader programs at " +
                           fast + " and cannot be trusted until the answers are steady.",
                       true);
    return finding(step,
                   "The JEDEC ID varies at " + fast + " (" + listAnswers(answers) + ") and still at " + slow + " (" +
                       listAnswers(slower) + "): the slower clock did not help.",
                   "A loose or broken contact on MISO, SCK or chip select, or a bad ground: not the clock speed.",
                   "Reseat the SPI connector and cable, check each line and the ground for continuity, then run "
                   "diagnose again.",
                   true);
}

DiagnosisStep Diagnosis::flash()
{
    DiagnosisStep step = begin(4);
    const std::vector<unsigned char>& id = identification;
    chip = FlashChip::identify(id[2]).chip;
    std::string maker = "manufacturer " + hexText(id[0]);
    for (const auto& known : kManufacturers)
        if (known.code == id[0])
            maker = known.name;
    // The capacity byte is log2 of the size in bytes on the common parts.
    const uint64_t named = id[2] >= 0x10 && id[2] <= 0x22 ? uint64_t(1) << id[2] : 0;
    flashSize = chip ? static_cast<uint32_t>(chip->memorySize)
                     : static_cast<uint32_t>(named ? std::min<uint64_t>(named, FlashGeometry::addressSpace)
                                                   : FlashGeometry::addressSpace);
    step.details.emplace_back("jedecId", hexBytes(id));
    step.details.emplace_back("manufacturer", maker);
    step.details.emplace_back("part", chip ? std::string(chip->name) : std::string("unsupported"));

    std::string part = chip ? std::string(chip->name) + " (" + maker + ", " + mebibytes(chip->memorySize) + ")"
                            : "An unsupported part (" + maker + ", type " + hexText(id[1]) + ", capacity code " +
                                  hexText(id[2]) + (named ? ", " + mebibytes(named) : std::string()) + ")";
    std::vector<std::string> found, causes, actions;
    bool stops = false;
    if (!chip) {
        found.push_back("The loader does not support this part; it knows the MT25Q128 and the S25FL256.");
        causes.push_back("The instrument carries another flash than the loader was made for.");
        actions.push_back("Check the flash part on the board against the loader's supported parts.");
    }

    std::vector<std::string> facts;
    if (chip && chip->hasSfdp) {
        unsigned char header[16] = {};
        if (!rom.ReadSfdp(*chip, 0, header, sizeof header))
            return finding(step, part + ": its SFDP table could not be read.", kLostCause, kLostAction, true);
        const bool hasSignature = header[0] == 'S' && header[1] == 'F' && header[2] == 'D' && header[3] == 'P';
        unsigned char density[4] = {};
        const uint32_t table = uint32_t(header[12]) | uint32_t(header[13]) << 8 | uint32_t(header[14]) << 16;
        if (hasSignature && !rom.ReadSfdp(*chip, table + 4, density, sizeof density))
            return finding(step, part + ": its SFDP table could not be read.", kLostCause, kLostAction, true);
        const uint32_t word = uint32_t(density[0]) | uint32_t(density[1]) << 8 | uint32_t(density[2]) << 16 |
                              uint32_t(density[3]) << 24;
        // JESD216: bit 31 clear, the size in bits minus one; set, a power of two.
        const uint64_t bits = (word & 0x80000000u) ? (uint64_t(1) << std::min(word & 0x7FFFFFFFu, 63u))
                                                   : uint64_t(word) + 1;
        const uint64_t sfdpBytes = bits / 8;
        step.details.emplace_back("sfdpHeader", hexBytes(std::vector<unsigned char>(header, header + 16)));
        if (!hasSignature) {
            found.push_back("It has no SFDP header, which a genuine " + std::string(chip->name) + " has.");
            causes.push_back("The part is not what its identification says.");
            actions.push_back("Have the flash part on the board checked.");
        } else {
            facts.push_back("SFDP " + std::to_string(header[5]) + "." + std::to_string(header[4]) + " gives " +
                            mebibytes(sfdpBytes));
            step.details.emplace_back("sfdpBytes", static_cast<double>(sfdpBytes));
            if (sfdpBytes != static_cast<uint64_t>(chip->memorySize)) {
                found.push_back("Its SFDP table gives " + mebibytes(sfdpBytes) + ", not the " +
                                mebibytes(chip->memorySize) + " of the " + chip->name + ".");
                causes.push_back("The part is not what its identification says.");
                actions.push_back("Have the flash part on the board checked.");
            }
        }
    }

    static const FlashChip unknownPart;
    const FlashChip& registersOf = chip ? *chip : unknownPart;
    FlashRegisters registers;
    if (!rom.ReadRegisters(registersOf, registers))
        return finding(step, part + ": its registers could not be read.", kLostCause, kLostAction, true);
    facts.push_back(registers.text());
    step.details.emplace_back("status", static_cast<double>(registers.status));
    if (registers.flagStatus)
        step.details.emplace_back("flagStatus", static_cast<double>(*registers.flagStatus));
    if (registers.nvcr)
        step.details.emplace_back("nvcr", static_cast<double>(*registers.nvcr));
    if (registers.bank)
        step.details.emplace_back("bankRegister", static_cast<double>(*registers.bank));

    const std::string factory = "pravel-flash nvcr --write 0xffff";
    if (const uint8_t bits = registers.blockProtectBits(registersOf)) {
        found.push_back("Block protection is on (block-protect bits " + hexText(bits) +
                        " of the status register): the flash refuses to erase or program the protected blocks.");
        causes.push_back("A tool or the FPGA design set the status register's block-protect bits.");
        actions.push_back("Clear them: write 0x00 to the status register after a write enable (flashrom, for one, "
                          "does so before it writes); the loader leaves the status register alone.");
    }
    const bool fourAtPowerUp = registers.fourByteFromPowerUp(registersOf);
    if (registers.fourByteNow(registersOf)) {
        stops = true;
        const bool flagged = registers.flagStatus && (*registers.flagStatus & registersOf.flagStatusFourByteBit);
        found.push_back("The flash is in 4-byte address mode (" +
                        (flagged ? "flag status " + hexText(*registers.flagStatus)
                                 : "bank register " + hexText(registers.bank.value_or(0))) +
                        "): the loader's 3-byte reads, erases and writes would reach the wrong addresses.");
        causes.push_back(fourAtPowerUp ? "Its NVCR makes it start in 4-byte mode at every power-up."
                                       : "Another tool or the FPGA design switched it to 4-byte addresses and left "
                                         "it so.");
        actions.push_back(fourAtPowerUp ? "Write the NVCR's factory value (" + factory +
                                              "), then power-cycle the instrument and run diagnose again."
                                        : "Power-cycle the instrument and run diagnose again.");
    } else if (fourAtPowerUp) {
        found.push_back("Its NVCR (" + hexText(*registers.nvcr) +
                        ") makes it start in 4-byte address mode at the next power-up.");
        causes.push_back("A tool or the FPGA design wrote the NVCR.");
        actions.push_back("Write the NVCR's factory value (" + factory + ") before the next power cycle.");
    }
    const std::string protocol = registers.protocolFromPowerUp(registersOf);
    if (!protocol.empty()) {
        found.push_back("Its NVCR (" + hexText(*registers.nvcr) + ") starts it in the " + protocol +
                        " I/O protocol at the next power-up; then it no longer hears single-line commands.");
        causes.push_back("A tool or the FPGA design wrote the NVCR.");
        actions.push_back("Write the NVCR's factory value (" + factory + ") before the next power cycle.");
    }

    std::string factsText;
    for (const std::string& fact : facts)
        factsText += "; " + fact;
    if (found.empty()) {
        step.line = part + factsText + ": no block protection, 3-byte addresses, single-line protocol.";
        return step;
    }
    // Each cause and action once, in the order found.
    const auto unique = [](const std::vector<std::string>& items) {
        std::vector<std::string> out;
        for (const std::string& item : items)
            if (std::find(out.begin(), out.end(), item) == out.end())
                out.push_back(item);
        return joined(out);
    };
    return finding(step, part + factsText + ". " + joined(found), unique(causes), unique(actions), stops);
}

DiagnosisStep Diagnosis::readSpeed()
{
    DiagnosisStep step = begin(5);
    const uint32_t length = std::min(speedBytes, flashSize);
    start.assign(length, 0);
    Clock& clock = ftdi.clock();
    const uint64_t began = static_cast<uint64_t>(clock.now().count());
    if (!rom.ReadAt(0, start.data(), static_cast<int>(length))) {
        start.clear();
        return finding(step, "Reading " + mebibytes(length) + " from address 0 failed.", kLostCause, kLostAction,
                       true);
    }
    const double seconds = static_cast<double>(static_cast<uint64_t>(clock.now().count()) - began) / 1e9;
    // What the wire alone needs: every byte's eight clocks, and per 64 KiB
    // chunk the command and its address.
    const uint32_t hz = TFtdi::SpiClockHz(TFtdi::standardClockDivisor);
    const uint64_t chunks = (length + kReadChunk - 1) / kReadChunk;
    const double wire = static_cast<double>((uint64_t(length) + chunks * 4) * 8) / hz;
    const double rate = seconds > 0 ? length / seconds / 1e6 : 0.0;
    step.details.emplace_back("bytes", static_cast<double>(length));
    step.details.emplace_back("seconds", seconds);
    step.details.emplace_back("megabytesPerSecond", rate);
    step.details.emplace_back("wireSeconds", wire);
    step.line = mebibytes(length) + " read in " + fixed(seconds, 2) + " s (" + fixed(rate, 2) + " MB/s); at " +
                clockText(hz) + " the SPI clock alone needs " + fixed(wire, 2) + " s.";
    if (seconds > 2 * wire)
        step.line += " The USB link is the limit: a USB 1.1 port or a busy hub.";
    return step;
}

DiagnosisStep Diagnosis::contents()
{
    DiagnosisStep step = begin(6);
    // The bitstream cannot reach into the application image.
    const uint32_t limit = std::min<uint32_t>(FirmwareSet::applicationOffset, flashSize);
    std::vector<unsigned char> bytes = start;
    BitstreamReport bitstream = BitstreamReader::read(bytes);
    // Read on only as far as the reader asks, and only once it has found a
    // stream: the sync word comes within the first few KiB of any bitstream.
    while (bitstream.synced && bitstream.moreBytes > 0 && bytes.size() < limit) {
        const size_t at = bytes.size();
        const size_t more = std::min<size_t>((bitstream.moreBytes + kReadChunk - 1) / kReadChunk * kReadChunk,
                                             limit - at);
        bytes.resize(at + more);
        if (!rom.ReadAt(static_cast<uint32_t>(at), bytes.data() + at, static_cast<int>(more)))
            return finding(step, "Reading the flash from " + hexText(at) + " failed.", kLostCause, kLostAction, true);
        bitstream = BitstreamReader::read(bytes);
    }
    step.details.emplace_back("bitstreamBytesRead", static_cast<double>(bytes.size()));
    step.details.emplace_back("bitstream", bitstream.facts());
    step.details.emplace_back("bitstreamVerdict", bitstream.verdict());

    std::vector<unsigned char> application(kApplicationProbeBytes, 0);
    if (!rom.ReadAt(FirmwareSet::applicationOffset, application.data(), static_cast<int>(application.size())))
        return finding(step, "Reading the flash at " + hexText(FirmwareSet::applicationOffset) + " failed.",
                       kLostCause, kLostAction, true);
    // The application image is S-record text; judge its whole lines only.
    const auto lastLine = std::find(application.rbegin(), application.rend(), '\n');
    const std::vector<unsigned char> lines(application.begin(), lastLine.base());
    const bool appErased = allEqual(application, 0xFF);
    const bool records = !lines.empty() && ImageCheck::checkSRecords(lines).empty();
    step.details.emplace_back("applicationStart", hexBytes(std::vector<unsigned char>(application.begin(),
                                                                                      application.begin() + 16)));

    std::vector<std::string> found;
    std::string line;
    if (bitstream.starts)
        line = "A bitstream at 0 (" + bitstream.facts() + ") that the FPGA would start from";
    else if (!bitstream.synced && allEqual(start, 0xFF))
        found.push_back("Nothing at 0: the flash is erased there, so the FPGA has nothing to start from.");
    else if (!bitstream.synced)
        found.push_back("No bitstream at 0: no sync word in its first " + mebibytes(start.size()) + ".");
    else
        found.push_back("The bitstream at 0 (" + bitstream.facts() + ") would not start the FPGA: " + bitstream.reason);
    const std::string appAt = hexText(FirmwareSet::applicationOffset);
    if (appErased)
        found.push_back("Nothing at " + appAt + ": the application image is missing.");
    else if (!records)
        found.push_back(appAt + " holds something other than the S-records of an application image (" +
                        hexBytes(std::vector<unsigned char>(application.begin(), application.begin() + 8)) + ").");
    else
        line += std::string(line.empty() ? "S-records" : "; S-records") + " at " + appAt;
    if (found.empty()) {
        step.line = line + ".";
        return step;
    }
    return finding(step, (line.empty() ? "" : line + ". ") + joined(found),
                   "The firmware was never written, was erased, or its writing was cut short.",
                   "Write the instrument's firmware (\"Load Firmware\", or pravel-flash write --firmware-dir DIR) "
                   "and power-cycle the instrument.",
                   false);
}
