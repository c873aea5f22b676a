#pragma once

#include <string>
#include <vector>

struct RunRecord;

// The user's run history: one JSON line per run appended to
// $XDG_STATE_HOME/pravel-fw-loader/runs.jsonl (default
// ~/.local/state/pravel-fw-loader/runs.jsonl; on Windows
// %LOCALAPPDATA%\pravel-fw-loader\runs.jsonl). Each line goes out in one
// write under a process-wide lock and in append mode, so runs in parallel
// never tear or interleave a line. A history that cannot be written costs
// the run nothing but a warning.
class RunHistory
{
public:
    // The default place; empty when the environment names no home.
    static std::string defaultPath();

    explicit RunHistory(std::string path = defaultPath());

    // false with `warning` saying why the line was not (wholly) written.
    bool append(const RunRecord& record, std::string& warning) const;
    // Each record in order, up to the first that cannot be written. Empty, or
    // the warning line to show; the runs' results stand either way.
    std::string appendAll(const std::vector<RunRecord>& records) const;

    const std::string& path() const { return file; }

private:
    std::string file;
};
