#include "platform/sync.h"

#include <algorithm>
#include <chrono>
#include <condition_variable>
#include <functional>
#include <optional>

namespace qvplat {

// ---------------------------------------------------------------------------
// Recursive owned lock

namespace detail {

void OwnedRecursiveLock::Acquire()
{
    m_lock.lock();
    TakeOwnership();
}

bool OwnedRecursiveLock::TryAcquire()
{
    if (!m_lock.try_lock()) {
        return false;
    }
    TakeOwnership();
    return true;
}

bool OwnedRecursiveLock::Release()
{
    if (!HeldByCurrentThread()) {
        return false;
    }
    if (--m_depth == 0) {
        m_owner.store(std::thread::id{}, std::memory_order_relaxed);
    }
    m_lock.unlock();
    return true;
}

bool OwnedRecursiveLock::HeldByCurrentThread() const
{
    return m_owner.load(std::memory_order_relaxed) == std::this_thread::get_id();
}

void OwnedRecursiveLock::TakeOwnership()
{
    m_owner.store(std::this_thread::get_id(), std::memory_order_relaxed);
    ++m_depth;
}

// One waiting thread. It registers itself with every event it waits on; a
// Set on any of them raises the flag and wakes it to look again.
struct EventWaiter
{
    std::mutex lock;
    std::condition_variable wake;
    bool notified = false;
};

} // namespace detail

// ---------------------------------------------------------------------------
// Event

Event::Event(Mode mode, bool initiallySignalled) : m_mode(mode), m_signalled(initiallySignalled) {}

Event::~Event() = default;

void Event::Set()
{
    std::lock_guard guard(m_lock);
    m_signalled = true;
    NotifyWaiters();
}

void Event::Reset()
{
    std::lock_guard guard(m_lock);
    m_signalled = false;
}

bool Event::IsSignalled() const
{
    std::lock_guard guard(m_lock);
    return m_signalled;
}

WaitResult Event::Wait(std::uint32_t timeoutMs)
{
    {
        // Fast path: already signalled, no waiter bookkeeping needed.
        std::lock_guard guard(m_lock);
        if (m_signalled) {
            if (m_mode == Mode::AutoReset) {
                m_signalled = false;
            }
            return WaitResult::Signalled;
        }
        if (timeoutMs == 0) {
            return WaitResult::Timeout;
        }
    }
    Event* self = this;
    const int result = WaitForMultiple(std::span<Event* const>(&self, 1), false, timeoutMs);
    return result == 0 ? WaitResult::Signalled : WaitResult::Timeout;
}

void Event::NotifyWaiters()
{
    // The waiters cannot go away meanwhile: each removes itself under m_lock.
    for (detail::EventWaiter* waiter : m_waiters) {
        {
            std::lock_guard guard(waiter->lock);
            waiter->notified = true;
        }
        waiter->wake.notify_one();
    }
}

void Event::AddWaiter(detail::EventWaiter* waiter)
{
    m_waiters.push_back(waiter);
}

void Event::RemoveWaiter(detail::EventWaiter* waiter)
{
    std::erase(m_waiters, waiter);
}

// ---------------------------------------------------------------------------
// Waiting on several events

namespace {

using SteadyClock = std::chrono::steady_clock;

// Takes the locks of all events in one global (address) order, so waits on
// overlapping sets of events cannot deadlock.
class EventSetLock
{
public:
    explicit EventSetLock(const std::vector<std::mutex*>& mutexes)
    {
        m_locks.reserve(mutexes.size());
        for (std::mutex* mutex : mutexes) {
            m_locks.emplace_back(*mutex);
        }
    }

private:
    std::vector<std::unique_lock<std::mutex>> m_locks;
};

} // namespace

int WaitForMultiple(std::initializer_list<Event*> events, bool waitAll, std::uint32_t timeoutMs)
{
    return WaitForMultiple(std::span<Event* const>(events.begin(), events.size()), waitAll,
                           timeoutMs);
}

int WaitForMultiple(std::span<Event* const> events, bool waitAll, std::uint32_t timeoutMs)
{
    if (events.empty() || std::ranges::find(events, nullptr) != events.end()) {
        return kWaitFailed;
    }
    std::vector<Event*> byAddress(events.begin(), events.end());
    std::ranges::sort(byAddress, std::less<Event*>{});
    if (std::ranges::adjacent_find(byAddress) != byAddress.end()) {
        return kWaitFailed;
    }
    std::vector<std::mutex*> mutexes;
    mutexes.reserve(byAddress.size());
    for (Event* event : byAddress) {
        mutexes.push_back(&event->m_lock);
    }

    // Called with every event's lock held.
    auto tryConsume = [&]() -> int {
        if (waitAll) {
            const bool all = std::ranges::all_of(events, [](Event* e) { return e->m_signalled; });
            if (!all) {
                return kWaitTimeout;
            }
            for (Event* event : events) {
                if (event->m_mode == Event::Mode::AutoReset) {
                    event->m_signalled = false;
                }
            }
            return 0;
        }
        for (std::size_t i = 0; i < events.size(); ++i) {
            Event* event = events[i];
            if (event->m_signalled) {
                if (event->m_mode == Event::Mode::AutoReset) {
                    event->m_signalled = false;
                }
                return static_cast<int>(i);
            }
        }
        return kWaitTimeout;
    };

    std::optional<SteadyClock::time_point> deadline;
    if (timeoutMs != kInfinite) {
        deadline = SteadyClock::now() + std::chrono::milliseconds(timeoutMs);
    }

    detail::EventWaiter waiter;
    bool registered = false;
    bool timedOut = timeoutMs == 0;
    for (;;) {
        {
            EventSetLock locked(mutexes);
            const int result = tryConsume();
            if (result != kWaitTimeout || timedOut) {
                if (registered) {
                    for (Event* event : byAddress) {
                        event->RemoveWaiter(&waiter);
                    }
                }
                return result;
            }
            if (!registered) {
                for (Event* event : byAddress) {
                    event->AddWaiter(&waiter);
                }
                registered = true;
            }
        }
        // Any Set after the check above raises waiter.notified, so no signal
        // can slip by between the check and the sleep.
        std::unique_lock guard(waiter.lock);
        auto notified = [&waiter] { return waiter.notified; };
        if (deadline) {
            timedOut = !waiter.wake.wait_until(guard, *deadline, notified);
        } else {
            waiter.wake.wait(guard, notified);
        }
        waiter.notified = false;
    }
}

} // namespace qvplat
