// The stream receiver's buffer levels, level check and reading side.
#include "core/receive/qvcollector.h"

#include "core/settings/qvlog.h"
#include "core/threads/qvmessage.h"
#include "core/packets/qvpacket.h"

#include "platform/clock.h"

#include <algorithm>
#include <climits>
#include <cstdint>
#include <cstring>

namespace {

// The reader takes a packet only when the queue holds more than this many.
constexpr std::size_t kMinQueued = 2;

// Level arithmetic is done in 64 bits and brought back into int: the window
// and the sizes come from settings that may hold any value, and their sums
// must neither overflow nor wrap.
int SaturatedInt(std::int64_t value)
{
    return static_cast<int>(std::clamp<std::int64_t>(value, INT_MIN, INT_MAX));
}

} // namespace

// A reader call in progress: Stop waits for every one to end before it frees
// the packets and the carry, and no call gets in once running has fallen.
class QvUdpDataCollector::ReaderCall
{
public:
    explicit ReaderCall(QvUdpDataCollector& owner) : m_owner(owner)
    {
        std::lock_guard<std::mutex> lock(owner.m_waitLock);
        if (owner.m_running.load()) {
            ++owner.m_readerCalls;
            m_entered = true;
        }
    }
    ReaderCall(const ReaderCall&) = delete;
    ReaderCall& operator=(const ReaderCall&) = delete;
    ~ReaderCall()
    {
        if (!m_entered) {
            return;
        }
        std::lock_guard<std::mutex> lock(m_owner.m_waitLock);
        if (--m_owner.m_readerCalls == 0) {
            m_owner.m_readersDone.notify_all();
        }
    }

    bool Entered() const { return m_entered; }

private:
    QvUdpDataCollector& m_owner;
    bool m_entered = false;
};

// ---- Pool and levels ------------------------------------------------------------------

void QvUdpDataCollector::SetBufferSize(int bytes)
{
    if (bytes <= 0 || m_blockSize <= 0) {
        QvDebugMsg("Buffer size %d with block size %d ignored.", bytes, m_blockSize);
        return;
    }
    m_bufferSize = bytes;
    m_blocks = bytes / m_blockSize;
    const std::int64_t blocks = m_blocks;
    const std::int64_t d = blocks / 10;
    const std::int64_t window = m_window;
    m_lowLevel.store(SaturatedInt(d + window));
    m_reclaimCount.store(SaturatedInt(3 * d));
    m_startLevel.store(SaturatedInt(blocks - 3 * d + window));
    m_highLevel.store(SaturatedInt(blocks - d + window));
    ClampLevels();
}

void QvUdpDataCollector::SetStartThreshold(int packets)
{
    m_startLevel.store(SaturatedInt(std::int64_t{m_window} + packets));
    ClampLevels();
}

void QvUdpDataCollector::SetLowThreshold(int packets)
{
    m_lowLevel.store(SaturatedInt(std::int64_t{m_window} + packets));
    ClampLevels();
}

void QvUdpDataCollector::SetHighThreshold(int packets)
{
    m_highLevel.store(SaturatedInt(std::int64_t{m_window} + packets));
    ClampLevels();
}

void QvUdpDataCollector::ClampLevels()
{
    // The level check compares the queue with each threshold plus the
    // window. The queue can hold the whole pool less what the reader still
    // uses, so a start threshold beyond that would never be reached, and a
    // low threshold at or above it would make the check swing between the
    // two on every pass.
    const std::int64_t window = m_window;
    const std::int64_t reachable = std::int64_t{m_blocks} + window - kMaxLent;
    if (m_blocks <= 0 || reachable < 1) {
        return;
    }
    const int start = m_startLevel.load();
    const int clampedStart = SaturatedInt(
        std::clamp<std::int64_t>(start, 0, std::max<std::int64_t>(reachable - window, 0)));
    if (clampedStart != start) {
        QvDebugMsg("Start threshold %d cannot be reached with %d buffers; using %d.", start,
                   SaturatedInt(m_blocks + window), clampedStart);
        m_startLevel.store(clampedStart);
    }
    const int low = m_lowLevel.load();
    if (low >= clampedStart) {
        const int clampedLow = clampedStart - 1;
        QvDebugMsg("Low threshold %d not below the start threshold %d; using %d.", low,
                   clampedStart, clampedLow);
        m_lowLevel.store(clampedLow);
    }
}

