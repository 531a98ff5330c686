#include "core/settings/qvproplist.h"
#include "core/net/qvudpreader.h"

#include "platform/testsupport/netns_fixture.h"
#include "platform/testsupport/udp_socket.h"

#include "core/testsupport/net_test_helpers.h"

#include <gtest/gtest.h>

#include <arpa/inet.h>
#include <chrono>
#include <cstdint>
#include <netinet/in.h>
#include <string>
#include <sys/socket.h>
#include <thread>
#include <unistd.h>

using namespace std::chrono_literals;
using nettest::Ipv4;
using nettest::OpenFdCount;
using qvtest::UdpSocket;

namespace {

constexpr auto kArrival = 5s;   // generous bound for a datagram to arrive
constexpr auto kSilence = 200ms; // how long "nothing more arrives" is watched

// A port nobody in this namespace uses.
std::uint16_t FreePort()
{
    UdpSocket probe;
    return probe.LocalPort();
}

// Polls IsReady until a datagram waits or the bound passes.
bool WaitReady(QvUdpReader& reader, std::chrono::milliseconds bound = kArrival)
{
    const auto end = std::chrono::steady_clock::now() + bound;
    while (!reader.IsReady()) {
        if (std::chrono::steady_clock::now() >= end) {
            return false;
        }
        std::this_thread::sleep_for(5ms);
    }
    return true;
}

// The next datagram as text, or "<none>" / "<error>".
std::string NextText(QvUdpReader& reader, int bufferSize = 2048)
{
    if (!WaitReady(reader)) {
        return "<none>";
    }
    std::string buffer(static_cast<std::size_t>(bufferSize), '\0');
    const int received = reader.Receive(buffer.data(), bufferSize);
    if (received < 0) {
        return "<error>";
    }
    buffer.resize(static_cast<std::size_t>(received));
    return buffer;
}

bool StaysQuiet(QvUdpReader& reader)
{
    return !WaitReady(reader, kSilence);
}

sockaddr_in Bound(const QvUdpReader& reader)
{
    return nettest::BoundAddress(reader.GetHandle());
}

std::string BoundText(const QvUdpReader& reader)
{
    const sockaddr_in address = Bound(reader);
    return nettest::Dotted(address.sin_addr.s_addr) + ":" + std::to_string(ntohs(address.sin_port));
}

std::string Endpoint(const char* address, unsigned int port)
{
    return std::string(address) + ":" + std::to_string(port);
}

std::string SdpText(const char* group, unsigned int port)
{
    return "v=0\n"
           "o=- 1 1 IN IP4 10.0.0.1\n"
           "s=Test stream\n"
           "c=IN IP4 " +
           std::string(group) +
           "/127\n"
           "t=0 0\n"
           "m=video " +
           std::to_string(port) + " UDP 0\n";
}

// Each test runs in a private network namespace: loopback up, multicast
// routed through it, and no other interface.
class UdpReaderTest : public qvtest::NetnsTest
{
protected:
    QvPropertyList m_settings;
};

// A test namespace joined to a peer "host" by two veth pairs.
class UdpReaderTwoHostTest : public qvtest::TwoHostTest
{
protected:
    UdpReaderTwoHostTest() : TwoHostTest(2) {}

    QvPropertyList m_settings;

    // Sends one datagram from the peer to group:port out of link `index`.
    void PeerSendsVia(std::size_t index, const char* group, std::uint16_t port,
                      const std::string& payload)
    {
        const std::string source = Link(index).peerAddress;
        Peer().Run([&] {
            UdpSocket sender(source);
            sender.SetMulticastInterface(source);
            ASSERT_TRUE(sender.SendTo(group, port, payload));
        });
    }
};

} // namespace

TEST(QvUdpReader, DefaultsAndStoppedBehaviour)
{
    QvUdpReader reader;
    EXPECT_EQ(reader.GetAddress(), Ipv4("225.1.1.1"));
    EXPECT_EQ(reader.GetPort(), 2001u);
    EXPECT_EQ(reader.GetInterface(), 0u);

    nettest::DebugLogCapture log;
    char buffer[16];
    EXPECT_EQ(reader.Receive(buffer, sizeof(buffer)), -1);
    EXPECT_FALSE(reader.IsReady());
    EXPECT_EQ(reader.Stop(), 0);
    EXPECT_EQ(log.Text(), "");
}

