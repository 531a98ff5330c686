#include "core/threads/qvthread.h"

#include "platform/clock.h"
#include "platform/sync.h"
#include "platform/testsupport/threadstate.h"
#include "platform/thread.h"

#include <gtest/gtest.h>

#include <array>
#include <atomic>
#include <chrono>
#include <cstdint>
#include <memory>
#include <stdexcept>
#include <thread>
#include <vector>

namespace {

// A worker that polls its run flag, sleeping 1 ms between polls, and keeps a
// member that it writes on every round, so a worker outliving the object is
// a use after free under the sanitizer build.
class PollingWorker : public QvThread
{
public:
    explicit PollingWorker(bool wait = true) : QvThread(wait) {}
    ~PollingWorker() override { JoinThread(); }

    std::atomic<int> entered{0};
    std::atomic<int> returned{0};
    std::atomic<bool> sawRunningFirst{false};
    std::vector<int> rounds = std::vector<int>(4, 0);

protected:
    void ProcessThread() override
    {
        sawRunningFirst = IsThreadRunning();
        ++entered;
        while (IsThreadRunning()) {
            ++rounds[0];
            qvplat::Sleep(1);
        }
        ++returned;
    }
};

TEST(QvThreadLifecycle, StopBeforeStartReturnsAtOnce)
{
    PollingWorker worker;
    EXPECT_EQ(worker.ThreadHandle(), 0u);
    worker.StopThread();
    worker.StopThread();
    EXPECT_FALSE(worker.IsThreadRunning());
    EXPECT_FALSE(worker.IsThreadAlive());
    EXPECT_EQ(worker.entered, 0);
}

TEST(QvThreadLifecycle, StartRunsLoopUntilStop)
{
    PollingWorker worker;
    const int handle = worker.StartThread();
    ASSERT_NE(handle, 0);
    EXPECT_EQ(static_cast<unsigned long>(handle), worker.ThreadHandle());
    EXPECT_TRUE(worker.IsThreadRunning());
    while (worker.entered == 0) {
        qvplat::Sleep(1);
    }
    worker.StopThread();
    EXPECT_FALSE(worker.IsThreadRunning());
    EXPECT_FALSE(worker.IsThreadAlive());
    EXPECT_EQ(worker.returned, 1);
    EXPECT_TRUE(worker.sawRunningFirst);
    // A second stop does nothing.
    worker.StopThread();
    EXPECT_EQ(worker.returned, 1);
}

TEST(QvThreadLifecycle, StopRightAfterStartWaitsForTheWorker)
{
    // The stop comes before the worker has had a chance to take its run
    // lock; it must wait all the same.
    for (int i = 0; i < 300; ++i) {
        PollingWorker worker;
        ASSERT_NE(worker.StartThread(), 0);
        worker.StopThread();
        ASSERT_EQ(worker.entered, 1) << "round " << i;
        ASSERT_EQ(worker.returned, 1) << "round " << i;
        ASSERT_FALSE(worker.IsThreadAlive());
    }
}

TEST(QvThreadLifecycle, ThousandStartStopDestroyCycles)
{
    for (int i = 0; i < 1000; ++i) {
        auto worker = std::make_unique<PollingWorker>(i % 2 == 0);
        ASSERT_NE(worker->StartThread(), 0);
        switch (i % 4) {
        case 0:
            worker->StopThread();
            break;
        case 1:
            worker->StopThreadNoWait();
            break;
        default:
            break; // destroyed while running
        }
        worker.reset();
    }
}

// Records what PreThreadStart saw and what the worker saw.
class HandleProbe : public QvThread
{
public:
    ~HandleProbe() override { JoinThread(); }

