#include "core/strings/utstring.h"
#include "core/strings/utxmsg.h"

#include <gtest/gtest.h>

#include <atomic>
#include <clocale>
#include <cstring>
#include <functional>
#include <ostream>
#include <string>
#include <thread>
#include <vector>

// Readable failure output for strings (found by argument-dependent lookup).
[[maybe_unused]] static void PrintTo(const UtCString& s, std::ostream* os)
{
    *os << '"' << std::string(s.chars(), s.length()) << '"';
}

namespace {

// True when two strings share one representation block.
bool sameBlock(const UtCString& a, const UtCString& b)
{
    return a.chars() == b.chars();
}

std::uint32_t references(const UtCString& s)
{
    return UtCStringRep::of(s.chars())->references();
}

std::string boundsMessage(const std::function<void()>& action)
{
    try {
        action();
    } catch (const UtBoundsErr& err) {
        return err.why();
    }
    return "no error";
}

// Restores the three capacity settings after a test changes them.
class SettingsGuard
{
public:
    SettingsGuard()
        : m_initial(UtCString::initialCapacity()), m_increment(UtCString::resizeIncrement()),
          m_waste(UtCString::maxWaste())
    {
    }
    ~SettingsGuard()
    {
        UtCString::setInitialCapacity(m_initial);
        UtCString::setResizeIncrement(m_increment);
        UtCString::setMaxWaste(m_waste);
    }

private:
    std::uint32_t m_initial;
    std::uint32_t m_increment;
    std::uint32_t m_waste;
};

} // namespace

TEST(UtCStringRepresentation, HandleIsOnePointerAndTextIsTerminated)
{
    EXPECT_EQ(sizeof(UtCString), sizeof(void*));
    UtCString s("hello");
    EXPECT_STREQ(s.chars(), "hello");
    EXPECT_EQ(s.length(), 5u);
    EXPECT_EQ(s.capacity(), 5u);
    // The header words sit right before the text.
    const auto* header = reinterpret_cast<const std::uint32_t*>(s.chars()) - 3;
    EXPECT_EQ(header[0], 0u); // one reference stored as 0
    EXPECT_EQ(header[1], 5u);
    EXPECT_EQ(header[2], 5u);
}

TEST(UtCStringRepresentation, EmptyTextsShareTheEmptyRepresentation)
{
    UtCString a;
    UtCString b("");
    UtCString c(static_cast<const char*>(nullptr));
    UtCString d(0u);
    EXPECT_TRUE(sameBlock(a, b));
    EXPECT_TRUE(sameBlock(a, c));
    EXPECT_TRUE(sameBlock(a, d));
    EXPECT_TRUE(UtCStringRep::isEmptyRep(a.chars()));
    EXPECT_GE(references(a), 2u);
    EXPECT_EQ(a.capacity(), 0u);
    EXPECT_STREQ(a.chars(), "");
}

TEST(UtCStringRepresentation, AssigningEmptyTextToSharedOrSoleOwner)
{
    UtCString shared("some text");
    UtCString other = shared;
    shared = "";
    EXPECT_TRUE(UtCStringRep::isEmptyRep(shared.chars()));
    EXPECT_EQ(other, "some text");

    UtCString sole("private text");
    const char* block = sole.chars();
    sole = "";
    EXPECT_EQ(sole.chars(), block);
    EXPECT_EQ(sole.length(), 0u);
    EXPECT_EQ(sole.capacity(), 12u);
    EXPECT_STREQ(sole.chars(), "");
}

TEST(UtCStringConstruction, CapacitiesOfEachConstructor)
{
    EXPECT_EQ(UtCString(40u).capacity(), 40u);
    EXPECT_EQ(UtCString(40u).length(), 0u);
    EXPECT_EQ(UtCString("abc", 2).capacity(), 2u);
    EXPECT_EQ(UtCString('x').capacity(), 15u);
    EXPECT_EQ(UtCString('x').length(), 1u);
    EXPECT_EQ(UtCString('x', 4), "xxxx");
    EXPECT_EQ(UtCString('x', 4).capacity(), 4u);
    EXPECT_EQ((UtCString("ab") + "cd").capacity(), 15u);
    EXPECT_EQ(UtCString(std::string(20, 'a').c_str()).capacity(), 20u);
}

TEST(UtCStringConstruction, EmbeddedNulsAreKept)
{
    UtCString s("a\0b", 3);
    EXPECT_EQ(s.length(), 3u);
    EXPECT_EQ(s[1], '\0');
    EXPECT_EQ(s[2], 'b');
    EXPECT_TRUE(s == UtCString("a\0b", 3));
    EXPECT_FALSE(s == "a"); // the text ends before the string does
}

