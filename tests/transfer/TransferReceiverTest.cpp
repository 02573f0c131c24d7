#include "transfer/TransferLimits.h"
#include "transfer/TransferReceiver.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

namespace {

// What the receiver reported, in order: texts, and "received/expected" for
// each progress or "failed" for each refusal.
struct Seen {
    std::vector<std::string> texts;
    std::vector<std::string> labels;
    int failures = 0;
    int passedOver = 0; // whole transfers reported only as passed over
};

struct TransferReceiverTest : ::testing::Test {
    TransferReceiver receiver;
    std::int64_t now = 0;
    Seen seen;

    void Collect(const TransferEvents& events)
    {
        for (const TransferEvent& event : events) {
            switch (event.kind) {
            case TransferEvent::Kind::Progress:
                seen.labels.push_back(std::to_string(event.received) + "/" + std::to_string(event.expected));
                break;
            case TransferEvent::Kind::Failed:
                seen.labels.emplace_back("failed");
                ++seen.failures;
                break;
            case TransferEvent::Kind::Completed:
                seen.texts.push_back(event.text);
                seen.passedOver += event.passedOver;
                break;
            }
        }
    }
    void Feed(std::string_view bytes, bool endsWrite = false) { Collect(receiver.Feed(bytes, now, endsWrite)); }
    void GoQuiet()
    {
        now += QuietResolveMs;
        Collect(receiver.Poll(now));
    }
    void ExpectIdle() const
    {
        EXPECT_FALSE(receiver.InTransfer());
        EXPECT_FALSE(receiver.Receiving());
        EXPECT_EQ(receiver.ExpectedSize(), 0);
        EXPECT_EQ(receiver.ReceivedSize(), 0);
    }
};

using Texts = std::vector<std::string>;
using Labels = std::vector<std::string>;

} // namespace

TEST_F(TransferReceiverTest, LengthAloneThenTextInSeveralReadsCountsUpAndCompletesOnce)
{
    Feed("5");
    EXPECT_TRUE(receiver.InTransfer()); // "5" may still become "50"
    EXPECT_FALSE(receiver.Receiving());

    Feed("he");
    EXPECT_TRUE(receiver.Receiving());
    EXPECT_EQ(receiver.ExpectedSize(), 5);
    EXPECT_EQ(receiver.ReceivedSize(), 2);
    EXPECT_TRUE(seen.texts.empty());

    // A slow sender is no fault: silence in the middle of a text drops nothing.
    GoQuiet();
    EXPECT_TRUE(receiver.Receiving());

    Feed("llo");
    EXPECT_EQ(seen.texts, Texts{"hello"});
    EXPECT_EQ(seen.labels, (Labels{"2/5", "5/5"}));
    ExpectIdle();
}

TEST_F(TransferReceiverTest, LengthJoinedToItsTextOrToTheNextTransfer)
{
    Feed("5hello");
    EXPECT_EQ(seen.texts, Texts{"hello"});
    EXPECT_EQ(seen.labels, Labels{"5/5"});
    ExpectIdle();

    // Of the transfers one read completes, only the last is for the clipboard.
    Feed("5hello5world");
    EXPECT_EQ(seen.texts, (Texts{"hello", "world"}));
    EXPECT_EQ(seen.passedOver, 1);
    ExpectIdle();
}

TEST_F(TransferReceiverTest, LengthSplitAcrossReadsIsReadWhole)
{
    Feed("12");
    Feed("hello world!");
    Feed("1");
    Feed("2hello world!");
    EXPECT_EQ(seen.texts, (Texts{"hello world!", "hello world!"}));
    EXPECT_EQ(seen.failures, 0);
}

TEST_F(TransferReceiverTest, ZeroDeliversTheEmptyTextAtOnce)
{
    Feed("0");
    EXPECT_EQ(seen.texts, Texts{""});
    EXPECT_TRUE(seen.labels.empty());
    ExpectIdle();
}

TEST_F(TransferReceiverTest, DigitTextJoinedToItsLengthIsSettledWhenTheSenderGoesQuiet)
{
    // Digits alone may also be a length whose text is late: they wait as
    // long as a late text is waited for.
    Feed("3123");
    now += StalledTransferMs - 1;
    Collect(receiver.Poll(now));
    EXPECT_TRUE(seen.texts.empty());
    EXPECT_TRUE(receiver.InTransfer());
    now += 1;
    Collect(receiver.Poll(now));
    EXPECT_EQ(seen.texts, Texts{"123"});

    Feed("112024 report");
    GoQuiet();
    EXPECT_EQ(seen.texts, (Texts{"123", "2024 report"}));
    EXPECT_EQ(seen.failures, 0);
    ExpectIdle();
}

