#include "core/packets/qvpacket.h"

#include "core/packets/qvpacketlist.h"
#include "core/settings/qvproplist.h"

#include <algorithm>
#include <cstring>
#include <limits>

namespace {

constexpr std::uint32_t kModulo16Mask = 0xFFFFu;

bool HasControlMarker(const std::uint8_t* p, std::size_t size)
{
    if (size < qvwire::kControlMarkerLength) {
        return false;
    }
    return std::all_of(p, p + qvwire::kControlMarkerLength,
                       [](std::uint8_t b) { return b == qvwire::kControlMarkerByte; });
}

bool BeginsWithQvsMarker(const std::uint8_t* p)
{
    return p[0] == qvwire::kQvsMarkerByte && p[1] == qvwire::kQvsMarkerByte &&
           p[2] == qvwire::kQvsMarkerByte && p[3] == qvwire::kQvsMarkerByte;
}

void WriteBe16(std::uint8_t* p, std::uint16_t v)
{
    p[0] = static_cast<std::uint8_t>(v >> 8);
    p[1] = static_cast<std::uint8_t>(v);
}

void WriteBe32(std::uint8_t* p, std::uint32_t v)
{
    p[0] = static_cast<std::uint8_t>(v >> 24);
    p[1] = static_cast<std::uint8_t>(v >> 16);
    p[2] = static_cast<std::uint8_t>(v >> 8);
    p[3] = static_cast<std::uint8_t>(v);
}

// (b - a) packets of `payload` bytes each, saturating instead of wrapping.
std::uint32_t MissingBytes(std::uint32_t packets, std::uint32_t payload)
{
    const std::uint64_t bytes = std::uint64_t{packets} * payload;
    return static_cast<std::uint32_t>(
        std::min<std::uint64_t>(bytes, std::numeric_limits<std::uint32_t>::max()));
}

} // namespace

// ---------------------------------------------------------------------------
// Control packets

bool QvParseControlPacket(const void* data, std::size_t size, QvControlPacket& out)
{
    out = QvControlPacket{};
    const auto* p = static_cast<const std::uint8_t*>(data);
    if (p == nullptr || size < qvwire::kControlTypeOffset + 2 || !HasControlMarker(p, size)) {
        return false;
    }
    out.type = static_cast<std::uint16_t>((p[8] << 8) | p[9]);
    if (out.type == qvwire::kControlTypeHeader && size >= qvwire::kHeaderPacketDataOffset) {
        const auto length = static_cast<std::uint16_t>((p[10] << 8) | p[11]);
        if (length <= size - qvwire::kHeaderPacketDataOffset) {
            out.mpeg = p + qvwire::kHeaderPacketDataOffset;
            out.mpegLength = length;
        }
    }
    return true;
}

std::size_t QvWriteOpvHeader(void* out, std::size_t capacity, std::uint32_t sequence)
{
    if (out == nullptr || capacity < qvwire::kOpvHeaderLength) {
        return 0;
    }
    WriteBe32(static_cast<std::uint8_t*>(out), sequence);
    return qvwire::kOpvHeaderLength;
}

std::size_t QvWriteEndOfStream(void* out, std::size_t capacity)
{
    if (out == nullptr || capacity < qvwire::kEndOfStreamLength) {
        return 0;
    }
    auto* p = static_cast<std::uint8_t*>(out);
    std::memset(p, qvwire::kControlMarkerByte, qvwire::kControlMarkerLength);
    WriteBe16(p + qvwire::kControlTypeOffset, qvwire::kControlTypeEndOfStream);
    std::memset(p + qvwire::kControlLengthOffset, 0,
                qvwire::kEndOfStreamLength - qvwire::kControlLengthOffset);
    return qvwire::kEndOfStreamLength;
}

std::size_t QvWriteHeaderPacket(void* out, std::size_t capacity, const void* mpeg,
                                std::size_t length)
{
    if (out == nullptr || (mpeg == nullptr && length != 0) ||
        length > std::numeric_limits<std::uint16_t>::max() ||
        capacity < qvwire::kHeaderPacketDataOffset + length) {
        return 0;
    }
    auto* p = static_cast<std::uint8_t*>(out);
    std::memset(p, qvwire::kControlMarkerByte, qvwire::kControlMarkerLength);
    WriteBe16(p + qvwire::kControlTypeOffset, qvwire::kControlTypeHeader);
    WriteBe16(p + qvwire::kControlLengthOffset, static_cast<std::uint16_t>(length));
    if (length != 0) {
        std::memcpy(p + qvwire::kHeaderPacketDataOffset, mpeg, length);
    }
    return qvwire::kHeaderPacketDataOffset + length;
}

