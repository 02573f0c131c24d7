// TServerSocket with its Listener and accepted connections, against plain
// loopback peers.
#include "net/Lookup.h"
#include "NetTestSupport.h"
#include "RunUntil.h"
#include "base/SysUtils.h"
#include "net/ScktComp.h"

#include <gtest/gtest.h>

#include <cerrno>
#include <cstring>
#include <netdb.h>
#include <netinet/in.h>
#include <poll.h>
#include <string>
#include <sys/socket.h>
#include <vector>

namespace {

// A server listening on a system-chosen port, with every event logged.
class ServerSocketTest : public ::testing::Test {
protected:
    void SetUp() override
    {
        UsePollLoop();
        server.OnListen = [this](TObject* sender, TCustomWinSocket*) {
            EXPECT_EQ(sender, &server);
            log.push_back("listen");
        };
        server.OnAccept = [this](TObject* sender, TCustomWinSocket* socket) {
            EXPECT_EQ(sender, &server);
            EXPECT_NE(socket, server.Listener());
            log.push_back("accept");
        };
        server.OnClientConnect = [this](TObject* sender, TCustomWinSocket* socket) {
            EXPECT_EQ(sender, server.Listener());
            log.push_back("connect " + socket->PeerAddress() + " " + IntToStr(server.ConnectionCount()));
        };
        server.OnClientDisconnect = [this](TObject* sender, TCustomWinSocket* socket) {
            EXPECT_EQ(sender, server.Listener());
            log.push_back("disconnect " + socket->PeerAddress() + " " + IntToStr(server.ConnectionCount()));
        };
        server.OnClientWrite = [this](TObject*, TCustomWinSocket*) { log.push_back("write"); };
        server.OnClientRead = [this](TObject*, TCustomWinSocket* socket) {
            received += socket->ReadAllText();
        };
        server.OnClientError = [this](TObject* sender, TCustomWinSocket*, TErrorEvent kind, int& code) {
            EXPECT_EQ(sender, server.Listener());
            log.push_back("error " + IntToStr(kind) + " " + IntToStr(code));
            code = 0;
        };
    }

    void TearDown() override
    {
        Lookup::SetResolver(nullptr);
        TCustomWinSocket::SetLinkKey(std::nullopt);
    }

    void Listen()
    {
        server.SetPort(0);
        server.SetActive(true);
        ASSERT_TRUE(server.Active());
        port = ListeningPort(server);
    }

    UniqueFd ConnectPeer(int expectedCount)
    {
        UniqueFd peer = ConnectLoopback(port);
        EXPECT_TRUE(RunUntil([&] { return server.ConnectionCount() == expectedCount; }));
        return peer;
    }

    int Count(const std::string& prefix) const
    {
        int n = 0;
        for (const auto& entry : log)
            if (entry.rfind(prefix, 0) == 0) ++n;
        return n;
    }

