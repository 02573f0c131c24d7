// The encrypted link between a server and a client component that share a
// key: large texts both ways, whole and in order.
#include "NetTestSupport.h"
#include "RunUntil.h"
#include "net/ScktComp.h"
#include "net/TlsEngine.h"

#include <gtest/gtest.h>

#include <string>

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
