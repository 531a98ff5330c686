#include "core/sap/qvsap.h"
#include "core/sap/qvsappacket.h"

#include "platform/testsupport/netns_fixture.h"
#include "platform/testsupport/udp_socket.h"

#include "core/testsupport/net_test_helpers.h"

#include <gtest/gtest.h>

#include <arpa/inet.h>
#include <atomic>
#include <cerrno>
#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <cstring>
#include <memory>
#include <mutex>
#include <string>
#include <string_view>
#include <thread>
#include <vector>

using namespace std::chrono_literals;
using nettest::Ipv4;
using qvtest::UdpSocket;

namespace {

constexpr auto kArrival = 5s; // generous bound for a datagram to arrive

// One hook call as the listener saw it.
struct Heard
{
    char kind = '?'; // 'A' announcement, 'D' deletion
    unsigned firstByte = 0;
    std::string text;
    std::string name;
    std::string address;
    std::string port;
};

// Records every hook call; threaded or polled.
class RecordingListener : public QvSAPListen
{
public:
    using QvSAPListen::QvSAPListen;
    // Ends the receive thread before this object's members go.
    ~RecordingListener() override { Stop(); }

    // Runs the receive rules on hand-made bytes, without a socket.
    void Feed(std::string_view datagram) { HandleDatagram(datagram.data(), datagram.size()); }

    std::vector<Heard> Events() const
    {
        std::lock_guard<std::mutex> lock(m_lock);
        return m_events;
    }

    // Waits until `count` hook calls have been recorded; a polled listener is
    // polled meanwhile.
    bool WaitFor(std::size_t count)
    {
        const auto end = std::chrono::steady_clock::now() + kArrival;
        std::unique_lock<std::mutex> lock(m_lock);
        while (m_events.size() < count) {
            if (std::chrono::steady_clock::now() >= end) {
                return false;
            }
            if (IsThreaded()) {
                m_arrived.wait_until(lock, end);
            } else {
                lock.unlock();
                if (!Worker()) {
                    std::this_thread::sleep_for(2ms);
                }
                lock.lock();
            }
        }
        return true;
    }

protected:
    void OnAnnouncement(QvSAPPacket* packet) override { Record('A', packet); }
    void OnDeletion(QvSAPPacket* packet) override { Record('D', packet); }

private:
    void Record(char kind, QvSAPPacket* packet)
    {
        Heard heard;
        heard.kind = kind;
        heard.firstByte = packet->GetPacketData()->flags;
        heard.text = packet->GetPayload();
        heard.name = packet->GetPropA("SesSesName");
        heard.address = packet->GetPropA("Address");
        heard.port = packet->GetPropA("Port");
        std::lock_guard<std::mutex> lock(m_lock);
        m_events.push_back(heard);
        m_arrived.notify_all();
    }

