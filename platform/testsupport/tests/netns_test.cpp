#include <algorithm>
#include <chrono>
#include <future>
#include <stdexcept>
#include <string>
#include <sys/wait.h>
#include <system_error>
#include <thread>
#include <unistd.h>

#include <gtest/gtest.h>

#include "platform/testsupport/command.h"
#include "platform/testsupport/netns.h"
#include "platform/testsupport/netns_fixture.h"
#include "platform/testsupport/udp_socket.h"

using namespace std::chrono_literals;
using qvtest::NetnsStatus;
using qvtest::UdpSocket;

namespace {

constexpr const char* kGroup = "239.192.7.9";

bool NetnsListed(const std::string& name)
{
    const qvtest::CommandResult result = qvtest::RunCommand({"ip", "netns", "list"});
    EXPECT_TRUE(result.Succeeded()) << result.output;
    // One namespace per line, its name first ("name (id: 3)").
    std::string::size_type start = 0;
    while (start < result.output.size()) {
        auto end = result.output.find('\n', start);
        if (end == std::string::npos) {
            end = result.output.size();
        }
        const std::string line = result.output.substr(start, end - start);
        if (line.substr(0, line.find(' ')) == name) {
            return true;
        }
        start = end + 1;
    }
    return false;
}

std::string ReceivedPayload(UdpSocket& socket, std::chrono::milliseconds timeout = 2s)
{
    const auto datagram = socket.Receive(timeout);
    return datagram ? datagram->payload : std::string("<nothing>");
}

} // namespace

// ---------------------------------------------------------------------------
// The test's own namespace

TEST(HarnessNamespace, EntersAFreshNamespaceAndReturnsOnDestruction)
{
    const std::uint64_t outside = qvtest::CurrentNetNamespaceId();
    ASSERT_NE(outside, 0u);
    {
        qvtest::ScopedNetNamespace ns;
        if (ns.Status() == NetnsStatus::Unavailable) {
            GTEST_SKIP() << ns.Error();
        }
        ASSERT_TRUE(ns.IsReady()) << ns.Error();
        EXPECT_NE(qvtest::CurrentNetNamespaceId(), outside);
        EXPECT_EQ(qvtest::CurrentNetNamespaceId(), ns.Id());
        EXPECT_TRUE(qvtest::InHarnessNamespace());

        // Nothing but loopback, up, and the multicast route through it.
        const auto links = qvtest::RunCommand({"ip", "-o", "link", "show"});
        ASSERT_TRUE(links.Succeeded()) << links.output;
        EXPECT_EQ(std::count(links.output.begin(), links.output.end(), '\n'), 1) << links.output;
        EXPECT_NE(links.output.find("lo:"), std::string::npos);
        EXPECT_NE(links.output.find("UP"), std::string::npos);
        const auto routes = qvtest::RunCommand({"ip", "route", "show", "table", "main"});
        EXPECT_NE(routes.output.find("224.0.0.0/4 dev lo"), std::string::npos) << routes.output;
    }
    EXPECT_EQ(qvtest::CurrentNetNamespaceId(), outside);
    EXPECT_FALSE(qvtest::InHarnessNamespace());
}

TEST(HarnessNamespace, ThreadsStartedInsideShareTheNamespace)
{
    qvtest::ScopedNetNamespace ns;
    if (ns.Status() == NetnsStatus::Unavailable) {
        GTEST_SKIP() << ns.Error();
    }
    ASSERT_TRUE(ns.IsReady()) << ns.Error();
    std::uint64_t seen = 0;
    std::thread([&] { seen = qvtest::CurrentNetNamespaceId(); }).join();
    EXPECT_EQ(seen, ns.Id());
}

TEST(HarnessGuards, ConfigurationIsRefusedOutsideTestNamespaces)
{
    ASSERT_FALSE(qvtest::InHarnessNamespace());
    std::string error;
    // The device does not exist, so even a broken guard could change nothing.
    EXPECT_FALSE(qvtest::RouteMulticastVia("qvnosuchdev0", &error));
    EXPECT_NE(error.find("outside a test namespace"), std::string::npos) << error;

    qvtest::PeerHost peer;
    EXPECT_EQ(peer.Status(), NetnsStatus::Failed);
    EXPECT_NE(peer.Error().find("inside a test namespace"), std::string::npos) << peer.Error();
    EXPECT_THROW(peer.Run([] {}), std::system_error);
}

class HarnessLoopbackMulticast : public qvtest::NetnsTest
{
};

