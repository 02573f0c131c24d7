// Clipboard texts through TForm1 and a real loopback peer: the watcher's
// sends on Timer1's ticks, the receiver's texts on the clipboard, and what
// neither may do (echo, resend, touch the clipboard on bad input).
#include "app/Application.h"
#include "app/Edit.h"
#include "app/Label.h"
#include "MemoryClipboardBackend.h"
#include "RunUntil.h"
#include "app/TransferTexts.h"
#include "app/Unit1.h"
#include "net/ScktComp.h"
#include "Unit1TestSupport.h"

#include <QPushButton>

#include <gtest/gtest.h>

#include <algorithm>
#include <cctype>
#include <optional>
#include <string>

namespace {

struct TForm1TransferTest : ::testing::Test {
    Form1Harness harness;
    TForm1& form = harness.Create();
    MemoryClipboardBackend& clipboard = harness.Clipboard();
    std::uint16_t port = 0;
    UniqueFd listener;

    // "ONLINE" and one peer connected to it, inside the encrypted link when
    // given its key: a connection is served once its handshake is done.
    LoopbackPeer ServeOnePeer(const std::optional<LinkKey>& key = std::nullopt)
    {
        if (port == 0) {
            port = UnusedPort();
            form.Edit2()->SetText(std::to_string(port));
            form.Button3()->click();
        }
        LoopbackPeer peer(ConnectLoopback(port));
        if (key) peer.Encrypt(*key);
        EXPECT_TRUE(RunUntil([&] { return (peer.Pump(), form.ServerSocket1().Listener()->ConnectionCount() == 1); }));
        return peer;
    }
    // "Connect" to a peer listening on loopback.
    LoopbackPeer ConnectToPeer()
    {
        listener = ListenLoopback(port);
        form.Edit1()->SetText("127.0.0.1");
        form.Edit2()->SetText(std::to_string(port));
        form.Button1()->click();
        LoopbackPeer peer;
        EXPECT_TRUE(RunUntil([&] {
            if (!peer.Connected()) peer = LoopbackPeer(AcceptNow(listener.Get()));
            return peer.Connected() && form.ClientSocket1().Active();
        }));
        return peer;
    }
    bool ClipboardHolds(const std::string& text) const { return clipboard.Content() == std::optional(text); }
};

} // namespace

TEST(TransferTextsTest, ProgressReadsReceivedOverExpected)
{
    EXPECT_EQ(ProgressText(1200, 5000), "1200/5000");
    EXPECT_EQ(ProgressText(0, 0), "0/0");
    EXPECT_EQ(TransferErrorText, "transfer err.");
}

TEST_F(TForm1TransferTest, ClipboardTextGoesOutOnceAsLengthThenTextAndOnlyText)
{
    LoopbackPeer peer = ServeOnePeer();

    clipboard.SetForeignText("hello");
    ASSERT_TRUE(RunUntil([&] { return peer.Received() == "5hello"; })) << peer.Received();
    EXPECT_EQ(form.LastText(), "hello");

    // Copied again: a tick reads it and sends nothing.
    const int fetches = clipboard.FetchCount();
    clipboard.SetForeignText("hello");
    ASSERT_TRUE(RunUntil([&] { return clipboard.FetchCount() > fetches; }));
    // Something that is not text is never sent.
    clipboard.SetForeignNonText();
    RunFor(QuietTicksMs);
    EXPECT_EQ(peer.Received(), "5hello");

    // An empty text is a length of 0 and nothing after it.
    clipboard.SetForeignText("");
    EXPECT_TRUE(RunUntil([&] { return peer.Received() == "5hello0"; })) << peer.Received();
    EXPECT_TRUE(harness.Errors().empty());
}

TEST_F(TForm1TransferTest, ReceivedTextLandsOnTheClipboardAndIsNotSentBack)
{
    LoopbackPeer peer = ConnectToPeer();

    peer.Send("5");
    ASSERT_TRUE(RunUntil([&] { return form.Receiver().InTransfer(); }));
    peer.Send("hello");
    ASSERT_TRUE(RunUntil([&] { return ClipboardHolds("hello"); }));
    EXPECT_EQ(form.Label4()->Caption(), "5/5");
    EXPECT_EQ(form.LastText(), "hello");
    EXPECT_EQ(clipboard.PlaceCount(), 1);

    RunFor(QuietTicksMs);
    EXPECT_EQ(peer.Received(), "");
    EXPECT_TRUE(harness.Errors().empty());
}

