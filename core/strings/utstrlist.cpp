#include "core/strings/utstrlist.h"

#include <utility>

struct UtCStringSlist::Node : UtSlistLink
{
    explicit Node(const UtCString& s) : text(s) {}
    UtCString text;
};

UtCStringSlist::~UtCStringSlist()
{
    deleteAllStrings();
}

void UtCStringSlist::addAtTail(const UtCString& text)
{
    insertAfter(lastLink(), new Node(text));
}

void UtCStringSlist::addAtHead(const UtCString& text)
{
    insertAfter(headLink(), new Node(text));
}

UtCString UtCStringSlist::removeFirst()
{
    if (isEmpty()) {
        return UtCString();
    }
    UtSlistLink* link = removeAfter(headLink());
    UtCString text = static_cast<Node*>(link)->text;
    destroyNode(link);
    return text;
}

const UtCString& UtCStringSlist::at(std::size_t i) const
{
    return static_cast<const Node*>(UtSlistCore::at(i))->text;
}

void UtCStringSlist::deleteAllStrings()
{
    UtSlistLink* link = firstLink();
    while (link != nullptr) {
        UtSlistLink* next = nextLink(link);
        destroyNode(link);
        link = next;
    }
    reset();
}

void UtCStringSlist::destroyNode(UtSlistLink* link)
{
    delete static_cast<Node*>(link);
}

UtCStringSlistIterator::UtCStringSlistIterator(const UtCStringSlist& list)
    : m_list(&list), m_current(nullptr), m_started(false)
{
}

bool UtCStringSlistIterator::next()
{
    const UtSlistCore& core = m_list->core();
    if (!m_started) {
        m_started = true;
        m_current = core.firstLink();
    } else if (m_current != nullptr) {
        m_current = core.nextLink(m_current);
    }
    return m_current != nullptr;
}

void UtCStringSlistIterator::reset()
{
    m_current = nullptr;
    m_started = false;
}

UtCString UtCStringSlistIterator::currentString() const
{
    if (m_current == nullptr) {
        return UtCString();
    }
    return static_cast<const UtCStringSlist::Node*>(m_current)->text;
}