TEST(UtCStringConstruction, CopySharesAndDeepCopyDoesNot)
{
    UtCString a("shared");
    UtCString b(a);
    EXPECT_TRUE(sameBlock(a, b));
    EXPECT_EQ(references(a), 2u);
    UtCString c = a.copy();
    EXPECT_FALSE(sameBlock(a, c));
    EXPECT_EQ(c.capacity(), 6u);
    EXPECT_EQ(c, "shared");
}

TEST(UtCStringConstruction, MoveLeavesAnEmptyString)
{
    UtCString a("moving");
    const char* block = a.chars();
    UtCString b(std::move(a));
    EXPECT_EQ(b.chars(), block);
    EXPECT_TRUE(a.isNull()); // NOLINT(bugprone-use-after-move): moved-from is valid and empty
    UtCString c("other");
    c = std::move(b);
    EXPECT_EQ(c, "moving");
}

TEST(UtCStringConstruction, SelfAssignmentIsSafe)
{
    UtCString a("self");
    UtCString& alias = a;
    a = alias;
    EXPECT_EQ(a, "self");
    EXPECT_EQ(references(a), 1u);
    a = a.chars(); // text from inside its own block
    EXPECT_EQ(a, "self");
}

TEST(UtCStringCapacity, AdjustedCapacitySteps)
{
    EXPECT_EQ(UtCString::adjustCapacity(0), 15u);
    EXPECT_EQ(UtCString::adjustCapacity(15), 15u);
    EXPECT_EQ(UtCString::adjustCapacity(16), 31u);
    EXPECT_EQ(UtCString::adjustCapacity(31), 31u);
    EXPECT_EQ(UtCString::adjustCapacity(32), 47u);
    EXPECT_EQ(UtCString::adjustCapacity(47), 47u);
    EXPECT_EQ(UtCString::adjustCapacity(48), 63u);
}

TEST(UtCStringCapacity, AppendGrowsIntoAdjustedBlocks)
{
    UtCString twenty(std::string(20, 'a').c_str());
    twenty.append("b");
    EXPECT_EQ(twenty.capacity(), 31u);
    EXPECT_EQ(twenty.length(), 21u);

    UtCString fifteen("abcdefghijklmno");
    EXPECT_EQ(fifteen.capacity(), 15u);
    fifteen.append("p");
    EXPECT_EQ(fifteen.capacity(), 31u);
    EXPECT_EQ(fifteen, "abcdefghijklmnop");

    // There is now room: the next append stays in the same block.
    const char* block = fifteen.chars();
    fifteen.append("qr");
    EXPECT_EQ(fifteen.chars(), block);
}

TEST(UtCStringCapacity, ReplaceRefusesToWasteMoreThanTheLimit)
{
    UtCString forty(std::string(40, 'x').c_str());
    ASSERT_EQ(forty.capacity(), 40u);
    forty.replace(0, 20, nullptr, 0);
    EXPECT_EQ(forty.length(), 20u);
    EXPECT_EQ(forty.capacity(), 31u);

    // Removing few enough bytes keeps the block.
    UtCString thirty(std::string(30, 'y').c_str());
    const char* block = thirty.chars();
    thirty.replace(5, 10, "z", 1);
    EXPECT_EQ(thirty.chars(), block);
    EXPECT_EQ(thirty.length(), 21u);
    EXPECT_EQ(thirty, ("yyyyyz" + std::string(15, 'y')).c_str());
}

TEST(UtCStringCapacity, AppendingAStringToItselfBuildsANewBlock)
{
    UtCString s("ab");
    s.setCapacity(40);
    const char* block = s.chars();
    s.append(s);
    EXPECT_NE(s.chars(), block);
    EXPECT_EQ(s, "abab");
    s.append(s.chars() + 1); // a pointer into its own text
    EXPECT_EQ(s, "ababbab");
}

TEST(UtCStringCapacity, RepeatedCharactersAndExplicitCapacities)
{
    UtCString s("abc");
    s.appendRepeated('-', 3);
    EXPECT_EQ(s, "abc---");
    EXPECT_EQ(s.capacity(), 6u); // exact, not adjusted

    s.prependRepeated('>', 2);
    EXPECT_EQ(s, ">>abc---");
    EXPECT_EQ(s.capacity(), 15u);
    const char* block = s.chars();
    s.prependRepeated('#', 7); // fits exactly: stays in place
    EXPECT_EQ(s.chars(), block);
    EXPECT_EQ(s, "#######>>abc---");

    UtCString t("xyz");
    EXPECT_EQ(t.setCapacity(2), 3u);   // not above the length: unchanged
    EXPECT_EQ(t.setCapacity(50), 50u); // exact
    EXPECT_EQ(t, "xyz");
}

