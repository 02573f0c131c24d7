// TClientSocket and its connection object, against plain loopback peers.
#include "net/Lookup.h"
#include "NetTestSupport.h"
#include "RunUntil.h"
#include "base/SysUtils.h"
#include "net/ScktComp.h"

#include <gtest/gtest.h>

#include <arpa/inet.h>
#include <cerrno>
#include <condition_variable>
#include <mutex>
#include <netdb.h>
#include <string>
#include <vector>

namespace {

class ClientSocketTest : public ::testing::Test {
protected:
    void SetUp() override
    {
        UsePollLoop();
        client = std::make_unique<TClientSocket>();
        Bind(*client);
    }

    void TearDown() override { Lookup::SetResolver(nullptr); }

    void Bind(TClientSocket& socket)
    {
        auto note = [this, &socket](const char* name) {
            return [this, &socket, name](TObject* sender, TCustomWinSocket* connection) {
                EXPECT_EQ(sender, &socket);
                EXPECT_EQ(connection, socket.ClientConnection());
                log.push_back(name);
            };
        };
        socket.OnLookup = note("lookup");
        socket.OnConnecting = note("connecting");
        socket.OnConnect = note("connect");
        socket.OnDisconnect = note("disconnect");
        socket.OnWrite = note("write");
        socket.OnRead = [this](TObject*, TCustomWinSocket* connection) {
            log.push_back("read");
            received += connection->ReadAllText();
        };
        socket.OnError = [this](TObject*, TCustomWinSocket*, TErrorEvent kind, int& code) {
            log.push_back("error " + IntToStr(kind) + " " + IntToStr(code));
            code = 0;
        };
    }

    // Starts an attempt at 127.0.0.1:port and waits until it is connected.
    void ConnectTo(std::uint16_t port)
    {
        client->SetAddress("127.0.0.1");
        client->SetPort(port);
        client->SetActive(true);
        ASSERT_TRUE(RunUntil([&] { return client->Active(); }));
    }

    int Count(const std::string& prefix) const
    {
        int n = 0;
        for (const auto& entry : log)
            if (entry.rfind(prefix, 0) == 0) ++n;
        return n;
    }

