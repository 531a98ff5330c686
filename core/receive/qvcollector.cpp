// The stream receiver's start and stop, settings, collector thread,
// acceptance of datagrams, loss reports, retransmitted data, timeouts and
// hooks. Levels and reading are in qvcollectorread.cpp.
#include "core/receive/qvcollector.h"

#include "core/receive/qvheadproc.h"
#include "core/receive/qvholdoff.h"
#include "core/net/qvhostaddr.h"
#include "core/settings/qvlog.h"
#include "core/threads/qvmessage.h"
#include "core/packets/qvpacket.h"
#include "core/settings/qvproplist.h"
#include "core/sap/qvsappacket.h"

#include "platform/clock.h"

#include <algorithm>
#include <arpa/inet.h>
#include <cerrno>
#include <climits>
#include <cstring>
#include <string>

namespace {

// How long the collector thread waits on its sockets when nothing arrives;
// the watchdog runs at least this often.
constexpr int kPollPeriodMs = 10;
// Datagrams taken from one socket per pass before the watchdog runs again;
// the data socket's are taken in one batch receive.
constexpr int kBatchPerPass = 64;
constexpr std::size_t kDataBatch = std::min<std::size_t>(kBatchPerPass, QvSocket::kMaxBatch);
constexpr std::size_t kMinDataBatch = 4;
// Receive errors are logged at most this often.
constexpr std::uint32_t kErrorLogPeriodMs = 1000;
// Bytes of a retransmission reader's datagram looked at before it is taken
// or dropped: room for the longest packet header.
constexpr std::size_t kHeaderPeekBytes = 32;

bool IsGroupAddress(unsigned long address)
{
    return (ntohl(static_cast<in_addr_t>(address)) >> 29) == 7;
}

int ClampToInt(std::uint64_t value)
{
    return value > static_cast<std::uint64_t>(INT_MAX) ? INT_MAX : static_cast<int>(value);
}

} // namespace

// ---- Construction ----------------------------------------------------------------

QvUdpDataCollector::QvUdpDataCollector() : QvUdpDataCollector(QvCollectorOptions::Standard()) {}

QvUdpDataCollector::QvUdpDataCollector(const QvCollectorOptions& options) : m_options(options) {}

QvUdpDataCollector::~QvUdpDataCollector()
{
    Stop();
}

void QvUdpDataCollector::SetAddress(unsigned long address, unsigned short port)
{
    m_sourceBaseAddress = address;
    m_reportBasePort = port;
    m_reportPortSet = true;
}

bool QvUdpDataCollector::IsAlive() const
{
    if (m_threadAlive.load()) {
        return true;
    }
    std::lock_guard<std::mutex> lock(m_waitLock);
    return m_readerCalls != 0;
}

// ---- Start and stop --------------------------------------------------------------

int QvUdpDataCollector::Start()
{
    std::lock_guard<std::mutex> control(m_controlLock);
    return StartLocked(true);
}

int QvUdpDataCollector::StartDetached()
{
    std::lock_guard<std::mutex> control(m_controlLock);
    return StartLocked(false);
}

int QvUdpDataCollector::StartLocked(bool withNetwork)
{
    if (m_started.load()) {
        StopLocked();
    }
    ReadSettings();
    if (!ValidatePool() || !PreparePool()) {
        StopLocked();
        return kSetupFailed;
    }
    ResetStreamState();
    if (withNetwork) {
        const int readers = StartReaders();
        if (readers != kStartOk) {
            StopLocked();
            return readers;
        }
        if (m_options.logListenAddress) {
            QvDebugMsg(
                "Address=%s Port=%d",
                QvDottedAddress(static_cast<std::uint32_t>(m_dataReader.GetAddress())).c_str(),
                static_cast<int>(m_dataReader.GetPort()));
        }
    }
    m_detached.store(!withNetwork);
    {
        std::lock_guard<std::mutex> lock(m_waitLock);
        m_running.store(true);
    }
    m_started.store(true);
    if (withNetwork && !StartThread()) {
        QvDebugMsg("Failed to start the collector thread.");
        StopLocked();
        return kSetupFailed;
    }
    return kStartOk;
}

void QvUdpDataCollector::Stop()
{
    std::lock_guard<std::mutex> control(m_controlLock);
    StopLocked();
}

void QvUdpDataCollector::StopLocked()
{
    {
        std::lock_guard<std::mutex> lock(m_waitLock);
        m_running.store(false);
    }
    m_dataArrived.notify_all();
    if (m_thread.IsValid()) {
        m_thread.Join();
        m_thread = qvplat::Thread();
    }
    {
        // A reader call that got in before running fell holds packets and the
        // carry; wait for it to leave.
        std::unique_lock<std::mutex> lock(m_waitLock);
        m_readersDone.wait(lock, [this] { return m_readerCalls == 0; });
    }
    m_started.store(false);

    m_dataReader.Stop();
    m_retransReader.Stop();
    m_retransReader.Close();
    m_retransOwnPort = false;

    m_lostBytes.store(0);
    m_recoveredBytes.store(0);

    m_headProcessor.reset();
    m_staged.clear();
    m_gaps.clear();
    DeletePool();
    m_scratchPacket.reset();
    m_carry.reset();
    m_carryOffset = 0;
    m_carryLength = 0;
}

// ---- Settings ----------------------------------------------------------------------

