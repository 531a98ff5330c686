// The stream receiver on real sockets, each test in a private network
// namespace: loss reports on the wire, the retransmission reader on unicast
// and multicast streams, int messages from the collector thread, stopping a
// waiting reader, a run with random datagram loss and an intruder on the group.
#include "core/receive/qvcollector.h"
#include "core/settings/qvproplist.h"
#include "core/threads/qvmessage.h"

#include "platform/testsupport/netns_fixture.h"
#include "platform/testsupport/udp_loss.h"
#include "platform/testsupport/udp_socket.h"

#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <functional>
#include <future>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <thread>
#include <tuple>
#include <vector>

using namespace std::chrono_literals;
using qvtest::UdpSocket;

namespace {

constexpr auto kArrival = 5s; // generous bound for anything to happen

// The source stream: the 32-bit little-endian word at every offset that is
// a multiple of 4 holds that offset, so a slice names where it came from.
std::uint8_t SourceByte(std::uint32_t offset)
{
    const std::uint32_t word = offset & ~3u;
    return static_cast<std::uint8_t>(word >> (8 * (offset & 3u)));
}

std::string Opv(std::uint32_t offset, std::size_t length)
{
    std::string out = {static_cast<char>(offset >> 24), static_cast<char>(offset >> 16),
                       static_cast<char>(offset >> 8), static_cast<char>(offset)};
    for (std::size_t i = 0; i < length; ++i) {
        out.push_back(static_cast<char>(SourceByte(offset + static_cast<std::uint32_t>(i))));
    }
    return out;
}

std::uint32_t Be32(const std::string& bytes, std::size_t at)
{
    std::uint32_t value = 0;
    for (std::size_t i = 0; i < 4; ++i) {
        value = (value << 8) | static_cast<std::uint8_t>(bytes[at + i]);
    }
    return value;
}

bool WaitUntil(const std::function<bool()>& condition, std::chrono::milliseconds bound = kArrival)
{
    const auto end = std::chrono::steady_clock::now() + bound;
    while (!condition()) {
        if (std::chrono::steady_clock::now() >= end) {
            return false;
        }
        std::this_thread::sleep_for(5ms);
    }
    return true;
}

// Counts int messages by code.
class MessageCounter : public QvIntMessage
{
public:
    void OnStartThreshold(unsigned long) override { ++startThreshold; }
    void OnDataTimeout(unsigned long) override { ++dataTimeout; }

    int startThreshold = 0;
    int dataTimeout = 0;
};

class CollectorNetTest : public qvtest::NetnsTest
{
protected:
    void SetUp() override
    {
        NetnsTest::SetUp();
        if (IsSkipped() || HasFatalFailure()) {
            return;
        }
        m_port = FreePort();
        m_props.SetProperty("Port", static_cast<int>(m_port), QvPropertyList::Decimal);
        m_props.SetProperty("FixHeader", "FALSE");
        m_props.SetProperty("UDCFlowControl", "FALSE");
        m_collector.SetPropertyList(&m_props);
        m_collector.SetMessageQueue(&m_messages);
    }

    void TearDown() override
    {
        m_collector.Stop();
        m_sender.reset();
        NetnsTest::TearDown();
    }

    // A port whose report port (+16) is free too: the namespace is private.
    static std::uint16_t FreePort()
    {
        UdpSocket probe;
        return static_cast<std::uint16_t>(probe.LocalPort() % 30000 + 20000);
    }

    // The test's sender, opened in the namespace on first use.
    UdpSocket& Sender()
    {
        if (!m_sender) {
            m_sender = std::make_unique<UdpSocket>("127.0.0.1", 0);
        }
        return *m_sender;
    }

    void SendTo(const std::string& address, const std::string& datagram)
    {
        ASSERT_TRUE(Sender().SendTo(address, m_port, datagram));
    }

    void Dispatch() { m_messages.DispatchMessages(&m_counter); }

