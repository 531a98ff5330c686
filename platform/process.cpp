#include "platform/process.h"

#include <cerrno>
#include <climits>
#include <csignal>
#include <poll.h>
#include <sys/syscall.h>
#include <unistd.h>
#include <utility>

namespace qvplat {

ProcessHandle::~ProcessHandle()
{
    Close();
}

ProcessHandle::ProcessHandle(ProcessHandle&& other) noexcept
    : m_fd(std::exchange(other.m_fd, -1)), m_pid(std::exchange(other.m_pid, 0))
{
}

ProcessHandle& ProcessHandle::operator=(ProcessHandle&& other) noexcept
{
    if (this != &other) {
        Close();
        m_fd = std::exchange(other.m_fd, -1);
        m_pid = std::exchange(other.m_pid, 0);
    }
    return *this;
}

bool ProcessHandle::Open(int pid)
{
    Close();
    if (pid <= 0) {
        errno = ESRCH;
        return false;
    }
    // Process descriptors are close-on-exec from the start.
    const long fd = ::syscall(SYS_pidfd_open, static_cast<pid_t>(pid), 0u);
    if (fd < 0) {
        return false;
    }
    m_fd = static_cast<int>(fd);
    m_pid = pid;
    return true;
}

void ProcessHandle::Close()
{
    if (m_fd >= 0) {
        ::close(m_fd);
    }
    m_fd = -1;
    m_pid = 0;
}

bool ProcessHandle::HasExited() const
{
    return WaitForExit(0);
}

bool ProcessHandle::WaitForExit(std::uint32_t timeoutMs) const
{
    if (m_fd < 0) {
        return false;
    }
    pollfd ended{m_fd, POLLIN, 0};
    const int timeout =
        timeoutMs > static_cast<std::uint32_t>(INT_MAX) ? INT_MAX : static_cast<int>(timeoutMs);
    int result;
    do {
        result = ::poll(&ended, 1, timeout);
    } while (result < 0 && errno == EINTR);
    return result > 0;
}

bool ProcessHandle::Signal(int signal) const
{
    if (m_fd < 0) {
        errno = EBADF;
        return false;
    }
    return ::syscall(SYS_pidfd_send_signal, m_fd, signal, nullptr, 0u) == 0;
}

} // namespace qvplat
