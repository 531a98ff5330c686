#include "core/strings/utstringrep.h"

#include "core/strings/utxmsg.h"

#include <cassert>
#include <cctype>
#include <cstddef>
#include <cstring>
#include <cwctype>
#include <functional>
#include <new>

namespace {

// The shared empty representation: a header with count 0 (its own permanent
// reference), capacity 0 and length 0, directly followed by one 0 element.
// It is constant-initialised, so strings built during static initialisation
// of other files can use it.
template <class CharT> struct EmptyBlock
{
    UtStringRep<CharT> rep;
    CharT text[1];
};

template <class CharT> constinit EmptyBlock<CharT> g_empty{{0, 0}, {0}};

static_assert(offsetof(EmptyBlock<char>, text) == sizeof(UtStringRep<char>));
static_assert(offsetof(EmptyBlock<char16_t>, text) == sizeof(UtStringRep<char16_t>));

// The three capacity settings, one set per element type.
template <class CharT> constinit std::atomic<std::uint32_t> g_initialCapacity{15};
template <class CharT> constinit std::atomic<std::uint32_t> g_resizeIncrement{16};
template <class CharT> constinit std::atomic<std::uint32_t> g_maxWaste{15};

[[noreturn]] void raiseNoMemory(std::uint64_t bytes)
{
    const auto size = bytes > UtNpos ? UtNpos : static_cast<std::uint32_t>(bytes);
    throwError(Utxalloc(size));
}

// A length that cannot be held in a block is as unsatisfiable as a failed
// allocation.
std::uint32_t checkedLength(std::uint64_t n, std::size_t elementSize)
{
    if (n > UtStringRep<char>::maxLength) {
        raiseNoMemory(n * elementSize);
    }
    return static_cast<std::uint32_t>(n);
}

template <class CharT> void copyElements(CharT* dst, const CharT* src, std::uint32_t n) noexcept
{
    if (n != 0) {
        std::memcpy(dst, src, std::size_t{n} * sizeof(CharT));
    }
}

template <class CharT> void moveElements(CharT* dst, const CharT* src, std::uint32_t n) noexcept
{
    if (n != 0) {
        std::memmove(dst, src, std::size_t{n} * sizeof(CharT));
    }
}

template <class CharT> void fillElements(CharT* dst, CharT c, std::uint32_t n) noexcept
{
    for (std::uint32_t i = 0; i < n; ++i) {
        dst[i] = c;
    }
}

// True when p points anywhere into the block of `text` (its text area,
// spare capacity included). std::less gives a total order on pointers into
// unrelated objects.
template <class CharT>
bool pointsIntoBlock(const CharT* p, const CharT* text, std::uint32_t capacity) noexcept
{
    const std::less<const CharT*> before;
    return p != nullptr && !before(p, text) && before(p, text + capacity + 1);
}

} // namespace

// ---- Case mapping of one element ----------------------------------------------

template <> char UtStringRep<char>::lower(char c) noexcept
{
    return static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
}

template <> char UtStringRep<char>::upper(char c) noexcept
{
    return static_cast<char>(std::toupper(static_cast<unsigned char>(c)));
}

template <> char16_t UtStringRep<char16_t>::lower(char16_t c) noexcept
{
    const std::wint_t folded = std::towlower(static_cast<std::wint_t>(c));
    return folded > 0xFFFF ? c : static_cast<char16_t>(folded);
}

template <> char16_t UtStringRep<char16_t>::upper(char16_t c) noexcept
{
    const std::wint_t folded = std::towupper(static_cast<std::wint_t>(c));
    return folded > 0xFFFF ? c : static_cast<char16_t>(folded);
}

// ---- Allocation ------------------------------------------------------------

template <class CharT>
CharT* UtStringRep<CharT>::allocate(std::uint32_t capacity, std::uint32_t length)
{
    if (capacity == 0 && length == 0) {
        return empty();
    }
    assert(length <= capacity);
    const std::uint64_t bytes = sizeof(UtStringRep) + (std::uint64_t{capacity} + 1) * sizeof(CharT);
    void* block = ::operator new(static_cast<std::size_t>(bytes), std::nothrow);
    if (block == nullptr) {
        raiseNoMemory(bytes);
    }
    auto* rep = ::new (block) UtStringRep(capacity, length);
    rep->text()[length] = CharT{0};
    return rep->text();
}

