// The capture model on the network, each test in a private network namespace
// with only loopback: stopping at any moment, whole captures of the samples
// sent by the transmitter (and in simulation mode), a file-size limit, and a
// stream sent by ffmpeg.
#include "capture_testing.h"

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
#include <set>
#include <sstream>
#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>

namespace {

using grabtool::CaptureModel;
using grabtool::CaptureState;
using namespace std::chrono_literals;
namespace fs = std::filesystem;

struct Road
{
    const char* file;
    int streamType;
    const char* mux;
    int format;
    bool simulate = false; // no file name
};

void PrintTo(const Road& road, std::ostream* out)
{
    *out << road.mux << (road.format == XmitMPEG::kRawFormat ? " RAW" : " OPV");
}

class CaptureNetTest : public qvtest::NetnsTest
{
protected:
    void SetUp() override
    {
        NetnsTest::SetUp();
        if (IsSkipped() || HasFatalFailure()) {
            return;
        }
        m_sender = std::make_unique<qvtest::UdpSocket>("127.0.0.1");
        m_port = qvtest::UdpSocket("127.0.0.1").LocalPort(); // free, and not the sender's
        m_model = std::make_unique<CaptureModel>(m_host, m_host.Ui(), m_dir.File("grabtool.ini"));
        m_model->SetAddress("127.0.0.1");
        m_model->SetPort(std::to_string(m_port));
    }
    void TearDown() override
    {
        m_model.reset();
        m_sender.reset();
        NetnsTest::TearDown();
    }

    std::unique_ptr<XmitMPEG> Transmit(const Road& road, int passes)
    {
        auto xmit = MakeXmitMPEG(road.streamType);
        xmit->SetFilePath(qvtest::SamplePath(road.file));
        xmit->SetStreamType(road.streamType);
        xmit->SetAddress(inet_addr("127.0.0.1"), m_port);
        xmit->SetPacketFormat(road.format);
        xmit->SetRepeat(passes, 0);
        EXPECT_GT(xmit->ComputeBitrate(), 0u);
        EXPECT_EQ(xmit->Start(), 0);
        return xmit;
    }

    // Start; the listener finds a first transmission of the sample, which
    // ends before its findings are taken in, so the capture that then starts
    // receives a second transmission from its first byte.
    void CaptureSample(const Road& road, const std::string& filename)
    {
        m_model->SetMuxText(road.mux);
        m_model->SetFilename(filename);
        m_model->OnStartStop();
        for (int round = 0; round < 30 && m_model->State() == CaptureState::Waiting; ++round) {
            m_host.Pump();
            m_model->OnTimer(CaptureModel::kWaitTimer);
            const std::unique_ptr<XmitMPEG> detect = Transmit(road, 100);
            ASSERT_TRUE(m_host.WaitForPost(5s)) << "the listener's wait never ended";
            detect->Stop();
            m_host.Pump();
        }
        ASSERT_EQ(m_model->State(), CaptureState::Capturing) << m_model->LogText();
        const std::uint64_t size = fs::file_size(qvtest::SamplePath(road.file));
        const std::unique_ptr<XmitMPEG> xmit = Transmit(road, 1);
        EXPECT_TRUE(m_host.Drive(
            *m_model, [&] { return xmit->IsFinished() && m_model->BytesWritten() >= size; }))
            << m_model->BytesWritten() << " of " << size;
        EXPECT_EQ(m_model->BytesWritten(), size);
        m_model->OnStartStop();
    }

