#include "core/strings/utwidestring.h"
#include "core/strings/utxmsg.h"

#include <gtest/gtest.h>

#include <clocale>
#include <ostream>
#include <string>
#include <thread>
#include <vector>

[[maybe_unused]] static void PrintTo(const UtWideString& s, std::ostream* os)
{
    *os << "u\"";
    for (std::uint32_t i = 0; i < s.length(); ++i) {
        const char16_t c = s[i];
        if (c >= 0x20 && c < 0x7F) {
            *os << static_cast<char>(c);
        } else {
            *os << "\\x" << std::hex << static_cast<unsigned>(c) << std::dec;
        }
    }
    *os << '"';
}

[[maybe_unused]] static void PrintTo(const UtCString& s, std::ostream* os)
{
    *os << '"' << std::string(s.chars(), s.length()) << '"';
}

namespace {

// Switches LC_CTYPE to UTF-8 for one test and back to "C" afterwards.
class Utf8Locale
{
public:
    Utf8Locale() : m_active(std::setlocale(LC_CTYPE, "C.UTF-8") != nullptr) {}
    ~Utf8Locale() { std::setlocale(LC_CTYPE, "C"); }
    bool active() const { return m_active; }

private:
    bool m_active;
};

// n characters: ASCII letters with a two-byte "é" every tenth character.
std::string utf8Name(int characters, std::u16string& expected)
{
    std::string bytes;
    expected.clear();
    for (int i = 0; i < characters; ++i) {
        if (i % 10 == 9) {
            bytes += "\xC3\xA9";
            expected += u'\u00E9';
        } else {
            const char c = static_cast<char>('a' + i % 26);
            bytes += c;
            expected += static_cast<char16_t>(c);
        }
    }
    return bytes;
}

std::string asStdString(const UtCString& s)
{
    return std::string(s.chars(), s.length());
}

} // namespace

TEST(UtWideStringRepresentation, SharesTheMachineryWithItsOwnEmptyBlock)
{
    EXPECT_EQ(sizeof(UtWideString), sizeof(void*));
    UtWideString a;
    UtWideString b(u"");
    EXPECT_EQ(a.chars(), b.chars());
    EXPECT_TRUE(UtWideStringRep::isEmptyRep(a.chars()));
    EXPECT_NE(static_cast<const void*>(a.chars()), static_cast<const void*>(UtCString().chars()));

    UtWideString s(u"hello");
    EXPECT_EQ(s.length(), 5u);
    EXPECT_EQ(s.capacity(), 5u);
    const auto* header = reinterpret_cast<const std::uint32_t*>(s.chars()) - 3;
    EXPECT_EQ(header[1], 5u);
    EXPECT_EQ(header[2], 5u);
    EXPECT_EQ(s.chars()[5], u'\0');
}

TEST(UtWideStringRepresentation, CapacityRulesCountElements)
{
    UtWideString fifteen(u"abcdefghijklmno");
    fifteen.append(u"p");
    EXPECT_EQ(fifteen.capacity(), 31u);
    EXPECT_EQ(UtWideString(u'x').capacity(), 15u);
    EXPECT_EQ(UtWideString('x').capacity(), 15u);
    EXPECT_EQ(UtWideString(u'x', 3), u"xxx");

    UtWideString forty(std::u16string(40, u'w').c_str());
    forty.truncate(20);
    EXPECT_EQ(forty.capacity(), 31u);
}

TEST(UtWideStringRepresentation, SettingsAreSeparateFromTheNarrowOnes)
{
    const std::uint32_t previous = UtWideString::setInitialCapacity(5);
    EXPECT_EQ(previous, 15u);
    EXPECT_EQ(UtCString::initialCapacity(), 15u);
    EXPECT_EQ(UtWideString(u'x').capacity(), 5u);
    EXPECT_EQ(UtCString('x').capacity(), 15u);
    UtWideString::setInitialCapacity(previous);
}

