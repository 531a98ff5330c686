// The channel list control in ctlhost under a private Xvfb display, all in
// the test's own network namespace: our transmitter and ffmpeg's SAP muxer
// announce on the default SAP pair, the control starts on an empty registry
// and lists both; a double click reports the entry and its SDP text, also
// once the directory has let the entry go. The screenshot is kept under the
// build tree's Testing/tunerlist folder.
#include "lists/common/tests/ctlhost_runner.h"
#include "platform/registry.h"
#include "platform/testsupport/command.h"
#include "platform/testsupport/netns_fixture.h"
#include "platform/testsupport/tempfiles.h"
#include "sender/transmit/xmitmpeg.h"

#include <gtest/gtest.h>

#include <arpa/inet.h>
#include <csignal>
#include <fcntl.h>
#include <spawn.h>
#include <sys/wait.h>

extern char** environ;

namespace {

namespace fs = std::filesystem;

// ffmpeg announcing a test pattern by SAP until the test ends.
class FfmpegAnnouncer
{
public:
    FfmpegAnnouncer(const std::string& ffmpeg, const std::string& log)
    {
        const std::vector<std::string> argv = {ffmpeg,
                                               "-nostdin",
                                               "-hide_banner",
                                               "-loglevel",
                                               "warning",
                                               "-re",
                                               "-f",
                                               "lavfi",
                                               "-i",
                                               "testsrc=size=160x120:rate=10",
                                               "-t",
                                               "600",
                                               "-c:v",
                                               "mpeg2video",
                                               "-metadata",
                                               "title=Alpha pattern",
                                               "-f",
                                               "sap",
                                               "sap://239.5.6.7:5004?same_port=1"};
        std::vector<char*> args;
        for (const std::string& arg : argv) {
            args.push_back(const_cast<char*>(arg.c_str()));
        }
        args.push_back(nullptr);
        posix_spawn_file_actions_t actions;
        posix_spawn_file_actions_init(&actions);
        posix_spawn_file_actions_addopen(&actions, 1, log.c_str(), O_WRONLY | O_CREAT | O_TRUNC,
                                         0644);
        posix_spawn_file_actions_adddup2(&actions, 1, 2);
        if (posix_spawn(&m_pid, args[0], &actions, nullptr, args.data(), environ) != 0) {
            m_pid = -1;
        }
        posix_spawn_file_actions_destroy(&actions);
    }
    ~FfmpegAnnouncer()
    {
        if (m_pid > 0) {
            ::kill(m_pid, SIGKILL);
            ::waitpid(m_pid, nullptr, 0);
        }
    }
    bool Started() const { return m_pid > 0; }

private:
    pid_t m_pid = -1;
};

class TunerlistSmoke : public qvtest::NetnsTest
{
};

TEST_F(TunerlistSmoke, ListsTwoAnnouncersAndReportsTheDoubleClickedEntry)
{
    if (IsSkipped()) {
        return;
    }
    if (!qvtest::XvfbServer::IsInstalled()) {
        GTEST_SKIP() << "Xvfb is not installed (run scripts/setup.sh)";
    }
    const std::string ffmpeg = qvtest::FindExecutable("ffmpeg");
    if (ffmpeg.empty()) {
        GTEST_SKIP() << "ffmpeg is not installed (run scripts/setup.sh)";
    }
    qvtest::SettingsEnv settings;
    qvtest::XvfbServer xvfb;
    ASSERT_FALSE(xvfb.Display().empty()) << "Xvfb did not start";
    liststest::CtlhostRunner host(settings, xvfb);
    ASSERT_TRUE(host.Register(TUNERLIST_LIBRARY));
    // No SAP pair anywhere: the control takes the defaults, 224.2.127.254
    // port 9875 among them, where both announcers speak.
    fs::create_directories(settings.Root() / "windows");
    std::ofstream(settings.Root() / "windows" / "QvCtl.ini") << "[QV]\nSAPDbScanPeriod=200\n";

    XmitMPEG2Program transmitter;
    transmitter.SetFilePath(qvtest::SamplePath("m2p_testsrc.mpg"));
    transmitter.SetStreamType(qvmpeg::kMpeg2Program);
    transmitter.SetAddress(inet_addr("239.5.6.8"), 5006);
    transmitter.SetRepeat(XmitMPEG::kEndless, 1000);
    transmitter.SetSAPCaster(&transmitter.GetOwnSAPCaster());
    ASSERT_GT(transmitter.ComputeBitrate(), 0u);
    ASSERT_EQ(transmitter.Start(), 0);
    FfmpegAnnouncer announcer(ffmpeg, (settings.Root() / "ffmpeg.log").string());
    ASSERT_TRUE(announcer.Started());

    const fs::path artifacts = TUNERLIST_ARTIFACT_DIR;
    fs::create_directories(artifacts);
    const fs::path png = artifacts / "tunerlist.png";
    fs::remove(png);
    // Each announcer repeats itself every 5 s or so: after the first change
    // the script gives both time to be heard.
    const auto run = host.Run("TUNERLIST.TunerListCtrl.1",
                              "call Start\n"
                              "wait-event OnDbChange \"\" 60000\n"
                              "sleep 12000\n"
                              "call NumItems\n"
                              "call GetSDP -1\n"
                              "double-click-row 0\n"
                              "double-click-row 1\n"
                              "wait-event OnItemSelected 0 10000\n"
                              "wait-event OnItemSelected 1 10000\n"
                              "screenshot " +
                                  png.string() +
                                  "\n"
                                  "call Stop\n"
                                  "double-click-row 1\n"
                                  "wait-event OnItemSelected -1 10000\n"
                                  "quit\n",
                              {"--size", "480x160"});
    transmitter.Stop();
    EXPECT_EQ(run.exitCode, 0) << run.output;
    liststest::ExpectLines(run.output,
                           {"call Start() = 0\n", "event OnDbChange()\n", "call NumItems() = 2\n",
                            "call GetSDP(-1)\n", "s=Alpha pattern\n", "s=m2p_testsrc\n",
                            "wait-event OnItemSelected -1: ok\n"});
    // Rows sorted by program: the last double click reports m2p_testsrc's
    // text after the directory stopped.
    const std::size_t gone = run.output.find("event OnItemSelected(-1, ");
    ASSERT_NE(gone, std::string::npos) << run.output;
    EXPECT_NE(run.output.find("s=m2p_testsrc\n", gone), std::string::npos) << run.output;
    EXPECT_TRUE(fs::exists(png)) << run.output;

    // The registry key holds the four defaults.
    qvplat::RegKey key;
    std::vector<qvplat::RegValue> values;
    ASSERT_EQ(key.Open(qvplat::RegRoot::LocalMachine, "SOFTWARE\\Talvex\\SAPDatabase"),
              qvplat::RegResult::Success);
    ASSERT_EQ(key.GetValues(values), qvplat::RegResult::Success);
    EXPECT_EQ(values.size(), 4u);
    EXPECT_TRUE(host.Register(TUNERLIST_LIBRARY, true));
}

} // namespace
