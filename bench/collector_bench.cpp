// The stream receiver over loopback: the highest paced rate one collector
// takes without losing a datagram, the receiving side's CPU time per megabit,
// the delay from a datagram's sending to its bytes leaving ReadBuffer, and
// the heap allocations made while the stream runs (there should be none).
//
// Each benchmark runs one measured transmission per iteration and reports its
// figures as counters. A test sender on the same host paces "OPV" datagrams
// to 127.0.0.1; a reader thread consumes the stream with ReadBuffer, one
// packet's payload per call.

#include "core/receive/qvcollector.h"
#include "core/settings/qvproplist.h"

#include <benchmark/benchmark.h>

#include <algorithm>
#include <arpa/inet.h>
#include <atomic>
#include <chrono>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <netinet/in.h>
#include <new>
#include <sys/socket.h>
#include <thread>
#include <unistd.h>
#include <vector>

// ---- Counting heap allocations ---------------------------------------------------------

namespace {

std::atomic<std::uint64_t> g_allocations{0};

// Kept out of line so that the compiler never pairs an inlined malloc with
// the free of another operator.
[[gnu::noinline]] void* CountedAllocate(std::size_t size)
{
    g_allocations.fetch_add(1, std::memory_order_relaxed);
    if (void* p = std::malloc(size == 0 ? 1 : size)) {
        return p;
    }
    throw std::bad_alloc();
}

[[gnu::noinline]] void CountedRelease(void* p) noexcept
{
    std::free(p);
}

} // namespace

void* operator new(std::size_t size)
{
    return CountedAllocate(size);
}

void* operator new[](std::size_t size)
{
    return CountedAllocate(size);
}

void operator delete(void* p) noexcept
{
    CountedRelease(p);
}

void operator delete[](void* p) noexcept
{
    CountedRelease(p);
}

void operator delete(void* p, std::size_t) noexcept
{
    CountedRelease(p);
}

void operator delete[](void* p, std::size_t) noexcept
{
    CountedRelease(p);
}

namespace {

using Clock = std::chrono::steady_clock;

constexpr std::uint32_t kHeader = 4;

double CpuSeconds(clockid_t clock)
{
    timespec now{};
    clock_gettime(clock, &now);
    return static_cast<double>(now.tv_sec) + static_cast<double>(now.tv_nsec) * 1e-9;
}

std::int64_t NowNs()
{
    return std::chrono::duration_cast<std::chrono::nanoseconds>(Clock::now().time_since_epoch())
        .count();
}

// A UDP port on 127.0.0.1 that nobody holds at the moment.
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

struct Trial
{
    std::uint64_t sentPayload = 0;
    std::uint64_t received = 0;
    std::uint64_t read = 0;
    std::uint64_t lost = 0;
    double seconds = 0;
    double receiverCpu = 0; // process CPU less the sender thread's
    std::uint64_t steadyAllocations = 0;
    std::vector<std::int64_t> latencyNs;