    mutable std::mutex m_lock;
    std::condition_variable m_arrived;
    std::vector<Heard> m_events;
};

// An SAP header: first byte, authentication length, hash 0x1234, origin
// 127.0.0.1.
std::string Header(unsigned char first, unsigned char authLength = 0)
{
    const char bytes[8] = {
        static_cast<char>(first), static_cast<char>(authLength), 0x34, 0x12, 127, 0, 0, 1};
    return std::string(bytes, sizeof bytes);
}

const std::string kPayloadType("application/sdp\0", 16);

// An SDP text as other SAP announcers write it: CRLF line ends.
std::string StandardSdp(const char* originId = "1234")
{
    return std::string("v=0\r\no=- ") + originId +
           " 1 IN IP4 127.0.0.1\r\ns=Camera\r\nc=IN IP4 239.1.2.3\r\nt=0 0\r\n"
           "m=video 5004 RTP/AVP 33\r\n";
}

// A packet built as the sender builds its announcement.
QvSAPPacket SenderAnnouncement(const char* group, const char* port)
{
    QvSAPPacket packet;
    packet.SetPropA("SesProtoVer", "0");
    packet.SetPropA("SesOUsername", "-");
    packet.SetPropA("SesOSesID", "98765");
    packet.SetPropA("SesOVer", "0");
    packet.SetPropA("SesONetType", "IN");
    packet.SetPropA("SesOAddrType", "IP4");
    packet.SetPropA("SesOAddr", "127.0.0.1");
    packet.SetPropA("SesSesName", "clip");
    packet.SetPropA("SesSesDescript", "/media/clip.mpg");
    packet.SetPropA("SesCNetType", "IN");
    packet.SetPropA("SesCAddrType", "IP4");
    packet.SetPropA("SesCConnAddr", group);
    packet.SetPropA("SesCTTL", "64");
    packet.SetPropA("SesStartTime", "0");
    packet.SetPropA("SesStopTime", "0");
    packet.SetPropA("Mux", "m2p");
    packet.SetPropA("PacketFormat", "OPV");
    packet.SetPropA("PacketSize", "8196");
    packet.SetPropA("VidPort", port);
    packet.SetPropA("AudPort", port);
    packet.SetPropA("VidTransport", "udp");
    packet.SetPropA("AudTransport", "udp");
    packet.SetPropA("Bitrate", "1500000");
    packet.ConstructPacket();
    packet.InitAnnouncement();
    packet.SetMsgIDHash(0x4321);
    packet.SetOrigSrc(inet_addr("127.0.0.1"));
    return packet;
}

bool Decodes(std::string_view datagram, const QvSAPPacketOptions& options = {})
{
    QvSAPPacket packet(options);
    return QvSAPListen::DecodeDatagram(datagram.data(), datagram.size(), packet);
}

// A type-less SDP text of exactly `length` characters.
std::string SdpOfLength(std::size_t length)
{
    std::string text = "v=0\ns=";
    text.append(length - text.size() - 1, 'x');
    text.push_back('\n');
    return text;
}

std::uint16_t FreePort()
{
    UdpSocket probe;
    return probe.LocalPort();
}

class SapNetTest : public qvtest::NetnsTest
{
protected:
    const char* m_group = "239.7.7.7";
};

} // namespace

// ---- Defaults and options ----------------------------------------------------------

TEST(SapDefaults, CasterAimsAtTheSapGroupAndPort)
{
    QvSAPCaster caster;
    EXPECT_EQ(caster.GetAddress(), Ipv4("224.2.127.254"));
    EXPECT_EQ(caster.GetPort(), 9875u);
    EXPECT_EQ(caster.GetTTL(), 64);
}

TEST(SapDefaults, ListenerVariantsDifferInPairAndPacketSize)
{
    const QvSAPListen standard;
    EXPECT_EQ(standard.GetAddress(), Ipv4("224.2.127.254"));
    EXPECT_EQ(standard.GetPort(), 9875u);
    EXPECT_TRUE(standard.IsThreaded());
    EXPECT_FALSE(standard.IsStarted());
    EXPECT_EQ(standard.GetOptions().packet.packetSize, 1058);
    EXPECT_FALSE(QvSAPListen(false).IsThreaded());

    for (const QvSAPListenOptions& options :
         {QvSAPListenOptions::ChannelList(), QvSAPListenOptions::Monitor()}) {
        const QvSAPListen variant(options);
        EXPECT_EQ(variant.GetAddress(), Ipv4("224.2.2.4"));
        EXPECT_EQ(variant.GetPort(), 2240u);
        EXPECT_TRUE(variant.IsThreaded());
        EXPECT_EQ(variant.GetOptions().packet.packetSize, 1032);
    }
    EXPECT_FALSE(QvSAPListenOptions::Monitor().packet.writeBitrateLine);
}

// ---- Receive rules, without sockets --------------------------------------------------

TEST(SapReceiveRules, MessageTypeSelectsTheHookAndTheReservedBitIsIgnored)
{
    RecordingListener listener(false);
    const std::string text = "v=0\ns=one\n";
    listener.Feed(Header(0x20) + text + '\0');
    listener.Feed(Header(0x24) + text + '\0');
    listener.Feed(Header(0x28) + text + '\0'); // reserved bit: still an announcement
    listener.Feed(Header(0x2C) + text + '\0'); // reserved bit: still a deletion
    listener.Feed(Header(0x40) + text + '\0'); // version is not examined

    const std::vector<Heard> heard = listener.Events();
    ASSERT_EQ(heard.size(), 5u);
    EXPECT_EQ(
        std::string({heard[0].kind, heard[1].kind, heard[2].kind, heard[3].kind, heard[4].kind}),
        "ADADA");
    EXPECT_EQ(heard[0].text, text);
    EXPECT_EQ(heard[0].name, "one");
    EXPECT_EQ(heard[3].firstByte, 0x2Cu);
}

