#include "grabtool/model/capturemodel.h"

#include "core/net/qvhostaddr.h"
#include "core/receive/qvudplisten.h"
#include "core/settings/qvlog.h"

#include "platform/paths.h"

#include <chrono>
#include <condition_variable>
#include <cstdio>
#include <ctime>
#include <mutex>
#include <system_error>

namespace grabtool {

namespace {

std::string Format(const char* format, auto... args)
{
    char text[512];
    std::snprintf(text, sizeof text, format, args...);
    return text;
}

std::string ErrorText(int error)
{
    return std::error_code(error, std::generic_category()).message();
}

} // namespace

// ---- Receiver --------------------------------------------------------------------------

CaptureCollector::CaptureCollector(LogSink log)
    : QvUdpDataCollector(QvCollectorOptions::CaptureUtility()), m_log(std::move(log))
{
}

CaptureCollector::~CaptureCollector()
{
    Stop();
}

int CaptureCollector::Logged(int result, const char* line)
{
    m_log(line);
    return result;
}

int CaptureCollector::OnDataStarted()
{
    return Logged(QvUdpDataCollector::OnDataStarted(), "Data Started\r\n");
}

int CaptureCollector::OnDataRestarted()
{
    return Logged(QvUdpDataCollector::OnDataRestarted(), "Stream Restarted\r\n");
}

int CaptureCollector::OnPacketsLost(int bytes)
{
    return Logged(QvUdpDataCollector::OnPacketsLost(bytes), "Packet Lost\r\n");
}

int CaptureCollector::OnPacketRecovered(int bytes)
{
    return Logged(QvUdpDataCollector::OnPacketRecovered(bytes), "Packet Recovered\r\n");
}

int CaptureCollector::OnDataTimeout()
{
    return Logged(QvUdpDataCollector::OnDataTimeout(), "Timeout\r\n");
}

int CaptureCollector::OnLowThreshold()
{
    return Logged(QvUdpDataCollector::OnLowThreshold(), "Underflow\r\n");
}

int CaptureCollector::OnStartThreshold()
{
    return Logged(QvUdpDataCollector::OnStartThreshold(), "Start Threshold\r\n");
}

int CaptureCollector::OnHighThreshold()
{
    return Logged(QvUdpDataCollector::OnHighThreshold(), "Overflow\r\n");
}

int CaptureCollector::OnFlowPaused()
{
    return Logged(QvUdpDataCollector::OnFlowPaused(), "Flow Paused\r\n");
}

int CaptureCollector::OnFlowResumed()
{
    return Logged(QvUdpDataCollector::OnFlowResumed(), "Flow Resumed\r\n");
}

// ---- Statistics ------------------------------------------------------------------------

CaptureStatistics FormatStatistics(std::uint64_t written, std::uint64_t writtenAtLastTick,
                                   std::uint64_t lost, std::uint64_t recovered)
{
    const std::uint64_t delta = written >= writtenAtLastTick ? written - writtenAtLastTick : 0;
    // Bytes per 250 ms to megabits per second: x 8 x 4 / 1,000,000.
    return {Format("%llu", static_cast<unsigned long long>(written)),
            Format("%f", static_cast<double>(delta) * 0.000032),
            Format("%llu-%llu", static_cast<unsigned long long>(lost),
                   static_cast<unsigned long long>(recovered))};
}

// ---- Waiting for data ------------------------------------------------------------------

// One listener wait on a thread of its own. The listener works on a copy of
// the settings; `done` gets the wait's result and the generated properties
// on that thread, unless the wait was cancelled.
class StreamWaiter
{
public:
    using Done = std::function<void(int result, const QvPropertyList& generated)>;

    StreamWaiter(const QvPropertyList& settings, unsigned long ms, Done done)
        : m_settings(settings), m_done(std::move(done))
    {
        m_listener.SetPropertyList(&m_settings);
        m_thread = std::thread([this, ms] { Run(ms); });
    }
    ~StreamWaiter() { Cancel(); }
    StreamWaiter(const StreamWaiter&) = delete;
    StreamWaiter& operator=(const StreamWaiter&) = delete;

