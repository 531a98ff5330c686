// The intrusive list core and the pointer list.

#include "core/strings/utlist.h"

#include "core/strings/utxmsg.h"

#include <gtest/gtest.h>

#include <functional>
#include <memory>
#include <string>
#include <vector>

namespace {

struct Element : UtSlistLink
{
    explicit Element(int v) : value(v) {}
    int value;
};

// Checks the core's invariants: walking from the head passes entries()
// elements and reaches the tail, the tail points to itself, and lastLink() is
// the link before the tail.
void expectSound(const UtSlistCore& list)
{
    const UtSlistLink* tail = list.tailLink();
    EXPECT_EQ(tail->next, tail);
    const UtSlistLink* prev = list.headLink();
    std::size_t walked = 0;
    while (prev->next != tail && walked <= list.entries()) {
        prev = prev->next;
        ++walked;
    }
    EXPECT_EQ(walked, list.entries());
    EXPECT_EQ(prev, list.lastLink());
}

std::vector<int> valuesOf(const UtSlistCore& list)
{
    std::vector<int> values;
    for (UtSlistLink* link = list.firstLink(); link != nullptr; link = list.nextLink(link)) {
        values.push_back(static_cast<Element*>(link)->value);
    }
    return values;
}

std::string indexErrorOf(const std::function<void()>& action)
{
    try {
        action();
    } catch (const UtBoundsErr& err) {
        return err.why();
    }
    return "no error";
}

// A core list over three elements 1, 2, 3 that live as long as the fixture.
class ListCoreTest : public testing::Test
{
protected:
    void fillThree()
    {
        list.insertAfter(list.lastLink(), &e1);
        list.insertAfter(list.lastLink(), &e2);
        list.insertAfter(list.lastLink(), &e3);
    }

