#include "cli/ConsoleReporter.h"

#include <cstdlib>
#include <ostream>

namespace {

const std::string kInPlaceProgress = "\rProgress: ";
const std::string kReadProgress = "progress = ";

bool startsWith(const std::string& text, const std::string& prefix)
{
    return text.compare(0, prefix.size(), prefix) == 0;
}

bool endsWithNewline(const std::string& text)
{
    return !text.empty() && text.back() == '\n';
}

// Every non-empty line of `text` after `prefix`; empty lines are left out.
std::string prefixed(const std::string& prefix, const std::string& text)
{
    std::string out;
    size_t start = 0;
    while (start < text.size()) {
        size_t end = text.find('\n', start);
        const bool complete = end != std::string::npos;
        if (!complete)
            end = text.size();
        if (end > start)
            out += prefix + text.substr(start, end - start) + "\n";
        start = end + 1;
    }
    return out;
}

} // namespace

ConsoleReporter::ConsoleReporter(std::ostream& out, std::ostream& err, bool terminal, bool quiet)
    : out(out), err(err), terminal(terminal), quiet(quiet)
{
}

ConsoleReporter::~ConsoleReporter()
{
    if (installed)
        ProgressReporter::getInstance().setReportCallback({});
    finishLine();
}

void ConsoleReporter::install()
{
    ProgressReporter::getInstance().setReportCallback(
        [this](ProgressReporter::MessageType type, const std::string& text) { report(type, text); });
    installed = true;
}

void ConsoleReporter::finishLine()
{
    std::lock_guard<std::recursive_mutex> lock(mutex);
    finishLineLocked();
}

void ConsoleReporter::finishLineLocked()
{
    if (lineOpen) {
        out << '\n' << std::flush;
        lineOpen = false;
    }
    readLineWidth = 0;
}

bool ConsoleReporter::progressDue(const std::string& source, double percent, bool last)
{
    const auto shown = shownProgress.find(source);
    // A percentage below the last one shown starts a new stage.
    const bool due = last || shown == shownProgress.end() || percent < shown->second ||
                     percent >= shown->second + pipeProgressStep;
    if (due)
        shownProgress[source] = percent;
    if (last)
        shownProgress.erase(source);
    return due;
}

void ConsoleReporter::report(ProgressReporter::MessageType type, const std::string& text)
{
    reportFrom("", type, text);
}

void ConsoleReporter::reportFrom(const std::string& source, ProgressReporter::MessageType type, const std::string& text)
{
    std::lock_guard<std::recursive_mutex> lock(mutex);
    const bool inPlace = terminal && source.empty();
    if (startsWith(text, kInPlaceProgress)) {
        if (quiet)
            return;
        if (inPlace) {
            out << text << std::flush;
            lineOpen = !endsWithNewline(text);
            return;
        }
        // A log or a pipe gets a line now and then, and the closing 100%.
        const bool last = endsWithNewline(text);
        const double percent = std::strtod(text.c_str() + kInPlaceProgress.size(), nullptr);
        if (progressDue(source, percent, last))
            out << (source.empty() ? "" : source + ": ") << text.substr(1) << (last ? "" : "\n") << std::flush;
        return;
    }
    if (startsWith(text, kReadProgress)) {
        if (quiet || !inPlace)
            return;
        // Rewritten in place like the "Progress:" lines: a long read-back
        // would otherwise scroll dozens of them.
        std::string line = text;
        if (endsWithNewline(line))
            line.pop_back();
        // Spaces over what a longer line before left (no terminal escapes: a
        // Windows console may not take them).
        const size_t width = line.size();
        if (line.size() < readLineWidth)
            line.append(readLineWidth - line.size(), ' ');
        readLineWidth = width;
        out << "\r" << line << std::flush;
        lineOpen = true;
        return;
    }

    finishLineLocked();
    shownProgress.erase(source);
    std::ostream& stream = type == ProgressReporter::Error ? err : out;
    stream << (source.empty() ? text : prefixed(source + ": ", text)) << std::flush;
}
