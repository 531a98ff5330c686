#include "playback/qvstreamctl.h"

#include "core/settings/qvlog.h"
#include "core/settings/qvproplist.h"
#include "core/threads/qvmessage.h"
#include "playback/qvstreammsg.h"

#include <algorithm>
#include <cmath>
#include <cstdint>
#include <cstdlib>
#include <new>

QvIStreamControl::~QvIStreamControl() = default;

int QvIStreamControl::Play()
{
    if (m_state == kPaused) {
        PlayContinue();
        return 0;
    }
    if ((m_state & 0xF) == kPlaying) {
        return -1;
    }
    PlayPreInit();
    return 0;
}

int QvIStreamControl::Pause()
{
    if (m_state != kPlaying) {
        return -1;
    }
    if (m_amov->graph == nullptr) {
        return 0;
    }
    m_amov->graph->Pause();
    OnGraphPaused();
    m_state = kPaused;
    Post(QvStreamMessage::kPaused);
    return 0;
}

int QvIStreamControl::Stop()
{
    return -1;
}

void QvIStreamControl::SetPosition(double position)
{
    if (m_amov != nullptr && m_amov->graph != nullptr) {
        m_amov->graph->SetPosition(position);
    }
}

double QvIStreamControl::GetPosition()
{
    return 0.0;
}

double QvIStreamControl::GetLength()
{
    return 0.0;
}

int QvIStreamControl::GetStreamState()
{
    return m_state;
}

void QvIStreamControl::PlayStart()
{
    Post(QvStreamMessage::kStarting);
    if (m_state != kPaused && !CreateFilterGraph()) {
        // Nothing will play; the control says what comes next.
        OnGraphFailed();
        return;
    }
    if (m_amov->graph == nullptr) {
        return;
    }
    m_amov->graph->Run();
    OnGraphRunning();
    m_state = kPlaying;
    m_firstPicturePending = !m_amov->graph->IsPrerolled();
    if (!m_firstPicturePending) {
        Post(QvStreamMessage::kPlaying);
    }
}

void QvIStreamControl::OnGraphFailed()
{
    // Back to stopped, and the host hears so.
    m_state = kStopped;
    Post(QvStreamMessage::kStopped);
}

int QvIStreamControl::OnStartThreshold()
{
    if (m_state == kBuffering) {
        PlayStart();
    }
    return 0;
}

int QvIStreamControl::OnDataTimeout()
{
    if (m_state == kPlaying || m_state == kBuffering) {
        OnDataEnded();
    }
    return 0;
}

bool QvIStreamControl::CreateFilterGraph()
{
    QvDebugMsg("Creating FilterGraph");
    if (m_amov->graph != nullptr) {
        return false;
    }
    std::unique_ptr<qvplat::MediaGraph> graph = MakeGraph();
    if (graph == nullptr) {
        QvLog("Failed to create Filter Graph");
        return false;
    }
    if (!RenderGraph(*graph)) {
        // Torn down like a graph that ran.
        graph->SetOwner(nullptr);
        graph.reset();
        OnGraphReleased();
        m_sourceFilter.Reset();
        m_amov->sourceFilter = nullptr;
        return false;
    }
    AttachGraph(std::move(graph));
    return true;
}

void QvIStreamControl::DestroyFilterGraph()
{
    if (m_amov == nullptr || m_amov->graph == nullptr) {
        return;
    }
    // The graph lets go of the source before the source goes.
    m_firstPicturePending = false;
    ReleaseGraph();
    OnGraphReleased();
    m_sourceFilter.Reset();
    m_amov->sourceFilter = nullptr;
}

void QvIStreamControl::NewWindow() {}
void QvIStreamControl::Periodic() {}
void QvIStreamControl::PostCreate() {}

void QvIStreamControl::SetQvData(QvData* data)
{
    QvObject::SetQvData(data);
    m_amov = dynamic_cast<QvAMovData*>(data);
}

void QvIStreamControl::Post(int number, unsigned long value)
{
    if (m_amov == nullptr || m_amov->streamMessageQueue == nullptr) {
        return;
    }
    if (auto* message = new (std::nothrow) QvStreamMessage(number, value)) {
        m_amov->streamMessageQueue->Send(message);
    }
}

long QvIStreamControl::VolumeToLevel(int volume)
{
    const double x = std::pow(10.0, 4.0 - volume * 0.030003000300030006);
    return -static_cast<long>(static_cast<std::int32_t>(x));
}

int QvIStreamControl::LevelToVolume(long level)
{
    const long magnitude = std::labs(level);
    if (magnitude == 0) {
        return kFullVolume; // log10(0) has no value; 0 dB is full volume
    }
    return static_cast<int>((4.0 - std::log10(static_cast<double>(magnitude))) * 33.33);
}

