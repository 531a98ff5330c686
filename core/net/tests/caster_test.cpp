#include "core/settings/qvexception.h"
#include "core/settings/qvproplist.h"
#include "core/net/qvudpcaster.h"

#include "platform/testsupport/netns_fixture.h"
#include "platform/testsupport/udp_socket.h"

#include "core/testsupport/net_test_helpers.h"

#include <gtest/gtest.h>

#include <arpa/inet.h>
#include <chrono>
#include <optional>
#include <string>

using namespace std::chrono_literals;
using nettest::Dotted;
using nettest::Ipv4;
using nettest::OpenFdCount;
using qvtest::UdpSocket;

namespace {

int SocketTtl(const QvUdpCaster& caster)
{
    return nettest::IntOption(caster.GetHandle(), IPPROTO_IP, IP_MULTICAST_TTL);
}

// Starts a caster and returns the message of the QvException it throws
// (empty when it throws none); the code goes to *code.
std::string StartFailure(QvUdpCaster& caster, int* code = nullptr)
{
    try {
        caster.Start();
    } catch (const QvException& error) {
        if (code != nullptr) {
            *code = error.GetCode();
        }
        return error.GetMessage();
    }
    return {};
}

// A caster aimed at a receiver on loopback, with the host's address list
// fixed so Start does not depend on this machine's interfaces.
class CasterTest : public ::testing::Test
{
protected:
    nettest::ScopedHostAddresses m_hosts{{Ipv4("127.0.0.1")}};
    UdpSocket m_receiver{"127.0.0.1"};
    QvUdpCaster m_caster;
    QvPropertyList m_settings;

    void AimAtReceiver() { m_caster.SetAddress(Ipv4("127.0.0.1"), m_receiver.LocalPort()); }
};

} // namespace

TEST(QvUdpCasterScope, DecodeTtlKnowsTheScopeWordsInAnyCase)
{
    EXPECT_EQ(QvUdpCaster::DecodeTTL("HOST"), 0);
    EXPECT_EQ(QvUdpCaster::DecodeTTL("subnet"), 1);
    EXPECT_EQ(QvUdpCaster::DecodeTTL("Site"), 32);
    EXPECT_EQ(QvUdpCaster::DecodeTTL("region"), 64);
    EXPECT_EQ(QvUdpCaster::DecodeTTL("Continent"), 128);
    EXPECT_EQ(QvUdpCaster::DecodeTTL("all"), 255);
    EXPECT_EQ(QvUdpCaster::DecodeTTL("UNRESTRICTED"), 255);
    EXPECT_EQ(QvUdpCaster::DecodeTTL("galaxy"), 64);
    EXPECT_EQ(QvUdpCaster::DecodeTTL(""), 64);
}

TEST_F(CasterTest, DefaultsBeforeStart)
{
    EXPECT_EQ(m_caster.GetAddress(), Ipv4("225.1.1.1"));
    EXPECT_EQ(m_caster.GetPort(), 2010u);
    EXPECT_EQ(m_caster.GetInterface(), 0u);
    EXPECT_EQ(m_caster.GetLocalPort(), 0u);
    EXPECT_EQ(m_caster.GetTTL(), 64);
    EXPECT_EQ(m_caster.GetPropertyList(), nullptr);
    EXPECT_EQ(m_caster.GetHandle(), QV_INVALID_SOCKET);
}

TEST_F(CasterTest, SendBeforeStartReturnsMinusOneAndLogsNothing)
{
    nettest::DebugLogCapture log;
    AimAtReceiver();
    EXPECT_EQ(m_caster.Send("x", 1, 0), -1);
    EXPECT_EQ(log.Text(), "");
    EXPECT_FALSE(m_receiver.Receive(50ms).has_value());
}

TEST_F(CasterTest, SendsUnicastToTheReceiverFromTheLocalPort)
{
    UdpSocket portFinder("127.0.0.1");
    const std::uint16_t localPort = portFinder.LocalPort();
    portFinder = UdpSocket("127.0.0.1"); // frees the port for the caster

    m_settings.SetProperty("SendAddress", "127.0.0.1");
    m_settings.SetProperty("SendPort", std::to_string(m_receiver.LocalPort()).c_str());
    m_settings.SetProperty("SendLocalPort", std::to_string(localPort).c_str());
    m_caster.SetPropertyList(&m_settings);
    ASSERT_EQ(m_caster.Start(), 0);
    EXPECT_EQ(m_caster.GetAddress(), Ipv4("127.0.0.1"));
    EXPECT_EQ(m_caster.GetPort(), m_receiver.LocalPort());

    const std::string payload("da\0ta", 5);
    EXPECT_EQ(m_caster.Send(payload.data(), 5, 0), 5);
    const auto datagram = m_receiver.Receive(2s);
    ASSERT_TRUE(datagram.has_value());
    EXPECT_EQ(datagram->payload, payload);
    EXPECT_EQ(datagram->sourcePort, localPort);
    EXPECT_EQ(nettest::IntOption(m_caster.GetHandle(), SOL_SOCKET, SO_BROADCAST), 1);
}

