#include "player/model/animationclock.h"

namespace player {

AnimationTick NextAnimationTick(const CGifImage& gif, std::size_t& counter)
{
    AnimationTick tick;
    const std::size_t count = gif.GetFrameCount();
    if (count == 0) {
        return tick;
    }
    if (counter >= count) {
        counter = 0;
    }
    tick.draw = true;
    tick.frame = counter;
    tick.nextMs = count > 1 ? gif.GetIntervalMs(counter) : 0;
    ++counter;
    return tick;
}

} // namespace player
