// The transmitter's announcements against standard SAP listeners, in the
// test's own network namespace: VLC's SAP discovery must list each sample's
// session, and ffprobe must open the announced transport stream through
// sap://. VLC refuses to run as root, so it runs as the user "nobody".

#include "xmit_testing.h"

#include "core/sap/qvsap.h"
#include "platform/testsupport/command.h"
#include "platform/testsupport/netns_fixture.h"
#include "platform/testsupport/udp_socket.h"

#include <gtest/gtest.h>

#include <arpa/inet.h>
#include <csignal>
#include <fcntl.h>
#include <grp.h>
#include <pwd.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <memory>
#include <string>
#include <thread>
#include <vector>

namespace {

using namespace xmittest;
using namespace std::chrono_literals;

std::string ReadText(const std::string& path)
{
    const Bytes bytes = ReadAll(path);
    return std::string(bytes.begin(), bytes.end());
}

// Sends the sample raw to a group, over and over, announcing each pass.
template <class Transmitter> std::unique_ptr<XmitMPEG> Transmit(const char* file)
{
    std::unique_ptr<XmitMPEG> x = std::make_unique<Transmitter>();
    const qvtest::UdpSocket probe; // a free port for the data
    x->SetFilePath(SamplePath(file));
    x->SetAddress(inet_addr("239.1.2.3"), probe.LocalPort());
    x->SetPacketFormat(XmitMPEG::kRawFormat);
    x->SetRepeat(XmitMPEG::kEndless, 200);
    x->SetSAPCaster(&x->GetOwnSAPCaster());
    int type = 0;
    if (x->DetectStreamType(type) == 0) {
        return nullptr;
    }
    x->SetStreamType(type);
    return x->ComputeBitrate() != 0 && x->Start() == 0 ? std::move(x) : nullptr;
}

class AnnouncePeersTest : public qvtest::NetnsTest
{
protected:
    void SetUp() override
    {
        NetnsTest::SetUp();
        if (!IsSkipped() && !HasFatalFailure() && SamplePath("m2t_testsrc2.ts").empty()) {
            GTEST_SKIP() << "QV_TEST_SOURCE_DIR is not set";
        }
    }
};

TEST_F(AnnouncePeersTest, VlcSapDiscoveryListsEverySamplesSession)
{
    const std::string vlc = qvtest::FindExecutable("cvlc");
    const passwd* nobody = ::getpwnam("nobody");
    if (vlc.empty() || nobody == nullptr) {
        GTEST_SKIP() << "VLC (scripts/setup.sh installs vlc-bin and vlc-plugin-base) or the "
                        "user \"nobody\" to run it as is missing";
    }
    qvtest::TempDir dir("announce-peers");
    const std::string home = dir.File("home");
    ASSERT_EQ(::mkdir(home.c_str(), 0777), 0);
    ASSERT_EQ(::chmod(home.c_str(), 0777), 0);
    ASSERT_EQ(::chmod(dir.Path().c_str(), 0755), 0);
    const std::string log = dir.File("vlc.log");

    // VLC's remote-control interface reads commands from a pipe and prints
    // the playlist, SAP discovery's node included, into the log. A VLC that
    // ended early must fail the test, not end it by a broken pipe.
    std::signal(SIGPIPE, SIG_IGN);
    int input[2];
    const int output = ::open(log.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0644);
    ASSERT_TRUE(output >= 0 && ::pipe2(input, O_CLOEXEC) == 0);
    const std::string homeVariable = "HOME=" + home;
    const char* argv[] = {vlc.c_str(),  "-q",         "-I",   "rc", "--services-discovery=sap",
                          "--no-video", "--no-audio", nullptr};
    const char* environment[] = {homeVariable.c_str(), "PATH=/usr/bin:/bin", nullptr};
    const pid_t pid = ::fork();
    if (pid == 0) {
        // Only async-signal-safe calls from here to exec.
        if (::dup2(input[0], 0) < 0 || ::dup2(output, 1) < 0 || ::dup2(output, 2) < 0 ||
            ::setgroups(0, nullptr) != 0 || ::setgid(nobody->pw_gid) != 0 ||
            ::setuid(nobody->pw_uid) != 0) {
            ::_exit(126);
        }
        ::execve(argv[0], const_cast<char**>(argv), const_cast<char**>(environment));
        ::_exit(127);
    }
    ::close(input[0]);
    ::close(output);
    const std::unique_ptr<const pid_t, void (*)(const pid_t*)> reap(&pid, [](const pid_t* p) {
        ::kill(*p, SIGKILL);
        ::waitpid(*p, nullptr, 0);
    });
    ASSERT_GT(pid, 0);
    const auto listed = [&](const std::vector<std::string>& lines) {
        for (const auto end = std::chrono::steady_clock::now() + 30s;
             std::chrono::steady_clock::now() < end;) {
            (void)!::write(input[1], "playlist\n", 9);
            std::this_thread::sleep_for(300ms);
            const std::string text = ReadText(log);
            if (std::all_of(lines.begin(), lines.end(), [&](const std::string& line) {
                    return text.find(line) != std::string::npos;
                })) {
                return true;
            }
        }
        return false;
    };
    ASSERT_TRUE(listed({"Network streams (SAP)"})) << ReadText(log);

    const std::unique_ptr<XmitMPEG> transmitters[] = {
        Transmit<XmitMPEG1System>("m1s_testsrc.mpg"), Transmit<XmitMPEG2Program>("m2p_testsrc.mpg"),
        Transmit<XmitMPEG2Transport>("m2t_testsrc2.ts")};
    for (const auto& x : transmitters) {
        ASSERT_NE(x, nullptr);
    }
    EXPECT_TRUE(listed({"- m1s_testsrc", "- m2p_testsrc", "- m2t_testsrc2"})) << ReadText(log);
    ::close(input[1]);
}

TEST_F(AnnouncePeersTest, FfprobeOpensTheAnnouncedTransportStream)
{
    const std::string ffprobe = qvtest::FindExecutable("ffprobe");
    const std::string timeout = qvtest::FindExecutable("timeout");
    if (ffprobe.empty() || timeout.empty()) {
        GTEST_SKIP() << "ffprobe is not installed (scripts/setup.sh installs ffmpeg)";
    }
    const std::unique_ptr<XmitMPEG> x = Transmit<XmitMPEG2Transport>("m2t_testsrc2.ts");
    ASSERT_NE(x, nullptr);
    const std::string url = std::string("sap://") + QvSAPCaster::defaultGroup + ":" +
                            std::to_string(QvSAPCaster::defaultPort);
    const qvtest::CommandResult probe =
        qvtest::RunCommand({timeout, "30", ffprobe, "-v", "error", "-show_entries",
                            "format=format_name:stream=codec_type", "-of", "default=nw=1", url});
    EXPECT_TRUE(probe.Succeeded()) << probe.output;
    EXPECT_NE(probe.output.find("format_name=sap"), std::string::npos) << probe.output;
    EXPECT_NE(probe.output.find("codec_type="), std::string::npos) << probe.output;
}

} // namespace
