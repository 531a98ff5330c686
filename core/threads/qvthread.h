#pragma once
// The base of the long-running worker objects.
//
// A subclass puts its loop into ProcessThread and polls IsThreadRunning
// between units of work, returning soon after it turns false. StartThread
// runs that loop on a thread of its own; the stop operations clear the run
// flag, and a waiting stop then waits until the thread has ended. No thread
// is ever killed.
//
// Lifetime rule for subclasses: the worker runs the subclass's code and uses
// its members, and the base destructor runs only after those members are
// gone. A subclass must therefore stop its worker first thing in its own
// destructor, before any member goes:
//
//     class Scanner : public QvThread
//     {
//     public:
//         ~Scanner() override { JoinThread(); } // stop first
//     protected:
//         void ProcessThread() override
//         {
//             while (IsThreadRunning()) {
//                 ScanOnce(m_table);
//             }
//         }
//     private:
//         Table m_table; // used by the worker: destroyed only after the join
//     };
//
// The base destructor checks the rule. When it finds the worker still inside
// ProcessThread (or released and about to enter it), or finds itself called
// by its own worker, debug and sanitizer builds end the process with a
// message on standard error; release builds log the error and then stop and
// join (an object deleted by its own worker cannot be joined).

#include "core/qvexport.h"

#include <atomic>
#include <memory>

namespace qvthread_detail {
#if !defined(NDEBUG) || defined(QV_SANITIZE_BUILD)
inline constexpr bool kCheckedBuild = true;
#else
inline constexpr bool kCheckedBuild = false;
#endif
} // namespace qvthread_detail

class QV_API QvThread
{
public:
    // With wait set, StopThread waits for the worker to end.
    explicit QvThread(bool wait = true);

    // Whether this build ends the process on the lifetime error described
    // above (debug and sanitizer builds) instead of logging it.
    static constexpr bool kAbortsOnLifetimeError = qvthread_detail::kCheckedBuild;

    QvThread(const QvThread&) = delete;
    QvThread& operator=(const QvThread&) = delete;
    // Stops the worker and waits for its end (whatever the wait flag); see
    // the lifetime rule above.
    virtual ~QvThread();

    // Starts the worker: creates the thread held before its first
    // instruction, calls PreThreadStart with its handle, sets the run flag
    // and lets the thread run. Returns the thread handle (never 0), or 0
    // when no thread could be created, when this object's worker has not
    // been stopped or is still finishing, or when called from the worker
    // itself. An object whose worker was stopped and has ended may be
    // started again.
    int StartThread();

    // Clears the run flag. For an object built with the wait flag it then
    // waits until the worker has ended, also when the worker has not yet
    // begun to run; a later call returns at once. Called by the worker
    // itself, it only clears the flag.
    void StopThread();
    // Clears the run flag and returns at once.
    void StopThreadNoWait();
    // Clears the run flag and waits until the worker has ended, whatever
    // the wait flag. Subclasses call it from their destructors. Called by
    // the worker itself, it only clears the flag.
    void JoinThread();

    // The body of the worker: runs ProcessThread under the run lock with the
    // alive flag set. An exception escaping ProcessThread is logged and ends
    // the worker only. Public so that a thread started by other means can
    // run it; such a thread is waited for through the run lock alone, which
    // covers it only once it has entered RunThread.
    void RunThread();

    // The run flag: set by StartThread, cleared by the stop operations. The
    // worker's loop polls it.
    bool IsThreadRunning() const { return m_running.load(std::memory_order_acquire); }
    // True exactly while ProcessThread executes.
    bool IsThreadAlive() const { return m_alive.load(std::memory_order_acquire); }
    // The handle of the last thread started (the system's thread id); 0
    // before the first start.
    unsigned long ThreadHandle() const { return m_handle.load(std::memory_order_acquire); }
    bool WaitsOnStop() const { return m_wait; }

protected:
    // The worker's loop.
    virtual void ProcessThread() = 0;
    // Called on the starting thread after the worker thread exists and
    // before it runs its first instruction. `handle` carries the value that
    // ThreadHandle returns (cast to a pointer); subclasses set the priority
    // or other attributes here. Empty in the base.
    virtual void PreThreadStart(void* handle);

    // Asks the system for one of the qvplat::ThreadPriority levels for this
    // object's worker (from PreThreadStart, from the worker or from the
    // owner). A refused request is logged and leaves the thread as it was.
    bool RequestThreadPriority(int level);

private:
    struct Runtime;

    bool CalledFromWorker() const;
    void StopAndMaybeJoin(bool join);
    [[noreturn]] void AbortOnLifetimeError(const char* what) const;

    std::atomic<unsigned long> m_handle{0};
    std::atomic<bool> m_alive{false};
    std::atomic<bool> m_running{false};
    // Set when the worker is released, cleared once it has entered RunThread
    // (after the alive flag is set): with the alive flag it covers the whole
    // time in which the worker may still call the subclass.
    std::atomic<bool> m_released{false};
    const bool m_wait;
    std::unique_ptr<Runtime> m_runtime; // run lock and the thread itself
};

// The thread base of the program monitor's own worker classes: it has no
// wait flag, and every StopThread waits for the worker to end.
class QV_API QvWaitingThread : public QvThread
{
public:
    QvWaitingThread() : QvThread(true) {}
};
