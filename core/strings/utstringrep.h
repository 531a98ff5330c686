#pragma once
// The shared, reference-counted representation behind the narrow and the wide
// string classes, and the copy-on-write editing machinery both use.
//
// A representation is one heap block: three 32-bit header words (stored
// reference count, capacity, length) followed directly by capacity + 1
// elements of text. A string handle holds only the address of the first text
// element; the header sits immediately before it. text[length] is always 0.
//
// The stored count is the number of references minus one, so a new block
// stores 0. Counts change with atomic read-modify-write operations; a block is
// written in place only by its sole owner, so no other lock is needed.
//
// Each element type has its own static empty representation (never freed) and
// its own three capacity settings.

#include "core/qvexport.h"

#include <atomic>
#include <cstdint>

// Position meaning "not found" in search results and marking the null
// substring; all ones of a 32-bit size.
inline constexpr std::uint32_t UtNpos = 0xFFFFFFFFu;

template <class CharT> class QV_API UtStringRep
{
public:
    // Longest text a block can hold: lengths are 32-bit and npos is reserved.
    static constexpr std::uint32_t maxLength = UtNpos - 1;

    constexpr UtStringRep(std::uint32_t capacity, std::uint32_t length) noexcept
        : m_count(0), m_capacity(capacity), m_length(length)
    {
    }
    UtStringRep(const UtStringRep&) = delete;
    UtStringRep& operator=(const UtStringRep&) = delete;

    // ---- Layout ----------------------------------------------------------
    CharT* text() noexcept { return reinterpret_cast<CharT*>(this + 1); }
    static UtStringRep* of(const CharT* text) noexcept
    {
        return reinterpret_cast<UtStringRep*>(const_cast<CharT*>(text)) - 1;
    }
    std::uint32_t capacity() const noexcept { return m_capacity; }
    std::uint32_t length() const noexcept { return m_length; }
    // Number of handles sharing this block (the stored count plus one).
    std::uint32_t references() const noexcept
    {
        return m_count.load(std::memory_order_acquire) + 1;
    }
    bool isShared() const noexcept { return m_count.load(std::memory_order_acquire) != 0; }

    // ---- Reference counting --------------------------------------------------
    void addReference() noexcept { m_count.fetch_add(1, std::memory_order_relaxed); }
    // Returns the stored count before the decrement; 0 means the last
    // reference just went.
    std::uint32_t removeReference() noexcept
    {
        return m_count.fetch_sub(1, std::memory_order_acq_rel);
    }

    // ---- Allocation ------------------------------------------------------------
    // A block for `capacity` elements holding `length` of them (the caller
    // fills them; the terminator is set). Both 0 gives the shared empty
    // representation with a reference added. Raises Utxalloc when the block
    // cannot be allocated.
    static CharT* allocate(std::uint32_t capacity, std::uint32_t length);
    // The shared empty representation's text, with a reference added.
    static CharT* empty() noexcept;
    // True for the text of the shared empty representation.
    static bool isEmptyRep(const CharT* text) noexcept;
    // Adds a reference to the block of `text` and returns `text`.
    static CharT* share(CharT* text) noexcept;
    // Drops one reference; the releaser that takes the last one frees the block.
    static void release(CharT* text) noexcept;

    // ---- Capacity settings -------------------------------------------------
    static std::uint32_t initialCapacity() noexcept;
    static std::uint32_t resizeIncrement() noexcept;
    static std::uint32_t maxWaste() noexcept;
    // Each setter returns the previous value.
    static std::uint32_t setInitialCapacity(std::uint32_t value) noexcept;
    static std::uint32_t setResizeIncrement(std::uint32_t value) noexcept;
    static std::uint32_t setMaxWaste(std::uint32_t value) noexcept;
    // The initial capacity for n up to it, otherwise the initial capacity
    // plus whole resize increments until n fits.
    static std::uint32_t adjustCapacity(std::uint32_t n) noexcept;

    // ---- Building new blocks --------------------------------------------------
    // n elements copied from src (null counts as none), capacity exactly n.
    static CharT* fromRange(const CharT* src, std::uint32_t n);
    // n copies of c, capacity exactly n.
    static CharT* repeated(CharT c, std::uint32_t n);
    // na elements of a followed by nb of b, in a block of adjusted capacity.
    static CharT* concatenate(const CharT* a, std::uint32_t na, const CharT* b, std::uint32_t nb);

    // ---- Editing a handle --------------------------------------------------------
    // Each takes the handle's text pointer by reference and may move it to a
    // new block, releasing the old one.

    // Gives a shared handle a private copy of exact size; a sole owner keeps
    // its block.
    static void copyOnWrite(CharT*& text);
    // Replaces `removed` elements at pos with `inserted` elements from src.
    // In place only for a sole owner whose block fits the result without
    // wasting more than the maximum waste, and when src is not inside the
    // block; otherwise builds a block of adjusted capacity. A pos past the end
    // is a caller error: it asserts in debug builds and is clamped to the end.
    static void replace(CharT*& text, std::uint32_t pos, std::uint32_t removed, const CharT* src,
                        std::uint32_t inserted);
    // Assignment of a NUL-terminated text: an empty text keeps a sole owner's
    // block and moves a shared handle to the empty representation.
    static void assign(CharT*& text, const CharT* src, std::uint32_t n);
    // n copies of c after the text; grows to exactly length + n.
    static void appendRepeated(CharT*& text, CharT c, std::uint32_t n);
    // n copies of c before the text.
    static void prependRepeated(CharT*& text, CharT c, std::uint32_t n);
    // Cuts the text at pos (clamped to the length, asserting in debug builds).
    static void truncate(CharT*& text, std::uint32_t pos);
    // Truncates, or pads with `pad` to n elements.
    static void resize(CharT*& text, std::uint32_t n, CharT pad);
    // A private block of exactly n when n exceeds the length and differs from
    // the capacity. Returns the capacity afterwards.
    static std::uint32_t setCapacity(CharT*& text, std::uint32_t n);
    // Ensures a private block of at least n; a new one is exactly n and keeps
    // the first min(length, n) elements.
    static void reserve(CharT*& text, std::uint32_t n);
    // Empties the text, keeping a private block of at least n.
    static void clearKeepCapacity(CharT*& text, std::uint32_t n);
    // Case conversion of count elements from start, after copy-on-write.
    // The range is clamped to the text.
    static void toLower(CharT*& text, std::uint32_t start, std::uint32_t count);
    static void toUpper(CharT*& text, std::uint32_t start, std::uint32_t count);

    // ---- Queries ----------------------------------------------------------------
    // Elements before the first 0 of a NUL-terminated text; null counts as
    // empty.
    static std::uint32_t textLength(const CharT* s);
    // First position p >= start where the pattern matches (exactly, or
    // ignoring case when caseCompare is non-zero); npos when none.
    static std::uint32_t indexOf(const CharT* text, const CharT* pattern,
                                 std::uint32_t patternLength, std::uint32_t start, int caseCompare);
    // Raises UtBoundsErr with the "[INDEX]" message when i is npos or not
    // below size.
    static void checkIndex(std::uint32_t i, std::uint32_t size);
    static bool isAscii(const CharT* text) noexcept;
    // Clamps a range (start, extent) to the text. A range past the end is a
    // caller error and asserts in debug builds.
    static void clampRange(const CharT* text, std::uint32_t& start, std::uint32_t& extent) noexcept;
    // The range left after removing the leading run of c (type bit 1) and/or
    // the trailing run (bit 2). False when nothing is left, or the text is
    // empty.
    static bool stripRange(const CharT* text, int type, CharT c, std::uint32_t& start,
                           std::uint32_t& extent) noexcept;

    // Case mapping of one element (the runtime library's tolower/toupper on
    // the element's unsigned value).
    static CharT lower(CharT c) noexcept;
    static CharT upper(CharT c) noexcept;

private:
    static void setLength(CharT* text, std::uint32_t length) noexcept;
    // Replaces the handle's block with a new private one of exactly
    // `capacity` holding its first `keep` elements.
    static void moveToNewBlock(CharT*& text, std::uint32_t capacity, std::uint32_t keep);

    std::atomic<std::uint32_t> m_count;
    std::uint32_t m_capacity;
    std::uint32_t m_length;
};

static_assert(sizeof(UtStringRep<char>) == 12, "the header is three 32-bit words");
static_assert(sizeof(UtStringRep<char16_t>) == 12, "the header is three 32-bit words");

template <> char UtStringRep<char>::lower(char c) noexcept;
template <> char UtStringRep<char>::upper(char c) noexcept;
template <> char16_t UtStringRep<char16_t>::lower(char16_t c) noexcept;
template <> char16_t UtStringRep<char16_t>::upper(char16_t c) noexcept;

extern template class UtStringRep<char>;
extern template class UtStringRep<char16_t>;

using UtCStringRep = UtStringRep<char>;
using UtWideStringRep = UtStringRep<char16_t>;
