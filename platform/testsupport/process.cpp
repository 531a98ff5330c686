#include "platform/testsupport/process.h"

#include "platform/testsupport/command.h"

#include <cerrno>
#include <csignal>
#include <cstdlib>
#include <cstring>
#include <fcntl.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

extern char** environ;

namespace qvtest {
namespace {

int ExitCode(int status)
{
    return WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
}

// Waits for the end through the handle, then reaps the child; nothing on
// timeout.
std::optional<int> Reap(pid_t pid, const qvplat::ProcessHandle& process,
                        std::chrono::milliseconds timeout)
{
    if (process.IsOpen() && !process.WaitForExit(static_cast<std::uint32_t>(timeout.count()))) {
        return std::nullopt;
    }
    int status = 0;
    pid_t done;
    do {
        done = ::waitpid(pid, &status, 0);
    } while (done < 0 && errno == EINTR);
    return done == pid ? std::optional<int>(ExitCode(status)) : std::nullopt;
}

} // namespace

ChildProcess::~ChildProcess()
{
    if (m_pid > 0) {
        ::kill(m_pid, SIGKILL);
        ::waitpid(m_pid, nullptr, 0);
    }
}

bool ChildProcess::Start(const std::vector<std::string>& argv, const std::string& log,
                         const std::vector<std::pair<std::string, std::string>>& environment)
{
    if (argv.empty() || m_pid > 0) {
        return false;
    }
    const std::string program =
        argv[0].find('/') != std::string::npos ? argv[0] : FindExecutable(argv[0]);
    if (program.empty()) {
        return false;
    }
    std::vector<char*> args;
    for (const std::string& arg : argv) {
        args.push_back(const_cast<char*>(arg.c_str()));
    }
    args[0] = const_cast<char*>(program.c_str());
    args.push_back(nullptr);

    std::vector<std::string> variables;
    for (char** entry = environ; *entry != nullptr; ++entry) {
        const std::string variable(*entry);
        const std::string name = variable.substr(0, variable.find('='));
        bool replaced = false;
        for (const auto& change : environment) {
            replaced = replaced || change.first == name;
        }
        if (!replaced) {
            variables.push_back(variable);
        }
    }
    for (const auto& [name, value] : environment) {
        if (!value.empty()) {
            variables.push_back(name + "=" + value);
        }
    }
    std::vector<char*> env;
    for (std::string& variable : variables) {
        env.push_back(variable.data());
    }
    env.push_back(nullptr);

    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_addopen(&actions, 0, "/dev/null", O_RDONLY, 0);
    posix_spawn_file_actions_addopen(&actions, 1, log.c_str(), O_WRONLY | O_CREAT | O_APPEND, 0644);
    posix_spawn_file_actions_adddup2(&actions, 1, 2);
    const int result =
        ::posix_spawn(&m_pid, program.c_str(), &actions, nullptr, args.data(), env.data());
    posix_spawn_file_actions_destroy(&actions);
    if (result != 0) {
        m_pid = -1;
        return false;
    }
    m_process.Open(m_pid);
    return true;
}

void ChildProcess::Signal(int signal) const
{
    if (m_pid > 0) {
        ::kill(m_pid, signal);
    }
}

std::optional<int> ChildProcess::WaitForExit(std::chrono::milliseconds timeout)
{
    if (m_pid <= 0) {
        return std::nullopt;
    }
    const std::optional<int> code = Reap(m_pid, m_process, timeout);
    if (code) {
        m_pid = -1;
        m_process.Close();
    }
    return code;
}

} // namespace qvtest
