#include "core/receive/qvheadproc.h"

#include "core/mpegsyntax/ps.h"
#include "core/mpegsyntax/ts.h"
#include "core/packets/qvpacket.h"
#include "core/packets/qvpacketlist.h"
#include "core/settings/qvlog.h"

#include <algorithm>
#include <cstring>
#include <optional>

namespace {

using namespace mpegsyntax;

// Room the sequence header must leave after a video packet's start code for
// the packet header (start code, length, buffer size, time stamps), and
// before the group start when no video packet start is in sight.
constexpr std::int64_t kVideoPacketHeaderRoom = 18;
constexpr std::int64_t kPackRoom = 17;

constexpr std::size_t kMinWorkingSize = 10240;

// Layout of the synthetic start block: an MPEG-1 pack header, a system
// header with two streams and a packet of the reserved stream whose data
// fills the rest.
constexpr std::size_t kStartBlockStreams = 2;
constexpr std::size_t kSystemHeaderOffset = kPs1PackSize;
constexpr std::size_t kFillerPacketOffset =
    kSystemHeaderOffset + ps_sysheader_size(kStartBlockStreams);
constexpr std::size_t kFillerDataOffset = kFillerPacketOffset + kPesHeaderSize;
constexpr std::size_t kMinStartBlock = kFillerDataOffset + 1;
constexpr std::size_t kMaxStartBlock = kFillerDataOffset + 0xFFFF;
// Filler bytes of the start block: never part of a start code.
constexpr std::uint8_t kFillerByte = 0xFF;

// The start block's system header: rate bound 3413, one audio stream (fixed
// rate, constrained), audio and video locked, one video stream; buffer
// bounds of 32 x 128 bytes for the audio and 46 x 1024 bytes for the video.
void WriteStartBlockSystemHeader(MutableByteView out)
{
    ps_sysheader_init(out, kStartBlockStreams, 3413, 1, 1,
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

QvHeadProcessor::~QvHeadProcessor() = default;

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
    const ByteView p = PayloadBytes(*packet);

    if (LooksLikeTransportStream(p)) {
        QvDebugMsg("Identified Transport Stream");
        return kModeTransport;
    }
    if (const std::optional<Anchor> system = FindPackBefore(p, kSystemHeaderCode)) {
        if (ps_pack_is_mpeg2(p.subspan(system->pack))) {
            QvDebugMsg("Identified MPEG 2 Program Stream");
            return kModeProgram;
        }
        QvDebugMsg("Identified MPEG 1 System Stream");
        return kModeSystem;
    }
    if (FindPackBefore(p, kSequenceHeaderCode)) {
        QvDebugMsg("Sequence header found - No System");
        return kModeSequenceNoSystem;
    }
    if (m_headerLength > 0) {
        const std::optional<Anchor> group = FindPackBefore(p, kGroupStartCode);
        if (group && HeaderFitsBeforeGroup(p, group->at, m_headerLength)) {
            QvDebugMsg("GOP found - No System");
            return kModeGopNoSequence;
        }
    }
    return kModeUnknown;
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
    if (m_mode == kModeUnknown) {
        m_mode = IdentifyStream(packet);
        if (m_mode == kModeUnknown) {
            ToFreeList(packet);
            return false;
        }
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
    const std::size_t room = m_workingSize - m_workingFill;
    const std::size_t copied = std::min<std::size_t>(payload, room);
    std::memcpy(m_working.get() + m_workingFill, packet->GetPayload(), copied);
    m_workingFill += static_cast<std::uint32_t>(copied);
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
    const std::optional<Anchor> system = FindPackBefore(PayloadBytes(*first), kSystemHeaderCode);
    if (!system) {
        reason = "no system header after a pack in the first packet";
        return false;
    }
    first->Consume(static_cast<std::uint32_t>(system->pack));
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
    const ByteView w(m_working.get(), m_workingFill);
    const std::optional<std::size_t> p1 = start_code_find(w, kPackStartCode);
    const std::optional<std::size_t> p2 =
        p1 ? start_code_find(w, kPackStartCode, *p1 + kStartCodeSize) : std::nullopt;
    if (!p2) {
        reason = "two pack headers not found in the first packets";
        return false;
    }
    if (*p2 + kPs1PackSize > w.size()) {
        reason = "second pack header incomplete";
        return false;
    }
    const std::size_t length = *p2 - *p1;
    if (length < kMinStartBlock) {
        reason = "packs too close together for a start block";
        return false;
    }
    if (length > kMaxStartBlock) {
        reason = "packs too far apart for a start block";
        return false;
    }

    const ByteView pack1 = w.subspan(*p1);
    const std::uint64_t scr1 = ps1_pack_get_scr(pack1);
    const std::uint64_t scr2 = ps1_pack_get_scr(w.subspan(*p2));
    const std::uint64_t scr = (2 * scr1 - scr2) & (kClockModulus - 1);

    m_startBlock.assign(length, kFillerByte);
    const MutableByteView b(m_startBlock);
    ps1_pack_init(b, scr, ps1_pack_get_mux_rate(pack1));
    WriteStartBlockSystemHeader(b.subspan(kSystemHeaderOffset));
    pes_init(b.subspan(kFillerPacketOffset), kStreamReserved,
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
    const ByteView p = PayloadBytes(*first);
    const bool needHeader = m_mode == kModeGopNoSequence;
    const std::optional<Anchor> anchor =
        FindPackBefore(p, needHeader ? kGroupStartCode : kSequenceHeaderCode);
    if (!anchor) {
        reason = needHeader ? "no group start after a pack in the first packet"
                            : "no sequence header after a pack in the first packet";
        return false;
    }
    // The header bytes may have changed since the stream was identified, so
    // their room is checked again against the header held now.
    if (needHeader &&
        (m_headerLength == 0 || !HeaderFitsBeforeGroup(p, anchor->at, m_headerLength))) {
        reason = "no room for the sequence header before the group start";
        return false;
    }
    plan.pack = anchor->pack;
    plan.anchor = anchor->at;
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
