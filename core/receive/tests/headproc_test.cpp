#include "core/receive/qvheadproc.h"
#include "core/settings/qvlog.h"
#include "core/packets/qvpacket.h"
#include "core/packets/qvpacketlist.h"

#include "core/testsupport/debuglog_capture.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <initializer_list>
#include <memory>
#include <random>
#include <sstream>
#include <string>
#include <unistd.h>
#include <vector>

namespace fs = std::filesystem;

namespace {

using Bytes = std::vector<std::uint8_t>;

constexpr std::uint32_t kBlockSize = 1404;
constexpr std::uint32_t kOpvPayload = kBlockSize - 4;

void Put(Bytes& out, std::initializer_list<std::uint8_t> bytes)
{
    out.insert(out.end(), bytes);
}

void Put(Bytes& out, const Bytes& bytes)
{
    out.insert(out.end(), bytes.begin(), bytes.end());
}

Bytes Slice(const Bytes& bytes, std::size_t from, std::size_t to)
{
    return Bytes(bytes.begin() + static_cast<std::ptrdiff_t>(from),
                 bytes.begin() + static_cast<std::ptrdiff_t>(std::min(to, bytes.size())));
}

bool HasStartCodePrefix(const Bytes& bytes, std::size_t from, std::size_t to)
{
    for (std::size_t i = from; i + 2 < to; ++i) {
        if (bytes[i] == 0 && bytes[i + 1] == 0 && bytes[i + 2] == 1) {
            return true;
        }
    }
    return false;
}

// ---------------------------------------------------------------------------
// MPEG building blocks

// MPEG-1 pack header (ISO/IEC 11172-1): '0010', SCR with marker bits, mux rate.
Bytes Mpeg1Pack(std::uint64_t scr, std::uint32_t muxRate)
{
    return {0x00,
            0x00,
            0x01,
            0xBA,
            static_cast<std::uint8_t>(0x21 | ((scr >> 29) & 0x0E)),
            static_cast<std::uint8_t>(scr >> 22),
            static_cast<std::uint8_t>(((scr >> 14) & 0xFE) | 1),
            static_cast<std::uint8_t>(scr >> 7),
            static_cast<std::uint8_t>(((scr << 1) & 0xFE) | 1),
            static_cast<std::uint8_t>(0x80 | ((muxRate >> 15) & 0x7F)),
            static_cast<std::uint8_t>(muxRate >> 7),
            static_cast<std::uint8_t>(((muxRate << 1) & 0xFE) | 1)};
}

// MPEG-2 pack header: '01' in the top bits of the byte after the start code.
Bytes Mpeg2Pack()
{
    return {0x00, 0x00, 0x01, 0xBA, 0x44, 0x00, 0x04, 0x00, 0x04, 0x01, 0x01, 0x89, 0xC3, 0xF8};
}

Bytes SystemHeader()
{
    return {0x00, 0x00, 0x01, 0xBB, 0x00, 0x09, 0x80, 0x3A,
            0x99, 0x04, 0xE1, 0xFF, 0xE0, 0xE0, 0x2E};
}

Bytes SequenceHeader()
{
    return {0x00, 0x00, 0x01, 0xB3, 0x16, 0x00, 0xF0, 0x13, 0xFF, 0xFF, 0xE0, 0x18};
}

Bytes GroupStart()
{
    return {0x00, 0x00, 0x01, 0xB8, 0x00, 0x08, 0x00, 0x00};
}

// Video elementary bytes that hold no start code.
Bytes VideoFiller(std::size_t n, std::uint8_t seed)
{
    Bytes out(n);
    for (std::size_t i = 0; i < n; ++i) {
        out[i] = static_cast<std::uint8_t>(0x40 + ((i * 7 + seed) % 0x80));
    }
    return out;
}

// A video packet (stream E0) without time stamps around `es`.
Bytes VideoPacket(const Bytes& es)
{
    const std::size_t length = es.size() + 1;
    Bytes out{0x00,
              0x00,
              0x01,
              0xE0,
              static_cast<std::uint8_t>(length >> 8),
              static_cast<std::uint8_t>(length),
              0x0F};
    Put(out, es);
    return out;
}

// Size of a pack header and the video packet header that follows it.
constexpr std::size_t kPackOverhead = 12 + 7;

// A program of MPEG-1 packs, each `packSize` bytes long (pack header, video
// packet), with clock references 3000 * (k + 1) and mux rate 0x1234. The
// video of pack k is filler with `inserts[k]` placed `insertAt` bytes into
// it.
struct Program
{
    std::size_t packSize = 600;
    std::size_t packs = 12;
    std::size_t insertAt = 10;
    std::vector<std::pair<std::size_t, Bytes>> inserts;
    std::size_t systemHeaderInPack = SIZE_MAX;

