#include "cli/CommandLine.h"

#include "base/HexText.h"
#include "composition/DriverSelection.h"
#include "device/FlashGeometry.h"
#include "emulator/config/BenchConfig.h"

#include <algorithm>
#include <cctype>
#include <sstream>

namespace {

struct OptionInfo
{
    const char* name;
    bool takesValue;
};

struct CommandInfo
{
    const char* name;
    const char* synopsis;
    const char* summary;
    const char* details;
    std::vector<OptionInfo> options;
};

const std::vector<OptionInfo> kGlobalOptions = {
    {"--device", true}, {"--chip", true},  {"--image", true},  {"--timing", true}, {"--pace", true}, {"--port", true},
    {"--instruments", true}, {"--serial", true}, {"--location", true}, {"--json", false},
    {"--quiet", false}, {"-q", false},     {"--help", false},  {"-h", false},
    {"--version", false},
};

const std::vector<CommandInfo> kCommands = {
    {"channels", "channels", "list the bridge channels",
     "Lists every channel of the FTDI bridges attached. Fails when none is found.\n",
     {}},
    {"list", "list [--json]", "list the instruments: serial number, USB location, flash part and size",
     "Lists every instrument attached (each bridge channel named by --port), opening\n"
     "each in turn to identify its flash. Fails when none is found.\n",
     {}},
    {"detect", "detect", "identify the flash chip and print its geometry",
     "Opens the port and identifies the flash. Succeeds only for a supported chip.\n",
     {}},
    {"write",
     "write [--verify] [--force] [--changed-only] [--all] [--report FILE] [--offset N] FILE\n"
     "       pravel-flash write [...] [--application FILE] [--bitstream FILE]\n"
     "       pravel-flash write [...] --firmware-dir DIR",
     "erase and program image files",
     "Identifies the flash, then erases the sectors each image covers and programs it.\n"
     "With several instruments attached, choose one with --serial or --location, or\n"
     "several: --all, or --serial more than once, programs them in parallel, each line\n"
     "prefixed with the instrument's serial number, and ends with a table.\n"
     "  --offset N            flash address of FILE (default 0), a multiple of 0x10000\n"
     "  --application FILE    application image, at 0x500000 (written first)\n"
     "  --bitstream FILE      FPGA bitstream, at 0\n"
     "  --firmware-dir DIR    DIR's pravel.srec and download.bit; prints DIR's version.txt\n"
     "  --verify              read each image back afterwards and compare it\n"
     "  --force               write a file even when it does not look like what belongs\n"
     "                        at its offset (a bitstream at 0, S-records at 0x500000)\n"
     "  --changed-only        read each sector first; skip those that already hold the\n"
     "                        image, and the erase where the image only clears bits\n"
     "  --all                 every instrument attached, in parallel\n"
     "  --report FILE         the runs' records (as in the run history) as one JSON document\n",
     {{"--offset", true}, {"--application", true}, {"--bitstream", true}, {"--firmware-dir", true},
      {"--verify", false}, {"--force", false}, {"--changed-only", false}, {"--all", false}, {"--report", true}}},
    {"read", "read --offset N --length N FILE", "read flash into a file",
     "Reads N bytes of flash into FILE. FILE is replaced only when the whole read\n"
     "succeeded; otherwise it is left as it was.\n",
     {{"--offset", true}, {"--length", true}}},
    {"verify",
     "verify [--offset N] FILE\n"
     "       pravel-flash verify [--application FILE] [--bitstream FILE]\n"
     "       pravel-flash verify --firmware-dir DIR",
     "compare the flash with image files",
     "Reads the flash back and compares it with each file. Prints the first 20\n"
     "differing positions and the number of differing bytes.\n"
     "  --offset N            flash address of FILE (default 0)\n"
     "  --application FILE    compare with the flash at 0x500000\n"
     "  --bitstream FILE      compare with the flash at 0\n"
     "  --firmware-dir DIR    DIR's pravel.srec and download.bit\n"
     "  --all                 every instrument attached, in parallel\n"
     "  --report FILE         the runs' records as one JSON document\n"
     "  --json                the runs' records as one JSON document on standard output\n",
     {{"--offset", true}, {"--application", true}, {"--bitstream", true}, {"--firmware-dir", true},
      {"--all", false}, {"--report", true}}},
    {"erase", "erase --offset N --length N\n       pravel-flash erase --all", "erase sectors or the whole chip",
     "  --offset N --length N  erase sector by sector; both multiples of 0x10000\n"
     "  --all                  erase the whole chip\n",
     {{"--offset", true}, {"--length", true}, {"--all", false}}},
    {"status", "status", "print the status and flag status registers", "", {}},
    {"nvcr", "nvcr [--write VALUE]", "read or write the nonvolatile configuration register",
     "Without --write, reads the register. With it, writes VALUE (0 to 0xffff),\n"
     "waits for the flash and reads the register back.\n",
     {{"--write", true}}},
    {"diagnose", "diagnose [--report FILE]", "check the bridge, the wiring and the flash, step by step",
     "Checks, in order: the USB channels, the bridge's MPSSE engine, the data path\n"
     "inside the bridge, the SPI lines to the flash, the flash and its registers,\n"
     "the read speed, and what the flash holds. Prints one line per step: ok, or\n"
     "the finding with its likely cause and what to do. Stops at the first step\n"
     "that rules out the rest. Never erases, programs or writes a register.\n"
     "Fails when a step has a finding.\n"
     "  --report FILE         also write everything as JSON, for support\n",
     {{"--report", true}}},
    {"fpga", "fpga [--check-done] FILE.bit\n       pravel-flash fpga --check-done",
     "configure the FPGA directly from a bitstream",
     "Resets the FPGA and clocks FILE.bit into it, bypassing the flash.\n"
     "  --check-done          read the FPGA's DONE pin afterwards; fail when it is low.\n"
     "                        Without FILE only DONE is read: whether the FPGA started\n"
     "                        from the flash at power-up\n",
     {{"--check-done", false}}},
    {"check-boot", "check-boot", "tell whether the FPGA would start from the flash",
     "Reads the flash from 0 as the FPGA does at power-up, only as far as the bitstream\n"
     "reaches, and checks it for the instrument's FPGA: sync word, IDCODE, CRC checks,\n"
     "frame count, START. Prints the bitstream's facts and the verdict; exit status 1\n"
     "when the FPGA would not start.\n",
     {}},
};

const CommandInfo* findCommand(const std::string& name)
{
    for (const CommandInfo& command : kCommands)
        if (name == command.name)
            return &command;
    return nullptr;
}

const OptionInfo* findOption(const std::vector<OptionInfo>& options, const std::string& name)
{
    for (const OptionInfo& option : options)
        if (name == option.name)
            return &option;
    return nullptr;
}

class Parser
{
public:
    Parser(Invocation& invocation, std::string& error) : inv(invocation), error(error) {}