TEST_F(CasterTest, ScopeAndTtlPrecedence)
{
    AimAtReceiver();
    m_caster.SetPropertyList(&m_settings);

    m_settings.SetProperty("SendScope", "site");
    ASSERT_EQ(m_caster.Start(), 0);
    EXPECT_EQ(m_caster.GetTTL(), 32);
    EXPECT_EQ(SocketTtl(m_caster), 32);

    m_settings.SetProperty("SendTTL", "5");
    m_settings.SetProperty("SendScope", "HOST");
    ASSERT_EQ(m_caster.Start(), 0);
    EXPECT_EQ(SocketTtl(m_caster), 5);

    // A word outside the table leaves the TTL as it was.
    m_settings.ClearProperty("SendTTL");
    m_settings.SetProperty("SendScope", "galaxy");
    m_caster.SetTTL(7);
    ASSERT_EQ(m_caster.Start(), 0);
    EXPECT_EQ(SocketTtl(m_caster), 7);
}

TEST_F(CasterTest, UnknownScopeKeepsTheDefaultTtl)
{
    AimAtReceiver();
    m_settings.SetProperty("SendScope", "galaxy");
    m_caster.SetPropertyList(&m_settings);
    ASSERT_EQ(m_caster.Start(), 0);
    EXPECT_EQ(SocketTtl(m_caster), 64);
}

TEST_F(CasterTest, AnyInterfaceBindsToAllAndThenRemembersTheHostAddress)
{
    m_hosts.Set({Ipv4("127.0.0.1"), Ipv4("127.0.0.2")});
    AimAtReceiver();
    m_caster.SetInterface(Ipv4("127.0.0.1"));
    m_settings.SetProperty("SendInterface", "any");
    m_caster.SetPropertyList(&m_settings);
    ASSERT_EQ(m_caster.Start(), 0);
    EXPECT_EQ(nettest::BoundAddress(m_caster.GetHandle()).sin_addr.s_addr, htonl(INADDR_ANY));
    EXPECT_EQ(m_caster.GetInterface(), Ipv4("127.0.0.1"));

    // Without "SendInterface" the next start binds to the stored address and
    // sends its multicast through it.
    m_settings.ClearProperty("SendInterface");
    ASSERT_EQ(m_caster.Start(), 0);
    EXPECT_EQ(nettest::BoundAddress(m_caster.GetHandle()).sin_addr.s_addr, Ipv4("127.0.0.1"));
    in_addr multicastIf{};
    socklen_t length = sizeof(multicastIf);
    ASSERT_EQ(getsockopt(m_caster.GetHandle(), IPPROTO_IP, IP_MULTICAST_IF, &multicastIf, &length),
              0);
    EXPECT_EQ(multicastIf.s_addr, Ipv4("127.0.0.1"));

    EXPECT_EQ(m_caster.Send("y", 1, 0), 1);
    EXPECT_TRUE(m_receiver.Receive(2s).has_value());
}

TEST_F(CasterTest, SendBufferSizeIsAppliedWhenSet)
{
    AimAtReceiver();
    m_caster.SetBufferSize(100000);
    ASSERT_EQ(m_caster.Start(), 0);
    EXPECT_GE(nettest::IntOption(m_caster.GetHandle(), SOL_SOCKET, SO_SNDBUF), 100000);
}

