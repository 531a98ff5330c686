// The command channel and its listener lists between two real processes:
// this test and channel_peer, in a private runtime directory.
#include "capture/channel/qvcommchannel.h"
#include "platform/tests/settings_env.h"
#include "platform/testsupport/peer.h"
#include "signal_waiter.h"

#include <gtest/gtest.h>

#include <string>
#include <thread>
#include <vector>

namespace {

class ChannelTest : public ::testing::Test
{
protected:
    qvtest::SettingsEnv m_env;
    bool m_private = m_env.UsePrivateRuntime(); // before the peer, which inherits it
    qvtest::PeerProcess m_peer{CHANNEL_PEER_PATH};
};

std::string ListText(QvSharedBlock& block)
{
    char text[QvSharedBlock::kListSize];
    EXPECT_TRUE(block.List().Read(text, sizeof text, QvSharedMemory::kText));
    return text;
}

TEST_F(ChannelTest, ListenerListHoldsEachNameOnceAndLosesTheDead)
{
    ASSERT_EQ(m_peer.Ask("listen peer_ev"), "ok");
    qvtest::SignalWaiter waiter;
    QvCommMgrListener mine(&waiter, "my_ev");
    QvSharedBlock block("blk", 16);
    ASSERT_TRUE(block.IsValid());
    EXPECT_TRUE(block.IsNew());
    EXPECT_TRUE(block.AddListener("peer_ev"));
    EXPECT_TRUE(block.AddListener(mine));
    EXPECT_TRUE(block.AddListener(mine));
    EXPECT_EQ(ListText(block), "peer_ev my_ev ");
    EXPECT_FALSE(block.AddListener(std::string(90, 'n').c_str())); // does not fit

    ASSERT_TRUE(block.Signal());
    ASSERT_TRUE(waiter.Wait());
    m_peer.Kill();
    ASSERT_TRUE(block.Signal());
    EXPECT_EQ(ListText(block), "my_ev ");
    EXPECT_TRUE(waiter.Wait());
}

TEST_F(ChannelTest, CommandsRoundTripBetweenProcessesWithoutLoss)
{
    ASSERT_EQ(m_peer.Ask("serve ch"), "ok");
    QvCommChannel sender("ch", kQvChannelDataSize, QvCommChannel::Side::Sending);
    ASSERT_TRUE(sender.IsValid());
    EXPECT_EQ(sender.GetDataBlock().Data().GetSize(), kQvChannelDataSize); // the peer's record

    int unanswered = 0;
    int wrong = 0;
    for (std::int32_t i = 0; i < 10000; ++i) {
        const int result = sender.SendCommand(7, &i, sizeof i);
        unanswered += result == kQvNoAnswer;
        wrong += result != kQvNoAnswer && result != 7000 + i;
    }
    EXPECT_EQ(unanswered, 0);
    EXPECT_EQ(wrong, 0);

    // Two senders at once: each gets the answer to its own command.
    std::vector<int> mismatches(2, 0);
    std::vector<std::thread> senders;
    for (int t = 0; t < 2; ++t) {
        senders.emplace_back([t, &mismatches] {
            QvCommChannel own("ch", kQvChannelDataSize, QvCommChannel::Side::Sending);
            for (std::int32_t i = 0; i < 500; ++i) {
                const std::int32_t value = (t + 1) * 100000 + i;
                mismatches[static_cast<std::size_t>(t)] +=
                    own.SendCommand(t + 1, &value, sizeof value) != (t + 1) * 1000 + value;
            }
        });
    }
    for (auto& thread : senders) {
        thread.join();
    }
    EXPECT_EQ(mismatches, (std::vector<int>{0, 0}));
}

TEST_F(ChannelTest, NothingIsSentCutAndNoServerMeansNoAnswer)
{
    QvCommChannel sender("lonely", kQvChannelDataSize, QvCommChannel::Side::Sending);
    ASSERT_TRUE(sender.IsValid());
    const std::string tooLong(kQvChannelDataSize + 1, 'x');
    EXPECT_EQ(sender.SendCommand(1, tooLong.data(), static_cast<std::uint32_t>(tooLong.size())),
              -1);
    EXPECT_EQ(sender.SendCommand(3, nullptr, 0), kQvNoAnswer);

    // Lengths are clamped to the block, texts read within it.
    QvSharedMemory memory("mem", 16);
    EXPECT_FALSE(memory.Write(tooLong.c_str(), 100, QvSharedMemory::kText));
    ASSERT_TRUE(memory.Write(tooLong.data(), 40, QvSharedMemory::kBinary));
    char bytes[40];
    ASSERT_TRUE(memory.Read(bytes, sizeof bytes, QvSharedMemory::kBinary));
    EXPECT_EQ(std::string(bytes, 17), std::string(16, 'x') + '\0');
    ASSERT_TRUE(memory.Read(bytes, sizeof bytes, QvSharedMemory::kText));
    EXPECT_STREQ(bytes, std::string(16, 'x').c_str());
}

// A block opened while its last other holder lets it go is whole: it
// never comes without its size record.
TEST_F(ChannelTest, BlockOpenedWhileTheLastOtherHolderClosesIsWhole)
{
    constexpr int kRounds = 100;
    std::thread other([] {
        for (int i = 0; i < kRounds; ++i) {
            QvSharedBlock("x_QvSTrace", sizeof(QvStatusBlock));
        }
    });
    int broken = 0;
    for (int i = 0; i < kRounds; ++i) {
        broken += QvSharedBlock("x_QvSTrace", sizeof(QvStatusBlock)).IsValid() ? 0 : 1;
    }
    other.join();
    EXPECT_EQ(broken, 0);
}

} // namespace
