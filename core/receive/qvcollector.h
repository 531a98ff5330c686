#pragma once
// The stream receiver: receives one live stream, keeps its datagrams in
// stream order in a bounded pool of packets, measures and reports gaps, can
// ask the source to send lost data again, watches for the end of the data
// and hands the payload to a reader as a byte stream.
//
// How it is used: the owner sets a property list (and a message queue when it
// wants int messages), calls Start, reads through ReadBuffer or GetNextBuffer
// on its own threads and calls Stop. Start reads these keys (names ignore
// case; SDP, Address, Port, Interface and Unicast also steer the readers):
//
//   "SDP"                  announcement text: group, port, Mux, PacketFormat
//   "Port", "Address"      explicit port (and group), overriding the SDP text
//   "Interface", "UDCInterface"  stored only; the readers take "Interface"
//   "Retrans"              retransmission window in packets (0: no loss
//                          reports); also that many extra packets in the pool
//   "UDCBlockSize", "PacketSize"  size of every packet buffer in bytes
//   "UDCKernalBufferSize"  kernel receive buffer of the readers in bytes
//   "UDCTimeout"           silence in ms after which the data timeout fires
//   "UDCBufferSize"        replaced by the fixed pool of 1,024,000 bytes
//   "UDCStartThreshold"    start threshold in kilobytes
//   "UDCFlowControl"       whether the level checks run
//   "PacketFormat"         "OPV" (default), "RAW", "OVS", "QVS" (read as OPV)
//   "Mux"                  "M2T" and "M2P" need no header fix-up
//   "FixHeader"            TRUE or FALSE forces the header fix-up on or off
//
// How datagrams find their place:
//   - The first data datagram names the stream's source (address and
//     port); loss reports go there only. Datagrams from any other source
//     are dropped and counted, until the source has been silent for the
//     data timeout: then the next one takes over, with a break.
//   - Datagrams are handed to the reader in stream order. One that
//     arrives behind others fills its gap; a gap counts as a loss after
//     kReorderDepth further datagrams (then it is reported, with a
//     window) and the reader passes it, with a break, after the window's
//     worth more. A datagram whose bytes were all taken already is a
//     duplicate: dropped and counted.
//   - A datagram that fills a reported gap, on either reader, counts as
//     recovered. The retransmission reader (which on a group stream sees
//     every data datagram too) takes only those, from the source's
//     address; it drops the others without copying their payload.
//   - A jump backwards by more than the pool holds is the sender starting
//     its sequence again, and a jump forwards by more than that a
//     resynchronisation: either way the stream goes on from the new
//     place with a break, without a loss report and without counting the
//     jump as lost, unless the kernel dropped datagrams right before it
//     (then the jump is a loss like any other).
//   - The kernel tells with each datagram how many it has dropped on the
//     data socket so far. In a format without sequence numbers ("RAW") a
//     rise is the only sign of a gap: the datagram after it comes with a
//     break, and each datagram dropped counts as lost with the length of
//     that one. A datagram that the receiver reads and drops itself, for
//     want of a free packet, counts the same way.
//
// Threads: the collector thread receives, orders, checks the levels and the
// timeouts and calls every On... hook, so int messages are sent from it; one
// reader thread at a time calls ReadBuffer or GetNextBuffer (callers that
// read from several threads serialise their calls); FlushAllFifos may run on
// any thread while the collector runs; Start and Stop run on the owner's
// thread. Packets move between
// the lists only through the lists' own locks.
//
// The packet path can also be driven without sockets: StartDetached prepares
// the pool and the reading side but opens no socket and starts no thread;
// the owner then hands datagrams to FeedDatagram and calls WatchDog at its
// own pace. ReadBuffer, GetNextBuffer, the hooks and Stop behave as usual.
//
// A subclass that overrides a hook must call Stop first thing in its own
// destructor: the collector thread calls the hooks, and it must be gone
// before the subclass's part of the object is.

#include "core/qvexport.h"
#include "core/packets/qvpacketlist.h"
#include "core/net/qvudpreader.h"

#include "platform/sockaddr.h"
#include "platform/thread.h"

#include <atomic>
#include <condition_variable>
#include <cstddef>
#include <cstdint>
#include <ctime>
#include <memory>
#include <mutex>
#include <vector>

class QvBasePacket;
class QvHeadProcessor;
class QvMessageQueue;
class QvPropertyList;
class QvSAPPacket;

