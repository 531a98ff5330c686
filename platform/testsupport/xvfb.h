// A private X server for tests of windows (Xvfb), and waiting for the
// programs a test starts.
#pragma once

#include <chrono>
#include <string>

#include <sys/types.h>

namespace qvtest {

// Waits for a child process; kills it after the timeout. Its exit status, or
// -1 when it had to be killed or died of a signal.
int WaitForExit(pid_t pid, std::chrono::seconds timeout);

// An Xvfb server on a display number it picks itself (-displayfd), so tests
// running in parallel never collide; stopped when the object goes.
class XvfbServer
{
public:
    // Starts the server; Display() stays empty when Xvfb is not installed
    // or does not come up within 30 s.
    XvfbServer();
    ~XvfbServer();
    XvfbServer(const XvfbServer&) = delete;
    XvfbServer& operator=(const XvfbServer&) = delete;

    // True when the Xvfb program is installed.
    static bool IsInstalled();

    // ":<number>" for $DISPLAY; empty when the server did not start.
    const std::string& Display() const { return m_display; }

private:
    pid_t m_pid = -1;
    std::string m_display;
};

} // namespace qvtest
