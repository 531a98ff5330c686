#include "platform/testsupport/xvfb.h"

#include "platform/testsupport/command.h"

#include <csignal>
#include <fcntl.h>
#include <poll.h>
#include <sys/wait.h>
#include <thread>
#include <unistd.h>

namespace qvtest {

int WaitForExit(pid_t pid, std::chrono::seconds timeout)
{
    const auto deadline = std::chrono::steady_clock::now() + timeout;
    int status = 0;
    while (std::chrono::steady_clock::now() < deadline) {
        const pid_t done = waitpid(pid, &status, WNOHANG);
        if (done == pid) {
            return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(50));
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
    int fds[2];
    if (binary.empty() || pipe(fds) != 0) {
        return;
    }
    m_pid = fork();
    if (m_pid == 0) {
        close(fds[0]);
        const std::string fd = std::to_string(fds[1]);
        const int quiet = open("/dev/null", O_WRONLY);
        dup2(quiet, STDOUT_FILENO);
        dup2(quiet, STDERR_FILENO);
        execl(binary.c_str(), "Xvfb", "-displayfd", fd.c_str(), "-screen", "0", "1280x1024x24",
              "-nolisten", "tcp", "-noreset", static_cast<char*>(nullptr));
        _exit(127);
    }
    close(fds[1]);
    std::string number;
    pollfd reader{fds[0], POLLIN, 0};
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(30);
    while (m_pid > 0 && std::chrono::steady_clock::now() < deadline) {
        if (poll(&reader, 1, 100) > 0) {
            char c = 0;
            const ssize_t got = read(fds[0], &c, 1);
            if (got <= 0 || c == '\n') {
                break;
            }
            number += c;
        }
    }
    close(fds[0]);
    if (!number.empty()) {
        m_display = ":" + number;
    }
}

XvfbServer::~XvfbServer()
{
    if (m_pid > 0) {
        kill(m_pid, SIGTERM);
        WaitForExit(m_pid, std::chrono::seconds(10));
    }
}

} // namespace qvtest