// A text that begins with digits waited for a quiet second even when its
// sender had paused after its length; taken at once, it is what the quiet
// rules would take.
TEST_F(TransferReceiverTest, DigitTextAfterAPausedLengthIsTakenOnceComplete)
{
    Feed("5");
    now += LengthPauseMs;
    Feed("123");
    EXPECT_TRUE(seen.texts.empty());
    Feed("45");
    EXPECT_EQ(seen.texts, Texts{"12345"});
    ExpectIdle();

    // Without the pause the bytes may still be 51 and more to come.
    now += QuietResolveMs;
    Feed("5");
    Feed("12345");
    EXPECT_EQ(seen.texts, Texts{"12345"});
    GoQuiet();
    EXPECT_EQ(seen.texts, (Texts{"12345", "12345"}));
}

TEST_F(TransferReceiverTest, ReadEndingAPeerWriteStandsForThePauseAfterALength)
{
    // Back to back, no time passing: the write ends alone place the lengths.
    for (const std::string text : {"12345", "678"}) {
        Feed(std::to_string(text.size()), true);
        Feed(text, true);
    }
    EXPECT_EQ(seen.texts, (Texts{"12345", "678"}));
    ExpectIdle();
}

TEST_F(TransferReceiverTest, AmbiguityLeftWhenQuietIsRefused)
{
    // "1"+"0" then "9"+"abcdefghi", or "10"+"9abcdefghi": both whole, each
    // transfer starting where a read did, and both first lengths ending
    // where a read did.
    Feed("1");
    Feed("0");
    Feed("9abcdefghi");
    GoQuiet();
    EXPECT_TRUE(seen.texts.empty());
    EXPECT_EQ(seen.failures, 1);
    ExpectIdle();

    // In one read the same bytes are one transfer: the other reading would
    // put a second transfer inside the read.
    Feed("109abcdefghi");
    GoQuiet();
    EXPECT_EQ(seen.texts, Texts{"9abcdefghi"});
    EXPECT_EQ(seen.failures, 1);
    ExpectIdle();
}

// Once quiet, the receiver weighs where the reads ended as well as the
// bytes: a length sent alone in front of a text of digits settles it, even
// where the digits also split into other whole transfers.
TEST_F(TransferReceiverTest, LengthThatCameInAReadOfItsOwnSettlesADigitText)
{
    // "10" and ten zeros, or "1", "0" and nine empty transfers.
    Feed("10");
    Feed("0000000000");
    GoQuiet();
    EXPECT_EQ(seen.texts, Texts{"0000000000"});

    std::string digits;
    for (int i = 0; i < 10; ++i) digits += "1234567890";
    Feed("100");
    Feed(digits);
    GoQuiet();
    EXPECT_EQ(seen.texts, (Texts{"0000000000", digits}));

    // The bytes refused above when read at once, now with the length alone.
    Feed("10");
    Feed("9abcdefghi");
    GoQuiet();
    EXPECT_EQ(seen.texts, (Texts{"0000000000", digits, "9abcdefghi"}));

    // Joined, a digit text still settles by its bytes when only one reading
    // is whole, and a transfer that follows within the quiet time with it
    // (passed over for the later one), which comes a sender's tick later.
    Feed("3123");
    now += SameTransferWithinMs;
    Feed("5hello");
    GoQuiet();
    EXPECT_EQ(seen.texts, (Texts{"0000000000", digits, "9abcdefghi", "hello"}));
    EXPECT_EQ(seen.passedOver, 1);
    EXPECT_EQ(seen.failures, 0);
    ExpectIdle();
}

// A sender that pauses after its length is waited for: the length alone,
// once quiet, is a transfer whose text is still to come, and the text that
// follows is delivered.
TEST_F(TransferReceiverTest, SenderThatPausesAfterItsLengthIsWaitedFor)
{
    Feed("5");
    GoQuiet();
    EXPECT_TRUE(receiver.Receiving());
    EXPECT_EQ(receiver.ExpectedSize(), 5);
    EXPECT_EQ(receiver.ReceivedSize(), 0);
    GoQuiet();
    Feed("hello");
    EXPECT_EQ(seen.texts, Texts{"hello"});
    EXPECT_EQ(seen.labels, Labels{"5/5"});

    // So is one whose text the network holds back, though "19" alone also
    // reads as the length 1 and the text "9"; only once a text would have
    // been dropped as stalled does the whole reading win.
    Feed("19");
    now += StalledTransferMs - 1;
    Collect(receiver.Poll(now));
    Feed("2024 report, item 1");
    Feed("12");
    GoQuiet();
    now += StalledTransferMs;
    Collect(receiver.Poll(now));
    EXPECT_EQ(seen.texts, (Texts{"hello", "2024 report, item 1", "2"}));
    EXPECT_EQ(seen.failures, 0);
    ExpectIdle();
}

