#pragma once
// The volume dialog without its window: a vertical trackbar 0..100 whose
// top is loud (position = 100 - volume) and a "Mute" check box. The volume
// lives in the player's context, so it survives the dialog; muting sets
// the controller's volume to 0 and leaves the stored volume alone.

#include "player/model/playercontext.h"

namespace player {

class VolumeModel
{
public:
    // Trackbar notifications.
    enum class Scroll { ThumbTrack, PageUp, PageDown, Other };

    // Without a context the dialog does nothing.
    explicit VolumeModel(QvPlayerContext* context);

    struct Setup
    {
        bool muted = false;
        bool trackEnabled = true;
        int position = -1; // the trackbar position, -1: leave it
    };
    // Dialog initialisation. The controller's volume becomes the stored
    // volume only while not muted (muted, the controller plays at 0).
    Setup OnInit();
    // A scroll notification with the trackbar's position; the position the
    // trackbar is to take, or -1 to leave it.
    int OnScroll(Scroll kind, int position);
    // The check box changed; whether the trackbar is enabled now.
    bool OnMute(bool checked);

    int LastApplied() const { return m_lastApplied; }

    static constexpr int kMinimum = 0;
    static constexpr int kMaximum = 100;
    static constexpr int kPage = 10;

private:
    void Apply(int volume);

    QvPlayerContext* m_context;
    int m_lastApplied = 0;
};

} // namespace player
