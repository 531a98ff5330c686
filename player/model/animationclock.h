#pragma once
// The stretched background animation of the player's windows (the
// control's background, the frame's logo): the GIF it shows, the image on
// screen and the window timer that turns the images.

#include "player/gif/gifimage.h"

#include <cstddef>
#include <string>

namespace player {

// A window's timers, as the models start and kill them.
class TimerHost
{
public:
    virtual ~TimerHost() = default;
    virtual void StartTimer(int id, int milliseconds) = 0;
    virtual void KillTimer(int id) = 0;
};

class BackgroundAnimation
{
public:
    // timerId: the window's timer that turns the images.
    explicit BackgroundAnimation(int timerId) : m_timerId(timerId) {}

    // Loads the GIF file `file` when one is named; without one, or when it
    // is not a GIF picture (a debug line says so), the built-in
    // "GIFBACKGROUND". Starts over at the first image and, when something
    // loaded, starts the timer at kAnimationStartMs. True when something
    // loaded.
    bool Load(TimerHost& timers, const std::string& file = {});

    // One tick of the timer. While the player plays (`stopped` false) it
    // fires without effect. Otherwise the next image is shown (true: paint
    // it) and the timer re-armed with that image's delay; a single image is
    // shown once and the timer stops, as it does without images.
    bool OnTimer(TimerHost& timers, bool stopped);

    const CGifImage& Image() const { return m_gif; }
    // The image on screen.
    std::size_t Shown() const { return m_shown; }

private:
    int m_timerId;
    CGifImage m_gif;
    std::size_t m_next = 0;
    std::size_t m_shown = 0;
};

} // namespace player
