#include "platform/stopsignals.h"

#include "platform/thread.h"

#include <cerrno>
#include <csignal>
#include <cstdint>
#include <poll.h>
#include <pthread.h>
#include <sys/eventfd.h>
#include <sys/signalfd.h>
#include <unistd.h>

namespace qvplat {
namespace {

sigset_t StopSignals()
{
    sigset_t signals;
    sigemptyset(&signals);
    sigaddset(&signals, SIGTERM);
    sigaddset(&signals, SIGINT);
    return signals;
}

// Reads every pending stop signal; the number read.
int DrainSignals(int fd)
{
    int count = 0;
    signalfd_siginfo info{};
    while (::read(fd, &info, sizeof info) == static_cast<ssize_t>(sizeof info)) {
        ++count;
    }
    return count;
}

void CloseIfOpen(int fd)
{
    if (fd >= 0) {
        ::close(fd);
    }
}

} // namespace

void BlockStopSignals()
{
    const sigset_t signals = StopSignals();
    ::pthread_sigmask(SIG_BLOCK, &signals, nullptr);
}

StopSignalWait::StopSignalWait()
{
    const sigset_t signals = StopSignals();
    m_signals = ::signalfd(-1, &signals, SFD_CLOEXEC | SFD_NONBLOCK);
    m_ended = ::eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK);
}

StopSignalWait::~StopSignalWait()
{
    CloseIfOpen(m_signals);
    CloseIfOpen(m_ended);
}

bool StopSignalWait::IsOpen() const
{
    return m_signals >= 0 && m_ended >= 0;
}

void StopSignalWait::Wait(const std::function<void()>& onStop)
{
    if (!IsOpen()) {
        return;
    }
    pollfd waits[2] = {{m_signals, POLLIN, 0}, {m_ended, POLLIN, 0}};
    for (;;) {
        if (::poll(waits, 2, -1) < 0) {
            if (errno == EINTR) {
                continue;
            }
            return;
        }
        if ((waits[0].revents & POLLIN) != 0 && DrainSignals(m_signals) > 0 && onStop) {
            onStop();
        }
        if ((waits[1].revents & POLLIN) != 0) {
            return;
        }
    }
}

void StopSignalWait::End()
{
    const std::uint64_t one = 1;
    [[maybe_unused]] const ssize_t written = ::write(m_ended, &one, sizeof one);
}

void StopSignalWait::Drop()
{
    if (m_signals >= 0) {
        DrainSignals(m_signals);
    }
}

struct StopSignalWatcher::Impl
{
    StopSignalWait wait;
    Thread thread;
};

StopSignalWatcher::StopSignalWatcher(std::function<void()> onStop) : m_impl(new Impl)
{
    if (!m_impl->wait.IsOpen() || !onStop) {
        return;
    }
    StopSignalWait& wait = m_impl->wait;
    m_impl->thread.Start([&wait, onStop = std::move(onStop)] { wait.Wait(onStop); });
}

StopSignalWatcher::~StopSignalWatcher()
{
    if (m_impl->thread.IsValid()) {
        m_impl->wait.End();
        m_impl->thread.Join();
    }
}

bool StopSignalWatcher::IsWatching() const
{
    return m_impl->thread.IsValid() && !m_impl->thread.IsFinished();
}

} // namespace qvplat
