#include "core/receive/qvheadproc.h"

#include "core/mpegsyntax/ps.h"
#include "core/mpegsyntax/ts.h"
#include "core/packets/qvpacket.h"
#include "core/packets/qvpacketlist.h"
#include "core/settings/qvlog.h"

#include <algorithm>
#include <cstring>
#include <optional>
#include <utility>

namespace {

using namespace mpegsyntax;

// Room the sequence header must leave after a video packet's start code for
// the packet header (start code, length, buffer size, time stamps), and
// before the group start when no video packet start is in sight.
constexpr std::int64_t kVideoPacketHeaderRoom = 18;
constexpr std::int64_t kPackRoom = 17;

constexpr std::size_t kMinWorkingSize = 10240;

// Layout of the synthetic start block: an MPEG-1 pack header, a system
// header with two streams and a padding packet whose data fills the rest.
constexpr std::size_t kStartBlockStreams = 2;
constexpr std::size_t kSystemHeaderOffset = kPs1PackSize;
constexpr std::size_t kFillerPacketOffset =
    kSystemHeaderOffset + ps_sysheader_size(kStartBlockStreams);
constexpr std::size_t kFillerDataOffset = kFillerPacketOffset + kPesHeaderSize;
constexpr std::size_t kMinStartBlock = kFillerDataOffset + 1;
constexpr std::size_t kMaxStartBlock = kFillerDataOffset + 0xFFFF;
// The start block's rate bound, also its mux rate when no pack tells the
// stream's own; 90 kHz clock ticks per second and the mux rate's unit of
// 50 bytes per second.
constexpr std::uint32_t kStartBlockRateBound = 3413;
constexpr std::uint64_t kTicksPerSecond = 90000;
constexpr std::uint64_t kMuxRateUnit = 50;
// Filler bytes of the start block: never part of a start code.
constexpr std::uint8_t kFillerByte = 0xFF;

// The start block's system header: rate bound 3413, one audio stream (fixed
// rate, constrained), audio and video locked, one video stream; buffer
// bounds of 32 x 128 bytes for the audio and 46 x 1024 bytes for the video.
void WriteStartBlockSystemHeader(MutableByteView out)
{
    ps_sysheader_init(out, kStartBlockStreams, kStartBlockRateBound, 1, 1,
                      kSysFixedRate | kSysConstrained | kSysAudioLock | kSysVideoLock);
    ps_sysheader_set_stream(out, 0, kStreamAudio0, false, 32);
    ps_sysheader_set_stream(out, 1, kStreamVideo0, true, 46);
}

// The pack start code before the first start code `code`, with that code's
// position; nothing when either is missing.
struct Anchor
{
    std::size_t pack = 0;
    std::size_t at = 0;
};

std::optional<Anchor> FindPackBefore(ByteView p, std::uint8_t code)
{
    const std::optional<std::size_t> at = start_code_find(p, code);
    if (!at) {
        return std::nullopt;
    }
    const std::optional<std::size_t> pack = start_code_rfind(p, kPackStartCode, *at);
    if (!pack) {
        return std::nullopt;
    }
    return Anchor{*pack, *at};
}

// Start codes of the system layer (packs, system headers, packets) and the
// stream ids of video packets.
constexpr bool IsSystemCode(std::uint8_t code)
{
    return code >= kPackStartCode;
}
constexpr bool IsVideoStream(std::uint8_t code)
{
    return code >= kStreamVideo0 && code <= 0xEF;
}

// The last start code of the system layer that begins before `before`.
std::optional<std::size_t> LastSystemCodeBefore(ByteView p, std::size_t before)
{
    if (p.size() < kStartCodeSize) {
        return std::nullopt;
    }
    for (std::size_t i = std::min(before, p.size() - kStartCodeSize + 1); i-- > 0;) {
        if (start_code_prefix(p.subspan(i)) && IsSystemCode(p[i + 3])) {
            return i;
        }
    }
    return std::nullopt;
}

// Whether the packet at p carries an MPEG-2 packet header (its first byte
// after the length begins with the bits 10; an MPEG-1 header begins with
// stuffing, a buffer size or its time stamp flags).
bool IsMpeg2Packet(ByteView p)
{
    return p.size() > kPesHeaderSize && (p[kPesHeaderSize] & 0xC0) == 0x80;
}

// An MPEG-2 pack header at p, its marker bits checked: such a pack never
// appears in an MPEG-1 system stream.
bool IsMpeg2Pack(ByteView p)
{
    return p.size() >= kPs2PackSize && start_code_is(p, kPackStartCode) &&
           (p[4] & 0xC4) == 0x44 && (p[6] & 0x04) != 0 && (p[8] & 0x04) != 0 &&
           (p[9] & 0x01) != 0 && (p[12] & 0x03) == 0x03;
}

bool HasMpeg2Pack(ByteView p)
{
    for (std::optional<std::size_t> at = start_code_find(p, kPackStartCode); at;
         at = start_code_find(p, kPackStartCode, *at + kStartCodeSize)) {
        if (IsMpeg2Pack(p.subspan(*at))) {
            return true;
        }
    }
    return false;
}

// The pack at or before the packet at `packet` that leads straight into it
// (directly or through a system header); the packet itself when none does.
std::size_t LeadingPack(ByteView p, std::size_t packet)
{
    const std::optional<std::size_t> pack = start_code_rfind(p, kPackStartCode, packet);
    if (!pack) {
        return packet;
    }
    std::size_t end = *pack + ps_pack_size(p.subspan(*pack));
    if (end == *pack) {
        return packet;
    }
    if (end < packet && start_code_is(p.subspan(end), kSystemHeaderCode)) {
        end += kPesHeaderSize + pes_get_length(p.subspan(end));
    }
    return end == packet ? *pack : packet;
}

// The clock of an MPEG-1 packet's header: its decoding time stamp, else its
// presentation time stamp; nothing when it carries neither or is cut off.
std::optional<std::uint64_t> PacketClock(ByteView packet)
{
    std::size_t i = kPesHeaderSize;
    while (i < packet.size() && packet[i] == 0xFF && i < kPesHeaderSize + 16) {
        ++i;
    }
    if (i < packet.size() && (packet[i] & 0xC0) == 0x40) {
        i += 2; // buffer scale and size
    }
    if (i >= packet.size()) {
        return std::nullopt;
    }
    const std::uint8_t flags = packet[i] & 0xF0;
    const std::size_t stamp = flags == 0x30 ? i + 5 : flags == 0x20 ? i : 0;
    if (stamp == 0 || stamp + ClockField::extent > packet.size()) {
        return std::nullopt;
    }
    return ps1_scr_decode(packet.subspan(stamp).first<ClockField::extent>());
}

// Three sync bytes a packet apart anywhere in p.
bool LooksLikeTransportStream(ByteView p)
{
    for (std::size_t i = 0; i + 2 * kTsPacketSize < p.size(); ++i) {
        if (ts_is_synced(p.subspan(i), 3)) {
            return true;
        }
    }
    return false;
}

// Whether the sender's header of `headerLength` bytes fits in just before the
// group start at g, leaving the video packet's header (or, without one in
// sight, a pack header) alone.
bool HeaderFitsBeforeGroup(ByteView p, std::size_t g, std::uint32_t headerLength)
{
    const std::optional<std::size_t> e = start_code_rfind(p, kStreamVideo0, g);
    const auto room =
        e ? static_cast<std::int64_t>(g) - static_cast<std::int64_t>(*e) - kVideoPacketHeaderRoom
          : static_cast<std::int64_t>(g) - kPackRoom;
    return room >= static_cast<std::int64_t>(headerLength);
}

// Where a stream that lacks its system header can begin so that the first
// start code `code` is decoded: the MPEG-1 video packet that holds it (or the
// pack that leads into that packet), found even where no pack is near, as in
// streams that carry a pack header only every few packets. Without such a
// packet in sight, the pack before the start code.
struct Start
{
    std::size_t cut = 0;    // where the stream begins
    std::size_t packet = 0; // the video packet that holds the start code
    std::size_t at = 0;     // the start code
    bool mpeg2 = false;     // that packet has an MPEG-2 header
};

std::optional<Start> FindStart(ByteView p, std::uint8_t code)
{
    for (std::optional<std::size_t> at = start_code_find(p, code); at;
         at = start_code_find(p, code, *at + kStartCodeSize)) {
        const std::optional<std::size_t> packet = LastSystemCodeBefore(p, *at);
        if (!packet || !IsVideoStream(p[*packet + 3])) {
            continue;
        }
        const ByteView head = p.subspan(*packet);
        if (head.size() < kPesHeaderSize ||
            *at >= *packet + kPesHeaderSize + pes_get_length(head)) {
            continue;
        }
        return Start{LeadingPack(p, *packet), *packet, *at, IsMpeg2Packet(head)};
    }
    if (const std::optional<Anchor> anchor = FindPackBefore(p, code)) {
        return Start{anchor->pack, anchor->pack, anchor->at, false};
    }
    return std::nullopt;
}

ByteView PayloadBytes(const QvBasePacket& packet)
{
    return {reinterpret_cast<const std::uint8_t*>(packet.GetPayload()), packet.GetPayloadLength()};
}

// The sequence that a piece of `bytes` payload bytes placed just before
// `next` must carry so that the stream runs on into `next` without a break:
// the byte offset `bytes` earlier for byte-numbered formats, the previous
// packet number for packet-numbered ones.
std::uint32_t SequenceBefore(const QvBasePacket& next, std::uint32_t bytes)
{
    if (const auto* qvs = dynamic_cast<const QvQvsPacket*>(&next)) {
        return qvs->PrevSequence();
    }
    if (const auto* ovs = dynamic_cast<const QvOvsPacket*>(&next)) {
        return ovs->PrevSequence();
    }
    return next.GetSequence(bytes);
}

} // namespace