// ---------------------------------------------------------------------------
// QvBasePacket: the "RAW" behaviour

QvBasePacket::QvBasePacket(std::uint32_t size, char* buffer)
    : m_bufferSize(size), m_receivedLength(size), m_payloadLength(size),
      m_buffer(buffer != nullptr ? buffer : new char[size]()), m_borrowed(buffer != nullptr)
{
    for (QvPacketLink& link : m_links) {
        link.packet = this;
    }
}

QvBasePacket::~QvBasePacket()
{
    for (QvPacketLink& link : m_links) {
        if (QvSList* list = link.list.load(std::memory_order_acquire)) {
            list->Detach(link);
        }
    }
    if (!m_borrowed) {
        delete[] m_buffer;
    }
}

void QvBasePacket::Reset()
{
    ResetWithHeader(0);
}

bool QvBasePacket::SetReceived(std::uint32_t n)
{
    const std::uint32_t received = StoreReceived(n);
    SetParsed(0, 0, received);
    return true;
}

std::uint32_t QvBasePacket::NextSequence() const
{
    return m_sequence;
}

std::uint32_t QvBasePacket::GetSequence(std::uint32_t /*n*/) const
{
    return m_sequence;
}

int QvBasePacket::CheckHeader(const QvBasePacket* /*previous*/) const
{
    return 1;
}

std::uint32_t QvBasePacket::Consume(std::uint32_t n)
{
    const std::uint32_t used = std::min(n, m_payloadLength);
    m_payloadOffset += used;
    m_payloadLength -= used;
    return used;
}

std::uint32_t QvBasePacket::SequenceDistance(std::uint32_t a, std::uint32_t b) const
{
    return Compare32(a, b) < 0 ? b - a : 0;
}

bool QvBasePacket::IsControlPacket() const
{
    return false;
}

int QvBasePacket::CompareSequence(std::uint32_t a, std::uint32_t b) const
{
    return Compare32(a, b);
}

std::uint32_t QvBasePacket::SetPayloadLength(std::uint32_t length)
{
    m_payloadLength = std::min(length, m_bufferSize - m_payloadOffset);
    return m_payloadLength;
}

void QvBasePacket::ResetWithHeader(std::uint32_t headerLength)
{
    // A buffer smaller than the header leaves no payload room at all.
    const std::uint32_t offset = std::min(headerLength, m_bufferSize);
    m_sequence = 0;
    m_break = false;
    m_receivedLength = m_bufferSize;
    m_payloadOffset = offset;
    m_payloadLength = m_bufferSize - offset;
}

std::uint32_t QvBasePacket::StoreReceived(std::uint32_t n)
{
    m_receivedLength = std::min(n, m_bufferSize);
    return m_receivedLength;
}

void QvBasePacket::SetParsed(std::uint32_t sequence, std::uint32_t offset, std::uint32_t length)
{
    m_sequence = sequence;
    m_payloadOffset = offset;
    m_payloadLength = length;
}

void QvBasePacket::SetMalformed(std::uint32_t headerLength)
{
    SetParsed(0, std::min(headerLength, m_receivedLength), 0);
}

std::uint32_t QvBasePacket::ReadBe32(const std::uint8_t* p)
{
    return (std::uint32_t{p[0]} << 24) | (std::uint32_t{p[1]} << 16) | (std::uint32_t{p[2]} << 8) |
           std::uint32_t{p[3]};
}

std::uint16_t QvBasePacket::ReadBe16(const std::uint8_t* p)
{
    return static_cast<std::uint16_t>((p[0] << 8) | p[1]);
}

std::uint16_t QvBasePacket::ReadLe16(const std::uint8_t* p)
{
    return static_cast<std::uint16_t>(p[0] | (p[1] << 8));
}

int QvBasePacket::Compare32(std::uint32_t a, std::uint32_t b)
{
    // Serial number arithmetic: b is after a when it lies less than half
    // the sequence space ahead of it.
    const std::uint32_t ahead = b - a;
    if (ahead == 0) {
        return 0;
    }
    return ahead < 0x80000000u ? -1 : 1;
}

int QvBasePacket::Compare16(std::uint32_t a, std::uint32_t b)
{
    const std::uint32_t ahead = (b - a) & kModulo16Mask;
    if (ahead == 0) {
        return 0;
    }
    return ahead < 0x8000u ? -1 : 1;
}

// ---------------------------------------------------------------------------
// QvRawPacket

QvRawPacket::QvRawPacket(std::uint32_t packetSize, char* buffer) : QvBasePacket(packetSize, buffer)
{
}

QvRawPacket::~QvRawPacket() = default;

