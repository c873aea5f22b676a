#pragma once

#include "base/ProgressReporter.h"

#include <cstdint>
#include <iosfwd>
#include <map>
#include <mutex>
#include <string>

// The tool's end of ProgressReporter: Info reports go to `out`, Error
// reports to `err`. On a terminal "\rProgress: " lines and the read's
// "progress = " lines update one line in place; elsewhere (a pipe, a log)
// progress goes out as "Progress: " lines at most every 5% per source and
// stage, and the read's lines not at all. --quiet drops both. Reports of
// several instruments at once (reportFrom) carry their serial number in
// front of every line. Safe to call from several threads.
class ConsoleReporter
{
public:
    ConsoleReporter(std::ostream& out, std::ostream& err, bool terminal, bool quiet);
    // Uninstalls the callback if this reporter installed it.
    ~ConsoleReporter();

    ConsoleReporter(const ConsoleReporter&) = delete;
    ConsoleReporter& operator=(const ConsoleReporter&) = delete;

    void install();
    void report(ProgressReporter::MessageType type, const std::string& text);
    // A report of one instrument among several: "SOURCE: " before each line.
    void reportFrom(const std::string& source, ProgressReporter::MessageType type, const std::string& text);

    // Ends an in-place progress line, so the next text starts on a line of its own.
    void finishLine();

    // Progress shown on a pipe at most this often, in percent, per source and stage.
    static constexpr double pipeProgressStep = 5.0;

private:
    void finishLineLocked();
    // Whether a progress line of `source` at `percent` is due on a pipe.
    bool progressDue(const std::string& source, double percent, bool last);

    std::ostream& out;
    std::ostream& err;
    bool terminal;
    bool quiet;
    bool installed = false;
    bool lineOpen = false;
    size_t readLineWidth = 0; // of the read line shown in place
    std::recursive_mutex mutex;
    std::map<std::string, double> shownProgress; // the last percentage shown per source; absent: none this stage
};