TEST(UtWideStringCopyOnWrite, EditsNeverShowInCopies)
{
    const UtWideString original(u"Name.QSL");
    UtWideString edited = original;
    EXPECT_EQ(edited.chars(), original.chars());
    edited.toLower();
    edited.at(0) = u'N';
    UtWideString appended = original;
    appended.append(u"!");
    UtWideString sliced = original;
    sliced.sliceOf(u".QSL") = u".txt";
    EXPECT_EQ(original, u"Name.QSL");
    EXPECT_EQ(edited, u"Name.qsl");
    EXPECT_EQ(appended, u"Name.QSL!");
    EXPECT_EQ(sliced, u"Name.txt");
}

TEST(UtWideStringHash, ValuesOfTheHashFunction)
{
    EXPECT_EQ(UtWideString(u"abc").hash(), 0x88000861u);
    EXPECT_EQ(UtWideString(u"abcd").hash(), 0x0C241C43u);
    EXPECT_EQ(UtWideString(u"abc").hash(UtWideString::ignoreCase), 0x00008C03u);
    EXPECT_EQ(UtWideString(u"ABC").hash(UtWideString::ignoreCase), 0x00008C03u);
    EXPECT_EQ(UtWideString(u"abc").hash(UtWideString::ignoreCase),
              UtCString("abc").hash(UtCString::ignoreCase));
}

TEST(UtWideStringCompare, TextFormIsUnsignedAndStringFormIsMemoryOrder)
{
    EXPECT_EQ(UtWideString(u"a\u00E9").compareTo(u"aA"), 1);
    EXPECT_EQ(UtWideString(u"abc").compareTo(u"ab"), 1);
    EXPECT_EQ(UtWideString(u"ab").compareTo(u"ab"), 0);
    EXPECT_EQ(UtWideString(u"ab").compareTo(u"abc"), -1);
    EXPECT_EQ(UtWideString(u"ABC").compareTo(u"abc", UtWideString::ignoreCase), 0);

    // 0x0100 is larger than 0x00FF as a number, but its low byte (0x00)
    // comes first in memory and is smaller than 0xFF.
    const char16_t big[] = {0x0100, 0};
    const char16_t small[] = {0x00FF, 0};
    EXPECT_EQ(UtWideString(big).compareTo(small), 1);
    EXPECT_LT(UtWideString(big).compareTo(UtWideString(small)), 0);
    EXPECT_EQ(UtWideString(u"ab").compareTo(UtWideString(u"abc")), -1);
    EXPECT_EQ(UtWideString(u"AbC").compareTo(UtWideString(u"aBc"), UtWideString::ignoreCase), 0);
    EXPECT_TRUE(UtWideString(u"x") == UtWideString(u"x"));
    EXPECT_FALSE(UtWideString(u"x") == u"xy");
}

TEST(UtWideStringCompare, FreeCaseInsensitiveComparisons)
{
    EXPECT_EQ(utWideCompareNoCase(u"file.qsl", u"FILE.QSL"), 0);
    EXPECT_EQ(utWideCompareNoCase(u"abc", u"abd"), -1);
    EXPECT_EQ(utWideCompareNoCase(u"abd", u"ABC"), 1);
    // A text that ends first is the smaller one.
    EXPECT_EQ(utWideCompareNoCase(u"ab", u"abc"), -1);
    EXPECT_EQ(utWideCompareNoCase(u"abc", u"ab"), 1);
    EXPECT_EQ(utWideCompareNoCase(u"abcX", u"ABCy", 3), 0);
    EXPECT_EQ(utWideCompareNoCase(u"abcX", u"ABCy", 4), -1);
    EXPECT_EQ(utWideCompareNoCase(nullptr, u""), 0);
}