unsigned QvUdpDataCollector::GetSmallBufLevel() const
{
    return static_cast<unsigned>(m_dataQueue->entries() + m_lentList->entries());
}

void QvUdpDataCollector::ControlFlow()
{
    const auto queued = static_cast<long long>(DataQueue().entries());
    const long long window = m_window;
    if (m_underflow.load()) {
        if (queued >= m_startLevel.load() + window) {
            OnStartThreshold();
        }
        return;
    }
    if (queued < m_lowLevel.load() + window) {
        OnLowThreshold();
    }
    if (queued > m_highLevel.load() + window) {
        OnHighThreshold();
    }
}

int QvUdpDataCollector::OnLowThreshold()
{
    m_underflow.store(true);
    QvDebugMsgTime("Underflow (%d)", static_cast<int>(GetSmallBufLevel()));
    return 0;
}

int QvUdpDataCollector::OnStartThreshold()
{
    m_underflow.store(false);
    QvDebugMsgTime("Start Threshold (%d)", static_cast<int>(GetSmallBufLevel()));
    PostIntMessage(QvIntMessage::kStartThreshold);
    return 0;
}

void QvUdpDataCollector::SetReqTimeoutMonitor(bool on)
{
    if (on) {
        m_lastRequestTime.store(qvplat::TickCount());
    }
    m_requestMonitor.store(on);
}

// ---- Taking packets -----------------------------------------------------------------

char* QvUdpDataCollector::GetNextBuffer(long& size, int& flags)
{
    size = 0;
    ReaderCall call(*this);
    if (!call.Entered()) {
        flags = kStopped;
        return nullptr;
    }
    QvBasePacket* packet = NextPacket(flags, true);
    if (packet == nullptr) {
        return nullptr;
    }
    size = static_cast<long>(packet->GetPayloadLength());
    return packet->GetPayload();
}

QvBasePacket* QvUdpDataCollector::NextPacket(int& flags, bool reportTimeout)
{
    m_lastRequestTime.store(qvplat::TickCount());
    ReturnOldestLent();
    for (;;) {
        switch (WaitForPacket(1)) {
        case WaitOutcome::Stopped:
            flags = kStopped;
            return nullptr;
        case WaitOutcome::Released:
            flags = kReleased;
            return nullptr;
        case WaitOutcome::TimedOut:
            if (reportTimeout) {
                m_timedOut.store(false);
            }
            flags = kTimeout;
            return nullptr;
        case WaitOutcome::Packet:
            break;
        }
        QvBasePacket* packet = nullptr;
        if (TakeQueued(&packet, 1, SIZE_MAX) == 0) {
            continue; // a flush on another thread emptied the queue meanwhile
        }
        LentList().append(packet);
        CheckReadSequence(packet);
        flags = packet->IsBreak() ? kBreak : kContinuous;
        return packet;
    }
}

std::size_t QvUdpDataCollector::PacketsKept() const
{
    return std::max(static_cast<std::size_t>(std::max(m_window, 0)), kMinQueued);
}

bool QvUdpDataCollector::PacketReady() const
{
    // After a data timeout nothing more is coming soon: the packets held
    // back are handed out before the timeout is reported, and what arrived
    // after it only after that.
    if (m_timedOut.load()) {
        return m_beforeTimeout.load() > 0;
    }
    return m_dataQueue->entries() > PacketsKept();
}

QvUdpDataCollector::WaitOutcome QvUdpDataCollector::WaitForPacket(std::size_t packets)
{
    // Arrivals wake the reader only once it can take all it needs, bounded
    // so that the level is always reachable within the pool.
    const std::size_t reachable = std::max<std::size_t>(static_cast<std::size_t>(m_blocks) / 4, 1);
    const std::size_t level = PacketsKept() + std::clamp<std::size_t>(packets, 1, reachable);
    std::unique_lock<std::mutex> lock(m_waitLock);
    for (;;) {
        if (!m_running.load()) {
            return WaitOutcome::Stopped;
        }
        if (m_released.load()) {
            return WaitOutcome::Released;
        }
        m_wakeLevel.store(level);
        std::atomic_thread_fence(std::memory_order_seq_cst);
        if (PacketReady()) {
            m_wakeLevel.store(0);
            return WaitOutcome::Packet;
        }
        // Datagrams left in the kernel for want of packets came before the
        // silence: they are taken in and read first.
        if (m_timedOut.load() && !m_kernelBacklog.load()) {
            m_wakeLevel.store(0);
            return WaitOutcome::TimedOut;
        }
        // Nothing else wakes it: every change that lets it go on (the level
        // reached, a data timeout, Stop) is made under m_waitLock or checked
        // against the published level, and followed by a notify.
        m_dataArrived.wait(lock);
        m_wakeLevel.store(0);
    }
}