    qvtest::TempDir m_dir{"grabtool"};
    std::unique_ptr<qvtest::UdpSocket> m_sender;
    std::uint16_t m_port = 0;
    grabtest::FakeHost m_host;
    std::unique_ptr<CaptureModel> m_model;
};

TEST_F(CaptureNetTest, StopAtAnyMomentLeavesNothingRunning)
{
    m_model->OnStartStop();
    m_model->OnTimer(CaptureModel::kWaitTimer);
    EXPECT_TRUE(m_model->ListenerRunning());
    m_model->OnExit(); // while the listener waits
    EXPECT_FALSE(m_model->ListenerRunning());
    EXPECT_EQ(m_model->State(), CaptureState::Idle);

    m_model->OnStartStop();
    ASSERT_TRUE(m_host.Drive(
        *m_model, [&] { return m_model->State() == CaptureState::Capturing; },
        [&] {
            for (int i = 0; i < 3; ++i) {
                m_sender->SendTo("127.0.0.1", m_port, std::string(1316, 'x'));
            }
        }));
    EXPECT_TRUE(m_model->ReceiverRunning() && m_model->WriterRunning());
    m_model->OnStartStop(); // the moment the capture has started
    EXPECT_FALSE(m_model->ReceiverRunning());
    EXPECT_FALSE(m_model->WriterRunning());
    EXPECT_EQ(m_model->ButtonText(), "Start");
    EXPECT_TRUE(m_model->InputsEnabled());
}

class CaptureRoadTest : public CaptureNetTest, public ::testing::WithParamInterface<Road>
{
};

TEST_P(CaptureRoadTest, FileIsTheSampleByteForByte)
{
    const Road road = GetParam();
    const std::string path = m_dir.File("capture.mpg");
    CaptureSample(road, road.simulate ? "" : path);
    const std::string log = m_model->LogText();
    const bool raw = road.format == XmitMPEG::kRawFormat;
    std::vector<std::string> lines = {
        raw ? "PacketFormat=RAW" : "PacketFormat=OPV", std::string("Mux=") + road.mux,
        raw ? "PacketSize=8192" : "PacketSize=8196", "Interface=127.0.0.1", "Data Started"};
    if (road.simulate) {
        lines.push_back("No file specified.  Simulation mode.");
        EXPECT_FALSE(fs::exists(path));
    } else {
        lines.insert(lines.end(), {"Filename: " + path, "Saving..."});
        EXPECT_TRUE(qvtest::ReadAll(path) == qvtest::ReadAll(qvtest::SamplePath(road.file)));
    }
    for (const std::string& line : lines) {
        EXPECT_NE(log.find(line + "\r\n"), std::string::npos) << line << " in\n" << log;
    }
}

constexpr Road kM2pOpv{"m2p_testsrc.mpg", qvmpeg::kMpeg2Program, "m2p", XmitMPEG::kOpvFormat};

INSTANTIATE_TEST_SUITE_P(
    Samples, CaptureRoadTest,
    ::testing::Values(Road{"m1s_testsrc.mpg", qvmpeg::kMpeg1System, "m1s", XmitMPEG::kRawFormat},
                      Road{"m1s_testsrc.mpg", qvmpeg::kMpeg1System, "m1s", XmitMPEG::kOpvFormat},
                      Road{"m2p_testsrc.mpg", qvmpeg::kMpeg2Program, "m2p", XmitMPEG::kRawFormat},
                      kM2pOpv,
                      Road{"m2t_testsrc2.ts", qvmpeg::kMpeg2Transport, "m2t", XmitMPEG::kRawFormat},
                      Road{"m2t_testsrc2.ts", qvmpeg::kMpeg2Transport, "m2t", XmitMPEG::kOpvFormat},
                      Road{"m2t_testsrc2.ts", qvmpeg::kMpeg2Transport, "m2t", XmitMPEG::kOpvFormat,
                           true}),
    [](const auto& road) {
        return std::string(road.param.mux) +
               (road.param.format == XmitMPEG::kRawFormat ? "_raw" : "_opv") +
               (road.param.simulate ? "_simulated" : "");
    });

TEST_F(CaptureNetTest, WriteErrorIsLoggedOnceAndTheCaptureGoesOn)
{
    // The file-size limit is the child's alone: it captures and reports its
    // byte count and log through a pipe.
    constexpr rlim_t kLimit = 65536;
    const std::string path = m_dir.File("capture.mpg");
    int fds[2];
    ASSERT_EQ(pipe(fds), 0);
    const pid_t child = fork();
    if (child == 0) {
        const rlimit limit{kLimit, kLimit};
        setrlimit(RLIMIT_FSIZE, &limit);
        std::signal(SIGXFSZ, SIG_IGN); // as the program does
        CaptureSample(kM2pOpv, path);
        const std::string report =
            std::to_string(m_model->BytesWritten()) + "\n" + m_model->LogText();
        _exit(write(fds[1], report.data(), report.size()) > 0 && !HasFailure() ? 0 : 1);
    }
    close(fds[1]);
    std::string report;
    char chunk[4096];
    for (ssize_t got; (got = read(fds[0], chunk, sizeof chunk)) > 0;) {
        report.append(chunk, static_cast<std::size_t>(got));
    }
    close(fds[0]);
    int status = 0;
    ASSERT_EQ(waitpid(child, &status, 0), child);
    EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0) << report;
    EXPECT_EQ(report.substr(0, report.find('\n')),
              std::to_string(fs::file_size(qvtest::SamplePath(kM2pOpv.file))));
    const std::string line =
        "Write error: File too large. 65536 bytes in the file; writing stopped.";
    EXPECT_NE(report.find(line), std::string::npos) << report;
    EXPECT_EQ(report.find(line), report.rfind(line)) << report;
    EXPECT_EQ(fs::file_size(path), kLimit);
}

