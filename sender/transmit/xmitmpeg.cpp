#include "sender/transmit/xmitmpeg.h"

#include "core/settings/qvexception.h"
#include "core/net/qvhostaddr.h"
#include "core/settings/qvlog.h"
#include "core/packets/qvpacket.h"
#include "platform/clock.h"

#include <arpa/inet.h>

#include <algorithm>
#include <cstring>
#include <exception>
#include <limits>

namespace {

constexpr const char* kDefaultGroup = "225.1.1.10";
constexpr unsigned int kDefaultPort = 2010;
constexpr unsigned long kSendBufferSize = 51200;

// After an unpaced flush this many bytes stay behind, so that a clock
// reference cut by the end of the buffer (a pack header, or a transport
// packet up to its PCR) is still found whole once more is read.
constexpr std::size_t kScanTail = qvmpeg::kTransportPacketSize;

const char* MuxName(int streamType)
{
    switch (streamType) {
    case qvmpeg::kMpeg1System:
        return "m1s";
    case qvmpeg::kMpeg2Program:
        return "m2p";
    case qvmpeg::kMpeg2Transport:
        return "m2t";
    default:
        return nullptr;
    }
}

// 90 kHz ticks that `bytes` take at `bitsPerSecond`; 0 without a rate.
std::uint64_t TicksForBytes(std::uint64_t bytes, std::uint64_t bitsPerSecond)
{
    if (bitsPerSecond == 0) {
        return 0;
    }
    const unsigned __int128 ticks =
        static_cast<unsigned __int128>(bytes) * 8 * qvmpeg::kTicksPerSecond / bitsPerSecond;
    constexpr std::uint64_t max = std::numeric_limits<std::uint64_t>::max();
    return ticks > max ? max : static_cast<std::uint64_t>(ticks);
}

} // namespace

// ---- Construction -----------------------------------------------------------

XmitMPEG::XmitMPEG()
{
    Initialize();
}

XmitMPEG::XmitMPEG(int streamType, std::unique_ptr<qvmpeg::TimestampScanner> scanner)
    : m_streamType(streamType), m_scanner(std::move(scanner))
{
    Initialize();
}

void XmitMPEG::Initialize()
{
    SetAddress(inet_addr(kDefaultGroup), kDefaultPort);
    SetInterface(0);
    SetBufferSize(kSendBufferSize);
    m_headCaster.SetReadSize(qvmpeg::kReadBufferSize);
    m_headCaster.SetFilePath(m_filePath);
    m_lastAnnounceMs = qvplat::TickCount();
}

XmitMPEG::~XmitMPEG()
{
    Stop();
}

void XmitMPEG::SetFilePath(std::string_view path)
{
    m_filePath = path;
    m_headCaster.SetFilePath(path);
}

void XmitMPEG::SetHeaderCaster(bool on)
{
    m_headerCasterOn = on;
}

void XmitMPEG::SetRepeat(int count, std::uint32_t pauseMs)
{
    m_repeatCount = count < 0 ? kEndless : std::max(count, 1);
    m_pauseMs = pauseMs;
}

int XmitMPEG::GetProgressPercent() const
{
    const std::uint64_t size = GetFileSize();
    if (size == 0) {
        return 0;
    }
    const std::uint64_t percent = GetPayloadBytesSent() * 100 / size;
    return static_cast<int>(std::min<std::uint64_t>(percent, 100));
}

std::string XmitMPEG::SessionName(std::string_view path)
{
    const std::size_t slash = path.find_last_of("/:\\");
    std::string_view name = slash == std::string_view::npos ? path : path.substr(slash + 1);
    const std::size_t dot = name.rfind('.');
    if (dot != std::string_view::npos && dot != 0) {
        name = name.substr(0, dot);
    }
    return std::string(name);
}

// ---- Analysis ---------------------------------------------------------------

int XmitMPEG::DetectStreamType(int& streamType)
{
    return qvmpeg::DetectStreamType(m_filePath, streamType) ? 1 : 0;
}

std::uint64_t XmitMPEG::ComputeBitrate()
{
    if (!m_scanner) {
        return 0;
    }
    std::uint64_t size = 0;
    m_bitrate = qvmpeg::ComputeBitrate(m_filePath, *m_scanner, &size);
    m_fileSize.store(size, std::memory_order_relaxed);
    return m_bitrate;
}