    Bytes Build() const
    {
        Bytes out;
        for (std::size_t k = 0; k < packs; ++k) {
            const std::size_t start = out.size();
            Put(out, Mpeg1Pack(3000 * (k + 1), 0x1234));
            if (k == systemHeaderInPack) {
                Put(out, SystemHeader());
            }
            const std::size_t esSize = packSize - (out.size() - start) - 7;
            Bytes es = VideoFiller(esSize, static_cast<std::uint8_t>(k));
            for (const auto& [pack, bytes] : inserts) {
                if (pack == k) {
                    std::copy(bytes.begin(), bytes.end(),
                              es.begin() + static_cast<std::ptrdiff_t>(insertAt));
                }
            }
            Put(out, VideoPacket(es));
        }
        return out;
    }
};

// Offset in a Program of the video elementary byte `esOffset` of pack k.
std::size_t EsPosition(const Program& program, std::size_t k, std::size_t esOffset)
{
    std::size_t pos = k * program.packSize + kPackOverhead + esOffset;
    if (k == program.systemHeaderInPack) {
        pos += SystemHeader().size();
    }
    return pos;
}

// ---------------------------------------------------------------------------
// Datagrams

Bytes OpvDatagram(std::uint32_t sequence, const Bytes& payload)
{
    Bytes out{static_cast<std::uint8_t>(sequence >> 24), static_cast<std::uint8_t>(sequence >> 16),
              static_cast<std::uint8_t>(sequence >> 8), static_cast<std::uint8_t>(sequence)};
    Put(out, payload);
    return out;
}

Bytes QvsDatagram(std::uint16_t number, const Bytes& payload)
{
    Bytes out{0xA5,
              0xA5,
              0xA5,
              0xA5,
              static_cast<std::uint8_t>(number),
              static_cast<std::uint8_t>(number >> 8),
              0x10,
              0x00};
    Put(out, payload);
    return out;
}

Bytes ControlPacket(std::uint16_t type, std::uint16_t lengthField, const Bytes& body)
{
    Bytes out(8, 0xA5);
    Put(out, {static_cast<std::uint8_t>(type >> 8), static_cast<std::uint8_t>(type),
              static_cast<std::uint8_t>(lengthField >> 8), static_cast<std::uint8_t>(lengthField)});
    Put(out, body);
    return out;
}

Bytes HeaderPacket(const Bytes& mpeg)
{
    return ControlPacket(1, static_cast<std::uint16_t>(mpeg.size()), mpeg);
}

// The stream from byte `join` on, cut into OPV datagrams whose sequence is
// the byte offset in the whole stream.
std::vector<Bytes> OpvDatagrams(const Bytes& stream, std::size_t join)
{
    std::vector<Bytes> out;
    for (std::size_t at = join; at < stream.size(); at += kOpvPayload) {
        out.push_back(
            OpvDatagram(static_cast<std::uint32_t>(at), Slice(stream, at, at + kOpvPayload)));
    }
    return out;
}

// ---------------------------------------------------------------------------
// The receiving side around the analyser, as the stream receiver drives it.

enum class Format {
    Opv,
    Qvs,
    Raw,
};

struct Queued
{
    std::uint32_t sequence;
    std::uint32_t next;
    Bytes payload;
};

class Receiver
{
public:
    explicit Receiver(Format format = Format::Opv, std::size_t poolSize = 64)
    {
        for (std::size_t i = 0; i < poolSize; ++i) {
            std::unique_ptr<QvBasePacket> packet;
            switch (format) {
            case Format::Opv:
                packet = std::make_unique<QvOpvPacket>(kBlockSize);
                break;
            case Format::Qvs:
                packet = std::make_unique<QvQvsPacket>(kBlockSize);
                break;
            case Format::Raw:
                packet = std::make_unique<QvRawPacket>(kBlockSize);
                break;
            }
            m_fifo.FreeList().append(packet.get());
            m_pool.push_back(std::move(packet));
        }
        m_analyser = std::make_unique<QvHeadProcessor>(static_cast<int>(kBlockSize), m_fifo);
    }

    // Receives one datagram; true once the stream header is ready.
    bool Deliver(const Bytes& datagram)
    {
        QvBasePacket* packet = m_fifo.FreeList().get();
        EXPECT_NE(packet, nullptr) << "pool exhausted";
        if (packet == nullptr) {
            return m_ready;
        }
        packet->Reset();
        const std::size_t n = std::min<std::size_t>(datagram.size(), kBlockSize);
        std::copy_n(datagram.begin(), n, packet->GetBuffer());
        packet->SetReceived(static_cast<std::uint32_t>(n));
        if (m_analyser) {
            m_analyser->ReadControlPacket(packet);
        }
        if (packet->CheckHeader(nullptr) == 0) {
            m_fifo.FreeList().append(packet);
            return m_ready;
        }
        if (!m_ready) {
            if (!m_analyser->Process(packet)) {
                return false;
            }
            m_analyser.reset();
            m_ready = true;
        }
        m_fifo.DataQueue().append(packet);
        return true;
    }

    // Delivers datagrams until the header is ready; the count delivered.
    std::size_t DeliverUntilReady(const std::vector<Bytes>& datagrams)
    {
        std::size_t count = 0;
        for (const Bytes& datagram : datagrams) {
            ++count;
            if (Deliver(datagram)) {
                break;
            }
        }
        return count;
    }

    std::vector<Queued> TakeQueue()
    {
        std::vector<Queued> out;
        while (QvBasePacket* packet = m_fifo.DataQueue().get()) {
            const auto* p = reinterpret_cast<const std::uint8_t*>(packet->GetPayload());
            out.push_back({packet->Sequence(), packet->NextSequence(),
                           Bytes(p, p + packet->GetPayloadLength())});
            m_fifo.FreeList().append(packet);
        }
        return out;
    }

