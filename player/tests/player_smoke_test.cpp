// The player end to end, in the test's own network namespace, under a
// private Xvfb display and a private registry store: qvregsvr registers the
// player and the multicast source, a transmitter loops a sample with SAP on,
// and ctlhost_uitest (ctlhost with its test verbs) hosts the player with a script that opens the
// channel dialog, plays the announced program, walks the window modes, stops, and plays the sample
// as a file to its end. The screenshots are kept under the build tree's Testing/playerctl folder.
// Then: sinks named by a page are not made, and a popped-up or full-screen player tells the
// container nothing.
#include "platform/tests/settings_env.h"
#include "platform/testsupport/display.h"
#include "platform/testsupport/netns_fixture.h"
#include "platform/testsupport/tempfiles.h"
#include "platform/testsupport/udp_socket.h"
#include "sender/transmit/xmitmpeg.h"

#include <gtest/gtest.h>

#include <arpa/inet.h>

#include <chrono>
#include <cstdint>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <regex>
#include <sstream>
#include <string>
#include <vector>

namespace {

namespace fs = std::filesystem;

constexpr const char* kGroup = "239.7.7.43";

// The numbers of the StreamEvents in the order ctlhost printed them.
std::vector<int> StreamEvents(const std::string& output)
{
    static const std::regex event(R"(^event StreamEvent\((\d+)\)$)");
    std::vector<int> numbers;
    std::istringstream lines(output);
    for (std::string line; std::getline(lines, line);) {
        std::smatch match;
        if (std::regex_match(line, match, event)) {
            numbers.push_back(std::stoi(match[1]));
        }
    }
    return numbers;
}

// The player registered with the multicast source in a private registry
// store, on a private display; the user's settings give a sink that drops
// the audio (the host has no sound).
class PlayerSmoke : public qvtest::NetnsTest
{
protected:
    void SetUp() override
    {
        NetnsTest::SetUp();
        if (IsSkipped() || HasFatalFailure()) {
            return;
        }
        if (!qvtest::XvfbServer::IsInstalled()) {
            GTEST_SKIP() << "Xvfb is not installed (run scripts/setup.sh)";
        }
        m_settings = std::make_unique<qvtest::SettingsEnv>();
        m_xvfb = std::make_unique<qvtest::XvfbServer>();
        ASSERT_FALSE(m_xvfb->Display().empty()) << "Xvfb did not start";
        const fs::path runtime = Root() / "runtime";
        fs::create_directories(runtime);
        fs::permissions(runtime, fs::perms::owner_all);
        m_env = {
            {"DISPLAY", m_xvfb->Display()},
            {"GDK_BACKEND", "x11"},
            {"NO_AT_BRIDGE", "1"},
            {"XDG_RUNTIME_DIR", runtime.string()},
            {"LSAN_OPTIONS",
             std::string("suppressions=") + QV_GUI_LSAN_SUPPRESSIONS + ":print_suppressions=0"},
        };
        for (const char* server : {PLAYERCTL_LIBRARY, CASTSOURCE_LIBRARY}) {
            const auto reg =
                qvtest::RunProgram(QVREGSVR_BINARY, {server}, m_env, Root().string(), kTimeout);
            ASSERT_EQ(reg.exitCode, 0) << reg.output;
        }
        fs::create_directories(Root() / "windows");
        std::ofstream(Root() / "windows" / "QvCtl.ini") << "[QV]\nAudioSink=fakeaudiosink\n";
    }

    const fs::path& Root() const { return m_settings->Root(); }

    // ctlhost with the player, these arguments and the script.
    qvtest::ProgramResult Host(std::vector<std::string> args, const std::string& script)
    {
        const fs::path file = Root() / "script.txt";
        std::ofstream(file) << script;
        for (const char* arg :
             {"--size", "480x360", "--script", file.c_str(), "PLAYERCTL.PlayerCtlCtrl.1"}) {
            args.emplace_back(arg);
        }
        return qvtest::RunProgram(CTLHOST_UITEST_BINARY, args, m_env, Root().string(), kTimeout);
    }