TEST(SapReceiveRules, StandardPayloadTypeAndCrlfAreRead)
{
    RecordingListener listener(false);
    listener.Feed(Header(0x20) + kPayloadType + StandardSdp());
    listener.Feed(Header(0x20) + "APPLICATION/SDP" + std::string(1, '\0') + StandardSdp());

    const std::vector<Heard> heard = listener.Events();
    ASSERT_EQ(heard.size(), 2u);
    EXPECT_EQ(heard[0].text.find('\r'), std::string::npos);
    EXPECT_EQ(heard[0].text.rfind("v=0\no=- 1234 ", 0), 0u);
    EXPECT_EQ(heard[0].name, "Camera");
    EXPECT_EQ(heard[0].address, "239.1.2.3");
    EXPECT_EQ(heard[0].port, "5004");
    EXPECT_EQ(heard[1].text, heard[0].text);
}

TEST(SapReceiveRules, OriginOnlyDeletionNamesTheAnnouncedSession)
{
    RecordingListener listener(false);
    listener.Feed(Header(0x20) + kPayloadType + StandardSdp());
    listener.Feed(Header(0x24) + "o=- 1234 1 IN IP4 127.0.0.1\r\n");
    listener.Feed(Header(0x24) + kPayloadType + "o=- 1234 1 IN IP4 127.0.0.1");

    const std::vector<Heard> heard = listener.Events();
    ASSERT_EQ(heard.size(), 3u);
    EXPECT_EQ(heard[1].kind, 'D');
    EXPECT_EQ(heard[2].kind, 'D');
    const UtCString announced = QvSAPListen::FindOriginLine(heard[0].text.c_str());
    EXPECT_STREQ(announced.chars(), "- 1234 1 IN IP4 127.0.0.1");
    EXPECT_STREQ(QvSAPListen::FindOriginLine(heard[1].text.c_str()).chars(), announced.chars());
    EXPECT_STREQ(QvSAPListen::FindOriginLine(heard[2].text.c_str()).chars(), announced.chars());
}

TEST(SapReceiveRules, FindOriginLineTakesTheFirstOriginLineAnywhere)
{
    EXPECT_STREQ(QvSAPListen::FindOriginLine("o=a b\nv=0\n").chars(), "a b");
    EXPECT_STREQ(QvSAPListen::FindOriginLine("v=0\no=x 1\no=y 2\n").chars(), "x 1");
    EXPECT_STREQ(QvSAPListen::FindOriginLine("v=0\r\no=x 1\r\n").chars(), "x 1");
    EXPECT_STREQ(QvSAPListen::FindOriginLine("v=0\ns=no=origin\n").chars(), "");
    EXPECT_STREQ(QvSAPListen::FindOriginLine("").chars(), "");
    EXPECT_STREQ(QvSAPListen::FindOriginLine(nullptr).chars(), "");
}

TEST(SapReceiveRules, MalformedDatagramsAreRefused)
{
    const std::string text = "v=0\ns=bad\n";
    EXPECT_TRUE(Decodes(Header(0x20) + text));
    EXPECT_FALSE(Decodes(""));
    EXPECT_FALSE(Decodes(Header(0x20).substr(0, 7)));
    EXPECT_FALSE(Decodes(Header(0x20)));                               // no payload
    EXPECT_FALSE(Decodes(Header(0x20) + '\0'));                        // empty text
    EXPECT_FALSE(Decodes(Header(0x20) + kPayloadType));                // type, no text
    EXPECT_FALSE(Decodes(Header(0x22) + text));                        // encrypted
    EXPECT_FALSE(Decodes(Header(0x21) + text));                        // compressed
    EXPECT_FALSE(Decodes(Header(0x20, 1) + "abcd" + text));            // authenticated
    EXPECT_FALSE(Decodes(Header(0x30) + std::string(12, 'z') + text)); // IPv6 origin
    EXPECT_FALSE(Decodes(Header(0x20) + std::string("text/plain\0", 11) + text));
    EXPECT_FALSE(Decodes(Header(0x20) + "hello, world")); // neither type nor SDP
}