    unsigned Generation() const { return m_generation; }
    void SetGeneration(unsigned generation) { m_generation = generation; }

    // Ends the wait at once and joins the thread. A Wait that had not begun
    // when the listener was stopped starts it again, so the stop is repeated
    // until the thread is done.
    void Cancel()
    {
        std::unique_lock lock(m_lock);
        m_cancelled = true;
        while (!m_finished) {
            lock.unlock();
            m_listener.Stop();
            lock.lock();
            m_changed.wait_for(lock, std::chrono::milliseconds(10), [this] { return m_finished; });
        }
        lock.unlock();
        if (m_thread.joinable()) {
            m_thread.join();
        }
    }

private:
    void Run(unsigned long ms)
    {
        const int result = m_listener.Wait(ms);
        QvPropertyList generated;
        if (result == QvUdpListen::WaitResolved) {
            generated = m_listener.GetGeneratedProperties();
        }
        m_listener.Stop();
        bool cancelled = false;
        {
            const std::lock_guard lock(m_lock);
            m_finished = true;
            cancelled = m_cancelled;
        }
        m_changed.notify_all();
        if (!cancelled) {
            m_done(result, generated);
        }
    }

    QvPropertyList m_settings;
    QvUdpListen m_listener;
    Done m_done;
    unsigned m_generation = 0;
    std::mutex m_lock;
    std::condition_variable m_changed;
    bool m_finished = false;
    bool m_cancelled = false;
    std::thread m_thread;
};

// ---- The model -------------------------------------------------------------------------

CaptureModel::CaptureModel(CaptureHost& host, std::shared_ptr<qvplat::UiDispatcher> ui,
                           std::string settingsFile)
    : m_host(host), m_ui(std::move(ui)), m_settingsFile(std::move(settingsFile)),
      m_statistics(FormatStatistics(0, 0, 0, 0)),
      m_collector([this](const char* line) { AddLogText(line); })
{
    ReadSettings();
    m_interfaces.push_back(kAny);
    for (const std::uint32_t address : QvHostAddresses()) {
        m_interfaces.push_back(QvDottedAddress(address));
    }
}

CaptureModel::~CaptureModel()
{
    StopWaiting();
    StopCapture();
}

void CaptureModel::OpenDebugLog()
{
    QvSetDebugFile((qvplat::WindowsDirectory() + "\\QvDebug.log").c_str());
}

const std::vector<std::string>& CaptureModel::PacketFormats()
{
    static const std::vector<std::string> formats = {kAny, "OPV", "OVS", "QVS", "RAW"};
    return formats;
}

const std::vector<std::string>& CaptureModel::Muxes()
{
    static const std::vector<std::string> muxes = {kAny, "m1s", "m2p", "m2t"};
    return muxes;
}

const std::string& CaptureModel::ButtonText() const
{
    static const std::string start = kStartText;
    static const std::string stop = kStopText;
    return m_state == CaptureState::Capturing ? stop : start;
}

void CaptureModel::ReadSettings()
{
    m_settings.ReadProperties(m_settingsFile.c_str());
    m_filename = m_settings.GetProperty("Filename").chars();
    m_address = m_settings.GetProperty("Address").chars();
    m_port = m_settings.GetProperty("Port").chars();
    m_unicast = m_settings.GetBoolProperty("Unicast");
}

void CaptureModel::PostToUi(std::function<void()> fn)
{
    if (m_ui) {
        m_ui->Post([alive = std::weak_ptr<int>(m_alive), fn = std::move(fn)] {
            if (alive.lock()) {
                fn();
            }
        });
    }
}

void CaptureModel::AddLogText(std::string_view text)
{
    if (m_log.Append(text)) {
        PostToUi([this] { m_host.StateChanged(); });
    }
}

void CaptureModel::LogTime(const char* format)
{
    const std::time_t now = std::time(nullptr);
    std::tm local{};
    localtime_r(&now, &local);
    char text[64];
    if (std::strftime(text, sizeof text, format, &local) != 0) {
        AddLogText(text);
    }
}

void CaptureModel::OnFileChosen(std::string path)
{
    const std::size_t slash = path.find_last_of('/');
    const std::size_t dot = path.find_last_of('.');
    if (dot == std::string::npos || (slash != std::string::npos && dot < slash)) {
        path += std::string(".") + kDefaultExtension;
    }
    m_filename = std::move(path);
}

// ---- Start, Stop, Exit -----------------------------------------------------------------

void CaptureModel::OnStartStop()
{
    if (m_state == CaptureState::Capturing) {
        Stop();
    } else {
        Start();
    }
}

void CaptureModel::SetOwnKey(const char* name, const std::string& value)
{
    if (value.empty()) {
        m_settings.ClearProperty(name);
    } else {
        m_settings.SetProperty(name, value.c_str());
    }
}

bool CaptureModel::SaveSettings()
{
    if (m_settings.WriteProperties(m_settingsFile.c_str()) != 0) {
        return true;
    }
    QvErrorMsg(false, "Settings not saved to %s.", m_settingsFile.c_str());
    AddLogText(Format("Settings not saved to %s.\r\n", m_settingsFile.c_str()));
    return false;
}

void CaptureModel::Start()
{
    StopWaiting();
    m_inputsEnabled = false;

    // The file keeps every key it had; the dialog sets or removes its own.
    // The stream type and format join the file on Exit.
    SetOwnKey("Filename", m_filename);
    SetOwnKey("Address", m_address);
    SetOwnKey("Port", m_port);
    SetOwnKey("Unicast", m_unicast ? "true" : "");
    SetOwnKey("Interface", m_interfaceText == kAny ? "" : m_interfaceText);
    m_settings.ClearProperty("PacketFormat");
    m_settings.ClearProperty("Mux");
    SaveSettings();
    SetOwnKey("PacketFormat", m_packetFormatText == kAny ? "" : m_packetFormatText);
    SetOwnKey("Mux", m_muxText == kAny ? "" : m_muxText);

    LogTime("Start Time: %m/%d/%y %H:%M:%S\r\n");
    m_state = CaptureState::Waiting;
    m_host.StartTimer(kWaitTimer, kWaitPeriodMs);
}

void CaptureModel::Stop()
{
    StopCapture();
    m_inputsEnabled = true;
    LogTime("Stop Time: %m/%d/%y %H:%M:%S\r\n");
}

void CaptureModel::OnExit()
{
    StopWaiting();
    StopCapture();
    SaveSettings();
}

void CaptureModel::OnTimer(int id)
{
    if (id == kWaitTimer) {
        OnWaitTimer();
    } else if (id == kStatisticsTimer) {
        OnStatisticsTimer();
    }
}

// ---- Waiting ---------------------------------------------------------------------------

void CaptureModel::OnWaitTimer()
{
    m_host.KillTimer(kWaitTimer);
    if (m_state != CaptureState::Waiting) {
        return;
    }
    const unsigned generation = ++m_waitGeneration;
    m_waiter.reset();
    m_waiter = std::make_unique<StreamWaiter>(
        m_settings, kListenMs, [this, generation](int result, const QvPropertyList& generated) {
            PostToUi([this, generation, result, generated] {
                OnWaitDone(generation, result, generated);
                m_host.StateChanged();
            });
        });
    m_waiter->SetGeneration(generation);
}

void CaptureModel::OnWaitDone(unsigned generation, int result, const QvPropertyList& generated)
{
    if (m_waiter && m_waiter->Generation() == generation) {
        m_waiter.reset(); // its thread has posted this and is ending
    }
    if (generation != m_waitGeneration || m_state != CaptureState::Waiting) {
        return;
    }
    if (result != QvUdpListen::WaitResolved) {
        AddLogText("No data resolved.\r\n");
        m_host.StartTimer(kWaitTimer, kWaitPeriodMs);
        return;
    }
    QvPropertyList found(generated);
    m_settings.MergeProperties(found);
    for (const char* key : {"PacketFormat", "Mux", "PacketSize", "Interface"}) {
        UtCString value;
        if (m_settings.FindProperty(key, value)) {
            AddLogText(std::string(key) + "=" + value.chars() + "\r\n");
        }
    }
    StartCapture();
}

void CaptureModel::StopWaiting()
{
    ++m_waitGeneration;
    m_host.KillTimer(kWaitTimer);
    m_waiter.reset();
    if (m_state == CaptureState::Waiting) {
        m_state = CaptureState::Idle;
    }
}

// ---- Capturing -------------------------------------------------------------------------

void CaptureModel::StartCapture()
{
    m_bytesWritten.store(0);
    m_bytesAtLastTick = 0;
    m_statistics = FormatStatistics(0, 0, 0, 0);
    m_state = CaptureState::Capturing;

    UtCString name;
    const bool haveFile = m_settings.FindProperty("Filename", name) && !name.isNull();
    if (haveFile) {
        AddLogText(Format("Filename: %s\r\n", name.chars()));
        OpenFile(name.chars());
    } else {
        AddLogText("No file specified.  Simulation mode.\r\n");
    }

    // The receiver starts here, before the writer exists, so a Stop at any
    // moment finds it and ends it.
    m_receiverSettings = m_settings;
    m_collector.SetPropertyList(&m_receiverSettings);
    m_collector.SetFlowControl(false);
    const int started = m_collector.Start();
    if (started != QvUdpDataCollector::kStartOk) {
        AddLogText(Format("Receiver not started (%d).\r\n", started));
        Stop();
        return;
    }
    if (haveFile) {
        AddLogText("Saving...\r\n");
    }
    m_run.store(true);
    m_writer = std::thread([this] { WriterLoop(); });
    m_host.StartTimer(kStatisticsTimer, kStatisticsPeriodMs);
}

void CaptureModel::StopCapture()
{
    if (m_state != CaptureState::Capturing) {
        return;
    }
    m_run.store(false);
    m_host.KillTimer(kStatisticsTimer);
    // A writer waiting in ReadBuffer returns once the receiver stops.
    m_collector.Stop();
    if (m_writer.joinable()) {
        m_writer.join();
    }
    CloseFile();
    m_state = CaptureState::Idle;
}

void CaptureModel::OpenFile(const std::string& name)
{
    // Replaced when it exists.
    const std::string path = qvplat::MapPath(name);
    if (path.empty() || !m_file.OpenReadWrite(path, true, 0666) || !m_file.Truncate(0)) {
        m_file.Close();
        AddLogText("Failed to open file\r\n");
    }
}

void CaptureModel::CloseFile()
{
    if (m_file.IsOpen() && !m_file.Close()) {
        AddLogText(Format("Closing the file failed: %s.\r\n", ErrorText(m_file.Error()).c_str()));
    }
}

void CaptureModel::WriterLoop()
{
    std::vector<char> buffer(static_cast<std::size_t>(kReadSize));
    while (m_run.load()) {
        int flags = 0;
        const long got = m_collector.ReadBuffer(buffer.data(), kReadSize, flags);
        if (got > 0) {
            WriteToFile(buffer.data(), static_cast<std::size_t>(got));
            m_bytesWritten.fetch_add(static_cast<std::uint64_t>(got));
        }
        if (flags == QvUdpDataCollector::kStopped) {
            break;
        }
    }
}

void CaptureModel::WriteToFile(const char* data, std::size_t length)
{
    if (!m_file.IsOpen() || m_file.WriteAll(data, length)) {
        return;
    }
    // Logged once; the capture goes on as in simulation mode.
    const int error = m_file.Error();
    const auto inFile = static_cast<unsigned long long>(m_file.Size());
    AddLogText(Format("Write error: %s. %llu bytes in the file; writing stopped.\r\n",
                      ErrorText(error).c_str(), inFile));
    QvErrorMsg(false, "Write error %d after %llu bytes.", error, inFile);
    CloseFile();
}

void CaptureModel::OnStatisticsTimer()
{
    if (m_state != CaptureState::Capturing) {
        return;
    }
    const std::uint64_t written = m_bytesWritten.load();
    m_statistics = FormatStatistics(written, m_bytesAtLastTick, m_collector.GetLostCount(),
                                    m_collector.GetRecovCount());
    m_bytesAtLastTick = written;
}

} // namespace grabtool
