// The stream receiver's construction, settings, start and stop. The
// collector thread is in qvcollectorreceive.cpp, loss reports and repairs
// in qvcollectorloss.cpp, levels and reading in qvcollectorread.cpp.
#include "core/receive/qvcollector.h"

#include "core/net/qvhostaddr.h"
#include "core/packets/qvpacket.h"
#include "core/receive/qvheadproc.h"
#include "core/settings/qvlog.h"
#include "core/settings/qvproplist.h"
#include "core/settings/qvsdptext.h"

#include "platform/clock.h"

#include <algorithm>
#include <arpa/inet.h>
#include <cerrno>
#include <climits>

namespace {

bool IsGroupAddress(unsigned long address)
{
    return (ntohl(static_cast<in_addr_t>(address)) >> 29) == 7;
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
        // The collector thread may be waiting on the data socket.
        m_dataReader.ShutdownReceive();
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
    const QvSdpEndpoint endpoint = QvReadSdpEndpoint(sdp);
    if (!endpoint.fits) {
        QvDebugMsg("SDP text too long: %u bytes.", sdp.length());
        return;
    }
    const unsigned long address = inet_addr(endpoint.address.chars());
    const auto port = static_cast<unsigned int>(std::atoi(endpoint.port.chars()));
    m_dataReader.SetAddress(address, port);
    m_retransReader.SetAddress(address, port);
    if (!endpoint.mux.isNull()) {
        m_propertyList->SetProperty("Mux", endpoint.mux);
    }
    if (!endpoint.packetFormat.isNull()) {
        m_propertyList->SetProperty("PacketFormat", endpoint.packetFormat);
    }
    QvDebugMsg("SAP: Address=%s Port=%d Mux=%s PacketFormat=%s", endpoint.address.chars(),
               static_cast<int>(port), endpoint.mux.chars(), endpoint.packetFormat.chars());
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
    m_beforeTimeout.store(0);
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
        created = m_retransReader.Create(
            0, SOCK_DGRAM, 0,
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
