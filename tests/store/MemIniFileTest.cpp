#include "store/MemIniFile.h"
#include "TempDir.h"

#include <gtest/gtest.h>

using namespace std::string_literals;

namespace {

struct TMemIniFileTest : ::testing::Test {
    TempDir dir;
    std::string path = dir.File("store.ini");

    // The file as the store writes it back after loading `bytes` unchanged.
    std::string Rewritten(const std::string& bytes)
    {
        WriteBytes(path, bytes);
        TMemIniFile(path).SaveToDisk();
        return ReadBytes(path);
    }
};

} // namespace

TEST_F(TMemIniFileTest, LoadThenSaveNormalisesLinesEndsBlanksAndComments)
{
    const struct {
        std::string in, out;
    } cases[] = {
        {"", ""},
        {"[A]", "[A]\r\n\r\n"},
        {"[A]\nk=v\n[B]\rx=1\r", "[A]\r\nk=v\r\n\r\n[B]\r\nx=1\r\n\r\n"},
        {"[A]\r\r\nk=v", "[A]\r\nk=v\r\n\r\n"},
        {"before\r\n=x\r\n[A]\r\n; note\r\n\r\n \t k  =  v w \t\r\n", "[A]\r\nk=v w\r\n\r\n"},
        {"[A]\r\n\x01k=\xA0\x7f \r\n", "[A]\r\nk=\xA0\x7f\r\n\r\n"},
        {"[]\r\n=x\r\n[\r\n[ s ]\r\nno equals\r\n", "[]\r\n=x\r\n[\r\n\r\n[s]\r\nno equals\r\n\r\n"},
        {"[A]\r\nk=v\0[B]\r\n"s, "[A]\r\nk=v\r\n\r\n"},
        {"\xEF\xBB\xBF[A]\r\nk=v\r\n[B]\r\n", "[B]\r\n\r\n"},
        {"[A]\r\nk=1\r\nk=2\r\n[a]\r\nk=3\r\n", "[A]\r\nk=1\r\nk=2\r\n\r\n[a]\r\nk=3\r\n\r\n"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.in);
        EXPECT_EQ(Rewritten(c.in), c.out);
    }
}

TEST_F(TMemIniFileTest, ValueIsEverythingAfterTheFirstEqualsAndEmptyIsNotMissing)
{
    WriteBytes(path, "[s]\r\nurl = a=b = c \r\nempty=\r\nbare\r\nbareX=no\r\n");
    const TMemIniFile store(path);
    EXPECT_EQ(store.GetValue("S", "URL", "-"), "a=b = c");
    EXPECT_EQ(store.GetValue("s", "empty", "-"), "");
    EXPECT_EQ(store.GetValue("s", "bare", "-"), "-");
    EXPECT_EQ(store.GetValue("s", "missing", "-"), "-");
    EXPECT_EQ(store.GetValue("other", "url", "-"), "-");
}

TEST_F(TMemIniFileTest, LaterDuplicateSectionAndKeyAreReadAndReplaced)
{
    WriteBytes(path, "[S]\r\nk=1\r\n[s]\r\nk=2\r\nk=3\r\n");
    TMemIniFile store(path);
    EXPECT_EQ(store.GetValue("S", "K", ""), "3");
    store.PutValue("S", "K", "4");
    store.SaveToDisk();
    EXPECT_EQ(ReadBytes(path), "[S]\r\nk=1\r\n\r\n[s]\r\nk=2\r\nK=4\r\n\r\n");
}

TEST_F(TMemIniFileTest, PutReplacesInPlaceOrAppendsAndLaterLookupsSeeIt)
{
    WriteBytes(path, "[one]\r\nb=1\r\nkey\r\nc=2\r\n[two]\r\n");
    TMemIniFile store(path);
    ASSERT_EQ(store.GetValue("ONE", "KEY", "fb"), "fb"); // builds the indexes before the edits
    store.PutValue("One", "B", " spaced ");
    store.PutValue("one", "key", "new");
    store.PutValue("Three", "x", "y");
    EXPECT_EQ(store.GetValue("one", "KEY", "fb"), "new");
    EXPECT_EQ(store.GetValue("THREE", "X", "fb"), "y");
    store.PutValue("three", "x", "z");
    store.SaveToDisk();
    EXPECT_EQ(ReadBytes(path),
              "[one]\r\nB= spaced \r\nkey\r\nc=2\r\nkey=new\r\n\r\n[two]\r\n\r\n[Three]\r\nx=z\r\n\r\n");
}

TEST_F(TMemIniFileTest, NoFileOrADirectoryReadsEmptyAndCreatesNothing)
{
    EXPECT_EQ(TMemIniFile(path).GetValue("s", "k", "fb"), "fb");
    EXPECT_EQ(dir.EntryCount(), 0u);
    ASSERT_EQ(::mkdir(path.c_str(), 0700), 0);
    EXPECT_EQ(TMemIniFile(path).GetValue("s", "k", "fb"), "fb");
    EXPECT_EQ(TMemIniFile("").GetValue("s", "k", "fb"), "fb");
}