// What differs between the programs that receive with this class; as the SAP
// listener's presets, chosen once at construction.
struct QvCollectorOptions
{
    // Start writes "Address=%s Port=%d" with the address and port the data
    // reader listens on, whichever keys gave them; otherwise the line is
    // written only when the settings name a Port.
    bool logListenAddress = false;
    // The default OnDataTimeout writes "Collector Timeout." to the debug log.
    bool logCollectorTimeout = true;

    static constexpr QvCollectorOptions Standard() { return {}; }
    // The capture utility's receiver.
    static constexpr QvCollectorOptions CaptureUtility()
    {
        QvCollectorOptions options;
        options.logListenAddress = true;
        options.logCollectorTimeout = false;
        return options;
    }
};

class QV_API QvUdpDataCollector : public QvFifo
{
public:
    // The flag word of ReadBuffer and GetNextBuffer.
    static constexpr int kContinuous = 0x00; // the data follows on from the last returned
    static constexpr int kBreak = 0x01;      // a gap or a packet out of order before this data
    static constexpr int kStopped = 0x10;    // the collector is not running; no data
    static constexpr int kTimeout = 0x20;    // data timeout; no data; reported once per timeout
    static constexpr int kReleased = 0x40;   // ReleaseReaders: the wait was given up

    // Results of Start and StartDetached.
    static constexpr int kStartOk = 0;
    static constexpr int kDataReaderFailed = -1;
    static constexpr int kRetransReaderFailed = -2;
    // The settings give no usable pool (packet size out of range, too many
    // packets), a packet could not be made or the thread did not start.
    static constexpr int kSetupFailed = -3;

    // Bytes of the pool that Start makes.
    static constexpr int kPoolBytes = 1024000;
    static constexpr int kDefaultBlockSize = 1404;
    // Largest packet buffer accepted (no UDP datagram is longer).
    static constexpr int kMaxBlockSize = 65536;
    // Largest number of packets in one pool.
    static constexpr int kMaxPoolPackets = 65535;
    static constexpr std::uint32_t kDefaultDataTimeoutMs = 1000;
    static constexpr std::uint32_t kRequestTimeoutMs = 5000;
    // Longest wait of the collector thread on a silent socket.
    static constexpr std::uint32_t kMaxIdleWaitMs = 250;
    static constexpr int kDefaultKernelBufferSize = 102400;
    // Packets the reader may still be using (the lent list holds at most these).
    static constexpr int kMaxLent = 3;
    // The loss report goes to the data port plus this.
    static constexpr unsigned kLossReportPortOffset = 16;
    static constexpr std::size_t kLossReportSize = 8;
    // Datagrams that may arrive after a gap before it counts as a loss: a
    // network that swaps a datagram with one up to this many places later
    // causes neither a loss nor a break. Once a gap counts as a loss it is
    // reported (with a window), and the reader passes it after the window's
    // worth of further datagrams, so a retransmission can still fill it.
    static constexpr int kReorderDepth = 3;

    QvUdpDataCollector();
    explicit QvUdpDataCollector(const QvCollectorOptions& options);
    QvUdpDataCollector(const QvUdpDataCollector&) = delete;
    QvUdpDataCollector& operator=(const QvUdpDataCollector&) = delete;
    // Stops the collector (joining its thread) and closes both readers.
    ~QvUdpDataCollector() override;

    // ---- Start and stop --------------------------------------------------------
    // Reads the settings, makes the pool, opens the readers and starts the
    // collector thread. A started collector is stopped first. Returns one of
    // the k... results above; on failure the collector is left stopped.
    int Start();
    // As Start, without sockets and without the collector thread: datagrams
    // come through FeedDatagram and the owner calls WatchDog itself.
    int StartDetached();
    // Ends the collector thread and every reader call in progress (a reader
    // waiting for data returns at once with kStopped), closes the readers
    // and deletes every packet. Payload pointers from GetNextBuffer die here.
    void Stop();

    // ---- Settings (before Start; Start overrides them from the list) -----------
    void SetPropertyList(QvPropertyList* list) { m_propertyList = list; }
    QvPropertyList* GetPropertyList() const { return m_propertyList; }
    void SetMessageQueue(QvMessageQueue* queue) { m_messageQueue = queue; }
    // The source's address (network order) and the base port of the loss
    // reports (host order). Without it the reports go to the data port + 16.
    void SetAddress(unsigned long address, unsigned short port);
    void SetInterface(unsigned long address) { m_interface = address; }
    void SetThreadPriority(int priority) { m_threadPriority = priority; }
    void SetRetransWindow(int packets) { m_window = packets; }
    void SetNumSmallBufs(int blocks) { m_blocks = blocks; }
    void SetSmallBufSize(int bytes) { m_blockSize = bytes; }
    void SetKernalBufSize(int bytes) { m_kernelBufferSize = bytes; }
    void SetFlowControl(bool on) { m_flowControl = on; }
    // Stored only.
    void Pause(bool paused) { m_paused = paused; }

