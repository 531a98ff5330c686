#include "capture/control/model/qvrecordcontrol.h"

#include "capture/channel/qvcapturefile.h"
#include "capture/channel/qvdiskspace.h"
#include "capture/channel/qvengineinstance.h"
#include "capture/control/model/qvenginelaunch.h"
#include "core/sap/qvsappacket.h"
#include "core/settings/qvlog.h"
#include "platform/paths.h"

#include <algorithm>
#include <atomic>
#include <chrono>
#include <csignal>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <strings.h>
#include <thread>
#include <unistd.h>

namespace {

namespace fs = std::filesystem;

// Each control listens under a name of its own, so that the end of one
// session reaches only the controls of that session.
std::string NewEventName()
{
    static std::atomic<unsigned> counter{0};
    return std::string(kQvStatusListenerName) + "-" + std::to_string(::getpid()) + "-" +
           std::to_string(counter.fetch_add(1) + 1);
}

bool HasParentStep(const UtCString& name)
{
    const std::string text = name.chars();
    std::size_t at = 0;
    while (at <= text.size()) {
        const std::size_t end = std::min(text.find_first_of("/\\", at), text.size());
        if (text.compare(at, end - at, "..") == 0 && end - at == 2) {
            return true;
        }
        at = end + 1;
    }
    return false;
}

// `inner` lies in `outer` or below it.
bool IsInside(const fs::path& inner, const fs::path& outer)
{
    const auto [o, i] = std::mismatch(outer.begin(), outer.end(), inner.begin(), inner.end());
    return o == outer.end();
}

} // namespace

// The status listener of one Initialize; the block outlives it.
class QvRecordControl::StatusListener final : public QvCommMgrListener::Owner
{
public:
    StatusListener(QvRecordControl& control, const QvStatusBlock* status, const std::string& name,
                   std::uint64_t generation)
        : m_control(control), m_status(status), m_generation(generation),
          m_listener(this, name.c_str())
    {
    }

    void OnSignal() override { m_control.OnStatusSignal(m_generation, m_status); }
    // About once a second the engine is looked after.
    void OnWaitTimeout() override
    {
        m_control.NoteCaptureUnderWay(m_status);
        if (++m_quietSlices >= kEngineCheckSlices) {
            m_quietSlices = 0;
            m_control.OnListenerWaitTimeout(m_generation);
        }
    }
    QvCommMgrListener& Listener() { return m_listener; }

private:
    static constexpr unsigned kEngineCheckSlices = 1000 / QvCommMgrListener::kWaitSliceMs;

    QvRecordControl& m_control;
    const QvStatusBlock* m_status;
    const std::uint64_t m_generation;
    unsigned m_quietSlices = 0;   // the listener's thread only
    QvCommMgrListener m_listener; // last: its thread ends before the rest goes
};

QvRecordControl::QvRecordControl(Observer& observer, Options options)
    : m_observer(observer), m_options(std::move(options)),
      m_channel(kQvChannelName, kQvChannelDataSize, QvCommChannel::Side::Sending),
      m_presence(kQvPresenceName, static_cast<std::uint32_t>(sizeof(QvPresenceBlock))),
      m_eventName(NewEventName())
{
    if (!m_options.launchEngine) {
        m_options.launchEngine = QvLaunchRecordEngine;
    }
    if (QvPresenceBlock* presence = Presence(); presence != nullptr && m_presence.IsNew()) {
        QvPresenceDefaults(*presence);
    }
    m_settings.ReadRegistry(kSettingsKey, QvPropertyList::HKEY::LocalMachine);
    if (m_settings.GetBoolProperty("Debug")) {
        QvSetDebugFile(kDebugLog);
    }
    QvDebugMsg("Veltora Capture OCX Started");
    m_settings.ReadProperties(kSharedSettings, QvPropertyList::defaultSection);
}

QvRecordControl::~QvRecordControl()
{
    QvDebugMsg("OCX destructed");
    ReleaseSession();
}

void QvRecordControl::SetDispatcher(std::shared_ptr<qvplat::UiDispatcher> dispatcher)
{
    const std::lock_guard<std::mutex> hold(m_dispatcherLock);
    m_dispatcher = std::move(dispatcher);
}

