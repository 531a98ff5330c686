// The stream receiver's collector thread: receiving in batches with a pause
// after a drained socket, accepting datagrams and putting them in stream
// order, the watchdog and the notification hooks.
#include "core/receive/qvcollector.h"

#include "core/net/qvhostaddr.h"
#include "core/packets/qvpacket.h"
#include "core/receive/qvheadproc.h"
#include "core/receive/qvholdoff.h"
#include "core/settings/qvlog.h"
#include "core/threads/qvmessage.h"

#include "platform/clock.h"

#include <algorithm>
#include <arpa/inet.h>
#include <cerrno>
#include <climits>
#include <cstring>

namespace {

// How long the collector thread pauses after a failed wait on its sockets.
constexpr int kPollPeriodMs = 10;
// Datagrams taken from one socket per pass before the watchdog runs again;
// the data socket's are taken in one batch receive.
constexpr int kBatchPerPass = 64;
constexpr std::size_t kDataBatch = std::min<std::size_t>(kBatchPerPass, QvSocket::kMaxBatch);
constexpr std::size_t kMinDataBatch = 4;
// How long the collector thread leaves datagrams in the kernel's buffer,
// while the pool is used up, before it looks again.
constexpr int kFullPoolWaitMs = 1;
// Receive errors are logged at most this often.
constexpr std::uint32_t kErrorLogPeriodMs = 1000;

int ClampToInt(std::uint64_t value)
{
    return value > static_cast<std::uint64_t>(INT_MAX) ? INT_MAX : static_cast<int>(value);
}

} // namespace

// ---- The collector thread -------------------------------------------------------------

void QvUdpDataCollector::CollectorProcessing()
{
    // Cleared however the thread ends, a hook that throws included.
    struct AliveFlag
    {
        std::atomic<bool>& flag;
        ~AliveFlag() { flag.store(false); }
    } alive{m_threadAlive};

    QvDebugMsg("Collector Started");
    const qvplat::PriorityResult priority = qvplat::SetCurrentThreadPriority(m_threadPriority);
    if (priority.status != qvplat::PriorityResult::Status::Applied) {
        QvDebugMsg("Collector %s", priority.Describe().c_str());
    }

    QvSocket* const sockets[2] = {&m_dataReader, m_window != 0 ? &m_retransReader : nullptr};
    bool readable[2] = {false, false};
    // Pauses between receives are timed on the real clock: they are about
    // wake-ups of this thread, not about the stream's time.
    qvplat::SystemClock clock;
    int bufferBytes = 0;
    int optionLength = sizeof(bufferBytes);
    if (m_dataReader.GetSockOpt(SO_RCVBUF, &bufferBytes, &optionLength) == 0) {
        bufferBytes = 0;
    }
    QvReceiveHoldoff holdoff;
    holdoff.Reset(QvReceiveHoldoff::Capacity(bufferBytes, m_blockSize), clock.NowNs());
    // The kernel tells with each datagram how many it has dropped so far on
    // the socket: a rise from one datagram to the next is a loss between
    // them, which a format without sequence numbers shows in no other way.
    if (m_dataReader.EnableDropCount() == 0) {
        QvDebugMsg("Kernel drop count not available: %d", QvSocket::GetLastError());
    }
    m_kernelDrops = 0;
    m_kernelDropsAhead = 0;
    m_lastDatagramLength = 0;
    m_backlogBytes = 0;
    m_kernelBacklog.store(false);
    // "RAW" packets carry no sequence: the next one's is their own.
    m_scratchPacket->Reset();
    m_sequenced = m_scratchPacket->NextSequence() != m_scratchPacket->Sequence();

    while (m_running.load()) {
        WatchDog();
        // On a fast stream the socket is left alone for a moment after it
        // was emptied, so that the next receive takes several datagrams
        // for one wake-up; otherwise the wait ends at the next datagram.
        const std::uint64_t pause = holdoff.Next();
        if (pause != 0) {
            const std::uint64_t due = clock.NowNs() + pause;
            clock.SleepUntilNs(due);
            holdoff.NoteWake(due, clock.NowNs());
        }
        const int waitMs = pause != 0 ? 0 : IdleWaitMs();
        const std::uint32_t dropsBefore = m_kernelDrops;
        BatchResult batch;
        if (sockets[1] == nullptr) {
            // One socket: the receive itself waits for the next datagram and
            // takes it with those behind it, one call per wake-up.
            batch = ReceiveDataBatch(waitMs);
        } else {
            const int ready = QvSocket::WaitReadable(sockets, readable, waitMs);
            if (ready < 0) {
                ReportReceiveError("Collector poll() error: %d", QvSocket::GetLastError());
                qvplat::Sleep(kPollPeriodMs);
            }
            if (ready > 0 && readable[1]) {
                // Drained into a packet of its own, so retransmitted data never
                // waits for a free packet and never holds up the data socket.
                for (int i = 0; i < kBatchPerPass && OnReceivedRetrans(m_scratchPacket.get());
                     ++i) {
                }
            }
            if (ready > 0 && readable[0]) {
                batch = ReceiveDataBatch(0);
            }
        }
        WakeReader();
        const std::uint64_t now = clock.NowNs();
        if (pause != 0 && m_kernelDrops != dropsBefore) {
            // The socket was empty when the pause began: the kernel dropped
            // datagrams while the thread was away by choice. Pausing stops
            // for a while.
            holdoff.NoteDrops(now);
        }
        holdoff.Note(now, batch.taken, batch.drained);
    }
    m_kernelBacklog.store(false);
    m_sequenced = true;
    QvDebugMsg("Collector thread terminating.");
}