TEST(UtCStringCapacity, ResizePadsWithBlanksOrTruncates)
{
    UtCString s("abc");
    s.resize(5);
    EXPECT_EQ(s, "abc  ");
    s.resize(2);
    EXPECT_EQ(s, "ab");

    UtCString shared("same");
    UtCString copy = shared;
    shared.resize(4); // same length still makes a shared string private
    EXPECT_FALSE(sameBlock(shared, copy));
    EXPECT_EQ(shared.capacity(), 4u);
}

TEST(UtCStringCapacity, ReserveAndClearKeepCapacity)
{
    UtCString s("abcdef");
    s.reserve(30);
    EXPECT_EQ(s.capacity(), 30u);
    EXPECT_EQ(s, "abcdef");
    const char* block = s.chars();
    s.clearKeepCapacity(10);
    EXPECT_EQ(s.chars(), block);
    EXPECT_TRUE(s.isNull());
    s.clearKeepCapacity(64);
    EXPECT_EQ(s.capacity(), 64u);
}

TEST(UtCStringCapacity, SettingsReturnPreviousValuesAndSteerCapacities)
{
    SettingsGuard guard;
    EXPECT_EQ(UtCString::setInitialCapacity(7), 15u);
    EXPECT_EQ(UtCString::setResizeIncrement(8), 16u);
    EXPECT_EQ(UtCString::setMaxWaste(3), 15u);
    EXPECT_EQ(UtCString::initialCapacity(), 7u);
    EXPECT_EQ(UtCString::adjustCapacity(8), 15u);
    EXPECT_EQ(UtCString::adjustCapacity(16), 23u);
    EXPECT_EQ(UtCString('c').capacity(), 7u);
}

TEST(UtCStringCapacity, DegenerateSettingsStaySafe)
{
    SettingsGuard guard;
    UtCString::setInitialCapacity(0);
    UtCString::setResizeIncrement(0);
    UtCString c('c');
    EXPECT_EQ(c, "c");
    EXPECT_GE(c.capacity(), 1u);
    EXPECT_EQ(UtCString::adjustCapacity(5), 5u);
    UtCString s("ab");
    s.append("cdefg");
    EXPECT_EQ(s, "abcdefg");
}

TEST(UtCStringCopyOnWrite, EditsNeverShowInCopies)
{
    const UtCString original("Hello World");
    UtCString edited = original;

    edited.at(0) = 'J';
    EXPECT_EQ(original, "Hello World");
    EXPECT_EQ(edited, "Jello World");
    EXPECT_EQ(edited.capacity(), edited.length()); // exact-size private copy

    UtCString lowered = original;
    lowered.toLower();
    UtCString uppered = original;
    uppered.toUpper();
    UtCString appended = original;
    appended.append("!");
    UtCString truncated = original;
    truncated.truncate(5);
    UtCString prefixed = original;
    prefixed.prependRepeated('*', 1);
    UtCString replaced = original;
    replaced.replace(0, 5, "Bye", 3);

    EXPECT_EQ(original, "Hello World");
    EXPECT_EQ(lowered, "hello world");
    EXPECT_EQ(uppered, "HELLO WORLD");
    EXPECT_EQ(appended, "Hello World!");
    EXPECT_EQ(truncated, "Hello");
    EXPECT_EQ(prefixed, "*Hello World");
    EXPECT_EQ(replaced, "Bye World");
    EXPECT_EQ(references(original), 1u);
}

TEST(UtCStringCopyOnWrite, SoleOwnerEditsInPlace)
{
    UtCString s("abc");
    const char* block = s.chars();
    s.at(1) = 'X';
    s.toUpper();
    EXPECT_EQ(s.chars(), block);
    EXPECT_EQ(s, "AXC");
}

TEST(UtCStringCopyOnWrite, CaseConversionCopies)
{
    UtCString s("MiXeD");
    UtCString lower = toLower(s);
    UtCString upper = toUpper(s);
    EXPECT_EQ(s, "MiXeD");
    EXPECT_EQ(lower, "mixed");
    EXPECT_EQ(upper, "MIXED");
    EXPECT_EQ(upper.capacity(), 5u);
    UtCString empty;
    empty.toUpper(); // never writes into the shared empty block
    EXPECT_TRUE(toLower(empty).isNull());
}

