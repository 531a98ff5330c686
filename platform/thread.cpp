#include "platform/thread.h"

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <chrono>
#include <condition_variable>
#include <cstdio>
#include <cxxabi.h>
#include <mutex>
#include <new>
#include <sched.h>
#include <sys/resource.h>
#include <system_error>
#include <unistd.h>

namespace qvplat {

// ---------------------------------------------------------------------------
// Ids

NativeThreadId CurrentNativeThreadId()
{
    return static_cast<NativeThreadId>(::gettid());
}

// ---------------------------------------------------------------------------
// Priorities

namespace {

struct PriorityPlan
{
    bool valid = false;
    bool realtime = false;
    int nice = 0; // also the fallback for a refused real-time request
};

PriorityPlan PlanFor(int level)
{
    switch (level) {
    case ThreadPriority::Idle:
        return {true, false, 19};
    case ThreadPriority::Lowest:
        return {true, false, 10};
    case ThreadPriority::BelowNormal:
        return {true, false, 5};
    case ThreadPriority::Normal:
        return {true, false, 0};
    case ThreadPriority::AboveNormal:
        return {true, false, -5};
    case ThreadPriority::Highest:
        return {true, false, -10};
    case ThreadPriority::TimeCritical:
        return {true, true, -15};
    default:
        return {};
    }
}

// A modest real-time priority: above every normal thread, well below the
// kernel's and system daemons' real-time threads.
int RealtimePriority()
{
    const int low = ::sched_get_priority_min(SCHED_RR);
    const int high = ::sched_get_priority_max(SCHED_RR);
    return std::min(low + 9, high);
}

PriorityResult Outcome(PriorityResult::Status status, int level, int error)
{
    if (error == ESRCH) {
        status = PriorityResult::Status::NoThread;
    }
    return PriorityResult{status, level, error};
}

// Returns 0 or the errno of the failure.
int SetNice(pid_t tid, int nice)
{
    return ::setpriority(PRIO_PROCESS, static_cast<id_t>(tid), nice) == 0 ? 0 : errno;
}

int SetPolicy(pid_t tid, int policy, int priority)
{
    sched_param param{};
    param.sched_priority = priority;
    return ::sched_setscheduler(tid, policy, &param) == 0 ? 0 : errno;
}

} // namespace

std::string PriorityResult::Describe() const
{
    const std::string prefix = "thread priority " + std::to_string(level);
    const std::string reason = std::generic_category().message(error);
    switch (status) {
    case Status::Applied:
        return prefix + " applied";
    case Status::Approximated:
        return prefix + ": real-time scheduling refused (" + reason +
               "), raised nice value used instead";
    case Status::Refused:
        return prefix + " refused: " + reason;
    case Status::InvalidLevel:
        return prefix + " is not a valid level";
    case Status::NoThread:
        return prefix + ": no such thread";
    }
    return prefix;
}

PriorityResult SetThreadPriority(NativeThreadId thread, int level)
{
    using Status = PriorityResult::Status;
    const PriorityPlan plan = PlanFor(level);
    if (!plan.valid) {
        return Outcome(Status::InvalidLevel, level, 0);
    }
    if (thread == 0) {
        return Outcome(Status::NoThread, level, 0);
    }
    const auto tid = static_cast<pid_t>(thread);

    if (plan.realtime) {
        const int error = SetPolicy(tid, SCHED_RR, RealtimePriority());
        if (error == 0) {
            return Outcome(Status::Applied, level, 0);
        }
        if (error == ESRCH) {
            return Outcome(Status::NoThread, level, error);
        }
        return SetNice(tid, plan.nice) == 0 ? Outcome(Status::Approximated, level, error)
                                            : Outcome(Status::Refused, level, error);
    }

    // Leave real-time scheduling that an earlier request may have set.
    const int policy = ::sched_getscheduler(tid);
    if (policy < 0) {
        return Outcome(Status::Refused, level, errno);
    }
    if ((policy & ~SCHED_RESET_ON_FORK) != SCHED_OTHER) {
        const int error = SetPolicy(tid, SCHED_OTHER, 0);
        if (error != 0) {
            return Outcome(Status::Refused, level, error);
        }
    }
    const int error = SetNice(tid, plan.nice);
    return error == 0 ? Outcome(Status::Applied, level, 0) : Outcome(Status::Refused, level, error);
}

PriorityResult SetCurrentThreadPriority(int level)
{
    return SetThreadPriority(CurrentNativeThreadId(), level);
}

// ---------------------------------------------------------------------------
// Exception reporting

namespace {

void DefaultExceptionHook(NativeThreadId thread, std::exception_ptr error)
{
    std::fprintf(stderr, "thread %lu ended by an unhandled exception: %s\n", thread,
                 DescribeException(error).c_str());
}

std::atomic<ThreadExceptionHook> g_exceptionHook{&DefaultExceptionHook};

void ReportException(NativeThreadId thread, const std::exception_ptr& error) noexcept
{
    try {
        g_exceptionHook.load()(thread, error);
    } catch (...) {
        // A hook must not throw; dropping it keeps the thread's end orderly.
    }
}

} // namespace

ThreadExceptionHook SetThreadExceptionHook(ThreadExceptionHook hook)
{
    return g_exceptionHook.exchange(hook != nullptr ? hook : &DefaultExceptionHook);
}

std::string DescribeException(const std::exception_ptr& error)
{
    if (!error) {
        return "no exception";
    }
    try {
        std::rethrow_exception(error);
    } catch (const std::exception& e) {
        return e.what();
    } catch (...) {
        return "unknown exception";
    }
}

// ---------------------------------------------------------------------------
// Thread

struct Thread::State
{
    enum class Gate {
        Closed,
        Open,
        Cancelled,
    };