TEST_F(HarnessLoopbackMulticast, GroupDatagramReachesMemberExactlyOnce)
{
    UdpSocket member;
    member.JoinGroup(kGroup);
    UdpSocket sender("127.0.0.1");

    ASSERT_TRUE(sender.SendTo(kGroup, member.LocalPort(), "hello group"));
    const auto datagram = member.Receive(2s);
    ASSERT_TRUE(datagram.has_value());
    EXPECT_EQ(datagram->payload, "hello group");
    EXPECT_EQ(datagram->sourceAddress, "127.0.0.1");
    EXPECT_EQ(datagram->sourcePort, sender.LocalPort());
    EXPECT_TRUE(member.ReceiveUntilQuiet(200ms).empty());
}

TEST_F(HarnessLoopbackMulticast, EveryMemberOfTheGroupGetsACopy)
{
    UdpSocket first;
    UdpSocket second("0.0.0.0", first.LocalPort());
    first.JoinGroup(kGroup);
    second.JoinGroup(kGroup);
    UdpSocket sender("127.0.0.1");

    ASSERT_TRUE(sender.SendTo(kGroup, first.LocalPort(), "to all"));
    EXPECT_EQ(ReceivedPayload(first), "to all");
    EXPECT_EQ(ReceivedPayload(second), "to all");
}

// ---------------------------------------------------------------------------
// Peer hosts

class HarnessPeerLifecycle : public qvtest::NetnsTest
{
};

TEST_F(HarnessPeerLifecycle, NamedNamespaceExistsWhileThePeerLives)
{
    std::string name;
    {
        qvtest::PeerHost peer;
        if (peer.Status() == NetnsStatus::Unavailable) {
            GTEST_SKIP() << peer.Error();
        }
        ASSERT_TRUE(peer.IsReady()) << peer.Error();
        name = peer.Name();
        EXPECT_EQ(name.rfind("qvtest-" + std::to_string(getpid()) + "-", 0), 0u) << name;
        EXPECT_TRUE(NetnsListed(name));
        ASSERT_EQ(peer.Links().size(), 1u);
    }
    EXPECT_FALSE(NetnsListed(name));
}

TEST_F(HarnessPeerLifecycle, FailedSetUpRemovesTheNamespace)
{
    // A device already holding the first link's local name makes the veth
    // creation fail after the named namespace was made.
    const auto taken =
        qvtest::RunCommand({"ip", "link", "add", "qvxl0", "type", "veth", "peer", "name", "qvxq0"});
    ASSERT_TRUE(taken.Succeeded()) << taken.output;
    qvtest::PeerOptions options;
    options.devicePrefix = "qvx";
    std::string name;
    {
        qvtest::PeerHost peer(options);
        if (peer.Status() == NetnsStatus::Unavailable) {
            GTEST_SKIP() << peer.Error();
        }
        EXPECT_EQ(peer.Status(), NetnsStatus::Failed);
        EXPECT_NE(peer.Error().find("qvxl0"), std::string::npos) << peer.Error();
        name = peer.Name();
        ASSERT_FALSE(name.empty());
        EXPECT_FALSE(NetnsListed(name));
    }
    EXPECT_FALSE(NetnsListed(name));
}

TEST_F(HarnessPeerLifecycle, NamespacesOfDeadTestProcessesAreRemoved)
{
    const pid_t child = fork();
    if (child == 0) {
        _exit(0);
    }
    ASSERT_GT(child, 0);
    int status = 0;
    ASSERT_EQ(waitpid(child, &status, 0), child);

    const std::string stale = "qvtest-" + std::to_string(child) + "-0";
    const auto added = qvtest::RunCommand({"ip", "netns", "add", stale});
    if (!added.Succeeded()) {
        GTEST_SKIP() << "cannot add a named namespace: " << added.output;
    }
    // (A peer made by a parallel test process may already reap it.)

    qvtest::PeerHost peer;
    ASSERT_TRUE(peer.IsReady()) << peer.Error();
    EXPECT_FALSE(NetnsListed(stale));
    qvtest::RunCommand({"ip", "netns", "delete", stale});
}

class HarnessTwoHost : public qvtest::TwoHostTest
{
protected:
    HarnessTwoHost() : TwoHostTest(2) {}
};

TEST_F(HarnessTwoHost, LinksHavePrivateAddressesOnBothEnds)
{
    ASSERT_EQ(Peer().Links().size(), 2u);
    for (const auto& link : Peer().Links()) {
        EXPECT_EQ(link.localAddress.rfind("10.", 0), 0u);
        EXPECT_EQ(link.peerAddress.rfind("10.", 0), 0u);
        const auto local =
            qvtest::RunCommand({"ip", "-o", "-4", "addr", "show", "dev", link.localDevice});
        EXPECT_NE(local.output.find(link.localAddress + "/24"), std::string::npos) << local.output;
        const auto remote = Peer().RunIp({"-o", "-4", "addr", "show", "dev", link.peerDevice});
        EXPECT_NE(remote.output.find(link.peerAddress + "/24"), std::string::npos) << remote.output;
    }
}

