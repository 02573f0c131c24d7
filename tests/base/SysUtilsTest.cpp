#include "base/SysUtils.h"

#include <gtest/gtest.h>

#include <climits>

TEST(StrToIntTest, AcceptsDecimalWithBlanksAndOneSign)
{
    EXPECT_EQ(StrToInt("0"), 0);
    EXPECT_EQ(StrToInt("3100"), 3100);
    EXPECT_EQ(StrToInt("   42"), 42);
    EXPECT_EQ(StrToInt("+7"), 7);
    EXPECT_EQ(StrToInt("-7"), -7);
    EXPECT_EQ(StrToInt("  -0"), 0);
    EXPECT_EQ(StrToInt("007"), 7);
    EXPECT_EQ(StrToInt("2147483647"), INT_MAX);
    EXPECT_EQ(StrToInt("-2147483648"), INT_MIN);
    EXPECT_EQ(StrToInt("000000000002147483647"), INT_MAX);
}

TEST(StrToIntTest, AcceptsEveryHexPrefixAsA32BitPattern)
{
    EXPECT_EQ(StrToInt("$1F"), 31);
    EXPECT_EQ(StrToInt("x1f"), 31);
    EXPECT_EQ(StrToInt("X1F"), 31);
    EXPECT_EQ(StrToInt("0x1f"), 31);
    EXPECT_EQ(StrToInt("0X1F"), 31);
    EXPECT_EQ(StrToInt("$FFFFFFFF"), -1);
    EXPECT_EQ(StrToInt("$80000000"), INT_MIN);
    EXPECT_EQ(StrToInt("-$1"), -1);
    EXPECT_EQ(StrToInt("-$FFFFFFFF"), 1);
    EXPECT_EQ(StrToInt("-$80000000"), INT_MIN);
    EXPECT_EQ(StrToInt(" +0x10"), 16);
    // Leading zeros are not significant digits.
    EXPECT_EQ(StrToInt("$000000000001"), 1);
}

TEST(StrToIntTest, RejectsWithTheWholeTextInTheMessage)
{
    for (const char* bad : {"", " ", "   ", "-", "+", "$", "x", "0x", "-$", "+-1", "--1", "1 ", " 1 ",
                            "12a", "1.5", "\t1", "2147483648", "-2147483649", "99999999999",
                            "$123456789", "0x1G", "$-1", "5hello", "1e3", "0x 1", "\xef\xbc\x91"}) {
        SCOPED_TRACE(bad);
        try {
            StrToInt(bad);
            ADD_FAILURE() << "accepted";
        } catch (const EConvertError& e) {
            EXPECT_EQ(e.Message(), std::string("'") + bad + "' は整数ではありません");
        }
    }
}

TEST(StrToIntTest, TryFormReportsWithoutThrowing)
{
    std::int32_t v = 99;
    EXPECT_FALSE(TryStrToInt("abc", v));
    EXPECT_TRUE(TryStrToInt("12", v));
    EXPECT_EQ(v, 12);
}

TEST(IntToStrTest, PlainDecimal)
{
    EXPECT_EQ(IntToStr(0), "0");
    EXPECT_EQ(IntToStr(-15), "-15");
    EXPECT_EQ(IntToStr(1234567), "1234567");
    EXPECT_EQ(IntToStr(INT_MIN), "-2147483648");
}

TEST(MessagesTest, CarryTheirFixedTexts)
{
    EXPECT_EQ(NoTimerError().Message(), "タイマーを取得できません");
    EXPECT_EQ(ListIndexError(-1).Message(), "リストのインデックスが範囲を超えています (-1)");
}
