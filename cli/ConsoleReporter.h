#pragma once

#include "base/ProgressReporter.h"

#include <cstdint>
#include <iosfwd>
#include <string>

// The tool's end of ProgressReporter: Info reports go to `out`, Error
// reports to `err`, unchanged. "\rProgress: " lines update in place on a
// terminal and are printed one per line otherwise; --quiet drops them.
// While mismatches are being counted, only the first few "Verify failed on
// point: " lines are printed.
class ConsoleReporter
{
public:
    static constexpr uint64_t kShownMismatches = 20;

    ConsoleReporter(std::ostream& out, std::ostream& err, bool terminal, bool quiet);
    // Uninstalls the callback if this reporter installed it.
    ~ConsoleReporter();

    ConsoleReporter(const ConsoleReporter&) = delete;
    ConsoleReporter& operator=(const ConsoleReporter&) = delete;

    void install();
    void report(ProgressReporter::MessageType type, const std::string& text);

    // Ends an in-place progress line, so the next text starts on a line of its own.
    void finishLine();

    void startCountingMismatches();
    // Mismatches reported since startCountingMismatches().
    uint64_t mismatches() const { return mismatchCount; }
    // Position named by the first of them (valid when mismatches() > 0).
    uint64_t firstMismatch() const { return firstMismatchPosition; }

private:
    std::ostream& out;
    std::ostream& err;
    bool terminal;
    bool quiet;
    bool installed = false;
    bool lineOpen = false;
    bool counting = false;
    uint64_t mismatchCount = 0;
    uint64_t firstMismatchPosition = 0;
};