template <class CharT> CharT* UtStringRep<CharT>::empty() noexcept
{
    g_empty<CharT>.rep.addReference();
    return g_empty<CharT>.rep.text();
}

template <class CharT> bool UtStringRep<CharT>::isEmptyRep(const CharT* text) noexcept
{
    return of(text) == &g_empty<CharT>.rep;
}

template <class CharT> CharT* UtStringRep<CharT>::share(CharT* text) noexcept
{
    of(text)->addReference();
    return text;
}

template <class CharT> void UtStringRep<CharT>::release(CharT* text) noexcept
{
    UtStringRep* rep = of(text);
    if (rep->removeReference() == 0 && rep != &g_empty<CharT>.rep) {
        rep->~UtStringRep();
        ::operator delete(static_cast<void*>(rep));
    }
}

// ---- Settings --------------------------------------------------------------

template <class CharT> std::uint32_t UtStringRep<CharT>::initialCapacity() noexcept
{
    return g_initialCapacity<CharT>.load(std::memory_order_relaxed);
}

template <class CharT> std::uint32_t UtStringRep<CharT>::resizeIncrement() noexcept
{
    return g_resizeIncrement<CharT>.load(std::memory_order_relaxed);
}

template <class CharT> std::uint32_t UtStringRep<CharT>::maxWaste() noexcept
{
    return g_maxWaste<CharT>.load(std::memory_order_relaxed);
}

template <class CharT>
std::uint32_t UtStringRep<CharT>::setInitialCapacity(std::uint32_t value) noexcept
{
    return g_initialCapacity<CharT>.exchange(value, std::memory_order_relaxed);
}

template <class CharT>
std::uint32_t UtStringRep<CharT>::setResizeIncrement(std::uint32_t value) noexcept
{
    return g_resizeIncrement<CharT>.exchange(value, std::memory_order_relaxed);
}

template <class CharT> std::uint32_t UtStringRep<CharT>::setMaxWaste(std::uint32_t value) noexcept
{
    return g_maxWaste<CharT>.exchange(value, std::memory_order_relaxed);
}

template <class CharT> std::uint32_t UtStringRep<CharT>::adjustCapacity(std::uint32_t n) noexcept
{
    const std::uint64_t initial = initialCapacity();
    if (n <= initial) {
        return static_cast<std::uint32_t>(initial);
    }
    // An increment of 0 would never grow; step by single elements instead.
    const std::uint64_t step = resizeIncrement() == 0 ? 1 : resizeIncrement();
    const std::uint64_t steps = (n - initial + step - 1) / step;
    const std::uint64_t adjusted = initial + steps * step;
    return adjusted > maxLength ? maxLength : static_cast<std::uint32_t>(adjusted);
}

// ---- Building new blocks --------------------------------------------------------

template <class CharT> CharT* UtStringRep<CharT>::fromRange(const CharT* src, std::uint32_t n)
{
    if (src == nullptr) {
        n = 0;
    }
    CharT* text = allocate(n, n);
    copyElements(text, src, n);
    return text;
}

template <class CharT> CharT* UtStringRep<CharT>::repeated(CharT c, std::uint32_t n)
{
    CharT* text = allocate(n, n);
    fillElements(text, c, n);
    return text;
}

template <class CharT>
CharT* UtStringRep<CharT>::concatenate(const CharT* a, std::uint32_t na, const CharT* b,
                                       std::uint32_t nb)
{
    if (a == nullptr) {
        na = 0;
    }
    if (b == nullptr) {
        nb = 0;
    }
    const std::uint32_t n = checkedLength(std::uint64_t{na} + nb, sizeof(CharT));
    CharT* text = allocate(adjustCapacity(n), n);
    copyElements(text, a, na);
    copyElements(text + na, b, nb);
    return text;
}

// ---- Editing -------------------------------------------------------------------

template <class CharT>
void UtStringRep<CharT>::setLength(CharT* text, std::uint32_t length) noexcept
{
    of(text)->m_length = length;
    text[length] = CharT{0};
}

template <class CharT>
void UtStringRep<CharT>::moveToNewBlock(CharT*& text, std::uint32_t capacity, std::uint32_t keep)
{
    CharT* fresh = allocate(capacity, keep);
    copyElements(fresh, text, keep);
    release(text);
    text = fresh;
}

template <class CharT> void UtStringRep<CharT>::copyOnWrite(CharT*& text)
{
    if (of(text)->isShared()) {
        const std::uint32_t n = of(text)->length();
        moveToNewBlock(text, n, n);
    }
}