// Where the first held packet is cut, found before anything is changed.
struct QvHeadProcessor::FixupPlan
{
    std::size_t pack = 0;   // payload offset of the pack the stream now starts with
    std::size_t anchor = 0; // payload offset of the sequence header or group start
};

QvHeadProcessor::QvHeadProcessor(int blockSize, QvFifo& receiver)
    : m_blockSize(static_cast<std::uint32_t>(std::max(blockSize, 0))),
      m_held(std::make_unique<QvSList>(QvListRole::Working)), m_receiver(receiver)
{
    m_workingSize = std::max<std::size_t>(std::size_t{3} * m_blockSize, kMinWorkingSize);
    m_working = std::make_unique<std::uint8_t[]>(m_workingSize);
    QvDebugMsg("MPEG 1 Stream Analysis");
}

QvHeadProcessor::~QvHeadProcessor()
{
    if (m_previous != nullptr) {
        ToFreeList(m_previous);
    }
}

std::size_t QvHeadProcessor::GetHeldCount() const
{
    return m_held->entries();
}

int QvHeadProcessor::ReadControlPacket(QvBasePacket* packet)
{
    if (packet == nullptr) {
        return 0;
    }
    const auto* bytes = reinterpret_cast<const std::uint8_t*>(packet->GetBuffer());
    const std::size_t received = std::min(packet->GetReceivedLength(), packet->GetBufferSize());
    if (received < qvwire::kControlMarkerLength ||
        !std::all_of(bytes, bytes + qvwire::kControlMarkerLength,
                     [](std::uint8_t b) { return b == qvwire::kControlMarkerByte; })) {
        return 0;
    }
    QvControlPacket control;
    if (!QvParseControlPacket(bytes, received, control) ||
        control.type != qvwire::kControlTypeHeader) {
        return 1;
    }
    // The header's length comes from the wire: keep it only when it lies
    // within the datagram and fits the header area.
    const bool complete = control.mpeg != nullptr;
    if (complete && control.mpegLength <= kHeaderAreaSize) {
        std::memcpy(m_header, control.mpeg, control.mpegLength);
        m_headerLength = control.mpegLength;
    } else if (!m_reportedOversizeHeader) {
        m_reportedOversizeHeader = true;
        QvDebugMsg("Header packet ignored: %s (%u bytes received)",
                   complete ? "header longer than 256 bytes" : "header longer than its datagram",
                   static_cast<unsigned>(received));
    }
    return 1;
}

