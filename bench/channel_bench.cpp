// The capture engine's command channel and its file writing.
//
//   1. Command round trip between two processes: this program sends 20,000
//      commands over the channel to a copy of itself (started with --serve),
//      which answers each one; median, p99 and maximum of the round trip,
//      and how many went unanswered (-255) or came back wrong.
//   2. Write rate: the capture's file writing (CreateAlways, then 64 KiB per
//      round as the capture loop writes) against `dd bs=64k` into the same
//      directory, 256 MiB each, both synced at the end; three runs each,
//      the median.
//   3. Live capture (--live): a sender process paces RAW datagrams cut from
//      a transport stream to 127.0.0.1; a QvStreamCapture records them to a
//      file, on its defaults (a kernel receive buffer of 102,400 bytes asked
//      for, 204,800 given) and with UDCKernalBufferSize raised to what
//      multicat gets (1 MiB in the kernel), beside multicat and ffmpeg
//      recording the same stream. For 1320- and 8196-byte datagrams: the
//      highest rate each takes losslessly (nothing dropped by the kernel,
//      every byte on disk) and the recording process's CPU time per megabit
//      at 200 Mbit/s.
//
// Usage: channel_bench [directory]   (default: the system's temporary directory)
//        channel_bench --live [--trials N] [--seconds S] [--sizes a,b]
//                             [--ladder a,b,...] [--cpu-rate MBPS] [--quick]
#include "bench/stream_peers.h"
#include "capture/channel/qvcommchannel.h"
#include "capture/engine/model/qvstreamcapture.h"
#include "platform/file.h"
#include "platform/testsupport/tempfiles.h"

#include <algorithm>
#include <arpa/inet.h>
#include <atomic>
#include <chrono>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <iostream>
#include <netinet/in.h>
#include <span>
#include <string>
#include <sys/socket.h>
#include <sys/wait.h>
#include <thread>
#include <unistd.h>
#include <vector>

namespace {

using Clock = std::chrono::steady_clock;
namespace fs = std::filesystem;

constexpr const char* kBenchChannel = "bench_channel";

double Percentile(std::vector<double> values, double fraction)
{
    if (values.empty()) {
        return 0;
    }
    const auto at = static_cast<std::size_t>(fraction * static_cast<double>(values.size() - 1));
    std::nth_element(values.begin(), values.begin() + static_cast<std::ptrdiff_t>(at),
                     values.end());
    return values[at];
}

// ---- 1. Round trip ------------------------------------------------------------------

class EchoServer : public QvCommChannel
{
public:
    EchoServer() : QvCommChannel(kBenchChannel, kQvChannelDataSize, Side::Serving) { Listen(); }
    ~EchoServer() override { StopListening(); }
    int HandleCommand(int code, std::span<const std::uint8_t> data) override
    {
        std::int32_t value = 0;
        std::memcpy(&value, data.data(), sizeof value);
        return code + value;
    }
};

int Serve()
{
    EchoServer server;
    std::cout << (server.IsValid() ? "ready" : "failed") << std::endl;
    std::string line;
    std::getline(std::cin, line); // until the parent closes our input
    return 0;
}

void RoundTrip()
{
    int toChild[2];
    int fromChild[2];
    if (pipe(toChild) != 0 || pipe(fromChild) != 0) {
        std::perror("pipe");
        return;
    }
    const pid_t pid = fork();
    if (pid == 0) {
        dup2(toChild[0], STDIN_FILENO);
        dup2(fromChild[1], STDOUT_FILENO);
        close_range(3, ~0U, 0);
        execl("/proc/self/exe", "channel_bench", "--serve", nullptr);
        _exit(127);
    }
    close(toChild[0]);
    close(fromChild[1]);
    char ready[16] = {};
    if (read(fromChild[0], ready, sizeof ready - 1) <= 0 || std::strncmp(ready, "ready", 5) != 0) {
        std::printf("round trip: the serving process did not start\n");
        return;
    }
    QvCommChannel sender(kBenchChannel, kQvChannelDataSize, QvCommChannel::Side::Sending);
    constexpr int kCommands = 20000;
    std::vector<double> microseconds;
    microseconds.reserve(kCommands);
    int unanswered = 0;
    int wrong = 0;
    for (std::int32_t i = 0; i < kCommands; ++i) {
        const auto begin = Clock::now();
        const int result = sender.SendCommand(7, &i, sizeof i);
        microseconds.push_back(
            std::chrono::duration<double, std::micro>(Clock::now() - begin).count());
        unanswered += result == kQvNoAnswer;
        wrong += result != kQvNoAnswer && result != 7 + i;
    }
    close(toChild[1]);
    waitpid(pid, nullptr, 0);
    std::printf("round trip, %d commands: median %.1f us, p99 %.1f us, max %.1f us; "
                "unanswered %d, wrong %d\n",
                kCommands, Percentile(microseconds, 0.5), Percentile(microseconds, 0.99),
                *std::max_element(microseconds.begin(), microseconds.end()), unanswered, wrong);
}

// ---- 2. Write rate --------------------------------------------------------------------

constexpr std::size_t kBlock = QvStreamCapture::kReadSize;
constexpr std::size_t kWriteBlocks = 4096; // 256 MiB

double CaptureWriterMBps(const std::string& path)
{
    std::vector<char> block(kBlock, 0x47);
    const auto begin = Clock::now();
    qvplat::File file;
    if (!file.CreateAlways(path, 0644)) {
        return 0;
    }
    for (std::size_t i = 0; i < kWriteBlocks; ++i) {
        if (!file.WriteAll(block.data(), block.size())) {
            return 0;
        }
    }
    file.Sync();
    file.Close();
    const double seconds = std::chrono::duration<double>(Clock::now() - begin).count();
    fs::remove(path);
    return static_cast<double>(kBlock * kWriteBlocks) / 1048576.0 / seconds;
}

double DdMBps(const std::string& path)
{
    const std::string command = "dd if=/dev/zero of='" + path +
                                "' bs=64k count=" + std::to_string(kWriteBlocks) +
                                " conv=fsync status=none";
    const auto begin = Clock::now();
    if (std::system(command.c_str()) != 0) {
        return 0;
    }
    const double seconds = std::chrono::duration<double>(Clock::now() - begin).count();
    fs::remove(path);
    return static_cast<double>(kBlock * kWriteBlocks) / 1048576.0 / seconds;
}

void WriteRate(const fs::path& dir)
{
    std::vector<double> writer;
    std::vector<double> dd;
    for (int run = 0; run < 3; ++run) {
        writer.push_back(CaptureWriterMBps((dir / "writer.out").string()));
        dd.push_back(DdMBps((dir / "dd.out").string()));
    }
    const double w = Percentile(writer, 0.5);
    const double d = Percentile(dd, 0.5);
    std::printf("write rate, 256 MiB in 64 KiB blocks, synced: capture writer %.0f MiB/s, "
                "dd %.0f MiB/s, %.0f %% of dd\n",
                w, d, d > 0 ? 100.0 * w / d : 0.0);
}

// ---- 3. Live capture ------------------------------------------------------------------

// One capture by QvStreamCapture of a paced RAW stream; `kernelBuffer` 0
// keeps the receiver's default.
streampeers::Outcome LiveCapture(const fs::path& dir, std::uint32_t datagramSize, double mbps,
                                 double seconds, int kernelBuffer)
{
    streampeers::Outcome outcome;
    const std::uint16_t port = streampeers::FreePort();
    const std::string file = (dir / "live.mpg").string();

    QvStreamCapture capture("x_QvSTbench");
    QvStatusBlock* status = capture.GetStatus();
    QvStore(status->stopThreshold, 0.0);
    QvPropertyList& settings = capture.GetPropertyList();
    settings.SetProperty("Address", "127.0.0.1");
    settings.SetProperty("Port", port, QvPropertyList::Decimal);
    settings.SetProperty("PacketFormat", "RAW");
    settings.SetProperty("Mux", "M2T");
    settings.SetProperty("PacketSize", static_cast<int>(datagramSize), QvPropertyList::Decimal);
    settings.SetProperty("UDCTimeout", "300");
    if (kernelBuffer != 0) {
        settings.SetProperty("UDCKernalBufferSize", kernelBuffer, QvPropertyList::Decimal);
    }
    settings.SetProperty("Filename", file.c_str());
    if (capture.Start() != 0) {
        outcome.note = "(start failed)";
        return outcome;
    }
    const double cpuStart = streampeers::ProcessCpuSeconds();
    const streampeers::SendResult sent = streampeers::Send(
        {port, datagramSize, mbps, seconds, streampeers::Payload::RawTs, streampeers::SampleTs()});
    // The capture ends by itself after the data timeout.
    const auto end = Clock::now() + std::chrono::seconds(3);
    while (QvLoad(status->stopReason) == kQvReasonNone && Clock::now() < end) {
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }
    const double cpu = streampeers::ProcessCpuSeconds() - cpuStart;
    const streampeers::SocketState socket = streampeers::ReadSocketState(port);
    const auto captured = static_cast<std::uint64_t>(QvLoad(status->bytesCaptured));
    capture.Stop();
    std::error_code error;
    const std::uint64_t onDisk = fs::file_size(file, error);
    fs::remove(file, error);

    streampeers::Conclude(outcome, sent, socket, cpu, onDisk, captured == sent.bytes, "on disk");
    return outcome;
}

} // namespace

