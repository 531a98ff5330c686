#include "core/receive/qvchanlisten.h"
#include "core/settings/qvproplist.h"
#include "core/threads/qvmessage.h"

#include "platform/clock.h"
#include "platform/testsupport/netns_fixture.h"
#include "platform/testsupport/udp_socket.h"

#include "core/testsupport/net_test_helpers.h"

#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <functional>
#include <optional>
#include <string>
#include <thread>
#include <tuple>
#include <vector>

using nettest::Ipv4;

namespace {

constexpr int kPool = QvChanListener::kPoolPackets;

// Polls a condition the worker makes true; false when it never does.
bool Eventually(const std::function<bool()>& condition)
{
    const auto end = std::chrono::steady_clock::now() + std::chrono::seconds(10);
    while (!condition()) {
        if (std::chrono::steady_clock::now() >= end) {
            return false;
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(2));
    }
    return true;
}

// A datagram of `size` bytes whose first byte numbers it.
std::string Data(int number, std::size_t size = 100)
{
    return static_cast<char>(number) + std::string(size - 1, 'd');
}

// The sender's header and control datagrams begin with four bytes A5.
const std::string kControl(300, '\xA5');

// Records OnStreamReady; can make the worker fail to start.
class TestListener : public QvChanListener
{
public:
    ~TestListener() override { Stop(); }
    void OnStreamReady(QvPropertyList& generated) override
    {
        seen = generated.GetPropertyString().chars();
        ++calls;
    }
    void PreThreadStart(void*) override
    {
        if (failThreadStart) {
            StopThread(); // the worker never runs
        }
    }
    std::string seen;
    std::atomic<int> calls{0};
    bool failThreadStart = false;
};

// Each test in a private namespace with a manual clock: the collection period
// ends only when the test moves the clock.
class ChanListenTest : public qvtest::NetnsTest
{
protected:
    void SetUp() override
    {
        NetnsTest::SetUp();
        if (IsSkipped() || HasFatalFailure()) {
            return;
        }
        m_port = qvtest::UdpSocket().LocalPort();
        m_settings.AddProperty("Port", m_port, QvPropertyList::Decimal);
        m_sender.emplace();
        m_listener.SetPropertyList(&m_settings);
    }
    void TearDown() override
    {
        m_listener.Stop();
        m_sender.reset();
        NetnsTest::TearDown();
    }

    void Send(const std::string& datagram, const char* to = "127.0.0.1")
    {
        ASSERT_TRUE(m_sender->SendTo(to, m_port, datagram));
    }
    // Reads the collected data out: each datagram's size, or its first byte.
    std::vector<int> ReadAll(bool sizes = false)
    {
        std::vector<int> found;
        std::string buffer(70000, '\0');
        for (int n; (n = m_listener.ReadData(buffer.data(), 70000)) > 0;) {
            found.push_back(sizes ? n : buffer[0]);
        }
        return found;
    }
    void EndPeriod()
    {
        m_clock.Advance(static_cast<std::uint32_t>(m_listener.GetCollectPeriod()));
        ASSERT_TRUE(Eventually([&] { return m_listener.GetState() == QvChanListener::Done; }));
    }

    qvplat::ManualClock m_clock{5000};
    qvplat::ScopedClockOverride m_useClock{m_clock};
    nettest::DebugLogCapture m_log;
    QvPropertyList m_settings;
    std::uint16_t m_port = 0;
    std::optional<qvtest::UdpSocket> m_sender;
    TestListener m_listener;
};

} // namespace

TEST_F(ChanListenTest, PoolPacketsHoldExactlyThePacketSize)
{
    for (const auto& [setting, size] : {std::pair{"", 16384}, std::pair{"PacketSize=1500", 1500}}) {
        SCOPED_TRACE(size);
        m_settings.SetProperties(setting);
        ASSERT_EQ(m_listener.Start(), 0);
        EXPECT_EQ(m_listener.GetFreeCount(), kPool);
        Send(Data(1, static_cast<std::size_t>(size) + 1)); // dropped whole, never cut or overrun
        Send(Data(2, static_cast<std::size_t>(size)));
        ASSERT_TRUE(Eventually([&] { return m_listener.GetDataCount() == 1; }));
        EXPECT_EQ(ReadAll(true), std::vector<int>{size});
        EXPECT_EQ(m_listener.GetFreeCount(), kPool);
    }
}

TEST_F(ChanListenTest, ResolvesWithDataInArrivalOrderAndNoControlDatagrams)
{
    nettest::ScopedHostAddresses hosts({Ipv4("127.0.0.1"), Ipv4("127.0.0.2")});
    QvMessageQueue queue;
    m_listener.SetMessageQueue(&queue);
    ASSERT_EQ(m_listener.Start(), 0);
    EXPECT_EQ(m_listener.GetReaderCount(), 2);

    // Control datagrams through every pool packet first, so every buffer
    // begins with A5 when three bytes A5 (data: too short for the marker)
    // arrive.
    for (int i = 0; i < kPool; ++i) {
        Send(kControl, "127.0.0.2");
    }
    for (const std::string& datagram :
         {Data(1, 300), std::string(4, '\xA5'), std::string(3, '\xA5'), kControl, Data(3, 700)}) {
        Send(datagram, "127.0.0.2");
    }
    ASSERT_TRUE(Eventually([&] { return m_listener.GetDataCount() == 3; }));
    EXPECT_EQ(m_listener.GetFreeCount(), kPool - 3);
    EXPECT_FALSE(m_listener.IsResolved());
    EndPeriod();

    ASSERT_TRUE(m_listener.IsResolved());
    EXPECT_EQ(m_listener.seen, "INTERFACE=127.0.0.2 PACKETSIZE=700 ");
    EXPECT_EQ(m_listener.GetGeneratedProperties().GetPropertyString().chars(), m_listener.seen);
    EXPECT_EQ(m_listener.calls.load(), 1);
    ASSERT_EQ(queue.Count(), 1);
    std::unique_ptr<QvMessage> message(queue.Get());
    EXPECT_EQ(dynamic_cast<QvIntMessage&>(*message).Code(), QvIntMessage::kStreamReady);
    EXPECT_EQ(ReadAll(true), (std::vector<int>{300, 3, 700}));
}