TEST(SapReceiveRules, TextMustFitThePacketWhole)
{
    const QvSAPPacketOptions compact = QvSAPPacketOptions::ChannelList();
    EXPECT_TRUE(Decodes(Header(0x20) + SdpOfLength(1049)));
    EXPECT_FALSE(Decodes(Header(0x20) + SdpOfLength(1050)));
    EXPECT_TRUE(Decodes(Header(0x20) + SdpOfLength(1023), compact));
    EXPECT_FALSE(Decodes(Header(0x20) + SdpOfLength(1024), compact));

    // The text ends at its NUL: bytes behind it do not count.
    EXPECT_TRUE(Decodes(Header(0x20) + SdpOfLength(100) + '\0' + std::string(2000, 'p')));
    // CRLF line ends are measured after they became LF.
    std::string crlf = SdpOfLength(1049);
    crlf.insert(3, "\r");
    EXPECT_TRUE(Decodes(Header(0x20) + crlf));

    QvSAPPacket packet;
    const std::string whole = Header(0x20) + SdpOfLength(1049);
    ASSERT_TRUE(QvSAPListen::DecodeDatagram(whole.data(), whole.size(), packet));
    EXPECT_EQ(std::strlen(packet.GetPayload()), 1049u);
    EXPECT_EQ(packet.GetMsgIDHash(), 0x1234u);
    EXPECT_EQ(packet.GetOrigSrc(), inet_addr("127.0.0.1"));
}

TEST(SapReceiveRules, RefusedDatagramLeavesThePacketAlone)
{
    QvSAPPacket packet;
    packet.SetSdpText("v=0\ns=kept\n");
    const std::string bad = Header(0x21) + "v=0\ns=other\n";
    EXPECT_FALSE(QvSAPListen::DecodeDatagram(bad.data(), bad.size(), packet));
    EXPECT_STREQ(packet.GetPropA("SesSesName"), "kept");
}

// ---- Caster ------------------------------------------------------------------------

TEST(SapCaster, SendRequiresAStartedCasterAndAPacket)
{
    QvSAPCaster caster;
    QvSAPPacket packet;
    EXPECT_EQ(caster.Send(&packet), -1);
    EXPECT_EQ(caster.Send(static_cast<QvSAPPacket*>(nullptr)), -1);
}

TEST_F(SapNetTest, CasterSendsHeaderPayloadTypeTextAndOneNul)
{
    UdpSocket receiver("127.0.0.1");
    QvSAPCaster caster;
    caster.SetAddress(Ipv4("127.0.0.1"), receiver.LocalPort());
    ASSERT_EQ(caster.Start(), 0);

    QvSAPPacket empty;
    empty.InitAnnouncement();
    EXPECT_EQ(caster.Send(&empty), 25);
    auto datagram = receiver.Receive(kArrival);
    ASSERT_TRUE(datagram);
    EXPECT_EQ(datagram->payload.size(), 25u);
    EXPECT_EQ(static_cast<unsigned char>(datagram->payload[0]), 0x20);
    EXPECT_EQ(datagram->payload.substr(8), kPayloadType + '\0');

    // A parsed packet goes out with its text rebuilt from the properties.
    QvSAPPacket parsed;
    parsed.SetSdpText("v=0\ns=short\n");
    parsed.InitDeletion();
    const std::string longName(300, 'n');
    parsed.SetPropA("SesSesName", longName.c_str());
    const int sent = caster.Send(&parsed);
    datagram = receiver.Receive(kArrival);
    ASSERT_TRUE(datagram);
    const std::string expected = std::string("v=0\ns=") + longName + "\n";
    EXPECT_EQ(sent, static_cast<int>(8 + kPayloadType.size() + expected.size() + 1));
    EXPECT_EQ(static_cast<unsigned char>(datagram->payload[0]), 0x24);
    EXPECT_EQ(datagram->payload.substr(8), kPayloadType + expected + '\0');
}

// ---- Listener over loopback --------------------------------------------------------

class SapListenerLoopTest : public SapNetTest, public ::testing::WithParamInterface<bool>
{
};