void QvRecordControl::OnWindowCreated()
{
    m_settings.ReadProperties(kOwnSettings, QvPropertyList::defaultSection);
}

QvStatusBlock* QvRecordControl::Status() const
{
    return m_status ? static_cast<QvStatusBlock*>(m_status->GetView()) : nullptr;
}

QvPresenceBlock* QvRecordControl::Presence() const
{
    return static_cast<QvPresenceBlock*>(m_presence.GetView());
}

// ---- Properties of the status and presence blocks ------------------------------------

std::int32_t QvRecordControl::GetDuration() const
{
    const QvStatusBlock* status = Status();
    return status != nullptr ? QvLoad(status->duration) : 0;
}

void QvRecordControl::SetDuration(std::int32_t seconds)
{
    QvDebugMsg("Cmd: SetDuration(%ld)", static_cast<long>(seconds));
    if (QvStatusBlock* status = Status()) {
        QvStore(status->duration, seconds);
    }
}

double QvRecordControl::GetStopThreshold() const
{
    const QvStatusBlock* status = Status();
    return status != nullptr ? QvLoad(status->stopThreshold) : 0.0;
}

void QvRecordControl::SetStopThreshold(double threshold)
{
    QvDebugMsg("Cmd: SetStopThreshold(%f)", threshold);
    if (QvStatusBlock* status = Status()) {
        QvStore(status->stopThreshold, threshold);
    }
}

std::int32_t QvRecordControl::GetStartTime() const
{
    const QvStatusBlock* status = Status();
    if (status == nullptr) {
        return 0;
    }
    std::int32_t start = QvLoad(status->startTime);
    if (start == 0) {
        // The capture loop may be about to begin.
        std::this_thread::sleep_for(std::chrono::milliseconds(50));
        start = QvLoad(status->startTime);
    }
    return start;
}

std::int32_t QvRecordControl::GetElapsedTime() const
{
    const QvStatusBlock* status = Status();
    return status != nullptr ? QvLoad(status->elapsed) : 0;
}

std::int32_t QvRecordControl::GetState() const
{
    const QvStatusBlock* status = Status();
    return status != nullptr ? QvLoad(status->state) : 0;
}

double QvRecordControl::GetBytesCaptured() const
{
    const QvStatusBlock* status = Status();
    return status != nullptr ? QvLoad(status->bytesCaptured) : 0.0;
}

bool QvRecordControl::CanCapture() const
{
    return AvailableCaptureSlots() > 0;
}

std::int32_t QvRecordControl::AvailableCaptureSlots() const
{
    const QvPresenceBlock* presence = Presence();
    return presence != nullptr ? QvLoad(presence->freeSlots) : 0;
}

void QvRecordControl::Unlock()
{
    if (QvStatusBlock* status = Status()) {
        QvStore(status->lock, 0);
    }
}

double QvRecordControl::GetFreeDiskSpace(const std::string& directory)
{
    return QvDiskSpace(directory.c_str()).GetFreeSpace();
}

double QvRecordControl::GetTotalDiskSpace(const std::string& directory)
{
    return QvDiskSpace(directory.c_str()).GetTotalSpace();
}

std::optional<QvStatusBlock> QvRecordControl::StatusSnapshot() const
{
    const QvStatusBlock* status = Status();
    if (status == nullptr) {
        return std::nullopt;
    }
    QvStatusBlock copy{};
    copy.attached = QvLoad(status->attached);
    copy.slot = QvLoad(status->slot);
    copy.state = QvLoad(status->state);
    copy.duration = QvLoad(status->duration);
    copy.startTime = QvLoad(status->startTime);
    copy.elapsed = QvLoad(status->elapsed);
    copy.stopThreshold = QvLoad(status->stopThreshold);
    copy.bytesCaptured = QvLoad(status->bytesCaptured);
    copy.lock = QvLoad(status->lock);
    copy.stopReason = QvLoad(status->stopReason);
    return copy;
}

// ---- Settings ----------------------------------------------------------------------

