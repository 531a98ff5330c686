#pragma once
// The main window of recordengine: "Multicast Capture Engine", shown with
// "Starting..." and hidden a second later, with the tray icon; it carries
// out what QvEngineProgram decides on the private messages (queued to it
// as wxThreadEvents whose id is the message) and its three timers. Closing
// it ends the program.

#include "capture/engine/model/qvengineprogram.h"
#include "capture/engine/trayicon.h"

#include <wx/dialog.h>
#include <wx/timer.h>

#include <atomic>
#include <cstdint>
#include <memory>

class CCaptureEngineDlg final : public wxDialog, public QvCaptureEngineHost
{
public:
    static constexpr int kAboutCommand = 16;

    CCaptureEngineDlg(std::atomic<std::uint32_t>& progress, bool launchedByControl);
    ~CCaptureEngineDlg() override;

    // Any thread.
    void PostEngineMessage(unsigned message) override;

private:
    void OnEngineMessage(wxThreadEvent& event);
    void OnTimer(wxTimerEvent& event);
    void OnClose(wxCloseEvent& event);
    void OnContextMenu(wxContextMenuEvent& event);
    void Shutdown();

    QvEngineProgram m_program;
    std::unique_ptr<CTrayIcon> m_tray;
    wxTimer m_captureTimer;
    wxTimer m_hideTimer;
    wxTimer m_watchdogTimer;
    bool m_shutDown = false;
};
