#include "capture/engine/captureenginedlg.h"

#include "platform/ui/wx/wxaboutbox.h"

#include <wx/bitmap.h>
#include <wx/dcmemory.h>
#include <wx/iconbndl.h>
#include <wx/menu.h>
#include <wx/sizer.h>
#include <wx/stattext.h>

namespace {

// The program's icon: a red recording dot.
wxIcon MakeIcon(int size)
{
    wxBitmap bitmap(size, size, 24);
    {
        wxMemoryDC dc(bitmap);
        dc.SetBackground(*wxWHITE_BRUSH);
        dc.Clear();
        dc.SetBrush(wxBrush(wxColour(200, 30, 30)));
        dc.SetPen(wxPen(wxColour(120, 0, 0)));
        dc.DrawEllipse(1, 1, size - 2, size - 2);
    }
    bitmap.SetMask(new wxMask(bitmap, *wxWHITE));
    wxIcon icon;
    icon.CopyFromBitmap(bitmap);
    return icon;
}

} // namespace

CCaptureEngineDlg::CCaptureEngineDlg(std::atomic<std::uint32_t>& progress, bool launchedByControl)
    : wxDialog(nullptr, wxID_ANY, QvEngineProgram::kTitle),
      m_program(*this, progress, launchedByControl),
      m_captureTimer(this, QvEngineProgram::kCaptureTimer),
      m_hideTimer(this, QvEngineProgram::kHideTimer),
      m_watchdogTimer(this, QvEngineProgram::kWatchdogTimer)
{
    auto* sizer = new wxBoxSizer(wxVERTICAL);
    sizer->Add(new wxStaticText(this, wxID_ANY, "Starting..."),
               wxSizerFlags().Border(wxALL, ConvertDialogToPixels(wxSize(20, 0)).x));
    SetSizerAndFit(sizer);

    wxIconBundle icons;
    icons.AddIcon(MakeIcon(32));
    icons.AddIcon(MakeIcon(16));
    SetIcons(icons);

    Bind(wxEVT_THREAD, &CCaptureEngineDlg::OnEngineMessage, this);
    Bind(wxEVT_TIMER, &CCaptureEngineDlg::OnTimer, this);
    Bind(wxEVT_CLOSE_WINDOW, &CCaptureEngineDlg::OnClose, this);
    Bind(wxEVT_CONTEXT_MENU, &CCaptureEngineDlg::OnContextMenu, this);

    m_tray = std::make_unique<CTrayIcon>(this, MakeIcon(16), QvEngineProgram::kTrayTip,
                                         QvEngineProgram::kTrayMessage);
    m_tray->Add();

    // Commands are served once the window can take their messages.
    if (!m_program.Begin()) {
        PostEngineMessage(QvCaptureEngine::kExitMessage);
        return;
    }
    m_hideTimer.StartOnce(QvEngineProgram::kHideTimerMs);
    if (m_program.IsWatchdogOn()) {
        m_watchdogTimer.Start(QvEngineProgram::kWatchdogTimerMs);
    }
}

CCaptureEngineDlg::~CCaptureEngineDlg()
{
    Shutdown();
}

void CCaptureEngineDlg::PostEngineMessage(unsigned message)
{
    wxQueueEvent(this, new wxThreadEvent(wxEVT_THREAD, static_cast<int>(message)));
}

void CCaptureEngineDlg::OnEngineMessage(wxThreadEvent& event)
{
    if (m_shutDown) {
        return;
    }
    switch (static_cast<unsigned>(event.GetId())) {
    case QvEngineProgram::kTrayMessage:
        if (m_program.ConfirmExit()) {
            Close(true);
        }
        break;
    case QvEngineProgram::kHideMessage:
        Hide();
        break;
    case QvCaptureEngine::kExitMessage:
        Close(true);
        break;
    case QvCaptureEngine::kStartCaptureMessage:
        if (m_program.OnStartCapture()) {
            m_captureTimer.Start(QvEngineProgram::kCaptureTimerMs);
        }
        break;
    case QvCaptureEngine::kStopCaptureMessage:
        m_program.OnStopCapture();
        break;
    default:
        break;
    }
}

void CCaptureEngineDlg::OnTimer(wxTimerEvent& event)
{
    switch (event.GetId()) {
    case QvEngineProgram::kCaptureTimer:
        if (m_program.CaptureEnded()) {
            m_captureTimer.Stop();
            Close(true);
        }
        break;
    case QvEngineProgram::kHideTimer:
        PostEngineMessage(QvEngineProgram::kHideMessage);
        break;
    case QvEngineProgram::kWatchdogTimer:
        if (m_program.WatchdogExpired()) {
            m_watchdogTimer.Stop();
            PostEngineMessage(QvCaptureEngine::kExitMessage);
        }
        break;
    default:
        break;
    }
}

void CCaptureEngineDlg::Shutdown()
{
    if (!m_shutDown) {
        m_shutDown = true;
        m_captureTimer.Stop();
        m_hideTimer.Stop();
        m_watchdogTimer.Stop();
        m_program.Close();
        m_tray.reset();
    }
}

void CCaptureEngineDlg::OnClose(wxCloseEvent&)
{
    Shutdown();
    Destroy();
}

void CCaptureEngineDlg::OnContextMenu(wxContextMenuEvent&)
{
    wxMenu menu;
    menu.Append(kAboutCommand, "&About Multicast Capture Engine...");
    if (GetPopupMenuSelectionFromUser(menu) == kAboutCommand) {
        qvplat::ShowAboutBox(this, "About Multicast Capture Engine",
                             "Multicast Capture Engine Version 1.0", MakeIcon(32));
    }
}