template <class CharT>
void UtStringRep<CharT>::replace(CharT*& text, std::uint32_t pos, std::uint32_t removed,
                                 const CharT* src, std::uint32_t inserted)
{
    UtStringRep* rep = of(text);
    const std::uint32_t length = rep->length();
    assert(pos <= length && "replace position past the end");
    if (pos > length) {
        pos = length;
    }
    if (removed > length - pos) {
        removed = length - pos;
    }
    if (src == nullptr) {
        inserted = 0;
    }
    const std::uint32_t newLength =
        checkedLength(std::uint64_t{length} - removed + inserted, sizeof(CharT));
    const std::uint32_t tail = length - pos - removed;
    const std::uint32_t capacity = rep->capacity();

    const bool inPlace = !rep->isShared() && capacity >= newLength &&
                         capacity - newLength <= maxWaste() &&
                         !pointsIntoBlock(src, text, capacity);
    if (inPlace) {
        moveElements(text + pos + inserted, text + pos + removed, tail);
        moveElements(text + pos, src, inserted);
        setLength(text, newLength);
        return;
    }
    CharT* fresh = allocate(adjustCapacity(newLength), newLength);
    copyElements(fresh, text, pos);
    copyElements(fresh + pos, src, inserted);
    copyElements(fresh + pos + inserted, text + pos + removed, tail);
    release(text);
    text = fresh;
}

template <class CharT>
void UtStringRep<CharT>::assign(CharT*& text, const CharT* src, std::uint32_t n)
{
    if (src == nullptr || n == 0) {
        if (of(text)->isShared()) {
            release(text);
            text = empty();
        } else {
            setLength(text, 0);
        }
        return;
    }
    replace(text, 0, of(text)->length(), src, n);
}

template <class CharT>
void UtStringRep<CharT>::appendRepeated(CharT*& text, CharT c, std::uint32_t n)
{
    const std::uint32_t length = of(text)->length();
    const std::uint32_t newLength = checkedLength(std::uint64_t{length} + n, sizeof(CharT));
    if (of(text)->isShared() || of(text)->capacity() < newLength) {
        moveToNewBlock(text, newLength, length);
    }
    fillElements(text + length, c, n);
    setLength(text, newLength);
}

template <class CharT>
void UtStringRep<CharT>::prependRepeated(CharT*& text, CharT c, std::uint32_t n)
{
    const std::uint32_t length = of(text)->length();
    const std::uint32_t newLength = checkedLength(std::uint64_t{length} + n, sizeof(CharT));
    if (!of(text)->isShared() && of(text)->capacity() >= newLength) {
        moveElements(text + n, text, length);
    } else {
        CharT* fresh = allocate(adjustCapacity(newLength), newLength);
        copyElements(fresh + n, text, length);
        release(text);
        text = fresh;
    }
    fillElements(text, c, n);
    setLength(text, newLength);
}

template <class CharT> void UtStringRep<CharT>::truncate(CharT*& text, std::uint32_t pos)
{
    const std::uint32_t length = of(text)->length();
    assert(pos <= length && "truncate position past the end");
    if (pos > length) {
        pos = length;
    }
    replace(text, pos, length - pos, nullptr, 0);
}

template <class CharT> void UtStringRep<CharT>::resize(CharT*& text, std::uint32_t n, CharT pad)
{
    const std::uint32_t length = of(text)->length();
    if (n < length) {
        truncate(text, n);
    } else {
        appendRepeated(text, pad, n - length);
    }
}

template <class CharT> std::uint32_t UtStringRep<CharT>::setCapacity(CharT*& text, std::uint32_t n)
{
    const UtStringRep* rep = of(text);
    if (n > rep->length() && n != rep->capacity()) {
        moveToNewBlock(text, n, rep->length());
    }
    return of(text)->capacity();
}

template <class CharT> void UtStringRep<CharT>::reserve(CharT*& text, std::uint32_t n)
{
    const UtStringRep* rep = of(text);
    if (!rep->isShared() && rep->capacity() >= n) {
        return;
    }
    const std::uint32_t keep = rep->length() < n ? rep->length() : n;
    moveToNewBlock(text, n, keep);
}

