#pragma once

#include "base/ProgressReporter.h"

#include <cstdint>
#include <iosfwd>
#include <string>

// The tool's end of ProgressReporter: Info reports go to `out`, Error
// reports to `err`, unchanged. "\rProgress: " lines update in place on a
// terminal and are printed one per line otherwise; --quiet drops them.
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

    // Ends an in-place progress line, so the next text starts on a line of its own.
    void finishLine();

private:
    std::ostream& out;
    std::ostream& err;
    bool terminal;
    bool quiet;
    bool installed = false;
    bool lineOpen = false;
};