void QvUdpDataCollector::ReadSettings()
{
    m_noFixUp = false;
    QvPropertyList* list = m_propertyList;
    int startKilobytes = 0;
    bool haveStartThreshold = false;
    if (list != nullptr) {
        UtCString sdp;
        if (list->FindProperty("SDP", sdp)) {
            ReadSdpSettings(sdp);
        }
        ReadPortSettings();
        UtCString text;
        if (list->FindProperty("Interface", text) &&
            text.compareTo("ANY", UtCString::ignoreCase) != 0) {
            m_interface = inet_addr(text.chars());
        }
        if (list->FindProperty("UDCInterface", text)) {
            m_interface = inet_addr(text.chars());
        }
        int value = 0;
        if (list->FindProperty("Retrans", value)) {
            m_window = value;
        }
        if (list->FindProperty("UDCBlockSize", value)) {
            m_blockSize = value;
        }
        if (list->FindProperty("UDCKernalBufferSize", value)) {
            m_kernelBufferSize = value;
        }
        if (list->FindProperty("UDCTimeout", value)) {
            if (value > 0) {
                m_dataTimeout.store(static_cast<std::uint32_t>(value));
            } else {
                QvDebugMsg("UDCTimeout %d ignored; the data timeout stays %u ms.", value,
                           m_dataTimeout.load());
            }
        }
        if (list->FindProperty("UDCBufferSize", value)) {
            SetBufferSize(value);
        }
        bool flag = false;
        if (list->FindProperty("UDCFlowControl", flag)) {
            m_flowControl.store(flag);
        }
        ReadFormatSettings();
        if (list->FindProperty("PacketSize", value)) {
            m_blockSize = value;
        }
        if (list->FindProperty("FixHeader", flag)) {
            m_noFixUp = !flag;
        }
        haveStartThreshold = list->FindProperty("UDCStartThreshold", startKilobytes);
    }

    if (m_window < 0) {
        m_window = 0;
    }
    // The pool is always the fixed size; a block size outside its range is
    // refused by ValidatePool before anything divides by it.
    if (m_blockSize >= 1 && m_blockSize <= kMaxBlockSize) {
        // The window is also that many extra packets; more than the pool's
        // own blocks would only make a pool the reader can never drain.
        const int blocks = kPoolBytes / m_blockSize;
        if (m_window > blocks) {
            QvDebugMsg("Retransmission window %d too large for %d buffers; using %d.", m_window,
                       blocks, blocks);
            m_window = blocks;
        }
        SetBufferSize(kPoolBytes);
        QvDebugMsg("Buffers = %d, Size=%d", m_blocks, m_blockSize);
        if (haveStartThreshold) {
            const std::int64_t packets =
                static_cast<std::int64_t>(startKilobytes) * 1024 / m_blockSize + 1 + m_window;
            m_startLevel.store(static_cast<int>(std::clamp<std::int64_t>(packets, 0, INT_MAX)));
            ClampLevels();
        }
    }
    if (list != nullptr) {
        list->SetProperty("PacketSize", m_blockSize, QvPropertyList::Decimal);
    }
}

void QvUdpDataCollector::ReadSdpSettings(const UtCString& sdp)
{
    QvDebugMsg("Data acquired from SDP");
    QvSAPPacket packet;
    if (!packet.SetSdpText(sdp.chars())) {
        QvDebugMsg("SDP text too long: %u bytes.", sdp.length());
        return;
    }
    const unsigned long address = inet_addr(packet.GetPropA("Address"));
    const auto port = static_cast<unsigned int>(std::atoi(packet.GetPropA("Port")));
    m_dataReader.SetAddress(address, port);
    m_retransReader.SetAddress(address, port);
    const UtCString mux = packet.GetPropA("Mux");
    const UtCString format = packet.GetPropA("PacketFormat");
    if (!mux.isNull()) {
        m_propertyList->SetProperty("Mux", mux);
    }
    if (!format.isNull()) {
        m_propertyList->SetProperty("PacketFormat", format);
    }
    QvDebugMsg("SAP: Address=%s Port=%d Mux=%s PacketFormat=%s", packet.GetPropA("Address"),
               static_cast<int>(port), mux.chars(), format.chars());
}

void QvUdpDataCollector::ReadPortSettings()
{
    int port = 0;
    if (!m_propertyList->FindProperty("Port", port)) {
        return;
    }
    UtCString addressText;
    const unsigned long address =
        m_propertyList->FindProperty("Address", addressText) ? inet_addr(addressText.chars()) : 0;
    m_dataReader.SetAddress(address, static_cast<unsigned int>(port));
    m_retransReader.SetAddress(address, static_cast<unsigned int>(port));
    if (!m_options.logListenAddress) {
        QvDebugMsg("Address=%s Port=%d",
                   QvDottedAddress(static_cast<std::uint32_t>(address)).c_str(), port);
    }
}

void QvUdpDataCollector::ReadFormatSettings()
{
    QvPropertyList* list = m_propertyList;
    UtCString format;
    if (!list->FindProperty("PacketFormat", format)) {
        QvDebugMsg("OPV packet mode engaged.");
    } else {
        format.toUpper();
        if (format.compareTo("OVS") == 0) {
            QvDebugMsg("OVS packet mode engaged.");
        } else if (format.compareTo("OPV") == 0) {
            QvDebugMsg("OPV packet mode engaged.");
        } else if (format.compareTo("QVS") == 0) {
            // The sender's "QVS" is OPV framing plus header packets.
            QvDebugMsg("QVS packet mode engaged.");
            list->SetProperty("PacketFormat", "OPV");
        } else if (format.compareTo("RAW") == 0) {
            QvDebugMsg("RAW packet mode engaged.");
        }
    }

    UtCString mux;
    if (!list->FindProperty("Mux", mux)) {
        QvDebugMsg("MPEG-1 System");
        return;
    }
    mux.toUpper();
    if (mux.compareTo("M1S") == 0) {
        QvDebugMsg("MPEG-1 System");
    } else if (mux.compareTo("M2T") == 0) {
        m_noFixUp = true;
        QvDebugMsg("MPEG-2 Transport");
    } else if (mux.compareTo("M2P") == 0) {
        m_noFixUp = true;
        QvDebugMsg("MPEG-2 Program");
    }
}

