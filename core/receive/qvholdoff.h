#pragma once
// How long the stream receiver's collector thread may leave its drained
// socket alone before it waits on it again.
//
// A thread that waits on a socket is woken for every datagram that arrives
// while it sleeps; on a fast stream that is one wake-up per datagram, and
// a wake-up costs far more than taking a datagram in. Leaving the socket
// alone for a moment lets several datagrams gather in the kernel's buffer,
// to be taken in one batch. While the thread sleeps by choice only the
// kernel's buffer holds the stream, so the pause is given only where it
// pays and never where it could cost data:
//   - only after a receive that emptied the socket (a backlog is taken
//     without a pause), and never after a pause that found nothing;
//   - only when the stream brings at least two datagrams in the pause, at
//     its recent average rate (on a slow stream a pause would add a
//     wake-up, not save one);
//   - a pause gathers at most a quarter of the kernel buffer (counted
//     generously per datagram) or a batch of kTargetBatch, at the highest
//     rate seen in any millisecond of the recent past;
//   - the pause takes at most a quarter of what is left of the time the
//     buffer takes to fill at that rate once the thread's recent lateness
//     in waking from a pause (the scheduler's delay, the worst of the last
//     second or so) is taken off: on a busy machine the pauses shrink, and
//     vanish where the delay alone fills the buffer;
//   - once the kernel has dropped datagrams during a pause (or the wake
//     from it) the thread does not pause for kDropBackoffNs: it waits on
//     the socket, woken by every datagram. Drops while it was not pausing
//     (a thread kept off the processor while a datagram waited) are no
//     reason to stop pausing, and stopping would only cost more wake-ups
//     on a machine that is busy already;
//   - between kMinNs and kMaxNs: a shorter sleep costs about what the
//     wake-ups it saves cost (a timer's slack alone is tens of
//     microseconds). Fast streams want the pause as well: a thread woken
//     at every datagram keeps pace with it and takes one or two a time.
// Times are nanoseconds of a monotonic clock, passed in by the caller.

#include "core/qvexport.h"

#include <cstddef>
#include <cstdint>

class QV_API QvReceiveHoldoff
{
public:
    static constexpr std::uint64_t kMinNs = 100'000;
    static constexpr std::uint64_t kMaxNs = 4'000'000;
    // Datagrams one pause aims to gather.
    static constexpr std::size_t kTargetBatch = 32;
    // Rates are measured over at least this long.
    static constexpr std::uint64_t kRateWindowNs = 1'000'000;
    // The highest rate seen halves over about this long; the average rate
    // follows the stream over about a quarter of it.
    static constexpr std::uint64_t kPeakMemoryNs = 128'000'000;
    // The worst lateness seen halves over about this long.
    static constexpr std::uint64_t kLatenessMemoryNs = 1'000'000'000;
    // No pause for this long after the kernel dropped datagrams.
    static constexpr std::uint64_t kDropBackoffNs = 2'000'000'000;

    // Datagrams of `datagramBytes` that a kernel receive buffer of
    // `bufferBytes` (as the kernel reports it) holds at the least.
    static std::size_t Capacity(long bufferBytes, long datagramBytes);

    // Starts afresh for a socket whose buffer holds `capacity` datagrams.
    void Reset(std::size_t capacity, std::uint64_t nowNs);
    // A pass of the collector thread took `datagrams` in at `nowNs`;
    // `drained` tells whether the socket was left empty.
    void Note(std::uint64_t nowNs, std::size_t datagrams, bool drained);
    // A pause meant to end at `dueNs` ended at `nowNs`.
    void NoteWake(std::uint64_t dueNs, std::uint64_t nowNs);
    // The kernel dropped datagrams on the socket during a pause; seen at
    // `nowNs`.
    void NoteDrops(std::uint64_t nowNs);
    // The pause to take before the next wait on the socket; 0: wait at once.
    std::uint64_t Next() const;

    // Datagrams per second: the recent average and the recent peak.
    double AverageRate() const { return m_average; }
    double PeakRate() const { return m_peak; }
    // The worst recent lateness in waking from a pause, in nanoseconds.
    double Lateness() const { return m_lateness; }

private:
    std::size_t m_capacity = 0;
    std::size_t m_target = 0;
    std::uint64_t m_windowStart = 0;
    std::size_t m_windowCount = 0;
    double m_average = 0;
    double m_peak = 0;
    double m_lateness = 0;
    std::uint64_t m_lastWake = 0;
    std::uint64_t m_now = 0;
    std::uint64_t m_noPauseUntil = 0;
    bool m_drained = false;
    bool m_lastFoundNothing = true;
};
