#pragma once

#include "device/DiagnosisReport.h"
#include "device/DiagnosisStep.h"

#include <cstdint>
#include <functional>
#include <string>
#include <vector>

class TFtdi;
class TRom;
struct FlashChip;

// A bring-up and support check of the bridge, the wiring and the flash, in
// order: the USB channels, the MPSSE engine, the data path inside the
// bridge, the SPI lines to the flash, the flash and its registers, the read
// speed, and what the flash holds. Each step ends "ok" or with a finding,
// its likely cause and what to do; the diagnosis stops at the first step
// that rules out the rest. It opens the port itself and closes it again.
//
// It never erases, programs or writes a register: the flash sees only reads.
class Diagnosis
{
public:
    // Called as each step ends, on the thread that runs the diagnosis.
    using StepSeen = std::function<void(const DiagnosisStep&)>;

    // Bounds and sizes; the times are on the port's clock.
    static constexpr uint32_t syncWaitMicroseconds = 300000; // beyond the longest latency timer, 255 ms
    static constexpr uint64_t slowAnswerMicroseconds = 10000; // the loader sets 2 ms
    static constexpr unsigned identificationReads = 4;
    static constexpr uint32_t identificationBytes = 3; // manufacturer, type, capacity
    static constexpr uint16_t retryClockDivisor = 29;  // 1 MHz
    static constexpr uint32_t loopbackBytes = 256;
    static constexpr uint32_t speedBytes = 0x100000;   // read for the speed, and the bitstream's start

    // `port`: the channel's description; `program` names the face in the report.
    Diagnosis(TFtdi& ftdi, TRom& rom, std::string port, std::string program);

    static const std::vector<DiagnosisReport::StepName>& steps();

    DiagnosisReport run(const StepSeen& seen = nullptr);

private:
    DiagnosisStep channels();
    DiagnosisStep mpsseSync();
    DiagnosisStep loopback();
    DiagnosisStep spiLines();
    DiagnosisStep flash();
    DiagnosisStep readSpeed();
    DiagnosisStep contents();

    // Reads the identification `identificationReads` times; true when every
    // read worked, the answers into `answers`.
    bool readIdentifications(std::vector<std::vector<unsigned char>>& answers);

    TFtdi& ftdi;
    TRom& rom;
    std::string port;
    std::string program;
    bool portOpen = false;
    // Carried from step to step.
    std::vector<unsigned char> identification; // the steady JEDEC answer
    const FlashChip* chip = nullptr;           // the part it names, when supported
    uint32_t flashSize = 0;
    std::vector<unsigned char> start; // the first bytes of the flash, from address 0
};