    std::uint16_t m_port = 0;
    QvPropertyList m_props;
    QvMessageQueue m_messages;
    MessageCounter m_counter;
    QvUdpDataCollector m_collector;
    std::unique_ptr<UdpSocket> m_sender;
};

// The stream 0, 1404, 2808, then a gap at 4212, then four more datagrams:
// the gap counts as lost (and is reported) once more datagrams passed it
// than reordering would explain.
const std::uint32_t kGapStream[] = {0, 1404, 2808, 5616, 7020, 8424, 9828};

// The one loss report for the gap of kGapStream.
std::optional<qvtest::Datagram> GapReport(UdpSocket& reports)
{
    auto report = reports.Receive(kArrival);
    EXPECT_TRUE(report.has_value());
    if (report) {
        EXPECT_EQ(report->payload.size(), 8u);
        EXPECT_EQ(Be32(report->payload, 0), 4212u);
        EXPECT_EQ(Be32(report->payload, 4), 1404u);
        EXPECT_FALSE(reports.Receive(200ms).has_value()); // one report per gap
    }
    return report;
}

// Reads the five packets before the gap's end: all there, continuous.
void ExpectRepairedStream(QvUdpDataCollector& collector)
{
    std::string buffer(5 * 1404, '\0');
    int flags = -1;
    ASSERT_EQ(collector.ReadBuffer(buffer.data(), 5 * 1404, flags), 5 * 1404);
    EXPECT_EQ(flags, 0);
    EXPECT_EQ(buffer, Opv(0, 5 * 1404).substr(4));
}

TEST_F(CollectorNetTest, UnicastGapIsReportedToTheSenderFromAPortOfItsOwn)
{
    UdpSocket reports("127.0.0.1", static_cast<std::uint16_t>(m_port + 16));
    m_props.SetProperty("Address", "127.0.0.1");
    m_props.SetProperty("PacketSize", "1408");
    m_props.SetProperty("Retrans", "1");
    ASSERT_EQ(m_collector.Start(), QvUdpDataCollector::kStartOk);

    for (std::uint32_t offset : kGapStream) {
        SendTo("127.0.0.1", Opv(offset, 1404));
    }
    const auto report = GapReport(reports);
    ASSERT_TRUE(report.has_value());
    EXPECT_EQ(report->sourceAddress, "127.0.0.1");
    EXPECT_NE(report->sourcePort, m_port);

    // The retransmission reader took none of the stream's datagrams.
    EXPECT_TRUE(WaitUntil([&] { return m_collector.GetBytesReceived() == 7u * 1404u; }));
    EXPECT_EQ(m_collector.GetLostCount(), 1404u);
    EXPECT_EQ(m_collector.GetRecovCount(), 0u);

    // Retransmitted data comes back to the port the report came from and
    // fills the gap before the reader gets there.
    UdpSocket source("127.0.0.1", 0);
    ASSERT_TRUE(source.SendTo("127.0.0.1", report->sourcePort, Opv(4212, 1404)));
    EXPECT_TRUE(WaitUntil([&] { return m_collector.GetRecovCount() == 1404u; }));
    ExpectRepairedStream(m_collector);
}

TEST_F(CollectorNetTest, MulticastRetransReaderSharesTheGroup)
{
    UdpSocket reports("0.0.0.0", static_cast<std::uint16_t>(m_port + 16));
    m_props.SetProperty("Address", "239.255.10.20");
    m_props.SetProperty("PacketSize", "1408");
    m_props.SetProperty("Retrans", "1");
    ASSERT_EQ(m_collector.Start(), QvUdpDataCollector::kStartOk);

    for (std::uint32_t offset : kGapStream) {
        SendTo("239.255.10.20", Opv(offset, 1404));
    }
    const auto report = GapReport(reports);
    ASSERT_TRUE(report.has_value());
    EXPECT_EQ(report->sourcePort, m_port);

    // Both readers see every datagram of the group; the stream's own are
    // no recovery.
    EXPECT_TRUE(WaitUntil([&] { return m_collector.GetBytesReceived() == 7u * 1404u; }));
    EXPECT_EQ(m_collector.GetRecovCount(), 0u);
    // A repair sent to the group fills the gap once.
    SendTo("239.255.10.20", Opv(4212, 1404));
    EXPECT_TRUE(WaitUntil([&] { return m_collector.GetRecovCount() == 1404u; }));
    ExpectRepairedStream(m_collector);
    EXPECT_EQ(m_collector.GetRecovCount(), 1404u);
}

TEST_F(CollectorNetTest, StartFailsCleanlyWhenTheDataReaderCannotStart)
{
    m_props.SetProperty("Port", "0");
    EXPECT_EQ(m_collector.Start(), QvUdpDataCollector::kDataReaderFailed);
    EXPECT_FALSE(m_collector.IsStarted());
    EXPECT_FALSE(m_collector.IsAlive());
    EXPECT_EQ(m_collector.AllPackets().entries(), 0u);
}

TEST_F(CollectorNetTest, IntMessagesComeOncePerCycle)
{
    m_props.SetProperty("Address", "127.0.0.1");
    m_props.SetProperty("UDCFlowControl", "TRUE");
    m_props.SetProperty("UDCStartThreshold", "10"); // 8 packets of 1404 bytes
    m_props.SetProperty("UDCTimeout", "300");
    ASSERT_EQ(m_collector.Start(), QvUdpDataCollector::kStartOk);
    ASSERT_EQ(m_collector.GetStartThreshold(), 8);

    for (std::uint32_t i = 0; i < 10; ++i) {
        SendTo("127.0.0.1", Opv(i * 1400, 1400));
    }
    EXPECT_TRUE(WaitUntil([&] {
        Dispatch();
        return m_counter.startThreshold == 1;
    }));
    EXPECT_TRUE(WaitUntil([&] {
        Dispatch();
        return m_counter.dataTimeout == 1;
    }));
    // Until the reader has been told, the silence is not reported again: a
    // time bound, so the wait (over twice the timeout) is what is tested.
    std::this_thread::sleep_for(800ms);
    Dispatch();
    EXPECT_EQ(m_counter.dataTimeout, 1);

    std::string buffer(20000, '\0');
    int flags = -1;
    EXPECT_EQ(m_collector.ReadBuffer(buffer.data(), 20000, flags), 14000);
    EXPECT_EQ(flags, 0);
    EXPECT_EQ(m_collector.ReadBuffer(buffer.data(), 20000, flags), 0);
    EXPECT_EQ(flags, QvUdpDataCollector::kTimeout);

    EXPECT_TRUE(WaitUntil([&] {
        Dispatch();
        return m_counter.dataTimeout == 2;
    }));
    EXPECT_EQ(m_counter.startThreshold, 1);
}

TEST_F(CollectorNetTest, StopReturnsPromptlyWhileAReaderWaits)
{
    m_props.SetProperty("Address", "127.0.0.1");
    m_props.SetProperty("UDCTimeout", "100000");
    ASSERT_EQ(m_collector.Start(), QvUdpDataCollector::kStartOk);
    SendTo("127.0.0.1", Opv(0, 1400));
    auto reader = std::async(std::launch::async, [this] {
        std::string buffer(5000, '\0');
        int flags = 0;
        const long got = m_collector.ReadBuffer(buffer.data(), 5000, flags);
        return std::make_pair(got, flags);
    });
    EXPECT_EQ(reader.wait_for(200ms), std::future_status::timeout);
    const auto before = std::chrono::steady_clock::now();
    m_collector.Stop();
    EXPECT_LT(std::chrono::steady_clock::now() - before, kArrival);
    ASSERT_EQ(reader.wait_for(kArrival), std::future_status::ready);
    const auto [got, flags] = reader.get();
    EXPECT_EQ(got, 0);
    EXPECT_EQ(flags, QvUdpDataCollector::kStopped);
    EXPECT_FALSE(m_collector.IsAlive());
}

// The stream offset a run starts at (its first word names it).
std::uint32_t RunStart(const std::string& run)
{
    std::uint32_t start = 0;
    for (int i = 3; i >= 0; --i) {
        start = (start << 8) | static_cast<std::uint8_t>(run[static_cast<std::size_t>(i)]);
    }
    return start;
}

// Checks that `run` is a contiguous slice of the source stream and returns
// false with a reason when it is not.
bool IsSourceSlice(const std::string& run, std::string& why)
{
    if (run.size() < 4) {
        return true;
    }
    const std::uint32_t start = RunStart(run);
    for (std::size_t i = 0; i < run.size(); ++i) {
        if (static_cast<std::uint8_t>(run[i]) !=
            SourceByte(start + static_cast<std::uint32_t>(i))) {
            why = "run from " + std::to_string(start) + " differs at byte " + std::to_string(i);
            return false;
        }
    }
    return true;
}

// The bytes one reader took, split into runs at the breaks it was told of.
struct Runs
{
    std::vector<std::string> runs{1};
    int breaks = 0;
    std::size_t delivered = 0;
};

// Reads until the data times out, `request` bytes per call.
Runs ReadAll(QvUdpDataCollector& collector, long request)
{
    Runs out;
    std::string buffer(static_cast<std::size_t>(request), '\0');
    for (;;) {
        int flags = 0;
        long at = 0;
        const long got = collector.ReadBuffer(buffer.data(), request, flags, &at);
        const auto size = static_cast<std::size_t>(got);
        if (flags == QvUdpDataCollector::kBreak) {
            const auto split = static_cast<std::size_t>(at);
            out.runs.back().append(buffer.data(), split);
            out.runs.emplace_back(buffer.data() + split, size - split);
            ++out.breaks;
        } else {
            out.runs.back().append(buffer.data(), size);
        }
        out.delivered += size;
        if (flags == QvUdpDataCollector::kTimeout || flags == QvUdpDataCollector::kStopped) {
            return out;
        }
    }
}

TEST_F(CollectorNetTest, RandomLossGivesBreaksButNeverCorruptRuns)
{
    std::string why;
    if (!qvtest::AddUdpLoss(m_port, 5, &why)) {
        GTEST_SKIP() << "no datagram loss: " << why;
    }
    m_props.SetProperty("Address", "127.0.0.1");
    m_props.SetProperty("UDCTimeout", "500");
    ASSERT_EQ(m_collector.Start(), QvUdpDataCollector::kStartOk);

    constexpr std::uint32_t kPackets = 3000;
    constexpr std::uint32_t kPayload = 1400;
    // Reads no longer than a payload hold at most one break each.
    auto reader = std::async(std::launch::async, [this] { return ReadAll(m_collector, kPayload); });

    UdpSocket& sender = Sender();
    auto next = std::chrono::steady_clock::now();
    for (std::uint32_t i = 0; i < kPackets; ++i) {
        ASSERT_TRUE(sender.SendTo("127.0.0.1", m_port, Opv(i * kPayload, kPayload)));
        next += 100us;
        std::this_thread::sleep_until(next);
    }
    ASSERT_EQ(reader.wait_for(10s), std::future_status::ready);
    const Runs got = reader.get();

    std::size_t end = 0;
    for (std::size_t i = 0; i < got.runs.size(); ++i) {
        const std::string& run = got.runs[i];
        if (run.size() < 4) {
            continue;
        }
        EXPECT_TRUE(IsSourceSlice(run, why)) << why;
        if (i > 0) {
            EXPECT_NE(RunStart(run), end) << "a break where nothing was missing";
        }
        end = RunStart(run) + run.size();
    }
    EXPECT_GT(got.breaks, 0);
    EXPECT_GT(m_collector.GetLostCount(), 0u);
    EXPECT_EQ(got.delivered, m_collector.GetBytesReceived());
    EXPECT_LT(got.delivered, std::size_t{kPackets} * kPayload);
}

// A second host on the group sends datagrams that claim offsets ahead of
// the stream; the receiver keeps to the sender it heard first.
TEST_F(CollectorNetTest, IntruderOnTheGroupIsIgnoredAndGetsNoReports)
{
    const std::string group = "239.255.10.21";
    UdpSocket reports("127.0.0.1", static_cast<std::uint16_t>(m_port + 16));
    UdpSocket intruderReports("127.0.0.2", static_cast<std::uint16_t>(m_port + 16));
    UdpSocket intruder("127.0.0.2", 0);
    m_props.SetProperty("Address", group.c_str());
    m_props.SetProperty("Retrans", "1");
    m_props.SetProperty("UDCTimeout", "500");
    ASSERT_EQ(m_collector.Start(), QvUdpDataCollector::kStartOk);
    auto reader = std::async(std::launch::async, [this] { return ReadAll(m_collector, 1400); });

    constexpr std::uint32_t kPackets = 600;
    constexpr std::uint32_t kPayload = 1400;
    std::uint32_t skipped = 0;
    std::uint32_t intruded = 0;
    auto next = std::chrono::steady_clock::now();
    for (std::uint32_t i = 0; i < kPackets; ++i) {
        if (i % 50 == 25) {
            ++skipped; // lost on the way
        } else {
            SendTo(group, Opv(i * kPayload, kPayload));
        }
        if (i % 20 == 10) {
            const std::string forged = Opv((i + 100) * kPayload, 0) + std::string(kPayload, '\x7f');
            ASSERT_TRUE(intruder.SendTo(group, m_port, forged));
            ++intruded;
        }
        next += 100us;
        std::this_thread::sleep_until(next);
    }
    ASSERT_EQ(reader.wait_for(10s), std::future_status::ready);
    const Runs got = reader.get();

    std::string why;
    for (const std::string& run : got.runs) {
        EXPECT_TRUE(IsSourceSlice(run, why)) << why;
    }
    EXPECT_EQ(got.breaks, static_cast<int>(skipped));
    EXPECT_EQ(m_collector.GetForeignCount(), intruded);
    EXPECT_EQ(m_collector.GetLostCount(), std::uint64_t{skipped} * kPayload);
    EXPECT_EQ(m_collector.GetRecovCount(), 0u);
    EXPECT_EQ(reports.ReceiveUntilQuiet(200ms).size(), skipped);
    EXPECT_TRUE(intruderReports.ReceiveUntilQuiet(50ms).empty());
}

} // namespace

