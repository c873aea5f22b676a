#include "record/RunHistory.h"

#include "record/RunRecord.h"

#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <mutex>
#include <system_error>

#ifdef _WIN32
#include <fcntl.h>
#include <io.h>
#include <sys/stat.h>
#else
#include <fcntl.h>
#include <unistd.h>
#endif

namespace fs = std::filesystem;

namespace {

const char kFolder[] = "pravel-fw-loader";
const char kFile[] = "runs.jsonl";

std::mutex& historyMutex()
{
    static std::mutex mutex;
    return mutex;
}

std::string variable(const char* name)
{
    const char* value = std::getenv(name);
    return value ? value : "";
}

} // namespace

std::string RunHistory::defaultPath()
{
#ifdef _WIN32
    const std::string base = variable("LOCALAPPDATA");
    if (base.empty())
        return {};
    return base + "\\" + kFolder + "\\" + kFile;
#else
    std::string base = variable("XDG_STATE_HOME");
    // The XDG rule: a relative value is invalid and ignored.
    if (base.empty() || base[0] != '/') {
        const std::string home = variable("HOME");
        if (home.empty())
            return {};
        base = home + "/.local/state";
    }
    return base + "/" + kFolder + "/" + kFile;
#endif
}

RunHistory::RunHistory(std::string path) : file(std::move(path)) {}

bool RunHistory::append(const RunRecord& record, std::string& warning) const
{
    warning.clear();
    if (file.empty()) {
        warning = "no place for the run history (neither XDG_STATE_HOME nor HOME is set)";
        return false;
    }
    const std::string line = record.jsonLine() + "\n";
    std::lock_guard<std::mutex> lock(historyMutex());
    std::error_code ec;
    const fs::path target = fs::u8path(file);
    fs::create_directories(target.parent_path(), ec);
    if (ec) {
        warning = "cannot create " + target.parent_path().u8string() + ": " + ec.message();
        return false;
    }
#ifdef _WIN32
    const int fd = _wopen(target.wstring().c_str(), _O_WRONLY | _O_APPEND | _O_CREAT | _O_BINARY, _S_IREAD | _S_IWRITE);
#else
    const int fd = ::open(target.c_str(), O_WRONLY | O_APPEND | O_CREAT | O_CLOEXEC, 0644);
#endif
    if (fd < 0) {
        warning = "cannot open " + file + ": " + std::strerror(errno);
        return false;
    }
    // One write: in append mode the system puts it whole at the end, also
    // against another process appending at the same time.
#ifdef _WIN32
    const long long written = _write(fd, line.data(), static_cast<unsigned>(line.size()));
    const int error = errno;
    _close(fd);
#else
    const long long written = ::write(fd, line.data(), line.size());
    const int error = errno;
    ::close(fd);
#endif
    if (written != static_cast<long long>(line.size())) {
        warning = "cannot write to " + file + ": " + (written < 0 ? std::strerror(error) : "the disk is full");
        return false;
    }
    return true;
}

std::string RunHistory::appendAll(const std::vector<RunRecord>& records) const
{
    for (const RunRecord& record : records) {
        std::string warning;
        if (!append(record, warning))
            return "Warning: the run was not recorded in the run history: " + warning + "\n";
    }
    return {};
}