int QvUdpDataCollector::IdleWaitMs() const
{
    // The watchdog needs the thread only when a timeout falls due: a slow
    // stream then wakes it once per datagram rather than also at a fixed
    // period between them. A wait of the same length each time (the
    // longest) costs no change of the socket's receive timeout.
    const std::uint32_t now = qvplat::TickCount();
    std::uint32_t wait = kMaxIdleWaitMs;
    const auto dueIn = [now](std::uint32_t since, std::uint32_t timeout) {
        const std::uint32_t elapsed = qvplat::ElapsedMs(now, since);
        // The watchdog fires once the time is past the timeout.
        return elapsed > timeout ? 1U : timeout - elapsed + 1;
    };
    if (!m_timedOut.load()) {
        wait = std::min(wait, dueIn(m_lastDataTime.load(), m_dataTimeout.load()));
    }
    if (m_requestMonitor.load()) {
        wait = std::min(wait, dueIn(m_lastRequestTime.load(), kRequestTimeoutMs));
    }
    return static_cast<int>(std::max(wait, 1U));
}

bool QvUdpDataCollector::OnReceivedData(QvBasePacket* packet)
{
    sockaddr_in from{};
    int fromLength = sizeof(from);
    const int received =
        m_dataReader.ReceiveDatagram(packet->GetBuffer(), static_cast<int>(packet->GetBufferSize()),
                                     reinterpret_cast<sockaddr*>(&from), &fromLength, MSG_DONTWAIT);
    if (received < 0) {
        const int error = QvSocket::GetLastError();
        FreeList().append(packet);
        if (error == EAGAIN || error == EWOULDBLOCK) {
            return false;
        }
        if (error == QV_EMSGSIZE) {
            // The datagram is gone; the next one may fit.
            m_breakPending = true;
            ReportReceiveError("Packet size (%d) too small.",
                               static_cast<int>(packet->GetBufferSize()));
            return true;
        }
        ReportReceiveError("DataSock.ReceiveFrom() error: %d", error);
        return false;
    }
    AcceptDatagram(packet, static_cast<std::uint32_t>(received), &from);
    return true;
}

