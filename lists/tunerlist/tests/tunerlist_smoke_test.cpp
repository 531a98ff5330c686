// The channel list control in ctlhost under a private Xvfb display, all in
// the test's own network namespace. Our transmitter and ffmpeg's SAP muxer
// announce on the default pair; the control starts on an empty registry
// (so on the defaults), lists both and reports a double-clicked entry with its SDP text, also once
// the directory has let the entry go. Then a storm of announcements keeps
// the directory busy while the page asks questions and stops it on the
// user-interface thread. The screenshot is kept under Testing/tunerlist.
#include "lists/common/tests/ctlhost_runner.h"
#include "platform/testsupport/command.h"
#include "platform/testsupport/netns_fixture.h"
#include "platform/testsupport/tempfiles.h"
#include "platform/testsupport/udp_socket.h"
#include "sender/transmit/xmitmpeg.h"

#include <gtest/gtest.h>

#include <arpa/inet.h>
#include <fcntl.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <atomic>
#include <thread>

namespace {

namespace fs = std::filesystem;

class TunerlistSmoke : public qvtest::NetnsTest
{
};

TEST_F(TunerlistSmoke, ListsAnnouncersAndAnswersDuringAStorm)
{
    const std::string ffmpeg = qvtest::FindExecutable("ffmpeg");
    if (IsSkipped() || !qvtest::XvfbServer::IsInstalled() || ffmpeg.empty()) {
        GTEST_SKIP() << "needs network namespaces, Xvfb and ffmpeg (run scripts/setup.sh)";
    }
    qvtest::SettingsEnv settings;
    qvtest::XvfbServer xvfb;
    ASSERT_FALSE(xvfb.Display().empty()) << "Xvfb did not start";
    liststest::CtlhostRunner host(settings, xvfb);
    ASSERT_TRUE(host.Register(TUNERLIST_LIBRARY));
    const fs::path ini = settings.Root() / "windows" / "QvCtl.ini";
    fs::create_directories(ini.parent_path());
    std::ofstream(ini) << "[QV]\nSAPDbScanPeriod=200\nSAPEntryLifetime=1000\n";

    // The transmitter withdraws its session at the end of each pass: one
    // pass lasts the whole test (the sample ten times, about 30 s).
    const std::string stream = (settings.Root() / "m2p_testsrc.mpg").string();
    {
        const qvtest::Bytes sample = qvtest::ReadAll(qvtest::SamplePath("m2p_testsrc.mpg"));
        std::ofstream out(stream, std::ios::binary);
        for (int i = 0; i < 10; ++i) {
            out.write(reinterpret_cast<const char*>(sample.data()),
                      static_cast<std::streamsize>(sample.size()));
        }
    }
    XmitMPEG2Program transmitter;
    transmitter.SetFilePath(stream);
    transmitter.SetStreamType(qvmpeg::kMpeg2Program);
    transmitter.SetAddress(inet_addr("239.5.6.8"), 5006);
    transmitter.SetSAPCaster(&transmitter.GetOwnSAPCaster());
    ASSERT_GT(transmitter.ComputeBitrate(), 0u);
    ASSERT_EQ(transmitter.Start(), 0);
    const std::string ffmpegLog = (settings.Root() / "ffmpeg.log").string();
    const pid_t announcer = fork();
    if (announcer == 0) {
        const int log = open(ffmpegLog.c_str(), O_WRONLY | O_CREAT, 0644);
        dup2(log, 1);
        dup2(log, 2);
        execl(ffmpeg.c_str(), "ffmpeg", "-nostdin", "-re", "-f", "lavfi", "-i",
              "testsrc=size=160x120:rate=10", "-t", "600", "-c:v", "mpeg2video", "-metadata",
              "title=Alpha pattern", "-f", "sap", "sap://239.5.6.7:5004", nullptr);
        _exit(127);
    }

    const fs::path png = fs::path(TUNERLIST_ARTIFACT_DIR) / "tunerlist.png";
    fs::create_directories(png.parent_path());
    fs::remove(png);
    // Each announcer repeats itself every 5 s: after the first change both
    // are given time to be heard.
    const auto run = host.Run("TUNERLIST.TunerListCtrl.1",
                              "call Start\nwait-event OnDbChange \"\" 60000\nsleep 12000\n"
                              "call NumItems\ncall GetSDP -1\n"
                              "double-click-row 0\ndouble-click-row 1\n"
                              "wait-event OnItemSelected 0 10000\n"
                              "wait-event OnItemSelected 1 10000\n"
                              "screenshot " +
                                  png.string() +
                                  "\n"
                                  "call Stop\ndouble-click-row 1\n"
                                  "wait-event OnItemSelected -1 10000\nquit\n",
                              {"--size", "480x160"});
    kill(announcer, SIGKILL);
    waitpid(announcer, nullptr, 0);
    transmitter.Stop();
    EXPECT_EQ(run.exitCode, 0) << run.output;
    liststest::ExpectLines(run.output,
                           {"call Start() = 0\n", "event OnDbChange()\n", "call NumItems() = 2\n",
                            "call GetSDP(-1)\n", "s=Alpha pattern\n", "s=m2p_testsrc\n"});
    // Rows are sorted by program: the last double click reports the
    // transmitter's text after the directory stopped.
    const std::size_t gone = run.output.find("event OnItemSelected(-1, ");
    ASSERT_NE(gone, std::string::npos) << run.output;
    EXPECT_NE(run.output.find("s=m2p_testsrc\n", gone), std::string::npos) << run.output;
    EXPECT_TRUE(fs::exists(png)) << run.output;

    // The storm: new sessions all the time, each living 200 ms, a scan with
    // changes every 5 ms; a control whose directory thread waited for the
    // user-interface thread would hang here.
    std::ofstream(ini) << "[QV]\nSAPDbScanPeriod=5\nSAPEntryLifetime=40\n";
    std::atomic<bool> storming{true};
    std::thread storm([&] {
        qvtest::UdpSocket sender;
        const char header[8] = {0x20, 0, 0, 0, 10, 0, 0, 1};
        for (int i = 0; storming; ++i) {
            sender.SendTo("224.2.127.254", 9875,
                          std::string(header, 8) + "v=0\no=- " + std::to_string(i) +
                              " 1 IN IP4 10.0.0.1\ns=Storm\nc=IN IP4 239.1.1.1/15\n" +
                              std::string(1, '\0'));
            if (i % 20 == 0) {
                std::this_thread::sleep_for(std::chrono::milliseconds(1)); // ~20,000 a second
            }
        }
    });
    std::string script = "call Start\n";
    for (int i = 0; i < 6; ++i) {
        script += "wait-event OnDbChange \"\" 60000\ncall GetItemValue " + std::to_string(i) +
                  " SesSesName\ncall GetSDP 0\ncall NumItems\n";
    }
    const auto stormy = host.Run("TUNERLIST.TunerListCtrl.1", script + "call Stop\nquit\n");
    storming = false;
    storm.join();
    EXPECT_EQ(stormy.exitCode, 0) << stormy.output;
    liststest::ExpectLines(stormy.output,
                           {"call GetItemValue(5, SesSesName) = Storm\n", "call Stop()\n"});
    EXPECT_TRUE(host.Register(TUNERLIST_LIBRARY, true));
}

} // namespace
