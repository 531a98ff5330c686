#include "platform/clock.h"

#include "platform/testsupport/threadstate.h"
#include "platform/thread.h"

#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <thread>

namespace {

using qvplat::ElapsedMs;
using qvplat::ManualClock;
using qvplat::TimeReached;
using namespace std::chrono_literals;

TEST(ClockCompareTest, WorksAcrossTheWrap)
{
    constexpr std::uint32_t kBeforeWrap = 0xFFFFFFF0u;
    constexpr std::uint32_t kAfterWrap = 0x00000010u;
    EXPECT_EQ(ElapsedMs(kAfterWrap, kBeforeWrap), 0x20u);
    EXPECT_EQ(ElapsedMs(kBeforeWrap, kBeforeWrap), 0u);

    // A deadline just past the wrap is reached only once the clock passes it.
    const std::uint32_t deadline = kBeforeWrap + 0x18u; // 0x00000008
    EXPECT_FALSE(TimeReached(kBeforeWrap, deadline));
    EXPECT_FALSE(TimeReached(0xFFFFFFFFu, deadline));
    EXPECT_FALSE(TimeReached(0x00000007u, deadline));
    EXPECT_TRUE(TimeReached(0x00000008u, deadline));
    EXPECT_TRUE(TimeReached(kAfterWrap, deadline));

    // A deadline before the wrap is already reached just after it.
    EXPECT_TRUE(TimeReached(kAfterWrap, kBeforeWrap));
    EXPECT_FALSE(TimeReached(kBeforeWrap, kAfterWrap));
}

TEST(ClockCompareTest, HalfRangeIsTheHorizon)
{
    EXPECT_TRUE(TimeReached(0x7FFFFFFFu, 0u));
    EXPECT_FALSE(TimeReached(0x80000000u, 0u)) << "that far ahead reads as the past";
}

TEST(SystemClockTest, TickCountMovesWithRealTime)
{
    const std::uint32_t before = qvplat::TickCount();
    qvplat::Sleep(20); // the time that must pass: what is tested
    const std::uint32_t elapsed = ElapsedMs(qvplat::TickCount(), before);
    EXPECT_GE(elapsed, 20u);
    EXPECT_LT(elapsed, 5000u);
    qvplat::Sleep(0); // only yields
}

TEST(ManualClockTest, AdvanceOnSleepRunsPacedCodeAtOnce)
{
    ManualClock clock(0xFFFFFF00u);
    EXPECT_EQ(clock.Now(), 0xFFFFFF00u);
    const auto start = std::chrono::steady_clock::now();
    for (int i = 0; i < 100; ++i) {
        clock.Sleep(10);
    }
    EXPECT_LT(std::chrono::steady_clock::now() - start, 5s);
    EXPECT_EQ(clock.Now(), 0xFFFFFF00u + 1000u); // wrapped to 0x2E8
    EXPECT_EQ(clock.Now(), 0x2E8u);
    EXPECT_EQ(clock.TotalSleptMs(), 1000u);
    EXPECT_EQ(clock.SleepCalls(), 100u);

    clock.Advance(5);
    EXPECT_EQ(clock.Now(), 0x2EDu);
    clock.Set(42);
    EXPECT_EQ(clock.Now(), 42u);
    EXPECT_EQ(clock.TotalSleptMs(), 1000u) << "moving the clock is not sleeping";
}

TEST(ManualClockTest, BlockOnSleepWaitsForTheTestToMoveTime)
{
    ManualClock clock(0xFFFFFFF0u, ManualClock::SleepMode::BlockOnSleep);
    std::atomic<bool> woke{false};
    std::atomic<unsigned long> sleeperId{0};
    std::thread sleeper([&] {
        sleeperId = qvplat::CurrentNativeThreadId();
        clock.Sleep(100);
        woke = true;
    });
    // Wait until the sleeper has started sleeping.
    for (int i = 0; i < 5000 && clock.SleepCalls() == 0; ++i) {
        std::this_thread::sleep_for(1ms);
    }
    ASSERT_EQ(clock.SleepCalls(), 1u);
    clock.Advance(60);
    // The sleeper looks at the new time and waits again.
    ASSERT_TRUE(qvtest::WaitUntilAsleep(sleeperId));
    EXPECT_FALSE(woke) << "only 60 of 100 ms have passed";
    clock.Set(clock.Now() + 40); // across the wrap
    sleeper.join();
    EXPECT_TRUE(woke);
    EXPECT_EQ(clock.Now(), 0x00000054u);
}

TEST(ClockOverrideTest, TickCountAndSleepFollowTheInstalledClock)
{
    ManualClock outer(1000);
    {
        qvplat::ScopedClockOverride useOuter(outer);
        EXPECT_EQ(qvplat::TickCount(), 1000u);
        qvplat::Sleep(250);
        EXPECT_EQ(qvplat::TickCount(), 1250u);
        {
            ManualClock inner(7);
            qvplat::ScopedClockOverride useInner(inner);
            EXPECT_EQ(qvplat::TickCount(), 7u);
            EXPECT_EQ(&qvplat::CurrentClock(), &inner);
        }
        EXPECT_EQ(&qvplat::CurrentClock(), &outer);
    }
    EXPECT_NE(&qvplat::CurrentClock(), &outer);
}

} // namespace