TEST_F(UdpReaderTest, WithoutSettingsJoinsTheDefaultGroupAndPort)
{
    QvUdpReader reader;
    ASSERT_EQ(reader.Start(), 0);
    EXPECT_EQ(BoundText(reader), "225.1.1.1:2001");
    EXPECT_EQ(nettest::IntOption(reader.GetHandle(), IPPROTO_IP, IP_MULTICAST_ALL), 0);

    UdpSocket sender;
    ASSERT_TRUE(sender.SendTo("225.1.1.1", 2001, "hello group"));
    EXPECT_EQ(NextText(reader), "hello group");
}

TEST_F(UdpReaderTest, PortAloneReceivesUnicastOnAllInterfaces)
{
    const std::uint16_t port = FreePort();
    m_settings.AddProperty("Port", static_cast<int>(port), QvPropertyList::Decimal);
    QvUdpReader reader;
    reader.SetPropertyList(&m_settings);
    ASSERT_EQ(reader.Start(), 0);
    EXPECT_EQ(reader.GetAddress(), 0u);
    EXPECT_EQ(reader.GetPort(), port);
    EXPECT_EQ(BoundText(reader), Endpoint("0.0.0.0", port));

    UdpSocket sender;
    ASSERT_TRUE(sender.SendTo("127.0.0.1", port, "by unicast"));
    EXPECT_EQ(NextText(reader), "by unicast");
}

TEST_F(UdpReaderTest, SetAddressSelectsTheGroup)
{
    const std::uint16_t port = FreePort();
    QvUdpReader reader;
    reader.SetAddress(Ipv4("239.1.2.3"), port);
    ASSERT_EQ(reader.Start(), 0);
    EXPECT_EQ(BoundText(reader), Endpoint("239.1.2.3", port));

    UdpSocket sender;
    ASSERT_TRUE(sender.SendTo("239.1.2.4", port, "other group"));
    ASSERT_TRUE(sender.SendTo("239.1.2.3", port, "our group"));
    EXPECT_EQ(NextText(reader), "our group");
    EXPECT_TRUE(StaysQuiet(reader));
}

TEST_F(UdpReaderTest, SdpTextGivesGroupAndPort)
{
    const std::uint16_t port = FreePort();
    m_settings.AddProperty("SDP", SdpText("239.1.2.3", port).c_str());
    QvUdpReader reader;
    reader.SetPropertyList(&m_settings);
    ASSERT_EQ(reader.Start(), 0);
    EXPECT_EQ(reader.GetAddress(), Ipv4("239.1.2.3"));
    EXPECT_EQ(reader.GetPort(), port);

    UdpSocket sender;
    ASSERT_TRUE(sender.SendTo("239.1.2.3", port, "announced"));
    EXPECT_EQ(NextText(reader), "announced");
}

TEST_F(UdpReaderTest, ExplicitPortOverridesTheSdpText)
{
    const std::uint16_t sdpPort = FreePort();
    std::uint16_t port = FreePort();
    while (port == sdpPort) {
        port = FreePort();
    }
    m_settings.AddProperty("SDP", SdpText("239.1.2.3", sdpPort).c_str());
    m_settings.AddProperty("Port", static_cast<int>(port), QvPropertyList::Decimal);
    QvUdpReader reader;
    reader.SetPropertyList(&m_settings);

    // Port without Address: any address, no group.
    ASSERT_EQ(reader.Start(), 0);
    EXPECT_EQ(reader.GetAddress(), 0u);
    EXPECT_EQ(reader.GetPort(), port);
    EXPECT_EQ(BoundText(reader), Endpoint("0.0.0.0", port));
    UdpSocket sender;
    ASSERT_TRUE(sender.SendTo("239.1.2.3", sdpPort, "announced group"));
    ASSERT_TRUE(sender.SendTo("127.0.0.1", port, "direct"));
    EXPECT_EQ(NextText(reader), "direct");
    EXPECT_TRUE(StaysQuiet(reader));

    // Port with Address: that group.
    m_settings.AddProperty("Address", "239.5.6.7");
    ASSERT_EQ(reader.Start(), 0);
    EXPECT_EQ(reader.GetAddress(), Ipv4("239.5.6.7"));
    EXPECT_EQ(BoundText(reader), Endpoint("239.5.6.7", port));
    ASSERT_TRUE(sender.SendTo("239.5.6.7", port, "explicit group"));
    EXPECT_EQ(NextText(reader), "explicit group");
}