    Element e1{1}, e2{2}, e3{3}, e4{4};
    UtSlistCore list;
};

TEST_F(ListCoreTest, EmptyListHasLastAtTheHeadAndHeadAtTheTail)
{
    EXPECT_EQ(list.entries(), 0u);
    EXPECT_TRUE(list.isEmpty());
    EXPECT_EQ(list.lastLink(), list.headLink());
    EXPECT_EQ(list.headLink()->next, list.tailLink());
    EXPECT_EQ(list.firstLink(), nullptr);
    expectSound(list);
}

TEST(ListCore, ConstructorWithOneLinkHoldsIt)
{
    Element only(7);
    UtSlistCore list(&only);
    EXPECT_EQ(list.entries(), 1u);
    EXPECT_EQ(list.firstLink(), &only);
    EXPECT_EQ(list.lastLink(), &only);
    expectSound(list);
}

TEST_F(ListCoreTest, LastFollowsAppendsAndRemovals)
{
    list.insertAfter(list.lastLink(), &e1);
    EXPECT_EQ(list.lastLink(), &e1);
    expectSound(list);

    EXPECT_EQ(list.removeAfter(list.headLink()), &e1);
    EXPECT_EQ(list.lastLink(), list.headLink());
    EXPECT_TRUE(list.isEmpty());
    expectSound(list);

    fillThree();
    list.insertAfter(&e1, &e4); // in the middle: last unchanged
    EXPECT_EQ(list.lastLink(), &e3);
    EXPECT_EQ(valuesOf(list), (std::vector<int>{1, 4, 2, 3}));
    EXPECT_EQ(list.removeAfter(&e2), &e3);
    EXPECT_EQ(list.lastLink(), &e2);
    expectSound(list);
}

TEST_F(ListCoreTest, RemoveAfterRefusesNullAndTheLastLink)
{
    fillThree();
    EXPECT_EQ(list.removeAfter(nullptr), nullptr);
    EXPECT_EQ(list.removeAfter(&e3), nullptr);
    EXPECT_EQ(list.entries(), 3u);
    expectSound(list);

    UtSlistCore empty;
    EXPECT_EQ(empty.removeAfter(empty.headLink()), nullptr);
    expectSound(empty);
}

TEST_F(ListCoreTest, AtWalksFromTheFirstElementAndChecksTheIndex)
{
    fillThree();
    EXPECT_EQ(list.at(0), &e1);
    EXPECT_EQ(list.at(2), &e3);
    EXPECT_EQ(indexErrorOf([&] { list.at(3); }),
              "[INDEXERR] Illegal Index (3) for collection with 3 elements");
    EXPECT_EQ(indexErrorOf([&] { list.at(static_cast<std::size_t>(-1)); }),
              "[INDEXERR] Illegal Index (4294967295) for collection with 3 elements");

    UtSlistCore empty;
    EXPECT_EQ(indexErrorOf([&] { empty.at(0); }),
              "[INDEXERR] Illegal Index (0) for collection with 0 elements");
}

TEST_F(ListCoreTest, InsertAtPlacesBeforeTheIndexAndAppendsAtTheCount)
{
    list.insertAt(0, &e2);
    list.insertAt(0, &e1);
    list.insertAt(2, &e4); // == count: appends
    EXPECT_EQ(list.lastLink(), &e4);
    list.insertAt(2, &e3);
    EXPECT_EQ(valuesOf(list), (std::vector<int>{1, 2, 3, 4}));
    expectSound(list);

    Element extra(5);
    EXPECT_EQ(indexErrorOf([&] { list.insertAt(5, &extra); }),
              "[INDEXERR] Illegal Index (5) for collection with 4 elements");
    EXPECT_EQ(list.entries(), 4u);
    expectSound(list);
}

TEST_F(ListCoreTest, RemoveAtUnlinksByIndexAndChecksIt)
{
    fillThree();
    EXPECT_EQ(indexErrorOf([&] { list.removeAt(3); }),
              "[INDEXERR] Illegal Index (3) for collection with 3 elements");
    EXPECT_EQ(list.removeAt(2), &e3);
    EXPECT_EQ(list.lastLink(), &e2);
    EXPECT_EQ(list.removeAt(0), &e1);
    EXPECT_EQ(valuesOf(list), (std::vector<int>{2}));
    EXPECT_EQ(list.removeAt(0), &e2);
    EXPECT_EQ(list.lastLink(), list.headLink());
    expectSound(list);
}

TEST_F(ListCoreTest, RemoveLinkUnlinksAnyElementAndFixesLast)
{
    fillThree();
    EXPECT_EQ(list.removeLink(&e2), &e2);
    EXPECT_EQ(e2.next, nullptr);
    EXPECT_EQ(valuesOf(list), (std::vector<int>{1, 3}));
    expectSound(list);

    EXPECT_EQ(list.removeLink(&e3), &e3);
    EXPECT_EQ(list.lastLink(), &e1);
    expectSound(list);

    EXPECT_EQ(list.removeLink(&e1), &e1);
    EXPECT_TRUE(list.isEmpty());
    EXPECT_EQ(list.lastLink(), list.headLink());
    expectSound(list);
}

TEST_F(ListCoreTest, RemoveLinkOfAnAbsentLinkChangesNothing)
{
    fillThree();
    e4.next = &e1; // stale pointer: must not be followed or changed
    EXPECT_EQ(list.removeLink(&e4), nullptr);
    EXPECT_EQ(e4.next, &e1);
    EXPECT_EQ(list.removeLink(nullptr), nullptr);
    EXPECT_EQ(valuesOf(list), (std::vector<int>{1, 2, 3}));
    EXPECT_EQ(list.lastLink(), &e3);
    expectSound(list);

    UtSlistCore empty;
    EXPECT_EQ(empty.removeLink(&e4), nullptr);
    expectSound(empty);
}

TEST_F(ListCoreTest, RemoveLinkRefusesTheListsOwnLinks)
{
    fillThree();
    EXPECT_EQ(list.removeLink(list.headLink()), nullptr);
    EXPECT_EQ(list.removeLink(const_cast<UtSlistLink*>(list.tailLink())), nullptr);
    EXPECT_EQ(valuesOf(list), (std::vector<int>{1, 2, 3}));
    expectSound(list);
}

TEST_F(ListCoreTest, FindPredecessorAndContainsLink)
{
    fillThree();
    EXPECT_EQ(list.findPredecessor(&e1), list.headLink());
    EXPECT_EQ(list.findPredecessor(&e3), &e2);
    EXPECT_EQ(list.findPredecessor(&e4), nullptr);
    EXPECT_EQ(list.findPredecessor(nullptr), nullptr);
    EXPECT_EQ(list.findPredecessor(list.tailLink()), nullptr);

    EXPECT_TRUE(list.containsLink(&e2));
    EXPECT_FALSE(list.containsLink(&e4));
    EXPECT_FALSE(list.containsLink(nullptr));
    EXPECT_FALSE(list.containsLink(list.tailLink()));
    expectSound(list);
}

// Counts destructions, so tests can see what a list deletes.
struct Tracked
{
    explicit Tracked(int v, int* deathCount) : value(v), deaths(deathCount) {}
    ~Tracked() { ++*deaths; }
    int value;
    int* deaths;
};

std::vector<int> itemsOf(const UtTPtrSlist<Tracked>& list)
{
    std::vector<int> values;
    for (Tracked* item : list) {
        values.push_back(item->value);
    }
    return values;
}

class PtrListTest : public testing::Test
{
protected:
    Tracked* make(int v)
    {
        owned.push_back(std::make_unique<Tracked>(v, &deaths));
        return owned.back().get();
    }