int QvHeadProcessor::IdentifyStream(QvBasePacket* packet)
{
    if (packet == nullptr) {
        return kModeUnknown;
    }
    std::size_t cut = 0;
    std::size_t anchor = 0;
    return IdentifyBytes(PayloadBytes(*packet), true, cut, anchor);
}

int QvHeadProcessor::IdentifyBytes(ByteView p, bool allowGroup, std::size_t& cut,
                                   std::size_t& anchor)
{
    if (LooksLikeTransportStream(p)) {
        QvDebugMsg("Identified Transport Stream");
        return kModeTransport;
    }
    // A program stream needs no rewriting: its demultiplexer finds its way
    // in at any pack. Any pack of the MPEG-2 layout tells it, with or
    // without a system header near (a stream announced without its
    // multiplex type comes here too).
    if (HasMpeg2Pack(p)) {
        QvDebugMsg("Identified MPEG 2 Program Stream");
        return kModeProgram;
    }
    if (const std::optional<Anchor> system = FindPackBefore(p, kSystemHeaderCode)) {
        QvDebugMsg("Identified MPEG 1 System Stream");
        cut = system->pack;
        anchor = system->at;
        return kModeSystem;
    }
    if (const std::optional<Start> start = FindStart(p, kSequenceHeaderCode)) {
        if (start->mpeg2) {
            QvDebugMsg("Identified MPEG 2 Program Stream");
            return kModeProgram;
        }
        QvDebugMsg("Sequence header found - No System");
        cut = start->cut;
        anchor = start->at;
        return kModeSequenceNoSystem;
    }
    if (allowGroup && m_headerLength > 0) {
        const std::optional<Start> group = FindStart(p, kGroupStartCode);
        if (group && !group->mpeg2 && HeaderFitsBeforeGroup(p, group->at, m_headerLength)) {
            QvDebugMsg("GOP found - No System");
            cut = group->cut;
            anchor = group->at;
            return kModeGopNoSequence;
        }
    }
    return kModeUnknown;
}