int QvRecordControl::AddProp(const std::string& name, const std::string& value)
{
    QvDebugMsg("SetProp(\"%s\",\"%s\")", name.c_str(), value.c_str());
    // The page's properties reach the engine through the hand-over file:
    // each is kept as the engine will read it back, so that the checks at
    // Start see the names and values the engine acts on.
    UtCString key(name.c_str());
    UtCString text(value.c_str());
    if (!QvPropertyList::AsReadBack(key, text)) {
        QvDebugMsg("Err: a settings file cannot carry the property name \"%s\"", name.c_str());
        return kQvRcFailed;
    }
    if (::strcasecmp(key.chars(), "SDP") == 0) {
        m_sessionText = value;
    } else if (!key.isNull()) {
        m_page.SetProperty(key, text);
    }
    return kQvRcOk;
}

std::string QvRecordControl::CaptureDirectory() const
{
    const UtCString path = m_settings.GetProperty("Path");
    if (!path.isNull()) {
        return qvplat::MapPath(path.chars());
    }
    const char* videos = std::getenv("XDG_VIDEOS_DIR");
    if (videos != nullptr && videos[0] == '/') {
        return videos;
    }
    const char* home = std::getenv("HOME");
    if (home != nullptr && home[0] == '/') {
        return (fs::path(home) / "Videos").string();
    }
    return {};
}

QvPropertyList QvRecordControl::EngineSettings() const
{
    QvPropertyList settings(m_settings);
    QvPropertyList page(m_page);
    settings.MergeProperties(page);
    if (settings.GetProperty("Path").isNull()) {
        const std::string directory = CaptureDirectory();
        if (!directory.empty()) {
            settings.SetProperty("Path", directory.c_str());
        }
    }
    return settings;
}

bool QvRecordControl::PageTargetAllowed(const QvPropertyList& settings) const
{
    const bool pagePath = m_page.PropertyDefined("Path");
    const bool pageFile = m_page.PropertyDefined("Filename");
    if (!pagePath && !pageFile) {
        return true; // the user's own settings
    }
    if ((pagePath && HasParentStep(m_page.GetProperty("Path"))) ||
        (pageFile && HasParentStep(m_page.GetProperty("Filename")))) {
        return false;
    }
    const UtCString name =
        QvCaptureTargetName(settings.GetProperty("Filename"), settings.GetProperty("Path"));
    if (name.isNull()) {
        return true; // no file is named: the engine refuses the start
    }
    const std::string directory = CaptureDirectory();
    const fs::path target = qvplat::MapPath(name.chars());
    if (directory.empty() || target.empty() || !target.has_filename()) {
        return false;
    }
    std::error_code error;
    const fs::path base = fs::weakly_canonical(directory, error);
    if (error) {
        return false;
    }
    const fs::path parent = fs::weakly_canonical(target.parent_path(), error);
    return !error && IsInside(parent, base);
}

std::int16_t QvRecordControl::EditCaptureSettings(const SettingsDialog& dialog)
{
    QvPropertyList current(m_settings);
    QvPropertyList page(m_page);
    current.MergeProperties(page);
    const CaptureSettings shown{current.GetProperty("Path").chars(),
                                current.GetProperty("Filename").chars(),
                                current.GetProperty("DefaultDuration").chars()};
    const std::optional<CaptureSettings> entered = dialog(shown);
    if (!entered) {
        return 0;
    }
    const std::pair<const char*, const std::string*> values[] = {
        {"Path", &entered->path},
        {"Filename", &entered->filename},
        {"DefaultDuration", &entered->duration}};
    QvPropertyList file;
    file.ReadProperties(kOwnSettings, QvPropertyList::defaultSection);
    for (const auto& [name, value] : values) {
        m_settings.SetProperty(name, value->c_str());
        m_page.ClearProperty(name);
        file.SetProperty(name, value->c_str());
    }
    if (file.WriteProperties(kOwnSettings, QvPropertyList::defaultSection) == 0) {
        QvDebugMsg("Err: settings not written to %s", kOwnSettings);
    }
    if (QvStatusBlock* status = Status()) {
        QvStore(status->duration, m_settings.GetIntProperty("DefaultDuration"));
    }
    return 0;
}

// ---- Session -----------------------------------------------------------------------