    // ---- State and counters (safe from any thread) -----------------------------
    bool IsStarted() const { return m_started.load(); }
    // True while the collector thread runs or a reader call is in progress.
    bool IsAlive() const;
    // True once no header fix-up is pending.
    bool HeaderReady() const { return m_headerReady.load(); }
    int GetNumSmallBufs() const { return m_blocks; }
    int GetSmallBufSize() const { return m_blockSize; }
    int GetRetransWindow() const { return m_window; }
    int GetBufferSize() const { return m_bufferSize; }
    // Payload bytes of every datagram that passed the header check.
    std::uint64_t GetBytesReceived() const { return m_bytesReceived.load(); }
    // Payload bytes recovered through the retransmission reader.
    std::uint64_t GetRecovCount() const { return m_recoveredBytes.load(); }
    // Payload bytes reported lost.
    std::uint64_t GetLostCount() const { return m_lostBytes.load(); }
    // Datagrams dropped because every byte they carry had been taken already.
    std::uint64_t GetDuplicateCount() const { return m_duplicates.load(); }
    // Datagrams dropped because they came from another source than the
    // stream's.
    std::uint64_t GetForeignCount() const { return m_foreignDatagrams.load(); }
    std::time_t GetStartTime() const { return m_startTime.load(); }
    // Nothing measures the rate; always 0.
    unsigned long GetBytesPerSecond() const { return m_bytesPerSecond; }
    std::uint32_t GetDataTimeout() const { return m_dataTimeout.load(); }
    const QvCollectorOptions& GetOptions() const { return m_options; }

    // ---- Buffer levels (counts of packets) -------------------------------------
    // Buffer size in bytes; derives the blocks and every level from it and
    // the block size: d = blocks / 10, low = d + window, reclaim = 3d,
    // start = blocks - 3d + window, high = blocks - d + window.
    void SetBufferSize(int bytes);
    // Each stores the window + the argument.
    void SetStartThreshold(int packets);
    void SetLowThreshold(int packets);
    void SetHighThreshold(int packets);
    int GetStartThreshold() const { return m_startLevel.load(); }
    int GetLowThreshold() const { return m_lowLevel.load(); }
    int GetHighThreshold() const { return m_highLevel.load(); }
    int GetReclaimCount() const { return m_reclaimCount.load(); }
    // Packets in the data queue plus packets lent to the reader.
    unsigned GetSmallBufLevel() const;

    // ---- Reading ---------------------------------------------------------------
    // The payload of the next queued packet (valid until two further calls),
    // or null with kStopped, kTimeout or kReleased. Waits while the queue
    // holds no more than the window or two packets; after a data timeout the
    // packets that were queued when it fired, and the datagrams that waited
    // in the kernel's buffer for want of free packets, are handed out first,
    // then the timeout is reported once, and only then what arrived after it
    // (a sender that started again).
    char* GetNextBuffer(long& size, int& flags);
    // Copies up to `request` stream bytes into `destination` and returns the
    // count. Flags: kContinuous, or kBreak when a discontinuity fell inside
    // the call; a short count comes only with kStopped, with kTimeout
    // when the data stopped (bytes still held back are returned first, the
    // timeout with the next call), or with kReleased (the bytes taken before
    // the release). A request of 0 returns 0 with flags 0 at once.
    // With kBreak, `breakOffset` (when given) receives where the
    // discontinuity lies within the returned bytes: the bytes before it
    // follow on from the previous call, those from it on follow the gap
    // (0: the whole return follows the gap). When more discontinuities
    // fall inside the same call, the offset is that of the first; every byte
    // received is still returned. Without kBreak it is 0.
    long ReadBuffer(char* destination, long request, int& flags, long* breakOffset = nullptr);
    // Returns every queued packet to the free list; lost and recovered
    // bytes restart at 0. The first packet read afterwards carries a break
    // unless it continues exactly where the last one read ended.
    void FlushAllFifos();
    // Whether a reader that stops asking for data for 5 s counts as a data
    // timeout; switching it on restarts that clock.
    void SetReqTimeoutMonitor(bool on);
    bool GetReqTimeoutMonitor() const { return m_requestMonitor.load(); }
    // Makes a reader waiting in ReadBuffer or GetNextBuffer return at once
    // with kReleased, and every later call too, until RearmReaders. The
    // collector goes on receiving; nothing queued is lost. For a consumer
    // that must give up a read without stopping the stream (a media
    // pipeline's flush).
    void ReleaseReaders();
    void RearmReaders();