    std::atomic<std::uintptr_t> preStartHandle{0};
    std::atomic<bool> preStartBeforeWorker{false};
    std::atomic<bool> workerStarted{false};
    std::atomic<unsigned long> workerId{0};
    std::atomic<bool> priorityAccepted{false};

protected:
    void PreThreadStart(void* handle) override
    {
        preStartHandle = reinterpret_cast<std::uintptr_t>(handle);
        preStartBeforeWorker = !workerStarted && !IsThreadRunning();
        // Lowering the priority needs no privilege.
        priorityAccepted = RequestThreadPriority(qvplat::ThreadPriority::BelowNormal);
    }
    void ProcessThread() override
    {
        workerStarted = true;
        workerId = qvplat::CurrentNativeThreadId();
    }
};

TEST(QvThreadLifecycle, PreThreadStartSeesTheWorkersHandleBeforeItRuns)
{
    HandleProbe probe;
    const int handle = probe.StartThread();
    ASSERT_NE(handle, 0);
    probe.StopThread();
    EXPECT_TRUE(probe.workerStarted);
    EXPECT_TRUE(probe.preStartBeforeWorker);
    EXPECT_EQ(probe.preStartHandle, static_cast<std::uintptr_t>(probe.ThreadHandle()));
    EXPECT_EQ(probe.workerId, probe.ThreadHandle());
    EXPECT_EQ(static_cast<unsigned long>(handle), probe.ThreadHandle());
    EXPECT_TRUE(probe.priorityAccepted);
}

// Returns once a stop has begun (the run flag is clear) and every stopper
// named waits, so that a release that follows comes while the stop waits.
void ReleaseOnceStopWaits(const QvThread& worker, const std::vector<unsigned long>& stoppers)
{
    const auto end = std::chrono::steady_clock::now() + std::chrono::seconds(10);
    while (worker.IsThreadRunning() && std::chrono::steady_clock::now() < end) {
        std::this_thread::yield();
    }
    qvtest::WaitUntilAsleep(stoppers);
}

// A worker that blocks until released, to observe a stop that does not wait.
class GatedWorker : public QvThread
{
public:
    explicit GatedWorker(bool wait) : QvThread(wait) {}
    ~GatedWorker() override { JoinThread(); }

