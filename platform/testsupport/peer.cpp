#include "platform/testsupport/peer.h"

#include <cerrno>
#include <csignal>
#include <fcntl.h>
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
    if (::pipe2(toPeer, O_CLOEXEC) != 0 || ::pipe2(fromPeer, O_CLOEXEC) != 0) {
        return;
    }
    m_pid = ::fork();
    if (m_pid == 0) {
        // Only async-signal-safe calls between fork and exec.
        ::dup2(toPeer[0], STDIN_FILENO);
        ::dup2(fromPeer[1], STDOUT_FILENO);
        ::close_range(3, ~0U, 0);
        ::execv(argv[0], argv.data());
        ::_exit(127);
    }
    ::close(toPeer[0]);
    ::close(fromPeer[1]);
    m_in = ::fdopen(toPeer[1], "w");
    m_out = ::fdopen(fromPeer[0], "r");
}

bool PeerProcess::Send(const std::string& line)
{
    return m_in != nullptr && std::fprintf(m_in, "%s\n", line.c_str()) > 0 &&
           std::fflush(m_in) == 0;
}

std::string PeerProcess::Answer()
{
    char line[512];
    if (m_out == nullptr || std::fgets(line, sizeof line, m_out) == nullptr) {
        return {};
    }
    std::string text(line);
    if (!text.empty() && text.back() == '\n') {
        text.pop_back();
    }
    return text;
}

void PeerProcess::Kill()
{
    if (m_pid > 0) {
        ::kill(m_pid, SIGKILL);
        while (::waitpid(m_pid, nullptr, 0) < 0 && errno == EINTR) {
        }
        m_pid = -1;
    }
    for (std::FILE** file : {&m_in, &m_out}) {
        if (*file != nullptr) {
            std::fclose(*file);
            *file = nullptr;
        }
    }
}

} // namespace qvtest