TEST_F(TForm1TransferTest, ReceivedTextTheClipboardStoresDifferentlyIsNotSentBack)
{
    LoopbackPeer peer = ServeOnePeer();
    clipboard.SetStoreFilter([](const std::string& text) {
        std::string changed = text;
        std::transform(changed.begin(), changed.end(), changed.begin(), [](unsigned char c) { return std::toupper(c); });
        return changed;
    });

    peer.Send("5hello");
    ASSERT_TRUE(RunUntil([&] { return ClipboardHolds("HELLO"); }));
    RunFor(QuietTicksMs);
    EXPECT_EQ(peer.Received(), "");

    // A text copied afterwards still goes out.
    clipboard.SetForeignText("next");
    EXPECT_TRUE(RunUntil([&] { return peer.Received() == "4next"; })) << peer.Received();
}

TEST_F(TForm1TransferTest, LengthThatIsNoNumberLeavesTheClipboardAndTheNextTransferLands)
{
    LoopbackPeer peer = ServeOnePeer();
    clipboard.SetForeignText("mine");
    ASSERT_TRUE(RunUntil([&] { return peer.Received() == "4mine"; }));

    for (const char* garbage : {"abc", "-5"}) {
        form.Label4()->SetCaption("");
        peer.Send(garbage);
        ASSERT_TRUE(RunUntil([&] { return form.Label4()->Caption() == "transfer err."; })) << garbage;
        EXPECT_TRUE(ClipboardHolds("mine")) << garbage;
        EXPECT_EQ(clipboard.PlaceCount(), 0) << garbage;
    }

    peer.Send("3new");
    ASSERT_TRUE(RunUntil([&] { return ClipboardHolds("new"); }));
    EXPECT_EQ(form.Label4()->Caption(), "3/3");
    EXPECT_TRUE(harness.Errors().empty());
}

TEST_F(TForm1TransferTest, PeerLeavingMidTransferLeavesTheClipboardAndTheNextPeersTransferLands)
{
    LoopbackPeer first = ServeOnePeer();
    first.Send("10hello");
    ASSERT_TRUE(RunUntil([&] { return form.Label4()->Caption() == "5/10"; }));
    first.Close();
    ASSERT_TRUE(RunUntil([&] { return form.ServerSocket1().Listener()->ConnectionCount() == 0; }));
    EXPECT_EQ(clipboard.PlaceCount(), 0);

    LoopbackPeer second = ServeOnePeer();
    second.Send("5world");
    ASSERT_TRUE(RunUntil([&] { return ClipboardHolds("world"); }));
    EXPECT_EQ(form.Label4()->Caption(), "5/5");
    EXPECT_EQ(clipboard.PlaceCount(), 1);
    EXPECT_TRUE(harness.Errors().empty());
}

TEST_F(TForm1TransferTest, PeerThatReadsNothingKeepsOneTextQueuedAndGetsOnlyTheNewestOfTheRest)
{
    for (const bool encrypted : {false, true}) {
        SCOPED_TRACE(encrypted ? "encrypted" : "plain");
        LinkKey key;
        key.fill('k');
        TCustomWinSocket::SetLinkKey(encrypted ? std::optional(key) : std::nullopt);
        LoopbackPeer peer = ServeOnePeer(encrypted ? std::optional(key) : std::nullopt);
        ASSERT_TRUE(RunUntil([&] { return (peer.Pump(), Status(form) == "127.0.0.1 Connected."); }));
        const TCustomWinSocket* connection = form.ServerSocket1().Listener()->Connection(0);
        const std::size_t size = 16 * 1024 * 1024;

        const std::string first(size, 'a');
        clipboard.SetForeignText(first);
        ASSERT_TRUE(RunUntil([&] { return connection->QueuedBytes() > 0; }));
        for (const char letter : {'b', 'c', 'd'}) {
            const int fetches = clipboard.FetchCount();
            clipboard.SetForeignText(std::string(size, letter));
            ASSERT_TRUE(RunUntil([&] { return clipboard.FetchCount() > fetches; }));
            EXPECT_LE(connection->QueuedBytes(), size);
        }

        const std::string expected = std::to_string(size) + first + std::to_string(size) + std::string(size, 'd');
        ASSERT_TRUE(RunUntil([&] { return peer.Received().size() >= expected.size(); }, 30000));
        RunFor(QuietTicksMs);
        EXPECT_EQ(peer.Received().size(), expected.size());
        EXPECT_TRUE(peer.Received() == expected);
        TCustomWinSocket::SetLinkKey(std::nullopt);
        peer.Close();
        ASSERT_TRUE(RunUntil([&] { return form.ServerSocket1().Listener()->ConnectionCount() == 0; }));
    }
    EXPECT_TRUE(harness.Errors().empty());
}