    std::unique_ptr<TClientSocket> client;
    std::vector<std::string> log;
    std::string received;
};

TEST_F(ClientSocketTest, ActiveFollowsTheConnectionEvents)
{
    std::uint16_t port = 0;
    UniqueFd listener = ListenLoopback(port);
    client->SetAddress("127.0.0.1");
    client->SetPort(port);
    client->SetActive(true);
    EXPECT_FALSE(client->Active());
    EXPECT_EQ(log, (std::vector<std::string>{"lookup", "connecting"}));

    ASSERT_TRUE(RunUntil([&] { return Count("write") == 1; }));
    EXPECT_TRUE(client->Active());
    EXPECT_EQ(log, (std::vector<std::string>{"lookup", "connecting", "connect", "write"}));
    UniqueFd peer = AcceptWithin(listener.Get());
    EXPECT_EQ(client->ClientConnection()->PeerAddress(), "127.0.0.1");

    WriteAll(peer.Get(), "text");
    ASSERT_TRUE(RunUntil([&] { return received == "text"; }));
    EXPECT_EQ(client->ClientConnection()->SendString("reply"), 5);
    EXPECT_EQ(ReadExactly(peer.Get(), 5), "reply");

    // Active := false closes inside the setter.
    client->SetActive(false);
    EXPECT_FALSE(client->Active());
    EXPECT_EQ(log.back(), "disconnect");
    EXPECT_TRUE(WaitForPeerClose(peer.Get()));
    EXPECT_EQ(Count("error"), 0);
}

TEST_F(ClientSocketTest, PeerCloseDisconnectsOnce)
{
    std::uint16_t port = 0;
    UniqueFd listener = ListenLoopback(port);
    ConnectTo(port);
    UniqueFd peer = AcceptWithin(listener.Get());
    WriteAll(peer.Get(), "last words");
    peer.Reset();
    ASSERT_TRUE(RunUntil([&] { return Count("disconnect") == 1; }));
    // Data sent before the close is read first.
    EXPECT_EQ(received, "last words");
    EXPECT_FALSE(client->Active());
    RunFor(50);
    EXPECT_EQ(Count("disconnect"), 1);
    EXPECT_EQ(Count("error"), 0);
}

TEST_F(ClientSocketTest, RefusedAttemptGivesOneConnectErrorAndNoDisconnect)
{
    client->SetAddress("127.0.0.1");
    client->SetPort(UnusedPort());
    client->SetActive(true);
    ASSERT_TRUE(RunUntil([&] { return Count("error") == 1; }));
    RunFor(50);
    EXPECT_EQ(log, (std::vector<std::string>{"lookup", "connecting",
                                             "error " + IntToStr(ekConnect) + " " + IntToStr(ECONNREFUSED)}));
    EXPECT_FALSE(client->Active());
    EXPECT_EQ(client->ClientConnection()->SendString("nothing"), 0);
}

TEST_F(ClientSocketTest, UnhandledRefusalIsShownByTheLoop)
{
    ReportedErrors errors;
    client->OnError = nullptr;
    client->SetAddress("127.0.0.1");
    client->SetPort(UnusedPort());
    client->SetActive(true);
    ASSERT_TRUE(RunUntil([&] { return !errors.Messages().empty(); }));
    EXPECT_EQ(errors.Messages(), std::vector<std::string>{"非同期ソケットエラー " + IntToStr(ECONNREFUSED)});
}

TEST_F(ClientSocketTest, DeactivatingAPendingAttemptChangesNothing)
{
    std::uint16_t port = 0;
    UniqueFd listener = ListenLoopback(port);
    client->SetAddress("127.0.0.1");
    client->SetPort(port);
    client->SetActive(true);
    client->SetActive(false);
    EXPECT_EQ(Count("disconnect"), 0);
    // The attempt goes on and may still connect.
    ASSERT_TRUE(RunUntil([&] { return client->Active(); }));
}

TEST_F(ClientSocketTest, ASecondAttemptReplacesThePendingOneQuietly)
{
    std::uint16_t port = 0;
    UniqueFd listener = ListenLoopback(port);
    client->SetAddress("127.0.0.1");
    client->SetPort(port);
    client->SetActive(true);
    client->SetActive(true);
    ASSERT_TRUE(RunUntil([&] { return client->Active(); }));
    RunFor(50);
    EXPECT_EQ(log, (std::vector<std::string>{"lookup", "connecting", "lookup", "connecting", "connect", "write"}));
    // The replaced attempt's peer sees its connection closed.
    UniqueFd replaced = AcceptWithin(listener.Get());
    UniqueFd current = AcceptWithin(listener.Get());
    ASSERT_GE(replaced.Get(), 0);
    ASSERT_GE(current.Get(), 0);
    EXPECT_TRUE(WaitForPeerClose(replaced.Get()));
    EXPECT_FALSE(WaitForPeerClose(current.Get(), 50));
}

TEST_F(ClientSocketTest, AddressIsNeverLookedUp)
{
    int lookups = 0;
    Lookup::SetResolver([&lookups](LookupKind, const std::string&) {
        ++lookups;
        return LookupResult{};
    });
    std::uint32_t target = 0;
    client->OnConnecting = [&target](TObject*, TCustomWinSocket* socket) {
        target = socket->Endpoint().sin_addr.s_addr;
    };
    client->SetAddress("localhost");
    client->SetPort(UnusedPort());
    try {
        client->SetActive(true);
    } catch (const ESocketError& e) {
        // The platform may refuse a connect to the broadcast address at once.
        EXPECT_NE(e.Message().find("[API 'connect']"), std::string::npos);
    }
    EXPECT_EQ(target, INADDR_NONE);
    EXPECT_EQ(lookups, 0);
}

TEST_F(ClientSocketTest, MissingAddressIsALookupErrorThenADisconnect)
{
    client->SetActive(true);
    EXPECT_EQ(log, (std::vector<std::string>{"lookup", "error " + IntToStr(ekLookup) + " 1110", "disconnect"}));
    EXPECT_EQ(client->ClientConnection()->Sock(), InvalidSocket);

    client->OnError = nullptr;
    try {
        client->SetActive(true);
        ADD_FAILURE() << "no error";
    } catch (const ESocketError& e) {
        EXPECT_EQ(e.Message(), "アドレスが指定されていません");
    }
    EXPECT_EQ(client->ClientConnection()->Sock(), InvalidSocket);
}

TEST_F(ClientSocketTest, PropertiesCannotChangeWhileActive)
{
    std::uint16_t port = 0;
    UniqueFd listener = ListenLoopback(port);
    client->SetHost("");
    ConnectTo(port);
    client->SetAddress("127.0.0.1"); // the same: nothing
    client->SetPort(port);
    for (auto change : std::vector<std::function<void()>>{
             [&] { client->SetAddress("127.0.0.2"); }, [&] { client->SetPort(port + 1); },
             [&] { client->SetHost("localhost"); }, [&] { client->SetClientType(ctBlocking); }}) {
        try {
            change();
            ADD_FAILURE() << "no error";
        } catch (const ESocketError& e) {
            EXPECT_EQ(e.Message(), "ソケットを使用中は値を変更できません");
        }
    }
    EXPECT_EQ(client->Address(), "127.0.0.1");
    EXPECT_EQ(client->Port(), port);
}

TEST_F(ClientSocketTest, DesignValuesTakeEffectAfterLoading)
{
    std::uint16_t port = 0;
    UniqueFd listener = ListenLoopback(port);
    client->BeginLoad();
    client->SetActive(true);
    client->SetAddress("127.0.0.1"); // allowed: loading, though Active reads true
    client->SetPort(port);
    EXPECT_TRUE(client->Active());
    EXPECT_TRUE(log.empty());
    EXPECT_EQ(client->ClientConnection()->Sock(), InvalidSocket);

    client->AfterLoad();
    EXPECT_EQ(log, (std::vector<std::string>{"lookup", "connecting"}));
    ASSERT_TRUE(RunUntil([&] { return client->ClientConnection()->IsConnected(); }));
    EXPECT_EQ(log[2], "connect");
}

TEST_F(ClientSocketTest, HostIsLookedUpWithoutBlockingTheLoop)
{
    std::uint16_t port = 0;
    UniqueFd listener = ListenLoopback(port);
    Lookup::SetResolver([](LookupKind kind, const std::string& name) {
        LookupResult result;
        if (kind == LookupKind::Host && name == "peer.test") result.address = htonl(INADDR_LOOPBACK);
        else result.errorCode = EAI_NONAME;
        return result;
    });
    client->SetHost("peer.test");
    client->SetPort(port);
    client->SetActive(true);
    EXPECT_EQ(log, std::vector<std::string>{"lookup"});
    EXPECT_EQ(client->ClientConnection()->ResolveStage(), rsAddress);
    ASSERT_TRUE(RunUntil([&] { return client->Active(); }));
    EXPECT_EQ(log, (std::vector<std::string>{"lookup", "connecting", "connect"}));
}

TEST_F(ClientSocketTest, FailedLookupIsReportedThenDisconnects)
{
    Lookup::SetResolver([](LookupKind, const std::string&) { return LookupResult{EAI_NONAME, 0, 0}; });
    client->SetHost("nowhere.test");
    client->SetActive(true);
    ASSERT_TRUE(RunUntil([&] { return Count("disconnect") == 1; }));
    EXPECT_EQ(log, (std::vector<std::string>{"lookup", "error " + IntToStr(ekLookup) + " " + IntToStr(EAI_NONAME),
                                             "disconnect"}));

    ReportedErrors errors;
    client->OnError = nullptr;
    client->SetActive(true);
    ASSERT_TRUE(RunUntil([&] { return !errors.Messages().empty(); }));
    EXPECT_EQ(errors.Messages()[0], "Windows ソケットエラー： " + std::string(::gai_strerror(EAI_NONAME)) + " (" +
                                        IntToStr(EAI_NONAME) + ") [API 'ASync Lookup']");
}

TEST_F(ClientSocketTest, LookupFinishingAfterTheClientDiedTouchesNothing)
{
    std::mutex mutex;
    std::condition_variable released;
    bool release = false;
    Lookup::SetResolver([&](LookupKind, const std::string&) {
        std::unique_lock lock(mutex);
        released.wait(lock, [&] { return release; });
        return LookupResult{0, htonl(INADDR_LOOPBACK), 0};
    });
    client->SetHost("slow.test");
    client->SetPort(1);
    client->SetActive(true);
    client.reset();
    {
        std::lock_guard lock(mutex);
        release = true;
    }
    released.notify_all();
    RunFor(100);
    EXPECT_EQ(log, std::vector<std::string>{"lookup"});
}

TEST_F(ClientSocketTest, DestroyingAConnectedClientClosesWithoutDisconnect)
{
    std::uint16_t port = 0;
    UniqueFd listener = ListenLoopback(port);
    ConnectTo(port);
    UniqueFd peer = AcceptWithin(listener.Get());
    client.reset();
    EXPECT_TRUE(WaitForPeerClose(peer.Get()));
    EXPECT_EQ(Count("disconnect"), 0);
}

TEST_F(ClientSocketTest, HandlersMayDeactivateOrCloseAgainDuringEvents)
{
    std::uint16_t port = 0;
    UniqueFd listener = ListenLoopback(port);
    client->OnRead = [this](TObject*, TCustomWinSocket*) { client->SetActive(false); };
    client->OnDisconnect = [this](TObject*, TCustomWinSocket* socket) {
        log.push_back("disconnect");
        socket->CloseConnection();
        client->SetActive(false);
    };
    ConnectTo(port);
    UniqueFd peer = AcceptWithin(listener.Get());
    WriteAll(peer.Get(), "bye");
    ASSERT_TRUE(RunUntil([&] { return !client->Active(); }));
    RunFor(50);
    EXPECT_EQ(Count("disconnect"), 1);
    EXPECT_TRUE(WaitForPeerClose(peer.Get()));
}

} // namespace
