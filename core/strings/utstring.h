#pragma once
// UtCString: the reference-counted narrow string of the whole system.
//
// A UtCString is one pointer: the address of the first text byte of a shared
// representation (see utstringrep.h), so chars() is always a valid
// NUL-terminated text and passing a string by value costs one pointer copy
// and one atomic increment. Copies share the representation; any edit first
// gives the edited string a private block (copy-on-write), so an edit never
// shows in a copy. Embedded NUL bytes are allowed.
//
// A string object belongs to one thread at a time; copies of it may be held
// and released by any number of threads.
//
// Sizes and positions are 32-bit; npos (0xFFFFFFFF) means "not found".
// A null const char* is treated as empty text everywhere.

#include "core/qvexport.h"
#include "core/strings/utstringrep.h"

#include <cstdint>

class UtCString;
template <class StringT> class UtBasicStringSlice;
using UtCStringSlice = UtBasicStringSlice<UtCString>;

// Concatenations, each in a new block of adjusted capacity.
QV_API UtCString operator+(const UtCString& a, const char* b);
QV_API UtCString operator+(const char* a, const UtCString& b);
QV_API UtCString operator+(const UtCString& a, const UtCString& b);

// Case-converted copies (capacity equal to the length).
QV_API UtCString toLower(const UtCString& s);
QV_API UtCString toUpper(const UtCString& s);

class QV_API UtCString
{
public:
    using char_type = char;
    using Rep = UtCStringRep;

    static constexpr std::uint32_t npos = UtNpos;
    // caseCompare arguments: 0 exact, any other value ignores case.
    static constexpr int exact = 0;
    static constexpr int ignoreCase = 1;
    // strip() types: which runs of the character to remove.
    static constexpr int stripLeading = 1;
    static constexpr int stripTrailing = 2;
    static constexpr int stripBoth = 3;

    // ---- Construction ------------------------------------------------------------
    UtCString() noexcept;
    // An empty string with room for `capacity` bytes (0 shares the empty
    // representation).
    explicit UtCString(std::uint32_t capacity);
    // A NUL-terminated text; capacity equals its length.
    UtCString(const char* s);
    // n bytes from s, NULs kept; capacity n.
    UtCString(const char* s, std::uint32_t n);
    // One byte; capacity is the initial capacity setting.
    explicit UtCString(char c);
    // n copies of c; capacity n.
    UtCString(char c, std::uint32_t n);
    // The bytes of a substring in a block of adjusted capacity (a null
    // substring gives an empty text).
    UtCString(const UtCStringSlice& slice);
    UtCString(const UtCString& other) noexcept;
    UtCString(UtCString&& other) noexcept;
    ~UtCString();

    UtCString& operator=(const UtCString& other) noexcept;
    UtCString& operator=(UtCString&& other) noexcept;
    UtCString& operator=(const char* s);

    // A deep copy with capacity equal to the length.
    UtCString copy() const;

    // ---- Capacity settings (process-wide, per library copy) ------------------
    static std::uint32_t initialCapacity() noexcept;
    static std::uint32_t resizeIncrement() noexcept;
    static std::uint32_t maxWaste() noexcept;
    static std::uint32_t setInitialCapacity(std::uint32_t value) noexcept;
    static std::uint32_t setResizeIncrement(std::uint32_t value) noexcept;
    static std::uint32_t setMaxWaste(std::uint32_t value) noexcept;
    static std::uint32_t adjustCapacity(std::uint32_t n) noexcept;

    // ---- Queries -----------------------------------------------------------------
    const char* chars() const noexcept { return m_text; }
    std::uint32_t length() const noexcept { return Rep::of(m_text)->length(); }
    std::uint32_t capacity() const noexcept { return Rep::of(m_text)->capacity(); }
    bool isNull() const noexcept { return length() == 0; }
    // No byte has its top bit set.
    bool isAscii() const noexcept;
    // Number of multibyte characters in the current locale up to the length
    // or the first NUL; npos for an invalid or incomplete sequence.
    std::uint32_t mbLength() const;

    // Unchecked read of byte i.
    char operator[](std::uint32_t i) const noexcept { return m_text[i]; }
    // Checked access: raises UtBoundsErr ("[INDEX]") for i outside the text.
    // The writable form makes the string private first.
    char& at(std::uint32_t i);
    char at(std::uint32_t i) const;

