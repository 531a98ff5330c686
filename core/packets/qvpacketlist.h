#pragma once
// Locked packet lists and the packet FIFO of the stream receiver.
//
// A QvSList holds packets through the links that every packet carries (see
// QvBasePacket), so putting a packet into a list or taking it out never
// allocates: a pool of packets is made once and the packets then move
// between lists by their links. A list threads through one of a packet's two
// links, named by its role: a packet is in at most one working list and at
// most one pool list at a time. A list never owns its packets; removing or
// clearing an entry leaves the packet alive, and a packet deleted while in a
// list takes itself out of it.
//
// Every operation takes the list's own (recursive) lock, except entries(),
// which reads an atomic count, and the underscore operations, which are for
// a caller holding the lock through lock()/unlock().

#include "core/qvexport.h"
#include "core/packets/qvpacket.h"
#include "core/strings/utlist.h"
#include "platform/sync.h"

#include <atomic>
#include <cstddef>
#include <cstdint>
#include <memory>

class QvPropertyList;

class QV_API QvSList
{
public:
    explicit QvSList(QvListRole role = QvListRole::Working);
    QvSList(const QvSList&) = delete;
    QvSList& operator=(const QvSList&) = delete;
    // Takes every packet out of the list; the packets stay alive.
    virtual ~QvSList();

    // Removes and returns the first packet; null when the list is empty.
    QvBasePacket* get() { return removeFirst(); }
    QvBasePacket* removeFirst();
    // Removes and returns the last packet; null when the list is empty.
    QvBasePacket* removeLast();
    // Moves the last `count` packets (all when fewer are held) to the tail of
    // `into`, in their order, and returns how many moved. One walk to the
    // first of them, then each is unlinked in constant time. Holds this
    // list's lock, then `into`'s: callers that also hold two list locks
    // elsewhere take them in the same order.
    std::size_t moveLast(std::size_t count, QvSList& into);
    // Removes and returns the first packet with the same sequence number as
    // `like` (not necessarily `like` itself); null when there is none.
    QvBasePacket* remove(const QvBasePacket* like);
    // Insert at the head or the tail. Refused (false, nothing changes) for a
    // null packet or one already in a list of this role.
    bool prepend(QvBasePacket* packet);
    bool append(QvBasePacket* packet);
    // The first packet, left in the list; null when the list is empty.
    QvBasePacket* first() const;
    // The number of packets: safe to read from any thread without the lock,
    // but only a snapshot.
    std::size_t entries() const { return m_entries.load(std::memory_order_acquire); }
    // Takes every packet out of the list; the packets stay alive.
    void clear();

    void lock() const { m_lock.Enter(); }
    void unlock() const { m_lock.Leave(); }

    // removeFirst and append for a caller that holds the lock.
    QvBasePacket* _removeFirst();
    bool _append(QvBasePacket* packet);

    QvListRole GetRole() const { return m_role; }

private:
    friend class QvBasePacket;

    QvPacketLink& LinkOf(QvBasePacket* packet) const { return packet->LinkFor(m_role); }
    bool LinkIn(QvBasePacket* packet, bool atHead);
    // Unlinks the element after `prev` and returns its packet.
    QvBasePacket* UnlinkAfter(UtSlistLink* prev);
    void UnlinkAll();
    // Called by a packet being deleted while it is in this list.
    void Detach(QvPacketLink& link);

    mutable qvplat::CriticalSection m_lock;
    UtSlistCore m_links;
    std::atomic<std::size_t> m_entries{0};
    const QvListRole m_role;
};

// Four packet lists: all packets, free packets, packets lent to the reader
// and the data queue. The base of the stream receiver. The lists never own
// their packets; CreatePool and DeletePool make and destroy a pool of them.
class QV_API QvFifo
{
public:
    QvFifo();
    QvFifo(const QvFifo&) = delete;
    QvFifo& operator=(const QvFifo&) = delete;
    // Deletes the four lists, not the packets in them.
    virtual ~QvFifo();

    QvSList& AllPackets() { return *m_allPackets; }
    QvSList& FreeList() { return *m_freeList; }
    QvSList& LentList() { return *m_lentList; }
    QvSList& DataQueue() { return *m_dataQueue; }

    // Makes `count` packets with QvCreateObject ("Packet", props) and puts
    // each into the all-packets list and the free list. Returns false when a
    // packet could not be made; those made before stay in the pool.
    bool CreatePool(std::uint32_t count, QvPropertyList* props);
    // Deletes every packet of the all-packets list; every list is left
    // empty. No other thread may use the packets meanwhile.
    void DeletePool();

protected:
    std::unique_ptr<QvSList> m_allPackets;
    std::unique_ptr<QvSList> m_freeList;
    std::unique_ptr<QvSList> m_lentList;
    std::unique_ptr<QvSList> m_dataQueue;
};