void QvRecordControl::ReleaseSession()
{
    if (m_status && m_listener) {
        m_status->RemoveListener(m_eventName.c_str());
    }
    m_listener.reset(); // its thread ends here
    m_status.reset();
    m_awaitingEnd.store(false);
    m_ownCapture = false;
    UnwatchEngine();
}

int QvRecordControl::Initialize()
{
    QvDebugMsg("Cmd: Initialize");
    ReleaseSession();

    std::string address;
    std::string port;
    std::string id;
    if (!m_sessionText.empty()) {
        QvSAPPacket packet;
        packet.SetSdpText(m_sessionText.c_str());
        address = packet.GetPropA("Address");
        port = packet.GetPropA("Port");
        id = packet.GetPropA("SesOSesID");
    } else {
        const QvPropertyList settings = EngineSettings();
        address = settings.GetProperty("Address").chars();
        port = settings.GetProperty("Port").chars();
    }
    const std::size_t length =
        QvInitializeData(m_sessionText.c_str(), address.c_str(), port.c_str()).size();
    if (length > kQvChannelDataSize) {
        QvDebugMsg("Err: session text too long (%zu bytes, the channel takes %u)", length,
                   static_cast<unsigned>(kQvChannelDataSize));
        return kQvRcFailed;
    }

    auto block = std::make_unique<QvSharedBlock>(
        QvStatusBlockName(address.c_str(), port.c_str(), id.c_str()),
        static_cast<std::uint32_t>(sizeof(QvStatusBlock)));
    auto* status = static_cast<QvStatusBlock*>(block->GetView());
    if (status == nullptr) {
        QvDebugMsg("Err: status block not opened (%d)", block->GetError());
        return kQvRcFailed;
    }
    if (block->IsNew()) {
        QvStatusDefaults(*status);
        const QvPropertyList settings = EngineSettings();
        long duration = 0;
        double threshold = 0.0;
        if (std::sscanf(settings.GetCharProperty("DefaultDuration"), "%ld", &duration) == 1) {
            QvStore(status->duration, std::clamp<long>(duration, INT32_MIN, INT32_MAX));
        }
        if (std::sscanf(settings.GetCharProperty("DefaultStopThreshold"), "%lf", &threshold) == 1) {
            QvStore(status->stopThreshold, threshold);
        }
    }
    auto listener = std::make_unique<StatusListener>(*this, status, m_eventName, ++m_generation);
    if (!listener->Listener().IsValid() || !block->AddListener(listener->Listener())) {
        QvDebugMsg("Err: status listener not made");
        return kQvRcFailed;
    }
    m_status = std::move(block);
    m_listener = std::move(listener);
    m_address = address;
    m_port = port;
    m_awaitingEnd.store(true);
    return kQvRcOk;
}

bool QvRecordControl::EngineRunning() const
{
    const QvPresenceBlock* presence = Presence();
    // A running flag without a listener on the channel is what a crashed
    // engine left behind (its listener's event went with it); one that a
    // starting engine has not reset yet comes before it serves the channel.
    return presence != nullptr && QvLoad(presence->running) == 1 && m_channel.IsServed();
}

bool QvRecordControl::WaitForEngine() const
{
    const QvPresenceBlock* presence = Presence();
    if (presence == nullptr) {
        return false;
    }
    const auto* word = reinterpret_cast<const std::uint32_t*>(presence);
    const auto deadline = std::chrono::steady_clock::now() +
                          std::chrono::milliseconds(m_options.engineStartTimeoutMs);
    for (;;) {
        const std::uint32_t seen = QvLoad(*word);
        if (EngineRunning()) {
            return true;
        }
        const auto left = std::chrono::ceil<std::chrono::milliseconds>(
                              deadline - std::chrono::steady_clock::now())
                              .count();
        if (left <= 0) {
            return false;
        }
        // The engine wakes this wait when it comes up.
        qvplat::WaitOnSharedWord(
            word, seen, static_cast<std::uint32_t>(std::min<long long>(left, kEnginePollMs)));
    }
}

int QvRecordControl::SendSession()
{
    const std::string data =
        QvInitializeData(m_sessionText.c_str(), m_address.c_str(), m_port.c_str());
    return m_channel.SendCommand(kQvCmdInitialize, data.data(),
                                 static_cast<std::uint32_t>(data.size()));
}

