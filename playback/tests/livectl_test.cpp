// The live stream control's states and messages over a fake graph, with its
// listener and receiver on real sockets in the test's network namespace.
#include "playback_test_helpers.h"

#include "core/threads/qvmessage.h"
#include "playback/qvlivectl.h"
#include "playback/qvstreammsg.h"

#include "platform/testsupport/netns_fixture.h"
#include "platform/testsupport/udp_socket.h"

#include <gtest/gtest.h>

#include <chrono>
#include <thread>
#include <utility>

namespace {

using qvtest::Drain;
using qvtest::FakeServices;
using Messages = std::vector<int>;

class LiveControlTest : public qvtest::NetnsTest
{
protected:
    void SetUp() override
    {
        NetnsTest::SetUp();
        if (IsSkipped() || HasFatalFailure()) {
            return;
        }
        m_port = qvtest::UdpSocket().LocalPort();
        // No data timeout while a test looks at a silent stream.
        settings.SetProperties(("Port=" + std::to_string(m_port) + " UDCTimeout=600000").c_str());
    }

    void Init()
    {
        ASSERT_TRUE(controller.Initialize({0, 0, 330, 330}, &frame, &settings, &queue));
        control = dynamic_cast<QvIAMovStreamControl*>(controller.GetQvInterface("IStreamControl"));
        ASSERT_NE(control, nullptr);
    }
    // Delivers one int message, as a worker would, and the host's next tick.
    Messages Deliver(int code)
    {
        controller.GetIntMessageQueue().Send(new QvIntMessage(code, 0));
        controller.Periodic();
        return Drain(queue);
    }
    // Waiting (0x12), buffering (0x22), playing (2) or paused (1).
    void Reach(int state)
    {
        controller.Play();
        if (state != 0x12) {
            Deliver(QvIntMessage::kStreamReady);
        }
        if (state == 2 || state == 1) {
            Deliver(QvIntMessage::kStartThreshold);
        }
        if (state == 1) {
            controller.Pause();
        }
        Drain(queue);
        ASSERT_EQ(controller.GetStreamState(), state);
    }
    QvUdpDataCollector& Receiver() { return control->GetReceiver(); }

