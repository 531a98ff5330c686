#include "platform/thread.h"

#include "platform/testsupport/threadstate.h"

#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <memory>
#include <stdexcept>
#include <sys/resource.h>
#include <thread>

namespace {

using qvplat::Event;
using qvplat::NativeThreadId;
using qvplat::PriorityResult;
using qvplat::Thread;
using qvplat::ThreadPriority;
using qvplat::WaitResult;
using namespace std::chrono_literals;

constexpr std::uint32_t kPromptMs = 5000;

TEST(ThreadTest, NothingRunsBeforeResume)
{
    std::atomic<bool> ran{false};
    Thread thread;
    ASSERT_TRUE(thread.CreateSuspended([&] { ran = true; }));
    EXPECT_TRUE(thread.IsValid());
    EXPECT_FALSE(thread.IsResumed());
    // Asleep at its start gate, without having run the function.
    ASSERT_TRUE(qvtest::WaitUntilAsleep(thread.NativeId()));
    EXPECT_FALSE(ran);
    EXPECT_FALSE(thread.Join(0)) << "a thread never resumed is not joinable";

    EXPECT_TRUE(thread.Resume());
    EXPECT_FALSE(thread.Resume()) << "only one resume";
    EXPECT_TRUE(thread.Join(kPromptMs));
    EXPECT_TRUE(ran);
    EXPECT_TRUE(thread.IsFinished());
    EXPECT_TRUE(thread.Join()) << "joining again still reports the end";
}

TEST(ThreadTest, PreStartSeesTheIdsTheThreadSees)
{
    NativeThreadId seenNative = 0;
    std::thread::id seenId;
    Thread thread;
    ASSERT_TRUE(thread.CreateSuspended([&] {
        seenNative = qvplat::CurrentNativeThreadId();
        seenId = qvplat::CurrentThreadId();
    }));
    // What a pre-start hook gets, before the thread has run.
    const NativeThreadId handedNative = thread.NativeId();
    const std::thread::id handedId = thread.Id();
    EXPECT_NE(handedNative, 0u);
    EXPECT_NE(handedNative, qvplat::CurrentNativeThreadId());
    EXPECT_NE(handedId, qvplat::CurrentThreadId());

    ASSERT_TRUE(thread.Resume());
    ASSERT_TRUE(thread.Join(kPromptMs));
    EXPECT_EQ(seenNative, handedNative);
    EXPECT_EQ(seenId, handedId);
    EXPECT_EQ(thread.Id(), handedId) << "ids stay readable after the end";
}

TEST(ThreadTest, JoinTimesOutWhileTheFunctionRuns)
{
    Event release;
    Thread thread;
    ASSERT_TRUE(thread.Start([&] { release.Wait(); }));
    EXPECT_FALSE(thread.Join(20));
    EXPECT_FALSE(thread.IsFinished());
    release.Set();
    EXPECT_TRUE(thread.Join(kPromptMs));
}

TEST(ThreadTest, RefusesBadCreation)
{
    Thread thread;
    EXPECT_FALSE(thread.CreateSuspended({}));
    EXPECT_FALSE(thread.IsValid());
    EXPECT_FALSE(thread.Resume());
    EXPECT_FALSE(thread.Join(0));
    EXPECT_EQ(thread.NativeId(), 0u);

    ASSERT_TRUE(thread.Start([] {}));
    EXPECT_FALSE(thread.CreateSuspended([] {})) << "a handle holds one thread";
    EXPECT_TRUE(thread.Join(kPromptMs));
}

TEST(ThreadTest, ExceptionIsKeptForTheJoinerAndReported)
{
    static std::atomic<NativeThreadId> reportedThread{0};
    static std::atomic<bool> reportedText{false};
    auto hook = [](NativeThreadId id, std::exception_ptr error) {
        reportedThread = id;
        reportedText = qvplat::DescribeException(error) == "worker failed";
    };
    const auto previous = qvplat::SetThreadExceptionHook(hook);

    Thread thread;
    ASSERT_TRUE(thread.Start([] { throw std::runtime_error("worker failed"); }));
    ASSERT_TRUE(thread.Join(kPromptMs));
    EXPECT_TRUE(thread.IsFinished());
    ASSERT_TRUE(thread.Exception());
    EXPECT_EQ(qvplat::DescribeException(thread.Exception()), "worker failed");
    EXPECT_EQ(reportedThread, thread.NativeId());
    EXPECT_TRUE(reportedText);

    Thread odd;
    ASSERT_TRUE(odd.Start([] { throw 42; }));
    ASSERT_TRUE(odd.Join(kPromptMs));
    EXPECT_EQ(qvplat::DescribeException(odd.Exception()), "unknown exception");

    qvplat::SetThreadExceptionHook(previous);
}

TEST(ThreadTest, ThrowingHookDoesNotEscape)
{
    const auto previous = qvplat::SetThreadExceptionHook(
        [](NativeThreadId, std::exception_ptr) { throw std::logic_error("hook"); });
    Thread thread;
    ASSERT_TRUE(thread.Start([] { throw std::runtime_error("x"); }));
    EXPECT_TRUE(thread.Join(kPromptMs));
    EXPECT_TRUE(thread.Exception());
    qvplat::SetThreadExceptionHook(previous);
}

TEST(ThreadTest, CleanFunctionLeavesNoException)
{
    Thread thread;
    ASSERT_TRUE(thread.Start([] {}));
    ASSERT_TRUE(thread.Join(kPromptMs));
    EXPECT_FALSE(thread.Exception());
}

TEST(ThreadTest, DestroyingAnUnresumedHandleCancelsPromptly)
{
    std::atomic<bool> ran{false};
    const auto start = std::chrono::steady_clock::now();
    for (int i = 0; i < 50; ++i) {
        Thread thread;
        ASSERT_TRUE(thread.CreateSuspended([&] { ran = true; }));
    }
    EXPECT_FALSE(ran);
    EXPECT_LT(std::chrono::steady_clock::now() - start, 5s);
}

TEST(ThreadTest, CancelEndsWithoutRunning)
{
    std::atomic<bool> ran{false};
    Thread thread;
    ASSERT_TRUE(thread.CreateSuspended([&] { ran = true; }));
    EXPECT_TRUE(thread.Cancel());
    EXPECT_FALSE(thread.Resume());
    EXPECT_FALSE(thread.Cancel());
    EXPECT_TRUE(thread.Join(kPromptMs));
    EXPECT_FALSE(ran);
    EXPECT_FALSE(thread.Exception());
}

TEST(ThreadTest, DestroyingAResumedHandleLetsTheThreadFinish)
{
    // The detached thread can no longer be joined: it shares the events, so
    // they last until it is done with them, wherever it is when the test ends.
    const auto release = std::make_shared<Event>();
    const auto finished = std::make_shared<Event>(Event::Mode::ManualReset);
    {
        Thread thread;
        ASSERT_TRUE(thread.Start([release, finished] {
            release->Wait();
            finished->Set();
        }));
    }
    release->Set();
    EXPECT_EQ(finished->Wait(kPromptMs), WaitResult::Signalled);
}

TEST(ThreadTest, MovedHandleKeepsTheThread)
{
    std::atomic<int> runs{0};
    Thread first;
    ASSERT_TRUE(first.CreateSuspended([&] { ++runs; }));
    const NativeThreadId id = first.NativeId();
    Thread second(std::move(first));
    EXPECT_FALSE(first.IsValid()); // NOLINT(bugprone-use-after-move): checked on purpose
    EXPECT_EQ(second.NativeId(), id);

    Thread third;
    ASSERT_TRUE(third.CreateSuspended([&] { runs += 100; }));
    third = std::move(second); // the unresumed thread third held is cancelled
    ASSERT_TRUE(third.Resume());
    ASSERT_TRUE(third.Join(kPromptMs));
    EXPECT_EQ(runs, 1);
}

TEST(ThreadTest, ThousandCreateResumeJoinCycles)
{
    std::atomic<int> runs{0};
    for (int i = 0; i < 1000; ++i) {
        Thread thread;
        ASSERT_TRUE(thread.CreateSuspended([&] { ++runs; }));
        ASSERT_TRUE(thread.Resume());
        ASSERT_TRUE(thread.Join(kPromptMs));
    }
    EXPECT_EQ(runs, 1000);
}

// ---------------------------------------------------------------------------
// Priorities

TEST(ThreadPriorityTest, InvalidLevelChangesNothing)
{
    const PriorityResult result = qvplat::SetCurrentThreadPriority(7);
    EXPECT_EQ(result.status, PriorityResult::Status::InvalidLevel);
    EXPECT_FALSE(result.Succeeded());
    EXPECT_NE(result.Describe().find("7"), std::string::npos);
}

TEST(ThreadPriorityTest, LoweringAThreadBeforeItRunsApplies)
{
    int niceSeen = 0;
    Thread thread;
    ASSERT_TRUE(thread.CreateSuspended([&] {
        niceSeen = ::getpriority(PRIO_PROCESS, static_cast<id_t>(qvplat::CurrentNativeThreadId()));
    }));
    const PriorityResult result = thread.SetPriority(ThreadPriority::Lowest);
    EXPECT_EQ(result.status, PriorityResult::Status::Applied) << result.Describe();
    ASSERT_TRUE(thread.Resume());
    ASSERT_TRUE(thread.Join(kPromptMs));
    EXPECT_GT(niceSeen, 0);
    EXPECT_EQ(thread.SetPriority(ThreadPriority::Normal).status, PriorityResult::Status::NoThread);
}

TEST(ThreadPriorityTest, RaisedLevelsApplyOrReportRefusal)
{
    // Raised levels need privileges here; whichever way it goes, the answer
    // must be an orderly result with a text to log.
    for (const int level :
         {ThreadPriority::AboveNormal, ThreadPriority::Highest, ThreadPriority::TimeCritical}) {
        PriorityResult result;
        Thread thread;
        ASSERT_TRUE(thread.Start([&] { result = qvplat::SetCurrentThreadPriority(level); }));
        ASSERT_TRUE(thread.Join(kPromptMs));
        EXPECT_EQ(result.level, level);
        EXPECT_NE(result.status, PriorityResult::Status::InvalidLevel);
        EXPECT_NE(result.status, PriorityResult::Status::NoThread);
        if (!result.Succeeded()) {
            EXPECT_NE(result.error, 0);
            EXPECT_NE(result.Describe().find("refused"), std::string::npos) << result.Describe();
        }
    }
}

TEST(ThreadPriorityTest, NoThreadForZeroId)
{
    EXPECT_EQ(qvplat::SetThreadPriority(0, ThreadPriority::Normal).status,
              PriorityResult::Status::NoThread);
    Thread empty;
    EXPECT_EQ(empty.SetPriority(ThreadPriority::Normal).status, PriorityResult::Status::NoThread);
}

} // namespace
