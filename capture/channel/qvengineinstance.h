#pragma once
// The capture engine's single-instance lock: "QvCaptureEngine.lock" in the
// runtime directory, held exclusively by the one engine for its whole life
// and recording its process id. The engine takes it before it opens the
// command channel, so only the holder ever serves commands. The lock file
// is opened only as a regular file, never through a symbolic link.
//
// Whoever names the engine by its recorded id (to watch it or to end it)
// gets a process handle, and only once the system confirms that the process
// with that id holds the lock: a record that someone else wrote, or that
// an engine which ended left behind, names nobody.
//
// The engine's pulse: a counter in the named memory "QvCaptureEnginePulse"
// with the engine's process id beside it, which a thread of the engine
// advances every kPulsePeriodMs. That thread does nothing else (no lock,
// no file, no other call), so only a process that is not running at all
// (stopped, or gone) leaves the counter still; a busy machine or a write
// that waits for a slow disk does not. (The memory lies in the runtime
// directory, a memory file system as a rule; where it falls back to a
// directory on disk, a store into the page may wait for that file
// system's journal now and then, which the controls' bound of seconds
// covers.) An engine clears its id from the block when it stops beating.

#include "platform/file.h"
#include "platform/named.h"
#include "platform/process.h"
#include "platform/sync.h"
#include "platform/thread.h"

#include <cstdint>
#include <memory>
#include <string>

struct QvEnginePulseBlock
{
    std::int32_t pid;    // the engine that advances the counter
    std::uint32_t count; // advanced every kPulsePeriodMs
};

class QvEngineInstance
{
public:
    static constexpr const char* kLockName = "QvCaptureEngine.lock";
    static constexpr const char* kPulseName = "QvCaptureEnginePulse";
    static constexpr std::uint32_t kPulsePeriodMs = 250;

    enum class Result {
        Acquired,
        HeldElsewhere,
        Failed, // no runtime directory, or the system refused
    };

    QvEngineInstance() = default;
    ~QvEngineInstance() { Release(); }
    QvEngineInstance(const QvEngineInstance&) = delete;
    QvEngineInstance& operator=(const QvEngineInstance&) = delete;

    // Takes the lock, waiting at most waitMs for a holder that is ending,
    // and records this process in it. An engine whose pulse still beats
    // holds it too (HeldElsewhere), also when its lock file was removed
    // and the lock taken here is one on a new file.
    Result Acquire(std::uint32_t waitMs);
    // Starts the pulse (the lock held); false when its memory or thread
    // cannot be had. Threads started here inherit the caller's signal mask.
    bool StartPulse();
    // Stops the pulse and lets the lock go (the record is cleared first).
    void Release();

    // The path of the lock file; "" without a runtime directory.
    static std::string LockPath();
    // Some process holds the lock: an engine is alive.
    static bool IsHeld();
    // A handle on the process that holds the lock, opened on the recorded
    // id and confirmed to hold it; false when nobody holds it, the record
    // names another process or the lock file is not a regular file.
    static bool OpenHolder(qvplat::ProcessHandle& holder);
    // The id of that process; 0 when it cannot be confirmed.
    static int HolderPid();
    // Asks the confirmed holder to end (SIGTERM); false when there is none.
    static bool TerminateHolder();

    // The pulse as a control sees it; a view that is null when the memory
    // cannot be had.
    class PulseView
    {
    public:
        PulseView();
        bool IsValid() const { return Block() != nullptr; }
        // The engine that beats and its count; pid 0 when none ever did.
        QvEnginePulseBlock Read() const;

    private:
        const QvEnginePulseBlock* Block() const;
        qvplat::SharedMemory m_memory;
    };

private:
    // Another live process beats the pulse (looked at for up to three
    // periods).
    static bool AnotherEngineBeats();
    void StopPulse();

    qvplat::File m_lock;
    bool m_held = false;
    qvplat::SharedMemory m_pulse;
    std::unique_ptr<qvplat::Event> m_pulseStop;
    qvplat::Thread m_pulseThread;
};
