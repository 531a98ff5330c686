#include "core/strings/utstring.h"

#include <cassert>
#include <cstdlib>
#include <cstring>
#include <cwchar>

namespace {

using Rep = UtCStringRep;

std::uint32_t offsetIn(const char* text, const char* p) noexcept
{
    return p == nullptr ? UtNpos : static_cast<std::uint32_t>(p - text);
}

signed char asSigned(char c) noexcept
{
    return static_cast<signed char>(c);
}

int signOfDifference(signed char a, signed char b) noexcept
{
    return a < b ? -1 : 1;
}

int compareLengths(std::uint32_t a, std::uint32_t b) noexcept
{
    return a < b ? -1 : (a > b ? 1 : 0);
}

std::uint32_t rotl5(std::uint32_t h) noexcept
{
    return (h << 5) | (h >> 27);
}

std::uint32_t mixHash(std::uint32_t h, std::uint32_t v) noexcept
{
    return rotl5(h) ^ v;
}

std::uint32_t hashExact(const char* text, std::uint32_t length) noexcept
{
    std::uint32_t h = length;
    const auto* bytes = reinterpret_cast<const unsigned char*>(text);
    const std::uint32_t whole = length / 4;
    for (std::uint32_t i = 0; i < whole; ++i) {
        const unsigned char* b = bytes + 4 * i;
        const std::uint32_t w = std::uint32_t{b[0]} | (std::uint32_t{b[1]} << 8) |
                                (std::uint32_t{b[2]} << 16) | (std::uint32_t{b[3]} << 24);
        h = mixHash(h, w);
    }
    const std::uint32_t rest = length % 4;
    if (rest != 0) {
        // The remaining bytes are folded in as signed chars, so a byte of
        // 0x80 or above sets every higher bit of the word.
        std::uint32_t w = 0;
        for (std::uint32_t i = 4 * whole; i < length; ++i) {
            const auto widened = static_cast<std::int32_t>(asSigned(text[i]));
            w = (w << 8) | static_cast<std::uint32_t>(widened);
        }
        h = mixHash(h, w);
    }
    return h;
}

std::uint32_t hashFolded(const char* text, std::uint32_t length) noexcept
{
    std::uint32_t h = length;
    for (std::uint32_t i = 0; i < length; ++i) {
        h = mixHash(h, static_cast<unsigned char>(Rep::upper(text[i])));
    }
    return h;
}

} // namespace

// ---- Construction ------------------------------------------------------------------

UtCString::UtCString() noexcept : m_text(Rep::empty()) {}

UtCString::UtCString(std::uint32_t capacity) : m_text(Rep::allocate(capacity, 0)) {}

UtCString::UtCString(const char* s) : m_text(Rep::fromRange(s, Rep::textLength(s))) {}

UtCString::UtCString(const char* s, std::uint32_t n) : m_text(Rep::fromRange(s, n)) {}

UtCString::UtCString(char c)
{
    // Never less than one byte of room, whatever the initial capacity setting.
    const std::uint32_t initial = Rep::initialCapacity();
    m_text = Rep::allocate(initial == 0 ? 1 : initial, 1);
    m_text[0] = c;
}

UtCString::UtCString(char c, std::uint32_t n) : m_text(Rep::repeated(c, n)) {}

UtCString::UtCString(const UtCStringSlice& slice)
    : m_text(Rep::concatenate(slice.data(), slice.isNull() ? 0 : slice.extent(), nullptr, 0))
{
}

UtCString::UtCString(const UtCString& other) noexcept : m_text(Rep::share(other.m_text)) {}

UtCString::UtCString(UtCString&& other) noexcept : m_text(other.m_text)
{
    other.m_text = Rep::empty();
}

UtCString::~UtCString()
{
    Rep::release(m_text);
}

UtCString& UtCString::operator=(const UtCString& other) noexcept
{
    // Referencing the new block before releasing the old one keeps
    // self-assignment safe.
    char* incoming = Rep::share(other.m_text);
    Rep::release(m_text);
    m_text = incoming;
    return *this;
}

UtCString& UtCString::operator=(UtCString&& other) noexcept
{
    char* mine = m_text;
    m_text = other.m_text;
    other.m_text = mine;
    return *this;
}

UtCString& UtCString::operator=(const char* s)
{
    Rep::assign(m_text, s, Rep::textLength(s));
    return *this;
}

UtCString UtCString::copy() const
{
    return UtCString(Rep::fromRange(m_text, length()), Adopt{});
}

// ---- Settings -------------------------------------------------------------------------

std::uint32_t UtCString::initialCapacity() noexcept
{
    return Rep::initialCapacity();
}

std::uint32_t UtCString::resizeIncrement() noexcept
{
    return Rep::resizeIncrement();
}

std::uint32_t UtCString::maxWaste() noexcept
{
    return Rep::maxWaste();
}

