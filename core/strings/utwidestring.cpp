#include "core/strings/utwidestring.h"

#include "core/strings/utxmsg.h"

#include <climits>
#include <cstdlib>
#include <cstring>
#include <cwchar>
#include <memory>
#include <new>
#include <string>

namespace {

using Rep = UtWideStringRep;

// Input of fewer bytes than this is decoded in a buffer on the stack.
constexpr std::uint32_t stackBufferElements = 64;

std::uint32_t rotl5(std::uint32_t h) noexcept
{
    return (h << 5) | (h >> 27);
}

std::uint32_t mixHash(std::uint32_t h, std::uint32_t v) noexcept
{
    return rotl5(h) ^ v;
}

int compareLengths(std::uint32_t a, std::uint32_t b) noexcept
{
    return a < b ? -1 : (a > b ? 1 : 0);
}

int signOfDifference(char16_t a, char16_t b) noexcept
{
    return a < b ? -1 : 1;
}

std::uint32_t findElement(const char16_t* text, char16_t c) noexcept
{
    for (std::uint32_t i = 0;; ++i) {
        if (text[i] == c) {
            return i;
        }
        if (text[i] == u'\0') {
            return UtNpos;
        }
    }
}

bool isHighSurrogate(char32_t c) noexcept
{
    return c >= 0xD800 && c <= 0xDBFF;
}

bool isLowSurrogate(char32_t c) noexcept
{
    return c >= 0xDC00 && c <= 0xDFFF;
}

// A heap buffer whose allocation failure raises the library's out-of-memory
// error.
template <class T> std::unique_ptr<T[]> allocateBuffer(std::uint64_t elements)
{
    const std::uint64_t bytes = elements * sizeof(T);
    T* p = bytes > SIZE_MAX ? nullptr : new (std::nothrow) T[static_cast<std::size_t>(elements)];
    if (p == nullptr) {
        throwError(Utxalloc(bytes > UtNpos ? UtNpos : static_cast<std::uint32_t>(bytes)));
    }
    return std::unique_ptr<T[]>(p);
}

// Decodes at most n bytes of multibyte text (stopping at a NUL) in the current
// locale into 16-bit elements; characters beyond 0xFFFF become surrogate
// pairs. Returns the element count, or 0 for an invalid or incomplete
// sequence. `out` has room for `room` elements.
std::uint32_t decodeMultiByte(const char* s, std::uint32_t n, char16_t* out, std::uint32_t room)
{
    std::mbstate_t state{};
    std::uint32_t used = 0;
    std::uint32_t count = 0;
    while (used < n) {
        wchar_t wc = 0;
        const std::size_t r = std::mbrtowc(&wc, s + used, n - used, &state);
        if (r == 0) {
            break;
        }
        if (r == static_cast<std::size_t>(-1) || r == static_cast<std::size_t>(-2)) {
            return 0;
        }
        used += static_cast<std::uint32_t>(r);
        const auto cp = static_cast<char32_t>(wc);
        if (cp > 0xFFFF) {
            if (cp > 0x10FFFF || room - count < 2) {
                return 0;
            }
            const char32_t v = cp - 0x10000;
            out[count++] = static_cast<char16_t>(0xD800 + (v >> 10));
            out[count++] = static_cast<char16_t>(0xDC00 + (v & 0x3FF));
        } else {
            if (room - count < 1) {
                return 0;
            }
            out[count++] = static_cast<char16_t>(cp);
        }
    }
    return count;
}

// Multibyte text in: a stack buffer for short input, a heap buffer of
// n + 1 elements otherwise. At most one element is produced per input byte.
char16_t* fromMultiByte(const char* s, std::uint32_t n)
{
    if (s == nullptr) {
        n = 0;
    }
    char16_t stackBuffer[stackBufferElements] = {};
    std::unique_ptr<char16_t[]> heapBuffer;
    char16_t* buffer = stackBuffer;
    std::uint32_t room = stackBufferElements;
    if (n >= stackBufferElements) {
        heapBuffer = allocateBuffer<char16_t>(std::uint64_t{n} + 1);
        buffer = heapBuffer.get();
        room = n + 1;
    }
    const std::uint32_t count = decodeMultiByte(s, n, buffer, room);
    return Rep::fromRange(buffer, count);
}

char16_t* widen(const char* s, std::uint32_t n)
{
    if (s == nullptr) {
        n = 0;
    }
    char16_t* text = Rep::allocate(n, n);
    for (std::uint32_t i = 0; i < n; ++i) {
        text[i] = static_cast<char16_t>(static_cast<unsigned char>(s[i]));
    }
    return text;
}

char16_t* fromNarrow(const char* s, std::uint32_t n, UtNarrowConversion how)
{
    return how == UtNarrowConversion::multiByte ? fromMultiByte(s, n) : widen(s, n);
}

// Code points of a wide text up to its first NUL, for the platform's wide
// character functions.
std::wstring toPlatformWide(const char16_t* s)
{
    std::wstring out;
    for (std::uint32_t i = 0; s[i] != u'\0'; ++i) {
        char32_t c = s[i];
        if (isHighSurrogate(c) && isLowSurrogate(s[i + 1])) {
            c = 0x10000 + ((c - 0xD800) << 10) + (char32_t{s[i + 1]} - 0xDC00);
            ++i;
        }
        out.push_back(static_cast<wchar_t>(c));
    }
    return out;
}

} // namespace

