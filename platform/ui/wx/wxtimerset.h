#pragma once
// A window's timers by number, the way the window-free models name them:
// Start arms (or re-arms) timer `id` to fire every `ms` milliseconds, Kill
// stops it, and every expiry calls the tick callback with the timer's
// number on the user-interface thread. Every timer stops when the set goes.

#include <functional>
#include <map>
#include <memory>

namespace qvplat {

class WxTimerSet
{
public:
    explicit WxTimerSet(std::function<void(int id)> tick);
    ~WxTimerSet();
    WxTimerSet(const WxTimerSet&) = delete;
    WxTimerSet& operator=(const WxTimerSet&) = delete;

    void Start(int id, int ms);
    // Nothing happens for a timer that never started.
    void Kill(int id);
    void KillAll();

private:
    class Timer;

    std::function<void(int id)> m_tick;
    // Timers stay once made, so one may be killed or re-armed from its own
    // tick.
    std::map<int, std::unique_ptr<Timer>> m_timers;
};

} // namespace qvplat
