#include "core/strings/utlist.h"

#include "core/strings/utxmsg.h"

namespace {

[[noreturn]] void throwIndexError(std::size_t i, std::size_t count)
{
    // The catalogue text takes two unsigned 32-bit numbers.
    throwError(UtBoundsErr(UtMessageText(utToolsMsg_INDEXERR(), static_cast<unsigned>(i),
                                         static_cast<unsigned>(count))));
}

} // namespace

UtSlistCore::UtSlistCore() : m_last(&m_head), m_count(0)
{
    m_head.next = &m_tail;
    m_tail.next = &m_tail;
}

UtSlistCore::UtSlistCore(UtSlistLink* link) : m_last(link), m_count(1)
{
    m_head.next = link;
    link->next = &m_tail;
    m_tail.next = &m_tail;
}

void UtSlistCore::reset()
{
    m_head.next = &m_tail;
    m_tail.next = &m_tail;
    m_last = &m_head;
    m_count = 0;
}

void UtSlistCore::insertAfter(UtSlistLink* prev, UtSlistLink* link)
{
    link->next = prev->next;
    prev->next = link;
    if (m_last == prev) {
        m_last = link;
    }
    ++m_count;
}

UtSlistLink* UtSlistCore::removeAfter(UtSlistLink* prev)
{
    // Nothing follows the last link (or the tail): unlinking "the tail" would
    // wreck the list, so that is refused.
    if (prev == nullptr || isEnd(prev->next)) {
        return nullptr;
    }
    UtSlistLink* removed = prev->next;
    prev->next = removed->next;
    if (m_last == removed) {
        m_last = prev;
    }
    --m_count;
    return removed;
}

UtSlistLink* UtSlistCore::at(std::size_t i) const
{
    if (i >= m_count) {
        throwIndexError(i, m_count);
    }
    UtSlistLink* link = m_head.next;
    for (; i > 0; --i) {
        link = link->next;
    }
    return link;
}

UtSlistLink* UtSlistCore::linkBefore(std::size_t i)
{
    return i == 0 ? &m_head : at(i - 1);
}

void UtSlistCore::insertAt(std::size_t i, UtSlistLink* link)
{
    if (i > m_count) {
        throwIndexError(i, m_count);
    }
    insertAfter(i == m_count ? m_last : linkBefore(i), link);
}

UtSlistLink* UtSlistCore::removeAt(std::size_t i)
{
    if (i >= m_count) {
        throwIndexError(i, m_count);
    }
    return removeAfter(linkBefore(i));
}

UtSlistLink* UtSlistCore::removeLink(UtSlistLink* link)
{
    if (link == nullptr || link == &m_head || link == &m_tail) {
        return nullptr;
    }
    // Point the tail at the link for the length of the search, so the walk
    // stops there at the latest; reaching the tail means it is not an element.
    m_tail.next = link;
    UtSlistLink* prev = &m_head;
    while (prev->next != link) {
        prev = prev->next;
    }
    m_tail.next = &m_tail;
    if (prev == &m_tail) {
        return nullptr;
    }

    prev->next = link->next;
    if (m_last == link) {
        m_last = prev;
    }
    link->next = nullptr;
    --m_count;
    return link;
}

UtSlistLink* UtSlistCore::findPredecessor(const UtSlistLink* link)
{
    if (link == nullptr) {
        return nullptr;
    }
    for (UtSlistLink* prev = &m_head; !isEnd(prev); prev = prev->next) {
        if (prev->next == link) {
            return isEnd(link) ? nullptr : prev;
        }
    }
    return nullptr;
}

bool UtSlistCore::containsLink(const UtSlistLink* link) const
{
    return link != nullptr && isElement(link);
}

bool UtSlistCore::isElement(const UtSlistLink* link) const
{
    for (const UtSlistLink* cur = m_head.next; !isEnd(cur); cur = cur->next) {
        if (cur == link) {
            return true;
        }
    }
    return false;
}