std::uint64_t XmitMPEG::DecodeTimestamp(const std::uint8_t*) const
{
    return 0;
}

int XmitMPEG::FindFirstTimestamp()
{
    if (!m_scanner) {
        return 1;
    }
    const auto data = std::span<const std::uint8_t>(m_buffer).first(m_fill);
    const std::optional<qvmpeg::TimestampHit> hit = m_scanner->FindFirstTimestamp(data);
    if (!hit) {
        return 1;
    }
    m_current = hit->position;
    m_lastTicks = hit->ticks;
    m_lastStampPosition = m_bufferBase + hit->position;
    m_schedule = 0;
    return 0;
}

int XmitMPEG::FindNextTimestamp()
{
    if (!m_scanner) {
        return 1;
    }
    const auto data = std::span<const std::uint8_t>(m_buffer).first(m_fill);
    const std::optional<qvmpeg::TimestampHit> hit =
        m_rescan ? m_scanner->FindFirstTimestamp(data)
                 : m_scanner->FindNextTimestamp(data, m_current);
    if (!hit) {
        return 1;
    }
    m_rescan = false;
    m_next = hit->position;
    m_nextTicks = hit->ticks;
    return 0;
}

// ---- Start and stop ---------------------------------------------------------

int XmitMPEG::Start()
{
    const std::lock_guard<std::mutex> lock(m_control);
    if (m_running.load()) {
        StopLocked();
    }
    if (!m_scanner) {
        QvDebugMsg("XmitMPEG: stream type %d cannot be transmitted", m_streamType);
        return 1;
    }
    m_streamOffset = 0;

    m_ownSapCaster.SetInterface(GetInterface());
    m_ownSapCaster.SetTTL(GetTTL());
    m_ownSapCaster.SetAddress(inet_addr(QvSAPCaster::defaultGroup), QvSAPCaster::defaultPort);
    // The own SAP caster starts with every transmission, but only when it
    // is the one that announces does its failure stop the start.
    const bool announcing = m_sapCaster == &m_ownSapCaster;
    try {
        if (m_ownSapCaster.Start() != 0) {
            QvDebugMsg("XmitMPEG: the SAP caster failed to start");
            if (announcing) {
                return 1;
            }
        }
    } catch (const QvException& error) {
        QvDebugMsg("XmitMPEG: the SAP caster failed to start: %s (%d)", error.GetMessage(),
                   error.GetCode());
        if (announcing) {
            throw;
        }
    }
    try {
        if (QvUdpCaster::Start() != 0) {
            QvDebugMsg("QvUdpCaster failed to start");
            m_ownSapCaster.Stop();
            return 1;
        }
    } catch (...) {
        QvDebugMsg("QvUdpCaster failed to start");
        m_ownSapCaster.Stop();
        throw;
    }

    if (!m_file.Open(m_filePath)) {
        QvUdpCaster::Stop();
        m_ownSapCaster.Stop();
        QvDebugMsg("Failed to open: %s", m_filePath.c_str());
        return 1;
    }
    m_fileSize.store(m_file.Size(), std::memory_order_relaxed);
    m_buffer.assign(qvmpeg::kReadBufferSize, 0);
    if (m_packetFormat == kOpvFormat) {
        m_packet.assign(kOpvPacketSize, 0);
    } else {
        m_packet.clear();
    }
    m_payloadSent = 0;
    m_socketSent = 0;
    m_finished = false;

    // The thread exists and the run flag is set before Start returns, so a
    // Stop that follows at once always finds and ends it.
    m_run = true;
    if (!m_thread.Start([this] { TransmitThread(); })) {
        m_run = false;
        QvDebugMsg("XmitMPEG: the transmit thread could not be created");
        m_file.Close();
        QvUdpCaster::Stop();
        m_ownSapCaster.Stop();
        std::vector<std::uint8_t>().swap(m_buffer);
        std::vector<std::uint8_t>().swap(m_packet);
        return 1;
    }
    m_running = true;
    return 0;
}

int XmitMPEG::Stop()
{
    const std::lock_guard<std::mutex> lock(m_control);
    return StopLocked();
}