// ---- Batched reception and the wake-up rule --------------------------------------------

// Datagrams that reach the socket together are taken in batches; each is
// still taken in on its own. A reader that comes after the whole burst
// finds the gap where it was, the bytes before it kept.
TEST_F(CollectorNetTest, BurstWithAGapReadAfterItArrived)
{
    m_props.SetProperty("Address", "127.0.0.1");
    ASSERT_EQ(m_collector.Start(), QvUdpDataCollector::kStartOk);
    constexpr std::uint32_t kPayload = 1400;
    constexpr std::uint32_t kCount = 40;
    constexpr std::uint32_t kMissing = 17;
    for (std::uint32_t i = 0; i < kCount; ++i) {
        if (i != kMissing) {
            SendTo("127.0.0.1", Opv(i * kPayload, kPayload));
        }
    }
    ASSERT_TRUE(WaitUntil(
        [&] { return m_collector.GetBytesReceived() == std::uint64_t{kCount - 1} * kPayload; }));
    const long want = static_cast<long>((kCount - 3) * kPayload);
    std::string buffer(static_cast<std::size_t>(want), '\0');
    int flags = -1;
    long breakAt = -1;
    ASSERT_EQ(m_collector.ReadBuffer(buffer.data(), want, flags, &breakAt), want);
    EXPECT_EQ(flags, QvUdpDataCollector::kBreak);
    ASSERT_EQ(breakAt, static_cast<long>(kMissing * kPayload));
    const std::string before = buffer.substr(0, static_cast<std::size_t>(breakAt));
    EXPECT_EQ(before, Opv(0, kMissing * kPayload).substr(4));
    EXPECT_EQ(buffer.substr(static_cast<std::size_t>(breakAt)),
              Opv((kMissing + 1) * kPayload, static_cast<std::size_t>(want - breakAt)).substr(4));
    EXPECT_EQ(m_collector.GetLostCount(), kPayload);
}

