#include "platform/testsupport/peer.h"

#include <cerrno>
#include <csignal>
#include <fcntl.h>
#include <poll.h>
#include <sys/wait.h>
#include <unistd.h>

namespace qvtest {

PeerProcess::PeerProcess(const std::string& program, const std::vector<std::string>& args)
{
    std::vector<std::string> all{program};
    all.insert(all.end(), args.begin(), args.end());
    std::vector<char*> argv;
    for (auto& arg : all) {
        argv.push_back(arg.data());
    }
    argv.push_back(nullptr);
    int toPeer[2];
    int fromPeer[2];
    if (::pipe2(toPeer, O_CLOEXEC) != 0) {
        return;
    }
    if (::pipe2(fromPeer, O_CLOEXEC) != 0) {
        ::close(toPeer[0]);
        ::close(toPeer[1]);
        return;
    }
    const pid_t pid = ::fork();
    if (pid == 0) {
        // Only async-signal-safe calls between fork and exec.
        ::dup2(toPeer[0], STDIN_FILENO);
        ::dup2(fromPeer[1], STDOUT_FILENO);
        ::close_range(3, ~0U, 0);
        ::execv(argv[0], argv.data());
        ::_exit(127);
    }
    ::close(toPeer[0]);
    ::close(fromPeer[1]);
    if (pid < 0) {
        ::close(toPeer[1]);
        ::close(fromPeer[0]);
        return;
    }
    m_pid = pid;
    m_in = toPeer[1];
    m_out = fromPeer[0];
}

PeerProcess::~PeerProcess()
{
    Kill();
}

bool PeerProcess::Send(const std::string& line)
{
    if (m_in < 0) {
        return false;
    }
    const std::string text = line + "\n";
    std::size_t done = 0;
    while (done < text.size()) {
        const ssize_t n = ::write(m_in, text.data() + done, text.size() - done);
        if (n < 0 && errno == EINTR) {
            continue;
        }
        if (n <= 0) {
            return false;
        }
        done += static_cast<std::size_t>(n);
    }
    return true;
}

std::string PeerProcess::Answer(int timeoutMs)
{
    for (;;) {
        const auto end = m_pending.find('\n');
        if (end != std::string::npos) {
            std::string line = m_pending.substr(0, end);
            m_pending.erase(0, end + 1);
            return line;
        }
        if (m_out < 0) {
            return {};
        }
        pollfd ready{m_out, POLLIN, 0};
        const int polled = ::poll(&ready, 1, timeoutMs);
        if (polled < 0 && errno == EINTR) {
            continue;
        }
        if (polled <= 0) {
            return {};
        }
        char buffer[512];
        const ssize_t got = ::read(m_out, buffer, sizeof buffer);
        if (got < 0 && errno == EINTR) {
            continue;
        }
        if (got <= 0) {
            return {};
        }
        m_pending.append(buffer, static_cast<std::size_t>(got));
    }
}

std::string PeerProcess::Ask(const std::string& line, int timeoutMs)
{
    return Send(line) ? Answer(timeoutMs) : std::string();
}

void PeerProcess::Kill()
{
    if (m_pid > 0) {
        ::kill(m_pid, SIGKILL);
    }
    Wait();
}

int PeerProcess::Wait()
{
    if (m_in >= 0) {
        ::close(m_in);
        m_in = -1;
    }
    int status = 0;
    int code = -1;
    if (m_pid > 0) {
        while (::waitpid(m_pid, &status, 0) < 0 && errno == EINTR) {
        }
        code = WIFEXITED(status) ? WEXITSTATUS(status) : -1;
        m_pid = -1;
    }
    if (m_out >= 0) {
        ::close(m_out);
        m_out = -1;
    }
    return code;
}

} // namespace qvtest
