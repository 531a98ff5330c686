// The capture model's user-interface thread in tests: posted work and the
// window timers run on the test's thread when the test drives them.
#pragma once

#include "grabtool/model/capturemodel.h"

#include <chrono>
#include <condition_variable>
#include <deque>
#include <functional>
#include <mutex>
#include <set>
#include <thread>

namespace grabtest {

class FakeHost final : public grabtool::CaptureHost
{
public:
    void Post(std::function<void()> fn) override
    {
        {
            const std::lock_guard lock(m_lock);
            m_queue.push_back(std::move(fn));
        }
        m_posted.notify_all();
    }
    void StartTimer(int id, unsigned) override { m_timers.insert(id); }
    void KillTimer(int id) override { m_timers.erase(id); }
    void StateChanged() override { m_offUiUpdates += std::this_thread::get_id() != m_ui ? 1 : 0; }

    bool TimerRunning(int id) const { return m_timers.count(id) != 0; }
    int OffUiUpdates() const { return m_offUiUpdates; }

    // Runs queued work, and the work it posts, until none is left.
    void Pump()
    {
        for (;;) {
            std::function<void()> fn;
            {
                const std::lock_guard lock(m_lock);
                if (m_queue.empty()) {
                    return;
                }
                fn = std::move(m_queue.front());
                m_queue.pop_front();
            }
            fn();
        }
    }
    // True once work is queued; false after `bound`.
    bool WaitForPost(std::chrono::milliseconds bound)
    {
        std::unique_lock lock(m_lock);
        return m_posted.wait_for(lock, bound, [this] { return !m_queue.empty(); });
    }

private:
    const std::thread::id m_ui = std::this_thread::get_id();
    std::mutex m_lock;
    std::condition_variable m_posted;
    std::deque<std::function<void()>> m_queue;
    std::set<int> m_timers;
    int m_offUiUpdates = 0;
};

// Runs the model's user-interface side until done(): posted work runs, a
// started timer fires at once, and `between` runs every round. False when
// `bound` passed first.
inline bool Drive(FakeHost& host, grabtool::CaptureModel& model, const std::function<bool()>& done,
                  const std::function<void()>& between = {},
                  std::chrono::seconds bound = std::chrono::seconds(60))
{
    const auto end = std::chrono::steady_clock::now() + bound;
    for (;;) {
        host.Pump();
        if (done()) {
            return true;
        }
        if (std::chrono::steady_clock::now() > end) {
            return false;
        }
        for (const int id : {grabtool::CaptureModel::kWaitTimer,
                             grabtool::CaptureModel::kStatisticsTimer}) {
            if (host.TimerRunning(id)) {
                model.OnTimer(id);
            }
        }
        if (between) {
            between();
        }
        host.WaitForPost(std::chrono::milliseconds(20));
    }
}

} // namespace grabtest