QvUdpDataCollector::BatchResult QvUdpDataCollector::ReceiveDataBatch(int waitMs)
{
    // Room for half as much again as the last batch brought: every packet
    // offered is one more look into memory that is likely cold, and a batch
    // that fills its room is followed at once by the next receive.
    const std::size_t room =
        std::clamp<std::size_t>(m_lastBatch + m_lastBatch / 2 + 1, kMinDataBatch, kDataBatch);
    // The datagrams go into the first free packets while these stay on the
    // free list: only this thread takes packets off it, and others only add
    // packets at either end, so they stay there in a row until the batch is
    // in, and every packet is on some list while the thread waits.
    QvSList& free = FreeList();
    QvBasePacket* packets[kDataBatch];
    std::size_t count = free.first(packets, room);
    if (count == 0) {
        // The pool is used up: the newest queued data is given up for a
        // datagram that is there, never for one that may come.
        if (waitMs != 0) {
            const int ready = m_dataReader.WaitReadable(waitMs);
            if (ready <= 0) {
                if (ready < 0 && QvSocket::GetLastError() != ESHUTDOWN) {
                    ReportReceiveError("Collector poll() error: %d", QvSocket::GetLastError());
                    qvplat::Sleep(kPollPeriodMs);
                }
                return {};
            }
            waitMs = 0;
        }
        // And only once the kernel's buffer is half full: until then the
        // datagrams wait there for the reader to hand packets back, so a
        // reader that falls behind for a moment costs nothing.
        QvSocket::ReceiveMemory kernel;
        if (m_dataReader.GetReceiveMemory(kernel) != 0 && kernel.queued < kernel.buffer / 2) {
            if (kernel.queued > m_backlogBytes) {
                // More has come: the stream goes on, even though it is not
                // taken in yet. Bytes that only wait there are no sign of
                // a sender, so a stopped one is still noticed on time.
                m_lastDataTime.store(qvplat::TickCount());
            }
            m_backlogBytes = kernel.queued;
            m_kernelBacklog.store(kernel.queued != 0);
            qvplat::Sleep(kFullPoolWaitMs);
            return {};
        }
        Reclaim();
        count = free.first(packets, room);
        if (count == 0) {
            DrainDatagram();
            return {};
        }
    }
    QvDatagramSlot slots[kDataBatch];
    for (std::size_t i = 0; i < count; ++i) {
        slots[i].buffer = packets[i]->GetBuffer();
        slots[i].capacity = static_cast<int>(packets[i]->GetBufferSize());
    }
    const int received = m_dataReader.ReceiveBatch(std::span<QvDatagramSlot>(slots, count), waitMs);
    m_backlogBytes = 0;
    if (received < 0) {
        const int error = QvSocket::GetLastError();
        if (error == EAGAIN || error == EWOULDBLOCK) {
            m_kernelBacklog.store(false);
        } else if (error != ESHUTDOWN) {
            ReportReceiveError("DataSock.ReceiveFrom() error: %d", error);
            if (waitMs != 0 && error == EBADF) {
                // Nothing to wait on: a pause, as after a failed wait, not a spin.
                qvplat::Sleep(kPollPeriodMs);
            }
        }
        return {};
    }
    const auto taken = static_cast<std::size_t>(received);
    m_lastBatch = taken;
    if (taken != 0) {
        free.removeRun(packets[0], taken);
    }
    // Each datagram of the batch is taken in on its own, in arrival order.
    for (std::size_t i = 0; i < taken; ++i) {
        packets[i]->Reset();
        NoteKernelDrops(slots[i].drops, slots[i].length);
        if (slots[i].length < 0) {
            // The datagram is gone; the next one may fit.
            free.append(packets[i]);
            m_breakPending = true;
            ReportReceiveError("Packet size (%d) too small.", slots[i].capacity);
        } else {
            AcceptDatagram(packets[i], static_cast<std::uint32_t>(slots[i].length), &slots[i].from);
        }
        m_kernelDropsAhead = 0;
    }
    // A batch that had room left emptied the socket.
    if (taken < count) {
        m_kernelBacklog.store(false);
    }
    return {taken, taken < count};
}