// The kinds of stream ffprobe finds ("codec,type;" each, sorted).
std::string Streams(const std::string& file)
{
    const qvtest::CommandResult probe =
        qvtest::RunCommand({"ffprobe", "-v", "quiet", "-show_entries",
                            "stream=codec_name,codec_type", "-of", "csv=p=0", file});
    EXPECT_TRUE(probe.Succeeded()) << probe.output;
    std::set<std::string> streams; // each is listed under its program and again alone
    std::istringstream lines(probe.output);
    for (std::string line; std::getline(lines, line);) {
        if (!line.empty()) {
            streams.insert(line.substr(0, line.find(',', line.find(',') + 1)) + ";");
        }
    }
    std::string joined;
    for (const std::string& stream : streams) {
        joined += stream;
    }
    return joined;
}

TEST_F(CaptureNetTest, StreamFromFfmpegIsCapturedWithItsStreams)
{
    if (qvtest::FindExecutable("ffmpeg").empty() || qvtest::FindExecutable("ffprobe").empty()) {
        GTEST_SKIP() << "ffmpeg and ffprobe are needed";
    }
    const std::string sample = qvtest::SamplePath("m1s_testsrc.mpg");
    const std::string path = m_dir.File("capture.ts");
    m_model->SetMuxText("m2t");
    m_model->SetFilename(path);
    m_model->OnStartStop();
    m_model->OnTimer(CaptureModel::kWaitTimer);

    // ffmpeg runs on a thread of the test's namespace.
    std::atomic<bool> sent{false};
    std::thread ffmpeg([&] {
        EXPECT_TRUE(
            qvtest::RunCommand({"ffmpeg", "-nostdin", "-v", "error", "-re", "-i", sample, "-c",
                                "copy", "-f", "mpegts",
                                "udp://127.0.0.1:" + std::to_string(m_port) + "?pkt_size=1316"})
                .Succeeded());
        sent = true;
    });
    // Captured until ffmpeg has ended and the data timeout that follows.
    const bool ended = m_host.Drive(*m_model, [&] {
        return sent && m_model->LogText().find("Timeout\r\n") != std::string::npos;
    });
    ffmpeg.join();
    ASSERT_TRUE(ended) << m_model->LogText();
    m_model->OnStartStop();
    EXPECT_NE(m_model->LogText().find("PacketFormat=RAW\r\nMux=m2t\r\nPacketSize=1316\r\n"),
              std::string::npos)
        << m_model->LogText();
    EXPECT_EQ(Streams(path), Streams(sample));
}

} // namespace
