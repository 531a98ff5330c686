// A helper program that runs beside a test in a process of its own and is
// driven line by line: the test writes a command to its standard input and
// reads the one-line answer from its standard output. Its standard error
// goes to the test's. For tests of things shared between processes.
#pragma once

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
    ~PeerProcess();
    PeerProcess(const PeerProcess&) = delete;
    PeerProcess& operator=(const PeerProcess&) = delete;

    bool Started() const { return m_pid > 0; }
    pid_t Pid() const { return m_pid; }

    // Sends one command line.
    bool Send(const std::string& line);
    // The next answer line; "" when the peer ended or said nothing in time.
    std::string Answer(int timeoutMs = 60000);
    // Send, then Answer.
    std::string Ask(const std::string& line, int timeoutMs = 60000);

    // Ends the peer with SIGKILL and reaps it.
    void Kill();
    // Closes its input and waits for its end; the exit code, -1 when killed
    // by a signal.
    int Wait();

private:
    pid_t m_pid = -1;
    int m_in = -1;  // the peer's standard input
    int m_out = -1; // the peer's standard output
    std::string m_pending;
};

} // namespace qvtest
