// Error classes, message texts, the message catalogue and the fatal-error hook.

#include "core/strings/utxmsg.h"

#include "platform/msgbox.h"

#include <gtest/gtest.h>

#include <cstdio>
#include <cstring>
#include <string>
#include <typeinfo>
#include <vector>

namespace {

struct CatalogueEntry
{
    const UtMessageRecord& (*accessor)();
    const char* domain;
    std::uint32_t number;
    const char* text;
};

const std::vector<CatalogueEntry>& expectedCatalogue()
{
    static const std::vector<CatalogueEntry> entries = {
        {utToolsMsg_ALLOCOUT, "uttools6.0", 0x2000,
         "[ALLOCOUT] %s destructor called with allocation outstanding"},
        {utToolsMsg_BADRE, "uttools6.0", 0x2001,
         "[BADRE] Attempt to use invalid regular expression"},
        {utToolsMsg_CRABS, "uttools6.0", 0x2002,
         "[CRABS] UtFactory: attempting to create abstract class with ID %hu (0x%hx)"},
        {utToolsMsg_FLIST, "uttools6.0", 0x2003,
         "[FLIST] Free list size error: expected %ld, got %ld"},
        {utToolsMsg_ID, "uttools6.0", 0x2004, "[ID] Unexpected class ID %hu; should be %hu"},
        {utToolsMsg_INDEX, "uttools6.0", 0x2005, "[INDEX] Index (%u) out of range [0->%u]"},
        {utToolsMsg_LOCK, "uttools6.0", 0x2006, "[LOCK] Locked object deleted"},
        {utToolsMsg_LONGINDEX, "uttools6.0", 0x2007,
         "[LONGINDEX] Long index (%lu) out of range [0->%lu]"},
        {utToolsMsg_MAGIC, "uttools6.0", 0x2008, "[MAGIC] Bad magic number: %ld (should be %ld)"},
        {utToolsMsg_NEVECL, "uttools6.0", 0x2009, "[NEVECL] Unequal vector lengths: %u versus %u"},
        {utToolsMsg_NOCREATE, "uttools6.0", 0x200A,
         "[NOCREATE] UtFactory: no create function for class with ID %hu (0x%hx)"},
        {utToolsMsg_NOTALLOW, "uttools6.0", 0x200B,
         "[NOTALLOW] Function not allowed for derived class"},
        {utToolsMsg_READERR, "uttools6.0", 0x200C, "[READERR] Read error"},
        {utToolsMsg_REF, "uttools6.0", 0x200D, "[REF] Bad persistence reference"},
        {utToolsMsg_SEEKERR, "uttools6.0", 0x200E, "[SEEKERR] Seek error"},
        {utToolsMsg_STREAM, "uttools6.0", 0x200F, "[STREAM] Bad input stream"},
        {utToolsMsg_SUBSTRING, "uttools6.0", 0x2010,
         "[SUBSTRING] Illegal substring (%d, %u) from %u element UtCString"},
        {utToolsMsg_UNLOCK, "uttools6.0", 0x2011, "[UNLOCK] Improper use of locked object"},
        {utToolsMsg_WRITEERR, "uttools6.0", 0x2012, "[WRITEERR] Write error"},
        {utToolsMsg_INDEXERR, "uttools6.0", 0x2013,
         "[INDEXERR] Illegal Index (%u) for collection with %u elements"},
        {utCoreMsg_EOF, "utcore6.0", 0x1000, "[EOF] EOF on input"},
        {utCoreMsg_GENERIC, "utcore6.0", 0x1001, "[GENERIC] Generic error number %d; %s"},
        {utCoreMsg_INVADDR, "utcore6.0", 0x1002, "[INVADDR] Invalid address: %lx"},
        {utCoreMsg_LOCK, "utcore6.0", 0x1003, "[LOCK] Unable to lock memory"},
        {utCoreMsg_NOINIT, "utcore6.0", 0x1004,
         "[NOINIT] Memory allocated without being initialized"},
        {utCoreMsg_NOMEM, "utcore6.0", 0x1005, "[NOMEM] No memory"},
        {utCoreMsg_OPERR, "utcore6.0", 0x1006, "[OPERR] Could not open file %s"},
        {utCoreMsg_OUTALLOC, "utcore6.0", 0x1007,
         "[OUTALLOC] Memory released with allocations still outstanding"},
        {utCoreMsg_OVFLOW, "utcore6.0", 0x1008,
         "[OVFLOW] Overflow error -> \"%.*s\" <- (%u max characters)"},
        {utCoreMsg_STREAM, "utcore6.0", 0x1009, "[STREAM] Bad input stream"},
        {utCoreMsg_SYNSTREAM, "utcore6.0", 0x100A,
         "[SYNSTREAM] Syntax error in input stream: expected %s, got %s"},
    };
    return entries;
}

TEST(MessageCatalogue, HoldsEveryRecordWithItsDomainNumberAndText)
{
    ASSERT_EQ(expectedCatalogue().size(), 31u);
    for (const CatalogueEntry& want : expectedCatalogue()) {
        const UtMessageRecord& rec = want.accessor();
        SCOPED_TRACE(want.text);
        EXPECT_STREQ(rec.domain, want.domain);
        EXPECT_EQ(rec.number, want.number);
        EXPECT_STREQ(rec.text, want.text);
        EXPECT_EQ(rec.reserved, 0u);
        EXPECT_EQ(&rec, &want.accessor()) << "a record is one constant object";
    }
}

TEST(MessageText, FormatsARecordWithItsArguments)
{
    EXPECT_STREQ(UtMessageText(utToolsMsg_INDEXERR(), 5u, 3u).str(),
                 "[INDEXERR] Illegal Index (5) for collection with 3 elements");
    EXPECT_STREQ(UtMessageText(utToolsMsg_INDEX(), 0u, 4294967295u).str(),
                 "[INDEX] Index (0) out of range [0->4294967295]");
    EXPECT_STREQ(UtMessageText(utCoreMsg_NOMEM()).str(), "[NOMEM] No memory");
}

TEST(MessageText, CutsOverlongResultsToTheFormattingArea)
{
    const std::string name(2000, 'x');
    UtMessageText text(utCoreMsg_OPERR(), name.c_str());
    EXPECT_EQ(std::strlen(text.str()), UtMessageText::formatAreaSize - 1);
    EXPECT_EQ(std::string(text.str()).rfind("[OPERR] Could not open file xxx", 0), 0u);
}

TEST(MessageText, CopiesAndAssignmentsOwnSeparateTexts)
{
    char source[] = "original";
    UtMessageText a(source);
    source[0] = 'X';
    EXPECT_STREQ(a.str(), "original");

    UtMessageText b(a);
    EXPECT_STREQ(b.str(), "original");
    EXPECT_NE(b.str(), a.str());

    UtMessageText c("other");
    c = a;
    EXPECT_STREQ(c.str(), "original");
    EXPECT_NE(c.str(), a.str());

    const char* before = c.str();
    UtMessageText& alias = c;
    c = alias;
    EXPECT_EQ(c.str(), before);
    EXPECT_STREQ(c.str(), "original");
}

TEST(Utxmsg, CopiedTextIsPrivateToTheObjectAndItsCopies)
{
    char source[] = "disk on fire";
    Utxmsg err(source);
    source[0] = 'X';
    EXPECT_STREQ(err.why(), "disk on fire");
    EXPECT_TRUE(err.ownsText());

    Utxmsg copy(err);
    EXPECT_STREQ(copy.why(), "disk on fire");
    EXPECT_NE(copy.why(), err.why());
    EXPECT_TRUE(copy.ownsText());

    Utxmsg fromText(UtMessageText(utToolsMsg_INDEX(), 3u, 2u));
    EXPECT_STREQ(fromText.why(), "[INDEX] Index (3) out of range [0->2]");
}

TEST(Utxmsg, BorrowedTextIsSharedAndNeverFreed)
{
    // A stack buffer: freeing it would be caught by the sanitizer build.
    char source[] = "borrowed";
    {
        Utxmsg err(source, false);
        EXPECT_EQ(err.why(), source);
        EXPECT_FALSE(err.ownsText());
        Utxmsg copy(err);
        EXPECT_EQ(copy.why(), source);
        Utxmsg assigned("owned");
        assigned = err;
        EXPECT_EQ(assigned.why(), source);
        EXPECT_FALSE(assigned.ownsText());
    }
    EXPECT_STREQ(source, "borrowed");

    Utxmsg copied(source, true);
    EXPECT_NE(copied.why(), source);
    EXPECT_TRUE(copied.ownsText());
}

TEST(Utxmsg, AssignmentReplacesTheTextWithoutSharingOrLeaking)
{
    Utxmsg a("first");
    Utxmsg b("second");
    b = a;
    EXPECT_STREQ(b.why(), "first");
    EXPECT_NE(b.why(), a.why());

    static const char borrowed[] = "static text";
    Utxmsg c(borrowed, false);
    c = a; // borrowed -> owned
    EXPECT_STREQ(c.why(), "first");
    EXPECT_TRUE(c.ownsText());

    const char* before = a.why();
    Utxmsg& alias = a;
    a = alias;
    EXPECT_EQ(a.why(), before);
    EXPECT_STREQ(a.why(), "first");

    // Assigning through the base copies the base part; the derived object
    // keeps owning a private text.
    UtBoundsErr bounds("bounds");
    Utxmsg& base = bounds;
    base = Utxmsg("replaced");
    EXPECT_STREQ(bounds.why(), "replaced");
}

TEST(Utxmsg, NullTextReadsAsEmpty)
{
    EXPECT_STREQ(Utxmsg(static_cast<const char*>(nullptr)).why(), "");
    EXPECT_STREQ(Utxmsg(nullptr, false).why(), "");
    EXPECT_STREQ(UtMessageText(static_cast<const char*>(nullptr)).str(), "");
}

TEST(Utxalloc, BorrowsTheCatalogueTextAndKeepsTheSize)
{
    Utxalloc err(12345u);
    EXPECT_EQ(err.why(), utCoreMsg_NOMEM().text);
    EXPECT_FALSE(err.ownsText());
    EXPECT_EQ(err.size(), 12345u);
    Utxalloc copy(err);
    EXPECT_EQ(copy.why(), utCoreMsg_NOMEM().text);
    EXPECT_EQ(copy.size(), 12345u);
}

TEST(ErrorFamily, DerivedClassesKeepTheirValues)
{
    UtFileErr file("file", 0xFFFFFFFFu, 7u);
    EXPECT_STREQ(file.why(), "file");
    EXPECT_EQ(file.value1(), 0xFFFFFFFFu);
    EXPECT_EQ(file.value2(), 7u);

    UtStreamErr stream(UtMessageText("stream"), 0x80000000u);
    EXPECT_STREQ(stream.why(), "stream");
    EXPECT_EQ(stream.value(), 0x80000000u);

    UtFileErr fileCopy(file);
    EXPECT_EQ(fileCopy.value1(), 0xFFFFFFFFu);
    EXPECT_NE(fileCopy.why(), file.why());
}

template <class Caught, class Thrown>
void expectThrownAs(const Thrown& err, const std::type_info& exactType)
{
    try {
        throwError(err);
    } catch (const Caught& caught) {
        EXPECT_EQ(typeid(caught), exactType);
        EXPECT_STREQ(caught.why(), err.why());
        EXPECT_NE(caught.why(), err.why()) << "the thrown object is a copy";
        return;
    }
}

TEST(ThrowError, ThrowsACopyOfTheExactClassCaughtByItsBases)
{
    expectThrownAs<Utxmsg>(Utxmsg("base"), typeid(Utxmsg));
    expectThrownAs<Utxmsg>(UtExternalErr("ext"), typeid(UtExternalErr));
    expectThrownAs<UtExternalErr>(UtFileErr("file", 1, 2), typeid(UtFileErr));
    expectThrownAs<UtExternalErr>(UtStreamErr("stream", 3), typeid(UtStreamErr));
    expectThrownAs<Utxmsg>(UtInternalErr("int"), typeid(UtInternalErr));
    expectThrownAs<UtInternalErr>(UtBoundsErr("bounds"), typeid(UtBoundsErr));
    expectThrownAs<Utxmsg>(UtBoundsErr("bounds"), typeid(UtBoundsErr));

    try {
        throwError(Utxalloc(64));
    } catch (const Utxmsg& caught) {
        ASSERT_EQ(typeid(caught), typeid(Utxalloc));
        EXPECT_EQ(static_cast<const Utxalloc&>(caught).size(), 64u);
    }
}

TEST(ThrowError, TheStaticTypeOfTheArgumentDecides)
{
    UtBoundsErr bounds("bounds");
    const Utxmsg& asBase = bounds;
    EXPECT_THROW(
        {
            try {
                throwError(asBase);
            } catch (const UtInternalErr&) {
                FAIL() << "a base-typed argument throws the base class";
            }
        },
        Utxmsg);
}

TEST(ThrowError, ValuesSurviveTheThrow)
{
    try {
        throwError(UtFileErr(UtMessageText(utCoreMsg_OPERR(), "a.mpg"), 2, 5));
    } catch (const UtFileErr& caught) {
        EXPECT_STREQ(caught.why(), "[OPERR] Could not open file a.mpg");
        EXPECT_EQ(caught.value1(), 2u);
        EXPECT_EQ(caught.value2(), 5u);
    }
}

TEST(Raise, ThrowsTheObjectsOwnClassEvenThroughABaseReference)
{
    UtStreamErr stream("stream", 9);
    const Utxmsg& base = stream;
    try {
        base.raise();
    } catch (const Utxmsg& caught) {
        ASSERT_EQ(typeid(caught), typeid(UtStreamErr));
        EXPECT_EQ(static_cast<const UtStreamErr&>(caught).value(), 9u);
        EXPECT_STREQ(caught.why(), "stream");
    }
    EXPECT_THROW(UtBoundsErr("b").raise(), UtBoundsErr);
    EXPECT_THROW(Utxmsg("m").raise(), Utxmsg);
}

void noteHook(const Utxmsg&) {}
void otherHook(const Utxmsg&) {}

TEST(FatalErrorHook, SetReturnsThePreviousHookAndNullRestoresTheDefault)
{
    EXPECT_EQ(setFatalErrorHook(&noteHook), &defaultFatalErrorHook);
    EXPECT_EQ(setFatalErrorHook(&otherHook), &noteHook);
    EXPECT_EQ(setFatalErrorHook(nullptr), &otherHook);
    EXPECT_EQ(setFatalErrorHook(&defaultFatalErrorHook), &defaultFatalErrorHook);
}

TEST(FatalErrorHookDeathTest, DefaultShowsAnErrorBoxAndExitsWithCodeOne)
{
    GTEST_FLAG_SET(death_test_style, "threadsafe");
    EXPECT_EXIT(
        {
            qvplat::SetMessageBoxHandler([](const char* text, const char* caption, unsigned flags) {
                std::fprintf(stderr, "box caption=<%s> flags=0x%x text=<%s>\n", caption, flags,
                             text);
                return qvplat::IDOK;
            });
            defaultFatalErrorHook(UtBoundsErr("it broke"));
        },
        testing::ExitedWithCode(1), "box caption=<Fatal Error> flags=0x2010 text=<it broke>");
}

TEST(FatalErrorHookDeathTest, DefaultExitsWithCodeOneWithTheStandardBox)
{
    GTEST_FLAG_SET(death_test_style, "threadsafe");
    EXPECT_EXIT(defaultFatalErrorHook(Utxmsg("cannot go on")), testing::ExitedWithCode(1),
                "Fatal Error: cannot go on");
}

} // namespace