std::uint32_t UtCString::setInitialCapacity(std::uint32_t value) noexcept
{
    return Rep::setInitialCapacity(value);
}

std::uint32_t UtCString::setResizeIncrement(std::uint32_t value) noexcept
{
    return Rep::setResizeIncrement(value);
}

std::uint32_t UtCString::setMaxWaste(std::uint32_t value) noexcept
{
    return Rep::setMaxWaste(value);
}

std::uint32_t UtCString::adjustCapacity(std::uint32_t n) noexcept
{
    return Rep::adjustCapacity(n);
}

// ---- Queries -------------------------------------------------------------------------------

bool UtCString::isAscii() const noexcept
{
    return Rep::isAscii(m_text);
}

std::uint32_t UtCString::mbLength() const
{
    // mbrlen with a private state keeps this safe to call from any thread.
    std::mbstate_t state{};
    const std::size_t largest = MB_CUR_MAX;
    const std::uint32_t len = length();
    std::uint32_t count = 0;
    std::uint32_t i = 0;
    while (i < len && m_text[i] != '\0') {
        const std::size_t available = len - i < largest ? len - i : largest;
        const std::size_t n = std::mbrlen(m_text + i, available, &state);
        if (n == static_cast<std::size_t>(-1) || n == static_cast<std::size_t>(-2)) {
            return npos; // invalid, or the last character runs past the length
        }
        if (n == 0) {
            break;
        }
        i += static_cast<std::uint32_t>(n);
        ++count;
    }
    return count;
}

char& UtCString::at(std::uint32_t i)
{
    Rep::checkIndex(i, length());
    Rep::copyOnWrite(m_text);
    return m_text[i];
}

char UtCString::at(std::uint32_t i) const
{
    Rep::checkIndex(i, length());
    return m_text[i];
}

// ---- Edits -------------------------------------------------------------------------------------

UtCString& UtCString::replace(std::uint32_t pos, std::uint32_t removed, const char* src,
                              std::uint32_t n)
{
    Rep::replace(m_text, pos, removed, src, n);
    return *this;
}

UtCString& UtCString::append(const char* s)
{
    return append(s, Rep::textLength(s));
}

UtCString& UtCString::append(const char* s, std::uint32_t n)
{
    Rep::replace(m_text, length(), 0, s, n);
    return *this;
}

UtCString& UtCString::append(const UtCString& t)
{
    return append(t.m_text, t.length());
}

UtCString& UtCString::appendRepeated(char c, std::uint32_t n)
{
    Rep::appendRepeated(m_text, c, n);
    return *this;
}

UtCString& UtCString::prependRepeated(char c, std::uint32_t n)
{
    Rep::prependRepeated(m_text, c, n);
    return *this;
}

UtCString& UtCString::truncate(std::uint32_t pos)
{
    Rep::truncate(m_text, pos);
    return *this;
}

UtCString& UtCString::resize(std::uint32_t n)
{
    Rep::resize(m_text, n, ' ');
    return *this;
}

std::uint32_t UtCString::setCapacity(std::uint32_t n)
{
    return Rep::setCapacity(m_text, n);
}

void UtCString::reserve(std::uint32_t n)
{
    Rep::reserve(m_text, n);
}

void UtCString::clearKeepCapacity(std::uint32_t n)
{
    Rep::clearKeepCapacity(m_text, n);
}

UtCString& UtCString::toLower()
{
    Rep::toLower(m_text, 0, length());
    return *this;
}

UtCString& UtCString::toUpper()
{
    Rep::toUpper(m_text, 0, length());
    return *this;
}

// ---- Comparison and hashing -----------------------------------------------------------------

int UtCString::compareTo(const char* s, int caseCompare) const noexcept
{
    if (s == nullptr) {
        s = "";
    }
    const std::uint32_t len = length();
    for (std::uint32_t i = 0;; ++i) {
        if (s[i] == '\0') {
            return i < len ? 1 : 0;
        }
        if (i == len) {
            return -1;
        }
        char a = m_text[i];
        char b = s[i];
        if (caseCompare != exact) {
            a = Rep::lower(a);
            b = Rep::lower(b);
        }
        if (a != b) {
            return signOfDifference(asSigned(a), asSigned(b));
        }
    }
}

int UtCString::compareTo(const UtCString& t, int caseCompare) const noexcept
{
    const std::uint32_t len = length();
    const std::uint32_t tlen = t.length();
    const std::uint32_t shorter = len < tlen ? len : tlen;
    if (caseCompare == exact) {
        const int r = shorter == 0 ? 0 : std::memcmp(m_text, t.m_text, shorter);
        if (r != 0) {
            return r;
        }
    } else {
        for (std::uint32_t i = 0; i < shorter; ++i) {
            const char a = Rep::lower(m_text[i]);
            const char b = Rep::lower(t.m_text[i]);
            if (a != b) {
                return signOfDifference(asSigned(a), asSigned(b));
            }
        }
    }
    return compareLengths(len, tlen);
}