int QvRecordControl::Start()
{
    QvDebugMsg("Cmd: Start");
    QvStatusBlock* status = Status();
    if (status == nullptr) {
        return kQvRcNotInitialised;
    }
    CheckEngine();
    const int result = StartCapture(*status);
    if (result == kQvRcOk) {
        m_ownCapture = true;
        m_awaitingEnd.store(true);
        WatchEngine();
        m_engineCheckPosted.store(false);
    }
    return result;
}

int QvRecordControl::StartCapture(QvStatusBlock& status)
{
    if (QvLoad(status.state) == 1) {
        return kQvRcCapturing;
    }
    const QvPropertyList settings = EngineSettings();
    if (!PageTargetAllowed(settings)) {
        QvDebugMsg("Err: the page's Path or Filename lies outside %s", CaptureDirectory().c_str());
        return kQvRcOutsideCaptureDir;
    }
    if (!EngineRunning()) {
        const int launched = m_options.launchEngine();
        if (launched <= 32) {
            QvDebugMsg("Err: engine not started (%d)", launched);
            return kQvRcEngineNotStarted;
        }
        if (!WaitForEngine()) {
            QvDebugMsg("Err: engine did not come up");
            return kQvRcEngineNotStarted;
        }
    }
    // Session, hand-over file and start as one exchange: no other control's
    // commands or file come between.
    if (!m_channel.LockExchange()) {
        return kQvNoAnswer;
    }
    int result = SendSession();
    if (result == 0) {
        QvPropertyList handOver(settings);
        if (handOver.WriteProperties(kHandOverFile, QvPropertyList::defaultSection) == 0) {
            // Started without them, the engine would capture on what an
            // earlier hand-over left, or on nothing.
            QvDebugMsg("Err: %s not written", kHandOverFile);
            result = kQvRcFailed;
        } else {
            // The reason of an earlier capture goes: from here on a reason
            // is this capture's end, which every control of the session is
            // told to await.
            QvStore(status.stopReason, kQvReasonNone);
            m_status->Signal();
            std::int32_t slot = QvLoad(status.slot);
            result = m_channel.SendCommand(kQvCmdStart, &slot, sizeof slot);
        }
    } else {
        QvDebugMsg("Err: Initialize answered %d", result);
    }
    m_channel.UnlockExchange();
    if (result == 0) {
        m_observer.OnStatusStart(QvLoad(status.duration));
    }
    return result;
}

int QvRecordControl::Stop()
{
    QvDebugMsg("Cmd: Stop");
    QvStatusBlock* status = Status();
    if (status == nullptr) {
        return kQvRcNotInitialised;
    }
    CheckEngine();
    // A capture this control started runs until its end is known, also
    // while its engine is still starting it.
    const bool started = m_ownCapture && QvLoad(status->stopReason) == kQvReasonNone;
    if (QvLoad(status->state) != 1 && !started) {
        return kQvRcFailed;
    }
    std::int32_t slot = QvLoad(status->slot);
    m_observer.OnStatusStop();
    return m_channel.SendCommand(kQvCmdStop, &slot, sizeof slot);
}

void QvRecordControl::WatchEngine()
{
    const std::lock_guard<std::mutex> hold(m_engineLock);
    if (!QvEngineInstance::OpenHolder(m_engine)) {
        QvDebugMsg("Err: the capture engine cannot be named; it is not watched");
    }
    m_pulseCount = m_pulse.Read().count;
    m_pulseMovedAt = std::chrono::steady_clock::now();
}

void QvRecordControl::UnwatchEngine()
{
    const std::lock_guard<std::mutex> hold(m_engineLock);
    m_engine.Close();
}

QvRecordControl::EngineHealth QvRecordControl::CaptureEngineHealth()
{
    const std::lock_guard<std::mutex> hold(m_engineLock);
    if (!m_engine.IsOpen()) {
        return EngineHealth::Alive;
    }
    if (m_engine.HasExited()) {
        return EngineHealth::Ended;
    }
    // Only the engine's own pulse tells: another process's, or none, is
    // no sign either way.
    const QvEnginePulseBlock pulse = m_pulse.Read();
    const auto now = std::chrono::steady_clock::now();
    if (pulse.pid != m_engine.Pid() || pulse.count != m_pulseCount) {
        m_pulseCount = pulse.count;
        m_pulseMovedAt = now;
        return EngineHealth::Alive;
    }
    return now - m_pulseMovedAt >= std::chrono::milliseconds(m_options.engineSilenceMs)
               ? EngineHealth::Silent
               : EngineHealth::Alive;
}