TEST_P(SapListenerLoopTest, CasterAnnouncementAndDeletionReachTheHooks)
{
    const std::uint16_t port = FreePort();
    RecordingListener listener(GetParam());
    listener.SetAddress(Ipv4(m_group), port);
    ASSERT_EQ(listener.Start(), 0);
    EXPECT_TRUE(listener.IsStarted());

    QvSAPCaster caster;
    caster.SetAddress(Ipv4(m_group), port);
    ASSERT_EQ(caster.Start(), 0);
    QvSAPPacket packet = SenderAnnouncement(m_group, "5006");
    ASSERT_GT(caster.Send(&packet), 0);
    packet.InitDeletion();
    ASSERT_GT(caster.Send(&packet), 0);

    ASSERT_TRUE(listener.WaitFor(2));
    const std::vector<Heard> heard = listener.Events();
    ASSERT_EQ(heard.size(), 2u);
    EXPECT_EQ(heard[0].kind, 'A');
    EXPECT_EQ(heard[0].firstByte, 0x20u);
    EXPECT_EQ(heard[0].name, "clip");
    EXPECT_EQ(heard[0].address, m_group);
    EXPECT_EQ(heard[0].port, "5006");
    EXPECT_EQ(heard[1].kind, 'D');
    EXPECT_EQ(heard[1].firstByte, 0x24u);
    EXPECT_EQ(heard[1].text, heard[0].text);
    EXPECT_EQ(listener.Stop(), 0);
    EXPECT_FALSE(listener.IsStarted());
}

TEST_P(SapListenerLoopTest, MalformedDatagramsReachNoHookAndTheNextGoodOneArrives)
{
    nettest::DebugLogCapture log;
    const std::uint16_t port = FreePort();
    RecordingListener listener(GetParam());
    listener.SetAddress(Ipv4(m_group), port);
    ASSERT_EQ(listener.Start(), 0);

    const std::string text = "v=0\ns=bad\n";
    const std::vector<std::string> malformed = {
        "",
        "\x20\x00",
        Header(0x20),
        Header(0x20) + '\0',
        Header(0x22) + text,
        Header(0x21) + text,
        Header(0x20, 2) + "12345678" + text,
        Header(0x20) + std::string("image/gif\0GIF89a", 16),
        Header(0x20) + SdpOfLength(1500),
        Header(0x20) + std::string(QvSAPListen::receiveLimit + 100, 'v'),
    };
    UdpSocket sender;
    for (const std::string& datagram : malformed) {
        ASSERT_TRUE(sender.SendTo(m_group, port, datagram));
    }
    ASSERT_TRUE(sender.SendTo(m_group, port, Header(0x20) + kPayloadType + StandardSdp()));

    ASSERT_TRUE(listener.WaitFor(1));
    const std::vector<Heard> heard = listener.Events();
    ASSERT_EQ(heard.size(), 1u);
    EXPECT_EQ(heard[0].name, "Camera");
    EXPECT_TRUE(listener.IsStarted());
    EXPECT_NE(log.Text().find("SAP Receive() failed: " + std::to_string(EMSGSIZE)),
              std::string::npos);
}

TEST_P(SapListenerLoopTest, StandardDatagramsOverTheWire)
{
    const std::uint16_t port = FreePort();
    RecordingListener listener(GetParam());
    listener.SetAddress(Ipv4(m_group), port);
    ASSERT_EQ(listener.Start(), 0);

    UdpSocket sender;
    ASSERT_TRUE(sender.SendTo(m_group, port, Header(0x28) + kPayloadType + StandardSdp("77")));
    ASSERT_TRUE(sender.SendTo(m_group, port, Header(0x24) + "o=- 77 1 IN IP4 127.0.0.1\r\n"));
    ASSERT_TRUE(listener.WaitFor(2));
    const std::vector<Heard> heard = listener.Events();
    EXPECT_EQ(heard[0].kind, 'A');
    EXPECT_EQ(heard[0].address, "239.1.2.3");
    EXPECT_EQ(heard[1].kind, 'D');
    EXPECT_STREQ(QvSAPListen::FindOriginLine(heard[1].text.c_str()).chars(),
                 QvSAPListen::FindOriginLine(heard[0].text.c_str()).chars());
}

INSTANTIATE_TEST_SUITE_P(ThreadedAndPolled, SapListenerLoopTest, ::testing::Bool(),
                         [](const ::testing::TestParamInfo<bool>& param) {
                             return param.param ? "Threaded" : "Polled";
                         });

TEST_F(SapNetTest, DefaultCasterReachesDefaultListener)
{
    RecordingListener listener;
    ASSERT_EQ(listener.Start(), 0);
    QvSAPCaster caster;
    ASSERT_EQ(caster.Start(), 0);
    QvSAPPacket packet = SenderAnnouncement(m_group, "5008");
    ASSERT_GT(caster.Send(&packet), 0);
    ASSERT_TRUE(listener.WaitFor(1));
    EXPECT_EQ(listener.Events()[0].port, "5008");
}

