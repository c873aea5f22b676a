#include "cli/FlashTool.h"

#include "cli/ConsoleReporter.h"
#include "base/HexText.h"
#include "device/FirmwareBatch.h"
#include "device/FlashChip.h"
#include "device/Diagnosis.h"
#include "device/FlashBitstream.h"
#include "device/ImageCheck.h"
#include "device/TFpga.h"
#include "device/TFtdi.h"
#include "device/TRom.h"

#include <nlohmann/json.hpp>

#include <filesystem>
#include <fstream>
#include <iomanip>
#include <iostream>
#include <sstream>
#include <system_error>
#include <vector>

namespace fs = std::filesystem;

namespace {

fs::path toPath(const std::string& utf8)
{
    return fs::u8path(utf8);
}

} // namespace

FlashTool::FlashTool(const Invocation& invocation, ConsoleReporter& reporter, const std::atomic<bool>& stop)
    : inv(invocation), reporter(reporter), stop(stop)
{
}

void FlashTool::useDriver(DriverSelection given)
{
    selection = std::move(given);
    driverGiven = true;
}

FlashTool::~FlashTool()
{
    closePort();
}

void FlashTool::say(const std::string& text)
{
    reporter.report(ProgressReporter::Info, text);
}

void FlashTool::complain(const std::string& text)
{
    reporter.report(ProgressReporter::Error, text);
}

int FlashTool::run()
{
    if (inv.version) {
        std::cout << "pravel-flash " << PRAVEL_VERSION << "\n";
        return Success;
    }
    if (inv.help) {
        std::cout << (inv.command.empty() ? CommandLine::toolHelp() : CommandLine::commandHelp(inv.command));
        return Success;
    }

    int result = setUp();
    if (result == Success)
        result = stop.load() ? Failed : dispatch();
    closePort();
    if (stop.load()) {
        reporter.finishLine();
        complain("interrupted\n");
        result = Interrupted;
    }
    if (selection.timedEmulation()) {
        // A batch takes as long as its slowest instrument.
        const double batch = instruments ? instruments->batchSeconds() : -1;
        std::ostringstream s;
        s << "Emulated time: " << std::fixed << std::setprecision(2) << (batch >= 0 ? batch : selection.emulatedSeconds())
          << " s\n";
        std::cerr << s.str() << std::flush;
    }
    // The cause of the failure goes last, where a technician looks first.
    if (ftdi && ftdi->LinkLost())
        complain(TFtdi::linkLostMessage);
    return result;
}

int FlashTool::setUp()
{
    if (!driverGiven) {
        // The options go over the environment, setting by setting.
        DriverSelection::Request request;
        request.device = inv.device;
        for (const auto& [name, value] : {std::pair<const char*, const std::string&>{"chip", inv.chip},
                                          {"image", inv.image}, {"timing", inv.timing},
                                          {"pace", inv.pace}, {"instruments", inv.instruments}}) {
            if (!value.empty())
                request.bench[name] = value;
        }
        if (!request.bench.empty() && DriverSelection::deviceOf(request) != DriverSelection::emulatedDevice) {
            complain("pravel-flash: --chip, --image, --timing, --pace and --instruments need the emulated device (--device emulated)\n");
            return Usage;
        }
        if (const std::string why = emu::BenchConfig::refusal("chip", inv.chip); !inv.chip.empty() && !why.empty()) {
            complain("pravel-flash: " + emu::BenchConfig::Setting{inv.chip, "--chip"}.quoted() + " " + why + "\n");
            return Usage;
        }
        std::string error;
        selection = DriverSelection::choose(request, error);
        if (!selection) {
            complain("pravel-flash: " + error + "\n");
            return Failed;
        }
        // A whole-flash write would otherwise keep every USB transfer in memory.
        selection.setCallTrace(false);
    }
    ftdi = std::make_unique<TFtdi>(selection.driver(), selection.clock());
    instruments = std::make_unique<InstrumentCommands>(inv, reporter, stop, selection);
    ftdi->SetStopRequest(&stop);
    rom = std::make_unique<TRom>(ftdi.get());
    fpgaLoader = std::make_unique<TFpga>(ftdi.get());
    return Success;
}