void QvUdpDataCollector::NoteKernelDrops(std::uint32_t drops, int length)
{
    const std::uint32_t rise = drops - m_kernelDrops; // the count wraps
    if (rise > UINT32_MAX / 2) {
        // Older than the count already seen (taken as lost at a timeout).
        m_kernelDropsAhead = 0;
        return;
    }
    m_kernelDrops = drops;
    m_kernelDropsAhead = rise;
    if (length > 0) {
        m_lastDatagramLength = length;
    }
    // With sequence numbers the gap is found, measured and perhaps repaired
    // by them; without, this is the only sign of it.
    if (rise == 0 || m_sequenced) {
        return;
    }
    QvDebugMsgTime("*** Kernel dropped %u datagrams", static_cast<unsigned>(rise));
    m_breakPending = true;
    // Each lost datagram counts as long as the one after the gap.
    OnPacketsLost(ClampToInt(std::uint64_t{rise} *
                             static_cast<std::uint64_t>(std::max(m_lastDatagramLength, 0))));
}

void QvUdpDataCollector::DrainDatagram()
{
    // No packet can be had: the datagram is read and dropped, so the socket
    // never stays readable (which would make the thread spin) and the reader
    // later sees the gap as a break. It is lost as a datagram the kernel
    // dropped is: a format with sequence numbers counts it by the gap it
    // leaves, one without counts it here.
    QvBasePacket* scratch = m_scratchPacket.get();
    QvDatagramSlot slot;
    slot.buffer = scratch->GetBuffer();
    slot.capacity = static_cast<int>(scratch->GetBufferSize());
    if (m_dataReader.ReceiveBatch(std::span<QvDatagramSlot>(&slot, 1)) != 1) {
        return;
    }
    NoteKernelDrops(slot.drops, slot.length);
    m_kernelDropsAhead = 0;
    m_breakPending = true;
    if (!m_sequenced) {
        OnPacketsLost(slot.length >= 0 ? slot.length : m_lastDatagramLength);
    }
}

void QvUdpDataCollector::ReportReceiveError(const char* format, int error)
{
    // Errors from the network never end the process; a persistent one is
    // logged once a second with the count of repeats.
    const std::uint32_t now = qvplat::TickCount();
    if (m_errorLogged && qvplat::ElapsedMs(now, m_lastErrorLog) < kErrorLogPeriodMs) {
        ++m_suppressedErrors;
        return;
    }
    QvErrorMsg(false, format, error);
    if (m_suppressedErrors != 0) {
        QvDebugMsg("(%u similar errors not logged)", m_suppressedErrors);
    }
    m_suppressedErrors = 0;
    m_errorLogged = true;
    m_lastErrorLog = now;
}

// ---- Accepting datagrams --------------------------------------------------------------

bool QvUdpDataCollector::FeedDatagram(const void* data, std::size_t length,
                                      const sockaddr_in* source)
{
    // The collector thread owns the packet path of a collector with sockets.
    if (!m_running.load() || !m_detached.load() || data == nullptr) {
        return false;
    }
    QvBasePacket* packet = TakeFreePacket();
    if (packet == nullptr) {
        m_breakPending = true;
        return false;
    }
    packet->Reset();
    const std::size_t capacity = packet->GetBufferSize();
    if (length > capacity) {
        FreeList().append(packet);
        m_breakPending = true;
        ReportReceiveError("Packet size (%d) too small.", static_cast<int>(capacity));
        return false;
    }
    std::memcpy(packet->GetBuffer(), data, length);
    const bool taken = AcceptDatagram(packet, static_cast<std::uint32_t>(length), source);
    WakeReader();
    return taken;
}

QvBasePacket* QvUdpDataCollector::TakeFreePacket()
{
    QvBasePacket* packet = FreeList().get();
    if (packet == nullptr) {
        Reclaim();
        packet = FreeList().get();
    }
    return packet;
}

