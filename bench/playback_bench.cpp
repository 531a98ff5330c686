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
//     conversion and scaling elements (decodebin ! videoconvert ! videocrop
//     top=1 ! videoscale ! capsfilter ! fakesink, audioconvert ! audioresample !
//     volume ! fakeaudiosink, both sync=true), both playing one RAW stream
//     at the same time and measured over the same steady window after a
//     warm-up, each from /proc; our host calls Periodic at the player's
//     rate (every 500 ms) meanwhile.
//
//   playback_bench [source dir]   (default: QV_TEST_SOURCE_DIR, then the
//                                  tree this was built from; needs root for
//                                  the namespace)
//   playback_bench --pickup FILE...   only the pass pick-up, for these files
#include "mpeg/mpeganalysis.h"
#include "core/settings/qvlog.h"
#include "playback/qvcontroller.h"
#include "playback/qvlivectl.h"
#include "playback/qvstreammsg.h"
#include "sender/transmit/xmitmpeg.h"

#include "platform/testsupport/netns.h"
#include "platform/testsupport/tempfiles.h"

#include <arpa/inet.h>
#include <dlfcn.h>
#include <fcntl.h>
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
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <memory>
#include <mutex>
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

// gst-launch-1.0 playing the RAW stream of `group` through the same
// elements as our graph. With `announce`, it prints a line per buffer at
// the video sink (for the first-buffer time).
std::vector<std::string> PeerCommand(const char* group, bool announce)
{
    std::vector<std::string> args = {"gst-launch-1.0"};
    if (announce) {
        args.push_back("-v");
    }
    const std::string source = std::string("udpsrc address=") + group +
                               " port=" + std::to_string(kPort) +
                               " mtu=8192 buffer-size=102400 ! decodebin name=d";
    // Our graph cuts the first line of the picture (ShowLine1 is off by
    // default), so the peer's crop does too.
    const std::string video = std::string("d. ! videoconvert ! videocrop top=1 ! videoscale ! "
                                          "capsfilter ! fakesink name=picture sync=true") +
                              (announce ? " silent=false" : "");
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
    Child peer(PeerCommand(group, true), pipe[1]);
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
    const Child peer(PeerCommand(kRawGroup, false));
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
    const double oursBefore = ProcessCpu(getpid());
    const double peerBefore = ProcessCpu(peer.Pid());
    const qvplat::MediaVideoStats statsBefore = host.Stats();
    const Clock::time_point start = Clock::now();
    hostTicks(kWindow);
    const double seconds = std::chrono::duration<double>(Clock::now() - start).count();
    const double ours = (ProcessCpu(getpid()) - oursBefore) / seconds * 1000.0;
    const double theirs = (ProcessCpu(peer.Pid()) - peerBefore) / seconds * 1000.0;
    const qvplat::MediaVideoStats stats = host.Stats();
    std::printf("%-18s  CPU over %.0f s after %lld s: ours %5.1f ms per stream second, "
                "gst-launch (same elements) %5.1f ms/s, ratio %.2f; our pictures %llu, "
                "dropped %llu\n",
                name.c_str(), seconds, static_cast<long long>(kWarmUp.count()), ours, theirs,
                theirs > 0 ? ours / theirs : 0.0,
                static_cast<unsigned long long>(stats.rendered - statsBefore.rendered),
                static_cast<unsigned long long>(stats.dropped - statsBefore.dropped));
    host.controller.Stop();
    std::fflush(stdout);
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
