#include "playback/qvlivectl.h"

#include "core/settings/qvlog.h"
#include "core/settings/qvproplist.h"
#include "core/threads/qvmessage.h"
#include "playback/qvstreammsg.h"

#include "platform/clock.h"

QvIAMovStreamControl::QvIAMovStreamControl()
{
    m_volumeDebug = true;
}

QvIAMovStreamControl::~QvIAMovStreamControl()
{
    DestroyFilterGraph();
    m_listener.Stop();
    m_receiver.Stop();
}

QvILiveAMovStreamControl::~QvILiveAMovStreamControl() = default;

void QvIAMovStreamControl::PlayPreInit()
{
    WaitForStream(0);
}

void QvIAMovStreamControl::WaitForStream(unsigned long value)
{
    Post(QvStreamMessage::kWaiting, value);
    if (!m_listener.IsStarted()) {
        StartListener();
    }
    m_state = kWaiting;
}

void QvIAMovStreamControl::StartListener()
{
    m_listener.SetPropertyList(m_amov->propertyList);
    m_listener.SetMessageQueue(m_amov->intMessageQueue);
    if (m_listener.Start() != 0) {
        QvLog("Failed to start the stream listener");
    }
}

void QvIAMovStreamControl::PlayInit()
{
    Post(QvStreamMessage::kCollecting);
    m_receiver.SetPropertyList(m_amov->propertyList);
    m_receiver.SetMessageQueue(m_amov->intMessageQueue);
    if (const int result = m_receiver.Start(); result != QvUdpDataCollector::kStartOk) {
        QvLog("Failed to start the stream receiver (%d)", result);
    }
    m_state = kBuffering;
}

void QvIAMovStreamControl::OnGraphFailed()
{
    if (m_undecodable) {
        Undecodable();
        return;
    }
    m_receiver.Stop();
    QvIStreamControl::OnGraphFailed();
}

void QvIAMovStreamControl::Undecodable()
{
    m_undecodable = false;
    DestroyFilterGraph();
    m_receiver.Stop();
    WaitForStream(QvStreamMessage::kUndecodable);
}

void QvIAMovStreamControl::OnGraphRunning()
{
    m_receiver.SetReqTimeoutMonitor(true);
}

void QvIAMovStreamControl::PlayContinue()
{
    Stop();
    PlayInit();
}

void QvIAMovStreamControl::OnGraphPaused()
{
    // A paused graph reads nothing; that is no reason to give up the stream.
    m_receiver.SetReqTimeoutMonitor(false);
}

int QvIAMovStreamControl::Stop()
{
    if (m_state == kStopped) {
        return -1;
    }
    DestroyFilterGraph();
    if (m_receiver.IsStarted()) {
        m_receiver.Stop();
    }
    if (m_listener.IsStarted()) {
        m_listener.Stop();
    }
    // Both workers are stopped: what they queued before belongs to the
    // stream that just ended.
    if (m_amov->intMessageQueue != nullptr) {
        m_amov->intMessageQueue->Flush();
    }
    Post(QvStreamMessage::kStopped);
    m_state = kStopped;
    return 0;
}

int QvIAMovStreamControl::OnStreamReady()
{
    if (m_draining) {
        // The next pass has begun while the graph played out the last one:
        // its start wins, in a graph of its own.
        EndOfData();
    }
    if (m_state != kWaiting) {
        return 0;
    }
    m_amov->propertyList->MergeProperties(m_listener.GetGeneratedProperties());
    m_listener.Stop();
    PlayInit();
    return 0;
}

void QvIAMovStreamControl::OnDataEnded()
{
    if (m_draining) {
        return;
    }
    if (m_state == kPlaying && m_amov->graph != nullptr && !m_graphEnded &&
        !m_firstPicturePending) {
        // The source ends the stream after the bytes received before the
        // timeout; the graph still holds what the start threshold buffered
        // and plays it out first. For the host the control waits for the
        // stream from now on, as after any data timeout (there is nothing
        // to pause or play any more), and the listener does, so that the
        // next pass is not missed; only 36 and 17 wait until the pictures
        // have been shown. (A graph still waiting for its first picture
        // has nothing to play out.)
        m_receiver.SetReqTimeoutMonitor(false);
        m_draining = true;
        m_drainStart = qvplat::TickCount();
        StartListener();
        m_state = kWaiting;
        return;
    }
    EndOfData();
}

void QvIAMovStreamControl::EndOfData()
{
    DestroyFilterGraph();
    if (m_receiver.IsStarted()) {
        m_receiver.Stop();
    }
    if (m_amov->notifyOnEndData) {
        Post(QvStreamMessage::kEndOfData);
    }
    PlayPreInit();
}

double QvIAMovStreamControl::GetPosition()
{
    return m_amov->graph != nullptr ? static_cast<double>(m_receiver.GetSmallBufLevel()) : 0.0;
}

double QvIAMovStreamControl::GetLength()
{
    return m_amov->graph != nullptr ? static_cast<double>(m_receiver.GetNumSmallBufs()) : 0.0;
}

void QvIAMovStreamControl::Periodic()
{
    if (m_amov == nullptr || m_amov->graph == nullptr) {
        return;
    }
    std::string text;
    for (qvplat::MediaEvent event = m_amov->graph->PopEvent(&text);
         event != qvplat::MediaEvent::None; event = m_amov->graph->PopEvent(&text)) {
        if (event == qvplat::MediaEvent::Error) {
            QvDebugMsg("Graph error: %s", text.c_str());
            if (m_firstPicturePending) {
                // Not one picture: the decoder cannot take this stream.
                QvLog("Decoder cannot render the stream.");
                Undecodable();
                return;
            }
        }
        m_graphEnded = true;
    }
    // (A graph that ended before its first picture did not play.)
    if (m_firstPicturePending && !m_graphEnded && m_amov->graph->IsPrerolled()) {
        m_firstPicturePending = false;
        Post(QvStreamMessage::kPlaying);
    }
    if (m_draining &&
        (m_graphEnded || qvplat::ElapsedMs(qvplat::TickCount(), m_drainStart) > kDrainLimitMs)) {
        EndOfData();
    }
}

bool QvIAMovStreamControl::RenderGraph(qvplat::MediaGraph& graph)
{
    std::string failure;
    GstElement* source = m_amov->services->CreateLiveSource(m_receiver, *m_amov->propertyList,
                                                            m_sourceFilter, failure);
    m_amov->sourceFilter = m_sourceFilter.Get();
    if (source == nullptr) {
        QvLog("%s", failure.c_str());
        return false;
    }
    if (!graph.RenderSource(source)) {
        QvLog("Decoder cannot render the stream.");
        m_undecodable = true;
        return false;
    }
    return true;
}

void QvIAMovStreamControl::OnGraphReleased()
{
    // The receiver reads the data block's settings again, not the source's
    // copy, before the source goes.
    m_receiver.SetPropertyList(m_amov->propertyList);
    m_draining = false;
    m_graphEnded = false;
}