// A pause inside a text whose length came alone keeps the transfer, though
// "150" might still be 15: otherwise the quiet rule would refuse the bytes
// and read the rest of the text as transfers of its own.
TEST_F(TransferReceiverTest, PauseInsideATextWhoseLengthCameAloneKeepsTheTransfer)
{
    std::string text = "Total: ";
    text.resize(150, '.');
    Feed("150");
    Feed(text.substr(0, 7));
    GoQuiet();
    Feed(text.substr(7));
    EXPECT_EQ(seen.texts, Texts{text});

    // Also when the part here splits into whole transfers of a shorter length
    // ("1", "0"; "1", "2"; "3", "456").
    Feed("10");
    Feed("123456");
    GoQuiet();
    Feed("7890");
    EXPECT_EQ(seen.texts, (Texts{text, "1234567890"}));

    // Even when the reads so far also split into transfers that each start
    // where a read ended ("1", "1"; "2", "02"; "4", " rep"): they came too
    // soon after the length to be transfers of their own.
    Feed("11");
    Feed("2");
    Feed("02");
    Feed("4 rep");
    GoQuiet();
    Feed("ort");
    EXPECT_EQ(seen.texts, (Texts{text, "1234567890", "2024 report"}));
    EXPECT_EQ(seen.failures, 0);
    ExpectIdle();
}

// A length ending in zeros, followed by a pause, is one length awaiting its
// text, not a short length with a text of zeros and empty transfers after
// it ("100": "1", "0", then ""), which would wipe the clipboard and refuse
// the real text.
TEST_F(TransferReceiverTest, PausedLengthEndingInZerosAwaitsItsText)
{
    const std::string hundred(100, '0');
    Feed("100");
    GoQuiet();
    EXPECT_TRUE(seen.texts.empty());
    EXPECT_EQ(receiver.ExpectedSize(), 100);
    Feed(hundred);
    EXPECT_EQ(seen.texts, Texts{hundred});

    std::string text(2000000, 'x');
    text.replace(0, 4, "2026");
    Feed("2000000");
    GoQuiet();
    EXPECT_EQ(seen.texts, Texts{hundred});
    EXPECT_EQ(receiver.ExpectedSize(), 2000000);
    for (std::size_t at = 0; at < text.size(); at += 65536) Feed(std::string_view(text).substr(at, 65536));
    ASSERT_EQ(seen.texts.size(), 2u);
    EXPECT_EQ(seen.texts[1], text);
    EXPECT_EQ(seen.failures, 0);
    ExpectIdle();
}

// A length cut in two by the reads is read whole: a read end after its
// first digits does not make them the length when the rest of the bytes
// would then have to start transfers inside a read.
TEST_F(TransferReceiverTest, LengthCutByTheReadsIsReadWhole)
{
    const std::string ones(48, '1');
    Feed("4");
    Feed("8" + ones);
    GoQuiet();
    EXPECT_EQ(seen.texts, Texts{ones});

    const std::string zeros(20, '0');
    Feed("2");
    Feed("0" + zeros);
    GoQuiet();
    EXPECT_EQ(seen.texts, (Texts{ones, zeros}));
    EXPECT_EQ(seen.failures, 0);
    ExpectIdle();
}

// Undecided bytes are kept up to the end of the longest candidate's text,
// not the shortest one's: a long text of numbers, whose digits keep short
// readings open to its last byte, waits for its sender's quiet time and is
// delivered then.
TEST_F(TransferReceiverTest, LongTextOfNumbersInLargeReadsIsDeliveredOnceQuiet)
{
    for (const std::size_t size : {std::size_t{200000}, std::size_t{2000000}}) {
        std::string text;
        for (unsigned n = 1234; text.size() < size; n = n * 7919 % 100000) text += std::to_string(n) + ",";
        text.resize(size);
        seen = Seen();
        Feed(std::to_string(size));
        for (std::size_t at = 0; at < text.size(); at += 65536) Feed(std::string_view(text).substr(at, 65536));
        EXPECT_TRUE(seen.texts.empty()) << size;
        EXPECT_EQ(seen.failures, 0) << size;
        GoQuiet();
        ASSERT_EQ(seen.texts.size(), 1u) << size;
        EXPECT_EQ(seen.texts[0], text) << size;
        EXPECT_EQ(seen.failures, 0) << size;
        ExpectIdle();
    }
}

