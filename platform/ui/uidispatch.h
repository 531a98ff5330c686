#pragma once
// Running work on the user-interface thread.
//
// Windows and the objects that live on the user-interface thread are only
// touched there; other threads hand work over through a UiDispatcher. Work
// posted from one thread runs in the order it was posted. Programs use the
// wx implementation (platform/ui/wx/wxuidispatch.h); tests use the pumped
// queue below, which runs work only when the test pumps it.
//
// A dispatcher is shared across libraries as a std::shared_ptr: a control
// library compiled with its own copy of this code receives its container's
// dispatcher rather than looking for a process-wide one, since such a global
// would exist once per library.

#include <condition_variable>
#include <cstddef>
#include <cstdint>
#include <deque>
#include <functional>
#include <mutex>
#include <thread>

namespace qvplat {

class UiDispatcher
{
public:
    virtual ~UiDispatcher() = default;

    // Queues fn to run on the user-interface thread after everything posted
    // before it; safe from any thread. False when the dispatcher runs no more
    // work (it was closed): fn is then destroyed unrun. Work that is queued
    // but never run (the dispatcher closes first) is destroyed unrun as well.
    virtual bool Post(std::function<void()> fn) = 0;
    virtual bool IsUiThread() const = 0;
};

// Runs fn on the user-interface thread and waits until it has run. Called on
// that thread it runs fn at once, so a caller that holds locks never waits
// for a queue that only it could drain. An exception from fn is rethrown to
// the caller. False, without waiting further, when the dispatcher dropped fn.
bool RunOnUiThreadAndWait(UiDispatcher& dispatcher, std::function<void()> fn);

// A dispatcher whose queue runs only when its owner pumps it; the
// user-interface thread is the thread that created it.
class PumpedUiDispatcher final : public UiDispatcher
{
public:
    PumpedUiDispatcher();
    ~PumpedUiDispatcher() override;
    PumpedUiDispatcher(const PumpedUiDispatcher&) = delete;
    PumpedUiDispatcher& operator=(const PumpedUiDispatcher&) = delete;

    bool Post(std::function<void()> fn) override;
    bool IsUiThread() const override;

    // Runs the work queued so far (work that it posts waits for the next
    // pump) and returns how many functions ran. Only on the UI thread; 0
    // elsewhere.
    std::size_t Pump();
    // Pumps until done() is true, waiting for posted work in between; false
    // when timeoutMs passed first or when called off the UI thread.
    bool PumpUntil(const std::function<bool()>& done, std::uint32_t timeoutMs);
    // Refuses further work and destroys what is queued, unrun.
    void Close();

private:
    const std::thread::id m_uiThread;
    mutable std::mutex m_lock;
    std::condition_variable m_posted;
    std::deque<std::function<void()>> m_queue;
    bool m_open = true;
};

} // namespace qvplat
