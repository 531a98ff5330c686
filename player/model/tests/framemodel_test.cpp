// The frame's Play, Pause and Stop with their toolbar states, its
// reactions to stream messages and the commands that change the settings.
#include "player_fakes_helpers.h"

#include "player/model/framemodel.h"

#include "platform/tests/settings_env.h"

#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>

namespace {

using namespace player;
using playertest::FakeController;
using playertest::FakeFrame;

class FrameModelTest : public ::testing::Test
{
protected:
    FrameModelTest()
    {
        context.controller = &controller;
        context.masks = {kStartupShown, kStartupEnabled, kStartupPresent};
        context.properties.AddProperties("Filename=/tmp/a.mpg");
        model.OnCreate();
    }

    QvPlayerContext context;
    FakeController controller;
    FakeFrame frame;
    FrameModel model{context, frame};
};

TEST_F(FrameModelTest, ToolbarFollowsStartPlayPauseResumeAndStop)
{
    // "+" shown and enabled, "-" shown but disabled, "." hidden: Play, Pause, Stop.
    EXPECT_EQ(frame.Transport(), "+.-");
    EXPECT_FALSE(frame.enabled[ID_SNAPSHOT]);
    EXPECT_FALSE(frame.enabled[ID_CAPTURE]);
    EXPECT_FALSE(frame.shown[ID_COLOR]);
    EXPECT_FALSE(frame.shown[ID_EMBED]);
    EXPECT_TRUE(frame.shown[ID_POPUP] && frame.enabled[ID_CHANNELS] && frame.enabled[ID_VOLUME]);
    EXPECT_EQ(context.toolbarHeight, 30);
    EXPECT_EQ(frame.timers[kFrameMessageTimer], 500);

    const struct
    {
        void (FrameModel::*step)();
        int message; // a stream message after the step, 0 for none
        const char* transport;
        int playState;
    } steps[] = {
        {&FrameModel::OnPlay, 0, ".-+", 2},  // Pause waits for the stream
        {nullptr, 1, ".++", 2},              // playing
        {&FrameModel::OnPause, 0, "+.+", 1}, //
        {&FrameModel::OnPlay, 0, "+.+", 2},  // resuming leaves the toolbar
        {&FrameModel::OnStop, 0, "+.-", 0},  //
    };
    for (const auto& step : steps) {
        if (step.step != nullptr) {
            (model.*step.step)();
        }
        if (step.message != 0) {
            model.OnStreamMessage(step.message);
        }
        EXPECT_EQ(frame.Transport(), step.transport);
        EXPECT_EQ(context.playState, step.playState);
    }
    EXPECT_EQ(controller.calls,
              (std::vector<std::string>{"Initialize", "Play", "Pause", "Play", "Stop",
                                        "UnInitialize"}));
    EXPECT_EQ(controller.initRect, (PlayerRect{0, 0, 320, 210}));
    EXPECT_EQ(controller.queue, &context.streamMessages);
    EXPECT_EQ(frame.timers[kFrameLowerTimer], 1000);
}

TEST_F(FrameModelTest, AFailedInitializationLeavesTheToolbarAndTheStateAndSaysSo)
{
    controller.failInitialize = true;
    model.OnPlay();
    EXPECT_EQ(frame.messages, std::vector<std::string>{"Stream initialization failed."});
    EXPECT_EQ(frame.Transport(), "+.-");
    EXPECT_EQ(context.playState, 0);
    model.OnPause();
    model.OnStop();
    EXPECT_EQ(controller.calls, std::vector<std::string>{"Initialize"});

    // No controller at all: nothing happens, nothing fails.
    context.controller = nullptr;
    model.OnPlay();
    model.OnStop();
    model.OnStreamMessage(65);
    EXPECT_EQ(frame.Transport(), "+.-");
}

TEST_F(FrameModelTest, ReactionsToStreamMessages)
{
    const struct
    {
        int number;
        bool initialized;
        const char* animation; // shown afterwards, "" hidden
        std::vector<int> posted;
        bool pauseEnabled;
    } cases[] = {
        {17, true, "GIFWAIT", {}, false},
        {33, true, "GIFDETECT", {}, false},
        {49, true, "GIFSTART", {}, false},
        {1, true, "", {}, true},
        {20, true, "", {ID_STOP}, false},
        {36, true, "", {ID_STOP}, false},
        {65, true, "", {ID_STOP, ID_PLAY}, false},
        {65, false, "", {}, false},
        {2, true, "", {}, false},
        {3, true, "", {}, false},
        {99, true, "", {}, false},
    };
    for (const auto& c : cases) {
        frame.animation.clear();
        frame.posted.clear();
        context.masks.Disable(kBitPause, &frame);
        controller.initialized = c.initialized;
        model.OnStreamMessage(c.number);
        EXPECT_EQ(frame.animation, c.animation) << c.number;
        EXPECT_EQ(context.animationVisible, *c.animation != '\0') << c.number;
        if (*c.animation != '\0') {
            EXPECT_EQ(context.animationName, c.animation);
        }
        EXPECT_EQ(frame.posted, c.posted) << c.number;
        EXPECT_EQ(frame.enabled[ID_PAUSE], c.pauseEnabled) << c.number;
        context.animationVisible = false;
    }
    // A stop hides a waiting animation for good: a later frame does not
    // bring it back.
    model.OnPlay();
    model.OnStreamMessage(17);
    model.OnStop();
    EXPECT_FALSE(context.animationVisible);
    EXPECT_EQ(frame.animation, "");
}

// Waiting again because the stream that came cannot be decoded: the user
// is told once per Play, however often the stream comes back.
TEST_F(FrameModelTest, AnUndecodableStreamIsReportedOncePerPlay)
{
    model.OnPlay();
    model.OnStreamMessage(17);
    EXPECT_TRUE(frame.messages.empty());
    for (int i = 0; i < 2; ++i) {
        model.OnStreamMessage(17, FrameModel::kUndecodableValue);
        EXPECT_EQ(frame.animation, "GIFWAIT");
    }
    EXPECT_EQ(frame.messages, std::vector<std::string>{"Decoder cannot render the stream."});
    model.OnStop();
    model.OnPlay();
    model.OnStreamMessage(17, FrameModel::kUndecodableValue);
    EXPECT_EQ(frame.messages.size(), 2u);
}

TEST_F(FrameModelTest, TimersDrainTheMessagesThenLowerTheVideo)
{
    struct Recorder : QvMessage
    {
        void HandleMessage(QvMessage* message) override { seen.push_back(message); }
        std::vector<QvMessage*> seen;
    } recorder;
    context.streamMessages.Send(new QvMessage);
    context.streamMessages.Send(new QvMessage);
    model.OnTimer(kFrameMessageTimer, &recorder);
    EXPECT_EQ(recorder.seen.size(), 2u);
    EXPECT_EQ(context.streamMessages.Count(), 0);
    EXPECT_EQ(controller.calls.back(), "Periodic");

    model.OnPlay();
    model.OnTimer(kFrameLowerTimer, &recorder);
    EXPECT_EQ(controller.calls.back(), "LowerWindow");
    EXPECT_EQ(frame.timers.count(kFrameLowerTimer), 0u);
}

TEST_F(FrameModelTest, ChosenAndDroppedFilesChangeTheSettingsAndRestart)
{
    qvtest::SettingsEnv env;
    context.properties.AddProperties("Address=239.1.1.1 Port=5000 SDP=x");
    model.OnPlay();
    model.OnFileChosen("/media/clip one.mpg");
    EXPECT_EQ(std::string(context.properties.GetProperty("Filename").chars()),
              "/media/clip one.mpg");
    EXPECT_FALSE(context.properties.Defined("Address"));
    EXPECT_FALSE(context.properties.Defined("Port"));
    EXPECT_EQ(context.playState, 2);

    const auto settings = env.Root() / "stream.qsl";
    std::ofstream(settings) << "[QV]\nSDP=v=0\nPort=6000\n";
    const auto clip = env.Root() / "clip.bin";
    std::ofstream(clip, std::ios::binary) << std::string("\0\x01\xff[Q", 5) << "junk\n";

    // Every dropped file restarts the player; only a settings section
    // changes what it plays. A name too long to take whole changes nothing.
    const std::vector<std::string> restart = {"Stop", "UnInitialize", "Initialize", "Play"};
    struct Case
    {
        std::string path;
        bool restarts;
        int port;
    };
    for (const Case& c : {
             Case{clip.string(), true, 0},
             Case{(env.Root() / "gone").string(), true, 0},
             Case{"/" + std::string(FrameModel::kMaxDroppedPath, 'x'), false, 0},
             Case{settings.string(), true, 6000},
         }) {
        SCOPED_TRACE(c.path.substr(0, 80));
        controller.calls.clear();
        EXPECT_EQ(model.OnFileDropped(c.path), c.restarts);
        EXPECT_EQ(controller.calls, c.restarts ? restart : std::vector<std::string>{});
        EXPECT_EQ(context.properties.GetIntProperty("Port"), c.port);
        EXPECT_EQ(std::string(context.properties.GetProperty("Filename").chars()),
                  "/media/clip one.mpg");
        EXPECT_EQ(context.playState, 2);
    }
}

TEST_F(FrameModelTest, WindowModeButtonsAndToolbarToggle)
{
    model.OnPopupCommand();
    EXPECT_TRUE(frame.shown[ID_EMBED]);
    EXPECT_FALSE(frame.shown[ID_POPUP]);
    model.OnEmbedCommand();
    EXPECT_FALSE(frame.shown[ID_EMBED]);
    EXPECT_TRUE(frame.shown[ID_POPUP]);

    model.OnPlay();
    context.toolbarShown = true;
    model.OnToggleToolbar();
    EXPECT_FALSE(context.toolbarShown);
    EXPECT_EQ(controller.calls.back(), "MoveWindow");
}

} // namespace