    // ---- Edits -------------------------------------------------------------------
    // The core edit: `removed` bytes at pos replaced by n bytes from src.
    // pos past the end is a caller error (asserts in debug builds, clamped).
    UtCString& replace(std::uint32_t pos, std::uint32_t removed, const char* src, std::uint32_t n);
    UtCString& append(const char* s);
    UtCString& append(const char* s, std::uint32_t n);
    UtCString& append(const UtCString& t);
    UtCString& operator+=(const char* s) { return append(s); }
    UtCString& operator+=(const UtCString& t) { return append(t); }
    UtCString& appendRepeated(char c, std::uint32_t n);
    UtCString& prependRepeated(char c, std::uint32_t n);
    // Cuts the text at pos (clamped to the length; asserts in debug builds).
    UtCString& truncate(std::uint32_t pos);
    // Truncates to n bytes or pads with blanks up to n.
    UtCString& resize(std::uint32_t n);
    // A private block of exactly n when n exceeds the length and differs from
    // the capacity; returns the capacity.
    std::uint32_t setCapacity(std::uint32_t n);
    // Ensures a private block with room for n bytes.
    void reserve(std::uint32_t n);
    // Empties the string, keeping a private block with room for n bytes.
    void clearKeepCapacity(std::uint32_t n);
    UtCString& toLower();
    UtCString& toUpper();

    // ---- Comparison and hashing -----------------------------------------------
    // -1, 0 or 1. Bytes compare as signed chars (exact) or by their tolower
    // forms (ignoring case).
    int compareTo(const char* s, int caseCompare = exact) const noexcept;
    // Exact: memcmp over the shorter length (unsigned bytes), its non-zero
    // result returned unchanged, then the shorter string is less. Ignoring
    // case: tolower forms as signed chars, -1 or 1, then the lengths.
    int compareTo(const UtCString& t, int caseCompare = exact) const noexcept;
    // strcoll of the two texts.
    int collate(const char* s) const noexcept;
    std::uint32_t hash(int caseCompare = exact) const noexcept;

    // ---- Searches (indices, npos when not found) ------------------------------
    // strchr / strrchr / strpbrk semantics: stop at the first NUL.
    std::uint32_t firstChar(char c) const noexcept;
    std::uint32_t lastChar(char c) const noexcept;
    std::uint32_t firstOf(const char* set) const noexcept;
    std::uint32_t indexOf(const char* pattern, std::uint32_t patternLength, std::uint32_t start,
                          int caseCompare) const;
    std::uint32_t indexOf(const char* pattern, std::uint32_t start = 0,
                          int caseCompare = exact) const;
    std::uint32_t indexOf(const UtCString& pattern, std::uint32_t start = 0,
                          int caseCompare = exact) const;

    // ---- Substrings (utsubstring.h) -----------------------------------------------
    // The range (start, extent). A range past the end is a caller error: it
    // asserts in debug builds and is clamped to the text.
    UtCStringSlice slice(std::uint32_t start, std::uint32_t extent);
    const UtCStringSlice slice(std::uint32_t start, std::uint32_t extent) const;
    // The first occurrence of pattern at or after start; the null substring
    // when there is none.
    UtCStringSlice sliceOf(const char* pattern, std::uint32_t start = 0, int caseCompare = exact);
    const UtCStringSlice sliceOf(const char* pattern, std::uint32_t start = 0,
                                 int caseCompare = exact) const;
    // The text without its leading (type bit 1) and/or trailing (bit 2) runs
    // of c; the null substring when nothing is left.
    UtCStringSlice strip(int type, char c = ' ');
    const UtCStringSlice strip(int type, char c = ' ') const;

private:
    template <class> friend class UtBasicStringSlice;
    friend UtCString operator+(const UtCString& a, const char* b);
    friend UtCString operator+(const char* a, const UtCString& b);
    friend UtCString operator+(const UtCString& a, const UtCString& b);
    friend UtCString toLower(const UtCString& s);
    friend UtCString toUpper(const UtCString& s);

    // Takes over a text pointer that already carries a reference.
    struct Adopt
    {
    };
    UtCString(char* text, Adopt) noexcept : m_text(text) {}

    char* m_text;
};

static_assert(sizeof(UtCString) == sizeof(void*), "a string handle is one pointer");

// Every byte and the length match.
QV_API bool operator==(const UtCString& a, const char* b) noexcept;
QV_API bool operator==(const UtCString& a, const UtCString& b) noexcept;

#include "core/strings/utsubstring.h"
