// The millisecond clock used for pacing and timeouts: a 32-bit count that
// wraps about every 49.7 days, so times are compared by unsigned difference,
// never by plain "<". Tests can replace the clock process-wide.
#pragma once

#include <condition_variable>
#include <cstdint>
#include <mutex>

namespace qvplat {

// Milliseconds elapsed from `then` to `now`, correct across one wrap.
constexpr std::uint32_t ElapsedMs(std::uint32_t now, std::uint32_t then)
{
    return now - then;
}

// True once `now` has reached or passed `deadline`. Valid while the two lie
// less than 2^31 ms (about 24.8 days) apart, across a wrap too.
constexpr bool TimeReached(std::uint32_t now, std::uint32_t deadline)
{
    return static_cast<std::int32_t>(now - deadline) >= 0;
}

// A source of milliseconds and of sleeping.
class Clock
{
public:
    virtual ~Clock() = default;
    virtual std::uint32_t Now() = 0;
    virtual void Sleep(std::uint32_t ms) = 0;
    // Nanoseconds on a monotonic 64-bit count that never wraps (its origin is
    // the clock's own), and a sleep until such an instant.
    virtual std::uint64_t NowNs() = 0;
    virtual void SleepUntilNs(std::uint64_t deadline) = 0;
};

// The monotonic system clock, truncated to 32 bits.
class SystemClock final : public Clock
{
public:
    std::uint32_t Now() override;
    void Sleep(std::uint32_t ms) override;
    // CLOCK_MONOTONIC; the sleep is an absolute one (clock_nanosleep with
    // TIMER_ABSTIME), resumed after a signal.
    std::uint64_t NowNs() override;
    void SleepUntilNs(std::uint64_t deadline) override;
};

// A clock that moves only when told to, for tests.
// AdvanceOnSleep: Sleep(ms) moves the clock on by ms and returns at once,
//   so paced code runs through without real waiting.
// BlockOnSleep: Sleep(ms) blocks until another thread has moved the clock
//   ms forward with Advance or Set.
class ManualClock final : public Clock
{
public:
    enum class SleepMode {
        AdvanceOnSleep,
        BlockOnSleep,
    };

    explicit ManualClock(std::uint32_t start = 0, SleepMode mode = SleepMode::AdvanceOnSleep);

    std::uint32_t Now() override;
    void Sleep(std::uint32_t ms) override;
    // Whole milliseconds: every forward move so far. SleepUntilNs sleeps the
    // milliseconds up to the deadline, rounded up.
    std::uint64_t NowNs() override;
    void SleepUntilNs(std::uint64_t deadline) override;

    void Set(std::uint32_t now);
    void Advance(std::uint32_t ms);
    // Sum of all Sleep requests so far (64-bit: it does not wrap).
    std::uint64_t TotalSleptMs();
    std::uint32_t SleepCalls();

private:
    std::mutex m_lock;
    std::condition_variable m_moved;
    const SleepMode m_mode;
    std::uint32_t m_now;
    std::uint64_t m_movedTotal = 0; // every advance, for waking blocked sleepers
    std::uint64_t m_slept = 0;
    std::uint32_t m_sleepCalls = 0;
};

// The process-wide clock: the system clock unless a test installed another.
Clock& CurrentClock();

// Installs `clock` as the process-wide clock while it lives and restores the
// previous one on destruction. Install it before the code under test starts
// threads, and remove it only after they have stopped.
class ScopedClockOverride
{
public:
    explicit ScopedClockOverride(Clock& clock);
    ScopedClockOverride(const ScopedClockOverride&) = delete;
    ScopedClockOverride& operator=(const ScopedClockOverride&) = delete;
    ~ScopedClockOverride();

private:
    Clock* m_previous;
};

// Milliseconds of the process-wide clock (wrapping 32-bit count).
std::uint32_t TickCount();

// Sleeps on the process-wide clock; 0 only yields the processor.
void Sleep(std::uint32_t ms);

// Nanoseconds of the process-wide clock (monotonic, 64-bit), and a sleep
// until such an instant (at once when it has passed).
std::uint64_t MonotonicNs();
void SleepUntilNs(std::uint64_t deadline);

} // namespace qvplat