    // ---- The packet path without sockets ----------------------------------------
    // One received datagram, as the collector thread hands it on after
    // receiving: copied into a free packet (taking back the newest queued
    // packets when none is free), checked and put in its place in the
    // stream. `source` is the sender; null stands for one and the same
    // unnamed sender. Returns true when the datagram was taken as stream
    // data. Call on one thread at a time, and only on a collector started
    // with StartDetached.
    bool FeedDatagram(const void* data, std::size_t length, const sockaddr_in* source = nullptr);
    // The level check and the timeouts; the collector thread runs it once
    // per pass.
    void WatchDog();

    // ---- Notification hooks (collector thread; each returns 0) ------------------
    // The level check, run by the watchdog when flow control is on.
    virtual void ControlFlow();
    // The first stream datagram after a start.
    virtual int OnDataStarted();
    // The first stream datagram after a data timeout.
    virtual int OnDataRestarted();
    // Adds to the lost count, logs, and with a window sends a loss report.
    virtual int OnPacketsLost(int bytes);
    virtual int OnPacketRecovered(int bytes);
    // Posts int message 4 when a message queue is set.
    virtual int OnDataTimeout();
    // Sets underflow, so the level check waits for the start threshold again.
    virtual int OnLowThreshold();
    // Clears underflow and posts int message 2 when a message queue is set.
    virtual int OnStartThreshold();
    virtual int OnHighThreshold();
    // Never called here; for subclasses.
    virtual int OnFlowPaused();
    virtual int OnFlowResumed();

    // The 8-byte loss report: BE 32-bit first missing sequence, BE 32-bit
    // count of missing payload bytes.
    static void BuildLossReport(std::uint32_t sequence, std::uint32_t bytes,
                                std::uint8_t (&out)[kLossReportSize]);

protected:
    // The collector thread's body.
    void CollectorProcessing();
    // Receive one waiting datagram from the data reader into `packet` and
    // take it in; false (the packet back on the free list) when none waited
    // or the receive failed.
    bool OnReceivedData(QvBasePacket* packet);
    // Take one waiting datagram from the retransmission reader: one from the
    // stream's source that falls in a reported gap fills it and counts as
    // recovered; any other is dropped uncounted, without copying its
    // payload. `packet` is scratch room for its header. False when none
    // waited.
    bool OnReceivedRetrans(QvBasePacket* packet);

private:
    class ReaderCall;
    enum class WaitOutcome {
        Packet,
        Stopped,
        TimedOut,
        Released,
    };

    int StartLocked(bool withNetwork);
    void StopLocked();
    void ReadSettings();
    void ReadSdpSettings(const UtCString& sdp);
    void ReadPortSettings();
    void ReadFormatSettings();
    bool ValidatePool();
    void ClampLevels();
    bool PreparePool();
    void ResetStreamState();
    int StartReaders();
    bool StartRetransReader();
    bool StreamIsUnicast() const;
    bool StartThread();

    // A stretch of the stream's sequence that has not arrived: [start, end).
    struct Gap
    {
        std::uint32_t start = 0;
        std::uint32_t end = 0;
        std::uint32_t bytes = 0;    // payload bytes missing
        std::uint64_t openedAt = 0; // arrivals counted when it opened
        bool reported = false;      // counted as lost (and reported)
    };

