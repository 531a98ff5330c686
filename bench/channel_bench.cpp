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
//   3. Live capture: a sender thread paces OPV datagrams of 8196 bytes to
//      127.0.0.1 for 3 s; a QvStreamCapture records them to a file. Bytes
//      on disk against bytes sent, and the capturing side's CPU time per
//      megabit (process CPU less the sender thread's).
//
// Usage: channel_bench [directory]   (default: the system's temporary directory)
#include "capture/channel/qvcommchannel.h"
#include "capture/engine/qvstreamcapture.h"
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

double CpuSeconds(clockid_t clock)
{
    timespec now{};
    clock_gettime(clock, &now);
    return static_cast<double>(now.tv_sec) + static_cast<double>(now.tv_nsec) * 1e-9;
}

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

std::uint16_t FreePort()
{
    const int fd = socket(AF_INET, SOCK_DGRAM, 0);
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    bind(fd, reinterpret_cast<sockaddr*>(&address), sizeof(address));
    socklen_t length = sizeof(address);
    getsockname(fd, reinterpret_cast<sockaddr*>(&address), &length);
    close(fd);
    return ntohs(address.sin_port);
}

void LiveCapture(const fs::path& dir, double mbps)
{
    constexpr std::uint32_t kDatagram = 8196;
    constexpr std::uint32_t kPayload = kDatagram - 4;
    constexpr double kSeconds = 3.0;
    const std::uint16_t port = FreePort();
    const std::string file = (dir / "live.mpg").string();

    QvStreamCapture capture("x_QvSTbench");
    QvStatusBlock* status = capture.GetStatus();
    QvStore(status->stopThreshold, 0.0);
    QvPropertyList& settings = capture.GetPropertyList();
    settings.SetProperty("Address", "127.0.0.1");
    settings.SetProperty("Port", port, QvPropertyList::Decimal);
    settings.SetProperty("PacketSize", static_cast<int>(kDatagram), QvPropertyList::Decimal);
    settings.SetProperty("FixHeader", "FALSE");
    settings.SetProperty("UDCTimeout", "300");
    settings.SetProperty("Filename", file.c_str());
    if (capture.Start() != 0) {
        std::printf("live capture: start failed\n");
        return;
    }

    const double processCpuStart = CpuSeconds(CLOCK_PROCESS_CPUTIME_ID);
    double senderCpu = 0;
    std::uint64_t sent = 0;
    std::thread sender([&] {
        const double cpuStart = CpuSeconds(CLOCK_THREAD_CPUTIME_ID);
        const int fd = socket(AF_INET, SOCK_DGRAM, 0);
        sockaddr_in to{};
        to.sin_family = AF_INET;
        to.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        to.sin_port = htons(port);
        connect(fd, reinterpret_cast<sockaddr*>(&to), sizeof(to));
        std::vector<std::uint8_t> datagram(kDatagram, 0x47);
        const auto packets = static_cast<std::uint64_t>(mbps * 1e6 * kSeconds / (kDatagram * 8.0));
        const auto interval = std::chrono::nanoseconds(
            static_cast<std::int64_t>(kDatagram * 8.0 / (mbps * 1e6) * 1e9));
        auto next = Clock::now();
        for (std::uint64_t i = 0; i < packets; ++i) {
            const auto offset = static_cast<std::uint32_t>(i * kPayload);
            datagram[0] = static_cast<std::uint8_t>(offset >> 24);
            datagram[1] = static_cast<std::uint8_t>(offset >> 16);
            datagram[2] = static_cast<std::uint8_t>(offset >> 8);
            datagram[3] = static_cast<std::uint8_t>(offset);
            if (send(fd, datagram.data(), datagram.size(), 0) == static_cast<ssize_t>(kDatagram)) {
                sent += kPayload;
            }
            next += interval;
            std::this_thread::sleep_until(next);
        }
        close(fd);
        senderCpu = CpuSeconds(CLOCK_THREAD_CPUTIME_ID) - cpuStart;
    });
    sender.join();
    while (QvLoad(status->stopReason) == kQvReasonNone) {
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }
    const double captureCpu = CpuSeconds(CLOCK_PROCESS_CPUTIME_ID) - processCpuStart - senderCpu;
    const double captured = QvLoad(status->bytesCaptured);
    capture.Stop();
    fs::remove(file);
    const double megabits = static_cast<double>(sent) * 8 / 1e6;
    std::printf("live capture at %.0f Mbit/s for %.0f s: %.1f of %.1f Mbit on disk (%.2f %%), "
                "reason %d, capture CPU %.3f ms per Mbit\n",
                mbps, kSeconds, captured * 8 / 1e6, megabits,
                megabits > 0 ? 100.0 * captured * 8 / 1e6 / megabits : 0.0,
                QvLoad(status->stopReason), megabits > 0 ? captureCpu * 1000 / megabits : 0.0);
}

} // namespace

int main(int argc, char** argv)
{
    if (argc > 1 && std::strcmp(argv[1], "--serve") == 0) {
        return Serve();
    }
    // Named objects go to a runtime directory of our own.
    const qvtest::TempDir run("channel-bench");
    if (!run.Valid()) {
        std::perror("mkdtemp");
        return 1;
    }
    setenv("XDG_RUNTIME_DIR", run.Path().c_str(), 1);
    const fs::path dir = argc > 1 ? fs::path(argv[1]) : run.Path();

    RoundTrip();
    WriteRate(dir);
    for (const double mbps : {20.0, 100.0}) {
        LiveCapture(dir, mbps);
    }
    return 0;
}