int XmitMPEG::StopLocked()
{
    if (!m_running.load()) {
        return 0;
    }
    m_run = false;
    m_thread.Join();
    m_thread = qvplat::Thread();
    m_headCaster.Stop();
    m_file.Close();
    QvUdpCaster::Stop();
    std::vector<std::uint8_t>().swap(m_buffer);
    std::vector<std::uint8_t>().swap(m_packet);
    m_announcement.reset();
    m_ownSapCaster.Stop();
    m_running = false;
    return 0;
}

// ---- The transmit thread ----------------------------------------------------

void XmitMPEG::TransmitThread()
{
    int passes = 0;
    try {
        for (;;) {
            const PassEnd end = RunPass();
            if (end != PassEnd::Completed) {
                break;
            }
            // The header packets stop first, so the end-of-stream packet is
            // the pass's last datagram.
            m_headCaster.Stop();
            SendEndOfStream();
            WithdrawAnnouncement();
            ++passes;
            if (m_repeatCount != kEndless && passes >= m_repeatCount) {
                break;
            }
            if (!Running()) {
                break;
            }
            PauseBetweenPasses();
            if (!Running()) {
                break;
            }
        }
    } catch (const std::exception& error) {
        QvDebugMsg("XmitMPEG: transmission of %s ended: %s", m_filePath.c_str(), error.what());
    } catch (...) {
        QvDebugMsg("XmitMPEG: transmission of %s ended by an error", m_filePath.c_str());
    }

    // Still set: the passes ended by themselves, not by Stop.
    const bool endedByItself = m_run.exchange(false);
    m_headCaster.Stop();
    SendEndOfStream();
    WithdrawAnnouncement();
    if (endedByItself) {
        m_finished.store(true, std::memory_order_release);
    }
}

bool XmitMPEG::BeginPass()
{
    m_fill = 0;
    m_sent = 0;
    m_current = 0;
    m_next = 0;
    m_nextTicks = 0;
    m_bufferBase = 0;
    m_lastTicks = 0;
    m_lastStampPosition = 0;
    m_schedule = 0;
    m_payloadSent = 0;
    m_socketSent = 0;
    m_endOfFile = false;
    m_firstPending = true;
    m_rescan = false;
    if (!m_file.Rewind()) {
        QvDebugMsg("Failed to read: %s", m_filePath.c_str());
        return false;
    }

    if (m_headerCasterOn) {
        // Stop clears the owner at the end of every pass.
        m_headCaster.SetOwner(this);
        m_headCaster.SetFilePath(m_filePath);
        if (m_headCaster.Start() != 0) {
            QvDebugMsg("Failed to start QvHeadCaster");
        }
    }
    BuildAnnouncement();

    m_passStartNs = qvplat::MonotonicNs();
    return true;
}

XmitMPEG::PassEnd XmitMPEG::RunPass()
{
    if (!BeginPass()) {
        return PassEnd::Failed;
    }
    // A clock reference was passed without waiting for it.
    bool pacePending = false;
    while (Running()) {
        if (!m_endOfFile && ReadBlock() == ReadOutcome::Failed) {
            return PassEnd::Failed;
        }
        // The bytes up to the second clock reference go at once when it
        // lies in the same read as the first.
        bool unpaced = false;
        if (m_firstPending) {
            if (FindFirstTimestamp() != 0) {
                QvDebugMsg("XmitMPEG: no clock reference in the first %zu bytes of %s", m_fill,
                           m_filePath.c_str());
                return PassEnd::Failed;
            }
            m_firstPending = false;
            unpaced = true;
        }
        while (Running()) {
            if (FindNextTimestamp() != 0) {
                if (m_endOfFile) {
                    // The rest goes at the last clock reference's time.
                    if (pacePending && Pace() != 0) {
                        return PassEnd::Stopped;
                    }
                    SendRest();
                    return PassEnd::Completed;
                }
                break;
            }
            AdvanceSchedule(m_nextTicks, m_bufferBase + m_next);
            // A release that sends nothing needs no wait: its bytes go with
            // a later release, which waits for its own clock reference.
            if (!unpaced) {
                pacePending = !ReleaseSends(m_next);
                if (!pacePending && Pace() != 0) {
                    return PassEnd::Stopped;
                }
            }
            unpaced = false;
            ReleaseToMark(m_next);
        }
    }
    return PassEnd::Completed;
}

