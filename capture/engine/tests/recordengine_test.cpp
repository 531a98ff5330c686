// The program recordengine itself, on a private Xvfb display with private
// runtime and settings directories: one instance at a time, "-kill", the
// presence block after a normal end and after a crash, and the watchdog of
// an engine that a control started.
#include "capture/channel/qvcommchannel.h"
#include "capture/channel/qvengineinstance.h"
#include "platform/tests/settings_env.h"
#include "platform/testsupport/display.h"

#include <gtest/gtest.h>

#include <chrono>
#include <csignal>
#include <functional>
#include <spawn.h>
#include <sys/wait.h>
#include <vector>

extern char** environ;

namespace {

class RecordEngineTest : public ::testing::Test
{
protected:
    void SetUp() override
    {
        if (!qvtest::XvfbServer::IsInstalled()) {
            GTEST_SKIP() << "Xvfb is not installed (run scripts/setup.sh)";
        }
        m_xvfb = std::make_unique<qvtest::XvfbServer>();
        ASSERT_FALSE(m_xvfb->Display().empty()) << "Xvfb did not start";
        m_env.Set("DISPLAY", m_xvfb->Display());
        m_env.Set("GDK_BACKEND", "x11");
        m_env.Set("NO_AT_BRIDGE", "1");
        m_env.Set("LSAN_OPTIONS", std::string("suppressions=") + QV_GUI_LSAN_SUPPRESSIONS +
                                      ":print_suppressions=0");
        ASSERT_NE(Presence(), nullptr);
    }
    void TearDown() override
    {
        for (const pid_t pid : m_started) {
            if (::waitpid(pid, nullptr, WNOHANG) == 0) {
                ::kill(pid, SIGKILL);
                ::waitpid(pid, nullptr, 0);
            }
        }
    }

    pid_t Start(const std::vector<std::string>& args)
    {
        std::vector<char*> argv{const_cast<char*>(RECORDENGINE_BINARY)};
        for (const std::string& arg : args) {
            argv.push_back(const_cast<char*>(arg.c_str()));
        }
        argv.push_back(nullptr);
        pid_t pid = -1;
        EXPECT_EQ(::posix_spawn(&pid, RECORDENGINE_BINARY, nullptr, nullptr, argv.data(), environ),
                  0);
        m_started.push_back(pid);
        return pid;
    }
    static int Finish(pid_t pid) { return qvtest::WaitForExit(pid, std::chrono::seconds(120)); }
    static bool IsRunning(pid_t pid) { return ::waitpid(pid, nullptr, WNOHANG) == 0; }

    QvPresenceBlock* Presence() { return static_cast<QvPresenceBlock*>(m_presence.GetView()); }
    // Waits on the presence block's first word, which the engine wakes.
    bool WaitFor(const std::function<bool()>& done)
    {
        const auto* word = reinterpret_cast<const std::uint32_t*>(Presence());
        const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(120);
        while (!done()) {
            if (std::chrono::steady_clock::now() > deadline) {
                return false;
            }
            qvplat::WaitOnSharedWord(word, QvLoad(*word), 10);
        }
        return true;
    }
    bool WaitForEngine()
    {
        return WaitFor([&] {
            return QvLoad(Presence()->running) == 1 && QvEngineInstance::IsHeld() &&
                   QvLoad(Presence()->freeSlots) == 1;
        });
    }

    qvtest::SettingsEnv m_env;
    bool m_private = m_env.UsePrivateRuntime();
    std::unique_ptr<qvtest::XvfbServer> m_xvfb;
    QvSharedBlock m_presence{kQvPresenceName, sizeof(QvPresenceBlock)};
    std::vector<pid_t> m_started;
};

TEST_F(RecordEngineTest, SecondStartEndsAndKillClosesTheRunningEngine)
{
    EXPECT_EQ(Finish(Start({"-kill"})), 0); // none runs: nothing happens
    const pid_t first = Start({});
    ASSERT_TRUE(WaitForEngine());
    EXPECT_EQ(QvEngineInstance::PulseView().Read().pid, first); // it beats its pulse

    EXPECT_EQ(Finish(Start({})), 0);
    EXPECT_TRUE(IsRunning(first));
    QvCommChannel control(kQvChannelName, kQvChannelDataSize, QvCommChannel::Side::Sending);
    EXPECT_EQ(control.SendCommand(99, nullptr, 0), 0); // the first one still serves
    EXPECT_EQ(QvLoad(Presence()->running), 1);

    EXPECT_EQ(Finish(Start({"-kill"})), 0);
    EXPECT_EQ(Finish(first), 0);
    EXPECT_EQ(QvLoad(Presence()->running), 0);
    EXPECT_EQ(QvLoad(Presence()->freeSlots), 1);
    EXPECT_FALSE(QvEngineInstance::IsHeld());
}

TEST_F(RecordEngineTest, CrashedEngineIsReplacedAndAControlsEngineEndsWithoutProgress)
{
    const pid_t crashing = Start({});
    ASSERT_TRUE(WaitForEngine());
    QvStore(Presence()->freeSlots, 0); // as if it had taken the slot for a capture
    ::kill(crashing, SIGKILL);
    EXPECT_EQ(Finish(crashing), -1);
    EXPECT_EQ(QvLoad(Presence()->running), 1); // what the crash left
    EXPECT_FALSE(QvEngineInstance::IsHeld());

    // A control's engine takes over the block, then its watchdog ends it:
    // no capture comes.
    const pid_t launched = Start({"ControlLaunch"});
    ASSERT_TRUE(WaitForEngine());
    EXPECT_EQ(Finish(launched), 0);
    EXPECT_EQ(QvLoad(Presence()->running), 0);
    EXPECT_EQ(QvLoad(Presence()->freeSlots), 1);
}

} // namespace