TEST_F(UdpReaderTest, InterfaceSettingBindsAndAnyLeavesTheInterfaceAlone)
{
    const std::uint16_t port = FreePort();
    QvUdpReader reader;
    reader.SetPropertyList(&m_settings);
    reader.SetAddress(0, port);

    m_settings.AddProperty("Interface", "aNy");
    ASSERT_EQ(reader.Start(), 0);
    EXPECT_EQ(reader.GetInterface(), 0u);
    EXPECT_EQ(BoundText(reader), Endpoint("0.0.0.0", port));

    m_settings.SetProperty("Interface", "127.0.0.1");
    ASSERT_EQ(reader.Start(), 0);
    EXPECT_EQ(reader.GetInterface(), Ipv4("127.0.0.1"));
    EXPECT_EQ(BoundText(reader), Endpoint("127.0.0.1", port));
    UdpSocket sender;
    ASSERT_TRUE(sender.SendTo("127.0.0.1", port, "on the interface"));
    EXPECT_EQ(NextText(reader), "on the interface");

    // "ANY" keeps what a setter (or the last Start) gave.
    m_settings.SetProperty("Interface", "ANY");
    ASSERT_EQ(reader.Start(), 0);
    EXPECT_EQ(reader.GetInterface(), Ipv4("127.0.0.1"));
}

TEST_F(UdpReaderTest, UnicastSwitchOverridesTheAddressRange)
{
    const std::uint16_t port = FreePort();
    m_settings.AddProperty("Port", static_cast<int>(port), QvPropertyList::Decimal);
    m_settings.AddProperty("Address", "239.1.2.3");
    m_settings.AddProperty("Unicast", "yes");
    QvUdpReader reader;
    reader.SetPropertyList(&m_settings);
    ASSERT_EQ(reader.Start(), 0);
    // Bound to the (any) interface, not joined.
    EXPECT_EQ(BoundText(reader), Endpoint("0.0.0.0", port));
    UdpSocket sender;
    ASSERT_TRUE(sender.SendTo("239.1.2.3", port, "group"));
    ASSERT_TRUE(sender.SendTo("127.0.0.1", port, "unicast"));
    EXPECT_EQ(NextText(reader), "unicast");
    EXPECT_TRUE(StaysQuiet(reader));
}

TEST_F(UdpReaderTest, AddressesFrom240UpCountAsGroupsAndTheJoinFails)
{
    nettest::DebugLogCapture log;
    m_settings.AddProperty("Port", static_cast<int>(FreePort()), QvPropertyList::Decimal);
    m_settings.AddProperty("Address", "240.0.0.1");
    QvUdpReader reader;
    reader.SetPropertyList(&m_settings);
    EXPECT_EQ(reader.Start(), 1);
    EXPECT_NE(log.Text().find("join multicast group failed: 22\n"), std::string::npos);
}

TEST_F(UdpReaderTest, EmptyDatagramDoesNotWedgeReadiness)
{
    const std::uint16_t port = FreePort();
    QvUdpReader reader;
    reader.SetAddress(Ipv4("239.1.2.3"), port);
    ASSERT_EQ(reader.Start(), 0);
    EXPECT_FALSE(reader.IsReady());

    UdpSocket sender;
    ASSERT_TRUE(sender.SendTo("239.1.2.3", port, ""));
    ASSERT_TRUE(sender.SendTo("239.1.2.3", port, "after the empty one"));
    ASSERT_TRUE(WaitReady(reader));
    char buffer[64];
    EXPECT_EQ(reader.Receive(buffer, sizeof(buffer)), 0);
    EXPECT_EQ(NextText(reader), "after the empty one");
    EXPECT_FALSE(reader.IsReady());
}

