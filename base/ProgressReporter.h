#pragma once

#include <functional>
#include <mutex>
#include <string>

// The one road for text meant for the user: producers report here, the
// installed callback (the presenter) carries the text to the activity log.
class ProgressReporter
{
public:
    enum MessageType { Info = 0, Error = 1 };

    using Callback = std::function<void(MessageType, const std::string&)>;

    static ProgressReporter& getInstance();

    // Replaces the callback; an empty callable uninstalls it.
    void setReportCallback(const Callback& callback);

    // Calls the callback synchronously on the calling thread, if one is installed.
    // The lock held meanwhile lets an uninstall wait for a report in flight, so
    // nothing reaches an owner that has gone.
    void reportMessage(MessageType type, const std::string& message);

    // Shorthands for a report of either type to the one instance.
    static void info(const std::string& message);
    static void error(const std::string& message);

    // While it lives, the reports of the thread that made it go to `callback`
    // instead of the installed one (an instrument's own run marking its
    // lines); routes nest. Thread-local: no lock is taken for them. An
    // empty callback lifts the routes made before it on this thread: its
    // reports reach the installed callback (a route passing reports on).
    class ThreadRoute
    {
    public:
        explicit ThreadRoute(Callback callback);
        ~ThreadRoute();
        ThreadRoute(const ThreadRoute&) = delete;
        ThreadRoute& operator=(const ThreadRoute&) = delete;

    private:
        Callback callback;
        const Callback* previous;
    };

    ProgressReporter(const ProgressReporter&) = delete;
    ProgressReporter& operator=(const ProgressReporter&) = delete;

private:
    ProgressReporter() = default;

    std::recursive_mutex mutex;
    Callback callback;
};
