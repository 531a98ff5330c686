// How well the transmitter keeps to a stream's own clock: each sample file
// is sent over loopback by XmitMPEG (RAW format, one pass) and, in the same
// run, by `ffmpeg -re -i FILE -c copy -f mpegts udp://...`. A receiver time
// stamps every datagram in the kernel (SO_TIMESTAMPNS). Afterwards the
// received bytes are scanned for their clock references, each datagram's
// last byte gets its due time by interpolating between them, and lateness
// is arrival minus due against that schedule placed so that the earliest
// datagram is on time. Only datagrams between the first and the last clock
// reference count: the bytes outside have no due time of their own.
//
// Reported per sender and file: lateness median, 99th percentile and
// maximum, and drift over the whole file (how much longer or shorter the
// transmission took than the stream's clock says). Beside them, per file,
// the transmitter's floor: the same figures for its datagrams placed
// exactly where its design sends them (at the first clock reference behind
// each one's last byte). A file whose clock references lie far apart in its
// datagrams shows lateness there that no sender timing can take away.
//
// Then the senders' CPU, like for like: N transmitters of the one-minute
// transport stream in one process (a copy of this program, as castdeck
// holds its documents) beside N `ffmpeg -re` processes sending the same
// file in datagrams of nearly the same size (43 transport packets, 8084
// bytes), each measured from /proc over the same steady window after a
// warm-up, so that neither start-up nor the file analysis counts. The
// datagrams go to a loopback socket that this process empties.
//
//   pacing_bench [--runs N] [--xmit-only] [--senders N,N,...] [source dir]
//       source dir: default QV_TEST_SOURCE_DIR, then the tree this was built
//       from. --runs repeats the lateness set N times (each run's lines are
//       printed) and ends with the median over the runs of each figure, so
//       that two builds can be compared run against run; --xmit-only leaves
//       ffmpeg out; --senders gives the sender counts of the CPU rows
//       (default 1,20; 0 leaves them out).
#include "mpeg/mpeganalysis.h"
#include "sender/transmit/xmitmpeg.h"

#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <poll.h>
#include <signal.h>
#include <spawn.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cmath>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <memory>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

extern char** environ;

namespace {

using Bytes = std::vector<std::uint8_t>;

double Seconds(const timespec& t)
{
    return static_cast<double>(t.tv_sec) + static_cast<double>(t.tv_nsec) * 1e-9;
}

struct Arrival
{
    double time = 0;       // kernel receive time stamp, seconds
    std::uint64_t end = 0; // stream offset just behind its last byte
};

// A loopback socket that keeps every datagram's payload and kernel arrival
// time until told to stop.
class Receiver
{
public:
    Receiver()
    {
        m_fd = socket(AF_INET, SOCK_DGRAM, 0);
        sockaddr_in local{};
        local.sin_family = AF_INET;
        local.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        if (m_fd < 0 || bind(m_fd, reinterpret_cast<sockaddr*>(&local), sizeof(local)) != 0) {
            std::perror("receiver socket");
            std::exit(1);
        }
        const int on = 1;
        setsockopt(m_fd, SOL_SOCKET, SO_TIMESTAMPNS, &on, sizeof(on));
        const int size = 16 * 1024 * 1024;
        if (setsockopt(m_fd, SOL_SOCKET, SO_RCVBUFFORCE, &size, sizeof(size)) != 0) {
            setsockopt(m_fd, SOL_SOCKET, SO_RCVBUF, &size, sizeof(size));
        }
        socklen_t length = sizeof(local);
        getsockname(m_fd, reinterpret_cast<sockaddr*>(&local), &length);
        m_port = ntohs(local.sin_port);
        m_thread = std::thread([this] { Loop(); });
    }
    ~Receiver()
    {
        Finish();
        close(m_fd);
    }

    std::uint16_t Port() const { return m_port; }

    // Stops once nothing has come for `quiet`.
    void Finish(std::chrono::milliseconds quiet = std::chrono::milliseconds(300))
    {
        if (!m_thread.joinable()) {
            return;
        }
        m_quiet = static_cast<int>(quiet.count());
        m_finishing = true;
        m_thread.join();
    }