TEST_F(UdpReaderTest, OversizedDatagramIsDroppedAndTheNextArrives)
{
    nettest::DebugLogCapture log;
    const std::uint16_t port = FreePort();
    QvUdpReader reader;
    reader.SetAddress(Ipv4("239.1.2.3"), port);
    ASSERT_EQ(reader.Start(), 0);

    UdpSocket sender;
    ASSERT_TRUE(sender.SendTo("239.1.2.3", port, std::string(3000, 'x')));
    ASSERT_TRUE(sender.SendTo("239.1.2.3", port, "fits"));
    ASSERT_TRUE(WaitReady(reader));
    char buffer[1024];
    EXPECT_EQ(reader.Receive(buffer, sizeof(buffer)), -1);
    EXPECT_EQ(QvUdpReader::GetLastError(), QV_EMSGSIZE);
    EXPECT_NE(log.Text().find("QvUdpReader::Receive error = " + std::to_string(QV_EMSGSIZE)),
              std::string::npos);
    EXPECT_EQ(NextText(reader, 1024), "fits");
}

TEST_F(UdpReaderTest, TwoReadersOfOneGroupAndPortBothReceive)
{
    const std::uint16_t port = FreePort();
    QvUdpReader first;
    QvUdpReader second;
    first.SetAddress(Ipv4("239.9.9.9"), port);
    second.SetAddress(Ipv4("239.9.9.9"), port);
    ASSERT_EQ(first.Start(), 0);
    ASSERT_EQ(second.Start(), 0);

    UdpSocket sender;
    ASSERT_TRUE(sender.SendTo("239.9.9.9", port, "to both"));
    EXPECT_EQ(NextText(first), "to both");
    EXPECT_EQ(NextText(second), "to both");
}

TEST_F(UdpReaderTest, ReceiveBufferSizeIsApplied)
{
    QvUdpReader reader;
    reader.SetAddress(0, FreePort());
    reader.SetBufferSize(8192);
    ASSERT_EQ(reader.Start(), 0);
    // Linux reports twice the size asked for (its bookkeeping share).
    EXPECT_EQ(nettest::IntOption(reader.GetHandle(), SOL_SOCKET, SO_RCVBUF), 2 * 8192);
}

TEST_F(UdpReaderTest, RestartAndStopCloseTheSocket)
{
    const std::size_t before = OpenFdCount();
    {
        QvUdpReader reader;
        reader.SetAddress(Ipv4("239.1.2.3"), FreePort());
        ASSERT_EQ(reader.Start(), 0);
        ASSERT_EQ(reader.Start(), 0);
        EXPECT_EQ(OpenFdCount(), before + 1);
        EXPECT_EQ(reader.Stop(), 0);
        EXPECT_EQ(reader.GetHandle(), QV_INVALID_SOCKET);
        EXPECT_EQ(OpenFdCount(), before);
        ASSERT_EQ(reader.Start(), 0);
    }
    EXPECT_EQ(OpenFdCount(), before);
}