    qvplat::Event inside{qvplat::Event::Mode::ManualReset};
    qvplat::Event release{qvplat::Event::Mode::ManualReset};
    std::atomic<bool> finished{false};

protected:
    void ProcessThread() override
    {
        inside.Set();
        release.Wait();
        finished = true;
    }
};

TEST(QvThreadStop, StopWithoutWaitFlagReturnsWhileWorkerFinishes)
{
    GatedWorker worker(false);
    ASSERT_NE(worker.StartThread(), 0);
    ASSERT_EQ(worker.inside.Wait(10000), qvplat::WaitResult::Signalled);
    worker.StopThread();
    EXPECT_FALSE(worker.IsThreadRunning());
    EXPECT_TRUE(worker.IsThreadAlive());
    EXPECT_FALSE(worker.finished);
    worker.release.Set();
    worker.JoinThread();
    EXPECT_TRUE(worker.finished);
    EXPECT_FALSE(worker.IsThreadAlive());
}

TEST(QvThreadStop, WaitingStopBlocksUntilTheUnitOfWorkEnds)
{
    GatedWorker worker(true);
    ASSERT_NE(worker.StartThread(), 0);
    ASSERT_EQ(worker.inside.Wait(10000), qvplat::WaitResult::Signalled);
    std::thread releaser([&, stopper = qvplat::CurrentNativeThreadId()] {
        ReleaseOnceStopWaits(worker, {stopper});
        worker.release.Set();
    });
    worker.StopThread();
    EXPECT_TRUE(worker.finished);
    EXPECT_FALSE(worker.IsThreadAlive());
    releaser.join();
}

TEST(QvThreadStop, SecondStartIsRefusedUntilTheWorkerHasEnded)
{
    GatedWorker worker(true);
    const int first = worker.StartThread();
    ASSERT_NE(first, 0);
    ASSERT_EQ(worker.inside.Wait(10000), qvplat::WaitResult::Signalled);
    EXPECT_EQ(worker.StartThread(), 0);
    EXPECT_EQ(worker.ThreadHandle(), static_cast<unsigned long>(first));

    // Told to stop but still finishing its unit of work: still refused.
    worker.StopThreadNoWait();
    EXPECT_EQ(worker.StartThread(), 0);

    worker.release.Set();
    worker.StopThread();
    EXPECT_NE(worker.StartThread(), 0);
    worker.StopThread();
    EXPECT_FALSE(worker.IsThreadAlive());
}

TEST(QvThreadStop, WaitingStopAfterNoWaitStopStillWaits)
{
    GatedWorker worker(true);
    ASSERT_NE(worker.StartThread(), 0);
    ASSERT_EQ(worker.inside.Wait(10000), qvplat::WaitResult::Signalled);
    worker.StopThreadNoWait();
    worker.release.Set();
    worker.StopThread();
    EXPECT_TRUE(worker.finished);
    EXPECT_FALSE(worker.IsThreadAlive());
}

TEST(QvThreadStop, MonitorVariantAlwaysWaits)
{
    class MonitorWorker : public QvWaitingThread
    {
    public:
        ~MonitorWorker() override { JoinThread(); }
        std::atomic<bool> finished{false};
        qvplat::Event release{qvplat::Event::Mode::ManualReset};

    protected:
        void ProcessThread() override
        {
            while (IsThreadRunning()) {
                qvplat::Sleep(1);
            }
            // The unit of work after the stop lasts until the stopper waits.
            release.Wait();
            finished = true;
        }
    };
    MonitorWorker worker;
    EXPECT_TRUE(worker.WaitsOnStop());
    ASSERT_NE(worker.StartThread(), 0);
    std::thread releaser([&, stopper = qvplat::CurrentNativeThreadId()] {
        ReleaseOnceStopWaits(worker, {stopper});
        worker.release.Set();
    });
    worker.StopThread();
    EXPECT_TRUE(worker.finished);
    releaser.join();
}

// A worker that stops itself after a few rounds.
class SelfStopper : public QvThread
{
public:
    ~SelfStopper() override { JoinThread(); }
    qvplat::Event done{qvplat::Event::Mode::ManualReset};

protected:
    void ProcessThread() override
    {
        for (int round = 0; IsThreadRunning(); ++round) {
            if (round == 3) {
                StopThread();
                JoinThread();
            }
        }
        done.Set();
    }
};

TEST(QvThreadStop, WorkerStoppingItselfDoesNotDeadlock)
{
    SelfStopper worker;
    ASSERT_NE(worker.StartThread(), 0);
    ASSERT_EQ(worker.done.Wait(10000), qvplat::WaitResult::Signalled);
    EXPECT_FALSE(worker.IsThreadRunning());
    worker.StopThread(); // the owner's stop still joins
    EXPECT_FALSE(worker.IsThreadAlive());
}

class ThrowingWorker : public QvThread
{
public:
    ~ThrowingWorker() override { JoinThread(); }
    std::atomic<int> runs{0};

protected:
    void ProcessThread() override
    {
        ++runs;
        throw std::runtime_error("worker failure");
    }
};

TEST(QvThreadStop, ExceptionEndsOnlyTheWorker)
{
    ThrowingWorker worker;
    ASSERT_NE(worker.StartThread(), 0);
    worker.StopThread();
    EXPECT_EQ(worker.runs, 1);
    EXPECT_FALSE(worker.IsThreadAlive());

    // The run lock was left: the object starts and stops again.
    ASSERT_NE(worker.StartThread(), 0);
    worker.StopThread();
    EXPECT_EQ(worker.runs, 2);
}

TEST(QvThreadStop, WorkerEndedByItselfCanBeStoppedAndRestarted)
{
    HandleProbe probe;
    ASSERT_NE(probe.StartThread(), 0);
    while (!probe.workerStarted) {
        qvplat::Sleep(1);
    }
    // The loop returned on its own; the run flag stays set until a stop.
    EXPECT_TRUE(probe.IsThreadRunning());
    EXPECT_EQ(probe.StartThread(), 0);
    probe.StopThread();
    EXPECT_NE(probe.StartThread(), 0);
}

TEST(QvThreadStop, RunThreadOnAThreadStartedElsewhereIsWaitedFor)
{
    GatedWorker worker(true);
    std::thread foreign([&] { worker.RunThread(); });
    ASSERT_EQ(worker.inside.Wait(10000), qvplat::WaitResult::Signalled);
    EXPECT_TRUE(worker.IsThreadAlive());
    std::thread releaser([&, stopper = qvplat::CurrentNativeThreadId()] {
        ReleaseOnceStopWaits(worker, {stopper});
        worker.release.Set();
    });
    worker.StopThread();
    EXPECT_TRUE(worker.finished);
    EXPECT_FALSE(worker.IsThreadAlive());
    releaser.join();
    foreign.join();
}

TEST(QvThreadStop, ConcurrentStopsAllWait)
{
    GatedWorker worker(true);
    ASSERT_NE(worker.StartThread(), 0);
    ASSERT_EQ(worker.inside.Wait(10000), qvplat::WaitResult::Signalled);
    std::atomic<int> sawUnfinished{0};
    std::vector<std::thread> stoppers;
    std::array<std::atomic<unsigned long>, 4> stopperIds{};
    for (int i = 0; i < 4; ++i) {
        stoppers.emplace_back([&, i] {
            stopperIds[static_cast<std::size_t>(i)] = qvplat::CurrentNativeThreadId();
            worker.StopThread();
            if (!worker.finished) {
                ++sawUnfinished;
            }
        });
    }
    std::vector<unsigned long> ids;
    for (auto& id : stopperIds) {
        while (id == 0) {
            std::this_thread::yield();
        }
        ids.push_back(id);
    }
    ReleaseOnceStopWaits(worker, ids);
    worker.release.Set();
    for (auto& stopper : stoppers) {
        stopper.join();
    }
    EXPECT_EQ(sawUnfinished, 0);
}

} // namespace