template <class CharT> void UtStringRep<CharT>::clearKeepCapacity(CharT*& text, std::uint32_t n)
{
    const UtStringRep* rep = of(text);
    if (!rep->isShared() && rep->capacity() >= n) {
        setLength(text, 0);
        return;
    }
    release(text);
    text = allocate(n, 0);
}

template <class CharT>
void UtStringRep<CharT>::toLower(CharT*& text, std::uint32_t start, std::uint32_t count)
{
    copyOnWrite(text);
    const std::uint32_t length = of(text)->length();
    const std::uint32_t begin = start < length ? start : length;
    const std::uint32_t end = count < length - begin ? begin + count : length;
    for (std::uint32_t i = begin; i < end; ++i) {
        text[i] = lower(text[i]);
    }
}

template <class CharT>
void UtStringRep<CharT>::toUpper(CharT*& text, std::uint32_t start, std::uint32_t count)
{
    copyOnWrite(text);
    const std::uint32_t length = of(text)->length();
    const std::uint32_t begin = start < length ? start : length;
    const std::uint32_t end = count < length - begin ? begin + count : length;
    for (std::uint32_t i = begin; i < end; ++i) {
        text[i] = upper(text[i]);
    }
}

// ---- Queries ----------------------------------------------------------------------

template <class CharT> std::uint32_t UtStringRep<CharT>::textLength(const CharT* s)
{
    if (s == nullptr) {
        return 0;
    }
    std::uint64_t n = 0;
    while (s[n] != CharT{0}) {
        ++n;
    }
    return checkedLength(n, sizeof(CharT));
}

template <class CharT>
std::uint32_t UtStringRep<CharT>::indexOf(const CharT* text, const CharT* pattern,
                                          std::uint32_t patternLength, std::uint32_t start,
                                          int caseCompare)
{
    if (pattern == nullptr) {
        patternLength = 0;
    }
    const std::uint32_t length = of(text)->length();
    if (std::uint64_t{start} + patternLength > length) {
        return UtNpos;
    }
    if (patternLength == 0) {
        return start;
    }
    const bool fold = caseCompare != 0;
    const CharT first = fold ? lower(pattern[0]) : pattern[0];
    for (std::uint32_t p = start; p <= length - patternLength; ++p) {
        const CharT c = fold ? lower(text[p]) : text[p];
        if (c != first) {
            continue;
        }
        bool match = true;
        if (fold) {
            for (std::uint32_t i = 1; i < patternLength && match; ++i) {
                match = lower(text[p + i]) == lower(pattern[i]);
            }
        } else {
            match = std::memcmp(text + p + 1, pattern + 1,
                                std::size_t{patternLength - 1} * sizeof(CharT)) == 0;
        }
        if (match) {
            return p;
        }
    }
    return UtNpos;
}

template <class CharT> void UtStringRep<CharT>::checkIndex(std::uint32_t i, std::uint32_t size)
{
    if (i == UtNpos || i >= size) {
        const unsigned index = i;
        const unsigned last = size - 1;
        throwError(UtBoundsErr(UtMessageText(utToolsMsg_INDEX(), index, last)));
    }
}

template <class CharT>
void UtStringRep<CharT>::clampRange(const CharT* text, std::uint32_t& start,
                                    std::uint32_t& extent) noexcept
{
    const std::uint32_t length = of(text)->length();
    assert(start <= length && extent <= length - start && "range past the end");
    if (start > length) {
        start = length;
    }
    if (extent > length - start) {
        extent = length - start;
    }
}

template <class CharT>
bool UtStringRep<CharT>::stripRange(const CharT* text, int type, CharT c, std::uint32_t& start,
                                    std::uint32_t& extent) noexcept
{
    std::uint32_t begin = 0;
    std::uint32_t end = of(text)->length();
    if ((type & 1) != 0) {
        while (begin < end && text[begin] == c) {
            ++begin;
        }
    }
    if ((type & 2) != 0) {
        while (end > begin && text[end - 1] == c) {
            --end;
        }
    }
    if (begin == end) {
        return false;
    }
    start = begin;
    extent = end - begin;
    return true;
}

template <class CharT> bool UtStringRep<CharT>::isAscii(const CharT* text) noexcept
{
    const std::uint32_t length = of(text)->length();
    for (std::uint32_t i = 0; i < length; ++i) {
        if (static_cast<std::uint32_t>(text[i]) > 0x7F) {
            return false;
        }
    }
    return true;
}

template class UtStringRep<char>;
template class UtStringRep<char16_t>;
