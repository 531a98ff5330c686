#include "core/net/qvhostaddr.h"
#include "core/net/qvsocket.h"
#include "core/settings/qvexception.h"

#include "platform/testsupport/command.h"
#include "platform/testsupport/netns_fixture.h"
#include "platform/testsupport/udp_socket.h"

#include "core/testsupport/net_test_helpers.h"

#include <gtest/gtest.h>

#include <arpa/inet.h>
#include <atomic>
#include <chrono>
#include <csignal>
#include <cstring>
#include <pthread.h>
#include <string>
#include <sys/ioctl.h>
#include <thread>

using namespace std::chrono_literals;
using nettest::Ipv4;
using nettest::OpenFdCount;
using qvtest::UdpSocket;

namespace {

// A QvSocket datagram socket bound to an ephemeral loopback port.
class LoopbackSocket : public QvSocket
{
public:
    LoopbackSocket()
    {
        if (Create(0, SOCK_DGRAM, 0, "127.0.0.1") != 1) {
            throw std::runtime_error("Create on loopback failed");
        }
    }
    std::uint16_t Port() const { return ntohs(nettest::BoundAddress(GetHandle()).sin_port); }
};

// Waits up to a generous limit for the socket to report a datagram.
bool WaitReady(QvSocket& socket)
{
    return socket.WaitReadable(10000) == 1;
}

} // namespace

TEST(QvSocket, NeverCreatedSocketIsInvalidAndNotReady)
{
    QvSocket socket;
    EXPECT_EQ(QvSocket::GetStartupError(), 0);
    EXPECT_EQ(socket.GetHandle(), QV_INVALID_SOCKET);
    EXPECT_EQ(socket.GetSocket(), &socket);
    EXPECT_EQ(socket.ReadyToReceive(), 0);
    socket.Close(); // closing nothing is harmless
    EXPECT_EQ(socket.GetHandle(), QV_INVALID_SOCKET);
}

TEST(QvSocket, CreateBindsWithAddressReuseAndCanBeRepeatedAfterClose)
{
    LoopbackSocket socket;
    const sockaddr_in bound = nettest::BoundAddress(socket.GetHandle());
    EXPECT_EQ(bound.sin_addr.s_addr, Ipv4("127.0.0.1"));
    EXPECT_NE(bound.sin_port, 0);
    EXPECT_EQ(nettest::IntOption(socket.GetHandle(), SOL_SOCKET, SO_REUSEADDR), 1);

    // A second socket can bind the same port because of SO_REUSEADDR.
    QvSocket second;
    EXPECT_EQ(second.Create(socket.Port(), SOCK_DGRAM, 0, "127.0.0.1"), 1);

    socket.Close();
    EXPECT_EQ(socket.GetHandle(), QV_INVALID_SOCKET);
    EXPECT_EQ(socket.Create(0, SOCK_DGRAM, 0, nullptr), 1);
    EXPECT_EQ(nettest::BoundAddress(socket.GetHandle()).sin_addr.s_addr, htonl(INADDR_ANY));
}

TEST(QvSocket, CreateAgainReplacesTheOpenSocketWithoutLeaking)
{
    QvSocket socket;
    ASSERT_EQ(socket.Create(0, SOCK_DGRAM, 0, "127.0.0.1"), 1);
    const std::size_t fds = OpenFdCount();
    ASSERT_EQ(socket.Create(0, SOCK_DGRAM, 0, "127.0.0.1"), 1);
    EXPECT_EQ(OpenFdCount(), fds);
}

TEST(QvSocket, FailedCreateLeavesNoSocketOpen)
{
    const std::size_t fds = OpenFdCount();
    QvSocket socket;
    // 192.0.2.1 (documentation range) is no address of this host.
    EXPECT_EQ(socket.Create(0, SOCK_DGRAM, 0, "192.0.2.1"), 0);
    EXPECT_EQ(QvSocket::GetLastError(), EADDRNOTAVAIL);
    EXPECT_EQ(socket.GetHandle(), QV_INVALID_SOCKET);

    EXPECT_EQ(socket.Create(65536, SOCK_DGRAM, 0, "127.0.0.1"), 0);
    EXPECT_EQ(QvSocket::GetLastError(), EINVAL);
    EXPECT_EQ(socket.GetHandle(), QV_INVALID_SOCKET);
    EXPECT_EQ(OpenFdCount(), fds);
}

