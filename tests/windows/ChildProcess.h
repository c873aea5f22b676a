#pragma once

#include <filesystem>
#include <map>
#include <optional>
#include <string>
#include <vector>

// A Windows program run as a child process: arguments quoted as the C
// runtime splits them (UTF-8 in, UTF-16 on the command line), the parent's
// environment without any PRAVEL_* variable plus `env`, standard input
// empty, standard output and error captured in files beside `capture`
// (read back with "\n" line ends),
// started in `workingDir` (empty: the parent's).
// The child shares the parent's console, if it has one.
class ChildProcess
{
public:
    struct Outcome
    {
        unsigned long status = ~0ul;
        std::string out, err;
    };

    ChildProcess(const std::filesystem::path& program, const std::vector<std::string>& args,
                 const std::map<std::string, std::string>& env, const std::filesystem::path& capture,
                 const std::filesystem::path& workingDir = {});
    ~ChildProcess(); // ends a child still running
    ChildProcess(const ChildProcess&) = delete;
    ChildProcess& operator=(const ChildProcess&) = delete;

    bool started() const { return process != nullptr; }
    // Whether standard output comes to hold `needle` within ten seconds.
    bool waitForOutput(const std::string& needle);
    std::string output() const;
    Outcome finish();
    void kill();

    // One argument as CommandLineToArgvW and the C runtime read it back.
    static std::wstring quote(const std::wstring& argument);
    static std::wstring wide(const std::string& utf8);

private:
    void* process = nullptr; // HANDLE
    std::filesystem::path outPath, errPath;
};
