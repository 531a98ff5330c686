#include "platform/testsupport/display.h"

#include "platform/testsupport/command.h"
#include "platform/process.h"

#include <csignal>
#include <cstdlib>
#include <fcntl.h>
#include <filesystem>
#include <poll.h>
#include <sys/file.h>
#include <sys/wait.h>
#include <unistd.h>

namespace qvtest {

int WaitForExit(pid_t pid, std::chrono::seconds timeout)
{
    qvplat::ProcessHandle process;
    const bool watched = process.Open(pid);
    if (watched) {
        process.WaitForExit(
            static_cast<std::uint32_t>(std::chrono::milliseconds(timeout).count()));
    }
    int status = 0;
    if (waitpid(pid, &status, watched ? WNOHANG : 0) == pid) {
        return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
    }
    kill(pid, SIGKILL);
    waitpid(pid, &status, 0);
    return -1;
}

bool XvfbServer::IsInstalled()
{
    return !FindExecutable("Xvfb").empty();
}

XvfbServer::XvfbServer()
{
    const std::string binary = FindExecutable("Xvfb");
    if (binary.empty()) {
        return;
    }
    // The display number is chosen here and held by a lock of ours for the
    // server's life: servers in different network namespaces do not see each
    // other's sockets (each would take :0), and two on one number also share
    // their compiled keymap file and fail at start.
    constexpr int kFirst = 100;
    constexpr int kCount = 400;
    const int offset = static_cast<int>(getpid() % kCount);
    for (int i = 0; i < kCount && m_display.empty(); ++i) {
        const std::string number = std::to_string(kFirst + (offset + i) % kCount);
        if (std::filesystem::exists("/tmp/.X" + number + "-lock")) {
            continue; // a server outside the tests
        }
        const std::string lockName = "/tmp/.qvtest-xvfb-" + number + ".lock";
        const int lock = open(lockName.c_str(), O_RDWR | O_CREAT | O_CLOEXEC, 0666);
        if (lock < 0) {
            continue;
        }
        if (flock(lock, LOCK_EX | LOCK_NB) == 0 && Start(binary, number)) {
            m_lock = lock;
        } else {
            close(lock);
        }
    }
}

bool XvfbServer::Start(const std::string& binary, const std::string& number)
{
    int fds[2];
    if (pipe(fds) != 0) {
        return false;
    }
    m_pid = fork();
    if (m_pid == 0) {
        close(fds[0]);
        const std::string fd = std::to_string(fds[1]);
        const int quiet = open("/dev/null", O_WRONLY);
        dup2(quiet, STDOUT_FILENO);
        dup2(quiet, STDERR_FILENO);
        const std::string display = ":" + number;
        execl(binary.c_str(), "Xvfb", display.c_str(), "-displayfd", fd.c_str(), "-screen", "0",
              "1024x768x24", "-nolisten", "tcp", "-noreset", static_cast<char*>(nullptr));
        _exit(127);
    }
    close(fds[1]);
    std::string written;
    pollfd reader{fds[0], POLLIN, 0};
    // Xvfb writes the display number once it accepts clients, and ends
    // without writing it when it cannot start.
    while (m_pid > 0 && poll(&reader, 1, 30000) > 0) {
        char c = 0;
        if (read(fds[0], &c, 1) <= 0 || c == '\n') {
            break;
        }
        written += c;
    }
    close(fds[0]);
    if (written.empty()) {
        if (m_pid > 0) {
            kill(m_pid, SIGTERM);
            WaitForExit(m_pid, std::chrono::seconds(10));
        }
        m_pid = -1;
        return false;
    }
    m_display = ":" + written;
    return true;
}

XvfbServer::~XvfbServer()
{
    if (m_pid > 0) {
        kill(m_pid, SIGTERM);
        WaitForExit(m_pid, std::chrono::seconds(10));
    }
    if (m_lock >= 0) {
        close(m_lock);
    }
}

ProgramResult RunProgram(const std::string& program, const std::vector<std::string>& args,
                         const std::vector<std::pair<std::string, std::string>>& env,
                         const std::string& workDir, std::chrono::seconds timeout)
{
    ProgramResult result;
    std::string outputName =
        (std::filesystem::temp_directory_path() / "qvtest-output-XXXXXX").string();
    const int output = mkstemp(outputName.data());
    if (output < 0) {
        return result;
    }
    unlink(outputName.c_str());
    const pid_t pid = fork();
    if (pid == 0) {
        if (!workDir.empty() && chdir(workDir.c_str()) != 0) {
            _exit(126);
        }
        for (const auto& [name, value] : env) {
            setenv(name.c_str(), value.c_str(), 1);
        }
        dup2(output, STDOUT_FILENO);
        dup2(output, STDERR_FILENO);
        std::vector<char*> argv{const_cast<char*>(program.c_str())};
        for (const std::string& arg : args) {
            argv.push_back(const_cast<char*>(arg.c_str()));
        }
        argv.push_back(nullptr);
        execv(program.c_str(), argv.data());
        _exit(127);
    }
    if (pid > 0) {
        result.exitCode = WaitForExit(pid, timeout);
    }
    lseek(output, 0, SEEK_SET);
    char buffer[4096];
    ssize_t got = 0;
    while ((got = read(output, buffer, sizeof buffer)) > 0) {
        result.output.append(buffer, static_cast<std::size_t>(got));
    }
    close(output);
    return result;
}

} // namespace qvtest
