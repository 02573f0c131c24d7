#include "transfer/Clipbrd.h"
#include "MemoryClipboardBackend.h"

#include <gtest/gtest.h>

#include <clocale>
#include <functional>
#include <memory>

namespace {

struct TClipboardTest : ::testing::Test {
    MemoryClipboardBackend* desktop = nullptr;
    std::unique_ptr<TClipboard> clipboard;

    void SetUp() override
    {
        std::setlocale(LC_ALL, "C.UTF-8");
        auto backend = std::make_unique<MemoryClipboardBackend>();
        desktop = backend.get();
        clipboard = std::make_unique<TClipboard>(std::move(backend));
    }
};

void ExpectUnavailable(const std::function<void()>& call)
{
    try {
        call();
        FAIL() << "no error";
    } catch (const Exception& e) {
        EXPECT_EQ(e.Message(), "クリップボードを開くことができません");
    }
}

} // namespace

TEST_F(TClipboardTest, TextIsBytesEndingAtTheFirstZeroBothWays)
{
    EXPECT_FALSE(clipboard->HoldsText());
    EXPECT_EQ(clipboard->FetchText(), "");

    clipboard->PlaceText(std::string("ab\0cd", 5));
    EXPECT_EQ(desktop->Content(), "ab");
    desktop->SetForeignText(std::string("ef\0gh", 5));
    EXPECT_EQ(clipboard->FetchText(), "ef");

    clipboard->PlaceText("");
    EXPECT_TRUE(clipboard->HoldsText());
    EXPECT_EQ(clipboard->FetchText(), "");

    // Without a wire encoding not even invalid bytes are touched.
    clipboard->PlaceText("\xff\xfe\x81");
    EXPECT_EQ(clipboard->FetchText(), "\xff\xfe\x81");

    desktop->SetForeignNonText();
    EXPECT_FALSE(clipboard->HoldsText());
    EXPECT_EQ(clipboard->FetchText(), "");
}

TEST_F(TClipboardTest, UnreachableClipboardRaisesAndIsLeftAlone)
{
    desktop->SetForeignText("kept");
    desktop->SetAccessible(false);
    EXPECT_TRUE(clipboard->HoldsText());
    ExpectUnavailable([&] { clipboard->FetchText(); });
    ExpectUnavailable([&] { clipboard->PlaceText("new"); });
    EXPECT_EQ(desktop->Content(), "kept");

    desktop->SetAccessible(true);
    clipboard->PlaceText("new");
    EXPECT_EQ(clipboard->FetchText(), "new");

    TClipboard without;
    EXPECT_FALSE(without.HoldsText());
    ExpectUnavailable([&] { without.FetchText(); });
    ExpectUnavailable([&] { without.PlaceText("x"); });
    EXPECT_NE(without.ChangeCount(), without.ChangeCount());
}

TEST_F(TClipboardTest, WireEncodingConvertsBothWays)
{
    clipboard->SetWireEncoding("CP932");
    desktop->SetForeignText("日本語");
    EXPECT_EQ(clipboard->FetchText(), "\x93\xfa\x96\x7b\x8c\xea");
    clipboard->PlaceText("\x83\x65\x83\x4c\x83\x58\x83\x67"); // テキスト
    EXPECT_EQ(desktop->Content(), "テキスト");

    // The zero byte ends the text before it is converted.
    desktop->SetForeignText(std::string("\xc3\xa9\0\xc3\xa9", 5));
    clipboard->SetWireEncoding("CP1252");
    EXPECT_EQ(clipboard->FetchText(), "\xe9");

    clipboard->SetWireEncoding("");
    EXPECT_EQ(clipboard->FetchText(), "\xc3\xa9");
}

TEST_F(TClipboardTest, UnknownWireEncodingIsRefusedAndTheSettingKept)
{
    clipboard->SetWireEncoding("CP1252");
    try {
        clipboard->SetWireEncoding("NO-SUCH-CODEPAGE");
        FAIL() << "no error";
    } catch (const Exception& e) {
        EXPECT_NE(e.Message().find("NO-SUCH-CODEPAGE"), std::string::npos) << e.Message();
    }
    EXPECT_EQ(clipboard->WireEncoding(), "CP1252");
    desktop->SetForeignText("café");
    EXPECT_EQ(clipboard->FetchText(), "caf\xe9");
}

TEST_F(TClipboardTest, WireEncodingFollowsTheBackendsOwnEncoding)
{
    auto latin = std::make_unique<MemoryClipboardBackend>();
    latin->SetTextEncoding("ISO-8859-1");
    MemoryClipboardBackend* raw = latin.get();
    clipboard->SetWireEncoding("UTF-8");
    clipboard->SetBackend(std::move(latin));
    raw->SetForeignText("caf\xe9");
    EXPECT_EQ(clipboard->FetchText(), "café");
    // An invalid wire byte becomes U+FFFD, which Latin-1 has no room for.
    clipboard->PlaceText("x\xff");
    EXPECT_EQ(raw->Content(), "x?");
}

TEST(SharedClipboardTest, IsOneObjectOverTheInstalledBackend)
{
    auto backend = std::make_unique<MemoryClipboardBackend>();
    MemoryClipboardBackend* raw = backend.get();
    SetClipboardBackend(std::move(backend));
    EXPECT_EQ(&SharedClipboard(), &SharedClipboard());
    SharedClipboard().PlaceText("shared");
    EXPECT_EQ(raw->Content(), "shared");
    SetClipboardBackend(nullptr);
    EXPECT_FALSE(SharedClipboard().HoldsText());
}
