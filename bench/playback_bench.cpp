// A live stream through the stream controller, on one machine, in a private
// network namespace: the transmitter (this program run again as
// "--send", in a process of its own so that its time is not counted) loops
// a sample to a group in OPV; the controller finds it, buffers it and plays
// it through the multicast source into "fakesink sync=true" and
// "fakeaudiosink sync=true".
//
// Per sample:
//   - five starts: Play to the first picture at the video sink, and the
//     start threshold (message 49) to that picture, with UDCStartThreshold
//     64; the median and the worst of each, and the longest Stop;
//   - one run of about 30 s (whole passes of the file, sent back to back):
//     CPU time of this process per second of stream, beside
//     `gst-launch-1.0 fdsrc ! decodebin ! fakesink sync=true` on the same
//     file; pictures dropped by the sink (QoS); pictures per pass beside
//     ffprobe's count of the file's frames.
//
//   playback_bench [source dir]   (default: QV_TEST_SOURCE_DIR, then the
//                                  tree this was built from; needs root for
//                                  the namespace)
#include "playback/qvcontroller.h"
#include "playback/qvstreammsg.h"
#include "mpeg/mpeganalysis.h"
#include "sender/transmit/xmitmpeg.h"

#include "platform/testsupport/netns.h"
#include "platform/testsupport/tempfiles.h"

#include <arpa/inet.h>
#include <dlfcn.h>
#include <fcntl.h>
#include <gst/gst.h>
#include <signal.h>
#include <spawn.h>
#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <memory>
#include <string>
#include <thread>
#include <vector>

extern char** environ;