bool QvHeadProcessor::Identify(QvBasePacket* packet)
{
    // The datagram before this one was kept back: a start code near the
    // beginning of this one may lie in a packet that began in it.
    QvBasePacket* previous = std::exchange(m_previous, nullptr);
    if (previous != nullptr && previous->NextSequence() != packet->Sequence()) {
        ToFreeList(previous);
        previous = nullptr;
    }
    m_workingFill = 0;
    if (previous != nullptr) {
        AppendWorking(*previous);
    }
    const std::uint32_t previousLength = m_workingFill;
    AppendWorking(*packet);
    const ByteView both(m_working.get(), m_workingFill);

    std::size_t cut = 0;
    std::size_t anchor = 0;
    // The sender's header is written into one packet only: a group start is
    // looked for in this datagram alone.
    int mode = IdentifyBytes(both, false, cut, anchor);
    if (mode == kModeUnknown) {
        mode = IdentifyBytes(both.subspan(previousLength), true, cut, anchor);
        cut += previousLength;
        anchor += previousLength;
    }
    if (mode == kModeUnknown) {
        if (previous != nullptr) {
            ToFreeList(previous);
        }
        m_previous = packet;
        m_workingFill = 0;
        return false;
    }
    m_mode = mode;
    const bool passThrough = mode == kModeTransport || mode == kModeProgram;
    if (previous != nullptr && (passThrough || cut < previousLength)) {
        Hold(previous);
        m_expectedSequence = previous->NextSequence();
        m_workingFill = previousLength;
    } else {
        if (previous != nullptr) {
            ToFreeList(previous);
            cut -= previousLength;
            anchor -= previousLength;
        }
        m_workingFill = 0;
    }
    m_cut = cut;
    m_anchor = anchor;
    return true;
}

