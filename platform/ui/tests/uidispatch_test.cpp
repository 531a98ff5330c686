#include "platform/sync.h"
#include "platform/ui/uidispatch.h"

#include <gtest/gtest.h>

#include <atomic>
#include <future>
#include <stdexcept>
#include <thread>
#include <vector>

namespace {

using qvplat::PumpedUiDispatcher;
using qvplat::RunOnUiThreadAndWait;

constexpr std::uint32_t kPatienceMs = 30000; // a bound for a hung test, not a speed check

TEST(UiDispatchTest, WorkFromWorkersRunsOnTheUiThreadInPostingOrder)
{
    PumpedUiDispatcher ui;
    constexpr int kThreads = 4;
    constexpr int kEach = 500;
    std::vector<std::vector<int>> seen(kThreads);
    std::atomic<int> offUiThread{0};
    std::vector<std::thread> workers;
    for (int t = 0; t < kThreads; ++t) {
        workers.emplace_back([&, t] {
            for (int i = 0; i < kEach; ++i) {
                ASSERT_TRUE(ui.Post([&, t, i] {
                    offUiThread += ui.IsUiThread() ? 0 : 1;
                    seen[static_cast<std::size_t>(t)].push_back(i);
                }));
            }
        });
    }
    std::size_t total = 0;
    EXPECT_TRUE(ui.PumpUntil(
        [&] {
            total = 0;
            for (const auto& list : seen) {
                total += list.size();
            }
            return total == kThreads * kEach;
        },
        kPatienceMs));
    for (std::thread& worker : workers) {
        worker.join();
    }
    EXPECT_EQ(offUiThread, 0);
    for (const auto& list : seen) {
        ASSERT_EQ(list.size(), static_cast<std::size_t>(kEach));
        for (int i = 0; i < kEach; ++i) {
            EXPECT_EQ(list[static_cast<std::size_t>(i)], i);
        }
    }
}

TEST(UiDispatchTest, RunAndWaitFromAWorkerReturnsAfterTheWorkAndPassesExceptions)
{
    PumpedUiDispatcher ui;
    bool ranOnUi = false;
    int ran = 0;
    auto worker = std::async(std::launch::async, [&] {
        const bool first = RunOnUiThreadAndWait(ui, [&] {
            ranOnUi = ui.IsUiThread();
            ++ran;
        });
        const bool seenFirst = ran == 1; // the wait ended after the work
        bool rethrown = false;
        try {
            RunOnUiThreadAndWait(ui, [&] {
                ++ran;
                throw std::runtime_error("from the UI thread");
            });
        } catch (const std::runtime_error&) {
            rethrown = true;
        }
        return first && seenFirst && rethrown;
    });
    ASSERT_TRUE(ui.PumpUntil([&] { return ran == 2; }, kPatienceMs));
    EXPECT_TRUE(worker.get());
    EXPECT_TRUE(ranOnUi);
}

TEST(UiDispatchTest, RunAndWaitOnTheUiThreadRunsAtOnceUnderAHeldLock)
{
    // The UI thread holds a lock that the work takes as well: queuing the
    // work and waiting for it would never end.
    PumpedUiDispatcher ui;
    qvplat::CriticalSection lock;
    std::lock_guard<qvplat::CriticalSection> hold(lock);
    bool ran = false;
    EXPECT_TRUE(RunOnUiThreadAndWait(ui, [&] {
        std::lock_guard<qvplat::CriticalSection> again(lock);
        ran = true;
    }));
    EXPECT_TRUE(ran);
    EXPECT_EQ(ui.Pump(), 0u);
}

// Tells when work has been queued.
class SignallingDispatcher final : public qvplat::UiDispatcher
{
public:
    explicit SignallingDispatcher(PumpedUiDispatcher& inner) : m_inner(inner) {}
    bool Post(std::function<void()> fn) override
    {
        const bool queued = m_inner.Post(std::move(fn));
        posted.Set();
        return queued;
    }
    bool IsUiThread() const override { return m_inner.IsUiThread(); }

    qvplat::Event posted{qvplat::Event::Mode::ManualReset};

private:
    PumpedUiDispatcher& m_inner;
};

TEST(UiDispatchTest, ClosingReleasesAWaitingWorkerAndRefusesNewWork)
{
    PumpedUiDispatcher ui;
    SignallingDispatcher signalling(ui);
    qvplat::CriticalSection coreLock;
    bool ran = false;
    auto worker = std::async(std::launch::async, [&] {
        // Waits with one of its own locks held.
        std::lock_guard<qvplat::CriticalSection> hold(coreLock);
        return RunOnUiThreadAndWait(signalling, [&] { ran = true; });
    });
    ASSERT_EQ(signalling.posted.Wait(kPatienceMs), qvplat::WaitResult::Signalled);
    ui.Close(); // the UI goes away without running the queued work
    EXPECT_FALSE(worker.get());
    EXPECT_FALSE(ran);
    EXPECT_FALSE(ui.Post([] {}));
}

} // namespace