std::size_t QvUdpDataCollector::TakeQueued(QvBasePacket** out, std::size_t count,
                                           std::size_t bytes)
{
    QvSList& queue = DataQueue();
    const std::size_t kept = PacketsKept();
    std::size_t taken = 0;
    std::size_t payload = 0;
    queue.lock();
    // Only this reader takes packets off the queue, and a flush needs the
    // lock: the count read here holds until the lock is left.
    while (taken < count && payload < bytes) {
        const bool timedOut = m_timedOut.load();
        if (timedOut ? m_beforeTimeout.load() == 0 : queue.entries() <= kept) {
            break;
        }
        QvBasePacket* packet = queue._removeFirst();
        if (packet == nullptr) {
            break;
        }
        if (timedOut) {
            m_beforeTimeout.fetch_sub(1);
        }
        payload += packet->GetPayloadLength();
        out[taken++] = packet;
    }
    queue.unlock();
    return taken;
}

void QvUdpDataCollector::Lend(QvBasePacket* const* packets, std::size_t count)
{
    // The same lists as one packet at a time would leave: the newest three
    // lent, every older one free again.
    QvSList& lent = LentList();
    QvBasePacket* freed[kTakeAtOnce];
    for (std::size_t start = 0; start < count; start += kTakeAtOnce) {
        const std::size_t end = std::min(count, start + kTakeAtOnce);
        std::size_t freedCount = 0;
        lent.lock();
        for (std::size_t i = start; i < end; ++i) {
            if (lent.entries() >= static_cast<std::size_t>(kMaxLent)) {
                freed[freedCount++] = lent._removeFirst();
            }
            lent._append(packets[i]);
        }
        lent.unlock();
        ReturnFree(freed, freedCount);
    }
}

void QvUdpDataCollector::ReturnFree(QvBasePacket* const* packets, std::size_t count)
{
    // To the head of the free list, the last one read first: the collector
    // thread takes packets from the head, so it receives into the memory
    // touched last (still in the cache) rather than into the coldest.
    QvSList& free = FreeList();
    free.lock();
    for (std::size_t i = 0; i < count; ++i) {
        free._prepend(packets[i]);
    }
    free.unlock();
}

void QvUdpDataCollector::ReturnOldestLent()
{
    // A payload handed out stays valid until two further calls.
    if (LentList().entries() > 2) {
        if (QvBasePacket* oldest = LentList().get()) {
            ReturnFree(&oldest, 1);
        }
    }
}

void QvUdpDataCollector::CheckReadSequence(QvBasePacket* packet)
{
    const std::uint32_t sequence = packet->Sequence();
    if (!m_firstRead) {
        const int order = packet->CompareSequence(sequence, m_readSequence);
        if (order > 0) {
            packet->SetBreak(true);
            QvDebugMsgTime("GetNextBuffer: break detected.  Seq:(%ul) Exp:(%ul)",
                           static_cast<unsigned>(sequence), static_cast<unsigned>(m_readSequence));
        } else if (order < 0) {
            packet->SetBreak(true);
            QvDebugMsgTime("GetNextBuffer: invalid sequence.  Seq:(%ul) > Exp:(%ul)",
                           static_cast<unsigned>(sequence), static_cast<unsigned>(m_readSequence));
        }
    }
    m_readSequence = packet->NextSequence();
    m_firstRead = false;
}

// ---- Reading bytes ---------------------------------------------------------------------