// More datagrams come than there are free packets while the reader is away:
// the rest wait in the kernel's buffer, which has room for them, until the
// reader hands packets back; nothing is lost and no packet goes astray.
TEST_F(CollectorNetTest, BurstLargerThanThePoolWaitsInTheKernelForTheReader)
{
    m_props.SetProperty("Address", "127.0.0.1");
    m_props.SetProperty("PacketSize", "65536"); // a pool of 15 packets
    m_props.SetProperty("UDCTimeout", "200");   // the last two packets come with it
    ASSERT_EQ(m_collector.Start(), QvUdpDataCollector::kStartOk);
    ASSERT_EQ(m_collector.AllPackets().entries(), 15u);
    constexpr std::uint32_t kPayload = 100;
    constexpr std::uint32_t kCount = 60;
    for (std::uint32_t i = 0; i < kCount; ++i) {
        SendTo("127.0.0.1", Opv(i * kPayload, kPayload));
    }
    ASSERT_TRUE(WaitUntil([&] { return m_collector.FreeList().entries() == 0; }));
    std::string all(kCount * kPayload, '\0');
    int flags = -1;
    ASSERT_EQ(m_collector.ReadBuffer(all.data(), static_cast<long>(all.size()), flags),
              static_cast<long>(all.size()));
    EXPECT_EQ(flags, QvUdpDataCollector::kContinuous);
    EXPECT_EQ(all, Opv(0, all.size()).substr(4));
    EXPECT_EQ(m_collector.GetLostCount(), 0u);
    EXPECT_EQ(m_collector.FreeList().entries() + m_collector.DataQueue().entries() +
                  m_collector.LentList().entries(),
              15u);
}

