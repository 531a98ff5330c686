// Programs that a test starts and watches while it goes on, such as a peer
// (ffmpeg) announcing beside the code under test.
#pragma once

#include "platform/process.h"

#include <chrono>
#include <optional>
#include <string>
#include <sys/types.h>
#include <utility>
#include <vector>

namespace qvtest {

// A child process that is killed and reaped on every path out of the test.
class ChildProcess
{
public:
    ChildProcess() = default;
    ~ChildProcess();
    ChildProcess(const ChildProcess&) = delete;
    ChildProcess& operator=(const ChildProcess&) = delete;

    // Starts argv[0] (a path, or a name looked up with FindExecutable) with
    // standard input from /dev/null and both outputs appended to `log`, in
    // the calling thread's namespaces, with these variables added to (or,
    // with an empty value, removed from) the environment. False when it
    // could not be started.
    bool Start(const std::vector<std::string>& argv, const std::string& log,
               const std::vector<std::pair<std::string, std::string>>& environment = {});

    pid_t Pid() const { return m_pid; }
    void Signal(int signal) const;
    // Waits for the end; the exit code (128 + the signal for a killed
    // child), or nothing when it did not end within the timeout.
    std::optional<int> WaitForExit(std::chrono::milliseconds timeout);

private:
    pid_t m_pid = -1;
    qvplat::ProcessHandle m_process; // open while the child runs
};

} // namespace qvtest
