// A live stream through the stream controller, on one machine, in a private
// network namespace. The transmitters run as copies of this program
// ("--send"), in processes of their own, so that their time is not counted.
//
// Short samples (sent in OPV, passes back to back, UDCStartThreshold 64):
//   - five starts: Play to the first picture at the video sink, and the
//     start threshold (message 49) to that picture; the median and the
//     worst of each, and the longest Stop;
//   - one run of about 30 s of whole passes: pictures rendered per pass
//     beside ffprobe's count of the file's frames, and pictures dropped by
//     the sink (QoS). The sinks are "fakesink sync=true" and
//     "fakeaudiosink sync=true".
//
// Long samples (one minute each, made by the build):
//   - on the defaults: castdeck's transmitter as castdeck starts it (QVS:
//     OPV with the header resender, SAP, endless with 5 s between passes,
//     8192-byte payloads) and the player's default start threshold; Play
//     to the first picture, three times, beside `gst-launch-1.0 udpsrc !
//     decodebin ! ...` from its start to the first buffer at its video sink
//     in the same run (on a RAW copy of the stream from a second
//     transmitter: a plain UDP source cannot read OPV offsets);
//   - CPU per second of stream, ours beside gst-launch-1.0 with the same
//     conversion and scaling elements (udpsrc ! queue ! decodebin !
//     videoconvert ! videocrop top=1 ! videoscale ! capsfilter ! fakesink,
//     audioconvert ! audioresample ! volume ! fakeaudiosink, both sync=true;
//     the peer's socket buffer and queue as large as our receiver's, its
//     fakesink inside fpsdisplaysink, which counts its pictures), both
//     playing one RAW stream at the same time and measured over the same
//     steady window after a warm-up, each from /proc; our host calls
//     Periodic at the player's rate (every 500 ms) meanwhile.
//     Beside each side's CPU: the pictures its video sink rendered and
//     dropped in the window, and the datagrams the kernel dropped at its
//     socket (/proc/net/udp). When either side lost datagrams, the line
//     says so instead of giving a ratio.
//
//   playback_bench [source dir]   (default: QV_TEST_SOURCE_DIR, then the
//                                  tree this was built from; needs root for
//                                  the namespace)
//   playback_bench --passes <dir>  the pass boundaries of the streams that
//                                  bench/make_pass_samples.sh made in <dir>
//                                  (QV_PASSES: later passes each, default 3)
//   playback_bench --starts <file>...   only the starts on the defaults, of
//                                  the given files (streams whose first
//                                  picture comes late, say)
//   playback_bench --pickup FILE...   only the pass pick-up, for these files
#include "mpeg/mpeganalysis.h"
#include "core/settings/qvlog.h"
#include "playback/qvcontroller.h"
#include "playback/qvlivectl.h"
#include "playback/qvstreammsg.h"
#include "sender/transmit/xmitmpeg.h"

#include "platform/testsupport/netns.h"
#include "platform/testsupport/tempfiles.h"
#include "platform/testsupport/udp_socket.h"

#include <arpa/inet.h>
#include <dlfcn.h>
#include <fcntl.h>
#include <gst/base/gstbasesink.h>
#include <gst/gst.h>
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
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <memory>
#include <mutex>
#include <optional>
#include <set>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

extern char** environ;

