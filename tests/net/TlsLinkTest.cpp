// The encrypted link: two engines back to back without a socket (the
// handshake, a key mismatch, reads that end where writes did), then a server
// and a client component that share a key: large texts both ways, whole and
// in order.
#include "NetTestSupport.h"
#include "RunUntil.h"
#include "net/ScktComp.h"
#include "net/TlsEngine.h"

#include <gtest/gtest.h>

#include <cstdint>
#include <string>
#include <vector>

namespace {

LinkKey KeyFrom(char fill)
{
    LinkKey key;
    key.fill(static_cast<unsigned char>(fill));
    return key;
}

// Printable, numbered lines, so a dropped or doubled piece shows.
std::string Sample(std::size_t size)
{
    std::string text;
    for (int line = 0; text.size() < size; ++line) text += std::to_string(line) + " abcdefghijklmnopqrstuvwxyz\n";
    text.resize(size);
    return text;
}

class TlsLinkTest : public ::testing::Test {
protected:
    void SetUp() override
    {
        UsePollLoop();
        TCustomWinSocket::SetLinkKey(KeyFrom('k'));
        server.OnClientConnect = [this](TObject*, TCustomWinSocket* socket) { accepted = socket; };
        server.OnClientRead = [this](TObject*, TCustomWinSocket* socket) { atServer += socket->ReadAllText(); };
        server.OnClientError = [](TObject*, TCustomWinSocket*, TErrorEvent, int& code) { code = 0; };
        server.Listener()->RefusalSink = [this](TCustomWinSocket*, const std::string&, TRefusal why) {
            refusals.push_back(why);
        };
        client.OnRead = [this](TObject*, TCustomWinSocket* socket) { atClient += socket->ReadAllText(); };
        client.OnError = [](TObject*, TCustomWinSocket*, TErrorEvent, int& code) { code = 0; };
        server.SetPort(0);
        server.SetActive(true);
    }
    void TearDown() override { TCustomWinSocket::SetLinkKey(std::nullopt); }

    TServerSocket server;
    TClientSocket client;
    TCustomWinSocket* accepted = nullptr;
    std::string atServer;
    std::string atClient;
    std::vector<TRefusal> refusals;
};

} // namespace

TEST(TlsEngineTest, EnginesBackToBackAgreeOnlyOnOneKeyAndReadsEndWhereWritesDid)
{
    using Status = TlsEngine::Status;
    for (const char serverKey : {'k', 'x'}) {
        SCOPED_TRACE(serverKey);
        std::string toServer;
        std::string toClient;
        TlsEngine client(false, KeyFrom('k'), [&](std::string&& bytes) { toServer += bytes; });
        TlsEngine server(true, KeyFrom(serverKey), [&](std::string&& bytes) { toClient += bytes; });
        EXPECT_EQ(client.Write("5", 1), Status::Done); // kept until the handshake is complete
        Status clientStatus = client.Handshake();
        Status serverStatus = Status::WantsInput;
        for (int round = 0; round < 3; ++round) {
            server.Feed(toServer.data(), toServer.size());
            toServer.clear();
            serverStatus = server.Handshake();
            client.Feed(toClient.data(), toClient.size());
            toClient.clear();
            clientStatus = client.Handshake();
        }
        const Status agreed = serverKey == 'k' ? Status::Done : Status::Failed;
        EXPECT_EQ(serverStatus, agreed);
        EXPECT_EQ(clientStatus, agreed);
        if (agreed == Status::Failed) continue;

        // A write of whole records and one short one; the reads split the
        // same way, the large one whole.
        const std::vector<std::string> writes{"5", Sample(3 * 16384 + 7), "3"};
        for (std::size_t i = 1; i < writes.size(); ++i) client.Write(writes[i].data(), writes[i].size());
        server.Feed(toServer.data(), toServer.size());
        for (const std::string& write : writes) {
            std::string plain;
            bool endsWrite = false;
            EXPECT_EQ(server.Read(plain, SIZE_MAX, endsWrite), Status::Done);
            EXPECT_TRUE(endsWrite && plain == write) << plain.size();
        }
    }
}

TEST_F(TlsLinkTest, LinkCarriesLargeTextsBothWaysAndConnectsOnlyAfterTheHandshake)
{
    client.SetAddress("127.0.0.1");
    client.SetPort(ListeningPort(server));
    client.SetActive(true);
    ASSERT_TRUE(RunUntil([&] { return client.Active() && accepted != nullptr; }));

    const std::string up = Sample(8 * 1024 * 1024 + 3);
    const std::string down = Sample(5 * 1024 * 1024 + 1);
    EXPECT_EQ(client.ClientConnection()->SendString(up), static_cast<int>(up.size()));
    EXPECT_EQ(accepted->SendString(down), static_cast<int>(down.size()));
    ASSERT_TRUE(RunUntil([&] { return atServer.size() >= up.size() && atClient.size() >= down.size(); }, 30000));
    EXPECT_TRUE(atServer == up);
    EXPECT_TRUE(atClient == down);
    EXPECT_TRUE(refusals.empty());
}
