// The transmitter's announcements against standard SAP listeners, inside the
// test's own network namespace: VLC's SAP discovery must list each sample's
// session, and ffprobe must open the announced transport stream through
// sap://. VLC refuses to run as root, so it runs as the unprivileged user
// "nobody".

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
#include <fstream>
#include <memory>
#include <set>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

namespace {

using namespace xmittest;
using namespace std::chrono_literals;

constexpr const char* kGroup = "239.1.2.3";

std::string ReadText(const std::string& path)
{
    std::ifstream in(path);
    std::ostringstream text;
    text << in.rdbuf();
    return text.str();
}

// A peer program fed commands on its standard input, its output in a file;
// killed and reaped on every way out of the test.
class Peer
{
public:
    Peer() = default;
    Peer(const Peer&) = delete;
    Peer& operator=(const Peer&) = delete;
    ~Peer()
    {
        if (m_input >= 0) {
            ::close(m_input);
        }
        if (m_pid > 0) {
            ::kill(m_pid, SIGKILL);
            ::waitpid(m_pid, nullptr, 0);
        }
    }

    // Starts argv as the given user (uid 0: as this process) with HOME set
    // to `home`; false when it could not be started.
    bool Start(const std::vector<std::string>& argv, const std::string& log, uid_t uid, gid_t gid,
               const std::string& home)
    {
        int pipeEnds[2];
        const int output = ::open(log.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0644);
        if (output < 0 || ::pipe2(pipeEnds, O_CLOEXEC) != 0) {
            return false;
        }
        std::vector<char*> args;
        for (const std::string& arg : argv) {
            args.push_back(const_cast<char*>(arg.c_str()));
        }
        args.push_back(nullptr);
        const std::string homeVariable = "HOME=" + home;
        char* environment[] = {const_cast<char*>(homeVariable.c_str()),
                               const_cast<char*>("PATH=/usr/bin:/bin"), nullptr};
        m_pid = ::fork();
        if (m_pid == 0) {
            // Only async-signal-safe calls from here to exec.
            if (::dup2(pipeEnds[0], 0) < 0 || ::dup2(output, 1) < 0 || ::dup2(output, 2) < 0) {
                ::_exit(126);
            }
            if (uid != 0 && (::setgroups(0, nullptr) != 0 || ::setgid(gid) != 0 ||
                             ::setuid(uid) != 0)) {
                ::_exit(126);
            }
            ::execve(args[0], args.data(), environment);
            ::_exit(127);
        }
        ::close(pipeEnds[0]);
        ::close(output);
        m_input = pipeEnds[1];
        return m_pid > 0;
    }

    void Say(const std::string& line) const
    {
        const std::string text = line + "\n";
        (void)!::write(m_input, text.data(), text.size());
    }

private:
    pid_t m_pid = -1;
    int m_input = -1;
};

struct Sample
{
    const char* file;
    const char* session; // the name the transmitter announces
    int streamType;
};

constexpr Sample kSamples[] = {{"m1s_testsrc.mpg", "m1s_testsrc", qvmpeg::kMpeg1System},
                               {"m2p_testsrc.mpg", "m2p_testsrc", qvmpeg::kMpeg2Program},
                               {"m2t_testsrc2.ts", "m2t_testsrc2", qvmpeg::kMpeg2Transport}};

class AnnouncePeersTest : public qvtest::NetnsTest
{
protected:
    void SetUp() override
    {
        NetnsTest::SetUp();
        if (IsSkipped() || HasFatalFailure()) {
            return;
        }
        if (SamplePath(kSamples[0].file).empty()) {
            GTEST_SKIP() << "QV_TEST_SOURCE_DIR is not set";
        }
    }