TEST(QvSocket, LastErrorIsTheErrnoOfTheFailingCallPerThread)
{
    QvSocket closed;
    const char byte = 'x';
    EXPECT_EQ(closed.Send(&byte, 1, 0), QV_SOCKET_ERROR);
    EXPECT_EQ(QvSocket::GetLastError(), EBADF);
    errno = 0; // later unrelated calls do not disturb the recorded error
    EXPECT_EQ(QvSocket::GetLastError(), EBADF);

    int otherThreadError = -1;
    std::thread([&] {
        QvSocket socket;
        EXPECT_EQ(socket.Create(0, SOCK_DGRAM, 0, "192.0.2.1"), 0);
        otherThreadError = QvSocket::GetLastError();
    }).join();
    EXPECT_EQ(otherThreadError, EADDRNOTAVAIL);
    EXPECT_EQ(QvSocket::GetLastError(), EBADF);
}

TEST(QvSocket, EmptyDatagramDoesNotWedgeReadiness)
{
    LoopbackSocket socket;
    UdpSocket sender("127.0.0.1");
    EXPECT_EQ(socket.ReadyToReceive(), 0);

    ASSERT_TRUE(sender.SendTo("127.0.0.1", socket.Port(), ""));
    ASSERT_TRUE(WaitReady(socket));
    char buffer[16];
    EXPECT_EQ(socket.Receive(buffer, sizeof(buffer), 0), 0);
    EXPECT_EQ(socket.ReadyToReceive(), 0);

    ASSERT_TRUE(sender.SendTo("127.0.0.1", socket.Port(), "after"));
    ASSERT_TRUE(WaitReady(socket));
    EXPECT_EQ(socket.Receive(buffer, sizeof(buffer), 0), 5);
    EXPECT_EQ(std::string(buffer, 5), "after");
}

TEST(QvSocket, OversizedDatagramIsReportedAndTheNextOneArrives)
{
    LoopbackSocket socket;
    UdpSocket sender("127.0.0.1");
    ASSERT_TRUE(sender.SendTo("127.0.0.1", socket.Port(), std::string(100, 'a')));
    ASSERT_TRUE(sender.SendTo("127.0.0.1", socket.Port(), "0123456789"));
    ASSERT_TRUE(sender.SendTo("127.0.0.1", socket.Port(), std::string(200, 'b')));
    ASSERT_TRUE(sender.SendTo("127.0.0.1", socket.Port(), std::string(50, 'c')));

    char buffer[50];
    ASSERT_TRUE(WaitReady(socket));
    EXPECT_EQ(socket.Receive(buffer, sizeof(buffer), 0), QV_SOCKET_ERROR);
    EXPECT_EQ(QvSocket::GetLastError(), QV_EMSGSIZE);

    ASSERT_TRUE(WaitReady(socket));
    EXPECT_EQ(socket.Receive(buffer, sizeof(buffer), 0), 10);
    EXPECT_EQ(std::string(buffer, 10), "0123456789");

    sockaddr_in from{};
    int fromLength = sizeof(from);
    ASSERT_TRUE(WaitReady(socket));
    EXPECT_EQ(socket.ReceiveFrom(buffer, sizeof(buffer), reinterpret_cast<sockaddr*>(&from),
                                 &fromLength, 0),
              QV_SOCKET_ERROR);
    EXPECT_EQ(QvSocket::GetLastError(), QV_EMSGSIZE);

    // A datagram that exactly fills the buffer is not cut.
    ASSERT_TRUE(WaitReady(socket));
    EXPECT_EQ(socket.ReceiveDatagram(buffer, sizeof(buffer), reinterpret_cast<sockaddr*>(&from),
                                     &fromLength, 0),
              50);
    EXPECT_EQ(fromLength, static_cast<int>(sizeof(from)));
    EXPECT_EQ(ntohs(from.sin_port), sender.LocalPort());
    EXPECT_EQ(from.sin_addr.s_addr, Ipv4("127.0.0.1"));
}

