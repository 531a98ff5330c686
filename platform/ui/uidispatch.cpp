#include "platform/ui/uidispatch.h"

#include <chrono>
#include <exception>
#include <memory>

namespace qvplat {

namespace {

// What a waiting caller and the posted work share. The work holds it through
// a guard whose destruction, when the work never ran, releases the waiter.
struct Rendezvous
{
    std::mutex lock;
    std::condition_variable finished;
    bool done = false;
    bool ran = false;
    std::exception_ptr error;

    void Finish(bool didRun, std::exception_ptr thrown)
    {
        std::lock_guard<std::mutex> hold(lock);
        done = true;
        ran = didRun;
        error = std::move(thrown);
        finished.notify_all();
    }
};

struct AbandonGuard
{
    std::shared_ptr<Rendezvous> shared;
    ~AbandonGuard()
    {
        std::unique_lock<std::mutex> hold(shared->lock);
        if (!shared->done) {
            hold.unlock();
            shared->Finish(false, nullptr);
        }
    }
};

} // namespace

bool RunOnUiThreadAndWait(UiDispatcher& dispatcher, std::function<void()> fn)
{
    if (dispatcher.IsUiThread()) {
        fn();
        return true;
    }
    auto shared = std::make_shared<Rendezvous>();
    auto guard = std::make_shared<AbandonGuard>();
    guard->shared = shared;
    const bool queued = dispatcher.Post([guard, work = std::move(fn)] {
        std::exception_ptr thrown;
        try {
            work();
        } catch (...) {
            thrown = std::current_exception();
        }
        guard->shared->Finish(true, thrown);
    });
    guard.reset(); // from here only the queued work keeps it
    if (!queued) {
        return false;
    }
    std::unique_lock<std::mutex> hold(shared->lock);
    shared->finished.wait(hold, [&] { return shared->done; });
    if (shared->error) {
        std::rethrow_exception(shared->error);
    }
    return shared->ran;
}

PumpedUiDispatcher::PumpedUiDispatcher() : m_uiThread(std::this_thread::get_id()) {}

PumpedUiDispatcher::~PumpedUiDispatcher()
{
    Close();
}

bool PumpedUiDispatcher::Post(std::function<void()> fn)
{
    {
        std::lock_guard<std::mutex> hold(m_lock);
        if (m_open && fn) {
            m_queue.push_back(std::move(fn));
            m_posted.notify_all();
            return true;
        }
    }
    fn = nullptr; // destroyed outside the lock: it may post again
    return false;
}

bool PumpedUiDispatcher::IsUiThread() const
{
    return std::this_thread::get_id() == m_uiThread;
}

std::size_t PumpedUiDispatcher::Pump()
{
    if (!IsUiThread()) {
        return 0;
    }
    std::deque<std::function<void()>> batch;
    {
        std::lock_guard<std::mutex> hold(m_lock);
        batch.swap(m_queue);
    }
    const std::size_t count = batch.size();
    while (!batch.empty()) {
        std::function<void()> fn = std::move(batch.front());
        batch.pop_front();
        fn();
    }
    return count;
}

bool PumpedUiDispatcher::PumpUntil(const std::function<bool()>& done, std::uint32_t timeoutMs)
{
    if (!IsUiThread()) {
        return false;
    }
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeoutMs);
    for (;;) {
        Pump();
        if (done()) {
            return true;
        }
        std::unique_lock<std::mutex> hold(m_lock);
        if (!m_posted.wait_until(hold, deadline, [&] { return !m_queue.empty(); })) {
            hold.unlock();
            return done();
        }
    }
}

void PumpedUiDispatcher::Close()
{
    std::deque<std::function<void()>> dropped;
    {
        std::lock_guard<std::mutex> hold(m_lock);
        m_open = false;
        dropped.swap(m_queue);
    }
}

} // namespace qvplat