    QvHeadProcessor* Analyser() { return m_analyser.get(); }
    void DropAnalyser() { m_analyser.reset(); }
    bool Ready() const { return m_ready; }
    std::size_t FreeCount() { return m_fifo.FreeList().entries(); }
    std::size_t QueuedCount() { return m_fifo.DataQueue().entries(); }
    std::size_t PoolSize() const { return m_pool.size(); }

private:
    QvFifo m_fifo;
    std::vector<std::unique_ptr<QvBasePacket>> m_pool;
    std::unique_ptr<QvHeadProcessor> m_analyser;
    bool m_ready = false;
};

Bytes Concatenate(const std::vector<Queued>& queued)
{
    Bytes out;
    for (const Queued& q : queued) {
        Put(out, q.payload);
    }
    return out;
}

// Each queued packet starts where the one before it ended.
void ExpectContinuous(const std::vector<Queued>& queued)
{
    for (std::size_t i = 1; i < queued.size(); ++i) {
        EXPECT_EQ(queued[i].sequence, queued[i - 1].next) << "packet " << i;
    }
}

// The start block: first pack with clock reference `scrBytes` (five bytes
// after the start code) and mux rate `muxRate` (0x1234, that of the test
// programs), length L.
Bytes ExpectedStartBlockHead(const Bytes& scrBytes, std::size_t length,
                             std::uint32_t muxRate = 0x1234)
{
    Bytes out{0x00, 0x00, 0x01, 0xBA};
    Put(out, scrBytes);
    Put(out, Slice(Mpeg1Pack(0, muxRate), 9, 12));
    Put(out, {0x00, 0x00, 0x01, 0xBB, 0x00, 0x0C, 0x80, 0x1A, 0xAB, 0x07, 0xE1, 0xFF, 0xC0, 0xC0,
              0x20, 0xE0, 0xE0, 0x2E});
    Put(out, {0x00, 0x00, 0x01, 0xBE, static_cast<std::uint8_t>((length - 36) >> 8),
              static_cast<std::uint8_t>(length - 36), 0x0F});
    return out;
}

Bytes ScrBytes(std::uint64_t scr)
{
    return Slice(Mpeg1Pack(scr, 0), 4, 9);
}

void ExpectStartBlock(const Bytes& block, const Bytes& expectedHead, std::size_t length)
{
    ASSERT_EQ(block.size(), length);
    EXPECT_EQ(Slice(block, 0, 37), expectedHead);
    EXPECT_FALSE(HasStartCodePrefix(block, 36, length)) << "filler holds a start code";
}

// ---------------------------------------------------------------------------
// Streams that need no rewriting

TEST(HeadProcessorPassThrough, TransportStreamIsReadyAtOnce)
{
    Bytes ts;
    for (int k = 0; k < 8; ++k) {
        Bytes packet(188, static_cast<std::uint8_t>(0x10 + k));
        packet[0] = 0x47;
        Put(ts, packet);
    }
    // Joined 50 bytes into a transport packet.
    const Bytes payload = Slice(ts, 50, 50 + kOpvPayload);
    Receiver rx;
    EXPECT_TRUE(rx.Deliver(OpvDatagram(50, payload)));
    const auto queued = rx.TakeQueue();
    ASSERT_EQ(queued.size(), 1u);
    EXPECT_EQ(queued[0].sequence, 50u);
    EXPECT_EQ(queued[0].payload, payload);
}

TEST(HeadProcessorPassThrough, Mpeg2ProgramStreamIsReadyAtOnce)
{
    Bytes ps = VideoFiller(100, 1);
    Put(ps, Mpeg2Pack());
    Put(ps, SystemHeader());
    Put(ps, VideoPacket(VideoFiller(600, 2)));
    Receiver rx;
    EXPECT_TRUE(rx.Deliver(OpvDatagram(7000, ps)));
    const auto queued = rx.TakeQueue();
    ASSERT_EQ(queued.size(), 1u);
    EXPECT_EQ(queued[0].payload, ps);
}

TEST(HeadProcessorIdentify, ModesFromSinglePayloads)
{
    QvFifo fifo;
    QvHeadProcessor analyser(static_cast<int>(kBlockSize), fifo);
    QvRawPacket packet(kBlockSize);
    auto identify = [&](const Bytes& payload) {
        packet.Reset();
        std::copy(payload.begin(), payload.end(), packet.GetBuffer());
        packet.SetReceived(static_cast<std::uint32_t>(payload.size()));
        return analyser.IdentifyStream(&packet);
    };

    Bytes system = Mpeg1Pack(100, 50);
    Put(system, SystemHeader());
    EXPECT_EQ(identify(system), QvHeadProcessor::kModeSystem);

    Bytes program = Mpeg2Pack();
    Put(program, SystemHeader());
    EXPECT_EQ(identify(program), QvHeadProcessor::kModeProgram);

    Bytes sequence = Mpeg1Pack(100, 50);
    Put(sequence, VideoPacket(SequenceHeader()));
    EXPECT_EQ(identify(sequence), QvHeadProcessor::kModeSequenceNoSystem);

    // A program stream announced without its multiplex type: an MPEG-2 pack
    // with no system header near, or no pack at all but an MPEG-2 video
    // packet, is passed through rather than given an MPEG-1 start block.
    Bytes program2 = Mpeg2Pack();
    Put(program2, VideoPacket(SequenceHeader()));
    EXPECT_EQ(identify(program2), QvHeadProcessor::kModeProgram);
    Bytes pes2{0x00, 0x00, 0x01, 0xE0, 0x00, 0x20, 0x81, 0x80, 0x05, 0x21, 0x00, 0x01, 0x00, 0x01};
    Put(pes2, SequenceHeader());
    EXPECT_EQ(identify(pes2), QvHeadProcessor::kModeProgram);

    // A system header or sequence header with no pack before it is not enough.
    Bytes noPack = SystemHeader();
    Put(noPack, SequenceHeader());
    Put(noPack, Mpeg1Pack(100, 50));
    EXPECT_EQ(identify(noPack), QvHeadProcessor::kModeUnknown);

    // Start codes cut off at the end of the payload.
    EXPECT_EQ(identify({0x00, 0x00, 0x01, 0xBA, 0x00, 0x00, 0x01}), QvHeadProcessor::kModeUnknown);
    EXPECT_EQ(identify({0x00, 0x00, 0x01}), QvHeadProcessor::kModeUnknown);
    EXPECT_EQ(identify({}), QvHeadProcessor::kModeUnknown);

    // Two sync bytes 188 apart are not a transport stream; three are.
    Bytes ts(377, 0x11);
    ts[0] = ts[188] = 0x47;
    EXPECT_EQ(identify(ts), QvHeadProcessor::kModeUnknown);
    ts[376] = 0x47;
    EXPECT_EQ(identify(ts), QvHeadProcessor::kModeTransport);

    // A group start after a pack counts only once a header packet is known.
    Bytes gop = Mpeg1Pack(100, 50);
    Bytes es = VideoFiller(80, 3);
    const Bytes group = GroupStart();
    std::copy(group.begin(), group.end(), es.begin() + 60);
    Put(gop, VideoPacket(es));
    EXPECT_EQ(identify(gop), QvHeadProcessor::kModeUnknown);
}

TEST(HeadProcessorIdentify, GroupNeedsRoomForTheSenderHeader)
{
    QvFifo fifo;
    QvHeadProcessor analyser(static_cast<int>(kBlockSize), fifo);
    QvRawPacket packet(kBlockSize);
    auto identify = [&](const Bytes& payload) {
        packet.Reset();
        std::copy(payload.begin(), payload.end(), packet.GetBuffer());
        packet.SetReceived(static_cast<std::uint32_t>(payload.size()));
        return analyser.IdentifyStream(&packet);
    };
    const Bytes header = VideoFiller(22, 7);
    packet.Reset();
    const Bytes control = HeaderPacket(header);
    std::memcpy(packet.GetBuffer(), control.data(), control.size());
    packet.SetReceived(static_cast<std::uint32_t>(control.size()));
    ASSERT_EQ(analyser.ReadControlPacket(&packet), 1);

    // After a video packet start e, the header must fit from e + 18 on.
    auto withVideoPacket = [](std::size_t groupAfterPacketStart) {
        Bytes payload = Mpeg1Pack(100, 50);
        Bytes es = VideoFiller(100, 3);
        const Bytes group = GroupStart();
        std::copy(group.begin(), group.end(),
                  es.begin() + static_cast<std::ptrdiff_t>(groupAfterPacketStart - 7));
        Put(payload, VideoPacket(es));
        return payload;
    };
    EXPECT_EQ(identify(withVideoPacket(18 + 22)), QvHeadProcessor::kModeGopNoSequence);
    EXPECT_EQ(identify(withVideoPacket(18 + 21)), QvHeadProcessor::kModeUnknown);

    // Without a video packet start, from byte 17 of the payload on.
    auto withoutVideoPacket = [](std::size_t group) {
        Bytes payload = Mpeg1Pack(100, 50);
        Put(payload, VideoFiller(group - payload.size(), 4));
        Put(payload, GroupStart());
        return payload;
    };
    EXPECT_EQ(identify(withoutVideoPacket(17 + 22)), QvHeadProcessor::kModeGopNoSequence);
    EXPECT_EQ(identify(withoutVideoPacket(17 + 21)), QvHeadProcessor::kModeUnknown);
}

// ---------------------------------------------------------------------------
// MPEG-1 system stream joined mid-way

TEST(HeadProcessorSystemStream, DropsBytesBeforeFirstPackWithSystemHeader)
{
    Program program;
    program.systemHeaderInPack = 0;
    Bytes stream = VideoFiller(500, 9); // tail of a pack from before the join
    Put(stream, program.Build());
    const auto datagrams = OpvDatagrams(stream, 0);

    Receiver rx;
    EXPECT_EQ(rx.DeliverUntilReady(datagrams), 3u);
    const auto queued = rx.TakeQueue();
    ASSERT_EQ(queued.size(), 3u);
    EXPECT_EQ(queued[0].sequence, 500u);
    ExpectContinuous(queued);
    EXPECT_EQ(Concatenate(queued), Slice(stream, 500, 3 * kOpvPayload));
}

// Datagrams much smaller than the block size: the packets held back while
// the working buffer fills would take the whole pool and stall the stream.
TEST(HeadProcessorSystemStream, SmallDatagramsNeverTakeTheWholePool)
{
    Program program;
    program.systemHeaderInPack = 0;
    const Bytes stream = program.Build();
    std::vector<Bytes> datagrams;
    for (std::size_t at = 0; at < stream.size(); at += 100) {
        datagrams.push_back(
            OpvDatagram(static_cast<std::uint32_t>(at), Slice(stream, at, at + 100)));
    }

    Receiver rx(Format::Opv, 8);
    const std::size_t delivered = rx.DeliverUntilReady(datagrams);
    ASSERT_TRUE(rx.Ready());
    EXPECT_GT(rx.FreeCount(), 0u);
    const auto queued = rx.TakeQueue();
    ASSERT_EQ(queued.size(), delivered);
    ExpectContinuous(queued);
    EXPECT_EQ(Concatenate(queued), Slice(stream, 0, 100 * delivered));
    for (std::size_t i = delivered; i < datagrams.size(); ++i) {
        EXPECT_TRUE(rx.Deliver(datagrams[i]));
        rx.TakeQueue();
    }
}

// ---------------------------------------------------------------------------
// Sequence header but no system header

TEST(HeadProcessorSequenceStream, StartBlockAndPackCutByteExact)
{
    Program program;
    program.inserts = {{1, SequenceHeader()}};
    const Bytes stream = program.Build();
    // Joined 100 bytes into pack 0: the first two packs seen are packs 1 and
    // 2, with clock references 6000 and 9000, so the start block's clock
    // reference is 3000, one pack interval of 600 bytes earlier.
    const auto datagrams = OpvDatagrams(stream, 100);

    Receiver rx;
    EXPECT_EQ(rx.DeliverUntilReady(datagrams), 3u);
    const auto queued = rx.TakeQueue();
    ASSERT_EQ(queued.size(), 4u);
    ExpectStartBlock(queued[0].payload, ExpectedStartBlockHead({0x21, 0x00, 0x01, 0x17, 0x71}, 600),
                     600);
    EXPECT_EQ(queued[0].sequence, 0u);
    EXPECT_EQ(queued[1].sequence, 600u);
    ExpectContinuous(queued);
    const Bytes rest = Concatenate({queued.begin() + 1, queued.end()});
    EXPECT_EQ(rest, Slice(stream, 600, 100 + 3 * kOpvPayload));
}

TEST(HeadProcessorSequenceStream, LongStartBlockSplitsFromItsEnd)
{
    // Packs of 2000 bytes: the start block needs two packets. The first
    // packet carries the block's first 600 bytes, the second its last 1400.
    Program program;
    program.packSize = 2000;
    program.inserts = {{1, SequenceHeader()}};
    const Bytes stream = program.Build();
    const auto datagrams = OpvDatagrams(stream, 1900);

    Receiver rx;
    const std::size_t delivered = rx.DeliverUntilReady(datagrams);
    EXPECT_TRUE(rx.Ready());
    const auto queued = rx.TakeQueue();
    ASSERT_EQ(queued.size(), delivered + 2);
    ASSERT_EQ(queued[0].payload.size(), 600u);
    ASSERT_EQ(queued[1].payload.size(), kOpvPayload);
    const Bytes block = Concatenate({queued.begin(), queued.begin() + 2});
    ExpectStartBlock(block, ExpectedStartBlockHead({0x21, 0x00, 0x01, 0x17, 0x71}, 2000), 2000);
    EXPECT_EQ(queued[2].sequence, 2000u);
    EXPECT_EQ(queued[0].sequence, 0u);
    ExpectContinuous(queued);
    EXPECT_EQ(Concatenate({queued.begin() + 2, queued.end()}),
              Slice(stream, 2000, 1900 + delivered * kOpvPayload));
}

TEST(HeadProcessorSequenceStream, NumberedPacketsStayConsecutive)
{
    Program program;
    program.inserts = {{1, SequenceHeader()}};
    const Bytes stream = program.Build();
    constexpr std::size_t kQvsPayload = kBlockSize - 8;
    Receiver rx(Format::Qvs);
    std::uint16_t number = 40;
    for (std::size_t at = 100; !rx.Ready(); at += kQvsPayload) {
        rx.Deliver(QvsDatagram(number++, Slice(stream, at, at + kQvsPayload)));
    }
    const auto queued = rx.TakeQueue();
    ASSERT_EQ(queued.size(), 4u);
    // The start block comes just before packet 40, as packet 39.
    EXPECT_EQ(queued[0].sequence, 39u);
    EXPECT_EQ(queued[1].sequence, 40u);
    ExpectContinuous(queued);
    EXPECT_EQ(Slice(queued[1].payload, 0, 4), Bytes({0x00, 0x00, 0x01, 0xBA}));
}

// ---------------------------------------------------------------------------
// Group of pictures but no sequence header

Bytes SenderHeader()
{
    Bytes header = SequenceHeader();
    Put(header, {0x00, 0x00, 0x01, 0xB5, 0x14, 0x8A, 0x00, 0x01, 0x00, 0x00});
    return header; // 22 bytes, as the sender cuts it: up to the group start
}

TEST(HeadProcessorGopStream, SenderHeaderWrittenBeforeGroupStart)
{
    Program program;
    program.insertAt = 60;
    program.inserts = {{1, GroupStart()}};
    const Bytes stream = program.Build();
    // Packs at 1000 and 3000 ticks before the wrap: the start block's clock
    // reference, 2 * 1000 - 3000, wraps round to 2^33 - 1000.
    Bytes wrappedStream = stream;
    const Bytes pack1 = Mpeg1Pack(1000, 0x1234);
    const Bytes pack2 = Mpeg1Pack(3000, 0x1234);
    std::copy(pack1.begin(), pack1.end(), wrappedStream.begin() + 600);
    std::copy(pack2.begin(), pack2.end(), wrappedStream.begin() + 1200);
    const auto datagrams = OpvDatagrams(wrappedStream, 100);

    Receiver rx;
    EXPECT_FALSE(rx.Deliver(HeaderPacket(SenderHeader())));
    EXPECT_EQ(rx.DeliverUntilReady(datagrams), 3u);
    const auto queued = rx.TakeQueue();
    ASSERT_EQ(queued.size(), 4u);
    ExpectStartBlock(queued[0].payload, ExpectedStartBlockHead({0x2F, 0xFF, 0xFF, 0xF8, 0x31}, 600),
                     600);
    ExpectContinuous(queued);

    Bytes expected = Slice(wrappedStream, 600, 100 + 3 * kOpvPayload);
    const Bytes header = SenderHeader();
    const std::size_t group = EsPosition(program, 1, 60) - 600;
    std::copy(header.begin(), header.end(),
              expected.begin() + static_cast<std::ptrdiff_t>(group - header.size()));
    EXPECT_EQ(Concatenate({queued.begin() + 1, queued.end()}), expected);
}

TEST(HeadProcessorGopStream, NeverChosenBeforeHeaderPacket)
{
    Program program;
    program.insertAt = 60;
    program.inserts = {{1, GroupStart()}, {3, GroupStart()}};
    const auto datagrams = OpvDatagrams(program.Build(), 100);

    Receiver rx;
    for (const Bytes& datagram : datagrams) {
        EXPECT_FALSE(rx.Deliver(datagram));
    }
    EXPECT_EQ(rx.Analyser()->GetMode(), QvHeadProcessor::kModeUnknown);
    // The last datagram is kept back for the next one, and given back with
    // the analyser.
    EXPECT_EQ(rx.FreeCount(), rx.PoolSize() - 1);
    EXPECT_EQ(rx.QueuedCount(), 0u);
    rx.DropAnalyser();
    EXPECT_EQ(rx.FreeCount(), rx.PoolSize());
}

TEST(HeadProcessorGopStream, GroupWithoutRoomForHeaderIsNotChosen)
{
    Program program;
    program.insertAt = 10; // the group starts 17 bytes after the video packet
    program.inserts = {{1, GroupStart()}};
    const auto datagrams = OpvDatagrams(program.Build(), 100);

    Receiver rx;
    rx.Deliver(HeaderPacket(SenderHeader()));
    EXPECT_FALSE(rx.Deliver(datagrams[0]));
    EXPECT_EQ(rx.Analyser()->GetMode(), QvHeadProcessor::kModeUnknown);
}

TEST(HeadProcessorGopStream, HeaderGrownSinceIdentificationAbandonsFixUp)
{
    Program program;
    program.insertAt = 60;
    program.inserts = {{1, GroupStart()}};
    const Bytes stream = program.Build();
    const auto datagrams = OpvDatagrams(stream, 100);

    Receiver rx;
    rx.Deliver(HeaderPacket(SenderHeader()));
    EXPECT_FALSE(rx.Deliver(datagrams[0]));
    EXPECT_EQ(rx.Analyser()->GetMode(), QvHeadProcessor::kModeGopNoSequence);
    EXPECT_FALSE(rx.Deliver(datagrams[1]));
    // A longer header now leaves no room before the group start.
    Bytes longer = SenderHeader();
    Put(longer, VideoFiller(150, 4));
    EXPECT_FALSE(rx.Deliver(HeaderPacket(longer)));
    EXPECT_TRUE(rx.Deliver(datagrams[2]));

    const auto queued = rx.TakeQueue();
    ASSERT_EQ(queued.size(), 3u);
    EXPECT_EQ(queued[0].sequence, 100u);
    EXPECT_EQ(Concatenate(queued), Slice(stream, 100, 100 + 3 * kOpvPayload));
}

// ---------------------------------------------------------------------------
// Streams whose packs are far apart or close together

TEST(HeadProcessorSequenceStream, PacksFarApartOrCloseGetAShortStartBlock)
{
    // Packs 3000 bytes apart: the next pack is not in the held data.
    Program far;
    far.packSize = 3000;
    far.inserts = {{1, SequenceHeader()}};
    // Two packs 20 bytes apart (a pack header and an empty video packet),
    // then the sequence header: too close for a start block of one pack
    // interval.
    Bytes close = VideoFiller(40, 1);
    Put(close, Mpeg1Pack(3000, 0x1234));
    Put(close, {0x00, 0x00, 0x01, 0xE0, 0x00, 0x02, 0x0F, 0x40});
    Put(close, Mpeg1Pack(6000, 0x1234));
    Put(close, VideoPacket(SequenceHeader()));
    Put(close, VideoFiller(4000, 2));
    const struct
    {
        Bytes stream;
        std::size_t join;
        std::size_t cut;
    } cases[] = {{far.Build(), 2500, 3000}, {close, 0, 60}};
    for (const auto& c : cases) {
        SCOPED_TRACE(c.cut);
        Receiver rx;
        EXPECT_EQ(rx.DeliverUntilReady(OpvDatagrams(c.stream, c.join)), 3u);
        const auto queued = rx.TakeQueue();
        ASSERT_GE(queued.size(), 2u);
        // 37 bytes whose clock lies that many bytes before the pack at the
        // cut (SCR 6000) at its mux rate: 37 * 1800 / 0x1234 = 14 ticks.
        ExpectStartBlock(queued[0].payload, ExpectedStartBlockHead(ScrBytes(6000 - 14), 37), 37);
        ExpectContinuous(queued);
        EXPECT_EQ(Concatenate({queued.begin() + 1, queued.end()}),
                  Slice(c.stream, c.cut, c.join + 3 * kOpvPayload));
    }
}

// A video packet with a presentation and a decoding time stamp.
Bytes TimedVideoPacket(const Bytes& es, std::uint64_t pts, std::uint64_t dts)
{
    const auto stamp = [](std::uint8_t prefix, std::uint64_t t) {
        return Bytes{static_cast<std::uint8_t>(prefix | ((t >> 29) & 0x0E) | 1),
                     static_cast<std::uint8_t>(t >> 22),
                     static_cast<std::uint8_t>(((t >> 14) & 0xFE) | 1),
                     static_cast<std::uint8_t>(t >> 7), static_cast<std::uint8_t>((t << 1) | 1)};
    };
    const std::size_t length = es.size() + 10;
    Bytes out{0x00, 0x00, 0x01, 0xE0, static_cast<std::uint8_t>(length >> 8),
              static_cast<std::uint8_t>(length)};
    Put(out, stamp(0x30, pts));
    Put(out, stamp(0x10, dts));
    Put(out, es);
    return out;
}

TEST(HeadProcessorSequenceStream, StartsAtTheVideoPacketOfTheFirstSequenceHeader)
{
    // As ffmpeg writes MPEG-1 system streams: packets of 2048 bytes, a pack
    // header only every few of them. The sequence header lies early in a
    // datagram, inside a packet that began in the datagram before.
    const auto build = [](bool packAfter) {
        Bytes stream;
        for (int k = 0; k < 3; ++k) {
            Put(stream, VideoPacket(VideoFiller(2041, static_cast<std::uint8_t>(k))));
        }
        Bytes es = VideoFiller(2032, 9);
        const Bytes sequence = SequenceHeader();
        std::copy(sequence.begin(), sequence.end(), es.begin() + 1500);
        Put(stream, TimedVideoPacket(es, 91000, 87400));
        if (packAfter) {
            Put(stream, Mpeg1Pack(80000, 0x1234));
        }
        for (int k = 0; k < 4; ++k) {
            Put(stream, VideoPacket(VideoFiller(2041, static_cast<std::uint8_t>(k + 4))));
        }
        return stream;
    };
    const std::size_t cut = 3 * 2048; // the packet that holds the sequence header
    const std::size_t join = cut - 300;
    const struct
    {
        bool packAfter;
        Bytes scr;
        std::uint32_t muxRate;
    } cases[] = {
        // Counted back from the pack 2048 bytes after the cut:
        // (37 + 2048) * 1800 / 0x1234 = 805 ticks.
        {true, ScrBytes(80000 - 805), 0x1234},
        // No pack in the held data: the packet's decoding time stamp, at the
        // start block's rate bound.
        {false, ScrBytes(87400), 3413},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.packAfter);
        const Bytes stream = build(c.packAfter);
        const auto datagrams = OpvDatagrams(stream, join);
        Receiver rx;
        // Nothing in the first datagram; the second finds the header in the
        // packet that began in the first, which was kept back.
        EXPECT_FALSE(rx.Deliver(datagrams[0]));
        EXPECT_EQ(rx.Analyser()->GetMode(), QvHeadProcessor::kModeUnknown);
        EXPECT_FALSE(rx.Deliver(datagrams[1]));
        EXPECT_EQ(rx.Analyser()->GetMode(), QvHeadProcessor::kModeSequenceNoSystem);
        EXPECT_EQ(rx.Analyser()->GetHeldCount(), 2u);
        EXPECT_EQ(rx.DeliverUntilReady({datagrams.begin() + 2, datagrams.end()}), 1u);
        const auto queued = rx.TakeQueue();
        ASSERT_GE(queued.size(), 2u);
        ExpectStartBlock(queued[0].payload, ExpectedStartBlockHead(c.scr, 37, c.muxRate), 37);
        ExpectContinuous(queued);
        EXPECT_EQ(Concatenate({queued.begin() + 1, queued.end()}),
                  Slice(stream, cut, join + 3 * kOpvPayload));
        EXPECT_EQ(rx.FreeCount() + rx.QueuedCount(), rx.PoolSize());
    }
}

