#include "cli/FlashTool.h"

#include "cli/ConsoleReporter.h"
#include "base/HexText.h"
#include "device/FlashBitstream.h"
#include "device/ImageCheck.h"
#include "device/TFpga.h"
#include "device/TFtdi.h"
#include "device/TRom.h"

#include <filesystem>
#include <fstream>
#include <iomanip>
#include <iostream>
#include <sstream>
#include <system_error>
#include <vector>

namespace fs = std::filesystem;

namespace {

// A register write takes a fraction of a second; BusyCheck pauses 100 ms.
constexpr int kRegisterWriteChecks = 50;

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
        std::ostringstream s;
        s << "Emulated time: " << std::fixed << std::setprecision(2) << selection.emulatedSeconds() << " s\n";
        std::cerr << s.str() << std::flush;
    }
    return result;
}

int FlashTool::setUp()
{
    if (!driverGiven) {
        // The options go over the environment, setting by setting.
        DriverSelection::Request request;
        request.device = inv.device;
        for (const auto& [name, value] : {std::pair<const char*, const std::string&>{"chip", inv.chip},
                                          {"image", inv.image}, {"timing", inv.timing}}) {
            if (!value.empty())
                request.bench[name] = value;
        }
        if (!request.bench.empty() && DriverSelection::deviceOf(request) != DriverSelection::emulatedDevice) {
            complain("pravel-flash: --chip, --image and --timing need the emulated device (--device emulated)\n");
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
    if (c == "check-boot")
        return checkBoot();
    return Usage;
}

bool FlashTool::openPort()
{
    portOpen = ftdi->PortOpen(inv.port) == 1;
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

bool FlashTool::openAndIdentify()
{
    if (!openPort())
        return false;
    if (rom->CheckMemory() != 1) {
        complain("No supported flash chip found\n");
        return false;
    }
    return true;
}

int FlashTool::channels()
{
    return ftdi->PortDetect() == 1 ? Success : Failed;
}

int FlashTool::detect()
{
    if (!openAndIdentify())
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
    FirmwareRun firmware(*rom, inv.firmware, options);
    if (!firmware.prepare().ok)
        return Failed;
    if (!openAndIdentify()) {
        if (!verifyOnly)
            complain("Nothing was written\n");
        return Failed;
    }
    return firmware.run().ok ? Success : Failed;
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
        if (rom->NVCRWrite(static_cast<unsigned short>(*inv.nvcrValue)) != 1)
            return Failed;
        // The register write keeps the flash busy; it ignores a read meanwhile.
        bool ready = false;
        for (int check = 0; check < kRegisterWriteChecks && !ready && !stop.load(); ++check)
            ready = rom->BusyCheck() == 1;
        if (!ready) {
            complain("Error, the flash is still busy after the register write\n");
            return Failed;
        }
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