    TServerSocket server;
    std::vector<std::string> log;
    std::string received;
    std::uint16_t port = 0;
};

TEST_F(ServerSocketTest, ListensOnceAndReportsAPeerInOrder)
{
    Listen();
    server.SetActive(true);
    EXPECT_EQ(log, std::vector<std::string>{"listen"});
    EXPECT_EQ(server.ConnectionCount(), 0);

    UniqueFd peer = ConnectPeer(1);
    ASSERT_TRUE(RunUntil([&] { return Count("write") == 1; }));
    // Counted and addressable already while OnClientConnect runs; OnAccept
    // follows, then the first OnClientWrite.
    EXPECT_EQ(log, (std::vector<std::string>{"listen", "connect 127.0.0.1 1", "accept", "write"}));

    WriteAll(peer.Get(), "hello");
    ASSERT_TRUE(RunUntil([&] { return received == "hello"; }));
    EXPECT_EQ(server.Connection(0)->SendString("back"), 4);
    EXPECT_EQ(ReadExactly(peer.Get(), 4), "back");
}

TEST_F(ServerSocketTest, PeersKeepAcceptOrderAndIndexesAreChecked)
{
    Listen();
    UniqueFd first = ConnectPeer(1);
    TServerClientWinSocket* firstSocket = server.Connection(0);
    UniqueFd second = ConnectPeer(2);
    EXPECT_EQ(server.Connection(0), firstSocket);
    EXPECT_EQ(PeerPort(server.Connection(0)->Sock()), LocalPort(first.Get()));
    EXPECT_EQ(PeerPort(server.Connection(1)->Sock()), LocalPort(second.Get()));

    // Each connection answers its own peer.
    server.Connection(1)->SendString("two");
    server.Connection(0)->SendString("one");
    EXPECT_EQ(ReadExactly(second.Get(), 3), "two");
    EXPECT_EQ(ReadExactly(first.Get(), 3), "one");

    for (int index : {-1, 2}) {
        try {
            server.Connection(index);
            ADD_FAILURE() << "no error for index " << index;
        } catch (const EListError& e) {
            EXPECT_EQ(e.Message(), "リストのインデックスが範囲を超えています (" + IntToStr(index) + ")");
        }
    }
}

TEST_F(ServerSocketTest, OrderlyCloseDisconnectsWhileCountedAndFreesLater)
{
    Listen();
    UniqueFd first = ConnectPeer(1);
    UniqueFd second = ConnectPeer(2);
    TServerClientWinSocket* secondSocket = server.Connection(1);

    first.Reset();
    ASSERT_TRUE(RunUntil([&] { return Count("disconnect") == 1; }));
    // The handler still saw the peer's address and the full count.
    EXPECT_EQ(Count("disconnect 127.0.0.1 2"), 1);
    ASSERT_TRUE(RunUntil([&] { return server.ConnectionCount() == 1; }));
    EXPECT_EQ(server.Connection(0), secondSocket);
    EXPECT_EQ(Count("error"), 0);
}

TEST_F(ServerSocketTest, CloseConnectionTwiceDisconnectsOnce)
{
    Listen();
    UniqueFd first = ConnectPeer(1);
    UniqueFd second = ConnectPeer(2);
    TServerClientWinSocket* closing = server.Connection(1);

    closing->CloseConnection();
    EXPECT_EQ(Count("disconnect"), 1);
    EXPECT_EQ(server.ConnectionCount(), 2); // until the deferred free
    EXPECT_FALSE(closing->IsConnected());
    EXPECT_EQ(closing->SendString("late"), 0);
    EXPECT_EQ(closing->PeerAddress(), "");
    closing->CloseConnection();

    ASSERT_TRUE(RunUntil([&] { return server.ConnectionCount() == 1; }));
    EXPECT_EQ(Count("disconnect"), 1);
    EXPECT_TRUE(WaitForPeerClose(second.Get()));
}

TEST_F(ServerSocketTest, StoppingClosesEveryPeerSilentlyAndCanRestart)
{
    Listen();
    UniqueFd first = ConnectPeer(1);
    UniqueFd second = ConnectPeer(2);

    server.SetActive(false);
    EXPECT_FALSE(server.Active());
    EXPECT_EQ(server.ConnectionCount(), 0);
    EXPECT_EQ(Count("disconnect"), 0);
    EXPECT_TRUE(WaitForPeerClose(first.Get()));
    EXPECT_TRUE(WaitForPeerClose(second.Get()));
    RunFor(50);
    EXPECT_EQ(Count("disconnect"), 0);

    server.SetActive(true);
    EXPECT_TRUE(server.Active());
    EXPECT_EQ(Count("listen"), 2);
}

TEST_F(ServerSocketTest, BusyPortRaisesBindErrorAndStaysInactive)
{
    std::uint16_t busyPort = 0;
    UniqueFd other = ListenLoopback(busyPort);
    server.SetPort(busyPort);
    try {
        server.SetActive(true);
        ADD_FAILURE() << "bind did not fail";
    } catch (const ESocketError& e) {
        EXPECT_EQ(e.Message(), "Windows ソケットエラー： " + std::string(std::strerror(EADDRINUSE)) + " (" +
                                   IntToStr(EADDRINUSE) + ") [API 'bind']");
    }
    EXPECT_FALSE(server.Active());
    EXPECT_EQ(server.Listener()->Sock(), InvalidSocket);
    EXPECT_EQ(Count("listen"), 0);

    server.SetPort(0);
    server.SetActive(true);
    EXPECT_TRUE(server.Active());
}

TEST_F(ServerSocketTest, PortKeepsOnlyItsLow16Bits)
{
    constexpr int WrappedPort = 70000;
    constexpr std::uint16_t ActualPort = 4464;
    {
        // Skip rather than fail on a machine where something holds the port.
        UniqueFd probe(::socket(AF_INET, SOCK_STREAM, 0));
        sockaddr_in address{};
        address.sin_family = AF_INET;
        address.sin_port = htons(ActualPort);
        if (::bind(probe.Get(), reinterpret_cast<sockaddr*>(&address), sizeof address) != 0)
            GTEST_SKIP() << "port " << ActualPort << " is busy";
    }
    server.SetPort(WrappedPort);
    server.SetActive(true);
    EXPECT_EQ(ListeningPort(server), ActualPort);
    EXPECT_EQ(server.Port(), WrappedPort);
}

TEST_F(ServerSocketTest, PropertiesCannotChangeWhileActive)
{
    Listen();
    server.SetPort(0); // the value it has: nothing happens
    server.SetService("");
    for (auto change : std::vector<std::function<void()>>{
             [&] { server.SetPort(1234); }, [&] { server.SetService("http"); },
             [&] { server.SetServerType(stThreadBlocking); }}) {
        try {
            change();
            ADD_FAILURE() << "no error";
        } catch (const ESocketError& e) {
            EXPECT_EQ(e.Message(), "ソケットを使用中は値を変更できません");
        }
    }
    EXPECT_EQ(server.Port(), 0);
    EXPECT_EQ(server.ServerType(), stNonBlocking);
}

TEST_F(ServerSocketTest, TextPropertiesIgnoreAsciiLetterCase)
{
    server.SetHost("MyHost");
    Listen();
    server.SetHost("myhost");
    EXPECT_EQ(server.Host(), "MyHost");
    EXPECT_THROW(server.SetHost("otherhost"), ESocketError);
    EXPECT_EQ(server.Host(), "MyHost");
}

TEST_F(ServerSocketTest, ResetPeerStaysCountedUntilSendFails)
{
    Listen();
    UniqueFd resetting = ConnectPeer(1);
    TServerClientWinSocket* socket = server.Connection(0);
    CloseWithReset(resetting);
    ASSERT_TRUE(RunUntil([&] { return Count("error") == 1; }));
    EXPECT_EQ(Count("error " + IntToStr(ekDisconnect) + " " + IntToStr(ECONNRESET)), 1);

    UniqueFd later = ConnectPeer(2);
    RunFor(50);
    EXPECT_EQ(server.Connection(0), socket); // still first, still connected
    EXPECT_TRUE(socket->IsConnected());
    EXPECT_EQ(Count("disconnect"), 0);

    EXPECT_EQ(socket->SendString("x"), -1);
    EXPECT_EQ(Count("error " + IntToStr(ekSend)), 1);
    // The address is still known to the disconnect handler after a reset.
    EXPECT_EQ(Count("disconnect 127.0.0.1 2"), 1);
    ASSERT_TRUE(RunUntil([&] { return server.ConnectionCount() == 1; }));
    EXPECT_NE(server.Connection(0), socket);
}

TEST_F(ServerSocketTest, APeerResetBeforeItIsServedRaisesNoErrorAndHoldsNoPlace)
{
    ReportedErrors errors;
    Listen();
    // Both wait in the listen queue; the first is reset before the server
    // gets to accept it, as a port scanner or a health check does. It is
    // dropped at accept without any event.
    UniqueFd dead = ConnectLoopback(port);
    CloseWithReset(dead);
    UniqueFd peer = ConnectLoopback(port);
    ASSERT_TRUE(RunUntil([&] { return Count("write") == 1; }));
    EXPECT_EQ(log, (std::vector<std::string>{"listen", "connect 127.0.0.1 1", "accept", "write"}));
    EXPECT_EQ(PeerPort(server.Connection(0)->Sock()), LocalPort(peer.Get()));

    // Reset just after the accept: an established connection that is reset,
    // still named by its address.
    UniqueFd late;
    server.OnGetSocket = [&](TObject*, int handle, TServerClientWinSocket*&) {
        CloseWithReset(late);
        pollfd reset{handle, POLLIN, 0};
        ASSERT_EQ(::poll(&reset, 1, 5000), 1);
    };
    late = ConnectLoopback(port);
    ASSERT_TRUE(RunUntil([&] { return Count("error") == 1; }));
    EXPECT_EQ(Count("connect 127.0.0.1 2"), 1);
    EXPECT_EQ(Count("error " + IntToStr(ekDisconnect) + " " + IntToStr(ECONNRESET)), 1);
    EXPECT_TRUE(errors.Messages().empty());
}

// One place: a silent connection in its key handshake holds none; a peer
// from the served address takes it back (keyed: once its handshake is done);
// another is closed at accept.
TEST_F(ServerSocketTest, OnlyAFinishedHandshakeTakesThePlaceAndAReturningPeerTakesItBack)
{
    struct Case { bool keyed, secondShakes; const char* secondFrom; bool replaces; };
    for (const Case c : {Case{false, false, "127.0.0.1", true}, Case{false, false, "127.0.0.2", false},
                         Case{true, false, "127.0.0.1", false}, Case{true, true, "127.0.0.1", true}}) {
        SCOPED_TRACE(std::string(c.secondFrom) + (c.keyed ? " keyed" : "") + (c.secondShakes ? " shakes" : ""));
        log.clear();
        TCustomWinSocket::SetLinkKey(c.keyed ? std::optional<LinkKey>(LinkKey{}) : std::nullopt);
        server.SetPeerLimit(1);
        Listen();
        TClientSocket first, second;
        for (TClientSocket* client : {&first, &second}) {
            client->SetAddress("127.0.0.1");
            client->SetPort(port);
        }
        UniqueFd silent = c.keyed ? ConnectLoopback(port, "127.0.0.3") : UniqueFd();
        first.SetActive(true);
        ASSERT_TRUE(RunUntil([&] { return Count("connect") == 1 && server.ConnectionCount() == 1; }));
        UniqueFd raw = c.secondShakes ? UniqueFd() : ConnectLoopback(port, c.secondFrom);
        if (c.secondShakes) second.SetActive(true);
        EXPECT_EQ(RunUntil([&] { return !first.Active(); }, c.replaces ? 5000 : 300), c.replaces);
        if (!c.keyed && !c.replaces) {
            EXPECT_TRUE(RunUntil([&] { return WaitForPeerClose(raw.Get(), 10); }));
        }
        EXPECT_EQ(Count("connect"), c.replaces ? 2 : 1);
        EXPECT_EQ(Count("disconnect"), c.replaces ? 1 : 0);
        server.SetActive(false);
    }
}

TEST_F(ServerSocketTest, HandlerMayStopTheServerDuringAConnectionsEvent)
{
    server.OnClientRead = [this](TObject*, TCustomWinSocket*) { server.SetActive(false); };
    Listen();
    UniqueFd first = ConnectPeer(1);
    UniqueFd second = ConnectPeer(2);
    WriteAll(first.Get(), "stop");
    ASSERT_TRUE(RunUntil([&] { return !server.Active(); }));
    EXPECT_EQ(server.ConnectionCount(), 0);
    EXPECT_TRUE(WaitForPeerClose(first.Get()));
    EXPECT_TRUE(WaitForPeerClose(second.Get()));
    RunFor(50);
    EXPECT_EQ(Count("disconnect"), 0);
}

TEST_F(ServerSocketTest, HandlerMayStopTheServerWhileAPeerIsBeingAccepted)
{
    server.OnClientConnect = [this](TObject*, TCustomWinSocket*) {
        log.push_back("connect");
        server.SetActive(false);
    };
    Listen();
    UniqueFd peer = ConnectLoopback(port);
    ASSERT_TRUE(RunUntil([&] { return !server.Active(); }));
    EXPECT_EQ(log, (std::vector<std::string>{"listen", "connect"})); // no OnAccept for the destroyed peer
    EXPECT_EQ(server.ConnectionCount(), 0);
    EXPECT_TRUE(WaitForPeerClose(peer.Get()));
}

TEST_F(ServerSocketTest, AHandlerMaySupplyTheConnectionObject)
{
    int supplied = 0;
    server.OnGetSocket = [this, &supplied](TObject* sender, int handle, TServerClientWinSocket*& socket) {
        EXPECT_EQ(sender, server.Listener());
        EXPECT_EQ(socket, nullptr);
        socket = new TServerClientWinSocket(handle, server.Listener());
        ++supplied;
    };
    Listen();
    UniqueFd peer = ConnectPeer(1);
    ASSERT_TRUE(RunUntil([&] { return Count("write") == 1; }));
    EXPECT_EQ(supplied, 1);
    EXPECT_EQ(log, (std::vector<std::string>{"listen", "connect 127.0.0.1 1", "accept", "write"}));
    WriteAll(peer.Get(), "via supplied");
    ASSERT_TRUE(RunUntil([&] { return received == "via supplied"; }));
}

TEST_F(ServerSocketTest, ErrorsInHandlersGoToTheReporterAndServingGoesOn)
{
    ReportedErrors errors;
    server.OnClientRead = [this](TObject*, TCustomWinSocket* socket) {
        received += socket->ReadAllText();
        throw EConvertError("'x' は整数ではありません");
    };
    Listen();
    UniqueFd peer = ConnectPeer(1);
    WriteAll(peer.Get(), "a");
    ASSERT_TRUE(RunUntil([&] { return errors.Messages().size() == 1; }));
    EXPECT_EQ(errors.Messages()[0], "'x' は整数ではありません");
    WriteAll(peer.Get(), "b");
    ASSERT_TRUE(RunUntil([&] { return received == "ab"; }));
}

TEST_F(ServerSocketTest, ServiceIsLookedUpBeforeListening)
{
    const std::uint16_t chosen = UnusedPort();
    Lookup::SetResolver([chosen](LookupKind kind, const std::string& name) {
        LookupResult result;
        if (kind == LookupKind::Service && name == "clip") result.port = htons(chosen);
        else result.errorCode = EAI_SERVICE;
        return result;
    });
    server.SetPort(1); // not used while a service is named
    server.SetService("clip");
    server.SetActive(true);
    EXPECT_FALSE(server.Active());
    EXPECT_TRUE(log.empty());
    ASSERT_TRUE(RunUntil([&] { return server.Active(); }));
    EXPECT_EQ(ListeningPort(server), chosen);
    EXPECT_EQ(log, std::vector<std::string>{"listen"});
}

TEST_F(ServerSocketTest, FailedServiceLookupIsShownAndTheServerStaysIdle)
{
    ReportedErrors errors;
    Lookup::SetResolver([](LookupKind, const std::string&) { return LookupResult{EAI_SERVICE, 0, 0}; });
    server.SetService("nothing");
    server.SetActive(true);
    ASSERT_TRUE(RunUntil([&] { return !errors.Messages().empty(); }));
    EXPECT_EQ(errors.Messages()[0], "Windows ソケットエラー： " + std::string(::gai_strerror(EAI_SERVICE)) + " (" +
                                        IntToStr(EAI_SERVICE) + ") [API 'ASync Lookup']");
    EXPECT_FALSE(server.Active());
    EXPECT_EQ(server.Listener()->Sock(), InvalidSocket);
    EXPECT_TRUE(log.empty());
}

} // namespace
