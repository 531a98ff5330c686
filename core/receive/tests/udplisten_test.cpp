#include "core/threads/qvmessage.h"
#include "core/packets/qvpacket.h"
#include "core/settings/qvproplist.h"
#include "core/receive/qvudplisten.h"

#include "platform/clock.h"
#include "platform/msgbox.h"
#include "platform/testsupport/netns_fixture.h"
#include "platform/testsupport/udp_socket.h"

#include "core/testsupport/net_test_helpers.h"

#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <cstdint>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <thread>
#include <vector>

using namespace std::chrono_literals;
using nettest::Ipv4;
using qvtest::UdpSocket;

namespace {

constexpr unsigned long kResolveBoundMs = 10000; // generous bound for a stream to resolve
constexpr auto kPromptly = 5s;                   // generous bound for "returns promptly"

std::uint16_t FreePort()
{
    UdpSocket probe;
    return probe.LocalPort();
}

void PutBe32(std::string& data, std::size_t offset, std::uint32_t value)
{
    data[offset] = static_cast<char>(value >> 24);
    data[offset + 1] = static_cast<char>(value >> 16);
    data[offset + 2] = static_cast<char>(value >> 8);
    data[offset + 3] = static_cast<char>(value);
}

// An OPV datagram: the stream byte offset of its payload, then the payload.
std::string Opv(std::uint32_t offset, std::size_t size)
{
    std::string data(size, 'v');
    PutBe32(data, 0, offset);
    return data;
}

// `count` OPV datagrams of `size` bytes continuing each other from `offset`.
std::vector<std::string> OpvRun(std::uint32_t offset, std::size_t size, int count)
{
    std::vector<std::string> run;
    for (int i = 0; i < count; ++i) {
        run.push_back(Opv(offset, size));
        offset += static_cast<std::uint32_t>(size - qvwire::kOpvHeaderLength);
    }
    return run;
}

// An OVS datagram with a 20-byte header and the given version word.
std::string Ovs(std::uint16_t number, std::size_t size, std::uint32_t version = 1)
{
    std::string data(size, 'o');
    for (std::size_t i = 0; i < 4; ++i) {
        data[i] = static_cast<char>(qvwire::kOvsMarker[i]);
    }
    PutBe32(data, 4, static_cast<std::uint32_t>(size - qvwire::kOvsHeaderLength));
    data[8] = static_cast<char>(number >> 8);
    data[9] = static_cast<char>(number);
    data[10] = 0;
    data[11] = static_cast<char>(qvwire::kOvsHeaderLength);
    PutBe32(data, 12, version);
    return data;
}

// Transport-stream-like bytes with no header of any format.
std::string Raw(std::size_t size)
{
    return std::string(size, '\x47');
}

// The sender's header packet, padded to `size` bytes.
std::string HeaderPacket(std::size_t size)
{
    std::string data(size, '\0');
    const std::string mpeg(size - qvwire::kHeaderPacketDataOffset, '\x01');
    EXPECT_EQ(QvWriteHeaderPacket(data.data(), data.size(), mpeg.data(), mpeg.size()), size);
    return data;
}

// A datagram in the 8-byte QVS layout.
std::string Qvs(std::uint16_t number, std::size_t size)
{
    std::string data(size, 'q');
    for (std::size_t i = 0; i < 4; ++i) {
        data[i] = static_cast<char>(qvwire::kQvsMarkerByte);
    }
    data[4] = static_cast<char>(number);
    data[5] = static_cast<char>(number >> 8);
    data[6] = static_cast<char>(qvwire::kQvsTypeWord);
    data[7] = 0;
    return data;
}

// One generated property as text.
std::string Found(QvUdpListen& listener, const char* name)
{
    return listener.GetGeneratedProperties().GetProperty(name).chars();
}

int CountOf(const std::string& text, const std::string& piece)
{
    int count = 0;
    for (std::size_t at = text.find(piece); at != std::string::npos;
         at = text.find(piece, at + piece.size())) {
        ++count;
    }
    return count;
}

// Every test runs in a private network namespace (loopback only) with a
// manual clock, so the 500 ms window moves only when a test moves it.
class UdpListenTest : public qvtest::NetnsTest
{
protected:
    void SetUp() override
    {
        NetnsTest::SetUp();
        if (IsSkipped() || HasFatalFailure()) {
            return;
        }
        m_port = FreePort();
        m_settings.AddProperty("Port", m_port, QvPropertyList::Decimal);
        m_sender.emplace();
    }

