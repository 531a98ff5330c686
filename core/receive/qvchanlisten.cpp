#include "core/receive/qvchanlisten.h"

#include "core/net/qvhostaddr.h"
#include "core/net/qvsocket.h"
#include "core/packets/qvpacket.h"
#include "core/settings/qvlog.h"
#include "core/threads/qvmessage.h"

#include "platform/clock.h"

#include <chrono>
#include <cstring>
#include <new>

namespace {

// How long the worker rests when there is nothing to receive.
constexpr auto kPollPeriod = std::chrono::milliseconds(50);

// The sender's header and control datagrams begin with four bytes A5.
bool IsControlDatagram(const QvBasePacket& packet, int size)
{
    if (size < 4) {
        return false; // what the buffer holds beyond `size` is an older datagram
    }
    const auto* bytes = reinterpret_cast<const std::uint8_t*>(packet.GetBuffer());
    for (int i = 0; i < 4; ++i) {
        if (bytes[i] != qvwire::kControlMarkerByte) {
            return false;
        }
    }
    return true;
}

} // namespace

QvChanListener::QvChanListener() = default;

QvChanListener::~QvChanListener()
{
    Stop();
    JoinThread();
}

// ---- Starting and stopping ----------------------------------------------------------------

int QvChanListener::Start()
{
    if (OnWorkerThread()) {
        return -1; // restarting would mean waiting for this very thread
    }
    std::lock_guard control(m_controlLock);
    StopLocked();
    m_resolved.store(false);
    m_generated.ClearProperties();
    m_largestData = 0;
    m_current = nullptr;

    if (!ReadSettings()) {
        return -1;
    }
    QvPropertyList* const settings = GetPropertyList();
    if (settings != nullptr) {
        m_readerSettings = std::make_unique<QvPropertyList>(*settings);
        m_readerSettings->ClearProperty("Interface");
    }
    if (ScanInterfaces() != 0 || !MakePool()) {
        CloseReaders();
        return -1;
    }

    m_state.store(Waiting);
    bool started = false;
    try {
        started = StartThread() != 0;
    } catch (...) {
        AbandonStart();
        throw;
    }
    if (!started) {
        QvDebugMsg("Failed to start the channel listener thread.");
        AbandonStart();
        return -1;
    }
    return 0;
}

void QvChanListener::AbandonStart()
{
    m_state.store(Idle);
    ReleasePool();
    CloseReaders();
}

bool QvChanListener::ReadSettings()
{
    int packetSize = kDefaultPacketSize;
    int period = kDefaultCollectPeriod;
    if (QvPropertyList* settings = GetPropertyList()) {
        if (settings->PropertyDefined("PacketSize")) {
            packetSize = settings->GetIntProperty("PacketSize");
        }
        if (settings->PropertyDefined("CollectPeriod")) {
            period = settings->GetIntProperty("CollectPeriod");
        }
    }
    if (packetSize < 1 || packetSize > kMaxPacketSize) {
        QvDebugMsg("PacketSize %d out of range.", packetSize);
        return false;
    }
    if (period < 1) {
        QvDebugMsg("CollectPeriod %d out of range.", period);
        return false;
    }
    m_packetSize.store(packetSize);
    m_collectPeriod.store(period);
    return true;
}

bool QvChanListener::MakePool()
{
    std::vector<std::unique_ptr<QvBasePacket>> pool;
    try {
        pool.reserve(kPoolPackets);
        for (int i = 0; i < kPoolPackets; ++i) {
            pool.push_back(
                std::make_unique<QvBasePacket>(static_cast<std::uint32_t>(m_packetSize.load())));
        }
    } catch (const std::bad_alloc&) {
        QvDebugMsg("No memory for %d packets of %d bytes.", kPoolPackets, m_packetSize.load());
        return false; // the packets made so far go with `pool`
    }
    std::lock_guard lock(m_poolLock);
    m_pool = std::move(pool);
    for (const auto& packet : m_pool) {
        m_freeList.append(packet.get());
    }
    return true;
}

void QvChanListener::ReleasePool()
{
    std::lock_guard lock(m_poolLock);
    m_dataList.clear();
    m_freeList.clear();
    m_pool.clear();
}

void QvChanListener::CloseReaders()
{
    m_current = nullptr;
    m_readers.clear(); // each reader closes its socket
    m_readerCount.store(0);
    m_readerSettings.reset();
}

void QvChanListener::Stop()
{
    if (OnWorkerThread()) {
        StopThreadNoWait();
        return;
    }
    std::lock_guard control(m_controlLock);
    StopLocked();
}

void QvChanListener::StopLocked()
{
    StopThreadNoWait();
    {
        // Taking the lock orders the cleared flag before the worker's next
        // look at it, so the wake-up cannot be missed.
        std::lock_guard wake(m_wakeLock);
    }
    m_wake.notify_all();
    StopThread();
    // The worker has ended: nothing else uses the packets or the readers.
    ReleasePool();
    CloseReaders();
    m_state.store(Idle);
}

bool QvChanListener::OnWorkerThread() const
{
    return m_workerId.load() == std::this_thread::get_id();
}