// ---- Construction ------------------------------------------------------------------

UtWideString::UtWideString() noexcept : m_text(Rep::empty()) {}

UtWideString::UtWideString(std::uint32_t capacity) : m_text(Rep::allocate(capacity, 0)) {}

UtWideString::UtWideString(const char16_t* s) : m_text(Rep::fromRange(s, Rep::textLength(s))) {}

UtWideString::UtWideString(const char16_t* s, std::uint32_t n) : m_text(Rep::fromRange(s, n)) {}

UtWideString::UtWideString(char16_t c)
{
    const std::uint32_t initial = Rep::initialCapacity();
    m_text = Rep::allocate(initial == 0 ? 1 : initial, 1);
    m_text[0] = c;
}

UtWideString::UtWideString(char c)
    : UtWideString(static_cast<char16_t>(static_cast<unsigned char>(c)))
{
}

UtWideString::UtWideString(char16_t c, std::uint32_t n) : m_text(Rep::repeated(c, n)) {}

UtWideString::UtWideString(const char* s, UtNarrowConversion how)
    : m_text(fromNarrow(s, UtCStringRep::textLength(s), how))
{
}

UtWideString::UtWideString(const char* s, std::uint32_t n, UtNarrowConversion how)
    : m_text(fromNarrow(s, n, how))
{
}

UtWideString::UtWideString(const UtCString& s, UtNarrowConversion how)
    : m_text(fromNarrow(s.chars(), s.length(), how))
{
}

UtWideString::UtWideString(const UtWideStringSlice& slice)
    : m_text(Rep::concatenate(slice.data(), slice.isNull() ? 0 : slice.extent(), nullptr, 0))
{
}

UtWideString::UtWideString(const UtWideString& other) noexcept : m_text(Rep::share(other.m_text)) {}

UtWideString::UtWideString(UtWideString&& other) noexcept : m_text(other.m_text)
{
    other.m_text = Rep::empty();
}

UtWideString::~UtWideString()
{
    Rep::release(m_text);
}

UtWideString& UtWideString::operator=(const UtWideString& other) noexcept
{
    char16_t* incoming = Rep::share(other.m_text);
    Rep::release(m_text);
    m_text = incoming;
    return *this;
}

UtWideString& UtWideString::operator=(UtWideString&& other) noexcept
{
    char16_t* mine = m_text;
    m_text = other.m_text;
    other.m_text = mine;
    return *this;
}

UtWideString& UtWideString::operator=(const char16_t* s)
{
    Rep::assign(m_text, s, Rep::textLength(s));
    return *this;
}

UtWideString UtWideString::copy() const
{
    return UtWideString(Rep::fromRange(m_text, length()), Adopt{});
}

// ---- Settings -------------------------------------------------------------------------

std::uint32_t UtWideString::initialCapacity() noexcept
{
    return Rep::initialCapacity();
}

std::uint32_t UtWideString::resizeIncrement() noexcept
{
    return Rep::resizeIncrement();
}

std::uint32_t UtWideString::maxWaste() noexcept
{
    return Rep::maxWaste();
}