// The reader stays away with the pool used up and the rest waiting in the
// kernel's buffer, and then the sender stops: bytes that only wait there
// are no sign of a sender, so the data timeout comes on time. The reader
// that comes back gets every byte, those from the kernel's buffer too,
// before it hears of the timeout.
TEST_F(CollectorNetTest, SenderStoppingWhileTheReaderIsAwayTimesOutAfterItsData)
{
    m_props.SetProperty("Address", "127.0.0.1");
    m_props.SetProperty("PacketSize", "65536"); // a pool of 15 packets
    m_props.SetProperty("UDCTimeout", "200");
    ASSERT_EQ(m_collector.Start(), QvUdpDataCollector::kStartOk);
    constexpr std::uint32_t kPayload = 100;
    constexpr std::uint32_t kCount = 60;
    for (std::uint32_t i = 0; i < kCount; ++i) {
        SendTo("127.0.0.1", Opv(i * kPayload, kPayload));
    }
    ASSERT_TRUE(WaitUntil([&] {
        Dispatch();
        return m_counter.dataTimeout != 0;
    }));
    std::string all(kCount * kPayload, '\0');
    int flags = -1;
    ASSERT_EQ(m_collector.ReadBuffer(all.data(), static_cast<long>(all.size()), flags),
              static_cast<long>(all.size()));
    EXPECT_EQ(flags, QvUdpDataCollector::kContinuous);
    EXPECT_EQ(all, Opv(0, all.size()).substr(4));
    EXPECT_EQ(m_collector.ReadBuffer(all.data(), kPayload, flags), 0);
    EXPECT_EQ(flags, QvUdpDataCollector::kTimeout);
}

