#include "core/strings/utsubstring.h"

#include "core/strings/utwidestring.h"

#include <cstring>

// ---- Substring ---------------------------------------------------------------------

template <class StringT> std::uint32_t UtBasicStringSlice<StringT>::clampedStart() const noexcept
{
    const std::uint32_t length = m_string->length();
    return m_start < length ? m_start : length;
}

template <class StringT> std::uint32_t UtBasicStringSlice<StringT>::extent() const noexcept
{
    if (isNull()) {
        return 0;
    }
    const std::uint32_t room = m_string->length() - clampedStart();
    return m_extent < room ? m_extent : room;
}

template <class StringT> auto UtBasicStringSlice<StringT>::data() const noexcept -> const char_type*
{
    return m_string->chars() + clampedStart();
}

template <class StringT> auto UtBasicStringSlice<StringT>::at(std::uint32_t i) -> char_type&
{
    // extent() is clamped to the text, so a substring left reaching past the
    // end of a string that has since been shortened never hands out a byte
    // outside it.
    StringT::Rep::checkIndex(i, extent());
    StringT::Rep::copyOnWrite(m_string->m_text);
    return m_string->m_text[m_start + i];
}

template <class StringT> auto UtBasicStringSlice<StringT>::operator[](std::uint32_t i) -> char_type&
{
    // Checked as well: an index outside the view (the null substring
    // included) would otherwise write outside the text.
    return at(i);
}

template <class StringT>
UtBasicStringSlice<StringT>& UtBasicStringSlice<StringT>::operator=(const StringT& s)
{
    if (!isNull()) {
        m_string->replace(m_start, m_extent, s.chars(), s.length());
    }
    return *this;
}

template <class StringT>
UtBasicStringSlice<StringT>& UtBasicStringSlice<StringT>::operator=(const char_type* s)
{
    if (!isNull()) {
        m_string->replace(m_start, m_extent, s, StringT::Rep::textLength(s));
    }
    return *this;
}

template <class StringT> void UtBasicStringSlice<StringT>::toLower()
{
    if (!isNull()) {
        StringT::Rep::toLower(m_string->m_text, m_start, m_extent);
    }
}

template <class StringT> void UtBasicStringSlice<StringT>::toUpper()
{
    if (!isNull()) {
        StringT::Rep::toUpper(m_string->m_text, m_start, m_extent);
    }
}

template <class StringT>
bool UtBasicStringSlice<StringT>::operator==(const char_type* s) const noexcept
{
    if (s == nullptr) {
        return isNull() || extent() == 0;
    }
    if (isNull()) {
        return s[0] == char_type{0};
    }
    const std::uint32_t n = extent();
    const char_type* text = data();
    for (std::uint32_t i = 0; i < n; ++i) {
        if (s[i] == char_type{0} || s[i] != text[i]) {
            return false;
        }
    }
    return s[n] == char_type{0};
}

template <class StringT>
bool UtBasicStringSlice<StringT>::operator==(const StringT& t) const noexcept
{
    if (isNull()) {
        return t.length() == 0;
    }
    const std::uint32_t n = extent();
    return n == t.length() &&
           (n == 0 || std::memcmp(data(), t.chars(), std::size_t{n} * sizeof(char_type)) == 0);
}

template <class StringT>
bool UtBasicStringSlice<StringT>::operator==(const UtBasicStringSlice& b) const noexcept
{
    if (isNull()) {
        return b.isNull();
    }
    const std::uint32_t n = extent();
    return n == b.extent() &&
           (n == 0 || std::memcmp(data(), b.data(), std::size_t{n} * sizeof(char_type)) == 0);
}

template class UtBasicStringSlice<UtCString>;
template class UtBasicStringSlice<UtWideString>;

// ---- Tokenizer ---------------------------------------------------------------------------

namespace {

bool isDelimiter(char c, const char* delimiters) noexcept
{
    // The terminator is never a delimiter; a NUL in the text ends a token
    // on its own.
    return c != '\0' && std::strchr(delimiters, c) != nullptr;
}

} // namespace

UtCStringScanner::UtCStringScanner(const UtCString& text) : m_text(text) {}

UtCStringSlice UtCStringScanner::next(const char* delimiters)
{
    if (delimiters == nullptr) {
        delimiters = "";
    }
    if (m_position == notStarted) {
        m_position = 0;
    }
    const char* text = m_text.chars();
    const std::uint32_t length = m_text.length();
    while (m_position < length) {
        while (m_position < length && isDelimiter(text[m_position], delimiters)) {
            ++m_position;
        }
        std::uint32_t n = 0;
        while (m_position + n < length && text[m_position + n] != '\0' &&
               !isDelimiter(text[m_position + n], delimiters)) {
            ++n;
        }
        if (n > 0) {
            const std::uint32_t start = m_position;
            m_position += n;
            return UtCStringSlice(m_text, start, n);
        }
        // At an embedded NUL byte: step over it. At the end the position
        // stays at the length, so every later call finds nothing.
        if (m_position < length) {
            ++m_position;
        }
    }
    return UtCStringSlice::null(m_text);
}

UtCStringSlice UtCStringScanner::next()
{
    return next(" \t\n");
}