void QvIStreamControl::SetVolume(int volume)
{
    m_volume = std::clamp(volume, 0, kFullVolume);
    const long level = VolumeToLevel(m_volume);
    if (m_volumeDebug) {
        QvDebugMsg("SetVolume(%d) - %ld", m_volume, level);
    }
    if (m_amov != nullptr && m_amov->graph != nullptr) {
        m_amov->graph->SetVolume(level);
    }
}

int QvIStreamControl::GetVolume()
{
    long level = 0;
    if (m_amov == nullptr || m_amov->graph == nullptr || !m_amov->graph->GetVolume(level)) {
        return m_volume;
    }
    const int volume = LevelToVolume(level);
    if (m_volumeDebug) {
        QvDebugMsg("%d = GetValue() - %ld", volume, std::labs(level));
    }
    return volume;
}

void QvIStreamControl::ComputePos(qvplat::VideoRect& out)
{
    if (m_amov == nullptr || m_amov->graph == nullptr || m_amov->displayWindow == nullptr) {
        return;
    }
    const QvRect client = m_amov->displayWindow->GetClientRect();
    const int b = m_amov->borderWidth;
    // The client area inset by the border; never a negative size.
    const int left = client.left + b;
    const int top = client.top + b;
    const int w = std::max(0, client.Width() - 2 * b);
    const int h = std::max(0, client.Height() - 2 * b);
    if (!m_amov->keepAspectRatio) {
        out = {left, top, w, h};
        return;
    }
    int vw = 0;
    int vh = 0;
    if (!m_amov->graph->GetVideoSize(vw, vh)) {
        return;
    }
    if (!m_amov->showLine1) {
        m_amov->graph->SetSourceTop(1); // the picture's first line is never shown
    }
    if (vw < vh) {
        vh /= 2; // two fields stacked: fit the frame's shape
    }
    if (vw <= 0 || vh <= 0 || w == 0 || h == 0) {
        out = {left, top, w, h};
        return;
    }
    const double aspect = static_cast<double>(vw) / vh;
    int width = w;
    int height = h;
    if (static_cast<double>(w) / h > aspect) {
        width = static_cast<int>(aspect * h);
    } else {
        height = static_cast<int>(w / aspect);
    }
    out = {(w - width) / 2 + left, (h - height) / 2 + top, width, height};
}

void QvIStreamControl::SetFrame(QvWnd* /*frame*/)
{
    if (m_amov != nullptr && m_amov->graph != nullptr && m_amov->displayWindow != nullptr) {
        m_amov->displayWindow->SetMessageDrain(m_amov->frameWindow);
    }
}

void QvIStreamControl::SetDisplayMode(int mode)
{
    if (m_amov != nullptr && m_amov->graph != nullptr) {
        m_amov->graph->SetFullScreen(mode != 0);
    }
}

void QvIStreamControl::SetDisplayPos(const QvRect& /*client*/)
{
    if (m_amov == nullptr || m_amov->graph == nullptr) {
        return;
    }
    qvplat::VideoRect rect = m_amov->graph->GetWindowPosition();
    ComputePos(rect);
    m_amov->graph->SetWindowPosition(rect);
}

std::unique_ptr<qvplat::MediaGraph> QvIStreamControl::MakeGraph()
{
    if (m_amov == nullptr || m_amov->services == nullptr) {
        return nullptr;
    }
    qvplat::MediaSinks sinks;
    if (m_amov->propertyList != nullptr) {
        UtCString name;
        if (m_amov->propertyList->FindProperty("VideoSink", name) && !name.isNull()) {
            sinks.video = name.chars();
        }
        if (m_amov->propertyList->FindProperty("AudioSink", name) && !name.isNull()) {
            sinks.audio = name.chars();
        }
    }
    std::unique_ptr<qvplat::MediaGraph> graph = m_amov->services->CreateGraph(sinks);
    if (graph != nullptr) {
        // The sink asks for its window while the graph prerolls.
        graph->SetOwner(m_amov->displayWindow);
        graph->SetVolume(VolumeToLevel(m_volume));
    }
    return graph;
}

void QvIStreamControl::AttachGraph(std::unique_ptr<qvplat::MediaGraph> graph)
{
    m_amov->graph = graph.release();
    if (m_amov->displayWindow != nullptr) {
        m_amov->displayWindow->SetMessageDrain(m_amov->frameWindow);
    }
    qvplat::VideoRect rect;
    ComputePos(rect);
    m_amov->graph->SetWindowPosition(rect);
}

void QvIStreamControl::ReleaseGraph()
{
    if (m_amov == nullptr || m_amov->graph == nullptr) {
        return;
    }
    std::unique_ptr<qvplat::MediaGraph> graph(m_amov->graph);
    graph->Stop();
    m_state = kStopped;
    graph->SetVisible(false);
    graph->SetWindowPosition({});
    graph->SetOwner(nullptr);
    m_amov->graph = nullptr;
}

QvIWindow::~QvIWindow() = default;
