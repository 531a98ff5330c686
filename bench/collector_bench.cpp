// The stream receiver over loopback, side by side with two other receivers
// of the same datagrams: a plain recvmmsg loop (what the machine can take)
// and multicat writing to /dev/null (when it is installed).
//
// For each datagram size it measures, in one run:
//   - the highest paced rate each receiver takes losslessly in most of its
//     trials (rates climb a ladder; at each rung every receiver still in
//     the race runs the same number of trials, interleaved; a receiver
//     leaves the race after two failed rungs in a row);
//   - the CPU time (user + system) each receiver spends per megabit at a
//     fixed rate, the median of its trials;
//   - for ours, the heap allocations made while the stream runs (there
//     should be none).
//
// Every trial runs the sender and the receiver in processes of their own:
// the sender is pinned to the last CPU and paces OPV datagrams to
// 127.0.0.1 (sendmmsg when it is behind); the receiver's CPU time is its
// process's, taken when it ends. Our receiver reads with ReadBuffer in
// 64 KiB requests, as the capture engine does. All three get the same
// kernel receive buffer: by default the 1 MiB that multicat sets for itself
// (`ss -m` shows rb1048576 on its socket), given to ours through
// UDCKernalBufferSize; with --kernel-buffer another size, which multicat
// gets through a preloaded shim of setsockopt. --kernel-buffer 0 leaves
// ours on its default (102,400 bytes asked, 204,800 in the kernel) and the
// other two on the system's (net.core.rmem_default). Our collector thread
// runs at normal priority here, like the other two, rather than the
// real-time priority it asks for in use.
//
// A trial is lossless when the kernel dropped nothing on the receiver's
// socket and nothing was left unread; ours must also have read every byte
// sent without a reported loss or a break, and the plain loop every
// datagram.
//
// Usage: collector_bench [--trials N] [--seconds S] [--sizes 1320,8196]
//                        [--cpu-rate MBPS] [--only ours|plain|multicat] [--cpu-only]
//                        [--kernel-buffer BYTES] [--quick]

#include "bench/allocation_count.h"
#include "bench/stream_peers.h"
#include "core/receive/qvcollector.h"
#include "core/settings/qvproplist.h"

#include "platform/thread.h"

#include <algorithm>
#include <arpa/inet.h>
#include <atomic>
#include <cerrno>
#include <chrono>
#include <csignal>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <fcntl.h>
#include <fstream>
#include <netinet/in.h>
#include <new>
#include <poll.h>
#include <sched.h>
#include <sstream>
#include <string>
#include <sys/prctl.h>
#include <sys/resource.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <thread>
#include <unistd.h>
#include <vector>

namespace {

using namespace streampeers;
using Clock = std::chrono::steady_clock;

constexpr std::uint32_t kOpvHeader = 4;
constexpr long kReadRequest = 65536;
// Silence after which a receiver takes the stream as ended.
constexpr int kQuietMs = 300;

enum class Receiver {
    Ours,
    PlainLoop,
    Multicat,
};

const char* Name(Receiver receiver)
{
    switch (receiver) {
    case Receiver::Ours:
        return "castnet collector";
    case Receiver::PlainLoop:
        return "plain recvmmsg loop";
    case Receiver::Multicat:
        return "multicat";
    }
    return "?";
}

// What a receiver process reports through its pipe.
struct Report
{
    std::uint64_t bytes = 0;     // payload bytes (ours) or datagram bytes (plain loop)
    std::uint64_t datagrams = 0; // plain loop
    std::uint64_t lost = 0;      // ours: bytes reported lost
    std::uint64_t breaks = 0;    // ours: reads flagged with a break
    std::uint64_t steadyAllocations = 0;
    bool valid = false;
};

struct Trial
{
    std::uint64_t sent = 0; // datagrams
    std::uint64_t sentBytes = 0;
    double seconds = 0;
    double cpuSeconds = 0;
    std::uint64_t switches = 0; // the receiver's context switches
    Report report;
    SocketState socket;
    bool lossless = false;
    bool ran = false;