    std::uint16_t m_port = 0;
    // The host's windows and queue outlive the controller.
    qvtest::FakeWnd frame;
    QvPropertyList settings;
    QvMessageQueue queue;
    std::shared_ptr<FakeServices> services = std::make_shared<FakeServices>();
    QvAMovController controller{services};
    QvIAMovStreamControl* control = nullptr;
};

TEST_F(LiveControlTest, WalksTheStateTable)
{
    Init();
    EXPECT_EQ(controller.Pause(), -1);
    EXPECT_EQ(controller.Play(), 0);
    EXPECT_EQ(Drain(queue), (Messages{17}));
    EXPECT_EQ(controller.GetStreamState(), 0x12);
    EXPECT_TRUE(control->GetListener().IsStarted());
    EXPECT_EQ(controller.Play(), -1);

    // Three OPV datagrams: the listener finds the stream and its format.
    {
        qvtest::UdpSocket sender;
        std::string datagram(1320, 'p');
        for (std::uint32_t offset = 0; offset < 3 * 1316; offset += 1316) {
            for (int i = 0; i < 4; ++i) {
                datagram[static_cast<std::size_t>(i)] = static_cast<char>(offset >> (24 - 8 * i));
            }
            sender.SendTo("127.0.0.1", m_port, datagram);
        }
    }
    const auto end = std::chrono::steady_clock::now() + std::chrono::seconds(20);
    while (controller.GetStreamState() == 0x12 && std::chrono::steady_clock::now() < end) {
        std::this_thread::sleep_for(std::chrono::milliseconds(20));
        controller.Periodic();
    }
    EXPECT_EQ(Drain(queue), (Messages{33}));
    EXPECT_EQ(controller.GetStreamState(), 0x22);
    EXPECT_EQ(controller.propertyList->GetProperty("PacketFormat"), UtCString("OPV"));
    EXPECT_FALSE(control->GetListener().IsStarted());
    EXPECT_TRUE(Receiver().IsStarted());
    EXPECT_EQ(controller.Play(), -1);
    EXPECT_EQ(controller.Pause(), -1);

    EXPECT_EQ(Deliver(QvIntMessage::kStartThreshold), (Messages{49, 1}));
    EXPECT_EQ(controller.GetStreamState(), 2);
    EXPECT_TRUE(services->Last().running);
    EXPECT_TRUE(Receiver().GetReqTimeoutMonitor());
    EXPECT_EQ(Receiver().GetPropertyList(), &services->sourceSettings);
    EXPECT_EQ(controller.GetLength(), Receiver().GetNumSmallBufs());

    // A paused graph reads nothing: no request timeout meanwhile.
    EXPECT_EQ(controller.Pause(), 0);
    EXPECT_EQ(Drain(queue), (Messages{2}));
    EXPECT_FALSE(Receiver().GetReqTimeoutMonitor());
    EXPECT_TRUE(services->Last().paused);

    // Play after Pause starts reception again.
    EXPECT_EQ(controller.Play(), 0);
    EXPECT_EQ(Drain(queue), (Messages{3, 33}));
    EXPECT_FALSE(services->Last().alive);
    EXPECT_EQ(Receiver().GetPropertyList(), controller.propertyList) << "not the freed copy";
    EXPECT_EQ(controller.GetStreamState(), 0x22);
    EXPECT_EQ(Deliver(QvIntMessage::kStartThreshold), (Messages{49, 1}));

    EXPECT_EQ(controller.Stop(), 0);
    EXPECT_EQ(Drain(queue), (Messages{3}));
    EXPECT_FALSE(services->Last().alive);
    EXPECT_FALSE(Receiver().IsStarted());
    EXPECT_EQ(controller.GetPosition(), 0.0);
    EXPECT_EQ(controller.Stop(), -1);
    EXPECT_TRUE(Drain(queue).empty());

    // Stop while waiting stops the listener.
    Reach(0x12);
    EXPECT_EQ(controller.Stop(), 0);
    EXPECT_EQ(Drain(queue), (Messages{3}));
    EXPECT_FALSE(control->GetListener().IsStarted());
}

// A running graph plays out what it holds before it goes: until it
// completes or fails, the data timeout changes nothing the host sees.
TEST_F(LiveControlTest, DataTimeoutWaitsForTheStreamAgain)
{
    for (const auto end : {qvplat::MediaEvent::Complete, qvplat::MediaEvent::Error}) {
        for (const bool notify : {false, true}) {
            SCOPED_TRACE(testing::Message() << (notify ? "NotifyOnEndData" : "quiet") << " event "
                                            << static_cast<int>(end));
            settings.SetProperty("NotifyOnEndData", notify ? "1" : "0");
            controller.UnInitialize();
            Init();
            Reach(2);
            EXPECT_TRUE(Deliver(QvIntMessage::kDataTimeout).empty());
            EXPECT_TRUE(Deliver(QvIntMessage::kDataTimeout).empty());
            EXPECT_EQ(controller.GetStreamState(), 0x12);
            EXPECT_TRUE(services->Last().alive);
            EXPECT_FALSE(Receiver().GetReqTimeoutMonitor());

            services->Last().events.push_back(end);
            controller.Periodic();
            EXPECT_EQ(Drain(queue), notify ? (Messages{36, 17}) : Messages{17});
            EXPECT_EQ(controller.GetStreamState(), 0x12);
            EXPECT_FALSE(services->Last().alive);
            EXPECT_FALSE(Receiver().IsStarted());
            EXPECT_TRUE(control->GetListener().IsStarted());
        }
    }
    // Without a graph, and with one that ended before, at once.
    ASSERT_EQ(controller.GetStreamState(), 0x12);
    Deliver(QvIntMessage::kStreamReady);
    EXPECT_EQ(Deliver(QvIntMessage::kDataTimeout), (Messages{36, 17}));
    Deliver(QvIntMessage::kStreamReady);
    Deliver(QvIntMessage::kStartThreshold);
    services->Last().events.push_back(qvplat::MediaEvent::Error);
    controller.Periodic();
    EXPECT_EQ(Deliver(QvIntMessage::kDataTimeout), (Messages{36, 17}));
    EXPECT_FALSE(services->Last().alive);
}

// While the graph plays out after a data timeout the control waits for the
// next pass (nothing to pause or play); once the listener finds it, the old
// graph goes at once and the pass starts a graph of its own.
TEST_F(LiveControlTest, TheNextPassEndsThePlayOut)
{
    settings.SetProperty("NotifyOnEndData", "1");
    Init();
    Reach(2);
    EXPECT_TRUE(Deliver(QvIntMessage::kDataTimeout).empty());
    EXPECT_TRUE(control->GetListener().IsStarted());
    EXPECT_EQ(controller.Pause(), -1);
    EXPECT_EQ(controller.Play(), -1);
    EXPECT_TRUE(Drain(queue).empty());
    EXPECT_TRUE(services->Last().alive);
    EXPECT_FALSE(services->Last().paused);
    EXPECT_EQ(Deliver(QvIntMessage::kStreamReady), (Messages{36, 17, 33}));
    EXPECT_FALSE(services->Last().alive);
    EXPECT_FALSE(control->GetListener().IsStarted());
    EXPECT_TRUE(Receiver().IsStarted());
    EXPECT_EQ(controller.GetStreamState(), 0x22);
    EXPECT_EQ(Deliver(QvIntMessage::kStartThreshold), (Messages{49, 1}));
    EXPECT_EQ(services->records.size(), 2u);
    EXPECT_TRUE(services->Last().running);
}

// A message that was queued when the state moved on does nothing.
TEST_F(LiveControlTest, StaleMessagesAreIgnored)
{
    struct Case
    {
        int state;
        int code;
    };
    for (const Case& c :
         {Case{0x12, QvIntMessage::kStartThreshold}, Case{0x12, QvIntMessage::kDataTimeout},
          Case{0x22, QvIntMessage::kStreamReady}, Case{2, QvIntMessage::kStreamReady},
          Case{2, QvIntMessage::kStartThreshold}, Case{1, QvIntMessage::kDataTimeout},
          Case{1, QvIntMessage::kStartThreshold}}) {
        SCOPED_TRACE(testing::Message() << "state " << c.state << " code " << c.code);
        controller.UnInitialize();
        Init();
        Reach(c.state);
        EXPECT_TRUE(Deliver(c.code).empty());
        EXPECT_EQ(controller.GetStreamState(), c.state);
    }
    // Queued before Stop, handled after it: playback does not start again.
    controller.UnInitialize();
    Init();
    Reach(0x22);
    controller.GetIntMessageQueue().Send(new QvIntMessage(QvIntMessage::kStartThreshold, 0));
    controller.Stop();
    controller.Periodic();
    EXPECT_EQ(Drain(queue), (Messages{3}));
    EXPECT_EQ(controller.GetStreamState(), 0);
}

TEST_F(LiveControlTest, AGraphThatCannotBeBuiltStopsTheReceiver)
{
    for (const auto failure : {FakeServices::Failure::Graph, FakeServices::Failure::Source}) {
        SCOPED_TRACE(static_cast<int>(failure));
        services->failure = failure;
        controller.UnInitialize();
        Init();
        Reach(0x22);
        EXPECT_EQ(Deliver(QvIntMessage::kStartThreshold), (Messages{49, 3}));
        EXPECT_EQ(controller.GetStreamState(), 0);
        EXPECT_FALSE(Receiver().IsStarted());
        EXPECT_EQ(Receiver().GetPropertyList(), controller.propertyList);
        EXPECT_TRUE(services->records.empty() || !services->Last().alive);
    }
}

// A stream whose decoder gives up (while the graph is built, or later
// before a first picture came) sends the control back to waiting, with the
// reason in the waiting message, and a good stream is then picked up. A
// graph whose first picture is still on its way runs; playing is posted
// when the picture comes.
TEST_F(LiveControlTest, UndecodableOrLateFirstPicture)
{
    using Posted = std::vector<std::pair<int, unsigned long>>;
    const auto drain = [this] {
        Posted posted;
        while (QvMessage* message = queue.Get()) {
            if (auto* stream = dynamic_cast<QvStreamMessage*>(message)) {
                posted.emplace_back(stream->type, stream->value);
            }
            delete message;
        }
        return posted;
    };
    const auto threshold = [&] {
        controller.GetIntMessageQueue().Send(new QvIntMessage(QvIntMessage::kStartThreshold, 0));
        controller.Periodic();
        return drain();
    };
    const auto expectWaitingAgain = [&](const Posted& posted) {
        EXPECT_EQ(posted, (Posted{{17, QvStreamMessage::kUndecodable}}));
        EXPECT_EQ(controller.GetStreamState(), 0x12);
        EXPECT_FALSE(Receiver().IsStarted());
        EXPECT_TRUE(control->GetListener().IsStarted());
        EXPECT_FALSE(services->Last().alive);
    };

    services->failure = FakeServices::Failure::Render;
    Init();
    Reach(0x22);
    const Posted built = threshold();
    ASSERT_FALSE(built.empty());
    EXPECT_EQ(built.front(), (std::pair<int, unsigned long>{49, 0}));
    expectWaitingAgain(Posted(built.begin() + 1, built.end()));
    services->failure = FakeServices::Failure::None;
    EXPECT_EQ(Deliver(QvIntMessage::kStreamReady), (Messages{33}));
    EXPECT_EQ(threshold(), (Posted{{49, 0}, {1, 0}}));
    EXPECT_EQ(controller.GetStreamState(), 2);

    services->prerolled = false;
    enum class Then { Picture, Error, DataEnds };
    for (const Then then : {Then::Picture, Then::Error, Then::DataEnds}) {
        SCOPED_TRACE(static_cast<int>(then));
        controller.UnInitialize();
        Init();
        Reach(0x22);
        EXPECT_EQ(threshold(), (Posted{{49, 0}}));
        EXPECT_EQ(controller.GetStreamState(), 2);
        EXPECT_TRUE(services->Last().running);
        controller.Periodic();
        EXPECT_TRUE(drain().empty());
        if (then == Then::Error) {
            services->Last().events.push_back(qvplat::MediaEvent::Error);
            controller.Periodic();
            expectWaitingAgain(drain());
        } else if (then == Then::DataEnds) {
            // Nothing to play out: waiting again at once.
            EXPECT_EQ(Deliver(QvIntMessage::kDataTimeout), (Messages{17}));
            EXPECT_FALSE(services->Last().alive);
        } else {
            services->Last().prerolled = true;
            controller.Periodic();
            EXPECT_EQ(drain(), (Posted{{1, 0}}));
            controller.Periodic();
            EXPECT_TRUE(drain().empty());
        }
    }
}

} // namespace