    void TearDown() override
    {
        m_sender.reset();
        NetnsTest::TearDown();
    }

    // Listens on a new port for the next stream.
    void NewPort()
    {
        m_port = FreePort();
        m_settings.SetProperty("Port", m_port, QvPropertyList::Decimal);
    }

    void Send(const std::string& datagram, const char* to = "127.0.0.1")
    {
        ASSERT_TRUE(m_sender->SendTo(to, m_port, datagram));
    }

    void SendAll(const std::vector<std::string>& datagrams, const char* to = "127.0.0.1")
    {
        for (const std::string& datagram : datagrams) {
            Send(datagram, to);
        }
    }

    // Waits until the listener has taken in `count` data datagrams in all.
    bool WaitForReceived(int count)
    {
        const auto end = std::chrono::steady_clock::now() + kPromptly;
        while (CountOf(m_log.Text(), "Packet received: ") < count) {
            if (std::chrono::steady_clock::now() >= end) {
                return false;
            }
            std::this_thread::sleep_for(5ms);
        }
        return true;
    }

    // Starts `listener` on the settings, sends `datagrams` and returns the
    // generated properties in text form ("" when it did not resolve).
    std::string Resolve(QvUdpListen& listener, const std::vector<std::string>& datagrams)
    {
        listener.SetPropertyList(&m_settings);
        if (listener.Start() != 0) {
            return "<start failed>";
        }
        SendAll(datagrams);
        if (listener.Wait(kResolveBoundMs) != QvUdpListen::WaitResolved) {
            return "";
        }
        return listener.GetGeneratedProperties().GetPropertyString().chars();
    }

    qvplat::ManualClock m_clock{100000};
    qvplat::ScopedClockOverride m_clockOverride{m_clock};
    nettest::DebugLogCapture m_log;
    QvPropertyList m_settings;
    std::uint16_t m_port = 0;
    std::optional<UdpSocket> m_sender;
};

// Records what OnStreamReady saw; optionally stops the listener from there.
class RecordingListener : public QvUdpListen
{
public:
    explicit RecordingListener(bool stopFromHook = false) : m_stopFromHook(stopFromHook) {}
    ~RecordingListener() override { Stop(); }

    void OnStreamReady(QvPropertyList& generated) override
    {
        {
            std::lock_guard lock(m_lock);
            ++m_calls;
            m_seen = generated.GetPropertyString().chars();
            m_thread = std::this_thread::get_id();
        }
        if (m_stopFromHook) {
            Stop();
        }
        QvUdpListen::OnStreamReady(generated);
    }

    int Calls()
    {
        std::lock_guard lock(m_lock);
        return m_calls;
    }
    std::string Seen()
    {
        std::lock_guard lock(m_lock);
        return m_seen;
    }
    std::thread::id Thread()
    {
        std::lock_guard lock(m_lock);
        return m_thread;
    }

private:
    const bool m_stopFromHook;
    std::mutex m_lock;
    int m_calls = 0;
    std::string m_seen;
    std::thread::id m_thread;
};

} // namespace

TEST(QvListenUdpReader, CountsWithinOneWindowAndForgetsAfterIt)
{
    qvplat::ManualClock clock(5000);
    qvplat::ScopedClockOverride useClock(clock);

    QvListenUdpReader reader;
    EXPECT_EQ(reader.GetLastResetTime(), 5000u);
    EXPECT_EQ(reader.GetCount(), 0);
    EXPECT_EQ(reader.GetPrevious(), nullptr);

    EXPECT_EQ(reader.CountDatagram(700), 1);
    EXPECT_EQ(reader.CountDatagram(1320), 2);
    EXPECT_EQ(reader.CountDatagram(300), 3);
    EXPECT_EQ(reader.GetLargestSize(), 1320);

    auto first = std::make_unique<QvRawPacket>(512);
    QvBasePacket* firstAddress = first.get();
    EXPECT_EQ(reader.KeepPrevious(std::move(first)), nullptr);
    EXPECT_EQ(reader.GetPrevious(), firstAddress);
    std::unique_ptr<QvBasePacket> handedBack =
        reader.KeepPrevious(std::make_unique<QvRawPacket>(512));
    EXPECT_EQ(handedBack.get(), firstAddress);

    clock.Advance(500);
    reader.WatchDog();
    EXPECT_EQ(reader.GetCount(), 3) << "exactly 500 ms is still inside the window";

    clock.Advance(1);
    reader.WatchDog();
    EXPECT_EQ(reader.GetCount(), 0);
    EXPECT_EQ(reader.GetLargestSize(), 0);
    EXPECT_EQ(reader.GetPrevious(), nullptr);
    EXPECT_EQ(reader.GetLastResetTime(), 5501u);
}

