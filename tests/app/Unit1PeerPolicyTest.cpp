// TForm1 with the settings' peer keys: the allowed addresses, both ways, and
// what the window shows when a peer is turned away.
#include "app/Edit.h"
#include "MemoryClipboardBackend.h"
#include "RunUntil.h"
#include "app/Unit1.h"
#include "net/ScktComp.h"
#include "Unit1TestSupport.h"

#include <QPushButton>

#include <gtest/gtest.h>

#include <fstream>
#include <string>

namespace {

constexpr const char* Idle = "B1+ B2- B3+ B4- E1+ E2+";

struct TForm1PeerPolicyTest : ::testing::Test {
    Form1Harness harness;

    TForm1& CreateWith(const std::string& lines)
    {
        std::ofstream(harness.SettingsFile(), std::ios::binary) << "[TESSAROPRO]\r\n" << lines << "\r\n";
        return harness.Create();
    }
    std::uint16_t GoOnline(TForm1& form)
    {
        const std::uint16_t port = UnusedPort();
        form.Edit2()->SetText(std::to_string(port));
        form.Button3()->click();
        return port;
    }
};

} // namespace

TEST_F(TForm1PeerPolicyTest, ServerClosesAPeerOutsideTheListBeforeAnyByteAndSaysSo)
{
    TForm1& form = CreateWith("ALLOW=10.0.0.7, 192.168.0.0/16");
    const std::uint16_t port = GoOnline(form);

    LoopbackPeer stranger(ConnectLoopback(port));
    stranger.Send("5hello");
    ASSERT_TRUE(RunUntil([&] { return stranger.Closed(); }));
    EXPECT_EQ(stranger.Received(), "");
    EXPECT_EQ(Status(form), "127.0.0.1 Refused.");
    RunFor(QuietTicksMs);
    EXPECT_EQ(form.PanelText(TForm1::PeerCountPanel), "0");
    EXPECT_FALSE(harness.Clipboard().Content().has_value());
    EXPECT_TRUE(harness.Errors().empty());
}

TEST_F(TForm1PeerPolicyTest, ClientDoesNotConnectToAnAddressOutsideTheList)
{
    TForm1& form = CreateWith("ALLOW=10.0.0.0/8");
    std::uint16_t port = 0;
    const UniqueFd listener = ListenLoopback(port);
    form.Edit1()->SetText("127.0.0.1");
    form.Edit2()->SetText(std::to_string(port));
    form.Button1()->click();

    EXPECT_EQ(Status(form), "127.0.0.1 Refused.");
    EXPECT_EQ(ControlStates(form), Idle);
    RunFor(200);
    EXPECT_LT(AcceptNow(listener.Get()).Get(), 0);
    EXPECT_TRUE(harness.Errors().empty());
}

TEST_F(TForm1PeerPolicyTest, MalformedListIsReportedOnceAndLetsNobodyIn)
{
    TForm1& form = CreateWith("ALLOW=127.0.0.1/33");
    ASSERT_EQ(harness.Errors().size(), 1u);
    EXPECT_NE(harness.Errors()[0].find("no peer is allowed"), std::string::npos) << harness.Errors()[0];

    LoopbackPeer peer(ConnectLoopback(GoOnline(form)));
    ASSERT_TRUE(RunUntil([&] { return peer.Closed(); }));
    EXPECT_EQ(Status(form), "127.0.0.1 Refused.");
    EXPECT_EQ(harness.Errors().size(), 1u);
}

TEST_F(TForm1PeerPolicyTest, PassphraseServerDropsAPlainPeerWithoutAByteAndSaysKeyMismatch)
{
    TForm1& form = CreateWith("PASSPHRASE=correct horse");
    const std::uint16_t port = GoOnline(form);
    harness.Clipboard().SetForeignText("kept at home");

    LoopbackPeer plain(ConnectLoopback(port));
    plain.Send("5hello");
    ASSERT_TRUE(RunUntil([&] { return plain.Closed(); }));
    EXPECT_EQ(plain.Received().find("kept at home"), std::string::npos);
    EXPECT_EQ(Status(form), "127.0.0.1 Key mismatch.");
    EXPECT_EQ(harness.Clipboard().Content(), std::optional<std::string>("kept at home"));
    EXPECT_TRUE(harness.Errors().empty());
}

TEST_F(TForm1PeerPolicyTest, PassphraseClientTakesNothingFromAPlainServerAndSaysKeyMismatch)
{
    TForm1& form = CreateWith("PASSPHRASE=correct horse");
    harness.Clipboard().SetForeignText("kept at home");
    std::uint16_t port = 0;
    const UniqueFd listener = ListenLoopback(port);
    form.Edit1()->SetText("127.0.0.1");
    form.Edit2()->SetText(std::to_string(port));
    form.Button1()->click();
    LoopbackPeer server(AcceptWithin(listener.Get()));
    ASSERT_TRUE(server.Connected());

    server.Send("5hello");
    ASSERT_TRUE(RunUntil([&] { return server.Closed(); }));
    EXPECT_EQ(server.Received().find("kept at home"), std::string::npos);
    EXPECT_EQ(Status(form), "127.0.0.1 Key mismatch.");
    EXPECT_EQ(ControlStates(form), Idle);
    EXPECT_EQ(harness.Clipboard().Content(), std::optional<std::string>("kept at home"));
    EXPECT_TRUE(harness.Errors().empty());
}

TEST_F(TForm1PeerPolicyTest, PeerCountOutOfRangeIsReportedOnceAndServesOnePeer)
{
    TForm1& form = CreateWith("MAXPEERS=33");
    ASSERT_EQ(harness.Errors().size(), 1u);
    EXPECT_NE(harness.Errors()[0].find("one peer is served"), std::string::npos) << harness.Errors()[0];
    EXPECT_EQ(form.ServerSocket1().PeerLimit(), 1);
}