    const std::vector<Arrival>& Arrivals() const { return m_arrivals; }
    const Bytes& Stream() const { return m_stream; }

private:
    void Loop()
    {
        std::vector<std::uint8_t> buffer(65536);
        for (;;) {
            pollfd entry{m_fd, POLLIN, 0};
            const int ready = poll(&entry, 1, m_finishing ? m_quiet.load() : 50);
            if (ready <= 0) {
                if (m_finishing) {
                    break;
                }
                continue;
            }
            iovec io{buffer.data(), buffer.size()};
            alignas(cmsghdr) char control[256];
            msghdr message{};
            message.msg_iov = &io;
            message.msg_iovlen = 1;
            message.msg_control = control;
            message.msg_controllen = sizeof(control);
            const ssize_t got = recvmsg(m_fd, &message, 0);
            if (got <= 0) {
                continue;
            }
            double stamp = 0;
            for (cmsghdr* c = CMSG_FIRSTHDR(&message); c != nullptr; c = CMSG_NXTHDR(&message, c)) {
                if (c->cmsg_level == SOL_SOCKET && c->cmsg_type == SCM_TIMESTAMPNS) {
                    timespec t{};
                    std::memcpy(&t, CMSG_DATA(c), sizeof(t));
                    stamp = Seconds(t);
                }
            }
            const auto size = static_cast<std::size_t>(got);
            // The transmitter's end-of-stream packets carry no stream bytes.
            if (size >= 8 && std::all_of(buffer.begin(), buffer.begin() + 8,
                                         [](std::uint8_t b) { return b == 0xA5; })) {
                continue;
            }
            m_stream.insert(m_stream.end(), buffer.begin(), buffer.begin() + got);
            m_arrivals.push_back({stamp, m_stream.size()});
        }
    }

    int m_fd = -1;
    std::uint16_t m_port = 0;
    std::thread m_thread;
    std::atomic<bool> m_finishing{false};
    std::atomic<int> m_quiet{300};
    std::vector<Arrival> m_arrivals;
    Bytes m_stream;
};

// Due time in seconds of every byte offset, from the clock references of
// the bytes themselves.
class Schedule
{
public:
    Schedule(const Bytes& stream, const qvmpeg::TimestampScanner& scanner)
    {
        auto hit = scanner.FindFirstTimestamp(stream);
        std::uint64_t previous = hit ? hit->ticks : 0;
        double due = 0;
        while (hit) {
            const std::int64_t delta = qvmpeg::TimestampDifference(hit->ticks, previous);
            due += static_cast<double>(std::max<std::int64_t>(delta, 0)) / 90000.0;
            previous = hit->ticks;
            m_points.push_back({static_cast<double>(hit->position), due});
            hit = scanner.FindNextTimestamp(stream, hit->position);
        }
    }

    bool Usable() const { return m_points.size() >= 2; }
    bool Covers(double position) const
    {
        return position >= m_points.front().position && position <= m_points.back().position;
    }
    double Duration() const { return m_points.back().due; }

    // The due time of the first clock reference after `position`; the last
    // one's when none follows.
    double NextReferenceDue(double position) const
    {
        auto next = std::upper_bound(m_points.begin(), m_points.end(), position,
                                     [](double p, const Point& q) { return p < q.position; });
        return next == m_points.end() ? m_points.back().due : next->due;
    }

