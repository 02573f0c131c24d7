#include "base/SysUtils.h"
#include "store/HashedStringList.h"
#include "store/StringHash.h"

#include <gtest/gtest.h>

TEST(TStringHashTest, KeysSharingABucketAreToldApartAndTheLatestDuplicateWins)
{
    ASSERT_EQ(TStringHash::HashOf("AA") % TStringHash::BucketCount, TStringHash::HashOf("E") % TStringHash::BucketCount);
    TStringHash hash;
    hash.Add("E", 1);
    hash.Add("AA", 2);
    hash.Add("E", 3);
    EXPECT_EQ(hash.ValueOf("AA"), 2);
    EXPECT_EQ(hash.ValueOf("E"), 3);
    EXPECT_EQ(hash.ValueOf("AE"), TStringHash::NotFound);
    hash.Clear();
    EXPECT_EQ(hash.ValueOf("E"), TStringHash::NotFound);
}

TEST(THashedStringListTest, LookupsFoldOnlyAsciiLettersAndTheLastDuplicateWins)
{
    THashedStringList list;
    for (const char* line : {"alpha=1", "Beta", "ALPHA=2", "\xE4=x", "=empty name", "alphax=3"}) list.Add(line);

    EXPECT_EQ(list.FindName("Alpha"), 2);
    EXPECT_EQ(list.FindLine("alpha=1"), 0);
    EXPECT_EQ(list.FindLine("BETA"), 1);
    EXPECT_EQ(list.FindName("beta"), THashedStringList::NotFound); // a line without "=" has no name
    EXPECT_EQ(list.FindName("\xE4"), 3);
    EXPECT_EQ(list.FindName("\xC4"), THashedStringList::NotFound);
    EXPECT_EQ(list.FindName(""), 4);
    EXPECT_EQ(list.FindName("alph"), THashedStringList::NotFound);

    list.SetCaseSensitive(true);
    EXPECT_EQ(list.FindName("alpha"), 0);
    EXPECT_EQ(list.FindLine("BETA"), THashedStringList::NotFound);
}

TEST(THashedStringListTest, EveryChangeIsSeenByTheNextLookup)
{
    THashedStringList list;
    list.Add("a=1");
    list.Add("b=2");
    ASSERT_EQ(list.FindName("b"), 1);
    ASSERT_EQ(list.FindLine("a=1"), 0);

    list.Put(0, "b=3");
    EXPECT_EQ(list.FindName("b"), 1);
    EXPECT_EQ(list.FindLine("a=1"), THashedStringList::NotFound);
    list.Delete(1);
    EXPECT_EQ(list.FindName("b"), 0);
    list.Add("c=4");
    EXPECT_EQ(list.FindLine("C=4"), 1);
    list.Clear();
    EXPECT_EQ(list.FindName("b"), THashedStringList::NotFound);
    EXPECT_THROW(list.Strings(0), EListError);
}