TEST(QvSocket, IoctlReportsTheNextDatagramSizeAndRefusesUnknownCommands)
{
    LoopbackSocket socket;
    UdpSocket sender("127.0.0.1");
    unsigned long waiting = 99;
    ASSERT_EQ(socket.IOCtl(FIONREAD, &waiting), 1);
    EXPECT_EQ(waiting, 0u);

    ASSERT_TRUE(sender.SendTo("127.0.0.1", socket.Port(), "abcd"));
    ASSERT_TRUE(WaitReady(socket));
    ASSERT_EQ(socket.IOCtl(FIONREAD, &waiting), 1);
    EXPECT_EQ(waiting, 4u);

    unsigned long nonBlocking = 1;
    ASSERT_EQ(socket.IOCtl(FIONBIO, &nonBlocking), 1);
    char buffer[8];
    EXPECT_EQ(socket.Receive(buffer, sizeof(buffer), 0), 4);
    EXPECT_EQ(socket.Receive(buffer, sizeof(buffer), 0), QV_SOCKET_ERROR);
    EXPECT_EQ(QvSocket::GetLastError(), EAGAIN);

    unsigned long argument = 0;
    EXPECT_EQ(socket.IOCtl(0x7fff, &argument), 0);
    EXPECT_EQ(QvSocket::GetLastError(), EINVAL);
}

TEST(QvSocket, ConnectedSocketSendsToItsPeer)
{
    UdpSocket receiver("127.0.0.1");
    QvSocket socket;
    ASSERT_EQ(socket.Create(0, SOCK_DGRAM, 0, "127.0.0.1"), 1);
    ASSERT_EQ(socket.Connect("127.0.0.1", receiver.LocalPort()), 1);
    EXPECT_EQ(socket.Send("ping", 4, 0), 4);
    const auto datagram = receiver.Receive(2s);
    ASSERT_TRUE(datagram.has_value());
    EXPECT_EQ(datagram->payload, "ping");

    EXPECT_EQ(socket.Connect("127.0.0.1", 70000), 0);
    EXPECT_EQ(QvSocket::GetLastError(), EINVAL);
}

TEST(QvSocket, SendToAndSetSockOpt)
{
    UdpSocket receiver("127.0.0.1");
    LoopbackSocket socket;
    const int size = 65536;
    EXPECT_EQ(socket.SetSockOpt(SO_RCVBUF, &size, sizeof(size), SOL_SOCKET), 1);
    EXPECT_GE(nettest::IntOption(socket.GetHandle(), SOL_SOCKET, SO_RCVBUF), size);
    EXPECT_EQ(socket.SetSockOpt(SO_RCVBUF, &size, -1, SOL_SOCKET), 0);
    EXPECT_EQ(QvSocket::GetLastError(), EINVAL);

    sockaddr_in to{};
    to.sin_family = AF_INET;
    to.sin_port = htons(receiver.LocalPort());
    to.sin_addr.s_addr = Ipv4("127.0.0.1");
    EXPECT_EQ(socket.SendTo("hello", 5, reinterpret_cast<sockaddr*>(&to), sizeof(to), 0), 5);
    const auto datagram = receiver.Receive(2s);
    ASSERT_TRUE(datagram.has_value());
    EXPECT_EQ(datagram->payload, "hello");
    EXPECT_EQ(datagram->sourcePort, socket.Port());
}

