#include "playback_test_helpers.h"

#include "playback/qvstreammsg.h"
#include "core/receive/qvcollector.h"

namespace qvtest {

qvplat::MediaEvent FakeGraph::PopEvent(std::string*)
{
    if (m_record->events.empty()) {
        return qvplat::MediaEvent::None;
    }
    const qvplat::MediaEvent event = m_record->events.front();
    m_record->events.erase(m_record->events.begin());
    return event;
}

bool FakeGraph::GetVolume(long& level)
{
    level = m_record->level;
    return m_audio;
}

bool FakeGraph::GetVideoSize(int& width, int& height)
{
    width = m_width;
    height = m_height;
    return m_width >= 0;
}

std::unique_ptr<qvplat::MediaGraph> FakeServices::CreateGraph(const qvplat::MediaSinks& given)
{
    sinks = given;
    if (failure == Failure::Graph) {
        return nullptr;
    }
    records.push_back(std::make_shared<GraphRecord>());
    records.back()->prerolled = prerolled;
    return std::make_unique<FakeGraph>(records.back(), failure != Failure::Render, width, height,
                                       audio);
}

GstElement* FakeServices::CreateLiveSource(QvUdpDataCollector& receiver,
                                           const QvPropertyList& settings,
                                           qvplat::ComPtr<qvplat::IUnknown>&, std::string& text)
{
    if (failure == Failure::Source) {
        text = "Failed to create Talvex source filter";
        return nullptr;
    }
    // As the real source does: a copy of the settings, read by the receiver.
    sourceSettings = settings;
    receiver.SetPropertyList(&sourceSettings);
    // Never read: the fake graph takes no element.
    static char element;
    return reinterpret_cast<GstElement*>(&element);
}

QvDisplayWnd* FakeWnd::CreateDisplayWindow(const QvRect& rect, QvDisplayEvents& events)
{
    made = refuse ? nullptr : new FakeDisplayWnd(*this, rect, events);
    return made;
}

FakeDisplayWnd::~FakeDisplayWnd()
{
    m_events.OnDisplayDestroy();
    m_parent.made = nullptr;
}

void FakeDisplayWnd::MoveWindow(const QvRect& rect)
{
    client = {0, 0, rect.Width(), rect.Height()};
    m_events.OnDisplaySize(client);
}

std::vector<int> Drain(QvMessageQueue& queue)
{
    std::vector<int> numbers;
    while (QvMessage* message = queue.Get()) {
        if (auto* stream = dynamic_cast<QvStreamMessage*>(message)) {
            numbers.push_back(stream->type);
        }
        delete message;
    }
    return numbers;
}

} // namespace qvtest
