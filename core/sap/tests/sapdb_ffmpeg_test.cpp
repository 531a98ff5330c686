// The directory must hear standard SAP/SDP announcers, not only this system's
// sender. FFmpeg's SAP muxer is such a peer: it announces an RTP session with
// an "application/sdp" payload type and CRLF line ends, repeats the
// announcement every few seconds and sends a deletion when it is stopped.
// It runs inside the test's own network namespace.

#include "core/settings/qvproplist.h"
#include "core/sap/qvsapdb.h"

#include "platform/testsupport/command.h"
#include "platform/testsupport/tempfiles.h"
#include "platform/testsupport/netns_fixture.h"
#include "platform/testsupport/udp_socket.h"

#include <gtest/gtest.h>

#include <atomic>
#include <cerrno>
#include <chrono>
#include <csignal>
#include <cstdint>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <functional>
#include <mutex>
#include <optional>
#include <spawn.h>
#include <sstream>
#include <string>
#include <sys/wait.h>
#include <thread>
#include <vector>

#include <fcntl.h>

extern char** environ;

using namespace std::chrono_literals;

namespace {

constexpr auto kAnnounceWait = 20s; // ffmpeg start-up and its first announcement
constexpr auto kDeletionWait = 10s; // ffmpeg shutting down after the signal
constexpr const char* kDataGroup = "239.5.6.7";
constexpr const char* kTitle = "Interop Test Pattern";

// A child process that is killed and reaped on every path out of the test.
class ChildProcess
{
public:
    ChildProcess() = default;
    ChildProcess(const ChildProcess&) = delete;
    ChildProcess& operator=(const ChildProcess&) = delete;
    ~ChildProcess()
    {
        if (m_pid > 0) {
            ::kill(m_pid, SIGKILL);
            ::waitpid(m_pid, nullptr, 0);
        }
    }

    // Starts argv with standard input from /dev/null and both outputs into
    // `log`; false when it could not be started.
    bool Start(const std::vector<std::string>& argv, const std::string& log)
    {
        std::vector<char*> args;
        for (const std::string& arg : argv) {
            args.push_back(const_cast<char*>(arg.c_str()));
        }
        args.push_back(nullptr);
        posix_spawn_file_actions_t actions;
        posix_spawn_file_actions_init(&actions);
        posix_spawn_file_actions_addopen(&actions, 0, "/dev/null", O_RDONLY, 0);
        posix_spawn_file_actions_addopen(&actions, 1, log.c_str(), O_WRONLY | O_CREAT | O_TRUNC,
                                         0644);
        posix_spawn_file_actions_adddup2(&actions, 1, 2);
        const int result = posix_spawn(&m_pid, args[0], &actions, nullptr, args.data(), environ);
        posix_spawn_file_actions_destroy(&actions);
        if (result != 0) {
            m_pid = -1;
            return false;
        }
        return true;
    }

    void Signal(int signal) const
    {
        if (m_pid > 0) {
            ::kill(m_pid, signal);
        }
    }

    // Waits for the child to end; false when it did not within the timeout.
    bool WaitForExit(std::chrono::milliseconds timeout)
    {
        const auto end = std::chrono::steady_clock::now() + timeout;
        while (m_pid > 0) {
            const pid_t done = ::waitpid(m_pid, nullptr, WNOHANG);
            if (done == m_pid || (done < 0 && errno != EINTR)) {
                m_pid = -1;
                break;
            }
            if (std::chrono::steady_clock::now() >= end) {
                return false;
            }
            std::this_thread::sleep_for(20ms);
        }
        return true;
    }

private:
    pid_t m_pid = -1;
};

// Keeps what the hooks saw.
class WatchingDb : public QvSapDb
{
public:
    WatchingDb() = default;
    ~WatchingDb() override { Stop(); }

    int Announcements() const { return m_announcements.load(); }
    int Deletions() const { return m_deletions.load(); }

