// Fakes for the controller's tests: a graph that records what it is told,
// services that make such graphs, and windows without a display.
#pragma once

#include "playback/qvcontroller.h"

#include <memory>
#include <string>
#include <vector>

namespace qvtest {

// What happened to one fake graph; outlives the graph.
struct GraphRecord
{
    bool alive = true;
    bool rendered = false;
    bool running = false;
    bool paused = false;
    bool stopped = false;
    bool fullScreen = false;
    qvplat::VideoOwner* owner = nullptr;
    qvplat::VideoRect rect;
    int sourceTop = 0;
    long level = 0;
    bool prerolled = true;                  // false: its first picture has not come
    std::vector<qvplat::MediaEvent> events; // handed out by PopEvent, oldest first
};

class FakeGraph final : public qvplat::MediaGraph
{
public:
    FakeGraph(std::shared_ptr<GraphRecord> record, bool renders, int width, int height,
              bool audio)
        : m_record(std::move(record)), m_renders(renders), m_width(width), m_height(height),
          m_audio(audio)
    {
    }
    ~FakeGraph() override { m_record->alive = false; }

    bool RenderSource(GstElement*) override { return m_record->rendered = m_renders; }
    bool RenderFile(const std::string&) override { return m_record->rendered = m_renders; }
    bool IsPrerolled() override { return m_record->prerolled; }
    bool Run() override { return m_record->running = true; }
    bool Pause() override
    {
        m_record->running = false;
        return m_record->paused = true;
    }
    void Stop() override { m_record->stopped = true; }
    qvplat::MediaEvent PopEvent(std::string*) override;
    double GetPosition() override { return 1.5; }
    double GetDuration() override { return 4.0; }
    bool SetPosition(double) override { return true; }
    void SetVolume(long level) override { m_record->level = level; }
    bool GetVolume(long& level) override;
    bool GetVideoSize(int& width, int& height) override;
    void SetSourceTop(int lines) override { m_record->sourceTop = lines; }
    qvplat::MediaVideoStats GetVideoStats() override { return {}; }
    void SetOwner(qvplat::VideoOwner* owner) override { m_record->owner = owner; }
    void SetWindowPosition(const qvplat::VideoRect& rect) override { m_record->rect = rect; }
    qvplat::VideoRect GetWindowPosition() const override { return m_record->rect; }
    void SetVisible(bool) override {}
    bool SetFullScreen(bool on) override { return m_record->fullScreen = on; }
    bool IsFullScreen() const override { return m_record->fullScreen; }
    void RepaintVideo() override {}

private:
    std::shared_ptr<GraphRecord> m_record;
    bool m_renders;
    int m_width;
    int m_height;
    bool m_audio;
};

class FakeServices final : public QvMediaServices
{
public:
    enum class Failure {
        None,
        Graph,  // no graph can be made
        Source, // the live source cannot be made
        Render, // the graph does not render
    };

    std::unique_ptr<qvplat::MediaGraph> CreateGraph(const qvplat::MediaSinks& sinks) override;
    GstElement* CreateLiveSource(QvUdpDataCollector& receiver, const QvPropertyList& settings,
                                 qvplat::ComPtr<qvplat::IUnknown>& filter,
                                 std::string& failure) override;
    qvplat::HRESULT OpenFileSource(const std::string&, qvplat::ComPtr<qvplat::IUnknown>&,
                                   GstElement*&) override
    {
        return qvplat::S_FALSE;
    }

    // The last graph made.
    GraphRecord& Last() { return *records.back(); }

    Failure failure = Failure::None;
    int width = 320;
    int height = 240;
    bool audio = true;
    bool prerolled = true; // the new graphs' first picture is there
    qvplat::MediaSinks sinks;
    std::vector<std::shared_ptr<GraphRecord>> records;
    // The copy of the settings the source was given, which the receiver
    // reads while the graph lives.
    QvPropertyList sourceSettings;
};

class FakeDisplayWnd;

// A host window without a display.
class FakeWnd : public QvWnd
{
public:
    QvRect GetClientRect() const override { return client; }
    QvDisplayWnd* CreateDisplayWindow(const QvRect& rect, QvDisplayEvents& events) override;

    QvRect client{0, 0, 640, 480};
    bool refuse = false;
    FakeDisplayWnd* made = nullptr;
};

class FakeDisplayWnd final : public QvDisplayWnd
{
public:
    FakeDisplayWnd(FakeWnd& parent, const QvRect& rect, QvDisplayEvents& events)
        : client{0, 0, rect.Width(), rect.Height()}, m_parent(parent), m_events(events)
    {
    }
    ~FakeDisplayWnd() override;

    QvRect GetClientRect() const override { return client; }
    QvDisplayWnd* CreateDisplayWindow(const QvRect&, QvDisplayEvents&) override
    {
        return nullptr;
    }
    void MoveWindow(const QvRect& rect) override;
    void LowerWindow() override {}
    void DestroyWindow() override { delete this; }
    void SetMessageDrain(QvWnd* frame) override { drain = frame; }
    std::uintptr_t AcquireVideoSurface() override { return 0; }
    void PlaceVideoSurface(const qvplat::VideoRect&, bool) override {}
    void ReleaseVideoSurface() override {}
    std::uintptr_t EnterFullScreen(qvplat::VideoRect&) override { return 0; }
    void LeaveFullScreen() override {}

    QvRect client;
    QvWnd* drain = nullptr;

private:
    FakeWnd& m_parent;
    QvDisplayEvents& m_events;
};

// Takes every stream message out of the queue, returning their numbers.
std::vector<int> Drain(QvMessageQueue& queue);

} // namespace qvtest