void QvHeadProcessor::AppendWorking(const QvBasePacket& packet)
{
    const std::size_t room = m_workingSize - m_workingFill;
    const std::size_t copied = std::min<std::size_t>(packet.GetPayloadLength(), room);
    std::memcpy(m_working.get() + m_workingFill, packet.GetPayload(), copied);
    m_workingFill += static_cast<std::uint32_t>(copied);
}

bool QvHeadProcessor::Process(QvBasePacket* packet)
{
    if (packet == nullptr) {
        return false;
    }
    const bool afterBreak = packet->IsBreak();
    m_breakPending = m_breakPending || afterBreak;
    if (ReadControlPacket(packet) == 1 || packet->CheckHeader(nullptr) == 0) {
        ToFreeList(packet);
        return false;
    }
    if (m_mode == kModeUnknown && !Identify(packet)) {
        return false;
    }
    if (m_held->entries() > 0 && (packet->Sequence() != m_expectedSequence || afterBreak)) {
        QvDebugMsg("Break in sequence.  Restarting");
        ReleaseHeld();
        m_workingFill = 0;
        m_mode = kModeUnknown;
        ToFreeList(packet);
        return false;
    }
    m_expectedSequence = packet->NextSequence();

    if (m_mode == kModeTransport || m_mode == kModeProgram) {
        QvDebugMsg("Header fix-up completed");
        ReleaseHeld();
        packet->SetBreak(TakePendingBreak());
        return true;
    }

    const std::uint32_t payload = packet->GetPayloadLength();
    const bool blockFilled = std::uint64_t{m_workingFill} + payload > m_blockSize;
    if ((blockFilled || PoolRunningLow(payload)) && m_held->entries() > 1) {
        const char* reason = nullptr;
        if (FixUp(reason)) {
            QvDebugMsg("Header fix-up completed");
        } else {
            QvErrorMsg(false, "Header fix-up abandoned (%s); stream passed on unchanged", reason);
        }
        ReleaseHeld();
        packet->SetBreak(TakePendingBreak());
        return true;
    }

    QvDebugMsg("Data -> working buffer");
    AppendWorking(*packet);
    Hold(packet);
    return false;
}

bool QvHeadProcessor::PoolRunningLow(std::uint32_t pending) const
{
    // Held packets come out of the receiver's pool. With datagrams much
    // smaller than the block size they could take all of it before the block
    // size is reached, and the receiver would stall with nothing to receive
    // into. So the fix-up also runs once the free packets left would barely
    // hold the start block (a piece per half block of working data, to spare).
    const std::uint32_t pieceBytes = std::max<std::uint32_t>(m_blockSize / 2, 1);
    const std::size_t reserve = (std::size_t{m_workingFill} + pending) / pieceBytes + 2;
    return m_receiver.FreeList().entries() <= reserve;
}

void QvHeadProcessor::ReleaseHeld()
{
    QvSList& queue = m_receiver.DataQueue();
    while (QvBasePacket* packet = m_held->removeFirst()) {
        queue.append(packet);
    }
}

void QvHeadProcessor::Hold(QvBasePacket* packet)
{
    packet->SetBreak(TakePendingBreak());
    m_held->append(packet);
}

bool QvHeadProcessor::TakePendingBreak()
{
    const bool pending = m_breakPending;
    m_breakPending = false;
    return pending;
}

