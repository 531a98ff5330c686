// The player control in ctlhost on a private Xvfb display, with a private
// registry store: the CPU a stopped, idle player uses (the difference between
// a short and a long idle run, so that start-up drops out; the logo animation
// and the control's timers included), and whether the container hears of a
// Stop after a file played (stream message 3) within one period of the
// frame's message timer (500 ms) and a margin. The toolbar itself turns to
// its stopped state in the Stop handler, right after the controller's Stop
// (which playback_bench times).
#include "platform/testsupport/display.h"
#include "platform/testsupport/tempfiles.h"

#include <sys/resource.h>

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <string>
#include <utility>
#include <vector>

namespace {

namespace fs = std::filesystem;

using Env = std::vector<std::pair<std::string, std::string>>;

double ChildrenCpuSeconds()
{
    rusage usage{};
    getrusage(RUSAGE_CHILDREN, &usage);
    const auto seconds = [](const timeval& t) {
        return static_cast<double>(t.tv_sec) + static_cast<double>(t.tv_usec) / 1e6;
    };
    return seconds(usage.ru_utime) + seconds(usage.ru_stime);
}

// Runs ctlhost with the player and the script; the CPU it took, or -1 when
// the script failed.
double RunPlayer(const Env& env, const fs::path& dir, const std::string& script)
{
    const fs::path file = dir / "script.txt";
    std::ofstream(file) << script;
    const double before = ChildrenCpuSeconds();
    const auto host = qvtest::RunProgram(CTLHOST_BINARY,
                                         {"--param", "PropList=ToolBar=1", "--size", "480x360",
                                          "--script", file.string(), "PLAYERCTL.PlayerCtlCtrl.1"},
                                         env, dir.string(), std::chrono::seconds(120));
    if (host.exitCode != 0) {
        std::fprintf(stderr, "%s", host.output.c_str());
        return -1.0;
    }
    return ChildrenCpuSeconds() - before;
}

} // namespace

int main()
{
    if (!qvtest::XvfbServer::IsInstalled()) {
        std::printf("player_bench: Xvfb is not installed (run scripts/setup.sh)\n");
        return 1;
    }
    const qvtest::TempDir temp("player-bench");
    if (!temp.Valid()) {
        return 1;
    }
    const fs::path& dir = temp.Path();
    fs::create_directories(dir / "run");
    fs::permissions(dir / "run", fs::perms::owner_all);
    qvtest::XvfbServer xvfb;
    if (xvfb.Display().empty()) {
        std::printf("player_bench: Xvfb did not start\n");
        return 1;
    }
    const Env env = {
        {"DISPLAY", xvfb.Display()},
        {"GDK_BACKEND", "x11"},
        {"NO_AT_BRIDGE", "1"},
        {"XDG_RUNTIME_DIR", (dir / "run").string()},
        {"QV_WINDOWS_DIR", (dir / "windows").string()},
        {"QV_DRIVE_C_DIR", (dir / "drive_c").string()},
        {"QV_REGISTRY_DIR", (dir / "registry").string()},
        {"XDG_CONFIG_HOME", (dir / "config").string()},
        {"HOME", (dir / "home").string()},
    };
    // The user's settings: no sound here.
    fs::create_directories(dir / "windows");
    std::ofstream(dir / "windows" / "QvCtl.ini") << "[QV]\nAudioSink=fakeaudiosink\n";
    for (const char* server : {PLAYERCTL_LIBRARY, CASTSOURCE_LIBRARY}) {
        if (qvtest::RunProgram(QVREGSVR_BINARY, {server}, env, dir.string(),
                               std::chrono::seconds(60))
                .exitCode != 0) {
            std::printf("player_bench: %s does not register\n", server);
            return 1;
        }
    }

    const double shortRun = RunPlayer(env, dir, "sleep 2000\nquit\n");
    const double longRun = RunPlayer(env, dir, "sleep 12000\nquit\n");
    if (shortRun >= 0 && longRun >= 0) {
        std::printf("stopped, idle player: %.2f %% of one core (ctlhost CPU %.3f s in a 2 s run, "
                    "%.3f s in a 12 s run)\n",
                    (longRun - shortRun) / 10.0 * 100.0, shortRun, longRun);
    }

    const std::string sample = std::string(QV_SOURCE_DIR) + "/samples/m1s_testsrc.mpg";
    // 32772 is Play on the toolbar, 32773 Stop.
    const std::string stop = "call AddProp Filename \"" + sample +
                             "\"\n"
                             "command 32772\n"
                             "wait-event StreamEvent 1 60000\n"
                             "sleep 1000\n"
                             "command 32773\n"
                             "wait-event StreamEvent 3 600\n"
                             "quit\n";
    int within = 0;
    constexpr int kRuns = 5;
    for (int run = 0; run < kRuns; ++run) {
        within += RunPlayer(env, dir, stop) >= 0 ? 1 : 0;
    }
    std::printf("Stop after a file played: message 3 within 600 ms in %d of %d runs\n",
                within, kRuns);
    std::error_code ignored;
    fs::remove_all(dir, ignored);
    return 0;
}
