#include "player/model/animationclock.h"

#include "core/settings/qvlog.h"
#include "player/model/playerids.h"

namespace player {

bool BackgroundAnimation::Load(TimerHost& timers, const std::string& file)
{
    bool loaded = false;
    if (!file.empty()) {
        loaded = m_gif.LoadFile(file);
        if (!loaded) {
            QvDebugMsgTime("LogoImage \"%s\" is not a GIF picture; the default logo is shown",
                           file.c_str());
        }
    }
    if (!loaded) {
        loaded = m_gif.LoadResource("GIFBACKGROUND");
    }
    m_next = 0;
    m_shown = 0;
    if (loaded) {
        timers.StartTimer(m_timerId, kAnimationStartMs);
    }
    return loaded;
}

bool BackgroundAnimation::OnTimer(TimerHost& timers, bool stopped)
{
    if (!stopped) {
        return false;
    }
    const std::size_t count = m_gif.GetFrameCount();
    if (count == 0) {
        timers.KillTimer(m_timerId);
        return false;
    }
    if (m_next >= count) {
        m_next = 0;
    }
    m_shown = m_next++;
    if (count > 1) {
        timers.StartTimer(m_timerId, static_cast<int>(m_gif.GetIntervalMs(m_shown)));
    } else {
        timers.KillTimer(m_timerId);
    }
    return true;
}

} // namespace player
