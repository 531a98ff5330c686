#pragma once
// Substrings and the tokenizer.
//
// A substring is a view of a range of one string (string, start, extent)
// through which the range can be read, compared, case-converted and
// replaced. It does not own the string, which must outlive it. The null
// substring has start npos and extent 0.
//
// Assigning a string or text to a substring replaces the viewed range in the
// string; assigning one substring object to another only changes which range
// the object views.
//
// UtCStringScanner splits its own copy of a text into the runs between
// delimiter characters; the tokens are substrings of that copy and stay valid
// while the scanner lives.

#include "core/qvexport.h"
#include "core/strings/utstring.h"

#include <cstdint>

template <class StringT> class QV_API UtBasicStringSlice
{
public:
    using char_type = typename StringT::char_type;
    static constexpr std::uint32_t npos = UtNpos;

    UtBasicStringSlice(StringT& string, std::uint32_t start, std::uint32_t extent) noexcept
        : m_string(&string), m_start(start), m_extent(extent)
    {
    }
    // The null substring of a string.
    static UtBasicStringSlice null(StringT& string) noexcept
    {
        return UtBasicStringSlice(string, npos, 0);
    }

    bool isNull() const noexcept { return m_start == npos; }
    std::uint32_t start() const noexcept { return m_start; }
    // The number of elements in view: 0 for the null substring, and never
    // reaching past the end of the viewed string, even when the string has
    // been shortened since the substring was made.
    std::uint32_t extent() const noexcept;
    std::uint32_t length() const noexcept { return extent(); }
    StringT& string() const noexcept { return *m_string; }
    // The first byte of the range in the viewed string (read only; valid
    // until the string is next edited).
    const char_type* data() const noexcept;

    // Checked access: raises UtBoundsErr ("[INDEX]") for i outside the
    // extent; makes the viewed string private first.
    char_type& at(std::uint32_t i);
    // The same as at(): writing through an index outside the view would
    // reach outside the text, so this form is checked too.
    char_type& operator[](std::uint32_t i);

    // Replaces the range in the viewed string; the substring's own start and
    // extent stay as they were. The null substring ignores it.
    UtBasicStringSlice& operator=(const StringT& s);
    UtBasicStringSlice& operator=(const char_type* s);

    // Case conversion of the range in place (the viewed string is made
    // private first).
    void toLower();
    void toUpper();

    // The null substring equals only an empty text.
    bool operator==(const char_type* s) const noexcept;
    bool operator==(const StringT& t) const noexcept;
    // A null left side equals only a null right side; otherwise the extents
    // and bytes must match (a null right side counts as empty).
    bool operator==(const UtBasicStringSlice& b) const noexcept;

private:
    // The start clamped to the string's current length.
    std::uint32_t clampedStart() const noexcept;

    StringT* m_string;
    std::uint32_t m_start;
    std::uint32_t m_extent;
};

extern template class UtBasicStringSlice<UtCString>;

class QV_API UtCStringScanner
{
public:
    explicit UtCStringScanner(const UtCString& text);

    // The next run of characters not in `delimiters` (a null set counts as
    // empty); the null substring once the text is used up, on this and every
    // later call. An embedded NUL ends a token like a delimiter.
    UtCStringSlice next(const char* delimiters);
    // next(" \t\n"): blank, tab and newline.
    UtCStringSlice next();

private:
    static constexpr std::uint32_t notStarted = UtNpos;

    UtCString m_text;
    // Index of the next search into m_text; kept as an index (not a pointer)
    // so a token written through, which moves m_text to a new block, cannot
    // leave it dangling.
    std::uint32_t m_position = notStarted;
};
