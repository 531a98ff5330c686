// The stream receiver's loss reports and repairs: gaps that count as lost,
// the reports sent to the source, and retransmitted data that fills them.
#include "core/receive/qvcollector.h"

#include "core/packets/qvpacket.h"
#include "core/settings/qvlog.h"

#include <algorithm>
#include <arpa/inet.h>
#include <cerrno>
#include <climits>

namespace {

// Bytes of a retransmission reader's datagram looked at before it is taken
// or dropped: room for the longest packet header.
constexpr std::size_t kHeaderPeekBytes = 32;

int ClampToInt(std::uint64_t value)
{
    return value > static_cast<std::uint64_t>(INT_MAX) ? INT_MAX : static_cast<int>(value);
}

} // namespace

// ---- Repairs -----------------------------------------------------------------------------

bool QvUdpDataCollector::OnReceivedRetrans(QvBasePacket* packet)
{
    if (packet == nullptr) {
        return false;
    }
    // On a group stream every data datagram reaches this reader as well, so
    // the header and the sender are looked at first, and a datagram that
    // fills no reported gap is dropped without its payload being copied.
    packet->Reset();
    sockaddr_in from{};
    const int length = m_retransReader.PeekDatagram(
        packet->GetBuffer(),
        static_cast<int>(std::min<std::size_t>(kHeaderPeekBytes, packet->GetBufferSize())), &from);
    if (length < 0) {
        const int error = QvSocket::GetLastError();
        if (error != EAGAIN && error != EWOULDBLOCK) {
            ReportReceiveError("RetransSock.ReceiveFrom() error: %d", error);
        }
        return false;
    }
    const bool fromSource = m_haveSource && from.sin_addr.s_addr == m_sourceAddress.sin_addr.s_addr;
    const auto size = static_cast<std::size_t>(length);
    const bool repair = fromSource && m_headerReady.load() && size <= packet->GetBufferSize() &&
                        packet->SetReceived(static_cast<std::uint32_t>(size)) &&
                        packet->CheckHeader(nullptr) != 0 && packet->GetPayloadLength() != 0 &&
                        InReportedGap(*packet);
    if (!repair || !TakeRepair(static_cast<std::uint32_t>(size))) {
        m_retransReader.DiscardDatagram();
    }
    return true;
}

bool QvUdpDataCollector::TakeRepair(std::uint32_t length)
{
    QvBasePacket* packet = FreeList().get();
    if (packet == nullptr) {
        return false;
    }
    packet->Reset();
    const int received = m_retransReader.ReceiveDatagram(packet->GetBuffer(),
                                                         static_cast<int>(packet->GetBufferSize()),
                                                         nullptr, nullptr, MSG_DONTWAIT);
    if (received != static_cast<int>(length) || !packet->SetReceived(length) ||
        packet->CheckHeader(nullptr) == 0 || !FillGap(packet)) {
        FreeList().append(packet);
        // Taken off the socket unless the receive found nothing.
        return received >= 0 || QvSocket::GetLastError() == QV_EMSGSIZE;
    }
    ReleaseReady();
    CheckGaps();
    return true;
}

void QvUdpDataCollector::CheckGaps()
{
    // Gaps open in stream order, so the oldest comes first.
    for (Gap& gap : m_gaps) {
        if (m_arrivals - gap.openedAt <= static_cast<std::uint64_t>(kReorderDepth)) {
            break;
        }
        if (!gap.reported) {
            ReportGap(gap);
        }
    }
    const auto patience = static_cast<std::uint64_t>(kReorderDepth) +
                          static_cast<std::uint64_t>(std::max(m_window, 0));
    while (!m_gaps.empty() && m_arrivals - m_gaps.front().openedAt > patience) {
        GiveUpOldestGap();
    }
}

void QvUdpDataCollector::ReportGap(Gap& gap)
{
    gap.reported = true;
    m_lossSequence = gap.start;
    OnPacketsLost(ClampToInt(gap.bytes));
}

void QvUdpDataCollector::GiveUpOldestGap()
{
    Gap& oldest = m_gaps.front();
    if (!oldest.reported) {
        ReportGap(oldest);
    }
    m_givenUp[m_givenUpNext] = oldest;
    m_givenUpNext = (m_givenUpNext + 1) % kRememberedGaps;
    m_gaps.erase(m_gaps.begin());
    // The reader passes the gap: the next packet it gets follows a break.
    m_breakPending = true;
    ReleaseReady();
}

void QvUdpDataCollector::GiveUpAllGaps()
{
    while (!m_gaps.empty()) {
        GiveUpOldestGap();
    }
    ReleaseReady();
}

bool QvUdpDataCollector::InReportedGap(const QvBasePacket& packet) const
{
    return std::any_of(m_gaps.begin(), m_gaps.end(), [&](const Gap& gap) {
        return gap.reported && packet.CompareSequence(packet.Sequence(), gap.end) < 0 &&
               packet.CompareSequence(packet.NextSequence(), gap.start) > 0;
    });
}

// ---- Loss reports ------------------------------------------------------------------------

void QvUdpDataCollector::BuildLossReport(std::uint32_t sequence, std::uint32_t bytes,
                                         std::uint8_t (&out)[kLossReportSize])
{
    for (int i = 0; i < 4; ++i) {
        out[i] = static_cast<std::uint8_t>(sequence >> (24 - 8 * i));
        out[4 + i] = static_cast<std::uint8_t>(bytes >> (24 - 8 * i));
    }
}

void QvUdpDataCollector::SendLossReport(std::uint32_t sequence, std::uint32_t bytes)
{
    std::uint8_t report[kLossReportSize];
    BuildLossReport(sequence, bytes, report);
    const unsigned base = m_reportPortSet ? m_reportBasePort : m_dataReader.GetPort();
    sockaddr_in destination = m_sourceAddress;
    destination.sin_family = AF_INET;
    destination.sin_port = htons(static_cast<std::uint16_t>(base + kLossReportPortOffset));
    QvDebugMsg("Retrans Request: Seq:%lu Size: %d\n", static_cast<unsigned long>(sequence),
               ClampToInt(bytes));
    if (!m_haveSource || m_retransReader.GetHandle() == QV_INVALID_SOCKET) {
        QvDebugMsg("Retrans Request SendTo failed: %d\n", ENOTCONN);
        return;
    }
    const int sent = m_retransReader.SendTo(report, sizeof(report),
                                            reinterpret_cast<const sockaddr*>(&destination),
                                            sizeof(destination), 0);
    if (sent == QV_SOCKET_ERROR) {
        QvDebugMsg("Retrans Request SendTo failed: %d\n", QvSocket::GetLastError());
    }
}

int QvUdpDataCollector::OnPacketsLost(int bytes)
{
    const std::uint32_t lost = bytes > 0 ? static_cast<std::uint32_t>(bytes) : 0;
    m_lostBytes.fetch_add(lost);
    QvDebugMsgTime("*** Packet loss %ld bytes", static_cast<long>(bytes));
    // Without sequence numbers there is nothing to name in a report.
    if (m_window != 0 && m_sequenced) {
        SendLossReport(m_lossSequence, lost);
    }
    return 0;
}

int QvUdpDataCollector::OnPacketRecovered(int)
{
    return 0;
}
