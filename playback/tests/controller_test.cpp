// The controller and the file stream control over fake graphs and windows:
// initialisation, the file's states and messages, fitting the video into
// the window, the volume mapping.
#include "playback_test_helpers.h"

#include "playback/qvfilectl.h"
#include "playback/qvstreammsg.h"

#include <gtest/gtest.h>

namespace {

using qvtest::Drain;
using qvtest::FakeServices;
using Messages = std::vector<int>;

struct Host
{
    explicit Host(const char* settingsText = "Filename=clip.mpg")
    {
        settings.SetProperties(settingsText);
    }
    bool Init() { return controller.Initialize({0, 0, 330, 330}, &frame, &settings, &queue); }
    Messages Periodic()
    {
        controller.Periodic();
        return Drain(queue);
    }

    // The host's windows and queue outlive the controller.
    qvtest::FakeWnd frame;
    QvPropertyList settings;
    QvMessageQueue queue;
    std::shared_ptr<FakeServices> services = std::make_shared<FakeServices>();
    QvAMovController controller{services};
};

TEST(Controller, InitializeChoosesTheModeOrFails)
{
    struct Case
    {
        const char* settings;
        bool refuseWindow;
        bool ok;
        int mode;
    };
    for (const Case& c : {
             Case{"Filename=a.mpg SDP=x VideoSink=fakesink", false, true, QvAMovData::kModeFile},
             Case{"Port=2001", false, true, QvAMovData::kModeLive},
             Case{"SDP=v=0", false, true, QvAMovData::kModeLive},
             Case{"Filename=\"\"", false, false, QvAMovData::kModeNone},
             Case{"", false, false, QvAMovData::kModeNone},
             Case{"Filename=a.mpg", true, false, QvAMovData::kModeNone},
         }) {
        SCOPED_TRACE(c.settings);
        Host host(c.settings);
        host.frame.refuse = c.refuseWindow;
        EXPECT_EQ(host.controller.GetQvInterface("IStreamControl"), nullptr);
        EXPECT_EQ(host.Init(), c.ok);
        EXPECT_EQ(host.controller.mode, c.mode);
        EXPECT_EQ(host.controller.IsInitialized(), c.ok);
        EXPECT_EQ(host.frame.made != nullptr, c.ok) << "no window is left behind";
        EXPECT_EQ(host.controller.GetQvInterface("IStreamControl") != nullptr, c.ok);
        if (!c.ok) {
            EXPECT_EQ(host.controller.GetStreamState(), 0);
            EXPECT_EQ(host.controller.Play(), -1);
            continue;
        }
        EXPECT_FALSE(host.Init()) << "initialised already";
        host.controller.UnInitialize();
        EXPECT_EQ(host.frame.made, nullptr);
        EXPECT_EQ(host.controller.GetQvInterface("IStreamControl"), nullptr);
    }
    Host host;
    EXPECT_FALSE(host.controller.Initialize({}, &host.frame, nullptr, &host.queue));
    Host sinks("Filename=a.mpg VideoSink=fakesink");
    sinks.settings.SetProperty("AudioSink", "fakeaudiosink sync=true");
    ASSERT_TRUE(sinks.Init());
    sinks.controller.Play();
    EXPECT_EQ(sinks.services->sinks.video, "fakesink");
    EXPECT_EQ(sinks.services->sinks.audio, "fakeaudiosink sync=true");
}

TEST(FileControl, PlaysPausesResumesAndEnds)
{
    for (const bool repeat : {true, false}) {
        SCOPED_TRACE(repeat ? "Repeat" : "no Repeat");
        Host host(repeat ? "Filename=clip.mpg" : "Filename=clip.mpg Repeat=0");
        ASSERT_TRUE(host.Init());
        QvAMovController& c = host.controller;
        EXPECT_EQ(c.Pause(), -1);
        EXPECT_EQ(c.Play(), 0);
        EXPECT_EQ(Drain(host.queue), (Messages{49, 1}));
        EXPECT_EQ(c.GetStreamState(), 2);
        EXPECT_EQ(c.Play(), -1);
        EXPECT_EQ(c.GetLength(), 4.0);
        EXPECT_EQ(c.Pause(), 0);
        EXPECT_TRUE(host.services->Last().paused);
        EXPECT_EQ(c.Play(), 0);
        EXPECT_EQ(Drain(host.queue), (Messages{2, 1}));
        EXPECT_EQ(host.services->records.size(), 1u) << "resumed, not rebuilt";
        EXPECT_TRUE(host.services->Last().running);

        host.services->Last().events.push_back(qvplat::MediaEvent::Complete);
        EXPECT_EQ(host.Periodic(), repeat ? (Messages{65, 1}) : (Messages{3}));
        EXPECT_EQ(c.GetStreamState(), repeat ? 1 : 2);
        EXPECT_EQ(c.Stop(), 0);
        EXPECT_EQ(Drain(host.queue), (Messages{3}));
        EXPECT_FALSE(host.services->Last().alive);
        EXPECT_EQ(c.GetPosition(), 0.0);
        EXPECT_EQ(c.Stop(), -1);
        EXPECT_TRUE(Drain(host.queue).empty());
    }
}

TEST(FileControl, AFileThatCannotPlayEndsStopped)
{
    for (const auto failure : {FakeServices::Failure::Graph, FakeServices::Failure::Render}) {
        Host host;
        host.services->failure = failure;
        ASSERT_TRUE(host.Init());
        EXPECT_EQ(host.controller.Play(), 0);
        EXPECT_EQ(Drain(host.queue), (Messages{49, 3}));
        EXPECT_EQ(host.controller.GetStreamState(), 0);
        EXPECT_TRUE(host.services->records.empty() || !host.services->Last().alive);
    }
    Host longName;
    longName.settings.SetProperty("Filename", UtCString(std::string(300, 'a').c_str()));
    ASSERT_TRUE(longName.Init());
    longName.controller.Play();
    EXPECT_EQ(Drain(longName.queue), (Messages{49, 3}));
}

// The video's place in the window: the client area less the border, fitted
// to the picture's aspect ratio.
TEST(Controller, FitsTheVideoIntoTheWindow)
{
    struct Case
    {
        int videoWidth, videoHeight, clientWidth, clientHeight;
        const char* settings;
        qvplat::VideoRect expected;
        int sourceTop = 1; // ShowLine1 off cuts the first line when the aspect is kept
    };
    for (const Case& c : {
             Case{320, 160, 330, 330, "", {5, 85, 320, 160}},
             Case{352, 576, 330, 330, "", {5, 34, 320, 261}}, // fitted as 352x288
             Case{0, 0, 330, 330, "", {5, 5, 320, 320}},      // no picture size
             Case{320, 240, 8, 8, "", {5, 5, 0, 0}},          // smaller than the borders
             Case{320, 240, 330, 330, "KeepAspectRatio=0", {5, 5, 320, 320}, 0},
             Case{320, 240, 330, 250, "BorderWidth=0", {0, 1, 330, 247}},
         }) {
        SCOPED_TRACE(testing::Message() << c.videoWidth << "x" << c.videoHeight << " in "
                                        << c.clientWidth << "x" << c.clientHeight << " "
                                        << c.settings);
        Host host;
        host.settings.AddProperties(c.settings);
        host.services->width = c.videoWidth;
        host.services->height = c.videoHeight;
        ASSERT_TRUE(host.Init());
        host.controller.Play();
        host.controller.MoveWindow({0, 0, c.clientWidth, c.clientHeight});
        EXPECT_EQ(host.services->Last().rect, c.expected);
        EXPECT_EQ(host.services->Last().sourceTop, c.sourceTop);
    }
}

TEST(Controller, VideoWindowFollowsTheHost)
{
    Host host("Filename=clip.mpg ShowLine1=1");
    ASSERT_TRUE(host.Init());
    qvtest::FakeWnd other;
    host.controller.SetFrame(&other); // no graph yet: only stored
    EXPECT_EQ(host.frame.made->drain, nullptr);
    host.controller.Play();
    EXPECT_EQ(host.services->Last().owner, host.controller.GetDisplayWindow());
    EXPECT_EQ(host.frame.made->drain, &other);
    EXPECT_EQ(host.services->Last().sourceTop, 0);
    host.controller.SetFrame(&host.frame);
    EXPECT_EQ(host.frame.made->drain, &host.frame);
    host.controller.SetDisplayMode(1);
    EXPECT_TRUE(host.services->Last().fullScreen);
    host.controller.SetDisplayMode(0);
    EXPECT_FALSE(host.services->Last().fullScreen);

    // The window goes with its parent: the stream stops first.
    Drain(host.queue);
    delete host.frame.made;
    EXPECT_EQ(Drain(host.queue), (Messages{3}));
    EXPECT_FALSE(host.services->Last().alive);
    EXPECT_EQ(host.services->Last().owner, nullptr);
    EXPECT_EQ(host.controller.GetDisplayWindow(), nullptr);
}

TEST(Controller, VolumeMapping)
{
    Host host;
    ASSERT_TRUE(host.Init());
    EXPECT_EQ(host.controller.GetVolume(), 100) << "no graph: full volume";
    host.controller.SetVolume(30);
    EXPECT_EQ(host.controller.GetVolume(), 30) << "no graph: the last value set";
    host.controller.Play();
    EXPECT_EQ(host.services->Last().level, QvIStreamControl::VolumeToLevel(30));
    for (const auto& [volume, level] :
         {std::pair{100, -9L}, {0, -10000L}, {50, -316L}, {150, -9L}, {-5, -10000L}}) {
        host.controller.SetVolume(volume);
        EXPECT_EQ(host.services->Last().level, level) << volume;
    }
    for (const auto& [level, volume] : {std::pair{-316L, 50}, {-9L, 101}, {-10000L, 0}, {0L, 100}}) {
        host.services->Last().level = level;
        EXPECT_EQ(host.controller.GetVolume(), volume) << level;
    }
    Host silent;
    silent.services->audio = false;
    ASSERT_TRUE(silent.Init());
    silent.controller.Play();
    silent.controller.SetVolume(40);
    EXPECT_EQ(silent.controller.GetVolume(), 40) << "no audio: the last value set";
}

TEST(StreamMessage, NumbersWithoutAHookGoToUnknownMessage)
{
    struct Recorder : QvStreamMessage
    {
        void EndOfStream(unsigned long) override { hook = "EndOfStream"; }
        void RepeatPlay(unsigned long) override { hook = "RepeatPlay"; }
        void UnknownMessage(unsigned long) override { hook = "UnknownMessage"; }
        std::string hook;
    } recorder;
    for (const auto& [number, hook] : std::vector<std::pair<int, std::string>>{
             {20, "EndOfStream"}, {65, "RepeatPlay"}, {4, "UnknownMessage"}}) {
        QvStreamMessage message(number, 0);
        recorder.HandleMessage(&message);
        EXPECT_EQ(recorder.hook, hook) << number;
    }
}

} // namespace
