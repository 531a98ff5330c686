// The stream receiver's packet path and reading side, driven without sockets:
// datagrams go in through FeedDatagram and the watchdog runs when the test
// says, on a clock the test moves.
#include "core/receive/qvcollector.h"
#include "core/settings/qvlog.h"
#include "core/threads/qvmessage.h"
#include "core/settings/qvproplist.h"

#include "platform/clock.h"

#include "core/testsupport/debuglog_capture.h"

#include <gtest/gtest.h>

#include <arpa/inet.h>

#include <chrono>
#include <cstdint>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <future>
#include <random>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

using namespace std::chrono_literals;

namespace {

using Bytes = std::vector<std::uint8_t>;

// The source stream: every byte is a function of its stream offset, so any
// slice can be checked for where it came from.
std::uint8_t SourceByte(std::uint32_t offset)
{
    return static_cast<std::uint8_t>((offset * 2654435761u) >> 24);
}

Bytes SourceSlice(std::uint32_t offset, std::size_t length)
{
    Bytes out(length);
    for (std::size_t i = 0; i < length; ++i) {
        out[i] = SourceByte(offset + static_cast<std::uint32_t>(i));
    }
    return out;
}

// An "OPV" datagram carrying `length` source bytes from stream offset `offset`.
Bytes Opv(std::uint32_t offset, std::size_t length)
{
    Bytes out = {static_cast<std::uint8_t>(offset >> 24), static_cast<std::uint8_t>(offset >> 16),
                 static_cast<std::uint8_t>(offset >> 8), static_cast<std::uint8_t>(offset)};
    const Bytes payload = SourceSlice(offset, length);
    out.insert(out.end(), payload.begin(), payload.end());
    return out;
}

Bytes EndOfStream()
{
    Bytes out(8, 0xA5);
    out.insert(out.end(), {0x00, 0x02, 0x00, 0x00, 0x00});
    return out;
}

Bytes HeaderPacket(const Bytes& mpeg)
{
    Bytes out(8, 0xA5);
    out.insert(out.end(), {0x00, 0x01, static_cast<std::uint8_t>(mpeg.size() >> 8),
                           static_cast<std::uint8_t>(mpeg.size())});
    out.insert(out.end(), mpeg.begin(), mpeg.end());
    return out;
}

// Counts the int messages of each code, taking them out of the queue.
class MessageCounter : public QvIntMessage
{
public:
    void Drain(QvMessageQueue& queue) { queue.DispatchMessages(this); }
    void OnStartThreshold(unsigned long) override { ++startThreshold; }
    void OnDataTimeout(unsigned long) override { ++dataTimeout; }

    int startThreshold = 0;
    int dataTimeout = 0;
};

class CollectorTest : public ::testing::Test
{
protected:
    CollectorTest() : m_clockOverride(m_clock)
    {
        m_props.SetProperty("PacketFormat", "OPV");
        m_props.SetProperty("FixHeader", "FALSE");
        m_collector.SetPropertyList(&m_props);
        m_collector.SetMessageQueue(&m_messages);
    }
    ~CollectorTest() override { m_collector.Stop(); }

    void Start() { ASSERT_EQ(m_collector.StartDetached(), QvUdpDataCollector::kStartOk); }

    bool Feed(const Bytes& datagram)
    {
        return m_collector.FeedDatagram(datagram.data(), datagram.size());
    }

    void FeedRunFrom(const sockaddr_in& source, std::uint32_t offset, int count)
    {
        for (int i = 0; i < count; ++i, offset += 1000) {
            const Bytes datagram = Opv(offset, 1000);
            EXPECT_TRUE(m_collector.FeedDatagram(datagram.data(), datagram.size(), &source));
        }
    }

    // Feeds `count` consecutive packets of `payload` bytes from `offset`;
    // returns the offset after them.
    std::uint32_t FeedRun(std::uint32_t offset, int count, std::size_t payload)
    {
        for (int i = 0; i < count; ++i) {
            EXPECT_TRUE(Feed(Opv(offset, payload)));
            offset += static_cast<std::uint32_t>(payload);
        }
        return offset;
    }

    struct Read
    {
        Bytes bytes;
        int flags = -1;
    };

    Read ReadBytes(long request)
    {
        Read result;
        result.bytes.resize(static_cast<std::size_t>(std::max(request, 1L)));
        result.flags = 0x7777;
        const long got = m_collector.ReadBuffer(reinterpret_cast<char*>(result.bytes.data()),
                                                request, result.flags);
        result.bytes.resize(static_cast<std::size_t>(got));
        return result;
    }

    // Lets the data timeout pass and runs the watchdog.
    void TimeOut()
    {
        m_clock.Advance(m_collector.GetDataTimeout() + 1);
        m_collector.WatchDog();
    }

    MessageCounter DrainMessages()
    {
        MessageCounter counter;
        counter.Drain(m_messages);
        return counter;
    }

