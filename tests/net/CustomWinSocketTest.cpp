// The connection object's own behaviour: sending (queue, limit, broken
// peers), receiving, socket options and descriptor hygiene, exercised through
// a listening server and a connecting client on loopback.
#include "NetTestSupport.h"
#include "RunUntil.h"
#include "base/SysUtils.h"
#include "net/ScktComp.h"

#include <gtest/gtest.h>

#include <netinet/in.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <sys/socket.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <cstring>
#include <string>
#include <thread>
#include <vector>

namespace {

std::string Pattern(std::size_t offset, std::size_t count)
{
    std::string bytes(count, '\0');
    for (std::size_t i = 0; i < count; ++i) bytes[i] = static_cast<char>((offset + i) * 7 % 251);
    return bytes;
}

class CustomWinSocketTest : public ::testing::Test {
protected:
    void SetUp() override
    {
        UsePollLoop();
        server.OnClientDisconnect = [this](TObject*, TCustomWinSocket*) { log.push_back("disconnect"); };
        server.OnClientWrite = [this](TObject*, TCustomWinSocket* socket) {
            log.push_back("write " + IntToStr(static_cast<std::int64_t>(socket->QueuedBytes())));
        };
        server.OnClientError = [this](TObject*, TCustomWinSocket*, TErrorEvent kind, int& code) {
            log.push_back("error " + IntToStr(kind) + " " + IntToStr(code));
            code = 0;
        };
        server.SetActive(true);
        port = ListeningPort(server);
    }

    void TearDown() override
    {
        TCustomWinSocket::SetSendQueueLimit(DefaultSendQueueLimitBytes);
        TCustomWinSocket::SetKeepAlive(DefaultKeepAliveTimes);
    }

    // A raw peer connected to the server, once the server has seen it.
    UniqueFd Peer()
    {
        const int before = server.ConnectionCount();
        UniqueFd peer = ConnectLoopback(port);
        EXPECT_TRUE(RunUntil([&] { return server.ConnectionCount() == before + 1; }));
        // The first OnClientWrite has come too.
        EXPECT_TRUE(RunUntil([&] { return Has("write 0"); }));
        log.clear();
        return peer;
    }

    bool Has(const std::string& entry) const
    {
        return std::find(log.begin(), log.end(), entry) != log.end();
    }

