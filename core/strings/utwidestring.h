#pragma once
// UtWideString: the reference-counted string of 16-bit elements, as the media
// framework passes file names. It shares the representation, copy-on-write
// and capacity machinery of UtCString (utstringrep.h) with elements in place
// of bytes: capacities and lengths count elements, a block is
// 2 x capacity + 14 bytes, and the wide class has its own empty
// representation and its own three capacity settings.
//
// Elements are char16_t on every platform (not the platform's wchar_t).
// Case conversion maps single elements through towlower/towupper.

#include "core/qvexport.h"
#include "core/strings/utstring.h"
#include "core/strings/utstringrep.h"
#include "core/strings/utsubstring.h"

#include <cstdint>

class UtWideString;
using UtWideStringSlice = UtBasicStringSlice<UtWideString>;

// How narrow text becomes wide.
enum class UtNarrowConversion {
    widen,     // each byte zero-extended to one element, no code-page conversion
    multiByte, // decoded as multibyte text in the current locale
};

QV_API UtWideString operator+(const UtWideString& a, const char16_t* b);
QV_API UtWideString operator+(const char16_t* a, const UtWideString& b);
QV_API UtWideString operator+(const UtWideString& a, const UtWideString& b);
QV_API UtWideString toLower(const UtWideString& s);
QV_API UtWideString toUpper(const UtWideString& s);

class QV_API UtWideString
{
public:
    using char_type = char16_t;
    using Rep = UtWideStringRep;

    static constexpr std::uint32_t npos = UtNpos;
    static constexpr int exact = 0;
    static constexpr int ignoreCase = 1;
    static constexpr int stripLeading = 1;
    static constexpr int stripTrailing = 2;
    static constexpr int stripBoth = 3;

    // ---- Construction ------------------------------------------------------------
    UtWideString() noexcept;
    explicit UtWideString(std::uint32_t capacity);
    // A NUL-terminated wide text; capacity equals its length.
    UtWideString(const char16_t* s);
    UtWideString(const char16_t* s, std::uint32_t n);
    // One element (or one byte, zero-extended); capacity is the initial
    // capacity setting.
    explicit UtWideString(char16_t c);
    explicit UtWideString(char c);
    UtWideString(char16_t c, std::uint32_t n);
    // Narrow text: widened byte by byte (capacity = length), or decoded as
    // multibyte text (capacity = the number of elements; an invalid sequence
    // gives the empty string). The counted form reads exactly n bytes.
    explicit UtWideString(const char* s, UtNarrowConversion how = UtNarrowConversion::widen);
    UtWideString(const char* s, std::uint32_t n,
                 UtNarrowConversion how = UtNarrowConversion::widen);
    explicit UtWideString(const UtCString& s, UtNarrowConversion how = UtNarrowConversion::widen);
    UtWideString(const UtWideStringSlice& slice);
    UtWideString(const UtWideString& other) noexcept;
    UtWideString(UtWideString&& other) noexcept;
    ~UtWideString();

    UtWideString& operator=(const UtWideString& other) noexcept;
    UtWideString& operator=(UtWideString&& other) noexcept;
    UtWideString& operator=(const char16_t* s);

    UtWideString copy() const;

    // ---- Capacity settings (in elements) ---------------------------------------
    static std::uint32_t initialCapacity() noexcept;
    static std::uint32_t resizeIncrement() noexcept;
    static std::uint32_t maxWaste() noexcept;
    static std::uint32_t setInitialCapacity(std::uint32_t value) noexcept;
    static std::uint32_t setResizeIncrement(std::uint32_t value) noexcept;
    static std::uint32_t setMaxWaste(std::uint32_t value) noexcept;
    static std::uint32_t adjustCapacity(std::uint32_t n) noexcept;

    // ---- Queries -----------------------------------------------------------------
    const char16_t* chars() const noexcept { return m_text; }
    std::uint32_t length() const noexcept { return Rep::of(m_text)->length(); }
    std::uint32_t capacity() const noexcept { return Rep::of(m_text)->capacity(); }
    bool isNull() const noexcept { return length() == 0; }
    // Every element is at most 127.
    bool isAscii() const noexcept;

    char16_t operator[](std::uint32_t i) const noexcept { return m_text[i]; }
    char16_t& at(std::uint32_t i);
    char16_t at(std::uint32_t i) const;