    qvplat::ManualClock m_clock{1000};
    qvplat::ScopedClockOverride m_clockOverride;
    QvPropertyList m_props;
    QvMessageQueue m_messages;
    QvUdpDataCollector m_collector;
};

// ---- Pool, levels and settings ----------------------------------------------------------

TEST_F(CollectorTest, DefaultPoolAndLevels)
{
    Start();
    EXPECT_EQ(m_collector.GetSmallBufSize(), 1404);
    EXPECT_EQ(m_collector.GetNumSmallBufs(), 729);
    EXPECT_EQ(m_collector.GetLowThreshold(), 72);
    EXPECT_EQ(m_collector.GetReclaimCount(), 216);
    EXPECT_EQ(m_collector.GetStartThreshold(), 513);
    EXPECT_EQ(m_collector.GetHighThreshold(), 657);
    EXPECT_EQ(m_collector.FreeList().entries(), 729u);
    EXPECT_EQ(m_props.GetProperty("PacketSize").compareTo("1404"), 0);
}

TEST_F(CollectorTest, StartThresholdInKilobytesAndWindow)
{
    m_props.SetProperty("UDCStartThreshold", "100");
    Start();
    EXPECT_EQ(m_collector.GetStartThreshold(), 73);

    m_props.SetProperty("Retrans", "2");
    Start();
    EXPECT_EQ(m_collector.GetRetransWindow(), 2);
    EXPECT_EQ(m_collector.FreeList().entries(), 731u);
    m_collector.SetStartThreshold(10);
    EXPECT_EQ(m_collector.GetStartThreshold(), 12);

    // The level check adds the window once more: 14 queued packets.
    FeedRun(0, 13, 1000);
    m_collector.WatchDog();
    EXPECT_EQ(DrainMessages().startThreshold, 0);
    FeedRun(13000, 1, 1000);
    m_collector.WatchDog();
    EXPECT_EQ(DrainMessages().startThreshold, 1);
}

TEST_F(CollectorTest, QvsIsReceivedAsOpvAndNoticesTheFormat)
{
    m_props.SetProperty("PacketFormat", "qvs");
    m_props.SetProperty("PacketSize", "8196");
    Start();
    EXPECT_EQ(m_props.GetProperty("PacketFormat").compareTo("OPV"), 0);
    EXPECT_EQ(m_collector.GetNumSmallBufs(), 1024000 / 8196);
    EXPECT_TRUE(Feed(Opv(0, 8192)));
}

TEST_F(CollectorTest, UnusablePacketSizesFailStartInsteadOfDividingByZero)
{
    for (const char* size : {"0", "-5", "70000", "8"}) {
        SCOPED_TRACE(size);
        m_props.SetProperty("PacketSize", size);
        EXPECT_EQ(m_collector.StartDetached(), QvUdpDataCollector::kSetupFailed);
        EXPECT_FALSE(m_collector.IsStarted());
        int flags = 0;
        char byte = 0;
        EXPECT_EQ(m_collector.ReadBuffer(&byte, 1, flags), 0);
        EXPECT_EQ(flags, QvUdpDataCollector::kStopped);
    }
}

TEST_F(CollectorTest, ThresholdsAreKeptWithinWhatThePoolCanHold)
{
    m_props.SetProperty("UDCStartThreshold", "100000");
    m_props.SetProperty("Retrans", "5000");
    Start();
    // The window is cut to the pool's own blocks, and the start level plus
    // the window to what the queue can hold beside the reader's packets.
    EXPECT_EQ(m_collector.GetRetransWindow(), 729);
    EXPECT_EQ(m_collector.GetStartThreshold() + 729, 729 + 729 - 3);
    EXPECT_LT(m_collector.GetLowThreshold(), m_collector.GetStartThreshold());

    m_collector.SetStartThreshold(-1000000);
    EXPECT_GE(m_collector.GetStartThreshold(), 0);
}

TEST_F(CollectorTest, ExtremeLevelSettingsDoNotOverflow)
{
    // Settings can come from a web page: the level arithmetic must hold for
    // any values, and the pool still comes out the fixed size.
    m_props.SetProperty("Retrans", "2147483647");
    m_props.SetProperty("UDCBufferSize", "1024000");
    Start();
    EXPECT_EQ(m_collector.GetRetransWindow(), 729);
    EXPECT_EQ(m_collector.GetNumSmallBufs(), 729);

    m_props.SetProperty("Retrans", "100");
    m_props.SetProperty("UDCBlockSize", "1");
    m_props.SetProperty("UDCBufferSize", "2147483647");
    Start();
    EXPECT_EQ(m_collector.GetRetransWindow(), 100);
    EXPECT_EQ(m_collector.GetNumSmallBufs(), 729);
    EXPECT_LT(m_collector.GetLowThreshold(), m_collector.GetStartThreshold());

    m_collector.SetStartThreshold(2147483647);
    m_collector.SetLowThreshold(2147483647);
    m_collector.SetHighThreshold(2147483647);
    EXPECT_LE(m_collector.GetStartThreshold(), 729 + 100);
    EXPECT_LT(m_collector.GetLowThreshold(), m_collector.GetStartThreshold());
}

TEST_F(CollectorTest, StartWithoutPropertyListUsesDefaults)
{
    coretest::DebugLogCapture log;
    m_collector.SetPropertyList(nullptr);
    Start();
    EXPECT_EQ(m_collector.GetNumSmallBufs(), 729);
    EXPECT_FALSE(m_collector.HeaderReady()); // MPEG-1 system stream: fix-up pending
    // Without settings nothing is read, so no format or mux line is logged.
    EXPECT_EQ(log.Text().find("packet mode engaged"), std::string::npos);
    EXPECT_EQ(log.Text().find("MPEG-1 System"), std::string::npos);
}

// ---- Ordering and loss --------------------------------------------------------------------

TEST_F(CollectorTest, GapIsMeasuredOnceAndCountedInBytes)
{
    m_props.SetProperty("PacketSize", "1408"); // 1404 payload bytes
    Start();
    FeedRun(0, 3, 1404);
    EXPECT_EQ(m_collector.GetLostCount(), 0u);
    EXPECT_TRUE(Feed(Opv(5616, 1404)));
    // A gap counts as lost once more datagrams have passed it than a
    // reordering network would let by.
    FeedRun(7020, QvUdpDataCollector::kReorderDepth - 1, 1404);
    EXPECT_EQ(m_collector.GetLostCount(), 0u);
    FeedRun(7020 + 1404 * (QvUdpDataCollector::kReorderDepth - 1), 1, 1404);
    EXPECT_EQ(m_collector.GetLostCount(), 1404u);
    EXPECT_EQ(m_collector.GetBytesReceived(), 7u * 1404u);
    EXPECT_EQ(m_collector.DataQueue().entries(), 7u);
}

TEST_F(CollectorTest, DuplicateDatagramsAreDroppedAndCounted)
{
    coretest::DebugLogCapture log;
    Start();
    FeedRun(0, 3, 1000);
    // A duplicate of the second packet: logged, counted, not queued.
    EXPECT_TRUE(Feed(Opv(1000, 1000)));
    EXPECT_NE(log.Text().find("*** Bad sequence Seq:1000 Exp:3000"), std::string::npos);
    EXPECT_EQ(m_collector.DataQueue().entries(), 3u);
    EXPECT_EQ(m_collector.GetDuplicateCount(), 1u);
    // The expected sequence stayed where it was: no false loss.
    FeedRun(3000, 4, 1000);
    EXPECT_EQ(m_collector.GetLostCount(), 0u);

    Read read = ReadBytes(5000);
    EXPECT_EQ(read.flags, 0);
    EXPECT_EQ(read.bytes, SourceSlice(0, 5000));
}

// What a network does to a run of datagrams that all arrive: swaps some
// with a later neighbour, repeats some. The receiver must undo both.
struct Impairment
{
    const char* name;
    int swapPercent;
    int duplicatePercent;
};

class CollectorImpairmentTest : public CollectorTest,
                                public ::testing::WithParamInterface<Impairment>
{
};

TEST_P(CollectorImpairmentTest, EveryByteIsDeliveredOnceInOrder)
{
    const Impairment impairment = GetParam();
    Start();
    constexpr int kPackets = 600; // within the pool: nothing is read meanwhile
    constexpr std::uint32_t kPayload = 1000;
    std::vector<std::uint32_t> order;
    for (int i = 0; i < kPackets; ++i) {
        order.push_back(static_cast<std::uint32_t>(i) * kPayload);
    }
    std::mt19937 random(7);
    std::uniform_int_distribution<int> percent(0, 99);
    std::uniform_int_distribution<std::size_t> depth(1, QvUdpDataCollector::kReorderDepth);
    // The first datagram stays first: it is where the stream starts.
    for (std::size_t i = 1; i + QvUdpDataCollector::kReorderDepth < order.size(); ++i) {
        if (percent(random) < impairment.swapPercent) {
            const std::size_t d = depth(random);
            std::swap(order[i], order[i + d]);
            i += d; // no packet moves twice
        }
    }
    std::uint64_t duplicates = 0;
    for (const std::uint32_t offset : order) {
        Feed(Opv(offset, kPayload));
        if (percent(random) < impairment.duplicatePercent) {
            Feed(Opv(offset, kPayload));
            ++duplicates;
        }
    }
    TimeOut();

    EXPECT_EQ(m_collector.GetLostCount(), 0u);
    EXPECT_EQ(m_collector.GetDuplicateCount(), duplicates);
    Read all = ReadBytes(kPackets * kPayload);
    EXPECT_EQ(all.flags, 0);
    EXPECT_TRUE(all.bytes == SourceSlice(0, kPackets * kPayload));
}

INSTANTIATE_TEST_SUITE_P(Network, CollectorImpairmentTest,
                         ::testing::Values(Impairment{"Reordered", 10, 0},
                                           Impairment{"Duplicated", 0, 10},
                                           Impairment{"Both", 10, 10}),
                         [](const auto& param) { return std::string(param.param.name); });

// Sequence jumps: a gap the pool can hold is a loss; a jump beyond it either
// way is a sender that restarted or a resynchronisation: a break, no loss.
struct Jump
{
    const char* name;
    std::uint32_t to;   // the sequence after 0..9999
    std::uint64_t lost; // bytes counted lost
};

class CollectorJumpTest : public CollectorTest, public ::testing::WithParamInterface<Jump>
{
};

TEST_P(CollectorJumpTest, OnlyAGapThePoolCanHoldCountsAsLoss)
{
    const Jump jump = GetParam();
    Start();
    FeedRun(50000000, 10, 1000);
    FeedRun(jump.to, 10, 1000);
    TimeOut();
    EXPECT_EQ(m_collector.GetLostCount(), jump.lost);
    EXPECT_EQ(ReadBytes(10000).bytes, SourceSlice(50000000, 10000));
    Read after = ReadBytes(10000);
    EXPECT_EQ(after.flags, QvUdpDataCollector::kBreak);
    EXPECT_EQ(after.bytes, SourceSlice(jump.to, 10000));
}

INSTANTIATE_TEST_SUITE_P(Sequences, CollectorJumpTest,
                         ::testing::Values(Jump{"GapWithinThePool", 50000000 + 10000 + 500000,
                                                500000},
                                           Jump{"ForgedOffsetFarAhead", 0x7FFFFFF0u, 0},
                                           Jump{"SenderStartedAgain", 0, 0}),
                         [](const auto& param) { return std::string(param.param.name); });

TEST_F(CollectorTest, OnlyTheFirstSourceFeedsTheStreamUntilItFallsSilent)
{
    sockaddr_in sender{};
    sender.sin_family = AF_INET;
    sender.sin_addr.s_addr = htonl(0x0A000001);
    sender.sin_port = htons(4000);
    sockaddr_in intruder = sender;
    intruder.sin_port = htons(4001);
    Start();
    for (std::uint32_t i = 0; i < 20; ++i) {
        EXPECT_TRUE(m_collector.FeedDatagram(Opv(i * 1000, 1000).data(), 1004, &sender));
        if (i % 4 == 0) {
            // Offsets ahead of the stream: would open gaps and draw reports.
            EXPECT_FALSE(
                m_collector.FeedDatagram(Opv(i * 1000 + 7000, 1000).data(), 1004, &intruder));
        }
    }
    EXPECT_EQ(m_collector.GetForeignCount(), 5u);
    EXPECT_EQ(m_collector.GetLostCount(), 0u);
    EXPECT_EQ(m_collector.GetBytesReceived(), 20000u);

    // Silent for the data timeout: the next sender takes the stream over.
    TimeOut();
    EXPECT_TRUE(m_collector.FeedDatagram(Opv(900000, 1000).data(), 1004, &intruder));
    EXPECT_FALSE(m_collector.FeedDatagram(Opv(20000, 1000).data(), 1004, &sender));
    FeedRunFrom(intruder, 901000, 3);
    Read old = ReadBytes(20000);
    EXPECT_EQ(old.bytes, SourceSlice(0, 20000));
    EXPECT_EQ(ReadBytes(4000).flags, QvUdpDataCollector::kTimeout); // where the silence was
    // The new source's data, held back again while more may come.
    Read taken = ReadBytes(2000);
    EXPECT_EQ(taken.flags, QvUdpDataCollector::kBreak);
    EXPECT_EQ(taken.bytes, SourceSlice(900000, 2000));
}

TEST_F(CollectorTest, InvalidDatagramsNeverReachTheStream)
{
    Start();
    EXPECT_FALSE(Feed(Bytes{0x00, 0x01}));                // shorter than the header
    EXPECT_FALSE(Feed(EndOfStream()));                    // control packet
    EXPECT_FALSE(Feed(HeaderPacket({0, 0, 1, 0xB3})));    // control packet
    EXPECT_FALSE(Feed(Bytes{0xA5, 0xA5, 0xA5, 0xA5, 1})); // marker: never OPV data
    Bytes tooLong = Opv(0, 1500);
    EXPECT_FALSE(Feed(tooLong));
    EXPECT_EQ(m_collector.DataQueue().entries(), 0u);
    EXPECT_EQ(m_collector.FreeList().entries(), 729u);
    EXPECT_EQ(m_collector.GetBytesReceived(), 0u);
}

TEST_F(CollectorTest, EndOfStreamDoesNotStopLaterPasses)
{
    // A looping sender sends end-of-stream between passes; the stream goes on.
    Start();
    std::uint32_t next = FeedRun(0, 3, 1000);
    EXPECT_FALSE(Feed(EndOfStream()));
    next = FeedRun(next, 3, 1000);
    EXPECT_EQ(m_collector.DataQueue().entries(), 6u);
    EXPECT_EQ(ReadBytes(4000).bytes, SourceSlice(0, 4000));
}

TEST_F(CollectorTest, RawStreamDropsExactControlPacketsOnly)
{
    m_props.SetProperty("PacketFormat", "RAW");
    m_props.SetProperty("PacketSize", "8192");
    Start();
    const Bytes a = SourceSlice(0, 500);
    const Bytes b = SourceSlice(500, 500);
    EXPECT_TRUE(Feed(a));
    EXPECT_FALSE(Feed(EndOfStream()));
    EXPECT_FALSE(Feed(HeaderPacket({0, 0, 1, 0xB3, 1, 2})));
    EXPECT_TRUE(Feed(b));
    // Stream bytes that merely begin like a control packet stay data.
    Bytes lookalike = EndOfStream();
    lookalike.push_back(0x42);
    EXPECT_TRUE(Feed(lookalike));
    EXPECT_TRUE(Feed(SourceSlice(1000, 10)));
    EXPECT_TRUE(Feed(SourceSlice(1010, 10)));

    Read read = ReadBytes(1000 + static_cast<long>(lookalike.size()));
    EXPECT_EQ(read.flags, 0);
    Bytes expected = a;
    expected.insert(expected.end(), b.begin(), b.end());
    expected.insert(expected.end(), lookalike.begin(), lookalike.end());
    EXPECT_EQ(read.bytes, expected);
}

TEST_F(CollectorTest, SequenceWrapAroundIsNeitherLossNorBreak)
{
    Start();
    const std::uint32_t start = 0xFFFFFFFFu - 2500;
    std::uint32_t next = FeedRun(start, 6, 1000);
    EXPECT_EQ(m_collector.GetLostCount(), 0u);
    // A gap right after the wrap is measured exactly.
    EXPECT_TRUE(Feed(Opv(next + 700, 1000)));
    FeedRun(next + 1700, 3, 1000);
    EXPECT_EQ(m_collector.GetLostCount(), 700u);

    Read read = ReadBytes(6000);
    EXPECT_EQ(read.flags, 0);
    EXPECT_EQ(read.bytes, SourceSlice(start, 6000));
    Read after = ReadBytes(1000);
    EXPECT_EQ(after.flags, QvUdpDataCollector::kBreak);
    EXPECT_EQ(after.bytes, SourceSlice(next + 700, 1000));
}

// ---- Reading ------------------------------------------------------------------------------

TEST_F(CollectorTest, RequestOfZeroReturnsAtOnceWithFlagsCleared)
{
    Start();
    int flags = 0x55;
    char byte = 0;
    EXPECT_EQ(m_collector.ReadBuffer(&byte, 0, flags), 0);
    EXPECT_EQ(flags, 0);
    flags = 0x55;
    EXPECT_EQ(m_collector.ReadBuffer(&byte, -3, flags), 0);
    EXPECT_EQ(flags, 0);
}

TEST_F(CollectorTest, CarryServesTheNextRequest)
{
    m_props.SetProperty("PacketSize", "1408"); // 1404 payload bytes
    Start();
    FeedRun(0, 6, 1404);
    Read first = ReadBytes(3000);
    EXPECT_EQ(first.flags, 0);
    EXPECT_EQ(first.bytes, SourceSlice(0, 3000));
    // 1212 bytes of the third packet are kept; 1000 come from them alone.
    EXPECT_EQ(m_collector.DataQueue().entries(), 3u);
    Read second = ReadBytes(1000);
    EXPECT_EQ(second.flags, 0);
    EXPECT_EQ(second.bytes, SourceSlice(3000, 1000));
    EXPECT_EQ(m_collector.DataQueue().entries(), 3u);
    Read third = ReadBytes(1000);
    EXPECT_EQ(third.bytes, SourceSlice(4000, 1000));
}

TEST_F(CollectorTest, ExactFitReturnsWithoutTakingTheNextPacket)
{
    Start();
    std::uint32_t next = FeedRun(0, 2, 1000);
    // The packet after an exact fit begins after a gap; the fitted bytes
    // must not be lost to its break.
    FeedRun(next + 5000, 4, 1000);
    Read fit = ReadBytes(2000);
    EXPECT_EQ(fit.flags, 0);
    EXPECT_EQ(fit.bytes, SourceSlice(0, 2000));
    Read after = ReadBytes(1000);
    EXPECT_EQ(after.flags, QvUdpDataCollector::kBreak);
    EXPECT_EQ(after.bytes, SourceSlice(next + 5000, 1000));
}

TEST_F(CollectorTest, BreakInsideACallKeepsTheBytesBeforeIt)
{
    Start();
    FeedRun(0, 2, 1000);
    FeedRun(3000, 5, 1000); // 2000..2999 never arrive
    int flags = -1;
    long at = -1;
    Bytes bytes(2500);
    ASSERT_EQ(m_collector.ReadBuffer(reinterpret_cast<char*>(bytes.data()), 2500, flags, &at),
              2500);
    EXPECT_EQ(flags, QvUdpDataCollector::kBreak);
    EXPECT_EQ(at, 2000);
    Bytes expected = SourceSlice(0, 2000);
    const Bytes after = SourceSlice(3000, 500);
    expected.insert(expected.end(), after.begin(), after.end());
    EXPECT_EQ(bytes, expected);
    ASSERT_EQ(m_collector.ReadBuffer(reinterpret_cast<char*>(bytes.data()), 500, flags, &at), 500);
    EXPECT_EQ(flags, 0);
    EXPECT_EQ(at, 0);
    bytes.resize(500);
    EXPECT_EQ(bytes, SourceSlice(3500, 500));
}

TEST_F(CollectorTest, SecondBreakInACallKeepsEveryByteAndMarksTheFirst)
{
    Start();
    FeedRun(0, 1, 1000);
    FeedRun(2000, 1, 1000);
    FeedRun(4000, 5, 1000);
    int flags = -1;
    long at = -1;
    Bytes bytes(2500);
    ASSERT_EQ(m_collector.ReadBuffer(reinterpret_cast<char*>(bytes.data()), 2500, flags, &at),
              2500);
    EXPECT_EQ(flags, QvUdpDataCollector::kBreak);
    EXPECT_EQ(at, 1000);
    Bytes expected = SourceSlice(0, 1000);
    for (const Bytes& run : {SourceSlice(2000, 1000), SourceSlice(4000, 500)}) {
        expected.insert(expected.end(), run.begin(), run.end());
    }
    EXPECT_EQ(bytes, expected);
}

TEST_F(CollectorTest, GetNextBufferHandsOutPacketsWithTheirBreakFlags)
{
    Start();
    FeedRun(0, 2, 1000);
    FeedRun(4000, 4, 1000);
    long size = 0;
    int flags = -1;
    char* payload = m_collector.GetNextBuffer(size, flags);
    ASSERT_NE(payload, nullptr);
    EXPECT_EQ(size, 1000);
    EXPECT_EQ(flags, 0);
    EXPECT_EQ(Bytes(payload, payload + size), SourceSlice(0, 1000));
    payload = m_collector.GetNextBuffer(size, flags);
    EXPECT_EQ(flags, 0);
    payload = m_collector.GetNextBuffer(size, flags);
    ASSERT_NE(payload, nullptr);
    EXPECT_EQ(flags, QvUdpDataCollector::kBreak);
    EXPECT_EQ(Bytes(payload, payload + size), SourceSlice(4000, 1000));
    // At most three packets stay lent to the reader.
    EXPECT_EQ(m_collector.LentList().entries(), 3u);
}

TEST_F(CollectorTest, DataTimeoutDeliversTheTailFirstAndIsReportedOnce)
{
    Start();
    FeedRun(0, 2, 1000); // two packets: held back while more may come
    TimeOut();
    EXPECT_EQ(DrainMessages().dataTimeout, 1);
    m_collector.WatchDog();
    TimeOut();
    EXPECT_EQ(DrainMessages().dataTimeout, 0); // quiet until the reader is told

    Read tail = ReadBytes(5000);
    EXPECT_EQ(tail.flags, 0);
    EXPECT_EQ(tail.bytes, SourceSlice(0, 2000));
    Read timeout = ReadBytes(5000);
    EXPECT_EQ(timeout.flags, QvUdpDataCollector::kTimeout);
    EXPECT_TRUE(timeout.bytes.empty());

    // The next silence is reported again.
    TimeOut();
    EXPECT_EQ(DrainMessages().dataTimeout, 1);
    long size = 0;
    int flags = 0;
    EXPECT_EQ(m_collector.GetNextBuffer(size, flags), nullptr);
    EXPECT_EQ(flags, QvUdpDataCollector::kTimeout);
}

// A sender that starts again before the reader took what was queued: the
// new data follows the timeout's report, which falls where the silence was.
TEST_F(CollectorTest, DataAfterATimeoutFollowsItsReport)
{
    Start();
    FeedRun(0, 4, 1000);
    TimeOut();
    FeedRun(4000, 4, 1000);
    EXPECT_EQ(ReadBytes(8000).bytes, SourceSlice(0, 4000));
    const Read timeout = ReadBytes(8000);
    EXPECT_EQ(timeout.flags, QvUdpDataCollector::kTimeout);
    EXPECT_TRUE(timeout.bytes.empty());
    const Read next = ReadBytes(2000);
    EXPECT_EQ(next.flags, 0);
    EXPECT_EQ(next.bytes, SourceSlice(4000, 2000));
}

TEST_F(CollectorTest, RequestTimeoutWatchesAStalledReader)
{
    m_props.SetProperty("UDCTimeout", "100000");
    Start();
    m_collector.SetReqTimeoutMonitor(true);
    m_clock.Advance(5000);
    m_collector.WatchDog();
    EXPECT_EQ(DrainMessages().dataTimeout, 0);
    m_clock.Advance(1);
    m_collector.WatchDog();
    EXPECT_EQ(DrainMessages().dataTimeout, 1);
    m_collector.SetReqTimeoutMonitor(false);
    m_clock.Advance(10000);
    m_collector.WatchDog();
    EXPECT_EQ(DrainMessages().dataTimeout, 0);
}

TEST_F(CollectorTest, StartThresholdIsReportedOncePerCycle)
{
    Start();
    std::uint32_t next = FeedRun(0, 512, 1000);
    m_collector.WatchDog();
    EXPECT_EQ(DrainMessages().startThreshold, 0);
    next = FeedRun(next, 1, 1000);
    m_collector.WatchDog();
    m_collector.WatchDog();
    EXPECT_EQ(DrainMessages().startThreshold, 1);

    // Falling below the low level starts a new cycle.
    m_collector.FlushAllFifos();
    m_collector.WatchDog();
    next = FeedRun(next, 512, 1000);
    m_collector.WatchDog();
    EXPECT_EQ(DrainMessages().startThreshold, 0);
    FeedRun(next, 1, 1000);
    m_collector.WatchDog();
    EXPECT_EQ(DrainMessages().startThreshold, 1);
}

TEST_F(CollectorTest, NoLevelHooksWithoutFlowControl)
{
    m_props.SetProperty("UDCFlowControl", "FALSE");
    Start();
    FeedRun(0, 600, 1000);
    m_collector.WatchDog();
    EXPECT_EQ(DrainMessages().startThreshold, 0);
}

TEST_F(CollectorTest, OverflowReclaimsTheNewestAndTheReaderSeesABreak)
{
    Start();
    const std::uint32_t next = FeedRun(0, 729, 1000);
    EXPECT_EQ(m_collector.FreeList().entries(), 0u);
    // No free packet: the 216 newest queued packets are taken back.
    EXPECT_TRUE(Feed(Opv(next, 1000)));
    EXPECT_EQ(m_collector.DataQueue().entries(), 729u - 216u + 1u);
    EXPECT_EQ(m_collector.FreeList().entries(), 215u);

    Read kept = ReadBytes(511 * 1000);
    EXPECT_EQ(kept.flags, 0);
    EXPECT_EQ(kept.bytes, SourceSlice(0, 511 * 1000));
    TimeOut(); // lets the last packets out of the queue
    Read rest = ReadBytes(2000);
    EXPECT_EQ(rest.flags, 0);
    EXPECT_EQ(rest.bytes, SourceSlice(511 * 1000, 2000));
    Read after = ReadBytes(1000);
    EXPECT_EQ(after.flags, QvUdpDataCollector::kBreak);
    EXPECT_EQ(after.bytes, SourceSlice(next, 1000));
}

TEST_F(CollectorTest, FlushEmptiesTheQueueAndResetsTheCounters)
{
    Start();
    FeedRun(0, 3, 1000);
    FeedRun(5000, 4, 1000);
    EXPECT_EQ(m_collector.GetLostCount(), 2000u);
    m_collector.FlushAllFifos();
    EXPECT_EQ(m_collector.DataQueue().entries(), 0u);
    EXPECT_EQ(m_collector.FreeList().entries(), 729u);
    EXPECT_EQ(m_collector.GetLostCount(), 0u);
    EXPECT_EQ(m_collector.GetSmallBufLevel(), 0u);
}

TEST_F(CollectorTest, FirstReadAfterFlushBreaksUnlessItContinues)
{
    Start();
    std::uint32_t next = FeedRun(0, 4, 1000);
    EXPECT_EQ(ReadBytes(1000).flags, 0);
    m_collector.FlushAllFifos();
    next = FeedRun(next, 4, 1000);
    Read read = ReadBytes(1000);
    EXPECT_EQ(read.flags, QvUdpDataCollector::kBreak);
    EXPECT_EQ(read.bytes, SourceSlice(4000, 1000));
}

// ---- Stop ---------------------------------------------------------------------------------

TEST_F(CollectorTest, StopReleasesABlockedReaderPromptly)
{
    Start();
    FeedRun(0, 1, 1000);
    auto reader = std::async(std::launch::async, [this] {
        int flags = 0;
        std::vector<char> buffer(4000);
        const long got = m_collector.ReadBuffer(buffer.data(), 4000, flags);
        return std::make_pair(got, flags);
    });
    EXPECT_EQ(reader.wait_for(100ms), std::future_status::timeout);
    const auto before = std::chrono::steady_clock::now();
    m_collector.Stop();
    EXPECT_LT(std::chrono::steady_clock::now() - before, 5s);
    ASSERT_EQ(reader.wait_for(5s), std::future_status::ready);
    const auto [got, flags] = reader.get();
    EXPECT_EQ(got, 0);
    EXPECT_EQ(flags, QvUdpDataCollector::kStopped);
    EXPECT_FALSE(m_collector.IsAlive());
}

// A media pipeline's flush frees a waiting read, while the stream goes on
// being received for the reads after it.
TEST_F(CollectorTest, ReleasedReadsReturnAtOnceUntilRearmedAndNothingIsLost)
{
    Start();
    FeedRun(0, 1, 1000);
    auto reader = std::async(std::launch::async, [this] { return ReadBytes(4000); });
    EXPECT_EQ(reader.wait_for(100ms), std::future_status::timeout);
    m_collector.ReleaseReaders();
    ASSERT_EQ(reader.wait_for(5s), std::future_status::ready);
    const Read released = reader.get();
    EXPECT_TRUE(released.bytes.empty());
    EXPECT_EQ(released.flags, QvUdpDataCollector::kReleased);

    FeedRun(1000, 3, 1000);
    EXPECT_EQ(ReadBytes(2000).flags, QvUdpDataCollector::kReleased);
    long size = 0;
    int flags = 0;
    EXPECT_EQ(m_collector.GetNextBuffer(size, flags), nullptr);
    EXPECT_EQ(flags, QvUdpDataCollector::kReleased);
    EXPECT_EQ(m_collector.GetSmallBufLevel(), 4u);

    m_collector.RearmReaders();
    const Read read = ReadBytes(2000);
    EXPECT_EQ(read.flags, QvUdpDataCollector::kContinuous);
    EXPECT_EQ(read.bytes, SourceSlice(0, 2000));
}

TEST_F(CollectorTest, NothingIsReadAfterStop)
{
    m_props.SetProperty("PacketSize", "1408"); // 1404 payload bytes
    Start();
    FeedRun(0, 5, 1404);
    ASSERT_EQ(ReadBytes(100).bytes.size(), 100u); // leaves a carry behind
    m_collector.Stop();
    Read read = ReadBytes(100);
    EXPECT_TRUE(read.bytes.empty());
    EXPECT_EQ(read.flags, QvUdpDataCollector::kStopped);
    long size = 7;
    int flags = 0;
    EXPECT_EQ(m_collector.GetNextBuffer(size, flags), nullptr);
    EXPECT_EQ(flags, QvUdpDataCollector::kStopped);
    EXPECT_EQ(m_collector.AllPackets().entries(), 0u);
    EXPECT_FALSE(Feed(Opv(7020, 1404)));
}

TEST_F(CollectorTest, RestartBeginsANewStream)
{
    Start();
    FeedRun(5000, 4, 1000);
    ASSERT_EQ(ReadBytes(1000).flags, 0);
    Start(); // restarts
    FeedRun(0, 4, 1000);
    Read read = ReadBytes(1000);
    EXPECT_EQ(read.flags, 0);
    EXPECT_EQ(read.bytes, SourceSlice(0, 1000));
    EXPECT_EQ(m_collector.GetLostCount(), 0u);
}

// ---- Header fix-up ------------------------------------------------------------------------

// Bytes that hold no MPEG start code and no transport sync byte.
Bytes Unrecognisable(std::uint32_t offset, std::size_t length)
{
    Bytes out = {static_cast<std::uint8_t>(offset >> 24), static_cast<std::uint8_t>(offset >> 16),
                 static_cast<std::uint8_t>(offset >> 8), static_cast<std::uint8_t>(offset)};
    for (std::size_t i = 0; i < length; ++i) {
        out.push_back(static_cast<std::uint8_t>(0x80 | ((offset + i) & 0x7F)));
    }
    return out;
}

TEST_F(CollectorTest, TransportStreamPassesTheAnalyserAtOnce)
{
    m_props.ClearProperty("FixHeader");
    Start();
    EXPECT_FALSE(m_collector.HeaderReady());
    Bytes datagram = {0, 0, 0, 0};
    for (int i = 0; i < 1316; ++i) {
        datagram.push_back(i % 188 == 0 ? 0x47 : 0x11);
    }
    EXPECT_TRUE(Feed(datagram));
    EXPECT_TRUE(m_collector.HeaderReady());
    EXPECT_EQ(m_collector.DataQueue().entries(), 1u);
}

TEST_F(CollectorTest, UnrecognisedStreamIsPassedOnAfterAPoolsWorth)
{
    m_props.ClearProperty("FixHeader");
    m_props.SetProperty("PacketSize", "8196"); // 124 buffers
    Start();
    std::uint32_t offset = 0;
    for (int i = 0; i < 124; ++i, offset += 8192) {
        Feed(Unrecognisable(offset, 8192));
    }
    EXPECT_TRUE(m_collector.HeaderReady());
    EXPECT_EQ(m_collector.DataQueue().entries(), 0u);
    EXPECT_EQ(m_collector.FreeList().entries(), 124u);
    for (int i = 0; i < 3; ++i, offset += 8192) {
        EXPECT_TRUE(Feed(Unrecognisable(offset, 8192)));
    }
    EXPECT_EQ(m_collector.DataQueue().entries(), 3u);
}

// ---- Data start hooks and the options ------------------------------------------------------

// Counts the data hooks; stops first, as every subclass with hooks must.
struct StartCounter : QvUdpDataCollector
{
    using QvUdpDataCollector::QvUdpDataCollector;
    ~StartCounter() override { Stop(); }
    int OnDataStarted() override { return ++started, QvUdpDataCollector::OnDataStarted(); }
    int OnDataRestarted() override { return ++restarted, QvUdpDataCollector::OnDataRestarted(); }
    int started = 0;
    int restarted = 0;
};

TEST(CollectorOptionsTest, DataHooksAndTheTimeoutLineFollowTheOptions)
{
    for (const bool capture : {false, true}) {
        coretest::DebugLogCapture log;
        qvplat::ManualClock clock{1000};
        qvplat::ScopedClockOverride clockOverride(clock);
        QvPropertyList props;
        props.SetProperty("FixHeader", "FALSE");
        StartCounter collector(capture ? QvCollectorOptions::CaptureUtility()
                                       : QvCollectorOptions::Standard());
        collector.SetPropertyList(&props);
        ASSERT_EQ(collector.StartDetached(), QvUdpDataCollector::kStartOk);
        for (const std::uint32_t offset : {0u, 1000u, 2000u}) {
            if (offset == 2000) { // silence, then data again
                clock.Advance(collector.GetDataTimeout() + 1);
                collector.WatchDog();
            }
            const Bytes datagram = Opv(offset, 1000);
            EXPECT_TRUE(collector.FeedDatagram(datagram.data(), datagram.size()));
        }
        EXPECT_EQ(collector.started, 1);
        EXPECT_EQ(collector.restarted, 1);
        collector.Stop();
        EXPECT_EQ(log.Text().find("Collector Timeout.") == std::string::npos, capture);
    }
}

} // namespace
