#include "cli/FlashTool.h"

#include "cli/ConsoleReporter.h"
#include "cli/InterruptSignal.h"
#include "cli/InterruptibleDriver.h"
#include "base/Clock.h"
#include "device/TFpga.h"
#include "device/TFtdi.h"
#include "device/TRom.h"
#include "device/d2xx/DriverSelection.h"
#include "device/d2xx/EmulatedDriver.h"
#include "emulator/CallTrace.h"
#include "emulator/FlashPart.h"
#include "emulator/VirtualClock.h"

#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <iostream>
#include <sstream>
#include <system_error>
#include <vector>

namespace fs = std::filesystem;

namespace {

const char kUnpluggedChip[] = "unplugged";
// A register write takes a fraction of a second; BusyCheck pauses 100 ms.
constexpr int kRegisterWriteChecks = 50;
const unsigned char kPinsIdle[] = {0x80, 0x68, 0x6B};

std::string hex(uint64_t value)
{
    if (value == 0)
        return "0";
    std::ostringstream s;
    s << "0x" << std::hex << value;
    return s.str();
}

fs::path toPath(const std::string& utf8)
{
    return fs::u8path(utf8);
}

uint64_t roundUp(uint64_t value, uint64_t step)
{
    return (value + step - 1) / step * step;
}

} // namespace

FlashTool::FlashTool(const Invocation& invocation, ConsoleReporter& reporter) : inv(invocation), reporter(reporter) {}

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
        result = InterruptSignal::raised() ? Failed : dispatch();
    closePort();
    if (InterruptSignal::raised()) {
        reporter.finishLine();
        complain("interrupted\n");
        return Interrupted;
    }
    return result;
}

int FlashTool::setUp()
{
    const bool emulatedOnly = !inv.chip.empty() || !inv.image.empty();
    const char* envDevice = std::getenv("PRAVEL_DEVICE");
    const std::string device = !inv.device.empty() ? inv.device : (envDevice ? envDevice : "");
    if (emulatedOnly && device != "emulated") {
        complain("pravel-flash: --chip and --image need the emulated device (--device emulated)\n");
        return Usage;
    }
    if (!inv.chip.empty() && inv.chip != kUnpluggedChip && !emu::FlashPart::find(inv.chip)) {
        complain("pravel-flash: --chip \"" + inv.chip + "\" is not a known chip; accepted values: " +
                 emu::FlashPart::acceptedNames() + ", " + kUnpluggedChip + "\n");
        return Usage;
    }

    // The options take precedence over the environment.
    const auto lookup = [this](const char* name) -> const char* {
        if (!inv.device.empty() && std::strcmp(name, "PRAVEL_DEVICE") == 0)
            return inv.device.c_str();
        if (!inv.chip.empty() && std::strcmp(name, "PRAVEL_EMULATED_CHIP") == 0)
            return inv.chip.c_str();
        if (!inv.image.empty() && std::strcmp(name, "PRAVEL_EMULATED_IMAGE") == 0)
            return inv.image.c_str();
        return std::getenv(name);
    };
    std::string error;
    std::shared_ptr<d2xx::D2xxDriver> chosen = d2xx::selectDriver(lookup, error);
    if (!chosen) {
        complain("pravel-flash: " + error + "\n");
        return Failed;
    }

    clock = &Clock::system();
    if (auto emulated = std::dynamic_pointer_cast<d2xx::EmulatedDriver>(chosen)) {
        // The emulated instrument runs on its own time, and a whole-flash
        // write would otherwise keep every USB transfer in memory.
        emulated->trace().setEnabled(false);
        clock = &emulated->clock();
    }
    driver = std::make_shared<InterruptibleDriver>(chosen, InterruptSignal::flag());
    ftdi = std::make_unique<TFtdi>(driver, *clock);
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
    // An interrupted run may have stopped between an FPGA reset pulse's two
    // halves; the pins go back to idle before the port closes.
    if (InterruptSignal::raised())
        ftdi->FW_Write(const_cast<unsigned char*>(kPinsIdle), sizeof kPinsIdle);
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
    s << "Flash size: " << hex(rom->memorySize) << " bytes (" << rom->memorySize / (1024 * 1024) << " MiB), "
      << rom->sectorCount << " sectors of " << hex(rom->sectorSize) << " bytes, pages of " << rom->pageSize
      << " bytes\n";
    say(s.str());
    return Success;
}

void FlashTool::printFirmwareVersion()
{
    if (inv.firmwareDir.empty())
        return;
    std::ifstream file(toPath(inv.firmwareDir + "/version.txt"));
    std::string version;
    if (file)
        std::getline(file, version);
    if (!version.empty() && version.back() == '\r')
        version.pop_back();
    say("Firmware version: " + (version.empty() ? std::string("Unknown") : version) + "\n");
}

