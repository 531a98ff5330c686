#pragma once
// The channel listener: waits for data on one channel (a group and port given
// by a property list) and collects its first datagrams for a while.
//
// Start opens a QvUdpReader on every interface the interface scan chooses (at
// most kMaxReaders), makes a pool of kPoolPackets packets and starts the
// worker, which goes through three states:
//
//   waiting     polls every reader; the first pass that finds one with a
//               datagram waiting makes it the current reader (the last one in
//               order when several are)
//   collecting  for the collection period, receives the current reader's
//               datagrams into free pool packets; the sender's header and
//               control datagrams (first four bytes A5) go straight back to
//               the free list, every other datagram joins the data list in
//               arrival order. With no free packet left nothing is received
//               until the owner takes data out.
//   done        nothing more is received and the worker has ended. The
//               listener is resolved when at least one data datagram was
//               collected: before the state turns to done, the generated
//               properties are completed, OnStreamReady is called on the
//               worker and, when a message queue is set, a
//               QvIntMessage(kStreamReady, 0) is posted to it.
//
// Settings read by Start from the property list (besides the readers' own
// SDP, Address, Port and Unicast, and the scan's Interface):
//
//   "PacketSize"     bytes of each pool packet, 1..65536 (16384); a longer
//                    datagram is dropped, never cut or overrun
//   "CollectPeriod"  milliseconds of collecting, at least 1 (1000)
//
// Generated properties once resolved:
//
//   "Interface"   the current reader's interface as dotted text
//   "PacketSize"  the largest data datagram collected, decimal
//
// The collection period runs on the process-wide millisecond clock
// (platform/clock.h).
//
// Threads: the owner calls Start, Stop, ReadData and the getters; the worker
// runs the readers, fills the lists and calls OnStreamReady. ReadData may run
// at any time, also while the worker collects. The owner reads the generated
// properties only once IsResolved is true (or the message has arrived) and
// before it starts the listener again. A subclass that overrides
// OnStreamReady calls Stop first thing in its own destructor.

#include "core/net/qvinterfaces.h"
#include "core/net/qvudpreader.h"
#include "core/packets/qvpacketlist.h"
#include "core/qvexport.h"
#include "core/settings/qvproplist.h"
#include "core/threads/qvthread.h"

#include <atomic>
#include <condition_variable>
#include <cstdint>
#include <memory>
#include <mutex>
#include <thread>
#include <vector>

class QvBasePacket;
class QvMessageQueue;

class QV_API QvChanListener : public QvAllInterfaces, public QvThread
{
public:
    // Worker states; Idle before Start and after Stop.
    enum State : int {
        Idle = 0,
        Waiting = 1,
        Collecting = 2,
        Done = 3,
    };

    static constexpr int kMaxReaders = 64;
    static constexpr int kPoolPackets = 80;
    static constexpr int kDefaultPacketSize = 16384;
    static constexpr int kMaxPacketSize = 65536;
    static constexpr int kDefaultCollectPeriod = 1000; // milliseconds

    // No readers, no pool, no settings, no queue.
    QvChanListener();
    // Stops the worker, then releases the pool and the readers.
    ~QvChanListener() override;

    // The settings list is set with QvAllInterfaces::SetPropertyList (not
    // owned, read by Start only; may be null: the readers' defaults then).
    // Where the ready message goes; not owned, may be null.
    void SetMessageQueue(QvMessageQueue* queue) { m_queue.store(queue); }

    // Stops a started listener, then opens the readers, makes the pool and
    // starts the worker in the waiting state. 0 running; -1 when a setting is
    // out of range, no reader started on any interface, or the worker could
    // not be started (logged). A failed Start leaves no pool and no reader.
    // Refused (-1) from the worker itself.
    int Start();
    // Ends the worker, waiting for it, then releases the pool (collected data
    // included) and closes the readers. From the worker itself (a hook), it
    // only asks the worker to end; the owner's Stop completes it.
    void Stop();

    // Copies the oldest collected data datagram into `buffer` and puts its
    // packet back on the free list. Returns the datagram's length; 0 when no
    // data is waiting; -1, taking nothing, when `buffer` is null or shorter
    // than the datagram.
    int ReadData(void* buffer, int length);

    bool IsResolved() const { return m_resolved.load(); }
    // The findings; complete once IsResolved is true.
    QvPropertyList& GetGeneratedProperties() { return m_generated; }

    int GetState() const { return m_state.load(); }
    // Readers opened by the last Start; 0 after Stop.
    int GetReaderCount() const { return m_readerCount.load(); }
    // Data datagrams waiting, and packets ready for receiving.
    int GetDataCount() const { return static_cast<int>(m_dataList.entries()); }
    int GetFreeCount() const { return static_cast<int>(m_freeList.entries()); }
    // The values the last Start worked out.
    int GetPacketSize() const { return m_packetSize.load(); }
    int GetCollectPeriod() const { return m_collectPeriod.load(); }

    // Opens and starts a reader on one interface (network byte order): 0 when
    // it started, -1 when it did not or kMaxReaders are open.
    int OnNewInterface(unsigned long address, QvPropertyList* settings) override;
    // Called on the worker once the generated properties are complete;
    // empty here.
    virtual void OnStreamReady(QvPropertyList& generated);

protected:
    void ProcessThread() override;
    // Receives one datagram of the current reader into a free packet. False
    // when nothing was taken off the socket (no free packet, or the receive
    // failed).
    bool OnDataReceived();

private:
    // Reads PacketSize and CollectPeriod; false (logged) when one is out of
    // range.
    bool ReadSettings();
    // Makes the whole pool into the free list, or nothing; false (logged)
    // when it cannot be made.
    bool MakePool();
    void ReleasePool();
    void CloseReaders();
    // Undoes a Start whose worker did not start.
    void AbandonStart();
    void StopLocked();
    // Rests up to one poll period; a stop wakes it.
    void Rest();
    // The waiting state: polls the readers until one has data. False when
    // stopped first.
    bool WaitForData();
    void Collect();
    void Finish();
    bool OnWorkerThread() const;

    std::atomic<QvMessageQueue*> m_queue{nullptr};
    QvPropertyList m_generated;
    // The settings the readers read: the owner's without "Interface", which
    // the scan has already applied.
    std::unique_ptr<QvPropertyList> m_readerSettings;
    std::vector<std::unique_ptr<QvUdpReader>> m_readers;
    QvUdpReader* m_current = nullptr; // used by the worker only
    std::uint32_t m_collectStart = 0;  // tick at which collecting began; worker only
    std::atomic<int> m_readerCount{0};
    std::atomic<bool> m_resolved{false};
    std::atomic<int> m_state{Idle};
    std::atomic<int> m_packetSize{kDefaultPacketSize};
    std::atomic<int> m_collectPeriod{kDefaultCollectPeriod};
    int m_largestData = 0; // used by the worker only

    // The packets; the lists only point into it. Changed only while no
    // worker runs, and under m_poolLock, which ReadData holds too.
    std::vector<std::unique_ptr<QvBasePacket>> m_pool;
    QvSList m_dataList;
    QvSList m_freeList;
    std::mutex m_poolLock;

    // Start and Stop run one at a time.
    std::mutex m_controlLock;
    // Wakes the resting worker when it is asked to stop.
    std::mutex m_wakeLock;
    std::condition_variable m_wake;
    std::atomic<std::thread::id> m_workerId{};
};