std::uint32_t UtWideString::setInitialCapacity(std::uint32_t value) noexcept
{
    return Rep::setInitialCapacity(value);
}

std::uint32_t UtWideString::setResizeIncrement(std::uint32_t value) noexcept
{
    return Rep::setResizeIncrement(value);
}

std::uint32_t UtWideString::setMaxWaste(std::uint32_t value) noexcept
{
    return Rep::setMaxWaste(value);
}

std::uint32_t UtWideString::adjustCapacity(std::uint32_t n) noexcept
{
    return Rep::adjustCapacity(n);
}

// ---- Queries ---------------------------------------------------------------------------

bool UtWideString::isAscii() const noexcept
{
    return Rep::isAscii(m_text);
}

char16_t& UtWideString::at(std::uint32_t i)
{
    Rep::checkIndex(i, length());
    Rep::copyOnWrite(m_text);
    return m_text[i];
}

char16_t UtWideString::at(std::uint32_t i) const
{
    Rep::checkIndex(i, length());
    return m_text[i];
}

// ---- Conversions out -------------------------------------------------------------------

UtCString UtWideString::toAscii() const
{
    const std::uint32_t n = length();
    std::unique_ptr<char[]> bytes = allocateBuffer<char>(n);
    for (std::uint32_t i = 0; i < n; ++i) {
        bytes[i] = static_cast<char>(m_text[i] & 0xFF);
    }
    return UtCString(bytes.get(), n);
}

UtCString UtWideString::toMultiByte() const
{
    const std::uint64_t room = std::uint64_t{length()} * MB_CUR_MAX + 1;
    std::unique_ptr<char[]> out = allocateBuffer<char>(room);
    std::mbstate_t state{};
    std::uint64_t used = 0;
    for (std::uint32_t i = 0; m_text[i] != u'\0'; ++i) {
        char32_t c = m_text[i];
        if (isHighSurrogate(c) && isLowSurrogate(m_text[i + 1])) {
            c = 0x10000 + ((c - 0xD800) << 10) + (char32_t{m_text[i + 1]} - 0xDC00);
            ++i;
        }
        const std::size_t r = std::wcrtomb(out.get() + used, static_cast<wchar_t>(c), &state);
        if (r == static_cast<std::size_t>(-1)) {
            return UtCString("");
        }
        used += r;
    }
    return UtCString(out.get(), static_cast<std::uint32_t>(used));
}

// ---- Edits -------------------------------------------------------------------------------

UtWideString& UtWideString::replace(std::uint32_t pos, std::uint32_t removed, const char16_t* src,
                                    std::uint32_t n)
{
    Rep::replace(m_text, pos, removed, src, n);
    return *this;
}

UtWideString& UtWideString::append(const char16_t* s)
{
    return append(s, Rep::textLength(s));
}

UtWideString& UtWideString::append(const char16_t* s, std::uint32_t n)
{
    Rep::replace(m_text, length(), 0, s, n);
    return *this;
}

UtWideString& UtWideString::append(const UtWideString& t)
{
    return append(t.m_text, t.length());
}

UtWideString& UtWideString::appendRepeated(char16_t c, std::uint32_t n)
{
    Rep::appendRepeated(m_text, c, n);
    return *this;
}

UtWideString& UtWideString::prependRepeated(char16_t c, std::uint32_t n)
{
    Rep::prependRepeated(m_text, c, n);
    return *this;
}

UtWideString& UtWideString::truncate(std::uint32_t pos)
{
    Rep::truncate(m_text, pos);
    return *this;
}

UtWideString& UtWideString::resize(std::uint32_t n)
{
    Rep::resize(m_text, n, u' ');
    return *this;
}

std::uint32_t UtWideString::setCapacity(std::uint32_t n)
{
    return Rep::setCapacity(m_text, n);
}

void UtWideString::reserve(std::uint32_t n)
{
    Rep::reserve(m_text, n);
}

void UtWideString::clearKeepCapacity(std::uint32_t n)
{
    Rep::clearKeepCapacity(m_text, n);
}

UtWideString& UtWideString::toLower()
{
    Rep::toLower(m_text, 0, length());
    return *this;
}

