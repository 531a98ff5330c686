#include "core/receive/qvheadproc.h"

#include "core/settings/qvlog.h"
#include "core/packets/qvpacket.h"
#include "core/packets/qvpacketlist.h"

#include <algorithm>
#include <cstring>
#include <optional>

namespace {

// Start code values (the byte after 00 00 01).
constexpr std::uint8_t kPackStart = 0xBA;
constexpr std::uint8_t kSystemHeaderStart = 0xBB;
constexpr std::uint8_t kSequenceHeaderStart = 0xB3;
constexpr std::uint8_t kGroupStart = 0xB8;
constexpr std::uint8_t kVideoPacketStart = 0xE0;

constexpr std::uint8_t kTransportSync = 0x47;
constexpr std::size_t kTransportPacketSize = 188;

constexpr std::size_t kStartCodeSize = 4;
// An MPEG-1 pack header: start code, clock reference and mux rate.
constexpr std::size_t kPackHeaderSize = 12;
// Room the sequence header must leave after a video packet's start code for
// the packet header (start code, length, buffer size, time stamps), and
// before the group start when no video packet start is in sight.
constexpr std::int64_t kVideoPacketHeaderRoom = 18;
constexpr std::int64_t kPackRoom = 17;

constexpr std::size_t kMinWorkingSize = 10240;

// Layout of the synthetic start block.
constexpr std::size_t kSystemHeaderOffset = 12;
constexpr std::size_t kFillerPacketOffset = 30;
constexpr std::size_t kFillerLengthOffset = 34;
constexpr std::size_t kFillerDataOffset = 36;
constexpr std::size_t kMinStartBlock = 37;
constexpr std::size_t kMaxStartBlock = kFillerDataOffset + 0xFFFF;
constexpr std::uint8_t kFillerStream = 0xBC;
constexpr std::uint8_t kNoTimeStamps = 0x0F;
// Filler bytes of the start block: never part of a start code.
constexpr std::uint8_t kFillerByte = 0xFF;

// The fixed system header: rate bound 3413, one audio stream (fixed rate,
// constrained), audio and video locked, one video stream; buffer bounds of
// 32 x 128 bytes for stream C0 and 46 x 1024 bytes for stream E0.
constexpr std::uint8_t kSystemHeader[18] = {0x00, 0x00, 0x01, 0xBB, 0x00, 0x0C, 0x80, 0x1A, 0xAB,
                                            0x07, 0xE1, 0xFF, 0xC0, 0xC0, 0x20, 0xE0, 0xE0, 0x2E};

constexpr std::uint64_t kClockMask = (std::uint64_t{1} << 33) - 1;

bool IsStartCode(const std::uint8_t* p, std::uint8_t code)
{
    return p[0] == 0 && p[1] == 0 && p[2] == 1 && p[3] == code;
}

// The first start code `code` at or after `from` that lies wholly in the n
// bytes at p.
std::optional<std::size_t> FindForward(const std::uint8_t* p, std::size_t n, std::uint8_t code,
                                       std::size_t from = 0)
{
    for (std::size_t i = from; i + kStartCodeSize <= n; ++i) {
        if (IsStartCode(p + i, code)) {
            return i;
        }
    }
    return std::nullopt;
}

// The last start code `code` that begins before `before` and lies wholly in
// the n bytes at p.
std::optional<std::size_t> FindBackward(const std::uint8_t* p, std::size_t n, std::uint8_t code,
                                        std::size_t before)
{
    if (n < kStartCodeSize || before == 0) {
        return std::nullopt;
    }
    for (std::size_t i = std::min(before - 1, n - kStartCodeSize);; --i) {
        if (IsStartCode(p + i, code)) {
            return i;
        }
        if (i == 0) {
            return std::nullopt;
        }
    }
}

// The pack start code before the first start code `code`, with that code's
// position; nothing when either is missing.
struct Anchor
{
    std::size_t pack = 0;
    std::size_t at = 0;
};

std::optional<Anchor> FindPackBefore(const std::uint8_t* p, std::size_t n, std::uint8_t code)
{
    const std::optional<std::size_t> at = FindForward(p, n, code);
    if (!at) {
        return std::nullopt;
    }
    const std::optional<std::size_t> pack = FindBackward(p, n, kPackStart, *at);
    if (!pack) {
        return std::nullopt;
    }
    return Anchor{*pack, *at};
}

bool LooksLikeTransportStream(const std::uint8_t* p, std::size_t n)
{
    const std::size_t span = 2 * kTransportPacketSize;
    if (n <= span) {
        return false;
    }
    for (std::size_t i = 0; i + span < n; ++i) {
        if (p[i] == kTransportSync && p[i + kTransportPacketSize] == kTransportSync &&
            p[i + span] == kTransportSync) {
            return true;
        }
    }
    return false;
}

// Whether the sender's header of `headerLength` bytes fits in just before the
// group start at g, leaving the video packet's header (or, without one in
// sight, a pack header) alone.
bool HeaderFitsBeforeGroup(const std::uint8_t* p, std::size_t n, std::size_t g,
                           std::uint32_t headerLength)
{
    const std::optional<std::size_t> e = FindBackward(p, n, kVideoPacketStart, g);
    const auto room =
        e ? static_cast<std::int64_t>(g) - static_cast<std::int64_t>(*e) - kVideoPacketHeaderRoom
          : static_cast<std::int64_t>(g) - kPackRoom;
    return room >= static_cast<std::int64_t>(headerLength);
}

// The 33-bit system clock reference of an MPEG-1 pack header.
std::uint64_t ReadClockReference(const std::uint8_t* pack)
{
    return (std::uint64_t{(pack[4] >> 1) & 0x07u} << 30) | (std::uint64_t{pack[5]} << 22) |
           (static_cast<std::uint64_t>(pack[6] >> 1) << 15) | (std::uint64_t{pack[7]} << 7) |
           static_cast<std::uint64_t>(pack[8] >> 1);
}

// The 22-bit mux rate of an MPEG-1 pack header.
std::uint32_t ReadMuxRate(const std::uint8_t* pack)
{
    return (std::uint32_t{pack[9] & 0x7Fu} << 15) | (std::uint32_t{pack[10]} << 7) |
           static_cast<std::uint32_t>(pack[11] >> 1);
}

void WritePackHeader(std::uint8_t* out, std::uint64_t scr, std::uint32_t muxRate)
{
    out[0] = 0x00;
    out[1] = 0x00;
    out[2] = 0x01;
    out[3] = kPackStart;
    out[4] = static_cast<std::uint8_t>(0x21u | ((scr >> 29) & 0x0Eu));
    out[5] = static_cast<std::uint8_t>(scr >> 22);
    out[6] = static_cast<std::uint8_t>(((scr >> 14) & 0xFEu) | 0x01u);
    out[7] = static_cast<std::uint8_t>(scr >> 7);
    out[8] = static_cast<std::uint8_t>(((scr << 1) & 0xFEu) | 0x01u);
    out[9] = static_cast<std::uint8_t>(0x80u | ((muxRate >> 15) & 0x7Fu));
    out[10] = static_cast<std::uint8_t>(muxRate >> 7);
    out[11] = static_cast<std::uint8_t>(((muxRate << 1) & 0xFEu) | 0x01u);
}

const std::uint8_t* PayloadBytes(const QvBasePacket& packet)
{
    return reinterpret_cast<const std::uint8_t*>(packet.GetPayload());
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
    const std::uint8_t* p = PayloadBytes(*packet);
    const std::size_t n = packet->GetPayloadLength();

    if (LooksLikeTransportStream(p, n)) {
        QvDebugMsg("Identified Transport Stream");
        return kModeTransport;
    }
    if (const std::optional<Anchor> system = FindPackBefore(p, n, kSystemHeaderStart)) {
        // The pack lies before the system header's start code, so the byte
        // after its own start code is inside the payload.
        if ((p[system->pack + kStartCodeSize] & 0xC0u) == 0x40u) {
            QvDebugMsg("Identified MPEG 2 Program Stream");
            return kModeProgram;
        }
        QvDebugMsg("Identified MPEG 1 System Stream");
        return kModeSystem;
    }
    if (FindPackBefore(p, n, kSequenceHeaderStart)) {
        QvDebugMsg("Sequence header found - No System");
        return kModeSequenceNoSystem;
    }
    if (m_headerLength > 0) {
        const std::optional<Anchor> group = FindPackBefore(p, n, kGroupStart);
        if (group && HeaderFitsBeforeGroup(p, n, group->at, m_headerLength)) {
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
    if (m_held->entries() > 0 && packet->Sequence() != m_expectedSequence) {
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
    m_held->append(packet);
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
    const std::optional<Anchor> system =
        FindPackBefore(PayloadBytes(*first), first->GetPayloadLength(), kSystemHeaderStart);
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
    const std::uint8_t* w = m_working.get();
    const std::size_t fill = m_workingFill;
    const std::optional<std::size_t> p1 = FindForward(w, fill, kPackStart);
    const std::optional<std::size_t> p2 =
        p1 ? FindForward(w, fill, kPackStart, *p1 + kStartCodeSize) : std::nullopt;
    if (!p2) {
        reason = "two pack headers not found in the first packets";
        return false;
    }
    if (*p2 + kPackHeaderSize > fill) {
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

    const std::uint64_t scr1 = ReadClockReference(w + *p1);
    const std::uint64_t scr2 = ReadClockReference(w + *p2);
    const std::uint64_t scr = (2 * scr1 - scr2) & kClockMask;

    m_startBlock.assign(length, kFillerByte);
    std::uint8_t* b = m_startBlock.data();
    WritePackHeader(b, scr, ReadMuxRate(w + *p1));
    std::memcpy(b + kSystemHeaderOffset, kSystemHeader, sizeof kSystemHeader);
    b[kFillerPacketOffset] = 0x00;
    b[kFillerPacketOffset + 1] = 0x00;
    b[kFillerPacketOffset + 2] = 0x01;
    b[kFillerPacketOffset + 3] = kFillerStream;
    const std::size_t packetLength = length - kFillerDataOffset;
    b[kFillerLengthOffset] = static_cast<std::uint8_t>(packetLength >> 8);
    b[kFillerLengthOffset + 1] = static_cast<std::uint8_t>(packetLength);
    b[kFillerDataOffset] = kNoTimeStamps;
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
    const std::uint8_t* p = PayloadBytes(*first);
    const std::size_t n = first->GetPayloadLength();
    const bool needHeader = m_mode == kModeGopNoSequence;
    const std::optional<Anchor> anchor =
        FindPackBefore(p, n, needHeader ? kGroupStart : kSequenceHeaderStart);
    if (!anchor) {
        reason = needHeader ? "no group start after a pack in the first packet"
                            : "no sequence header after a pack in the first packet";
        return false;
    }
    // The header bytes may have changed since the stream was identified, so
    // their room is checked again against the header held now.
    if (needHeader &&
        (m_headerLength == 0 || !HeaderFitsBeforeGroup(p, n, anchor->at, m_headerLength))) {
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
