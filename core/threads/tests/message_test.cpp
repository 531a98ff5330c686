#include "core/threads/qvmessage.h"

#include <gtest/gtest.h>

#include <atomic>
#include <functional>
#include <memory>
#include <string>
#include <thread>
#include <utility>
#include <vector>

namespace {

// Counts live instances, so tests can see which messages were deleted.
class CountedMessage : public QvMessage
{
public:
    explicit CountedMessage(int messageId, std::vector<int>* deletions = nullptr)
        : id(messageId), m_deletions(deletions)
    {
        ++live;
    }
    ~CountedMessage() override
    {
        --live;
        if (m_deletions != nullptr) {
            m_deletions->push_back(id);
        }
    }

    static inline std::atomic<int> live{0};
    const int id;

private:
    std::vector<int>* m_deletions;
};

// A handler that records the ids of counted messages it is given, and can
// send more into a queue while it handles one.
class RecordingHandler : public QvMessage
{
public:
    void HandleMessage(QvMessage* message) override
    {
        const auto* counted = dynamic_cast<const CountedMessage*>(message);
        ASSERT_NE(counted, nullptr);
        seen.push_back(counted->id);
        if (onHandle) {
            onHandle(counted->id);
        }
    }

    std::vector<int> seen;
    std::function<void(int)> onHandle;
};

// An int-message handler that records which hook got which value.
class HookRecorder : public QvIntMessage
{
public:
    void OnStreamReady(unsigned long value) override { calls.emplace_back("ready", value); }
    void OnStartThreshold(unsigned long value) override { calls.emplace_back("threshold", value); }
    void OnDataTimeout(unsigned long value) override { calls.emplace_back("timeout", value); }
    void OnPlayStart(unsigned long value) override { calls.emplace_back("play", value); }
    void UnknownMessage(unsigned long value) override { calls.emplace_back("unknown", value); }

