// NotifyTarget's delivery rules as seen through the components, on a loop
// that counts how often readiness callbacks run: a socket that stays ready
// while nobody wants its notification must not keep the loop busy.
#include "base/EventLoop.h"
#include "NetTestSupport.h"
#include "RunUntil.h"
#include "base/SysUtils.h"
#include "net/ScktComp.h"

#include <gtest/gtest.h>

#include <cerrno>
#include <string>
#include <vector>

namespace {

// Forwards to the real loop and counts readiness callbacks.
class CountingLoop final : public EventLoop {
public:
    explicit CountingLoop(EventLoop& inner) : inner_(inner) {}

    WatchId Watch(int fd, Readiness kind, std::function<void()> onReady) override
    {
        return inner_.Watch(fd, kind, [this, onReady = std::move(onReady)] {
            ++readyCallbacks;
            onReady();
        });
    }
    void SetWatchEnabled(WatchId id, bool enabled) override { inner_.SetWatchEnabled(id, enabled); }
    void Unwatch(WatchId id) override { inner_.Unwatch(id); }
    PostId Post(std::function<void()> fn) override { return inner_.Post(std::move(fn)); }
    void CancelPost(PostId id) override { inner_.CancelPost(id); }
    TimerId StartTimer(int intervalMs, std::function<void()> onTick) override
    {
        return inner_.StartTimer(intervalMs, std::move(onTick));
    }
    void StopTimer(TimerId id) override { inner_.StopTimer(id); }

    int readyCallbacks = 0;

private:
    EventLoop& inner_;
};

// Readiness callbacks a quiet socket may still cause: the one that finds
// nothing armed and switches its watch off.
constexpr int QuietCallbackAllowance = 2;
constexpr int QuietPeriodMs = 100;

class NotifyTargetTest : public ::testing::Test {
protected:
    NotifyTargetTest() : loop(UsePollLoop()), server(nullptr, &loop), client(nullptr, &loop)
    {
        server.OnClientError = [this](TObject*, TCustomWinSocket*, TErrorEvent kind, int& code) {
            log.push_back("server error " + IntToStr(kind));
            code = 0;
        };
        client.OnError = [this](TObject*, TCustomWinSocket*, TErrorEvent kind, int& code) {
            log.push_back("client error " + IntToStr(kind));
            code = 0;
        };
        server.SetActive(true);
        port = ListeningPort(server);
    }

    // How many readiness callbacks run while nothing should happen.
    int QuietCallbacks()
    {
        loop.readyCallbacks = 0;
        RunFor(QuietPeriodMs);
        return loop.readyCallbacks;
    }

    CountingLoop loop;
    TServerSocket server;
    TClientSocket client;
    std::uint16_t port = 0;
    std::vector<std::string> log;
};

TEST_F(NotifyTargetTest, UnreadDataIsReportedOnceAndDoesNotSpin)
{
    int reads = 0;
    server.OnClientRead = [&reads](TObject*, TCustomWinSocket*) { ++reads; };
    UniqueFd peer = ConnectLoopback(port);
    ASSERT_TRUE(RunUntil([&] { return server.ConnectionCount() == 1; }));
    WriteAll(peer.Get(), "unread");
    ASSERT_TRUE(RunUntil([&] { return reads == 1; }));
    EXPECT_LE(QuietCallbacks(), QuietCallbackAllowance);
    EXPECT_EQ(reads, 1);

    // A receive re-arms the notification.
    EXPECT_EQ(server.Connection(0)->ReadAllText(), "unread");
    WriteAll(peer.Get(), "more");
    ASSERT_TRUE(RunUntil([&] { return reads == 2; }));
}

TEST_F(NotifyTargetTest, IdleFailedAndResetSocketsLeaveTheLoopQuiet)
{
    client.SetAddress("127.0.0.1");
    client.SetPort(UnusedPort());
    client.SetActive(true);
    ASSERT_TRUE(RunUntil([&] { return log.size() == 1; }));
    EXPECT_EQ(log[0], "client error " + IntToStr(ekConnect));
    // The failed attempt's socket stays until replaced; it must stay quiet.
    EXPECT_LE(QuietCallbacks(), QuietCallbackAllowance);

    UniqueFd peer = ConnectLoopback(port);
    ASSERT_TRUE(RunUntil([&] { return server.ConnectionCount() == 1; }));
    EXPECT_LE(QuietCallbacks(), QuietCallbackAllowance); // idle, connected, listening

    CloseWithReset(peer);
    ASSERT_TRUE(RunUntil([&] { return log.size() == 2; }));
    EXPECT_EQ(log[1], "server error " + IntToStr(ekDisconnect));
    EXPECT_LE(QuietCallbacks(), QuietCallbackAllowance);
    EXPECT_EQ(log.size(), 2u);
}

TEST_F(NotifyTargetTest, WriteIsReportedOnceAfterConnectAndNotAgainUnasked)
{
    int writes = 0;
    client.OnWrite = [&writes](TObject*, TCustomWinSocket*) { ++writes; };
    client.SetAddress("127.0.0.1");
    client.SetPort(port);
    client.SetActive(true);
    ASSERT_TRUE(RunUntil([&] { return writes == 1; }));
    for (int i = 0; i < 10; ++i) client.ClientConnection()->SendString("small");
    EXPECT_LE(QuietCallbacks(), QuietCallbackAllowance);
    EXPECT_EQ(writes, 1);
}

TEST_F(NotifyTargetTest, FreesForConnectionsAlreadyDestroyedAreDropped)
{
    int disconnects = 0;
    server.OnClientDisconnect = [&disconnects](TObject*, TCustomWinSocket*) { ++disconnects; };
    UniqueFd first = ConnectLoopback(port);
    UniqueFd second = ConnectLoopback(port);
    ASSERT_TRUE(RunUntil([&] { return server.ConnectionCount() == 2; }));
    server.Connection(0)->CloseConnection(); // its free is now pending
    EXPECT_EQ(disconnects, 1);
    server.SetActive(false);                 // destroys it before the free runs
    EXPECT_EQ(server.ConnectionCount(), 0);
    RunFor(50);
    server.SetActive(true);
    EXPECT_EQ(server.ConnectionCount(), 0);
    EXPECT_EQ(disconnects, 1);
}

} // namespace
