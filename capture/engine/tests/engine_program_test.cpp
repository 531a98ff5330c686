// What the engine program decides without its windows: the command line,
// the watchdog and the tray icon's question.
#include "engine_testing.h"

#include "capture/engine/qvengineprogram.h"
#include "platform/msgbox.h"
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

class EngineProgramEnvTest : public ::testing::Test
{
protected:
    qvtest::SettingsEnv m_env;
    bool m_private = m_env.UsePrivateRuntime();
    RecordingHost m_host;
    std::atomic<std::uint32_t> m_progress{0};
};

TEST_F(EngineProgramEnvTest, WatchdogRunsOnlyForAControlsEngine)
{
    for (const bool launchedByControl : {false, true}) {
        QvEngineProgram program(m_host, m_progress, launchedByControl);
        ASSERT_TRUE(program.Begin());
        EXPECT_EQ(QvLoad(program.Engine().GetPresence()->running), 1);
        EXPECT_EQ(program.WatchdogExpired(), launchedByControl) << launchedByControl;
        program.Close();
        EXPECT_EQ(QvLoad(program.Engine().GetPresence()->running), 0);
    }
}

TEST_F(EngineProgramEnvTest, TrayQuestionClosesOnlyOnOk)
{
    QvEngineProgram program(m_host, m_progress, false);
    for (const int answer : {qvplat::IDOK, qvplat::IDCANCEL}) {
        unsigned flags = 0;
        std::string asked;
        const auto previous = qvplat::SetMessageBoxHandler(
            [&](const char* text, const char* caption, unsigned boxFlags) {
                asked = std::string(caption) + ": " + text;
                flags = boxFlags;
                return answer;
            });
        EXPECT_EQ(program.ConfirmExit(), answer == qvplat::IDOK);
        qvplat::SetMessageBoxHandler(previous);
        EXPECT_EQ(asked, "Multicast Stream Capture Engine: Stream capture session in "
                         "progress.\n\nAre you sure you want to exit?");
        EXPECT_EQ(flags, qvplat::MB_OKCANCEL | qvplat::MB_ICONQUESTION | qvplat::MB_SYSTEMMODAL);
    }
}

} // namespace
