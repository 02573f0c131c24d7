// TForm1's connection modes over real loopback connections: what the four
// buttons and the socket events leave in the status message, the controls
// and Mode.
#include "app/Application.h"
#include "app/Edit.h"
#include "app/Label.h"
#include "MemoryClipboardBackend.h"
#include "RunUntil.h"
#include "app/Unit1.h"
#include "net/Lookup.h"
#include "net/ScktComp.h"
#include "Unit1TestSupport.h"

#include <QPushButton>

#include <gtest/gtest.h>

#include <netdb.h>

#include <fstream>
#include <string>

namespace {

constexpr const char* Idle = "B1+ B2- B3+ B4- E1+ E2+";

struct TForm1ModesTest : ::testing::Test {
    explicit TForm1ModesTest(const char* settings = "") : form(CreateWith(settings)) {}
    TForm1& CreateWith(const std::string& settings)
    {
        if (!settings.empty()) std::ofstream(harness.SettingsFile()) << "[TESSAROPRO]\r\n" << settings << "\r\n";
        return harness.Create();
    }
    Form1Harness harness;
    TForm1& form;

    // "ONLINE" on a port nobody uses; returns the port.
    std::uint16_t GoOnline()
    {
        const std::uint16_t port = UnusedPort();
        form.Edit2()->SetText(std::to_string(port));
        form.Button3()->click();
        return port;
    }
    // "Connect" to a loopback port.
    void ConnectTo(std::uint16_t port, const std::string& peer = "127.0.0.1")
    {
        form.Edit1()->SetText(peer);
        form.Edit2()->SetText(std::to_string(port));
        form.Button1()->click();
    }
    int PeerCount() const { return std::stoi(form.PanelText(TForm1::PeerCountPanel)); }
};

// RECONNECT=0: one attempt, and a connection that ends ends client mode.
struct TForm1SingleAttemptTest : TForm1ModesTest {
    TForm1SingleAttemptTest() : TForm1ModesTest("RECONNECT=0") {}
};

} // namespace

TEST_F(TForm1ModesTest, OnlineServesTheFirstPeerOnlyAndClosesAnyOtherAtAccept)
{
    const std::uint16_t port = GoOnline();
    EXPECT_EQ(Status(form), " Port " + std::to_string(port) + " Listen now.");
    EXPECT_EQ(form.Mode, 1);
    EXPECT_EQ(ControlStates(form), "B1- B2- B3- B4+ E1+ E2-");

    LoopbackPeer first(ConnectLoopback(port));
    ASSERT_TRUE(RunUntil([&] { return Status(form) == "127.0.0.1 Connected."; }));
    ASSERT_TRUE(RunUntil([&] { return PeerCount() == 1; }));
    EXPECT_EQ(form.Label3()->Caption(), "Server Mode");

    // A second connection from another address is closed before a byte of
    // it is read or a byte is sent to it; the window goes on showing the
    // peer it serves.
    LoopbackPeer second(ConnectLoopback(port, "127.0.0.2"));
    second.Send("8INJECTED");
    ASSERT_TRUE(RunUntil([&] { return second.Closed(); }));
    harness.Clipboard().SetForeignText("back");
    ASSERT_TRUE(RunUntil([&] { return first.Received() == "4back"; }));
    EXPECT_EQ(second.Received(), "");
    EXPECT_EQ(Status(form), "127.0.0.1 Connected.");
    EXPECT_EQ(PeerCount(), 1);

    first.Send("2hi");
    ASSERT_TRUE(RunUntil([&] { return harness.Clipboard().Content() == std::optional<std::string>("hi"); }));
    EXPECT_FALSE(first.Closed());
    EXPECT_TRUE(harness.Errors().empty());
}

TEST_F(TForm1ModesTest, ListenMessageShowsThePortActuallyListenedOn)
{
    // 0 and 65536 let the system choose; a number above 65535 wraps.
    for (const std::string& typed : {std::string("0"), std::string("65536"), std::to_string(UnusedPort() + 65536)}) {
        form.Edit2()->SetText(typed);
        form.Button3()->click();
        const std::uint16_t bound = ListeningPort(form.ServerSocket1());
        EXPECT_NE(bound, 0) << typed;
        EXPECT_EQ(Status(form), " Port " + std::to_string(bound) + " Listen now.") << typed;
        form.Button4()->click();
    }
}

