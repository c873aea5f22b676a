#pragma once

#include <functional>
#include <string>

// The one road for the device layer's console lines: the low-level notes
// and error lines that never reach the activity log. By default notes go to
// standard output and errors to standard error, each line flushed. A route
// takes them elsewhere: one for the whole process (a test capturing them),
// or one for the calling thread only (an instrument's own thread marking its
// lines), which comes first.
class ConsoleSink
{
public:
    enum Stream { Note, Error };

    using Handler = std::function<void(Stream, const std::string&)>;

    static void note(const std::string& text);
    static void error(const std::string& text);
    static void write(Stream stream, const std::string& text);

    // Where the lines go when no route takes them.
    static void toStandardStreams(Stream stream, const std::string& text);

    // While it lives, the lines of its scope go to `handler`; routes nest,
    // the one made before is back when it goes. Taking down a process route
    // waits for a line in flight, so nothing reaches a handler that has gone.
    class Route
    {
    public:
        enum Scope { WholeProcess, ThisThread };

        Route(Scope scope, Handler handler);
        ~Route();
        Route(const Route&) = delete;
        Route& operator=(const Route&) = delete;

    private:
        Scope scope;
        Handler handler;
        Handler previousProcessHandler;
        const Handler* previousThreadHandler = nullptr;
    };
};