TEST(QvListenUdpReader, WindowSurvivesTheClockWrapping)
{
    qvplat::ManualClock clock(0xFFFFFF00u);
    qvplat::ScopedClockOverride useClock(clock);

    QvListenUdpReader reader;
    reader.CountDatagram(400);
    clock.Advance(400); // wraps past zero
    reader.WatchDog();
    EXPECT_EQ(reader.GetCount(), 1);
    clock.Advance(101);
    reader.WatchDog();
    EXPECT_EQ(reader.GetCount(), 0);
}

TEST_F(UdpListenTest, OpvStreamResolvesOnTheThirdDatagram)
{
    QvMessageQueue queue;
    QvUdpListen listener;
    listener.SetPropertyList(&m_settings);
    listener.SetMessageQueue(&queue);
    ASSERT_EQ(listener.Start(), 0);
    EXPECT_TRUE(listener.IsStarted());
    EXPECT_FALSE(listener.IsResolved());
    EXPECT_EQ(listener.GetReaderCount(), 1); // the namespace's only address

    const std::vector<std::string> stream = OpvRun(5000, 1320, 3);
    Send(stream[0]);
    Send(stream[1]);
    ASSERT_TRUE(WaitForReceived(2));
    EXPECT_FALSE(listener.IsResolved()) << "two datagrams do not decide";

    Send(stream[2]);
    ASSERT_EQ(listener.Wait(kResolveBoundMs), QvUdpListen::WaitResolved);
    EXPECT_TRUE(listener.IsResolved());
    EXPECT_EQ(std::string(listener.GetGeneratedProperties().GetPropertyString().chars()),
              "PACKETFORMAT=OPV PACKETSIZE=1320 INTERFACE=127.0.0.1 ");

    // The worker ends with the result; the listener counts as started until
    // it is stopped.
    EXPECT_EQ(listener.Stop(), 0);
    EXPECT_FALSE(listener.IsStarted());
    ASSERT_EQ(queue.Count(), 1);
    std::unique_ptr<QvMessage> message(queue.Get());
    auto* intMessage = dynamic_cast<QvIntMessage*>(message.get());
    ASSERT_NE(intMessage, nullptr);
    EXPECT_EQ(intMessage->Code(), QvIntMessage::kStreamReady);
    EXPECT_EQ(intMessage->Value(), 0u);

    const std::string log = m_log.Text();
    EXPECT_NE(log.find("Listening for data\n"), std::string::npos);
    EXPECT_NE(log.find("Local interfaces: 127.0.0.1 \n"), std::string::npos);
    EXPECT_EQ(CountOf(log, "Packet received: 1320\n"), 3);
    EXPECT_NE(log.find("Detected OPV\n"), std::string::npos);
}