    bool Lossless() const { return lost == 0 && received == sentPayload && read == sentPayload; }
    double Megabits() const { return static_cast<double>(sentPayload) * 8 / 1e6; }
};

// One paced transmission of `seconds` at `mbps` with datagrams of
// `datagramSize` bytes.
Trial RunTrial(std::uint32_t datagramSize, double mbps, double seconds)
{
    Trial trial;
    const std::uint32_t payload = datagramSize - kHeader;
    const std::uint16_t port = FreePort();

    QvPropertyList props;
    props.SetProperty("Address", "127.0.0.1");
    props.SetProperty("Port", port, QvPropertyList::Decimal);
    props.SetProperty("PacketSize", static_cast<int>(datagramSize), QvPropertyList::Decimal);
    props.SetProperty("FixHeader", "FALSE");
    props.SetProperty("UDCFlowControl", "FALSE");
    props.SetProperty("UDCTimeout", "300");
    QvUdpDataCollector collector;
    collector.SetPropertyList(&props);
    if (collector.Start() != QvUdpDataCollector::kStartOk) {
        return trial;
    }

    const auto packets = static_cast<std::uint64_t>(mbps * 1e6 * seconds / (datagramSize * 8.0));
    trial.latencyNs.reserve(packets);
    std::atomic<bool> steady{false};
    std::uint64_t allocationsAtSteady = 0;

    std::thread reader([&] {
        std::vector<char> buffer(payload);
        for (;;) {
            int flags = 0;
            const long got = collector.ReadBuffer(buffer.data(), payload, flags);
            if (got > 0) {
                trial.read += static_cast<std::uint64_t>(got);
                if (got == static_cast<long>(payload) && trial.latencyNs.size() < packets) {
                    std::int64_t stamp = 0;
                    std::memcpy(&stamp, buffer.data(), sizeof(stamp));
                    trial.latencyNs.push_back(NowNs() - stamp);
                }
            }
            if (flags == QvUdpDataCollector::kTimeout || flags == QvUdpDataCollector::kStopped) {
                return;
            }
        }
    });

    const int fd = socket(AF_INET, SOCK_DGRAM, 0);
    sockaddr_in to{};
    to.sin_family = AF_INET;
    to.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    to.sin_port = htons(port);
    connect(fd, reinterpret_cast<sockaddr*>(&to), sizeof(to));
    std::vector<std::uint8_t> datagram(datagramSize, 0x5A);

    const double senderCpuStart = CpuSeconds(CLOCK_THREAD_CPUTIME_ID);
    const double processCpuStart = CpuSeconds(CLOCK_PROCESS_CPUTIME_ID);
    const auto interval = std::chrono::nanoseconds(
        static_cast<std::int64_t>(datagramSize * 8.0 / (mbps * 1e6) * 1e9));
    const auto begin = Clock::now();
    auto next = begin;
    for (std::uint64_t i = 0; i < packets; ++i) {
        const auto sequence = static_cast<std::uint32_t>(i * payload);
        datagram[0] = static_cast<std::uint8_t>(sequence >> 24);
        datagram[1] = static_cast<std::uint8_t>(sequence >> 16);
        datagram[2] = static_cast<std::uint8_t>(sequence >> 8);
        datagram[3] = static_cast<std::uint8_t>(sequence);
        const std::int64_t stamp = NowNs();
        std::memcpy(datagram.data() + kHeader, &stamp, sizeof(stamp));
        if (send(fd, datagram.data(), datagram.size(), 0) ==
            static_cast<ssize_t>(datagram.size())) {
            trial.sentPayload += payload;
        }
        if (i == packets / 10) {
            allocationsAtSteady = g_allocations.load();
            steady.store(true);
        }
        next += interval;
        while (Clock::now() < next) {
        }
    }
    const std::uint64_t allocationsAtEnd = g_allocations.load();
    trial.seconds = std::chrono::duration<double>(Clock::now() - begin).count();
    const double senderCpu = CpuSeconds(CLOCK_THREAD_CPUTIME_ID) - senderCpuStart;
    reader.join();
    const double processCpu = CpuSeconds(CLOCK_PROCESS_CPUTIME_ID) - processCpuStart;
    close(fd);

    trial.steadyAllocations = steady.load() ? allocationsAtEnd - allocationsAtSteady : 0;
    trial.receiverCpu = processCpu - senderCpu;
    trial.received = collector.GetBytesReceived();
    trial.lost = collector.GetLostCount();
    collector.Stop();
    return trial;
}

double Percentile(std::vector<std::int64_t> values, double fraction)
{
    if (values.empty()) {
        return 0;
    }
    const auto at = static_cast<std::size_t>(fraction * static_cast<double>(values.size() - 1));
    std::nth_element(values.begin(), values.begin() + static_cast<std::ptrdiff_t>(at),
                     values.end());
    return static_cast<double>(values[at]);
}

// The highest rate (Mbit/s) at which a transmission arrives whole: doubling
// from 50 Mbit/s until a trial loses data, then bisecting.
void BM_CollectorMaxLosslessRate(benchmark::State& state)
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
            if (RunTrial(datagramSize, rate, kTrialSeconds).Lossless()) {
                good = rate;
            } else {
                bad = rate;
            }
        }
        best = good;
    }
    state.counters["lossless_Mbps"] = best;
}
BENCHMARK(BM_CollectorMaxLosslessRate)
    ->Arg(1404)
    ->Arg(8196)
    ->Iterations(1)
    ->Unit(benchmark::kSecond);

// At a fixed rate: the receiving side's CPU time per megabit, the latency
// from sending to ReadBuffer, and the allocations made in steady state.
void BM_CollectorSteadyStream(benchmark::State& state)
{
    const auto datagramSize = static_cast<std::uint32_t>(state.range(0));
    const auto mbps = static_cast<double>(state.range(1));
    Trial trial;
    for (auto _ : state) {
        trial = RunTrial(datagramSize, mbps, 2.0);
    }
    const double megabits = trial.Megabits();
    state.counters["cpu_us_per_Mbit"] = megabits > 0 ? trial.receiverCpu * 1e6 / megabits : 0;
    state.counters["latency_p50_us"] = Percentile(trial.latencyNs, 0.50) / 1e3;
    state.counters["latency_p99_us"] = Percentile(trial.latencyNs, 0.99) / 1e3;
    state.counters["steady_allocations"] = static_cast<double>(trial.steadyAllocations);
    state.counters["lost_bytes"] = static_cast<double>(trial.lost);
    state.counters["Mbps"] = trial.seconds > 0 ? megabits / trial.seconds : 0;
}
BENCHMARK(BM_CollectorSteadyStream)
    ->Args({1404, 100})
    ->Args({8196, 100})
    ->Args({8196, 1000})
    ->Iterations(1)
    ->Unit(benchmark::kSecond);

} // namespace
