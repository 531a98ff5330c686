// The capture model's user-interface thread in tests: posted work runs, and
// started window timers fire at once, when the test pumps on its own thread.
#pragma once

#include "grabtool/model/capturemodel.h"
#include "platform/ui/uidispatch.h"

#include <chrono>
#include <condition_variable>
#include <deque>
#include <mutex>
#include <set>
#include <thread>

namespace grabtest {

// The window and the dispatcher in one; the test can also wait for posted
// work without running it.
class FakeHost final : public grabtool::CaptureHost, public qvplat::UiDispatcher
{
public:
    bool Post(std::function<void()> fn) override
    {
        const std::lock_guard lock(m_lock);
        m_queue.push_back(std::move(fn));
        m_posted.notify_all();
        return true;
    }
    bool IsUiThread() const override { return std::this_thread::get_id() == m_ui; }
    // The dispatcher for the model; the test keeps the host alive.
    std::shared_ptr<qvplat::UiDispatcher> Ui() { return {std::shared_ptr<void>(), this}; }
    void StartTimer(int id, unsigned) override { m_timers.insert(id); }
    void KillTimer(int id) override { m_timers.erase(id); }
    void StateChanged() override { m_offUiUpdates += std::this_thread::get_id() != m_ui; }

    bool TimerRunning(int id) const { return m_timers.count(id) != 0; }
    int OffUiUpdates() const { return m_offUiUpdates; }

    // Runs queued work, and the work it posts, until none is left.
    void Pump()
    {
        std::unique_lock lock(m_lock);
        while (!m_queue.empty()) {
            const std::function<void()> fn = std::move(m_queue.front());
            m_queue.pop_front();
            lock.unlock();
            fn();
            lock.lock();
        }
    }
    bool WaitForPost(std::chrono::milliseconds bound)
    {
        std::unique_lock lock(m_lock);
        return m_posted.wait_for(lock, bound, [this] { return !m_queue.empty(); });
    }

    // Pumps and fires the started timers until done(), running `between`
    // every round; false after a minute.
    bool Drive(grabtool::CaptureModel& model, const std::function<bool()>& done,
               const std::function<void()>& between = {})
    {
        const auto end = std::chrono::steady_clock::now() + std::chrono::minutes(1);
        for (Pump(); !done(); Pump()) {
            if (std::chrono::steady_clock::now() > end) {
                return false;
            }
            for (const int id : {1, 2}) {
                if (TimerRunning(id)) {
                    model.OnTimer(id);
                }
            }
            if (between) {
                between();
            }
            WaitForPost(std::chrono::milliseconds(20));
        }
        return true;
    }

private:
    const std::thread::id m_ui = std::this_thread::get_id();
    std::mutex m_lock;
    std::condition_variable m_posted;
    std::deque<std::function<void()>> m_queue;
    std::set<int> m_timers;
    int m_offUiUpdates = 0;
};

} // namespace grabtest
