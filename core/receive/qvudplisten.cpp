#include "core/receive/qvudplisten.h"

#include "core/net/qvhostaddr.h"
#include "core/settings/qvlog.h"
#include "core/threads/qvmessage.h"
#include "core/packets/qvpacket.h"
#include "core/net/qvsocket.h"

#include "platform/clock.h"

#include <arpa/inet.h>
#include <cerrno>
#include <chrono>
#include <cstring>
#include <string>

namespace {

// Every inspected datagram is received whole into a buffer of this size,
// larger than any IPv4 UDP payload.
constexpr int kDatagramBufferSize = 65536;
// Shorter datagrams are not taken for stream data.
constexpr int kMinDataSize = 256;
// The datagram that decides, counted within one window of one reader.
constexpr int kDecidingCount = 3;
// A reader forgets its count once this much time has passed since its reset.
constexpr std::uint32_t kWindowMs = 500;
// How long the worker rests when no reader had a datagram.
constexpr auto kIdleSleep = std::chrono::milliseconds(20);
// Wait counts its limit in whole periods of this length.
constexpr unsigned long kWaitPeriodMs = 100;

std::uint32_t ReadBe32(const std::uint8_t* p)
{
    return (std::uint32_t{p[0]} << 24) | (std::uint32_t{p[1]} << 16) | (std::uint32_t{p[2]} << 8) |
           std::uint32_t{p[3]};
}

const std::uint8_t* BytesOf(const QvBasePacket& packet)
{
    return reinterpret_cast<const std::uint8_t*>(packet.GetBuffer());
}

// Whether a received datagram may be stream data: long enough, and not one
// of the sender's control packets (nor the QVS layout, which begins with the
// same four bytes).
bool IsCountable(const std::uint8_t* bytes, int size)
{
    if (size < kMinDataSize) {
        return false;
    }
    for (int i = 0; i < 4; ++i) {
        if (bytes[i] != qvwire::kQvsMarkerByte) {
            return true;
        }
    }
    return false;
}

// The packet format of a stream from its latest datagram and the one before
// it. Both hold at least kMinDataSize bytes.
const char* DetectFormat(const QvBasePacket& current, const QvBasePacket* previous)
{
    const std::uint8_t* bytes = BytesOf(current);
    if (std::memcmp(bytes, qvwire::kOvsMarker, sizeof(qvwire::kOvsMarker)) == 0 &&
        ReadBe32(bytes + 12) == qvwire::kOvsVersionWord) {
        return "OVS";
    }
    // OPV: this datagram's byte offset continues the previous datagram's
    // payload (32-bit arithmetic, so the offset may wrap).
    if (previous != nullptr) {
        const std::uint32_t expected =
            ReadBe32(BytesOf(*previous)) + previous->GetReceivedLength() - qvwire::kOpvHeaderLength;
        if (ReadBe32(bytes) == expected) {
            return "OPV";
        }
    }
    return "RAW";
}

} // namespace

// ---- QvListenUdpReader --------------------------------------------------------

QvListenUdpReader::QvListenUdpReader()
{
    Reset();
}

QvListenUdpReader::~QvListenUdpReader() = default;

void QvListenUdpReader::Reset()
{
    m_lastReset = qvplat::TickCount();
    m_largestSize = 0;
    m_count = 0;
    m_previous.reset();
}

void QvListenUdpReader::WatchDog()
{
    if (qvplat::ElapsedMs(qvplat::TickCount(), m_lastReset) > kWindowMs) {
        Reset();
    }
}

int QvListenUdpReader::CountDatagram(int size)
{
    ++m_count;
    if (size > m_largestSize) {
        m_largestSize = size;
    }
    return m_count;
}

std::unique_ptr<QvBasePacket> QvListenUdpReader::KeepPrevious(std::unique_ptr<QvBasePacket> packet)
{
    std::swap(m_previous, packet);
    return packet;
}

// ---- QvUdpListen ----------------------------------------------------------------

