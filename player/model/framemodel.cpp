#include "player/model/framemodel.h"

#include "player/model/playerids.h"

#include "core/settings/qvlog.h"

namespace player {

FrameModel::FrameModel(QvPlayerContext& context, FrameView& view)
    : m_context(context), m_view(view)
{
}

bool FrameModel::ControllerReady() const
{
    return m_context.controller != nullptr && m_context.controller->IsInitialized();
}

void FrameModel::OnCreate()
{
    m_context.masks.ApplyAll(&m_view);
    m_context.masks.Disable(kBitSnapshotCapture, &m_view);
    if (ControllerReady()) {
        m_context.controller->SetFrame(m_view);
        m_context.controller->NewWindow();
    }
    m_context.toolbarHeight = kToolbarHeight;
    m_view.StartTimer(kFrameMessageTimer, kMessagePeriodMs);
}

void FrameModel::OnPlay()
{
    StreamController* controller = m_context.controller;
    m_undecodableShown = false;
    if (m_context.playState == QvPlayerContext::kPaused && controller != nullptr) {
        controller->Play(); // resume; the toolbar stays as it is
        m_context.playState = QvPlayerContext::kPlaying;
        return;
    }
    if (controller != nullptr) {
        if (!controller->IsInitialized() && m_context.playState == QvPlayerContext::kStopped) {
            QvPropertyList settings = m_context.StreamSettings();
            if (!controller->Initialize(m_view.VideoArea(), m_view, &settings,
                                        &m_context.streamMessages)) {
                m_view.ShowMessage("Stream initialization failed.");
            }
        }
        if (controller->IsInitialized()) {
            m_context.masks.Enable(kBitStop, &m_view);
            m_context.masks.Disable(kBitPause, &m_view);
            m_context.masks.Hide(kBitPlay, &m_view);
            m_context.masks.Show(kBitPause, &m_view);
            controller->Play();
            m_context.playState = QvPlayerContext::kPlaying;
        }
    }
    m_view.StartTimer(kFrameLowerTimer, kLowerDelayMs);
}

void FrameModel::OnPause()
{
    if (!ControllerReady()) {
        return;
    }
    m_context.masks.Enable(kBitPause, &m_view);
    m_context.masks.Show(kBitPlay, &m_view);
    m_context.masks.Hide(kBitPause, &m_view);
    m_context.controller->Pause();
    m_context.playState = QvPlayerContext::kPaused;
}

void FrameModel::OnStop()
{
    if (!ControllerReady()) {
        return;
    }
    m_context.controller->Stop();
    m_context.playState = QvPlayerContext::kStopped;
    m_context.controller->UnInitialize();
    m_context.masks.Disable(kBitStop, &m_view);
    m_context.masks.Show(kBitPlay, &m_view);
    m_context.masks.Hide(kBitPause, &m_view);
    // A frame made later must not bring back a waiting animation.
    m_context.animationVisible = false;
    m_view.HideAnimation();
    m_view.UpdateWindow();
}

void FrameModel::OnRestart()
{
    OnStop();
    OnPlay();
}

void FrameModel::OnTimer(int id, QvMessage* handler)
{
    if (id == kFrameMessageTimer) {
        m_context.streamMessages.DispatchMessages(handler);
        if (m_context.controller != nullptr) {
            m_context.controller->Periodic();
        }
    } else if (id == kFrameLowerTimer) {
        m_view.KillTimer(kFrameLowerTimer);
        if (m_context.controller != nullptr && m_context.controller->HasWindow()) {
            m_context.controller->LowerWindow();
        }
    }
}

void FrameModel::ShowAnimation(const char* name)
{
    m_context.animationName = name;
    m_context.animationVisible = true;
    m_view.ShowAnimation(name);
}

void FrameModel::OnStreamMessage(int number, unsigned long value)
{
    switch (number) {
    case 17: // waiting for the stream
        ShowAnimation("GIFWAIT");
        if (value == kUndecodableValue && !m_undecodableShown) {
            // Set first: the message box lets the timer dispatch more.
            m_undecodableShown = true;
            m_view.ShowMessage(kUndecodableText);
        }
        break;
    case 33: // found, collecting
        ShowAnimation("GIFDETECT");
        break;
    case 49: // starting
        ShowAnimation("GIFSTART");
        break;
    case 1: // playing
        m_context.animationVisible = false;
        m_view.HideAnimation();
        m_context.masks.Enable(kBitPause, &m_view);
        m_view.UpdateWindow();
        break;
    case 20: // end of stream
    case 36: // live data ended
        m_view.PostCommand(ID_STOP);
        m_context.masks.Disable(kBitPause, &m_view);
        break;
    case 65: // a file restarted
        if (ControllerReady()) {
            m_view.PostCommand(ID_STOP);
            m_view.PostCommand(ID_PLAY);
        }
        break;
    default:
        break;
    }
}

void FrameModel::OnEmbedCommand()
{
    m_context.masks.Hide(kBitEmbed, &m_view);
    m_context.masks.Show(kBitPopup, &m_view);
}

void FrameModel::OnPopupCommand()
{
    m_context.masks.Show(kBitEmbed, &m_view);
    m_context.masks.Hide(kBitPopup, &m_view);
}

void FrameModel::OnFileChosen(const std::string& path)
{
    OnStop();
    m_context.properties.AddProperty("Filename", path.c_str());
    m_context.properties.ClearProperty("Address");
    m_context.properties.ClearProperty("Port");
    OnPlay();
}

bool FrameModel::OnFileDropped(const std::string& path)
{
    // A longer name is refused rather than cut, which could name another file.
    if (path.empty() || path.size() > kMaxDroppedPath) {
        QvDebugMsgTime("Dropped file name of %zu characters refused", path.size());
        return false;
    }
    OnStop();
    QvPropertyList dropped;
    if (dropped.ReadProperties(path.c_str(), "QV") != 0) {
        m_context.properties.MergeProperties(dropped);
    }
    OnPlay();
    return true;
}

void FrameModel::OnToggleToolbar()
{
    m_context.toolbarShown = !m_context.toolbarShown;
    FitVideo();
}

void FrameModel::FitVideo()
{
    if (m_context.controller != nullptr && m_context.controller->HasWindow()) {
        m_context.controller->MoveWindow(m_view.VideoArea());
    }
}

} // namespace player