// ---- Start and stop ----------------------------------------------------------------

TEST_F(SapNetTest, ReaderFailureGivesMinusTwoAndRestartWorks)
{
    RecordingListener listener;
    listener.SetAddress(Ipv4(m_group), 0); // port 0 is refused by the reader
    EXPECT_EQ(listener.Start(), -2);
    EXPECT_FALSE(listener.IsStarted());
    EXPECT_EQ(listener.Stop(), 0);

    const std::uint16_t port = FreePort();
    listener.SetAddress(Ipv4(m_group), port);
    ASSERT_EQ(listener.Start(), 0);
    ASSERT_EQ(listener.Start(), 0); // a started listener restarts
    ASSERT_EQ(listener.Stop(), 0);
    EXPECT_FALSE(listener.IsThreadAlive());
    ASSERT_EQ(listener.Start(), 0);

    UdpSocket sender;
    ASSERT_TRUE(sender.SendTo(m_group, port, Header(0x20) + "v=0\ns=again\n"));
    ASSERT_TRUE(listener.WaitFor(1));
    EXPECT_EQ(listener.Events()[0].name, "again");
}

TEST_F(SapNetTest, ConcurrentStartsAndStopsLeaveOneConsistentState)
{
    const std::uint16_t port = FreePort();
    RecordingListener listener;
    listener.SetAddress(Ipv4(m_group), port);
    std::vector<std::thread> threads;
    std::atomic<int> failures{0};
    for (int t = 0; t < 4; ++t) {
        threads.emplace_back([&] {
            for (int i = 0; i < 15; ++i) {
                if (listener.Start() != 0) {
                    ++failures;
                }
                listener.Stop();
            }
        });
    }
    for (std::thread& thread : threads) {
        thread.join();
    }
    EXPECT_EQ(failures.load(), 0);
    EXPECT_FALSE(listener.IsStarted());
    EXPECT_FALSE(listener.IsThreadAlive());
    EXPECT_EQ(listener.GetHandle(), QV_INVALID_SOCKET);
}

namespace {

// Stops itself from its announcement hook.
class SelfStoppingListener : public RecordingListener
{
public:
    SelfStoppingListener() : RecordingListener(true) {}

protected:
    void OnAnnouncement(QvSAPPacket* packet) override
    {
        RecordingListener::OnAnnouncement(packet);
        stopResult = Stop();
        restartResult = Start();
    }

public:
    std::atomic<int> stopResult{99};
    std::atomic<int> restartResult{99};
};

} // namespace

TEST_F(SapNetTest, StopFromTheOwnHookEndsTheLoopWithoutDeadlock)
{
    const std::uint16_t port = FreePort();
    SelfStoppingListener listener;
    listener.SetAddress(Ipv4(m_group), port);
    ASSERT_EQ(listener.Start(), 0);
    UdpSocket sender;
    ASSERT_TRUE(sender.SendTo(m_group, port, Header(0x20) + "v=0\ns=stop\n"));
    ASSERT_TRUE(listener.WaitFor(1));

    const auto end = std::chrono::steady_clock::now() + kArrival;
    while (listener.IsThreadAlive() && std::chrono::steady_clock::now() < end) {
        std::this_thread::sleep_for(5ms);
    }
    EXPECT_FALSE(listener.IsThreadAlive());
    EXPECT_EQ(listener.stopResult.load(), 0);
    EXPECT_EQ(listener.restartResult.load(), -1);
    EXPECT_EQ(listener.Stop(), 0);
    EXPECT_FALSE(listener.IsStarted());
    EXPECT_EQ(listener.GetHandle(), QV_INVALID_SOCKET);
}

TEST_F(SapNetTest, DestroyingAStartedListenerJoinsItsThread)
{
    for (int i = 0; i < 5; ++i) {
        auto listener = std::make_unique<RecordingListener>();
        listener->SetAddress(Ipv4(m_group), FreePort());
        ASSERT_EQ(listener->Start(), 0);
        listener.reset();
    }
    QvSAPListen plain;
    plain.SetAddress(Ipv4(m_group), FreePort());
    ASSERT_EQ(plain.Start(), 0);
}
