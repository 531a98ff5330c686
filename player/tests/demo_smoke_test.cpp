// The README's own path, on the programs' defaults, in the test's own network
// namespace: castdeck (castdeck_uitest transmit, on its own Xvfb display)
// opens a one-minute sample and presses "Start Transmission" with the
// panel's defaults (Rewind and SAP checked, 225.1.1.1 port 2010); the player
// in ctlhost_uitest (on another display), with nothing but the toolbar set,
// lists the program in its channel dialog, plays it on a double click and
// shows a moving picture (the window's picture differs from the one a
// second before), stops and plays it again. The screenshots are kept
// under the build tree's Testing/demo folder.
#include "platform/tests/settings_env.h"
#include "platform/testsupport/display.h"
#include "platform/testsupport/netns_fixture.h"
#include "platform/testsupport/process.h"

#include <gtest/gtest.h>

#include <csignal>
#include <filesystem>
#include <fstream>
#include <regex>
#include <sstream>
#include <string>

namespace {

namespace fs = std::filesystem;
using namespace std::chrono_literals;

// How long the player may take from the double click (or Play) to a moving
// picture: the receiver's start threshold fills in about 2 s at the
// samples' 3.5 Mbit/s, and a click just before the end of a pass waits for
// castdeck's 5 s pause and the next pass as well.
constexpr const char* kMovingBoundMs = "20000";
// The test picture in the player's window shows thousands of colours (its
// colour band); its logo, backgrounds and toolbar a few hundred at most.
constexpr const char* kPictureColours = "5000";

std::string ReadFile(const fs::path& path)
{
    std::ifstream in(path, std::ios::binary);
    std::stringstream text;
    text << in.rdbuf();
    return text.str();
}

class DemoSmoke : public qvtest::NetnsTest
{
};

TEST_F(DemoSmoke, CastdeckSendsALongSampleAndThePlayerPlaysItOnItsDefaults)
{
    if (!qvtest::XvfbServer::IsInstalled()) {
        GTEST_SKIP() << "Xvfb is not installed (run scripts/setup.sh)";
    }
    qvtest::SettingsEnv settings; // the registry store of all programs
    qvtest::XvfbServer senderScreen;
    qvtest::XvfbServer playerScreen;
    ASSERT_FALSE(senderScreen.Display().empty() || playerScreen.Display().empty())
        << "Xvfb did not start";
    const fs::path runtime = settings.Root() / "runtime";
    fs::create_directories(runtime);
    fs::permissions(runtime, fs::perms::owner_all);
    const auto envFor = [&](const qvtest::XvfbServer& screen) {
        return std::vector<std::pair<std::string, std::string>>{
            {"DISPLAY", screen.Display()},
            {"GDK_BACKEND", "x11"},
            {"NO_AT_BRIDGE", "1"},
            {"XDG_RUNTIME_DIR", runtime.string()},
            {"LSAN_OPTIONS",
             std::string("suppressions=") + QV_GUI_LSAN_SUPPRESSIONS + ":print_suppressions=0"},
        };
    };
    const std::string work = settings.Root().string();
    for (const char* server : {PLAYERCTL_LIBRARY, CASTSOURCE_LIBRARY}) {
        const auto reg = qvtest::RunProgram(QVREGSVR_BINARY, {server}, envFor(playerScreen), work,
                                            std::chrono::seconds(60));
        ASSERT_EQ(reg.exitCode, 0) << reg.output;
    }
    const fs::path artifacts = DEMO_ARTIFACT_DIR;
    fs::create_directories(artifacts);

    // ffmpeg's MPEG-1 system layer ("mpeg" muxer) carries a pack header only
    // every few packets and a system header only at its start: the player
    // must find its way in without them, with MPEG-1 and with MPEG-2 video.
    for (const char* name : {"long_m2t", "long_m2p", "long_m1s", "long_m1s_m2v"}) {
        SCOPED_TRACE(name);
        const fs::path sample =
            fs::path(QV_LONG_SAMPLES_DIR) /
            (name + std::string(std::string_view(name) == "long_m2t" ? ".ts" : ".mpg"));
        ASSERT_TRUE(fs::exists(sample)) << sample << " (the build makes it: target long_samples)";

        // castdeck writes its logs into its working directory.
        const fs::path deckDir = settings.Root() / name;
        fs::create_directories(deckDir);
        const fs::path deckLog = deckDir / "castdeck_uitest.txt";
        qvtest::ChildProcess castdeck;
        ASSERT_TRUE(castdeck.Start({"/bin/sh", "-c", "cd \"$0\" && exec \"$@\"", deckDir.string(),
                                    CASTDECK_UITEST_BINARY, "transmit", sample.string()},
                                   deckLog.string(), envFor(senderScreen)));

        const auto shot = [&](const std::string& suffix) {
            const fs::path path = artifacts / (std::string(name) + "-" + suffix + ".png");
            fs::remove(path);
            return path;
        };
        const fs::path channels = shot("channels");
        const fs::path first = shot("playing");
        const fs::path second = shot("playing-1s-later");
        const fs::path again = shot("played-again");
        // 32785 opens the channel dialog; 32773 is Stop and 32772 Play on
        // the toolbar.
        const std::string moving =
            std::string("wait-moving ") + kPictureColours + " " + kMovingBoundMs + "\n";
        const fs::path script = settings.Root() / "script.txt";
        std::ofstream(script) << "command 32785\n"
                              << "wait-row " << name << " 60000\n"
                              << "screenshot " << channels.string() << "\n"
                              << "double-click-row 0\n"
                              << moving << "screenshot " << first.string() << "\n"
                              << "sleep 1000\n"
                              << "screenshot " << second.string() << "\n"
                              << "command 32773\n"
                                 "wait-event StreamEvent 3 30000\n"
                                 "command 32772\n"
                              << moving << "screenshot " << again.string() << "\n"
                              << "quit\n";
        // The demo's own command line.
        const auto host =
            qvtest::RunProgram(CTLHOST_UITEST_BINARY,
                               {"--param", "PropList=ToolBar=1", "--size", "480x360", "--script",
                                script.string(), "PLAYERCTL.PlayerCtlCtrl.1"},
                               envFor(playerScreen), work, std::chrono::seconds(240));
        castdeck.Signal(SIGTERM);
        const std::optional<int> deckExit = castdeck.WaitForExit(60s);
        const std::string deckOutput = ReadFile(deckLog);
        EXPECT_EQ(host.exitCode, 0) << host.output << "\ncastdeck:\n" << deckOutput;
        EXPECT_EQ(deckExit, 0) << deckOutput;
        EXPECT_NE(deckOutput.find("225.1.1.1 port 2010"), std::string::npos) << deckOutput;
        EXPECT_NE(deckOutput.find("Rewind checked, SAP checked"), std::string::npos) << deckOutput;

        const std::string row =
            "wait-row " + std::string(name) + ": row 0 \"225.1.1.1-2010  " + name + "\"\n";
        EXPECT_NE(host.output.find(row), std::string::npos) << row << host.output;
        // wait-moving saw the player's window change over a second, twice;
        // the screenshots show it.
        EXPECT_TRUE(fs::exists(first) && fs::exists(second) && fs::exists(again)) << host.output;
        static const std::regex times(
            R"(wait-moving \d+: picture after (\d+) ms, moving after (\d+) ms)");
        for (auto it = std::sregex_iterator(host.output.begin(), host.output.end(), times);
             it != std::sregex_iterator(); ++it) {
            std::printf("demo smoke: %s: picture %s ms after the click, moving by %s ms\n", name,
                        (*it)[1].str().c_str(), (*it)[2].str().c_str());
        }
    }
    std::printf("demo smoke: screenshots in %s\n", artifacts.c_str());
}

} // namespace
