// The start-up options as TForm1's creation applies them: their order, what
// is no option, an option whose action fails, and "/mini" with Timer3.
#include "app/Application.h"
#include "app/Edit.h"
#include "base/EventLoop.h"
#include "FakeEventLoop.h"
#include "RunUntil.h"
#include "app/Unit1.h"
#include "net/ScktComp.h"
#include "Unit1TestSupport.h"

#include <QSystemTrayIcon>

#include <gtest/gtest.h>

#include <fstream>
#include <iterator>
#include <string>

namespace {

std::string Port(std::uint16_t port)
{
    return std::to_string(port);
}

std::string FileBytes(const std::string& path)
{
    std::ifstream in(path, std::ios::binary);
    return std::string(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
}

} // namespace

TEST(TForm1CommandLineTest, ServerThenClientEndsAsAClientWithTheServerStopped)
{
    const std::uint16_t port = UnusedPort();
    Form1Harness harness({"/addr:127.0.0.1", "/port:" + Port(port), "/server", "/client"});
    TForm1& form = harness.Create();

    EXPECT_TRUE(harness.Errors().empty()) << harness.Errors()[0];
    EXPECT_EQ(form.Mode, 2);
    EXPECT_EQ(Status(form), "sending heartbeat...");
    EXPECT_EQ(ControlStates(form), "B1- B2+ B3- B4+ E1- E2-");
    EXPECT_FALSE(form.ServerSocket1().Active());
}

TEST(TForm1CommandLineTest, ClientThenServerEndsAsAServer)
{
    std::uint16_t clientPort = 0;
    const UniqueFd listener = ListenLoopback(clientPort);
    const std::uint16_t serverPort = UnusedPort();
    Form1Harness harness(
        {"/addr:127.0.0.1", "/port:" + Port(clientPort), "/client", "/port:" + Port(serverPort), "/server"});
    TForm1& form = harness.Create();

    EXPECT_TRUE(harness.Errors().empty()) << harness.Errors()[0];
    EXPECT_EQ(form.Mode, 1);
    EXPECT_EQ(ControlStates(form), "B1- B2+ B3- B4+ E1- E2-");
    EXPECT_TRUE(form.ServerSocket1().Active());
    LoopbackPeer peer(ConnectLoopback(serverPort));
    EXPECT_TRUE(RunUntil([&] { return form.PanelText(TForm1::PeerCountPanel) == "1"; }));
}

TEST(TForm1CommandLineTest, ClientBeforeAddrConnectsToTheOldAddressAndTheBoxKeepsTheNewOne)
{
    std::uint16_t port = 0;
    const UniqueFd listener = ListenLoopback(port);
    Form1Harness harness({"/port:" + Port(port), "/client", "/addr:127.0.0.9"});
    std::ofstream(harness.SettingsFile(), std::ios::binary) << "[TESSAROPRO]\r\nLASTIP=127.0.0.1\r\n";
    TForm1& form = harness.Create();
    EXPECT_EQ(form.Edit1()->Text(), "127.0.0.9");

    LoopbackPeer peer = AwaitClientConnection(form, listener.Get());
    ASSERT_TRUE(peer.Connected());

    form.close();
    EXPECT_EQ(FileBytes(harness.SettingsFile()),
              "[TESSAROPRO]\r\nLASTIP=127.0.0.9\r\nLASTPORT=" + Port(port) + "\r\n\r\n");
}

TEST(TForm1CommandLineTest, NearMissesAreIgnoredAndAnEmptyAddrEmptiesTheBox)
{
    Form1Harness harness({"/addr:127.0.0.5", "/addr", "/addr:", "/port", "/SERVER", "-server", "/server2",
                          "-client", "/client ", "/Mini", ""});
    TForm1& form = harness.Create();

    EXPECT_EQ(form.Edit1()->Text(), "");
    EXPECT_EQ(form.Edit2()->Text(), "3100");
    EXPECT_EQ(form.Mode, 0);
    EXPECT_EQ(ControlStates(form), "B1+ B2- B3+ B4- E1+ E2+");
    EXPECT_FALSE(form.ServerSocket1().Active());
    EXPECT_FALSE(form.Timer3().Enabled());
    EXPECT_TRUE(harness.Errors().empty());

    form.close();
    EXPECT_EQ(FileBytes(harness.SettingsFile()), "[TESSAROPRO]\r\nLASTIP=\r\nLASTPORT=3100\r\n\r\n");
}

TEST(TForm1CommandLineTest, FailingOptionEndsCreationThereAndAnEarlierMiniIsNotHonoured)
{
    Form1Harness harness({"/mini", "/port:abc", "/server", "/addr:127.0.0.3"});
    TForm1& form = harness.Create();

    EXPECT_EQ(harness.Errors(), std::vector<std::string>{"'abc' は整数ではありません"});
    EXPECT_FALSE(form.Timer3().Enabled());
    EXPECT_EQ(form.Edit1()->Text(), "192.168.0.1");
    EXPECT_EQ(form.Mode, 1);
    EXPECT_EQ(ControlStates(form), "B1- B2- B3- B4+ E1+ E2-");
    EXPECT_FALSE(form.ServerSocket1().Active());
    EXPECT_EQ(harness.App().MainWindow(), &form);
}

TEST(TForm1CommandLineTest, MiniGivenTwiceHidesOnceAboutASecondAfterStart)
{
    // Virtual time: the window's timers run on a loop the test advances.
    FakeEventLoop fake;
    Form1Harness harness({"/mini", "/mini"});
    SetMainLoop(&fake);
    TForm1& form = harness.Create();
    SetMainLoop(&harness.App().Loop());
    ASSERT_TRUE(form.Timer3().Enabled());
    ASSERT_FALSE(QSystemTrayIcon::isSystemTrayAvailable()) << "offscreen has no notification area";
    form.show();

    fake.Advance(999);
    EXPECT_FALSE(form.isMinimized());
    fake.Advance(1);
    EXPECT_TRUE(form.isMinimized());
    EXPECT_FALSE(form.Timer3().Enabled());

    form.TrayNotify(QSystemTrayIcon::Trigger);
    ASSERT_FALSE(form.isMinimized());
    fake.Advance(10000);
    EXPECT_FALSE(form.isMinimized());
    EXPECT_TRUE(form.isVisible());
    EXPECT_TRUE(harness.Errors().empty());
}