int FlashTool::dispatch()
{
    const std::string& c = inv.command;
    if (c == "channels")
        return channels();
    if (c == "list")
        return instruments->list(*ftdi);
    if (c == "detect")
        return detect();
    if (c == "write")
        return write();
    if (c == "read")
        return read();
    if (c == "verify")
        return verify();
    if (c == "erase")
        return erase();
    if (c == "status")
        return status();
    if (c == "nvcr")
        return nvcr();
    if (c == "fpga")
        return fpga();
    if (c == "diagnose")
        return diagnose();
    if (c == "check-boot")
        return checkBoot();
    return Usage;
}

bool FlashTool::openPort()
{
    // Never the first of several without a word: one is chosen, or none is opened.
    refused = !instruments->choose(*ftdi, chosen);
    if (refused)
        return false;
    portOpen = ftdi->PortOpen() == 1;
    return portOpen;
}

void FlashTool::closePort()
{
    if (!portOpen)
        return;
    portOpen = false;
    // A stopped run may have cut an FPGA reset pulse short; the pins go back
    // to idle before the port closes.
    if (stop.load())
        ftdi->MPSSE_IdlePins();
    reporter.finishLine();
    ftdi->PortClose();
}

bool FlashTool::openAndIdentify(const char* consequence)
{
    bool transferFailed = true;
    if (openPort()) {
        if (rom->CheckMemory() == 1)
            return true;
        const TRom::IdentifyResult found = rom->LastIdentifyResult();
        if (found == TRom::IdentifyResult::Unsupported)
            complain("No supported flash chip found\n");
        transferFailed = found == TRom::IdentifyResult::ReadFailed;
    } else if (refused) {
        return false; // no instrument chosen: the choice was listed instead
    }
    if (consequence)
        complain(consequence);
    // A bridge that went away is named at the very end.
    if (transferFailed && !ftdi->LinkLost() && !stop.load())
        complain(FirmwareRun::checkConnections);
    return false;
}

int FlashTool::channels()
{
    return ftdi->PortDetect() == 1 ? Success : Failed;
}

int FlashTool::detect()
{
    const bool identified = openAndIdentify();
    if (inv.json && !refused) {
        nlohmann::ordered_json json;
        json["serial"] = chosen.serialNumber.empty() ? nlohmann::ordered_json(nullptr) : nlohmann::ordered_json(chosen.serialNumber);
        json["location"] = chosen.location ? nlohmann::ordered_json(hexText(chosen.location)) : nlohmann::ordered_json(nullptr);
        json["detected"] = identified;
        json["config_rom_id"] = portOpen ? nlohmann::ordered_json(ftdi->LastJedecId() & 0xFF) : nlohmann::ordered_json(nullptr);
        json["jedec_id"] = portOpen && ftdi->LastJedecId() ? nlohmann::ordered_json(upperHex(ftdi->LastJedecId(), 6)) : nlohmann::ordered_json(nullptr);
        json["flash_part"] = identified ? nlohmann::ordered_json(rom->Chip()->name) : nlohmann::ordered_json(nullptr);
        json["flash_size"] = identified ? rom->MemorySize() : 0;
        json["sector_size"] = identified ? rom->SectorSize() : 0;
        json["sector_count"] = identified ? rom->SectorCount() : 0;
        json["page_size"] = identified ? rom->PageSize() : 0;
        std::cout << json.dump(2) << "\n" << std::flush;
    }
    if (!identified)
        return Failed;
    std::ostringstream s;
    s << "Flash size: " << hexText(static_cast<uint64_t>(rom->MemorySize())) << " bytes ("
      << rom->MemorySize() / (1024 * 1024) << " MiB), " << rom->SectorCount() << " sectors of "
      << hexText(static_cast<uint64_t>(rom->SectorSize())) << " bytes, pages of " << rom->PageSize()
      << " bytes\n";
    say(s.str());
    return Success;
}

void FlashTool::printFirmwareVersion()
{
    if (inv.firmwareDir.empty())
        return;
    std::string version;
    FirmwareSet::readVersion(inv.firmwareDir, version);
    say("Firmware version: " + (version.empty() ? std::string("Unknown") : version) + "\n");
}

