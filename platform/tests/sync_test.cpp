#include "platform/sync.h"

#include "platform/testsupport/threadstate.h"
#include "platform/thread.h"

#include <gtest/gtest.h>

#include <array>
#include <atomic>
#include <chrono>
#include <future>
#include <mutex>
#include <thread>
#include <vector>

namespace {

using qvplat::CriticalSection;
using qvplat::Event;
using qvplat::kWaitFailed;
using qvplat::kWaitTimeout;
using qvplat::Mutex;
using qvplat::WaitForMultiple;
using qvplat::WaitResult;
using namespace std::chrono_literals;

// Generous bound for "returns promptly" on a loaded machine.
constexpr auto kPrompt = 5s;

template <typename F> auto OnOtherThread(F f)
{
    return std::async(std::launch::async, f).get();
}

// ---------------------------------------------------------------------------
// Mutex and critical section

TEST(MutexTest, NestsOnOwnerAndExcludesOthers)
{
    Mutex mutex;
    mutex.lock();
    EXPECT_TRUE(mutex.try_lock()); // recursion on the owner
    EXPECT_TRUE(mutex.IsOwnedByCurrentThread());
    EXPECT_FALSE(OnOtherThread([&] { return mutex.try_lock(); }));

    mutex.unlock();
    EXPECT_TRUE(mutex.IsOwnedByCurrentThread()) << "one unlock per lock";
    EXPECT_FALSE(OnOtherThread([&] { return mutex.try_lock(); }));

    mutex.unlock();
    EXPECT_FALSE(mutex.IsOwnedByCurrentThread());
    EXPECT_TRUE(OnOtherThread([&] {
        const bool got = mutex.try_lock();
        if (got) {
            mutex.unlock();
        }
        return got;
    }));
}

TEST(MutexTest, ReleaseFromNonOwnerIsRefused)
{
    Mutex mutex;
    EXPECT_FALSE(mutex.Release()) << "nobody owns it";
    std::lock_guard guard(mutex);
    EXPECT_FALSE(OnOtherThread([&] { return mutex.Release(); }));
    OnOtherThread([&] { mutex.unlock(); }); // refused silently
    EXPECT_TRUE(mutex.IsOwnedByCurrentThread());
    EXPECT_FALSE(OnOtherThread([&] { return mutex.try_lock(); }));
}

TEST(CriticalSectionTest, NestedEnterAndRefusedForeignLeave)
{
    CriticalSection section;
    section.Enter();
    section.Enter();
    EXPECT_FALSE(OnOtherThread([&] { return section.Leave(); }));
    EXPECT_FALSE(OnOtherThread([&] { return section.TryEnter(); }));
    EXPECT_TRUE(section.Leave());
    EXPECT_TRUE(section.IsHeldByCurrentThread());
    EXPECT_TRUE(section.Leave());
    EXPECT_FALSE(section.IsHeldByCurrentThread());
    EXPECT_FALSE(section.Leave());
}

TEST(CriticalSectionTest, SerialisesThreads)
{
    CriticalSection section;
    long counter = 0; // deliberately unsynchronised apart from the section
    std::vector<std::thread> threads;
    for (int t = 0; t < 8; ++t) {
        threads.emplace_back([&] {
            for (int i = 0; i < 5000; ++i) {
                std::lock_guard outer(section);
                std::lock_guard inner(section); // nesting as the callers do
                ++counter;
            }
        });
    }
    for (auto& thread : threads) {
        thread.join();
    }
    EXPECT_EQ(counter, 8 * 5000);
}

TEST(MutexTest, BlockedLockProceedsAfterRelease)
{
    Mutex mutex;
    mutex.lock();
    std::atomic<bool> acquired{false};
    std::atomic<unsigned long> otherId{0};
    std::thread other([&] {
        otherId = qvplat::CurrentNativeThreadId();
        mutex.lock();
        acquired = true;
        mutex.unlock();
    });
    while (otherId == 0) {
        std::this_thread::yield();
    }
    ASSERT_TRUE(qvtest::WaitUntilAsleep(otherId));
    EXPECT_FALSE(acquired);
    mutex.unlock();
    other.join();
    EXPECT_TRUE(acquired);
}

// ---------------------------------------------------------------------------
// Events

TEST(EventTest, AutoResetIsConsumedByOneWait)
{
    Event event(Event::Mode::AutoReset);
    EXPECT_FALSE(event.IsManualReset());
    EXPECT_EQ(event.Wait(0), WaitResult::Timeout);
    event.Set();
    event.Set(); // signals do not add up
    EXPECT_EQ(event.Wait(0), WaitResult::Signalled);
    EXPECT_EQ(event.Wait(0), WaitResult::Timeout);
    EXPECT_FALSE(event.IsSignalled());
}

TEST(EventTest, ManualResetStaysUntilReset)
{
    Event event(Event::Mode::ManualReset, true);
    EXPECT_TRUE(event.IsManualReset());
    EXPECT_EQ(event.Wait(0), WaitResult::Signalled);
    EXPECT_EQ(event.Wait(10), WaitResult::Signalled);
    event.Reset();
    EXPECT_EQ(event.Wait(0), WaitResult::Timeout);
}

TEST(EventTest, TimeoutReturnsAfterRoughlyTheTime)
{
    Event event;
    const auto start = std::chrono::steady_clock::now();
    EXPECT_EQ(event.Wait(30), WaitResult::Timeout);
    const auto elapsed = std::chrono::steady_clock::now() - start;
    EXPECT_GE(elapsed, 30ms);
    EXPECT_LT(elapsed, kPrompt);
}

TEST(EventTest, SetWakesABlockedWaiter)
{
    Event event;
    std::atomic<unsigned long> waiterId{0};
    auto waiter = std::async(std::launch::async, [&] {
        waiterId = qvplat::CurrentNativeThreadId();
        return event.Wait();
    });
    while (waiterId == 0) {
        std::this_thread::yield();
    }
    ASSERT_TRUE(qvtest::WaitUntilAsleep(waiterId));
    event.Set();
    ASSERT_EQ(waiter.wait_for(kPrompt), std::future_status::ready);
    EXPECT_EQ(waiter.get(), WaitResult::Signalled);
    EXPECT_FALSE(event.IsSignalled()) << "the waiter consumed the signal";
}

TEST(EventTest, AutoResetReleasesOneWaiterPerSet)
{
    Event event;
    std::atomic<int> released{0};
    std::vector<std::thread> waiters;
    std::array<std::atomic<unsigned long>, 4> waiterIds{};
    for (int i = 0; i < 4; ++i) {
        waiters.emplace_back([&, i] {
            waiterIds[static_cast<std::size_t>(i)] = qvplat::CurrentNativeThreadId();
            if (event.Wait(5000) == WaitResult::Signalled) {
                ++released;
            }
        });
    }
    std::vector<unsigned long> ids;
    for (auto& id : waiterIds) {
        while (id == 0) {
            std::this_thread::yield();
        }
        ids.push_back(id);
    }
    for (int i = 1; i <= 4; ++i) {
        event.Set();
        // Wait until one more waiter got through and every other one waits
        // again (or has ended), then check that no extra one got through.
        const auto until = std::chrono::steady_clock::now() + kPrompt;
        while (released < i && std::chrono::steady_clock::now() < until) {
            std::this_thread::sleep_for(1ms);
        }
        ASSERT_TRUE(qvtest::WaitUntilAsleep(ids));
        EXPECT_EQ(released, i);
    }
    for (auto& waiter : waiters) {
        waiter.join();
    }
}

TEST(EventTest, ManualResetReleasesAllWaiters)
{
    Event event(Event::Mode::ManualReset);
    std::vector<std::future<WaitResult>> waiters;
    for (int i = 0; i < 6; ++i) {
        waiters.push_back(std::async(std::launch::async, [&] { return event.Wait(); }));
    }
    event.Set();
    for (auto& waiter : waiters) {
        ASSERT_EQ(waiter.wait_for(kPrompt), std::future_status::ready);
        EXPECT_EQ(waiter.get(), WaitResult::Signalled);
    }
    EXPECT_TRUE(event.IsSignalled());
}

// ---------------------------------------------------------------------------
// Waiting on several events

TEST(WaitForMultipleTest, RejectsBadLists)
{
    Event a;
    Event b;
    a.Set();
    EXPECT_EQ(WaitForMultiple({}, false, 0), kWaitFailed);
    EXPECT_EQ(WaitForMultiple({&a, nullptr}, false, 0), kWaitFailed);
    EXPECT_EQ(WaitForMultiple({&a, &b, &a}, false, 0), kWaitFailed);
    EXPECT_TRUE(a.IsSignalled()) << "a refused wait consumes nothing";
}

TEST(WaitForMultipleTest, AnyReturnsLowestSignalledAndConsumesOnlyIt)
{
    Event a;
    Event b;
    Event c;
    b.Set();
    c.Set();
    EXPECT_EQ(WaitForMultiple({&a, &b, &c}, false, 0), 1);
    EXPECT_FALSE(b.IsSignalled());
    EXPECT_TRUE(c.IsSignalled());
    EXPECT_EQ(WaitForMultiple({&a, &b, &c}, false, 0), 2);
    EXPECT_EQ(WaitForMultiple({&a, &b, &c}, false, 20), kWaitTimeout);
}

TEST(WaitForMultipleTest, AnyWakesOnASetFromAnotherThread)
{
    Event a;
    Event b(Event::Mode::ManualReset);
    std::atomic<unsigned long> waiterId{0};
    auto waiter = std::async(std::launch::async, [&] {
        waiterId = qvplat::CurrentNativeThreadId();
        return WaitForMultiple({&a, &b}, false, qvplat::kInfinite);
    });
    while (waiterId == 0) {
        std::this_thread::yield();
    }
    ASSERT_TRUE(qvtest::WaitUntilAsleep(waiterId));
    b.Set();
    ASSERT_EQ(waiter.wait_for(kPrompt), std::future_status::ready);
    EXPECT_EQ(waiter.get(), 1);
    EXPECT_TRUE(b.IsSignalled()) << "manual reset stays set";
}

TEST(WaitForMultipleTest, AllNeedsEveryEventAtOnceAndConsumesTogether)
{
    Event a;
    Event b;
    Event manual(Event::Mode::ManualReset);
    a.Set();
    manual.Set();
    EXPECT_EQ(WaitForMultiple({&a, &b, &manual}, true, 10), kWaitTimeout);
    EXPECT_TRUE(a.IsSignalled()) << "nothing is consumed until all are set";

    b.Set();
    EXPECT_EQ(WaitForMultiple({&a, &b, &manual}, true, 0), 0);
    EXPECT_FALSE(a.IsSignalled());
    EXPECT_FALSE(b.IsSignalled());
    EXPECT_TRUE(manual.IsSignalled());
}

TEST(WaitForMultipleTest, AllWaitsForSetsFromSeveralThreads)
{
    std::array<Event, 4> events;
    std::vector<Event*> list;
    for (auto& event : events) {
        list.push_back(&event);
    }
    std::atomic<unsigned long> waiterId{0};
    auto waiter = std::async(std::launch::async, [&] {
        waiterId = qvplat::CurrentNativeThreadId();
        return WaitForMultiple(list, true, qvplat::kInfinite);
    });
    while (waiterId == 0) {
        std::this_thread::yield();
    }
    std::vector<std::thread> setters;
    for (auto& event : events) {
        setters.emplace_back([&event, id = waiterId.load()] {
            qvtest::WaitUntilAsleep(id);
            event.Set();
        });
    }
    for (auto& setter : setters) {
        setter.join();
    }
    ASSERT_EQ(waiter.wait_for(kPrompt), std::future_status::ready);
    EXPECT_EQ(waiter.get(), 0);
    for (auto& event : events) {
        EXPECT_FALSE(event.IsSignalled());
    }
}

TEST(WaitForMultipleTest, NoSignalIsLostUnderContention)
{
    // Producers set auto-reset events; consumers wait on all of them at
    // once. Each consumer takes one signal per round and confirms it, so every
    // Set must wake exactly one consumer.
    constexpr int kRounds = 300;
    std::array<Event, 3> events;
    Event done;
    std::atomic<int> consumed{0};
    std::atomic<bool> stop{false};
    std::vector<std::thread> consumers;
    for (int c = 0; c < 3; ++c) {
        consumers.emplace_back([&] {
            while (!stop) {
                const int index = WaitForMultiple({&events[0], &events[1], &events[2]}, false, 20);
                if (index >= 0) {
                    ++consumed;
                    done.Set();
                }
            }
        });
    }
    int rounds = 0;
    for (; rounds < kRounds; ++rounds) {
        events[static_cast<std::size_t>(rounds % 3)].Set();
        if (done.Wait(5000) != WaitResult::Signalled) {
            ADD_FAILURE() << "signal lost in round " << rounds;
            break;
        }
    }
    stop = true;
    for (auto& consumer : consumers) {
        consumer.join();
    }
    EXPECT_EQ(consumed, rounds);
    EXPECT_EQ(rounds, kRounds);
}

TEST(WaitForMultipleTest, OverlappingAllWaitsDoNotDeadlock)
{
    Event a(Event::Mode::ManualReset);
    Event b(Event::Mode::ManualReset);
    auto first = std::async(std::launch::async, [&] {
        return WaitForMultiple({&a, &b}, true, 5000);
    });
    auto second = std::async(std::launch::async, [&] {
        return WaitForMultiple({&b, &a}, true, 5000);
    });
    for (int i = 0; i < 100; ++i) {
        a.Set();
        a.Reset();
    }
    a.Set();
    b.Set();
    EXPECT_EQ(first.get(), 0);
    EXPECT_EQ(second.get(), 0);
}

} // namespace
