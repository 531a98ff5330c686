// The capture model on the network, each test in a private network namespace
// with only loopback: stopping at any moment, whole captures of the samples
// sent by the transmitter, simulation mode, a file-size limit, and a stream
// sent by ffmpeg.
#include "capture_testing.h"

#include "platform/testsupport/command.h"
#include "platform/testsupport/netns_fixture.h"
#include "platform/testsupport/tempfiles.h"
#include "platform/testsupport/udp_socket.h"
#include "sender/transmit/xmitmpeg.h"

#include <gtest/gtest.h>

#include <arpa/inet.h>
#include <filesystem>
#include <set>
#include <sstream>
#include <spawn.h>
#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>

extern char** environ;

namespace {

using grabtool::CaptureModel;
using grabtool::CaptureState;
using namespace std::chrono_literals;

struct Road
{
    const char* file;
    int streamType;
    const char* mux;
    int format;
};

class CaptureNetTest : public qvtest::NetnsTest
{
protected:
    void SetUp() override
    {
        NetnsTest::SetUp();
        if (IsSkipped() || HasFatalFailure()) {
            return;
        }
        // The port is free and differs from the test's own sender's.
        m_sender = std::make_unique<qvtest::UdpSocket>("127.0.0.1");
        m_port = qvtest::UdpSocket("127.0.0.1").LocalPort();
        m_model = std::make_unique<CaptureModel>(m_host, m_dir.File("grabtool.ini"));
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
    // ends before its findings are taken in, so the capture that starts
    // then receives a second transmission from its first byte.
    void CaptureSample(const Road& road, const std::string& filename)
    {
        m_model->SetMuxText(road.mux);
        m_model->SetFilename(filename);
        m_model->OnStartStop();
        const auto end = std::chrono::steady_clock::now() + 60s;
        while (m_model->State() == CaptureState::Waiting && std::chrono::steady_clock::now() < end) {
            m_host.Pump();
            if (m_host.TimerRunning(CaptureModel::kWaitTimer)) {
                m_model->OnTimer(CaptureModel::kWaitTimer);
            }
            std::unique_ptr<XmitMPEG> detect = Transmit(road, 100);
            ASSERT_TRUE(m_host.WaitForPost(5s)) << "the listener's wait never ended";
            detect->Stop();
            m_host.Pump();
        }
        ASSERT_EQ(m_model->State(), CaptureState::Capturing) << m_model->LogText();
        const std::uint64_t size = std::filesystem::file_size(qvtest::SamplePath(road.file));
        std::unique_ptr<XmitMPEG> xmit = Transmit(road, 1);
        EXPECT_TRUE(grabtest::Drive(m_host, *m_model, [&] {
            return xmit->IsFinished() && m_model->BytesWritten() >= size;
        })) << m_model->BytesWritten() << " of " << size;
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
    // Exit while the listener waits.
    m_model->OnStartStop();
    m_model->OnTimer(CaptureModel::kWaitTimer);
    EXPECT_TRUE(m_model->ListenerRunning());
    m_model->OnExit();
    EXPECT_FALSE(m_model->ListenerRunning());
    EXPECT_EQ(m_model->State(), CaptureState::Idle);

    // Stop the moment the capture has started.
    const std::string datagram(1316, 'x');
    m_model->OnStartStop();
    ASSERT_TRUE(grabtest::Drive(
        m_host, *m_model, [&] { return m_model->State() == CaptureState::Capturing; },
        [&] {
            for (int i = 0; i < 3; ++i) {
                m_sender->SendTo("127.0.0.1", m_port, datagram);
            }
        }));
    EXPECT_TRUE(m_model->ReceiverRunning());
    EXPECT_TRUE(m_model->WriterRunning());
    m_model->OnStartStop();
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
    CaptureSample(road, path);
    EXPECT_TRUE(qvtest::ReadAll(path) == qvtest::ReadAll(qvtest::SamplePath(road.file)));
    const bool raw = road.format == XmitMPEG::kRawFormat;
    const std::string log = m_model->LogText();
    for (const std::string& line :
         {std::string(raw ? "PacketFormat=RAW" : "PacketFormat=OPV"), "Mux=" + std::string(road.mux),
          std::string(raw ? "PacketSize=8192" : "PacketSize=8196"), std::string("Interface=127.0.0.1"),
          "Filename: " + path, std::string("Saving..."), std::string("Data Started")}) {
        EXPECT_NE(log.find(line + "\r\n"), std::string::npos) << line << " in\n" << log;
    }
}

INSTANTIATE_TEST_SUITE_P(
    Samples, CaptureRoadTest,
    ::testing::Values(Road{"m1s_testsrc.mpg", qvmpeg::kMpeg1System, "m1s", XmitMPEG::kRawFormat},
                      Road{"m1s_testsrc.mpg", qvmpeg::kMpeg1System, "m1s", XmitMPEG::kOpvFormat},
                      Road{"m2p_testsrc.mpg", qvmpeg::kMpeg2Program, "m2p", XmitMPEG::kRawFormat},
                      Road{"m2p_testsrc.mpg", qvmpeg::kMpeg2Program, "m2p", XmitMPEG::kOpvFormat},
                      Road{"m2t_testsrc2.ts", qvmpeg::kMpeg2Transport, "m2t", XmitMPEG::kRawFormat},
                      Road{"m2t_testsrc2.ts", qvmpeg::kMpeg2Transport, "m2t", XmitMPEG::kOpvFormat}),
    [](const auto& road) {
        return std::string(road.param.mux) +
               (road.param.format == XmitMPEG::kRawFormat ? "_raw" : "_opv");
    });

const Road kM2pOpv{"m2p_testsrc.mpg", qvmpeg::kMpeg2Program, "m2p", XmitMPEG::kOpvFormat};

TEST_F(CaptureNetTest, SimulationModeCountsTheBytesAndWritesNone)
{
    CaptureSample(kM2pOpv, "");
    EXPECT_EQ(m_model->BytesWritten(), std::filesystem::file_size(qvtest::SamplePath(kM2pOpv.file)));
    EXPECT_NE(m_model->LogText().find("No file specified.  Simulation mode.\r\n"), std::string::npos);
    for (const auto& entry : std::filesystem::directory_iterator(m_dir.Path())) {
        EXPECT_EQ(entry.path().filename().string().rfind("grabtool.ini", 0), 0u) << entry.path();
    }
}

TEST_F(CaptureNetTest, WriteErrorIsLoggedOnceAndTheCaptureGoesOn)
{
    // The limit is the child's alone: the whole capture runs there and
    // reports through a pipe.
    constexpr rlim_t kLimit = 65536;
    const std::string path = m_dir.File("capture.mpg");
    int fds[2];
    ASSERT_EQ(pipe(fds), 0);
    const pid_t child = fork();
    if (child == 0) {
        close(fds[0]);
        const rlimit limit{kLimit, kLimit};
        setrlimit(RLIMIT_FSIZE, &limit);
        CaptureSample(kM2pOpv, path);
        const std::string report = std::to_string(m_model->BytesWritten()) + "\n" + m_model->LogText();
        const bool sent = write(fds[1], report.data(), report.size()) ==
                          static_cast<ssize_t>(report.size());
        _exit(sent && !HasFailure() ? 0 : 1);
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
              std::to_string(std::filesystem::file_size(qvtest::SamplePath(kM2pOpv.file))));
    const std::string line = "Write error: File too large. 65536 bytes in the file; writing stopped.";
    const std::size_t at = report.find(line);
    EXPECT_NE(at, std::string::npos) << report;
    EXPECT_EQ(report.find(line, at + 1), std::string::npos) << report;
    EXPECT_EQ(std::filesystem::file_size(path), kLimit);
}

std::string Streams(const std::string& file)
{
    const qvtest::CommandResult probe = qvtest::RunCommand(
        {"ffprobe", "-v", "quiet", "-show_entries", "stream=codec_type,codec_name", "-of",
         "csv=p=0", file});
    EXPECT_TRUE(probe.Succeeded()) << probe.output;
    // Each stream is listed under its program and again on its own.
    std::set<std::string> streams;
    std::istringstream lines(probe.output);
    for (std::string line; std::getline(lines, line);) {
        if (!line.empty()) {
            streams.insert(line.substr(0, line.find(',', line.find(',') + 1)));
        }
    }
    std::string joined;
    for (const std::string& stream : streams) {
        joined += stream + ";";
    }
    return joined;
}

TEST_F(CaptureNetTest, StreamFromFfmpegIsCapturedWithItsStreams)
{
    const std::string ffmpeg = qvtest::FindExecutable("ffmpeg");
    if (ffmpeg.empty() || qvtest::FindExecutable("ffprobe").empty()) {
        GTEST_SKIP() << "ffmpeg and ffprobe are needed";
    }
    const std::string sample = qvtest::SamplePath("m1s_testsrc.mpg");
    const std::string path = m_dir.File("capture.ts");
    m_model->SetMuxText("m2t");
    m_model->SetFilename(path);
    m_model->OnStartStop();
    m_model->OnTimer(CaptureModel::kWaitTimer);

    const std::string url = "udp://127.0.0.1:" + std::to_string(m_port) + "?pkt_size=1316";
    std::vector<std::string> args = {ffmpeg, "-nostdin", "-v", "error", "-re", "-i", sample,
                                     "-c", "copy", "-f", "mpegts", url};
    std::vector<char*> argv;
    for (std::string& arg : args) {
        argv.push_back(arg.data());
    }
    argv.push_back(nullptr);
    pid_t pid = -1;
    ASSERT_EQ(posix_spawn(&pid, argv[0], nullptr, nullptr, argv.data(), environ), 0);
    int status = -1;
    const bool ended = grabtest::Drive(m_host, *m_model, [&] {
        if (status == -1 && waitpid(pid, &status, WNOHANG) != pid) {
            return false;
        }
        return m_model->State() == CaptureState::Capturing &&
               m_model->LogText().find("Timeout\r\n") != std::string::npos;
    });
    if (status == -1) {
        kill(pid, SIGKILL);
        waitpid(pid, &status, 0);
    }
    ASSERT_TRUE(ended) << m_model->LogText();
    m_model->OnStartStop();
    EXPECT_NE(m_model->LogText().find("PacketFormat=RAW\r\nMux=m2t\r\nPacketSize=1316\r\n"),
              std::string::npos)
        << m_model->LogText();
    EXPECT_GT(std::filesystem::file_size(path), 0u);
    EXPECT_EQ(Streams(path), Streams(sample));
}

} // namespace
