// grabtool's capture over loopback: the highest paced rate at which the whole
// stream reaches the file, and at a fixed rate the CPU time per megabit of
// the receiving side (receiver, writer and file) and the bytes lost.
//
// Each trial runs the capture model as the dialog would: Start, the listener
// finds a short run of datagrams, the capture starts, then a test sender
// paces "OPV" datagrams to 127.0.0.1 and the writer writes them to a file in
// a private temporary directory. A trial is lossless when the file holds
// every payload byte sent, in order.

#include "core/net/qvhostaddr.h"
#include "grabtool/model/capturemodel.h"
#include "platform/testsupport/tempfiles.h"

#include <benchmark/benchmark.h>

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

constexpr std::uint32_t kHeader = 4;

double CpuSeconds(clockid_t clock)
{
    timespec now{};
    clock_gettime(clock, &now);
    return static_cast<double>(now.tv_sec) + static_cast<double>(now.tv_nsec) * 1e-9;
}

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

struct Trial
{
    std::uint64_t sent = 0;
    std::uint64_t written = 0;
    std::uint64_t fileSize = 0;
    std::uint64_t lost = 0;
    double seconds = 0;
    double receiverCpu = 0;

    bool Lossless() const { return sent > 0 && written == sent && fileSize == sent && lost == 0; }
    double Megabits() const { return static_cast<double>(sent) * 8 / 1e6; }
};

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

    // One "OPV" datagram of `size` bytes carrying stream offset `offset`.
    bool Send(std::vector<std::uint8_t>& datagram, std::uint32_t offset)
    {
        datagram[0] = static_cast<std::uint8_t>(offset >> 24);
        datagram[1] = static_cast<std::uint8_t>(offset >> 16);
        datagram[2] = static_cast<std::uint8_t>(offset >> 8);
        datagram[3] = static_cast<std::uint8_t>(offset);
        return send(m_fd, datagram.data(), datagram.size(), 0) ==
               static_cast<ssize_t>(datagram.size());
    }

private:
    int m_fd = -1;
};

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

Trial RunTrial(std::uint32_t datagramSize, double mbps, double seconds)
{
    Trial trial;
    const qvtest::TempDir temp("grabtool_bench");
    if (!temp.Valid()) {
        return trial;
    }
    const std::filesystem::path& dir = temp.Path();
    // A receiver key of the settings file: a short data timeout ends the
    // trial soon after the last datagram.
    std::ofstream(dir / "grabtool.ini") << "[QV]\nUDCTimeout=300\n";

    // The listener listens on the host's addresses; here the stream comes
    // over loopback.
    QvSetHostAddressProvider([] { return std::vector<std::uint32_t>{htonl(INADDR_LOOPBACK)}; });
    const std::uint16_t port = FreePort();
    PumpedHost host;
    {
        // The host outlives the model: a non-owning pointer will do.
        CaptureModel model(host, {std::shared_ptr<void>(), &host}, (dir / "grabtool.ini").string());
        model.SetAddress("127.0.0.1");
        model.SetPort(std::to_string(port));
        model.SetPacketFormatText("OPV");
        model.SetMuxText("m2t");
        model.SetFilename((dir / "capture.mpg").string());
        model.OnStartStop();

        Sender sender(port);
        std::vector<std::uint8_t> datagram(datagramSize, 0x5A);
        const std::uint32_t payload = datagramSize - kHeader;
        // The listener finds a few datagrams; they end before the capture
        // starts.
        for (int round = 0; round < 50 && model.State() == CaptureState::Waiting; ++round) {
            host.Pump();
            if (host.TimerRunning(CaptureModel::kWaitTimer)) {
                model.OnTimer(CaptureModel::kWaitTimer);
            }
            for (std::uint32_t i = 0; !host.WaitForPost(std::chrono::milliseconds(20)); ++i) {
                sender.Send(datagram, i * payload);
            }
            host.Pump();
        }
        if (model.State() != CaptureState::Capturing) {
            std::fprintf(stderr, "the capture did not start\n");
            return trial;
        }

        const auto packets =
            static_cast<std::uint64_t>(mbps * 1e6 * seconds / (datagramSize * 8.0));
        const auto interval = std::chrono::nanoseconds(
            static_cast<std::int64_t>(datagramSize * 8.0 / (mbps * 1e6) * 1e9));
        const double senderCpuStart = CpuSeconds(CLOCK_THREAD_CPUTIME_ID);
        const double processCpuStart = CpuSeconds(CLOCK_PROCESS_CPUTIME_ID);
        const auto begin = Clock::now();
        auto next = begin;
        for (std::uint64_t i = 0; i < packets; ++i) {
            if (sender.Send(datagram, static_cast<std::uint32_t>(i * payload))) {
                trial.sent += payload;
            }
            next += interval;
            while (Clock::now() < next) {
            }
        }
        trial.seconds = std::chrono::duration<double>(Clock::now() - begin).count();
        const double senderCpu = CpuSeconds(CLOCK_THREAD_CPUTIME_ID) - senderCpuStart;
        // The tail comes with the data timeout.
        const auto end = Clock::now() + std::chrono::seconds(5);
        while (model.BytesWritten() < trial.sent && Clock::now() < end) {
            host.WaitForPost(std::chrono::milliseconds(20));
            host.Pump();
        }
        trial.receiverCpu = CpuSeconds(CLOCK_PROCESS_CPUTIME_ID) - processCpuStart - senderCpu;
        model.OnTimer(CaptureModel::kStatisticsTimer);
        trial.lost = std::strtoull(model.LostRecoveredText().c_str(), nullptr, 10);
        trial.written = model.BytesWritten();
        model.OnStartStop();
    }
    trial.fileSize = std::filesystem::file_size(dir / "capture.mpg");
    return trial;
}

