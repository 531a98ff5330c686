#include "platform/clock.h"

#include <atomic>
#include <cerrno>
#include <chrono>
#include <ctime>
#include <thread>

namespace qvplat {

namespace {

constexpr std::uint64_t kNsPerMs = 1000000;
constexpr std::uint64_t kNsPerSecond = 1000000000;

} // namespace

// ---------------------------------------------------------------------------
// System clock

std::uint32_t SystemClock::Now()
{
    const auto sinceStart = std::chrono::steady_clock::now().time_since_epoch();
    const auto ms = std::chrono::duration_cast<std::chrono::milliseconds>(sinceStart).count();
    // Keep the low 32 bits: the count wraps like the original millisecond clock.
    return static_cast<std::uint32_t>(static_cast<std::uint64_t>(ms) & 0xFFFFFFFFu);
}

void SystemClock::Sleep(std::uint32_t ms)
{
    if (ms == 0) {
        std::this_thread::yield();
        return;
    }
    std::this_thread::sleep_for(std::chrono::milliseconds(ms));
}

std::uint64_t SystemClock::NowNs()
{
    timespec now{};
    clock_gettime(CLOCK_MONOTONIC, &now);
    return static_cast<std::uint64_t>(now.tv_sec) * kNsPerSecond +
           static_cast<std::uint64_t>(now.tv_nsec);
}

void SystemClock::SleepUntilNs(std::uint64_t deadline)
{
    timespec at{};
    at.tv_sec = static_cast<time_t>(deadline / kNsPerSecond);
    at.tv_nsec = static_cast<long>(deadline % kNsPerSecond);
    // The deadline is absolute, so a sleep cut short by a signal is simply
    // taken again.
    while (clock_nanosleep(CLOCK_MONOTONIC, TIMER_ABSTIME, &at, nullptr) == EINTR) {
    }
}

// ---------------------------------------------------------------------------
// Manual clock

ManualClock::ManualClock(std::uint32_t start, SleepMode mode) : m_mode(mode), m_now(start) {}

std::uint32_t ManualClock::Now()
{
    std::lock_guard guard(m_lock);
    return m_now;
}

void ManualClock::Sleep(std::uint32_t ms)
{
    std::unique_lock guard(m_lock);
    m_slept += ms;
    ++m_sleepCalls;
    if (m_mode == SleepMode::AdvanceOnSleep) {
        m_now += ms;
        m_movedTotal += ms;
        guard.unlock();
        m_moved.notify_all();
        std::this_thread::yield();
        return;
    }
    // Measured on the 64-bit running total so a wrap of m_now cannot confuse it.
    const std::uint64_t target = m_movedTotal + ms;
    m_moved.wait(guard, [&] { return m_movedTotal >= target; });
}

std::uint64_t ManualClock::NowNs()
{
    std::lock_guard guard(m_lock);
    return m_movedTotal * kNsPerMs;
}

void ManualClock::SleepUntilNs(std::uint64_t deadline)
{
    const std::uint64_t now = NowNs();
    if (deadline > now) {
        Sleep(static_cast<std::uint32_t>((deadline - now + kNsPerMs - 1) / kNsPerMs));
    }
}

void ManualClock::Set(std::uint32_t now)
{
    {
        std::lock_guard guard(m_lock);
        // Only forward moves count towards waking sleepers.
        if (TimeReached(now, m_now)) {
            m_movedTotal += ElapsedMs(now, m_now);
        }
        m_now = now;
    }
    m_moved.notify_all();
}

void ManualClock::Advance(std::uint32_t ms)
{
    {
        std::lock_guard guard(m_lock);
        m_now += ms;
        m_movedTotal += ms;
    }
    m_moved.notify_all();
}

std::uint64_t ManualClock::TotalSleptMs()
{
    std::lock_guard guard(m_lock);
    return m_slept;
}

std::uint32_t ManualClock::SleepCalls()
{
    std::lock_guard guard(m_lock);
    return m_sleepCalls;
}

// ---------------------------------------------------------------------------
// Process-wide clock

namespace {

SystemClock& TheSystemClock()
{
    // Never destroyed: threads that outlive main may still ask the time.
    static SystemClock* clock = new SystemClock;
    return *clock;
}

std::atomic<Clock*> g_override{nullptr};

} // namespace

Clock& CurrentClock()
{
    Clock* clock = g_override.load(std::memory_order_acquire);
    return clock != nullptr ? *clock : TheSystemClock();
}

ScopedClockOverride::ScopedClockOverride(Clock& clock)
    : m_previous(g_override.exchange(&clock, std::memory_order_acq_rel))
{
}

ScopedClockOverride::~ScopedClockOverride()
{
    g_override.store(m_previous, std::memory_order_release);
}

std::uint32_t TickCount()
{
    return CurrentClock().Now();
}

void Sleep(std::uint32_t ms)
{
    CurrentClock().Sleep(ms);
}

std::uint64_t MonotonicNs()
{
    return CurrentClock().NowNs();
}

void SleepUntilNs(std::uint64_t deadline)
{
    CurrentClock().SleepUntilNs(deadline);
}

} // namespace qvplat
