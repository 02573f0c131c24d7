#include "transfer/TransferReceiver.h"
#include "transfer/WireFormat.h"

#include <gtest/gtest.h>

TEST(WireFormatTest, TextTravelsAsItsDecimalLengthThenItsBytes)
{
    const TransferPieces abc = MakeTransferPieces("abc");
    EXPECT_EQ(abc.length, "3");
    EXPECT_EQ(abc.text, "abc");
    const TransferPieces empty = MakeTransferPieces("");
    EXPECT_EQ(empty.length, "0");
    EXPECT_EQ(empty.text, "");
    EXPECT_EQ(MakeTransferPieces(std::string(1234567, 'z')).length, "1234567");
}

TEST(WireFormatTest, PiecesSentInTwoReadsComeBackAsTheText)
{
    TransferReceiver receiver;
    for (const std::string& text : {std::string("hello"), std::string(), std::string("line\r\nbreak"), std::string(5000, '\xff')}) {
        const TransferPieces pieces = MakeTransferPieces(text);
        TransferEvents events = receiver.Feed(pieces.length, 0);
        for (TransferEvent& event : receiver.Feed(pieces.text, 0)) events.push_back(std::move(event));
        ASSERT_FALSE(events.empty()) << text.substr(0, 20);
        EXPECT_EQ(events.back().kind, TransferEvent::Kind::Completed);
        EXPECT_EQ(events.back().text, text);
        EXPECT_FALSE(receiver.InTransfer());
    }
}
