// Releasing the stream receiver's readers without stopping it: a media
// pipeline's flush must free a read that waits for data, while the stream
// goes on being received for the reads after the flush.
#include "core/receive/qvcollector.h"
#include "core/settings/qvproplist.h"

#include <gtest/gtest.h>

#include <chrono>
#include <cstdint>
#include <future>
#include <utility>
#include <vector>

using namespace std::chrono_literals;

namespace {

// An "OPV" datagram: the stream offset, then `length` bytes of value offset % 251.
std::vector<char> Opv(std::uint32_t offset, std::size_t length)
{
    std::vector<char> out = {static_cast<char>(offset >> 24), static_cast<char>(offset >> 16),
                             static_cast<char>(offset >> 8), static_cast<char>(offset)};
    for (std::size_t i = 0; i < length; ++i) {
        out.push_back(static_cast<char>((offset + i) % 251));
    }
    return out;
}

TEST(CollectorReleaseTest, ReleasedReadsReturnAtOnceUntilRearmedAndNothingIsLost)
{
    QvPropertyList props;
    props.SetProperty("PacketFormat", "OPV");
    props.SetProperty("FixHeader", "FALSE");
    QvUdpDataCollector collector;
    collector.SetPropertyList(&props);
    ASSERT_EQ(collector.StartDetached(), QvUdpDataCollector::kStartOk);
    auto feed = [&collector](std::uint32_t offset) {
        const std::vector<char> datagram = Opv(offset, 1000);
        collector.FeedDatagram(datagram.data(), datagram.size());
    };
    feed(0); // one packet: a read waits for more

    auto reader = std::async(std::launch::async, [&collector] {
        int flags = 0;
        std::vector<char> buffer(4000);
        const long got = collector.ReadBuffer(buffer.data(), 4000, flags);
        return std::make_pair(got, flags);
    });
    EXPECT_EQ(reader.wait_for(100ms), std::future_status::timeout);
    collector.ReleaseReaders();
    ASSERT_EQ(reader.wait_for(5s), std::future_status::ready);
    EXPECT_EQ(reader.get(), std::make_pair(0L, QvUdpDataCollector::kReleased));

    // Still receiving; every read gives up at once until re-armed.
    for (std::uint32_t offset = 1000; offset < 4000; offset += 1000) {
        feed(offset);
    }
    std::vector<char> buffer(2000);
    int flags = 0;
    EXPECT_EQ(collector.ReadBuffer(buffer.data(), 2000, flags), 0);
    EXPECT_EQ(flags, QvUdpDataCollector::kReleased);
    long size = 0;
    EXPECT_EQ(collector.GetNextBuffer(size, flags), nullptr);
    EXPECT_EQ(flags, QvUdpDataCollector::kReleased);
    EXPECT_TRUE(collector.IsStarted());
    EXPECT_EQ(collector.GetSmallBufLevel(), 4u);

    collector.RearmReaders();
    ASSERT_EQ(collector.ReadBuffer(buffer.data(), 2000, flags), 2000);
    EXPECT_EQ(flags, QvUdpDataCollector::kContinuous);
    std::vector<char> expected = Opv(0, 2000);
    expected.erase(expected.begin(), expected.begin() + 4); // the offset
    EXPECT_EQ(buffer, expected);
    collector.Stop();
}

} // namespace
