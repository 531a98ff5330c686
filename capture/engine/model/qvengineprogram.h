#pragma once
// The capture engine program without its windows: what the main window of
// recordengine decides on its messages and timers. The window forwards
// each private message and timer tick here and carries out the answer
// (start a timer, hide, close).
//
// The program runs one capture. It is started by the capture control with
// "ControlLaunch" (then a watchdog ends it when no capture makes progress
// for a whole period) or by hand, and ends when its capture ends, fails to
// start or finds no data, when the watchdog fires, when the user confirms
// the tray icon's question, or on "-kill" from a second start.
//
// Only the holder of the engine's single-instance lock builds one: it
// makes the presence block new and serves the command channel from Begin
// on.
//
// Threads: everything here runs on the window's thread, except that the
// command handler calls the host (the window) on the channel's thread.

#include "capture/engine/model/qvcaptureengine.h"

#include <atomic>
#include <cstdint>
#include <string>
#include <vector>

// Progress as the watchdog sees it: a capture loop round that went on, or
// bytes the receiver took in (a slow stream may need longer than a period
// for one whole round).
class QvEngineWatchdog
{
public:
    // One period ended; true when nothing moved since the previous one.
    bool Expired(std::uint32_t rounds, std::uint64_t receivedBytes);

private:
    std::uint32_t m_rounds = 0;
    std::uint64_t m_received = 0;
};

class QvEngineProgram
{
public:
    // Private messages of the main window besides the engine's own.
    static constexpr unsigned kTrayMessage = 0x8065;
    static constexpr unsigned kHideMessage = 0x8066;

    // Timers of the main window, with their periods.
    static constexpr int kCaptureTimer = 1;
    static constexpr int kCaptureTimerMs = 100;
    static constexpr int kHideTimer = 2;
    static constexpr int kHideTimerMs = 1000;
    static constexpr int kWatchdogTimer = 3;
    static constexpr int kWatchdogTimerMs = 5000;

    static constexpr const char* kTitle = "Multicast Capture Engine";
    static constexpr const char* kTrayTip = "Multicast Stream Capture Engine";
    static constexpr const char* kExitQuestion =
        "Stream capture session in progress.\n\nAre you sure you want to exit?";
    static constexpr const char* kSettingsKey = "SOFTWARE\\Talvex\\RecordCtl";
    static constexpr const char* kDebugLog = "c:\\RecordCtlDebugEng.log";
    static constexpr const char* kControlLaunch = "ControlLaunch";
    static constexpr const char* kKill = "-kill";

    struct CommandLine
    {
        bool kill = false;          // the whole line is "-kill"
        bool controlLaunch = false; // the line holds "ControlLaunch"
    };
    // The arguments after the program's name, as the command line they
    // make (joined by blanks).
    static CommandLine ParseCommandLine(const std::vector<std::string>& args);

    // Reads the settings key into the engine's settings (a true Debug opens
    // the debug log), makes the presence block new and opens the channel,
    // which does not serve yet. progress is raised by the capture loop.
    QvEngineProgram(QvCaptureEngineHost& host, std::atomic<std::uint32_t>& progress,
                    bool launchedByControl);
    ~QvEngineProgram();

    bool IsWatchdogOn() const { return m_launchedByControl; }

    // The window exists: commands are served and the presence block shows a
    // running engine. False when the channel or the presence block is not
    // usable.
    bool Begin();

    // kStartCaptureMessage: true when the capture runs (timer 1 starts).
    bool OnStartCapture();
    // kStopCaptureMessage.
    void OnStopCapture();
    // Timer 1: the capture's stop reason is set, so the program closes.
    bool CaptureEnded();
    // Timer 3: true when the program is to end for want of progress (never
    // without "ControlLaunch").
    bool WatchdogExpired();
    // kTrayMessage: asks whether to exit (through qvplat::MessageBox).
    bool ConfirmExit() const;
    // The program closes: no more commands, the capture stopped (reason 4
    // when it still ran), the slot given back, the presence block showing
    // no engine.
    void Close();

    QvCaptureEngine& Engine() { return m_engine; }

private:
    QvCaptureEngine m_engine;
    std::atomic<std::uint32_t>& m_progress;
    QvEngineWatchdog m_watchdog;
    const bool m_launchedByControl;
    bool m_closed = false;
};