    static constexpr std::chrono::seconds kTimeout{240};
    std::unique_ptr<qvtest::SettingsEnv> m_settings; // the registry store and QvCtl.ini
    std::unique_ptr<qvtest::XvfbServer> m_xvfb;
    std::vector<std::pair<std::string, std::string>> m_env;
};

TEST_F(PlayerSmoke, ListsPlaysAndStopsAnAnnouncedProgramInCtlhost)
{
    const std::string sample = qvtest::SamplePath("m1s_testsrc.mpg");
    const std::uint16_t port = qvtest::UdpSocket().LocalPort();
    XmitMPEG1System xmit;
    xmit.SetFilePath(sample);
    xmit.SetStreamType(qvmpeg::kMpeg1System);
    xmit.SetAddress(inet_addr(kGroup), port);
    xmit.SetPacketFormat(XmitMPEG::kOpvFormat);
    xmit.SetRepeat(XmitMPEG::kEndless, 0);
    xmit.SetSAPCaster(&xmit.GetOwnSAPCaster());
    ASSERT_GT(xmit.ComputeBitrate(), 0u);
    ASSERT_EQ(xmit.Start(), 0);

    const fs::path artifacts = PLAYERCTL_ARTIFACT_DIR;
    fs::create_directories(artifacts);
    const auto shot = [&](const char* name) {
        fs::remove(artifacts / name);
        return "screenshot " + (artifacts / name).string() + "\n";
    };
    // The whole test picture in the frame shows some 9000 colours (its
    // colour band), a part of it cut from a larger picture some 3000; the
    // backgrounds, the logo and the toolbar a few hundred at most. In full
    // screen the control's window covers a corner without the band.
    const std::string picture = "wait-colours 5000 30000\n";
    const std::string corner = "wait-colours 1000 30000\n";
    // 32785 opens the channel dialog, whose button 1 is Select; 32773 is
    // Stop and 32772 Play on the toolbar, which a hidden or disabled button
    // refuses; a double click steps popup, full screen, embedded. While
    // popped up the player sends no events, so there the script waits for
    // the picture of a new popup, which shows none before the stream plays.
    std::ostringstream script;
    script << "command 32785\n"
              "wait-row m1s_testsrc 60000\n"
           << shot("playerctl-channels.png")
           << "select-row 0\n"
              "command 1\n"
              "wait-event StreamEvent 1 60000\n"
           << picture << shot("playerctl-embedded.png") << "double-click\n"
           << picture << shot("playerctl-popup.png") << "double-click\n"
           << corner << shot("playerctl-fullscreen.png") << "double-click\n"
           << picture << shot("playerctl-back.png")
           << "command 32773\n"
              "wait-event StreamEvent 3 30000\n"
           << shot("playerctl-stopped.png")
           << "double-click\n"
              "command 32772\n"
           << picture << shot("playerctl-popup-again.png")
           << "command 32773\n"
              "double-click\n"
              "double-click\n"
              "call ClearProp SDP\n"
              "call AddProp Filename \""
           << sample
           << "\"\n"
              "command 32772\n"
              "wait-event StreamEvent 1 60000\n"
           << picture << shot("playerctl-file.png")
           << "wait-event StreamEvent 65 60000\n"
              "quit\n";
    const auto started = std::chrono::steady_clock::now();
    const auto host = Host({"--param", "PropList=ToolBar=1"}, script.str());
    const auto took = std::chrono::steady_clock::now() - started;
    xmit.Stop();
    ASSERT_EQ(host.exitCode, 0) << host.output;

    const std::string row = std::string("wait-row m1s_testsrc: row 0 \"") + kGroup + "-" +
                            std::to_string(port) + "  m1s_testsrc\"\n";
    EXPECT_NE(host.output.find(row), std::string::npos) << row << host.output;
    // The program: waiting, found, starting, playing. (The script waited
    // for the later ones; a live stream may start over between them.)
    const std::vector<int> events = StreamEvents(host.output);
    ASSERT_GE(events.size(), 4u) << host.output;
    EXPECT_EQ(std::vector<int>(events.begin(), events.begin() + 4),
              (std::vector<int>{17, 33, 49, 1}))
        << host.output;
    std::printf("player smoke: %.1f s in ctlhost; screenshots in %s\n",
                std::chrono::duration<double>(took).count(), artifacts.c_str());
}

// Element descriptions given by a page (PropList, a profile, AddProp) that
// would write a file: the file is never made, and the sample plays through
// the sinks of the user's settings.
TEST_F(PlayerSmoke, SinksNamedByAPageAreNotMade)
{
    const std::string sample = qvtest::SamplePath("m1s_testsrc.mpg");
    const fs::path written = Root() / "page.out";
    const std::string audio = "wavenc ! filesink location=" + written.string();
    const std::string video = "videoconvert ! jpegenc ! filesink location=" + written.string();
    const fs::path profile = Root() / "profile.dat";
    std::ofstream(profile) << "[QV]\nVideoSink=" << video << "\nAudioSink=" << audio << "\n";
    const std::string play = "call AddProp Filename \"" + sample +
                             "\"\n"
                             "call Play\n"
                             "wait-event StreamEvent 1 60000\n"
                             "quit\n";
    struct Case
    {
        const char* from;
        std::vector<std::string> args;
        std::string script;
    };
    for (const Case& c : {
             Case{"PropList", {"--param", "PropList=AudioSink=\"" + audio + "\""}, play},
             Case{"Profile", {"--param", "Profile=" + profile.string()}, play},
             Case{"AddProp",
                  {},
                  "call AddProp VideoSink \"" + video + "\"\ncall AddProp AudioSink \"" + audio +
                      "\"\n" + play},
         }) {
        SCOPED_TRACE(c.from);
        const auto host = Host(c.args, c.script);
        EXPECT_EQ(host.exitCode, 0) << host.output;
        EXPECT_FALSE(fs::exists(written)) << host.output;
        fs::remove(written);
    }
}

// Popped up, then full screen, the player plays and stops a file (once:
// Repeat is off) and the container hears nothing; back in its window it
// hears of the next Play. Messages are passed on every 500 ms: a second in
// each mode gives a wrongly passed one time to arrive.
TEST_F(PlayerSmoke, PoppedUpOrFullScreenPlayerFiresNoStreamEvent)
{
    const std::string sample = qvtest::SamplePath("m1s_testsrc.mpg");
    const auto host = Host({"--param", "PropList=ToolBar=1 Repeat=0 Filename=\"" + sample + "\""},
                           "double-click\n"
                           "command 32772\n"
                           "wait-colours 5000 30000\n"
                           "sleep 1000\n"
                           "double-click\n"
                           "command 32773\n"
                           "sleep 1000\n"
                           "double-click\n"
                           "command 32772\n"
                           "wait-event StreamEvent 1 60000\n"
                           "quit\n");
    ASSERT_EQ(host.exitCode, 0) << host.output;
    const std::string tail = host.output.substr(host.output.rfind("double-click\n"));
    EXPECT_EQ(StreamEvents(host.output), StreamEvents(tail)) << host.output;
    const std::vector<int> events = StreamEvents(tail);
    ASSERT_GE(events.size(), 2u) << host.output;
    EXPECT_EQ(std::vector<int>(events.begin(), events.begin() + 2), (std::vector<int>{49, 1}))
        << host.output;
}

} // namespace