    // A transmitter sending the sample raw to the group, over and over, and
    // announcing each pass.
    static std::unique_ptr<XmitMPEG> Transmit(const Sample& sample)
    {
        const std::string path = SamplePath(sample.file);
        if (path.empty()) {
            return nullptr;
        }
        std::unique_ptr<XmitMPEG> x;
        if (sample.streamType == qvmpeg::kMpeg1System) {
            x = std::make_unique<XmitMPEG1System>();
        } else if (sample.streamType == qvmpeg::kMpeg2Program) {
            x = std::make_unique<XmitMPEG2Program>();
        } else {
            x = std::make_unique<XmitMPEG2Transport>();
        }
        const qvtest::UdpSocket probe;
        x->SetFilePath(path);
        x->SetStreamType(sample.streamType);
        x->SetAddress(inet_addr(kGroup), probe.LocalPort());
        x->SetPacketFormat(XmitMPEG::kRawFormat);
        x->SetRepeat(XmitMPEG::kEndless, 200);
        x->SetSAPCaster(&x->GetOwnSAPCaster());
        if (x->ComputeBitrate() == 0 || x->Start() != 0) {
            return nullptr;
        }
        return x;
    }

    qvtest::TempDir m_dir{"announce-peers"};
};

TEST_F(AnnouncePeersTest, VlcSapDiscoveryListsEverySamplesSession)
{
    const std::string vlc = qvtest::FindExecutable("cvlc");
    if (vlc.empty()) {
        GTEST_SKIP() << "VLC is not installed (scripts/setup.sh installs vlc-bin and "
                        "vlc-plugin-base); the test with its SAP discovery is skipped";
    }
    // VLC will not run as root.
    uid_t uid = ::getuid();
    gid_t gid = ::getgid();
    if (uid == 0) {
        const passwd* nobody = ::getpwnam("nobody");
        if (nobody == nullptr) {
            GTEST_SKIP() << "no user \"nobody\" to run VLC as";
        }
        uid = nobody->pw_uid;
        gid = nobody->pw_gid;
    }
    ASSERT_TRUE(m_dir.Valid());
    const std::string home = m_dir.File("home");
    ASSERT_EQ(::mkdir(home.c_str(), 0777), 0);
    ASSERT_EQ(::chmod(home.c_str(), 0777), 0);
    ASSERT_EQ(::chmod(m_dir.Path().c_str(), 0755), 0);
    const std::string log = m_dir.File("vlc.log");

    Peer peer;
    ASSERT_TRUE(peer.Start({vlc, "-q", "-I", "rc", "--services-discovery=sap", "--no-video",
                            "--no-audio"},
                           log, uid, gid, home));
    // Asks for the playlist until every line sought shows in it.
    const auto listed = [&](const std::vector<std::string>& lines) {
        const auto end = std::chrono::steady_clock::now() + 30s;
        while (std::chrono::steady_clock::now() < end) {
            peer.Say("playlist");
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
    // Listening once the discovery's node shows in the playlist.
    ASSERT_TRUE(listed({"Network streams (SAP)"})) << ReadText(log);

    std::vector<std::unique_ptr<XmitMPEG>> transmitters;
    for (const Sample& sample : kSamples) {
        transmitters.push_back(Transmit(sample));
        ASSERT_NE(transmitters.back(), nullptr) << sample.file;
    }
    std::vector<std::string> sessions;
    for (const Sample& sample : kSamples) {
        sessions.push_back(std::string("- ") + sample.session);
    }
    EXPECT_TRUE(listed(sessions)) << ReadText(log);
    peer.Say("quit");
}

TEST_F(AnnouncePeersTest, FfprobeOpensTheAnnouncedTransportStream)
{
    const std::string ffprobe = qvtest::FindExecutable("ffprobe");
    const std::string timeout = qvtest::FindExecutable("timeout");
    if (ffprobe.empty() || timeout.empty()) {
        GTEST_SKIP() << "ffprobe is not installed (scripts/setup.sh installs ffmpeg)";
    }
    const std::unique_ptr<XmitMPEG> x = Transmit(kSamples[2]);
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