void QvUdpDataCollector::Reclaim()
{
    QvDebugMsgTime("Overflow (%d)", static_cast<int>(GetSmallBufLevel()));
    // The newest queued data is sacrificed; the packet that arrives next is
    // marked, so the reader sees the gap even in a format without sequences.
    const auto reclaim = static_cast<std::size_t>(std::max(m_reclaimCount.load(), 1));
    if (DataQueue().moveLast(reclaim, FreeList()) != 0) {
        m_breakPending = true;
    }
}

bool QvUdpDataCollector::AcceptDatagram(QvBasePacket* packet, std::uint32_t length,
                                        const sockaddr_in* source)
{
    // Datagrams from another sender reach neither the stream nor the header
    // analyser, unless the stream's own source has fallen silent.
    const bool otherSource = m_haveSource && FromOtherSource(source);
    if (otherSource && !SourceMayTakeOver()) {
        FreeList().append(packet);
        m_foreignDatagrams.fetch_add(1);
        return false;
    }
    const bool parsed = packet->SetReceived(length);
    if (m_headProcessor) {
        // Keeps the sender's header packets for the fix-up.
        m_headProcessor->ReadControlPacket(packet);
    }
    if (!parsed || packet->CheckHeader(nullptr) == 0 || IsStrayControlPacket(*packet, length)) {
        FreeList().append(packet);
        return false;
    }
    if (!m_haveSource || otherSource) {
        LatchSource(source);
    }
    const std::uint32_t now = qvplat::TickCount();
    m_lastDataTime.store(now);
    m_lastSourceTime = now;
    m_bytesReceived.fetch_add(packet->GetPayloadLength());
    NoteDataArrival();
    if (packet->GetPayloadLength() == 0) {
        FreeList().append(packet);
        return true;
    }
    if (!m_headerReady.load() && !PassThroughAnalyser(packet)) {
        return true;
    }
    QueueInOrder(packet);
    return true;
}

void QvUdpDataCollector::NoteDataArrival()
{
    if (!m_dataSeen) {
        m_dataSeen = true;
        m_dataSilent = false;
        OnDataStarted();
    } else if (m_dataSilent) {
        m_dataSilent = false;
        OnDataRestarted();
    }
}

bool QvUdpDataCollector::FromOtherSource(const sockaddr_in* source) const
{
    const sockaddr_in unnamed{};
    const sockaddr_in& from = source != nullptr ? *source : unnamed;
    return from.sin_addr.s_addr != m_sourceAddress.sin_addr.s_addr ||
           from.sin_port != m_sourceAddress.sin_port;
}

bool QvUdpDataCollector::SourceMayTakeOver() const
{
    return qvplat::ElapsedMs(qvplat::TickCount(), m_lastSourceTime) > m_dataTimeout.load();
}

void QvUdpDataCollector::LatchSource(const sockaddr_in* source)
{
    const sockaddr_in unnamed{};
    const sockaddr_in& from = source != nullptr ? *source : unnamed;
    if (m_haveSource) {
        // The source fell silent and another one speaks: a restarted sender.
        // What the old one left behind goes to the reader first, then the
        // stream starts again with a break.
        QvDebugMsg("Stream source now %s:%u",
                   QvDottedAddress(static_cast<std::uint32_t>(from.sin_addr.s_addr)).c_str(),
                   static_cast<unsigned>(ntohs(from.sin_port)));
        GiveUpAllGaps();
        m_firstPacket = true;
        m_breakPending = true;
    }
    m_sourceAddress = from;
    m_sourceAddress.sin_family = AF_INET;
    m_haveSource = true;
}

bool QvUdpDataCollector::IsStrayControlPacket(const QvBasePacket& packet,
                                              std::uint32_t length) const
{
    // In a format without a header ("RAW") the sender's header and
    // end-of-stream packets would otherwise pass as stream bytes.
    QvControlPacket control;
    if (!QvParseControlPacket(packet.GetBuffer(), length, control)) {
        return false;
    }
    if (control.type == qvwire::kControlTypeEndOfStream) {
        return length == qvwire::kEndOfStreamLength;
    }
    if (control.type == qvwire::kControlTypeHeader && control.mpeg != nullptr) {
        return length == qvwire::kHeaderPacketDataOffset + control.mpegLength;
    }
    return false;
}