TEST_F(HarnessTwoHost, DatagramOutOneInterfaceArrivesOnlyOnThatInterfacesMember)
{
    UdpSocket onFirst;
    const std::uint16_t port = onFirst.LocalPort();
    UdpSocket onSecond("0.0.0.0", port);
    onFirst.SetMulticastAll(false);
    onSecond.SetMulticastAll(false);
    onFirst.JoinGroup(kGroup, Link(0).localAddress);
    onSecond.JoinGroup(kGroup, Link(1).localAddress);

    const auto sendVia = [&](const qvtest::VethLink& link, const std::string& text) {
        Peer().Run([&] {
            UdpSocket sender(link.peerAddress);
            sender.SetMulticastInterface(link.peerAddress);
            ASSERT_TRUE(sender.SendTo(kGroup, port, text));
        });
    };

    sendVia(Link(0), "via link 0");
    EXPECT_EQ(ReceivedPayload(onFirst), "via link 0");
    EXPECT_FALSE(onSecond.Receive(300ms).has_value());

    sendVia(Link(1), "via link 1");
    EXPECT_EQ(ReceivedPayload(onSecond), "via link 1");
    EXPECT_FALSE(onFirst.Receive(300ms).has_value());
}

TEST_F(HarnessTwoHost, PeerMulticastGoesOutTheFirstLinkByDefault)
{
    UdpSocket member;
    member.JoinGroup(kGroup, Link(0).localAddress);
    const std::uint16_t port = member.LocalPort();
    Peer().Run([&] {
        UdpSocket sender;
        ASSERT_TRUE(sender.SendTo(kGroup, port, "default route"));
    });
    const auto datagram = member.Receive(2s);
    ASSERT_TRUE(datagram.has_value());
    EXPECT_EQ(datagram->payload, "default route");
    EXPECT_EQ(datagram->sourceAddress, Link(0).peerAddress);
}

TEST_F(HarnessTwoHost, SpawnedPeerThreadReceivesWhileTheTestSends)
{
    std::promise<std::uint16_t> portPromise;
    auto portFuture = portPromise.get_future();
    std::string received;
    auto receiver = Peer().Spawn([&] {
        UdpSocket socket(Link(1).peerAddress);
        portPromise.set_value(socket.LocalPort());
        const auto datagram = socket.Receive(5s);
        received = datagram ? datagram->payload : "<nothing>";
    });

    UdpSocket sender(Link(1).localAddress);
    ASSERT_TRUE(sender.SendTo(Link(1).peerAddress, portFuture.get(), "unicast to peer"));
    receiver.Join();
    EXPECT_EQ(received, "unicast to peer");
}

TEST_F(HarnessTwoHost, CallablesRunInsideThePeerNamespace)
{
    std::uint64_t seen = 0;
    Peer().Run([&] { seen = qvtest::CurrentNetNamespaceId(); });
    EXPECT_EQ(seen, Peer().Id());
    EXPECT_EQ(qvtest::CurrentNetNamespaceId(), Namespace().Id());

    EXPECT_THROW(Peer().Run([] { throw std::runtime_error("from the peer"); }), std::runtime_error);

    const std::uint64_t peerId = Peer().Id();
    EXPECT_EQ(Peer().RunInChildProcess(
                  [peerId] { return qvtest::CurrentNetNamespaceId() == peerId ? 7 : 1; }),
              7);
    EXPECT_EQ(Peer().RunInChildProcess([]() -> int { throw std::runtime_error("child"); }), 125);
}

TEST_F(HarnessTwoHost, ChildProcessInThePeerSendsToTheTest)
{
    UdpSocket receiver(Link(0).localAddress);
    const std::uint16_t port = receiver.LocalPort();
    const std::string target = Link(0).localAddress;
    const int status = Peer().RunInChildProcess([&] {
        UdpSocket sender;
        return sender.SendTo(target, port, "from child") ? 0 : 1;
    });
    EXPECT_EQ(status, 0);
    EXPECT_EQ(ReceivedPayload(receiver), "from child");
}

TEST_F(HarnessTwoHost, MulticastRouteCanBeMovedToAnotherInterface)
{
    UdpSocket member;
    member.JoinGroup(kGroup, Link(1).localAddress);
    const std::uint16_t port = member.LocalPort();
    std::string error;
    Peer().Run(
        [&] { ASSERT_TRUE(qvtest::RouteMulticastVia(Link(1).peerDevice, &error)) << error; });
    Peer().Run([&] {
        UdpSocket sender;
        ASSERT_TRUE(sender.SendTo(kGroup, port, "second link"));
    });
    const auto datagram = member.Receive(2s);
    ASSERT_TRUE(datagram.has_value());
    EXPECT_EQ(datagram->sourceAddress, Link(1).peerAddress);
}