    double Megabits() const { return static_cast<double>(sentBytes) * 8 / 1e6; }
    double AchievedMbps() const { return seconds > 0 ? Megabits() / seconds : 0; }
};

// What the kernel gives multicat's socket (twice what it asks for).
constexpr int kReceiveBuffer = 1 << 20;

bool MulticatInstalled()
{
    return access("/usr/bin/multicat", X_OK) == 0;
}

// ---- Receivers (each in a child process) ---------------------------------------------

// Our collector and one reader thread, reading as the capture engine does.
[[noreturn]] void RunOurs(std::uint16_t port, std::uint32_t datagramSize, int kernelBuffer,
                          int readyFd, int reportFd)
{
    QvPropertyList props;
    props.SetProperty("Address", "127.0.0.1");
    props.SetProperty("Port", port, QvPropertyList::Decimal);
    props.SetProperty("PacketSize", static_cast<int>(datagramSize), QvPropertyList::Decimal);
    props.SetProperty("FixHeader", "FALSE");
    props.SetProperty("UDCFlowControl", "FALSE");
    props.SetProperty("UDCTimeout", kQuietMs, QvPropertyList::Decimal);
    // The kernel doubles what it is asked for.
    if (kernelBuffer > 0) {
        props.SetProperty("UDCKernalBufferSize", kernelBuffer / 2, QvPropertyList::Decimal);
    }
    QvUdpDataCollector collector;
    collector.SetPropertyList(&props);
    collector.SetThreadPriority(qvplat::ThreadPriority::Normal);
    Report report;
    if (collector.Start() != QvUdpDataCollector::kStartOk) {
        WriteAll(reportFd, &report, sizeof(report));
        _exit(1);
    }
    const char ready = 1;
    WriteAll(readyFd, &ready, 1);

    std::vector<char> buffer(kReadRequest);
    bool started = false;
    bool steady = false;
    std::uint64_t allocationsAtSteady = 0;
    std::uint64_t allocationsAtEnd = 0;
    for (;;) {
        int flags = 0;
        const long got = collector.ReadBuffer(buffer.data(), kReadRequest, flags);
        if (got > 0) {
            started = true;
            report.bytes += static_cast<std::uint64_t>(got);
            if (!steady && report.bytes > 4 * static_cast<std::uint64_t>(kReadRequest)) {
                steady = true;
                allocationsAtSteady = AllocationCount();
            }
            allocationsAtEnd = AllocationCount();
        }
        if (flags == QvUdpDataCollector::kBreak) {
            ++report.breaks;
        }
        if (flags == QvUdpDataCollector::kStopped) {
            break;
        }
        // The first data timeout may come before the sender has begun.
        if (flags == QvUdpDataCollector::kTimeout && started) {
            break;
        }
    }
    report.lost = collector.GetLostCount();
    report.steadyAllocations = steady ? allocationsAtEnd - allocationsAtSteady : 0;
    report.valid = true;
    collector.Stop();
    WriteAll(reportFd, &report, sizeof(report));
    _exit(0);
}

// The machine's limit: one blocking recvmmsg after another, nothing done
// with the data.
[[noreturn]] void RunPlainLoop(std::uint16_t port, std::uint32_t datagramSize, int kernelBuffer,
                               int readyFd, int reportFd)
{
    const int fd = socket(AF_INET, SOCK_DGRAM, 0);
    const int asked = kernelBuffer / 2;
    if (asked > 0) {
        setsockopt(fd, SOL_SOCKET, SO_RCVBUF, &asked, sizeof(asked));
    }
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    address.sin_port = htons(port);
    Report report;
    if (bind(fd, reinterpret_cast<sockaddr*>(&address), sizeof(address)) != 0) {
        WriteAll(reportFd, &report, sizeof(report));
        _exit(1);
    }
    const char ready = 1;
    WriteAll(readyFd, &ready, 1);
    constexpr unsigned kBatch = 64;
    std::vector<char> buffers(static_cast<std::size_t>(kBatch) * datagramSize);
    iovec vectors[kBatch];
    mmsghdr messages[kBatch];
    for (unsigned i = 0; i < kBatch; ++i) {
        vectors[i] = {buffers.data() + static_cast<std::size_t>(i) * datagramSize, datagramSize};
        messages[i] = {};
        messages[i].msg_hdr.msg_iov = &vectors[i];
        messages[i].msg_hdr.msg_iovlen = 1;
    }
    timeval firstWait{5, 0};
    setsockopt(fd, SOL_SOCKET, SO_RCVTIMEO, &firstWait, sizeof(firstWait));
    bool started = false;
    for (;;) {
        const int got = recvmmsg(fd, messages, kBatch, MSG_WAITFORONE, nullptr);
        if (got < 0) {
            if (errno == EINTR) {
                continue;
            }
            break; // quiet for the timeout
        }
        if (!started) {
            started = true;
            timeval quiet{0, kQuietMs * 1000};
            setsockopt(fd, SOL_SOCKET, SO_RCVTIMEO, &quiet, sizeof(quiet));
        }
        report.datagrams += static_cast<std::uint64_t>(got);
        for (int i = 0; i < got; ++i) {
            report.bytes += messages[i].msg_len;
        }
    }
    report.valid = true;
    close(fd);
    WriteAll(reportFd, &report, sizeof(report));
    _exit(0);
}

[[noreturn]] void RunMulticat(std::uint16_t port, std::uint32_t datagramSize, int kernelBuffer)
{
    if (kernelBuffer != kReceiveBuffer) {
        setenv("QV_BENCH_RCVBUF", std::to_string(kernelBuffer / 2).c_str(), 1);
        setenv("LD_PRELOAD", QV_BENCH_RCVBUF_SHIM, 1);
    }
    const std::string size = std::to_string(datagramSize);
    const std::string input = "@127.0.0.1:" + std::to_string(port);
    const int null = open("/dev/null", O_WRONLY);
    dup2(null, STDOUT_FILENO);
    dup2(null, STDERR_FILENO);
    execl("/usr/bin/multicat", "multicat", "-u", "-m", size.c_str(), input.c_str(), "/dev/null",
          static_cast<char*>(nullptr));
    _exit(127);
}

// ---- One trial ------------------------------------------------------------------------------

Trial RunTrial(Receiver receiver, std::uint32_t datagramSize, double mbps, double seconds,
               int kernelBuffer)
{
    Trial trial;
    const std::uint16_t port = FreePort();
    int ready[2];
    int report[2];
    if (pipe(ready) != 0 || pipe(report) != 0) {
        return trial;
    }
    const pid_t receiverPid = fork();
    if (receiverPid == 0) {
        close(ready[0]);
        close(report[0]);
        switch (receiver) {
        case Receiver::Ours:
            RunOurs(port, datagramSize, kernelBuffer, ready[1], report[1]);
        case Receiver::PlainLoop:
            RunPlainLoop(port, datagramSize, kernelBuffer, ready[1], report[1]);
        case Receiver::Multicat:
            RunMulticat(port, datagramSize, kernelBuffer);
        }
        _exit(2);
    }
    close(ready[1]);
    close(report[1]);
    bool up = false;
    if (receiver == Receiver::Multicat) {
        up = WaitForSocket(port);
    } else {
        char byte = 0;
        up = ReadAll(ready[0], &byte, 1);
    }
    close(ready[0]);

    if (up) {
        const SendResult sent = Send({port, datagramSize, mbps, seconds, Payload::Opv, {}});
        trial.sent = sent.datagrams;
        trial.sentBytes = sent.bytes;
        trial.seconds = sent.seconds;
    }

    if (receiver == Receiver::Multicat) {
        // multicat runs until told: wait until it has emptied its socket.
        const auto end = Clock::now() + std::chrono::milliseconds(kQuietMs * 3);
        do {
            std::this_thread::sleep_for(std::chrono::milliseconds(20));
            trial.socket = ReadSocketState(port);
        } while (trial.socket.rxQueue != 0 && Clock::now() < end);
        kill(receiverPid, SIGTERM);
    } else if (!up) {
        kill(receiverPid, SIGKILL);
    } else {
        // The others end by themselves after a quiet spell; their socket is
        // still open until then.
        const auto end = Clock::now() + std::chrono::milliseconds(kQuietMs / 2);
        do {
            trial.socket = ReadSocketState(port);
            std::this_thread::sleep_for(std::chrono::milliseconds(10));
        } while (trial.socket.rxQueue != 0 && Clock::now() < end);
    }
    if (receiver != Receiver::Multicat && up) {
        ReadAll(report[0], &trial.report, sizeof(trial.report));
    }
    close(report[0]);
    int status = 0;
    rusage usage{};
    wait4(receiverPid, &status, 0, &usage);
    trial.cpuSeconds = CpuSeconds(usage);
    trial.switches = static_cast<std::uint64_t>(usage.ru_nvcsw + usage.ru_nivcsw);
    trial.ran = up && trial.sent > 0;

    const std::uint32_t payload = datagramSize - kOpvHeader;
    const bool socketClean = trial.socket.found && trial.socket.drops == 0;
    switch (receiver) {
    case Receiver::Ours:
        trial.lossless = socketClean && trial.report.valid && trial.report.lost == 0 &&
                         trial.report.breaks == 0 && trial.report.bytes == trial.sent * payload;
        break;
    case Receiver::PlainLoop:
        trial.lossless = socketClean && trial.report.valid && trial.report.datagrams == trial.sent;
        break;
    case Receiver::Multicat:
        trial.lossless = socketClean && trial.socket.rxQueue == 0;
        break;
    }
    trial.lossless = trial.lossless && trial.ran;
    return trial;
}

struct Options
{
    int trials = 3;
    double seconds = 1.0;
    double cpuSeconds = 2.0;
    double cpuRate = 200;
    std::string only;                  // one receiver by name: ours, plain, multicat
    int kernelBuffer = kReceiveBuffer; // 0: the defaults
    std::vector<std::uint32_t> sizes{1320, 8196};
    std::vector<double> ladder{100,  200,  400,  600,  800,  1000, 1200, 1400, 1600, 1800,
                               2000, 2400, 2800, 3200, 4000, 4800, 5600, 6400, 8000, 10000};
};

struct Result
{
    double lossless = 0;
    bool senderLimited = false;
    double cpuPerMbit = 0;
    double allocations = 0;
};

Options ParseOptions(int argc, char** argv)
{
    Options options;
    for (int i = 1; i < argc; ++i) {
        const std::string arg = argv[i];
        const auto value = [&]() -> std::string { return i + 1 < argc ? argv[++i] : ""; };
        if (arg == "--trials") {
            options.trials = std::max(1, std::atoi(value().c_str()));
        } else if (arg == "--seconds") {
            options.seconds = std::atof(value().c_str());
        } else if (arg == "--cpu-rate") {
            options.cpuRate = std::atof(value().c_str());
        } else if (arg == "--sizes") {
            options.sizes.clear();
            std::istringstream list(value());
            for (std::string item; std::getline(list, item, ',');) {
                options.sizes.push_back(static_cast<std::uint32_t>(std::stoul(item)));
            }
        } else if (arg == "--cpu-only") {
            options.ladder.clear();
        } else if (arg == "--kernel-buffer") {
            options.kernelBuffer = std::max(0, std::atoi(value().c_str()));
        } else if (arg == "--only") {
            options.only = value();
        } else if (arg == "--quick") {
            options.trials = 1;
            options.seconds = 0.5;
            options.cpuSeconds = 1.0;
            options.ladder = {200, 800, 1600};
        } else {
            std::fprintf(stderr, "usage: collector_bench [--trials N] [--seconds S] [--sizes a,b] "
                                 "[--cpu-rate MBPS] [--only R] [--cpu-only] [--kernel-buffer B] "
                                 "[--quick]\n");
            std::exit(2);
        }
    }
    return options;
}

} // namespace

