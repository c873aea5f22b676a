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

    using Route = std::function<void(Stream, const std::string&)>;

    static void note(const std::string& text);
    static void error(const std::string& text);
    static void write(Stream stream, const std::string& text);

    // Where the lines go when no route takes them.
    static void toStandardStreams(Stream stream, const std::string& text);

    // While it lives, every line of the process that no thread route takes
    // goes to `route`. Uninstalling waits for a line in flight, so nothing
    // reaches a route that has gone. Nests like the thread route.
    class ProcessRoute
    {
    public:
        explicit ProcessRoute(Route route);
        ~ProcessRoute();
        ProcessRoute(const ProcessRoute&) = delete;
        ProcessRoute& operator=(const ProcessRoute&) = delete;

    private:
        Route previous;
    };

    // While it lives, the lines of the thread that made it go to `route`.
    // Nests: the one made before it is back when it goes.
    class ThreadRoute
    {
    public:
        explicit ThreadRoute(Route route);
        ~ThreadRoute();
        ThreadRoute(const ThreadRoute&) = delete;
        ThreadRoute& operator=(const ThreadRoute&) = delete;

    private:
        Route route;
        const Route* previous;
    };
};