// The kernel's view of the receive side: what it holds, its buffer, and the
// datagrams dropped once the buffer was full.
TEST(QvSocket, ReceiveMemoryFollowsTheKernel)
{
    QvSocket::ReceiveMemory memory;
    EXPECT_EQ(QvSocket().GetReceiveMemory(memory), 0);

    LoopbackSocket socket;
    const int size = 4096; // the kernel's smallest buffer: a few datagrams
    ASSERT_EQ(socket.SetSockOpt(SO_RCVBUF, &size, sizeof(size)), 1);
    ASSERT_EQ(socket.GetReceiveMemory(memory), 1);
    EXPECT_EQ(memory.queued, 0u);
    EXPECT_EQ(memory.drops, 0u);
    EXPECT_EQ(memory.buffer, static_cast<std::uint32_t>(
                                 nettest::IntOption(socket.GetHandle(), SOL_SOCKET, SO_RCVBUF)));
    UdpSocket sender("127.0.0.1");
    const std::string datagram(1000, 'x');
    for (int i = 0; i < 64; ++i) {
        ASSERT_TRUE(sender.SendTo("127.0.0.1", socket.Port(), datagram));
    }
    ASSERT_EQ(socket.GetReceiveMemory(memory), 1);
    EXPECT_GT(memory.queued, 0u);
    std::uint32_t received = 0;
    char buffer[1024];
    while (socket.ReceiveDatagram(buffer, sizeof(buffer), nullptr, nullptr, MSG_DONTWAIT) > 0) {
        ++received;
    }
    EXPECT_GT(memory.drops, 0u);
    EXPECT_EQ(received + memory.drops, 64u);
    ASSERT_EQ(socket.GetReceiveMemory(memory), 1);
    EXPECT_EQ(memory.queued, 0u);
}

TEST(QvSocketWait, ReportsWhatWaitsAndTimesOut)
{
    LoopbackSocket first;
    LoopbackSocket second;
    QvSocket closed;
    UdpSocket sender("127.0.0.1");
    bool ready[3] = {true, true, true};
    QvSocket* const both[] = {&first, nullptr, &second};

    // Nothing sent: a look and a short wait both time out.
    EXPECT_EQ(first.WaitReadable(0), 0);
    EXPECT_EQ(QvSocket::WaitReadable(both, ready, 20), 0);
    EXPECT_FALSE(ready[0] || ready[1] || ready[2]);

    // An empty datagram counts; only the socket it went to is ready.
    ASSERT_TRUE(sender.SendTo("127.0.0.1", second.Port(), ""));
    EXPECT_EQ(QvSocket::WaitReadable(both, ready, QvSocket::kWaitForever), 1);
    EXPECT_FALSE(ready[0]);
    EXPECT_FALSE(ready[1]);
    EXPECT_TRUE(ready[2]);
    EXPECT_EQ(second.WaitReadable(0), 1);

    // Nothing open to wait on is an error, not an endless wait.
    EXPECT_EQ(closed.WaitReadable(QvSocket::kWaitForever), QV_SOCKET_ERROR);
    EXPECT_EQ(QvSocket::GetLastError(), EBADF);
    QvSocket* const none[] = {&closed, nullptr};
    EXPECT_EQ(QvSocket::WaitReadable(none, ready, QvSocket::kWaitForever), QV_SOCKET_ERROR);
}

namespace {

std::atomic<int> g_signalsSeen{0};

void CountSignal(int)
{
    g_signalsSeen.fetch_add(1);
}

} // namespace

TEST(QvSocketWait, SignalsDoNotEndTheWait)
{
    // A handler without SA_RESTART: every signal interrupts the poll.
    struct sigaction action = {};
    action.sa_handler = CountSignal;
    sigemptyset(&action.sa_mask);
    struct sigaction previous = {};
    ASSERT_EQ(sigaction(SIGUSR2, &action, &previous), 0);

    const struct
    {
        const char* name;
        int timeoutMs;
        bool send;
        int expected;
    } cases[] = {
        {"datagram after the signals", 60000, true, 1},
        {"time limit, nothing sent", 100, false, 0},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        LoopbackSocket socket;
        UdpSocket sender("127.0.0.1");
        std::atomic<bool> returned{false};
        int result = -2;
        std::thread waiter([&] {
            result = socket.WaitReadable(c.timeoutMs);
            returned = true;
        });
        // Each signal is handled before the next one goes; the waiter is
        // inside the wait for most of them.
        for (int sent = 0; sent < 5 && !returned; ++sent) {
            const int before = g_signalsSeen.load();
            pthread_kill(waiter.native_handle(), SIGUSR2);
            while (g_signalsSeen.load() == before && !returned) {
                std::this_thread::yield();
            }
        }
        if (c.send) {
            EXPECT_TRUE(sender.SendTo("127.0.0.1", socket.Port(), "x"));
        }
        waiter.join();
        EXPECT_EQ(result, c.expected);
    }
    sigaction(SIGUSR2, &previous, nullptr);
}