void QvHeadProcessor::ToFreeList(QvBasePacket* packet)
{
    m_receiver.FreeList().append(packet);
}

bool QvHeadProcessor::FixUp(const char*& reason)
{
    switch (m_mode) {
    case kModeSystem:
        return FixUpSystemStream(reason);
    case kModeSequenceNoSystem:
    case kModeGopNoSequence:
        return FixUpMissingHeaders(reason);
    default:
        reason = "Unknown header mode.";
        return false;
    }
}

bool QvHeadProcessor::FixUpSystemStream(const char*& reason)
{
    QvBasePacket* first = m_held->first();
    if (first == nullptr) {
        reason = "(1) Failed to get first block.";
        return false;
    }
    if (m_cut >= first->GetPayloadLength()) {
        reason = "invalid value";
        return false;
    }
    first->Consume(static_cast<std::uint32_t>(m_cut));
    return true;
}

bool QvHeadProcessor::FixUpMissingHeaders(const char*& reason)
{
    FixupPlan plan;
    std::vector<QvBasePacket*> pieces;
    // Everything is checked before the first packet is changed, so that an
    // abandoned fix-up leaves the stream exactly as it arrived.
    if (!BuildStartBlock(reason) || !PlanFirstPacket(plan, reason) ||
        !TakeFreePackets(pieces, reason)) {
        return false;
    }
    ApplyFirstPacket(plan);
    InsertStartBlock(pieces);
    return true;
}

bool QvHeadProcessor::BuildStartBlock(const char*& reason)
{
    // The block goes in front of the cut, and its clock reference is the
    // stream's own clock there, so that the packs after it follow on: one
    // pack interval before the first pack when the stream begins at a pack
    // and the next pack is in sight; otherwise counted back from the first
    // pack after the cut at that pack's mux rate; without a pack in the held
    // data, the time stamp of the video packet at the cut.
    const ByteView w(m_working.get(), m_workingFill);
    if (m_cut >= w.size()) {
        reason = "invalid value";
        return false;
    }
    std::size_t length = kMinStartBlock;
    std::uint64_t scr = 0;
    std::uint32_t muxRate = kStartBlockRateBound;
    const std::optional<std::size_t> p1 = start_code_find(w, kPackStartCode, m_cut);
    if (p1 && *p1 + kPs1PackSize <= w.size() && ps_pack_is_mpeg1(w.subspan(*p1))) {
        const ByteView pack1 = w.subspan(*p1);
        const std::uint64_t scr1 = ps1_pack_get_scr(pack1);
        muxRate = ps1_pack_get_mux_rate(pack1);
        const std::optional<std::size_t> p2 =
            start_code_find(w, kPackStartCode, *p1 + kStartCodeSize);
        const std::size_t interval = p2 ? *p2 - *p1 : 0;
        if (*p1 == m_cut && p2 && *p2 + kPs1PackSize <= w.size() && interval >= kMinStartBlock &&
            interval <= kMaxStartBlock) {
            length = interval;
            scr = 2 * scr1 - ps1_pack_get_scr(w.subspan(*p2));
        } else if (muxRate > 0) {
            const std::uint64_t bytes = length + (*p1 - m_cut);
            scr = scr1 + kClockModulus - bytes * kTicksPerSecond / (muxRate * kMuxRateUnit);
        } else {
            reason = "pack header without a mux rate";
            return false;
        }
    } else {
        const std::optional<std::uint64_t> clock = PacketClock(w.subspan(m_cut));
        if (!clock) {
            reason = "no clock reference or time stamp after the cut";
            return false;
        }
        scr = *clock;
    }
    scr &= kClockModulus - 1;

    m_startBlock.assign(length, kFillerByte);
    const MutableByteView b(m_startBlock);
    ps1_pack_init(b, scr, muxRate);
    WriteStartBlockSystemHeader(b.subspan(kSystemHeaderOffset));
    pes_init(b.subspan(kFillerPacketOffset), kStreamPadding,
             static_cast<std::uint16_t>(length - kFillerDataOffset));
    b[kFillerDataOffset] = kPes1NoTimestamps;
    m_startRemaining = static_cast<std::uint32_t>(length);
    return true;
}

