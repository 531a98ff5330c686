#pragma once
// The behaviour of grabtool's capture dialog, free of any window code.
//
// The user types a group (or unicast) address and port, may pick the local
// interface, packet format and stream type, names an output file and presses
// Start. The model then waits for data (timer 2: a one-second stream-listener
// wait, retried until data comes), merges what the listener found into the
// settings and captures: the receiver reassembles the stream and a writer
// thread writes it raw to the file, while timer 1 refreshes the statistics.
// The window forwards the user's edits, button presses and timer ticks and
// shows the model's texts afterwards.
//
// States: idle -> waiting (Start; the button still reads "Start" and
// pressing it again restarts the wait) -> capturing (data found; button
// "Stop") -> idle (Stop). Exit stops whatever runs and saves the settings.
//
// Threads: every call but AddLogText comes from the user-interface thread.
// The listener wait runs on a thread of its own and posts its result through
// the dispatcher; the writer thread reads from the receiver and writes the
// file; the receiver's thread calls the hooks. Lines from those threads go
// into the log under its lock, and the window's update is posted, never made
// there. The user-interface thread never waits for a thread that could be
// waiting for it. Posted work that finds the model gone does nothing.

#include "core/receive/qvcollector.h"
#include "core/settings/qvproplist.h"
#include "grabtool/model/capturelog.h"
#include "platform/file.h"
#include "platform/ui/uidispatch.h"

#include <atomic>
#include <cstdint>
#include <functional>
#include <memory>
#include <string>
#include <string_view>
#include <thread>
#include <vector>

namespace grabtool {

// What the model needs from its window.
class CaptureHost
{
public:
    virtual ~CaptureHost() = default;
    // Starts (or restarts) the window timer `id` with the period; KillTimer
    // stops it.
    virtual void StartTimer(int id, unsigned periodMs) = 0;
    virtual void KillTimer(int id) = 0;
    // Posted work changed what the controls show.
    virtual void StateChanged() = 0;
};

// The receiver of a capture. Each hook runs the receiver's own handling,
// then logs its line ("Data Started\r\n", ...).
class CaptureCollector final : public QvUdpDataCollector
{
public:
    using LogSink = std::function<void(const char* line)>;

    explicit CaptureCollector(LogSink log);
    // Stops first: the receiver's thread calls the hooks.
    ~CaptureCollector() override;

    int OnDataStarted() override;
    int OnDataRestarted() override;
    int OnPacketsLost(int bytes) override;
    int OnPacketRecovered(int bytes) override;
    int OnDataTimeout() override;
    int OnLowThreshold() override;
    int OnStartThreshold() override;
    int OnHighThreshold() override;
    int OnFlowPaused() override;
    int OnFlowResumed() override;

private:
    int Logged(int result, const char* line);

    LogSink m_log;
};

// The statistics fields after one tick of timer 1.
struct CaptureStatistics
{
    std::string bytes;         // "Bytes Received"
    std::string mbps;          // "Mbps"
    std::string lostRecovered; // "Lost-Recovered"
};

// `written` bytes now and `writtenAtLastTick` one 250 ms tick earlier; the
// receiver's lost and recovered byte counts.
CaptureStatistics FormatStatistics(std::uint64_t written, std::uint64_t writtenAtLastTick,
                                   std::uint64_t lost, std::uint64_t recovered);

enum class CaptureState {
    Idle,
    Waiting,
    Capturing,
};

class StreamWaiter;

class CaptureModel
{
public:
    static constexpr int kStatisticsTimer = 1;
    static constexpr unsigned kStatisticsPeriodMs = 250;
    static constexpr int kWaitTimer = 2;
    static constexpr unsigned kWaitPeriodMs = 1000;
    // How long one listener wait lasts.
    static constexpr unsigned long kListenMs = 1000;
    // Bytes the writer asks the receiver for at a time.
    static constexpr long kReadSize = 32768;
    static constexpr const char* kSettingsFile = ".\\grabtool.ini";
    static constexpr const char* kAny = "<any>";
    static constexpr const char* kStartText = "Start";
    static constexpr const char* kStopText = "Stop";
    // Added to a chosen file name without an extension.
    static constexpr const char* kDefaultExtension = "MPG";

    // Reads the settings file (section "QV") into the fields and lists the
    // host's interfaces. `ui` runs the work of other threads on the
    // user-interface thread.
    CaptureModel(CaptureHost& host, std::shared_ptr<qvplat::UiDispatcher> ui,
                 std::string settingsFile = kSettingsFile);
    // Stops waiting and capturing (no save).
    ~CaptureModel();
    CaptureModel(const CaptureModel&) = delete;
    CaptureModel& operator=(const CaptureModel&) = delete;

