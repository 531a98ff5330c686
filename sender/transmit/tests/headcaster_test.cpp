// Tests of the sequence-header resender: which bytes of a file its header
// packet carries, when it refuses to start, and its thread's life.
#include "xmit_testing.h"

#include "core/net/qvudpcaster.h"
#include "sender/transmit/qvheadcaster.h"

#include <gtest/gtest.h>

#include <chrono>
#include <mutex>
#include <thread>
#include <vector>

namespace {

using namespace xmittest;

const Bytes kSequence = {0x00, 0x00, 0x01, 0xB3};
const Bytes kGroup = {0x00, 0x00, 0x01, 0xB8};

// A caster that records what it is asked to send.
class RecordingCaster : public QvUdpCaster
{
public:
    int Send(const void* buffer, int length, int) override
    {
        const std::lock_guard<std::mutex> lock(m_lock);
        const auto* p = static_cast<const std::uint8_t*>(buffer);
        m_sent.emplace_back(p, p + length);
        return m_result < 0 ? m_result : length;
    }
    void FailSends() { m_result = -1; }
    std::vector<Bytes> Sent()
    {
        const std::lock_guard<std::mutex> lock(m_lock);
        return m_sent;
    }
    bool WaitFor(std::size_t count)
    {
        const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(10);
        while (Sent().size() < count) {
            if (std::chrono::steady_clock::now() > deadline) {
                return false;
            }
            std::this_thread::sleep_for(std::chrono::milliseconds(1));
        }
        return true;
    }

private:
    std::mutex m_lock;
    std::vector<Bytes> m_sent;
    int m_result = 0;
};

// `before` filler bytes, a sequence header padded to `headerLength` bytes,
// a group start code and `after` more bytes. Filler is never 0.
Bytes FileWithHeader(std::size_t before, std::size_t headerLength, std::size_t after)
{
    Bytes file(before, 0x42);
    file.insert(file.end(), kSequence.begin(), kSequence.end());
    for (std::size_t i = 4; i < headerLength; ++i) {
        file.push_back(static_cast<std::uint8_t>(0x10 + i % 100));
    }
    file.insert(file.end(), kGroup.begin(), kGroup.end());
    file.insert(file.end(), after, 0x24);
    return file;
}

Bytes ExpectedPacket(const Bytes& file, std::size_t from, std::size_t length)
{
    Bytes packet(8, 0xA5);
    packet.push_back(0x00);
    packet.push_back(0x01);
    packet.push_back(static_cast<std::uint8_t>(length >> 8));
    packet.push_back(static_cast<std::uint8_t>(length));
    packet.insert(packet.end(), file.begin() + static_cast<std::ptrdiff_t>(from),
                  file.begin() + static_cast<std::ptrdiff_t>(from + length));
    return packet;
}

class HeadCasterTest : public ::testing::Test
{
protected:
    void SetUp() override { ASSERT_TRUE(dir.Valid()); }