    TServerSocket server;
    std::uint16_t port = 0;
    std::vector<std::string> log;
};

TEST_F(CustomWinSocketTest, LargeSendToASlowReaderArrivesCompleteAndInOrder)
{
    constexpr std::size_t TotalBytes = std::size_t{64} << 20;
    constexpr std::size_t PieceBytes = 32 << 10;
    UniqueFd peer = Peer();
    SetReceiveBuffer(peer.Get(), 64 << 10);
    TServerClientWinSocket* socket = server.Connection(0);

    std::string arrived;
    std::thread reader([&] {
        arrived.reserve(TotalBytes);
        std::vector<char> buffer(16 << 10);
        while (arrived.size() < TotalBytes) {
            pollfd entry{peer.Get(), POLLIN, 0};
            if (::poll(&entry, 1, 10000) <= 0) break;
            const ssize_t n = ::recv(peer.Get(), buffer.data(), buffer.size(), 0);
            if (n <= 0) break;
            arrived.append(buffer.data(), static_cast<std::size_t>(n));
            // A reader slower than the sender, so the queue really builds up.
            if (arrived.size() % (4 << 20) < buffer.size())
                std::this_thread::sleep_for(std::chrono::milliseconds(2));
        }
    });

    // Half in one send, half in many small ones behind it.
    const std::size_t half = TotalBytes / 2;
    EXPECT_EQ(socket->SendString(Pattern(0, half)), static_cast<int>(half));
    EXPECT_GT(socket->QueuedBytes(), 0u);
    for (std::size_t offset = half; offset < TotalBytes; offset += PieceBytes)
        ASSERT_EQ(socket->SendString(Pattern(offset, PieceBytes)), static_cast<int>(PieceBytes));

    const bool drained = RunUntil([&] { return socket->QueuedBytes() == 0 && Has("write 0"); }, 20000);
    reader.join();
    EXPECT_TRUE(drained);
    ASSERT_EQ(arrived.size(), TotalBytes);
    EXPECT_TRUE(arrived == Pattern(0, TotalBytes));
    // OnClientWrite came once, when everything had left.
    EXPECT_EQ(log, std::vector<std::string>{"write 0"});
}

TEST_F(CustomWinSocketTest, APeerThatNeverReadsIsDroppedPastTheQueueLimit)
{
    constexpr std::size_t LimitBytes = 1 << 20;
    constexpr std::size_t PieceBytes = 64 << 10;
    TCustomWinSocket::SetSendQueueLimit(LimitBytes);
    UniqueFd peer = Peer();
    SetReceiveBuffer(peer.Get(), 16 << 10);
    TServerClientWinSocket* socket = server.Connection(0);

    const std::string piece(PieceBytes, 'q');
    int result = 0;
    for (int i = 0; i < 1000 && result != -1; ++i) result = socket->SendString(piece);
    EXPECT_EQ(result, -1);
    EXPECT_EQ(log, (std::vector<std::string>{"error " + IntToStr(ekSend) + " " + IntToStr(ENOBUFS), "disconnect"}));
    EXPECT_TRUE(RunUntil([&] { return server.ConnectionCount() == 0; }));
}

TEST_F(CustomWinSocketTest, QueueOverflowWithoutAHandlerRaisesToTheSender)
{
    TCustomWinSocket::SetSendQueueLimit(64 << 10);
    UniqueFd peer = Peer();
    server.OnClientError = nullptr;
    TServerClientWinSocket* socket = server.Connection(0);
    const std::string piece(32 << 10, 'q');
    try {
        for (int i = 0; i < 1000; ++i) socket->SendString(piece);
        ADD_FAILURE() << "the queue never overflowed";
    } catch (const ESocketError& e) {
        EXPECT_EQ(e.Message(), "Windows ソケットエラー： " + std::string(std::strerror(ENOBUFS)) + " (" +
                                   IntToStr(ENOBUFS) + ") [API 'send']");
    }
    // Torn down before the exception left.
    EXPECT_FALSE(socket->IsConnected());
    EXPECT_EQ(log, std::vector<std::string>{"disconnect"});
}

TEST_F(CustomWinSocketTest, WritingToAClosedPeerFailsWithoutSigpipe)
{
    UniqueFd peer = Peer();
    TServerClientWinSocket* socket = server.Connection(0);
    const int fd = socket->Sock();
    peer.Reset();
    pollfd closed{fd, POLLIN, 0};
    ASSERT_EQ(::poll(&closed, 1, 5000), 1);

    // The first send draws the peer's reset; a later one meets EPIPE or the
    // reset, which would raise SIGPIPE without MSG_NOSIGNAL.
    int result = 0;
    for (int i = 0; i < 100 && result != -1; ++i) {
        result = socket->SendString("after close");
        pollfd broken{fd, 0, 0};
        ::poll(&broken, 1, 20);
    }
    EXPECT_EQ(result, -1);
    ASSERT_EQ(log.size(), 2u);
    EXPECT_EQ(log[0].rfind("error " + IntToStr(ekSend) + " ", 0), 0u);
    EXPECT_EQ(log[1], "disconnect");
}

TEST_F(CustomWinSocketTest, APeerResettingWhileBytesAreQueuedEndsTheConnection)
{
    UniqueFd peer = Peer();
    SetReceiveBuffer(peer.Get(), 16 << 10);
    TServerClientWinSocket* socket = server.Connection(0);
    const std::string large(std::size_t{8} << 20, 'q');
    ASSERT_EQ(socket->SendString(large), static_cast<int>(large.size()));
    ASSERT_GT(socket->QueuedBytes(), 0u);

    CloseWithReset(peer);
    // The reset is reported, then the queued bytes fail to leave: the usual
    // failed send with its disconnect, and the entry is freed.
    ASSERT_TRUE(RunUntil([&] { return Has("disconnect"); }));
    EXPECT_EQ(log.front(), "error " + IntToStr(ekDisconnect) + " " + IntToStr(ECONNRESET));
    EXPECT_EQ(log.back(), "disconnect");
    EXPECT_TRUE(RunUntil([&] { return server.ConnectionCount() == 0; }));
}

TEST_F(CustomWinSocketTest, EveryEstablishedConnectionHasNoDelayAndKeepAlive)
{
    auto expectTuned = [](int fd, const KeepAliveTimes& times) {
        EXPECT_EQ(IntOption(fd, IPPROTO_TCP, TCP_NODELAY), 1);
        EXPECT_EQ(IntOption(fd, SOL_SOCKET, SO_KEEPALIVE), 1);
        EXPECT_EQ(IntOption(fd, IPPROTO_TCP, TCP_KEEPIDLE), times.IdleSec);
        EXPECT_EQ(IntOption(fd, IPPROTO_TCP, TCP_KEEPINTVL), times.IntervalSec);
        EXPECT_EQ(IntOption(fd, IPPROTO_TCP, TCP_KEEPCNT), times.Probes);
    };
    TClientSocket client;
    client.SetAddress("127.0.0.1");
    client.SetPort(port);
    client.SetActive(true);
    ASSERT_TRUE(RunUntil([&] { return client.Active() && server.ConnectionCount() == 1; }));
    expectTuned(client.ClientConnection()->Sock(), DefaultKeepAliveTimes);
    expectTuned(server.Connection(0)->Sock(), DefaultKeepAliveTimes);

    const KeepAliveTimes shortTimes{5, 2, 4};
    TCustomWinSocket::SetKeepAlive(shortTimes);
    client.SetActive(false);
    client.SetActive(true);
    ASSERT_TRUE(RunUntil([&] { return client.Active() && server.ConnectionCount() == 1; }));
    expectTuned(client.ClientConnection()->Sock(), shortTimes);
    expectTuned(server.Connection(0)->Sock(), shortTimes);
}

TEST_F(CustomWinSocketTest, ConnectAndCloseCyclesLeaveNoDescriptorBehind)
{
    constexpr int Cycles = 1000;
    constexpr int RefusedEvery = 10;
    const std::uint16_t deadPort = UnusedPort();
    TClientSocket client;
    int errors = 0;
    client.OnError = [&errors](TObject*, TCustomWinSocket*, TErrorEvent, int& code) {
        ++errors;
        code = 0;
    };
    client.SetAddress("127.0.0.1");

    auto cycle = [&](int i) {
        if (i % RefusedEvery == RefusedEvery - 1) {
            const int before = errors;
            client.SetPort(deadPort);
            client.SetActive(true);
            return RunUntil([&] { return errors == before + 1; });
        }
        client.SetPort(port);
        client.SetActive(true);
        if (!RunUntil([&] { return client.Active(); })) return false;
        client.SetActive(false);
        return RunUntil([&] { return server.ConnectionCount() == 0; });
    };
    ASSERT_TRUE(cycle(0)); // the loop's own descriptors settle first
    const int before = OpenDescriptorCount();
    for (int i = 1; i < Cycles; ++i) ASSERT_TRUE(cycle(i)) << "cycle " << i;
    ASSERT_TRUE(cycle(0)); // ends connected-and-closed, replacing any refused socket
    EXPECT_EQ(OpenDescriptorCount(), before);
}

TEST_F(CustomWinSocketTest, ReadsAreReportedAgainWhileDataRemains)
{
    std::string taken;
    server.OnClientRead = [&taken](TObject*, TCustomWinSocket* socket) {
        char byte = 0;
        if (socket->ReceiveBytes(&byte, 1) == 1) taken += byte;
    };
    UniqueFd peer = Peer();
    WriteAll(peer.Get(), "abc");
    ASSERT_TRUE(RunUntil([&] { return taken == "abc"; }));
    RunFor(50);
    EXPECT_EQ(taken, "abc");

    TServerClientWinSocket* socket = server.Connection(0);
    EXPECT_EQ(socket->AvailableBytes(), 0);
    EXPECT_EQ(socket->ReadAllText(), "");
    EXPECT_EQ(socket->SendString(""), 0);
}

TEST_F(CustomWinSocketTest, ReadAllTextKeepsEveryByteAsItCame)
{
    std::string taken;
    server.OnClientRead = [&taken](TObject*, TCustomWinSocket* socket) { taken += socket->ReadAllText(); };
    UniqueFd peer = Peer();
    const std::string bytes("zero\0byte\xff\x80 end", 16);
    WriteAll(peer.Get(), bytes);
    ASSERT_TRUE(RunUntil([&] { return taken.size() == bytes.size(); }));
    EXPECT_EQ(taken, bytes);
}

TEST_F(CustomWinSocketTest, NotificationsForAnotherHandleFireNothing)
{
    UniqueFd peer = Peer();
    TServerClientWinSocket* socket = server.Connection(0);
    const int stale = socket->Sock() + 1000;
    for (TNotifyStyles flag : {FD_READ, FD_WRITE, FD_CLOSE}) socket->HandleNotification(stale, flag, 0);
    EXPECT_TRUE(log.empty());
    EXPECT_TRUE(socket->IsConnected());
}

TEST_F(CustomWinSocketTest, UnconnectedObjectsSendAndReadNothing)
{
    TClientSocket client;
    TClientWinSocket* connection = client.ClientConnection();
    EXPECT_EQ(connection->SendString("x"), 0);
    EXPECT_EQ(connection->ReadAllText(), "");
    EXPECT_EQ(connection->AvailableBytes(), 0);
    EXPECT_EQ(connection->PeerAddress(), "");
    connection->CloseConnection();
    EXPECT_EQ(connection->Sock(), InvalidSocket);
}

} // namespace
