// pravel-emulate: runs a program with the emulated FT2232H on a virtual USB
// bus, in place of the system's libusb, and reports the emulated time and
// the USB traffic when it ends.

#include "emulator/config/BenchConfig.h"
#include "emulator/config/UsbFaultPlan.h"
#include "emulator/usb/EmulatedUsbBus.h"

#include <dirent.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <iostream>
#include <string>
#include <vector>

namespace {

const char* const kLibraryName = "libpravel-usb.so";

// `items` comma-separated from column `indent` on, in lines of at most 90 characters.
std::string wrapped(const std::vector<std::string>& items, size_t indent)
{
    std::string text;
    std::string line;
    for (size_t i = 0; i < items.size(); ++i) {
        const std::string item = items[i] + (i + 1 < items.size() ? "," : "");
        if (!line.empty() && indent + line.size() + 1 + item.size() > 90) {
            text += line + "\n" + std::string(indent, ' ');
            line.clear();
        }
        line += (line.empty() ? "" : " ") + item;
    }
    return text + line;
}

void usage(std::ostream& out)
{
    using emu::BenchConfig;
    std::vector<std::string> chips = BenchConfig::chips();
    chips.erase(std::remove(chips.begin(), chips.end(), BenchConfig::unpluggedChip), chips.end()); // named on its own
    out << "usage: pravel-emulate [--chip NAME] [--image FILE] [--faults LIST] [--timing MODE] [--pace PACE]\n"
           "                      [--boot MODE] [--instruments BENCH] [--virtual-time] -- COMMAND [ARG...]\n"
           "Runs COMMAND with an emulated FT2232H (VID 0403, PID 6010) and the instrument's flash\n"
           "behind channel B on a virtual USB bus, in place of the system's libusb-1.0.\n"
           "  --chip NAME      the flash: "
        << BenchConfig::listed(chips) << ", or " << BenchConfig::unpluggedChip
        << " (no device)\n"
           "                   (default "
        << emu::InstrumentOptions().chip
        << ")\n"
           "  --image FILE     keep the flash's contents in FILE (created erased when missing)\n"
           "  --faults LIST    "
        << wrapped(emu::UsbFaultPlan::forms(), 19)
        << " (N counts USB transfers from 1)\n"
           "  --timing MODE    "
        << BenchConfig::listed(BenchConfig::timings())
        << ": the flash's busy times and USB\n"
           "                   microframes on the emulated clock (default "
        << BenchConfig::timings().front()
        << ")\n"
           "  --instruments BENCH  several FT2232H, one instrument each: a count (3), or chip[:image]\n"
           "                   entries (mt25q128:a.bin,s25fl256); serials FT7PRVL, FT7PRVL2, ...;\n"
           "                   a fault aimed at one: 2:unplug@N\n"
           "  --pace PACE      "
        << BenchConfig::listed(BenchConfig::paces())
        << ": realtime keeps the emulated clock in step with\n"
           "                   real time, for a demo (default "
        << BenchConfig::paces().front()
        << ")\n"
           "  --boot MODE      "
        << BenchConfig::listed(BenchConfig::boots())
        << ": at power-up the FPGA stays unconfigured, or\n"
           "                   configures itself from the flash at 0 (default "
        << BenchConfig::boots().front()
        << ")\n"
           "  --virtual-time   COMMAND's own sleeps and clock reads run on the emulated clock too\n"
           "At exit the emulated time and the USB counts go to standard error.\n";
}

std::string directoryOf(const std::string& path)
{
    const auto slash = path.rfind('/');
    return slash == std::string::npos ? "." : path.substr(0, slash);
}

bool exists(const std::string& path)
{
    struct stat info;
    return ::stat(path.c_str(), &info) == 0 && S_ISREG(info.st_mode);
}

// Beside the launcher in the build tree, else where the install put it
// relative to the launcher (so an installed tree may move), else where it
// was configured to go.
std::string findLibrary()
{
    const char* forced = std::getenv("PRAVEL_USB_LIBRARY");
    if (forced && *forced)
        return forced;
    std::vector<std::string> candidates;
    char self[4096];
    const ssize_t n = ::readlink("/proc/self/exe", self, sizeof self - 1);
    if (n > 0) {
        self[n] = '\0';
        const std::string bin = directoryOf(self);
        candidates.push_back(bin + "/" + kLibraryName);
        candidates.push_back(bin + "/../" PRAVEL_USB_INSTALLED_LIBDIR "/" + kLibraryName);
    }
    candidates.push_back(std::string(PRAVEL_USB_LIBDIR) + "/" + kLibraryName);
    for (const std::string& candidate : candidates)
        if (exists(candidate))
            return candidate;
    return "";
}

struct Totals
{
    unsigned long long values[6] = {};
    unsigned processes = 0;
};

Totals collect(const std::string& directory)
{
    Totals totals;
    DIR* dir = ::opendir(directory.c_str());
    if (!dir)
        return totals;
    while (dirent* entry = ::readdir(dir)) {
        if (entry->d_name[0] == '.')
            continue;
        const std::string path = directory + "/" + entry->d_name;
        std::ifstream in(path);
        unsigned long long v[6];
        if (in >> v[0] >> v[1] >> v[2] >> v[3] >> v[4] >> v[5]) {
            for (int i = 0; i < 6; ++i)
                totals.values[i] += v[i];
            ++totals.processes;
        }
        ::unlink(path.c_str());
    }
    ::closedir(dir);
    ::rmdir(directory.c_str());
    return totals;
}

void report(const Totals& totals)
{
    if (totals.processes == 0) {
        std::fprintf(stderr, "pravel-emulate: the program made no USB request\n");
        return;
    }
    const unsigned long long* v = totals.values;
    std::fprintf(stderr,
                 "pravel-emulate: emulated time %.6f s; USB: %llu bulk transfers (%llu out, %llu in), "
                 "%llu bytes out, %llu bytes in, %llu control requests\n",
                 double(v[0]) / 1e9, v[1] + v[2], v[1], v[2], v[3], v[4], v[5]);
}

} // namespace

