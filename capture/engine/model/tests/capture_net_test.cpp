// Captures of a live transmission: the transmitter paces a sample onto a
// multicast group in the test's own network namespace, and the capture
// writes what its receiver hands out. Everything runs on the real clock.
#include "engine_testing.h"

#include "mpeg/mpeganalysis.h"
#include "platform/tests/settings_env.h"
#include "platform/testsupport/command.h"
#include "platform/testsupport/netns_fixture.h"
#include "platform/testsupport/tempfiles.h"
#include "platform/testsupport/udp_socket.h"
#include "sender/transmit/xmitmpeg.h"

#include <gtest/gtest.h>

#include <arpa/inet.h>
#include <atomic>
#include <csignal>
#include <filesystem>
#include <fstream>
#include <memory>
#include <ostream>
#include <sched.h>
#include <string>
#include <sys/mount.h>
#include <sys/prctl.h>
#include <sys/resource.h>
#include <sys/statvfs.h>
#include <sys/syscall.h>
#include <thread>
#include <unistd.h>

namespace {

using namespace enginetest;
using namespace std::chrono_literals;
namespace fs = std::filesystem;

constexpr const char* kGroup = "239.7.7.31";

class CaptureNetTest : public qvtest::NetnsTest
{
protected:
    void SetUp() override
    {
        NetnsTest::SetUp();
        if (IsSkipped() || HasFatalFailure()) {
            return;
        }
        const qvtest::UdpSocket probe; // the namespace is private: the port stays free
        m_port = probe.LocalPort();
        m_sample = qvtest::ReadAll(qvtest::SamplePath("m1s_testsrc.mpg"));
        ASSERT_FALSE(m_sample.empty());
    }

    void TearDown() override
    {
        if (m_xmit) {
            m_xmit->Stop();
        }
        if (!m_mounted.empty()) {
            ::umount2(m_mounted.c_str(), MNT_DETACH); // so that the directory can go
        }
        NetnsTest::TearDown();
    }

    // Mounts made from now on are seen by this thread (and the threads and
    // processes it starts) alone; false where that is not permitted.
    static bool PrivateMounts()
    {
        return ::unshare(CLONE_NEWNS) == 0 &&
               ::mount(nullptr, "/", nullptr, MS_REC | MS_PRIVATE, nullptr) == 0;
    }

    // The sample in OPV framing to the group; passes as XmitMPEG::SetRepeat.
    void StartSender(int passes)
    {
        m_xmit = MakeXmitMPEG(qvmpeg::kMpeg1System);
        m_xmit->SetFilePath(qvtest::SamplePath("m1s_testsrc.mpg"));
        m_xmit->SetStreamType(qvmpeg::kMpeg1System);
        m_xmit->SetAddress(inet_addr(kGroup), m_port);
        m_xmit->SetPacketFormat(XmitMPEG::kOpvFormat);
        m_xmit->SetRepeat(passes, 200);
        ASSERT_GT(m_xmit->ComputeBitrate(), 0U);
        ASSERT_EQ(m_xmit->Start(), 0);
    }

    void StreamSettings(QvPropertyList& settings, const std::string& file)
    {
        settings.SetProperty("Address", kGroup);
        settings.SetProperty("Port", m_port, QvPropertyList::Decimal);
        settings.SetProperty("PacketFormat", "OPV");
        settings.SetProperty("PacketSize", "8196");
        settings.SetProperty("Mux", "m1s");
        settings.SetProperty("UDCTimeout", "2000"); // a loaded machine may stall the sender
        settings.SetProperty("Filename", file.c_str());
    }

    qvtest::Bytes Prefix(std::size_t size) const
    {
        return qvtest::Bytes(m_sample.begin(),
                             m_sample.begin() + static_cast<std::ptrdiff_t>(size));
    }