    bool run(const std::vector<std::string>& args);

private:
    bool fail(const std::string& text)
    {
        error = text;
        return false;
    }
    bool option(const std::string& name, const std::string& value);
    bool number(const std::string& name, const std::string& text, uint64_t max, std::optional<uint32_t>& into);
    bool check();
    bool checkImages(bool forWrite);
    bool checkRange(bool sectorAligned);

    Invocation& inv;
    std::string& error;
    const CommandInfo* command = nullptr;
    std::vector<std::string> files;
    std::string application;
    std::string bitstream;
};

bool Parser::run(const std::vector<std::string>& args)
{
    bool optionsEnded = false;
    for (size_t i = 0; i < args.size(); ++i) {
        const std::string& arg = args[i];
        const bool isOption = !optionsEnded && arg.size() > 1 && arg[0] == '-';
        if (!optionsEnded && arg == "--") {
            optionsEnded = true;
            continue;
        }
        if (!isOption) {
            if (!command) {
                command = findCommand(arg);
                if (!command)
                    return fail("unknown command \"" + arg + "\"");
                inv.command = arg;
            } else {
                files.push_back(arg);
            }
            continue;
        }

        std::string name = arg;
        std::string value;
        bool inlineValue = false;
        const size_t equals = arg.find('=');
        if (arg.compare(0, 2, "--") == 0 && equals != std::string::npos) {
            name = arg.substr(0, equals);
            value = arg.substr(equals + 1);
            inlineValue = true;
        }
        const OptionInfo* info = findOption(kGlobalOptions, name);
        if (!info && command)
            info = findOption(command->options, name);
        if (!info) {
            if (command)
                return fail("unknown option " + name + " for " + command->name);
            return fail("unknown option " + name);
        }
        if (info->takesValue && !inlineValue) {
            if (i + 1 >= args.size())
                return fail(name + " needs a value");
            value = args[++i];
        } else if (!info->takesValue && inlineValue) {
            return fail(name + " takes no value");
        }
        if (!option(name, value))
            return false;
    }
    if (inv.help || inv.version)
        return true;
    return check();
}

bool Parser::number(const std::string& name, const std::string& text, uint64_t max, std::optional<uint32_t>& into)
{
    uint64_t value = 0;
    if (!CommandLine::parseNumber(text, UINT64_MAX, value))
        return fail(name + ": \"" + text + "\" is not a number (decimal or 0x hexadecimal)");
    if (value > max)
        return fail(name + " " + text + " is out of range (at most " + hexText(max) + ")");
    into = static_cast<uint32_t>(value);
    return true;
}

bool Parser::option(const std::string& name, const std::string& value)
{
    if (name == "--device") {
        if (const std::string why = DriverSelection::refusal(value); !why.empty())
            return fail(emu::BenchConfig::Setting{value, name}.quoted() + " " + why);
        inv.device = value;
    } else if (name == "--chip") {
        inv.chip = value;
    } else if (name == "--image") {
        inv.image = value;
    } else if (name == "--timing") {
        if (const std::string why = emu::BenchConfig::refusal("timing", value); !why.empty())
            return fail(emu::BenchConfig::Setting{value, name}.quoted() + " " + why);
        inv.timing = value;
    } else if (name == "--instruments") {
        inv.instruments = value;
    } else if (name == "--serial") {
        if (value.empty())
            return fail("--serial needs a serial number");
        inv.serials.push_back(value);
    } else if (name == "--location") {
        return number(name, value, UINT32_MAX, inv.location);
    } else if (name == "--json") {
        inv.json = true;
    } else if (name == "--report") {
        if (value.empty())
            return fail("--report needs a file name");
        inv.reportFile = value;
    } else if (name == "--pace") {
        if (const std::string why = emu::BenchConfig::refusal("pace", value); !why.empty())
            return fail(emu::BenchConfig::Setting{value, name}.quoted() + " " + why);
        inv.pace = value;
    } else if (name == "--port") {
        if (value.empty())
            return fail("--port needs a non-empty description");
        inv.port = value;
    } else if (name == "--quiet" || name == "-q") {
        inv.quiet = true;
    } else if (name == "--help" || name == "-h") {
        inv.help = true;
    } else if (name == "--version") {
        inv.version = true;
    } else if (name == "--offset") {
        return number(name, value, FlashGeometry::addressSpace - 1, inv.offset);
    } else if (name == "--length") {
        return number(name, value, FlashGeometry::addressSpace, inv.length);
    } else if (name == "--write") {
        return number(name, value, 0xFFFF, inv.nvcrValue);
    } else if (name == "--application") {
        application = value;
    } else if (name == "--bitstream") {
        bitstream = value;
    } else if (name == "--firmware-dir") {
        inv.firmwareDir = value;
    } else if (name == "--verify") {
        inv.verify = true;
    } else if (name == "--changed-only") {
        inv.changedOnly = true;
    } else if (name == "--force") {
        inv.force = true;
    } else if (name == "--all") {
        inv.all = true;
    } else if (name == "--check-done") {
        inv.checkDone = true;
    }
    if ((name == "--application" || name == "--bitstream" || name == "--firmware-dir" || name == "--report") &&
        value.empty())
        return fail(name + " needs a non-empty path");
    return true;
}

bool Parser::checkRange(bool sectorAligned)
{
    if (!inv.offset)
        return fail(std::string(command->name) + " needs --offset");
    if (!inv.length)
        return fail(std::string(command->name) + " needs --length");
    if (*inv.length == 0)
        return fail("--length must be at least 1");
    if (uint64_t(*inv.offset) + *inv.length > FlashGeometry::addressSpace)
        return fail("--offset " + hexText(*inv.offset) + " with --length " + hexText(*inv.length) +
                    " runs past the flash's address space (" + hexText(FlashGeometry::addressSpace) + ")");
    if (sectorAligned && (*inv.offset % FlashGeometry::sectorSize || *inv.length % FlashGeometry::sectorSize))
        return fail("--offset and --length must be multiples of the erase sector, " + hexText(FlashGeometry::sectorSize) +
                    ": an erase wipes whole sectors");
    return true;
}

bool Parser::checkImages(bool forWrite)
{
    const std::string name = command->name;
    const bool named = !application.empty() || !bitstream.empty();
    const int forms = (files.empty() ? 0 : 1) + (named ? 1 : 0) + (inv.firmwareDir.empty() ? 0 : 1);
    if (forms == 0)
        return fail(name + " needs a FILE, --application/--bitstream, or --firmware-dir");
    if (forms > 1)
        return fail(name + ": give either a FILE, --application/--bitstream, or --firmware-dir, not several");
    if (files.size() > 1)
        return fail(name + " takes one FILE; \"" + files[1] + "\" is one too many");
    if (inv.offset && files.empty())
        return fail("--offset goes with a FILE, not with --application, --bitstream or --firmware-dir");

    if (!files.empty()) {
        const uint32_t offset = inv.offset.value_or(0);
        // The erase before programming wipes whole sectors: an offset inside
        // one would lose the bytes in front of it.
        if (forWrite && offset % FlashGeometry::sectorSize)
            return fail("--offset " + hexText(offset) + " must be a multiple of the erase sector, " +
                        hexText(FlashGeometry::sectorSize));
        inv.firmware = FirmwareSet::single(files[0], offset);
        return true;
    }
    inv.firmware = inv.firmwareDir.empty() ? FirmwareSet::basic(application, bitstream)
                                           : FirmwareSet::inDirectory(inv.firmwareDir);
    return true;
}

bool Parser::check()
{
    if (!command)
        return fail("no command given");
    const std::string name = command->name;
    const bool batchable = name == "write" || name == "verify";
    if (inv.serials.size() > 1 && !batchable)
        return fail(name + " takes one --serial; several are for write and verify");
    if (inv.location && !inv.serials.empty())
        return fail("choose an instrument either by --serial or by --location, not both");
    if (batchable && inv.all && (inv.location || !inv.serials.empty()))
        return fail(name + " --all takes every instrument: leave out --serial and --location");
    if (inv.json && name != "list" && name != "detect" && name != "status" && name != "verify")
        return fail("--json is for list, detect, status and verify");
    const bool takesImages = name == "write" || name == "verify";
    const size_t maxFiles = takesImages || name == "read" || name == "fpga" ? 1 : 0;
    if (!takesImages && files.size() > maxFiles)
        return fail(name + " takes " + (maxFiles ? "one FILE" : "no FILE") + "; \"" + files[maxFiles] +
                    "\" is one too many");

    if (takesImages)
        return checkImages(name == "write");
    if (name == "read") {
        if (files.empty())
            return fail("read needs a FILE to write to");
        inv.file = files[0];
        return checkRange(false);
    }
    if (name == "erase") {
        if (inv.all && (inv.offset || inv.length))
            return fail("erase takes either --all or --offset and --length, not both");
        return inv.all || checkRange(true);
    }
    if (name == "fpga") {
        if (files.empty() && !inv.checkDone)
            return fail("fpga needs a FILE.bit, or --check-done alone to read DONE");
        inv.file = files.empty() ? std::string() : files[0];
    }
    return true;
}

} // namespace