// Checks every file before the flash is touched: a write must not stop
// halfway through a set because its second file is missing or too large.
bool FlashTool::checkImageFiles(bool forWrite)
{
    std::vector<std::pair<uint64_t, uint64_t>> ranges;
    for (const ImageSpec& image : inv.images) {
        std::error_code ec;
        const fs::path path = toPath(image.path);
        if (!fs::is_regular_file(path, ec)) {
            complain("Error opening file for reading: " + image.path + "\n");
            return false;
        }
        const uint64_t size = fs::file_size(path, ec);
        if (ec) {
            complain("Error opening file for reading: " + image.path + "\n");
            return false;
        }
        if (image.offset + size > CommandLine::kAddressSpace) {
            complain("Error, " + image.path + " (" + std::to_string(size) + " bytes) does not fit into the flash at " +
                     hex(image.offset) + ": the address space ends at " + hex(CommandLine::kAddressSpace) + "\n");
            return false;
        }
        // Programming erases whole sectors: a later image must not wipe an earlier one.
        const uint64_t end = roundUp(image.offset + size, CommandLine::kSectorSize);
        for (const auto& other : ranges) {
            if (forWrite && image.offset < other.second && other.first < end) {
                complain("Error, " + image.path + " at " + hex(image.offset) +
                         " would erase sectors of the image written before it\n");
                return false;
            }
        }
        ranges.emplace_back(image.offset, end);
    }
    return true;
}

bool FlashTool::verifyLoadedImage(const ImageSpec& image)
{
    reporter.startCountingMismatches();
    if (rom->Verify() == 1) {
        say("Verify...OK: " + image.path + " matches the flash at " + hex(image.offset) + "\n");
        return true;
    }
    const uint64_t count = reporter.mismatches();
    if (count == 0) {
        complain("Verify...NG: the flash could not be read\n");
        return false;
    }
    std::ostringstream s;
    s << "Verify...NG: " << count << (count == 1 ? " byte" : " bytes") << " of " << image.path
      << (count == 1 ? " differs" : " differ") << " from the flash at " << hex(image.offset) << "; the first at position " << reporter.firstMismatch()
      << " (flash address " << hex(image.offset + reporter.firstMismatch()) << ")";
    if (count > ConsoleReporter::kShownMismatches)
        s << "; the first " << ConsoleReporter::kShownMismatches << " are listed above";
    s << "\n";
    complain(s.str());
    return false;
}

int FlashTool::write()
{
    printFirmwareVersion();
    if (!checkImageFiles(true))
        return Failed;
    if (!openAndIdentify()) {
        complain("Nothing was written\n");
        return Failed;
    }
    for (const ImageSpec& image : inv.images) {
        if (InterruptSignal::raised())
            return Failed;
        say("Starting programming of " + image.path + "\n");
        rom->SetOffset(image.offset);
        // A failed load must not let Program write the image loaded before.
        if (rom->FileOpen(image.path) != 1) {
            complain("Programming of " + image.path + " failed.\n");
            return Failed;
        }
        if ((inv.changedOnly ? rom->ProgramChanged(false) : rom->Program(false)) != 1) {
            complain("Programming of " + image.path + " failed.\n");
            if (!InterruptSignal::raised())
                complain("Please check power and USB connections and try again.\n");
            return Failed;
        }
        if (inv.verify && !verifyLoadedImage(image)) {
            complain("Programming of " + image.path + " failed.\n");
            return Failed;
        }
        say("Finished programming of " + image.path + "\n");
    }
    say("\n");
    say("Device programming is complete. Device must be restarted for changes to take effect.\n");
    return Success;
}

int FlashTool::verify()
{
    printFirmwareVersion();
    if (!checkImageFiles(false) || !openAndIdentify())
        return Failed;
    int result = Success;
    for (const ImageSpec& image : inv.images) {
        if (InterruptSignal::raised())
            return Failed;
        rom->SetOffset(image.offset);
        if (rom->FileOpen(image.path) != 1 || !verifyLoadedImage(image))
            result = Failed;
    }
    return result;
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
    say("Wrote " + std::to_string(data.size()) + " bytes from " + hex(*inv.offset) + " to " + inv.file + "\n");
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
        for (int check = 0; check < kRegisterWriteChecks && !ready; ++check)
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
        complain("Error, the register reads back " + hex(value) + " instead of " + hex(*inv.nvcrValue) + "\n");
        return Failed;
    }
    return Success;
}

int FlashTool::fpga()
{
    // Loaded before the port opens: a missing file must not reset an FPGA
    // that is running.
    if (fpgaLoader->FileOpen(inv.file) != 1 || !openPort())
        return Failed;
    if (fpgaLoader->Reset() != 1) {
        complain("Error, the FPGA reset failed\n");
        return Failed;
    }
    if (fpgaLoader->Configuration() != 1)
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
