// A private X server for tests of programs with windows, and running such a
// program on it with a time limit.
#pragma once

#include <chrono>
#include <string>
#include <utility>
#include <vector>

#include <sys/types.h>

namespace qvtest {

// Waits for a child process; kills it once the timeout has passed. Its exit
// status, or -1 when it had to be killed or died of a signal.
int WaitForExit(pid_t pid, std::chrono::seconds timeout);

// Xvfb on a display number no other test server holds, so parallel runs, in
// any network namespace, never collide. Display() is "" when Xvfb is missing
// or did not start.
class XvfbServer
{
public:
    XvfbServer();
    ~XvfbServer();
    XvfbServer(const XvfbServer&) = delete;
    XvfbServer& operator=(const XvfbServer&) = delete;

    static bool IsInstalled();
    const std::string& Display() const { return m_display; }

private:
    bool Start(const std::string& binary, const std::string& number);

    pid_t m_pid = -1;
    int m_lock = -1;
    std::string m_display;
};

struct ProgramResult
{
    int exitCode = -1;  // -1 when killed (by a signal or the time limit)
    std::string output; // standard output and standard error, interleaved
};

// Runs program with args, the extra environment variables set, in workDir,
// and kills it once timeout has passed.
ProgramResult RunProgram(const std::string& program, const std::vector<std::string>& args,
                         const std::vector<std::pair<std::string, std::string>>& env,
                         const std::string& workDir, std::chrono::seconds timeout);

} // namespace qvtest
