#include "transfer/TextCodec.h"

#include <gtest/gtest.h>

#include <clocale>

namespace {

struct TextCodecTest : ::testing::Test {
    void SetUp() override { std::setlocale(LC_ALL, "C.UTF-8"); }
};

} // namespace

TEST_F(TextCodecTest, JapaneseTravelsThroughShiftJisBothWays)
{
    TextCodec toWire("UTF-8", "CP932");
    TextCodec fromWire("CP932", "UTF-8");
    // 日本語 and the half-width katakana ｱ, a one-byte character in CP932.
    EXPECT_EQ(toWire.Convert("日本語ｱ"), "\x93\xfa\x96\x7b\x8c\xea\xb1");
    EXPECT_EQ(fromWire.Convert("\x93\xfa\x96\x7b\x8c\xea\xb1"), "日本語ｱ");
}

TEST_F(TextCodecTest, AccentedLatinTravelsThroughCp1252)
{
    TextCodec toWire("UTF-8", "CP1252");
    EXPECT_EQ(toWire.Convert("Crème brûlée €5"), "Cr\xe8me br\xfbl\xe9" "e \x80" "5");
    TextCodec fromWire("CP1252", "UTF-8");
    EXPECT_EQ(fromWire.Convert("na\xefve \x93q\x94"), "naïve “q”");
}

TEST_F(TextCodecTest, CharacterTheTargetCannotHoldBecomesOneQuestionMark)
{
    TextCodec toWire("UTF-8", "CP1252");
    // Two CJK characters and one outside the basic plane (four UTF-8 bytes).
    EXPECT_EQ(toWire.Convert("a日本b😀c"), "a??b?c");
}

TEST_F(TextCodecTest, BytesInvalidInTheSourceBecomeReplacementCharacters)
{
    TextCodec fromCp932("CP932", "UTF-8");
    // A lead byte cut off by the end of the text, and one followed by a byte
    // that cannot trail it.
    EXPECT_EQ(fromCp932.Convert("a\x82"), "a\xef\xbf\xbd");
    EXPECT_EQ(fromCp932.Convert("\x82 b"), "\xef\xbf\xbd b");
    TextCodec fromUtf8("UTF-8", "UTF-8");
    EXPECT_EQ(fromUtf8.Convert("x\xff\xfey"), "x\xef\xbf\xbd\xef\xbf\xbdy");
    TextCodec intoLatin("UTF-8", "ISO-8859-1");
    EXPECT_EQ(intoLatin.Convert("x\xffy"), "x?y");
}

TEST_F(TextCodecTest, ConversionStateDoesNotLeakFromOneTextToTheNext)
{
    TextCodec toJis("UTF-8", "ISO-2022-JP");
    const std::string once = toJis.Convert("日本a€");
    EXPECT_EQ(toJis.Convert("日本a€"), once);
    TextCodec fromJis("ISO-2022-JP", "UTF-8");
    EXPECT_EQ(fromJis.Convert(once), "日本a?");
    // The cut-off text must not leave the next one half-converted.
    fromJis.Convert("\x1b$B");
    EXPECT_EQ(fromJis.Convert("plain"), "plain");
}

TEST_F(TextCodecTest, LongTextSurvivesTheWorkingChunks)
{
    std::string text;
    while (text.size() < 300000) text += "ｱ日本語テキストabc\n";
    TextCodec toWire("UTF-8", "CP932");
    TextCodec fromWire("CP932", "UTF-8");
    EXPECT_EQ(fromWire.Convert(toWire.Convert(text)), text);
}

TEST_F(TextCodecTest, UnknownOrOptionCarryingNamesAreRefusedByName)
{
    for (const char* name : {"NO-SUCH-CODEPAGE", "CP932//IGNORE", "UTF-8//TRANSLIT"}) {
        try {
            TextCodec codec("UTF-8", name);
            ADD_FAILURE() << name << " accepted";
        } catch (const EConvertError& e) {
            EXPECT_EQ(e.Message(), std::string("文字コード '") + name + "' は使用できません");
        }
    }
    EXPECT_THROW(TextCodec("NO-SUCH-CODEPAGE", "UTF-8"), EConvertError);
}
