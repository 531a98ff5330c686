#include <chrono>
#include <optional>
#include <string>

#include <gtest/gtest.h>

#include "platform/testsupport/netns_fixture.h"
#include "platform/testsupport/udp_loss.h"
#include "platform/testsupport/udp_socket.h"

using namespace std::chrono_literals;
using qvtest::UdpSocket;

namespace {

constexpr const char* kGroup = "239.192.7.10";

class HarnessUdpLoss : public qvtest::NetnsTest
{
protected:
    void SetUp() override
    {
        NetnsTest::SetUp();
        if (IsSkipped() || HasFatalFailure()) {
            return;
        }
        // Opened here, not as member initialisers: those run before the
        // namespace exists and would put the sockets outside it.
        m_member.emplace();
        m_member->JoinGroup(kGroup);
        m_sender.emplace("127.0.0.1");
    }

    std::uint16_t Port() const { return m_member->LocalPort(); }

    // Sends `count` datagrams to the group in small batches (so the receive
    // buffer never overflows) and counts the ones that arrive.
    int SendAndCount(int count)
    {
        int arrived = 0;
        for (int sent = 0; sent < count;) {
            for (int batch = 0; batch < 25 && sent < count; ++batch, ++sent) {
                EXPECT_TRUE(m_sender->SendTo(kGroup, Port(), "datagram " + std::to_string(sent)));
            }
            arrived += static_cast<int>(m_member->ReceiveUntilQuiet(100ms).size());
        }
        return arrived;
    }

    std::optional<UdpSocket> m_member;
    std::optional<UdpSocket> m_sender;
};

#define ADD_LOSS_OR_SKIP(port, percent)                                                            \
    do {                                                                                           \
        std::string why;                                                                           \
        if (!qvtest::AddUdpLoss((port), (percent), &why)) {                                        \
            GTEST_SKIP() << "cannot install the loss rule: " << why;                               \
        }                                                                                          \
    } while (false)

} // namespace

TEST_F(HarnessUdpLoss, FullLossDropsEverythingToThePort)
{
    ADD_LOSS_OR_SKIP(Port(), 100);
    EXPECT_EQ(SendAndCount(50), 0);
}

TEST_F(HarnessUdpLoss, ZeroLossDropsNothing)
{
    ADD_LOSS_OR_SKIP(Port(), 0);
    EXPECT_EQ(SendAndCount(100), 100);
}

TEST_F(HarnessUdpLoss, PartialLossDropsSomeButNotAll)
{
    ADD_LOSS_OR_SKIP(Port(), 50);
    // 400 trials at p = 0.5: falling outside 100..300 is far rarer than one
    // in 10^20.
    const int arrived = SendAndCount(400);
    EXPECT_GT(arrived, 100);
    EXPECT_LT(arrived, 300);
}

TEST_F(HarnessUdpLoss, OtherPortsAreUntouched)
{
    UdpSocket other;
    other.JoinGroup(kGroup);
    ADD_LOSS_OR_SKIP(Port(), 100);
    ASSERT_TRUE(m_sender->SendTo(kGroup, other.LocalPort(), "other port"));
    const auto datagram = other.Receive(2s);
    ASSERT_TRUE(datagram.has_value());
    EXPECT_EQ(datagram->payload, "other port");
}

TEST_F(HarnessUdpLoss, ClearingRestoresDelivery)
{
    ADD_LOSS_OR_SKIP(Port(), 100);
    EXPECT_EQ(SendAndCount(10), 0);
    std::string why;
    ASSERT_TRUE(qvtest::ClearUdpLoss(&why)) << why;
    EXPECT_EQ(SendAndCount(10), 10);
}

TEST(HarnessUdpLossGuards, RejectsPercentagesOutsideRange)
{
    std::string why;
    EXPECT_FALSE(qvtest::AddUdpLoss(5000, 101, &why));
    EXPECT_NE(why.find("0..100"), std::string::npos) << why;
    EXPECT_FALSE(qvtest::AddUdpLoss(5000, -1, &why));
}

TEST(HarnessUdpLossGuards, RefusesOutsideTestNamespaces)
{
    // Clearing is harmless even if the guard were broken.
    std::string why;
    EXPECT_FALSE(qvtest::ClearUdpLoss(&why));
    EXPECT_FALSE(why.empty());
}
