// The animation window on a private Xvfb display: wndgif_driver plays
// "GIFWAIT" in it and reports; the screenshot it takes is kept under the
// build tree's Testing/wndgif folder.
#include "platform/testsupport/xvfb.h"

#include <gtest/gtest.h>

#include <cctype>
#include <fcntl.h>
#include <filesystem>
#include <fstream>
#include <map>
#include <sstream>
#include <string>
#include <unistd.h>
#include <vector>

namespace {

namespace fs = std::filesystem;

// The driver's report: each line's first word and the numbers after it.
std::map<std::string, std::vector<int>> ParseReport(const std::string& text)
{
    std::map<std::string, std::vector<int>> report;
    std::istringstream lines(text);
    std::string line;
    while (std::getline(lines, line)) {
        std::istringstream words(line);
        std::string key;
        words >> key;
        std::vector<int>& values = report[key];
        std::string word;
        while (words >> word) {
            if (!word.empty() && (std::isdigit(static_cast<unsigned char>(word[0])) != 0)) {
                values.push_back(std::stoi(word));
            }
        }
    }
    return report;
}

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
    fs::remove(screenshot);
    const fs::path output = artifacts / "wndgif-driver.txt";

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
    const std::string text((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
    ASSERT_EQ(status, 0) << text;
    auto report = ParseReport(text);

    // Created hidden; loading and sizing put it at the corner, image size.
    EXPECT_EQ(report["created"], (std::vector<int>{1, 1, 0})) << text;
    EXPECT_EQ(report["first-frame"], (std::vector<int>{0, 0, 128, 32})) << text;
    ASSERT_EQ(report["client"].size(), 3u) << text;
    const int width = report["client"][0];
    const int height = report["client"][1];
    const int bottom = report["client"][2];
    // Centred both ways, then raised to end at the bottom edge.
    EXPECT_EQ(report["placed"], (std::vector<int>{(width - 128) / 2, (height - 32) / 2, 128, 32}))
        << text;
    EXPECT_EQ(report["raised"], (std::vector<int>{(width - 128) / 2, bottom - 32, 128, 32})) << text;
    // GIFWAIT shows each image for 100 ms: at most 20 changes in 2 s,
    // and not much fewer unless the machine is very busy.
    ASSERT_EQ(report["frame-changes"].size(), 1u) << text;
    EXPECT_LE(report["frame-changes"][0], 21) << text;
    EXPECT_GE(report["frame-changes"][0], 5) << text;
    // The screen showed exactly the image.
    EXPECT_EQ(report["screen-differs"], (std::vector<int>{0, 128 * 32})) << text;

    EXPECT_EQ(report["screenshot"], std::vector<int>{1}) << text;
    ASSERT_TRUE(fs::exists(screenshot));
    std::printf("wndgif smoke: screenshot %s\n", screenshot.c_str());
}

} // namespace
