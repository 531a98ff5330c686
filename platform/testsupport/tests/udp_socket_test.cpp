#include <chrono>
#include <stdexcept>
#include <string>

#include <gtest/gtest.h>

#include "platform/testsupport/udp_socket.h"

using namespace std::chrono_literals;
using qvtest::UdpSocket;

TEST(HarnessUdpSocket, UnicastRoundTripOnLoopbackWithEphemeralPorts)
{
    UdpSocket receiver("127.0.0.1");
    UdpSocket sender("127.0.0.1");
    EXPECT_NE(receiver.LocalPort(), 0);
    EXPECT_EQ(receiver.LocalAddress(), "127.0.0.1");

    const std::string payload("bin\0ary\xff", 8);
    ASSERT_TRUE(sender.SendTo("127.0.0.1", receiver.LocalPort(), payload));
    const auto datagram = receiver.Receive(2s);
    ASSERT_TRUE(datagram.has_value());
    EXPECT_EQ(datagram->payload, payload);
    EXPECT_EQ(datagram->sourceAddress, "127.0.0.1");
    EXPECT_EQ(datagram->sourcePort, sender.LocalPort());
}

TEST(HarnessUdpSocket, ReceiveReturnsNothingWhenNoDatagramComes)
{
    UdpSocket receiver("127.0.0.1");
    EXPECT_FALSE(receiver.Receive(50ms).has_value());
    EXPECT_TRUE(receiver.ReceiveUntilQuiet(20ms).empty());
}

TEST(HarnessUdpSocket, ReceiveUntilQuietCollectsEverythingInOrder)
{
    UdpSocket receiver("127.0.0.1");
    UdpSocket sender("127.0.0.1");
    for (int i = 0; i < 5; ++i) {
        ASSERT_TRUE(sender.SendTo("127.0.0.1", receiver.LocalPort(), std::to_string(i)));
    }
    const auto all = receiver.ReceiveUntilQuiet(200ms);
    ASSERT_EQ(all.size(), 5u);
    for (int i = 0; i < 5; ++i) {
        EXPECT_EQ(all[static_cast<std::size_t>(i)].payload, std::to_string(i));
    }
}

TEST(HarnessUdpSocket, BadAddressesAreReported)
{
    EXPECT_THROW(UdpSocket("not an address"), std::invalid_argument);
    UdpSocket socket("127.0.0.1");
    EXPECT_THROW(socket.SendTo("300.1.1.1", 9, "x"), std::invalid_argument);
    // 192.0.2.1 (documentation range) is not a local address.
    EXPECT_THROW(UdpSocket("192.0.2.1"), std::system_error);
}

TEST(HarnessUdpSocket, MovingTransfersTheSocket)
{
    UdpSocket first("127.0.0.1");
    const int fd = first.Fd();
    UdpSocket second(std::move(first));
    EXPECT_EQ(second.Fd(), fd);
    EXPECT_EQ(first.Fd(), -1);
    UdpSocket third("127.0.0.1");
    third = std::move(second);
    EXPECT_EQ(third.Fd(), fd);
}