TEST(UtCStringIndex, OutOfRangeRaisesTheIndexMessage)
{
    UtCString s("abc");
    EXPECT_EQ(boundsMessage([&] { s.at(3); }), "[INDEX] Index (3) out of range [0->2]");
    UtCString empty;
    EXPECT_EQ(boundsMessage([&] { empty.at(0); }),
              "[INDEX] Index (0) out of range [0->4294967295]");
    EXPECT_EQ(boundsMessage([&] { s.at(UtCString::npos); }),
              "[INDEX] Index (4294967295) out of range [0->2]");
    const UtCString& cs = s;
    EXPECT_EQ(cs.at(2), 'c');
    EXPECT_THROW(cs.at(3), UtInternalErr);
}

TEST(UtCStringHash, ValuesOfTheHashFunction)
{
    EXPECT_EQ(UtCString("abc").hash(), 0x00616203u);
    EXPECT_EQ(UtCString("abc").hash(UtCString::ignoreCase), 0x00008C03u);
    EXPECT_EQ(UtCString("ABC").hash(), 0x00414223u);
    EXPECT_EQ(UtCString("ABC").hash(UtCString::ignoreCase), 0x00008C03u);
    EXPECT_EQ(UtCString("abcd").hash(), 0x646362E1u);
    EXPECT_EQ(UtCString("").hash(), 0u);
    // Any non-zero caseCompare ignores case.
    EXPECT_EQ(UtCString("abc").hash(7), 0x00008C03u);
}

TEST(UtCStringHash, HighTailBytesSpreadAsSignedChars)
{
    // One trailing byte 0x80: length 1 -> rotl(1,5)=0x20, w = 0xFFFFFF80.
    EXPECT_EQ(UtCString("\x80").hash(), 0x20u ^ 0xFFFFFF80u);
    // A whole group of four high bytes is read unsigned.
    EXPECT_EQ(UtCString("\x80\x80\x80\x80").hash(), 0x80u ^ 0x80808080u);
}

TEST(UtCStringCompare, TextFormIsSignedAndStopsAtTheTextEnd)
{
    EXPECT_EQ(UtCString("abc").compareTo("ab"), 1);
    EXPECT_EQ(UtCString("ab").compareTo("ab"), 0);
    EXPECT_EQ(UtCString("ab").compareTo("abc"), -1);
    EXPECT_EQ(UtCString("abc").compareTo("abd"), -1);
    EXPECT_EQ(UtCString("ABC").compareTo("abc", UtCString::ignoreCase), 0);
    EXPECT_EQ(UtCString("ABD").compareTo("abc", UtCString::ignoreCase), 1);
    EXPECT_EQ(UtCString("a\xE9").compareTo("aA"), -1); // 0xE9 is negative as a signed char
}

TEST(UtCStringCompare, StringFormIsUnsignedMemcmp)
{
    EXPECT_GT(UtCString("a\xE9").compareTo(UtCString("aA")), 0);
    EXPECT_EQ(UtCString("ab").compareTo(UtCString("abc")), -1);
    EXPECT_EQ(UtCString("abc").compareTo(UtCString("ab")), 1);
    EXPECT_EQ(UtCString("abc").compareTo(UtCString("abc")), 0);
    EXPECT_LT(UtCString("abc").compareTo(UtCString("abd")), 0);
    EXPECT_EQ(UtCString("Abc").compareTo(UtCString("aBD"), UtCString::ignoreCase), -1);
    EXPECT_EQ(UtCString("Abc").compareTo(UtCString("aBC"), UtCString::ignoreCase), 0);
}

TEST(UtCStringCompare, Equality)
{
    UtCString s("abc");
    EXPECT_TRUE(s == "abc");
    EXPECT_TRUE("abc" == s);
    EXPECT_FALSE(s == "ab");
    EXPECT_FALSE(s == "abcd");
    EXPECT_TRUE(s == UtCString("abc"));
    EXPECT_TRUE(s != UtCString("abd"));
    EXPECT_EQ(s.collate("abc"), 0);
}

TEST(UtCStringSearch, CharactersAndSets)
{
    UtCString s("a,b;c,d");
    EXPECT_EQ(s.firstChar(','), 1u);
    EXPECT_EQ(s.lastChar(','), 5u);
    EXPECT_EQ(s.firstOf(";,"), 1u);
    EXPECT_EQ(s.firstChar('x'), UtCString::npos);
    EXPECT_EQ(s.firstOf("xyz"), UtCString::npos);
    // Searches stop at an embedded NUL.
    UtCString nul("ab\0cd", 5);
    EXPECT_EQ(nul.firstChar('c'), UtCString::npos);
}