    // The debug log in the Windows directory ("QvDebug.log").
    static void OpenDebugLog();

    // ---- The fields -------------------------------------------------------------------
    const std::string& Filename() const { return m_filename; }
    const std::string& Address() const { return m_address; }
    const std::string& Port() const { return m_port; }
    bool Unicast() const { return m_unicast; }
    const std::string& InterfaceText() const { return m_interfaceText; }
    const std::string& PacketFormatText() const { return m_packetFormatText; }
    const std::string& MuxText() const { return m_muxText; }
    void SetFilename(std::string text) { m_filename = std::move(text); }
    void SetAddress(std::string text) { m_address = std::move(text); }
    void SetPort(std::string text) { m_port = std::move(text); }
    void SetUnicast(bool on) { m_unicast = on; }
    void SetInterfaceText(std::string text) { m_interfaceText = std::move(text); }
    void SetPacketFormatText(std::string text) { m_packetFormatText = std::move(text); }
    void SetMuxText(std::string text) { m_muxText = std::move(text); }

    // "<any>" and the host's addresses, in the host's order.
    const std::vector<std::string>& Interfaces() const { return m_interfaces; }
    // Sorted, "<any>" first.
    static const std::vector<std::string>& PacketFormats();
    static const std::vector<std::string>& Muxes();

    // ---- What the window shows ----------------------------------------------------------
    const std::string& ButtonText() const;
    // The Filename button, the file field and the Unicast box.
    bool InputsEnabled() const { return m_inputsEnabled; }
    const std::string& BytesText() const { return m_statistics.bytes; }
    const std::string& MbpsText() const { return m_statistics.mbps; }
    const std::string& LostRecoveredText() const { return m_statistics.lostRecovered; }
    std::string LogText() const { return m_log.Text(); }
    // The window calls this just before it reads LogText to show it.
    void LogShown() { m_log.MarkShown(); }

    // ---- State ------------------------------------------------------------------------
    CaptureState State() const { return m_state; }
    bool ListenerRunning() const { return m_waiter != nullptr; }
    bool ReceiverRunning() const { return m_collector.IsStarted() || m_collector.IsAlive(); }
    bool WriterRunning() const { return m_writer.joinable(); }
    std::uint64_t BytesWritten() const { return m_bytesWritten.load(); }
    const QvPropertyList& Settings() const { return m_settings; }

    // ---- Events -----------------------------------------------------------------------
    void OnStartStop();
    void OnTimer(int id);
    // Stops whatever runs and saves the settings; the window then closes.
    void OnExit();
    // A path from the save-file dialog.
    void OnFileChosen(std::string path);
    // Appends to the log (the newest 1000 characters are kept) and has the
    // window show it; any thread.
    void AddLogText(std::string_view text);

private:
    void PostToUi(std::function<void()> fn);
    void ReadSettings();
    void Start();
    void Stop();
    void SetOwnKey(const char* name, const std::string& value);
    bool SaveSettings();
    void LogTime(const char* format);

    void OnWaitTimer();
    void OnWaitDone(unsigned generation, int result, const QvPropertyList& generated);
    void StopWaiting();

    void StartCapture();
    void StopCapture();
    void OpenFile(const std::string& name);
    void CloseFile();
    void WriterLoop();
    void WriteToFile(const char* data, std::size_t length);
    void OnStatisticsTimer();

    CaptureHost& m_host;
    const std::shared_ptr<qvplat::UiDispatcher> m_ui;
    // Posted work holds it weakly: gone with the model.
    const std::shared_ptr<int> m_alive = std::make_shared<int>(0);
    const std::string m_settingsFile;
    QvPropertyList m_settings;
    CaptureLog m_log;

    std::string m_filename;
    std::string m_address;
    std::string m_port;
    bool m_unicast = false;
    std::string m_interfaceText = kAny;
    std::string m_packetFormatText = kAny;
    std::string m_muxText = kAny;
    std::vector<std::string> m_interfaces;

    CaptureState m_state = CaptureState::Idle;
    bool m_inputsEnabled = true;
    CaptureStatistics m_statistics;

    std::unique_ptr<StreamWaiter> m_waiter;
    unsigned m_waitGeneration = 0;

    // The receiver's copy of the settings; it reads them only in Start.
    QvPropertyList m_receiverSettings;
    CaptureCollector m_collector;
    std::thread m_writer;
    std::atomic<bool> m_run{false};
    // The output file, used by the writer thread while it runs.
    qvplat::File m_file;
    std::atomic<std::uint64_t> m_bytesWritten{0};
    std::uint64_t m_bytesAtLastTick = 0;
};

} // namespace grabtool