TEST_F(TForm1ModesTest, OfflineAlwaysShowsShutdownAndStopsListening)
{
    form.Button4Click(); // greyed out, but an action may still run it
    EXPECT_EQ(Status(form), " shutdown. ");
    EXPECT_EQ(form.Mode, 0);
    EXPECT_EQ(ControlStates(form), Idle);

    const std::uint16_t port = GoOnline();
    LoopbackPeer peer(ConnectLoopback(port));
    ASSERT_TRUE(RunUntil([&] { return PeerCount() == 1; }));

    form.Button4()->click();
    EXPECT_EQ(Status(form), " shutdown. ");
    EXPECT_EQ(form.Mode, 0);
    EXPECT_EQ(ControlStates(form), Idle);
    EXPECT_FALSE(form.ServerSocket1().Active());
    EXPECT_TRUE(RunUntil([&] { return peer.Closed(); }));
    EXPECT_TRUE(RunUntil([&] { return PeerCount() == 0; }));
    EXPECT_TRUE(harness.Errors().empty());
}

TEST_F(TForm1ModesTest, OnlineOnAPortInUseReportsTheBindErrorAndOfflineRecovers)
{
    std::uint16_t port = 0;
    const UniqueFd occupant = ListenLoopback(port);
    form.Edit2()->SetText(std::to_string(port));
    form.Button3()->click();

    ASSERT_EQ(harness.Errors().size(), 1u);
    EXPECT_NE(harness.Errors()[0].find("'bind'"), std::string::npos) << harness.Errors()[0];
    EXPECT_EQ(Status(form), "");
    EXPECT_EQ(form.Mode, 1);
    EXPECT_EQ(ControlStates(form), "B1- B2- B3- B4+ E1+ E2-");
    EXPECT_FALSE(form.ServerSocket1().Active());

    form.Button4()->click();
    EXPECT_EQ(form.Mode, 0);
    EXPECT_EQ(ControlStates(form), Idle);
    EXPECT_EQ(harness.Errors().size(), 1u);
}

TEST_F(TForm1ModesTest, PortThatIsNoIntegerStopsEitherStartAfterItsControlChanges)
{
    form.Edit2()->SetText("31OO");
    form.Button3()->click();
    EXPECT_EQ(harness.Errors(), std::vector<std::string>{"'31OO' は整数ではありません"});
    EXPECT_EQ(form.Mode, 1);
    EXPECT_EQ(ControlStates(form), "B1- B2- B3- B4+ E1+ E2-");
    EXPECT_FALSE(form.ServerSocket1().Active());

    form.Button4()->click();
    harness.ClearErrors();
    form.Edit1()->SetText("127.0.0.1");
    form.Button1()->click();
    EXPECT_EQ(harness.Errors(), std::vector<std::string>{"'31OO' は整数ではありません"});
    EXPECT_EQ(form.Mode, 2);
    EXPECT_EQ(Status(form), "sending heartbeat...");
    EXPECT_EQ(ControlStates(form), "B1- B2+ B3- B4- E1- E2-");
    EXPECT_FALSE(form.ClientSocket1().Active());
}

TEST_F(TForm1ModesTest, RefusedConnectKeepsTheConnectStateUntilDisconnect)
{
    int errors = 0;
    TSocketErrorEvent handler = form.ClientSocket1().OnError;
    form.ClientSocket1().OnError = [&](TObject* s, TCustomWinSocket* c, TErrorEvent e, int& code) {
        ++errors;
        handler(s, c, e, code);
    };

    ConnectTo(UnusedPort());
    ASSERT_TRUE(RunUntil([&] { return errors > 0; }));
    RunFor(50);
    EXPECT_EQ(Status(form), "sending heartbeat...");
    EXPECT_EQ(form.Mode, 2);
    EXPECT_EQ(ControlStates(form), "B1- B2+ B3- B4- E1- E2-");
    EXPECT_TRUE(harness.Errors().empty());

    form.Button2()->click();
    EXPECT_EQ(Status(form), "disconnect");
    EXPECT_EQ(form.Mode, 0);
    EXPECT_EQ(ControlStates(form), Idle);
    EXPECT_TRUE(harness.Errors().empty());
}

