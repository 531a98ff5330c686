#include "platform/ui/wx/wxtimerset.h"

#include <wx/timer.h>

namespace qvplat {

class WxTimerSet::Timer final : public wxTimer
{
public:
    Timer(const std::function<void(int id)>& tick, int id) : m_tick(tick), m_id(id) {}

    void Notify() override { m_tick(m_id); }

private:
    const std::function<void(int id)>& m_tick;
    int m_id;
};

WxTimerSet::WxTimerSet(std::function<void(int id)> tick) : m_tick(std::move(tick)) {}

WxTimerSet::~WxTimerSet()
{
    KillAll();
}

void WxTimerSet::Start(int id, int ms)
{
    auto& timer = m_timers[id];
    if (!timer) {
        timer = std::make_unique<Timer>(m_tick, id);
    }
    timer->Start(ms);
}

void WxTimerSet::Kill(int id)
{
    if (const auto found = m_timers.find(id); found != m_timers.end()) {
        found->second->Stop();
    }
}

void WxTimerSet::KillAll()
{
    for (auto& [id, timer] : m_timers) {
        timer->Stop();
    }
}

} // namespace qvplat
