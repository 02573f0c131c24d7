// The sender's timing on virtual time: the length alone, its text after the
// wait, starts at the pace, and a newer text taking the place of one that
// has not started (with a real socket that holds a text queued: the
// window's transfer tests).
#include "FakeEventLoop.h"
#include "transfer/TransferSender.h"

#include <gtest/gtest.h>

#include <memory>
#include <string>
#include <vector>

namespace {

struct TransferSenderTest : ::testing::Test {
    FakeEventLoop loop;
    std::shared_ptr<char> life = std::make_shared<char>();
    std::vector<std::string> sends; // each send, as it happened
    bool busy = false;              // the connection still holds bytes
    bool paced = true;
    TransferSender sender{[this] { return loop.Now(); }, loop};

    void Offer(std::string text)
    {
        TransferSender::Connection connection;
        connection.life = life;
        connection.send = [this](std::string_view bytes) { sends.emplace_back(bytes); };
        connection.busy = [this] { return busy; };
        connection.paced = paced;
        sender.Offer(this, std::move(connection), std::make_shared<const std::string>(std::move(text)));
    }
};

} // namespace

TEST_F(TransferSenderTest, LengthLeavesAloneAndItsTextFollowsAfterTheWait)
{
    Offer("hello");
    EXPECT_EQ(sends, std::vector<std::string>{"5"});
    EXPECT_TRUE(sender.Waiting());
    loop.Advance(LengthWaitMs - 1);
    EXPECT_EQ(sends.size(), 1u);
    loop.Advance(1);
    EXPECT_EQ(sends, (std::vector<std::string>{"5", "hello"}));
    EXPECT_FALSE(sender.Waiting());

    // An empty text is its length alone; nothing waits after it.
    loop.Advance(TransferPaceMs);
    Offer("");
    EXPECT_EQ(sends.back(), "0");
    EXPECT_FALSE(sender.Waiting());
}

TEST_F(TransferSenderTest, UnpacedConnectionGetsEachTextRightAfterItsLengthAndNoPace)
{
    paced = false;
    Offer("first");
    Offer("second");
    EXPECT_EQ(sends, (std::vector<std::string>{"5", "first", "6", "second"}));
    EXPECT_FALSE(sender.Waiting());
    EXPECT_EQ(sender.NextStartMs(), loop.Now());
}

TEST_F(TransferSenderTest, StartsKeepThePaceAndOnlyTheNewestOfABurstGoes)
{
    Offer("first");
    loop.Advance(100);
    Offer("second");
    loop.Advance(100);
    Offer("third");
    EXPECT_EQ(sends.size(), 2u);
    EXPECT_EQ(sender.NextStartMs(), TransferPaceMs);
    loop.Advance(TransferPaceMs - 200 - 1);
    EXPECT_EQ(sends.size(), 2u);
    loop.Advance(1 + LengthWaitMs);
    EXPECT_EQ(sends, (std::vector<std::string>{"5", "first", "5", "third"}));
}

TEST_F(TransferSenderTest, ReceivedTextDropsWhatIsOwedAndKeepsTheTextInItsWaitWhole)
{
    Offer("mine");
    sender.DropOwed(); // a peer's text arrives during the wait
    loop.Advance(LengthWaitMs);
    EXPECT_EQ(sends, (std::vector<std::string>{"4", "mine"}));

    loop.Advance(100);
    Offer("newer");
    sender.DropOwed();
    loop.Advance(TransferPaceMs);
    EXPECT_EQ(sends.size(), 2u);

    // A connection that is gone is sent nothing more.
    life.reset();
    Offer("after");
    loop.Advance(TransferPaceMs);
    EXPECT_EQ(sends.size(), 2u);
}

TEST_F(TransferSenderTest, NewConnectionAtTheAddressOfAGoneOneGetsNoPartOfItsTransfer)
{
    Offer("old text");
    life = std::make_shared<char>(); // gone during the wait; a new one in its place
    Offer("new");
    loop.Advance(LengthWaitMs);
    EXPECT_EQ(sends, (std::vector<std::string>{"8", "3", "new"}));
}

TEST_F(TransferSenderTest, LargeTextLeavesInPiecesEachAfterTheConnectionTookTheLast)
{
    const std::string text(TextPieceBytes * 2 + 7, 'x');
    Offer(text);
    busy = true; // the length is still in the connection's queue
    loop.Advance(LengthWaitMs);
    busy = false;
    sender.Pump();
    EXPECT_EQ(sends, (std::vector<std::string>{"524295", text.substr(0, TextPieceBytes),
                                               text.substr(TextPieceBytes, TextPieceBytes), "xxxxxxx"}));
}