int main(int argc, char** argv)
{
    if (argc > 1 && std::strcmp(argv[1], "--serve") == 0) {
        return Serve();
    }
    // "--live" and the comparison's options measure the live capture; a
    // single other argument is the directory of the write rate.
    const bool live = argc > 1 && std::strcmp(argv[1], "--live") == 0;
    streampeers::ComparisonOptions options;
    if (live && !streampeers::ParseComparisonOptions(argc - 1, argv + 1, options)) {
        std::fprintf(stderr, "usage: channel_bench [directory] | --live [--trials N] "
                             "[--seconds S] [--sizes a,b] [--ladder a,b,...] [--cpu-rate MBPS] "
                             "[--quick]\n");
        return 2;
    }
    // Named objects go to a runtime directory of our own.
    const qvtest::TempDir run("channel-bench");
    if (!run.Valid()) {
        std::perror("mkdtemp");
        return 1;
    }
    setenv("XDG_RUNTIME_DIR", run.Path().c_str(), 1);
    const fs::path dir = argc > 1 && !live ? fs::path(argv[1]) : run.Path();

    if (!live) {
        RoundTrip();
        WriteRate(dir);
    } else {
        // What the kernel gives multicat's socket (twice what is asked for).
        constexpr int kMulticatBuffer = 1 << 20;
        std::vector<streampeers::Recorder> recorders{
            {"capture engine (defaults)",
             [&](std::uint32_t size, double mbps, double seconds) {
                 return LiveCapture(dir, size, mbps, seconds, 0);
             }},
            {"capture engine (1 MiB kernel buffer)",
             [&](std::uint32_t size, double mbps, double seconds) {
                 return LiveCapture(dir, size, mbps, seconds, kMulticatBuffer / 2);
             }},
        };
        for (auto& peer : streampeers::PeerRecorders(dir.string())) {
            recorders.push_back(std::move(peer));
        }
        streampeers::RunComparison(recorders, options);
    }
    return 0;
}
