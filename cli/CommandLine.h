#pragma once

#include "device/FirmwareSet.h"

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

// What the user asked for, checked for form and range.
struct Invocation
{
    // Global options.
    std::string device;
    std::string chip;
    std::string image;
    std::string timing;
    std::string pace;
    std::string port = FirmwareSet::portDescription;
    std::string instruments;          // the emulated bench's instruments (--instruments)
    std::vector<std::string> serials; // --serial, in order; several: a batch (write, verify)
    std::optional<uint32_t> location; // --location
    bool json = false;                // --json: list, detect, status, verify
    bool quiet = false;
    bool help = false;
    bool version = false;

    std::string command; // empty: none given

    // Command options.
    std::optional<uint32_t> offset;
    std::optional<uint32_t> length;
    std::optional<uint32_t> nvcrValue;
    bool verify = false;
    bool changedOnly = false; // write: only the sectors that differ
    bool all = false;        // erase: the whole chip; write, verify: every instrument
    std::string reportFile;  // --report: write/verify, the runs' records; diagnose, its report
    bool checkDone = false;
    bool force = false;
    std::string firmwareDir; // write/verify --firmware-dir
    FirmwareSet firmware;    // write/verify
    std::string file;              // read target, fpga bitstream
};

// The tool's command-line grammar:
//   pravel-flash [global options] COMMAND [options]
// Global options may also follow the command.
class CommandLine
{
public:
    // false with `error` naming the problem (a usage error).
    static bool parse(const std::vector<std::string>& args, Invocation& invocation, std::string& error);

    // Decimal or 0x-hexadecimal, no sign, at most `max`.
    static bool parseNumber(const std::string& text, uint64_t max, uint64_t& value);

    static std::string toolHelp();
    // Empty for a command the tool does not have.
    static std::string commandHelp(const std::string& command);
};