    // Reception.
    QvBasePacket* TakeFreePacket();
    // What one batch receive brought: datagrams taken off the socket, and
    // whether it left the socket empty.
    struct BatchResult
    {
        std::size_t taken = 0;
        bool drained = false;
    };
    // Receives the datagrams waiting on the data reader, as many at once as
    // free packets allow, and takes each in. With `waitMs` not 0 it first
    // waits up to that long for one to come.
    BatchResult ReceiveDataBatch(int waitMs);
    void Reclaim();
    bool AcceptDatagram(QvBasePacket* packet, std::uint32_t length, const sockaddr_in* source);
    bool FromOtherSource(const sockaddr_in* source) const;
    bool SourceMayTakeOver() const;
    void LatchSource(const sockaddr_in* source);
    bool IsStrayControlPacket(const QvBasePacket& packet, std::uint32_t length) const;
    bool PassThroughAnalyser(QvBasePacket* packet);
    void QueueInOrder(QvBasePacket* packet);
    void RestartStream(QvBasePacket* packet);
    bool FillGap(QvBasePacket* packet);
    void DropBehind(QvBasePacket* packet);
    void Stage(QvBasePacket* packet);
    void Release(QvBasePacket* packet);
    void ReleaseReady();
    void CheckGaps();
    void ReportGap(Gap& gap);
    void GiveUpOldestGap();
    void GiveUpAllGaps();
    bool InReportedGap(const QvBasePacket& packet) const;
    bool TakeRepair(std::uint32_t length);
    void DrainDatagram();
    // A datagram taken off the data socket carried the kernel's drop count
    // `drops`: a rise since the last one puts lost datagrams right before
    // it. `length` is its size.
    void NoteKernelDrops(std::uint32_t drops, int length);
    // At a data timeout: drops after the last datagram taken.
    void NoteTrailingDrops();
    // How long the collector thread may wait on its sockets when nothing
    // arrives: until the data or the request timeout falls due, at most
    // kMaxIdleWaitMs.
    int IdleWaitMs() const;
    void ReportReceiveError(const char* format, int error);
    void SendLossReport(std::uint32_t sequence, std::uint32_t bytes);
    // Wakes a waiting reader when it can now take what it waits for; called
    // once per pass of the collector thread, not per datagram.
    void WakeReader();
    void PostIntMessage(int code);

    // Reading.
    QvBasePacket* NextPacket(int& flags, bool reportTimeout);
    // Waits until the reader may take a packet; a reader that needs
    // `packets` of them is woken by arrivals only once that many may be
    // taken (bounded by a quarter of the pool), by a data timeout and by
    // Stop, and by nothing else.
    WaitOutcome WaitForPacket(std::size_t packets);
    bool PacketReady() const;
    std::size_t PacketsKept() const;
    // Takes, under one lock of the data queue, the packets the reader may
    // take now, up to `count` of them and only as long as their payloads
    // stay short of `bytes`; returns how many.
    std::size_t TakeQueued(QvBasePacket** out, std::size_t count, std::size_t bytes);
    // The most packets one read takes off the queue at a time.
    static constexpr std::size_t kTakeAtOnce = 64;
    // Puts packets just taken on the lent list, which keeps the newest
    // three; older ones go back to the free list.
    void Lend(QvBasePacket* const* packets, std::size_t count);
    // Puts packets the reader is done with back on the free list.
    void ReturnFree(QvBasePacket* const* packets, std::size_t count);
    void ReturnOldestLent();
    void CheckReadSequence(QvBasePacket* packet);

    void NoteDataArrival();

    // Settings.
    const QvCollectorOptions m_options;
    bool m_noFixUp = false;
    std::atomic<bool> m_paused{false};
    int m_threadPriority = qvplat::ThreadPriority::TimeCritical;
    std::atomic<std::uint32_t> m_dataTimeout{kDefaultDataTimeoutMs};
    unsigned long m_sourceBaseAddress = 0;
    unsigned short m_reportBasePort = 0;
    bool m_reportPortSet = false;
    unsigned long m_interface = 0;
    int m_bufferSize = kPoolBytes;
    int m_window = 0;
    int m_blocks = 0;
    int m_blockSize = kDefaultBlockSize;
    int m_kernelBufferSize = kDefaultKernelBufferSize;
    std::atomic<int> m_reclaimCount{0};
    std::atomic<int> m_startLevel{0};
    std::atomic<int> m_lowLevel{0};
    std::atomic<int> m_highLevel{0};
    std::atomic<bool> m_flowControl{true};
    QvPropertyList* m_propertyList = nullptr;
    QvMessageQueue* m_messageQueue = nullptr;
    std::unique_ptr<QvPropertyList> m_packetSettings;

    // Readers and the thread.
    QvUdpReader m_dataReader;
    QvUdpReader m_retransReader;
    bool m_retransOwnPort = false;
    qvplat::Thread m_thread;
    std::mutex m_controlLock; // serialises Start and Stop