// A reader waiting for more than has come is woken by the data timeout: it
// gets the bytes it holds, and the timeout with its next call.
TEST_F(CollectorNetTest, DataTimeoutWakesAReaderWaitingForAFullRequest)
{
    m_props.SetProperty("Address", "127.0.0.1");
    m_props.SetProperty("UDCTimeout", "200");
    ASSERT_EQ(m_collector.Start(), QvUdpDataCollector::kStartOk);
    auto reader = std::async(std::launch::async, [this] {
        std::string buffer(65536, '\0');
        int flags = -1;
        long got = 0;
        do {
            got = m_collector.ReadBuffer(buffer.data(), 65536, flags);
        } while (got == 0 && flags == QvUdpDataCollector::kTimeout); // before the data
        int next = -1;
        const long after = m_collector.ReadBuffer(buffer.data(), 65536, next);
        return std::make_tuple(got, flags, after, next);
    });
    for (std::uint32_t i = 0; i < 5; ++i) {
        SendTo("127.0.0.1", Opv(i * 1400, 1400));
    }
    ASSERT_EQ(reader.wait_for(kArrival), std::future_status::ready);
    const auto [got, flags, after, next] = reader.get();
    EXPECT_EQ(got, 5 * 1400);
    EXPECT_EQ(flags, QvUdpDataCollector::kContinuous);
    EXPECT_EQ(after, 0);
    EXPECT_EQ(next, QvUdpDataCollector::kTimeout);
}

// ---- Datagrams the kernel drops ---------------------------------------------------------

namespace {

// A collector whose thread can be held at the start of a pass, away from its
// socket, so that the kernel has to drop what comes meanwhile.
class HoldableCollector : public QvUdpDataCollector
{
public:
    ~HoldableCollector() override { Stop(); }

    void ControlFlow() override
    {
        {
            std::unique_lock<std::mutex> lock(m_lock);
            if (m_hold) {
                ++m_holds;
                m_changed.notify_all();
                const std::uint64_t lets = m_lets;
                m_changed.wait(lock, [&] { return m_lets != lets; });
            }
        }
        QvUdpDataCollector::ControlFlow();
    }

    // Holds the thread at its next pass, which `wake` brings about.
    bool Hold(const std::function<void()>& wake)
    {
        std::uint64_t holds = 0;
        {
            std::lock_guard<std::mutex> lock(m_lock);
            m_hold = true;
            holds = m_holds;
        }
        wake();
        std::unique_lock<std::mutex> lock(m_lock);
        return m_changed.wait_for(lock, kArrival, [&] { return m_holds != holds; });
    }

