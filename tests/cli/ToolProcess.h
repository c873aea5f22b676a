#pragma once

// Runs the built pravel-flash as a child process with a chosen environment
// and collects its exit status, standard output and standard error.

#include <chrono>
#include <csignal>
#include <cstring>
#include <map>
#include <stdexcept>
#include <string>
#include <vector>

#include <fcntl.h>
#include <poll.h>
#include <sys/wait.h>
#include <unistd.h>

extern char** environ;

namespace clitest {

struct Outcome
{
    int status = -1; // exit code, or 128 + signal
    std::string out;
    std::string err;
};

class ToolProcess
{
public:
    // `env` is added to the parent's environment, from which every
    // PRAVEL_ variable has been removed.
    ToolProcess(const std::vector<std::string>& args, const std::map<std::string, std::string>& env)
    {
        std::vector<std::string> environment;
        for (char** entry = environ; *entry; ++entry)
            if (std::strncmp(*entry, "PRAVEL_", 7) != 0)
                environment.emplace_back(*entry);
        for (const auto& variable : env)
            environment.push_back(variable.first + "=" + variable.second);

        std::vector<std::string> argv = {PRAVEL_FLASH_BINARY};
        argv.insert(argv.end(), args.begin(), args.end());

        int outPipe[2];
        int errPipe[2];
        if (pipe(outPipe) != 0 || pipe(errPipe) != 0)
            throw std::runtime_error("pipe failed");
        pid = fork();
        if (pid < 0)
            throw std::runtime_error("fork failed");
        if (pid == 0) {
            std::vector<char*> cargv;
            for (auto& a : argv)
                cargv.push_back(a.data());
            cargv.push_back(nullptr);
            std::vector<char*> cenv;
            for (auto& e : environment)
                cenv.push_back(e.data());
            cenv.push_back(nullptr);
            const int devNull = open("/dev/null", O_RDONLY);
            dup2(devNull, 0);
            dup2(outPipe[1], 1);
            dup2(errPipe[1], 2);
            close(outPipe[0]);
            close(errPipe[0]);
            execve(cargv[0], cargv.data(), cenv.data());
            _exit(127);
        }
        close(outPipe[1]);
        close(errPipe[1]);
        outFd = outPipe[0];
        errFd = errPipe[0];
    }

    ~ToolProcess()
    {
        if (pid > 0) {
            kill(pid, SIGKILL);
            waitpid(pid, nullptr, 0);
        }
        closeFd(outFd);
        closeFd(errFd);
    }

    ToolProcess(const ToolProcess&) = delete;
    ToolProcess& operator=(const ToolProcess&) = delete;

    // Reads until standard output holds `needle` after position `from`;
    // false on end of output or after ten seconds.
    bool waitForOutput(const std::string& needle, size_t from = 0)
    {
        const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(10);
        while (result.out.find(needle, from) == std::string::npos) {
            if (outFd < 0 || std::chrono::steady_clock::now() > deadline)
                return false;
            pump(100);
        }
        return true;
    }

    const std::string& outputSoFar() const { return result.out; }

    void signal(int number) { kill(pid, number); }

    Outcome finish()
    {
        while (outFd >= 0 || errFd >= 0)
            pump(1000);
        int raw = 0;
        waitpid(pid, &raw, 0);
        pid = -1;
        result.status = WIFEXITED(raw) ? WEXITSTATUS(raw) : 128 + WTERMSIG(raw);
        return result;
    }

private:
    static void closeFd(int& fd)
    {
        if (fd >= 0)
            close(fd);
        fd = -1;
    }

    void pump(int timeoutMs)
    {
        pollfd fds[2] = {{outFd, POLLIN, 0}, {errFd, POLLIN, 0}};
        if (poll(fds, 2, timeoutMs) <= 0)
            return;
        drain(fds[0], outFd, result.out);
        drain(fds[1], errFd, result.err);
    }

    static void drain(const pollfd& p, int& fd, std::string& into)
    {
        if (fd < 0 || !(p.revents & (POLLIN | POLLHUP | POLLERR)))
            return;
        char buffer[65536];
        const ssize_t n = read(fd, buffer, sizeof buffer);
        if (n > 0)
            into.append(buffer, static_cast<size_t>(n));
        else
            closeFd(fd);
    }

    pid_t pid = -1;
    int outFd = -1;
    int errFd = -1;
    Outcome result;
};

} // namespace clitest
