// The string list: strings held by value, owned and destroyed by the list.

#include "core/strings/utstrlist.h"

#include "core/strings/utxmsg.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

namespace {

std::uint32_t referencesOf(const UtCString& s)
{
    return UtCStringRep::of(s.chars())->references();
}

std::vector<std::string> textsOf(const UtCStringSlist& list)
{
    std::vector<std::string> texts;
    UtCStringSlistIterator it(list);
    while (it.next()) {
        texts.emplace_back(it.currentString().chars());
    }
    return texts;
}

TEST(StringList, KeepsStringsInOrderByValue)
{
    UtCStringSlist list;
    EXPECT_TRUE(list.isEmpty());
    EXPECT_EQ(list.core().lastLink(), list.core().headLink());

    UtCString b("second");
    list.addAtTail(b);
    list.addAtTail("third");
    list.addAtHead("first");
    b = "changed"; // the list holds its own copy
    EXPECT_EQ(textsOf(list), (std::vector<std::string>{"first", "second", "third"}));
    EXPECT_EQ(list.entries(), 3u);
    EXPECT_TRUE(list.at(2) == "third");
}

TEST(StringList, AtChecksTheIndex)
{
    UtCStringSlist list;
    list.addAtTail("only");
    try {
        list.at(1);
        FAIL() << "no error raised";
    } catch (const UtBoundsErr& err) {
        EXPECT_STREQ(err.why(), "[INDEXERR] Illegal Index (1) for collection with 1 elements");
    }
}

TEST(StringList, RemoveFirstHandsTheStringOverThenGivesEmpty)
{
    UtCStringSlist list;
    list.addAtTail("a");
    list.addAtTail("b");
    EXPECT_TRUE(list.removeFirst() == "a");
    EXPECT_TRUE(list.removeFirst() == "b");
    EXPECT_TRUE(list.removeFirst().isNull());
    EXPECT_EQ(list.core().lastLink(), list.core().headLink());
}

TEST(StringList, DestroyingOrClearingReleasesEveryString)
{
    UtCString shared("a text long enough for its own block");
    ASSERT_EQ(referencesOf(shared), 1u);
    {
        UtCStringSlist list;
        list.addAtTail(shared);
        list.addAtTail(shared);
        EXPECT_EQ(referencesOf(shared), 3u);
        list.deleteAllStrings();
        EXPECT_EQ(referencesOf(shared), 1u);
        EXPECT_TRUE(list.isEmpty());
        EXPECT_EQ(list.core().lastLink(), list.core().headLink());
        EXPECT_EQ(list.core().tailLink()->next, list.core().tailLink());

        list.addAtHead(shared);
        EXPECT_EQ(referencesOf(shared), 2u);
    }
    EXPECT_EQ(referencesOf(shared), 1u);
}

TEST(StringListIterator, WalksOnceAndReportsEmptyOutsideTheList)
{
    UtCStringSlist list;
    list.addAtTail("x");
    list.addAtTail("y");

    UtCStringSlistIterator it(list);
    EXPECT_TRUE(it.currentString().isNull());
    ASSERT_TRUE(it.next());
    UtCString copy = it.currentString();
    EXPECT_TRUE(copy == "x");
    copy = "edited"; // a copy: the list keeps its string
    EXPECT_TRUE(list.at(0) == "x");
    ASSERT_TRUE(it.next());
    EXPECT_TRUE(it.currentString() == "y");
    EXPECT_FALSE(it.next());
    EXPECT_TRUE(it.currentString().isNull());
    EXPECT_FALSE(it.next());

    it.reset();
    ASSERT_TRUE(it.next());
    EXPECT_TRUE(it.currentString() == "x");

    UtCStringSlist empty;
    UtCStringSlistIterator none(empty);
    EXPECT_FALSE(none.next());
}

} // namespace