// Each failing step of Start gives 1, logs its line and leaves no socket open;
// the reader starts afterwards once the settings are good.
TEST_F(UdpReaderTest, FailingStartStepsCloseTheirSocket)
{
    nettest::DebugLogCapture log;
    const std::uint16_t port = FreePort();
    const std::size_t before = OpenFdCount();
    QvUdpReader reader;
    reader.SetPropertyList(&m_settings);

    auto failsWith = [&](const std::string& line) {
        const std::size_t logged = log.Text().size();
        EXPECT_EQ(reader.Start(), 1) << line;
        EXPECT_EQ(reader.GetHandle(), QV_INVALID_SOCKET) << line;
        EXPECT_EQ(OpenFdCount(), before) << line;
        EXPECT_NE(log.Text().find(line, logged), std::string::npos) << line;
    };

    for (const int badPort : {0, 65536, -5}) {
        m_settings.SetProperty("Port", badPort, QvPropertyList::Decimal);
        failsWith("out of range.");
    }
    m_settings.SetProperty("Port", static_cast<int>(port), QvPropertyList::Decimal);

    m_settings.SetProperty("SDP", std::string(1050, 'v').c_str());
    failsWith("SDP text too long");
    m_settings.ClearProperty("SDP");

    m_settings.SetProperty("Interface", "10.9.9.9");
    failsWith("Local interface not available.\n");
    m_settings.SetProperty("Interface", "DEFAULT");
    failsWith("Local interface not available.\n");
    // The interface worked out by a Start stays the reader's own.
    m_settings.ClearProperty("Interface");
    failsWith("Local interface not available.\n");
    reader.SetInterface(0);

    m_settings.SetProperty("Address", "127.0.0.1");
    m_settings.SetProperty("Unicast", "FALSE");
    failsWith("join multicast group failed: 22\n");
    m_settings.ClearProperty("Unicast");

    reader.SetBufferSize(0x80000000UL);
    failsWith("SetSockOpt() RCVBUF failed: 22\n");
    reader.SetBufferSize(0);

    {
        // A socket holding the port without address reuse makes the bind fail.
        const int holder = ::socket(AF_INET, SOCK_DGRAM, 0);
        ASSERT_GE(holder, 0);
        sockaddr_in address{};
        address.sin_family = AF_INET;
        address.sin_port = htons(port);
        ASSERT_EQ(::bind(holder, reinterpret_cast<const sockaddr*>(&address), sizeof(address)), 0);
        const std::size_t logged = log.Text().size();
        EXPECT_EQ(reader.Start(), 1);
        EXPECT_EQ(reader.GetHandle(), QV_INVALID_SOCKET);
        EXPECT_EQ(OpenFdCount(), before + 1);
        EXPECT_NE(log.Text().find("Create() failed: 98\n", logged), std::string::npos);
        ::close(holder);
    }

    ASSERT_EQ(reader.Start(), 0);
    UdpSocket sender;
    ASSERT_TRUE(sender.SendTo("127.0.0.1", port, "started at last"));
    EXPECT_EQ(NextText(reader), "started at last");
}

TEST_F(UdpReaderTest, FailedRestartLeavesTheReaderStopped)
{
    const std::uint16_t port = FreePort();
    QvUdpReader reader;
    reader.SetAddress(Ipv4("239.1.2.3"), port);
    ASSERT_EQ(reader.Start(), 0);
    reader.SetInterface(Ipv4("10.9.9.9"));
    EXPECT_EQ(reader.Start(), 1);
    EXPECT_EQ(reader.GetHandle(), QV_INVALID_SOCKET);
    EXPECT_FALSE(reader.IsReady());
    char buffer[8];
    EXPECT_EQ(reader.Receive(buffer, sizeof(buffer)), -1);
}

TEST_F(UdpReaderTwoHostTest, ReaderJoinedOnOneInterfaceGetsOnlyItsTraffic)
{
    const std::uint16_t port = FreePort();
    QvUdpReader first;
    QvUdpReader second;
    first.SetAddress(Ipv4("239.7.7.7"), port);
    second.SetAddress(Ipv4("239.7.7.7"), port);
    first.SetInterface(Ipv4(Link(0).localAddress.c_str()));
    m_settings.AddProperty("Interface", Link(1).localAddress.c_str());
    second.SetPropertyList(&m_settings);
    ASSERT_EQ(first.Start(), 0);
    ASSERT_EQ(second.Start(), 0);
    EXPECT_EQ(second.GetInterface(), Ipv4(Link(1).localAddress.c_str()));

    PeerSendsVia(0, "239.7.7.7", port, "via link 0");
    PeerSendsVia(1, "239.7.7.7", port, "via link 1");
    EXPECT_EQ(NextText(first), "via link 0");
    EXPECT_EQ(NextText(second), "via link 1");
    EXPECT_TRUE(StaysQuiet(first));
    EXPECT_TRUE(StaysQuiet(second));
}

TEST_F(UdpReaderTwoHostTest, UnicastReaderOnOneInterfaceBindsItsAddress)
{
    const std::uint16_t port = FreePort();
    const std::string local = Link(1).localAddress;
    QvUdpReader reader;
    reader.SetAddress(0, port);
    reader.SetInterface(Ipv4(local.c_str()));
    ASSERT_EQ(reader.Start(), 0);
    EXPECT_EQ(BoundText(reader), Endpoint(local.c_str(), port));

    const std::string source = Link(1).peerAddress;
    Peer().Run([&] {
        UdpSocket sender(source);
        ASSERT_TRUE(sender.SendTo(local, port, "unicast over link 1"));
    });
    EXPECT_EQ(NextText(reader), "unicast over link 1");
}
