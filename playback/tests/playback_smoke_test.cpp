// A sample played into a wx window on a private Xvfb display by
// playback_driver; its screenshots are kept under the build tree's
// Testing/playback folder.
#include "platform/testsupport/display.h"
#include "platform/testsupport/tempfiles.h"

#include <gtest/gtest.h>

#include <filesystem>
#include <regex>

namespace {

namespace fs = std::filesystem;

TEST(PlaybackSmoke, SampleShowsInAWindowAndFullScreen)
{
    if (!qvtest::XvfbServer::IsInstalled()) {
        GTEST_SKIP() << "Xvfb is not installed (scripts/setup.sh installs it)";
    }
    qvtest::XvfbServer server;
    ASSERT_FALSE(server.Display().empty()) << "Xvfb did not start";
    const fs::path artifacts = PLAYBACK_ARTIFACT_DIR;
    fs::create_directories(artifacts);
    fs::remove(artifacts / "playback-window.png");

    const qvtest::ProgramResult result = qvtest::RunProgram(
        PLAYBACK_DRIVER, {qvtest::SamplePath("m1s_testsrc.mpg"), artifacts.string()},
        {{"DISPLAY", server.Display()},
         {"GDK_BACKEND", "x11"},
         {"NO_AT_BRIDGE", "1"},
         {"LSAN_OPTIONS",
          std::string("suppressions=") + PLAYBACK_LSAN_SUPPRESSIONS + ":print_suppressions=0"}},
        artifacts.string(), std::chrono::seconds(120));
    ASSERT_EQ(result.exitCode, 0) << result.output;
    // 352x240 in 480x360 less a border of 10: 460x313 at (10, 23).
    for (const char* line : {
             "initialized 1 play 0\n",
             "video 10 23 460 313\n",
             "video-colours 1\n",
             "screenshot 1\n",
             "frame-click 50 53\n",
             "fullscreen-colours 1\n",
             "stop 0 state 0\n",
         }) {
        EXPECT_NE(result.output.find(line), std::string::npos) << line << " in:\n" << result.output;
    }
    // Started, then stopped; on a busy machine the two-second sample may end
    // and start over (65, 1) before the driver stops it.
    EXPECT_TRUE(std::regex_search(result.output, std::regex("\nmessages 49 1( 65 1)* 3\n")))
        << result.output;
    EXPECT_TRUE(fs::exists(artifacts / "playback-window.png"));
    std::printf("playback smoke: screenshots in %s\n", artifacts.c_str());
}

} // namespace
