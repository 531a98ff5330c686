#include "core/threads/qvthread.h"

#include "core/settings/qvlog.h"
#include "platform/sync.h"
#include "platform/thread.h"

#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cxxabi.h>
#include <exception>
#include <mutex>
#include <string>

// What the base keeps behind its pointer: the run lock that the worker holds
// for the whole of ProcessThread, the worker thread itself, and the control
// lock that serialises starting and stopping. The control lock is taken by
// owners only, never by the worker, so an owner may hold it while joining.
struct QvThread::Runtime
{
    qvplat::CriticalSection runLock;
    std::recursive_mutex control;
    qvplat::Thread thread;
};

QvThread::QvThread(bool wait) : m_wait(wait), m_runtime(std::make_unique<Runtime>())
{
}

QvThread::~QvThread()
{
    if (CalledFromWorker()) {
        // The worker is deleting its own object: it cannot wait for itself,
        // and it will touch this object again when ProcessThread returns.
        if (kAbortsOnLifetimeError) {
            AbortOnLifetimeError("deleted by its own worker");
        }
        QvLog("QvThread: worker %lu deleted its own object", ThreadHandle());
        m_running.store(false, std::memory_order_release);
        return;
    }
    if (IsThreadAlive() || m_released.load(std::memory_order_acquire)) {
        // The subclass's part is already gone while its worker still runs.
        if (kAbortsOnLifetimeError) {
            AbortOnLifetimeError("destroyed while its worker still runs ProcessThread");
        }
        QvDebugMsg("QvThread: worker %lu still running at base destruction; "
                   "its class should stop it in its own destructor",
                   ThreadHandle());
    }
    JoinThread();
}

void QvThread::AbortOnLifetimeError(const char* what) const
{
    // Written straight to standard error as well: the log may be off, and
    // the process ends right here.
    std::fprintf(stderr,
                 "QvThread: object %s (worker %lu); a subclass must call JoinThread first "
                 "in its own destructor\n",
                 what, ThreadHandle());
    std::fflush(stderr);
    QvLog("QvThread: object %s (worker %lu)", what, ThreadHandle());
    std::abort();
}

int QvThread::StartThread()
{
    if (CalledFromWorker() || IsThreadAlive()) {
        return 0; // one worker per object at a time
    }
    std::lock_guard<std::recursive_mutex> guard(m_runtime->control);
    qvplat::Thread& current = m_runtime->thread;
    if (current.IsValid()) {
        if (IsThreadRunning() || !current.IsFinished()) {
            return 0;
        }
        current.Join();
        current = qvplat::Thread();
    }

    qvplat::Thread created;
    if (!created.CreateSuspended([this] { RunThread(); })) {
        QvLog("QvThread: could not create a worker thread");
        return 0;
    }
    const unsigned long handle = created.NativeId();
    current = std::move(created);
    m_handle.store(handle, std::memory_order_release);

    try {
        PreThreadStart(reinterpret_cast<void*>(static_cast<std::uintptr_t>(handle)));
    } catch (...) {
        // The worker never ran: end it at its start gate so the object can
        // be started again.
        current = qvplat::Thread();
        throw;
    }
    if (!current.IsValid()) {
        return 0; // PreThreadStart stopped it: it never ran
    }

    // Set before the worker can run, so a loop that tests it first sees it.
    m_running.store(true, std::memory_order_release);
    m_released.store(true, std::memory_order_release);
    if (!current.Resume()) {
        m_released.store(false, std::memory_order_release);
    }
    return static_cast<int>(handle);
}

void QvThread::StopThread()
{
    StopAndMaybeJoin(m_wait);
}

void QvThread::StopThreadNoWait()
{
    m_running.store(false, std::memory_order_release);
}

void QvThread::JoinThread()
{
    StopAndMaybeJoin(true);
}

void QvThread::StopAndMaybeJoin(bool join)
{
    m_running.store(false, std::memory_order_release);
    if (!join || CalledFromWorker()) {
        return;
    }
    std::lock_guard<std::recursive_mutex> guard(m_runtime->control);
    qvplat::Thread& current = m_runtime->thread;
    if (current.IsValid()) {
        if (current.IsResumed()) {
            current.Join();
        }
        // Frees the thread's bookkeeping; a thread never resumed (a stop
        // from within PreThreadStart) is cancelled without running.
        current = qvplat::Thread();
    }
    // A thread started by other means that runs RunThread holds the run
    // lock while it works; taking the lock waits for it.
    m_runtime->runLock.Enter();
    m_runtime->runLock.Leave();
}

namespace {

// Clears the alive flag however ProcessThread is left, a forced thread exit
// included.
class AliveWhileInScope
{
public:
    explicit AliveWhileInScope(std::atomic<bool>& alive) : m_alive(alive)
    {
        m_alive.store(true, std::memory_order_release);
    }
    AliveWhileInScope(const AliveWhileInScope&) = delete;
    AliveWhileInScope& operator=(const AliveWhileInScope&) = delete;
    ~AliveWhileInScope() { m_alive.store(false, std::memory_order_release); }

private:
    std::atomic<bool>& m_alive;
};

} // namespace

void QvThread::RunThread()
{
    std::lock_guard<qvplat::CriticalSection> hold(m_runtime->runLock);
    AliveWhileInScope alive(m_alive);
    m_released.store(false, std::memory_order_release);
    try {
        ProcessThread();
    } catch (abi::__forced_unwind&) {
        throw; // a thread exit must unwind all the way
    } catch (...) {
        const std::string what = qvplat::DescribeException(std::current_exception());
        QvLog("QvThread: worker %lu ended by an exception: %s", qvplat::CurrentNativeThreadId(),
              what.c_str());
    }
}

void QvThread::PreThreadStart(void* /*handle*/)
{
}

bool QvThread::RequestThreadPriority(int level)
{
    const unsigned long handle = ThreadHandle();
    if (handle == 0) {
        return false;
    }
    const qvplat::PriorityResult result = qvplat::SetThreadPriority(handle, level);
    if (!result.Succeeded()) {
        QvDebugMsg("QvThread: worker %lu: %s", handle, result.Describe().c_str());
    }
    return result.Succeeded();
}

bool QvThread::CalledFromWorker() const
{
    return m_runtime->runLock.IsHeldByCurrentThread();
}
