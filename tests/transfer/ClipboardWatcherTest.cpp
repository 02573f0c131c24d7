#include "transfer/ClipboardWatcher.h"
#include "MemoryClipboardBackend.h"

#include <gtest/gtest.h>

#include <clocale>
#include <memory>
#include <string_view>

namespace {

struct ClipboardWatcherTest : ::testing::Test {
    MemoryClipboardBackend* desktop = nullptr;
    std::unique_ptr<TClipboard> clipboard;
    std::unique_ptr<ClipboardWatcher> watcher;
    TransferReceiver receiver;

    void SetUp() override
    {
        std::setlocale(LC_ALL, "C.UTF-8");
        auto backend = std::make_unique<MemoryClipboardBackend>();
        desktop = backend.get();
        clipboard = std::make_unique<TClipboard>(std::move(backend));
        watcher = std::make_unique<ClipboardWatcher>(*clipboard);
    }
    std::optional<std::string> Tick(bool offered = true)
    {
        const std::optional<std::string_view> sent = watcher->Tick(receiver, offered);
        if (!sent) return std::nullopt;
        EXPECT_EQ(sent->data(), watcher->LastText().data()) << "the text sent is LastText itself";
        return std::string(*sent);
    }
};

} // namespace

TEST_F(ClipboardWatcherTest, ChangedTextIsSentOnceAndRemembered)
{
    desktop->SetForeignText("abc");
    EXPECT_EQ(Tick(), "abc");
    EXPECT_EQ(watcher->LastText(), "abc");
    EXPECT_EQ(Tick(), std::nullopt);

    // Copied again by another program: the count moves, the text does not.
    desktop->SetForeignText("abc");
    EXPECT_EQ(Tick(), std::nullopt);
    desktop->SetForeignText("abcd");
    EXPECT_EQ(Tick(), "abcd");
}

TEST_F(ClipboardWatcherTest, NoTextIsNeverSentButAnEmptyTextIs)
{
    watcher->PlaceReceived("before");
    desktop->SetForeignNonText();
    EXPECT_EQ(Tick(), std::nullopt);
    EXPECT_EQ(watcher->LastText(), "before");

    desktop->SetForeignText("");
    EXPECT_EQ(Tick(), "");
    EXPECT_EQ(watcher->LastText(), "");
    EXPECT_EQ(Tick(), std::nullopt);
}

TEST_F(ClipboardWatcherTest, TextSeenWithNoOneToSendToGoesOutOnceThereIs)
{
    desktop->SetForeignText("while idle");
    EXPECT_EQ(Tick(false), std::nullopt);
    EXPECT_EQ(Tick(false), std::nullopt);
    EXPECT_EQ(watcher->LastText(), "");
    EXPECT_EQ(Tick(true), "while idle");
    EXPECT_EQ(desktop->FetchCount(), 1);
}

TEST_F(ClipboardWatcherTest, UnchangedClipboardIsNotReadAgain)
{
    desktop->SetForeignText(std::string(1 << 20, 'x'));
    EXPECT_TRUE(Tick().has_value());
    for (int i = 0; i < 20; ++i) EXPECT_EQ(Tick(), std::nullopt);
    EXPECT_EQ(desktop->FetchCount(), 1);

    desktop->SetForeignText("y");
    EXPECT_EQ(Tick(), "y");
    EXPECT_EQ(desktop->FetchCount(), 2);
}

TEST_F(ClipboardWatcherTest, NothingIsSentOrReadWhileATransferComesIn)
{
    desktop->SetForeignText("local");
    receiver.Feed("3123", 0); // a start of transfer still being settled
    EXPECT_EQ(Tick(), std::nullopt);
    receiver.Reset();
    receiver.Feed("5he", 0);
    EXPECT_EQ(Tick(), std::nullopt);
    EXPECT_EQ(desktop->FetchCount(), 0);
    EXPECT_EQ(watcher->LastText(), "");

    const TransferEvents events = receiver.Feed("llo", 0);
    ASSERT_EQ(events.back().kind, TransferEvent::Kind::Completed);
    watcher->PlaceReceived(events.back().text);
    EXPECT_EQ(desktop->Content(), "hello");
    EXPECT_EQ(Tick(), std::nullopt);
}

TEST_F(ClipboardWatcherTest, ReadStillGoingOnIsNoReadAndItsTextGoesOutOnceItEnds)
{
    desktop->SetForeignText("read in the background");
    desktop->SetPending(true);
    EXPECT_EQ(Tick(), std::nullopt);
    EXPECT_EQ(Tick(), std::nullopt);
    EXPECT_EQ(watcher->Reads(), 0u);
    desktop->SetPending(false);
    EXPECT_EQ(Tick(), "read in the background");
    EXPECT_EQ(watcher->Reads(), 1u);
}

