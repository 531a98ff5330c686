// The capture control without its windows, against a stand-in engine
// process (fake_engine) in private runtime and settings directories. The
// end of a capture is handed to a pumped user-interface queue, as a
// container's dispatcher would take it.
#include "capture/channel/qvcapturefile.h"
#include "capture/channel/qvengineinstance.h"
#include "capture/control/model/qvenginelaunch.h"
#include "capture/control/model/qvrecordcontrol.h"
#include "capture/control/model/qvstatusview.h"
#include "platform/paths.h"
#include "platform/process.h"
#include "platform/tests/settings_env.h"
#include "platform/testsupport/process.h"
#include "platform/testsupport/tempfiles.h"

#include <gtest/gtest.h>

#include <cmath>
#include <csignal>
#include <filesystem>
#include <fstream>
#include <thread>
#include <vector>

namespace {

namespace fs = std::filesystem;

struct RecordingObserver : QvRecordControl::Observer
{
    void OnStatusStart(std::int32_t duration) override { started.push_back(duration); }
    void OnStatusStop() override { ++timerStops; }
    void OnCompleted(std::int32_t reason) override
    {
        completed.push_back(reason);
        threads.push_back(std::this_thread::get_id());
    }

    std::vector<std::int32_t> started;
    int timerStops = 0;
    std::vector<std::int32_t> completed;
    std::vector<std::thread::id> threads;
};

class RecordControlTest : public ::testing::Test
{
protected:
    RecordControlTest()
    {
        fs::create_directories(m_videos);
        m_env.Set("XDG_VIDEOS_DIR", m_videos);
    }
    ~RecordControlTest() override
    {
        // Ends the stand-in engine and waits until it has let go of its lock.
        if (QvEngineInstance::TerminateHolder()) {
            QvEngineInstance wait;
            wait.Acquire(60000);
        }
    }

    // A control whose engine is the stand-in in `mode`, or a program that
    // does not exist.
    std::unique_ptr<QvRecordControl>
    MakeControl(RecordingObserver& observer, const std::string& mode = "serve",
                std::uint32_t silenceMs = QvRecordControl::kEngineSilenceMs)
    {
        QvRecordControl::Options options;
        options.launchEngine = [this, mode] {
            ++m_launches;
            return QvStartProgram(mode.empty() ? (m_env.Root() / "missing").string()
                                               : std::string(FAKE_ENGINE_PATH),
                                  {mode});
        };
        // The silent one never comes up; the others come up in time.
        options.engineStartTimeoutMs = mode == "silent" ? 300 : 60000;
        options.engineSilenceMs = silenceMs;
        auto control = std::make_unique<QvRecordControl>(observer, options);
        control->SetDispatcher(m_ui);
        return control;
    }

    // The session's status block as the engine sees it.
    static QvSharedBlock Block(const char* address, const char* port)
    {
        return QvSharedBlock(QvStatusBlockName(address, port, ""), sizeof(QvStatusBlock));
    }