bool QvUdpDataCollector::ValidatePool()
{
    if (m_blockSize < 1 || m_blockSize > kMaxBlockSize) {
        QvErrorMsg(false, "Packet size %d out of range (1 to %d).", m_blockSize, kMaxBlockSize);
        return false;
    }
    const std::int64_t packets = std::int64_t{m_blocks} + m_window;
    if (m_blocks <= kMaxLent || packets > kMaxPoolPackets) {
        QvErrorMsg(false, "Packet size %d gives an unusable pool of %lld packets.", m_blockSize,
                   static_cast<long long>(packets));
        return false;
    }
    return true;
}

bool QvUdpDataCollector::PreparePool()
{
    // Packets are made from settings of their own, so that they never depend
    // on what else the owner's list holds.
    m_packetSettings = std::make_unique<QvPropertyList>();
    m_packetSettings->SetProperty("PacketSize", m_blockSize, QvPropertyList::Decimal);
    if (m_propertyList != nullptr) {
        UtCString format;
        if (m_propertyList->FindProperty("PacketFormat", format)) {
            m_packetSettings->SetProperty("PacketFormat", format);
        }
    }
    const auto count = static_cast<std::uint32_t>(m_blocks + m_window);
    QvObject* scratch = QvCreateObject("Packet", m_packetSettings.get());
    m_scratchPacket.reset(dynamic_cast<QvBasePacket*>(scratch));
    if (!m_scratchPacket || !CreatePool(count, m_packetSettings.get())) {
        if (!m_scratchPacket) {
            delete scratch;
        }
        QvErrorMsg(false, "Failed to create packet.");
        return false;
    }
    m_carry = std::make_unique<char[]>(static_cast<std::size_t>(m_blockSize));
    m_carryOffset = 0;
    m_carryLength = 0;
    // Every packet may wait behind a gap at most once, and each gap has a
    // packet after it: room for both is made here, not while receiving.
    m_staged.clear();
    m_gaps.clear();
    m_staged.reserve(count);
    m_gaps.reserve(std::size_t{count} + 1);
    m_scratchPacket->Reset();
    m_poolSpan = std::uint64_t{count} * m_scratchPacket->GetPayloadLength();
    m_headerReady.store(m_noFixUp);
    if (!m_noFixUp) {
        m_headProcessor = std::make_unique<QvHeadProcessor>(m_blockSize, *this);
    }
    return true;
}

void QvUdpDataCollector::ResetStreamState()
{
    const std::uint32_t now = qvplat::TickCount();
    m_paused.store(false);
    m_timedOut.store(false);
    m_firstPacket = true;
    m_dataSeen = false;
    m_dataSilent = false;
    m_firstRead = true;
    m_underflow.store(true);
    m_expectedSequence = 0;
    m_lastSequence = 0;
    m_lossSequence = 0;
    m_readSequence = 0;
    m_staged.clear();
    m_gaps.clear();
    m_arrivals = 0;
    std::fill(std::begin(m_givenUp), std::end(m_givenUp), Gap{});
    m_givenUpNext = 0;
    m_breakPending = false;
    m_unresolvedDatagrams = 0;
    m_lastBatch = 0;
    m_haveSource = false;
    m_sourceAddress = sockaddr_in{};
    m_lastSourceTime = now;
    m_lostBytes.store(0);
    m_recoveredBytes.store(0);
    m_duplicates.store(0);
    m_foreignDatagrams.store(0);
    m_bytesReceived.store(0);
    m_lastDataTime.store(now);
    m_lastRequestTime.store(now);
    m_requestMonitor.store(false);
    m_startTime.store(std::time(nullptr));
    m_bytesPerSecond = 0;
    m_errorLogged = false;
    m_suppressedErrors = 0;
}

int QvUdpDataCollector::StartReaders()
{
    const auto kernelBuffer = static_cast<unsigned long>(std::max(m_kernelBufferSize, 0));
    m_dataReader.SetPropertyList(m_propertyList);
    m_dataReader.SetBufferSize(kernelBuffer);
    if (m_dataReader.Start() != 0) {
        return kDataReaderFailed;
    }
    if (m_window != 0 && !StartRetransReader()) {
        return kRetransReaderFailed;
    }
    return kStartOk;
}

bool QvUdpDataCollector::StartRetransReader()
{
    if (!StreamIsUnicast()) {
        // A group's datagrams reach every socket that joined it, so the
        // retransmission reader binds the same group and port.
        m_retransReader.SetPropertyList(m_propertyList);
        m_retransReader.SetBufferSize(static_cast<unsigned long>(std::max(m_kernelBufferSize, 0)));
        return m_retransReader.Start() == 0;
    }
    // A unicast datagram goes to only one of the sockets bound to a port, so
    // the retransmission reader must not share the data port: it takes a
    // port of its own, from which the loss reports also go out.
    const unsigned long local = m_dataReader.GetInterface();
    int created = 0;
    try {
        created = m_retransReader.Create(0, SOCK_DGRAM, 0,
                                         local != 0 ? QvDottedAddress(static_cast<std::uint32_t>(local)).c_str() : nullptr);
    } catch (const std::exception&) {
        created = 0;
    }
    if (created == 0) {
        QvDebugMsg("Create() failed: %d", QvSocket::GetLastError());
        return false;
    }
    m_retransOwnPort = true;
    return true;
}

bool QvUdpDataCollector::StreamIsUnicast() const
{
    bool unicast = !IsGroupAddress(m_dataReader.GetAddress());
    bool forced = false;
    if (m_propertyList != nullptr && m_propertyList->FindProperty("Unicast", forced)) {
        unicast = forced;
    }
    return unicast;
}

bool QvUdpDataCollector::StartThread()
{
    m_threadAlive.store(true);
    if (!m_thread.Start([this] { CollectorProcessing(); })) {
        m_threadAlive.store(false);
        return false;
    }
    return true;
}

// ---- The collector thread -------------------------------------------------------------

