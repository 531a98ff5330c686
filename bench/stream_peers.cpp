#include "bench/stream_peers.h"

#include <algorithm>
#include <arpa/inet.h>
#include <cerrno>
#include <chrono>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <fcntl.h>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <netinet/in.h>
#include <sched.h>
#include <sstream>
#include <sys/prctl.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <thread>
#include <unistd.h>

namespace streampeers {

namespace {

using Clock = std::chrono::steady_clock;

// Silence after which a peer's socket is taken as emptied for good.
constexpr int kDrainMs = 900;

std::vector<char> ReadFile(const std::string& path)
{
    std::ifstream file(path, std::ios::binary);
    return {std::istreambuf_iterator<char>(file), std::istreambuf_iterator<char>()};
}

[[noreturn]] void RunSender(const SendPlan& plan, int reportFd)
{
    const long cpus = sysconf(_SC_NPROCESSORS_ONLN);
    cpu_set_t set;
    CPU_ZERO(&set);
    CPU_SET(static_cast<int>(std::max(cpus - 1, 0L)), &set);
    sched_setaffinity(0, sizeof(set), &set);
    prctl(PR_SET_TIMERSLACK, 1UL);

    const int fd = socket(AF_INET, SOCK_DGRAM, 0);
    int sendBuffer = 4 << 20;
    setsockopt(fd, SOL_SOCKET, SO_SNDBUF, &sendBuffer, sizeof(sendBuffer));
    sockaddr_in to{};
    to.sin_family = AF_INET;
    to.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    to.sin_port = htons(plan.port);
    connect(fd, reinterpret_cast<sockaddr*>(&to), sizeof(to));

    const std::uint32_t size = plan.datagramSize;
    const std::uint32_t header = plan.payload == Payload::Opv ? 4 : 0;
    const std::uint32_t payload = size - header;
    // The RawTs stream: the file repeated until one pass of the burst
    // buffer can be cut from it at any offset.
    std::vector<char> ts;
    if (plan.payload == Payload::RawTs) {
        ts = ReadFile(plan.tsFile);
        if (ts.empty()) {
            _exit(1);
        }
    }
    const auto count = static_cast<std::uint64_t>(plan.mbps * 1e6 * plan.seconds / (size * 8.0));
    const double interval = size * 8.0 / (plan.mbps * 1e6); // seconds
    constexpr unsigned kBurst = 32;
    std::vector<std::vector<char>> datagrams(kBurst, std::vector<char>(size, 0x47));
    iovec vectors[kBurst];
    mmsghdr messages[kBurst];
    for (unsigned i = 0; i < kBurst; ++i) {
        vectors[i] = {datagrams[i].data(), size};
        messages[i] = {};
        messages[i].msg_hdr.msg_iov = &vectors[i];
        messages[i].msg_hdr.msg_iovlen = 1;
    }

    SendResult result;
    std::size_t tsOffset = 0;
    const auto begin = Clock::now();
    auto last = begin;
    std::uint64_t next = 0;
    while (next < count) {
        const double elapsed = std::chrono::duration<double>(Clock::now() - begin).count();
        const auto due = std::min(count, static_cast<std::uint64_t>(elapsed / interval) + 1);
        if (due <= next) {
            // Sleep to the next datagram's time rather than spin: the
            // machine is shared.
            const auto at = begin + std::chrono::duration_cast<Clock::duration>(
                                        std::chrono::duration<double>(next * interval));
            const auto sinceEpoch = at.time_since_epoch();
            timespec wake{};
            wake.tv_sec = std::chrono::duration_cast<std::chrono::seconds>(sinceEpoch).count();
            wake.tv_nsec = (std::chrono::duration_cast<std::chrono::nanoseconds>(sinceEpoch) -
                            std::chrono::seconds(wake.tv_sec))
                               .count();
            clock_nanosleep(CLOCK_MONOTONIC, TIMER_ABSTIME, &wake, nullptr);
            continue;
        }
        const auto burst = static_cast<unsigned>(std::min<std::uint64_t>(due - next, kBurst));
        std::size_t offsetAtBurst = tsOffset;
        for (unsigned i = 0; i < burst; ++i) {
            char* bytes = datagrams[i].data();
            if (plan.payload == Payload::Opv) {
                const auto sequence = static_cast<std::uint32_t>((next + i) * payload);
                bytes[0] = static_cast<char>(sequence >> 24);
                bytes[1] = static_cast<char>(sequence >> 16);
                bytes[2] = static_cast<char>(sequence >> 8);
                bytes[3] = static_cast<char>(sequence);
                continue;
            }
            for (std::uint32_t copied = 0; copied < size;) {
                const std::size_t chunk =
                    std::min<std::size_t>(size - copied, ts.size() - offsetAtBurst);
                std::memcpy(bytes + copied, ts.data() + offsetAtBurst, chunk);
                copied += static_cast<std::uint32_t>(chunk);
                offsetAtBurst = (offsetAtBurst + chunk) % ts.size();
            }
        }
        const int sent = sendmmsg(fd, messages, burst, 0);
        if (sent > 0) {
            next += static_cast<std::uint64_t>(sent);
            result.datagrams += static_cast<std::uint64_t>(sent);
            // A short send leaves the rest of the burst to be cut again.
            tsOffset = (tsOffset + static_cast<std::size_t>(sent) * size) %
                       std::max<std::size_t>(ts.size(), 1);
            last = Clock::now();
        } else if (errno != EINTR && errno != EAGAIN && errno != ENOBUFS) {
            break;
        }
    }
    result.bytes = result.datagrams * size;
    result.seconds = std::chrono::duration<double>(last - begin).count();
    WriteAll(reportFd, &result, sizeof(result));
    _exit(0);
}

// Waits (up to kDrainMs) until nothing waits on the socket any more.
SocketState WaitDrained(std::uint16_t port)
{
    const auto end = Clock::now() + std::chrono::milliseconds(kDrainMs);
    SocketState state;
    do {
        std::this_thread::sleep_for(std::chrono::milliseconds(20));
        state = ReadSocketState(port);
    } while (state.rxQueue != 0 && Clock::now() < end);
    return state;
}

} // namespace

void WriteAll(int fd, const void* data, std::size_t size)
{
    const auto* bytes = static_cast<const char*>(data);
    while (size > 0) {
        const ssize_t written = write(fd, bytes, size);
        if (written <= 0) {
            if (written < 0 && errno == EINTR) {
                continue;
            }
            return;
        }
        bytes += written;
        size -= static_cast<std::size_t>(written);
    }
}

bool ReadAll(int fd, void* data, std::size_t size)
{
    auto* bytes = static_cast<char*>(data);
    while (size > 0) {
        const ssize_t got = read(fd, bytes, size);
        if (got <= 0) {
            if (got < 0 && errno == EINTR) {
                continue;
            }
            return false;
        }
        bytes += got;
        size -= static_cast<std::size_t>(got);
    }
    return true;
}

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

SocketState ReadSocketState(std::uint16_t port)
{
    SocketState state;
    std::ifstream table("/proc/net/udp");
    std::string line;
    std::getline(table, line);
    while (std::getline(table, line)) {
        std::istringstream fields(line);
        std::string slot, local, remote, st, queues;
        fields >> slot >> local >> remote >> st >> queues;
        const std::size_t colon = local.find(':');
        if (colon == std::string::npos ||
            std::strtoul(local.c_str() + colon + 1, nullptr, 16) != port) {
            continue;
        }
        const std::size_t queueColon = queues.find(':');
        state.rxQueue = std::strtoull(queues.c_str() + queueColon + 1, nullptr, 16);
        std::string last;
        for (std::string field; fields >> field;) {
            last = field;
        }
        state.drops = std::strtoull(last.c_str(), nullptr, 10);
        state.found = true;
    }
    return state;
}

bool WaitForSocket(std::uint16_t port)
{
    const auto end = Clock::now() + std::chrono::seconds(3);
    while (Clock::now() < end) {
        if (ReadSocketState(port).found) {
            return true;
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(2));
    }
    return false;
}

SendResult Send(const SendPlan& plan)
{
    SendResult result;
    int report[2];
    if (pipe(report) != 0) {
        return result;
    }
    const pid_t pid = fork();
    if (pid == 0) {
        close(report[0]);
        RunSender(plan, report[1]);
    }
    close(report[1]);
    if (pid > 0) {
        ReadAll(report[0], &result, sizeof(result));
        waitpid(pid, nullptr, 0);
    }
    close(report[0]);
    return result;
}

std::string SampleTs()
{
    return std::string(QV_SOURCE_DIR) + "/samples/m2t_testsrc2.ts";
}

double CpuSeconds(const rusage& usage)
{
    return static_cast<double>(usage.ru_utime.tv_sec + usage.ru_stime.tv_sec) +
           static_cast<double>(usage.ru_utime.tv_usec + usage.ru_stime.tv_usec) * 1e-6;
}

double ProcessCpuSeconds()
{
    timespec now{};
    clock_gettime(CLOCK_PROCESS_CPUTIME_ID, &now);
    return static_cast<double>(now.tv_sec) + static_cast<double>(now.tv_nsec) * 1e-9;
}

void Conclude(Outcome& outcome, const SendResult& sent, const SocketState& socket,
              double cpuSeconds, std::uint64_t stored, bool keptAll, const char* what)
{
    outcome.ran = sent.datagrams > 0;
    outcome.megabits = sent.Megabits();
    outcome.mbps = sent.Mbps();
    outcome.cpuSeconds = cpuSeconds;
    outcome.lossless =
        outcome.ran && socket.found && socket.drops == 0 && keptAll && stored == sent.bytes;
    char note[128];
    std::snprintf(note, sizeof note, "(drops %llu, %s %.2f %%)",
                  static_cast<unsigned long long>(socket.drops), what,
                  sent.bytes > 0
                      ? 100.0 * static_cast<double>(stored) / static_cast<double>(sent.bytes)
                      : 0.0);
    outcome.note = note;
}

double Median(std::vector<double> values)
{
    if (values.empty()) {
        return 0;
    }
    std::sort(values.begin(), values.end());
    const std::size_t middle = values.size() / 2;
    return values.size() % 2 == 1 ? values[middle] : (values[middle - 1] + values[middle]) / 2;
}

std::string LoadAverage()
{
    std::ifstream file("/proc/loadavg");
    std::string one, five, fifteen;
    file >> one >> five >> fifteen;
    return one + " " + five + " " + fifteen;
}

const char* Name(Peer peer)
{
    return peer == Peer::Multicat ? "multicat" : "ffmpeg -c copy";
}

bool Installed(Peer peer)
{
    return access(peer == Peer::Multicat ? "/usr/bin/multicat" : "/usr/bin/ffmpeg", X_OK) == 0;
}

PeerTrial RunPeerTrial(Peer peer, std::uint32_t datagramSize, double mbps, double seconds,
                       const std::string& dir)
{
    PeerTrial trial;
    const std::uint16_t port = FreePort();
    const std::string file = dir + (peer == Peer::Multicat ? "/multicat.ts" : "/ffmpeg.ts");
    const std::string log = dir + "/peer.log";
    const pid_t pid = fork();
    if (pid == 0) {
        const int null = open("/dev/null", O_RDWR);
        const int err = open(log.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
        dup2(null, STDIN_FILENO);
        dup2(null, STDOUT_FILENO);
        dup2(err >= 0 ? err : null, STDERR_FILENO);
        const std::string size = std::to_string(datagramSize);
        if (peer == Peer::Multicat) {
            const std::string input = "@127.0.0.1:" + std::to_string(port);
            execl("/usr/bin/multicat", "multicat", "-u", "-m", size.c_str(), input.c_str(),
                  file.c_str(), static_cast<char*>(nullptr));
        } else {
            const std::string input = "udp://127.0.0.1:" + std::to_string(port);
            execl("/usr/bin/ffmpeg", "ffmpeg", "-nostdin", "-loglevel", "error", "-i",
                  input.c_str(), "-c", "copy", "-f", "mpegts", "-y", file.c_str(),
                  static_cast<char*>(nullptr));
        }
        _exit(127);
    }
    if (pid < 0) {
        return trial;
    }
    const bool up = WaitForSocket(port);
    if (up) {
        trial.sent = Send({port, datagramSize, mbps, seconds, Payload::RawTs, SampleTs()});
        trial.socket = WaitDrained(port);
    }
    // ffmpeg ends its file properly on SIGINT; one still waiting for data
    // is told again, then killed.
    rusage usage{};
    int status = 0;
    const int signals[] = {peer == Peer::Ffmpeg ? SIGINT : SIGTERM, SIGINT, SIGINT, SIGKILL};
    for (const int signal : signals) {
        kill(pid, signal);
        const auto end = Clock::now() + std::chrono::seconds(2);
        pid_t ended = 0;
        while ((ended = wait4(pid, &status, WNOHANG, &usage)) == 0 && Clock::now() < end) {
            std::this_thread::sleep_for(std::chrono::milliseconds(10));
        }
        if (ended != 0) {
            break;
        }
    }
    trial.cpuSeconds = CpuSeconds(usage);
    std::error_code error;
    trial.fileBytes = std::filesystem::file_size(file, error);
    const std::vector<char> messages = ReadFile(log);
    trial.overrun =
        std::search(messages.begin(), messages.end(), "overrun", "overrun" + 7) != messages.end();
    trial.ran = up && trial.sent.datagrams > 0;
    trial.lossless =
        trial.ran && trial.socket.found && trial.socket.drops == 0 && trial.socket.rxQueue == 0 &&
        !trial.overrun &&
        (peer != Peer::Multicat ||
         trial.fileBytes == trial.sent.datagrams * (datagramSize - datagramSize % 188));
    std::filesystem::remove(file, error);
    std::filesystem::remove(dir + "/multicat.aux", error);
    return trial;
}

} // namespace streampeers

namespace streampeers {

bool ParseComparisonOptions(int argc, char** argv, ComparisonOptions& options)
{
    const auto list = [](const std::string& text) {
        std::vector<double> values;
        std::istringstream items(text);
        for (std::string item; std::getline(items, item, ',');) {
            values.push_back(std::atof(item.c_str()));
        }
        return values;
    };
    for (int i = 1; i < argc; ++i) {
        const std::string arg = argv[i];
        const std::string value = i + 1 < argc ? argv[i + 1] : "";
        if (arg == "--quick") {
            options.trials = 1;
            options.seconds = 0.5;
            options.cpuSeconds = 1.0;
            options.ladder = {100, 400, 1000};
            continue;
        }
        ++i;
        if (arg == "--trials") {
            options.trials = std::max(1, std::atoi(value.c_str()));
        } else if (arg == "--seconds") {
            options.seconds = std::atof(value.c_str());
        } else if (arg == "--cpu-rate") {
            options.cpuRate = std::atof(value.c_str());
        } else if (arg == "--ladder") {
            options.ladder = list(value);
        } else if (arg == "--sizes") {
            options.sizes.clear();
            for (const double size : list(value)) {
                options.sizes.push_back(static_cast<std::uint32_t>(size));
            }
        } else {
            return false;
        }
    }
    return true;
}

void RunComparison(const std::vector<Recorder>& recorders, const ComparisonOptions& options)
{
    std::printf("load average at start: %s; %ld CPUs; %d trials per point, lossless trials "
                "%.1f s, CPU trials %.1f s at %.0f Mbit/s\n",
                LoadAverage().c_str(), sysconf(_SC_NPROCESSORS_ONLN), options.trials,
                options.seconds, options.cpuSeconds, options.cpuRate);
    std::fflush(stdout);
    struct Result
    {
        double lossless = 0;
        bool senderLimited = false;
        double cpuPerMbit = 0;
    };
    const std::size_t n = recorders.size();
    std::vector<std::vector<Result>> results(options.sizes.size(), std::vector<Result>(n));
    for (std::size_t s = 0; s < options.sizes.size(); ++s) {
        const std::uint32_t size = options.sizes[s];
        std::vector<std::vector<double>> cpu(n);
        for (int t = 0; t < options.trials; ++t) {
            for (std::size_t r = 0; r < n; ++r) {
                const Outcome o = recorders[r].run(size, options.cpuRate, options.cpuSeconds);
                const double perMbit = o.megabits > 0 ? o.cpuSeconds * 1e6 / o.megabits : 0;
                if (o.ran && o.megabits > 0) {
                    cpu[r].push_back(perMbit);
                }
                std::fprintf(stderr, "%u B  %-28s cpu trial %d: %.0f us/Mbit%s %s\n", size,
                             recorders[r].name.c_str(), t, perMbit, o.lossless ? "" : " (lossy)",
                             o.note.c_str());
            }
        }
        for (std::size_t r = 0; r < n; ++r) {
            results[s][r].cpuPerMbit = Median(cpu[r]);
        }
        std::vector<bool> inRace(n, true);
        std::vector<int> failedRungs(n, 0);
        for (const double rate : options.ladder) {
            if (std::none_of(inRace.begin(), inRace.end(), [](bool b) { return b; })) {
                break;
            }
            std::vector<int> good(n, 0);
            std::vector<double> achieved;
            for (int t = 0; t < options.trials; ++t) {
                for (std::size_t r = 0; r < n; ++r) {
                    if (!inRace[r]) {
                        continue;
                    }
                    const Outcome o = recorders[r].run(size, rate, options.seconds);
                    good[r] += o.lossless ? 1 : 0;
                    achieved.push_back(o.mbps);
                    std::fprintf(stderr,
                                 "%u B  %-28s %5.0f Mbit/s trial %d: %s (sent at %.0f) %s\n", size,
                                 recorders[r].name.c_str(), rate, t,
                                 o.lossless ? "lossless" : "lost", o.mbps, o.note.c_str());
                }
            }
            ScoreRung(rate, achieved, options.trials, good, inRace, failedRungs, results[s]);
        }
    }
    std::printf("\n| datagram | recorder | lossless Mbit/s | CPU us per Mbit at %.0f Mbit/s |\n"
                "|---|---|---|---|\n",
                options.cpuRate);
    for (std::size_t s = 0; s < options.sizes.size(); ++s) {
        for (std::size_t r = 0; r < n; ++r) {
            const Result& result = results[s][r];
            std::printf("| %u B | %s | %s%.0f | %.0f |\n", options.sizes[s],
                        recorders[r].name.c_str(), result.senderLimited ? ">= " : "",
                        result.lossless, result.cpuPerMbit);
        }
    }
    std::printf("load average at end: %s\n", LoadAverage().c_str());
}

std::vector<Recorder> PeerRecorders(const std::string& dir)
{
    std::vector<Recorder> recorders;
    for (const Peer peer : {Peer::Multicat, Peer::Ffmpeg}) {
        if (!Installed(peer)) {
            std::fprintf(stderr, "%s not installed: measured without it\n", Name(peer));
            continue;
        }
        recorders.push_back(
            {Name(peer), [peer, dir](std::uint32_t size, double mbps, double seconds) {
                 const PeerTrial trial = RunPeerTrial(peer, size, mbps, seconds, dir);
                 Outcome o;
                 o.ran = trial.ran;
                 o.lossless = trial.lossless;
                 o.megabits = trial.sent.Megabits();
                 o.mbps = trial.sent.Mbps();
                 o.cpuSeconds = trial.cpuSeconds;
                 char note[128];
                 std::snprintf(note, sizeof note, "(drops %llu, file %.2f %% of sent%s)",
                               static_cast<unsigned long long>(trial.socket.drops),
                               trial.sent.bytes > 0 ? 100.0 * static_cast<double>(trial.fileBytes) /
                                                          static_cast<double>(trial.sent.bytes)
                                                    : 0.0,
                               trial.overrun ? ", overrun" : "");
                 o.note = note;
                 return o;
             }});
    }
    return recorders;
}

} // namespace streampeers