TEST_F(ClipboardWatcherTest, ReceivedTextIsNotSentBackEvenWhenTheClipboardChangesIt)
{
    desktop->SetStoreFilter([](const std::string& text) { return text + "\n"; });
    watcher->PlaceReceived("hello");
    EXPECT_EQ(watcher->LastText(), "hello");
    EXPECT_EQ(desktop->Content(), "hello\n");
    EXPECT_EQ(Tick(), std::nullopt);

    desktop->SetForeignText("mine");
    EXPECT_EQ(Tick(), "mine");
    // A new text sent retires the old echo: copying it later is a change.
    desktop->SetForeignText("hello\n");
    EXPECT_EQ(Tick(), "hello\n");
}

TEST_F(ClipboardWatcherTest, ReceivedTextThatTheWireEncodingCannotCarryBackIsNotResent)
{
    clipboard->SetWireEncoding("CP1252");
    // 0x81 means nothing in CP1252: it lands as U+FFFD and reads back as "?".
    watcher->PlaceReceived("a\x81");
    EXPECT_EQ(desktop->Content(), "a\xEF\xBF\xBD");
    EXPECT_EQ(Tick(), std::nullopt);
}

TEST_F(ClipboardWatcherTest, ClipboardThatCannotBeReachedFailsTheTickAndTheNextOneRetries)
{
    desktop->SetForeignText("abc");
    desktop->SetAccessible(false);
    try {
        Tick();
        FAIL() << "no error";
    } catch (const Exception& e) {
        EXPECT_EQ(e.Message(), "クリップボードを開くことができません");
    }
    EXPECT_EQ(watcher->LastText(), "");
    EXPECT_THROW(watcher->PlaceReceived("peer"), Exception);
    EXPECT_EQ(watcher->LastText(), "");

    desktop->SetAccessible(true);
    EXPECT_EQ(Tick(), "abc");
}

// A verdict on a text is kept across ticks; a cleared LastText must not
// leave it standing.
TEST_F(ClipboardWatcherTest, ClearedLastTextLetsTheClipboardsTextGoOutAgain)
{
    const std::string big(1 << 20, 'x');
    desktop->SetForeignText(big);
    EXPECT_EQ(Tick(), big);
    EXPECT_EQ(Tick(), std::nullopt);

    // Cleared (as a new window does): the clipboard's text goes out again,
    // read afresh since the watcher kept no copy of its own.
    watcher->ClearLastText();
    EXPECT_EQ(Tick(), big);
    EXPECT_EQ(desktop->FetchCount(), 2);
    EXPECT_EQ(Tick(), std::nullopt);

    // A text judged new but held back stays new after a clear.
    desktop->SetForeignText("held");
    EXPECT_EQ(Tick(false), std::nullopt);
    watcher->ClearLastText();
    EXPECT_EQ(Tick(true), "held");
}

TEST_F(ClipboardWatcherTest, TextWaitingForAPeerIsJudgedAgainstTheLatestLastText)
{
    desktop->SetForeignText("local");
    EXPECT_EQ(Tick(false), std::nullopt);
    // The same text arrives from the peer meanwhile: nothing is left to send.
    watcher->PlaceReceived("local");
    EXPECT_EQ(Tick(true), std::nullopt);

}

TEST_F(ClipboardWatcherTest, EveryClipboardChangeIsJudgedEvenWhenItsTextLooksAlike)
{
    const std::string sent = std::string(1000, 'a') + "1" + std::string(1000, 'a');
    desktop->SetForeignText(sent);
    EXPECT_EQ(Tick(), sent);
    // Same length and same ends, another byte in the middle.
    const std::string next = std::string(1000, 'a') + "2" + std::string(1000, 'a');
    desktop->SetForeignText(next);
    EXPECT_EQ(Tick(), next);

    desktop->SetStoreFilter([](const std::string& text) { return text + "\n"; });
    watcher->PlaceReceived("peer");
    EXPECT_EQ(Tick(), std::nullopt);
    // Another program copies the echo's text again: still the echo.
    desktop->SetForeignText("peer\n");
    EXPECT_EQ(Tick(), std::nullopt);
    desktop->SetForeignText("peer");
    EXPECT_EQ(Tick(), std::nullopt);
    desktop->SetForeignText("peer!");
    EXPECT_EQ(Tick(), "peer!");
}

TEST_F(ClipboardWatcherTest, ReceivedTextTheClipboardStillHoldsLeavesItsOwnerInPlace)
{
    desktop->SetForeignText("mine");
    ASSERT_EQ(Tick(), "mine");
    watcher->PlaceReceived("mine");
    EXPECT_EQ(desktop->PlaceCount(), 0);

    watcher->PlaceReceived("theirs");
    watcher->PlaceReceived("theirs");
    EXPECT_EQ(desktop->PlaceCount(), 1);
    EXPECT_EQ(Tick(), std::nullopt);
}

TEST_F(ClipboardWatcherTest, ReceivedTextEndsAtItsFirstZeroByte)
{
    watcher->PlaceReceived(std::string("ab\0cd", 5));
    EXPECT_EQ(desktop->Content(), "ab");
    EXPECT_EQ(watcher->LastText(), "ab");
    EXPECT_EQ(Tick(), std::nullopt);
}