TEST_F(TransferReceiverTest, BytesThatAreNoLengthAreDroppedAndTheNextTransferWorks)
{
    Feed("-5");
    EXPECT_EQ(seen.failures, 1);
    ExpectIdle();
    Feed("5hello");

    Feed("abc");
    EXPECT_EQ(seen.failures, 2);
    Feed("5");
    Feed("world");

    // Too long for one length, but readable as shorter ones with their texts
    // unfinished: only silence shows that no whole transfer is there.
    Feed("99999999999");
    GoQuiet();
    EXPECT_EQ(seen.failures, 3);
    Feed("3abc");

    // Trailing bytes that no length can account for spoil the whole read.
    Feed("5hellox");
    EXPECT_EQ(seen.failures, 4);
    Feed("2ok");

    EXPECT_EQ(seen.texts, (Texts{"hello", "world", "abc", "ok"}));
    EXPECT_EQ(seen.labels.back(), "2/2");
    ExpectIdle();
}

TEST_F(TransferReceiverTest, LargeTextInManyReadsIsDeliveredOnce)
{
    std::string text;
    for (int i = 0; i < 100000; ++i) text.push_back(static_cast<char>('a' + i % 26));
    Feed("100000");
    for (std::size_t at = 0; at < text.size(); at += 1000) Feed(std::string_view(text).substr(at, 1000));

    ASSERT_EQ(seen.texts.size(), 1u);
    EXPECT_EQ(seen.texts[0], text);
    ASSERT_GE(seen.labels.size(), 2u);
    EXPECT_EQ(seen.labels.back(), "100000/100000");
    EXPECT_EQ(seen.failures, 0);
    ExpectIdle();
}

TEST_F(TransferReceiverTest, LongTextBeginningWithDigitsIsSettledOnceTheSenderStops)
{
    std::string text = "2024 report";
    while (text.size() < 100000) text.push_back(static_cast<char>('a' + text.size() % 26));
    const std::string wire = "100000" + text;
    for (std::size_t at = 0; at < wire.size(); at += 4096) Feed(std::string_view(wire).substr(at, 4096));
    GoQuiet();
    EXPECT_EQ(seen.texts, Texts{text});
    EXPECT_EQ(seen.failures, 0);
}

TEST_F(TransferReceiverTest, UnsettledStartIsDroppedOnceItRunsPastItsLongestLength)
{
    // "21a" opens two readings, the length 2 with "1a" and the length 21,
    // and a stream of one-byte transfers "1a" keeps both open for good. Once
    // the bytes run past the 21 bytes of the longer one, no wait can settle
    // them, and they are given up at once rather than piled up.
    Feed("21a");
    int pairs = 0;
    while (seen.failures == 0 && pairs < 100) {
        Feed("1a");
        ++pairs;
    }
    EXPECT_EQ(pairs, 11); // 3 + 2 * 10 bytes end the length 21's text
    EXPECT_TRUE(seen.texts.empty());
    ExpectIdle();

    Feed("5hello");
    EXPECT_EQ(seen.texts, Texts{"hello"});
}

TEST_F(TransferReceiverTest, TextWhoseLeadingDigitsReadAsAHugeLengthIsWaitedForAndDelivered)
{
    // Joined to its length 131072, a text opening with "00000000 " also
    // reads as the length 1, the text "3" and then a length of 107 million:
    // that short reading stays open until the whole text is here, far past
    // the slack, and only the sender going quiet settles it.
    std::string text = "00000000 ";
    while (text.size() < 131072) text.push_back(static_cast<char>('a' + text.size() % 26));
    const std::string wire = "131072" + text;
    for (std::size_t at = 0; at < wire.size(); at += 4096) Feed(std::string_view(wire).substr(at, 4096));
    EXPECT_EQ(seen.failures, 0);
    GoQuiet();
    EXPECT_EQ(seen.texts, Texts{text});
    EXPECT_EQ(seen.failures, 0);
    ExpectIdle();
}

