// A helper program that runs beside a test in a process of its own and is
// driven line by line: the test writes a line to its standard input and
// reads its answer, one line, from its standard output. Its standard error
// goes to the test's. For tests of what processes share.
#pragma once

#include <cstdio>
#include <string>
#include <sys/types.h>
#include <vector>

namespace qvtest {

class PeerProcess
{
public:
    // Starts the program (a path) with the arguments and the test's
    // environment.
    explicit PeerProcess(const std::string& program, const std::vector<std::string>& args = {});
    // Kills the peer if it still runs.
    ~PeerProcess() { Kill(); }
    PeerProcess(const PeerProcess&) = delete;
    PeerProcess& operator=(const PeerProcess&) = delete;

    bool Send(const std::string& line);
    // The next line; "" when the peer ended.
    std::string Answer();
    std::string Ask(const std::string& line) { return Send(line) ? Answer() : std::string(); }
    // Ends the peer with SIGKILL and reaps it.
    void Kill();

private:
    pid_t m_pid = -1;
    std::FILE* m_in = nullptr;  // the peer's standard input
    std::FILE* m_out = nullptr; // the peer's standard output
};

} // namespace qvtest
