#pragma once
// The stream listener: waits until data of a live stream actually arrives and
// works out what the stream receiver needs to know about it.
//
// QvUdpListen opens one QvListenUdpReader per local interface (or a single
// one when the settings name an `Interface`), polls them on its own worker
// thread and inspects the datagrams that arrive. Once one reader has counted
// three data datagrams within one 500 ms window, the listener publishes its
// findings, the generated properties:
//
//   "PacketFormat"  "OVS", "OPV" or "RAW"; only when the settings do not
//                   already name a format
//   "PacketSize"    the largest datagram that reader counted, decimal
//   "Interface"     that reader's interface as dotted text
//
// and calls OnStreamReady on the worker thread; by default that posts a
// QvIntMessage with code kStreamReady (1) and value 0 to the message queue.
//
// Only datagrams of at least 256 bytes that do not begin with four bytes A5
// (the sender's header and end-of-stream packets) are counted. The format is
// decided on the third counted datagram: the OVS marker and version word make
// "OVS"; an OPV byte offset that continues the previous datagram makes "OPV";
// anything else is "RAW". Datagrams beginning with four bytes A5 include the
// 8-byte "QVS" layout, which is therefore never reported: a QVS stream has
// to be named in the settings.
//
// The window runs on the process-wide millisecond clock (platform/clock.h):
// a reader forgets what it counted once more than 500 ms have passed since
// it last started counting.
//
// Threads: the owner's thread calls Start, Wait and Stop and reads the
// generated properties after IsResolved (or the message) said they are
// complete, and before it starts the listener again. The settings list is
// read only by Start, on the owner's thread.

#include "core/qvexport.h"
#include "core/settings/qvproplist.h"
#include "core/net/qvudpreader.h"

#include "platform/thread.h"

#include <atomic>
#include <condition_variable>
#include <cstdint>
#include <memory>
#include <mutex>
#include <thread>
#include <vector>

class QvBasePacket;
class QvMessageQueue;

// One interface's reader of the stream listener, with what it has counted
// since its last reset.
class QV_API QvListenUdpReader : public QvUdpReader
{
public:
    // A reader with nothing counted; its window starts now.
    QvListenUdpReader();
    ~QvListenUdpReader() override;

    // Forgets the counted datagrams and the previous datagram and starts a
    // new window now.
    void Reset();
    // Resets once more than 500 ms have passed since the last reset.
    void WatchDog();

    // Counts one datagram of `size` bytes; returns the count since the reset.
    int CountDatagram(int size);
    // Keeps `packet` as the previous datagram and hands back the one it
    // replaces (null when there was none), so its buffer can be used again.
    std::unique_ptr<QvBasePacket> KeepPrevious(std::unique_ptr<QvBasePacket> packet);

    // The last counted datagram; null after a reset.
    const QvBasePacket* GetPrevious() const { return m_previous.get(); }
    int GetLargestSize() const { return m_largestSize; }
    int GetCount() const { return m_count; }
    // Milliseconds of the process-wide clock at the last reset.
    std::uint32_t GetLastResetTime() const { return m_lastReset; }

private:
    std::unique_ptr<QvBasePacket> m_previous;
    std::uint32_t m_lastReset = 0;
    int m_largestSize = 0;
    int m_count = 0;
};

class QV_API QvUdpListen
{
public:
    // What Wait reports.
    enum WaitResult : int {
        WaitStartFailed = 0,
        WaitResolved = 1,
        WaitTimedOut = 2,
        WaitStopped = 3,
    };

    // The most readers one listener opens; further interfaces are ignored.
    static constexpr int kMaxReaders = 64;

    // Not started, no settings, no queue.
    QvUdpListen();
    // The listener owns a thread and sockets, so it is not copied.
    QvUdpListen(const QvUdpListen&) = delete;
    QvUdpListen& operator=(const QvUdpListen&) = delete;
    // Stops the listener (joining its worker), then frees the findings. A
    // subclass that overrides OnStreamReady calls Stop in its own destructor,
    // so the worker never calls into a half-destroyed object.
    virtual ~QvUdpListen();

