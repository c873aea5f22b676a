#include "cli/InstrumentCommands.h"

#include "base/ConsoleSink.h"
#include "base/HexText.h"
#include "cli/ConsoleReporter.h"
#include "device/FlashChip.h"
#include "device/TFtdi.h"
#include "device/TRom.h"
#include "record/RunHistory.h"

#include <nlohmann/json.hpp>

#include <algorithm>
#include <filesystem>
#include <fstream>
#include <iomanip>
#include <iostream>
#include <sstream>

namespace {

std::string cell(const std::string& text, size_t width)
{
    return text.size() >= width ? text + " " : text + std::string(width - text.size(), ' ');
}

std::string fileName(const std::string& path)
{
    try {
        return std::filesystem::u8path(path).filename().u8string();
    } catch (...) {
        return path;
    }
}

} // namespace

InstrumentCommands::InstrumentCommands(const Invocation& invocation, ConsoleReporter& reporter,
                                       const std::atomic<bool>& stop, const DriverSelection& selection)
    : inv(invocation), reporter(reporter), stop(stop), selection(selection)
{
}

void InstrumentCommands::say(const std::string& text)
{
    reporter.report(ProgressReporter::Info, text);
}

void InstrumentCommands::complain(const std::string& text)
{
    reporter.report(ProgressReporter::Error, text);
}

bool InstrumentCommands::listInstruments(TFtdi& ftdi, InstrumentList& found, bool& listed)
{
    const TFtdi::Listing listing = ftdi.ListChannels();
    listed = listing.status == d2xx::FT_OK;
    found = InstrumentList(listing.channels, inv.port);
    return listed;
}

bool InstrumentCommands::choose(TFtdi& ftdi, InstrumentList::Instrument& chosen)
{
    chosen = {};
    ftdi.SetPortDescription(inv.port);
    InstrumentList found;
    bool listed = false;
    listInstruments(ftdi, found, listed);
    const std::string attached = found.size() ? "; attached: " + found.describe() : "; no instrument is attached";
    if (!inv.serials.empty() || inv.location) {
        const InstrumentList::Instrument* named =
            inv.location ? found.byLocation(*inv.location) : found.bySerialNumber(inv.serials.front());
        if (!named) {
            complain("Error, no instrument " +
                     (inv.location ? "at location " + hexText(*inv.location) : "with serial number " + inv.serials.front()) +
                     (listed ? attached : "; the bridges could not be listed") + "\n");
            return false;
        }
        chosen = *named;
        if (inv.location)
            ftdi.SetPortLocation(chosen.location);
        else
            ftdi.SetPortSerialNumber(chosen.channelSerialNumber);
        return true;
    }
    if (found.size() > 1) {
        complain("Error, " + std::to_string(found.size()) + " instruments are attached: " + found.describe() +
                 ". Choose one with --serial or --location" +
                 (inv.command == "write" || inv.command == "verify" ? " (or all of them with --all)" : "") +
                 "; nothing was done.\n");
        return false;
    }
    if (found.size() == 1)
        chosen = found.all().front();
    return true;
}

int InstrumentCommands::list(TFtdi& ftdi)
{
    InstrumentList found;
    bool listed = false;
    if (!listInstruments(ftdi, found, listed)) {
        complain("Error, the bridges could not be listed\n");
        return 1;
    }
    nlohmann::ordered_json json = nlohmann::ordered_json::array();
    std::ostringstream table;
    table << cell("Serial", 12) << cell("Location", 10) << cell("Flash part", 12) << "Size\n";
    for (const InstrumentList::Instrument& instrument : found.all()) {
        std::string part = "in use";
        uint64_t size = 0;
        uint32_t jedec = 0;
        if (!instrument.inUse && !stop.load()) {
            // Identified quietly: the table says what it found.
            ProgressReporter::ThreadRoute quiet([](ProgressReporter::MessageType, const std::string&) {});
            ConsoleSink::Route quietLines(ConsoleSink::Route::ThisThread, [](ConsoleSink::Stream, const std::string&) {});
            TFtdi one(selection.driverFor(instrument.serialNumber), selection.clockFor(instrument.serialNumber));
            one.SetStopRequest(&stop);
            instrument.choosePort(one);
            TRom rom(&one);
            part = "not reached";
            if (one.PortOpen() == 1) {
                part = rom.CheckMemory() == 1 ? rom.Chip()->name : "unknown";
                size = static_cast<uint64_t>(rom.MemorySize());
                jedec = one.LastJedecId();
                one.PortClose();
            }
        }
        std::ostringstream sizeText;
        if (size)
            sizeText << size / (1024 * 1024) << " MiB";
        table << cell(instrument.serialNumber.empty() ? "-" : instrument.serialNumber, 12)
              << cell(hexText(instrument.location), 10) << cell(part, 12) << (size ? sizeText.str() : "-") << "\n";
        nlohmann::ordered_json entry;
        entry["serial"] = instrument.serialNumber;
        entry["location"] = hexText(instrument.location);
        entry["in_use"] = instrument.inUse;
        entry["flash_part"] = size ? nlohmann::ordered_json(part) : nlohmann::ordered_json(nullptr);
        entry["jedec_id"] = jedec ? nlohmann::ordered_json(upperHex(jedec, 6)) : nlohmann::ordered_json(nullptr);
        entry["flash_size"] = size;
        json.push_back(entry);
    }
    if (inv.json)
        std::cout << nlohmann::ordered_json{{"instruments", json}}.dump(2) << "\n" << std::flush;
    else if (found.size())
        say(table.str());
    if (!found.size())
        complain("No instrument found\n");
    return found.size() ? 0 : 1;
}