    // ---- Conversions out -------------------------------------------------------------
    // Same length; byte i is the low byte of element i, without any test.
    UtCString toAscii() const;
    // Encoded as multibyte text in the current locale; "" when an element
    // cannot be converted.
    UtCString toMultiByte() const;

    // ---- Edits -------------------------------------------------------------------
    UtWideString& replace(std::uint32_t pos, std::uint32_t removed, const char16_t* src,
                          std::uint32_t n);
    UtWideString& append(const char16_t* s);
    UtWideString& append(const char16_t* s, std::uint32_t n);
    UtWideString& append(const UtWideString& t);
    UtWideString& operator+=(const char16_t* s) { return append(s); }
    UtWideString& operator+=(const UtWideString& t) { return append(t); }
    UtWideString& appendRepeated(char16_t c, std::uint32_t n);
    UtWideString& prependRepeated(char16_t c, std::uint32_t n);
    UtWideString& truncate(std::uint32_t pos);
    UtWideString& resize(std::uint32_t n);
    std::uint32_t setCapacity(std::uint32_t n);
    void reserve(std::uint32_t n);
    void clearKeepCapacity(std::uint32_t n);
    UtWideString& toLower();
    UtWideString& toUpper();

    // ---- Comparison and hashing -----------------------------------------------
    // Elements compare as unsigned 16-bit values (or their towlower forms);
    // -1, 0 or 1.
    int compareTo(const char16_t* s, int caseCompare = exact) const noexcept;
    // Exact: memcmp over the shorter length (bytes in memory order), its
    // non-zero result returned unchanged, then the lengths. Ignoring case:
    // towlower forms, -1 or 1, then the lengths.
    int compareTo(const UtWideString& t, int caseCompare = exact) const noexcept;
    // wcscoll of the two texts.
    int collate(const char16_t* s) const;
    std::uint32_t hash(int caseCompare = exact) const noexcept;

    // ---- Searches (element indices, npos when not found) ----------------------
    std::uint32_t firstChar(char16_t c) const noexcept;
    std::uint32_t lastChar(char16_t c) const noexcept;
    std::uint32_t firstOf(const char16_t* set) const noexcept;
    std::uint32_t indexOf(const char16_t* pattern, std::uint32_t patternLength, std::uint32_t start,
                          int caseCompare) const;
    std::uint32_t indexOf(const char16_t* pattern, std::uint32_t start = 0,
                          int caseCompare = exact) const;
    std::uint32_t indexOf(const UtWideString& pattern, std::uint32_t start = 0,
                          int caseCompare = exact) const;

    // ---- Substrings ------------------------------------------------------------------
    UtWideStringSlice slice(std::uint32_t start, std::uint32_t extent);
    const UtWideStringSlice slice(std::uint32_t start, std::uint32_t extent) const;
    UtWideStringSlice sliceOf(const char16_t* pattern, std::uint32_t start = 0,
                              int caseCompare = exact);
    const UtWideStringSlice sliceOf(const char16_t* pattern, std::uint32_t start = 0,
                                    int caseCompare = exact) const;
    UtWideStringSlice strip(int type, char16_t c = u' ');
    const UtWideStringSlice strip(int type, char16_t c = u' ') const;

private:
    template <class> friend class UtBasicStringSlice;
    friend UtWideString operator+(const UtWideString& a, const char16_t* b);
    friend UtWideString operator+(const char16_t* a, const UtWideString& b);
    friend UtWideString operator+(const UtWideString& a, const UtWideString& b);
    friend UtWideString toLower(const UtWideString& s);
    friend UtWideString toUpper(const UtWideString& s);

    struct Adopt
    {
    };
    UtWideString(char16_t* text, Adopt) noexcept : m_text(text) {}

    char16_t* m_text;
};

static_assert(sizeof(UtWideString) == sizeof(void*), "a string handle is one pointer");

QV_API bool operator==(const UtWideString& a, const char16_t* b) noexcept;
QV_API bool operator==(const UtWideString& a, const UtWideString& b) noexcept;

// Compare NUL-terminated wide texts by their towupper forms: -1 or 1 at the
// first difference (a text that ends first is the smaller), 0 when both end
// together or, in the counted form, after n elements.
QV_API int utWideCompareNoCase(const char16_t* a, const char16_t* b) noexcept;
QV_API int utWideCompareNoCase(const char16_t* a, const char16_t* b, std::uint32_t n) noexcept;

extern template class UtBasicStringSlice<UtWideString>;
