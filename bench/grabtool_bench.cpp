// grabtool's capture over loopback, beside multicat and ffmpeg recording the
// same stream: for 1320- and 8196-byte datagrams, the highest paced rate at
// which the whole stream reaches the file, and at 200 Mbit/s the CPU time
// per megabit of the recording process (receiver, writer and file).
//
// Each trial runs the capture model as the dialog would: Start, the listener
// finds a short run of datagrams, the capture starts, then a sender process
// paces "RAW" datagrams cut from a transport stream to 127.0.0.1 and the
// writer writes them to a file in a private temporary directory. A trial is
// lossless when the kernel dropped nothing on the receiver's socket and
// every byte sent was written. grabtool runs on its defaults (a kernel
// receive buffer of 102,400 bytes asked for, 204,800 given) and once more
// with UDCKernalBufferSize raised to what multicat gets (1 MiB in the
// kernel); multicat and ffmpeg run on theirs.
//
// Usage: grabtool_bench [--trials N] [--seconds S] [--sizes a,b] [--ladder a,b,...]
//                       [--cpu-rate MBPS] [--quick]

#include "bench/stream_peers.h"
#include "core/net/qvhostaddr.h"
#include "grabtool/model/capturemodel.h"
#include "platform/testsupport/tempfiles.h"

#include <arpa/inet.h>
#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <ctime>
#include <deque>
#include <filesystem>
#include <fstream>
#include <mutex>
#include <netinet/in.h>
#include <string>
#include <sys/socket.h>
#include <thread>
#include <unistd.h>
#include <vector>

namespace {

using Clock = std::chrono::steady_clock;
using grabtool::CaptureModel;
using grabtool::CaptureState;

// The user-interface thread of the trial: posted work runs when pumped.
class PumpedHost final : public grabtool::CaptureHost, public qvplat::UiDispatcher
{
public:
    bool Post(std::function<void()> fn) override
    {
        const std::lock_guard lock(m_lock);
        m_queue.push_back(std::move(fn));
        m_posted.notify_all();
        return true;
    }
    bool IsUiThread() const override { return std::this_thread::get_id() == m_ui; }
    void StartTimer(int id, unsigned) override { m_timers[id] = true; }
    void KillTimer(int id) override { m_timers[id] = false; }
    void StateChanged() override {}