// ---------------------------------------------------------------------------
// QvOpvPacket

QvOpvPacket::QvOpvPacket(std::uint32_t packetSize, char* buffer) : QvBasePacket(packetSize, buffer)
{
    QvOpvPacket::Reset();
}

QvOpvPacket::~QvOpvPacket() = default;

void QvOpvPacket::Reset()
{
    ResetWithHeader(qvwire::kOpvHeaderLength);
}

bool QvOpvPacket::SetReceived(std::uint32_t n)
{
    const std::uint32_t received = StoreReceived(n);
    if (received < qvwire::kOpvHeaderLength) {
        SetMalformed(qvwire::kOpvHeaderLength);
        return false;
    }
    SetParsed(ReadBe32(Bytes()), qvwire::kOpvHeaderLength, received - qvwire::kOpvHeaderLength);
    return true;
}

std::uint32_t QvOpvPacket::NextSequence() const
{
    return Sequence() + GetPayloadLength(); // wraps modulo 2^32 like the sender's offset
}

std::uint32_t QvOpvPacket::GetSequence(std::uint32_t n) const
{
    return Sequence() - n;
}

int QvOpvPacket::CheckHeader(const QvBasePacket* previous) const
{
    const std::uint32_t received = GetReceivedLength();
    if (received < qvwire::kOpvHeaderLength || BeginsWithQvsMarker(Bytes())) {
        return 0;
    }
    if (previous == nullptr) {
        return 1;
    }
    // The previous packet's counters may have been moved by Consume, so its
    // header and received length are read afresh from its buffer.
    const std::uint32_t prevReceived = previous->GetReceivedLength();
    if (prevReceived < qvwire::kOpvHeaderLength) {
        return 0;
    }
    const auto* prevBytes = reinterpret_cast<const std::uint8_t*>(previous->GetBuffer());
    const std::uint32_t prevNext = ReadBe32(prevBytes) + (prevReceived - qvwire::kOpvHeaderLength);
    return ReadBe32(Bytes()) == prevNext ? 1 : 0;
}

std::uint32_t QvOpvPacket::Consume(std::uint32_t n)
{
    const std::uint32_t used = QvBasePacket::Consume(n);
    SetSequence(Sequence() + used);
    return used;
}

bool QvOpvPacket::IsControlPacket() const
{
    const std::uint32_t received = GetReceivedLength();
    return received >= qvwire::kControlTypeOffset + 2 && HasControlMarker(Bytes(), received) &&
           ReadBe16(Bytes() + qvwire::kControlTypeOffset) == qvwire::kControlTypeEndOfStream;
}

// ---------------------------------------------------------------------------
// QvQvsPacket

QvQvsPacket::QvQvsPacket(std::uint32_t packetSize, char* buffer) : QvBasePacket(packetSize, buffer)
{
    QvQvsPacket::Reset();
}

QvQvsPacket::~QvQvsPacket() = default;

void QvQvsPacket::Reset()
{
    ResetWithHeader(qvwire::kQvsHeaderLength);
}

bool QvQvsPacket::SetReceived(std::uint32_t n)
{
    const std::uint32_t received = StoreReceived(n);
    if (received < qvwire::kQvsHeaderLength) {
        SetMalformed(qvwire::kQvsHeaderLength);
        return false;
    }
    SetParsed(ReadLe16(Bytes() + 4), qvwire::kQvsHeaderLength, received - qvwire::kQvsHeaderLength);
    return true;
}

std::uint32_t QvQvsPacket::NextSequence() const
{
    return (Sequence() + 1) & kModulo16Mask;
}

std::uint32_t QvQvsPacket::GetSequence(std::uint32_t /*n*/) const
{
    return Sequence();
}

int QvQvsPacket::CheckHeader(const QvBasePacket* /*previous*/) const
{
    if (GetReceivedLength() < qvwire::kQvsHeaderLength) {
        return 0;
    }
    return BeginsWithQvsMarker(Bytes()) && ReadLe16(Bytes() + 6) == qvwire::kQvsTypeWord ? 1 : 0;
}

std::uint32_t QvQvsPacket::SequenceDistance(std::uint32_t a, std::uint32_t b) const
{
    if (Compare16(a, b) >= 0) {
        return 0;
    }
    return MissingBytes((b - a) & kModulo16Mask, GetPayloadLength());
}

int QvQvsPacket::CompareSequence(std::uint32_t a, std::uint32_t b) const
{
    return Compare16(a, b);
}

std::uint32_t QvQvsPacket::PrevSequence() const
{
    return (Sequence() - 1) & kModulo16Mask;
}

// ---------------------------------------------------------------------------
// QvOvsPacket