// ---------------------------------------------------------------------------
// Fix-ups that cannot be done pass the stream on unchanged

TEST(HeadProcessorAbandon, NoFreePacketForStartBlock)
{
    Program program;
    program.inserts = {{1, SequenceHeader()}};
    const Bytes stream = program.Build();
    const auto datagrams = OpvDatagrams(stream, 100);

    Receiver rx(Format::Opv, 3);
    EXPECT_EQ(rx.DeliverUntilReady(datagrams), 3u);
    EXPECT_EQ(rx.FreeCount(), 0u);
    const auto queued = rx.TakeQueue();
    ASSERT_EQ(queued.size(), 3u);
    EXPECT_EQ(Concatenate(queued), Slice(stream, 100, 100 + 3 * kOpvPayload));
}

// ---------------------------------------------------------------------------
// Breaks, control packets and garbage

TEST(HeadProcessorBreak, GapReleasesHeldPacketsUnchangedAndRestarts)
{
    Program program;
    program.inserts = {{1, SequenceHeader()}, {8, SequenceHeader()}};
    const Bytes stream = program.Build();
    const auto datagrams = OpvDatagrams(stream, 100);

    coretest::DebugLogCapture log;
    Receiver rx;
    EXPECT_FALSE(rx.Deliver(datagrams[0]));
    EXPECT_EQ(rx.Analyser()->GetHeldCount(), 1u);
    // datagrams[1] is lost.
    EXPECT_FALSE(rx.Deliver(datagrams[2]));
    EXPECT_EQ(rx.Analyser()->GetMode(), QvHeadProcessor::kModeUnknown);
    EXPECT_EQ(rx.Analyser()->GetHeldCount(), 0u);
    EXPECT_EQ(rx.Analyser()->GetWorkingFill(), 0u);
    EXPECT_EQ(rx.FreeCount(), rx.PoolSize() - 1);
    const auto released = rx.TakeQueue();
    ASSERT_EQ(released.size(), 1u);
    EXPECT_EQ(released[0].payload, Slice(datagrams[0], 4, datagrams[0].size()));
    EXPECT_NE(log.Text().find("Break in sequence.  Restarting\n"), std::string::npos);

    // Identification starts again from the next packets.
    rx.Deliver(datagrams[3]);
    EXPECT_EQ(rx.Analyser()->GetMode(), QvHeadProcessor::kModeSequenceNoSystem);
}