TEST_F(UdpListenTest, DetectsThePacketFormatFromTheLastTwoDatagrams)
{
    struct Case
    {
        const char* what;
        std::vector<std::string> datagrams;
        const char* expected;
    };
    std::vector<std::string> gap = OpvRun(0, 1000, 3);
    gap[2] = Opv(5000, 1000);
    std::vector<std::string> onlyLastTwo = OpvRun(0, 1000, 3);
    onlyLastTwo[0] = Raw(1000);
    std::vector<std::string> mixedSizes = OpvRun(0, 700, 1);
    mixedSizes.push_back(Opv(696, 1320));
    mixedSizes.push_back(Opv(696 + 1316, 300));
    const Case cases[] = {
        {"OPV", OpvRun(1, 1320, 3), "PACKETFORMAT=OPV PACKETSIZE=1320"},
        {"OPV offsets wrapping", OpvRun(0xFFFFFC00u, 1320, 3), "PACKETFORMAT=OPV PACKETSIZE=1320"},
        {"OPV continuity of the last two only", onlyLastTwo, "PACKETFORMAT=OPV PACKETSIZE=1000"},
        {"OPV with a gap", gap, "PACKETFORMAT=RAW PACKETSIZE=1000"},
        {"largest size counted", mixedSizes, "PACKETFORMAT=OPV PACKETSIZE=1320"},
        {"OVS", {Ovs(7, 1344), Ovs(8, 1344), Ovs(9, 1344)}, "PACKETFORMAT=OVS PACKETSIZE=1344"},
        {"OVS decided by the last datagram",
         {Raw(600), Raw(600), Ovs(1, 600)},
         "PACKETFORMAT=OVS PACKETSIZE=600"},
        {"OVS marker with another version",
         {Ovs(1, 600, 2), Ovs(2, 600, 2), Ovs(3, 600, 2)},
         "PACKETFORMAT=RAW PACKETSIZE=600"},
        {"RAW", {Raw(1316), Raw(1316), Raw(1316)}, "PACKETFORMAT=RAW PACKETSIZE=1316"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        NewPort();
        QvUdpListen listener;
        EXPECT_EQ(Resolve(listener, c.datagrams),
                  std::string(c.expected) + " INTERFACE=127.0.0.1 ");
    }
}

TEST_F(UdpListenTest, ShortControlAndQvsDatagramsAreNeverCounted)
{
    QvUdpListen listener;
    listener.SetPropertyList(&m_settings);
    ASSERT_EQ(listener.Start(), 0);

    std::string endOfStream(qvwire::kEndOfStreamLength, '\0');
    ASSERT_EQ(QvWriteEndOfStream(endOfStream.data(), endOfStream.size()), endOfStream.size());
    const std::vector<std::string> never = {
        "",          Opv(0, 255),  Opv(251, 255), Opv(502, 255), HeaderPacket(300),
        endOfStream, Qvs(1, 1000), Qvs(2, 1000),  Qvs(3, 1000),  HeaderPacket(1400),
    };
    SendAll(never);
    const std::vector<std::string> stream = OpvRun(0, 256, 3);
    Send(stream[0]);
    Send(stream[1]);
    ASSERT_TRUE(WaitForReceived(2));
    EXPECT_FALSE(listener.IsResolved());

    Send(stream[2]);
    ASSERT_EQ(listener.Wait(kResolveBoundMs), QvUdpListen::WaitResolved);
    EXPECT_EQ(std::string(listener.GetGeneratedProperties().GetPropertyString().chars()),
              "PACKETFORMAT=OPV PACKETSIZE=256 INTERFACE=127.0.0.1 ");
    listener.Stop();
    EXPECT_EQ(CountOf(m_log.Text(), "Packet received: "), 3);
}

TEST_F(UdpListenTest, StreamOfControlPacketsNeverResolves)
{
    QvUdpListen listener;
    listener.SetPropertyList(&m_settings);
    ASSERT_EQ(listener.Start(), 0);
    SendAll({HeaderPacket(1000), HeaderPacket(1000), HeaderPacket(1000), HeaderPacket(1000)});
    EXPECT_EQ(listener.Wait(300), QvUdpListen::WaitTimedOut);
    EXPECT_FALSE(listener.IsResolved());
}

TEST_F(UdpListenTest, GivenPacketFormatIsNotDetected)
{
    m_settings.AddProperty("PacketFormat", "QVS");
    QvUdpListen listener;
    EXPECT_EQ(Resolve(listener, {Raw(900), Raw(900), Raw(900)}),
              "PACKETSIZE=900 INTERFACE=127.0.0.1 ");
    listener.Stop();
    EXPECT_EQ(m_log.Text().find("Detected"), std::string::npos);
}

TEST_F(UdpListenTest, ThreeDatagramsMustArriveWithinOneWindow)
{
    QvUdpListen listener;
    listener.SetPropertyList(&m_settings);
    ASSERT_EQ(listener.Start(), 0);

    const std::vector<std::string> stream = OpvRun(0, 1320, 5);
    Send(stream[0]);
    Send(stream[1]);
    ASSERT_TRUE(WaitForReceived(2));
    m_clock.Advance(501);
    Send(stream[2]); // starts a new count
    Send(stream[3]);
    ASSERT_TRUE(WaitForReceived(4));
    EXPECT_FALSE(listener.IsResolved());

    Send(stream[4]);
    ASSERT_EQ(listener.Wait(kResolveBoundMs), QvUdpListen::WaitResolved);
    EXPECT_EQ(Found(listener, "PacketFormat"), "OPV");
}

TEST_F(UdpListenTest, DatagramsExactly500msApartStillCount)
{
    QvUdpListen listener;
    listener.SetPropertyList(&m_settings);
    ASSERT_EQ(listener.Start(), 0);

    const std::vector<std::string> stream = OpvRun(0, 1320, 3);
    Send(stream[0]);
    Send(stream[1]);
    ASSERT_TRUE(WaitForReceived(2));
    m_clock.Advance(500);
    Send(stream[2]);
    EXPECT_EQ(listener.Wait(kResolveBoundMs), QvUdpListen::WaitResolved);
}

TEST_F(UdpListenTest, StreamReadyIsPostedOncePerResolutionAndFindingsStayUntilTheNext)
{
    QvMessageQueue queue;
    QvUdpListen listener;
    listener.SetMessageQueue(&queue);
    ASSERT_EQ(Resolve(listener, OpvRun(0, 1320, 3)),
              "PACKETFORMAT=OPV PACKETSIZE=1320 INTERFACE=127.0.0.1 ");
    // Traffic after the result changes nothing.
    SendAll(OpvRun(3948, 1320, 3));
    EXPECT_EQ(listener.Wait(0), QvUdpListen::WaitResolved);
    listener.Stop();
    EXPECT_EQ(queue.Count(), 1);

    // A new start keeps the old findings until a new result replaces them.
    ASSERT_EQ(listener.Start(), 0);
    EXPECT_FALSE(listener.IsResolved());
    EXPECT_EQ(Found(listener, "PacketSize"), "1320");
    SendAll({Raw(700), Raw(700), Raw(700)});
    ASSERT_EQ(listener.Wait(kResolveBoundMs), QvUdpListen::WaitResolved);
    EXPECT_EQ(std::string(listener.GetGeneratedProperties().GetPropertyString().chars()),
              "PACKETFORMAT=RAW PACKETSIZE=700 INTERFACE=127.0.0.1 ");
    listener.Stop();
    EXPECT_EQ(queue.Count(), 2);
    queue.Flush();

    // Without a queue nothing is posted anywhere.
    listener.SetMessageQueue(nullptr);
    NewPort();
    ASSERT_EQ(Resolve(listener, {Raw(700), Raw(700), Raw(700)}),
              "PACKETFORMAT=RAW PACKETSIZE=700 INTERFACE=127.0.0.1 ");
    listener.Stop();
    EXPECT_EQ(queue.Count(), 0);
}

TEST_F(UdpListenTest, OnStreamReadyRunsOnTheWorkerWithTheFindings)
{
    QvMessageQueue queue;
    RecordingListener listener;
    listener.SetMessageQueue(&queue);
    const std::string found = Resolve(listener, {Ovs(1, 500), Ovs(2, 500), Ovs(3, 500)});
    ASSERT_EQ(found, "PACKETFORMAT=OVS PACKETSIZE=500 INTERFACE=127.0.0.1 ");
    listener.Stop(); // the hook has returned once Stop has
    EXPECT_EQ(listener.Calls(), 1);
    EXPECT_EQ(listener.Seen(), found);
    EXPECT_NE(listener.Thread(), std::this_thread::get_id());
    EXPECT_EQ(queue.Count(), 1);
}

TEST_F(UdpListenTest, StopFromOnStreamReadyEndsTheWorkerWithoutDeadlock)
{
    RecordingListener listener(true);
    ASSERT_NE(Resolve(listener, {Raw(400), Raw(400), Raw(400)}), "");
    EXPECT_TRUE(listener.IsStarted());
    EXPECT_EQ(listener.Stop(), 0);
    EXPECT_FALSE(listener.IsStarted());
    EXPECT_EQ(listener.GetReaderCount(), 0);
    EXPECT_EQ(listener.Calls(), 1);
}

TEST_F(UdpListenTest, WaitTimesOutInWholePeriodsOnASilentStream)
{
    QvUdpListen listener;
    listener.SetPropertyList(&m_settings);
    const auto begin = std::chrono::steady_clock::now();
    EXPECT_EQ(listener.Wait(250), QvUdpListen::WaitTimedOut);
    EXPECT_LT(std::chrono::steady_clock::now() - begin, kPromptly);
    EXPECT_TRUE(listener.IsStarted()) << "Wait starts a listener that is not started";

    // Less than one period: no waiting at all.
    EXPECT_EQ(listener.Wait(50), QvUdpListen::WaitTimedOut);

    // After Stop of an unresolved listener, Wait starts it again.
    listener.Stop();
    EXPECT_FALSE(listener.IsStarted());
    EXPECT_EQ(listener.Wait(100), QvUdpListen::WaitTimedOut);
    EXPECT_TRUE(listener.IsStarted());
}

TEST_F(UdpListenTest, WaitReturnsPromptlyWhenStoppedFromAnotherThread)
{
    QvUdpListen listener;
    listener.SetPropertyList(&m_settings);
    ASSERT_EQ(listener.Start(), 0);

    // Wait restarts a stopped listener, so the stopper keeps stopping until
    // the waiter has seen a stop.
    std::atomic<bool> done{false};
    std::thread stopper([&] {
        while (!done.load()) {
            std::this_thread::sleep_for(20ms);
            listener.Stop();
        }
    });
    const auto begin = std::chrono::steady_clock::now();
    const int unlimited = listener.Wait(0);
    const auto unlimitedTook = std::chrono::steady_clock::now() - begin;
    const int limited = listener.Wait(60000);
    const auto limitedTook = std::chrono::steady_clock::now() - begin - unlimitedTook;
    done.store(true);
    stopper.join();

    EXPECT_EQ(unlimited, QvUdpListen::WaitStopped);
    EXPECT_EQ(limited, QvUdpListen::WaitStopped);
    EXPECT_LT(unlimitedTook, kPromptly);
    EXPECT_LT(limitedTook, kPromptly);
}

TEST_F(UdpListenTest, OneReaderPerHostAddressCountingEachInterfaceApart)
{
    nettest::ScopedHostAddresses hosts({Ipv4("127.0.0.1"), Ipv4("127.0.0.2")});
    QvUdpListen listener;
    listener.SetPropertyList(&m_settings);
    ASSERT_EQ(listener.Start(), 0);
    EXPECT_EQ(listener.GetReaderCount(), 2);
    EXPECT_NE(m_log.Text().find("Local interfaces: 127.0.0.1 127.0.0.2 \n"), std::string::npos);

    // Two datagrams on each interface make no three on either.
    const std::vector<std::string> stream = OpvRun(0, 1000, 3);
    Send(stream[0], "127.0.0.1");
    Send(stream[1], "127.0.0.1");
    Send(stream[0], "127.0.0.2");
    Send(stream[1], "127.0.0.2");
    ASSERT_TRUE(WaitForReceived(4));
    EXPECT_FALSE(listener.IsResolved());

    Send(stream[2], "127.0.0.2");
    ASSERT_EQ(listener.Wait(kResolveBoundMs), QvUdpListen::WaitResolved);
    EXPECT_EQ(Found(listener, "Interface"), "127.0.0.2");
}

TEST_F(UdpListenTest, AReaderThatCannotStartLeavesTheOthersListening)
{
    // The first address is not this host's, so its reader cannot bind.
    nettest::ScopedHostAddresses hosts({Ipv4("10.255.255.1"), Ipv4("127.0.0.1")});
    QvUdpListen listener;
    EXPECT_EQ(Resolve(listener, OpvRun(0, 1000, 3)),
              "PACKETFORMAT=OPV PACKETSIZE=1000 INTERFACE=127.0.0.1 ");
    EXPECT_EQ(listener.GetReaderCount(), 2);
}

TEST_F(UdpListenTest, NamedInterfaceGetsExactlyOneReaderAndAnyGetsOnePerAddress)
{
    nettest::ScopedHostAddresses hosts({Ipv4("127.0.0.1"), Ipv4("127.0.0.2")});
    QvUdpListen listener;
    listener.SetPropertyList(&m_settings);

    m_settings.AddProperty("Interface", "aNy");
    ASSERT_EQ(listener.Start(), 0);
    EXPECT_EQ(listener.GetReaderCount(), 2);

    m_settings.SetProperty("Interface", "127.0.0.2");
    ASSERT_EQ(listener.Start(), 0);
    EXPECT_EQ(listener.GetReaderCount(), 1);
    SendAll(OpvRun(0, 1000, 3), "127.0.0.2");
    ASSERT_EQ(listener.Wait(kResolveBoundMs), QvUdpListen::WaitResolved);
    EXPECT_EQ(Found(listener, "Interface"), "127.0.0.2");
}

TEST_F(UdpListenTest, AtMost64Readers)
{
    std::vector<std::uint32_t> addresses;
    for (int i = 1; i <= 70; ++i) {
        addresses.push_back(Ipv4(("127.0.1." + std::to_string(i)).c_str()));
    }
    nettest::ScopedHostAddresses hosts(addresses);
    QvUdpListen listener;
    listener.SetPropertyList(&m_settings);
    ASSERT_EQ(listener.Start(), 0);
    EXPECT_EQ(listener.GetReaderCount(), QvUdpListen::kMaxReaders);
}

TEST_F(UdpListenTest, HostWithoutAddressesFailsToStartWithoutEndingTheProcess)
{
    nettest::ScopedHostAddresses hosts({});
    QvUdpListen listener;
    listener.SetPropertyList(&m_settings);
    EXPECT_EQ(listener.Start(), -1);
    EXPECT_FALSE(listener.IsStarted());
    EXPECT_EQ(listener.GetReaderCount(), 0);
    EXPECT_EQ(listener.Wait(0), QvUdpListen::WaitStartFailed);
    EXPECT_NE(m_log.Text().find("gethostbyname() failed: "), std::string::npos);
}

TEST_F(UdpListenTest, StopRestartAndDestructionLeaveNoSocketOpen)
{
    nettest::ScopedHostAddresses hosts({Ipv4("127.0.0.1"), Ipv4("127.0.0.2")});
    const std::size_t before = nettest::OpenFdCount();
    {
        QvUdpListen listener;
        listener.SetPropertyList(&m_settings);
        ASSERT_EQ(listener.Start(), 0);
        const std::size_t listening = nettest::OpenFdCount();
        EXPECT_GE(listening, before + 2);
        ASSERT_EQ(listener.Start(), 0); // a restart replaces the readers
        EXPECT_EQ(nettest::OpenFdCount(), listening);
        listener.Stop();
        EXPECT_EQ(nettest::OpenFdCount(), before);
        EXPECT_EQ(listener.Stop(), 0); // stopping a stopped listener is harmless
        ASSERT_EQ(listener.Start(), 0);
    } // the destructor stops and joins a running listener
    EXPECT_EQ(nettest::OpenFdCount(), before);
}

TEST(UdpListenDeathTest, StartWithoutPropertyListEndsTheProcess)
{
    EXPECT_EXIT(
        {
            qvplat::SetMessageBoxHandler({}); // the default box writes to stderr
            QvUdpListen listener;
            listener.Start();
        },
        ::testing::ExitedWithCode(1), "Property list not defined\\.");
}

namespace {

// The test's namespace joined to a peer host by two links, so the host has
// two real interfaces, each with its own reader.
class UdpListenTwoHostTest : public qvtest::TwoHostTest
{
protected:
    UdpListenTwoHostTest() : TwoHostTest(2) {}

    void PeerSendsVia(std::size_t index, const char* group, std::uint16_t port,
                      const std::vector<std::string>& datagrams)
    {
        const std::string source = Link(index).peerAddress;
        Peer().Run([&] {
            UdpSocket sender(source);
            sender.SetMulticastInterface(source);
            for (const std::string& datagram : datagrams) {
                ASSERT_TRUE(sender.SendTo(group, port, datagram));
            }
        });
    }

    qvplat::ManualClock m_clock{100000};
    qvplat::ScopedClockOverride m_clockOverride{m_clock};
};

} // namespace

TEST_F(UdpListenTwoHostTest, GroupStreamResolvesOnTheInterfaceItArrivesOn)
{
    const std::uint16_t port = FreePort();
    QvPropertyList settings;
    settings.AddProperty("Address", "239.8.8.8");
    settings.AddProperty("Port", port, QvPropertyList::Decimal);
    QvUdpListen listener;
    listener.SetPropertyList(&settings);
    ASSERT_EQ(listener.Start(), 0);
    EXPECT_EQ(listener.GetReaderCount(), 2);

    PeerSendsVia(1, "239.8.8.8", port, OpvRun(0, 1320, 3));
    ASSERT_EQ(listener.Wait(kResolveBoundMs), QvUdpListen::WaitResolved);
    EXPECT_EQ(Found(listener, "Interface"), Link(1).localAddress);
    EXPECT_EQ(Found(listener, "PacketFormat"), "OPV");
}
