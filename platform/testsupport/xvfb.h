// A private X server for tests of programs with windows.
#pragma once

#include <string>
#include <sys/types.h>

namespace qvtest {

// Xvfb on a display number it picks itself (-displayfd), so parallel tests
// never collide; ended with the object. Display() is "" when Xvfb is not
// installed or did not start.
class XvfbServer
{
public:
    XvfbServer();
    ~XvfbServer();
    XvfbServer(const XvfbServer&) = delete;
    XvfbServer& operator=(const XvfbServer&) = delete;

    static bool Available();
    // ":<n>"
    const std::string& Display() const { return m_display; }

private:
    pid_t m_pid = -1;
    std::string m_display;
};

} // namespace qvtest