TEST_F(CasterTest, PortsOutsideTheirRangeAreRefusedAndNothingIsSent)
{
    const std::size_t fds = OpenFdCount();
    m_settings.SetProperty("SendAddress", "127.0.0.1");
    m_caster.SetPropertyList(&m_settings);
    for (const char* port : {"0", "65536", "-5", "70000"}) {
        SCOPED_TRACE(port);
        m_settings.SetProperty("SendPort", port);
        int code = 0;
        EXPECT_EQ(StartFailure(m_caster, &code), "Destination port out of range.");
        EXPECT_EQ(code, EINVAL);
        EXPECT_EQ(m_caster.Send("x", 1, 0), -1);
    }
    m_settings.ClearProperty("SendPort");
    m_caster.SetAddress(Ipv4("127.0.0.1"), 65536);
    EXPECT_EQ(StartFailure(m_caster), "Destination port out of range.");
    EXPECT_EQ(m_caster.Send("x", 1, 0), -1);

    m_caster.SetAddress(Ipv4("127.0.0.1"), m_receiver.LocalPort());
    m_settings.SetProperty("SendLocalPort", "65536");
    EXPECT_EQ(StartFailure(m_caster), "Local port out of range.");
    EXPECT_EQ(m_caster.Send("x", 1, 0), -1);
    EXPECT_EQ(OpenFdCount(), fds);
    EXPECT_FALSE(m_receiver.Receive(50ms).has_value());

    // The highest port is fine.
    m_settings.ClearProperty("SendLocalPort");
    m_caster.SetLocalPort(0);
    m_settings.SetProperty("SendPort", "65535");
    EXPECT_EQ(StartFailure(m_caster), "");
}

TEST_F(CasterTest, MistypedSendAddressIsRefused)
{
    m_settings.SetProperty("SendAddress", "225.1.1.300");
    m_caster.SetPropertyList(&m_settings);
    EXPECT_EQ(StartFailure(m_caster), "Invalid SendAddress.");
    EXPECT_EQ(m_caster.Send("x", 1, 0), -1);

    // The all-ones broadcast address itself is a valid choice.
    m_settings.SetProperty("SendAddress", "255.255.255.255");
    EXPECT_EQ(StartFailure(m_caster), "");
    EXPECT_EQ(m_caster.GetAddress(), Ipv4("255.255.255.255"));
}

TEST_F(CasterTest, FailedStartClosesItsSocket)
{
    const std::size_t fds = OpenFdCount();
    AimAtReceiver();
    m_caster.SetPropertyList(&m_settings);

    m_settings.SetProperty("SendTTL", "300");
    int code = 0;
    EXPECT_EQ(StartFailure(m_caster, &code), "SetSockOpt() IP_MULTICAST_TTL failed.");
    EXPECT_EQ(code, EINVAL);
    EXPECT_EQ(m_caster.GetHandle(), QV_INVALID_SOCKET);
    EXPECT_EQ(OpenFdCount(), fds);
    EXPECT_EQ(m_caster.Send("x", 1, 0), -1);

    m_settings.SetProperty("SendTTL", "1");
    m_settings.SetProperty("SendInterface", "192.0.2.1"); // not an address of this host
    EXPECT_EQ(StartFailure(m_caster, &code), "Create() socket failed.");
    EXPECT_EQ(code, EADDRNOTAVAIL);
    EXPECT_EQ(OpenFdCount(), fds);

    // A host without addresses fails the last step.
    m_settings.ClearProperty("SendInterface");
    m_caster.SetInterface(0);
    m_hosts.Set({});
    EXPECT_EQ(StartFailure(m_caster, &code), "gethostbyname() failed.");
    EXPECT_EQ(m_caster.GetHandle(), QV_INVALID_SOCKET);
    EXPECT_EQ(OpenFdCount(), fds);
}

TEST_F(CasterTest, FailedRestartStopsTheRunningCaster)
{
    AimAtReceiver();
    ASSERT_EQ(m_caster.Start(), 0);
    m_caster.SetPropertyList(&m_settings);
    m_settings.SetProperty("SendPort", "0");
    EXPECT_EQ(StartFailure(m_caster), "Destination port out of range.");
    EXPECT_EQ(m_caster.Send("x", 1, 0), -1);
    EXPECT_EQ(m_caster.GetHandle(), QV_INVALID_SOCKET);
}

TEST_F(CasterTest, StopClosesAndRestartReopens)
{
    AimAtReceiver();
    EXPECT_EQ(m_caster.Stop(), 0); // stopping a stopped caster is harmless
    ASSERT_EQ(m_caster.Start(), 0);
    ASSERT_EQ(m_caster.Start(), 0); // restart with the same settings
    EXPECT_EQ(m_caster.Send("1", 1, 0), 1);
    EXPECT_EQ(m_caster.Stop(), 0);
    EXPECT_EQ(m_caster.GetHandle(), QV_INVALID_SOCKET);
    EXPECT_EQ(m_caster.Send("2", 1, 0), -1);

    const auto datagrams = m_receiver.ReceiveUntilQuiet(100ms);
    ASSERT_EQ(datagrams.size(), 1u);
    EXPECT_EQ(datagrams[0].payload, "1");
}

