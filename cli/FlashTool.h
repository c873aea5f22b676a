#pragma once

#include "cli/CommandLine.h"
#include "cli/InstrumentCommands.h"
#include "device/FirmwareRun.h"
#include "device/InstrumentList.h"
#include "composition/DriverSelection.h"

#include <atomic>
#include <memory>
#include <string>

class ConsoleReporter;
class TFpga;
class TFtdi;
class TRom;

// Carries out one invocation on the bridge: picks the driver, opens the
// port, runs the command through TFtdi, TRom and TFpga, and closes the port
// again on every path.
class FlashTool
{
public:
    enum ExitStatus { Success = 0, Failed = 1, Usage = 2, Interrupted = 130 };
    // "Verify failed on point: " lines shown per image; the rest are counted.
    static constexpr uint64_t kShownMismatches = 20;

    // Once `stop` is set (Ctrl-C), the device loops end at the next
    // transaction boundary and the tool winds up.
    FlashTool(const Invocation& invocation, ConsoleReporter& reporter, const std::atomic<bool>& stop);
    ~FlashTool();

    // Runs on this driver instead of choosing one from the options and the
    // environment.
    void useDriver(DriverSelection selection);

    int run();

private:
    int setUp();
    int dispatch();
    int channels();
    int detect();
    int write();
    int read();
    int verify();
    int erase();
    int status();
    int nvcr();
    int fpga();
    int diagnose();
    int checkBoot();

    bool openPort();
    void closePort();
    // false after saying why, then `consequence` (if given), then what to
    // check when the bridge failed to carry the identification.
    bool openAndIdentify(const char* consequence = nullptr);
    void printFirmwareVersion();
    int runFirmware(bool verifyOnly);

    void say(const std::string& text);
    void complain(const std::string& text);

    const Invocation& inv;
    ConsoleReporter& reporter;
    const std::atomic<bool>& stop;
    DriverSelection selection;
    bool driverGiven = false;
    std::unique_ptr<TFtdi> ftdi;
    std::unique_ptr<TRom> rom;
    std::unique_ptr<TFpga> fpgaLoader;
    std::unique_ptr<InstrumentCommands> instruments;
    InstrumentList::Instrument chosen; // the instrument the port opens; empty when unknown
    bool refused = false;              // none could be chosen: nothing was opened
    bool portOpen = false;
};