TEST(UtWideStringSearch, ElementSearches)
{
    UtWideString name(u"dir/file.name.qsl");
    EXPECT_EQ(name.firstChar(u'.'), 8u);
    EXPECT_EQ(name.lastChar(u'.'), 13u);
    EXPECT_EQ(name.firstOf(u"./"), 3u);
    EXPECT_EQ(name.firstChar(u'x'), UtWideString::npos);
    EXPECT_EQ(name.indexOf(u"QSL", 0, UtWideString::ignoreCase), 14u);
    EXPECT_EQ(name.indexOf(u"QSL"), UtWideString::npos);
    EXPECT_EQ(name.indexOf(u"", 0, 4, UtWideString::exact), 4u);
    EXPECT_EQ(name.collate(u"dir/file.name.qsl"), 0);
}

TEST(UtWideStringIndex, OutOfRangeRaisesTheIndexMessage)
{
    UtWideString s(u"abc");
    try {
        s.at(3);
        FAIL() << "no error raised";
    } catch (const UtBoundsErr& err) {
        EXPECT_STREQ(err.why(), "[INDEX] Index (3) out of range [0->2]");
    }
}

TEST(UtWideStringSlices, SubstringsOfWideStrings)
{
    UtWideString s(u"  x  ");
    UtWideStringSlice x = s.strip(UtWideString::stripBoth);
    EXPECT_EQ(x.start(), 2u);
    EXPECT_EQ(x.extent(), 1u);
    EXPECT_TRUE(x == u"x");
    EXPECT_TRUE(UtWideString(u"   ").strip(UtWideString::stripBoth).isNull());

    UtWideString abc(u"abc");
    abc.slice(1, 1) = u"XY";
    EXPECT_EQ(abc, u"aXYc");
    EXPECT_EQ(UtWideString(abc.slice(1, 2)), u"XY");
    abc.slice(0, 4).toUpper();
    EXPECT_EQ(abc, u"AXYC");
}

TEST(UtWideStringNarrow, WidenedTextIsZeroExtended)
{
    UtWideString widened("caf\xE9");
    EXPECT_EQ(widened.length(), 4u);
    EXPECT_EQ(widened[3], u'\u00E9');
    EXPECT_EQ(widened.capacity(), 4u);
    EXPECT_EQ(UtWideString("abc", 2), u"ab");
    EXPECT_EQ(UtWideString(UtCString("a\0b", 3)).length(), 3u);
}

TEST(UtWideStringNarrow, ToAsciiKeepsTheLowByte)
{
    const char16_t text[] = {u'A', 0x0142, u'z', 0x00E9, 0};
    UtWideString s(text);
    EXPECT_FALSE(s.isAscii());
    UtCString ascii = s.toAscii();
    EXPECT_EQ(ascii.length(), 4u);
    EXPECT_EQ(asStdString(ascii), std::string("ABz\xE9"));
    EXPECT_TRUE(UtWideString(u"plain").isAscii());
    EXPECT_EQ(UtWideString(u"plain").toAscii(), "plain");
    EXPECT_TRUE(UtWideString().toAscii().isNull());
}

TEST(UtWideStringMultiByte, ShortAndLongNamesConvertAlike)
{
    Utf8Locale utf8;
    if (!utf8.active()) {
        GTEST_SKIP() << "no UTF-8 locale";
    }
    // 58 characters take 63 bytes (stack buffer); 59 take 64 and 64 take 70
    // (heap buffer).
    for (int characters : {1, 58, 59, 64, 100, 1000}) {
        std::u16string expected;
        const std::string bytes = utf8Name(characters, expected);
        UtWideString wide(bytes.c_str(), UtNarrowConversion::multiByte);
        EXPECT_EQ(wide.length(), expected.size()) << characters;
        EXPECT_EQ(wide, expected.c_str()) << characters;
        EXPECT_EQ(wide.capacity(), wide.length());
        EXPECT_EQ(asStdString(wide.toMultiByte()), bytes) << characters;

        UtWideString fromString(UtCString(bytes.c_str()), UtNarrowConversion::multiByte);
        EXPECT_EQ(fromString, wide);
    }
    std::u16string expected;
    EXPECT_EQ(utf8Name(58, expected).size(), 63u);
    EXPECT_EQ(utf8Name(59, expected).size(), 64u);
    EXPECT_EQ(utf8Name(64, expected).size(), 70u);

    // Plain names of 63 and 70 characters.
    for (std::size_t characters : {63u, 70u}) {
        const std::string plain(characters, 'n');
        UtWideString wide(plain.c_str(), UtNarrowConversion::multiByte);
        EXPECT_EQ(wide, std::u16string(characters, u'n').c_str());
        EXPECT_EQ(wide.toAscii(), plain.c_str());
    }
}

