#pragma once
// Handles on running processes. A handle stays with the process it was
// opened on: once that process has ended its id may be given to another,
// but the handle never reaches the newcomer (a process file descriptor, so
// a signal sent through it after the end fails instead of hitting someone
// else).

#include <cstdint>

namespace qvplat {

class ProcessHandle
{
public:
    ProcessHandle() = default;
    ~ProcessHandle();
    ProcessHandle(ProcessHandle&& other) noexcept;
    ProcessHandle& operator=(ProcessHandle&& other) noexcept;
    ProcessHandle(const ProcessHandle&) = delete;
    ProcessHandle& operator=(const ProcessHandle&) = delete;

    // Opens a handle on the process that has this id now; false (errno set)
    // when there is none. A handle already open is closed first.
    bool Open(int pid);
    void Close();
    bool IsOpen() const { return m_fd >= 0; }
    // The id the process had when the handle was opened; 0 when closed.
    int Pid() const { return m_pid; }

    // The process has ended (an open handle only; a closed one answers
    // false).
    bool HasExited() const;
    // Waits at most timeoutMs for the end; true once it has ended.
    bool WaitForExit(std::uint32_t timeoutMs) const;
    // Sends the signal; false (errno set) when the process has ended or the
    // system refused.
    bool Signal(int signal) const;

private:
    int m_fd = -1;
    int m_pid = 0;
};

} // namespace qvplat