// A batch receive that waits: one call waits for the first datagram and
// takes those behind it; a wait that runs out, a socket made non-blocking
// and signals change nothing of that.
TEST(QvSocketWait, BatchReceiveWaitsForTheFirstDatagramAndTakesTheRest)
{
    LoopbackSocket socket;
    UdpSocket sender("127.0.0.1");
    char buffers[4][64];
    QvDatagramSlot slots[4];
    for (int i = 0; i < 4; ++i) {
        slots[i].buffer = buffers[i];
        slots[i].capacity = 16;
    }

    EXPECT_EQ(socket.ReceiveBatch(slots, 20), QV_SOCKET_ERROR);
    EXPECT_EQ(QvSocket::GetLastError(), EAGAIN);

    ASSERT_TRUE(sender.SendTo("127.0.0.1", socket.Port(), "one"));
    ASSERT_TRUE(sender.SendTo("127.0.0.1", socket.Port(), std::string(40, 'x')));
    ASSERT_TRUE(sender.SendTo("127.0.0.1", socket.Port(), "three"));
    ASSERT_TRUE(WaitReady(socket));
    ASSERT_EQ(socket.ReceiveBatch(slots, QvSocket::kWaitForever), 3);
    EXPECT_EQ(std::string(buffers[0], static_cast<std::size_t>(slots[0].length)), "one");
    EXPECT_EQ(slots[1].length, QV_SOCKET_ERROR);
    EXPECT_EQ(slots[1].error, QV_EMSGSIZE);
    EXPECT_EQ(std::string(buffers[2], static_cast<std::size_t>(slots[2].length)), "three");
    EXPECT_EQ(ntohs(slots[0].from.sin_port), sender.LocalPort());

    // A waiter interrupted by signals still gets the datagram sent after them.
    struct sigaction action = {};
    action.sa_handler = CountSignal;
    sigemptyset(&action.sa_mask);
    struct sigaction previous = {};
    ASSERT_EQ(sigaction(SIGUSR2, &action, &previous), 0);
    std::atomic<bool> returned{false};
    int result = -2;
    std::thread waiter([&] {
        result = socket.ReceiveBatch(slots, QvSocket::kWaitForever);
        returned = true;
    });
    for (int sent = 0; sent < 3 && !returned; ++sent) {
        const int before = g_signalsSeen.load();
        pthread_kill(waiter.native_handle(), SIGUSR2);
        while (g_signalsSeen.load() == before && !returned) {
            std::this_thread::yield();
        }
    }
    ASSERT_TRUE(sender.SendTo("127.0.0.1", socket.Port(), "late"));
    waiter.join();
    sigaction(SIGUSR2, &previous, nullptr);
    ASSERT_EQ(result, 1);
    EXPECT_EQ(std::string(buffers[0], static_cast<std::size_t>(slots[0].length)), "late");

    // Made non-blocking, the socket still waits, and runs out the same way.
    unsigned long on = 1;
    ASSERT_EQ(socket.IOCtl(FIONBIO, &on), 1);
    EXPECT_EQ(socket.ReceiveBatch(slots, 20), QV_SOCKET_ERROR);
    EXPECT_EQ(QvSocket::GetLastError(), EAGAIN);
    ASSERT_TRUE(sender.SendTo("127.0.0.1", socket.Port(), "nb"));
    EXPECT_EQ(socket.ReceiveBatch(slots, QvSocket::kWaitForever), 1);

    int type = 0;
    int length = sizeof(type);
    ASSERT_EQ(socket.GetSockOpt(SO_TYPE, &type, &length), 1);
    EXPECT_EQ(type, SOCK_DGRAM);
    EXPECT_EQ(length, static_cast<int>(sizeof(type)));
}