    qvtest::SettingsEnv m_env;
    bool m_private = m_env.UsePrivateRuntime();
    const fs::path m_videos = m_env.Root() / "videos";
    std::shared_ptr<qvplat::PumpedUiDispatcher> m_ui =
        std::make_shared<qvplat::PumpedUiDispatcher>();
    int m_launches = 0;
};

TEST_F(RecordControlTest, NothingStartsBeforeInitialize)
{
    RecordingObserver observer;
    auto control = MakeControl(observer);
    EXPECT_EQ(control->Start(), kQvRcNotInitialised);
    EXPECT_EQ(control->Stop(), kQvRcNotInitialised);
    EXPECT_EQ(m_launches, 0);
}

TEST_F(RecordControlTest, EngineThatDoesNotComeUpGivesMinus9)
{
    for (const char* mode : {"", "silent"}) {
        RecordingObserver observer;
        auto control = MakeControl(observer, mode);
        control->AddProp("Address", "239.1.2.3");
        control->AddProp("Port", "2010");
        ASSERT_EQ(control->Initialize(), kQvRcOk);
        EXPECT_EQ(control->Start(), kQvRcEngineNotStarted) << mode;
        EXPECT_TRUE(observer.started.empty());
    }
}

TEST_F(RecordControlTest, CaptureOfASessionGivenByAddressAndPort)
{
    // What a crashed engine leaves: the flag without the engine's lock.
    QvSharedBlock presence(kQvPresenceName, sizeof(QvPresenceBlock));
    QvStore(static_cast<QvPresenceBlock*>(presence.GetView())->running, 1);
    RecordingObserver observer;
    auto control = MakeControl(observer);
    control->AddProp("Address", "239.1.2.3");
    control->AddProp("Port", "1"); // a session the engine refuses
    control->AddProp("Filename", "take.mpg");
    ASSERT_EQ(control->Initialize(), kQvRcOk);
    const fs::path handOver = m_env.Root() / "windows" / QvRecordControl::kHandOverFile;
    EXPECT_EQ(control->Start(), kQvNoFreeSlot); // command 1's answer, not command 2's
    EXPECT_EQ(m_launches, 1);
    EXPECT_FALSE(fs::exists(handOver));

    control->AddProp("Port", "2010");
    ASSERT_EQ(control->Initialize(), kQvRcOk);
    ASSERT_EQ(control->Start(), kQvRcOk);
    EXPECT_EQ(m_launches, 1);
    EXPECT_EQ(observer.started, std::vector<std::int32_t>{kQvDefaultDuration});
    EXPECT_EQ(control->GetState(), 1); // the engine named the block as the control did
    QvPropertyList settings;
    ASSERT_EQ(settings.ReadProperties(QvRecordControl::kHandOverFile), 1);
    EXPECT_STREQ(settings.GetProperty("Path").chars(), m_videos.c_str());
    EXPECT_STREQ(settings.GetProperty("Filename").chars(), "take.mpg");
    EXPECT_EQ(control->Start(), kQvRcCapturing);

    ASSERT_EQ(control->Stop(), kQvRcOk);
    ASSERT_TRUE(m_ui->PumpUntil([&] { return !observer.completed.empty(); }, 60000));
    EXPECT_EQ(observer.completed, std::vector<std::int32_t>{kQvReasonStopped});
    EXPECT_EQ(observer.threads.front(), std::this_thread::get_id());
    EXPECT_EQ(observer.timerStops, 2); // by Stop and by the end
    EXPECT_EQ(control->Stop(), kQvRcFailed);

    // A second signal of the same end is not a second end.
    QvSharedBlock block = Block("239.1.2.3", "2010");
    block.Signal();
    ASSERT_EQ(control->Initialize(), kQvRcOk); // the old listener's thread has ended here
    m_ui->Pump();
    EXPECT_EQ(observer.completed.size(), 1u);
    EXPECT_EQ(m_launches, 1);
}

TEST_F(RecordControlTest, TwoControlsInTwoSessionsDoNotCrossFire)
{
    RecordingObserver first;
    RecordingObserver second;
    auto one = MakeControl(first);
    auto two = MakeControl(second);
    for (auto* control : {one.get(), two.get()}) {
        control->AddProp("Address", "239.1.2.3");
    }
    one->AddProp("Port", "2010");
    two->AddProp("Port", "2012");
    ASSERT_EQ(one->Initialize(), kQvRcOk);
    ASSERT_EQ(two->Initialize(), kQvRcOk);

    // The engine of the first session ends its capture.
    QvSharedBlock block = Block("239.1.2.3", "2010");
    QvStore(static_cast<QvStatusBlock*>(block.GetView())->stopReason, kQvReasonNormal);
    ASSERT_TRUE(block.Signal());
    ASSERT_TRUE(m_ui->PumpUntil([&] { return !first.completed.empty(); }, 60000));
    two->ReleaseSession(); // its listener's thread has ended here
    m_ui->Pump();
    EXPECT_EQ(first.completed, std::vector<std::int32_t>{kQvReasonNormal});
    EXPECT_TRUE(second.completed.empty());
}

TEST_F(RecordControlTest, EveryControlOfTheSessionHearsItsEnd)
{
    RecordingObserver capturing;
    RecordingObserver refused;
    RecordingObserver idle;
    auto one = MakeControl(capturing);
    auto two = MakeControl(refused);
    auto three = MakeControl(idle);
    for (auto* control : {one.get(), two.get(), three.get()}) {
        control->AddProp("Port", "2010");
        ASSERT_EQ(control->Initialize(), kQvRcOk);
    }
    ASSERT_EQ(one->Start(), kQvRcOk);
    EXPECT_EQ(two->Start(), kQvRcCapturing);

    ASSERT_EQ(one->Stop(), kQvRcOk);
    ASSERT_TRUE(m_ui->PumpUntil(
        [&] {
            return !capturing.completed.empty() && !refused.completed.empty() &&
                   !idle.completed.empty();
        },
        60000));
    for (const RecordingObserver* observer : {&capturing, &refused, &idle}) {
        EXPECT_EQ(observer->completed, std::vector<std::int32_t>{kQvReasonStopped});
    }
}

TEST_F(RecordControlTest, StopStraightAfterStartStopsTheCapture)
{
    RecordingObserver observer;
    auto control = MakeControl(observer, "starting"); // the capture never shows running
    control->AddProp("Port", "2010");
    ASSERT_EQ(control->Initialize(), kQvRcOk);
    ASSERT_EQ(control->Start(), kQvRcOk);
    EXPECT_EQ(control->Stop(), kQvRcOk);
    ASSERT_TRUE(m_ui->PumpUntil([&] { return !observer.completed.empty(); }, 60000));
    EXPECT_EQ(observer.completed, std::vector<std::int32_t>{kQvReasonStopped});
    EXPECT_EQ(control->Stop(), kQvRcFailed); // it has ended
}

TEST_F(RecordControlTest, EngineKilledMidCaptureEndsItAndTheNextStartLaunchesAnother)
{
    RecordingObserver observer;
    auto control = MakeControl(observer);
    control->AddProp("Port", "2010");
    ASSERT_EQ(control->Initialize(), kQvRcOk);
    ASSERT_EQ(control->Start(), kQvRcOk);
    ASSERT_EQ(control->GetState(), 1);
    QvSharedBlock presence(kQvPresenceName, sizeof(QvPresenceBlock));
    QvStore(static_cast<QvPresenceBlock*>(presence.GetView())->freeSlots, 0); // as the engine does
    const int engine = QvEngineInstance::HolderPid();
    ASSERT_GT(engine, 0);
    ASSERT_EQ(::kill(engine, SIGKILL), 0);

    ASSERT_TRUE(m_ui->PumpUntil([&] { return !observer.completed.empty(); }, 60000));
    EXPECT_EQ(observer.completed, std::vector<std::int32_t>{kQvReasonNoData});
    EXPECT_EQ(control->GetState(), 0);
    EXPECT_EQ(control->AvailableCaptureSlots(), 1);
    EXPECT_EQ(control->Stop(), kQvRcFailed);
    ASSERT_EQ(control->Start(), kQvRcOk);
    EXPECT_EQ(m_launches, 2);
    EXPECT_NE(QvEngineInstance::HolderPid(), engine);
}

TEST_F(RecordControlTest, RemovingTheLockFileMidCaptureNeitherEndsItNorStartsAnotherEngine)
{
    RecordingObserver observer;
    auto control = MakeControl(observer);
    control->AddProp("Port", "2010");
    ASSERT_EQ(control->Initialize(), kQvRcOk);
    ASSERT_EQ(control->Start(), kQvRcOk);
    qvplat::ProcessHandle engine;
    ASSERT_TRUE(QvEngineInstance::OpenHolder(engine));
    ASSERT_TRUE(fs::remove(QvEngineInstance::LockPath()));

    control->CheckEngine(); // the status timer's tick
    EXPECT_EQ(control->GetState(), 1);
    EXPECT_EQ(control->Start(), kQvRcCapturing);
    RecordingObserver otherObserver;
    auto other = MakeControl(otherObserver);
    other->AddProp("Port", "2012");
    ASSERT_EQ(other->Initialize(), kQvRcOk);
    other->Start(); // the running engine answers it
    EXPECT_EQ(m_launches, 1);
    qvtest::ChildProcess byHand; // finds the new lock file free, but the engine beating
    ASSERT_TRUE(byHand.Start({FAKE_ENGINE_PATH, "serve"}, (m_env.Root() / "hand.log").string()));
    EXPECT_EQ(byHand.WaitForExit(std::chrono::seconds(60)), 1);
    m_ui->Pump();
    EXPECT_TRUE(observer.completed.empty());

    // Nobody can name it by its lock file any more.
    ASSERT_TRUE(engine.Signal(SIGTERM));
    EXPECT_TRUE(engine.WaitForExit(60000));
}

TEST_F(RecordControlTest, StoppedEngineEndsTheCaptureForEveryControlOfTheSession)
{
    constexpr std::uint32_t silenceMs = 1500;
    RecordingObserver observer;
    RecordingObserver listening;
    auto control = MakeControl(observer, "serve", silenceMs);
    auto same = MakeControl(listening);
    for (auto* one : {control.get(), same.get()}) {
        one->AddProp("Port", "2010");
        ASSERT_EQ(one->Initialize(), kQvRcOk);
    }
    ASSERT_EQ(control->Start(), kQvRcOk);
    QvSharedBlock presence(kQvPresenceName, sizeof(QvPresenceBlock));
    QvStore(static_cast<QvPresenceBlock*>(presence.GetView())->freeSlots, 0); // as the engine does
    qvplat::ProcessHandle engine;
    ASSERT_TRUE(QvEngineInstance::OpenHolder(engine));
    ASSERT_TRUE(engine.Signal(SIGSTOP));
    const auto stopped = std::chrono::steady_clock::now();

    ASSERT_TRUE(m_ui->PumpUntil(
        [&] { return !observer.completed.empty() && !listening.completed.empty(); }, 60000));
    // Its last beat came at most one period before it stopped.
    EXPECT_GE(std::chrono::steady_clock::now() - stopped,
              std::chrono::milliseconds(silenceMs - QvEngineInstance::kPulsePeriodMs));
    EXPECT_EQ(observer.completed, std::vector<std::int32_t>{kQvReasonNoData});
    EXPECT_EQ(listening.completed, std::vector<std::int32_t>{kQvReasonNoData});
    EXPECT_EQ(control->GetState(), 0);
    EXPECT_EQ(control->AvailableCaptureSlots(), 1);
    EXPECT_TRUE(engine.WaitForExit(60000));
    EXPECT_EQ(control->Stop(), kQvRcFailed);
    ASSERT_EQ(control->Start(), kQvRcOk);
    EXPECT_EQ(m_launches, 2);
}

TEST_F(RecordControlTest, KillSignalsOnlyTheProcessThatHoldsTheEngineLock)
{
    qvtest::ChildProcess bystander;
    ASSERT_TRUE(bystander.Start({"sleep", "60"}, (m_env.Root() / "sleep.log").string()));
    const fs::path lock = QvEngineInstance::LockPath();
    const auto record = [&](const fs::path& path, int pid) {
        std::ofstream(path, std::ios::trunc) << pid << "\n";
    };
    record(lock, bystander.Pid()); // nobody holds the lock
    EXPECT_FALSE(QvEngineInstance::TerminateHolder());

    RecordingObserver observer;
    auto control = MakeControl(observer);
    control->AddProp("Port", "2010");
    ASSERT_EQ(control->Initialize(), kQvRcOk);
    ASSERT_EQ(control->Start(), kQvRcOk);
    qvplat::ProcessHandle engine;
    ASSERT_TRUE(QvEngineInstance::OpenHolder(engine));
    record(lock, bystander.Pid()); // the engine holds it, the record names another
    EXPECT_FALSE(QvEngineInstance::TerminateHolder());
    record(lock, engine.Pid());
    const fs::path moved = lock.string() + ".moved";
    fs::rename(lock, moved);
    fs::create_symlink(moved, lock); // a link to the engine's own lock file
    EXPECT_FALSE(QvEngineInstance::TerminateHolder());
    QvEngineInstance second; // nor does an engine open its lock through a link
    EXPECT_EQ(second.Acquire(0), QvEngineInstance::Result::Failed);
    EXPECT_FALSE(engine.HasExited());

    fs::remove(lock);
    fs::rename(moved, lock);
    ASSERT_TRUE(QvEngineInstance::TerminateHolder());
    EXPECT_TRUE(engine.WaitForExit(60000));
    EXPECT_FALSE(bystander.WaitForExit(std::chrono::milliseconds(0)));
}

TEST_F(RecordControlTest, PagePathOutsideTheCaptureDirectoryIsRefusedBeforeLaunching)
{
    fs::create_directories(m_videos / "sub");
    fs::create_symlink("/etc", m_videos / "elsewhere");
    const std::string videos = m_videos.string();
    const struct
    {
        std::string path; // "": not set by the page
        const char* filename;
        int result;
    } cases[] = {
        {"", "x.mpg", kQvRcEngineNotStarted}, // inside: it goes on to the launch
        {videos + "/sub", "x.mpg", kQvRcEngineNotStarted},
        {"", "/tmp/x.mpg", kQvRcOutsideCaptureDir},
        {"", "..\\x.mpg", kQvRcOutsideCaptureDir},
        {videos + "/sub/..", "x.mpg", kQvRcOutsideCaptureDir},
        {"/etc", "passwd", kQvRcOutsideCaptureDir},
        {videos + "/elsewhere", "passwd", kQvRcOutsideCaptureDir},
        {"c:\\", "x.mpg", kQvRcOutsideCaptureDir},
    };
    for (const auto& c : cases) {
        RecordingObserver observer;
        auto control = MakeControl(observer, "");
        control->AddProp("Port", "2010");
        if (!c.path.empty()) {
            control->AddProp("Path", c.path);
        }
        control->AddProp("Filename", c.filename);
        ASSERT_EQ(control->Initialize(), kQvRcOk);
        const int launches = m_launches;
        EXPECT_EQ(control->Start(), c.result) << c.path << " " << c.filename;
        EXPECT_EQ(m_launches - launches, c.result == kQvRcOutsideCaptureDir ? 0 : 1);
    }
}

// However a page spells Path or Filename, the check sees what the engine
// reads back from the hand-over file: a target outside the capture
// directory is refused, one inside goes on (here to a launch that fails).
TEST_F(RecordControlTest, PageTargetIsCheckedUnderEverySpellingTheEngineReads)
{
    const std::string victim = (m_env.Root() / "victim.txt").string();
    const std::string inside = (m_videos / "x.mpg").string();
    const struct
    {
        const char* name;
        std::string value;
        int result;         // of Start; of AddProp when it refuses the name
        std::string target; // the file the engine would write
    } cases[] = {
        {"Filename ", victim, kQvRcOutsideCaptureDir, victim},
        {" Filename", victim, kQvRcOutsideCaptureDir, victim},
        {"Filename\t", victim, kQvRcOutsideCaptureDir, victim},
        {"FILENAME ", victim, kQvRcOutsideCaptureDir, victim},
        {"filename", victim, kQvRcOutsideCaptureDir, victim},
        {"\r\nFilename\n", " " + victim + "\t", kQvRcOutsideCaptureDir, victim},
        {"Filename=", victim, kQvRcOutsideCaptureDir, "=" + victim},
        {" path\t", "/etc", kQvRcOutsideCaptureDir, "/etc/x.mpg"},
        {"Filename ", " x.mpg ", kQvRcEngineNotStarted, inside},
        {"[Filename", victim, kQvRcFailed, inside},
        {";Filename", victim, kQvRcFailed, inside},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(testing::Message() << '"' << c.name << "\" = \"" << c.value << '"');
        RecordingObserver observer;
        auto control = MakeControl(observer, "");
        control->AddProp("Port", "2010");
        control->AddProp("Filename", "x.mpg");
        ASSERT_EQ(control->AddProp(c.name, c.value), c.result == kQvRcFailed ? c.result : 0);
        ASSERT_EQ(control->Initialize(), kQvRcOk);
        const int launches = m_launches;
        if (c.result != kQvRcFailed) {
            EXPECT_EQ(control->Start(), c.result);
            EXPECT_EQ(m_launches - launches, c.result == kQvRcOutsideCaptureDir ? 0 : 1);
        }
        const std::string file = (m_env.Root() / "handover.ini").string();
        ASSERT_EQ(control->EngineSettings().WriteProperties(file.c_str()), 1);
        QvPropertyList read;
        ASSERT_EQ(read.ReadProperties(file.c_str()), 1);
        const UtCString target =
            QvCaptureTargetName(read.GetProperty("Filename"), read.GetProperty("Path"));
        EXPECT_EQ(qvplat::MapPath(target.chars()), c.target);
    }
}

TEST_F(RecordControlTest, SettingsDialogMergesItsThreeKeysAndCancelKeepsTheDuration)
{
    const fs::path ownSettings = m_env.Root() / "windows" / QvRecordControl::kOwnSettings;
    fs::create_directories(ownSettings.parent_path());
    const std::string original = "[QV]\nKeep=1\nDefaultDuration=60\n";
    std::ofstream(ownSettings) << original;
    RecordingObserver observer;
    auto control = MakeControl(observer);
    control->OnWindowCreated();
    control->AddProp("Port", "2010");
    control->AddProp("Filename", "page.mpg");
    ASSERT_EQ(control->Initialize(), kQvRcOk);
    EXPECT_EQ(control->GetDuration(), 60); // a new block takes DefaultDuration

    std::vector<QvRecordControl::CaptureSettings> shown;
    const auto dialog = [&](std::optional<QvRecordControl::CaptureSettings> entered) {
        return [&shown, entered](const QvRecordControl::CaptureSettings& values) {
            shown.push_back(values);
            return entered;
        };
    };
    EXPECT_EQ(control->EditCaptureSettings(dialog(std::nullopt)), 0); // Cancel
    EXPECT_EQ(control->GetDuration(), 60);
    EXPECT_EQ(qvtest::ReadAll(ownSettings.string()),
              qvtest::Bytes(original.begin(), original.end()));
    EXPECT_EQ(control->EditCaptureSettings(dialog({{"/srv/caps", "mine.mpg", "90"}})), 0);
    EXPECT_EQ(control->GetDuration(), 90);
    QvPropertyList file;
    ASSERT_EQ(file.ReadProperties(QvRecordControl::kOwnSettings), 1);
    EXPECT_STREQ(file.GetPropertyString().chars(),
                 "KEEP=1 DEFAULTDURATION=90 PATH=/srv/caps FILENAME=mine.mpg ");
    EXPECT_EQ(control->CaptureDirectory(), "/srv/caps");
    control->EditCaptureSettings(dialog(std::nullopt));

    ASSERT_EQ(shown.size(), 3u);
    EXPECT_EQ(shown[0].filename, "page.mpg"); // the page's value
    EXPECT_EQ(shown[0].duration, "60");
    EXPECT_EQ(shown[2].filename, "mine.mpg"); // now over the page's
}

TEST_F(RecordControlTest, SessionTextTooLongForTheChannelFailsInitialize)
{
    RecordingObserver observer;
    auto control = MakeControl(observer);
    control->AddProp("SDP", "v=0\ns=" + std::string(kQvChannelDataSize, 'x') + "\n");
    EXPECT_EQ(control->Initialize(), kQvRcFailed);
    EXPECT_FALSE(control->IsInitialized());
}

TEST(StatusViewTest, ShowsAnyStatusFields)
{
    const struct
    {
        std::int32_t duration;
        std::int32_t elapsed;
        double bytes;
        int range;
        int position;
        const char* time;
        const char* megabytes;
    } cases[] = {
        {3600, 90061, 1572864.0, 3600, 3600, "01:01:01", "1.5 MB"}, // hours modulo 24
        {40000, 36000, 0.0, 40000, 36000, "10:00:00", "0.0 MB"},    // past 16 bits
        {0, -5, -1.0, 1, 0, "00:00:00", "0.0 MB"},
        {-7, INT32_MAX, std::nan(""), 1, 1, "03:14:07", "0.0 MB"},
        {10, 3, 1e300, 10, 3, "00:00:03", "953674316406.2 MB"},
    };
    for (const auto& c : cases) {
        QvStatusView view;
        view.Start(c.duration);
        EXPECT_TRUE(view.IsStopEnabled());
        QvStatusBlock status{};
        status.elapsed = c.elapsed;
        status.bytesCaptured = c.bytes;
        view.Tick(status);
        EXPECT_EQ(view.GetRange(), c.range) << c.elapsed;
        EXPECT_EQ(view.GetPosition(), c.position) << c.elapsed;
        EXPECT_EQ(view.GetTimeText(), c.time) << c.elapsed;
        EXPECT_EQ(view.GetBytesText(), c.megabytes) << c.elapsed;
    }
}

} // namespace