TEST(UtCStringSearch, IndexOf)
{
    UtCString s("abcd");
    EXPECT_EQ(s.indexOf("", 0, 2, UtCString::exact), 2u);
    EXPECT_EQ(s.indexOf("cd", 3), UtCString::npos);
    EXPECT_EQ(s.indexOf("cd"), 2u);
    EXPECT_EQ(s.indexOf("CD", 0, UtCString::ignoreCase), 2u);
    EXPECT_EQ(s.indexOf("CD"), UtCString::npos);
    EXPECT_EQ(s.indexOf(UtCString("bc")), 1u);
    EXPECT_EQ(s.indexOf("a", UtCString::npos), UtCString::npos); // no wrap-around
    EXPECT_EQ(UtCString("aaab").indexOf("aab"), 1u);
}

TEST(UtCStringQueries, AsciiAndMultibyteLength)
{
    EXPECT_TRUE(UtCString("plain").isAscii());
    EXPECT_FALSE(UtCString("caf\xC3\xA9").isAscii());
    EXPECT_EQ(UtCString("plain").mbLength(), 5u);
    EXPECT_EQ(UtCString("ab\0cd", 5).mbLength(), 2u);

    if (std::setlocale(LC_CTYPE, "C.UTF-8") != nullptr) {
        EXPECT_EQ(UtCString("caf\xC3\xA9").mbLength(), 4u);
        EXPECT_EQ(UtCString("caf\xC3").mbLength(), UtCString::npos); // runs past the end
        EXPECT_EQ(UtCString("\xFF").mbLength(), UtCString::npos);
        std::setlocale(LC_CTYPE, "C");
    }
}

TEST(UtCStringNullPointers, NullTextIsEmptyText)
{
    const char* none = nullptr;
    UtCString a(none);
    EXPECT_TRUE(a.isNull());
    UtCString b(none, 5);
    EXPECT_TRUE(b.isNull());

    UtCString s("keep");
    s.append(none);
    EXPECT_EQ(s, "keep");
    s.append(none, 3);
    EXPECT_EQ(s, "keep");
    s += none;
    EXPECT_EQ(s, "keep");
    EXPECT_EQ(s + none, "keep");
    EXPECT_EQ(none + s, "keep");
    EXPECT_EQ(s.compareTo(none), 1);
    EXPECT_EQ(UtCString().compareTo(none), 0);
    EXPECT_FALSE(s == none);
    EXPECT_TRUE(UtCString() == none);
    EXPECT_EQ(s.collate(none), std::strcoll("keep", ""));
    EXPECT_EQ(s.firstOf(none), UtCString::npos);
    EXPECT_EQ(s.indexOf(none), 0u);
    s = none;
    EXPECT_TRUE(s.isNull());
}

TEST(UtCStringPastTheEnd, ReplaceAndTruncateClampInReleaseBuilds)
{
#ifdef NDEBUG
    UtCString s("abc");
    s.replace(10, 2, "XY", 2);
    EXPECT_EQ(s, "abcXY");
    s.truncate(100);
    EXPECT_EQ(s, "abcXY");
    s.truncate(UtCString::npos);
    EXPECT_EQ(s, "abcXY");
#else
    GTEST_SKIP() << "debug builds assert on a position past the end";
#endif
}

TEST(UtCStringPastTheEndDeathTest, ReplaceAndTruncateAssertInDebugBuilds)
{
#ifdef NDEBUG
    GTEST_SKIP() << "release builds clamp instead";
#else
    UtCString s("abc");
    EXPECT_DEATH(s.replace(10, 2, "XY", 2), "past the end");
    EXPECT_DEATH(s.truncate(4), "past the end");
#endif
}

TEST(UtCStringThreads, CopiesSharedAcrossThreads)
{
    const UtCString shared("a text shared by every thread");
    constexpr int threadCount = 8;
    constexpr int rounds = 20000;
    std::atomic<int> mismatches{0};
    std::vector<std::thread> threads;
    for (int t = 0; t < threadCount; ++t) {
        threads.emplace_back([&shared, &mismatches] {
            for (int i = 0; i < rounds; ++i) {
                UtCString copy = shared;
                UtCString second;
                second = copy;
                if (i % 64 == 0) {
                    // An edit of a copy takes a private block.
                    second.append("!");
                    if (!(copy == "a text shared by every thread")) {
                        ++mismatches;
                    }
                }
                UtCString empty; // the empty representation is shared too
            }
        });
    }
    for (auto& thread : threads) {
        thread.join();
    }
    EXPECT_EQ(mismatches.load(), 0);
    EXPECT_EQ(references(shared), 1u);
    EXPECT_EQ(shared, "a text shared by every thread");
}
