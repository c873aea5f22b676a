#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

// One image file and where in the flash it goes.
struct ImageSpec
{
    std::string path;
    uint32_t offset = 0;
};

// What the user asked for, checked for form and range.
struct Invocation
{
    // Global options.
    std::string device;
    std::string chip;
    std::string image;
    std::string port = "USB <-> Serial Converter B";
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
    bool all = false;
    bool checkDone = false;
    std::string firmwareDir;       // write/verify --firmware-dir
    std::vector<ImageSpec> images; // write/verify, in the order they are handled
    std::string file;              // read target, fpga bitstream
};

// The tool's command-line grammar:
//   pravel-flash [global options] COMMAND [options]
// Global options may also follow the command.
class CommandLine
{
public:
    static constexpr uint32_t kApplicationOffset = 0x500000;
    static constexpr uint32_t kBitstreamOffset = 0;
    // Flash addresses go out as three bytes.
    static constexpr uint64_t kAddressSpace = 0x1000000;
    // The erase granularity of every supported chip.
    static constexpr uint32_t kSectorSize = 0x10000;

    // false with `error` naming the problem (a usage error).
    static bool parse(const std::vector<std::string>& args, Invocation& invocation, std::string& error);

    // Decimal or 0x-hexadecimal, no sign, at most `max`.
    static bool parseNumber(const std::string& text, uint64_t max, uint64_t& value);

    static std::string toolHelp();
    // Empty for a command the tool does not have.
    static std::string commandHelp(const std::string& command);
};
