#pragma once
// A singly linked list of strings held by value, on the same core as the
// pointer list. Unlike the pointer list it owns its contents: removing,
// clearing or destroying it destroys the strings with their nodes.

#include "core/qvexport.h"
#include "core/strings/utlist.h"
#include "core/strings/utstring.h"

#include <cstddef>

class QV_API UtCStringSlist : private UtSlistCore
{
public:
    UtCStringSlist() = default;
    ~UtCStringSlist();

    void addAtTail(const UtCString& text);
    void addAtHead(const UtCString& text);
    // Removes the first string and returns it; an empty string when the list
    // is empty.
    UtCString removeFirst();
    // The i-th string; a bad index raises UtBoundsErr "[INDEXERR] ...".
    const UtCString& at(std::size_t i) const;

    using UtSlistCore::entries;
    using UtSlistCore::isEmpty;

    // Destroys every string with its node; the list is empty afterwards.
    void deleteAllStrings();

    // The underlying core, for inspecting its links.
    const UtSlistCore& core() const { return *this; }

private:
    struct Node;
    static void destroyNode(UtSlistLink* link);

    friend class UtCStringSlistIterator;
};

// Walks a string list from the first string to the last. The list must not
// be changed while an iterator walks it.
class QV_API UtCStringSlistIterator
{
public:
    explicit UtCStringSlistIterator(const UtCStringSlist& list);

    // Moves to the next string (the first one on the first call); false once
    // it has passed the last.
    bool next();
    // Starts again before the first string.
    void reset();
    // A copy of the current string; empty before the first next() and after
    // the end.
    UtCString currentString() const;

private:
    const UtCStringSlist* m_list;
    const UtSlistLink* m_current; // null before the start and after the end
    bool m_started;
};
