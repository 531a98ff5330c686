#pragma once
// The live stream control: waits for a multicast stream with a stream
// listener, buffers it with a stream receiver and, at the receiver's start
// threshold, builds a graph around the multicast source, which reads the
// running receiver, and runs it.
//
// The workers reach the control only through the controller's int-message
// queue (stream ready, start threshold, data timeout), drained on the
// host's thread; each of those hooks acts only in the state it belongs to,
// so a message that was already queued when the state moved on is ignored.
//
//   Play (0)          posts 17, starts the listener                 → 0x12
//   stream ready      merges what the listener found into the
//   (0x12)            settings, stops it, posts 33, starts the
//                     receiver                                      → 0x22
//   start threshold   posts 49, builds and runs the graph, switches
//   (0x22)            on the receiver's request timeout, posts 1    → 2
//   Pause (2)         pauses the graph, switches the request
//                     timeout off, posts 2                          → 1
//   Play (1)          Stop, then the receiver again (3, 33)         → 0x22
//   data timeout      tears the graph down, stops the receiver,
//   (2, 0x22)         posts 36 with NotifyOnEndData, then as Play   → 0x12
//                     A running graph first plays out what it
//                     holds (the source has ended its stream; the
//                     receiver hands it nothing that came after the
//                     timeout). The state is 0x12 from the timeout
//                     on and the listener waits for the next pass
//                     (Pause and Play return -1, as while waiting);
//                     only the teardown with 36 and 17 waits until
//                     the graph completes or fails, kDrainLimitMs
//                     pass, or the listener finds the stream again:
//                     the start of the next pass wins over the last
//                     pictures of this one, in a graph of its own
//                     (36, 17 and 33 at once).
//   Stop (not 0)      tears down, stops receiver and listener,
//                     drops queued int messages, posts 3            → 0
// A graph whose decoder cannot render the stream ("Decoder cannot render the
// stream.", in the log) stops the receiver and waits for the stream again:
// 17 with the value kUndecodable tells the host why (→ 0x12). So does a
// graph that fails before its first picture came; a graph runs while that
// picture is on its way (a stream joined between key frames), and 1 is
// posted once it is there. A graph that cannot be built for another reason
// stops the receiver and posts 3 (→ 0).

#include "core/receive/qvcollector.h"
#include "core/receive/qvudplisten.h"
#include "playback/qvplaybackexport.h"
#include "playback/qvstreamctl.h"

#include "platform/com/unknown.h"

class QV_PLAYBACK_API QvIAMovStreamControl : public QvIStreamControl
{
public:
    QvIAMovStreamControl();
    // Tears the graph down, then stops the listener and the receiver.
    ~QvIAMovStreamControl() override;

    int Stop() override;
    // The receiver's filled small buffers; 0.0 without a graph.
    double GetPosition() override;
    // The receiver's number of small buffers; 0.0 without a graph.
    double GetLength() override;
    // Longest wait for a graph to play out after a data timeout.
    static constexpr std::uint32_t kDrainLimitMs = 10000;

    // Logs the graph's errors; a failed graph stops reading, and the
    // receiver's request timeout then restarts the stream (one that fails
    // before its first picture: at once, as undecodable). Posts 1 when a
    // late first picture has come. After a data timeout, ends the stream
    // once the graph has played out.
    void Periodic() override;

    // While waiting, and while a graph plays out (see above).
    int OnStreamReady() override;

    // The workers, for hosts that show their figures.
    QvUdpDataCollector& GetReceiver() { return m_receiver; }
    QvUdpListen& GetListener() { return m_listener; }

protected:
    // Posts 17 and waits for the stream with the listener (unless it waits
    // already).
    void PlayPreInit() override;
    void PlayInit();
    void PlayContinue() override;
    void OnGraphPaused() override;
    bool RenderGraph(qvplat::MediaGraph& graph) override;
    void OnGraphReleased() override;
    void OnGraphFailed() override;
    void OnGraphRunning() override;
    void OnDataEnded() override;

private:
    // The data timeout's teardown: graph, receiver, 36, waiting again.
    void EndOfData();
    // PlayPreInit, with `value` in the 17 that tells the host why.
    void WaitForStream(unsigned long value);
    void StartListener();
    // The stream cannot be decoded: graph and receiver go, the user hears
    // why, and the listener waits for a stream again.
    void Undecodable();

    QvUdpDataCollector m_receiver;
    QvUdpListen m_listener;
    // The graph reported its completion or an error: it plays no more.
    bool m_graphEnded = false;
    // RenderGraph's decoder could not render the stream.
    bool m_undecodable = false;
    // A data timeout waits for the graph to play out, since m_drainStart.
    bool m_draining = false;
    std::uint32_t m_drainStart = 0;
};

// The class the object factory makes for "ILiveAMovStreamControl".
class QV_PLAYBACK_API QvILiveAMovStreamControl : public QvIAMovStreamControl
{
public:
    QvILiveAMovStreamControl() = default;
    ~QvILiveAMovStreamControl() override;
};