TEST_F(ChanListenTest, PeriodWithoutDataDoesNotResolve)
{
    ASSERT_EQ(m_listener.Start(), 0);
    Send(kControl);
    ASSERT_TRUE(Eventually([&] { return m_listener.GetState() == QvChanListener::Collecting; }));
    EndPeriod();
    EXPECT_FALSE(m_listener.IsResolved());
    EXPECT_EQ(m_listener.calls.load(), 0);
}

TEST_F(ChanListenTest, FullPoolStopsReceivingUntilDataIsTaken)
{
    ASSERT_EQ(m_listener.Start(), 0);
    for (int i = 0; i < kPool + 5; ++i) {
        Send(Data(i));
    }
    ASSERT_TRUE(Eventually([&] { return m_listener.GetDataCount() == kPool; }));
    EXPECT_EQ(m_listener.GetFreeCount(), 0);

    std::string buffer(100, '\0');
    EXPECT_EQ(m_listener.ReadData(buffer.data(), 99), -1) << "too short: nothing taken";
    ASSERT_EQ(m_listener.ReadData(buffer.data(), 100), 100);
    EXPECT_EQ(buffer[0], 0);
    ASSERT_TRUE(Eventually([&] { return m_listener.GetDataCount() == kPool; }))
        << "the packet taken out receives one more";
    EndPeriod();

    std::vector<int> expected;
    for (int i = 1; i <= kPool; ++i) {
        expected.push_back(i);
    }
    EXPECT_EQ(ReadAll(), expected);
}

TEST_F(ChanListenTest, StopWhileCollectingReleasesEverything)
{
    const std::size_t before = nettest::OpenFdCount();
    QvMessageQueue queue;
    m_listener.SetMessageQueue(&queue);
    ASSERT_EQ(m_listener.Start(), 0);
    Send(Data(1));
    ASSERT_TRUE(Eventually([&] { return m_listener.GetDataCount() == 1; }));
    EXPECT_EQ(m_listener.GetState(), QvChanListener::Collecting);

    m_listener.Stop();
    EXPECT_EQ(m_listener.GetState(), QvChanListener::Idle);
    EXPECT_EQ(m_listener.GetDataCount() + m_listener.GetFreeCount(), 0);
    EXPECT_EQ(m_listener.GetReaderCount(), 0);
    EXPECT_EQ(nettest::OpenFdCount(), before);
    EXPECT_FALSE(m_listener.IsResolved());
    EXPECT_EQ(queue.Count(), 0);
}

TEST_F(ChanListenTest, ReadersPerInterfaceSetting)
{
    std::vector<std::uint32_t> many;
    for (int i = 1; i <= 70; ++i) {
        many.push_back(Ipv4(("127.0.1." + std::to_string(i)).c_str()));
    }
    const std::vector<std::uint32_t> two = {Ipv4("127.0.0.1"), Ipv4("127.0.0.2")};
    const std::tuple<std::vector<std::uint32_t>, const char*, int> cases[] = {
        {many, "Interface=any", QvChanListener::kMaxReaders},
        {two, "Interface=Default", 1},
        {two, "Interface=127.0.0.2", 1},
    };
    for (const auto& [addresses, setting, readers] : cases) {
        SCOPED_TRACE(setting);
        nettest::ScopedHostAddresses hosts(addresses);
        m_settings.SetProperties(setting);
        EXPECT_EQ(m_listener.Start(), 0);
        EXPECT_EQ(m_listener.GetReaderCount(), readers);
    }
}

TEST_F(ChanListenTest, FailedStartLeavesNoPoolAndNoReader)
{
    const std::uint32_t local = Ipv4("127.0.0.1");
    const std::tuple<std::vector<std::uint32_t>, const char*, bool, const char*> cases[] = {
        {{Ipv4("10.255.255.1")}, "", false, "No Interface Initialized"},
        {{}, "", false, "No Interfaces Detected"},
        {{local}, "PacketSize=0", false, "PacketSize 0 out of range."},
        {{local}, "PacketSize=65537", false, "PacketSize 65537 out of range."},
        {{local}, "CollectPeriod=0", false, "CollectPeriod 0 out of range."},
        {{local}, "", true, "Failed to start the channel listener thread."},
    };
    const std::size_t before = nettest::OpenFdCount();
    for (const auto& [addresses, setting, failThreadStart, logged] : cases) {
        SCOPED_TRACE(logged);
        nettest::ScopedHostAddresses hosts(addresses);
        QvPropertyList settings(m_settings);
        settings.SetProperties(setting);
        m_listener.SetPropertyList(&settings);
        m_listener.failThreadStart = failThreadStart;
        EXPECT_EQ(m_listener.Start(), -1);
        EXPECT_EQ(m_listener.GetFreeCount(), 0);
        EXPECT_EQ(m_listener.GetReaderCount(), 0);
        EXPECT_EQ(m_listener.GetState(), QvChanListener::Idle);
        EXPECT_EQ(nettest::OpenFdCount(), before);
        EXPECT_NE(m_log.Text().find(logged), std::string::npos);
    }
    m_listener.failThreadStart = false;
    m_listener.SetPropertyList(&m_settings);
    EXPECT_EQ(m_listener.Start(), 0);
    EXPECT_EQ(m_listener.GetFreeCount(), kPool);
}