int main(int argc, char** argv)
{
    const Options options = ParseOptions(argc, argv);
    std::vector<Receiver> receivers{Receiver::Ours, Receiver::PlainLoop};
    if (MulticatInstalled()) {
        receivers.push_back(Receiver::Multicat);
    } else {
        std::fprintf(stderr, "multicat not installed: measured without it\n");
    }
    if (!options.only.empty()) {
        const Receiver wanted = options.only == "ours"    ? Receiver::Ours
                                : options.only == "plain" ? Receiver::PlainLoop
                                                          : Receiver::Multicat;
        receivers.assign(1, wanted);
    }
    const int kernelBuffer = options.kernelBuffer;
    const std::string bufferText =
        kernelBuffer > 0 ? std::to_string(kernelBuffer) + " bytes for all"
                         : "the defaults (ours 204800 bytes, the others net.core.rmem_default)";
    std::printf("load average at start: %s; %ld CPUs; kernel receive buffer %s; "
                "%d trials per point, lossless trials %.1f s, CPU trials %.1f s at %.0f Mbit/s\n",
                LoadAverage().c_str(), sysconf(_SC_NPROCESSORS_ONLN), bufferText.c_str(),
                options.trials, options.seconds, options.cpuSeconds, options.cpuRate);
    std::fflush(stdout);

    std::vector<std::vector<Result>> results(options.sizes.size(),
                                             std::vector<Result>(receivers.size()));
    for (std::size_t s = 0; s < options.sizes.size(); ++s) {
        const std::uint32_t size = options.sizes[s];
        // CPU per megabit at the fixed rate, trials interleaved.
        std::vector<std::vector<double>> cpu(receivers.size());
        std::vector<std::vector<double>> allocations(receivers.size());
        for (int t = 0; t < options.trials; ++t) {
            for (std::size_t r = 0; r < receivers.size(); ++r) {
                const Trial trial =
                    RunTrial(receivers[r], size, options.cpuRate, options.cpuSeconds, kernelBuffer);
                if (trial.ran && trial.Megabits() > 0) {
                    cpu[r].push_back(trial.cpuSeconds * 1e6 / trial.Megabits());
                }
                if (receivers[r] == Receiver::Ours) {
                    allocations[r].push_back(static_cast<double>(trial.report.steadyAllocations));
                }
                std::fprintf(stderr,
                             "%u B  %-20s cpu trial %d: %.0f us/Mbit, %.2f switches per datagram%s"
                             " (drops %llu, lost %llu, breaks %llu)\n",
                             size, Name(receivers[r]), t,
                             trial.Megabits() > 0 ? trial.cpuSeconds * 1e6 / trial.Megabits() : 0,
                             trial.sent > 0 ? static_cast<double>(trial.switches) /
                                                  static_cast<double>(trial.sent)
                                            : 0,
                             trial.lossless ? "" : " (lossy)",
                             static_cast<unsigned long long>(trial.socket.drops),
                             static_cast<unsigned long long>(trial.report.lost),
                             static_cast<unsigned long long>(trial.report.breaks));
            }
        }
        for (std::size_t r = 0; r < receivers.size(); ++r) {
            results[s][r].cpuPerMbit = Median(cpu[r]);
            results[s][r].allocations = Median(allocations[r]);
        }

        // The lossless rate: up the ladder while the receiver keeps up. On a
        // shared machine one rung can fail by bad luck (a burst of other
        // work keeps the receiver off the CPU for a few milliseconds), so a
        // receiver leaves the race only after two failed rungs in a row;
        // its result is the highest rung it took in most trials.
        std::vector<bool> inRace(receivers.size(), true);
        std::vector<int> failedRungs(receivers.size(), 0);
        for (double rate : options.ladder) {
            if (std::none_of(inRace.begin(), inRace.end(), [](bool b) { return b; })) {
                break;
            }
            std::vector<int> good(receivers.size(), 0);
            std::vector<double> achieved;
            for (int t = 0; t < options.trials; ++t) {
                for (std::size_t r = 0; r < receivers.size(); ++r) {
                    if (!inRace[r]) {
                        continue;
                    }
                    const Trial trial =
                        RunTrial(receivers[r], size, rate, options.seconds, kernelBuffer);
                    good[r] += trial.lossless ? 1 : 0;
                    achieved.push_back(trial.AchievedMbps());
                    std::fprintf(
                        stderr,
                        "%u B  %-20s %5.0f Mbit/s trial %d: %s (sent at %.0f, drops %llu)\n", size,
                        Name(receivers[r]), rate, t, trial.lossless ? "lossless" : "lost",
                        trial.AchievedMbps(), static_cast<unsigned long long>(trial.socket.drops));
                }
            }
            ScoreRung(rate, achieved, options.trials, good, inRace, failedRungs, results[s]);
        }
    }

    std::printf("\n| datagram | receiver | lossless Mbit/s | CPU us per Mbit at %.0f Mbit/s | "
                "steady allocations |\n|---|---|---|---|---|\n",
                options.cpuRate);
    for (std::size_t s = 0; s < options.sizes.size(); ++s) {
        for (std::size_t r = 0; r < receivers.size(); ++r) {
            const Result& result = results[s][r];
            char allocations[32] = "-";
            if (receivers[r] == Receiver::Ours) {
                std::snprintf(allocations, sizeof allocations, "%.0f", result.allocations);
            }
            std::printf("| %u B | %s | %s%.0f | %.0f | %s |\n", options.sizes[s],
                        Name(receivers[r]), result.senderLimited ? ">= " : "", result.lossless,
                        result.cpuPerMbit, allocations);
        }
    }
    std::printf("load average at end: %s\n", LoadAverage().c_str());
    return 0;
}