bool QvUdpDataCollector::PassThroughAnalyser(QvBasePacket* packet)
{
    if (!m_headProcessor) {
        m_headerReady.store(true);
        return true;
    }
    // The analyser may hold the packet back: the break goes with it.
    if (m_breakPending) {
        packet->SetBreak(true);
        m_breakPending = false;
    }
    if (m_headProcessor->Process(packet)) {
        m_headProcessor.reset();
        m_headerReady.store(true);
        QvDebugMsg("Stream header resolved.");
        return true;
    }
    // A stream whose start the analyser cannot find within a pool's worth of
    // datagrams is passed on as it comes rather than held back for ever.
    ++m_unresolvedDatagrams;
    if (m_unresolvedDatagrams >= static_cast<std::uint32_t>(m_blocks) &&
        m_headProcessor->GetHeldCount() == 0) {
        QvErrorMsg(false, "Stream header not found in %u datagrams; stream passed on unchanged.",
                   m_unresolvedDatagrams);
        m_breakPending = m_breakPending || m_headProcessor->TakePendingBreak();
        m_headProcessor.reset();
        m_headerReady.store(true);
    }
    return false;
}

void QvUdpDataCollector::QueueInOrder(QvBasePacket* packet)
{
    const std::uint32_t sequence = packet->Sequence();
    m_lastSequence = sequence;
    if (m_firstPacket) {
        m_firstPacket = false;
        m_expectedSequence = packet->NextSequence();
        Release(packet);
        ++m_arrivals;
        return;
    }
    const int order = packet->CompareSequence(sequence, m_expectedSequence);
    if (order < 0) {
        if (packet->SequenceDistance(sequence, m_expectedSequence) > m_poolSpan) {
            // Further back than the pool could hold: the sender started its
            // sequence again (a looping transmission).
            RestartStream(packet);
            return;
        }
        if (packet->CompareSequence(packet->NextSequence(), m_expectedSequence) <= 0) {
            if (FillGap(packet)) {
                ++m_arrivals;
                ReleaseReady();
                CheckGaps();
            } else {
                DropBehind(packet);
            }
            return;
        }
        // It reaches past the newest data: only its head was taken already
        // (byte offsets only; a numbered packet cannot straddle).
        packet->Consume(m_expectedSequence - sequence);
    } else if (order > 0) {
        const std::uint32_t missing = packet->SequenceDistance(m_expectedSequence, sequence);
        if (missing > m_poolSpan) {
            // More than the pool and the window could ever wait for: the
            // stream is picked up again here. The jump is no loss, unless
            // the kernel dropped datagrams right before this one.
            if (m_kernelDropsAhead != 0) {
                m_lossSequence = m_expectedSequence;
                OnPacketsLost(ClampToInt(missing));
            }
            RestartStream(packet);
            return;
        }
        m_gaps.push_back(Gap{m_expectedSequence, sequence, missing, m_arrivals, false});
    }
    m_expectedSequence = packet->NextSequence();
    if (m_gaps.empty()) {
        Release(packet);
    } else {
        Stage(packet);
    }
    ++m_arrivals;
    CheckGaps();
}

void QvUdpDataCollector::RestartStream(QvBasePacket* packet)
{
    QvDebugMsgTime("*** Sequence jump Seq:%lu Exp:%lu",
                   static_cast<unsigned long>(packet->Sequence()),
                   static_cast<unsigned long>(m_expectedSequence));
    GiveUpAllGaps();
    m_breakPending = true;
    m_expectedSequence = packet->NextSequence();
    Release(packet);
    ++m_arrivals;
}