TEST(HeadProcessorControl, HeaderPacketsAreBoundedByAreaAndDatagram)
{
    QvFifo fifo;
    QvHeadProcessor analyser(static_cast<int>(kBlockSize), fifo);
    QvRawPacket packet(kBlockSize);
    auto read = [&](const Bytes& datagram) {
        packet.Reset();
        std::copy(datagram.begin(), datagram.end(), packet.GetBuffer());
        packet.SetReceived(static_cast<std::uint32_t>(datagram.size()));
        return analyser.ReadControlPacket(&packet);
    };

    const Bytes header = SenderHeader();
    EXPECT_EQ(read(HeaderPacket(header)), 1);
    ASSERT_EQ(analyser.GetHeaderLength(), header.size());
    EXPECT_EQ(Bytes(analyser.GetHeaderBytes(), analyser.GetHeaderBytes() + header.size()), header);

    // Longer than the 256-byte area: ignored, the previous header stays.
    EXPECT_EQ(read(HeaderPacket(VideoFiller(300, 1))), 1);
    EXPECT_EQ(analyser.GetHeaderLength(), header.size());
    // Longer than its datagram: ignored.
    EXPECT_EQ(read(ControlPacket(1, 200, VideoFiller(30, 2))), 1);
    EXPECT_EQ(analyser.GetHeaderLength(), header.size());
    // Exactly the area fits.
    EXPECT_EQ(read(HeaderPacket(VideoFiller(256, 3))), 1);
    EXPECT_EQ(analyser.GetHeaderLength(), 256u);

    // End of stream and bare or cut-off markers are control packets too.
    EXPECT_EQ(read(ControlPacket(2, 0, {0})), 1);
    EXPECT_EQ(read(Bytes(8, 0xA5)), 1);
    EXPECT_EQ(read(Bytes(11, 0xA5)), 1);
    EXPECT_EQ(analyser.GetHeaderLength(), 256u);
    EXPECT_EQ(read(Bytes(7, 0xA5)), 0);
    EXPECT_EQ(read(QvsDatagram(0xA5A5, VideoFiller(10, 4))), 0);
    EXPECT_EQ(analyser.ReadControlPacket(nullptr), 0);
}

