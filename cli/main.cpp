#include "cli/CommandLine.h"
#include "cli/ConsoleReporter.h"
#include "cli/FlashTool.h"
#include "cli/InterruptSignal.h"
#include "cli/ProgressLineFilter.h"
#include "cli/Utf8Console.h"
#include "base/ConsoleSink.h"

#include <cstdio>
#include <iostream>
#include <memory>
#include <string>
#include <vector>

#ifdef _WIN32
#include <io.h>
#define PRAVEL_ISATTY(stream) _isatty(_fileno(stream))
#else
#include <unistd.h>
#define PRAVEL_ISATTY(stream) isatty(fileno(stream))
#endif

int main(int argc, char** argv)
{
    InterruptSignal::install();
    const Utf8Console console;

    const std::vector<std::string> args = Utf8Console::arguments(argc, argv);
    Invocation invocation;
    std::string error;
    if (!CommandLine::parse(args, invocation, error)) {
        std::cerr << "pravel-flash: " << error << "\n"
                  << "Try 'pravel-flash " << (invocation.command.empty() ? "" : invocation.command + " ")
                  << "--help'.\n";
        return FlashTool::Usage;
    }

    std::unique_ptr<ProgressLineFilter> filter;
    std::streambuf* original = std::cout.rdbuf();
    if (invocation.quiet) {
        filter = std::make_unique<ProgressLineFilter>(original);
        std::cout.rdbuf(filter.get());
    }

    // With --json standard output is the document alone: the text goes to
    // standard error, without progress.
    std::unique_ptr<ConsoleSink::Route> notesAside;
    if (invocation.json)
        notesAside = std::make_unique<ConsoleSink::Route>(ConsoleSink::Route::WholeProcess, [](ConsoleSink::Stream, const std::string& text) {
            ConsoleSink::toStandardStreams(ConsoleSink::Error, text);
        });
    int status;
    {
        ConsoleReporter reporter(invocation.json ? std::cerr : std::cout, std::cerr,
                                 !invocation.json && PRAVEL_ISATTY(stdout) != 0, invocation.quiet || invocation.json);
        reporter.install();
        FlashTool tool(invocation, reporter, InterruptSignal::flag());
        status = tool.run();
    }
    std::cout.flush();
    std::cout.rdbuf(original);
    return status;
}