bool QvUdpDataCollector::FillGap(QvBasePacket* packet)
{
    for (auto gap = m_gaps.begin(); gap != m_gaps.end(); ++gap) {
        if (packet->CompareSequence(packet->Sequence(), gap->end) >= 0 ||
            packet->CompareSequence(packet->NextSequence(), gap->start) <= 0) {
            continue;
        }
        // Only the bytes inside the gap are new (a datagram can overlap its
        // neighbours only in the byte-offset format).
        if (packet->CompareSequence(packet->Sequence(), gap->start) < 0) {
            packet->Consume(gap->start - packet->Sequence());
        }
        if (packet->CompareSequence(packet->NextSequence(), gap->end) > 0) {
            packet->SetPayloadLength(packet->GetPayloadLength() -
                                     (packet->NextSequence() - gap->end));
        }
        const Gap filled = *gap;
        Gap before = filled;
        before.end = packet->Sequence();
        before.bytes = packet->SequenceDistance(before.start, before.end);
        Gap after = filled;
        after.start = packet->NextSequence();
        after.bytes = packet->SequenceDistance(after.start, after.end);
        const bool keepBefore = packet->CompareSequence(before.start, before.end) < 0;
        const bool keepAfter = packet->CompareSequence(after.start, after.end) < 0;
        if (keepBefore && keepAfter) {
            *gap = after;
            m_gaps.insert(gap, before);
        } else if (keepBefore) {
            *gap = before;
        } else if (keepAfter) {
            *gap = after;
        } else {
            m_gaps.erase(gap);
        }
        if (filled.reported) {
            const std::uint32_t payload = packet->GetPayloadLength();
            QvDebugMsg("*** Recovered data %u bytes", payload);
            m_recoveredBytes.fetch_add(payload);
            OnPacketRecovered(static_cast<int>(payload));
        }
        Stage(packet);
        return true;
    }
    return false;
}

void QvUdpDataCollector::DropBehind(QvBasePacket* packet)
{
    // Behind the newest data and in no open gap: every byte of it was taken
    // already, unless its gap was given up a moment ago.
    QvDebugMsgTime("*** Bad sequence Seq:%lu Exp:%lu",
                   static_cast<unsigned long>(packet->Sequence()),
                   static_cast<unsigned long>(m_expectedSequence));
    const bool late = std::any_of(std::begin(m_givenUp), std::end(m_givenUp), [&](const Gap& gap) {
        return packet->CompareSequence(gap.start, gap.end) < 0 &&
               packet->CompareSequence(packet->Sequence(), gap.end) < 0 &&
               packet->CompareSequence(packet->NextSequence(), gap.start) > 0;
    });
    if (!late) {
        m_duplicates.fetch_add(1);
    }
    FreeList().append(packet);
}

void QvUdpDataCollector::Stage(QvBasePacket* packet)
{
    auto at = m_staged.end();
    while (at != m_staged.begin() &&
           packet->CompareSequence(packet->Sequence(), (*(at - 1))->Sequence()) < 0) {
        --at;
    }
    m_staged.insert(at, packet);
}

void QvUdpDataCollector::Release(QvBasePacket* packet)
{
    if (m_breakPending) {
        packet->SetBreak(true);
        m_breakPending = false;
    }
    QvSList& queue = DataQueue();
    queue.lock();
    queue._append(packet);
    if (m_timedOut.load() && m_kernelBacklog.load()) {
        // Taken in from what waited in the kernel for want of packets: it
        // came before the silence, so the reader gets it before the timeout.
        m_beforeTimeout.fetch_add(1);
    }
    queue.unlock();
}

void QvUdpDataCollector::ReleaseReady()
{
    // Everything before the oldest open gap is in order: it goes to the reader.
    std::size_t ready = 0;
    while (ready < m_staged.size() &&
           (m_gaps.empty() || m_staged[ready]->CompareSequence(m_staged[ready]->Sequence(),
                                                               m_gaps.front().start) < 0)) {
        Release(m_staged[ready]);
        ++ready;
    }
    m_staged.erase(m_staged.begin(), m_staged.begin() + static_cast<std::ptrdiff_t>(ready));
}

