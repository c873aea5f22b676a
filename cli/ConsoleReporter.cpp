#include "cli/ConsoleReporter.h"

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
    if (lineOpen) {
        out << '\n' << std::flush;
        lineOpen = false;
    }
}

void ConsoleReporter::report(ProgressReporter::MessageType type, const std::string& text)
{
    if (startsWith(text, kInPlaceProgress)) {
        if (quiet)
            return;
        if (terminal) {
            out << text << std::flush;
            lineOpen = !endsWithNewline(text);
        } else {
            // A log or a pipe gets each state on a line of its own.
            out << text.substr(1) << (endsWithNewline(text) ? "" : "\n") << std::flush;
        }
        return;
    }
    if (quiet && startsWith(text, kReadProgress))
        return;

    finishLine();
    if (type == ProgressReporter::Error)
        err << text << std::flush;
    else
        out << text << std::flush;
}
