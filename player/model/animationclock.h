#pragma once
// The timer of a stretched background animation (the control's background,
// the frame's logo): each tick draws one image and says when the next tick
// is due.

#include "player/gif/gifimage.h"

#include <cstddef>

namespace player {

struct AnimationTick
{
    bool draw = false;     // draw image `frame`
    std::size_t frame = 0;
    unsigned nextMs = 0;   // re-arm the timer after this long; 0: stop it
};

// One tick with the frame counter (wrapped at the image count, then
// advanced). Nothing to draw and the timer stops without images; a single
// image is drawn once and the timer stops; otherwise it is re-armed with the
// image's delay, never below 10 ms.
AnimationTick NextAnimationTick(const CGifImage& gif, std::size_t& counter);

} // namespace player
