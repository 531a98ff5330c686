// The stream object: reads through a handed-over receiver, or makes one of
// its own from a stream description, and names the stream's multiplex type.
#include "castsource/castsource.h"

#include "core/receive/qvcollector.h"
#include "core/sap/qvsappacket.h"
#include "core/settings/qvlog.h"

#include <cstring>
#include <new>

namespace {

constexpr const char* kSettingsFile = "QvCtl.ini";
constexpr const char* kSection = "QV";

} // namespace

CTalvexStream::CTalvexStream()
{
    QvDebugMsg("Talvex Stream constructed");
}

CTalvexStream::~CTalvexStream()
{
    QvDebugMsg("CTalvexStream destructed");
    ReleaseOwnReceiver();
}

void CTalvexStream::ReleaseOwnReceiver()
{
    std::lock_guard<std::recursive_mutex> hold(m_lock);
    if (m_ownsReceiver.load()) {
        // Stopped before it goes, so no thread of it reads the list it points at.
        if (QvUdpDataCollector* own = m_receiver.exchange(nullptr)) {
            own->Stop();
            own->SetPropertyList(nullptr);
            delete own;
        }
    }
}

bool CTalvexStream::HandOver(QvUdpDataCollector* receiver, const QvPropertyList& settings)
{
    std::lock_guard<std::mutex> hold(m_propertyLock);
    if (receiver == nullptr || m_ownsReceiver.load()) {
        return false;
    }
    m_properties = settings;
    m_receiver.store(receiver);
    receiver->SetPropertyList(&m_properties);
    return true;
}

qvplat::HRESULT CTalvexStream::Seek(std::int64_t position)
{
    if (position < 0 || position > kLength) {
        return qvplat::S_FALSE;
    }
    m_position = position;
    return qvplat::S_OK;
}

qvplat::HRESULT CTalvexStream::Read(std::uint8_t* buffer, long count, bool /*aligned*/, long* read,
                                    int* flags, long* breakOffset)
{
    std::lock_guard<std::recursive_mutex> hold(m_lock);
    if (read != nullptr) {
        *read = 0;
    }
    if (breakOffset != nullptr) {
        *breakOffset = 0;
    }
    if (m_receiver.load() == nullptr && !MakeOwnReceiver()) {
        return qvplat::E_FAIL;
    }
    QvUdpDataCollector* receiver = m_receiver.load();
    int received = QvUdpDataCollector::kContinuous;
    long offset = 0;
    const long got =
        receiver->ReadBuffer(reinterpret_cast<char*>(buffer), count, received, &offset);
    if (flags != nullptr) {
        *flags = received;
    }
    if (breakOffset != nullptr) {
        *breakOffset = offset;
    }
    if (read != nullptr) {
        *read = got;
    }
    m_position += got;
    return qvplat::S_OK;
}

bool CTalvexStream::MakeOwnReceiver()
{
    m_ownsReceiver.store(true);
    QvDebugMsg("Creating Multicast Collector");
    auto* receiver = new (std::nothrow) QvUdpDataCollector;
    if (receiver == nullptr) {
        QvDebugMsg("CTalvexStream::Read() failed to create collector.");
        return false;
    }
    int result = 0;
    {
        std::lock_guard<std::mutex> hold(m_propertyLock);
        // The defaults first; the description's values replace them.
        m_properties.ReadDefaults(kSettingsFile, kSection);
        if (!m_fileName.isNull()) {
            m_properties.ReadProperties(m_fileName, kSection);
        }
        receiver->SetPropertyList(&m_properties);
        receiver->SetFlowControl(true);
        result = receiver->Start();
    }
    if (result != QvUdpDataCollector::kStartOk) {
        QvDebugMsg("CTalvexStream::Read() failed to start collector (%d).", result);
        delete receiver;
        return false;
    }
    m_receiver.store(receiver);
    // A flush that began while the receiver was being made has not seen it.
    if (m_flushing.load()) {
        receiver->ReleaseReaders();
    }
    return true;
}

std::int64_t CTalvexStream::GetSize(std::int64_t* available)
{
    if (available != nullptr) {
        *available = kLength;
    }
    return kLength;
}

long CTalvexStream::GetAlignment()
{
    return 1;
}

void CTalvexStream::Lock()
{
    m_lock.lock();
}

void CTalvexStream::Unlock()
{
    m_lock.unlock();
}

void CTalvexStream::OnRun()
{
    m_running.store(true);
}

void CTalvexStream::OnPause()
{
    // Only a pause of a running stream throws the queued data away: the
    // pause on the way from stopped to running must keep what the receiver
    // buffered for the start.
    if (m_running.exchange(false)) {
        if (QvUdpDataCollector* receiver = m_receiver.load()) {
            receiver->FlushAllFifos();
        }
    }
}

void CTalvexStream::OnStop()
{
    m_running.store(false);
    if (QvUdpDataCollector* receiver = m_receiver.load()) {
        receiver->FlushAllFifos();
    }
}

void CTalvexStream::OnBeginFlush()
{
    m_flushing.store(true);
    if (QvUdpDataCollector* receiver = m_receiver.load()) {
        receiver->ReleaseReaders();
    }
}

void CTalvexStream::OnEndFlush()
{
    m_flushing.store(false);
    if (QvUdpDataCollector* receiver = m_receiver.load()) {
        receiver->RearmReaders();
    }
}

void CTalvexStream::SetFileName(const UtCString& name)
{
    std::lock_guard<std::mutex> hold(m_propertyLock);
    m_fileName = name;
}

UtCString CTalvexStream::GetFileName() const
{
    std::lock_guard<std::mutex> hold(m_propertyLock);
    return m_fileName;
}

int CTalvexStream::GetMuxType()
{
    const UtCString file = GetFileName();
    if (!file.isNull()) {
        QvDebugMsg("File: %s, reading properties", file.chars());
        // Read apart and merged under the list's lock: a read may be
        // starting the receiver from the same list meanwhile.
        QvPropertyList described;
        described.ReadProperties(file, kSection);
        std::lock_guard<std::mutex> hold(m_propertyLock);
        m_properties.MergeProperties(described);
    }

    UtCString sdp;
    UtCString mux;
    bool haveSdp = false;
    {
        std::lock_guard<std::mutex> hold(m_propertyLock);
        haveSdp = m_properties.FindProperty("SDP", sdp);
        if (!haveSdp) {
            mux = m_properties.GetProperty("mux");
        }
    }
    if (haveSdp) {
        QvSAPPacket packet;
        if (!packet.SetSdpText(sdp.chars())) {
            QvDebugMsg("SDP text of %u bytes does not fit an announcement; no mux type.",
                       static_cast<unsigned>(sdp.length()));
            return kMuxNone;
        }
        mux = packet.GetPropA("MUX");
    }
    mux.toUpper();
    if (mux == "M1S") {
        QvDebugMsg("Mux Prop: m1s");
        return kMuxMpeg1System;
    }
    if (mux == "M2T") {
        QvDebugMsg("Mux Prop: m2t");
        return kMuxMpeg2Transport;
    }
    if (mux == "M2P") {
        QvDebugMsg("Mux Prop: m2p");
        return kMuxMpeg2Program;
    }
    QvDebugMsg("Mux Prop: (n/a)");
    return kMuxNone;
}