TEST(UtWideStringMultiByte, InvalidSequencesGiveTheEmptyString)
{
    Utf8Locale utf8;
    if (!utf8.active()) {
        GTEST_SKIP() << "no UTF-8 locale";
    }
    EXPECT_TRUE(UtWideString("ok\xFFno", UtNarrowConversion::multiByte).isNull());
    const std::string longInvalid = std::string(80, 'a') + "\xC3";
    EXPECT_TRUE(UtWideString(longInvalid.c_str(), UtNarrowConversion::multiByte).isNull());
}

TEST(UtWideStringMultiByte, CountedFormReadsExactlyTheGivenBytes)
{
    Utf8Locale utf8;
    if (!utf8.active()) {
        GTEST_SKIP() << "no UTF-8 locale";
    }
    EXPECT_EQ(UtWideString("abc", 2, UtNarrowConversion::multiByte), u"ab");
    // Cutting a two-byte character in half leaves an incomplete sequence.
    EXPECT_TRUE(UtWideString("a\xC3\xA9", 2, UtNarrowConversion::multiByte).isNull());
    // A buffer that is not NUL-terminated is not read past its end.
    const char unterminated[3] = {'x', 'y', 'z'};
    EXPECT_EQ(UtWideString(unterminated, 3, UtNarrowConversion::multiByte), u"xyz");
}

TEST(UtWideStringMultiByte, CharactersBeyondSixteenBitsUseSurrogatePairs)
{
    Utf8Locale utf8;
    if (!utf8.active()) {
        GTEST_SKIP() << "no UTF-8 locale";
    }
    const char* clef = "\xF0\x9D\x84\x9E"; // U+1D11E
    UtWideString wide(clef, UtNarrowConversion::multiByte);
    ASSERT_EQ(wide.length(), 2u);
    EXPECT_EQ(wide[0], 0xD834);
    EXPECT_EQ(wide[1], 0xDD1E);
    EXPECT_EQ(asStdString(wide.toMultiByte()), clef);

    const char16_t lone[] = {u'a', 0xD834, 0};
    EXPECT_TRUE(UtWideString(lone).toMultiByte().isNull());
}

TEST(UtWideStringNullPointers, NullTextIsEmptyText)
{
    const char16_t* none = nullptr;
    UtWideString s(none);
    EXPECT_TRUE(s.isNull());
    s = u"keep";
    s.append(none);
    EXPECT_EQ(s, u"keep");
    EXPECT_EQ(s + none, u"keep");
    EXPECT_EQ(s.compareTo(none), 1);
    EXPECT_FALSE(s == none);
    EXPECT_EQ(s.firstOf(none), UtWideString::npos);
    EXPECT_TRUE(UtWideString(static_cast<const char*>(nullptr)).isNull());
    EXPECT_TRUE(
        UtWideString(static_cast<const char*>(nullptr), 4, UtNarrowConversion::multiByte).isNull());
    s = none;
    EXPECT_TRUE(s.isNull());
}

TEST(UtWideStringThreads, CopiesSharedAcrossThreads)
{
    const UtWideString shared(u"a wide name shared by every thread");
    std::vector<std::thread> threads;
    for (int t = 0; t < 8; ++t) {
        threads.emplace_back([&shared] {
            for (int i = 0; i < 20000; ++i) {
                UtWideString copy = shared;
                UtWideString other;
                other = copy;
            }
        });
    }
    for (auto& thread : threads) {
        thread.join();
    }
    EXPECT_EQ(UtWideStringRep::of(shared.chars())->references(), 1u);
}