    void Let()
    {
        {
            std::lock_guard<std::mutex> lock(m_lock);
            m_hold = false;
            ++m_lets;
        }
        m_changed.notify_all();
    }

private:
    std::mutex m_lock;
    std::condition_variable m_changed;
    bool m_hold = false;
    std::uint64_t m_holds = 0;
    std::uint64_t m_lets = 0;
};

} // namespace

// While the collector thread is away, a burst overflows a small kernel
// buffer. Each time the reader gets a break right before the first
// datagram after the gap, nowhere else, and the lost count covers exactly
// the datagrams missing: in "RAW", where only the kernel's drop count
// tells, and in "OPV", where the sequence does.
TEST_F(CollectorNetTest, DatagramsTheKernelDropsAreBreaksAtTheirPlaceAndCountAsLost)
{
    constexpr std::uint32_t kPayload = 1316;
    constexpr int kGaps = 3;
    constexpr std::uint32_t kBurst = 64; // far more than the kernel buffer holds
    for (const bool raw : {true, false}) {
        SCOPED_TRACE(raw ? "RAW" : "OPV");
        QvPropertyList props;
        props.SetProperty("Address", "127.0.0.1");
        props.SetProperty("Port", static_cast<int>(m_port), QvPropertyList::Decimal);
        props.SetProperty("PacketFormat", raw ? "RAW" : "OPV");
        props.SetProperty("PacketSize", "1320");
        props.SetProperty("FixHeader", "FALSE");
        props.SetProperty("UDCKernalBufferSize", "4096"); // 8192 in the kernel: a few datagrams
        props.SetProperty("UDCTimeout", "1000");
        HoldableCollector collector;
        collector.SetPropertyList(&props);
        ASSERT_EQ(collector.Start(), QvUdpDataCollector::kStartOk);

        std::uint32_t next = 0;
        const auto send = [&](std::uint32_t count) {
            for (std::uint32_t i = 0; i < count; ++i, ++next) {
                const std::string datagram = Opv(next * kPayload, kPayload);
                SendTo("127.0.0.1", raw ? datagram.substr(4) : datagram);
            }
        };
        // One datagram, taken in before anything else is sent: no drop.
        const auto sendTaken = [&](std::uint32_t count) {
            for (std::uint32_t i = 0; i < count; ++i) {
                ASSERT_TRUE(collector.Hold([&] { send(1); }));
                collector.Let();
            }
        };
        sendTaken(4);
        for (int gap = 0; gap < kGaps; ++gap) {
            ASSERT_TRUE(collector.Hold([&] { send(1); }));
            send(kBurst);
            collector.Let();
            sendTaken(4);
        }

        // Everything was sent; the read ends with the data timeout.
        std::vector<std::uint32_t> indices;
        std::vector<bool> breaks;
        std::string buffer(kPayload, '\0');
        for (;;) {
            int flags = -1;
            long breakAt = -1;
            const long got = collector.ReadBuffer(buffer.data(), kPayload, flags, &breakAt);
            if (got == 0 && flags == QvUdpDataCollector::kTimeout) {
                break;
            }
            ASSERT_EQ(got, static_cast<long>(kPayload));
            ASSERT_TRUE(flags == QvUdpDataCollector::kContinuous ||
                        (flags == QvUdpDataCollector::kBreak && breakAt == 0));
            std::uint32_t offset = 0; // the little-endian word at the start
            for (int i = 3; i >= 0; --i) {
                offset =
                    offset << 8 | static_cast<std::uint8_t>(buffer[static_cast<std::size_t>(i)]);
            }
            ASSERT_EQ(buffer, Opv(offset, kPayload).substr(4));
            indices.push_back(offset / kPayload);
            breaks.push_back(flags == QvUdpDataCollector::kBreak);
        }
        ASSERT_FALSE(indices.empty());
        EXPECT_EQ(indices.front(), 0u);
        EXPECT_EQ(indices.back(), next - 1);
        int gaps = 0;
        std::uint64_t missing = 0;
        for (std::size_t i = 1; i < indices.size(); ++i) {
            ASSERT_GT(indices[i], indices[i - 1]);
            const bool jump = indices[i] != indices[i - 1] + 1;
            EXPECT_EQ(breaks[i], jump) << "at datagram " << indices[i];
            gaps += jump ? 1 : 0;
            missing += indices[i] - indices[i - 1] - 1;
        }
        EXPECT_EQ(gaps, kGaps);
        EXPECT_EQ(collector.GetLostCount(), missing * kPayload);
    }
}