long QvUdpDataCollector::ReadBuffer(char* destination, long request, int& flags, long* breakOffset)
{
    if (breakOffset != nullptr) {
        *breakOffset = 0;
    }
    if (request <= 0 || destination == nullptr) {
        flags = kContinuous;
        return 0;
    }
    ReaderCall call(*this);
    if (!call.Entered()) {
        // Stopped: the carry is gone with the pool.
        flags = kStopped;
        return 0;
    }
    const auto want = static_cast<std::size_t>(request);
    char* carry = m_carry.get();
    if (m_carryLength > want) {
        std::memcpy(destination, carry + m_carryOffset, want);
        m_carryOffset += want;
        m_carryLength -= want;
        flags = kContinuous;
        return request;
    }

    std::size_t got = m_carryLength;
    std::memcpy(destination, carry + m_carryOffset, got);
    m_carryOffset = 0;
    m_carryLength = 0;
    // Where the data after a break begins in this call; none yet.
    constexpr std::size_t kNoBreak = SIZE_MAX;
    std::size_t breakAt = kNoBreak;
    int lastFlags = kContinuous;
    QvBasePacket* taken[kTakeAtOnce];
    const auto blockSize = static_cast<std::size_t>(std::max(m_blockSize, 1));
    while (got < want) {
        m_lastRequestTime.store(qvplat::TickCount());
        // Once this call holds bytes, a data timeout is left for the next
        // call to report, so the bytes are delivered first.
        const std::size_t needed = (want - got + blockSize - 1) / blockSize;
        const WaitOutcome outcome = WaitForPacket(needed);
        if (outcome != WaitOutcome::Packet) {
            ReturnOldestLent();
            if (outcome == WaitOutcome::Stopped) {
                lastFlags = kStopped;
            } else if (outcome == WaitOutcome::Released) {
                lastFlags = kReleased;
            } else {
                if (got == 0) {
                    m_timedOut.store(false);
                }
                lastFlags = kTimeout;
            }
            QvDebugMsgTime("ReadBuffer: terminated");
            break;
        }
        const std::size_t count = TakeQueued(taken, kTakeAtOnce, want - got);
        for (std::size_t i = 0; i < count; ++i) {
            QvBasePacket* packet = taken[i];
            CheckReadSequence(packet);
            lastFlags = packet->IsBreak() ? kBreak : kContinuous;
            if (lastFlags == kBreak) {
                if (breakAt == kNoBreak) {
                    // The bytes before the discontinuity are good: they stay.
                    breakAt = got;
                } else {
                    // A second one in the same call: one offset describes only
                    // the first, but no byte that arrived is thrown away.
                    QvDebugMsgTime("ReadBuffer: a second break at %d not marked",
                                   static_cast<int>(std::min<std::size_t>(got, INT_MAX)));
                }
            }
            const char* payload = packet->GetPayload();
            const std::size_t length = packet->GetPayloadLength();
            const std::size_t room = want - got;
            if (length > room) {
                std::memcpy(destination + got, payload, room);
                m_carryLength = length - room;
                std::memcpy(carry, payload + room, m_carryLength);
                got = want;
            } else {
                std::memcpy(destination + got, payload, length);
                got += length;
            }
        }
        Lend(taken, count);
    }

    if (lastFlags == kStopped || lastFlags == kReleased || (lastFlags == kTimeout && got == 0)) {
        flags = lastFlags;
    } else if (breakAt != kNoBreak) {
        QvDebugMsgTime("ReadBuffer: break detected");
        flags = kBreak;
    } else {
        flags = kContinuous;
    }
    if (breakOffset != nullptr && flags == kBreak) {
        *breakOffset = static_cast<long>(breakAt);
    }
    if (got != want) {
        QvDebugMsgTime("ReadBuffer(): Return size (%d) != request size (%d)",
                       static_cast<int>(std::min<std::size_t>(got, INT_MAX)),
                       static_cast<int>(std::min<long>(request, INT_MAX)));
    }
    return static_cast<long>(got);
}

void QvUdpDataCollector::ReleaseReaders()
{
    {
        std::lock_guard<std::mutex> lock(m_waitLock);
        m_released.store(true);
    }
    m_dataArrived.notify_all();
}

void QvUdpDataCollector::RearmReaders()
{
    m_released.store(false);
}

void QvUdpDataCollector::FlushAllFifos()
{
    // The only place holding two list locks: the queue's, then the free list's.
    QvSList& queue = DataQueue();
    QvSList& free = FreeList();
    queue.lock();
    free.lock();
    while (QvBasePacket* packet = queue._removeFirst()) {
        free._append(packet);
    }
    m_beforeTimeout.store(0);
    free.unlock();
    queue.unlock();
    m_lostBytes.store(0);
    m_recoveredBytes.store(0);
}
