#include "core/packets/qvpacketlist.h"

#include "core/threads/qvobject.h"

#include <mutex>

// ---------------------------------------------------------------------------
// QvSList

QvSList::QvSList(QvListRole role) : m_role(role) {}

QvSList::~QvSList()
{
    std::lock_guard<qvplat::CriticalSection> guard(m_lock);
    UnlinkAll();
}

QvBasePacket* QvSList::removeFirst()
{
    std::lock_guard<qvplat::CriticalSection> guard(m_lock);
    return _removeFirst();
}

QvBasePacket* QvSList::_removeFirst()
{
    return m_links.isEmpty() ? nullptr : UnlinkAfter(m_links.headLink());
}

QvBasePacket* QvSList::removeLast()
{
    std::lock_guard<qvplat::CriticalSection> guard(m_lock);
    if (m_links.isEmpty()) {
        return nullptr;
    }
    return UnlinkAfter(m_links.findPredecessor(m_links.lastLink()));
}

std::size_t QvSList::moveLast(std::size_t count, QvSList& into)
{
    if (&into == this || count == 0) {
        return 0;
    }
    std::lock_guard<qvplat::CriticalSection> guard(m_lock);
    std::lock_guard<qvplat::CriticalSection> intoGuard(into.m_lock);
    const std::size_t held = m_links.entries();
    const std::size_t moving = count < held ? count : held;
    // The link before the first one that moves; it stays where it is while
    // the links after it are taken off one by one.
    UtSlistLink* before = moving == held ? m_links.headLink() : m_links.at(held - moving - 1);
    for (std::size_t i = 0; i < moving; ++i) {
        into.LinkIn(UnlinkAfter(before), false);
    }
    return moving;
}

QvBasePacket* QvSList::remove(const QvBasePacket* like)
{
    if (like == nullptr) {
        return nullptr;
    }
    const std::uint32_t sequence = like->Sequence();
    std::lock_guard<qvplat::CriticalSection> guard(m_lock);
    for (UtSlistLink* prev = m_links.headLink(); prev != m_links.lastLink(); prev = prev->next) {
        if (static_cast<QvPacketLink*>(prev->next)->packet->Sequence() == sequence) {
            return UnlinkAfter(prev);
        }
    }
    return nullptr;
}

bool QvSList::prepend(QvBasePacket* packet)
{
    std::lock_guard<qvplat::CriticalSection> guard(m_lock);
    return LinkIn(packet, true);
}

bool QvSList::append(QvBasePacket* packet)
{
    std::lock_guard<qvplat::CriticalSection> guard(m_lock);
    return _append(packet);
}

bool QvSList::_append(QvBasePacket* packet)
{
    return LinkIn(packet, false);
}

QvBasePacket* QvSList::first() const
{
    std::lock_guard<qvplat::CriticalSection> guard(m_lock);
    const UtSlistLink* link = m_links.firstLink();
    return link == nullptr ? nullptr : static_cast<const QvPacketLink*>(link)->packet;
}

void QvSList::clear()
{
    std::lock_guard<qvplat::CriticalSection> guard(m_lock);
    UnlinkAll();
}

bool QvSList::LinkIn(QvBasePacket* packet, bool atHead)
{
    if (packet == nullptr) {
        return false;
    }
    QvPacketLink& link = LinkOf(packet);
    // A link in some list already cannot be threaded into a second one.
    QvSList* expected = nullptr;
    if (!link.list.compare_exchange_strong(expected, this, std::memory_order_acq_rel)) {
        return false;
    }
    m_links.insertAfter(atHead ? m_links.headLink() : m_links.lastLink(), &link);
    m_entries.fetch_add(1, std::memory_order_release);
    return true;
}

QvBasePacket* QvSList::UnlinkAfter(UtSlistLink* prev)
{
    auto* link = static_cast<QvPacketLink*>(m_links.removeAfter(prev));
    if (link == nullptr) {
        return nullptr;
    }
    link->next = nullptr;
    link->list.store(nullptr, std::memory_order_release);
    m_entries.fetch_sub(1, std::memory_order_release);
    return link->packet;
}

void QvSList::UnlinkAll()
{
    while (!m_links.isEmpty()) {
        UnlinkAfter(m_links.headLink());
    }
}

void QvSList::Detach(QvPacketLink& link)
{
    std::lock_guard<qvplat::CriticalSection> guard(m_lock);
    if (link.list.load(std::memory_order_acquire) != this) {
        return;
    }
    UtSlistLink* prev = m_links.findPredecessor(&link);
    if (prev != nullptr) {
        UnlinkAfter(prev);
    }
}

// ---------------------------------------------------------------------------
// QvFifo

QvFifo::QvFifo()
    : m_allPackets(std::make_unique<QvSList>(QvListRole::Pool)),
      m_freeList(std::make_unique<QvSList>()), m_lentList(std::make_unique<QvSList>()),
      m_dataQueue(std::make_unique<QvSList>())
{
}

QvFifo::~QvFifo() = default;

bool QvFifo::CreatePool(std::uint32_t count, QvPropertyList* props)
{
    for (std::uint32_t i = 0; i < count; ++i) {
        QvObject* object = QvCreateObject("Packet", props);
        auto* packet = dynamic_cast<QvBasePacket*>(object);
        if (packet == nullptr) {
            delete object;
            return false;
        }
        m_allPackets->append(packet);
        m_freeList->append(packet);
    }
    return true;
}

void QvFifo::DeletePool()
{
    m_dataQueue->clear();
    m_lentList->clear();
    m_freeList->clear();
    while (QvBasePacket* packet = m_allPackets->get()) {
        delete packet;
    }
}
