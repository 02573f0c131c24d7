// Dead peers: TCP keepalive notices a peer that stopped answering, on both
// ends of a connection between the two components.
//
// Silencing a peer means switching loopback off, which must never happen to
// the machine's own: the test re-executes its binary under `unshare --net`
// (util-linux), in a network namespace of its own whose loopback it brings up
// and later takes down with the interface ioctls (no network tools needed).
// Making a namespace needs root and unshare; without either the test fails.
#include "NetTestSupport.h"
#include "RunUntil.h"
#include "base/SysUtils.h"
#include "net/ScktComp.h"

#include <gtest/gtest.h>

#include <net/if.h>
#include <spawn.h>
#include <sys/ioctl.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <string>
#include <vector>

extern char** environ;

namespace {

// Set in the re-executed copy that runs inside the private namespace.
constexpr const char* PrivateNetworkVariable = "TESSARO_TEST_PRIVATE_NETWORK";

// Short enough to keep the test brief, long enough that a probe's answer is
// never late on a loaded machine.
constexpr KeepAliveTimes ShortKeepAlive{1, 1, 2};
constexpr int DeadAfterMs = (ShortKeepAlive.IdleSec + ShortKeepAlive.IntervalSec * ShortKeepAlive.Probes) * 1000;
// Timers of the kernel and of a loaded test machine are not exact.
constexpr int DetectionMarginMs = 3000;

bool InPrivateNetwork()
{
    const char* value = std::getenv(PrivateNetworkVariable);
    return value != nullptr && std::strcmp(value, "1") == 0;
}

// Runs argv (looked up in PATH) with `extraEnv` added; returns its wait
// status, or -1 with errno when it could not be started.
int Run(const std::vector<std::string>& argv, const std::string& extraEnv = {})
{
    std::vector<char*> args;
    for (const std::string& arg : argv) args.push_back(const_cast<char*>(arg.c_str()));
    args.push_back(nullptr);
    std::vector<char*> env;
    for (char** entry = environ; *entry != nullptr; ++entry) env.push_back(*entry);
    if (!extraEnv.empty()) env.push_back(const_cast<char*>(extraEnv.c_str()));
    env.push_back(nullptr);

    pid_t pid = 0;
    const int error = posix_spawnp(&pid, args[0], nullptr, nullptr, args.data(), env.data());
    if (error != 0) {
        errno = error;
        return -1;
    }
    int status = 0;
    while (waitpid(pid, &status, 0) < 0) {
        if (errno != EINTR) return -1;
    }
    return status;
}

bool ExitedWithZero(int status)
{
    return status != -1 && WIFEXITED(status) && WEXITSTATUS(status) == 0;
}

void SetLoopbackUp(bool up)
{
    UniqueFd control(socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0));
    ASSERT_GE(control.Get(), 0) << std::strerror(errno);
    ifreq request{};
    std::strncpy(request.ifr_name, "lo", IFNAMSIZ - 1);
    ASSERT_EQ(ioctl(control.Get(), SIOCGIFFLAGS, &request), 0) << std::strerror(errno);
    if (up) {
        request.ifr_flags = static_cast<short>(request.ifr_flags | IFF_UP);
    } else {
        request.ifr_flags = static_cast<short>(request.ifr_flags & ~IFF_UP);
    }
    ASSERT_EQ(ioctl(control.Get(), SIOCSIFFLAGS, &request), 0) << std::strerror(errno);
}

// Runs the current test again in a copy of this binary inside a new network
// namespace. Fails when that cannot be done here.
void RunInPrivateNetwork()
{
    ASSERT_EQ(geteuid(), 0u) << "a private network namespace needs root";
    const int probe = Run({"unshare", "--net", "--", "true"});
    ASSERT_NE(probe, -1) << "unshare (util-linux) cannot be run: " << std::strerror(errno);
    ASSERT_TRUE(ExitedWithZero(probe)) << "unshare --net fails here: no network namespaces";

    const ::testing::TestInfo* test = ::testing::UnitTest::GetInstance()->current_test_info();
    const std::string filter = std::string("--gtest_filter=") + test->test_suite_name() + "." + test->name();
    std::error_code error;
    const std::string self = std::filesystem::read_symlink("/proc/self/exe", error);
    ASSERT_FALSE(error) << "cannot find this test binary: " << error.message();
    const int status = Run({"unshare", "--net", "--", self, filter},
                           std::string(PrivateNetworkVariable) + "=1");
    EXPECT_TRUE(ExitedWithZero(status)) << "the copy in the private namespace failed (wait status " << status
                                        << "); its output is above";
}

class KeepAliveTest : public ::testing::Test {
protected:
    void TearDown() override { TCustomWinSocket::SetKeepAlive(DefaultKeepAliveTimes); }

    static std::string Joined(const std::vector<std::string>& log)
    {
        std::string text;
        for (const std::string& entry : log) text += (text.empty() ? "" : ", ") + entry;
        return text.empty() ? "(nothing)" : text;
    }
};

TEST_F(KeepAliveTest, PeerThatStopsAnsweringIsReportedOnBothEndsWithinTheProbeTime)
{
    if (!InPrivateNetwork()) return RunInPrivateNetwork();

    SetLoopbackUp(true);
    UsePollLoop();
    TCustomWinSocket::SetKeepAlive(ShortKeepAlive);

    std::vector<std::string> serverLog;
    std::vector<std::string> clientLog;
    TServerSocket server;
    server.OnClientError = [&serverLog](TObject*, TCustomWinSocket*, TErrorEvent kind, int& code) {
        serverLog.push_back("error " + IntToStr(kind) + " " + IntToStr(code));
        code = 0;
    };
    server.OnClientDisconnect = [&serverLog](TObject*, TCustomWinSocket*) { serverLog.push_back("disconnect"); };
    server.SetActive(true);

    TClientSocket client;
    client.OnError = [&clientLog](TObject*, TCustomWinSocket*, TErrorEvent kind, int& code) {
        clientLog.push_back("error " + IntToStr(kind) + " " + IntToStr(code));
        code = 0;
    };
    client.OnDisconnect = [&clientLog](TObject*, TCustomWinSocket*) { clientLog.push_back("disconnect"); };
    client.SetAddress("127.0.0.1");
    client.SetPort(ListeningPort(server));
    client.SetActive(true);
    ASSERT_TRUE(RunUntil([&] { return client.Active() && server.ConnectionCount() == 1; }));

    // While the peer answers, the short probes keep an idle connection alive:
    // whatever ends it below is the silence, not the keepalive settings.
    RunFor(DeadAfterMs + DetectionMarginMs / 2);
    ASSERT_TRUE(serverLog.empty() && clientLog.empty())
        << "a healthy idle connection was reported; client: " << Joined(clientLog) << "; server: " << Joined(serverLog);

    SetLoopbackUp(false);
    // A timed-out keepalive is the only thing that ends an idle connection
    // with ETIMEDOUT; it comes as the close notification's error.
    const std::string deadPeer = "error " + IntToStr(ekDisconnect) + " " + IntToStr(ETIMEDOUT);
    EXPECT_TRUE(RunUntil([&] { return !clientLog.empty() && !serverLog.empty(); }, DeadAfterMs + DetectionMarginMs))
        << "client: " << Joined(clientLog) << "; server: " << Joined(serverLog);
    for (const auto* log : {&clientLog, &serverLog}) {
        ASSERT_FALSE(log->empty());
        EXPECT_EQ(log->front(), deadPeer) << Joined(*log);
    }
}

} // namespace