QvOvsPacket::QvOvsPacket(std::uint32_t packetSize, char* buffer) : QvBasePacket(packetSize, buffer)
{
    QvOvsPacket::Reset();
}

QvOvsPacket::~QvOvsPacket() = default;

void QvOvsPacket::Reset()
{
    ResetWithHeader(qvwire::kOvsHeaderLength);
}

bool QvOvsPacket::LayoutFits(std::uint32_t received) const
{
    if (received < qvwire::kOvsHeaderLength) {
        return false;
    }
    // The payload must start after the fixed header and end within the
    // datagram; the sum is taken wide so a huge length cannot wrap.
    const std::uint32_t offset = Bytes()[11];
    const std::uint64_t end = std::uint64_t{offset} + ReadBe32(Bytes() + 4);
    return offset >= qvwire::kOvsHeaderLength && end <= received;
}

bool QvOvsPacket::SetReceived(std::uint32_t n)
{
    const std::uint32_t received = StoreReceived(n);
    if (!LayoutFits(received)) {
        SetMalformed(qvwire::kOvsHeaderLength);
        return false;
    }
    SetParsed(ReadBe16(Bytes() + 8), Bytes()[11], ReadBe32(Bytes() + 4));
    return true;
}

std::uint32_t QvOvsPacket::NextSequence() const
{
    return (Sequence() + 1) & kModulo16Mask;
}

std::uint32_t QvOvsPacket::GetSequence(std::uint32_t /*n*/) const
{
    return Sequence();
}

int QvOvsPacket::CheckHeader(const QvBasePacket* /*previous*/) const
{
    if (!LayoutFits(GetReceivedLength())) {
        return 0;
    }
    const std::uint8_t* p = Bytes();
    const bool marker = std::equal(std::begin(qvwire::kOvsMarker), std::end(qvwire::kOvsMarker), p);
    return marker && ReadBe32(p + 12) == qvwire::kOvsVersionWord ? 1 : 0;
}

std::uint32_t QvOvsPacket::SequenceDistance(std::uint32_t a, std::uint32_t b) const
{
    if (Compare16(a, b) >= 0) {
        return 0;
    }
    return MissingBytes((b - a) & kModulo16Mask, GetPayloadLength());
}

int QvOvsPacket::CompareSequence(std::uint32_t a, std::uint32_t b) const
{
    return Compare16(a, b);
}

std::uint32_t QvOvsPacket::PrevSequence() const
{
    return (Sequence() - 1) & kModulo16Mask;
}

// ---- Creation by name ------------------------------------------------------

namespace {

enum class PacketFormat
{
    Opv,
    Raw,
    Qvs,
    Ovs,
};

// "PacketFormat", upper-cased, picks the format; "OPV" when absent or unknown.
PacketFormat PacketFormatOf(const QvPropertyList& props)
{
    const UtCString name = toUpper(props.GetProperty("PacketFormat"));
    if (name == "RAW") {
        return PacketFormat::Raw;
    }
    if (name == "QVS") {
        return PacketFormat::Qvs;
    }
    if (name == "OVS") {
        return PacketFormat::Ovs;
    }
    return PacketFormat::Opv;
}

std::uint32_t HeaderLength(PacketFormat format)
{
    switch (format) {
    case PacketFormat::Raw:
        return 0;
    case PacketFormat::Qvs:
        return qvwire::kQvsHeaderLength;
    case PacketFormat::Ovs:
        return qvwire::kOvsHeaderLength;
    case PacketFormat::Opv:
        break;
    }
    return qvwire::kOpvHeaderLength;
}

// The data packet for a list that defines "PacketSize". A size that cannot
// hold the format's header (a negative one included) makes no packet: its
// payload length would come out negative.
QvObject* CreatePacket(const QvPropertyList& props)
{
    const int size = props.GetIntProperty("PacketSize");
    const PacketFormat format = PacketFormatOf(props);
    if (size < 0 || static_cast<std::uint32_t>(size) < HeaderLength(format)) {
        return nullptr;
    }
    const auto bytes = static_cast<std::uint32_t>(size);
    switch (format) {
    case PacketFormat::Raw:
        return new QvRawPacket(bytes);
    case PacketFormat::Qvs:
        return new QvQvsPacket(bytes);
    case PacketFormat::Ovs:
        return new QvOvsPacket(bytes);
    case PacketFormat::Opv:
        break;
    }
    return new QvOpvPacket(bytes);
}

} // namespace

QvObject* QvCreatePacketObject(QvPropertyList* props)
{
    if (props == nullptr || !props->PropertyDefined("PacketSize")) {
        return nullptr;
    }
    return CreatePacket(*props);
}