void QvUdpDataCollector::CollectorProcessing()
{
    // Cleared however the thread ends, a hook that throws included.
    struct AliveFlag
    {
        std::atomic<bool>& flag;
        ~AliveFlag() { flag.store(false); }
    } alive{m_threadAlive};

    QvDebugMsg("Collector Started");
    const qvplat::PriorityResult priority = qvplat::SetCurrentThreadPriority(m_threadPriority);
    if (priority.status != qvplat::PriorityResult::Status::Applied) {
        QvDebugMsg("Collector %s", priority.Describe().c_str());
    }

    QvSocket* const sockets[2] = {&m_dataReader, m_window != 0 ? &m_retransReader : nullptr};
    bool readable[2] = {false, false};
    // Pauses between receives are timed on the real clock: they are about
    // wake-ups of this thread, not about the stream's time.
    qvplat::SystemClock clock;
    int bufferBytes = 0;
    int optionLength = sizeof(bufferBytes);
    if (m_dataReader.GetSockOpt(SO_RCVBUF, &bufferBytes, &optionLength) == 0) {
        bufferBytes = 0;
    }
    QvReceiveHoldoff holdoff;
    holdoff.Reset(QvReceiveHoldoff::Capacity(bufferBytes, m_blockSize), clock.NowNs());

    while (m_running.load()) {
        WatchDog();
        // On a fast stream the socket is left alone for a moment after it
        // was emptied, so that the next receive takes several datagrams
        // for one wake-up; otherwise the wait ends at the next datagram.
        const std::uint64_t pause = holdoff.Next();
        if (pause != 0) {
            clock.SleepUntilNs(clock.NowNs() + pause);
        }
        const int waitMs = pause != 0 ? 0 : kPollPeriodMs;
        BatchResult batch;
        if (sockets[1] == nullptr) {
            // One socket: the receive itself waits for the next datagram and
            // takes it with those behind it, one call per wake-up.
            batch = ReceiveDataBatch(waitMs);
        } else {
            const int ready = QvSocket::WaitReadable(sockets, readable, waitMs);
            if (ready < 0) {
                ReportReceiveError("Collector poll() error: %d", QvSocket::GetLastError());
                qvplat::Sleep(kPollPeriodMs);
            }
            if (ready > 0 && readable[1]) {
                // Drained into a packet of its own, so retransmitted data never
                // waits for a free packet and never holds up the data socket.
                for (int i = 0; i < kBatchPerPass && OnReceivedRetrans(m_scratchPacket.get());
                     ++i) {
                }
            }
            if (ready > 0 && readable[0]) {
                batch = ReceiveDataBatch(0);
            }
        }
        WakeReader();
        holdoff.Note(clock.NowNs(), batch.taken, batch.drained);
    }
    QvDebugMsg("Collector thread terminating.");
}

bool QvUdpDataCollector::OnReceivedData(QvBasePacket* packet)
{
    sockaddr_in from{};
    int fromLength = sizeof(from);
    const int received =
        m_dataReader.ReceiveDatagram(packet->GetBuffer(), static_cast<int>(packet->GetBufferSize()),
                                     reinterpret_cast<sockaddr*>(&from), &fromLength, MSG_DONTWAIT);
    if (received < 0) {
        const int error = QvSocket::GetLastError();
        FreeList().append(packet);
        if (error == EAGAIN || error == EWOULDBLOCK) {
            return false;
        }
        if (error == QV_EMSGSIZE) {
            // The datagram is gone; the next one may fit.
            m_breakPending = true;
            ReportReceiveError("Packet size (%d) too small.",
                               static_cast<int>(packet->GetBufferSize()));
            return true;
        }
        ReportReceiveError("DataSock.ReceiveFrom() error: %d", error);
        return false;
    }
    AcceptDatagram(packet, static_cast<std::uint32_t>(received), &from);
    return true;
}

QvUdpDataCollector::BatchResult QvUdpDataCollector::ReceiveDataBatch(int waitMs)
{
    // Room for half as much again as the last batch brought: every packet
    // offered is one more look into memory that is likely cold, and a batch
    // that fills its room is followed at once by the next receive.
    const std::size_t room =
        std::clamp<std::size_t>(m_lastBatch + m_lastBatch / 2 + 1, kMinDataBatch, kDataBatch);
    // The datagrams go into the first free packets while these stay on the
    // free list: only this thread takes packets off it, and others only add
    // packets at either end, so they stay there in a row until the batch is
    // in, and every packet is on some list while the thread waits.
    QvSList& free = FreeList();
    QvBasePacket* packets[kDataBatch];
    std::size_t count = free.first(packets, room);
    if (count == 0) {
        // The pool is used up: the newest queued data is given up for a
        // datagram that is there, never for one that may come.
        if (waitMs != 0) {
            const int ready = m_dataReader.WaitReadable(waitMs);
            if (ready <= 0) {
                if (ready < 0) {
                    ReportReceiveError("Collector poll() error: %d", QvSocket::GetLastError());
                    qvplat::Sleep(kPollPeriodMs);
                }
                return {};
            }
            waitMs = 0;
        }
        Reclaim();
        count = free.first(packets, room);
        if (count == 0) {
            DrainDatagram();
            return {};
        }
    }
    QvDatagramSlot slots[kDataBatch];
    for (std::size_t i = 0; i < count; ++i) {
        slots[i].buffer = packets[i]->GetBuffer();
        slots[i].capacity = static_cast<int>(packets[i]->GetBufferSize());
    }
    const int received =
        m_dataReader.ReceiveBatch(std::span<QvDatagramSlot>(slots, count), waitMs);
    if (received < 0) {
        const int error = QvSocket::GetLastError();
        if (error != EAGAIN && error != EWOULDBLOCK) {
            ReportReceiveError("DataSock.ReceiveFrom() error: %d", error);
            if (waitMs != 0 && error == EBADF) {
                // Nothing to wait on: a pause, as after a failed wait, not a spin.
                qvplat::Sleep(kPollPeriodMs);
            }
        }
        return {};
    }
    const auto taken = static_cast<std::size_t>(received);
    m_lastBatch = taken;
    if (taken != 0) {
        free.removeRun(packets[0], taken);
    }
    // Each datagram of the batch is taken in on its own, in arrival order.
    for (std::size_t i = 0; i < taken; ++i) {
        packets[i]->Reset();
        if (slots[i].length < 0) {
            // The datagram is gone; the next one may fit.
            free.append(packets[i]);
            m_breakPending = true;
            ReportReceiveError("Packet size (%d) too small.", slots[i].capacity);
            continue;
        }
        AcceptDatagram(packets[i], static_cast<std::uint32_t>(slots[i].length), &slots[i].from);
    }
    // A batch that had room left emptied the socket.
    return {taken, taken < count};
}

