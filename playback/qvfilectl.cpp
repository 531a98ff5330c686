#include "playback/qvfilectl.h"

#include "core/settings/qvlog.h"
#include "core/settings/qvproplist.h"
#include "playback/qvstreammsg.h"

QvIFileAMovStreamControl::~QvIFileAMovStreamControl()
{
    DestroyFilterGraph();
}

void QvIFileAMovStreamControl::PlayPreInit()
{
    if (m_amov->mode == QvAMovData::kModeFile) {
        PlayStart();
    }
}

void QvIFileAMovStreamControl::PlayInit() {}

void QvIFileAMovStreamControl::PlayContinue()
{
    if (m_amov->graph != nullptr) {
        m_amov->graph->Run();
    }
    m_state = kPlaying;
    Post(QvStreamMessage::kPlaying);
}

int QvIFileAMovStreamControl::Stop()
{
    if (m_state == kStopped) {
        return -1;
    }
    DestroyFilterGraph();
    Post(QvStreamMessage::kStopped);
    m_state = kStopped;
    return 0;
}

int QvIFileAMovStreamControl::OnStreamReady()
{
    return 0;
}

void QvIFileAMovStreamControl::OnDataEnded()
{
    DestroyFilterGraph();
    Post(QvStreamMessage::kEndOfData);
    PlayPreInit();
}

double QvIFileAMovStreamControl::GetPosition()
{
    return m_amov->graph != nullptr ? m_amov->graph->GetPosition() : 0.0;
}

double QvIFileAMovStreamControl::GetLength()
{
    return m_amov->graph != nullptr ? m_amov->graph->GetDuration() : 0.0;
}

void QvIFileAMovStreamControl::Periodic()
{
    if (m_amov == nullptr || m_amov->graph == nullptr) {
        return;
    }
    std::string text;
    switch (m_amov->graph->PopEvent(&text)) {
    case qvplat::MediaEvent::Complete:
        if (m_amov->repeat) {
            Post(QvStreamMessage::kRepeat);
            Post(QvStreamMessage::kPlaying);
            m_state = kPaused;
        } else {
            Post(QvStreamMessage::kStopped);
        }
        break;
    case qvplat::MediaEvent::Error:
        QvDebugMsg("Graph error: %s", text.c_str());
        break;
    case qvplat::MediaEvent::None:
        break;
    }
}

bool QvIFileAMovStreamControl::RenderGraph(qvplat::MediaGraph& graph)
{
    const UtCString file = m_amov->propertyList->GetProperty("Filename");
    bool ok = file.length() <= kMaxPath;
    if (ok) {
        GstElement* element = nullptr;
        const qvplat::HRESULT hr =
            m_amov->services->OpenFileSource(file.chars(), m_sourceFilter, element);
        ok = hr == qvplat::S_OK      ? graph.RenderSource(element)
             : hr == qvplat::S_FALSE ? graph.RenderFile(file.chars())
                                     : false;
    }
    if (!ok) {
        QvLog("Cannot render file.");
    }
    return ok;
}