UtWideString& UtWideString::toUpper()
{
    Rep::toUpper(m_text, 0, length());
    return *this;
}

// ---- Comparison and hashing ----------------------------------------------------------

int UtWideString::compareTo(const char16_t* s, int caseCompare) const noexcept
{
    if (s == nullptr) {
        s = u"";
    }
    const std::uint32_t len = length();
    for (std::uint32_t i = 0;; ++i) {
        if (s[i] == u'\0') {
            return i < len ? 1 : 0;
        }
        if (i == len) {
            return -1;
        }
        char16_t a = m_text[i];
        char16_t b = s[i];
        if (caseCompare != exact) {
            a = Rep::lower(a);
            b = Rep::lower(b);
        }
        if (a != b) {
            return signOfDifference(a, b);
        }
    }
}

int UtWideString::compareTo(const UtWideString& t, int caseCompare) const noexcept
{
    const std::uint32_t len = length();
    const std::uint32_t tlen = t.length();
    const std::uint32_t shorter = len < tlen ? len : tlen;
    if (caseCompare == exact) {
        // Byte order in memory, as the representation is compared elsewhere.
        const int r = shorter == 0 ? 0 : std::memcmp(m_text, t.m_text, std::size_t{shorter} * 2);
        if (r != 0) {
            return r;
        }
    } else {
        for (std::uint32_t i = 0; i < shorter; ++i) {
            const char16_t a = Rep::lower(m_text[i]);
            const char16_t b = Rep::lower(t.m_text[i]);
            if (a != b) {
                return signOfDifference(a, b);
            }
        }
    }
    return compareLengths(len, tlen);
}

int UtWideString::collate(const char16_t* s) const
{
    const std::wstring mine = toPlatformWide(m_text);
    const std::wstring theirs = toPlatformWide(s == nullptr ? u"" : s);
    return std::wcscoll(mine.c_str(), theirs.c_str());
}

std::uint32_t UtWideString::hash(int caseCompare) const noexcept
{
    const std::uint32_t len = length();
    std::uint32_t h = len;
    if (caseCompare != exact) {
        for (std::uint32_t i = 0; i < len; ++i) {
            h = mixHash(h, Rep::upper(m_text[i]));
        }
        return h;
    }
    // Pairs of elements as little-endian 32-bit words, the first element in
    // the low half; an odd last element is mixed alone, then its terminator.
    const std::uint32_t pairs = len / 2;
    for (std::uint32_t i = 0; i < pairs; ++i) {
        const std::uint32_t w =
            std::uint32_t{m_text[2 * i]} | (std::uint32_t{m_text[2 * i + 1]} << 16);
        h = mixHash(h, w);
    }
    if (len % 2 != 0) {
        h = mixHash(h, m_text[len - 1]);
        h = mixHash(h, 0);
    }
    return h;
}

// ---- Searches ----------------------------------------------------------------------------

std::uint32_t UtWideString::firstChar(char16_t c) const noexcept
{
    return findElement(m_text, c);
}

std::uint32_t UtWideString::lastChar(char16_t c) const noexcept
{
    std::uint32_t found = npos;
    for (std::uint32_t i = 0;; ++i) {
        if (m_text[i] == c) {
            found = i;
        }
        if (m_text[i] == u'\0') {
            return found;
        }
    }
}

std::uint32_t UtWideString::firstOf(const char16_t* set) const noexcept
{
    if (set == nullptr) {
        return npos;
    }
    for (std::uint32_t i = 0; m_text[i] != u'\0'; ++i) {
        for (const char16_t* p = set; *p != u'\0'; ++p) {
            if (*p == m_text[i]) {
                return i;
            }
        }
    }
    return npos;
}

std::uint32_t UtWideString::indexOf(const char16_t* pattern, std::uint32_t patternLength,
                                    std::uint32_t start, int caseCompare) const
{
    return Rep::indexOf(m_text, pattern, patternLength, start, caseCompare);
}

std::uint32_t UtWideString::indexOf(const char16_t* pattern, std::uint32_t start,
                                    int caseCompare) const
{
    return Rep::indexOf(m_text, pattern, Rep::textLength(pattern), start, caseCompare);
}

std::uint32_t UtWideString::indexOf(const UtWideString& pattern, std::uint32_t start,
                                    int caseCompare) const
{
    return Rep::indexOf(m_text, pattern.m_text, pattern.length(), start, caseCompare);
}