    // The settings every reader reads (SDP, Address, Port, Interface,
    // Unicast) and whose "PacketFormat" suppresses format detection. Not
    // owned; required before Start.
    void SetPropertyList(QvPropertyList* settings) { m_settings = settings; }
    // Where the default OnStreamReady posts; not owned, may be null.
    void SetMessageQueue(QvMessageQueue* queue) { m_queue.store(queue); }

    // Stops a started listener, opens the readers and starts the worker.
    // 0 listening; -1 when the host has no address to listen on or the
    // worker thread cannot be created (logged; the listener stays stopped).
    // Starting without a property list is a programming error that ends the
    // process with "Property list not defined.".
    int Start();

    // Waits for the findings, at most `ms` milliseconds counted in whole
    // 100 ms periods (0 waits without limit). Starts a listener that is not
    // started. Returns WaitResolved, WaitTimedOut, WaitStopped when the
    // listener was stopped (by another thread) before the limit, or
    // WaitStartFailed when the start failed.
    int Wait(unsigned long ms);

    // Ends the worker, waiting for it, and closes every reader; always 0.
    // Called from OnStreamReady on the worker itself, it only asks the worker
    // to end; the owner's next Stop (or the destructor) completes it.
    int Stop();

    // True from Start until Stop.
    bool IsStarted() const { return m_started.load(); }
    // True once the generated properties of this run are complete.
    bool IsResolved() const { return m_resolved.load(); }
    // Readers opened by the last Start (started or not); 0 after Stop.
    int GetReaderCount() const { return m_readerCount.load(); }

    // The findings; read them once IsResolved is true.
    QvPropertyList& GetGeneratedProperties() { return m_generated; }

    // Called on the worker thread once the generated properties are
    // complete. The default posts QvIntMessage(kStreamReady, 0) to the
    // message queue when one is set.
    virtual void OnStreamReady(QvPropertyList& generated);

protected:
    // The worker's loop: polls every reader until the listener resolves or
    // is stopped, sleeping 20 ms whenever no reader had a datagram.
    void ProcessThread();
    // Receives one datagram from a ready reader and inspects it. False when
    // the receive failed.
    bool OnDataReceived(QvListenUdpReader& reader);

private:
    // Opens the readers the settings ask for; false (logged) when the host
    // has no address to listen on.
    bool OpenReaders();
    void OpenReader(unsigned long interfaceAddress);
    // Stop for a caller that holds the control lock.
    void StopLocked();
    // Forms the findings from the reader's third counted datagram.
    void Resolve(QvListenUdpReader& reader, const QvBasePacket& packet);
    // Clears the running flag and wakes waiters; the worker's last act.
    void WorkerEnded();
    bool OnWorkerThread() const;

    QvPropertyList* m_settings = nullptr;
    std::atomic<QvMessageQueue*> m_queue{nullptr};
    QvPropertyList m_generated;

    // Start and Stop run one at a time.
    std::mutex m_controlLock;
    // Guards changes of the flags that Wait and the idle worker sleep on.
    std::mutex m_stateLock;
    std::condition_variable m_stateChanged;

    std::atomic<bool> m_started{false};
    std::atomic<bool> m_alive{false};
    std::atomic<bool> m_running{false};
    std::atomic<bool> m_resolved{false};
    std::atomic<int> m_readerCount{0};
    // The worker's id while it runs, so Stop can tell when the worker calls it.
    std::atomic<std::thread::id> m_workerId{};
    // Whether the settings name the format; read by Start, used by the worker.
    bool m_formatGiven = false;

    std::vector<std::unique_ptr<QvListenUdpReader>> m_readers;
    // A packet whose buffer the worker receives into next; used by the worker
    // only.
    std::unique_ptr<QvBasePacket> m_spare;
    qvplat::Thread m_worker;
};
