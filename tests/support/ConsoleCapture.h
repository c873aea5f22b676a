#pragma once

// The device layer's console lines, kept for the test while this lives
// instead of going to the standard streams; lines of every thread.

#include "base/ConsoleSink.h"

#include <mutex>
#include <string>
#include <utility>

namespace testsupport {

class ConsoleCapture
{
public:
    // What went to each stream since the last look, which it forgets.
    std::string out() { return take(outText); }
    std::string err() { return take(errText); }
    void clear()
    {
        take(outText);
        take(errText);
    }

private:
    std::string take(std::string& text)
    {
        std::lock_guard<std::mutex> lock(mutex);
        return std::exchange(text, {});
    }

    std::mutex mutex;
    std::string outText, errText;
    // Last: installed once the texts exist, removed before they go.
    ConsoleSink::Route route{ConsoleSink::Route::WholeProcess, [this](ConsoleSink::Stream stream, const std::string& text) {
        std::lock_guard<std::mutex> lock(mutex);
        (stream == ConsoleSink::Error ? errText : outText) += text;
    }};
};

} // namespace testsupport
