#include "core/receive/qvholdoff.h"

#include <algorithm>
#include <cmath>

namespace {

constexpr double kNsPerSecond = 1e9;

// What one pause may gather, as a share of the kernel buffer; and the
// share of the buffer's time, less the recent lateness, that the pause may
// take.
constexpr std::size_t kBatchShare = 4;
constexpr double kSlackShare = 0.25;

} // namespace

std::size_t QvReceiveHoldoff::Capacity(long bufferBytes, long datagramBytes)
{
    if (bufferBytes <= 0 || datagramBytes <= 0) {
        return 0;
    }
    // What the kernel charges per datagram (its buffer's and its own
    // bookkeeping) stays below twice its length plus a kilobyte.
    return static_cast<std::size_t>(bufferBytes / (2 * datagramBytes + 1024));
}

void QvReceiveHoldoff::Reset(std::size_t capacity, std::uint64_t nowNs)
{
    m_capacity = capacity;
    m_target = std::min(kTargetBatch, capacity / kBatchShare);
    m_windowStart = nowNs;
    m_windowCount = 0;
    m_average = 0;
    m_peak = 0;
    m_lateness = 0;
    m_lastWake = nowNs;
    m_now = nowNs;
    m_noPauseUntil = nowNs;
    m_drained = false;
    m_lastFoundNothing = true;
}

void QvReceiveHoldoff::Note(std::uint64_t nowNs, std::size_t datagrams, bool drained)
{
    m_now = nowNs;
    m_drained = drained;
    m_lastFoundNothing = datagrams == 0;
    m_windowCount += datagrams;
    if (nowNs < m_windowStart) {
        m_windowStart = nowNs;
        m_windowCount = datagrams;
        return;
    }
    const std::uint64_t elapsed = nowNs - m_windowStart;
    if (elapsed < kRateWindowNs) {
        return;
    }
    const double seconds = static_cast<double>(elapsed) / kNsPerSecond;
    const double rate = static_cast<double>(m_windowCount) / seconds;
    const double memory = static_cast<double>(kPeakMemoryNs) / kNsPerSecond;
    m_average += (rate - m_average) * std::min(1.0, seconds / (memory / 4));
    m_peak = std::max(rate, m_peak * std::exp2(-seconds / memory));
    m_windowStart = nowNs;
    m_windowCount = 0;
}

void QvReceiveHoldoff::NoteWake(std::uint64_t dueNs, std::uint64_t nowNs)
{
    const double late = nowNs > dueNs ? static_cast<double>(nowNs - dueNs) : 0.0;
    const double since = nowNs > m_lastWake ? static_cast<double>(nowNs - m_lastWake) : 0.0;
    m_lateness =
        std::max(late, m_lateness * std::exp2(-since / static_cast<double>(kLatenessMemoryNs)));
    m_lastWake = nowNs;
}

void QvReceiveHoldoff::NoteDrops(std::uint64_t nowNs)
{
    m_noPauseUntil = nowNs + kDropBackoffNs;
}

std::uint64_t QvReceiveHoldoff::Next() const
{
    if (!m_drained || m_lastFoundNothing || m_target < 2 || m_peak <= 0 || m_now < m_noPauseUntil) {
        return 0;
    }
    const double fill = static_cast<double>(m_capacity) / m_peak * kNsPerSecond;
    const double pause =
        std::min({static_cast<double>(m_target) / m_peak * kNsPerSecond,
                  static_cast<double>(kMaxNs), (fill - m_lateness) * kSlackShare});
    if (pause < static_cast<double>(kMinNs) || m_average * pause / kNsPerSecond < 2) {
        return 0;
    }
    return static_cast<std::uint64_t>(pause);
}