bool CommandLine::parse(const std::vector<std::string>& args, Invocation& invocation, std::string& error)
{
    invocation = Invocation();
    error.clear();
    return Parser(invocation, error).run(args);
}

bool CommandLine::parseNumber(const std::string& text, uint64_t max, uint64_t& value)
{
    const bool isHex = text.size() > 2 && text[0] == '0' && (text[1] == 'x' || text[1] == 'X');
    const size_t start = isHex ? 2 : 0;
    const unsigned base = isHex ? 16 : 10;
    if (text.size() == start)
        return false;
    uint64_t result = 0;
    for (size_t i = start; i < text.size(); ++i) {
        const unsigned char c = static_cast<unsigned char>(text[i]);
        unsigned digit;
        if (std::isdigit(c))
            digit = c - '0';
        else if (isHex && std::isxdigit(c))
            digit = static_cast<unsigned>(std::tolower(c) - 'a' + 10);
        else
            return false;
        if (result > (max - digit) / base)
            return false;
        result = result * base + digit;
    }
    value = result;
    return true;
}

std::string CommandLine::toolHelp()
{
    std::ostringstream s;
    s << "Usage: pravel-flash [global options] COMMAND [options]\n"
         "\n"
         "Reads, writes and checks the instrument's SPI configuration flash through\n"
         "channel B of its FTDI bridge, and configures the FPGA directly.\n"
         "\n"
         "Commands:\n";
    for (const CommandInfo& command : kCommands)
        s << "  " << command.name << std::string(12 - std::min<size_t>(11, std::string(command.name).size()), ' ')
          << command.summary << "\n";
    std::string devices;
    for (const std::string& device : DriverSelection::devices())
        devices += (devices.empty() ? "" : "|") + device;
    const std::vector<std::string>& timings = emu::BenchConfig::timings();
    s << "\n"
         "Global options:\n"
         "  --device " << devices << std::string(26 - std::min<size_t>(25, devices.size()), ' ')
      << "the bridge's driver (default: PRAVEL_DEVICE,\n"
         "                                     else the platform's)\n"
         "  --chip NAME        the emulated flash chip (default: PRAVEL_EMULATED_CHIP)\n"
         "  --image PATH       the emulated flash's contents file (default: PRAVEL_EMULATED_IMAGE)\n"
         "  --timing MODE      the emulated flash's busy times: " << emu::BenchConfig::listed(timings) << "\n"
         "                     (default: PRAVEL_EMULATED_TIMING, else " << timings.front() << ")\n"
         "  --pace PACE        the emulated clock: " << emu::BenchConfig::listed(emu::BenchConfig::paces())
      << " (in step with real\n"
         "                     time; default: PRAVEL_EMULATED_PACE, else " << emu::BenchConfig::paces().front() << ")\n"
         "  --port DESCRIPTION the bridge channel (default: \"" << FirmwareSet::portDescription << "\")\n"
         "  --serial S         the instrument with this serial number (list shows them); given\n"
         "                     several times, write and verify run on all of them in parallel\n"
         "  --location L       the instrument at this USB location (list shows them)\n"
         "  --instruments BENCH\n"
         "                     the emulated bench: a count, or chip[:image] entries\n"
         "                     (default: PRAVEL_EMULATED_INSTRUMENTS, else one instrument)\n"
         "  --json             list, detect, status, verify: JSON on standard output\n"
         "  -q, --quiet        no progress lines\n"
         "  -h, --help         this help; after a command, that command's help\n"
         "  --version          the tool's version\n"
         "\n"
         "Numbers are decimal or 0x hexadecimal. Exit status: 0 success, 1 the operation\n"
         "failed, 2 usage error, 130 interrupted (Ctrl-C stops between transactions).\n";
    return s.str();
}

std::string CommandLine::commandHelp(const std::string& name)
{
    const CommandInfo* command = findCommand(name);
    if (!command)
        return {};
    std::ostringstream s;
    s << "Usage: pravel-flash [global options] " << command->synopsis << "\n\n"
      << static_cast<char>(std::toupper(static_cast<unsigned char>(command->summary[0]))) << (command->summary + 1)
      << ".\n";
    if (*command->details)
        s << "\n" << command->details;
    return s.str();
}