    qvtest::SettingsEnv m_env;
    bool m_private = m_env.UsePrivateRuntime();
    qvtest::TempDir m_dir{"capture"};
    std::uint16_t m_port = 0;
    qvtest::Bytes m_sample;
    std::unique_ptr<XmitMPEG> m_xmit;
    fs::path m_mounted;
};

// ---- How a capture ends ---------------------------------------------------------------

enum class Disk {
    Plain,
    FileSizeLimit, // RLIMIT_FSIZE: writes fail with EFBIG
    SmallTmpfs,    // 96 KiB: writes fail with ENOSPC
    RenamedFolder, // renamed once the file is open: the free space cannot be measured
};

struct Ending
{
    const char* name;
    std::int32_t duration;
    double stopThreshold;
    int passes;
    Disk disk;
    std::int32_t reason;
    std::size_t
        bytes; // what the file holds of the sample: 0 for a cut somewhere after the first round
};

void PrintTo(const Ending& ending, std::ostream* out)
{
    *out << ending.name;
}

class CaptureEndingTest : public CaptureNetTest, public ::testing::WithParamInterface<Ending>
{
protected:
    ~CaptureEndingTest() override { ::setrlimit(RLIMIT_FSIZE, &m_savedLimit); }

    // The file on the disk the case asks for; "" when it cannot be had.
    std::string Target(Disk disk)
    {
        ::getrlimit(RLIMIT_FSIZE, &m_savedLimit);
        if (disk == Disk::FileSizeLimit) {
            std::signal(SIGXFSZ, SIG_IGN); // the write fails with EFBIG instead
            rlimit limited = m_savedLimit;
            limited.rlim_cur = 100000;
            ::setrlimit(RLIMIT_FSIZE, &limited);
        } else if (disk == Disk::SmallTmpfs) {
            const fs::path small = m_dir.Path() / "small";
            fs::create_directory(small);
            if (!PrivateMounts() || ::mount("tmpfs", small.c_str(), "tmpfs", 0, "size=96k") != 0) {
                return {};
            }
            m_mounted = small;
            return (small / "out.mpg").string();
        } else if (disk == Disk::RenamedFolder) {
            fs::create_directory(m_dir.Path() / "folder");
            return m_dir.File("folder/out.mpg");
        }
        return m_dir.File("out.mpg");
    }

