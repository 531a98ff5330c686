#include "capture/engine/model/qvcaptureengine.h"

#include "core/receive/qvudplisten.h"
#include "core/sap/qvsappacket.h"
#include "core/settings/qvlog.h"
#include "platform/paths.h"

#include <cstring>
#include <filesystem>
#include <string>
#include <utility>

namespace {

template <class T> bool ValueAt(std::span<const std::uint8_t> data, std::size_t offset, T& value)
{
    if (data.size() < offset + sizeof(T)) {
        return false;
    }
    std::memcpy(&value, data.data() + offset, sizeof(T));
    return true;
}

} // namespace

QvCaptureEngine::QvCaptureEngine(QvCaptureEngineHost& host)
    : QvCommChannel(kQvChannelName, kQvChannelDataSize, Side::Serving), m_host(host),
      m_presence(kQvPresenceName, static_cast<std::uint32_t>(sizeof(QvPresenceBlock)))
{
    if (QvPresenceBlock* presence = GetPresence(); presence != nullptr && m_presence.IsNew()) {
        QvPresenceDefaults(*presence);
    }
}

QvCaptureEngine::~QvCaptureEngine()
{
    StopListening();
}

QvCaptureEngine::EngineCapture::~EngineCapture()
{
    Stop();
    JoinThread();
}

void QvCaptureEngine::ResetPresence()
{
    if (QvPresenceBlock* presence = GetPresence()) {
        QvPresenceDefaults(*presence);
    }
}

bool QvCaptureEngine::StartServing()
{
    QvPresenceBlock* presence = GetPresence();
    if (presence == nullptr || !Listen()) {
        return false;
    }
    QvStore(presence->running, 1);
    // Controls waiting for the engine sleep on the block's first word.
    qvplat::WakeSharedWord(reinterpret_cast<const std::uint32_t*>(presence));
    return true;
}

void QvCaptureEngine::BeginClosing()
{
    m_closing.store(true);
    if (QvPresenceBlock* presence = GetPresence()) {
        QvStore(presence->running, 0);
    }
}

void QvCaptureEngine::PostExit()
{
    BeginClosing();
    m_host.PostEngineMessage(kExitMessage);
}

void QvCaptureEngine::Shutdown()
{
    BeginClosing();
    StopListening();
    const std::lock_guard<std::mutex> lock(m_lock);
    if (std::exchange(m_startPosted, false)) {
        FailStart(); // the control waits for the end of a start it was promised
    }
    m_capture.Stop();
    if (std::exchange(m_slotTaken, false)) {
        if (QvPresenceBlock* presence = GetPresence()) {
            std::atomic_ref<std::int32_t>(presence->freeSlots).fetch_add(1);
        }
    }
}

bool QvCaptureEngine::IsEngineValid() const
{
    return IsValid() && GetPresence() != nullptr;
}

QvPresenceBlock* QvCaptureEngine::GetPresence() const
{
    return static_cast<QvPresenceBlock*>(m_presence.GetView());
}

int QvCaptureEngine::HandleCommand(int code, std::span<const std::uint8_t> data)
{
    const std::lock_guard<std::mutex> lock(m_lock);
    QvStatusBlock* status = m_capture.GetStatus();
    switch (code) {
    case kQvCmdInitialize:
        QvDebugMsg("Cmd: Initialize");
        return Initialize(data);
    case kQvCmdStart:
        QvDebugMsg("Cmd: Start");
        return StartCommand();
    case kQvCmdStop:
        if (status != nullptr) {
            m_host.PostEngineMessage(kStopCaptureMessage);
        }
        return 0;
    case kQvCmdSetDuration: {
        QvDebugMsg("Cmd: Set Duration");
        std::int32_t seconds = 0;
        if (status != nullptr && ValueAt(data, kQvCommandValueOffset, seconds)) {
            QvStore(status->duration, seconds);
        }
        return 0;
    }
    case kQvCmdSetStopThreshold: {
        QvDebugMsg("Cmd: Set StopThreshold");
        double threshold = 0.0;
        if (status != nullptr && ValueAt(data, kQvCommandValueOffset, threshold)) {
            QvStore(status->stopThreshold, threshold);
        }
        return 0;
    }
    default:
        return 0;
    }
}