XmitMPEG::ReadOutcome XmitMPEG::ReadBlock()
{
    if (m_buffer.size() - m_fill < qvmpeg::kReadBlockSize) {
        FlushUnpaced();
    }
    const std::size_t room = std::min(qvmpeg::kReadBlockSize, m_buffer.size() - m_fill);
    if (room == 0) {
        return ReadOutcome::Data; // a stop cut the flush short
    }
    const qvmpeg::MpegFileReader::ReadResult read =
        m_file.Read(std::span<std::uint8_t>(m_buffer).subspan(m_fill, room));
    m_fill += read.bytes;
    if (read.failed) {
        QvDebugMsg("Failed to read: %s", m_filePath.c_str());
        return ReadOutcome::Failed;
    }
    if (read.endOfFile) {
        m_endOfFile = true;
    }
    return ReadOutcome::Data;
}

void XmitMPEG::FlushUnpaced()
{
    const std::size_t waiting = m_fill - m_sent;
    std::size_t flushed = 0;
    while (m_fill - m_sent >= kPayloadSize + kScanTail && Running()) {
        const std::size_t sent = SendPacket(m_buffer.data() + m_sent, kPayloadSize);
        m_sent += sent;
        flushed += sent;
    }
    QvDebugMsg("XmitMPEG: no clock reference within %zu bytes of %s; %zu bytes sent unpaced",
               waiting, m_filePath.c_str(), flushed);
    // The clock references before the flushed bytes are gone with them.
    m_rescan = true;
    Compact();
}

void XmitMPEG::AdvanceSchedule(std::uint64_t ticks, std::uint64_t streamPosition)
{
    const std::int64_t delta = qvmpeg::TimestampDifference(ticks, m_lastTicks);
    const std::uint64_t bytes = streamPosition - m_lastStampPosition;
    if (delta >= 0 && delta <= kMaxClockGapTicks) {
        m_schedule += static_cast<std::uint64_t>(delta);
    } else {
        // A discontinuity: the bytes in between get the time they take at
        // the stream's rate, and the clock references behind it are paced
        // from there.
        const std::uint64_t bridge = std::min(TicksForBytes(bytes, m_bitrate),
                                              static_cast<std::uint64_t>(kMaxClockGapTicks));
        QvDebugMsg("XmitMPEG: clock reference of %s jumps by %lld ticks at byte %llu; "
                   "paced as %llu ticks",
                   m_filePath.c_str(), static_cast<long long>(delta),
                   static_cast<unsigned long long>(streamPosition),
                   static_cast<unsigned long long>(bridge));
        m_schedule += bridge;
    }
    m_lastTicks = ticks;
    m_lastStampPosition = streamPosition;
}

bool XmitMPEG::ReleaseSends(std::size_t mark) const
{
    return mark > m_sent && mark - m_sent > kPayloadSize;
}

int XmitMPEG::Pace()
{
    // 90 kHz ticks and nanoseconds: 9 ticks every 100,000 ns.
    constexpr std::uint64_t kNsPerNineTicks = 100000;
    constexpr std::uint64_t kStepNs = std::uint64_t{kPacingStepMs} * 1000000;
    // The first instant at which the clock has passed the clock reference.
    const std::uint64_t dueNs =
        m_passStartNs + ((m_schedule + 1) * kNsPerNineTicks + 8) / 9;
    while (Running()) {
        const std::uint64_t now = qvplat::MonotonicNs();
        const std::uint64_t clock = (now - m_passStartNs) * 9 / kNsPerNineTicks;
        if (clock > m_schedule) {
            return 0;
        }
        // Sleep to that instant, in steps short enough to see a stop.
        qvplat::SleepUntilNs(std::min(dueNs, now + kStepNs));
        AnnounceIfDue();
    }
    return 1;
}

void XmitMPEG::ReleaseToMark(std::size_t mark)
{
    m_current = mark;
    while (mark - m_sent > kPayloadSize && Running()) {
        m_sent += SendPacket(m_buffer.data() + m_sent, kPayloadSize);
    }
    Compact();
}

void XmitMPEG::SendRest()
{
    while (m_sent < m_fill && Running()) {
        const std::size_t length = std::min(kPayloadSize, m_fill - m_sent);
        m_sent += SendPacket(m_buffer.data() + m_sent, length);
    }
    Compact();
}

