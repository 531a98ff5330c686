// The quick smoke check that the README's first command runs: the string and
// collection classes working together the way every other part uses them.
#include "core/strings/utlist.h"
#include "core/strings/utstring.h"
#include "core/strings/utxmsg.h"

#include <gtest/gtest.h>

TEST(Smoke, StringsListsAndErrors)
{
    UtCString greeting("Sending MPEG over multicast");
    UtCString copy = greeting;
    copy.toUpper();
    EXPECT_STREQ(greeting.chars(), "Sending MPEG over multicast");
    EXPECT_STREQ(copy.chars(), "SENDING MPEG OVER MULTICAST");
    EXPECT_EQ(greeting.compareTo(copy.chars(), UtCString::ignoreCase), 0);

    UtCStringScanner words(greeting);
    UtTPtrSlist<UtCString> list;
    for (UtCStringSlice word = words.next(); !word.isNull(); word = words.next())
        list.addAtTail(new UtCString(word));
    ASSERT_EQ(list.entries(), 4u);
    EXPECT_STREQ(list.at(1)->chars(), "MPEG");

    EXPECT_THROW(list.at(4), UtBoundsErr);
    while (!list.isEmpty())
        delete list.removeFirst();
}
