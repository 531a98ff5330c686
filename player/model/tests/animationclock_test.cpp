// The background animation of the control and the frame: which picture it
// loads and how its timer turns the images.
#include "player/model/animationclock.h"

#include "platform/testsupport/tempfiles.h"
#include "player/gif/gifresources.h"
#include "player/model/playerids.h"

#include <gtest/gtest.h>

#include <map>
#include <vector>

using player::BackgroundAnimation;

namespace {

constexpr int kTimer = 100;

struct FakeTimers : player::TimerHost
{
    void StartTimer(int id, int ms) override { running[id] = ms; }
    void KillTimer(int id) override { running.erase(id); }
    std::map<int, int> running;
};

qvtest::Bytes ResourceBytes(const char* name)
{
    const GifResource* resource = FindGifResource(name);
    return resource == nullptr ? qvtest::Bytes{}
                               : qvtest::Bytes(resource->data, resource->data + resource->size);
}

std::size_t FrameCount(const char* resource)
{
    CGifImage gif;
    gif.LoadResource(resource);
    return gif.GetFrameCount();
}

// One 1x1 image.
const qvtest::Bytes kSingleImage = {0x47, 0x49, 0x46, 0x38, 0x39, 0x61, 0x01, 0x00, 0x01,
                                    0x00, 0x80, 0x00, 0x00, 0x00, 0x00, 0x00, 0xFF, 0xFF,
                                    0xFF, 0x2C, 0x00, 0x00, 0x00, 0x00, 0x01, 0x00, 0x01,
                                    0x00, 0x00, 0x02, 0x02, 0x44, 0x01, 0x00, 0x3B};

} // namespace

TEST(BackgroundAnimationTest, LoadsTheNamedGifElseTheBuiltInOne)
{
    qvtest::TempDir dir;
    ASSERT_TRUE(dir.Valid());
    const std::string wait = dir.Write("wait.gif", ResourceBytes("GIFWAIT"));
    const std::string text = dir.Write("logo.gif", {'n', 'o', 't', ' ', 'a', ' ', 'g', 'i', 'f'});
    ASSERT_NE(FrameCount("GIFWAIT"), FrameCount("GIFBACKGROUND"));

    const struct
    {
        const char* what;
        std::string file;
        std::size_t frames;
    } cases[] = {
        {"no file", "", FrameCount("GIFBACKGROUND")},
        {"a GIF file", wait, FrameCount("GIFWAIT")},
        {"a missing file", dir.File("missing.gif"), FrameCount("GIFBACKGROUND")},
        {"a file that is no GIF", text, FrameCount("GIFBACKGROUND")},
    };
    for (const auto& c : cases) {
        FakeTimers timers;
        BackgroundAnimation animation(kTimer);
        EXPECT_TRUE(animation.Load(timers, c.file)) << c.what;
        EXPECT_EQ(animation.Image().GetFrameCount(), c.frames) << c.what;
        EXPECT_EQ(timers.running, (std::map<int, int>{{kTimer, player::kAnimationStartMs}}))
            << c.what;
    }
}

TEST(BackgroundAnimationTest, TicksTurnTheImagesOnlyWhileStopped)
{
    FakeTimers timers;
    BackgroundAnimation animation(kTimer);
    ASSERT_TRUE(animation.Load(timers));
    const CGifImage& gif = animation.Image();
    const std::size_t count = gif.GetFrameCount();
    ASSERT_GT(count, 1u);

    // While something plays the timer fires without effect.
    EXPECT_FALSE(animation.OnTimer(timers, false));
    EXPECT_EQ(timers.running[kTimer], player::kAnimationStartMs);

    std::vector<std::size_t> shown;
    for (std::size_t i = 0; i < count + 2; ++i) {
        EXPECT_TRUE(animation.OnTimer(timers, true));
        shown.push_back(animation.Shown());
        EXPECT_EQ(timers.running[kTimer], static_cast<int>(gif.GetIntervalMs(animation.Shown())));
    }
    EXPECT_EQ(shown[0], 0u);
    EXPECT_EQ(shown[count - 1], count - 1);
    EXPECT_EQ(shown[count], 0u) << "wraps to the first image";
    EXPECT_EQ(shown[count + 1], 1u);
}

TEST(BackgroundAnimationTest, ASingleImageIsShownOnceAndTheTimerStops)
{
    qvtest::TempDir dir;
    FakeTimers timers;
    BackgroundAnimation animation(kTimer);
    ASSERT_TRUE(animation.Load(timers, dir.Write("one.gif", kSingleImage)));
    ASSERT_EQ(animation.Image().GetFrameCount(), 1u);

    EXPECT_TRUE(animation.OnTimer(timers, true));
    EXPECT_EQ(animation.Shown(), 0u);
    EXPECT_TRUE(timers.running.empty());
}