void XmitMPEG::Compact()
{
    if (m_sent == 0) {
        return;
    }
    std::memmove(m_buffer.data(), m_buffer.data() + m_sent, m_fill - m_sent);
    const auto lower = [this](std::size_t position) {
        return position >= m_sent ? position - m_sent : 0;
    };
    m_fill -= m_sent;
    m_current = lower(m_current);
    m_next = lower(m_next);
    m_bufferBase += m_sent;
    m_sent = 0;
}

void XmitMPEG::PauseBetweenPasses()
{
    const std::uint32_t start = qvplat::TickCount();
    while (Running()) {
        const std::uint32_t elapsed = qvplat::ElapsedMs(qvplat::TickCount(), start);
        if (elapsed >= m_pauseMs) {
            return;
        }
        qvplat::Sleep(std::min(m_pauseMs - elapsed, kPacingStepMs));
    }
}

// ---- Packets ----------------------------------------------------------------

std::size_t XmitMPEG::SendPacket(const std::uint8_t* data, std::size_t length)
{
    const void* wire = data;
    std::size_t wireLength = length;
    if (m_packetFormat == kOpvFormat) {
        QvWriteOpvHeader(m_packet.data(), m_packet.size(), m_streamOffset);
        std::memcpy(m_packet.data() + qvwire::kOpvHeaderLength, data, length);
        wire = m_packet.data();
        wireLength = length + qvwire::kOpvHeaderLength;
    }
    const int result = Send(wire, static_cast<int>(wireLength), 0);
    if (result < 0 || static_cast<std::size_t>(result) != wireLength) {
        // Dropped: offering it again could stall the stream for good, and
        // the offset still moves on so a receiver sees the gap as a loss.
        QvDebugMsg("XmitMPEG::Error sending data: %d", QvSocket::GetLastError());
    } else {
        m_payloadSent.fetch_add(length, std::memory_order_relaxed);
        m_socketSent.fetch_add(wireLength, std::memory_order_relaxed);
    }
    m_streamOffset += static_cast<std::uint32_t>(length);
    return length;
}

void XmitMPEG::SendEndOfStream()
{
    std::uint8_t packet[qvwire::kEndOfStreamLength] = {};
    const std::size_t length = QvWriteEndOfStream(packet, sizeof(packet));
    const int result = Send(packet, static_cast<int>(length), 0);
    if (result < 0) {
        QvDebugMsg("Error sending EOS notification: %d", QvSocket::GetLastError());
    } else {
        m_socketSent.fetch_add(length, std::memory_order_relaxed);
    }
}

// ---- Announcement -----------------------------------------------------------

void XmitMPEG::BuildAnnouncement()
{
    m_announcement.reset();
    if (m_sapCaster == nullptr) {
        return;
    }
    const std::uint32_t now = qvplat::TickCount();
    auto packet = std::make_unique<QvSAPPacket>();
    packet->InitAnnouncement();
    packet->SetMsgIDHash(now & 0xFFFFU);
    packet->SetOrigSrc(GetInterface());

    const std::string sessionId = std::to_string(now);
    const std::string origin = QvDottedAddress(static_cast<std::uint32_t>(GetInterface()));
    const std::string group = QvDottedAddress(static_cast<std::uint32_t>(GetAddress()));
    const std::string ttl = std::to_string(GetTTL());
    const std::string port = std::to_string(GetPort());
    const std::string bitrate = std::to_string(m_bitrate);
    const bool raw = m_packetFormat == kRawFormat;
    const char* format = raw ? "RAW" : (m_headerCasterOn ? "QVS" : "OPV");
    const std::string packetSize = std::to_string(raw ? kPayloadSize : kOpvPacketSize);

    packet->SetPropA("SesProtoVer", "0");
    packet->SetPropA("SesOUsername", "-");
    packet->SetPropA("SesOSesID", sessionId.c_str());
    packet->SetPropA("SesOVer", "0");
    packet->SetPropA("SesONetType", "IN");
    packet->SetPropA("SesOAddrType", "IP4");
    packet->SetPropA("SesOAddr", origin.c_str());
    packet->SetPropA("SesSesName", SessionName(m_filePath).c_str());
    packet->SetPropA("SesSesDescript", m_filePath.c_str());
    packet->SetPropA("SesCNetType", "IN");
    packet->SetPropA("SesCAddrType", "IP4");
    packet->SetPropA("SesCConnAddr", group.c_str());
    packet->SetPropA("SesCTTL", ttl.c_str());
    // An unbounded session: standard listeners drop a description without
    // a time line.
    packet->SetPropA("SesStartTime", "0");
    packet->SetPropA("SesStopTime", "0");
    if (const char* mux = MuxName(m_streamType)) {
        packet->SetPropA("Mux", mux);
    }
    packet->SetPropA("PacketFormat", format);
    packet->SetPropA("PacketSize", packetSize.c_str());
    packet->SetPropA("VidPort", port.c_str());
    packet->SetPropA("AudPort", port.c_str());
    // Raw UDP, spelt as RFC 4566 registers it; "UDP" reads as RTP to some
    // listeners.
    packet->SetPropA("VidTransport", "udp");
    packet->SetPropA("AudTransport", "udp");
    packet->SetPropA("Bitrate", bitrate.c_str());
    packet->ConstructPacket();

    m_sapCaster->Send(packet.get());
    m_lastAnnounceMs = now;
    m_announcement = std::move(packet);
}

