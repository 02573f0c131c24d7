#include "ClipboardWatcher.h"
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
    std::string lastText;

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
        const std::optional<std::string_view> sent = watcher->Tick(lastText, receiver, offered);
        if (!sent) return std::nullopt;
        EXPECT_EQ(sent->data(), lastText.data()) << "the text sent is LastText itself";
        return std::string(*sent);
    }
};

} // namespace

TEST_F(ClipboardWatcherTest, ChangedTextIsSentOnceAndRemembered)
{
    desktop->SetForeignText("abc");
    EXPECT_EQ(Tick(), "abc");
    EXPECT_EQ(lastText, "abc");
    EXPECT_EQ(Tick(), std::nullopt);

    // Copied again by another program: the count moves, the text does not.
    desktop->SetForeignText("abc");
    EXPECT_EQ(Tick(), std::nullopt);
    desktop->SetForeignText("abcd");
    EXPECT_EQ(Tick(), "abcd");
}

TEST_F(ClipboardWatcherTest, NoTextIsNeverSentButAnEmptyTextIs)
{
    lastText = "before";
    desktop->SetForeignNonText();
    EXPECT_EQ(Tick(), std::nullopt);
    EXPECT_EQ(lastText, "before");

    desktop->SetForeignText("");
    EXPECT_EQ(Tick(), "");
    EXPECT_EQ(lastText, "");
    EXPECT_EQ(Tick(), std::nullopt);
}

TEST_F(ClipboardWatcherTest, TextSeenWithNoOneToSendToGoesOutOnceThereIs)
{
    desktop->SetForeignText("while idle");
    EXPECT_EQ(Tick(false), std::nullopt);
    EXPECT_EQ(Tick(false), std::nullopt);
    EXPECT_EQ(lastText, "");
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
    EXPECT_EQ(lastText, "");

    const TransferEvents events = receiver.Feed("llo", 0);
    ASSERT_EQ(events.back().kind, TransferEvent::Kind::Completed);
    watcher->PlaceReceived(events.back().text, lastText);
    EXPECT_EQ(desktop->Content(), "hello");
    EXPECT_EQ(Tick(), std::nullopt);
}

TEST_F(ClipboardWatcherTest, ReceivedTextIsNotSentBackEvenWhenTheClipboardChangesIt)
{
    desktop->SetStoreFilter([](const std::string& text) { return text + "\n"; });
    watcher->PlaceReceived("hello", lastText);
    EXPECT_EQ(lastText, "hello");
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
    watcher->PlaceReceived("a\x81", lastText);
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
    EXPECT_EQ(lastText, "");
    EXPECT_THROW(watcher->PlaceReceived("peer", lastText), Exception);
    EXPECT_EQ(lastText, "");

    desktop->SetAccessible(true);
    EXPECT_EQ(Tick(), "abc");
}

// A verdict on a text is kept across ticks; these are the changes it must
// not outlive.
TEST_F(ClipboardWatcherTest, LastTextChangedBehindTheWatcherIsJudgedAfresh)
{
    const std::string big(1 << 20, 'x');
    desktop->SetForeignText(big);
    EXPECT_EQ(Tick(), big);
    EXPECT_EQ(Tick(), std::nullopt);

    // Cleared (as a new window does): the clipboard's text goes out again,
    // read afresh since the watcher kept no copy of its own.
    lastText.clear();
    EXPECT_EQ(Tick(), big);
    EXPECT_EQ(desktop->FetchCount(), 2);

    // Overwritten in place with a text of the same length.
    lastText.assign(big.size(), 'y');
    EXPECT_EQ(Tick(), big);
    lastText.back() = 'z';
    EXPECT_EQ(Tick(), big);
    EXPECT_EQ(Tick(), std::nullopt);
}

TEST_F(ClipboardWatcherTest, TextWaitingForAPeerIsJudgedAgainstTheLatestLastText)
{
    desktop->SetForeignText("local");
    EXPECT_EQ(Tick(false), std::nullopt);
    // The same text arrives from the peer meanwhile: nothing is left to send.
    watcher->PlaceReceived("local", lastText);
    EXPECT_EQ(Tick(true), std::nullopt);

    desktop->SetForeignText("other");
    EXPECT_EQ(Tick(false), std::nullopt);
    lastText = "other";
    EXPECT_EQ(Tick(true), std::nullopt);
    lastText = "otheR";
    EXPECT_EQ(Tick(true), "other");
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
    watcher->PlaceReceived("peer", lastText);
    EXPECT_EQ(Tick(), std::nullopt);
    // Another program copies the echo's text again: still the echo.
    desktop->SetForeignText("peer\n");
    EXPECT_EQ(Tick(), std::nullopt);
    desktop->SetForeignText("peer");
    EXPECT_EQ(Tick(), std::nullopt);
    desktop->SetForeignText("peer!");
    EXPECT_EQ(Tick(), "peer!");
}

TEST_F(ClipboardWatcherTest, ReceivedTextEndsAtItsFirstZeroByte)
{
    watcher->PlaceReceived(std::string("ab\0cd", 5), lastText);
    EXPECT_EQ(desktop->Content(), "ab");
    EXPECT_EQ(lastText, "ab");
    EXPECT_EQ(Tick(), std::nullopt);
}