// Every file is read and checked before the port opens: a write must not
// stop halfway through a set because its second file is missing or too large.
int FlashTool::runFirmware(bool verifyOnly)
{
    printFirmwareVersion();
    FirmwareRun::Options options;
    options.verifyOnly = verifyOnly;
    options.verify = inv.verify;
    options.changedOnly = inv.changedOnly;
    options.announceBeforeLoad = true;
    options.hintAfterLoadFailure = false;
    options.shownMismatches = kShownMismatches;
    if (!inv.force) {
        options.checkImage = [](const FirmwareSet::Image& image, const std::vector<unsigned char>& data) {
            const std::string problem = ImageCheck::check(data, image.offset);
            return problem.empty() ? problem
                                   : "Error, " + image.path + " does not belong at " + hexText(image.offset) + ": " +
                                         problem + " (--force writes it all the same)\n";
        };
    }
    options.confirmRisk = [this](const FirmwareSet::Image& image, const std::string&) {
        return inv.force ? std::string()
                         : "Error, nothing was written: " + image.path + " needs --force to be written all the same\n";
    };
    if (instruments->batchRequested())
        return instruments->batch(*ftdi, options);
    FirmwareRun firmware(*rom, inv.firmware, options);
    if (!firmware.prepare().ok)
        return Failed;
    // The record of this run: the images as read, the instrument, how it ended.
    const std::vector<RunRecord::Image> images = firmware.preparedImages();
    FirmwareBatch::Result result;
    result.started = RunRecord::utcNow();
    const bool identified = openAndIdentify(verifyOnly ? nullptr : "Nothing was written\n");
    if (refused)
        return Failed; // no instrument chosen: no run to record
    const double start = selection.secondsFor(chosen.serialNumber);
    result.instrument = chosen;
    result.jedecId = ftdi->LastJedecId();
    if (!identified) {
        result.failedStage = portOpen ? "identify" : "open";
    } else {
        result.flashPart = rom->Chip()->name;
        result.outcome = firmware.run();
        result.failedStage = FirmwareBatch::stageName(result.outcome.failedStage);
    }
    result.outcome.stopped = result.outcome.stopped || stop.load();
    result.seconds = selection.secondsFor(chosen.serialNumber) - start;
    const bool kept = instruments->keep({instruments->completed(FirmwareBatch::record(images, result))});
    return result.outcome.ok && kept ? Success : Failed;
}

int FlashTool::write()
{
    return runFirmware(false);
}

int FlashTool::verify()
{
    return runFirmware(true);
}

int FlashTool::read()
{
    if (!openAndIdentify())
        return Failed;
    std::vector<unsigned char> data(*inv.length);
    rom->SetOffset(*inv.offset);
    if (rom->Read(data.data(), static_cast<int>(data.size()), false) != 1)
        return Failed;

    // Written beside the target and renamed over it: the target is either
    // the whole read or what it was before.
    const fs::path target = toPath(inv.file);
    fs::path partial = target;
    partial += ".partial";
    std::error_code ec;
    {
        std::ofstream out(partial, std::ios::binary | std::ios::trunc);
        out.write(reinterpret_cast<const char*>(data.data()), static_cast<std::streamsize>(data.size()));
        out.close();
        if (!out)
            ec = std::make_error_code(std::errc::io_error);
    }
    if (!ec)
        fs::rename(partial, target, ec);
    if (ec) {
        fs::remove(partial, ec);
        complain("Error writing file: " + inv.file + "\n");
        return Failed;
    }
    say("Wrote " + std::to_string(data.size()) + " bytes from " + hexText(*inv.offset) + " to " + inv.file + "\n");
    return Success;
}

int FlashTool::erase()
{
    if (!openAndIdentify())
        return Failed;
    bool ok;
    if (inv.all) {
        say("Erasing the whole chip...\n");
        ok = rom->EraseBulk() == 1;
    } else {
        ok = rom->EraseSectorAddr(*inv.offset, *inv.offset + *inv.length - 1) == 1;
    }
    if (ok)
        say("Erase...OK\n");
    else
        complain("Erase...NG\n");
    return ok ? Success : Failed;
}

int FlashTool::status()
{
    if (!openAndIdentify())
        return Failed;
    if (inv.json) {
        // The registers as numbers; the text reports go to standard error.
        unsigned char value = 0, flags = 0;
        const bool read = ftdi->MPSSE_ReadStatus(value) == 1;
        const bool flagsRead = rom->HasFlagStatus() && ftdi->MPSSE_ReadFlagStatus(flags) == 1;
        nlohmann::ordered_json json;
        json["serial"] = chosen.serialNumber.empty() ? nlohmann::ordered_json(nullptr) : nlohmann::ordered_json(chosen.serialNumber);
        json["flash_part"] = rom->Chip()->name;
        json["status"] = read ? nlohmann::ordered_json(value) : nlohmann::ordered_json(nullptr);
        json["write_in_progress"] = read ? nlohmann::ordered_json((value & kStatusWriteInProgress) != 0) : nlohmann::ordered_json(nullptr);
        json["flag_status"] = flagsRead ? nlohmann::ordered_json(flags) : nlohmann::ordered_json(nullptr);
        std::cout << json.dump(2) << "\n" << std::flush;
        if (!read || (rom->HasFlagStatus() && !flagsRead)) {
            complain("Error, the status registers could not be read\n");
            return Failed;
        }
        return Success;
    }
    bool ok = rom->CheckStatus() == 1;
    if (!ok)
        complain("Error, the status register could not be read\n");
    // Only what the part has: a register it lacks would read a floating line.
    if (rom->HasFlagStatus() && rom->CheckFlagStatus() != 1) {
        complain("Error, the flag status register could not be read\n");
        ok = false;
    }
    return ok ? Success : Failed;
}