// ---- Substrings ------------------------------------------------------------------------

UtWideStringSlice UtWideString::slice(std::uint32_t start, std::uint32_t extent)
{
    Rep::clampRange(m_text, start, extent);
    return UtWideStringSlice(*this, start, extent);
}

const UtWideStringSlice UtWideString::slice(std::uint32_t start, std::uint32_t extent) const
{
    return const_cast<UtWideString*>(this)->slice(start, extent);
}

UtWideStringSlice UtWideString::sliceOf(const char16_t* pattern, std::uint32_t start,
                                        int caseCompare)
{
    const std::uint32_t n = Rep::textLength(pattern);
    const std::uint32_t at = Rep::indexOf(m_text, pattern, n, start, caseCompare);
    return at == npos ? UtWideStringSlice::null(*this) : UtWideStringSlice(*this, at, n);
}

const UtWideStringSlice UtWideString::sliceOf(const char16_t* pattern, std::uint32_t start,
                                              int caseCompare) const
{
    return const_cast<UtWideString*>(this)->sliceOf(pattern, start, caseCompare);
}

UtWideStringSlice UtWideString::strip(int type, char16_t c)
{
    std::uint32_t start = 0;
    std::uint32_t extent = 0;
    if (!Rep::stripRange(m_text, type, c, start, extent)) {
        return UtWideStringSlice::null(*this);
    }
    return UtWideStringSlice(*this, start, extent);
}

const UtWideStringSlice UtWideString::strip(int type, char16_t c) const
{
    return const_cast<UtWideString*>(this)->strip(type, c);
}

// ---- Free functions ----------------------------------------------------------------------

UtWideString operator+(const UtWideString& a, const char16_t* b)
{
    return UtWideString(Rep::concatenate(a.m_text, a.length(), b, Rep::textLength(b)),
                        UtWideString::Adopt{});
}

UtWideString operator+(const char16_t* a, const UtWideString& b)
{
    return UtWideString(Rep::concatenate(a, Rep::textLength(a), b.m_text, b.length()),
                        UtWideString::Adopt{});
}

UtWideString operator+(const UtWideString& a, const UtWideString& b)
{
    return UtWideString(Rep::concatenate(a.m_text, a.length(), b.m_text, b.length()),
                        UtWideString::Adopt{});
}

bool operator==(const UtWideString& a, const char16_t* b) noexcept
{
    if (b == nullptr) {
        return a.isNull();
    }
    const std::uint32_t len = a.length();
    const char16_t* text = a.chars();
    for (std::uint32_t i = 0; i < len; ++i) {
        if (b[i] == u'\0' || b[i] != text[i]) {
            return false;
        }
    }
    return b[len] == u'\0';
}

bool operator==(const UtWideString& a, const UtWideString& b) noexcept
{
    const std::uint32_t len = a.length();
    return len == b.length() &&
           (len == 0 || std::memcmp(a.chars(), b.chars(), std::size_t{len} * 2) == 0);
}

UtWideString toLower(const UtWideString& s)
{
    UtWideString result(Rep::fromRange(s.m_text, s.length()), UtWideString::Adopt{});
    Rep::toLower(result.m_text, 0, result.length());
    return result;
}

UtWideString toUpper(const UtWideString& s)
{
    UtWideString result(Rep::fromRange(s.m_text, s.length()), UtWideString::Adopt{});
    Rep::toUpper(result.m_text, 0, result.length());
    return result;
}

int utWideCompareNoCase(const char16_t* a, const char16_t* b) noexcept
{
    return utWideCompareNoCase(a, b, UtNpos);
}

int utWideCompareNoCase(const char16_t* a, const char16_t* b, std::uint32_t n) noexcept
{
    if (a == nullptr) {
        a = u"";
    }
    if (b == nullptr) {
        b = u"";
    }
    for (std::uint32_t i = 0; i < n; ++i) {
        const char16_t x = Rep::upper(a[i]);
        const char16_t y = Rep::upper(b[i]);
        if (x != y) {
            return signOfDifference(x, y);
        }
        if (x == u'\0') {
            return 0;
        }
    }
    return 0;
}
