// Captures of a live transmission: the transmitter paces a sample onto a
// multicast group in the test's own network namespace, and the capture
// writes what its receiver hands out. Everything runs on the real clock.
#include "engine_testing.h"

#include "mpeg/mpeganalysis.h"
#include "platform/tests/settings_env.h"
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
#include <sys/resource.h>
#include <thread>

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
        NetnsTest::TearDown();
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
};

// ---- How a capture ends ---------------------------------------------------------------

struct Ending
{
    const char* name;
    std::int32_t duration;
    double stopThreshold;
    int passes;
    std::int32_t reason;
    bool wholeSample; // else the first round only
};

void PrintTo(const Ending& ending, std::ostream* out)
{
    *out << ending.name;
}

class CaptureEndingTest : public CaptureNetTest, public ::testing::WithParamInterface<Ending>
{
};

TEST_P(CaptureEndingTest, FileHoldsWhatTheReceiverGaveAndTheReasonIsSet)
{
    const Ending ending = GetParam();
    QvStreamCapture capture("x_QvSTending");
    StatusListener control;
    ASSERT_TRUE(control.Attach(*capture.GetStatusBlock()));
    QvStatusBlock* status = capture.GetStatus();
    QvStore(status->duration, ending.duration);
    QvStore(status->stopThreshold, ending.stopThreshold);
    const std::string file = m_dir.File("out.mpg");
    StreamSettings(capture.GetPropertyList(), file);

    ASSERT_EQ(capture.Start(), 0);
    StartSender(ending.passes);
    ASSERT_TRUE(control.WaitForSignal());
    capture.Stop(); // after the end: the reason stays

    EXPECT_EQ(QvLoad(status->stopReason), ending.reason);
    EXPECT_EQ(QvLoad(status->state), 0);
    const qvtest::Bytes written = qvtest::ReadAll(file);
    EXPECT_EQ(QvLoad(status->bytesCaptured), static_cast<double>(written.size()));
    const qvtest::Bytes expected =
        ending.wholeSample ? m_sample : Prefix(QvStreamCapture::kReadSize);
    ASSERT_EQ(written.size(), expected.size());
    EXPECT_TRUE(written == expected) << "the file differs from the stream";
}

INSTANTIATE_TEST_SUITE_P(
    Endings, CaptureEndingTest,
    ::testing::Values(
        Ending{"Duration0", 0, kQvDefaultStopThreshold, XmitMPEG::kEndless, kQvReasonNormal, false},
        Ending{"DiskBelowThreshold", 3600, 1e300, XmitMPEG::kEndless, kQvReasonDiskThreshold,
               false},
        Ending{"SenderStops", 3600, kQvDefaultStopThreshold, 1, kQvReasonNoData, true}),
    [](const ::testing::TestParamInfo<Ending>& param) { return std::string(param.param.name); });

// ---- A failing disk --------------------------------------------------------------------

class CaptureWriteErrorTest : public CaptureNetTest, public ::testing::WithParamInterface<bool>
{
protected:
    ~CaptureWriteErrorTest() override
    {
        if (!m_mounted.empty()) {
            ::umount2(m_mounted.c_str(), MNT_DETACH); // so the directory can go
        }
    }

    fs::path m_mounted;
};

TEST_P(CaptureWriteErrorTest, StopsWithReason6CountingOnlyBytesOnDisk)
{
    const bool smallDisk = GetParam();
    std::string file = m_dir.File("out.mpg");
    rlimit saved{};
    ASSERT_EQ(::getrlimit(RLIMIT_FSIZE, &saved), 0);
    if (smallDisk) {
        // A 96 KiB tmpfs in a mount namespace of this thread alone.
        const fs::path small = m_dir.Path() / "small";
        fs::create_directory(small);
        if (::unshare(CLONE_NEWNS) != 0 ||
            ::mount(nullptr, "/", nullptr, MS_REC | MS_PRIVATE, nullptr) != 0 ||
            ::mount("tmpfs", small.c_str(), "tmpfs", 0, "size=96k") != 0) {
            GTEST_SKIP() << "a tmpfs cannot be mounted here";
        }
        file = (small / "out.mpg").string();
        m_mounted = small;
    } else {
        std::signal(SIGXFSZ, SIG_IGN); // the write fails with EFBIG instead
        rlimit limited = saved;
        limited.rlim_cur = 100000;
        ASSERT_EQ(::setrlimit(RLIMIT_FSIZE, &limited), 0);
    }
    QvStreamCapture capture("x_QvSTfull");
    StatusListener control;
    ASSERT_TRUE(control.Attach(*capture.GetStatusBlock()));
    QvStore(capture.GetStatus()->stopThreshold, 0.0); // the small disk is nearly full anyway
    StreamSettings(capture.GetPropertyList(), file);
    ASSERT_EQ(capture.Start(), 0);
    StartSender(1);
    const bool signalled = control.WaitForSignal();
    ::setrlimit(RLIMIT_FSIZE, &saved);
    ASSERT_TRUE(signalled);

    QvStatusBlock* status = capture.GetStatus();
    EXPECT_EQ(QvLoad(status->stopReason), kQvReasonWriteError);
    const qvtest::Bytes written = qvtest::ReadAll(file);
    EXPECT_GT(written.size(), QvStreamCapture::kReadSize);
    EXPECT_LT(written.size(), m_sample.size());
    EXPECT_EQ(QvLoad(status->bytesCaptured), static_cast<double>(written.size()));
    EXPECT_TRUE(written == Prefix(written.size()));
}

INSTANTIATE_TEST_SUITE_P(Disks, CaptureWriteErrorTest, ::testing::Values(false, true),
                         [](const ::testing::TestParamInfo<bool>& param) {
                             return std::string(param.param ? "SmallTmpfs" : "FileSizeLimit");
                         });

// ---- The engine's commands around a running capture -------------------------------------

TEST_F(CaptureNetTest, EngineStartsHoldsItsSlotAndStopsOnCommand)
{
    RecordingHost host;
    QvCaptureEngine engine(host);
    auto command = [&](int code, const std::string& bytes = {}) {
        return engine.HandleCommand(code, CommandData(bytes));
    };
    const std::string port = std::to_string(m_port);
    const std::string session = QvInitializeData("", kGroup, port.c_str());
    ASSERT_EQ(command(kQvCmdInitialize, session), 0);
    StatusListener control;
    ASSERT_TRUE(control.Attach(*engine.GetCapture().GetStatusBlock()));
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
    engine.OnStopCapture();

    ASSERT_TRUE(control.WaitForSignal());
    EXPECT_EQ(QvLoad(status->stopReason), kQvReasonStopped);
    EXPECT_EQ(QvLoad(status->state), 0);
    EXPECT_EQ(QvLoad(status->bytesCaptured), static_cast<double>(fs::file_size(file)));
}

} // namespace