TEST(HeadProcessorControl, ControlPacketsInRawStreamGoBackToFreeList)
{
    Receiver rx(Format::Raw);
    EXPECT_FALSE(rx.Deliver(HeaderPacket(SenderHeader())));
    EXPECT_FALSE(rx.Deliver(ControlPacket(2, 0, {0})));
    EXPECT_EQ(rx.FreeCount(), rx.PoolSize());
    EXPECT_EQ(rx.Analyser()->GetHeaderLength(), SenderHeader().size());
}

TEST(HeadProcessorGarbage, UnrecognisedDatagramsGoBackToFreeList)
{
    Receiver rx;
    EXPECT_FALSE(rx.Deliver(OpvDatagram(0, VideoFiller(1400, 5))));
    EXPECT_FALSE(rx.Deliver(OpvDatagram(1400, {})));
    EXPECT_FALSE(rx.Deliver({0x00, 0x00}));
    EXPECT_EQ(rx.Analyser()->GetMode(), QvHeadProcessor::kModeUnknown);
    EXPECT_EQ(rx.FreeCount(), rx.PoolSize() - 1); // the last one kept back
    EXPECT_FALSE(rx.Analyser()->Process(nullptr));
    rx.DropAnalyser();
    EXPECT_EQ(rx.FreeCount(), rx.PoolSize());
}