    void OnAnnouncement(QvSAPPacket*) override { ++m_announcements; }
    void OnDeletion(QvSAPPacket*) override { ++m_deletions; }

private:
    std::atomic<int> m_announcements{0};
    std::atomic<int> m_deletions{0};
};

struct Session
{
    std::string address;
    std::string port;
    std::string name;
};

bool WaitFor(const std::function<bool()>& condition, std::chrono::milliseconds timeout)
{
    const auto end = std::chrono::steady_clock::now() + timeout;
    while (!condition()) {
        if (std::chrono::steady_clock::now() >= end) {
            return false;
        }
        std::this_thread::sleep_for(20ms);
    }
    return true;
}

std::uint16_t FreePort()
{
    qvtest::UdpSocket probe;
    return probe.LocalPort();
}

class SapDbFfmpeg : public qvtest::NetnsTest, public ::testing::WithParamInterface<int>
{
protected:
    void SetUp() override
    {
        NetnsTest::SetUp();
        if (IsSkipped() || HasFatalFailure()) {
            return;
        }
        m_ffmpeg = qvtest::FindExecutable("ffmpeg");
        if (m_ffmpeg.empty()) {
            GTEST_SKIP() << "ffmpeg is not installed (scripts/setup.sh installs it); "
                            "the interoperability test with a standard SAP announcer is skipped";
        }
        ASSERT_TRUE(m_temp.Valid());
        m_dir = m_temp.Path();
    }
    std::string Log() const
    {
        std::ifstream in(m_dir / "ffmpeg.log");
        std::ostringstream text;
        text << in.rdbuf();
        return text.str();
    }

    std::vector<std::string> Command(std::uint16_t announcePort, std::uint16_t dataPort) const
    {
        const std::string url =
            "sap://" + std::string(kDataGroup) + ":" + std::to_string(dataPort) +
            "?announce_addr=224.2.127.254&announce_port=" + std::to_string(announcePort) +
            "&same_port=1";
        return {m_ffmpeg,
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
                "20",
                "-c:v",
                "mpeg2video",
                "-metadata",
                std::string("title=") + kTitle,
                "-f",
                "sap",
                url};
    }

    std::string m_ffmpeg;
    qvtest::TempDir m_temp{"sapdb-ffmpeg"};
    std::filesystem::path m_dir;
};

} // namespace

TEST_P(SapDbFfmpeg, ListsTheSessionAndDropsItWhenTheAnnouncerStops)
{
    const std::uint16_t announcePort = FreePort();
    const std::uint16_t dataPort = FreePort();
    QvPropertyList settings;
    settings.AddProperty("SAPAddress0", "224.2.127.254");
    settings.AddProperty("SAPPort0", announcePort, QvPropertyList::Decimal);
    settings.AddProperty("SAPDbScanPeriod", "100");
    WatchingDb db;
    db.SetPropertyList(&settings);
    ASSERT_EQ(db.Start(), 0);

    ChildProcess ffmpeg;
    ASSERT_TRUE(ffmpeg.Start(Command(announcePort, dataPort), (m_dir / "ffmpeg.log").string()));
    ASSERT_TRUE(WaitFor([&] { return db.NumEntries() == 1; }, kAnnounceWait))
        << "no announcement filed; ffmpeg said:\n"
        << Log();

    Session session;
    db.LockDb();
    if (QvSAPPacket* packet = db.EnumEntries(0)) {
        session = {packet->GetPropA("Address"), packet->GetPropA("Port"),
                   packet->GetPropA("SesSesName")};
    }
    db.UnlockDb();
    EXPECT_EQ(session.address, kDataGroup);
    EXPECT_EQ(session.port, std::to_string(dataPort));
    EXPECT_EQ(session.name, kTitle);
    EXPECT_EQ(db.Announcements(), 1);

    ffmpeg.Signal(GetParam());
    EXPECT_TRUE(WaitFor([&] { return db.Deletions() == 1; }, kDeletionWait))
        << "no deletion heard; ffmpeg said:\n"
        << Log();
    EXPECT_EQ(db.NumEntries(), 0);
    EXPECT_TRUE(ffmpeg.WaitForExit(kDeletionWait));
}

INSTANTIATE_TEST_SUITE_P(Signals, SapDbFfmpeg, ::testing::Values(SIGINT, SIGTERM),
                         [](const ::testing::TestParamInfo<int>& signal) {
                             return signal.param == SIGINT ? std::string("Interrupt")
                                                           : std::string("Terminate");
                         });