namespace {

using Clock = std::chrono::steady_clock;
using namespace std::chrono_literals;

constexpr const char* kGroup = "239.7.7.51";
constexpr unsigned short kPort = 5004; // the namespace is the benchmark's own

double CpuSeconds(const rusage& r)
{
    return static_cast<double>(r.ru_utime.tv_sec + r.ru_stime.tv_sec) +
           static_cast<double>(r.ru_utime.tv_usec + r.ru_stime.tv_usec) * 1e-6;
}

double Ms(Clock::duration d)
{
    return std::chrono::duration<double, std::milli>(d).count();
}

double Median(std::vector<double> values)
{
    std::sort(values.begin(), values.end());
    return values.empty() ? 0.0 : values[values.size() / 2];
}

// The transmitter: loops the file `passes` times (0: until told to stop).
int Send(const std::string& file, int passes)
{
    int type = 0;
    if (!qvmpeg::DetectStreamType(file, type)) {
        return 2;
    }
    std::unique_ptr<XmitMPEG> xmit = type == qvmpeg::kMpeg1System
                                         ? std::unique_ptr<XmitMPEG>(new XmitMPEG1System)
                                     : type == qvmpeg::kMpeg2Program
                                         ? std::unique_ptr<XmitMPEG>(new XmitMPEG2Program)
                                         : std::unique_ptr<XmitMPEG>(new XmitMPEG2Transport);
    xmit->SetFilePath(file);
    xmit->SetStreamType(type);
    xmit->SetAddress(inet_addr(kGroup), kPort);
    xmit->SetPacketFormat(XmitMPEG::kOpvFormat);
    xmit->SetRepeat(passes > 0 ? passes : XmitMPEG::kEndless, 0);
    sigset_t stop;
    sigemptyset(&stop);
    sigaddset(&stop, SIGTERM);
    pthread_sigmask(SIG_BLOCK, &stop, nullptr);
    if (xmit->ComputeBitrate() == 0 || xmit->Start() != 0) {
        return 3;
    }
    if (passes > 0) {
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

class Sender
{
public:
    Sender(const std::string& file, int passes)
    {
        const std::string self = std::filesystem::read_symlink("/proc/self/exe").string();
        const std::string count = std::to_string(passes);
        const char* argv[] = {self.c_str(), "--send", file.c_str(), count.c_str(), nullptr};
        posix_spawn(&m_pid, self.c_str(), nullptr, nullptr, const_cast<char**>(argv), environ);
    }
    ~Sender()
    {
        kill(m_pid, SIGTERM);
        int status = 0;
        waitpid(m_pid, &status, 0);
    }

private:
    pid_t m_pid = -1;
};

// Runs a command with the file on its standard input; its CPU seconds.
double ChildCpu(const std::vector<std::string>& args, const std::string& input)
{
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_addopen(&actions, 0, input.c_str(), O_RDONLY, 0);
    posix_spawn_file_actions_addopen(&actions, 1, "/dev/null", O_WRONLY, 0);
    std::vector<char*> argv;
    for (const std::string& arg : args) {
        argv.push_back(const_cast<char*>(arg.c_str()));
    }
    argv.push_back(nullptr);
    pid_t pid = -1;
    if (posix_spawnp(&pid, argv[0], &actions, nullptr, argv.data(), environ) != 0) {
        return -1.0;
    }
    posix_spawn_file_actions_destroy(&actions);
    int status = 0;
    rusage usage{};
    wait4(pid, &status, 0, &usage);
    return CpuSeconds(usage);
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

    explicit Host(const char* mux)
    {
        // The multiplex type the sender's announcement would carry.
        settings.SetProperty("Mux", mux);
        settings.SetProperty("Address", kGroup);
        settings.SetProperty("Port", std::to_string(kPort).c_str());
        settings.SetProperty("UDCStartThreshold", "64");
        settings.SetProperty("VideoSink", "fakesink sync=true");
        settings.SetProperty("AudioSink", "fakeaudiosink sync=true");
    }
    // Periodic every 2 ms; the messages it posted.
    std::vector<int> Tick()
    {
        std::this_thread::sleep_for(2ms);
        controller.Periodic();
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

    Window frame;
    QvPropertyList settings;
    StampingQueue queue;
    QvAMovController controller;
};

void Bench(const std::string& file, const char* mux)
{
    const std::string name = std::filesystem::path(file).filename().string();
    const double duration =
        std::atof(Output("ffprobe -v error -show_entries format=duration -of csv=p=0 '" + file +
                         "'")
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
    double longestStop = 0.0;
    {
        Sender sender(file, 0);
        for (int run = 0; run < 5; ++run) {
            Host host(mux);
            if (!host.controller.Initialize({0, 0, 352, 288}, &host.frame, &host.settings,
                                            &host.queue)) {
                std::printf("%s: Initialize failed\n", name.c_str());
                return;
            }
            const Clock::time_point play = Clock::now();
            host.controller.Play();
            const Clock::time_point deadline = play + 60s;
            while (Clock::now() < deadline && host.Stats().rendered == 0) {
                host.Tick();
            }
            const Clock::time_point first = Clock::now();
            const Clock::time_point found = host.queue.When(QvStreamMessage::kCollecting);
            const Clock::time_point threshold = host.queue.When(QvStreamMessage::kStarting);
            toFirst.push_back(Ms(first - play));
            thresholdToFirst.push_back(Ms(first - threshold));
            toFound.push_back(Ms(found - play));
            foundToThreshold.push_back(Ms(threshold - found));
            // The graph is built, prerolled (the first video and audio
            // buffers at their sinks) and run between the two messages.
            thresholdToPreroll.push_back(
                Ms(host.queue.When(QvStreamMessage::kPlaying) - threshold));
            const Clock::time_point stop = Clock::now();
            host.controller.Stop();
            longestStop = std::max(longestStop, Ms(Clock::now() - stop));
        }
    }

    // About 30 s of whole passes.
    const int passes = std::max(1, static_cast<int>(30.0 / duration + 0.5));
    Host host(mux);
    host.controller.Initialize({0, 0, 352, 288}, &host.frame, &host.settings, &host.queue);
    host.controller.Play();
    Sender sender(file, passes);
    rusage before{};
    rusage after{};
    Clock::time_point started{};
    Clock::time_point ended{};
    qvplat::MediaVideoStats last;
    bool playing = false;
    const Clock::time_point deadline = Clock::now() + std::chrono::seconds(passes) * 10;
    while (Clock::now() < deadline) {
        const std::vector<int> numbers = host.Tick();
        if (!playing && std::find(numbers.begin(), numbers.end(), QvStreamMessage::kPlaying) !=
                            numbers.end()) {
            getrusage(RUSAGE_SELF, &before);
            started = Clock::now();
            playing = true;
        }
        if (playing && host.controller.graph != nullptr) {
            last = host.Stats();
        }
        // The data timeout after the last pass ends the run.
        if (playing && (std::find(numbers.begin(), numbers.end(), QvStreamMessage::kWaiting) !=
                        numbers.end())) {
            getrusage(RUSAGE_SELF, &after);
            ended = Clock::now();
            break;
        }
    }
    host.controller.Stop();
    const double streamSeconds = passes * duration;
    const double ours = (CpuSeconds(after) - CpuSeconds(before)) / streamSeconds;
    const double bare = ChildCpu({"gst-launch-1.0", "-q", "fdsrc", "fd=0", "!", "decodebin", "!",
                                  "fakesink", "sync=true"},
                                 file) /
                        duration;

    std::printf("%-18s  play→picture median %6.0f ms  worst %6.0f ms   threshold→picture median "
                "%5.0f ms  worst %5.0f ms   longest Stop %5.1f ms\n",
                name.c_str(), Median(toFirst), *std::max_element(toFirst.begin(), toFirst.end()),
                Median(thresholdToFirst),
                *std::max_element(thresholdToFirst.begin(), thresholdToFirst.end()), longestStop);
    std::printf("%-18s  of which: Play→stream found %.0f ms, found→start threshold %.0f ms; "
                "start threshold→first video buffer at the sink (preroll) %.0f ms (medians)\n",
                "", Median(toFound), Median(foundToThreshold), Median(thresholdToPreroll));
    std::printf("%-18s  %d passes in %.1f s: CPU %.0f ms per stream second (gst-launch decode "
                "%.0f ms/s, ratio %.2f); pictures %llu, dropped %llu, per pass %.1f (ffprobe "
                "%d)\n",
                "", passes, std::chrono::duration<double>(ended - started).count(), ours * 1000,
                bare * 1000, bare > 0 ? ours / bare : 0.0,
                static_cast<unsigned long long>(last.rendered),
                static_cast<unsigned long long>(last.dropped),
                static_cast<double>(last.rendered) / passes, frames);
    std::fflush(stdout);
}

} // namespace

int main(int argc, char** argv)
{
    if (argc >= 4 && std::string(argv[1]) == "--send") {
        return Send(argv[2], std::atoi(argv[3]));
    }
    const char* env = std::getenv("QV_TEST_SOURCE_DIR");
    const std::string root = argc > 1 ? argv[1] : env != nullptr ? env : QV_SOURCE_DIR;

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
    auto registerServer =
        library != nullptr ? reinterpret_cast<int (*)()>(dlsym(library, "DllRegisterServer"))
                           : nullptr;
    if (registerServer == nullptr || registerServer() != 0) {
        std::printf("castsource does not register\n");
        return 1;
    }
    for (const auto& [sample, mux] : {std::pair{"m1s_testsrc.mpg", "m1s"},
                                      std::pair{"m2p_testsrc.mpg", "m2p"},
                                      std::pair{"m2t_testsrc2.ts", "m2t"}}) {
        Bench(root + "/samples/" + sample, mux);
    }
    return 0;
}