TEST(HeadProcessorGarbage, RandomStreamsKeepEveryPacket)
{
    // Datagrams assembled from start codes, pack headers and random bytes,
    // with header packets and gaps: every packet must end up in exactly one
    // place, and nothing may read or write outside a buffer.
    std::mt19937 rng(4242);
    for (int round = 0; round < 200; ++round) {
        Receiver rx(round % 3 == 0 ? Format::Raw : Format::Opv, 16);
        std::uint32_t sequence = rng() % 5000;
        for (int d = 0; d < 12 && !rx.Ready(); ++d) {
            Bytes payload;
            const std::size_t target = rng() % kOpvPayload;
            while (payload.size() < target) {
                switch (rng() % 8) {
                case 0:
                    Put(payload, Mpeg1Pack(rng(), rng()));
                    break;
                case 1:
                    Put(payload, SystemHeader());
                    break;
                case 2:
                    Put(payload, SequenceHeader());
                    break;
                case 3:
                    Put(payload, GroupStart());
                    break;
                case 4:
                    Put(payload, {0x00, 0x00, 0x01, 0xE0});
                    break;
                default:
                    Put(payload, VideoFiller(rng() % 300, static_cast<std::uint8_t>(rng())));
                    break;
                }
            }
            payload.resize(target);
            if (rng() % 6 == 0) {
                Bytes header = VideoFiller(rng() % 40, 1);
                rx.Deliver(ControlPacket(1, static_cast<std::uint16_t>(rng() % 300), header));
                continue;
            }
            rx.Deliver(OpvDatagram(sequence, payload));
            sequence += static_cast<std::uint32_t>(payload.size()) + (rng() % 10 == 0 ? 1 : 0);
        }
        const std::size_t held = rx.Analyser() != nullptr ? rx.Analyser()->GetHeldCount() : 0;
        rx.DropAnalyser(); // gives back the datagram kept back, if any
        EXPECT_EQ(rx.FreeCount() + rx.QueuedCount() + held, rx.PoolSize());
    }
}

} // namespace
