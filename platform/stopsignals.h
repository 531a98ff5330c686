#pragma once
// The stop signals: SIGTERM (as a service manager or another instance sends
// it) and SIGINT (from a terminal). A program that wants to end in order on
// them blocks them in every thread (BlockStopSignals, first thing in main,
// before any library starts a thread) and takes them through a descriptor
// instead of a handler, on a thread where it may do anything.

#include <functional>
#include <memory>

namespace qvplat {

// Blocks the stop signals in the calling thread and so in the threads it
// starts afterwards.
void BlockStopSignals();

// A wait for the stop signals that another thread can end.
class StopSignalWait
{
public:
    StopSignalWait();
    ~StopSignalWait();
    StopSignalWait(const StopSignalWait&) = delete;
    StopSignalWait& operator=(const StopSignalWait&) = delete;

    // False when the descriptors could not be set up; Wait then returns at
    // once.
    bool IsOpen() const;
    // Calls onStop, on the calling thread, for every stop signal that comes
    // until End has been called (before or during the wait).
    void Wait(const std::function<void()>& onStop);
    // Ends Wait; from any thread.
    void End();
    // Drops the stop signals that are pending.
    void Drop();

private:
    int m_signals;
    int m_ended;
};

// Waits on a thread of its own for the stop signals and calls onStop there
// for each (so onStop must only hand the request on). The signals must be
// blocked in every thread of the process (BlockStopSignals).
class StopSignalWatcher
{
public:
    explicit StopSignalWatcher(std::function<void()> onStop);
    // Ends the watching thread.
    ~StopSignalWatcher();
    StopSignalWatcher(const StopSignalWatcher&) = delete;
    StopSignalWatcher& operator=(const StopSignalWatcher&) = delete;

    // False when the thread could not be set up.
    bool IsWatching() const;

private:
    struct Impl;
    std::unique_ptr<Impl> m_impl;
};

} // namespace qvplat