int UtCString::collate(const char* s) const noexcept
{
    return std::strcoll(m_text, s == nullptr ? "" : s);
}

std::uint32_t UtCString::hash(int caseCompare) const noexcept
{
    return caseCompare == exact ? hashExact(m_text, length()) : hashFolded(m_text, length());
}

// ---- Searches
// -------------------------------------------------------------------------------------

std::uint32_t UtCString::firstChar(char c) const noexcept
{
    return offsetIn(m_text, std::strchr(m_text, c));
}

std::uint32_t UtCString::lastChar(char c) const noexcept
{
    return offsetIn(m_text, std::strrchr(m_text, c));
}

std::uint32_t UtCString::firstOf(const char* set) const noexcept
{
    return set == nullptr ? npos : offsetIn(m_text, std::strpbrk(m_text, set));
}

std::uint32_t UtCString::indexOf(const char* pattern, std::uint32_t patternLength,
                                 std::uint32_t start, int caseCompare) const
{
    return Rep::indexOf(m_text, pattern, patternLength, start, caseCompare);
}

std::uint32_t UtCString::indexOf(const char* pattern, std::uint32_t start, int caseCompare) const
{
    return Rep::indexOf(m_text, pattern, Rep::textLength(pattern), start, caseCompare);
}

std::uint32_t UtCString::indexOf(const UtCString& pattern, std::uint32_t start,
                                 int caseCompare) const
{
    return Rep::indexOf(m_text, pattern.m_text, pattern.length(), start, caseCompare);
}

// ---- Substrings
// ------------------------------------------------------------------------------------

UtCStringSlice UtCString::slice(std::uint32_t start, std::uint32_t extent)
{
    Rep::clampRange(m_text, start, extent);
    return UtCStringSlice(*this, start, extent);
}

const UtCStringSlice UtCString::slice(std::uint32_t start, std::uint32_t extent) const
{
    return const_cast<UtCString*>(this)->slice(start, extent);
}

UtCStringSlice UtCString::sliceOf(const char* pattern, std::uint32_t start, int caseCompare)
{
    const std::uint32_t n = Rep::textLength(pattern);
    const std::uint32_t at = Rep::indexOf(m_text, pattern, n, start, caseCompare);
    return at == npos ? UtCStringSlice::null(*this) : UtCStringSlice(*this, at, n);
}

const UtCStringSlice UtCString::sliceOf(const char* pattern, std::uint32_t start,
                                        int caseCompare) const
{
    return const_cast<UtCString*>(this)->sliceOf(pattern, start, caseCompare);
}

UtCStringSlice UtCString::strip(int type, char c)
{
    std::uint32_t start = 0;
    std::uint32_t extent = 0;
    if (!Rep::stripRange(m_text, type, c, start, extent)) {
        return UtCStringSlice::null(*this);
    }
    return UtCStringSlice(*this, start, extent);
}

const UtCStringSlice UtCString::strip(int type, char c) const
{
    return const_cast<UtCString*>(this)->strip(type, c);
}

// ---- Free functions
// -----------------------------------------------------------------------------------

UtCString operator+(const UtCString& a, const char* b)
{
    return UtCString(Rep::concatenate(a.m_text, a.length(), b, Rep::textLength(b)),
                     UtCString::Adopt{});
}

UtCString operator+(const char* a, const UtCString& b)
{
    return UtCString(Rep::concatenate(a, Rep::textLength(a), b.m_text, b.length()),
                     UtCString::Adopt{});
}

UtCString operator+(const UtCString& a, const UtCString& b)
{
    return UtCString(Rep::concatenate(a.m_text, a.length(), b.m_text, b.length()),
                     UtCString::Adopt{});
}

bool operator==(const UtCString& a, const char* b) noexcept
{
    if (b == nullptr) {
        return a.isNull();
    }
    const std::uint32_t len = a.length();
    const char* text = a.chars();
    for (std::uint32_t i = 0; i < len; ++i) {
        if (b[i] == '\0' || b[i] != text[i]) {
            return false;
        }
    }
    return b[len] == '\0';
}

bool operator==(const UtCString& a, const UtCString& b) noexcept
{
    const std::uint32_t len = a.length();
    return len == b.length() && (len == 0 || std::memcmp(a.chars(), b.chars(), len) == 0);
}

UtCString toLower(const UtCString& s)
{
    UtCString result(Rep::fromRange(s.m_text, s.length()), UtCString::Adopt{});
    Rep::toLower(result.m_text, 0, result.length());
    return result;
}

UtCString toUpper(const UtCString& s)
{
    UtCString result(Rep::fromRange(s.m_text, s.length()), UtCString::Adopt{});
    Rep::toUpper(result.m_text, 0, result.length());
    return result;
}