bool InstrumentCommands::batchRequested() const
{
    return (inv.command == "write" || inv.command == "verify") && (inv.all || inv.serials.size() > 1);
}

int InstrumentCommands::batch(TFtdi& ftdi, const FirmwareRun::Options& options)
{
    FirmwareBatch batch(inv.firmware, options);
    // Every file read and checked before any instrument is touched.
    if (!batch.prepare().ok)
        return 1;
    InstrumentList found;
    bool listed = false;
    if (!listInstruments(ftdi, found, listed)) {
        complain("Error, the bridges could not be listed; nothing was done\n");
        return 1;
    }
    std::vector<InstrumentList::Instrument> chosen;
    if (inv.all) {
        chosen = found.all();
    } else {
        for (const std::string& serial : inv.serials) {
            const InstrumentList::Instrument* named = found.bySerialNumber(serial);
            if (!named) {
                complain("Error, no instrument with serial number " + serial + "; attached: " + found.describe() +
                         "; nothing was done\n");
                return 1;
            }
            if (std::none_of(chosen.begin(), chosen.end(), [&](const auto& one) { return one.location == named->location; }))
                chosen.push_back(*named);
        }
    }
    if (chosen.empty()) {
        complain("No instrument found; nothing was done\n");
        return 1;
    }
    std::vector<FirmwareBatch::Target> targets;
    for (const InstrumentList::Instrument& instrument : chosen) {
        FirmwareBatch::Target target;
        target.instrument = instrument;
        target.driver = selection.driverFor(instrument.serialNumber);
        target.clock = &selection.clockFor(instrument.serialNumber);
        const std::string serial = instrument.serialNumber;
        const DriverSelection& chosenDriver = selection;
        target.seconds = [&chosenDriver, serial] { return chosenDriver.secondsFor(serial); };
        targets.push_back(std::move(target));
    }
    const auto sourceOf = [&](size_t index) { return targets[index].instrument.name(); };
    FirmwareBatch::Observer observer;
    observer.report = [&](size_t index, ProgressReporter::MessageType type, const std::string& text) {
        reporter.reportFrom(sourceOf(index), type, text);
    };
    observer.console = [&](size_t index, ConsoleSink::Stream stream, const std::string& text) {
        reporter.reportFrom(sourceOf(index), stream == ConsoleSink::Error ? ProgressReporter::Error : ProgressReporter::Info,
                            text);
    };
    const std::vector<FirmwareBatch::Result> results = batch.run(targets, &stop, observer);

    // The table, and the records.
    std::ostringstream table;
    table << "\n"
          << cell("Instrument", 12) << cell("Flash part", 12) << cell("Result", 13) << cell("Failed image", 16)
          << cell("Stage", 10) << "Time\n";
    std::vector<RunRecord> records;
    bool allOk = true;
    slowest = 0;
    for (size_t i = 0; i < results.size(); ++i) {
        const FirmwareBatch::Result& result = results[i];
        const RunRecord record = completed(FirmwareBatch::record(batch.images(), result));
        allOk = allOk && result.outcome.ok;
        slowest = std::max(slowest, result.seconds);
        std::ostringstream time;
        time << std::fixed << std::setprecision(2) << result.seconds << " s";
        const std::string failedImage =
            record.failedImage >= 0 ? fileName(record.images[static_cast<size_t>(record.failedImage)].path) : "-";
        const std::string verdict = record.outcome == "success" ? "OK" : record.outcome == "interrupted" ? "INTERRUPTED" : "FAILED";
        table << cell(sourceOf(i), 12) << cell(result.flashPart.empty() ? "-" : result.flashPart, 12) << cell(verdict, 13)
              << cell(failedImage, 16) << cell(record.failedStage.empty() ? "-" : record.failedStage, 10) << time.str()
              << "\n";
        records.push_back(record);
    }
    const size_t succeeded = static_cast<size_t>(std::count_if(
        records.begin(), records.end(), [](const RunRecord& record) { return record.outcome == "success"; }));
    table << succeeded << " of " << records.size() << " instruments succeeded\n";
    reporter.finishLine();
    say(table.str());
    const bool kept = keep(records);
    return allOk && kept ? 0 : 1;
}

RunRecord InstrumentCommands::completed(RunRecord record) const
{
    record.program = "pravel-flash";
    record.version = PRAVEL_VERSION;
    record.host = RunRecord::hostName();
    if (!inv.firmwareDir.empty())
        FirmwareSet::readVersion(inv.firmwareDir, record.firmwareVersion);
    const auto flag = [](bool value) { return std::string(value ? "true" : "false"); };
    record.options = {{"command", inv.command},
                      {"verify", flag(inv.verify || inv.command == "verify")},
                      {"changed_only", flag(inv.changedOnly)},
                      {"force", flag(inv.force)},
                      {"device", selection.isEmulated() ? "emulated" : inv.device.empty() ? "default" : inv.device}};
    return record;
}

bool InstrumentCommands::keep(const std::vector<RunRecord>& records)
{
    const std::string warning = RunHistory().appendAll(records);
    if (!warning.empty())
        reporter.report(ProgressReporter::Error, warning);
    if (inv.json && inv.command == "verify")
        std::cout << RunRecord::document(records) << std::flush;
    if (inv.reportFile.empty())
        return true;
    std::ofstream out(std::filesystem::u8path(inv.reportFile), std::ios::binary | std::ios::trunc);
    out << RunRecord::document(records);
    out.close();
    if (!out) {
        complain("Error, the report could not be written to " + inv.reportFile + "\n");
        return false;
    }
    return true;
}