int FlashTool::nvcr()
{
    if (!openAndIdentify())
        return Failed;
    if (inv.nvcrValue) {
        // The register write keeps the flash busy; it ignores a read meanwhile.
        if (rom->NVCRWrite(static_cast<unsigned short>(*inv.nvcrValue)) != 1 || rom->WaitAfterRegisterWrite() != 1)
            return Failed;
    }
    unsigned short value = 0;
    if (rom->NVCRRead(value) != 1)
        return Failed;
    if (inv.nvcrValue && value != *inv.nvcrValue) {
        complain("Error, the register reads back " + hexText(value) + " instead of " + hexText(*inv.nvcrValue) + "\n");
        return Failed;
    }
    return Success;
}

int FlashTool::fpga()
{
    // Without a file only DONE is read: the FPGA as it configured itself.
    const bool load = !inv.file.empty();
    // Loaded before the port opens: a missing file must not reset an FPGA
    // that is running.
    if ((load && fpgaLoader->FileOpen(inv.file) != 1) || !openPort())
        return Failed;
    if (load && fpgaLoader->Reset() != 1) {
        complain("Error, the FPGA reset failed\n");
        return Failed;
    }
    if (load && fpgaLoader->Configuration() != 1)
        return Failed;
    if (!inv.checkDone)
        return Success;
    int32_t done = 0;
    if (fpgaLoader->DoneCheck(done) != 1) {
        complain("Error, the DONE pin could not be read\n");
        return Failed;
    }
    if (!done) {
        complain("Error, DONE is low: the FPGA did not start\n");
        return Failed;
    }
    say("DONE is high\n");
    return Success;
}

int FlashTool::diagnose()
{
    // The report's file is opened first: a diagnosis whose report cannot be
    // kept is not started.
    std::ofstream report;
    if (!inv.reportFile.empty()) {
        report.open(toPath(inv.reportFile), std::ios::binary | std::ios::trunc);
        if (!report) {
            complain("Error, the report file cannot be written: " + inv.reportFile + "\n");
            return Failed;
        }
    }
    // A chosen instrument is the one diagnosed; without a choice the
    // diagnosis itself tells several apart.
    if ((!inv.serials.empty() || inv.location) && !instruments->choose(*ftdi, chosen))
        return Failed;
    Diagnosis diagnosis(*ftdi, *rom, inv.port, "pravel-flash");
    const DiagnosisReport result = diagnosis.run([this](const DiagnosisStep& step) { say(step.text() + "\n"); });
    say(result.summary() + "\n");
    if (report.is_open()) {
        report << result.json();
        report.close();
        if (!report) {
            complain("Error writing the report file: " + inv.reportFile + "\n");
            return Failed;
        }
        say("Report written to " + inv.reportFile + "\n");
    }
    return result.allOk() ? Success : Failed;
}

int FlashTool::checkBoot()
{
    if (!openAndIdentify())
        return Failed;
    const FlashBitstream::Reading reading = FlashBitstream::boot(*rom);
    if (!reading.readOk) {
        if (!stop.load())
            complain(std::string("Error, the flash could not be read\n") + FirmwareRun::checkConnections);
        return Failed;
    }
    const BitstreamReport& report = reading.report;
    say("Read " + hexText(static_cast<uint64_t>(reading.bytesRead)) + " bytes of the flash from 0\n");
    if (report.synced) {
        say("Bitstream: " + report.facts() + "\n");
        say("Checked: " + report.checks() + "\n");
    }
    if (!report.starts) {
        complain(report.verdict() + "\n");
        return Failed;
    }
    say(report.verdict() + "\n");
    return Success;
}
