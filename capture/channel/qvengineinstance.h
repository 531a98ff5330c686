#pragma once
// The capture engine's single-instance lock: "QvCaptureEngine.lock" in the
// runtime directory, held exclusively by the one engine for its whole life
// and recording its process id. The engine takes it before it opens the
// command channel, so only the holder ever serves commands; a control asks
// whether it is held to tell a live engine from the presence flag that a
// crashed one left set.

#include "platform/file.h"

#include <cstdint>
#include <string>

class QvEngineInstance
{
public:
    static constexpr const char* kLockName = "QvCaptureEngine.lock";

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
    // and records this process in it.
    Result Acquire(std::uint32_t waitMs);
    // Lets the lock go (the record is cleared first).
    void Release();

    // The path of the lock file; "" without a runtime directory.
    static std::string LockPath();
    // Some process holds the lock: an engine is alive.
    static bool IsHeld();
    // The process that holds the lock; 0 when nobody holds it or none is
    // recorded yet.
    static int HolderPid();
    // Asks the holder to end (SIGTERM); false when nobody holds the lock or
    // no process is recorded.
    static bool TerminateHolder();

private:
    qvplat::File m_lock;
    bool m_held = false;
};
