// Threads for the system's workers. A thread is created held at a start
// gate, so its creator can look at it (its id, its priority) before it runs
// a single instruction of its own, and is then released with Resume. A
// function that ends by an exception does not take the process down: the
// exception is kept for the joiner and passed to a process-wide hook.
#pragma once

#include "platform/sync.h"

#include <cstdint>
#include <exception>
#include <functional>
#include <memory>
#include <string>
#include <thread>

namespace qvplat {

// The kernel's id of a thread; never 0 for a live thread.
using NativeThreadId = unsigned long;

NativeThreadId CurrentNativeThreadId();
inline std::thread::id CurrentThreadId()
{
    return std::this_thread::get_id();
}

// Thread priority levels, with the values the system's settings use.
struct ThreadPriority
{
    static constexpr int Idle = -15;
    static constexpr int Lowest = -2;
    static constexpr int BelowNormal = -1;
    static constexpr int Normal = 0;
    static constexpr int AboveNormal = 1;
    static constexpr int Highest = 2;
    static constexpr int TimeCritical = 15;
};

// The outcome of a priority request. Raised priorities usually need
// privileges on this platform; a refused request leaves the thread as it was
// and is meant to be logged by the caller, never made up for by spinning.
struct PriorityResult
{
    enum class Status {
        Applied,      // the level's scheduling was set
        Approximated, // real-time scheduling refused, a raised nice value set instead
        Refused,      // not permitted; the thread keeps its priority
        InvalidLevel, // not one of the ThreadPriority levels; nothing changed
        NoThread,     // no such (live) thread
    };

    Status status = Status::Applied;
    int level = ThreadPriority::Normal;
    int error = 0; // errno of the refused request, 0 when none

    bool Succeeded() const { return status == Status::Applied || status == Status::Approximated; }
    // One line for a log, e.g. "thread priority 15 refused: Operation not permitted".
    std::string Describe() const;
};

// Lower levels raise the thread's nice value; Normal restores 0; AboveNormal
// and Highest lower it; TimeCritical asks for round-robin real-time
// scheduling and falls back to a strongly lowered nice value.
PriorityResult SetThreadPriority(NativeThreadId thread, int level);
PriorityResult SetCurrentThreadPriority(int level);

// Called on a thread whose function ended by an exception, with the thread's
// id and the exception. Must not throw (anything it throws is dropped).
using ThreadExceptionHook = void (*)(NativeThreadId thread, std::exception_ptr error);

// Installs a hook and returns the previous one; null restores the default,
// which writes one line to standard error.
ThreadExceptionHook SetThreadExceptionHook(ThreadExceptionHook hook);

// The text of an exception: what() for standard exceptions, else a fixed text.
std::string DescribeException(const std::exception_ptr& error);

// A handle to one thread.
//
// Lifecycle: CreateSuspended starts the thread and returns once it waits at
// its start gate (its ids are known by then); Resume lets it run the
// function; Join waits for its end. Start does both steps at once.
//
// Destroying (or move-assigning over) a handle whose thread was never resumed
// cancels it: the function is not run and the thread is joined, which takes
// no time. Destroying the handle of a resumed thread detaches it, like closing
// a thread handle: the thread runs on and its bookkeeping is freed when it
// ends. Join first when the thread's end must be awaited.
class Thread
{
public:
    using Function = std::function<void()>;

    Thread() noexcept;
    ~Thread();
    Thread(Thread&& other) noexcept;
    Thread& operator=(Thread&& other) noexcept;
    Thread(const Thread&) = delete;
    Thread& operator=(const Thread&) = delete;

    // Creates the thread held at its start gate. False when the system could
    // not create a thread, the function is empty or this handle already
    // holds a thread; the handle is then unchanged.
    bool CreateSuspended(Function function);
    // CreateSuspended followed by Resume.
    bool Start(Function function);

    // Opens the start gate. False when there is no thread or it was already
    // resumed or cancelled.
    bool Resume();
    // Ends a thread that was never resumed without running its function.
    // False when there is no thread or it was already resumed or cancelled.
    bool Cancel();

    // Waits for the thread to end, at most timeoutMs. True once it has ended
    // (also on later calls); false on timeout, for an empty handle and for a
    // thread never resumed, which would never end by itself.
    bool Join(std::uint32_t timeoutMs = kInfinite);

    bool IsValid() const { return m_state != nullptr; }
    bool IsResumed() const;
    bool IsFinished() const;

    std::thread::id Id() const;      // equals CurrentThreadId() on the thread
    NativeThreadId NativeId() const; // equals CurrentNativeThreadId() on the thread; 0 when empty

    PriorityResult SetPriority(int level);

    // The exception that ended the function, once the thread has finished;
    // null when it returned normally, was cancelled or has not finished.
    std::exception_ptr Exception() const;

private:
    struct State;
    void Abandon() noexcept;

    std::shared_ptr<State> m_state;
    std::thread m_thread;
};

} // namespace qvplat