void QvRecordControl::CheckEngine()
{
    QvStatusBlock* status = Status();
    if (!m_ownCapture || status == nullptr) {
        return;
    }
    const EngineHealth health = CaptureEngineHealth();
    if (health == EngineHealth::Alive) {
        return;
    }
    int pid = 0;
    {
        const std::lock_guard<std::mutex> hold(m_engineLock);
        pid = m_engine.Pid();
        if (health == EngineHealth::Silent) {
            // Stopped or hung: left alone it would keep the lock, the
            // channel and the slot, and go on writing should it ever run
            // again after its end was reported.
            m_engine.Signal(SIGKILL);
            m_engine.WaitForExit(kEngineEndWaitMs);
        }
    }
    // A reason the engine wrote stands, else the capture could not go on.
    std::int32_t reason = QvLoad(status->stopReason);
    if (reason == kQvReasonNone) {
        reason = kQvReasonNoData;
        QvStore(status->stopReason, reason);
    }
    QvStore(status->state, 0);
    // The slot it took; a new engine makes the block new anyway.
    if (QvPresenceBlock* presence = Presence();
        presence != nullptr && !QvEngineInstance::IsHeld()) {
        QvStore(presence->freeSlots, 1);
    }
    if (health == EngineHealth::Silent) {
        QvDebugMsg("Err: the capture engine (%d) showed no sign of life for %u ms and was ended",
                   pid, static_cast<unsigned>(m_options.engineSilenceMs));
    } else {
        QvDebugMsg("Err: the capture engine (%d) ended without reporting the end", pid);
    }
    // The other controls of the session hear it as they would from the
    // engine; before the report, whose observer may drop the session.
    m_status->Signal();
    ReportEnd(reason);
}

void QvRecordControl::OnStatusSignal(std::uint64_t generation, const QvStatusBlock* status)
{
    const std::int32_t reason = QvLoad(status->stopReason);
    if (reason == kQvReasonNone) {
        NoteCaptureUnderWay(status); // a capture begins
        return;
    }
    PostToUi(generation, [this, reason] { ReportEnd(reason); });
}

void QvRecordControl::NoteCaptureUnderWay(const QvStatusBlock* status)
{
    // A reason stays until the next capture of the session clears it: a
    // cleared one means that the next end is a new one.
    if (QvLoad(status->stopReason) == kQvReasonNone) {
        m_awaitingEnd.store(true);
    }
}

void QvRecordControl::OnListenerWaitTimeout(std::uint64_t generation)
{
    if (CaptureEngineHealth() != EngineHealth::Alive && !m_engineCheckPosted.exchange(true)) {
        PostToUi(generation, [this] {
            m_engineCheckPosted.store(false);
            CheckEngine();
        });
    }
}

void QvRecordControl::PostToUi(std::uint64_t generation, std::function<void()> work)
{
    std::shared_ptr<qvplat::UiDispatcher> dispatcher;
    {
        const std::lock_guard<std::mutex> hold(m_dispatcherLock);
        dispatcher = m_dispatcher;
    }
    const auto guarded = [this, alive = std::weak_ptr<int>(m_alive), generation,
                          work = std::move(work)] {
        if (!alive.expired() && generation == m_generation) {
            work();
        }
    };
    if (!dispatcher || !dispatcher->Post(guarded)) {
        QvDebugMsg("Err: end of capture not reported: no user-interface thread");
    }
}

void QvRecordControl::ReportEnd(std::int32_t reason)
{
    if (!m_awaitingEnd.exchange(false)) {
        return;
    }
    m_ownCapture = false;
    UnwatchEngine();
    QvDebugMsg("Completed(%ld)", static_cast<long>(reason));
    m_observer.OnStatusStop();
    m_observer.OnCompleted(reason);
}