    int deaths = 0;
    std::vector<std::unique_ptr<Tracked>> owned; // declared first, destroyed last
};

TEST_F(PtrListTest, AddsAtBothEndsInOrder)
{
    UtTPtrSlist<Tracked> list;
    EXPECT_EQ(list.first(), nullptr);
    EXPECT_EQ(list.last(), nullptr);
    list.addAtTail(make(2));
    list.addAtTail(make(3));
    list.addAtHead(make(1));
    EXPECT_EQ(itemsOf(list), (std::vector<int>{1, 2, 3}));
    EXPECT_EQ(list.entries(), 3u);
    EXPECT_EQ(list.first()->value, 1);
    EXPECT_EQ(list.last()->value, 3);
    EXPECT_EQ(list.at(1)->value, 2);
    expectSound(list.core());
}

TEST_F(PtrListTest, RemoveFirstReturnsItemsInOrderThenNull)
{
    UtTPtrSlist<Tracked> list;
    EXPECT_EQ(list.removeFirst(), nullptr);
    list.addAtTail(make(1));
    list.addAtTail(make(2));
    EXPECT_EQ(list.removeFirst()->value, 1);
    EXPECT_EQ(list.removeFirst()->value, 2);
    EXPECT_EQ(list.removeFirst(), nullptr);
    EXPECT_EQ(list.core().lastLink(), list.core().headLink());
    list.addAtTail(make(3)); // appending after emptying still works
    EXPECT_EQ(itemsOf(list), (std::vector<int>{3}));
    EXPECT_EQ(deaths, 0);
    expectSound(list.core());
}

TEST_F(PtrListTest, IndexedOperationsCheckTheirIndex)
{
    UtTPtrSlist<Tracked> list;
    list.insertAt(0, make(1));
    list.insertAt(1, make(3));
    list.insertAt(1, make(2));
    EXPECT_EQ(itemsOf(list), (std::vector<int>{1, 2, 3}));
    EXPECT_EQ(indexErrorOf([&] { list.at(3); }),
              "[INDEXERR] Illegal Index (3) for collection with 3 elements");
    EXPECT_EQ(indexErrorOf([&] { list.insertAt(4, make(9)); }),
              "[INDEXERR] Illegal Index (4) for collection with 3 elements");
    EXPECT_EQ(indexErrorOf([&] { list.removeAt(3); }),
              "[INDEXERR] Illegal Index (3) for collection with 3 elements");
    EXPECT_EQ(list.removeAt(1)->value, 2);
    EXPECT_EQ(list.removeAt(1)->value, 3);
    EXPECT_EQ(list.last()->value, 1);
    expectSound(list.core());
}

TEST_F(PtrListTest, RemoveFirstIfTakesOnlyTheFirstMatch)
{
    UtTPtrSlist<Tracked> list;
    for (int v : {1, 2, 3, 2}) {
        list.addAtTail(make(v));
    }
    Tracked* taken = list.removeFirstIf([](Tracked* t) { return t->value == 2; });
    ASSERT_NE(taken, nullptr);
    EXPECT_EQ(taken, owned[1].get());
    EXPECT_EQ(itemsOf(list), (std::vector<int>{1, 3, 2}));
    EXPECT_EQ(list.removeFirstIf([](Tracked* t) { return t->value == 7; }), nullptr);
    list.removeFirstIf([](Tracked* t) { return t->value == 2; });
    EXPECT_EQ(list.last()->value, 3);
    expectSound(list.core());
}

TEST_F(PtrListTest, ClearingAndDestroyingLeaveTheItemsAlive)
{
    {
        UtTPtrSlist<Tracked> list;
        for (int v = 0; v < 10; ++v) {
            list.addAtTail(make(v));
        }
        list.clear();
        EXPECT_TRUE(list.isEmpty());
        EXPECT_EQ(list.core().lastLink(), list.core().headLink());
        expectSound(list.core());
        for (int v = 0; v < 10; ++v) {
            list.addAtHead(make(v));
        }
    }
    EXPECT_EQ(deaths, 0);
    owned.clear();
    EXPECT_EQ(deaths, 20);
}

TEST(PtrList, HoldsTheSamePointerMoreThanOnceAndNullItems)
{
    int x = 5;
    UtTPtrSlist<int> list;
    list.addAtTail(&x);
    list.addAtTail(nullptr);
    list.addAtTail(&x);
    EXPECT_EQ(list.entries(), 3u);
    EXPECT_EQ(list.at(1), nullptr);
    EXPECT_EQ(list.removeFirst(), &x);
    EXPECT_EQ(list.removeFirst(), nullptr);
    EXPECT_EQ(list.entries(), 1u);
}

TEST(PtrList, LongListsKeepTheirInvariants)
{
    std::vector<int> values(10000);
    UtTPtrSlist<int> list;
    for (int& v : values) {
        list.addAtTail(&v);
    }
    EXPECT_EQ(list.entries(), values.size());
    EXPECT_EQ(list.at(9999), &values[9999]);
    for (std::size_t i = 0; i < 5000; ++i) {
        EXPECT_EQ(list.removeFirst(), &values[i]);
    }
    EXPECT_EQ(list.first(), &values[5000]);
    expectSound(list.core());
}

} // namespace