bool QvUdpDataCollector::OnReceivedRetrans(QvBasePacket* packet)
{
    if (packet == nullptr) {
        return false;
    }
    // On a group stream every data datagram reaches this reader as well, so
    // the header and the sender are looked at first, and a datagram that
    // fills no reported gap is dropped without its payload being copied.
    packet->Reset();
    sockaddr_in from{};
    const int length = m_retransReader.PeekDatagram(
        packet->GetBuffer(),
        static_cast<int>(std::min<std::size_t>(kHeaderPeekBytes, packet->GetBufferSize())), &from);
    if (length < 0) {
        const int error = QvSocket::GetLastError();
        if (error != EAGAIN && error != EWOULDBLOCK) {
            ReportReceiveError("RetransSock.ReceiveFrom() error: %d", error);
        }
        return false;
    }
    const bool fromSource = m_haveSource && from.sin_addr.s_addr == m_sourceAddress.sin_addr.s_addr;
    const auto size = static_cast<std::size_t>(length);
    const bool repair = fromSource && m_headerReady.load() && size <= packet->GetBufferSize() &&
                        packet->SetReceived(static_cast<std::uint32_t>(size)) &&
                        packet->CheckHeader(nullptr) != 0 && packet->GetPayloadLength() != 0 &&
                        InReportedGap(*packet);
    if (!repair || !TakeRepair(static_cast<std::uint32_t>(size))) {
        m_retransReader.DiscardDatagram();
    }
    return true;
}

bool QvUdpDataCollector::TakeRepair(std::uint32_t length)
{
    QvBasePacket* packet = FreeList().get();
    if (packet == nullptr) {
        return false;
    }
    packet->Reset();
    const int received = m_retransReader.ReceiveDatagram(packet->GetBuffer(),
                                                         static_cast<int>(packet->GetBufferSize()),
                                                         nullptr, nullptr, MSG_DONTWAIT);
    if (received != static_cast<int>(length) || !packet->SetReceived(length) ||
        packet->CheckHeader(nullptr) == 0 || !FillGap(packet)) {
        FreeList().append(packet);
        // Taken off the socket unless the receive found nothing.
        return received >= 0 || QvSocket::GetLastError() == QV_EMSGSIZE;
    }
    ReleaseReady();
    CheckGaps();
    return true;
}

void QvUdpDataCollector::DrainDatagram()
{
    // No packet can be had: the datagram is read and dropped, so the socket
    // never stays readable (which would make the thread spin) and the reader
    // later sees the gap as a break.
    QvBasePacket* scratch = m_scratchPacket.get();
    const int received = m_dataReader.ReceiveDatagram(scratch->GetBuffer(),
                                                      static_cast<int>(scratch->GetBufferSize()),
                                                      nullptr, nullptr, MSG_DONTWAIT);
    if (received >= 0 || QvSocket::GetLastError() == QV_EMSGSIZE) {
        m_breakPending = true;
    }
}

void QvUdpDataCollector::ReportReceiveError(const char* format, int error)
{
    // Errors from the network never end the process; a persistent one is
    // logged once a second with the count of repeats.
    const std::uint32_t now = qvplat::TickCount();
    if (m_errorLogged && qvplat::ElapsedMs(now, m_lastErrorLog) < kErrorLogPeriodMs) {
        ++m_suppressedErrors;
        return;
    }
    QvErrorMsg(false, format, error);
    if (m_suppressedErrors != 0) {
        QvDebugMsg("(%u similar errors not logged)", m_suppressedErrors);
    }
    m_suppressedErrors = 0;
    m_errorLogged = true;
    m_lastErrorLog = now;
}

// ---- Accepting datagrams --------------------------------------------------------------

bool QvUdpDataCollector::FeedDatagram(const void* data, std::size_t length,
                                      const sockaddr_in* source)
{
    // The collector thread owns the packet path of a collector with sockets.
    if (!m_running.load() || !m_detached.load() || data == nullptr) {
        return false;
    }
    QvBasePacket* packet = TakeFreePacket();
    if (packet == nullptr) {
        m_breakPending = true;
        return false;
    }
    packet->Reset();
    const std::size_t capacity = packet->GetBufferSize();
    if (length > capacity) {
        FreeList().append(packet);
        m_breakPending = true;
        ReportReceiveError("Packet size (%d) too small.", static_cast<int>(capacity));
        return false;
    }
    std::memcpy(packet->GetBuffer(), data, length);
    const bool taken = AcceptDatagram(packet, static_cast<std::uint32_t>(length), source);
    WakeReader();
    return taken;
}

QvBasePacket* QvUdpDataCollector::TakeFreePacket()
{
    QvBasePacket* packet = FreeList().get();
    if (packet == nullptr) {
        Reclaim();
        packet = FreeList().get();
    }
    return packet;
}

void QvUdpDataCollector::Reclaim()
{
    QvDebugMsgTime("Overflow (%d)", static_cast<int>(GetSmallBufLevel()));
    // The newest queued data is sacrificed; the packet that arrives next is
    // marked, so the reader sees the gap even in a format without sequences.
    const auto reclaim = static_cast<std::size_t>(std::max(m_reclaimCount.load(), 1));
    if (DataQueue().moveLast(reclaim, FreeList()) != 0) {
        m_breakPending = true;
    }
}

