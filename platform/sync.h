// Synchronisation primitives with the semantics the system's code expects
// from its original platform: recursive, thread-owned mutexes and critical
// sections, auto/manual-reset events and waiting on several events at once.
#pragma once

#include <condition_variable>
#include <cstddef>
#include <cstdint>
#include <mutex>
#include <thread>

namespace qvplat {

// A recursive mutex owned by the thread that locked it. The owner may lock it
// again (each lock needs its own unlock). An unlock from a thread that does
// not own the mutex is refused and leaves the mutex untouched; Release()
// reports whether the release happened.
class Mutex
{
public:
    Mutex() = default;
    Mutex(const Mutex&) = delete;
    Mutex& operator=(const Mutex&) = delete;

    void lock();
    bool try_lock();
    void unlock() { (void)Release(); }

    // Returns false, changing nothing, when the calling thread is not the owner.
    bool Release();
    bool IsOwnedByCurrentThread() const;

private:
    mutable std::mutex m_guard;
    std::condition_variable m_freed;
    std::thread::id m_owner{};
    std::uint32_t m_depth = 0;
};

} // namespace qvplat