// ---- In a private network namespace -------------------------------------------

class CasterNetns : public qvtest::NetnsTest
{
};

TEST_F(CasterNetns, DefaultCasterSendsToTheDefaultGroupWithTtl64)
{
    // The namespace is private, so the well-known port cannot clash.
    UdpSocket receiver("0.0.0.0", 2010);
    receiver.JoinGroup("225.1.1.1");

    QvUdpCaster caster;
    ASSERT_EQ(caster.Start(), 0);
    EXPECT_EQ(SocketTtl(caster), 64);
    EXPECT_EQ(Dotted(static_cast<std::uint32_t>(caster.GetInterface())), "127.0.0.1");
    EXPECT_EQ(caster.Send("group", 5, 0), 5);

    const auto datagram = receiver.Receive(2s);
    ASSERT_TRUE(datagram.has_value());
    EXPECT_EQ(datagram->payload, "group");
}

TEST_F(CasterNetns, SendFailureIsLoggedAndTheCasterStaysStarted)
{
    nettest::DebugLogCapture log;
    QvUdpCaster caster;
    caster.SetAddress(Ipv4("10.1.2.3"), 5000); // no route in the namespace
    ASSERT_EQ(caster.Start(), 0);
    EXPECT_EQ(caster.Send("x", 1, 0), QV_SOCKET_ERROR);
    EXPECT_EQ(QvSocket::GetLastError(), ENETUNREACH);
    EXPECT_NE(caster.GetHandle(), QV_INVALID_SOCKET);
    EXPECT_NE(log.Text().find("UdpCaster::Send failed: " + std::to_string(ENETUNREACH) + "\n"),
              std::string::npos)
        << log.Text();
}

class CasterTwoLinks : public qvtest::TwoHostTest
{
protected:
    CasterTwoLinks() : TwoHostTest(2) {}
};

TEST_F(CasterTwoLinks, MulticastLeavesThroughTheChosenInterface)
{
    // The default multicast route goes through loopback; the caster's
    // interface is the second link, so the peer must receive there.
    const qvtest::VethLink& link = Link(1);
    std::optional<UdpSocket> peerReceiver;
    Peer().Run([&] {
        peerReceiver.emplace("0.0.0.0", 0);
        peerReceiver->JoinGroup("239.5.5.5", link.peerAddress);
    });
    // Multicast loopback stays on: a member on this host, on the sending
    // interface, gets the datagram too.
    UdpSocket localReceiver("0.0.0.0", peerReceiver->LocalPort());
    localReceiver.JoinGroup("239.5.5.5", link.localAddress);

    QvPropertyList settings;
    settings.SetProperty("SendAddress", "239.5.5.5");
    settings.SetProperty("SendPort", std::to_string(peerReceiver->LocalPort()).c_str());
    settings.SetProperty("SendInterface", link.localAddress.c_str());
    settings.SetProperty("SendScope", "subnet");
    QvUdpCaster caster;
    caster.SetPropertyList(&settings);
    ASSERT_EQ(caster.Start(), 0);
    EXPECT_EQ(Dotted(static_cast<std::uint32_t>(caster.GetInterface())), link.localAddress);
    EXPECT_EQ(Dotted(nettest::BoundAddress(caster.GetHandle()).sin_addr.s_addr), link.localAddress);
    EXPECT_EQ(caster.Send("over the link", 13, 0), 13);

    const auto datagram = peerReceiver->Receive(2s);
    ASSERT_TRUE(datagram.has_value());
    EXPECT_EQ(datagram->payload, "over the link");
    EXPECT_EQ(datagram->sourceAddress, link.localAddress);
    in_addr multicastIf{};
    socklen_t length = sizeof(multicastIf);
    ASSERT_EQ(getsockopt(caster.GetHandle(), IPPROTO_IP, IP_MULTICAST_IF, &multicastIf, &length),
              0);
    EXPECT_EQ(Dotted(multicastIf.s_addr), link.localAddress);
    EXPECT_EQ(nettest::IntOption(caster.GetHandle(), IPPROTO_IP, IP_MULTICAST_LOOP), 1);
    const auto looped = localReceiver.Receive(2s);
    ASSERT_TRUE(looped.has_value());
    EXPECT_EQ(looped->payload, "over the link");
}