    rlimit m_savedLimit{};
};

TEST_P(CaptureEndingTest, FileHoldsWhatTheReceiverGaveAndTheReasonIsSet)
{
    const Ending ending = GetParam();
    std::string file = Target(ending.disk);
    if (file.empty()) {
        GTEST_SKIP() << "a tmpfs cannot be mounted here";
    }
    QvStreamCapture capture("x_QvSTending");
    qvtest::SignalWaiter control; // as the capture control hears the end
    QvCommMgrListener listener(&control, kQvStatusListenerName);
    ASSERT_TRUE(capture.GetStatusBlock()->AddListener(listener));
    QvStatusBlock* status = capture.GetStatus();
    QvStore(status->duration, ending.duration);
    QvStore(status->stopThreshold, ending.stopThreshold);
    StreamSettings(capture.GetPropertyList(), file);

    ASSERT_EQ(capture.Start(), 0);
    if (ending.disk == Disk::RenamedFolder) {
        fs::rename(m_dir.Path() / "folder", m_dir.Path() / "moved");
        file = m_dir.File("moved/out.mpg");
    }
    StartSender(ending.passes);
    ASSERT_TRUE(control.Wait());
    capture.Stop(); // after the end: the reason stays

    EXPECT_EQ(QvLoad(status->stopReason), ending.reason);
    EXPECT_EQ(QvLoad(status->state), 0);
    const qvtest::Bytes written = qvtest::ReadAll(file);
    EXPECT_EQ(QvLoad(status->bytesCaptured), static_cast<double>(written.size()));
    if (ending.bytes != 0) {
        EXPECT_EQ(written.size(), ending.bytes);
    } else {
        EXPECT_GT(written.size(), QvStreamCapture::kReadSize);
        EXPECT_LT(written.size(), m_sample.size());
    }
    ASSERT_LE(written.size(), m_sample.size());
    EXPECT_TRUE(written == Prefix(written.size())) << "the file differs from the stream";
}

constexpr std::size_t kRound = QvStreamCapture::kReadSize;
constexpr std::size_t kWholeSample = 348160; // samples/m1s_testsrc.mpg

INSTANTIATE_TEST_SUITE_P(
    Endings, CaptureEndingTest,
    ::testing::Values(Ending{"Duration0", 0, kQvDefaultStopThreshold, XmitMPEG::kEndless,
                             Disk::Plain, kQvReasonNormal, kRound},
                      Ending{"DiskBelowThreshold", 3600, 1e300, XmitMPEG::kEndless, Disk::Plain,
                             kQvReasonDiskThreshold, kRound},
                      Ending{"SenderStops", 3600, kQvDefaultStopThreshold, 1, Disk::Plain,
                             kQvReasonNoData, kWholeSample},
                      Ending{"FileSizeLimit", 3600, 0.0, 1, Disk::FileSizeLimit,
                             kQvReasonWriteError, 0},
                      Ending{"SmallTmpfs", 3600, 0.0, 1, Disk::SmallTmpfs, kQvReasonWriteError, 0},
                      Ending{"FolderRenamed", 3600, kQvDefaultStopThreshold, 1, Disk::RenamedFolder,
                             kQvReasonNoData, kWholeSample}),
    [](const ::testing::TestParamInfo<Ending>& param) { return std::string(param.param.name); });

// The threshold counts only the space an ordinary user may write: on a file
// system that keeps half its blocks for root, a capture running as nobody
// stops at the threshold (reason 2) instead of running into a full disk.
TEST_F(CaptureNetTest, ThresholdCountsTheSpaceAnOrdinaryUserMayUse)
{
    if (IsSkipped()) {
        return;
    }
    const fs::path image = m_dir.Path() / "disk.img";
    const fs::path disk = m_dir.Path() / "disk";
    fs::create_directory(disk);
    std::ofstream(image).close();
    fs::resize_file(image, 4 << 20);
    if (qvtest::FindExecutable("mkfs.ext4").empty() || qvtest::FindExecutable("mount").empty()) {
        GTEST_SKIP() << "mkfs.ext4 or mount is missing (run scripts/setup.sh)";
    }
    const auto mkfs = qvtest::RunCommand({"mkfs.ext4", "-q", "-F", "-m", "50", image.string()});
    ASSERT_TRUE(mkfs.Succeeded()) << mkfs.output;
    if (!PrivateMounts() ||
        !qvtest::RunCommand({"mount", "-o", "loop", image.string(), disk.string()}).Succeeded()) {
        GTEST_SKIP() << "loop mounts are not permitted here";
    }
    m_mounted = disk;

    // Everything of the capture, its named objects included, is nobody's.
    constexpr uid_t kNobody = 65534;
    ASSERT_EQ(::chown(disk.c_str(), kNobody, kNobody), 0);
    ASSERT_EQ(::chown((m_env.Root() / "run").c_str(), kNobody, kNobody), 0);
    for (const fs::path& dir : {m_env.Root(), m_dir.Path()}) {
        fs::permissions(dir, fs::perms::others_exec, fs::perm_options::add);
    }
    struct statvfs space
    {
    };
    ASSERT_EQ(::statvfs(disk.c_str(), &space), 0);
    const double usable = static_cast<double>(space.f_bavail) * static_cast<double>(space.f_frsize);
    ASSERT_LT(usable * 2, static_cast<double>(space.f_bfree) * static_cast<double>(space.f_frsize));
    const double threshold = usable - 4 * QvStreamCapture::kReadSize;

    StartSender(XmitMPEG::kEndless);
    const std::string file = (disk / "out.mpg").string();
    std::int32_t reason = kQvReasonNone;
    int started = -1;
    bool ended = false;
    std::thread capturing([&] {
        // Credentials belong to a thread: these raw calls change this one
        // (and the threads it starts) alone, not the whole test.
        if (::syscall(SYS_setgroups, 0, nullptr) != 0 ||
            ::syscall(SYS_setresgid, kNobody, kNobody, kNobody) != 0 ||
            ::syscall(SYS_setresuid, kNobody, kNobody, kNobody) != 0) {
            return;
        }
        QvStreamCapture capture("x_QvSTreserved");
        qvtest::SignalWaiter control;
        QvCommMgrListener listener(&control, kQvStatusListenerName);
        QvStatusBlock* status = capture.GetStatus();
        if (status == nullptr || !capture.GetStatusBlock()->AddListener(listener)) {
            return;
        }
        QvStore(status->stopThreshold, threshold);
        StreamSettings(capture.GetPropertyList(), file);
        started = capture.Start();
        if (started == 0) {
            ended = control.Wait();
            capture.Stop();
            reason = QvLoad(status->stopReason);
        }
    });
    capturing.join();
    ::prctl(PR_SET_DUMPABLE, 1); // as before the credentials changed

    ASSERT_EQ(started, 0);
    ASSERT_TRUE(ended);
    EXPECT_EQ(reason, kQvReasonDiskThreshold);
    const auto written = static_cast<double>(fs::file_size(file));
    EXPECT_GE(written, static_cast<double>(QvStreamCapture::kReadSize));
    EXPECT_LT(written, usable); // the write did not run into the full disk
}

// ---- The engine's commands around a running capture -------------------------------------

TEST_F(CaptureNetTest, EngineHoldsItsSlotAndAForcedCloseEndsTheCaptureWithReason4)
{
    RecordingHost host;
    QvCaptureEngine engine(host);
    auto command = [&](int code, const std::string& bytes = {}) {
        return engine.HandleCommand(code, CommandData(bytes));
    };
    const std::string port = std::to_string(m_port);
    const std::string session = QvInitializeData("", kGroup, port.c_str());
    ASSERT_EQ(command(kQvCmdInitialize, session), 0);
    qvtest::SignalWaiter control;
    QvCommMgrListener listener(&control, kQvStatusListenerName);
    ASSERT_TRUE(engine.GetCapture().GetStatusBlock()->AddListener(listener));
    const fs::path handOver = m_env.Root() / "windows" / QvCaptureEngine::kHandOverFile;
    fs::create_directories(handOver.parent_path());
    const std::string file = m_dir.File("engine.mpg");
    std::ofstream(handOver) << "[QV]\nAddress=" << kGroup << "\nPort=" << port
                            << "\nFilename=" << file << "\n";
    std::atomic<std::uint32_t> progress{0};
    engine.GetCapture().SetProgressCounter(&progress);

    StartSender(XmitMPEG::kEndless);
    ASSERT_EQ(command(kQvCmdStart), 0);
    EXPECT_FALSE(fs::exists(handOver));
    ASSERT_EQ(host.Posted(), std::vector<unsigned>{QvCaptureEngine::kStartCaptureMessage});
    ASSERT_EQ(engine.OnStartCapture(), 0);
    EXPECT_EQ(QvLoad(engine.GetPresence()->freeSlots), 0);

    // While it runs, the session cannot be re-pointed or started again.
    QvStatusBlock* status = engine.GetCapture().GetStatus();
    EXPECT_EQ(command(kQvCmdInitialize, QvInitializeData("", "225.5.5.5", "2000")), kQvNoFreeSlot);
    EXPECT_EQ(command(kQvCmdStart), kQvNoFreeSlot);
    EXPECT_EQ(engine.GetCapture().GetStatus(), status);

    const auto deadline = std::chrono::steady_clock::now() + 60s;
    while (progress.load() == 0 && std::chrono::steady_clock::now() < deadline) {
        std::this_thread::sleep_for(10ms); // no event tells of a round
    }
    ASSERT_GT(progress.load(), 0U);
    EXPECT_EQ(QvLoad(status->state), 1);
    EXPECT_EQ(command(kQvCmdStop), 0);
    EXPECT_EQ(host.Posted().back(), QvCaptureEngine::kStopCaptureMessage);
    // The program closes before it handles the stop message.
    engine.Shutdown();

    ASSERT_TRUE(control.Wait());
    EXPECT_EQ(QvLoad(status->stopReason), kQvReasonStopped);
    EXPECT_EQ(QvLoad(status->state), 0);
    EXPECT_EQ(QvLoad(status->bytesCaptured), static_cast<double>(fs::file_size(file)));
    EXPECT_EQ(QvLoad(engine.GetPresence()->running), 0);
    EXPECT_EQ(QvLoad(engine.GetPresence()->freeSlots), 1);
    EXPECT_EQ(command(kQvCmdInitialize, session), kQvNoFreeSlot); // closing: no new session
}

} // namespace