bool QvUdpDataCollector::AcceptDatagram(QvBasePacket* packet, std::uint32_t length,
                                        const sockaddr_in* source)
{
    // Datagrams from another sender reach neither the stream nor the header
    // analyser, unless the stream's own source has fallen silent.
    const bool otherSource = m_haveSource && FromOtherSource(source);
    if (otherSource && !SourceMayTakeOver()) {
        FreeList().append(packet);
        m_foreignDatagrams.fetch_add(1);
        return false;
    }
    const bool parsed = packet->SetReceived(length);
    if (m_headProcessor) {
        // Keeps the sender's header packets for the fix-up.
        m_headProcessor->ReadControlPacket(packet);
    }
    if (!parsed || packet->CheckHeader(nullptr) == 0 || IsStrayControlPacket(*packet, length)) {
        FreeList().append(packet);
        return false;
    }
    if (!m_haveSource || otherSource) {
        LatchSource(source);
    }
    const std::uint32_t now = qvplat::TickCount();
    m_lastDataTime.store(now);
    m_lastSourceTime = now;
    m_bytesReceived.fetch_add(packet->GetPayloadLength());
    NoteDataArrival();
    if (packet->GetPayloadLength() == 0) {
        FreeList().append(packet);
        return true;
    }
    if (!m_headerReady.load() && !PassThroughAnalyser(packet)) {
        return true;
    }
    QueueInOrder(packet);
    return true;
}

void QvUdpDataCollector::NoteDataArrival()
{
    if (!m_dataSeen) {
        m_dataSeen = true;
        m_dataSilent = false;
        OnDataStarted();
    } else if (m_dataSilent) {
        m_dataSilent = false;
        OnDataRestarted();
    }
}

bool QvUdpDataCollector::FromOtherSource(const sockaddr_in* source) const
{
    const sockaddr_in unnamed{};
    const sockaddr_in& from = source != nullptr ? *source : unnamed;
    return from.sin_addr.s_addr != m_sourceAddress.sin_addr.s_addr ||
           from.sin_port != m_sourceAddress.sin_port;
}

bool QvUdpDataCollector::SourceMayTakeOver() const
{
    return qvplat::ElapsedMs(qvplat::TickCount(), m_lastSourceTime) > m_dataTimeout.load();
}

void QvUdpDataCollector::LatchSource(const sockaddr_in* source)
{
    const sockaddr_in unnamed{};
    const sockaddr_in& from = source != nullptr ? *source : unnamed;
    if (m_haveSource) {
        // The source fell silent and another one speaks: a restarted sender.
        // What the old one left behind goes to the reader first, then the
        // stream starts again with a break.
        QvDebugMsg("Stream source now %s:%u",
                   QvDottedAddress(static_cast<std::uint32_t>(from.sin_addr.s_addr)).c_str(),
                   static_cast<unsigned>(ntohs(from.sin_port)));
        GiveUpAllGaps();
        m_firstPacket = true;
        m_breakPending = true;
    }
    m_sourceAddress = from;
    m_sourceAddress.sin_family = AF_INET;
    m_haveSource = true;
}

bool QvUdpDataCollector::IsStrayControlPacket(const QvBasePacket& packet,
                                              std::uint32_t length) const
{
    // In a format without a header ("RAW") the sender's header and
    // end-of-stream packets would otherwise pass as stream bytes.
    QvControlPacket control;
    if (!QvParseControlPacket(packet.GetBuffer(), length, control)) {
        return false;
    }
    if (control.type == qvwire::kControlTypeEndOfStream) {
        return length == qvwire::kEndOfStreamLength;
    }
    if (control.type == qvwire::kControlTypeHeader && control.mpeg != nullptr) {
        return length == qvwire::kHeaderPacketDataOffset + control.mpegLength;
    }
    return false;
}

bool QvUdpDataCollector::PassThroughAnalyser(QvBasePacket* packet)
{
    if (!m_headProcessor) {
        m_headerReady.store(true);
        return true;
    }
    if (m_headProcessor->Process(packet)) {
        m_headProcessor.reset();
        m_headerReady.store(true);
        QvDebugMsg("Stream header resolved.");
        return true;
    }
    // A stream whose start the analyser cannot find within a pool's worth of
    // datagrams is passed on as it comes rather than held back for ever.
    ++m_unresolvedDatagrams;
    if (m_unresolvedDatagrams >= static_cast<std::uint32_t>(m_blocks) &&
        m_headProcessor->GetHeldCount() == 0) {
        QvErrorMsg(false, "Stream header not found in %u datagrams; stream passed on unchanged.",
                   m_unresolvedDatagrams);
        m_headProcessor.reset();
        m_headerReady.store(true);
    }
    return false;
}

void QvUdpDataCollector::QueueInOrder(QvBasePacket* packet)
{
    const std::uint32_t sequence = packet->Sequence();
    m_lastSequence = sequence;
    if (m_firstPacket) {
        m_firstPacket = false;
        m_expectedSequence = packet->NextSequence();
        Release(packet);
        ++m_arrivals;
        return;
    }
    const int order = packet->CompareSequence(sequence, m_expectedSequence);
    if (order < 0) {
        if (packet->SequenceDistance(sequence, m_expectedSequence) > m_poolSpan) {
            // Further back than the pool could hold: the sender started its
            // sequence again (a looping transmission).
            RestartStream(packet);
            return;
        }
        if (packet->CompareSequence(packet->NextSequence(), m_expectedSequence) <= 0) {
            if (FillGap(packet)) {
                ++m_arrivals;
                ReleaseReady();
                CheckGaps();
            } else {
                DropBehind(packet);
            }
            return;
        }
        // It reaches past the newest data: only its head was taken already
        // (byte offsets only; a numbered packet cannot straddle).
        packet->Consume(m_expectedSequence - sequence);
    } else if (order > 0) {
        const std::uint32_t missing = packet->SequenceDistance(m_expectedSequence, sequence);
        if (missing > m_poolSpan) {
            // More than the pool and the window could ever wait for: the
            // stream is picked up again here, and the jump is no loss.
            RestartStream(packet);
            return;
        }
        m_gaps.push_back(Gap{m_expectedSequence, sequence, missing, m_arrivals, false});
    }
    m_expectedSequence = packet->NextSequence();
    if (m_gaps.empty()) {
        Release(packet);
    } else {
        Stage(packet);
    }
    ++m_arrivals;
    CheckGaps();
}

