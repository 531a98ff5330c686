// When the collector thread leaves its drained socket alone for a moment.
#include "core/receive/qvholdoff.h"

#include <gtest/gtest.h>

#include <cstdint>

namespace {

constexpr std::uint64_t kMs = 1'000'000;

// A stream of `perMs` datagrams a millisecond, taken in one pass a
// millisecond (each pass emptying the socket) for `ms` milliseconds.
std::uint64_t Feed(QvReceiveHoldoff& holdoff, std::uint64_t now, std::size_t perMs, int ms)
{
    for (int i = 0; i < ms; ++i) {
        now += kMs;
        holdoff.Note(now, perMs, true);
    }
    return now;
}

} // namespace

TEST(ReceiveHoldoffTest, PausesOnlyWhereAPauseGathersSeveralDatagrams)
{
    QvReceiveHoldoff holdoff;
    holdoff.Reset(455, 0); // a megabyte of kernel buffer, 1320-byte datagrams
    EXPECT_EQ(holdoff.Next(), 0u);

    // 20 a millisecond: a pause gathers a batch, bounded by the batch.
    std::uint64_t now = Feed(holdoff, 0, 20, 200);
    const std::uint64_t pause = holdoff.Next();
    EXPECT_GE(pause, QvReceiveHoldoff::kMinNs);
    EXPECT_LE(pause, QvReceiveHoldoff::kMaxNs);
    EXPECT_LE(pause * 20 / kMs, QvReceiveHoldoff::kTargetBatch);
    EXPECT_GE(pause * 20 / kMs, 2u);

    // Not after a receive that left datagrams behind, nor after one that
    // found nothing.
    holdoff.Note(now += kMs, 64, false);
    EXPECT_EQ(holdoff.Next(), 0u);
    holdoff.Note(now += kMs, 0, true);
    EXPECT_EQ(holdoff.Next(), 0u);

    // A slow stream: one datagram every 5 ms never gets a pause.
    QvReceiveHoldoff slow;
    slow.Reset(455, 0);
    for (int i = 1; i <= 100; ++i) {
        slow.Note(std::uint64_t(i) * 5 * kMs, 1, true);
        EXPECT_EQ(slow.Next(), 0u);
    }
}

TEST(ReceiveHoldoffTest, PauseGathersAtMostAQuarterOfTheBufferAtThePeakRate)
{
    // A buffer of 40 datagrams: a pause may gather 10 of them.
    QvReceiveHoldoff holdoff;
    holdoff.Reset(40, 0);
    std::uint64_t now = Feed(holdoff, 0, 4, 200);
    EXPECT_NEAR(static_cast<double>(holdoff.Next()), 10.0 * kMs / 4, 1000);

    // A burst raises the peak: the pause shrinks and vanishes, and comes
    // back only as the burst is forgotten.
    holdoff.Note(now += kMs, 40, true);
    EXPECT_EQ(holdoff.Next(), 0u);
    now = Feed(holdoff, now, 4, 600);
    EXPECT_GT(holdoff.Next(), 0u);
    EXPECT_LE(holdoff.Next(), 10 * kMs / 4);

    // A buffer too small to gather two datagrams in a quarter: no pause.
    QvReceiveHoldoff small;
    small.Reset(7, 0);
    Feed(small, 0, 4, 200);
    EXPECT_EQ(small.Next(), 0u);
}

TEST(ReceiveHoldoffTest, LatenessShrinksThePauseAndDropsStopIt)
{
    // 40 datagrams of buffer at 4 a millisecond fill in 10 ms: the pause
    // takes at most a quarter of what the lateness in waking leaves of it.
    QvReceiveHoldoff holdoff;
    holdoff.Reset(40, 0);
    std::uint64_t now = Feed(holdoff, 0, 4, 200);
    const auto full = static_cast<double>(holdoff.Next());
    ASSERT_NEAR(full, 2.5 * kMs, 1000);

    holdoff.NoteWake(now, now + 6 * kMs);
    now = Feed(holdoff, now + 6 * kMs, 4, 1);
    EXPECT_NEAR(static_cast<double>(holdoff.Next()), 1.1 * kMs, 0.05 * kMs);
    // Late by the buffer's whole time: no pause, until the delay is
    // forgotten.
    holdoff.NoteWake(now, now + 12 * kMs);
    now = Feed(holdoff, now + 12 * kMs, 4, 1);
    EXPECT_EQ(holdoff.Next(), 0u);
    holdoff.NoteWake(now, now);
    now = Feed(holdoff, now, 4, 12000);
    holdoff.NoteWake(now, now);
    EXPECT_NEAR(static_cast<double>(holdoff.Next()), full, 1000);

    // Kernel drops: no pause for the back-off, whatever the rate.
    holdoff.NoteDrops(now);
    now = Feed(holdoff, now, 4, 1000);
    EXPECT_EQ(holdoff.Next(), 0u);
    Feed(holdoff, now, 4, 1000);
    EXPECT_NEAR(static_cast<double>(holdoff.Next()), full, 1000);
}