namespace {

// Breaks the lifetime rule: nothing in its destructor stops the worker.
class CarelessWorker : public QvThread
{
public:
    explicit CarelessWorker(qvplat::Event& inside) : m_inside(inside) {}

protected:
    void ProcessThread() override
    {
        m_inside.Set();
        while (IsThreadRunning()) {
            qvplat::Sleep(1);
        }
    }

private:
    qvplat::Event& m_inside;
};

// Deletes itself from its own worker.
class SelfDeleter : public QvThread
{
protected:
    void ProcessThread() override { delete this; }
};

TEST(QvThreadLifetimeDeathTest, WorkerOutlivingItsObjectEndsTheProcess)
{
    if (!QvThread::kAbortsOnLifetimeError) {
        GTEST_SKIP() << "release builds log the error and join";
    }
    GTEST_FLAG_SET(death_test_style, "threadsafe");
    const struct
    {
        const char* name;
        void (*misuse)();
        const char* message;
    } cases[] = {
        {"destroyed by its owner while running",
         [] {
             qvplat::Event inside{qvplat::Event::Mode::ManualReset};
             auto* worker = new CarelessWorker(inside);
             worker->StartThread();
             inside.Wait(10000);
             delete worker;
         },
         "destroyed while its worker still runs ProcessThread"},
        {"destroyed right after its start",
         [] {
             qvplat::Event inside{qvplat::Event::Mode::ManualReset};
             auto* worker = new CarelessWorker(inside);
             worker->StartThread();
             delete worker;
         },
         // A worker that reaches its first virtual call only after the
         // subclass's part went ends the process there instead.
         "destroyed while its worker still runs ProcessThread|pure virtual method called"},
        {"deleted by its own worker",
         [] {
             qvplat::Event never{qvplat::Event::Mode::ManualReset};
             auto* worker = new SelfDeleter;
             worker->StartThread();
             never.Wait(); // the worker ends the process
         },
         "deleted by its own worker"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        EXPECT_DEATH(c.misuse(), c.message);
    }
}

} // namespace
