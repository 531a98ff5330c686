#pragma once
// The capture control without its windows: what CRecordCtlCtrl does for
// its automation calls. It records nothing itself: it starts the capture
// engine program when none runs, passes it the session and the settings
// over the command channel "x_Qv1", reads the progress from the session's
// status block and reports the end of a capture.
//
// Settings: section "QV" of "QvCtl.ini" (at construction) and of
// "RecordCtl.ini" (when the window is made; its values override), and the
// settings dialog. Page properties (AddProp) override the settings when
// they are handed to the engine, but a page cannot choose where the file
// goes: a Path or Filename from the page must name a file inside the
// capture directory (the settings' Path, else $XDG_VIDEOS_DIR, else
// ~/Videos), or Start refuses with -14 before anything is started. Without
// any Path the engine is given the capture directory. A page's property is
// kept as the engine reads it back from the hand-over file (name and value
// trimmed, the name cut at an "="), so " filename\t" is Filename to the
// check as it is to the engine.
//
// Results (all returned to the page unchanged):
//   Initialize  0; -1 the status block or listener could not be made, or
//               the session text does not fit the channel's data block
//   AddProp     0; -1 a name that a settings file cannot carry (one that
//               starts with "[" or ";"), which is not kept
//   Start       0; -7 a capture runs in this session; -8 not initialised;
//               -9 the engine could not be launched or did not come up
//               within 10 s; -14 a page's Path or Filename outside the
//               capture directory; -1 the hand-over file could not be
//               written (command 2 is not sent); else the engine's answer
//               to command 1 when not 0 (-6 busy or closing, -255 no
//               answer), or to command 2 (-6 no free slot, -11 no data,
//               -255 no answer)
//   Stop        0 or the engine's answer; -1 no capture runs; -8 not
//               initialised. From the moment Start returned 0 a Stop
//               reaches the capture, also before the engine shows it
//               running.
//
// The end of a capture: the engine signals the status block's listeners;
// each control listens under an event name of its own. The notice is
// handed to the user-interface thread (the dispatcher the control was
// given), where the status timer stops and Observer::OnCompleted runs,
// once per capture. Every initialised control of a session hears the end
// of the session's capture (whichever control started it, and also after
// a Start of its own was refused); a control never hears another
// session's end.
//
// The engine that took a capture of this control is watched from Start on
// through a handle on its process (found by the engine's lock, then held
// by the control, so removing the lock file changes nothing) and through
// its pulse (qvengineinstance.h). It is looked at while the status
// listener waits (about once a second), on the status timer (CheckEngine)
// and at Start and Stop:
// - an engine that has ended without reporting the end, and
// - an engine whose pulse has not moved for Options::engineSilenceMs
//   (kEngineSilenceMs, 10 s: 40 beats; the beating thread does nothing
//   else, so a busy machine or a write waiting for a slow disk never
//   holds it up, only a stopped or vanished process) is ended (SIGKILL
//   through the handle) so that it lets go of the lock, the channel and
//   the slot;
// either way the capture ends with reason 3, as one that could not go on:
// the state and the free slot the engine took are cleared, every control
// of the session hears the end, and the next Start launches a new engine.
// The file stays as the engine left it. An engine that cannot be named
// (its lock file was removed before the Start) is not watched.
//
// Whether an engine runs, for the launch at Start, is the presence flag
// together with a listener serving the command channel, neither of which
// the lock file's path touches.
//
// Threads: every call on the user-interface thread, which is also the
// thread the observer is called on.

#include "capture/channel/qvcommchannel.h"
#include "capture/channel/qvengineinstance.h"
#include "core/settings/qvproplist.h"
#include "platform/process.h"
#include "platform/ui/uidispatch.h"

#include <atomic>
#include <chrono>
#include <cstdint>
#include <functional>
#include <memory>
#include <mutex>
#include <optional>
#include <string>

// Results of the control's methods.
inline constexpr int kQvRcOk = 0;
inline constexpr int kQvRcFailed = -1;
inline constexpr int kQvRcCapturing = -7;
inline constexpr int kQvRcNotInitialised = kQvNotInitialised; // -8
inline constexpr int kQvRcEngineNotStarted = -9;
inline constexpr int kQvRcOutsideCaptureDir = -14;

class QvRecordControl
{
public:
    static constexpr const char* kSettingsKey = "SOFTWARE\\Talvex\\RecordCtl";
    static constexpr const char* kDebugLog = "c:\\RecordCtlDebugOcx.log";
    static constexpr const char* kSharedSettings = "QvCtl.ini";
    static constexpr const char* kOwnSettings = "RecordCtl.ini";
    static constexpr const char* kHandOverFile = "RECORDCTLTEMP.TMP";
    static constexpr std::uint32_t kEngineStartTimeoutMs = 10000;
    static constexpr std::uint32_t kEnginePollMs = 10;
    // An engine whose pulse stands still this long is taken for stopped.
    static constexpr std::uint32_t kEngineSilenceMs = 10000;
    // How long an ended engine is given to go.
    static constexpr std::uint32_t kEngineEndWaitMs = 1000;

    // The user-interface side, called on the user-interface thread.
    class Observer
    {
    public:
        // A capture started: the status window starts with this duration.
        virtual void OnStatusStart(std::int32_t duration) = 0;
        // The status window's timer stops (Stop, or the capture ended).
        virtual void OnStatusStop() = 0;
        // The capture ended with this stop reason.
        virtual void OnCompleted(std::int32_t reason) = 0;
        virtual ~Observer() = default;
    };