void QvUdpDataCollector::WakeReader()
{
    // The reader publishes its level and then looks at the queue; this side
    // changed the queue and now looks at the level. With a full fence on
    // both sides at least one of the two sees the other's write, so a
    // reader never sleeps through data it can take.
    std::atomic_thread_fence(std::memory_order_seq_cst);
    std::size_t level = m_wakeLevel.load(std::memory_order_relaxed);
    if (level == 0) {
        return;
    }
    // After a data timeout the reader also goes on with what is queued, or
    // with the timeout once the kernel holds nothing more for it.
    const bool timedOut =
        m_timedOut.load() && (m_beforeTimeout.load() != 0 || !m_kernelBacklog.load());
    if ((DataQueue().entries() < level && !timedOut) ||
        !m_wakeLevel.compare_exchange_strong(level, 0)) {
        return;
    }
    // The reader holds the lock from publishing its level until it sleeps,
    // so taking it here makes sure the wake-up finds it asleep.
    {
        std::lock_guard<std::mutex> lock(m_waitLock);
    }
    m_dataArrived.notify_all();
}

// ---- Watchdog and hooks ---------------------------------------------------------------------

void QvUdpDataCollector::WatchDog()
{
    if (m_timedOut.load()) {
        return;
    }
    if (m_flowControl.load()) {
        ControlFlow();
    }
    const std::uint32_t now = qvplat::TickCount();
    if (qvplat::ElapsedMs(now, m_lastDataTime.load()) > m_dataTimeout.load()) {
        // Nothing more is coming soon: what waits behind a gap goes to the
        // reader before it hears of the timeout.
        GiveUpAllGaps();
        NoteTrailingDrops();
        {
            // The reader takes what is queued now before it hears of the
            // timeout; what arrives later waits until it has.
            QvSList& queue = DataQueue();
            queue.lock();
            {
                std::lock_guard<std::mutex> lock(m_waitLock);
                m_beforeTimeout.store(queue.entries());
                m_timedOut.store(true);
            }
            queue.unlock();
        }
        m_dataArrived.notify_all();
        QvDebugMsgTime("Data Timeout");
        m_dataSilent = true;
        if (m_running.load()) {
            OnDataTimeout();
        }
        m_lastDataTime.store(now);
    }
    if (m_requestMonitor.load() &&
        qvplat::ElapsedMs(now, m_lastRequestTime.load()) > kRequestTimeoutMs) {
        QvDebugMsgTime("Request Timeout");
        if (m_running.load()) {
            OnDataTimeout();
        }
        m_lastRequestTime.store(now);
    }
}

void QvUdpDataCollector::NoteTrailingDrops()
{
    // Datagrams the kernel dropped after the last one taken in are lost at
    // the end of what came. Only a format without sequence numbers counts
    // them here; the others count them by the gap if the stream goes on.
    QvSocket::ReceiveMemory kernel;
    if (m_sequenced || m_dataReader.GetReceiveMemory(kernel) == 0 || kernel.queued != 0) {
        return;
    }
    NoteKernelDrops(kernel.drops, 0);
    m_kernelDropsAhead = 0;
}

void QvUdpDataCollector::PostIntMessage(int code)
{
    if (m_messageQueue != nullptr) {
        m_messageQueue->Send(new QvIntMessage(code, 0));
    }
}

int QvUdpDataCollector::OnDataStarted()
{
    return 0;
}

int QvUdpDataCollector::OnDataRestarted()
{
    return 0;
}

int QvUdpDataCollector::OnDataTimeout()
{
    PostIntMessage(QvIntMessage::kDataTimeout);
    if (m_options.logCollectorTimeout) {
        QvDebugMsg("Collector Timeout.");
    }
    return 0;
}

int QvUdpDataCollector::OnHighThreshold()
{
    return 0;
}

int QvUdpDataCollector::OnFlowPaused()
{
    return 0;
}

int QvUdpDataCollector::OnFlowResumed()
{
    return 0;
}