void QvUdpDataCollector::RestartStream(QvBasePacket* packet)
{
    QvDebugMsgTime("*** Sequence jump Seq:%lu Exp:%lu",
                   static_cast<unsigned long>(packet->Sequence()),
                   static_cast<unsigned long>(m_expectedSequence));
    GiveUpAllGaps();
    m_breakPending = true;
    m_expectedSequence = packet->NextSequence();
    Release(packet);
    ++m_arrivals;
}

bool QvUdpDataCollector::FillGap(QvBasePacket* packet)
{
    for (auto gap = m_gaps.begin(); gap != m_gaps.end(); ++gap) {
        if (packet->CompareSequence(packet->Sequence(), gap->end) >= 0 ||
            packet->CompareSequence(packet->NextSequence(), gap->start) <= 0) {
            continue;
        }
        // Only the bytes inside the gap are new (a datagram can overlap its
        // neighbours only in the byte-offset format).
        if (packet->CompareSequence(packet->Sequence(), gap->start) < 0) {
            packet->Consume(gap->start - packet->Sequence());
        }
        if (packet->CompareSequence(packet->NextSequence(), gap->end) > 0) {
            packet->SetPayloadLength(packet->GetPayloadLength() -
                                     (packet->NextSequence() - gap->end));
        }
        const Gap filled = *gap;
        Gap before = filled;
        before.end = packet->Sequence();
        before.bytes = packet->SequenceDistance(before.start, before.end);
        Gap after = filled;
        after.start = packet->NextSequence();
        after.bytes = packet->SequenceDistance(after.start, after.end);
        const bool keepBefore = packet->CompareSequence(before.start, before.end) < 0;
        const bool keepAfter = packet->CompareSequence(after.start, after.end) < 0;
        if (keepBefore && keepAfter) {
            *gap = after;
            m_gaps.insert(gap, before);
        } else if (keepBefore) {
            *gap = before;
        } else if (keepAfter) {
            *gap = after;
        } else {
            m_gaps.erase(gap);
        }
        if (filled.reported) {
            const std::uint32_t payload = packet->GetPayloadLength();
            QvDebugMsg("*** Recovered data %u bytes", payload);
            m_recoveredBytes.fetch_add(payload);
            OnPacketRecovered(static_cast<int>(payload));
        }
        Stage(packet);
        return true;
    }
    return false;
}

void QvUdpDataCollector::DropBehind(QvBasePacket* packet)
{
    // Behind the newest data and in no open gap: every byte of it was taken
    // already, unless its gap was given up a moment ago.
    QvDebugMsgTime("*** Bad sequence Seq:%lu Exp:%lu",
                   static_cast<unsigned long>(packet->Sequence()),
                   static_cast<unsigned long>(m_expectedSequence));
    const bool late = std::any_of(std::begin(m_givenUp), std::end(m_givenUp), [&](const Gap& gap) {
        return packet->CompareSequence(gap.start, gap.end) < 0 &&
               packet->CompareSequence(packet->Sequence(), gap.end) < 0 &&
               packet->CompareSequence(packet->NextSequence(), gap.start) > 0;
    });
    if (!late) {
        m_duplicates.fetch_add(1);
    }
    FreeList().append(packet);
}

void QvUdpDataCollector::Stage(QvBasePacket* packet)
{
    auto at = m_staged.end();
    while (at != m_staged.begin() &&
           packet->CompareSequence(packet->Sequence(), (*(at - 1))->Sequence()) < 0) {
        --at;
    }
    m_staged.insert(at, packet);
}

void QvUdpDataCollector::Release(QvBasePacket* packet)
{
    if (m_breakPending) {
        packet->SetBreak(true);
        m_breakPending = false;
    }
    DataQueue().append(packet);
}

void QvUdpDataCollector::ReleaseReady()
{
    // Everything before the oldest open gap is in order: it goes to the reader.
    std::size_t ready = 0;
    while (ready < m_staged.size() &&
           (m_gaps.empty() || m_staged[ready]->CompareSequence(m_staged[ready]->Sequence(),
                                                               m_gaps.front().start) < 0)) {
        Release(m_staged[ready]);
        ++ready;
    }
    m_staged.erase(m_staged.begin(), m_staged.begin() + static_cast<std::ptrdiff_t>(ready));
}

void QvUdpDataCollector::CheckGaps()
{
    // Gaps open in stream order, so the oldest comes first.
    for (Gap& gap : m_gaps) {
        if (m_arrivals - gap.openedAt <= static_cast<std::uint64_t>(kReorderDepth)) {
            break;
        }
        if (!gap.reported) {
            ReportGap(gap);
        }
    }
    const auto patience = static_cast<std::uint64_t>(kReorderDepth) +
                          static_cast<std::uint64_t>(std::max(m_window, 0));
    while (!m_gaps.empty() && m_arrivals - m_gaps.front().openedAt > patience) {
        GiveUpOldestGap();
    }
}

void QvUdpDataCollector::ReportGap(Gap& gap)
{
    gap.reported = true;
    m_lossSequence = gap.start;
    OnPacketsLost(ClampToInt(gap.bytes));
}

