#pragma once

// A program run as a child (POSIX): only the given environment (and PATH),
// standard input empty, output captured.

#include "tests/support/Files.h"

#include <fcntl.h>
#include <signal.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cstdlib>
#include <filesystem>
#include <map>
#include <string>
#include <thread>
#include <vector>

namespace testsupport {

struct ChildOutcome
{
    int status = -1; // exit code, 128 + signal, or -1 when it could not start or had to be stopped
    std::string out, err;
};

// Runs `argv` in `cwd`; stopped after `guard` (a hang guard, not a time limit).
inline ChildOutcome runChild(const std::vector<std::string>& argv, const std::map<std::string, std::string>& env,
                             const std::filesystem::path& cwd,
                             std::chrono::seconds guard = std::chrono::seconds(110))
{
    std::vector<std::string> args = argv, environment;
    for (const auto& [name, value] : env)
        environment.push_back(name + "=" + value);
    if (!env.count("PATH"))
        environment.push_back(std::string("PATH=") + (getenv("PATH") ? getenv("PATH") : "/usr/bin:/bin") +
                              ":/usr/sbin:/sbin");
    std::vector<char*> cargv, cenv;
    for (auto& a : args)
        cargv.push_back(a.data());
    for (auto& e : environment)
        cenv.push_back(e.data());
    cargv.push_back(nullptr);
    cenv.push_back(nullptr);
    const std::string out = (cwd / ".stdout").string(), err = (cwd / ".stderr").string();
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_addchdir_np(&actions, cwd.c_str());
    posix_spawn_file_actions_addopen(&actions, 0, "/dev/null", O_RDONLY, 0);
    posix_spawn_file_actions_addopen(&actions, 1, out.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0600);
    posix_spawn_file_actions_addopen(&actions, 2, err.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0600);
    pid_t pid = -1;
    ChildOutcome outcome;
    if (posix_spawnp(&pid, cargv[0], &actions, nullptr, cargv.data(), cenv.data()) == 0) {
        int raw = 0;
        pid_t done = 0;
        const auto deadline = std::chrono::steady_clock::now() + guard;
        while ((done = waitpid(pid, &raw, WNOHANG)) == 0 && std::chrono::steady_clock::now() < deadline)
            std::this_thread::sleep_for(std::chrono::milliseconds(2));
        if (done == pid) {
            outcome.status = WIFEXITED(raw) ? WEXITSTATUS(raw) : 128 + WTERMSIG(raw);
        } else {
            kill(pid, SIGKILL);
            waitpid(pid, nullptr, 0);
        }
    }
    posix_spawn_file_actions_destroy(&actions);
    const Bytes o = readFile(out), e = readFile(err);
    outcome.out.assign(o.begin(), o.end());
    outcome.err.assign(e.begin(), e.end());
    std::filesystem::remove(out);
    std::filesystem::remove(err);
    return outcome;
}

} // namespace testsupport