    // Reception state (collector thread).
    bool m_firstPacket = true;
    bool m_dataSeen = false;   // a stream datagram came since the start
    bool m_dataSilent = false; // the data timeout fired since the last one
    std::atomic<bool> m_headerReady{false};
    std::uint32_t m_expectedSequence = 0; // after the newest data taken; only moves on
    std::uint32_t m_lastSequence = 0;
    std::uint32_t m_lossSequence = 0; // start of the gap a loss report names
    // Sequence span the pool holds, in the unit of SequenceDistance; a jump
    // beyond it restarts the stream.
    std::uint64_t m_poolSpan = 0;
    // Packets that arrived after the oldest open gap, in stream order, and
    // the open gaps, oldest first. Both have room for the whole pool, so
    // reception never allocates.
    std::vector<QvBasePacket*> m_staged;
    std::vector<Gap> m_gaps;
    std::uint64_t m_arrivals = 0; // datagrams that brought new stream bytes
    // The last gaps given up, so that their late datagrams are not taken
    // for duplicates.
    static constexpr std::size_t kRememberedGaps = 8;
    Gap m_givenUp[kRememberedGaps];
    std::size_t m_givenUpNext = 0;
    bool m_breakPending = false;
    std::size_t m_lastBatch = 0; // datagrams the last batch receive brought
    // The packets of the format carry a sequence ("RAW" ones do not).
    bool m_sequenced = true;
    // The kernel's drop count as the last datagram taken off the data socket
    // carried it, and the rise that the datagram being taken in showed.
    std::uint32_t m_kernelDrops = 0;
    std::uint32_t m_kernelDropsAhead = 0;
    // Size of the last datagram taken; what a drop at the end is counted at.
    int m_lastDatagramLength = 0;
    // Bytes the kernel held for the socket at the last look while the pool
    // was used up.
    std::uint32_t m_backlogBytes = 0;
    std::uint32_t m_unresolvedDatagrams = 0;
    std::unique_ptr<QvHeadProcessor> m_headProcessor;
    std::unique_ptr<QvBasePacket> m_scratchPacket; // retransmissions and drained datagrams
    sockaddr_in m_sourceAddress{};                 // the stream's source once latched
    bool m_haveSource = false;
    std::uint32_t m_lastSourceTime = 0; // last datagram taken from the source
    std::uint32_t m_lastErrorLog = 0;
    std::uint32_t m_suppressedErrors = 0;
    bool m_errorLogged = false;

    // Shared state.
    std::atomic<bool> m_started{false};
    std::atomic<bool> m_running{false};
    std::atomic<bool> m_threadAlive{false};
    std::atomic<bool> m_detached{false};
    std::atomic<bool> m_timedOut{false};
    // While timed out: the packets queued when the timeout fired that the
    // reader has not taken yet. Changed under the data queue's lock.
    std::atomic<std::size_t> m_beforeTimeout{0};
    std::atomic<bool> m_released{false}; // ReleaseReaders until RearmReaders
    std::atomic<bool> m_underflow{true};
    std::atomic<bool> m_requestMonitor{false};
    // Datagrams wait in the kernel's buffer because the pool was used up: a
    // data timeout reaches the reader only once they are taken in.
    std::atomic<bool> m_kernelBacklog{false};
    std::atomic<std::uint32_t> m_lastDataTime{0};
    std::atomic<std::uint32_t> m_lastRequestTime{0};
    std::atomic<std::time_t> m_startTime{0};
    std::atomic<std::uint64_t> m_bytesReceived{0};
    std::atomic<std::uint64_t> m_lostBytes{0};
    std::atomic<std::uint64_t> m_recoveredBytes{0};
    std::atomic<std::uint64_t> m_duplicates{0};
    std::atomic<std::uint64_t> m_foreignDatagrams{0};
    unsigned long m_bytesPerSecond = 0;

    // Reader side (one reader at a time).
    std::unique_ptr<char[]> m_carry;
    std::size_t m_carryOffset = 0; // where the carried bytes begin in m_carry
    std::size_t m_carryLength = 0;
    std::uint32_t m_readSequence = 0;
    bool m_firstRead = true;

    // Reader waits and the end of reader calls.
    mutable std::mutex m_waitLock;
    std::condition_variable m_dataArrived;
    std::condition_variable m_readersDone;
    int m_readerCalls = 0; // under m_waitLock
    // The queue length at which the waiting reader can go on; 0 while no
    // reader waits. Set under m_waitLock; the collector thread reads it
    // without the lock and takes the lock only to wake the reader.
    std::atomic<std::size_t> m_wakeLevel{0};
};
