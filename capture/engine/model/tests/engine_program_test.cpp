// What the engine program decides without its windows: the command line
// and the watchdog.
#include "engine_testing.h"

#include "capture/engine/model/qvengineprogram.h"
#include "platform/tests/settings_env.h"

#include <gtest/gtest.h>

namespace {

using namespace enginetest;

TEST(EngineProgramTest, CommandLine)
{
    const struct
    {
        std::vector<std::string> args;
        bool kill;
        bool controlLaunch;
    } cases[] = {
        {{}, false, false},
        {{"-kill"}, true, false},
        {{"-kill", "now"}, false, false}, // compared whole
        {{"-KILL"}, false, false},        // and with case
        {{"ControlLaunch"}, false, true},
        {{"x", "--ControlLaunch=1"}, false, true}, // anywhere in the line
        {{"controllaunch"}, false, false},
    };
    for (const auto& c : cases) {
        const auto line = QvEngineProgram::ParseCommandLine(c.args);
        EXPECT_EQ(line.kill, c.kill) << testing::PrintToString(c.args);
        EXPECT_EQ(line.controlLaunch, c.controlLaunch) << testing::PrintToString(c.args);
    }
}

TEST(EngineProgramTest, WatchdogTakesReceivedDataAsProgress)
{
    QvEngineWatchdog watchdog;
    const struct
    {
        std::uint32_t rounds;
        std::uint64_t received;
        bool expired;
    } periods[] = {
        {0, 0, true},      // nothing at all
        {1, 65536, false}, // a whole round
        {1, 70000, false}, // a slow stream: data but no round yet
        {1, 70000, true},  // the data stopped
        {2, 70000, false}, // a round without new data
        {2, 70000, true},
    };
    for (const auto& p : periods) {
        EXPECT_EQ(watchdog.Expired(p.rounds, p.received), p.expired)
            << p.rounds << " rounds, " << p.received << " bytes";
    }
}

TEST(EngineProgramTest, WatchdogRunsOnlyForAControlsEngine)
{
    qvtest::SettingsEnv env;
    env.UsePrivateRuntime();
    RecordingHost host;
    std::atomic<std::uint32_t> progress{0};
    for (const bool launchedByControl : {false, true}) {
        QvEngineProgram program(host, progress, launchedByControl);
        ASSERT_TRUE(program.Begin());
        EXPECT_EQ(QvLoad(program.Engine().GetPresence()->running), 1);
        EXPECT_EQ(program.WatchdogExpired(), launchedByControl) << launchedByControl;
        program.Close();
        EXPECT_EQ(QvLoad(program.Engine().GetPresence()->running), 0);
    }
}

} // namespace