    struct Options
    {
        // Starts the engine; a result above 32 is success (ShellExecute's
        // convention).
        std::function<int()> launchEngine;
        std::uint32_t engineStartTimeoutMs = kEngineStartTimeoutMs;
        std::uint32_t engineSilenceMs = kEngineSilenceMs;
    };

    // Opens the channel and the presence block, reads the settings key (a
    // true Debug opens the debug log) and "QvCtl.ini".
    QvRecordControl(Observer& observer, Options options);
    ~QvRecordControl();
    QvRecordControl(const QvRecordControl&) = delete;
    QvRecordControl& operator=(const QvRecordControl&) = delete;

    // Where the end of a capture is handed; without one it is dropped.
    void SetDispatcher(std::shared_ptr<qvplat::UiDispatcher> dispatcher);
    // The control's window exists: reads "RecordCtl.ini".
    void OnWindowCreated();

    // ---- Automation -------------------------------------------------------------------
    std::int32_t GetDuration() const;
    void SetDuration(std::int32_t seconds);
    double GetStopThreshold() const;
    void SetStopThreshold(double threshold);
    std::int32_t GetStartTime() const;
    std::int32_t GetElapsedTime() const;
    std::int32_t GetState() const;
    double GetBytesCaptured() const;
    int Start();
    int Stop();
    int Initialize();
    int AddProp(const std::string& name, const std::string& value);
    bool CanCapture() const;
    std::int32_t AvailableCaptureSlots() const;
    void Unlock();
    static double GetFreeDiskSpace(const std::string& directory);
    static double GetTotalDiskSpace(const std::string& directory);

    // ---- Settings dialog ---------------------------------------------------------------
    struct CaptureSettings
    {
        std::string path;
        std::string filename;
        std::string duration; // seconds, as typed
    };
    // Shows the values (each one whose property is defined) and returns
    // what was entered on OK, nothing on Cancel.
    using SettingsDialog = std::function<std::optional<CaptureSettings>(const CaptureSettings&)>;
    // Runs the dialog. OK: the three values become settings (a page's
    // values for them go), are merged into "RecordCtl.ini" and, with a
    // status block, the duration becomes the capture's. Cancel changes
    // nothing. 0.
    std::int16_t EditCaptureSettings(const SettingsDialog& dialog);

    // The status timer's tick: ends a capture of this control whose engine
    // has died or stands still.
    void CheckEngine();

    // Drops the status listener and the status block: not initialised.
    void ReleaseSession();
    bool IsInitialized() const { return m_status != nullptr; }
    // A copy of the status block's fields; nullopt without one.
    std::optional<QvStatusBlock> StatusSnapshot() const;

    // The directory captures go to (a path of this system); "" when none
    // can be named.
    std::string CaptureDirectory() const;
    // The settings the engine is given: the settings, the page's
    // properties over them, and Path when none is set.
    QvPropertyList EngineSettings() const;

private:
    class StatusListener;

    QvStatusBlock* Status() const;
    QvPresenceBlock* Presence() const;
    bool EngineRunning() const;
    bool WaitForEngine() const;
    bool PageTargetAllowed(const QvPropertyList& settings) const;
    int SendSession();
    int StartCapture(QvStatusBlock& status);
    enum class EngineHealth {
        Alive, // or not known
        Ended,
        Silent, // its pulse has stood still for the bound
    };
    // The engine that took this control's capture; any thread.
    EngineHealth CaptureEngineHealth();
    // From a Start that returned 0: watches the engine that took it.
    void WatchEngine();
    void UnwatchEngine();
    // On the status listener's thread.
    void OnStatusSignal(std::uint64_t generation, const QvStatusBlock* status);
    void OnListenerWaitTimeout(std::uint64_t generation);
    // On the status listener's thread: a cleared stop reason means that a
    // capture of the session is starting or under way; its end is heard.
    void NoteCaptureUnderWay(const QvStatusBlock* status);
    void PostToUi(std::uint64_t generation, std::function<void()> work);
    // On the user-interface thread: the end of the capture that was awaited.
    void ReportEnd(std::int32_t reason);

    Observer& m_observer;
    Options m_options;
    QvCommChannel m_channel;
    QvSharedBlock m_presence;
    QvPropertyList m_settings; // the files and the dialog
    QvPropertyList m_page;     // AddProp
    std::string m_sessionText;
    // The session as Initialize named it.
    std::string m_address;
    std::string m_port;
    std::unique_ptr<QvSharedBlock> m_status;
    std::unique_ptr<StatusListener> m_listener;
    const std::string m_eventName; // this control's status listener
    std::uint64_t m_generation = 0;
    // The next end of the session's capture is reported; set on either
    // thread, cleared by the report.
    std::atomic<bool> m_awaitingEnd{false};
    // A Start of this control returned 0 and its end is not reported yet.
    bool m_ownCapture = false;
    // The engine that took that capture (closed when not known) and its
    // pulse as last seen moving.
    std::mutex m_engineLock;
    qvplat::ProcessHandle m_engine;
    std::uint32_t m_pulseCount = 0;
    std::chrono::steady_clock::time_point m_pulseMovedAt;
    const QvEngineInstance::PulseView m_pulse;
    std::atomic<bool> m_engineCheckPosted{false};
    std::mutex m_dispatcherLock;
    std::shared_ptr<qvplat::UiDispatcher> m_dispatcher;
    // Work handed to the user-interface thread checks this before it runs.
    std::shared_ptr<int> m_alive = std::make_shared<int>(0);
};
