#pragma once
// Singly linked lists.
//
// UtSlistCore is an intrusive list of UtSlistLink elements: every element
// starts with a link, and the core only rewires next pointers; it never
// allocates, copies or frees elements. UtTPtrSlist<T> builds a list of T
// pointers on it whose nodes it owns; the pointed-to items stay the caller's.
//
// None of these lists locks: an owner that shares a list between threads holds
// its own lock around every operation, lookups included.

#include "core/qvexport.h"

#include <cstddef>
#include <iterator>
#include <memory>

// The first word of every list element.
struct UtSlistLink
{
    UtSlistLink* next = nullptr;
};

// The list core. Following next pointers from the head passes entries()
// elements and reaches the tail sentinel, whose next pointer points to itself;
// lastLink() is the link whose next is the tail (the head when empty).
//
// The core points into itself, so it can be neither copied nor moved.
class QV_API UtSlistCore
{
public:
    UtSlistCore();
    // A list holding exactly this link.
    explicit UtSlistCore(UtSlistLink* link);
    UtSlistCore(const UtSlistCore&) = delete;
    UtSlistCore& operator=(const UtSlistCore&) = delete;
    ~UtSlistCore() = default;

    // Links `link` in after `prev` (the head link or an element).
    void insertAfter(UtSlistLink* prev, UtSlistLink* link);
    // Unlinks and returns the element after `prev`; null when prev is null or
    // nothing follows it.
    UtSlistLink* removeAfter(UtSlistLink* prev);

    // Indexed operations; a bad index raises UtBoundsErr "[INDEXERR] ...".
    UtSlistLink* at(std::size_t i) const;            // i < entries()
    void insertAt(std::size_t i, UtSlistLink* link); // i <= entries()
    UtSlistLink* removeAt(std::size_t i);            // i < entries()

    // Unlinks `link` if it is an element (its next pointer becomes null) and
    // returns it; null when it is not in the list.
    UtSlistLink* removeLink(UtSlistLink* link);
    // The link (the head link or an element) whose next is `link`; null when
    // `link` is null or not an element.
    UtSlistLink* findPredecessor(const UtSlistLink* link);
    bool containsLink(const UtSlistLink* link) const;

    std::size_t entries() const { return m_count; }
    bool isEmpty() const { return m_count == 0; }

    // Walking the elements: firstLink() and nextLink() give null at the end.
    UtSlistLink* firstLink() const { return isEnd(m_head.next) ? nullptr : m_head.next; }
    UtSlistLink* nextLink(const UtSlistLink* link) const
    {
        return isEnd(link->next) ? nullptr : link->next;
    }

    UtSlistLink* headLink() { return &m_head; }
    const UtSlistLink* headLink() const { return &m_head; }
    const UtSlistLink* tailLink() const { return &m_tail; }
    UtSlistLink* lastLink() const { return m_last; }

protected:
    // Forgets every element (the owner has already disposed of them).
    void reset();

private:
    bool isEnd(const UtSlistLink* link) const { return link == &m_tail; }
    bool isElement(const UtSlistLink* link) const;
    UtSlistLink* linkBefore(std::size_t i);

    UtSlistLink m_head;
    UtSlistLink m_tail;
    UtSlistLink* m_last;
    std::size_t m_count;
};

// A singly linked list of T pointers. The list owns its nodes, never the items:
// clearing or destroying it frees the nodes only. Appending at the tail and
// removing at the head take constant time; indexed access walks the list.
template <class T> class UtTPtrSlist : private UtSlistCore
{
    struct Node : UtSlistLink
    {
        explicit Node(T* p) : item(p) {}
        T* item;
    };

public:
    class const_iterator
    {
    public:
        using iterator_category = std::forward_iterator_tag;
        using value_type = T*;
        using difference_type = std::ptrdiff_t;
        using pointer = T* const*;
        using reference = T* const&;

        const_iterator() = default;
        reference operator*() const { return static_cast<const Node*>(m_link)->item; }
        const_iterator& operator++()
        {
            m_link = m_list->nextLink(m_link);
            return *this;
        }
        const_iterator operator++(int)
        {
            const_iterator before = *this;
            ++*this;
            return before;
        }
        bool operator==(const const_iterator& other) const { return m_link == other.m_link; }

    private:
        friend class UtTPtrSlist;
        const_iterator(const UtSlistCore* list, const UtSlistLink* link)
            : m_list(list), m_link(link)
        {
        }
        const UtSlistCore* m_list = nullptr;
        const UtSlistLink* m_link = nullptr;
    };

    UtTPtrSlist() = default;
    ~UtTPtrSlist() { clear(); }

    void addAtTail(T* item) { insertAfter(lastLink(), new Node(item)); }
    void addAtHead(T* item) { insertAfter(headLink(), new Node(item)); }
    // Inserts before the i-th item; i = entries() appends.
    void insertAt(std::size_t i, T* item)
    {
        auto node = std::make_unique<Node>(item);
        UtSlistCore::insertAt(i, node.get());
        node.release();
    }

    // Removes the first item and returns it; null when the list is empty.
    T* removeFirst() { return isEmpty() ? nullptr : takeNode(removeAfter(headLink())); }
    // Removes and returns the i-th item.
    T* removeAt(std::size_t i) { return takeNode(UtSlistCore::removeAt(i)); }
    // Removes the first item for which pred(item) holds and returns it; null
    // when there is none.
    template <class Pred> T* removeFirstIf(Pred pred)
    {
        for (UtSlistLink* prev = headLink(); prev != lastLink(); prev = prev->next) {
            if (pred(static_cast<Node*>(prev->next)->item)) {
                return takeNode(removeAfter(prev));
            }
        }
        return nullptr;
    }

    T* at(std::size_t i) const { return static_cast<Node*>(UtSlistCore::at(i))->item; }
    T* first() const { return isEmpty() ? nullptr : static_cast<Node*>(firstLink())->item; }
    T* last() const { return isEmpty() ? nullptr : static_cast<Node*>(lastLink())->item; }

    using UtSlistCore::entries;
    using UtSlistCore::isEmpty;

    // Frees every node; the items are left alone.
    void clear()
    {
        UtSlistLink* link = firstLink();
        while (link != nullptr) {
            UtSlistLink* next = nextLink(link);
            delete static_cast<Node*>(link);
            link = next;
        }
        reset();
    }

    const_iterator begin() const { return const_iterator(this, firstLink()); }
    const_iterator end() const { return const_iterator(this, nullptr); }

    // The underlying core, for inspecting its links.
    const UtSlistCore& core() const { return *this; }

private:
    static T* takeNode(UtSlistLink* link)
    {
        Node* node = static_cast<Node*>(link);
        T* item = node->item;
        delete node;
        return item;
    }
};