    std::vector<std::pair<std::string, unsigned long>> calls;
};

TEST(QvMessageQueue, DispatchHandlesInOrderIncludingMessagesSentMeanwhile)
{
    QvMessageQueue queue;
    RecordingHandler handler;
    handler.onHandle = [&](int id) {
        if (id == 2) {
            queue.Send(new CountedMessage(10));
            queue.Send(new CountedMessage(11));
        }
    };
    for (int id = 1; id <= 3; ++id) {
        queue.Send(new CountedMessage(id));
    }
    EXPECT_EQ(queue.Count(), 3);

    queue.DispatchMessages(&handler);

    EXPECT_EQ(handler.seen, (std::vector<int>{1, 2, 3, 10, 11}));
    EXPECT_EQ(queue.Count(), 0);
    EXPECT_EQ(CountedMessage::live, 0);
}

TEST(QvMessageQueue, EmptyQueueDispatchCallsNothing)
{
    QvMessageQueue queue;
    RecordingHandler handler;
    queue.DispatchMessages(&handler);
    EXPECT_TRUE(handler.seen.empty());
    EXPECT_EQ(queue.Get(), nullptr);
}

TEST(QvMessageQueue, NullEntryCountsAndIsSkipped)
{
    QvMessageQueue queue;
    RecordingHandler handler;
    queue.Send(new CountedMessage(1));
    queue.Send(nullptr);
    queue.Send(new CountedMessage(2));
    EXPECT_EQ(queue.Count(), 3);
    queue.DispatchMessages(&handler);
    EXPECT_EQ(handler.seen, (std::vector<int>{1, 2}));
    EXPECT_EQ(queue.Count(), 0);
    EXPECT_EQ(CountedMessage::live, 0);
}

TEST(QvMessageQueue, NullHandlerDeletesTheMessages)
{
    QvMessageQueue queue;
    queue.Send(new CountedMessage(1));
    queue.Send(new CountedMessage(2));
    queue.DispatchMessages(nullptr);
    EXPECT_EQ(queue.Count(), 0);
    EXPECT_EQ(CountedMessage::live, 0);
}

TEST(QvMessageQueue, GetHandsOverOwnership)
{
    QvMessageQueue queue;
    queue.Send(new CountedMessage(7));
    queue.Send(new CountedMessage(8));
    std::unique_ptr<QvMessage> first(queue.Get());
    ASSERT_NE(first, nullptr);
    EXPECT_EQ(static_cast<CountedMessage*>(first.get())->id, 7);
    EXPECT_EQ(queue.Count(), 1);
    queue.Flush();
    EXPECT_EQ(queue.Count(), 0);
    EXPECT_EQ(CountedMessage::live, 1); // the one taken out is the caller's
}

TEST(QvMessageQueue, FlushAndDestructorDeleteFirstToLast)
{
    std::vector<int> deletions;
    {
        QvMessageQueue queue;
        queue.Send(new CountedMessage(1, &deletions));
        queue.Send(new CountedMessage(2, &deletions));
        queue.Flush();
        EXPECT_EQ(deletions, (std::vector<int>{1, 2}));
        queue.Send(new CountedMessage(3, &deletions));
        queue.Send(nullptr);
        queue.Send(new CountedMessage(4, &deletions));
    }
    EXPECT_EQ(deletions, (std::vector<int>{1, 2, 3, 4}));
    EXPECT_EQ(CountedMessage::live, 0);
}

constexpr int kSenders = 8;
constexpr int kPerSender = 2000;

TEST(QvMessageQueue, ManySendersLoseAndDoubleNothing)
{
    QvMessageQueue queue;

    // Each message's code names its sender, its value its sequence number.
    class OrderChecker : public QvIntMessage
    {
    public:
        void UnknownMessage(unsigned long) override {}
        void HandleMessage(QvMessage* message) override
        {
            const auto* m = dynamic_cast<const QvIntMessage*>(message);
            ASSERT_NE(m, nullptr);
            const int sender = m->Code() - 100;
            ASSERT_GE(sender, 0);
            ASSERT_LT(sender, kSenders);
            // Per sender the values arrive in the order sent, none missing.
            EXPECT_EQ(m->Value(), next[static_cast<size_t>(sender)]);
            next[static_cast<size_t>(sender)] = m->Value() + 1;
            ++total;
        }
        std::vector<unsigned long> next = std::vector<unsigned long>(kSenders, 0);
        int total = 0;
    } checker;

    std::vector<std::thread> senders;
    for (int s = 0; s < kSenders; ++s) {
        senders.emplace_back([&queue, s] {
            for (unsigned long v = 0; v < kPerSender; ++v) {
                queue.Send(new QvIntMessage(100 + s, v));
            }
        });
    }
    while (checker.total < kSenders * kPerSender) {
        queue.DispatchMessages(&checker);
        std::this_thread::yield();
    }
    for (auto& sender : senders) {
        sender.join();
    }
    queue.DispatchMessages(&checker);
    EXPECT_EQ(checker.total, kSenders * kPerSender);
    for (unsigned long n : checker.next) {
        EXPECT_EQ(n, static_cast<unsigned long>(kPerSender));
    }
}

TEST(QvIntMessage, CodesReachTheirHooksWithTheValue)
{
    QvMessageQueue queue;
    for (int code = 0; code <= 5; ++code) {
        queue.Send(new QvIntMessage(code, 1000ul + static_cast<unsigned long>(code)));
    }
    HookRecorder handler;
    queue.DispatchMessages(&handler);
    const std::vector<std::pair<std::string, unsigned long>> expected = {
        {"unknown", 1000}, {"ready", 1001},   {"threshold", 1002},
        {"play", 1003},    {"timeout", 1004}, {"unknown", 1005},
    };
    EXPECT_EQ(handler.calls, expected);
}

TEST(QvIntMessage, ConstantsAndDefaults)
{
    EXPECT_EQ(QvIntMessage::kStreamReady, 1);
    EXPECT_EQ(QvIntMessage::kStartThreshold, 2);
    EXPECT_EQ(QvIntMessage::kPlayStart, 3);
    EXPECT_EQ(QvIntMessage::kDataTimeout, 4);
    const QvIntMessage empty;
    EXPECT_EQ(empty.Code(), 0);
    EXPECT_EQ(empty.Value(), 0ul);
    const QvIntMessage copy(QvIntMessage(4, 0xFFFFFFFFul));
    EXPECT_EQ(copy.Code(), 4);
    EXPECT_EQ(copy.Value(), 0xFFFFFFFFul);
}

TEST(QvIntMessage, MessageOfAnotherKindIsIgnored)
{
    QvMessageQueue queue;
    queue.Send(new CountedMessage(1));
    queue.Send(new QvIntMessage(QvIntMessage::kDataTimeout, 9));
    HookRecorder handler;
    queue.DispatchMessages(&handler);
    const std::vector<std::pair<std::string, unsigned long>> expected = {{"timeout", 9}};
    EXPECT_EQ(handler.calls, expected);
    EXPECT_EQ(CountedMessage::live, 0);

    // Called directly, too.
    CountedMessage other(2);
    handler.HandleMessage(&other);
    handler.HandleMessage(nullptr);
    EXPECT_EQ(handler.calls.size(), 1u);
}

} // namespace
