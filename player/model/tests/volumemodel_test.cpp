// The volume dialog: trackbar top is loud, pages of 10 within 0..100,
// dragging, and muting that keeps the stored volume.
#include "player_fakes_helpers.h"

#include "player/model/volumemodel.h"

#include <gtest/gtest.h>

namespace {

using player::VolumeModel;
using Scroll = VolumeModel::Scroll;
using playertest::FakeController;

TEST(VolumeDialog, ScrollingWithinTheLimits)
{
    const struct
    {
        int start;
        Scroll kind;
        int position; // of the notification
        int volume;   // afterwards
        int moveTo;   // the trackbar's new position, -1 none
    } cases[] = {
        {70, Scroll::PageUp, 30, 80, 20},     {95, Scroll::PageUp, 5, 100, 0},
        {100, Scroll::PageUp, 0, 100, 0},     {15, Scroll::PageDown, 85, 5, 95},
        {5, Scroll::PageDown, 95, 0, 100},    {50, Scroll::ThumbTrack, 0, 100, -1},
        {50, Scroll::ThumbTrack, 100, 0, -1}, {50, Scroll::ThumbTrack, 37, 63, -1},
        {50, Scroll::Other, 10, 50, -1},
    };
    for (const auto& c : cases) {
        QvPlayerContext context;
        FakeController controller;
        controller.volume = c.start;
        context.controller = &controller;
        VolumeModel dialog(&context);
        EXPECT_EQ(dialog.OnInit().position, 100 - c.start);
        EXPECT_EQ(dialog.OnScroll(c.kind, c.position), c.moveTo) << c.start << " " << c.position;
        EXPECT_EQ(context.volume, c.volume) << c.start << " " << c.position;
        EXPECT_EQ(controller.volume, c.volume);
        EXPECT_EQ(dialog.LastApplied(), c.volume);
    }
}

TEST(VolumeDialog, MuteCloseReopenAndUnmuteRestoresTheVolume)
{
    QvPlayerContext context;
    FakeController controller;
    controller.volume = 60;
    context.controller = &controller;
    {
        VolumeModel dialog(&context);
        dialog.OnInit();
        EXPECT_FALSE(dialog.OnMute(true));
        EXPECT_EQ(controller.volume, 0);
        EXPECT_EQ(context.volume, 60);
    }
    VolumeModel reopened(&context);
    const VolumeModel::Setup setup = reopened.OnInit();
    EXPECT_TRUE(setup.muted);
    EXPECT_FALSE(setup.trackEnabled);
    EXPECT_EQ(setup.position, 40);
    EXPECT_TRUE(reopened.OnMute(false));
    EXPECT_EQ(controller.volume, 60);

    // A controller without a stream has no volume: the stored one stays.
    controller.volume = -1;
    EXPECT_EQ(VolumeModel(&context).OnInit().position, 40);

    // Without a context nothing happens.
    VolumeModel alone(nullptr);
    EXPECT_EQ(alone.OnInit().position, -1);
    EXPECT_EQ(alone.OnScroll(Scroll::PageUp, 0), -1);
}

} // namespace