QvUdpListen::QvUdpListen() = default;

QvUdpListen::~QvUdpListen()
{
    Stop();
}

int QvUdpListen::Start()
{
    QvDebugMsg("Listening for data");
    QvErrorExit(m_settings != nullptr, "Property list not defined.");
    if (OnWorkerThread()) {
        // Restarting would mean waiting for this very thread to end.
        QvDebugMsg("The listener cannot be started from its own thread.");
        return -1;
    }

    std::lock_guard control(m_controlLock);
    StopLocked();
    m_resolved.store(false);
    m_formatGiven = m_settings->PropertyDefined("PacketFormat");
    if (!OpenReaders()) {
        m_readers.clear();
        m_readerCount.store(0);
        return -1;
    }

    {
        std::lock_guard state(m_stateLock);
        m_alive.store(true);
        m_running.store(true);
    }
    if (!m_worker.Start([this] { ProcessThread(); })) {
        QvDebugMsg("Failed to start the listener thread.");
        m_worker = qvplat::Thread();
        {
            std::lock_guard state(m_stateLock);
            m_alive.store(false);
            m_running.store(false);
        }
        m_readers.clear();
        m_readerCount.store(0);
        return -1;
    }
    m_started.store(true);
    return 0;
}

bool QvUdpListen::OpenReaders()
{
    UtCString interfaceText;
    if (m_settings->FindProperty("Interface", interfaceText) &&
        interfaceText.compareTo("ANY", UtCString::ignoreCase) != 0) {
        // The reader takes the interface from the same settings.
        OpenReader(0);
        return true;
    }

    const std::vector<std::uint32_t> addresses = QvHostAddresses();
    if (addresses.empty()) {
        QvDebugMsg("gethostbyname() failed: %d", ENODEV);
        return false;
    }
    QvDebugOut("Local interfaces: ");
    for (const std::uint32_t address : addresses) {
        QvDebugOut("%s ", QvDottedAddress(static_cast<std::uint32_t>(address)).c_str());
        if (m_readers.size() < static_cast<std::size_t>(kMaxReaders)) {
            OpenReader(address);
        }
    }
    QvDebugOut("\n");
    return true;
}

void QvUdpListen::OpenReader(unsigned long interfaceAddress)
{
    auto reader = std::make_unique<QvListenUdpReader>();
    reader->SetInterface(interfaceAddress);
    reader->SetPropertyList(m_settings);
    // A reader that cannot start (it logs why) stays in the list and never
    // reports data; the readers of the other interfaces carry on.
    reader->Start();
    m_readers.push_back(std::move(reader));
    m_readerCount.store(static_cast<int>(m_readers.size()));
}

int QvUdpListen::Wait(unsigned long ms)
{
    if (!m_started.load() && Start() != 0) {
        return WaitStartFailed;
    }
    const bool limited = ms != 0;
    const auto limit = std::chrono::milliseconds((ms / kWaitPeriodMs) * kWaitPeriodMs);
    const auto deadline = std::chrono::steady_clock::now() + limit;

    std::unique_lock state(m_stateLock);
    const auto settled = [this] { return m_resolved.load() || !m_running.load(); };
    if (limited) {
        m_stateChanged.wait_until(state, deadline, settled);
    } else {
        m_stateChanged.wait(state, settled);
    }
    if (m_resolved.load()) {
        return WaitResolved;
    }
    if (!m_running.load() && (!limited || std::chrono::steady_clock::now() < deadline)) {
        return WaitStopped;
    }
    return WaitTimedOut;
}

int QvUdpListen::Stop()
{
    if (OnWorkerThread()) {
        // The worker cannot wait for itself: it ends after this pass, and the
        // owner's Stop closes the readers.
        std::lock_guard state(m_stateLock);
        m_alive.store(false);
        return 0;
    }
    std::lock_guard control(m_controlLock);
    StopLocked();
    return 0;
}