void QvUdpDataCollector::GiveUpOldestGap()
{
    Gap& oldest = m_gaps.front();
    if (!oldest.reported) {
        ReportGap(oldest);
    }
    m_givenUp[m_givenUpNext] = oldest;
    m_givenUpNext = (m_givenUpNext + 1) % kRememberedGaps;
    m_gaps.erase(m_gaps.begin());
    // The reader passes the gap: the next packet it gets follows a break.
    m_breakPending = true;
    ReleaseReady();
}

void QvUdpDataCollector::GiveUpAllGaps()
{
    while (!m_gaps.empty()) {
        GiveUpOldestGap();
    }
    ReleaseReady();
}

bool QvUdpDataCollector::InReportedGap(const QvBasePacket& packet) const
{
    return std::any_of(m_gaps.begin(), m_gaps.end(), [&](const Gap& gap) {
        return gap.reported && packet.CompareSequence(packet.Sequence(), gap.end) < 0 &&
               packet.CompareSequence(packet.NextSequence(), gap.start) > 0;
    });
}

void QvUdpDataCollector::WakeReader()
{
    // The reader publishes its level and then looks at the queue; this side
    // changed the queue and now looks at the level. With a full fence on
    // both sides at least one of the two sees the other's write, so a
    // reader never sleeps through data it can take.
    std::atomic_thread_fence(std::memory_order_seq_cst);
    std::size_t level = m_wakeLevel.load(std::memory_order_relaxed);
    if (level == 0 || DataQueue().entries() < level ||
        !m_wakeLevel.compare_exchange_strong(level, 0)) {
        return;
    }
    // The reader holds the lock from publishing its level until it sleeps,
    // so taking it here makes sure the wake-up finds it asleep.
    {
        std::lock_guard<std::mutex> lock(m_waitLock);
    }
    m_dataArrived.notify_all();
}

// ---- Loss reports ------------------------------------------------------------------------

void QvUdpDataCollector::BuildLossReport(std::uint32_t sequence, std::uint32_t bytes,
                                         std::uint8_t (&out)[kLossReportSize])
{
    for (int i = 0; i < 4; ++i) {
        out[i] = static_cast<std::uint8_t>(sequence >> (24 - 8 * i));
        out[4 + i] = static_cast<std::uint8_t>(bytes >> (24 - 8 * i));
    }
}

void QvUdpDataCollector::SendLossReport(std::uint32_t sequence, std::uint32_t bytes)
{
    std::uint8_t report[kLossReportSize];
    BuildLossReport(sequence, bytes, report);
    const unsigned base = m_reportPortSet ? m_reportBasePort : m_dataReader.GetPort();
    sockaddr_in destination = m_sourceAddress;
    destination.sin_family = AF_INET;
    destination.sin_port = htons(static_cast<std::uint16_t>(base + kLossReportPortOffset));
    QvDebugMsg("Retrans Request: Seq:%lu Size: %d\n", static_cast<unsigned long>(sequence),
               ClampToInt(bytes));
    if (!m_haveSource || m_retransReader.GetHandle() == QV_INVALID_SOCKET) {
        QvDebugMsg("Retrans Request SendTo failed: %d\n", ENOTCONN);
        return;
    }
    const int sent = m_retransReader.SendTo(report, sizeof(report),
                                            reinterpret_cast<const sockaddr*>(&destination),
                                            sizeof(destination), 0);
    if (sent == QV_SOCKET_ERROR) {
        QvDebugMsg("Retrans Request SendTo failed: %d\n", QvSocket::GetLastError());
    }
}

// ---- Watchdog and hooks ---------------------------------------------------------------------

void QvUdpDataCollector::WatchDog()
{
    if (m_timedOut.load()) {
        return;
    }
    if (m_flowControl.load()) {
        ControlFlow();
    }
    const std::uint32_t now = qvplat::TickCount();
    if (qvplat::ElapsedMs(now, m_lastDataTime.load()) > m_dataTimeout.load()) {
        // Nothing more is coming soon: what waits behind a gap goes to the
        // reader before it hears of the timeout.
        GiveUpAllGaps();
        {
            std::lock_guard<std::mutex> lock(m_waitLock);
            m_timedOut.store(true);
        }
        m_dataArrived.notify_all();
        QvDebugMsgTime("Data Timeout");
        m_dataSilent = true;
        if (m_running.load()) {
            OnDataTimeout();
        }
        m_lastDataTime.store(now);
    }
    if (m_requestMonitor.load() &&
        qvplat::ElapsedMs(now, m_lastRequestTime.load()) > kRequestTimeoutMs) {
        QvDebugMsgTime("Request Timeout");
        if (m_running.load()) {
            OnDataTimeout();
        }
        m_lastRequestTime.store(now);
    }
}

void QvUdpDataCollector::PostIntMessage(int code)
{
    if (m_messageQueue != nullptr) {
        m_messageQueue->Send(new QvIntMessage(code, 0));
    }
}

int QvUdpDataCollector::OnDataStarted()
{
    return 0;
}

int QvUdpDataCollector::OnDataRestarted()
{
    return 0;
}

int QvUdpDataCollector::OnPacketsLost(int bytes)
{
    const std::uint32_t lost = bytes > 0 ? static_cast<std::uint32_t>(bytes) : 0;
    m_lostBytes.fetch_add(lost);
    QvDebugMsgTime("*** Packet loss %ld bytes", static_cast<long>(bytes));
    if (m_window != 0) {
        SendLossReport(m_lossSequence, lost);
    }
    return 0;
}

int QvUdpDataCollector::OnPacketRecovered(int)
{
    return 0;
}

int QvUdpDataCollector::OnDataTimeout()
{
    PostIntMessage(QvIntMessage::kDataTimeout);
    if (m_options.logCollectorTimeout) {
        QvDebugMsg("Collector Timeout.");
    }
    return 0;
}

int QvUdpDataCollector::OnHighThreshold()
{
    return 0;
}

int QvUdpDataCollector::OnFlowPaused()
{
    return 0;
}

int QvUdpDataCollector::OnFlowResumed()
{
    return 0;
}
