#include "capture/channel/qvengineinstance.h"

#include "platform/paths.h"

#include <atomic>
#include <csignal>
#include <unistd.h>

std::string QvEngineInstance::LockPath()
{
    const std::string dir = qvplat::RuntimeDirectory();
    return dir.empty() ? std::string() : dir + "/" + kLockName;
}

QvEngineInstance::Result QvEngineInstance::Acquire(std::uint32_t waitMs)
{
    Release();
    const std::string path = LockPath();
    if (path.empty() || !m_lock.OpenLockFile(path)) {
        return Result::Failed;
    }
    switch (m_lock.Lock(qvplat::LockMode::Exclusive, waitMs)) {
    case qvplat::LockResult::Acquired:
        if (AnotherEngineBeats()) {
            m_lock.Close(); // a lock file that took the place of a removed one
            return Result::HeldElsewhere;
        }
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

bool QvEngineInstance::StartPulse()
{
    if (!m_held || m_pulseThread.IsValid()) {
        return false;
    }
    if (!m_pulse.Create(kPulseName, sizeof(QvEnginePulseBlock))) {
        return false;
    }
    auto* block = static_cast<QvEnginePulseBlock*>(m_pulse.Data());
    std::atomic_ref<std::int32_t>(block->pid).store(static_cast<std::int32_t>(::getpid()));
    m_pulseStop = std::make_unique<qvplat::Event>(qvplat::Event::Mode::ManualReset);
    qvplat::Event* stop = m_pulseStop.get();
    if (!m_pulseThread.Start([block, stop] {
            do {
                std::atomic_ref<std::uint32_t>(block->count).fetch_add(1);
            } while (stop->Wait(kPulsePeriodMs) == qvplat::WaitResult::Timeout);
        })) {
        m_pulseStop.reset();
        m_pulse.Close();
        return false;
    }
    return true;
}

bool QvEngineInstance::AnotherEngineBeats()
{
    const PulseView pulse;
    const QvEnginePulseBlock seen = pulse.Read();
    qvplat::ProcessHandle beater;
    if (seen.pid <= 0 || seen.pid == ::getpid() || !beater.Open(seen.pid)) {
        return false; // none, or one that has ended
    }
    // A few periods: an engine beats within them, a process that merely
    // took over the id of an ended one never does.
    for (int period = 0; period < 3; ++period) {
        if (beater.WaitForExit(kPulsePeriodMs)) {
            return false;
        }
        const QvEnginePulseBlock now = pulse.Read();
        if (now.pid != seen.pid) {
            return false;
        }
        if (now.count != seen.count) {
            return true;
        }
    }
    return false;
}

void QvEngineInstance::StopPulse()
{
    if (m_pulseThread.IsValid()) {
        m_pulseStop->Set();
        m_pulseThread.Join();
        m_pulseThread = qvplat::Thread();
        // The next engine need not look whether this one still beats.
        auto* block = static_cast<QvEnginePulseBlock*>(m_pulse.Data());
        std::int32_t self = static_cast<std::int32_t>(::getpid());
        std::atomic_ref<std::int32_t>(block->pid).compare_exchange_strong(self, 0);
    }
    m_pulseStop.reset();
    m_pulse.Close();
}

void QvEngineInstance::Release()
{
    StopPulse();
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
    if (path.empty() || !probe.OpenReadRegular(path, qvplat::FinalLink::Refuse)) {
        return false;
    }
    // A shared lock is refused only while the engine holds its exclusive
    // one; the engine waits a moment for its lock, so this probe cannot
    // turn it away.
    return probe.Lock(qvplat::LockMode::Shared, 0) == qvplat::LockResult::Busy;
}

bool QvEngineInstance::OpenHolder(qvplat::ProcessHandle& holder)
{
    holder.Close();
    const std::string path = LockPath();
    qvplat::File lock;
    if (path.empty() || !lock.OpenReadRegular(path, qvplat::FinalLink::Refuse)) {
        return false;
    }
    // The handle first, the check after: should the recorded process end
    // and its id pass to the lock's next holder in between, the handle
    // still names the one that ended and reaches nobody.
    if (!holder.Open(lock.ReadPid())) {
        return false;
    }
    if (lock.ExclusiveLockHolder() != holder.Pid()) {
        holder.Close();
        return false;
    }
    return true;
}

int QvEngineInstance::HolderPid()
{
    qvplat::ProcessHandle holder;
    return OpenHolder(holder) ? holder.Pid() : 0;
}

bool QvEngineInstance::TerminateHolder()
{
    qvplat::ProcessHandle holder;
    return OpenHolder(holder) && holder.Signal(SIGTERM);
}

QvEngineInstance::PulseView::PulseView()
{
    m_memory.Create(kPulseName, sizeof(QvEnginePulseBlock));
}

const QvEnginePulseBlock* QvEngineInstance::PulseView::Block() const
{
    return static_cast<const QvEnginePulseBlock*>(m_memory.Data());
}

QvEnginePulseBlock QvEngineInstance::PulseView::Read() const
{
    const QvEnginePulseBlock* block = Block();
    if (block == nullptr) {
        return {};
    }
    auto* writable = const_cast<QvEnginePulseBlock*>(block);
    return {std::atomic_ref<std::int32_t>(writable->pid).load(),
            std::atomic_ref<std::uint32_t>(writable->count).load()};
}