    std::mutex lock;
    std::condition_variable changed; // every change below is announced here
    NativeThreadId nativeId = 0;     // both ids are set by the thread before it waits at the gate
    std::thread::id id;
    Gate gate = Gate::Closed;
    bool finished = false;
    std::exception_ptr error;
};

namespace {

// Marks the thread finished however its body is left, including the forced
// unwinding of a thread exit.
class FinishOnExit
{
public:
    FinishOnExit(std::mutex& lock, std::condition_variable& changed, bool& finished)
        : m_lock(lock), m_changed(changed), m_finished(finished)
    {
    }
    FinishOnExit(const FinishOnExit&) = delete;
    FinishOnExit& operator=(const FinishOnExit&) = delete;
    ~FinishOnExit()
    {
        {
            std::lock_guard guard(m_lock);
            m_finished = true;
        }
        m_changed.notify_all();
    }

private:
    std::mutex& m_lock;
    std::condition_variable& m_changed;
    bool& m_finished;
};

} // namespace

Thread::Thread() noexcept = default;

Thread::~Thread()
{
    Abandon();
}

Thread::Thread(Thread&& other) noexcept
    : m_state(std::move(other.m_state)), m_thread(std::move(other.m_thread))
{
}

Thread& Thread::operator=(Thread&& other) noexcept
{
    if (this != &other) {
        Abandon();
        m_state = std::move(other.m_state);
        m_thread = std::move(other.m_thread);
    }
    return *this;
}

bool Thread::CreateSuspended(Function function)
{
    if (m_state || !function) {
        return false;
    }
    std::shared_ptr<State> state;
    std::thread thread;
    try {
        state = std::make_shared<State>();
        thread = std::thread([state, body = std::move(function)]() {
            {
                std::unique_lock guard(state->lock);
                state->nativeId = CurrentNativeThreadId();
                state->id = CurrentThreadId();
                state->changed.notify_all();
                state->changed.wait(guard, [&] { return state->gate != State::Gate::Closed; });
                if (state->gate == State::Gate::Cancelled) {
                    state->finished = true;
                    state->changed.notify_all();
                    return;
                }
            }
            FinishOnExit finish(state->lock, state->changed, state->finished);
            try {
                body();
            } catch (abi::__forced_unwind&) {
                throw; // a thread exit must unwind all the way
            } catch (...) {
                const std::exception_ptr error = std::current_exception();
                {
                    std::lock_guard guard(state->lock);
                    state->error = error;
                }
                ReportException(CurrentNativeThreadId(), error);
            }
        });
    } catch (const std::system_error&) {
        return false;
    } catch (const std::bad_alloc&) {
        return false;
    }
    {
        // Wait until the thread has published its id and sits at the gate.
        std::unique_lock guard(state->lock);
        state->changed.wait(guard, [&] { return state->nativeId != 0; });
    }
    m_state = std::move(state);
    m_thread = std::move(thread);
    return true;
}

bool Thread::Start(Function function)
{
    return CreateSuspended(std::move(function)) && Resume();
}

bool Thread::Resume()
{
    if (!m_state) {
        return false;
    }
    {
        std::lock_guard guard(m_state->lock);
        if (m_state->gate != State::Gate::Closed) {
            return false;
        }
        m_state->gate = State::Gate::Open;
    }
    m_state->changed.notify_all();
    return true;
}

bool Thread::Cancel()
{
    if (!m_state) {
        return false;
    }
    {
        std::lock_guard guard(m_state->lock);
        if (m_state->gate != State::Gate::Closed) {
            return false;
        }
        m_state->gate = State::Gate::Cancelled;
    }
    m_state->changed.notify_all();
    return true;
}

bool Thread::Join(std::uint32_t timeoutMs)
{
    if (!m_state) {
        return false;
    }
    {
        std::unique_lock guard(m_state->lock);
        if (m_state->gate == State::Gate::Closed) {
            return false;
        }
        auto finished = [this] { return m_state->finished; };
        if (timeoutMs == kInfinite) {
            m_state->changed.wait(guard, finished);
        } else if (!m_state->changed.wait_for(guard, std::chrono::milliseconds(timeoutMs),
                                              finished)) {
            return false;
        }
    }
    // The function is done; reaping the thread only waits for its last few
    // instructions.
    if (m_thread.joinable()) {
        m_thread.join();
    }
    return true;
}

bool Thread::IsResumed() const
{
    if (!m_state) {
        return false;
    }
    std::lock_guard guard(m_state->lock);
    return m_state->gate == State::Gate::Open;
}

bool Thread::IsFinished() const
{
    if (!m_state) {
        return false;
    }
    std::lock_guard guard(m_state->lock);
    return m_state->finished;
}

std::thread::id Thread::Id() const
{
    if (!m_state) {
        return {};
    }
    std::lock_guard guard(m_state->lock);
    return m_state->id;
}

NativeThreadId Thread::NativeId() const
{
    if (!m_state) {
        return 0;
    }
    std::lock_guard guard(m_state->lock);
    return m_state->nativeId;
}

PriorityResult Thread::SetPriority(int level)
{
    if (!m_state || IsFinished()) {
        return PriorityResult{PriorityResult::Status::NoThread, level, 0};
    }
    return SetThreadPriority(NativeId(), level);
}

std::exception_ptr Thread::Exception() const
{
    if (!m_state) {
        return nullptr;
    }
    std::lock_guard guard(m_state->lock);
    return m_state->finished ? m_state->error : nullptr;
}

void Thread::Abandon() noexcept
{
    if (!m_state) {
        return;
    }
    if (Cancel()) {
        m_thread.join(); // the cancelled thread ends at once
    } else if (m_thread.joinable()) {
        m_thread.detach();
    }
    m_state.reset();
}

} // namespace qvplat