int QvCaptureEngine::Initialize(std::span<const std::uint8_t> data)
{
    if (IsClosing()) {
        QvDebugMsg("Err: engine closing; session not changed");
        return kQvNoFreeSlot;
    }
    if (CaptureUnderWay()) {
        QvDebugMsg("Err: capture under way; session not changed");
        return kQvNoFreeSlot;
    }
    const QvInitializeRequest request = QvParseInitializeData(data);
    UtCString address;
    UtCString port;
    UtCString id;
    if (!request.sessionText.empty()) {
        QvSAPPacket packet;
        packet.SetSdpText(request.sessionText.c_str());
        address = packet.GetPropA("Address");
        port = packet.GetPropA("Port");
        id = packet.GetPropA("SesOSesID");
        m_properties.SetProperty("SDP", request.sessionText.c_str());
    } else {
        m_properties.ClearProperty("SDP");
        if (!request.address.empty() || !request.port.empty()) {
            address = request.address.c_str();
            port = request.port.c_str();
        } else {
            address = m_properties.GetProperty("Address");
            port = m_properties.GetProperty("Port");
        }
    }
    return m_capture.OpenStatus(QvStatusBlockName(address.chars(), port.chars(), id.chars())) ? 0
                                                                                              : -1;
}

int QvCaptureEngine::StartCommand()
{
    if (m_capture.GetStatus() == nullptr) {
        return kQvNotInitialised;
    }
    QvPresenceBlock* presence = GetPresence();
    if (presence == nullptr || QvLoad(presence->freeSlots) <= 0 || CaptureUnderWay() ||
        IsClosing()) {
        QvDebugMsg("Err: no capture slots available");
        return kQvNoFreeSlot;
    }
    m_properties.ReadProperties(kHandOverFile, QvPropertyList::defaultSection);
    const std::string handOver = qvplat::MapPath(kHandOverFile, qvplat::PathBase::WindowsDirectory);
    if (!handOver.empty()) {
        std::error_code ignored;
        std::filesystem::remove(handOver, ignored);
    }
    QvDebugMsg("Listening for data");
    QvUdpListen listener;
    listener.SetPropertyList(&m_properties);
    if (listener.Wait(kListenTimeoutMs) != QvUdpListen::WaitResolved) {
        QvDebugMsg("Err: No data detected.");
        PostExit();
        return kQvNoData;
    }
    m_properties.MergeProperties(listener.GetGeneratedProperties());
    listener.Stop();
    m_capture.GetPropertyList() = m_properties;
    m_startPosted = true;
    m_host.PostEngineMessage(kStartCaptureMessage);
    return 0;
}

int QvCaptureEngine::OnStartCapture()
{
    const std::lock_guard<std::mutex> lock(m_lock);
    m_startPosted = false;
    // A start that arrives once closing has begun fails like any other.
    const int result = IsClosing() ? kQvNoFreeSlot : m_capture.Start();
    if (result != 0) {
        FailStart();
        QvDebugMsg("Err: Failed to start capture session.");
        return result;
    }
    if (QvPresenceBlock* presence = GetPresence()) {
        std::atomic_ref<std::int32_t>(presence->freeSlots).fetch_sub(1);
        m_slotTaken = true;
    }
    return 0;
}

void QvCaptureEngine::FailStart()
{
    BeginClosing();
    if (QvStatusBlock* status = m_capture.GetStatus()) {
        QvStore(status->stopReason, kQvReasonNoData);
        m_capture.GetStatusBlock()->Signal();
    }
    m_host.PostEngineMessage(kExitMessage);
}

void QvCaptureEngine::OnStopCapture()
{
    QvDebugMsg("Cmd: Stop");
    const std::lock_guard<std::mutex> lock(m_lock);
    m_capture.Stop();
}
