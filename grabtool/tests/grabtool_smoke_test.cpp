// Smoke test of grabtool under a private Xvfb display, in a private network
// namespace: grabtool_uitest walks through Start, a capture of data sent to
// 127.0.0.1, Stop and Exit, and keeps a screenshot of the dialog mid-capture
// under the build tree's Testing/grabtool folder.
#include "platform/testsupport/command.h"
#include "platform/testsupport/netns.h"
#include "platform/testsupport/tempfiles.h"

#include <gtest/gtest.h>

#include <chrono>
#include <csignal>
#include <fcntl.h>
#include <filesystem>
#include <poll.h>
#include <sys/wait.h>
#include <thread>
#include <unistd.h>

namespace {

namespace fs = std::filesystem;

// Waits for a child; kills it after the timeout. The exit status, or -1.
int WaitFor(pid_t pid, std::chrono::seconds timeout)
{
    const auto deadline = std::chrono::steady_clock::now() + timeout;
    int status = 0;
    while (waitpid(pid, &status, WNOHANG) != pid) {
        if (std::chrono::steady_clock::now() > deadline) {
            kill(pid, SIGKILL);
            waitpid(pid, &status, 0);
            return -1;
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(50));
    }
    return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
}

// Xvfb on a display number it picks itself (-displayfd), so parallel runs
// never collide.
class XvfbServer
{
public:
    explicit XvfbServer(const std::string& binary)
    {
        int fds[2];
        if (pipe(fds) != 0) {
            return;
        }
        m_pid = fork();
        if (m_pid == 0) {
            const int quiet = open("/dev/null", O_WRONLY);
            dup2(quiet, STDOUT_FILENO);
            dup2(quiet, STDERR_FILENO);
            execl(binary.c_str(), "Xvfb", "-displayfd", std::to_string(fds[1]).c_str(), "-screen",
                  "0", "1280x1024x24", "-nolisten", "tcp", static_cast<char*>(nullptr));
            _exit(127);
        }
        close(fds[1]);
        pollfd reader{fds[0], POLLIN, 0};
        char c = 0;
        while (m_pid > 0 && poll(&reader, 1, 30000) > 0 && read(fds[0], &c, 1) == 1 && c != '\n') {
            m_display += c;
        }
        close(fds[0]);
        m_display = m_display.empty() ? "" : ":" + m_display;
    }
    ~XvfbServer()
    {
        if (m_pid > 0) {
            kill(m_pid, SIGTERM);
            WaitFor(m_pid, std::chrono::seconds(10));
        }
    }
    const std::string& Display() const { return m_display; }

private:
    pid_t m_pid = -1;
    std::string m_display;
};

TEST(GrabtoolSmoke, CapturesUnderXvfb)
{
    const std::string xvfb = qvtest::FindExecutable("Xvfb");
    if (xvfb.empty()) {
        GTEST_SKIP() << "Xvfb is not installed (scripts/setup.sh installs it)";
    }
    // The dialog lists the host's addresses and listens on them: only
    // loopback may be up.
    qvtest::ScopedNetNamespace netns;
    if (!netns.IsReady()) {
        GTEST_SKIP() << "network namespaces unavailable: " << netns.Error();
    }
    XvfbServer server(xvfb);
    ASSERT_FALSE(server.Display().empty()) << "Xvfb did not start";
    qvtest::TempDir dir("grabtool_smoke");
    const fs::path artifacts = GRABTOOL_ARTIFACT_DIR;
    fs::create_directories(artifacts);
    fs::remove(artifacts / "grabtool-capturing.png");

    const fs::path output = dir.Path() / "output.txt";
    const pid_t pid = fork();
    if (pid == 0) {
        if (chdir(dir.Path().c_str()) != 0) {
            _exit(126);
        }
        setenv("DISPLAY", server.Display().c_str(), 1);
        setenv("GDK_BACKEND", "x11", 1);
        setenv("NO_AT_BRIDGE", "1", 1);
        setenv("QV_WINDOWS_DIR", dir.Path().c_str(), 1);
        setenv("HOME", dir.Path().c_str(), 1);
        setenv("XDG_RUNTIME_DIR", dir.Path().c_str(), 1);
        // Under the sanitizers: leaks inside the GUI libraries are theirs.
        setenv("LSAN_OPTIONS", "suppressions=" GRABTOOL_LSAN_SUPPRESSIONS ":print_suppressions=0",
               1);
        const int out = open(output.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
        dup2(out, STDOUT_FILENO);
        dup2(out, STDERR_FILENO);
        execl(GRABTOOL_UITEST_BINARY, "grabtool_uitest", artifacts.c_str(),
              static_cast<char*>(nullptr));
        _exit(127);
    }
    ASSERT_GT(pid, 0);
    const int status = WaitFor(pid, std::chrono::seconds(240));
    const qvtest::Bytes bytes = qvtest::ReadAll(output.string());
    const std::string log(bytes.begin(), bytes.end());
    EXPECT_EQ(status, 0) << log;
    EXPECT_NE(log.find("uitest: PASS"), std::string::npos) << log;
    const fs::path png = artifacts / "grabtool-capturing.png";
    ASSERT_TRUE(fs::exists(png)) << log;
    EXPECT_GT(fs::file_size(png), 2000u);
    EXPECT_TRUE(fs::exists(dir.Path() / "QvDebug.log")); // in the Windows directory
}

} // namespace
