#include "core/packets/qvpacket.h"

#include <gtest/gtest.h>

#include <cstdint>
#include <cstring>
#include <functional>
#include <memory>
#include <string>
#include <vector>

namespace {

using Bytes = std::vector<std::uint8_t>;

void PutBe32(Bytes& b, std::uint32_t v)
{
    b.push_back(static_cast<std::uint8_t>(v >> 24));
    b.push_back(static_cast<std::uint8_t>(v >> 16));
    b.push_back(static_cast<std::uint8_t>(v >> 8));
    b.push_back(static_cast<std::uint8_t>(v));
}

void PutBe16(Bytes& b, std::uint16_t v)
{
    b.push_back(static_cast<std::uint8_t>(v >> 8));
    b.push_back(static_cast<std::uint8_t>(v));
}

void PutPayload(Bytes& b, std::uint32_t length, std::uint8_t first = 0)
{
    for (std::uint32_t i = 0; i < length; ++i) {
        b.push_back(static_cast<std::uint8_t>(first + i));
    }
}

Bytes OpvDatagram(std::uint32_t sequence, std::uint32_t payload)
{
    Bytes b;
    PutBe32(b, sequence);
    PutPayload(b, payload, 0x10);
    return b;
}

Bytes QvsDatagram(std::uint16_t sequence, std::uint32_t payload)
{
    Bytes b = {0xA5, 0xA5, 0xA5, 0xA5};
    b.push_back(static_cast<std::uint8_t>(sequence)); // little-endian
    b.push_back(static_cast<std::uint8_t>(sequence >> 8));
    b.push_back(0x10);
    b.push_back(0x00);
    PutPayload(b, payload, 0x20);
    return b;
}

// An OVS datagram carrying `payload` bytes after a header of `headerLength`
// bytes whose length field says `claimed`.
Bytes OvsDatagram(std::uint16_t sequence, std::uint32_t payload, std::uint8_t headerLength = 20,
                  std::uint32_t claimed = UINT32_MAX)
{
    Bytes b = {0xF0, 0xF0, 0xF0, 0x03};
    PutBe32(b, claimed == UINT32_MAX ? payload : claimed);
    PutBe16(b, sequence);
    b.push_back(0x77); // not read
    b.push_back(headerLength);
    PutBe32(b, 1);
    PutBe32(b, 0xDEADBEEF); // not read
    while (b.size() < headerLength) {
        b.push_back(0xEE);
    }
    PutPayload(b, payload, 0x30);
    return b;
}

Bytes EndOfStream()
{
    Bytes b(8, 0xA5);
    PutBe16(b, 2);
    b.insert(b.end(), {0x00, 0x00, 0x00});
    return b;
}

// Reads a datagram into the packet the way a receiver does.
bool Receive(QvBasePacket& packet, const Bytes& datagram)
{
    packet.Reset();
    const std::size_t n = std::min<std::size_t>(datagram.size(), packet.GetBufferSize());
    if (n != 0) {
        std::memcpy(packet.GetBuffer(), datagram.data(), n);
    }
    return packet.SetReceived(static_cast<std::uint32_t>(datagram.size()));
}

std::string PayloadOf(const QvBasePacket& packet)
{
    return std::string(packet.GetPayload(), packet.GetPayloadLength());
}

std::string Slice(const Bytes& b, std::size_t from, std::size_t n)
{
    return std::string(reinterpret_cast<const char*>(b.data()) + from, n);
}

enum class Format { Raw, Opv, Qvs, Ovs };

std::unique_ptr<QvBasePacket> Make(Format format, std::uint32_t size = 1500)
{
    switch (format) {
    case Format::Raw:
        return std::make_unique<QvRawPacket>(size);
    case Format::Opv:
        return std::make_unique<QvOpvPacket>(size);
    case Format::Qvs:
        return std::make_unique<QvQvsPacket>(size);
    case Format::Ovs:
        return std::make_unique<QvOvsPacket>(size);
    }
    return nullptr;
}

const char* NameOf(Format format)
{
    switch (format) {
    case Format::Raw:
        return "RAW";
    case Format::Opv:
        return "OPV";
    case Format::Qvs:
        return "QVS";
    case Format::Ovs:
        return "OVS";
    }
    return "?";
}

const Format kAllFormats[] = {Format::Raw, Format::Opv, Format::Qvs, Format::Ovs};

// ---------------------------------------------------------------------------
// Reading well-formed datagrams

struct LayoutCase
{
    const char* name;
    Format format;
    Bytes datagram;
    std::uint32_t sequence;
    std::uint32_t payloadOffset;
    std::uint32_t payloadLength;
    std::uint32_t nextSequence;
};

TEST(PacketLayout, EveryFormatReadsItsHeader)
{
    const LayoutCase cases[] = {
        {"raw", Format::Raw, OpvDatagram(0x01020304, 100), 0, 0, 104, 0},
        {"opv", Format::Opv, OpvDatagram(0x01020304, 1400), 0x01020304, 4, 1400, 0x01020304 + 1400},
        {"opv empty payload", Format::Opv, OpvDatagram(77, 0), 77, 4, 0, 77},
        {"qvs", Format::Qvs, QvsDatagram(0x1234, 1000), 0x1234, 8, 1000, 0x1235},
        {"ovs", Format::Ovs, OvsDatagram(0xBEEF, 1000), 0xBEEF, 20, 1000, 0xBEF0},
        {"ovs longer header", Format::Ovs, OvsDatagram(5, 100, 24), 5, 24, 100, 6},
        {"ovs shorter claim", Format::Ovs, OvsDatagram(5, 100, 20, 60), 5, 20, 60, 6},
    };
    for (const LayoutCase& c : cases) {
        SCOPED_TRACE(c.name);
        auto packet = Make(c.format);
        ASSERT_TRUE(Receive(*packet, c.datagram));
        EXPECT_EQ(packet->CheckHeader(nullptr), 1);
        EXPECT_EQ(packet->GetReceivedLength(), c.datagram.size());
        EXPECT_EQ(packet->Sequence(), c.sequence);
        EXPECT_EQ(packet->GetPayloadOffset(), c.payloadOffset);
        EXPECT_EQ(packet->GetPayloadLength(), c.payloadLength);
        EXPECT_EQ(packet->NextSequence(), c.nextSequence);
        EXPECT_EQ(PayloadOf(*packet), Slice(c.datagram, c.payloadOffset, c.payloadLength));
        EXPECT_FALSE(packet->IsControlPacket());
    }
}

TEST(PacketLayout, ResetEmptiesThePacketForItsFormat)
{
    struct Case
    {
        Format format;
        std::uint32_t header;
    };
    for (const Case c : {Case{Format::Raw, 0}, Case{Format::Opv, 4}, Case{Format::Qvs, 8},
                         Case{Format::Ovs, 20}}) {
        SCOPED_TRACE(NameOf(c.format));
        auto fresh = Make(c.format, 1404);
        EXPECT_EQ(fresh->GetPayloadOffset(), c.header);
        EXPECT_EQ(fresh->GetPayloadLength(), 1404 - c.header);
        EXPECT_EQ(fresh->GetReceivedLength(), 1404u);
        EXPECT_EQ(fresh->Sequence(), 0u);

        auto packet = Make(c.format, 1404);
        Receive(*packet, OpvDatagram(9, 50));
        packet->SetBreak(true);
        packet->Reset();
        EXPECT_EQ(packet->Sequence(), 0u);
        EXPECT_FALSE(packet->IsBreak());
        EXPECT_EQ(packet->GetReceivedLength(), 1404u);
        EXPECT_EQ(packet->GetPayloadOffset(), c.header);
        EXPECT_EQ(packet->GetPayloadLength(), 1404 - c.header);

        // A buffer smaller than the header leaves no payload, never a
        // wrapped-around length.
        auto tiny = Make(c.format, 2);
        EXPECT_LE(tiny->GetPayloadOffset() + tiny->GetPayloadLength(), 2u);
    }
}

TEST(PacketLayout, QvsMarkerIsNeverOpvData)
{
    const Bytes qvs = QvsDatagram(3, 64);
    QvOpvPacket opv(1500);
    Receive(opv, qvs);
    EXPECT_EQ(opv.CheckHeader(nullptr), 0);

    QvQvsPacket packet(1500);
    Receive(packet, qvs);
    EXPECT_EQ(packet.CheckHeader(nullptr), 1);

    Bytes wrongType = qvs;
    wrongType[6] = 0x11;
    Receive(packet, wrongType);
    EXPECT_EQ(packet.CheckHeader(nullptr), 0);
}

TEST(PacketLayout, OvsNeedsMagicAndVersion)
{
    QvOvsPacket packet(1500);
    Bytes badMagic = OvsDatagram(1, 10);
    badMagic[3] = 0x04;
    Receive(packet, badMagic);
    EXPECT_EQ(packet.CheckHeader(nullptr), 0);

    Bytes badVersion = OvsDatagram(1, 10);
    badVersion[15] = 2;
    Receive(packet, badVersion);
    EXPECT_EQ(packet.CheckHeader(nullptr), 0);
}

TEST(PacketLayout, RawKeepsSequenceZeroAndSeesNoLoss)
{
    QvRawPacket packet(1500);
    ASSERT_TRUE(Receive(packet, OpvDatagram(5000, 100)));
    EXPECT_EQ(packet.Sequence(), 0u);
    EXPECT_EQ(packet.NextSequence(), 0u);
    EXPECT_EQ(packet.SequenceDistance(packet.NextSequence(), packet.Sequence()), 0u);
    EXPECT_EQ(packet.Consume(40), 40u);
    EXPECT_EQ(packet.Sequence(), 0u);
}

TEST(PacketLayout, BufferIsCutToItsCapacity)
{
    QvOpvPacket packet(100);
    const Bytes big = OpvDatagram(1, 500);
    ASSERT_TRUE(Receive(packet, big));
    EXPECT_EQ(packet.GetReceivedLength(), 100u);
    EXPECT_EQ(packet.GetPayloadLength(), 96u);
}

// ---------------------------------------------------------------------------
// Sequences

TEST(PacketSequence, DistanceBackwardsIsZeroForEveryFormat)
{
    for (Format f : kAllFormats) {
        SCOPED_TRACE(NameOf(f));
        auto packet = Make(f);
        EXPECT_EQ(packet->SequenceDistance(10, 5), 0u);
        EXPECT_EQ(packet->SequenceDistance(7, 7), 0u);
    }
}

TEST(PacketSequence, DistanceCountsMissingBytes)
{
    QvOpvPacket opv(1500);
    EXPECT_EQ(opv.SequenceDistance(4212, 5616), 1404u);

    QvQvsPacket qvs(1500);
    ASSERT_TRUE(Receive(qvs, QvsDatagram(10, 1000)));
    EXPECT_EQ(qvs.SequenceDistance(7, 10), 3000u);

    QvOvsPacket ovs(1500);
    ASSERT_TRUE(Receive(ovs, OvsDatagram(10, 500)));
    EXPECT_EQ(ovs.SequenceDistance(8, 10), 1000u);
}

struct WrapCase
{
    const char* name;
    Format format;
    std::uint32_t expected;
    std::uint32_t arriving;
    std::uint32_t payload;
    std::uint32_t missing; // bytes
    int order;             // sign of CompareSequence(expected, arriving)
};

TEST(PacketSequence, WrapAroundReadsNeitherFalseLossNorMissedLoss)
{
    const WrapCase cases[] = {
        {"opv in order over 2^32", Format::Opv, 0x00000200, 0x00000200, 1400, 0, 0},
        {"opv loss over 2^32", Format::Opv, 0xFFFFFE00, 0x00000100, 1400, 0x300, -1},
        {"opv late packet after wrap", Format::Opv, 0x00000200, 0xFFFFFA00, 1400, 0, 1},
        {"qvs loss over 2^16", Format::Qvs, 65535, 1, 1000, 2000, -1},
        {"qvs late packet after wrap", Format::Qvs, 1, 65535, 1000, 0, 1},
        {"qvs in order after wrap", Format::Qvs, 0, 0, 1000, 0, 0},
        {"ovs loss over 2^16", Format::Ovs, 65534, 0, 500, 1000, -1},
        {"ovs late packet after wrap", Format::Ovs, 3, 65533, 500, 0, 1},
    };
    for (const WrapCase& c : cases) {
        SCOPED_TRACE(c.name);
        auto packet = Make(c.format);
        const Bytes datagram = c.format == Format::Opv ? OpvDatagram(c.arriving, c.payload)
                               : c.format == Format::Qvs
                                   ? QvsDatagram(static_cast<std::uint16_t>(c.arriving), c.payload)
                                   : OvsDatagram(static_cast<std::uint16_t>(c.arriving), c.payload);
        ASSERT_TRUE(Receive(*packet, datagram));
        EXPECT_EQ(packet->SequenceDistance(c.expected, packet->Sequence()), c.missing);
        const int order = packet->CompareSequence(c.expected, packet->Sequence());
        EXPECT_EQ((order > 0) - (order < 0), c.order);
    }
}

// Feeds an in-order stream across the wrap point and follows it the way the
// receiver does: no loss may be reported.
TEST(PacketSequence, InOrderStreamAcrossWrapLosesNothing)
{
    struct Case
    {
        Format format;
        std::uint32_t start;
        std::function<Bytes(std::uint32_t)> datagram;
    };
    const std::uint32_t payload = 1316;
    const Case cases[] = {
        {Format::Opv, 0xFFFFFFFF - 5 * payload,
         [&](std::uint32_t s) { return OpvDatagram(s, payload); }},
        {Format::Qvs, 65530,
         [&](std::uint32_t s) { return QvsDatagram(static_cast<std::uint16_t>(s), payload); }},
        {Format::Ovs, 65530,
         [&](std::uint32_t s) { return OvsDatagram(static_cast<std::uint16_t>(s), payload); }},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(NameOf(c.format));
        auto packet = Make(c.format);
        std::uint32_t expected = c.start;
        std::uint64_t lost = 0;
        bool wrapped = false;
        for (int i = 0; i < 20; ++i) {
            ASSERT_TRUE(Receive(*packet, c.datagram(expected)));
            ASSERT_EQ(packet->CheckHeader(nullptr), 1);
            lost += packet->SequenceDistance(expected, packet->Sequence());
            EXPECT_EQ(packet->CompareSequence(expected, packet->Sequence()), 0);
            const std::uint32_t next = packet->NextSequence();
            wrapped = wrapped || next < expected;
            expected = next;
        }
        EXPECT_TRUE(wrapped);
        EXPECT_EQ(lost, 0u);
    }
}

TEST(PacketSequence, NumberedFormatsWrapAt65536)
{
    QvQvsPacket qvs(1500);
    ASSERT_TRUE(Receive(qvs, QvsDatagram(65535, 10)));
    EXPECT_EQ(qvs.NextSequence(), 0u);
    EXPECT_EQ(qvs.PrevSequence(), 65534u);
    ASSERT_TRUE(Receive(qvs, QvsDatagram(0, 10)));
    EXPECT_EQ(qvs.PrevSequence(), 65535u);
    EXPECT_EQ(qvs.GetSequence(123), 0u);

    QvOvsPacket ovs(1500);
    ASSERT_TRUE(Receive(ovs, OvsDatagram(65535, 10)));
    EXPECT_EQ(ovs.NextSequence(), 0u);
    ASSERT_TRUE(Receive(ovs, OvsDatagram(0, 10)));
    EXPECT_EQ(ovs.PrevSequence(), 65535u);
}

TEST(PacketSequence, OpvGetSequenceStepsBackModulo2To32)
{
    QvOpvPacket opv(1500);
    ASSERT_TRUE(Receive(opv, OpvDatagram(100, 10)));
    EXPECT_EQ(opv.GetSequence(40), 60u);
    EXPECT_EQ(opv.GetSequence(200), 0xFFFFFFFFu - 99u);
}

TEST(PacketSequence, OpvContinuityIsCheckedAgainstPreviousHeader)
{
    QvOpvPacket previous(1500);
    ASSERT_TRUE(Receive(previous, OpvDatagram(1000, 1400))); // 1404 bytes received
    previous.Consume(700); // counters moved; the check reads the header again

    QvOpvPacket packet(1500);
    for (std::uint32_t sequence : {2399u, 2400u, 2401u, 1700u, 1000u}) {
        SCOPED_TRACE(sequence);
        ASSERT_TRUE(Receive(packet, OpvDatagram(sequence, 1400)));
        EXPECT_EQ(packet.CheckHeader(&previous), sequence == 2400 ? 1 : 0);
    }

    // Across the wrap.
    ASSERT_TRUE(Receive(previous, OpvDatagram(0xFFFFFF00, 0x200)));
    ASSERT_TRUE(Receive(packet, OpvDatagram(0x100, 10)));
    EXPECT_EQ(packet.CheckHeader(&previous), 1);

    // A previous packet too short to hold a header continues nothing.
    QvOpvPacket runt(1500);
    EXPECT_FALSE(Receive(runt, Bytes{1, 2}));
    EXPECT_EQ(packet.CheckHeader(&runt), 0);
}

// ---------------------------------------------------------------------------
// Control packets

TEST(PacketControl, EndOfStreamIsControlNotData)
{
    const Bytes eos = EndOfStream();
    ASSERT_EQ(eos.size(), 13u);

    QvOpvPacket opv(1500);
    ASSERT_TRUE(Receive(opv, eos));
    EXPECT_EQ(opv.CheckHeader(nullptr), 0);
    EXPECT_TRUE(opv.IsControlPacket());

    for (Format f : {Format::Raw, Format::Qvs, Format::Ovs}) {
        SCOPED_TRACE(NameOf(f));
        auto packet = Make(f);
        Receive(*packet, eos);
        EXPECT_FALSE(packet->IsControlPacket());
        if (f != Format::Raw) {
            EXPECT_EQ(packet->CheckHeader(nullptr), 0);
        }
    }

    // The marker without the type word, or another type, is no end of stream.
    Receive(opv, Bytes(9, 0xA5));
    EXPECT_FALSE(opv.IsControlPacket());
    Bytes typeOne = eos;
    typeOne[9] = 1;
    Receive(opv, typeOne);
    EXPECT_FALSE(opv.IsControlPacket());
    Bytes sevenMarkers = eos;
    sevenMarkers[7] = 0xA4;
    Receive(opv, sevenMarkers);
    EXPECT_FALSE(opv.IsControlPacket());
}

TEST(PacketControl, WritersProduceTheWireLayout)
{
    std::uint8_t buf[64] = {};
    ASSERT_EQ(QvWriteEndOfStream(buf, sizeof buf), 13u);
    EXPECT_EQ(Bytes(buf, buf + 13), EndOfStream());
    EXPECT_EQ(QvWriteEndOfStream(buf, 12), 0u);

    ASSERT_EQ(QvWriteOpvHeader(buf, 4, 0x0A0B0C0D), 4u);
    EXPECT_EQ(Bytes(buf, buf + 4), (Bytes{0x0A, 0x0B, 0x0C, 0x0D}));
    EXPECT_EQ(QvWriteOpvHeader(buf, 3, 1), 0u);

    const std::uint8_t mpeg[] = {0x00, 0x00, 0x01, 0xB3, 0x16, 0x00, 0xF0, 0x00, 0x00, 0x01, 0xB8};
    ASSERT_EQ(QvWriteHeaderPacket(buf, sizeof buf, mpeg, sizeof mpeg), 12 + sizeof mpeg);
    Bytes expected(8, 0xA5);
    PutBe16(expected, 1);
    PutBe16(expected, sizeof mpeg);
    expected.insert(expected.end(), std::begin(mpeg), std::end(mpeg));
    EXPECT_EQ(Bytes(buf, buf + expected.size()), expected);
    EXPECT_EQ(QvWriteHeaderPacket(buf, 12 + sizeof mpeg - 1, mpeg, sizeof mpeg), 0u);
}

TEST(PacketControl, HeaderPacketIsParsedAndNeverData)
{
    std::uint8_t mpeg[40];
    for (std::size_t i = 0; i < sizeof mpeg; ++i) {
        mpeg[i] = static_cast<std::uint8_t>(i);
    }
    Bytes header(12 + sizeof mpeg);
    ASSERT_EQ(QvWriteHeaderPacket(header.data(), header.size(), mpeg, sizeof mpeg), header.size());

    QvControlPacket control;
    ASSERT_TRUE(QvParseControlPacket(header.data(), header.size(), control));
    EXPECT_EQ(control.type, 1);
    ASSERT_EQ(control.mpegLength, sizeof mpeg);
    EXPECT_EQ(std::memcmp(control.mpeg, mpeg, sizeof mpeg), 0);

    // Cut short: still a control packet, but its MPEG bytes are not offered.
    ASSERT_TRUE(QvParseControlPacket(header.data(), header.size() - 1, control));
    EXPECT_EQ(control.type, 1);
    EXPECT_EQ(control.mpeg, nullptr);
    EXPECT_EQ(control.mpegLength, 0);

    EXPECT_FALSE(QvParseControlPacket(header.data(), 9, control));
    const Bytes eos = EndOfStream();
    ASSERT_TRUE(QvParseControlPacket(eos.data(), eos.size(), control));
    EXPECT_EQ(control.type, 2);
    const Bytes data = OpvDatagram(1, 20);
    EXPECT_FALSE(QvParseControlPacket(data.data(), data.size(), control));

    for (Format f : kAllFormats) {
        SCOPED_TRACE(NameOf(f));
        auto packet = Make(f);
        Receive(*packet, header);
        EXPECT_FALSE(packet->IsControlPacket());
        if (f != Format::Raw) {
            EXPECT_EQ(packet->CheckHeader(nullptr), 0);
        }
    }
}

// ---------------------------------------------------------------------------
// Malformed datagrams

TEST(PacketMalformed, ShortDatagramsAreRefused)
{
    struct Case
    {
        Format format;
        std::uint32_t header;
        Bytes full;
    };
    const Case cases[] = {
        {Format::Opv, 4, OpvDatagram(0x11223344, 10)},
        {Format::Qvs, 8, QvsDatagram(42, 10)},
        {Format::Ovs, 20, OvsDatagram(42, 0)},
    };
    for (const Case& c : cases) {
        for (std::uint32_t n = 0; n < c.header; ++n) {
            SCOPED_TRACE(std::string(NameOf(c.format)) + " length " + std::to_string(n));
            auto packet = Make(c.format);
            // The rest of the buffer still holds a valid earlier datagram.
            ASSERT_TRUE(Receive(*packet, c.full));
            packet->Reset();
            EXPECT_FALSE(packet->SetReceived(n));
            EXPECT_EQ(packet->GetReceivedLength(), n);
            EXPECT_EQ(packet->GetPayloadLength(), 0u);
            EXPECT_EQ(packet->Sequence(), 0u);
            EXPECT_LE(packet->GetPayloadOffset(), n);
            EXPECT_EQ(packet->CheckHeader(nullptr), 0);
            EXPECT_FALSE(packet->IsControlPacket());
            EXPECT_EQ(packet->Consume(10), 0u);
        }
    }
}

TEST(PacketMalformed, OvsHeaderMustFitTheDatagram)
{
    struct Case
    {
        const char* name;
        Bytes datagram;
    };
    Bytes shortPayload = OvsDatagram(1, 100);
    shortPayload.resize(shortPayload.size() - 1);
    const Case cases[] = {
        {"claims one byte more", OvsDatagram(1, 100, 20, 101)},
        {"payload cut short", shortPayload},
        {"claims 4 GiB", OvsDatagram(1, 100, 20, 0xFFFFFFFF - 1)},
        {"header length too big", OvsDatagram(1, 0, 250, 100)},
        {"header length inside the header", OvsDatagram(1, 100, 12)},
        {"header length zero", OvsDatagram(1, 100, 0)},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        QvOvsPacket packet(1500);
        EXPECT_FALSE(Receive(packet, c.datagram));
        EXPECT_EQ(packet.GetPayloadLength(), 0u);
        EXPECT_EQ(packet.CheckHeader(nullptr), 0);
    }

    // Even before SetReceived the check will not accept a header that
    // overruns the whole buffer.
    QvOvsPacket packet(64);
    const Bytes big = OvsDatagram(1, 100);
    packet.Reset();
    std::memcpy(packet.GetBuffer(), big.data(), 64);
    EXPECT_EQ(packet.CheckHeader(nullptr), 0);
}

TEST(PacketMalformed, ConsumeIsClampedToThePayload)
{
    for (Format f : kAllFormats) {
        SCOPED_TRACE(NameOf(f));
        auto packet = Make(f);
        const Bytes datagram = f == Format::Qvs   ? QvsDatagram(5, 100)
                               : f == Format::Ovs ? OvsDatagram(5, 100)
                                                  : OpvDatagram(5000, 100);
        ASSERT_TRUE(Receive(*packet, datagram));
        const std::uint32_t payload = packet->GetPayloadLength();
        const std::uint32_t end = packet->GetPayloadOffset() + payload;
        const std::uint32_t next = packet->NextSequence();

        EXPECT_EQ(packet->Consume(30), 30u);
        EXPECT_EQ(packet->GetPayloadLength(), payload - 30);
        EXPECT_EQ(packet->Consume(100000), payload - 30);
        EXPECT_EQ(packet->GetPayloadLength(), 0u);
        EXPECT_EQ(packet->GetPayloadOffset(), end);
        EXPECT_EQ(packet->Consume(1), 0u);
        // Consuming moves the OPV sequence with the payload, so the next
        // expected sequence stays put.
        EXPECT_EQ(packet->NextSequence(), next);
        if (f == Format::Opv) {
            EXPECT_EQ(packet->Sequence(), 5100u);
        }
    }
}

TEST(PacketMalformed, SetPayloadLengthStaysInsideTheBuffer)
{
    QvOpvPacket packet(100);
    EXPECT_EQ(packet.SetPayloadLength(500), 96u);
    EXPECT_EQ(packet.SetPayloadLength(10), 10u);
}

// ---------------------------------------------------------------------------
// Ownership

TEST(PacketOwnership, BorrowedBufferIsNotFreedAndDeletionIsVirtual)
{
    std::vector<char> storage(64, 0);
    const Bytes datagram = OpvDatagram(7, 20);
    std::memcpy(storage.data(), datagram.data(), datagram.size());
    {
        std::unique_ptr<QvObject> object(new QvOpvPacket(64, storage.data()));
        auto* packet = dynamic_cast<QvOpvPacket*>(object.get());
        ASSERT_NE(packet, nullptr);
        EXPECT_TRUE(packet->IsBorrowed());
        EXPECT_EQ(packet->GetBuffer(), storage.data());
        ASSERT_TRUE(packet->SetReceived(static_cast<std::uint32_t>(datagram.size())));
        EXPECT_EQ(packet->Sequence(), 7u);
    }
    // Still ours, still readable.
    EXPECT_EQ(storage[3], 7);

    std::unique_ptr<QvBasePacket> owned(new QvOvsPacket(32));
    EXPECT_FALSE(owned->IsBorrowed());
    EXPECT_TRUE(owned->GetName().isNull());
}

} // namespace