    TempDir dir;
    RecordingCaster owner;
    QvHeadCaster caster;
};

TEST_F(HeadCasterTest, SendsTheHeaderUpToTheFirstGroupAtOnce)
{
    const Bytes file = FileWithHeader(0, 140, 1000);
    caster.SetFilePath(dir.Write("a.mpg", file));
    caster.SetOwner(&owner);
    ASSERT_EQ(caster.Start(), 0);
    EXPECT_TRUE(caster.IsStarted());
    ASSERT_TRUE(owner.WaitFor(1));
    EXPECT_EQ(caster.Stop(), 0);
    EXPECT_FALSE(caster.IsStarted());
    EXPECT_EQ(caster.GetOwner(), nullptr) << "each start needs its owner again";

    const Bytes expected = ExpectedPacket(file, 0, 140);
    ASSERT_EQ(expected.size(), 152U);
    for (const Bytes& sent : owner.Sent()) {
        EXPECT_EQ(sent, expected);
    }
    EXPECT_EQ(Bytes(caster.GetPacket().begin(), caster.GetPacket().end()), expected);
}

TEST_F(HeadCasterTest, SecondSequenceHeaderBeforeTheGroupStaysInside)
{
    Bytes file(30, 0x42);
    const Bytes one = FileWithHeader(0, 60, 0);
    file.insert(file.end(), one.begin(), one.end() - 4); // no group after the first
    const Bytes two = FileWithHeader(0, 40, 10);
    file.insert(file.end(), two.begin(), two.end());
    caster.SetFilePath(dir.Write("b.mpg", file));
    ASSERT_EQ(caster.Start(), 0);
    caster.Stop();
    EXPECT_EQ(Bytes(caster.GetPacket().begin(), caster.GetPacket().end()),
              ExpectedPacket(file, 30, 100));
}

TEST_F(HeadCasterTest, LongestHeaderThatFitsAndOneByteMore)
{
    const Bytes fits = FileWithHeader(7, 500, 20);
    caster.SetFilePath(dir.Write("fits.mpg", fits));
    ASSERT_EQ(caster.Start(), 0);
    EXPECT_EQ(caster.GetPacket().size(), QvHeadCaster::kPacketCapacity);
    caster.Stop();

    caster.SetFilePath(dir.Write("long.mpg", FileWithHeader(7, 501, 20)));
    EXPECT_EQ(caster.Start(), 1);
    EXPECT_FALSE(caster.IsStarted());
}

TEST_F(HeadCasterTest, RefusesFilesWithoutAWholeHeader)
{
    // No sequence header at all.
    caster.SetFilePath(dir.Write("none.mpg", Bytes(5000, 0x47)));
    EXPECT_EQ(caster.Start(), 1);
    // A sequence header with no group of pictures behind it.
    const Bytes open = FileWithHeader(10, 100, 0);
    caster.SetFilePath(dir.Write("open.mpg", Bytes(open.begin(), open.end() - 4)));
    EXPECT_EQ(caster.Start(), 1);
    // A start code cut by the end of the file.
    caster.SetFilePath(dir.Write("cut.mpg", Bytes{0x00, 0x00, 0x01}));
    EXPECT_EQ(caster.Start(), 1);
    // No file.
    caster.SetFilePath(dir.Write("gone.mpg", {}) + ".absent");
    EXPECT_EQ(caster.Start(), 1);
    EXPECT_FALSE(caster.IsStarted());
}

TEST_F(HeadCasterTest, ScansOnlyTheBytesItReads)
{
    const Bytes file = FileWithHeader(100, 200, 50);
    caster.SetFilePath(dir.Write("c.mpg", file));
    caster.SetReadSize(250); // the group start code lies behind the read
    EXPECT_EQ(caster.Start(), 1);
    caster.SetReadSize(file.size() + 1000); // more than the file holds
    EXPECT_EQ(caster.Start(), 0);
    EXPECT_EQ(caster.GetPacket().size(), 212U);
}

TEST_F(HeadCasterTest, StartsWithoutAnOwnerAndSendsThroughOneSetLater)
{
    caster.SetFilePath(dir.Write("d.mpg", FileWithHeader(0, 20, 0)));
    ASSERT_EQ(caster.Start(), 0);
    // Gives the thread the chance to go round once without an owner; the
    // check below holds either way.
    std::this_thread::sleep_for(std::chrono::milliseconds(5));
    caster.SetOwner(&owner);
    ASSERT_TRUE(owner.WaitFor(1)) << "an owner set later is used";
    caster.Stop();
}

TEST_F(HeadCasterTest, FailedSendsAreLoggedAndRestartWorks)
{
    owner.FailSends();
    caster.SetFilePath(dir.Write("e.mpg", FileWithHeader(0, 20, 0)));
    for (int i = 0; i < 20; ++i) {
        caster.SetOwner(&owner);
        ASSERT_EQ(caster.Start(), 0);
        if (i % 2 == 0) {
            ASSERT_EQ(caster.Start(), 0); // stops the running thread first
            caster.SetOwner(&owner);
        }
        caster.Stop();
        EXPECT_FALSE(caster.IsStarted());
    }
    EXPECT_GE(owner.Sent().size(), 20U);
}

} // namespace
