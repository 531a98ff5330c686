// Synchronisation primitives with the semantics the system's code expects
// from its original platform: recursive, thread-owned mutexes and critical
// sections, auto/manual-reset events and waiting on several events at once.
#pragma once

#include <atomic>
#include <cstddef>
#include <cstdint>
#include <initializer_list>
#include <mutex>
#include <span>
#include <thread>
#include <vector>

namespace qvplat {

// Timeout value meaning "wait without a time limit".
inline constexpr std::uint32_t kInfinite = 0xFFFFFFFFu;

namespace detail {

// A recursive lock that knows its owner. The owner may take it again (each
// acquisition needs its own release); a release from any other thread is
// refused instead of corrupting the lock.
class OwnedRecursiveLock
{
public:
    OwnedRecursiveLock() = default;
    OwnedRecursiveLock(const OwnedRecursiveLock&) = delete;
    OwnedRecursiveLock& operator=(const OwnedRecursiveLock&) = delete;

    void Acquire();
    bool TryAcquire();
    // Returns false, changing nothing, when the calling thread is not the owner.
    bool Release();
    bool HeldByCurrentThread() const;

private:
    void TakeOwnership();

    std::recursive_mutex m_lock;
    // Only the owner writes its own id here, so a thread comparing it with
    // its own id never sees a false match.
    std::atomic<std::thread::id> m_owner{};
    std::uint32_t m_depth = 0; // touched only by the owner
};

} // namespace detail

// A recursive mutex owned by the thread that locked it, usable with
// std::lock_guard and std::unique_lock. An unlock from a thread that does not
// own the mutex is refused and leaves the mutex untouched; Release() reports
// whether the release happened.
class Mutex
{
public:
    void lock() { m_lock.Acquire(); }
    bool try_lock() { return m_lock.TryAcquire(); }
    void unlock() { (void)m_lock.Release(); }

    bool Release() { return m_lock.Release(); }
    bool IsOwnedByCurrentThread() const { return m_lock.HeldByCurrentThread(); }

private:
    detail::OwnedRecursiveLock m_lock;
};

// The lock the system's objects put around their lists and logs. Entering it
// again on the owning thread nests; Leave from a thread that does not hold it
// is refused (returns false) instead of releasing someone else's lock.
class CriticalSection
{
public:
    void Enter() { m_lock.Acquire(); }
    bool TryEnter() { return m_lock.TryAcquire(); }
    bool Leave() { return m_lock.Release(); }
    bool IsHeldByCurrentThread() const { return m_lock.HeldByCurrentThread(); }

    // Standard lockable interface, so std::lock_guard and friends work.
    void lock() { Enter(); }
    bool try_lock() { return TryEnter(); }
    void unlock() { (void)Leave(); }

private:
    detail::OwnedRecursiveLock m_lock;
};

enum class WaitResult {
    Signalled,
    Timeout,
};

// Results of WaitForMultiple besides the index of a signalled event.
inline constexpr int kWaitTimeout = -1;
inline constexpr int kWaitFailed = -2; // empty list, null or repeated event

class Event;

namespace detail {
struct EventWaiter;
} // namespace detail

// Waits for events. With waitAll false: returns the index of a signalled
// event (the lowest one when several are) and consumes that one event's
// signal if it resets automatically. With waitAll true: waits until every
// event is signalled at the same moment, consumes them all together and
// returns 0. Returns kWaitTimeout when timeoutMs passes first (0 only polls),
// kWaitFailed for an empty list, a null or a repeated event.
int WaitForMultiple(std::span<Event* const> events, bool waitAll, std::uint32_t timeoutMs);
int WaitForMultiple(std::initializer_list<Event*> events, bool waitAll, std::uint32_t timeoutMs);

// A signal that threads wait for. An auto-reset event releases one waiter
// per Set and clears itself as that waiter returns; a manual-reset event
// stays signalled, releasing every waiter, until Reset. The event must
// outlive every wait on it.
class Event
{
public:
    enum class Mode {
        AutoReset,
        ManualReset,
    };

    explicit Event(Mode mode = Mode::AutoReset, bool initiallySignalled = false);
    Event(const Event&) = delete;
    Event& operator=(const Event&) = delete;
    ~Event();

    void Set();
    void Reset();
    WaitResult Wait(std::uint32_t timeoutMs = kInfinite);

    bool IsManualReset() const { return m_mode == Mode::ManualReset; }
    // A snapshot for diagnostics and tests; it may change at once.
    bool IsSignalled() const;

private:
    friend int WaitForMultiple(std::span<Event* const>, bool, std::uint32_t);

    // Called with m_lock held.
    void NotifyWaiters();
    void AddWaiter(detail::EventWaiter* waiter);
    void RemoveWaiter(detail::EventWaiter* waiter);

    const Mode m_mode;
    mutable std::mutex m_lock;
    bool m_signalled;
    std::vector<detail::EventWaiter*> m_waiters;
};

} // namespace qvplat