bool QvHeadProcessor::PlanFirstPacket(FixupPlan& plan, const char*& reason)
{
    QvBasePacket* first = m_held->first();
    if (first == nullptr) {
        reason = "(2) Failed to get first block.";
        return false;
    }
    const std::uint32_t length = first->GetPayloadLength();
    if (m_cut >= length) {
        reason = "invalid value";
        return false;
    }
    if (m_mode == kModeGopNoSequence) {
        // The header bytes may have changed since the stream was identified,
        // so their room is checked again against the header held now; the
        // group start lies in the first packet (it is looked for in one
        // datagram only).
        const ByteView p = PayloadBytes(*first);
        if (m_anchor >= length || m_headerLength == 0 ||
            !HeaderFitsBeforeGroup(p, m_anchor, m_headerLength) ||
            m_anchor < m_cut + m_headerLength) {
            reason = "no room for the sequence header before the group start";
            return false;
        }
    }
    plan.pack = m_cut;
    plan.anchor = m_anchor;
    return true;
}

bool QvHeadProcessor::TakeFreePackets(std::vector<QvBasePacket*>& pieces, const char*& reason)
{
    QvSList& freeList = m_receiver.FreeList();
    std::uint32_t remaining = m_startRemaining;
    while (remaining > 0) {
        QvBasePacket* piece = freeList.get();
        if (piece != nullptr) {
            pieces.push_back(piece);
            piece->Reset();
        }
        const std::uint32_t capacity = piece != nullptr ? piece->GetPayloadLength() : 0;
        if (capacity == 0) {
            for (QvBasePacket* taken : pieces) {
                freeList.append(taken);
            }
            pieces.clear();
            reason = piece == nullptr ? "(3) Failed to get free block."
                                      : "free packets have no room for payload";
            return false;
        }
        remaining -= std::min(capacity, remaining);
    }
    return true;
}

void QvHeadProcessor::ApplyFirstPacket(const FixupPlan& plan)
{
    QvBasePacket* first = m_held->removeFirst();
    if (m_mode == kModeGopNoSequence) {
        // Checked by PlanFirstPacket: the header ends at the group start and
        // begins inside the payload.
        std::memcpy(first->GetPayload() + (plan.anchor - m_headerLength), m_header, m_headerLength);
    }
    first->Consume(static_cast<std::uint32_t>(plan.pack));
    // The cut packet ends where the next held packet begins.
    if (const QvBasePacket* next = m_held->first()) {
        first->SetSequence(SequenceBefore(*next, first->GetPayloadLength()));
    }
    m_held->prepend(first);
}

void QvHeadProcessor::InsertStartBlock(std::vector<QvBasePacket*>& pieces)
{
    // The block is split from its end backwards, each piece going in front
    // of the held packets, so only the first piece may be short.
    for (QvBasePacket* piece : pieces) {
        const std::uint32_t capacity = piece->GetPayloadLength();
        std::uint32_t copied = 0;
        if (capacity >= m_startRemaining) {
            copied = m_startRemaining;
            std::memcpy(piece->GetPayload(), m_startBlock.data(), copied);
            piece->SetPayloadLength(copied);
        } else {
            copied = capacity;
            std::memcpy(piece->GetPayload(), m_startBlock.data() + (m_startRemaining - copied),
                        copied);
        }
        m_startRemaining -= copied;
        const QvBasePacket* head = m_held->first();
        piece->SetSequence(head != nullptr ? SequenceBefore(*head, copied) : 0);
        m_held->prepend(piece);
    }
    pieces.clear();
}