class QvSocketNetns : public qvtest::NetnsTest
{
};

TEST_F(QvSocketNetns, JoinedSocketReceivesOnlyItsOwnGroup)
{
    QvSocket member;
    ASSERT_EQ(member.Create(0, SOCK_DGRAM, 0, "0.0.0.0"), 1);
    const std::uint16_t port = ntohs(nettest::BoundAddress(member.GetHandle()).sin_port);
    ASSERT_EQ(member.JoinGroup(Ipv4("239.1.1.1"), 0), 1);

    // Another socket on the same port joins a different group; without
    // IP_MULTICAST_ALL off, its group would reach the member too.
    UdpSocket other("0.0.0.0", port);
    other.JoinGroup("239.2.2.2");

    // A group datagram is handed to every socket of the port at once: once
    // the other socket has it, the member has it too or never will.
    UdpSocket sender("127.0.0.1");
    ASSERT_TRUE(sender.SendTo("239.2.2.2", port, "not yours"));
    ASSERT_TRUE(other.Receive(2s).has_value());
    EXPECT_EQ(member.ReadyToReceive(), 0);

    ASSERT_TRUE(sender.SendTo("239.1.1.1", port, "yours"));
    ASSERT_TRUE(WaitReady(member));
    char buffer[32];
    const int received = member.Receive(buffer, sizeof(buffer), 0);
    ASSERT_EQ(received, 5);
    EXPECT_EQ(std::string(buffer, 5), "yours");
    EXPECT_EQ(member.ReadyToReceive(), 0);
}

TEST_F(QvSocketNetns, JoiningAUnicastAddressFails)
{
    QvSocket member;
    ASSERT_EQ(member.Create(0, SOCK_DGRAM, 0, "0.0.0.0"), 1);
    EXPECT_EQ(member.JoinGroup(Ipv4("127.0.0.1"), 0), 0);
    EXPECT_EQ(QvSocket::GetLastError(), EINVAL);
}

// ---- Host addresses -------------------------------------------------------------

TEST_F(QvSocketNetns, LoopbackCountsWhenNoOtherInterfaceIsUp)
{
    const std::vector<std::uint32_t> addresses = QvSystemHostAddresses();
    ASSERT_EQ(addresses.size(), 1u);
    EXPECT_EQ(nettest::Dotted(addresses[0]), "127.0.0.1");
    EXPECT_EQ(QvHostAddresses(), addresses);
}

class HostAddressesTwoLinks : public qvtest::TwoHostTest
{
protected:
    HostAddressesTwoLinks() : TwoHostTest(2) {}
};

TEST_F(HostAddressesTwoLinks, InterfacesThatAreUpComeInKernelOrderWithoutLoopback)
{
    std::vector<std::uint32_t> addresses = QvSystemHostAddresses();
    ASSERT_EQ(addresses.size(), 2u);
    EXPECT_EQ(nettest::Dotted(addresses[0]), Link(0).localAddress);
    EXPECT_EQ(nettest::Dotted(addresses[1]), Link(1).localAddress);

    const auto result =
        qvtest::RunCommand({"ip", "link", "set", "dev", Link(0).localDevice, "down"});
    ASSERT_TRUE(result.Succeeded()) << result.output;
    addresses = QvSystemHostAddresses();
    ASSERT_EQ(addresses.size(), 1u);
    EXPECT_EQ(nettest::Dotted(addresses[0]), Link(1).localAddress);
}

TEST(HostAddresses, ProviderCanBeReplacedAndRestored)
{
    const std::vector<std::uint32_t> system = QvSystemHostAddresses();
    {
        nettest::ScopedHostAddresses fake({Ipv4("10.0.0.1"), Ipv4("10.0.0.2")});
        EXPECT_EQ(QvHostAddresses(),
                  (std::vector<std::uint32_t>{Ipv4("10.0.0.1"), Ipv4("10.0.0.2")}));
    }
    EXPECT_EQ(QvHostAddresses(), system);
    EXPECT_EQ(QvSetHostAddressProvider(nullptr), nullptr);
}