    bool TimerRunning(int id) const { return m_timers[id]; }
    void Pump()
    {
        std::unique_lock lock(m_lock);
        while (!m_queue.empty()) {
            auto fn = std::move(m_queue.front());
            m_queue.pop_front();
            lock.unlock();
            fn();
            lock.lock();
        }
    }
    bool WaitForPost(std::chrono::milliseconds bound)
    {
        std::unique_lock lock(m_lock);
        return m_posted.wait_for(lock, bound, [this] { return !m_queue.empty(); });
    }

private:
    const std::thread::id m_ui = std::this_thread::get_id();
    std::mutex m_lock;
    std::condition_variable m_posted;
    std::deque<std::function<void()>> m_queue;
    bool m_timers[3] = {};
};

// The warm-up datagrams that let the listener find the stream.
class Sender
{
public:
    explicit Sender(std::uint16_t port)
    {
        m_fd = socket(AF_INET, SOCK_DGRAM, 0);
        sockaddr_in to{};
        to.sin_family = AF_INET;
        to.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        to.sin_port = htons(port);
        connect(m_fd, reinterpret_cast<sockaddr*>(&to), sizeof(to));
    }
    ~Sender() { close(m_fd); }
    void Send(const std::vector<std::uint8_t>& datagram)
    {
        send(m_fd, datagram.data(), datagram.size(), 0);
    }

private:
    int m_fd = -1;
};

// One capture by grabtool's model; `kernelBuffer` 0 keeps the receiver's
// default.
streampeers::Outcome RunTrial(std::uint32_t datagramSize, double mbps, double seconds,
                              int kernelBuffer)
{
    streampeers::Outcome outcome;
    const qvtest::TempDir temp("grabtool_bench");
    if (!temp.Valid()) {
        return outcome;
    }
    const std::filesystem::path& dir = temp.Path();
    // Receiver keys of the settings file: a short data timeout ends the
    // trial soon after the last datagram.
    {
        std::ofstream settings(dir / "grabtool.ini");
        settings << "[QV]\nUDCTimeout=300\n";
        if (kernelBuffer != 0) {
            settings << "UDCKernalBufferSize=" << kernelBuffer << "\n";
        }
    }

    // The listener listens on the host's addresses; here the stream comes
    // over loopback.
    QvSetHostAddressProvider([] { return std::vector<std::uint32_t>{htonl(INADDR_LOOPBACK)}; });
    const std::uint16_t port = streampeers::FreePort();
    PumpedHost host;
    {
        // The host outlives the model: a non-owning pointer will do.
        CaptureModel model(host, {std::shared_ptr<void>(), &host}, (dir / "grabtool.ini").string());
        model.SetAddress("127.0.0.1");
        model.SetPort(std::to_string(port));
        model.SetPacketFormatText("RAW");
        model.SetMuxText("m2t");
        model.SetFilename((dir / "capture.mpg").string());
        model.OnStartStop();

        Sender sender(port);
        const std::vector<std::uint8_t> datagram(datagramSize, 0x47);
        // The listener finds a few datagrams; they end before the capture
        // starts.
        for (int round = 0; round < 50 && model.State() == CaptureState::Waiting; ++round) {
            host.Pump();
            if (host.TimerRunning(CaptureModel::kWaitTimer)) {
                model.OnTimer(CaptureModel::kWaitTimer);
            }
            while (!host.WaitForPost(std::chrono::milliseconds(20))) {
                sender.Send(datagram);
            }
            host.Pump();
        }
        if (model.State() != CaptureState::Capturing) {
            std::fprintf(stderr, "the capture did not start\n");
            return outcome;
        }
        // What the warm-up left behind is not part of the trial.
        std::this_thread::sleep_for(std::chrono::milliseconds(50));
        const std::uint64_t before = model.BytesWritten();

        const double cpuStart = streampeers::ProcessCpuSeconds();
        const streampeers::SendResult sent =
            streampeers::Send({port, datagramSize, mbps, seconds, streampeers::Payload::RawTs,
                               streampeers::SampleTs()});
        // The tail comes when the writer has taken it, at the latest with
        // the data timeout.
        const auto end = Clock::now() + std::chrono::seconds(3);
        while (model.BytesWritten() - before < sent.bytes && Clock::now() < end) {
            host.WaitForPost(std::chrono::milliseconds(20));
            host.Pump();
        }
        const double cpu = streampeers::ProcessCpuSeconds() - cpuStart;
        const streampeers::SocketState socket = streampeers::ReadSocketState(port);
        const std::uint64_t written = model.BytesWritten() - before;
        model.OnStartStop();

        streampeers::Conclude(outcome, sent, socket, cpu, written, true, "written");
    }
    return outcome;
}

} // namespace

int main(int argc, char** argv)
{
    streampeers::ComparisonOptions options;
    if (!streampeers::ParseComparisonOptions(argc, argv, options)) {
        std::fprintf(stderr, "usage: grabtool_bench [--trials N] [--seconds S] [--sizes a,b] "
                             "[--ladder a,b,...] [--cpu-rate MBPS] [--quick]\n");
        return 2;
    }
    const qvtest::TempDir peers("grabtool_bench-peers");
    if (!peers.Valid()) {
        return 1;
    }
    // What the kernel gives multicat's socket (twice what is asked for).
    constexpr int kMulticatBuffer = 1 << 20;
    std::vector<streampeers::Recorder> recorders{
        {"grabtool (defaults)", [](std::uint32_t size, double mbps,
                                   double seconds) { return RunTrial(size, mbps, seconds, 0); }},
        {"grabtool (1 MiB kernel buffer)",
         [](std::uint32_t size, double mbps, double seconds) {
             return RunTrial(size, mbps, seconds, kMulticatBuffer / 2);
         }},
    };
    for (auto& peer : streampeers::PeerRecorders(peers.Path().string())) {
        recorders.push_back(std::move(peer));
    }
    streampeers::RunComparison(recorders, options);
    return 0;
}
