#pragma once

#include "cli/CommandLine.h"
#include "composition/DriverSelection.h"
#include "device/FirmwareBatch.h"
#include "device/FirmwareRun.h"
#include "device/InstrumentList.h"
#include "record/RunRecord.h"

#include <atomic>
#include <string>
#include <vector>

class ConsoleReporter;
class TFtdi;

// pravel-flash with several instruments on the bus: `list`, the choice of
// one for every command that opens the port (never silently the first of
// several), write and verify on several in parallel, and the record every
// write and verify leaves (the run history, --report, verify --json).
class InstrumentCommands
{
public:
    InstrumentCommands(const Invocation& invocation, ConsoleReporter& reporter, const std::atomic<bool>& stop,
                       const DriverSelection& selection);

    int list(TFtdi& ftdi);

    // Points `ftdi` at the instrument --serial or --location names, or at
    // the only one attached (by description, as ever). false, after saying
    // why, when that instrument is missing or several are there and none
    // was chosen. `chosen` is left empty when the bus could not be listed.
    bool choose(TFtdi& ftdi, InstrumentList::Instrument& chosen);

    // write or verify on several instruments: --all, or --serial more than once.
    bool batchRequested() const;
    int batch(TFtdi& ftdi, const FirmwareRun::Options& options);

    // The record of a run with what the tool knows: program, version, host,
    // options, the firmware directory's version.
    RunRecord completed(RunRecord record) const;
    // Appends each to the run history (a warning when it cannot), writes
    // --report and, for verify --json, prints them. false when --report
    // could not be written.
    bool keep(const std::vector<RunRecord>& records);

    // The slowest instrument's time of the last batch, on its clock; < 0: none ran.
    double batchSeconds() const { return slowest; }

private:
    bool listInstruments(TFtdi& ftdi, InstrumentList& found, bool& listed);
    void say(const std::string& text);
    void complain(const std::string& text);

    const Invocation& inv;
    ConsoleReporter& reporter;
    const std::atomic<bool>& stop;
    const DriverSelection& selection;
    double slowest = -1;
};