namespace {

using Clock = std::chrono::steady_clock;
using namespace std::chrono_literals;

constexpr const char* kGroup = "239.7.7.51";
constexpr const char* kRawGroup = "239.7.7.52";
constexpr unsigned short kPort = 5004; // the namespace is the benchmark's own

// The steady window of the CPU figures.
constexpr auto kWarmUp = 5s;
constexpr auto kWindow = 20s;
// The player's frame calls Periodic this often.
constexpr auto kHostPeriod = 500ms;

double Ms(Clock::duration d)
{
    return std::chrono::duration<double, std::milli>(d).count();
}

double Median(std::vector<double> values)
{
    std::sort(values.begin(), values.end());
    return values.empty() ? 0.0 : values[values.size() / 2];
}

// CPU seconds a process has used so far (user and system), from /proc.
double ProcessCpu(pid_t pid)
{
    std::ifstream in("/proc/" + std::to_string(pid) + "/stat");
    std::string text((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
    // The command name may hold spaces: the fields count from its ')'.
    const std::size_t close = text.rfind(')');
    if (close == std::string::npos) {
        return 0.0;
    }
    std::istringstream fields(text.substr(close + 2));
    std::string field;
    unsigned long long utime = 0;
    unsigned long long stime = 0;
    for (int i = 3; i <= 15 && fields >> field; ++i) {
        if (i == 14) {
            utime = std::stoull(field);
        } else if (i == 15) {
            stime = std::stoull(field);
        }
    }
    return static_cast<double>(utime + stime) / static_cast<double>(sysconf(_SC_CLK_TCK));
}

// "m1s", "m2p" or "m2t", as the transmitter announces the file.
std::string MuxOf(const std::string& file)
{
    int type = 0;
    qvmpeg::DetectStreamType(file, type);
    return type == qvmpeg::kMpeg1System ? "m1s" : type == qvmpeg::kMpeg2Program ? "m2p" : "m2t";
}

struct SendOptions
{
    std::string file;
    const char* group = kGroup;
    int passes = 0; // 0: endless
    int format = XmitMPEG::kOpvFormat;
    bool headers = false; // the sequence-header resender
    bool sap = false;
    std::uint32_t pauseMs = 0;
};

// The transmitter, in the child: runs until told to stop or its passes end.
int Send(const SendOptions& o)
{
    int type = 0;
    if (!qvmpeg::DetectStreamType(o.file, type)) {
        return 2;
    }
    std::unique_ptr<XmitMPEG> xmit = MakeXmitMPEG(type);
    xmit->SetFilePath(o.file);
    xmit->SetStreamType(type);
    xmit->SetAddress(inet_addr(o.group), kPort);
    xmit->SetPacketFormat(o.format);
    xmit->SetHeaderCaster(o.headers);
    xmit->SetRepeat(o.passes > 0 ? o.passes : XmitMPEG::kEndless, o.pauseMs);
    xmit->SetSAPCaster(o.sap ? &xmit->GetOwnSAPCaster() : nullptr);
    sigset_t stop;
    sigemptyset(&stop);
    sigaddset(&stop, SIGTERM);
    pthread_sigmask(SIG_BLOCK, &stop, nullptr);
    if (xmit->ComputeBitrate() == 0 || xmit->Start() != 0) {
        return 3;
    }
    if (o.passes > 0) {
        while (!xmit->IsFinished()) {
            std::this_thread::sleep_for(50ms);
        }
    } else {
        int signal = 0;
        sigwait(&stop, &signal);
    }
    xmit->Stop();
    return 0;
}

// A child process; stopped with SIGTERM and reaped by the destructor.
class Child
{
public:
    // `out`: a file for its standard output, or -1 for /dev/null.
    explicit Child(const std::vector<std::string>& args, int out = -1)
    {
        posix_spawn_file_actions_t actions;
        posix_spawn_file_actions_init(&actions);
        posix_spawn_file_actions_addopen(&actions, 0, "/dev/null", O_RDONLY, 0);
        if (out >= 0) {
            posix_spawn_file_actions_adddup2(&actions, out, 1);
        } else {
            posix_spawn_file_actions_addopen(&actions, 1, "/dev/null", O_WRONLY, 0);
        }
        posix_spawn_file_actions_addopen(&actions, 2, "/dev/null", O_WRONLY, 0);
        std::vector<char*> argv;
        for (const std::string& arg : args) {
            argv.push_back(const_cast<char*>(arg.c_str()));
        }
        argv.push_back(nullptr);
        if (posix_spawnp(&m_pid, argv[0], &actions, nullptr, argv.data(), environ) != 0) {
            m_pid = -1;
        }
        posix_spawn_file_actions_destroy(&actions);
    }
    ~Child()
    {
        if (m_pid > 0) {
            kill(m_pid, SIGTERM);
            int status = 0;
            waitpid(m_pid, &status, 0);
        }
    }
    Child(const Child&) = delete;
    Child& operator=(const Child&) = delete;

    pid_t Pid() const { return m_pid; }

private:
    pid_t m_pid = -1;
};

// This program, for its transmitter copies.
std::string g_self;

std::unique_ptr<Child> StartSender(const SendOptions& o)
{
    return std::make_unique<Child>(std::vector<std::string>{
        g_self, "--send", o.file, o.group, std::to_string(o.passes), std::to_string(o.format),
        o.headers ? "1" : "0", o.sap ? "1" : "0", std::to_string(o.pauseMs)});
}

// What the peer's video sink tells on its standard output.
enum class PeerSink {
    FirstBuffer, // a line per buffer (for the first-buffer time)
    Counts,      // the pictures rendered and dropped so far, five times a second
};

// gst-launch-1.0 playing the RAW stream of `group` through the same
// elements as our graph, with what it needs to take the whole stream: the
// socket buffer our receiver asks for, and after the socket a queue with
// room for as many bytes as our receiver's pool (and no other bound), as
// our receiving thread fills its pool apart from the graph's threads.
// Without the queue the socket is read only while the demuxer is idle, and
// the kernel drops about two of five datagrams of the transport stream; a
// queue on its defaults (at most 1 s) fills when the demuxer stalls, and
// about a quarter are still lost.
std::vector<std::string> PeerCommand(const char* group, PeerSink sink)
{
    std::vector<std::string> args = {"gst-launch-1.0", "-v"};
    const std::string source =
        std::string("udpsrc address=") + group + " port=" + std::to_string(kPort) +
        " mtu=8192 buffer-size=" + std::to_string(QvUdpDataCollector::kDefaultKernelBufferSize) +
        " ! queue max-size-bytes=" + std::to_string(QvUdpDataCollector::kPoolBytes) +
        " max-size-buffers=0 max-size-time=0 ! decodebin name=d";
    // Our graph cuts the first line of the picture (ShowLine1 is off by
    // default), so the peer's crop does too.
    const std::string video =
        std::string("d. ! videoconvert ! videocrop top=1 ! videoscale ! capsfilter ! ") +
        (sink == PeerSink::FirstBuffer
             ? "fakesink name=picture sync=true silent=false"
             : "fpsdisplaysink name=picture text-overlay=false video-sink=fakesink sync=true "
               "fps-update-interval=200");
    const std::string audio =
        "d. ! audioconvert ! audioresample ! volume ! fakeaudiosink sync=true";
    for (const std::string& part : {source, video, audio}) {
        std::istringstream words(part);
        for (std::string word; words >> word;) {
            args.push_back(word);
        }
    }
    return args;
}

// Starts gst-launch on the RAW stream; the time from its start to the first
// buffer at its video sink (negative when none came within the bound).
double PeerFirstBuffer(const char* group)
{
    int pipe[2];
    if (::pipe(pipe) != 0) {
        return -1.0;
    }
    const Clock::time_point start = Clock::now();
    Child peer(PeerCommand(group, PeerSink::FirstBuffer), pipe[1]);
    close(pipe[1]);
    double first = -1.0;
    std::string line;
    char c = 0;
    const Clock::time_point deadline = start + 60s;
    // gst-launch prints the sink's last-message per buffer: "... chain ...".
    const auto readable = [&] {
        pollfd entry{pipe[0], POLLIN, 0};
        const auto left =
            std::chrono::duration_cast<std::chrono::milliseconds>(deadline - Clock::now());
        return left.count() > 0 && poll(&entry, 1, static_cast<int>(left.count())) > 0;
    };
    while (readable() && read(pipe[0], &c, 1) == 1) {
        if (c != '\n') {
            line += c;
            continue;
        }
        if (line.find("picture: last-message = chain") != std::string::npos) {
            first = Ms(Clock::now() - start);
            break;
        }
        line.clear();
    }
    close(pipe[0]);
    return first;
}

// The pictures the peer's video sink has rendered and dropped so far, from
// the lines it prints (read by a thread of its own until the peer ends).
class PeerCounts
{
public:
    explicit PeerCounts(int fd)
        : m_reader([this, fd] {
              FILE* in = fdopen(fd, "r");
              char buffer[512];
              while (in != nullptr && fgets(buffer, sizeof buffer, in) != nullptr) {
                  const std::string line = buffer;
                  const std::string key = "picture: last-message = rendered: ";
                  const std::size_t at = line.find(key);
                  if (at == std::string::npos) {
                      continue;
                  }
                  unsigned long long rendered = 0;
                  unsigned long long dropped = 0;
                  if (std::sscanf(line.c_str() + at + key.size(), "%llu, dropped: %llu", &rendered,
                                  &dropped) == 2) {
                      m_rendered = rendered;
                      m_dropped = dropped;
                  }
              }
              if (in != nullptr) {
                  fclose(in);
              }
          })
    {
    }
    unsigned long long Rendered() const { return m_rendered; }
    unsigned long long Dropped() const { return m_dropped; }

private:
    std::atomic<unsigned long long> m_rendered{0};
    std::atomic<unsigned long long> m_dropped{0};
    std::jthread m_reader; // last: it reads the counters above
};

// Datagrams the kernel has dropped so far at a process's UDP sockets bound
// to `port`, for want of room in their receive buffers: the drops column of
// /proc/net/udp (this namespace's), for the sockets among the process's
// open files.
unsigned long long SocketDrops(pid_t pid, unsigned short port)
{
    std::set<std::string> inodes;
    std::error_code error;
    const std::filesystem::path fds = "/proc/" + std::to_string(pid) + "/fd";
    for (std::filesystem::directory_iterator it(fds, error), end; !error && it != end;
         it.increment(error)) {
        const std::string target = std::filesystem::read_symlink(it->path(), error).string();
        if (!error && target.starts_with("socket:[") && target.ends_with("]")) {
            inodes.insert(target.substr(8, target.size() - 9));
        }
    }
    char local[8];
    std::snprintf(local, sizeof local, ":%04X", port);
    std::ifstream in("/proc/net/udp");
    std::string line;
    std::getline(in, line); // the heading
    unsigned long long drops = 0;
    while (std::getline(in, line)) {
        // sl local rem st tx:rx tr:when retrnsmt uid timeout inode ref pointer drops
        std::istringstream words(line);
        const std::vector<std::string> fields{std::istream_iterator<std::string>(words),
                                              std::istream_iterator<std::string>()};
        if (fields.size() >= 13 && fields[1].ends_with(local) && inodes.contains(fields[9])) {
            drops += std::stoull(fields[12]);
        }
    }
    return drops;
}

// The machine's load (one, five and fifteen minutes), as uptime gives it.
std::string Load()
{
    std::ifstream in("/proc/loadavg");
    std::string one;
    std::string five;
    std::string fifteen;
    in >> one >> five >> fifteen;
    return one + " " + five + " " + fifteen;
}

std::string Output(const std::string& command)
{
    std::string text;
    if (FILE* pipe = popen(command.c_str(), "r")) {
        char buffer[256];
        while (fgets(buffer, sizeof buffer, pipe) != nullptr) {
            text += buffer;
        }
        pclose(pipe);
    }
    return text;
}

// The host's queue, noting when each stream message was posted (the
// controller posts 49 before it builds the graph, within one Periodic).
class StampingQueue : public QvMessageQueue
{
public:
    void Send(QvMessage* message) override
    {
        if (auto* stream = dynamic_cast<QvStreamMessage*>(message)) {
            posted.emplace_back(stream->type, Clock::now());
            if (stream->type == QvStreamMessage::kStarting && receiver != nullptr) {
                bytesAtThreshold = receiver->GetBytesReceived();
            }
        }
        QvMessageQueue::Send(message);
    }
    Clock::time_point When(int number) const
    {
        for (const auto& [type, at] : posted) {
            if (type == number) {
                return at;
            }
        }
        return {};
    }
    std::vector<std::pair<int, Clock::time_point>> posted;
    const QvUdpDataCollector* receiver = nullptr;
    std::uint64_t bytesAtThreshold = 0;
};

struct Host
{
    struct Window : QvWnd
    {
        QvRect GetClientRect() const override { return {0, 0, 352, 288}; }
        QvDisplayWnd* CreateDisplayWindow(const QvRect&, QvDisplayEvents&) override
        {
            return new Display(*this);
        }
    };
    // A display window without a screen: the sinks are fake.
    struct Display : QvDisplayWnd
    {
        explicit Display(QvWnd&) {}
        QvRect GetClientRect() const override { return {0, 0, 352, 288}; }
        QvDisplayWnd* CreateDisplayWindow(const QvRect&, QvDisplayEvents&) override
        {
            return nullptr;
        }
        void MoveWindow(const QvRect&) override {}
        void LowerWindow() override {}
        void DestroyWindow() override { delete this; }
        void SetMessageDrain(QvWnd*) override {}
        std::uintptr_t AcquireVideoSurface() override { return 0; }
        void PlaceVideoSurface(const qvplat::VideoRect&, bool) override {}
        void ReleaseVideoSurface() override {}
        std::uintptr_t EnterFullScreen(qvplat::VideoRect&) override { return 0; }
        void LeaveFullScreen() override {}
    };

    // `threshold`: UDCStartThreshold in kilobytes, or 0 for the default;
    // `mux`: the multiplex type the sender's announcement carries.
    Host(const char* group, int threshold, const std::string& mux,
         const char* videoSink = "fakesink sync=true")
    {
        settings.SetProperty("Mux", mux.c_str());
        settings.SetProperty("Address", group);
        settings.SetProperty("Port", std::to_string(kPort).c_str());
        if (threshold > 0) {
            settings.SetProperty("UDCStartThreshold", std::to_string(threshold).c_str());
        }
        settings.SetProperty("VideoSink", videoSink);
        settings.SetProperty("AudioSink", "fakeaudiosink sync=true");
        ok = controller.Initialize({0, 0, 352, 288}, &frame, &settings, &queue);
        if (auto* live =
                dynamic_cast<QvIAMovStreamControl*>(controller.GetQvInterface("IStreamControl"))) {
            receiver = &live->GetReceiver();
            queue.receiver = receiver;
        }
    }
    // Periodic after `pause`; the messages it posted.
    std::vector<int> Tick(Clock::duration pause = 2ms)
    {
        std::this_thread::sleep_for(pause);
        // Read before Periodic, which may end the graph.
        if (controller.graph != nullptr) {
            lastStats = Stats();
        }
        controller.Periodic();
        if (receiver != nullptr) {
            if (firstData == Clock::time_point{} && receiver->GetBytesReceived() > 0) {
                firstData = Clock::now();
            }
            if (settled == Clock::time_point{} && receiver->IsStarted() &&
                receiver->HeaderReady()) {
                settled = Clock::now();
            }
        }
        std::vector<int> numbers;
        while (QvMessage* message = queue.Get()) {
            if (auto* stream = dynamic_cast<QvStreamMessage*>(message)) {
                numbers.push_back(stream->type);
            }
            delete message;
        }
        return numbers;
    }
    qvplat::MediaVideoStats Stats()
    {
        return controller.graph != nullptr ? controller.graph->GetVideoStats()
                                           : qvplat::MediaVideoStats{};
    }
    // Play, then Periodic until the first picture; the time it took
    // (negative when none came within the bound).
    double PlayToFirstPicture()
    {
        const Clock::time_point play = Clock::now();
        controller.Play();
        const Clock::time_point deadline = play + 60s;
        while (Clock::now() < deadline && Stats().rendered == 0) {
            Tick();
        }
        return Stats().rendered == 0 ? -1.0 : Ms(Clock::now() - play);
    }

    Window frame;
    QvPropertyList settings;
    StampingQueue queue;
    QvAMovController controller;
    bool ok = false;
    // The receiver: when it took its first datagram, and when the start of
    // the stream was settled (what came before is not queued).
    const QvUdpDataCollector* receiver = nullptr;
    Clock::time_point firstData;
    Clock::time_point settled;
    // The video sink's figures, last read while the graph existed.
    qvplat::MediaVideoStats lastStats;
};

// Plays `passes` passes of the file sent back to back, from the first; the
// video sink's figures when the controller waits for the stream again.
qvplat::MediaVideoStats PlayPasses(const std::string& file, int passes)
{
    Host host(kGroup, 64, MuxOf(file));
    host.controller.Play();
    SendOptions o;
    o.file = file;
    o.passes = passes;
    const std::unique_ptr<Child> sender = StartSender(o);
    bool playing = false;
    const Clock::time_point deadline = Clock::now() + std::chrono::seconds(passes) * 10 + 10s;
    while (Clock::now() < deadline) {
        const std::vector<int> numbers = host.Tick();
        const auto posted = [&numbers](int number) {
            return std::find(numbers.begin(), numbers.end(), number) != numbers.end();
        };
        playing = playing || posted(QvStreamMessage::kPlaying);
        if (playing && posted(QvStreamMessage::kWaiting)) {
            break;
        }
    }
    host.controller.Stop();
    return host.lastStats;
}

void ShortSample(const std::string& file)
{
    const std::string name = std::filesystem::path(file).filename().string();
    const double duration = std::atof(
        Output("ffprobe -v error -show_entries format=duration -of csv=p=0 '" + file + "'")
            .c_str());
    const int frames = std::atoi(Output("ffprobe -v error -count_frames -select_streams v:0 "
                                        "-show_entries stream=nb_read_frames -of csv=p=0 '" +
                                        file + "'")
                                     .c_str());

    // Starts.
    std::vector<double> toFirst;
    std::vector<double> thresholdToFirst;
    std::vector<double> toFound;
    std::vector<double> foundToThreshold;
    std::vector<double> thresholdToPreroll;
    std::vector<double> foundToData;
    std::vector<double> dataToSettled;
    std::vector<double> receivedByThreshold;
    int thresholdBytes = 0;
    double longestStop = 0.0;
    {
        SendOptions o;
        o.file = file;
        const std::unique_ptr<Child> sender = StartSender(o);
        for (int run = 0; run < 5; ++run) {
            Host host(kGroup, 64, MuxOf(file));
            if (!host.ok) {
                std::printf("%s: Initialize failed\n", name.c_str());
                return;
            }
            const Clock::time_point play = Clock::now();
            toFirst.push_back(host.PlayToFirstPicture());
            const Clock::time_point first =
                play + std::chrono::duration_cast<Clock::duration>(
                           std::chrono::duration<double, std::milli>(toFirst.back()));
            const Clock::time_point found = host.queue.When(QvStreamMessage::kCollecting);
            const Clock::time_point threshold = host.queue.When(QvStreamMessage::kStarting);
            thresholdToFirst.push_back(Ms(first - threshold));
            toFound.push_back(Ms(found - play));
            foundToThreshold.push_back(Ms(threshold - found));
            // The graph is built, prerolled (the first video and audio
            // buffers at their sinks) and run between the two messages.
            thresholdToPreroll.push_back(
                Ms(host.queue.When(QvStreamMessage::kPlaying) - threshold));
            foundToData.push_back(Ms(host.firstData - found));
            // A receiver without the header fix-up (a program or transport
            // stream announced as such) is settled before any data.
            dataToSettled.push_back(std::max(0.0, Ms(host.settled - host.firstData)));
            receivedByThreshold.push_back(static_cast<double>(host.queue.bytesAtThreshold) / 1024);
            thresholdBytes = host.receiver->GetStartThreshold() * 8192; // payloads
            const Clock::time_point stop = Clock::now();
            host.controller.Stop();
            longestStop = std::max(longestStop, Ms(Clock::now() - stop));
        }
    }

    // About 30 s of whole passes back to back, and one pass alone: the
    // listener finds the stream in its first datagrams and the receiver
    // starts on it then, so the first pass is not seen whole; the passes
    // after it are. The run ends when the controller waits for the stream
    // again after the last one (it has played out by then).
    const int passes = std::max(2, static_cast<int>(30.0 / duration + 0.5));
    const qvplat::MediaVideoStats many = PlayPasses(file, passes);
    std::vector<double> first;
    for (int run = 0; run < 3; ++run) {
        first.push_back(static_cast<double>(PlayPasses(file, 1).rendered));
    }
    const double one = Median(first);

    std::printf("%-18s  play→picture median %6.0f ms  worst %6.0f ms   threshold→picture median "
                "%5.0f ms  worst %5.0f ms   longest Stop %5.1f ms\n",
                name.c_str(), Median(toFirst), *std::max_element(toFirst.begin(), toFirst.end()),
                Median(thresholdToFirst),
                *std::max_element(thresholdToFirst.begin(), thresholdToFirst.end()), longestStop);
    std::printf("%-18s  of which: Play→stream found %.0f ms, found→start threshold %.0f ms; "
                "start threshold→first video buffer at the sink (preroll) %.0f ms (medians)\n",
                "", Median(toFound), Median(foundToThreshold), Median(thresholdToPreroll));
    std::printf("%-18s  found→first datagram at the receiver %.0f ms, →start of the stream "
                "settled %.0f ms; received by the threshold %.0f KB for a threshold of %.0f KB at "
                "%.0f KB/s (medians)\n",
                "", Median(foundToData), Median(dataToSettled), Median(receivedByThreshold),
                thresholdBytes / 1024.0, std::filesystem::file_size(file) / 1024.0 / duration);
    std::printf("%-18s  pictures: %d passes %llu (dropped %llu), one pass %.0f (median of 3); "
                "per whole pass %.1f (ffprobe %d)\n",
                "", passes, static_cast<unsigned long long>(many.rendered),
                static_cast<unsigned long long>(many.dropped), one,
                (static_cast<double>(many.rendered) - one) / (passes - 1), frames);
    std::fflush(stdout);
}

void LongSampleStarts(const std::string& file)
{
    const std::string name = std::filesystem::path(file).filename().string();
    // As castdeck starts it by default, and a RAW copy for the peer.
    SendOptions o;
    o.file = file;
    o.headers = true;
    o.sap = true;
    o.pauseMs = XmitMPEG::kDefaultPauseMs;
    const std::unique_ptr<Child> sender = StartSender(o);
    o.group = kRawGroup;
    o.format = XmitMPEG::kRawFormat;
    o.headers = false;
    const std::unique_ptr<Child> raw = StartSender(o);
    std::this_thread::sleep_for(1s);
    std::vector<double> ours;
    std::vector<double> peer;
    for (int run = 0; run < 3; ++run) {
        {
            Host host(kGroup, 0, MuxOf(file));
            ours.push_back(host.PlayToFirstPicture());
            host.controller.Stop();
        }
        peer.push_back(PeerFirstBuffer(kRawGroup));
    }
    std::printf("%-18s  defaults: Play→first picture median %6.0f ms (%.0f / %.0f / %.0f); "
                "gst-launch start→first buffer median %6.0f ms (%.0f / %.0f / %.0f)\n",
                name.c_str(), Median(ours), ours[0], ours[1], ours[2], Median(peer), peer[0],
                peer[1], peer[2]);
    std::fflush(stdout);
}

void LongSampleCpu(const std::string& file)
{
    const std::string name = std::filesystem::path(file).filename().string();
    SendOptions o;
    o.file = file;
    o.group = kRawGroup;
    o.format = XmitMPEG::kRawFormat;
    o.pauseMs = XmitMPEG::kDefaultPauseMs;
    Host host(kRawGroup, 0, MuxOf(file));
    host.controller.Play();
    const std::unique_ptr<Child> sender = StartSender(o);
    int pipe[2];
    if (::pipe2(pipe, O_CLOEXEC) != 0) {
        return;
    }
    // The reader ends when the peer does: it outlives the peer's Child.
    const PeerCounts peerCounts(pipe[0]);
    const Child peer(PeerCommand(kRawGroup, PeerSink::Counts), pipe[1]);
    close(pipe[1]);
    const Clock::time_point deadline = Clock::now() + 30s;
    while (Clock::now() < deadline && host.controller.GetStreamState() != 2) {
        host.Tick(10ms);
    }
    if (host.controller.GetStreamState() != 2) {
        std::string numbers;
        for (const auto& [type, at] : host.queue.posted) {
            numbers += " " + std::to_string(type);
        }
        std::printf("%-18s  (does not play; messages%s)\n", name.c_str(), numbers.c_str());
        return;
    }
    // Warm-up, then the window; the host ticks at the player's rate.
    const auto hostTicks = [&host](Clock::duration span) {
        const Clock::time_point end = Clock::now() + span;
        while (Clock::now() < end) {
            host.Tick(kHostPeriod);
        }
    };
    hostTicks(kWarmUp);
    struct Side
    {
        double cpu = 0;
        unsigned long long pictures = 0;
        unsigned long long sinkDrops = 0;
        unsigned long long kernelDrops = 0;
    };
    const auto read = [&](pid_t pid, bool ours) {
        const qvplat::MediaVideoStats stats = host.Stats();
        return Side{ProcessCpu(pid), ours ? stats.rendered : peerCounts.Rendered(),
                    ours ? stats.dropped : peerCounts.Dropped(), SocketDrops(pid, kPort)};
    };
    const Side oursBefore = read(getpid(), true);
    const Side peerBefore = read(peer.Pid(), false);
    const Clock::time_point start = Clock::now();
    hostTicks(kWindow);
    const double seconds = std::chrono::duration<double>(Clock::now() - start).count();
    const Side oursAfter = read(getpid(), true);
    const Side peerAfter = read(peer.Pid(), false);
    const auto over = [seconds](const Side& before, const Side& after) {
        return Side{(after.cpu - before.cpu) / seconds * 1000.0, after.pictures - before.pictures,
                    after.sinkDrops - before.sinkDrops, after.kernelDrops - before.kernelDrops};
    };
    const Side ours = over(oursBefore, oursAfter);
    const Side theirs = over(peerBefore, peerAfter);
    const auto describe = [](const Side& side) {
        char text[160];
        std::snprintf(text, sizeof text,
                      "%5.1f ms/s, %llu pictures (%llu dropped by the sink), %llu datagrams "
                      "dropped by the kernel",
                      side.cpu, side.pictures, side.sinkDrops, side.kernelDrops);
        return std::string(text);
    };
    // A side that lost datagrams did less work: its CPU is no measure of
    // the other's.
    std::string verdict;
    if (ours.kernelDrops > 0 || theirs.kernelDrops > 0) {
        verdict = std::string("not compared: ") +
                  (ours.kernelDrops > 0 && theirs.kernelDrops > 0 ? "both sides"
                   : ours.kernelDrops > 0                         ? "ours"
                                                                  : "gst-launch") +
                  " lost data";
    } else if (theirs.cpu > 0) {
        char text[32];
        std::snprintf(text, sizeof text, "ratio %.2f", ours.cpu / theirs.cpu);
        verdict = text;
    } else {
        verdict = "not compared: gst-launch used no CPU";
    }
    std::printf("%-18s  CPU over %.0f s after %lld s (load %s): ours %s; gst-launch (same "
                "elements) %s; %s\n",
                name.c_str(), seconds, static_cast<long long>(kWarmUp.count()), Load().c_str(),
                describe(ours).c_str(), describe(theirs).c_str(), verdict.c_str());
    host.controller.Stop();
    std::fflush(stdout);
}

// ---- Pass boundaries ------------------------------------------------------------------------
//
// "--passes <dir>": the streams of <dir> (made by make_pass_samples.sh: the
// top quarter of each picture gives its second in the stream, the next
// quarter the picture within that second) sent as castdeck sends by default
// (QVS, header resender, SAP, endless with 5 s between passes) to a player
// on its defaults that waits before the first pass. A video sink of this
// program reads each picture's time in the stream as it is shown. For each
// pass after the first: the time of its first picture shown in the stream
// and after the pass began, how far the pass before it was shown, the
// messages posted in between, and whether a graph that had shown pictures of
// the pass was torn down while the pass was still being sent. Then a Pause
// during the play-out and a Play one second into the next pass.

struct ShownPicture
{
    Clock::time_point at;
    int graph = 0;
    double seconds = -1.0; // in the stream
};

std::mutex g_probeLock;
std::vector<ShownPicture> g_shown;
std::vector<std::pair<int, Clock::time_point>> g_sinkStops; // graph, when its sink stopped
int g_graphs = 0;

} // namespace

extern "C" {
struct QvProbeSink
{
    GstBaseSink parent;
    int graph;
};
struct QvProbeSinkClass
{
    GstBaseSinkClass parent_class;
};
}

G_DEFINE_TYPE(QvProbeSink, qv_probe_sink, GST_TYPE_BASE_SINK)

namespace {

GstStaticPadTemplate g_probeTemplate = GST_STATIC_PAD_TEMPLATE(
    "sink", GST_PAD_SINK, GST_PAD_ALWAYS, GST_STATIC_CAPS("video/x-raw, format=(string)I420"));

gboolean ProbeStart(GstBaseSink* sink)
{
    const std::lock_guard<std::mutex> hold(g_probeLock);
    reinterpret_cast<QvProbeSink*>(sink)->graph = ++g_graphs;
    return TRUE;
}

gboolean ProbeStop(GstBaseSink* sink)
{
    const std::lock_guard<std::mutex> hold(g_probeLock);
    g_sinkStops.emplace_back(reinterpret_cast<QvProbeSink*>(sink)->graph, Clock::now());
    return TRUE;
}

// The mean luma of the middle half of row `row` of an I420 picture.
double RowLuma(const guint8* y, int stride, int width, int row)
{
    double sum = 0;
    for (int x = width / 4; x < width * 3 / 4; ++x) {
        sum += y[static_cast<std::ptrdiff_t>(row) * stride + x];
    }
    return sum / std::max(1, width / 2);
}

GstFlowReturn ProbeRender(GstBaseSink* sink, GstBuffer* buffer)
{
    int width = 0;
    int height = 0;
    if (GstCaps* caps = gst_pad_get_current_caps(GST_BASE_SINK_PAD(sink))) {
        const GstStructure* s = gst_caps_get_structure(caps, 0);
        gst_structure_get_int(s, "width", &width);
        gst_structure_get_int(s, "height", &height);
        gst_caps_unref(caps);
    }
    ShownPicture shown{Clock::now(), reinterpret_cast<QvProbeSink*>(sink)->graph, -1.0};
    GstMapInfo map;
    const int stride = (width + 3) & ~3;
    if (width > 0 && height >= 8 && gst_buffer_map(buffer, &map, GST_MAP_READ)) {
        if (map.size >= static_cast<gsize>(stride) * static_cast<gsize>(height)) {
            const double second = (RowLuma(map.data, stride, width, height / 8) - 16) / 10;
            const double picture = (RowLuma(map.data, stride, width, height * 3 / 8) - 16) / 8;
            shown.seconds = std::round(second) + std::clamp(std::round(picture), 0.0, 24.0) / 25;
        }
        gst_buffer_unmap(buffer, &map);
    }
    const std::lock_guard<std::mutex> hold(g_probeLock);
    g_shown.push_back(shown);
    return GST_FLOW_OK;
}

// The video sink's first picture of a graph, caught from the base sink's
// debug line for each buffer it times ("got times start: ..."), from the
// sink named kPictureSink only.
constexpr const char* kPictureSink = "qvpicture";

struct FirstPicture
{
    std::mutex lock;
    bool armed = false;
    bool seen = false;
    Clock::time_point at;
    std::string times; // the sink's line: the picture's time stamps

    static void Log(GstDebugCategory*, GstDebugLevel, const gchar*, const gchar*, gint,
                    GObject* object, GstDebugMessage* message, gpointer self)
    {
        auto& me = *static_cast<FirstPicture*>(self);
        if (object == nullptr || !GST_IS_OBJECT(object) ||
            std::string_view(GST_OBJECT_NAME(object)) != kPictureSink) {
            return;
        }
        const gchar* text = gst_debug_message_get(message);
        if (text == nullptr || std::string_view(text).rfind("got times start: ", 0) != 0) {
            return;
        }
        const std::lock_guard<std::mutex> hold(me.lock);
        if (me.armed && !me.seen) {
            me.seen = true;
            me.at = Clock::now();
            me.times = text;
        }
    }
    void Arm()
    {
        const std::lock_guard<std::mutex> hold(lock);
        armed = true;
        seen = false;
    }
    bool Seen()
    {
        const std::lock_guard<std::mutex> hold(lock);
        return seen;
    }
};

// "h:mm:ss.nnnnnnnnn" as GStreamer prints a time; negative when unreadable.
double GstSeconds(const std::string& text, std::size_t at)
{
    unsigned h = 0;
    unsigned m = 0;
    double sec = 0.0;
    if (at == std::string::npos ||
        std::sscanf(text.c_str() + at, "%u:%u:%lf", &h, &m, &sec) != 3) {
        return -1.0;
    }
    return h * 3600.0 + m * 60.0 + sec;
}

// The time stamp of the file's first video picture in presentation order.
double FirstVideoTime(const std::string& file)
{
    return std::atof(Output("ffprobe -v error -select_streams v:0 -show_entries "
                            "stream=start_time -of csv=p=0 '" +
                            file + "'")
                         .c_str());
}

// A socket on the group that stamps the first datagram it reads.
class PassClock
{
public:
    explicit PassClock(const char* group)
    {
        m_socket = socket(AF_INET, SOCK_DGRAM | SOCK_NONBLOCK, 0);
        const int on = 1;
        setsockopt(m_socket, SOL_SOCKET, SO_REUSEADDR, &on, sizeof on);
        sockaddr_in any{};
        any.sin_family = AF_INET;
        any.sin_port = htons(kPort);
        any.sin_addr.s_addr = inet_addr(group);
        bind(m_socket, reinterpret_cast<sockaddr*>(&any), sizeof any);
        ip_mreq join{};
        join.imr_multiaddr.s_addr = inet_addr(group);
        setsockopt(m_socket, IPPROTO_IP, IP_ADD_MEMBERSHIP, &join, sizeof join);
    }
    ~PassClock() { close(m_socket); }
    PassClock(const PassClock&) = delete;
    PassClock& operator=(const PassClock&) = delete;

    // Reads what came; when the first datagram did.
    Clock::time_point PassStart()
    {
        char buffer[65536];
        while (recv(m_socket, buffer, sizeof buffer, 0) > 0) {
            if (m_start == Clock::time_point{}) {
                m_start = Clock::now();
            }
        }
        return m_start;
    }

private:
    int m_socket = -1;
    Clock::time_point m_start;
};

// castdeck's defaults, the player waiting when each pass begins: the first
// picture shown, in seconds of the stream, and the window's black time after
// messages 49 and 1.
void PassPickup(const std::string& file)
{
    const std::string name = std::filesystem::path(file).filename().string();
    const double firstVideo = FirstVideoTime(file);
    FirstPicture picture;
    gst_debug_set_active(TRUE);
    gst_debug_set_threshold_for_name("basesink", GST_LEVEL_DEBUG);
    gst_debug_remove_log_function(gst_debug_log_default);
    gst_debug_add_log_function(&FirstPicture::Log, &picture, nullptr);
    for (int run = 0; run < 3; ++run) {
        PassClock clock(kGroup); // each run sends one pass
        const std::string sink = std::string("fakesink sync=true name=") + kPictureSink;
        Host host(kGroup, 0, MuxOf(file), sink.c_str());
        host.controller.Play();
        host.Tick(500ms);
        picture.Arm();
        SendOptions o;
        o.file = file;
        o.headers = true;
        o.sap = true;
        o.passes = 1;
        const std::unique_ptr<Child> sender = StartSender(o);
        const Clock::time_point deadline = Clock::now() + 30s;
        Clock::time_point pass;
        while (Clock::now() < deadline && !picture.Seen()) {
            host.Tick(5ms);
            pass = clock.PassStart();
        }
        const Clock::time_point found = host.queue.When(QvStreamMessage::kCollecting);
        const Clock::time_point starting = host.queue.When(QvStreamMessage::kStarting);
        const Clock::time_point playing = host.queue.When(QvStreamMessage::kPlaying);
        host.controller.Stop();
        if (!picture.Seen()) {
            std::string numbers;
            for (const auto& [type, at] : host.queue.posted) {
                numbers += " " + std::to_string(type);
            }
            std::printf("%-18s  pass %d: no picture within 30 s (messages%s, rendered %llu)\n",
                        name.c_str(), run + 1, numbers.c_str(),
                        static_cast<unsigned long long>(host.lastStats.rendered));
            continue;
        }
        const double pts = GstSeconds(picture.times, picture.times.find(':') + 2);
        const auto since = [&picture](Clock::time_point t) {
            return t == Clock::time_point{} ? -1.0 : std::max(0.0, Ms(picture.at - t) / 1000.0);
        };
        std::printf("%-18s  pass %d: first picture %.2f s into the stream (pts %.3f, file's "
                    "first %.3f), shown %.2f s after the pass began; black after 49 %.2f s, "
                    "after 1 %.2f s (33 at %.2f s, 49 at %.2f s, 1 at %.2f s into the pass)\n",
                    name.c_str(), run + 1, pts - firstVideo, pts, firstVideo, since(pass),
                    since(starting), since(playing), Ms(found - pass) / 1000.0,
                    Ms(starting - pass) / 1000.0, Ms(playing - pass) / 1000.0);
        std::fflush(stdout);
    }
    gst_debug_remove_log_function(&FirstPicture::Log);
    gst_debug_add_log_function(gst_debug_log_default, nullptr, nullptr);
    gst_debug_set_threshold_for_name("basesink", GST_LEVEL_WARNING);
}

} // namespace

static void qv_probe_sink_class_init(QvProbeSinkClass* klass)
{
    GstElementClass* element = GST_ELEMENT_CLASS(klass);
    GstBaseSinkClass* base = GST_BASE_SINK_CLASS(klass);
    gst_element_class_set_static_metadata(element, "Picture time probe", "Sink/Video",
                                          "Notes each picture's time in the stream as shown",
                                          "playback_bench");
    gst_element_class_add_static_pad_template(element, &g_probeTemplate);
    base->start = ProbeStart;
    base->stop = ProbeStop;
    base->render = ProbeRender;
}

static void qv_probe_sink_init(QvProbeSink* self)
{
    self->graph = 0;
    // As a video sink: in time, late pictures dropped.
    gst_base_sink_set_sync(GST_BASE_SINK(self), TRUE);
    gst_base_sink_set_qos_enabled(GST_BASE_SINK(self), TRUE);
    gst_base_sink_set_max_lateness(GST_BASE_SINK(self), 20 * GST_MSECOND);
}

namespace {

// When the stream datagrams of the group arrive (the sender's header and
// end-of-stream packets left out), on a socket of its own.
class PassMonitor
{
public:
    PassMonitor() : m_thread([this] { Run(); }) {}
    ~PassMonitor()
    {
        m_stop = true;
        m_thread.join();
    }
    // The start of each pass and the end of each that ended: datagrams more
    // than kGap apart belong to different passes.
    static constexpr auto kGap = 2s;
    void Passes(std::vector<Clock::time_point>& starts, std::vector<Clock::time_point>& ends)
    {
        const std::lock_guard<std::mutex> hold(m_lock);
        starts.clear();
        ends.clear();
        for (std::size_t i = 0; i < m_arrivals.size(); ++i) {
            if (i == 0 || m_arrivals[i] - m_arrivals[i - 1] > kGap) {
                if (i > 0) {
                    ends.push_back(m_arrivals[i - 1]);
                }
                starts.push_back(m_arrivals[i]);
            }
        }
        if (!m_arrivals.empty() && Clock::now() - m_arrivals.back() > kGap) {
            ends.push_back(m_arrivals.back());
        }
    }

private:
    void Run()
    {
        qvtest::UdpSocket socket("0.0.0.0", kPort);
        socket.JoinGroup(kGroup);
        while (!m_stop) {
            const std::optional<qvtest::Datagram> datagram = socket.Receive(50ms);
            if (!datagram || datagram->payload.size() < 256 ||
                datagram->payload.compare(0, 4, "\xA5\xA5\xA5\xA5") == 0) {
                continue;
            }
            const std::lock_guard<std::mutex> hold(m_lock);
            m_arrivals.push_back(Clock::now());
        }
    }

    std::atomic<bool> m_stop{false};
    std::mutex m_lock;
    std::vector<Clock::time_point> m_arrivals;
    std::thread m_thread;
};

// One player on the defaults and the castdeck sender, with the player's
// timer (Periodic every 500 ms) and every stream message noted.
struct PassRun
{
    explicit PassRun(const std::string& file) : host(kGroup, 0, MuxOf(file), "qvprobesink")
    {
        {
            const std::lock_guard<std::mutex> hold(g_probeLock);
            g_shown.clear();
            g_sinkStops.clear();
        }
        begun = Clock::now();
        host.controller.Play();
        SendOptions o;
        o.file = file;
        o.headers = true;
        o.sap = true;
        o.pauseMs = XmitMPEG::kDefaultPauseMs;
        sender = StartSender(o);
    }
    // Runs the player's timer until `done` holds or `limit` passed.
    template <typename Done> void RunUntil(Done done, Clock::duration limit)
    {
        const Clock::time_point end = Clock::now() + limit;
        while (Clock::now() < end && !done()) {
            std::this_thread::sleep_for(20ms);
            if (Clock::now() - lastTick >= kHostPeriod) {
                lastTick = Clock::now();
                for (const int number : host.Tick(0ms)) {
                    messages.emplace_back(number, Clock::now());
                }
            }
        }
    }
    std::size_t PassesBegun()
    {
        monitor.Passes(starts, ends);
        return starts.size();
    }
    std::string MessagesBetween(Clock::time_point from, Clock::time_point to) const
    {
        std::string text;
        for (const auto& [number, at] : messages) {
            if (at >= from && at < to) {
                text += (text.empty() ? "" : ",") + std::to_string(number);
            }
        }
        return text.empty() ? "-" : text;
    }

    Host host;
    PassMonitor monitor;
    std::unique_ptr<Child> sender;
    Clock::time_point begun;
    Clock::time_point lastTick;
    std::vector<std::pair<int, Clock::time_point>> messages;
    std::vector<Clock::time_point> starts;
    std::vector<Clock::time_point> ends;
};

double Seconds(Clock::duration d)
{
    return std::chrono::duration<double>(d).count();
}

// The pictures of the pass that began at `start` (and ran until `next`):
// shown after its start, no later in the stream than the time since (with
// a second for the multiplex's lead); what is shown of the pass before it
// lies near its end.
std::vector<ShownPicture> PicturesOfPass(const std::vector<ShownPicture>& shown,
                                         Clock::time_point start, Clock::time_point next)
{
    std::vector<ShownPicture> pass;
    for (const ShownPicture& p : shown) {
        if (p.at >= start && p.at < next && p.seconds >= 0 &&
            p.seconds <= Seconds(p.at - start) + 1.0) {
            pass.push_back(p);
        }
    }
    return pass;
}

void PassBoundaries(const std::string& file, int laterPasses)
{
    const std::string name = std::filesystem::path(file).filename().string();
    const double rate =
        std::atof(
            Output("ffprobe -v error -show_entries format=bit_rate -of csv=p=0 '" + file + "'")
                .c_str()) /
        1e6;
    PassRun run(file);
    const auto wanted = static_cast<std::size_t>(laterPasses) + 1;
    run.RunUntil([&] { return run.PassesBegun() > wanted; }, 40s * (laterPasses + 2));
    run.host.controller.Stop();
    run.PassesBegun();
    std::vector<ShownPicture> shown;
    std::vector<std::pair<int, Clock::time_point>> stops;
    {
        const std::lock_guard<std::mutex> hold(g_probeLock);
        shown = g_shown;
        stops = g_sinkStops;
    }
    for (std::size_t k = 0; k + 1 < run.starts.size() && k < wanted; ++k) {
        const Clock::time_point start = run.starts[k];
        const Clock::time_point next = run.starts[k + 1];
        const std::vector<ShownPicture> pass = PicturesOfPass(shown, start, next);
        std::string first = "none shown";
        if (!pass.empty()) {
            char text[96];
            std::snprintf(text, sizeof text, "%5.2f s in, %5.2f s after it began",
                          pass.front().seconds, Seconds(pass.front().at - start));
            first = text;
        }
        // Torn down while showing this pass: a graph that showed its
        // pictures whose sink stopped before the pass's data ended.
        int cut = 0;
        std::vector<int> graphs;
        for (const ShownPicture& p : pass) {
            if (std::find(graphs.begin(), graphs.end(), p.graph) == graphs.end()) {
                graphs.push_back(p.graph);
            }
        }
        const Clock::time_point end = k < run.ends.size() ? run.ends[k] : next;
        for (const auto& [graph, at] : stops) {
            if (std::find(graphs.begin(), graphs.end(), graph) != graphs.end() && at < end) {
                ++cut;
            }
        }
        // How far the pass before was shown, and what the host heard from
        // the end of its data to this pass's first picture.
        std::string before = "-";
        std::string heard = "-";
        if (k > 0) {
            double last = -1;
            for (const ShownPicture& p : shown) {
                if (p.at >= run.starts[k - 1] && p.at < (pass.empty() ? next : pass.front().at) &&
                    p.seconds > last && p.seconds <= 20.5) {
                    last = p.seconds;
                }
            }
            char text[32];
            std::snprintf(text, sizeof text, "%5.2f s", last);
            before = text;
            heard = run.MessagesBetween(run.ends[k - 1], pass.empty() ? next : pass.front().at);
        }
        std::printf("%-12s %4.2f Mbit/s  pass %zu: first picture %s; graphs %zu, torn down "
                    "while showing it %d; pass before shown up to %s; messages %s\n",
                    name.c_str(), rate, k + 1, first.c_str(), graphs.size(), cut, before.c_str(),
                    heard.c_str());
    }
    std::fflush(stdout);
}

// Pause two seconds after the data of the first pass ended (during the
// play-out, if there is one), Play one second into the next pass.
void PauseDuringPlayOut(const std::string& file)
{
    const std::string name = std::filesystem::path(file).filename().string();
    PassRun run(file);
    run.RunUntil([&] { return run.PassesBegun() >= 1 && !run.ends.empty(); }, 60s);
    if (run.ends.empty()) {
        std::printf("%-12s pause: the first pass did not end\n", name.c_str());
        return;
    }
    // The monitor knows a pass ended kGap after its last datagram.
    run.RunUntil([] { return false; }, run.ends[0] + 2s - Clock::now());
    const Clock::time_point paused = Clock::now();
    const int pauseResult = run.host.controller.Pause();
    run.RunUntil([&] { return run.PassesBegun() >= 2; }, 30s);
    if (run.starts.size() < 2) {
        std::printf("%-12s pause: no second pass\n", name.c_str());
        return;
    }
    run.RunUntil([] { return false; }, run.starts[1] + 1s - Clock::now());
    const Clock::time_point played = Clock::now();
    const int playResult = run.host.controller.Play();
    run.RunUntil([&] { return run.PassesBegun() >= 3; }, 40s);
    run.host.controller.Stop();
    std::vector<ShownPicture> shown;
    {
        const std::lock_guard<std::mutex> hold(g_probeLock);
        shown = g_shown;
    }
    const Clock::time_point next = run.starts.size() > 2 ? run.starts[2] : Clock::now();
    std::vector<ShownPicture> pass = PicturesOfPass(shown, run.starts[1], next);
    std::string first = "none shown";
    if (!pass.empty()) {
        char text[96];
        std::snprintf(text, sizeof text, "%5.2f s in, %5.2f s after Play", pass.front().seconds,
                      Seconds(pass.front().at - played));
        first = text;
    }
    std::printf("%-12s Pause %.1f s after the data ended (%d), messages %s; Play %.1f s into the "
                "next pass (%d), messages %s; its first picture %s\n",
                name.c_str(), Seconds(paused - run.ends[0]), pauseResult,
                run.MessagesBetween(paused, played).c_str(), Seconds(played - run.starts[1]),
                playResult, run.MessagesBetween(played, next).c_str(), first.c_str());
    std::fflush(stdout);
}

int PassesMain(const std::string& dir)
{
    gst_element_register(nullptr, "qvprobesink", GST_RANK_NONE, qv_probe_sink_get_type());
    std::printf("load: %s", Output("uptime").c_str());
    const char* env = std::getenv("QV_PASSES");
    const int later = env != nullptr ? std::max(1, std::atoi(env)) : 3;
    for (const char* sample :
         {"lo_m1s.mpg", "lo_m2p.mpg", "lo_m2t.ts", "hi_m1s.mpg", "hi_m2p.mpg", "hi_m2t.ts"}) {
        PassBoundaries(dir + "/" + sample, later);
    }
    std::printf("load: %s", Output("uptime").c_str());
    for (const char* sample : {"lo_m1s.mpg", "lo_m2p.mpg", "lo_m2t.ts", "hi_m2t.ts"}) {
        PauseDuringPlayOut(dir + "/" + sample);
    }
    std::printf("load: %s", Output("uptime").c_str());
    return 0;
}
} // namespace

int main(int argc, char** argv)
{
    if (argc >= 9 && std::string(argv[1]) == "--send") {
        SendOptions o;
        o.file = argv[2];
        o.group = argv[3];
        o.passes = std::atoi(argv[4]);
        o.format = std::atoi(argv[5]);
        o.headers = std::string(argv[6]) == "1";
        o.sap = std::string(argv[7]) == "1";
        o.pauseMs = static_cast<std::uint32_t>(std::atol(argv[8]));
        return Send(o);
    }
    g_self = std::filesystem::read_symlink("/proc/self/exe").string();
    const bool passes = argc >= 3 && std::string(argv[1]) == "--passes";
    const char* env = std::getenv("QV_TEST_SOURCE_DIR");
    const std::string root = argc > 1 && argv[1][0] != '-' ? argv[1] : env != nullptr ? env : QV_SOURCE_DIR;

    qvtest::ScopedNetNamespace ns;
    if (!ns.IsReady()) {
        std::printf("skipped: no private network namespace (%s)\n", ns.Error().c_str());
        return 0;
    }
    // A private registry with the multicast source registered in it.
    const qvtest::TempDir dir("playback-bench");
    if (!dir.Valid()) {
        return 1;
    }
    setenv("QV_REGISTRY_DIR", dir.File("registry").c_str(), 1);
    setenv("QV_WINDOWS_DIR", dir.File("windows").c_str(), 1);
    gst_init(&argc, &argv);
    void* library = dlopen(QV_CASTSOURCE_PATH, RTLD_NOW | RTLD_LOCAL);
    auto registerServer = library != nullptr
                              ? reinterpret_cast<int (*)()>(dlsym(library, "DllRegisterServer"))
                              : nullptr;
    if (registerServer == nullptr || registerServer() != 0) {
        std::printf("castsource does not register\n");
        return 1;
    }
    if (passes) {
        return PassesMain(argv[2]);
    }
    if (argc > 2 && std::string(argv[1]) == "--starts") {
        for (int i = 2; i < argc; ++i) {
            LongSampleStarts(argv[i]);
        }
        return 0;
    }
    if (const char* debug = std::getenv("QV_BENCH_DEBUG_LOG")) {
        QvSetDebugFile(debug);
    }
    if (argc > 2 && std::string(argv[1]) == "--pickup") {
        for (int i = 2; i < argc; ++i) {
            PassPickup(argv[i]);
        }
        return 0;
    }
    for (const char* sample : {"m1s_testsrc.mpg", "m2p_testsrc.mpg", "m2t_testsrc2.ts"}) {
        ShortSample(root + "/samples/" + sample);
    }
    for (const char* sample : {"long_m2t.ts", "long_m2p.mpg", "long_m1s.mpg"}) {
        const std::string file = std::string(QV_LONG_SAMPLES_DIR) + "/" + sample;
        if (!std::filesystem::exists(file)) {
            std::printf("%s: missing (build the target long_samples)\n", file.c_str());
            continue;
        }
        LongSampleStarts(file);
        LongSampleCpu(file);
        PassPickup(file);
    }
    return 0;
}