// The work of settling a long digit text grows with its size, not with its
// square: each read goes on from what earlier reads found, so a text of
// zeros in reads of one segment each stays within the work bound and is
// delivered without stalling the loop.
TEST_F(TransferReceiverTest, TextOfZerosInSmallReadsCostsLittleEnoughToBeDelivered)
{
    const std::string text(500000, '0');
    Feed("500000");
    for (std::size_t at = 0; at < text.size(); at += 1448) Feed(std::string_view(text).substr(at, 1448));
    EXPECT_EQ(seen.failures, 0);
    GoQuiet();
    ASSERT_EQ(seen.texts.size(), 1u);
    EXPECT_EQ(seen.texts[0], text);
    EXPECT_EQ(seen.failures, 0);
    ExpectIdle();

    // Sent byte by byte, every first length ends where a read did, so
    // nothing tells them apart; the stream is refused once quiet, not
    // while it comes.
    Feed("10");
    for (int i = 0; i < 4000; ++i) Feed("0");
    EXPECT_EQ(seen.failures, 0);
    GoQuiet();
    EXPECT_EQ(seen.failures, 1);
    ExpectIdle();
}

// A peer that stops inside its text must not hold the receiver, and with it
// this side's sends, for good; its next transfer is read afresh.
TEST_F(TransferReceiverTest, TextThatStopsComingIsDroppedAndTheNextTransferIsReadFresh)
{
    Feed("20");
    Feed("hello world");
    now += StalledTransferMs - 1;
    Collect(receiver.Poll(now));
    EXPECT_TRUE(receiver.Receiving());
    now += 1;
    Collect(receiver.Poll(now));
    EXPECT_EQ(seen.failures, 1);
    EXPECT_EQ(seen.labels.back(), "failed");
    ExpectIdle();

    Feed("5hello");
    EXPECT_EQ(seen.texts, Texts{"hello"});
}

TEST_F(TransferReceiverTest, ResetDropsTheUnfinishedTransfer)
{
    Feed("5he");
    receiver.Reset();
    ExpectIdle();
    Feed("3123");
    receiver.Reset();
    ExpectIdle();
    Feed("3abc");
    EXPECT_EQ(seen.texts, Texts{"abc"});
}

// However TCP cuts a stream, the texts that come out are the same, but for
// those passed over when a later one came with them. Each stream is fed in
// three pieces, cut at every pair of points, and then once byte by byte.
// Not tried: a first read of digits other than the first length, which,
// once the sender pauses, is taken for a length that came alone.
TEST_F(TransferReceiverTest, EveryCutOfAStreamGivesTheSameTexts)
{
    struct Stream {
        std::string bytes;
        Texts texts;
    };
    const std::vector<Stream> streams = {
        {"5hello5world", {"hello", "world"}},
        {"12hello world!0", {"hello world!", ""}},
        {"02ab", {"", "ab"}},
        {"31234abcd", {"123", "abcd"}},
        {"112024 report3xyz", {"2024 report", "xyz"}},
    };
    for (const Stream& stream : streams) {
        const std::string_view bytes = stream.bytes;
        const std::size_t lengthDigits = std::to_string(stream.texts.front().size()).size();
        auto run = [&](const std::vector<std::size_t>& cuts) {
            const std::string_view firstRead = bytes.substr(0, cuts.front());
            if (firstRead.size() != lengthDigits && firstRead.find_first_not_of("0123456789") == std::string_view::npos)
                return;
            TransferReceiver fresh;
            Seen before = seen;
            seen = Seen();
            std::size_t from = 0;
            for (std::size_t cut : cuts) {
                Collect(fresh.Feed(bytes.substr(from, cut - from), now));
                from = cut;
            }
            Collect(fresh.Feed(bytes.substr(from), now));
            now += QuietResolveMs;
            Collect(fresh.Poll(now));
            std::string where;
            for (std::size_t cut : cuts) where.append(" ").append(std::to_string(cut));
            ASSERT_FALSE(seen.texts.empty()) << stream.bytes << " cut at" << where;
            std::size_t matched = 0;
            for (const std::string& text : stream.texts) matched += matched < seen.texts.size() && seen.texts[matched] == text;
            EXPECT_EQ(matched, seen.texts.size()) << stream.bytes << " cut at" << where;
            EXPECT_EQ(seen.texts.size() + static_cast<std::size_t>(seen.passedOver), stream.texts.size())
                << stream.bytes << " cut at" << where;
            EXPECT_EQ(seen.texts.back(), stream.texts.back()) << stream.bytes << " cut at" << where;
            EXPECT_EQ(seen.failures, 0) << stream.bytes << " cut at" << where;
            EXPECT_FALSE(fresh.InTransfer()) << stream.bytes << " cut at" << where;
            seen = before;
        };
        for (std::size_t first = 1; first < bytes.size(); ++first)
            for (std::size_t second = first; second < bytes.size(); ++second) run({first, second});
        std::vector<std::size_t> everyByte;
        for (std::size_t cut = 1; cut < bytes.size(); ++cut) everyByte.push_back(cut);
        run(everyByte);
    }
}