int main(int argc, char** argv)
{
    using emu::BenchConfig;
    BenchConfig::Settings settings; // by name: chip, image, faults, timing, pace, boot, instruments
    bool virtualTime = false;
    int i = 1;
    for (; i < argc; ++i) {
        const std::string arg = argv[i];
        if (arg == "--") {
            ++i;
            break;
        }
        if (arg == "-h" || arg == "--help") {
            usage(std::cout);
            return 0;
        }
        if (arg == "--virtual-time") {
            virtualTime = true;
            continue;
        }
        const auto& names = BenchConfig::names();
        const bool known = arg.rfind("--", 0) == 0 && std::find(names.begin(), names.end(), arg.substr(2)) != names.end();
        if (!known || i + 1 >= argc) {
            std::cerr << "pravel-emulate: " << (!known ? "unknown option " : "missing value for ") << arg << "\n";
            usage(std::cerr);
            return 2;
        }
        settings[arg.substr(2)] = argv[++i];
    }
    if (i >= argc) {
        std::cerr << "pravel-emulate: no command given\n";
        usage(std::cerr);
        return 2;
    }

    // Refuse bad options here, before the program runs with a dead bus.
    BenchConfig checked;
    std::string error;
    if (!BenchConfig::parse(BenchConfig::options(settings), BenchConfig::Face::Usb, checked, error)) {
        std::cerr << "pravel-emulate: " << error << "\n";
        return 2;
    }
    const std::string library = findLibrary();
    if (library.empty()) {
        std::cerr << "pravel-emulate: cannot find " << kLibraryName << " (set PRAVEL_USB_LIBRARY)\n";
        return 2;
    }

    char reportTemplate[] = "/tmp/pravel-emulate.XXXXXX";
    const char* reportDir = ::mkdtemp(reportTemplate);
    if (!reportDir) {
        std::cerr << "pravel-emulate: cannot make a directory for the counts: " << std::strerror(errno) << "\n";
        return 2;
    }

    // The stand-in reads the same settings from its environment.
    for (const std::string& name : BenchConfig::names())
        ::unsetenv(BenchConfig::variable(emu::EmulatedUsbBus::kPrefix, name).c_str());
    ::unsetenv(emu::EmulatedUsbBus::kVirtualTime);
    for (const auto& [name, value] : settings)
        ::setenv(BenchConfig::variable(emu::EmulatedUsbBus::kPrefix, name).c_str(), value.c_str(), 1);
    if (virtualTime)
        ::setenv(emu::EmulatedUsbBus::kVirtualTime, "1", 1);
    ::setenv(emu::EmulatedUsbBus::kReport, reportDir, 1);
    const char* preload = std::getenv("LD_PRELOAD");
    ::setenv("LD_PRELOAD", (library + (preload && *preload ? std::string(":") + preload : "")).c_str(), 1);
    // A program built with AddressSanitizer wants its runtime first; the stand-in comes first instead.
    const char* asan = std::getenv("ASAN_OPTIONS");
    ::setenv("ASAN_OPTIONS",
             (std::string("verify_asan_link_order=0") + (asan && *asan ? std::string(":") + asan : "")).c_str(), 1);

    std::fflush(nullptr);
    const pid_t child = ::fork();
    if (child < 0) {
        std::cerr << "pravel-emulate: fork: " << std::strerror(errno) << "\n";
        return 2;
    }
    if (child == 0) {
        ::execvp(argv[i], argv + i);
        std::fprintf(stderr, "pravel-emulate: cannot run %s: %s\n", argv[i], std::strerror(errno));
        ::_exit(127);
    }
    int status = 0;
    while (::waitpid(child, &status, 0) < 0 && errno == EINTR) {
    }
    report(collect(reportDir));
    if (WIFSIGNALED(status))
        return 128 + WTERMSIG(status);
    return WIFEXITED(status) ? WEXITSTATUS(status) : 1;
}
