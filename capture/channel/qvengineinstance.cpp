#include "capture/channel/qvengineinstance.h"

#include "platform/paths.h"

#include <csignal>
#include <sys/types.h>

std::string QvEngineInstance::LockPath()
{
    const std::string dir = qvplat::RuntimeDirectory();
    return dir.empty() ? std::string() : dir + "/" + kLockName;
}

QvEngineInstance::Result QvEngineInstance::Acquire(std::uint32_t waitMs)
{
    Release();
    const std::string path = LockPath();
    if (path.empty() || !m_lock.OpenReadWrite(path, true)) {
        return Result::Failed;
    }
    switch (m_lock.Lock(qvplat::LockMode::Exclusive, waitMs)) {
    case qvplat::LockResult::Acquired:
        m_held = true;
        m_lock.WritePid();
        return Result::Acquired;
    case qvplat::LockResult::Busy:
        m_lock.Close();
        return Result::HeldElsewhere;
    default:
        m_lock.Close();
        return Result::Failed;
    }
}

void QvEngineInstance::Release()
{
    if (m_held) {
        m_lock.Truncate(0); // a later holder's record only
        m_held = false;
    }
    m_lock.Close();
}

bool QvEngineInstance::IsHeld()
{
    const std::string path = LockPath();
    qvplat::File probe;
    if (path.empty() || !probe.OpenRead(path)) {
        return false;
    }
    // A shared lock is refused only while the engine holds its exclusive
    // one; the engine waits a moment for its lock, so this probe cannot
    // turn it away.
    return probe.Lock(qvplat::LockMode::Shared, 0) == qvplat::LockResult::Busy;
}

int QvEngineInstance::HolderPid()
{
    const std::string path = LockPath();
    qvplat::File probe;
    if (path.empty() || !probe.OpenRead(path) ||
        probe.Lock(qvplat::LockMode::Shared, 0) != qvplat::LockResult::Busy) {
        return 0;
    }
    return probe.ReadPid();
}

bool QvEngineInstance::TerminateHolder()
{
    const int pid = HolderPid();
    return pid > 0 && ::kill(static_cast<pid_t>(pid), SIGTERM) == 0;
}
