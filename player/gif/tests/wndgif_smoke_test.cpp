// The animation window on a private Xvfb display: wndgif_driver plays
// "GIFWAIT" in it and reports; the screenshot it takes is kept under the
// build tree's Testing/wndgif folder.
#include "platform/testsupport/display.h"

#include <gtest/gtest.h>

#include <fcntl.h>
#include <filesystem>
#include <fstream>
#include <regex>
#include <unistd.h>

namespace {

namespace fs = std::filesystem;

TEST(WndGifSmoke, PlaysCentredAboveTheBottomEdge)
{
    if (!qvtest::XvfbServer::IsInstalled()) {
        GTEST_SKIP() << "Xvfb is not installed (scripts/setup.sh installs it)";
    }
    qvtest::XvfbServer server;
    ASSERT_FALSE(server.Display().empty()) << "Xvfb did not start";
    const fs::path artifacts = WNDGIF_ARTIFACT_DIR;
    fs::create_directories(artifacts);
    const fs::path screenshot = artifacts / "wndgif-wait.png";
    const fs::path output = artifacts / "wndgif-driver.txt";
    fs::remove(screenshot);

    const pid_t pid = fork();
    if (pid == 0) {
        setenv("DISPLAY", server.Display().c_str(), 1);
        setenv("GDK_BACKEND", "x11", 1);
        setenv("NO_AT_BRIDGE", "1", 1);
        const std::string lsan =
            std::string("suppressions=") + WNDGIF_LSAN_SUPPRESSIONS + ":print_suppressions=0";
        setenv("LSAN_OPTIONS", lsan.c_str(), 1);
        const int out = open(output.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
        dup2(out, STDOUT_FILENO);
        dup2(out, STDERR_FILENO);
        execl(WNDGIF_DRIVER, "wndgif_driver", screenshot.c_str(), static_cast<char*>(nullptr));
        _exit(127);
    }
    ASSERT_GT(pid, 0);
    const int status = qvtest::WaitForExit(pid, std::chrono::seconds(120));
    std::ifstream in(output);
    const std::string report{std::istreambuf_iterator<char>(in), {}};
    ASSERT_EQ(status, 0) << report;

    // The driver's frame has a 480x320 client area; GIFWAIT is 128x32.
    for (const char* line : {
             "created 1 loaded 1 shown 0\n", // hidden until shown
             "first-frame 0 0 128 32\n",     // at the corner, the first image's size
             "placed 176 144 128 32\n",      // centred both ways
             "raised 176 118 128 32\n",      // bottom edge at y = 150
             "screen-differs 0 of 4096\n",   // the screen showed the image exactly
             "screenshot 1\n",
         }) {
        EXPECT_NE(report.find(line), std::string::npos) << line << " in:\n" << report;
    }
    // GIFWAIT shows each image for 100 ms: at most about 20 changes in 2 s
    // (at 10 ms it would be 200), and not far fewer on a sane machine.
    std::smatch changes;
    ASSERT_TRUE(std::regex_search(report, changes, std::regex("frame-changes (\\d+)"))) << report;
    EXPECT_LE(std::stoi(changes[1]), 21) << report;
    EXPECT_GE(std::stoi(changes[1]), 5) << report;
    EXPECT_TRUE(fs::exists(screenshot));
    std::printf("wndgif smoke: screenshot %s\n", screenshot.c_str());
}

} // namespace