TEST_F(TForm1SingleAttemptTest, ResetOfAnEstablishedClientConnectionShowsCantConnectAndKeepsClientMode)
{
    std::uint16_t port = 0;
    const UniqueFd listener = ListenLoopback(port);
    ConnectTo(port);
    LoopbackPeer peer = AwaitClientConnection(form, listener.Get());
    ASSERT_TRUE(peer.Connected());
    ASSERT_TRUE(form.ClientSocket1().Active());

    peer.Reset();
    ASSERT_TRUE(RunUntil([&] { return Status(form) == "Can't Connect"; }));
    EXPECT_EQ(form.Mode, 2);
    EXPECT_EQ(ControlStates(form), Idle);
    EXPECT_TRUE(harness.Errors().empty());

    // "Connect" is offered again, and it must lead somewhere, also to
    // another port: the failed connection may not hold the old one.
    std::uint16_t otherPort = 0;
    const UniqueFd otherListener = ListenLoopback(otherPort);
    form.Edit2()->SetText(std::to_string(otherPort));
    form.Button1()->click();
    LoopbackPeer again = AwaitClientConnection(form, otherListener.Get());
    EXPECT_TRUE(again.Connected()) << Status(form);
    EXPECT_TRUE(harness.Errors().empty());
}

TEST_F(TForm1SingleAttemptTest, OnlineAfterAResetClientConnectionServesInServerMode)
{
    std::uint16_t port = 0;
    const UniqueFd listener = ListenLoopback(port);
    ConnectTo(port);
    LoopbackPeer server = AwaitClientConnection(form, listener.Get());
    ASSERT_TRUE(server.Connected());
    server.Reset();
    ASSERT_TRUE(RunUntil([&] { return Status(form) == "Can't Connect"; }));

    // "ONLINE" is enabled again; the failed connection it closes must not
    // take server mode away.
    const std::uint16_t serverPort = GoOnline();
    EXPECT_EQ(form.Mode, 1);
    EXPECT_EQ(ControlStates(form), "B1- B2- B3- B4+ E1+ E2-");
    LoopbackPeer client(ConnectLoopback(serverPort));
    ASSERT_TRUE(RunUntil([&] { return PeerCount() == 1; }));
    harness.Clipboard().SetForeignText("x");
    EXPECT_TRUE(RunUntil([&] { return client.Received() == "1x"; })) << client.Received();
    EXPECT_EQ(form.Label3()->Caption(), "Server Mode");
    EXPECT_TRUE(harness.Errors().empty());
}

TEST_F(TForm1SingleAttemptTest, OrderlyCloseByTheServerEndsClientMode)
{
    std::uint16_t port = 0;
    const UniqueFd listener = ListenLoopback(port);
    ConnectTo(port);
    LoopbackPeer peer = AwaitClientConnection(form, listener.Get());
    ASSERT_TRUE(peer.Connected());
    EXPECT_EQ(ControlStates(form), "B1- B2+ B3- B4- E1- E2-");

    peer.Close();
    ASSERT_TRUE(RunUntil([&] { return Status(form) == "Disconnect"; }));
    EXPECT_EQ(form.Mode, 0);
    EXPECT_EQ(ControlStates(form), Idle);
    EXPECT_FALSE(form.ClientSocket1().Active());
    EXPECT_TRUE(harness.Errors().empty());
}

TEST_F(TForm1ModesTest, UnknownNameSaysSoAndIsTriedAgainAsIsALostConnection)
{
    std::uint16_t port = 0;
    const UniqueFd listener = ListenLoopback(port);
    Lookup::SetResolver([](LookupKind, const std::string&) { return LookupResult{EAI_NONAME, 0, 0}; });
    ConnectTo(port, "desk.local");
    ASSERT_TRUE(RunUntil([&] { return Status(form) == "desk.local Not found."; }));
    EXPECT_EQ(ControlStates(form), "B1- B2+ B3- B4- E1- E2-");
    Lookup::SetResolver([](LookupKind, const std::string&) { return LookupResult{0, htonl(INADDR_LOOPBACK), 0}; });
    ASSERT_TRUE(AwaitClientConnection(form, listener.Get()).Connected());
    // The peer closed it at once: it is tried again, and the window stays.
    EXPECT_TRUE(AwaitClientConnection(form, listener.Get()).Connected());
    Lookup::SetResolver(nullptr);
    EXPECT_EQ(ControlStates(form), "B1- B2+ B3- B4- E1- E2-");
    EXPECT_TRUE(harness.Errors().empty());
}
