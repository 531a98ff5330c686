#include "platform/testsupport/xvfb.h"

#include "platform/testsupport/command.h"
#include "platform/testsupport/process.h"

#include <chrono>
#include <csignal>
#include <fcntl.h>
#include <poll.h>
#include <unistd.h>

namespace qvtest {

bool XvfbServer::Available()
{
    return !FindExecutable("Xvfb").empty();
}

XvfbServer::XvfbServer()
{
    const std::string binary = FindExecutable("Xvfb");
    int fds[2];
    if (binary.empty() || ::pipe(fds) != 0) {
        return;
    }
    m_pid = ::fork();
    if (m_pid == 0) {
        ::close(fds[0]);
        const std::string fd = std::to_string(fds[1]);
        const int quiet = ::open("/dev/null", O_WRONLY);
        ::dup2(quiet, STDOUT_FILENO);
        ::dup2(quiet, STDERR_FILENO);
        ::execl(binary.c_str(), "Xvfb", "-displayfd", fd.c_str(), "-screen", "0", "1280x1024x24",
                "-nolisten", "tcp", "-noreset", static_cast<char*>(nullptr));
        ::_exit(127);
    }
    ::close(fds[1]);
    // The server writes its display number and a line feed once it listens.
    std::string number;
    pollfd reader{fds[0], POLLIN, 0};
    while (m_pid > 0 && ::poll(&reader, 1, 30000) > 0) {
        char c = 0;
        if (::read(fds[0], &c, 1) != 1 || c == '\n') {
            break;
        }
        number += c;
    }
    ::close(fds[0]);
    if (!number.empty()) {
        m_display = ":" + number;
    }
}

XvfbServer::~XvfbServer()
{
    if (m_pid > 0) {
        ::kill(m_pid, SIGTERM);
        WaitForChild(m_pid, std::chrono::seconds(10));
    }
}

} // namespace qvtest
