#pragma once

#include "cli/CommandLine.h"

#include <memory>
#include <string>

class Clock;
class ConsoleReporter;
class InterruptibleDriver;
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

    FlashTool(const Invocation& invocation, ConsoleReporter& reporter);
    ~FlashTool();

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

    bool openPort();
    void closePort();
    bool openAndIdentify();
    bool checkImageFiles(bool forWrite);
    void printFirmwareVersion();
    bool verifyLoadedImage(const ImageSpec& image);

    void say(const std::string& text);
    void complain(const std::string& text);

    const Invocation& inv;
    ConsoleReporter& reporter;
    std::shared_ptr<InterruptibleDriver> driver;
    Clock* clock = nullptr;
    std::unique_ptr<TFtdi> ftdi;
    std::unique_ptr<TRom> rom;
    std::unique_ptr<TFpga> fpgaLoader;
    bool portOpen = false;
};
