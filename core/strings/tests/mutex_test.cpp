// The library's mutex: recursive, owned by the acquiring thread.

#include "core/strings/utmutex.h"

#include "platform/testsupport/threadstate.h"
#include "platform/thread.h"

#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <thread>

namespace {

TEST(UtMutexHandle, TheOwnerMayAcquireAgainAndReleasesEachLevel)
{
    UtMutexHandle mutex;
    mutex.acquire();
    mutex.acquire();
    EXPECT_TRUE(mutex.release());
    EXPECT_TRUE(mutex.release());
    EXPECT_FALSE(mutex.release()) << "nothing left to release";
}

TEST(UtMutexHandle, AnotherThreadWaitsUntilTheLastRelease)
{
    UtMutexHandle mutex;
    std::atomic<bool> acquired{false};
    mutex.acquire();
    mutex.acquire();

    std::atomic<unsigned long> otherId{0};
    std::thread other([&] {
        otherId = qvplat::CurrentNativeThreadId();
        mutex.acquire();
        acquired = true;
        mutex.release();
    });
    while (otherId == 0) {
        std::this_thread::yield();
    }

    // Each check comes once the other thread waits (again): one that got
    // the mutex would have run on instead.
    ASSERT_TRUE(qvtest::WaitUntilAsleep(otherId));
    EXPECT_FALSE(acquired);
    mutex.release();
    ASSERT_TRUE(qvtest::WaitUntilAsleep(otherId));
    EXPECT_FALSE(acquired) << "one level is still held";
    mutex.release();
    other.join();
    EXPECT_TRUE(acquired);
}

TEST(UtMutexHandle, ReleaseFromAThreadThatDoesNotOwnItIsRefused)
{
    UtMutexHandle mutex;
    mutex.acquire();
    bool released = true;
    std::thread([&] { released = mutex.release(); }).join();
    EXPECT_FALSE(released);
    EXPECT_TRUE(mutex.release());
}

} // namespace