void XmitMPEG::AnnounceIfDue()
{
    if (!m_announcement || m_sapCaster == nullptr) {
        return;
    }
    const std::uint32_t now = qvplat::TickCount();
    if (qvplat::ElapsedMs(now, m_lastAnnounceMs) > m_announcePeriodMs) {
        m_sapCaster->Send(m_announcement.get());
        m_lastAnnounceMs = now;
    }
}

void XmitMPEG::WithdrawAnnouncement()
{
    if (m_headCaster.IsStarted()) {
        m_headCaster.Stop();
    }
    if (!m_announcement) {
        return;
    }
    m_announcement->InitDeletion();
    if (m_sapCaster != nullptr) {
        m_sapCaster->Send(m_announcement.get());
    }
    m_announcement.reset();
}

// ---- Stream types -----------------------------------------------------------

XmitMPEG1System::XmitMPEG1System()
    : XmitMPEG(qvmpeg::kMpeg1System, std::make_unique<qvmpeg::Mpeg1SystemScanner>())
{
}

XmitMPEG1System::~XmitMPEG1System()
{
    Stop(); // while DecodeTimestamp is still this class's
}

std::uint64_t XmitMPEG1System::DecodeTimestamp(const std::uint8_t* bytes) const
{
    return qvmpeg::DecodeMpeg1Scr(qvmpeg::ClockBytes(bytes, 5));
}

XmitMPEG2Program::XmitMPEG2Program()
    : XmitMPEG(qvmpeg::kMpeg2Program, std::make_unique<qvmpeg::Mpeg2ProgramScanner>())
{
}

XmitMPEG2Program::~XmitMPEG2Program()
{
    Stop(); // while DecodeTimestamp is still this class's
}

std::uint64_t XmitMPEG2Program::DecodeTimestamp(const std::uint8_t* bytes) const
{
    return qvmpeg::DecodeMpeg2ScrBase(qvmpeg::ClockBytes(bytes, 5));
}

XmitMPEG2Transport::XmitMPEG2Transport()
    : XmitMPEG(qvmpeg::kMpeg2Transport, std::make_unique<qvmpeg::Mpeg2TransportScanner>())
{
}

XmitMPEG2Transport::~XmitMPEG2Transport()
{
    Stop(); // while DecodeTimestamp is still this class's
}

std::uint64_t XmitMPEG2Transport::DecodeTimestamp(const std::uint8_t* bytes) const
{
    return qvmpeg::DecodePcrBase(qvmpeg::ClockBytes(bytes, 5));
}

void XmitMPEG2Transport::SetHeaderCaster(bool)
{
    XmitMPEG::SetHeaderCaster(false);
}

std::unique_ptr<XmitMPEG> MakeXmitMPEG(int streamType)
{
    switch (streamType) {
    case qvmpeg::kMpeg1System:
        return std::make_unique<XmitMPEG1System>();
    case qvmpeg::kMpeg2Program:
        return std::make_unique<XmitMPEG2Program>();
    case qvmpeg::kMpeg2Transport:
        return std::make_unique<XmitMPEG2Transport>();
    default:
        return nullptr;
    }
}