void QvUdpListen::StopLocked()
{
    if (!m_started.load()) {
        return;
    }
    {
        std::lock_guard state(m_stateLock);
        m_alive.store(false);
    }
    m_stateChanged.notify_all();
    m_worker.Join();
    m_worker = qvplat::Thread();
    m_workerId.store(std::thread::id());

    // The worker has ended, so no reader is in use any more.
    m_readers.clear();
    m_readerCount.store(0);
    m_spare.reset();
    m_started.store(false);
}

bool QvUdpListen::OnWorkerThread() const
{
    return m_workerId.load() == std::this_thread::get_id();
}

void QvUdpListen::ProcessThread()
{
    m_workerId.store(std::this_thread::get_id());
    // However the loop ends, waiters learn that the worker is gone.
    struct EndNotice
    {
        QvUdpListen* listener;
        ~EndNotice() { listener->WorkerEnded(); }
    } endNotice{this};

    while (m_alive.load()) {
        for (const auto& reader : m_readers) {
            reader->WatchDog();
        }
        bool hadData = false;
        for (const auto& reader : m_readers) {
            // A failed receive counts as no data, so a reader that keeps
            // failing cannot keep the worker from resting.
            if (reader->IsReady() && OnDataReceived(*reader)) {
                hadData = true;
            }
        }
        if (!hadData && m_alive.load()) {
            std::unique_lock state(m_stateLock);
            m_stateChanged.wait_for(state, kIdleSleep, [this] { return !m_alive.load(); });
        }
    }
}

void QvUdpListen::WorkerEnded()
{
    // A thread that later gets this id must not pass for the worker.
    m_workerId.store(std::thread::id());
    {
        std::lock_guard state(m_stateLock);
        m_running.store(false);
    }
    m_stateChanged.notify_all();
}

bool QvUdpListen::OnDataReceived(QvListenUdpReader& reader)
{
    std::unique_ptr<QvBasePacket> packet = std::move(m_spare);
    if (!packet) {
        packet = std::make_unique<QvRawPacket>(kDatagramBufferSize);
    }
    const int size = reader.Receive(packet->GetBuffer(), kDatagramBufferSize);
    if (size < 0) {
        QvDebugMsg("Receive() failed: %d", QvSocket::GetLastError());
        m_spare = std::move(packet);
        return false;
    }
    if (!IsCountable(BytesOf(*packet), size)) {
        m_spare = std::move(packet);
        return true;
    }
    QvDebugMsg("Packet received: %d", size);
    if (m_resolved.load()) {
        m_spare = std::move(packet);
        return true;
    }

    // The window is checked again here, not only at the start of the pass,
    // so a datagram never joins a count whose window has already closed.
    reader.WatchDog();
    packet->SetReceived(static_cast<std::uint32_t>(size));
    if (reader.CountDatagram(size) >= kDecidingCount) {
        Resolve(reader, *packet);
    }
    m_spare = reader.KeepPrevious(std::move(packet));
    return true;
}

void QvUdpListen::Resolve(QvListenUdpReader& reader, const QvBasePacket& packet)
{
    m_generated.ClearProperties();
    if (!m_formatGiven) {
        const char* format = DetectFormat(packet, reader.GetPrevious());
        QvDebugMsg("Detected %s", format);
        m_generated.AddProperty("PacketFormat", format);
    }
    m_generated.AddProperty("PacketSize", reader.GetLargestSize(), QvPropertyList::Decimal);
    m_generated.AddProperty("Interface", QvDottedAddress(static_cast<std::uint32_t>(reader.GetInterface())).c_str());

    {
        std::lock_guard state(m_stateLock);
        m_resolved.store(true);
        m_alive.store(false);
    }
    m_stateChanged.notify_all();
    OnStreamReady(m_generated);
}

void QvUdpListen::OnStreamReady(QvPropertyList& /*generated*/)
{
    if (QvMessageQueue* queue = m_queue.load()) {
        queue->Send(new QvIntMessage(QvIntMessage::kStreamReady, 0));
    }
}