// The highest rate (Mbit/s) at which a capture reaches the file whole:
// doubling from 50 Mbit/s until a trial loses data, then bisecting.
void BM_CaptureMaxLosslessRate(benchmark::State& state)
{
    const auto datagramSize = static_cast<std::uint32_t>(state.range(0));
    constexpr double kTrialSeconds = 0.5;
    double best = 0;
    for (auto _ : state) {
        double good = 0;
        double bad = 0;
        for (double rate = 50; rate <= 51200; rate *= 2) {
            if (RunTrial(datagramSize, rate, kTrialSeconds).Lossless()) {
                good = rate;
            } else {
                bad = rate;
                break;
            }
        }
        for (int step = 0; step < 4 && bad > 0; ++step) {
            const double rate = (good + bad) / 2;
            (RunTrial(datagramSize, rate, kTrialSeconds).Lossless() ? good : bad) = rate;
        }
        best = good;
    }
    state.counters["lossless_Mbps"] = best;
}
BENCHMARK(BM_CaptureMaxLosslessRate)->Arg(1404)->Arg(8196)->Iterations(1)->Unit(benchmark::kSecond);

// At a fixed rate: CPU time per megabit of the receiving side and the bytes
// lost on the way to the file.
void BM_CaptureSteadyStream(benchmark::State& state)
{
    const auto datagramSize = static_cast<std::uint32_t>(state.range(0));
    const auto mbps = static_cast<double>(state.range(1));
    Trial trial;
    for (auto _ : state) {
        trial = RunTrial(datagramSize, mbps, 2.0);
    }
    const double megabits = trial.Megabits();
    state.counters["cpu_us_per_Mbit"] = megabits > 0 ? trial.receiverCpu * 1e6 / megabits : 0;
    state.counters["bytes_lost"] =
        static_cast<double>(trial.sent - std::min(trial.sent, trial.fileSize));
    state.counters["Mbps"] = trial.seconds > 0 ? megabits / trial.seconds : 0;
}
BENCHMARK(BM_CaptureSteadyStream)
    ->Args({1404, 100})
    ->Args({8196, 100})
    ->Args({8196, 1000})
    ->Iterations(1)
    ->Unit(benchmark::kSecond);

} // namespace
