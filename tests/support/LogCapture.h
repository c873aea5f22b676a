#pragma once

// The activity log, kept for the test while this lives instead of going to
// the window or the console: reports of every thread, in the order they came.
// The capture made last takes them; any capture that goes ends the routing.

#include "base/ProgressReporter.h"

#include <algorithm>
#include <mutex>
#include <ostream>
#include <string>
#include <utility>
#include <vector>

namespace testsupport {

struct LogRow
{
    ProgressReporter::MessageType type;
    std::string text;
    bool operator==(const LogRow& other) const { return type == other.type && text == other.text; }
    friend std::ostream& operator<<(std::ostream& out, const LogRow& row)
    {
        return out << (row.type == ProgressReporter::Error ? "E| " : "I| ") << row.text;
    }
};
using Log = std::vector<LogRow>;

inline LogRow info(const std::string& text) { return {ProgressReporter::Info, text}; }
inline LogRow error(const std::string& text) { return {ProgressReporter::Error, text}; }

class LogCapture
{
public:
    LogCapture()
    {
        ProgressReporter::getInstance().setReportCallback([this](ProgressReporter::MessageType type, const std::string& text) {
            std::lock_guard<std::mutex> lock(mutex);
            kept.push_back({type, text});
        });
    }
    ~LogCapture() { ProgressReporter::getInstance().setReportCallback({}); }
    LogCapture(const LogCapture&) = delete;
    LogCapture& operator=(const LogCapture&) = delete;

    Log rows() const
    {
        std::lock_guard<std::mutex> lock(mutex);
        return kept;
    }
    std::vector<std::string> texts() const
    {
        std::vector<std::string> out;
        for (const LogRow& row : rows())
            out.push_back(row.text);
        return out;
    }
    bool has(const std::string& text) const
    {
        const Log all = rows();
        return std::any_of(all.begin(), all.end(), [&text](const LogRow& row) { return row.text == text; });
    }
    // What came since the last take, which it forgets.
    Log take()
    {
        std::lock_guard<std::mutex> lock(mutex);
        return std::exchange(kept, {});
    }
    void clear() { take(); }

private:
    mutable std::mutex mutex;
    Log kept;
};

// The rows one under another, for a failure message.
inline std::string joined(const Log& log)
{
    std::string out;
    for (const LogRow& row : log)
        out += (row.type == ProgressReporter::Error ? "E| " : "I| ") + row.text;
    return out;
}

} // namespace testsupport