// ---- Interfaces ---------------------------------------------------------------------------

int QvChanListener::OnNewInterface(unsigned long address, QvPropertyList* settings)
{
    QvDebugOut("Interface: %s ", QvDottedAddress(static_cast<std::uint32_t>(address)).c_str());
    if (m_readers.size() >= static_cast<std::size_t>(kMaxReaders)) {
        return -1;
    }
    auto reader = std::make_unique<QvUdpReader>();
    reader->SetInterface(address);
    reader->SetPropertyList(m_readerSettings != nullptr ? m_readerSettings.get() : settings);
    if (reader->Start() != 0) {
        return -1;
    }
    m_readers.push_back(std::move(reader));
    m_readerCount.store(static_cast<int>(m_readers.size()));
    return 0;
}

void QvChanListener::OnStreamReady(QvPropertyList& /*generated*/) {}

// ---- The worker ---------------------------------------------------------------------------

void QvChanListener::ProcessThread()
{
    m_workerId.store(std::this_thread::get_id());
    struct ClearId
    {
        std::atomic<std::thread::id>& id;
        ~ClearId() { id.store(std::thread::id()); }
    } clearId{m_workerId};

    if (!WaitForData()) {
        return;
    }
    Collect();
    if (IsThreadRunning()) {
        Finish();
    }
}

void QvChanListener::Rest()
{
    std::unique_lock wake(m_wakeLock);
    m_wake.wait_for(wake, kPollPeriod, [this] { return !IsThreadRunning(); });
}

bool QvChanListener::WaitForData()
{
    while (IsThreadRunning()) {
        for (const auto& reader : m_readers) {
            if (reader->IsReady()) {
                m_current = reader.get();
            }
        }
        if (m_current != nullptr) {
            // The period starts before the state says so: whoever sees
            // Collecting can count on the period running already.
            m_collectStart = qvplat::TickCount();
            m_state.store(Collecting);
            return true;
        }
        Rest();
    }
    return false;
}

void QvChanListener::Collect()
{
    const auto period = static_cast<std::uint32_t>(m_collectPeriod.load());
    while (IsThreadRunning() && qvplat::ElapsedMs(qvplat::TickCount(), m_collectStart) < period) {
        // A full pool, or a receive that failed, rests like an empty socket,
        // so neither keeps the worker spinning.
        if (!m_current->IsReady() || !OnDataReceived()) {
            Rest();
        }
    }
}

bool QvChanListener::OnDataReceived()
{
    QvBasePacket* packet = m_freeList.removeFirst();
    if (packet == nullptr) {
        return false;
    }
    packet->Reset();
    const int size =
        m_current->Receive(packet->GetBuffer(), static_cast<int>(packet->GetBufferSize()));
    if (size < 0) {
        const int error = QvSocket::GetLastError();
        QvDebugMsg("Receive() failed: %d", error);
        m_freeList.append(packet);
        // A datagram longer than the packet has been taken off the socket
        // and dropped; the next one may be read at once.
        return error == QV_EMSGSIZE;
    }
    if (size == 0) {
        QvDebugMsg("0 bytes received.");
        m_freeList.append(packet);
        return true;
    }
    packet->SetReceived(static_cast<std::uint32_t>(size));
    if (IsControlDatagram(*packet, size)) {
        m_freeList.append(packet);
        return true;
    }
    QvDebugMsg("Packet received: %d", size);
    if (size > m_largestData) {
        m_largestData = size;
    }
    m_dataList.append(packet);
    return true;
}

void QvChanListener::Finish()
{
    if (m_largestData > 0) {
        m_generated.AddProperty(
            "Interface",
            QvDottedAddress(static_cast<std::uint32_t>(m_current->GetInterface())).c_str());
        m_generated.AddProperty("PacketSize", m_largestData, QvPropertyList::Decimal);
        m_resolved.store(true);
        OnStreamReady(m_generated);
        if (QvMessageQueue* queue = m_queue.load()) {
            queue->Send(new QvIntMessage(QvIntMessage::kStreamReady, 0));
        }
    }
    // Without a data datagram the listener stays unresolved.
    m_state.store(Done);
}

// ---- The owner's side of the data ---------------------------------------------------------

int QvChanListener::ReadData(void* buffer, int length)
{
    std::lock_guard pool(m_poolLock);
    QvBasePacket* packet = nullptr;
    {
        m_dataList.lock();
        packet = m_dataList.first();
        const bool fits = packet != nullptr && buffer != nullptr && length >= 0 &&
                          packet->GetReceivedLength() <= static_cast<std::uint32_t>(length);
        if (packet != nullptr && !fits) {
            m_dataList.unlock();
            return -1;
        }
        if (packet != nullptr) {
            m_dataList._removeFirst();
        }
        m_dataList.unlock();
    }
    if (packet == nullptr) {
        return 0;
    }
    const std::uint32_t size = packet->GetReceivedLength();
    std::memcpy(buffer, packet->GetBuffer(), size);
    packet->Reset();
    m_freeList.append(packet);
    return static_cast<int>(size);
}