    double Due(double position) const
    {
        auto next = std::upper_bound(m_points.begin(), m_points.end(), position,
                                     [](double p, const Point& q) { return p < q.position; });
        if (next == m_points.begin()) {
            return m_points.front().due;
        }
        if (next == m_points.end()) {
            next = m_points.end() - 1; // extrapolate with the last interval's rate
        }
        const Point& b = *next;
        const Point& a = *(next - 1);
        return a.due + (position - a.position) * (b.due - a.due) / (b.position - a.position);
    }

private:
    struct Point
    {
        double position;
        double due;
    };
    std::vector<Point> m_points;
};

struct Figures
{
    std::size_t datagrams = 0;           // all received
    std::size_t measured = 0;            // within the clock references' span
    double median = 0, p99 = 0, max = 0; // ms
    double driftMs = 0;
    double driftPpm = 0;
    double streamSeconds = 0;
    bool valid = false;
};

Figures Measure(const Bytes& stream, const std::vector<Arrival>& arrivals,
                const qvmpeg::TimestampScanner& scanner)
{
    Figures f;
    const Schedule schedule(stream, scanner);
    if (!schedule.Usable()) {
        return f;
    }
    // Only datagrams whose last byte lies between the first and the last
    // clock reference have a due time that is not guessed.
    std::vector<double> due;
    std::vector<double> offset; // arrival - due, seconds
    for (const Arrival& a : arrivals) {
        const double last = static_cast<double>(a.end - 1);
        if (!schedule.Covers(last)) {
            continue;
        }
        due.push_back(schedule.Due(last));
        offset.push_back(a.time - due.back());
    }
    if (due.size() < 3) {
        return f;
    }
    // Drift: the least-squares slope of (arrival - due) over due.
    const double n = static_cast<double>(due.size());
    double sx = 0, sy = 0, sxx = 0, sxy = 0;
    for (std::size_t i = 0; i < due.size(); ++i) {
        sx += due[i];
        sy += offset[i];
        sxx += due[i] * due[i];
        sxy += due[i] * offset[i];
    }
    const double slope = (n * sxy - sx * sy) / (n * sxx - sx * sx);
    // Lateness: against the schedule placed so that the earliest datagram
    // is on time.
    const double earliest = *std::min_element(offset.begin(), offset.end());
    std::vector<double> lateness;
    for (const double o : offset) {
        lateness.push_back((o - earliest) * 1000.0);
    }
    std::sort(lateness.begin(), lateness.end());
    f.datagrams = arrivals.size();
    f.measured = due.size();
    f.median = lateness[lateness.size() / 2];
    f.p99 = lateness[std::min(lateness.size() - 1, lateness.size() * 99 / 100)];
    f.max = lateness.back();
    f.streamSeconds = schedule.Duration();
    f.driftPpm = slope * 1e6;
    f.driftMs = slope * f.streamSeconds * 1000.0;
    f.valid = true;
    return f;
}

// The transmitter's datagrams as its design places them, with no pacing
// error: each leaves at the due time of the first clock reference behind
// its last byte (a release sends the whole payloads before its clock
// reference). What lateness this gives comes from where the clock
// references lie, not from the sender's timing.
Figures DesignFloor(const Receiver& receiver, const qvmpeg::TimestampScanner& scanner)
{
    const Schedule schedule(receiver.Stream(), scanner);
    if (!schedule.Usable()) {
        return {};
    }
    std::vector<Arrival> placed;
    for (const Arrival& a : receiver.Arrivals()) {
        placed.push_back({schedule.NextReferenceDue(static_cast<double>(a.end)), a.end});
    }
    return Measure(receiver.Stream(), placed, scanner);
}

struct XmitResult
{
    Figures measured;
    Figures floor;
};

XmitResult RunXmit(const std::string& path, int type)
{
    Receiver receiver;
    std::unique_ptr<XmitMPEG> x = MakeXmitMPEG(type);
    x->SetFilePath(path);
    x->SetAddress(htonl(INADDR_LOOPBACK), receiver.Port());
    x->SetPacketFormat(XmitMPEG::kRawFormat);
    x->SetRepeat(1, 0);
    x->ComputeBitrate();
    if (x->Start() != 0) {
        std::fprintf(stderr, "XmitMPEG failed to start on %s\n", path.c_str());
        return {};
    }
    while (!x->IsFinished()) {
        std::this_thread::sleep_for(std::chrono::milliseconds(20));
    }
    x->Stop();
    receiver.Finish();
    const std::unique_ptr<qvmpeg::TimestampScanner> scanner = qvmpeg::MakeTimestampScanner(type);
    return {Measure(receiver.Stream(), receiver.Arrivals(), *scanner),
            DesignFloor(receiver, *scanner)};
}

Figures RunFfmpeg(const std::string& path)
{
    Receiver receiver;
    const std::string url = "udp://127.0.0.1:" + std::to_string(receiver.Port()) + "?pkt_size=1316";
    std::vector<std::string> args = {"ffmpeg", "-hide_banner", "-loglevel", "error", "-nostdin",
                                     "-re",    "-i",           path,        "-c",    "copy",
                                     "-f",     "mpegts",       url};
    std::vector<char*> argv;
    for (std::string& a : args) {
        argv.push_back(a.data());
    }
    argv.push_back(nullptr);
    pid_t pid = 0;
    if (posix_spawnp(&pid, "ffmpeg", nullptr, nullptr, argv.data(), environ) != 0) {
        std::fprintf(stderr, "ffmpeg could not be started\n");
        return {};
    }
    int status = 0;
    waitpid(pid, &status, 0);
    receiver.Finish();
    if (!WIFEXITED(status) || WEXITSTATUS(status) != 0) {
        std::fprintf(stderr, "ffmpeg failed on %s\n", path.c_str());
        return {};
    }
    return Measure(receiver.Stream(), receiver.Arrivals(), qvmpeg::Mpeg2TransportScanner());
}

void Print(const char* sender, const std::string& file, const Figures& f)
{
    if (!f.valid) {
        std::printf("%-10s %-16s  (no result)\n", sender, file.c_str());
        return;
    }
    std::printf("%-10s %-16s %4zu/%-4zu %7.2f %7.2f %7.2f %8.2f %7.0f\n", sender, file.c_str(),
                f.measured, f.datagrams, f.median, f.p99, f.max, f.driftMs, f.driftPpm);
}

// ---- Sender CPU over a steady window ---------------------------------------------------

constexpr auto kWarmUp = std::chrono::seconds(5);
constexpr auto kWindow = std::chrono::seconds(20);
// ffmpeg's datagrams: the most whole transport packets that fit in ours.
constexpr int kFfmpegPacketSize = 43 * 188;

// CPU seconds a process has used so far (user and system), from /proc.
double ProcessCpu(pid_t pid)
{
    std::ifstream in("/proc/" + std::to_string(pid) + "/stat");
    std::string text((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
    const std::size_t close = text.rfind(')'); // the name may hold spaces
    if (close == std::string::npos) {
        return 0.0;
    }
    std::istringstream fields(text.substr(close + 2));
    std::string field;
    double ticks = 0;
    for (int i = 3; i <= 15 && fields >> field; ++i) {
        if (i == 14 || i == 15) {
            ticks += std::stod(field);
        }
    }
    return ticks / static_cast<double>(sysconf(_SC_CLK_TCK));
}

// A loopback socket whose datagrams a thread of this process throws away.
class Discard
{
public:
    Discard()
    {
        m_fd = socket(AF_INET, SOCK_DGRAM, 0);
        sockaddr_in local{};
        local.sin_family = AF_INET;
        local.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        const int size = 16 * 1024 * 1024;
        setsockopt(m_fd, SOL_SOCKET, SO_RCVBUFFORCE, &size, sizeof(size));
        if (m_fd < 0 || bind(m_fd, reinterpret_cast<sockaddr*>(&local), sizeof(local)) != 0) {
            std::perror("discard socket");
            std::exit(1);
        }
        socklen_t length = sizeof(local);
        getsockname(m_fd, reinterpret_cast<sockaddr*>(&local), &length);
        m_port = ntohs(local.sin_port);
        m_thread = std::thread([this] {
            std::vector<char> buffer(65536);
            while (!m_stop) {
                pollfd entry{m_fd, POLLIN, 0};
                if (poll(&entry, 1, 50) > 0) {
                    while (recv(m_fd, buffer.data(), buffer.size(), MSG_DONTWAIT) > 0) {
                    }
                }
            }
        });
    }
    ~Discard()
    {
        m_stop = true;
        m_thread.join();
        close(m_fd);
    }
    std::uint16_t Port() const { return m_port; }

private:
    int m_fd = -1;
    std::uint16_t m_port = 0;
    std::atomic<bool> m_stop{false};
    std::thread m_thread;
};

// In the child: `count` transmitters of one file to the port, RAW, one pass
// each, until SIGTERM.
int SendMany(const std::string& path, int count, std::uint16_t port)
{
    int type = 0;
    if (!qvmpeg::DetectStreamType(path, type)) {
        return 2;
    }
    sigset_t stop;
    sigemptyset(&stop);
    sigaddset(&stop, SIGTERM);
    pthread_sigmask(SIG_BLOCK, &stop, nullptr);
    std::vector<std::unique_ptr<XmitMPEG>> senders;
    for (int i = 0; i < count; ++i) {
        senders.push_back(MakeXmitMPEG(type));
        XmitMPEG& x = *senders.back();
        x.SetFilePath(path);
        x.SetAddress(htonl(INADDR_LOOPBACK), port);
        x.SetPacketFormat(XmitMPEG::kRawFormat);
        x.SetRepeat(1, 0);
        if (x.ComputeBitrate() == 0 || x.Start() != 0) {
            return 3;
        }
    }
    int signal = 0;
    sigwait(&stop, &signal);
    for (auto& x : senders) {
        x->Stop();
    }
    return 0;
}

pid_t Spawn(const std::vector<std::string>& args)
{
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_addopen(&actions, 0, "/dev/null", O_RDONLY, 0);
    std::vector<char*> argv;
    for (const std::string& a : args) {
        argv.push_back(const_cast<char*>(a.c_str()));
    }
    argv.push_back(nullptr);
    pid_t pid = -1;
    if (posix_spawnp(&pid, argv[0], &actions, nullptr, argv.data(), environ) != 0) {
        pid = -1;
    }
    posix_spawn_file_actions_destroy(&actions);
    return pid;
}

// CPU ms per second of the window, summed over the processes, after the
// warm-up; the processes are stopped and reaped afterwards.
double WindowCpu(const std::vector<pid_t>& pids)
{
    std::this_thread::sleep_for(kWarmUp);
    double before = 0;
    for (const pid_t pid : pids) {
        before += ProcessCpu(pid);
    }
    const auto start = std::chrono::steady_clock::now();
    std::this_thread::sleep_for(kWindow);
    double after = 0;
    for (const pid_t pid : pids) {
        after += ProcessCpu(pid);
    }
    const double seconds =
        std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
    for (const pid_t pid : pids) {
        kill(pid, SIGTERM);
    }
    for (const pid_t pid : pids) {
        int status = 0;
        waitpid(pid, &status, 0);
    }
    return (after - before) * 1000.0 / seconds;
}

void CpuRows(const std::string& path, const std::vector<int>& counts, bool withFfmpeg)
{
    std::printf("\nSender CPU ms per second over a %lld s window after %lld s, %s, the same file "
                "from each sender at once:\n",
                static_cast<long long>(kWindow.count()), static_cast<long long>(kWarmUp.count()),
                std::filesystem::path(path).filename().c_str());
    std::printf("%8s %12s %14s %8s\n", "senders", "XmitMPEG", "ffmpeg -re", "ratio");
    const std::string self = std::filesystem::read_symlink("/proc/self/exe").string();
    for (const int count : counts) {
        double ours = 0;
        {
            Discard sink;
            ours = WindowCpu({Spawn(
                {self, "--send-many", path, std::to_string(count), std::to_string(sink.Port())})});
        }
        double theirs = 0;
        if (withFfmpeg) {
            Discard sink;
            const std::string url = "udp://127.0.0.1:" + std::to_string(sink.Port()) +
                                    "?pkt_size=" + std::to_string(kFfmpegPacketSize);
            std::vector<pid_t> pids;
            for (int i = 0; i < count; ++i) {
                pids.push_back(Spawn({"ffmpeg", "-hide_banner", "-loglevel", "error", "-nostdin",
                                      "-re", "-i", path, "-c", "copy", "-f", "mpegts", url}));
            }
            theirs = WindowCpu(pids);
        }
        std::printf("%8d %12.1f %14.1f %8.2f\n", count, ours, theirs,
                    theirs > 0 ? ours / theirs : 0.0);
        std::fflush(stdout);
    }
}

} // namespace

int main(int argc, char** argv)
{
    if (argc == 5 && std::string(argv[1]) == "--send-many") {
        return SendMany(argv[2], std::atoi(argv[3]),
                        static_cast<std::uint16_t>(std::atoi(argv[4])));
    }
    std::string root;
    int runs = 1;
    bool withFfmpeg = true;
    std::vector<int> senders = {1, 20};
    for (int i = 1; i < argc; ++i) {
        const std::string arg = argv[i];
        if (arg == "--runs" && i + 1 < argc) {
            runs = std::max(1, std::atoi(argv[++i]));
        } else if (arg == "--xmit-only") {
            withFfmpeg = false;
        } else if (arg == "--senders" && i + 1 < argc) {
            senders.clear();
            std::istringstream list(argv[++i]);
            for (std::string item; std::getline(list, item, ',');) {
                if (const int n = std::atoi(item.c_str()); n > 0) {
                    senders.push_back(n);
                }
            }
        } else {
            root = arg;
        }
    }
    if (root.empty() && std::getenv("QV_TEST_SOURCE_DIR") != nullptr) {
        root = std::getenv("QV_TEST_SOURCE_DIR");
    }
    if (root.empty()) {
        root = QV_SOURCE_DIR;
    }
    const char* samples[] = {"m1s_testsrc.mpg", "m2p_testsrc.mpg", "m2t_testsrc2.ts"};

    std::printf(
        "Lateness (ms) of each datagram's last byte against the schedule given by the clock\n"
        "references of the bytes sent, placed so that the earliest datagram is on time; only\n"
        "datagrams between the first and last clock reference count (measured/received).\n"
        "Drift: least-squares slope of arrival - due, as ms over the file and as ppm.\n"
        "floor: XmitMPEG's datagrams placed where its design puts them with no timing error\n"
        "(each at the first clock reference behind its last byte): the least lateness any\n"
        "run of it can show.\n\n");
    std::printf("%-10s %-16s %9s %7s %7s %7s %8s %7s\n", "sender", "file", "datagrams", "median",
                "p99", "max", "drift ms", "ppm");
    // The transmitter's figures of every run, per file.
    std::vector<std::vector<Figures>> xmit(std::size(samples));
    std::vector<Figures> floors(std::size(samples));
    for (int run = 0; run < runs; ++run) {
        for (std::size_t s = 0; s < std::size(samples); ++s) {
            const char* name = samples[s];
            const std::string path = (std::filesystem::path(root) / "samples" / name).string();
            int type = 0;
            if (!qvmpeg::DetectStreamType(path, type) || type == qvmpeg::kUnknownStream) {
                std::printf("%-10s %-16s  (cannot read)\n", "-", name);
                continue;
            }
            const XmitResult result = RunXmit(path, type);
            const Figures& figures = result.measured;
            Print("XmitMPEG", name, figures);
            if (figures.valid) {
                xmit[s].push_back(figures);
            }
            if (run == 0) {
                floors[s] = result.floor;
            }
            if (withFfmpeg) {
                Print("ffmpeg -re", name, RunFfmpeg(path));
            }
            std::fflush(stdout);
        }
    }
    if (runs > 1) {
        std::printf("\nXmitMPEG, median over %d runs:\n", runs);
        const auto median = [](std::vector<Figures> all, double Figures::*field) {
            if (all.empty()) {
                return 0.0;
            }
            std::sort(all.begin(), all.end(),
                      [&](const Figures& a, const Figures& b) { return a.*field < b.*field; });
            return all[all.size() / 2].*field;
        };
        for (std::size_t s = 0; s < std::size(samples); ++s) {
            Figures f;
            f.valid = !xmit[s].empty();
            if (f.valid) {
                f.measured = xmit[s].front().measured;
                f.datagrams = xmit[s].front().datagrams;
                f.median = median(xmit[s], &Figures::median);
                f.p99 = median(xmit[s], &Figures::p99);
                f.max = median(xmit[s], &Figures::max);
                f.driftMs = median(xmit[s], &Figures::driftMs);
                f.driftPpm = median(xmit[s], &Figures::driftPpm);
            }
            Print("median", samples[s], f);
        }
    }
    std::printf("\n");
    for (std::size_t s = 0; s < std::size(samples); ++s) {
        Print("floor", samples[s], floors[s]);
    }
    const std::string longSample = std::string(QV_LONG_SAMPLES_DIR) + "/long_m2t.ts";
    if (senders.empty()) {
        return 0;
    }
    if (!std::filesystem::exists(longSample)) {
        std::printf("\n%s: missing (build the target long_samples)\n", longSample.c_str());
        return 0;
    }
    CpuRows(longSample, senders, withFfmpeg);
    return 0;
}
