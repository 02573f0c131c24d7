#include "app/InstanceLock.h"

#include <gtest/gtest.h>

#include "RunUntil.h"
#include "TempDir.h"

#include <poll.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <string>

namespace {

constexpr int ChildReadyTimeoutMs = 5000;

// A name of this test process's own, so parallel test runs never meet.
std::string TestName(const char* what)
{
    return "tessaro2-test-" + std::to_string(::getpid()) + "-" + what;
}

constexpr uid_t Nobody = 65534;

// Starts a child that takes the name (as user `uid` when given), hands it to
// the process (as the program does) and drops the object, then waits to be
// killed. Returns its pid once it holds the name, or -1.
pid_t StartHolder(const std::string& name, uid_t uid = ::geteuid())
{
    int ready[2];
    if (::pipe(ready) != 0) return -1;
    const pid_t pid = ::fork();
    if (pid == 0) {
        ::close(ready[0]);
        if (uid != ::geteuid() && (::setgid(uid) != 0 || ::setuid(uid) != 0)) ::_exit(4);
        {
            TInstanceLock lock(name);
            if (lock.GetState() != TInstanceLock::State::Acquired) ::_exit(2);
            lock.KeepUntilExit();
        }
        const char byte = 1;
        if (::write(ready[1], &byte, 1) != 1) ::_exit(3);
        for (;;) ::pause();
    }
    ::close(ready[1]);
    pollfd waitFor{ready[0], POLLIN, 0};
    char byte = 0;
    const bool ok = pid > 0 && ::poll(&waitFor, 1, ChildReadyTimeoutMs) == 1 && ::read(ready[0], &byte, 1) == 1;
    ::close(ready[0]);
    if (!ok && pid > 0) {
        ::kill(pid, SIGKILL);
        ::waitpid(pid, nullptr, 0);
    }
    return ok ? pid : -1;
}

} // namespace

TEST(TInstanceLockTest, SecondHolderOfTheSameNameIsRefusedUntilTheFirstLetsGo)
{
    const std::string name = TestName("same");
    {
        TInstanceLock first(name);
        ASSERT_EQ(first.GetState(), TInstanceLock::State::Acquired);
        TInstanceLock second(name);
        EXPECT_EQ(second.GetState(), TInstanceLock::State::HeldByAnother);
    }
    TInstanceLock again(name);
    EXPECT_EQ(again.GetState(), TInstanceLock::State::Acquired);
}

TEST(TInstanceLockTest, AnotherDisplayOrUserIsAnotherSession)
{
    const std::string one = TInstanceLock::MarkerName(1000, ":1");
    const std::string two = TInstanceLock::MarkerName(1000, ":2");
    EXPECT_NE(one, two);
    EXPECT_NE(one, TInstanceLock::MarkerName(1001, ":1"));
    EXPECT_EQ(one.rfind("tessaro2", 0), 0u);

    TInstanceLock onOne(TestName("display") + one);
    TInstanceLock onTwo(TestName("display") + two);
    EXPECT_EQ(onOne.GetState(), TInstanceLock::State::Acquired);
    EXPECT_EQ(onTwo.GetState(), TInstanceLock::State::Acquired);
}

TEST(TInstanceLockTest, ScreensOfOneDisplayShareTheSession)
{
    EXPECT_EQ(TInstanceLock::MarkerName(7, ":0.1"), TInstanceLock::MarkerName(7, ":0"));
    EXPECT_EQ(TInstanceLock::MarkerName(7, "host.example:10.0"), TInstanceLock::MarkerName(7, "host.example:10"));
    EXPECT_NE(TInstanceLock::MarkerName(7, "wayland-0"), TInstanceLock::MarkerName(7, ":0"));
}

TEST(TInstanceLockTest, NameKeptForTheProcessLastsUntilItIsKilled)
{
    const std::string name = TestName("killed");
    const pid_t holder = StartHolder(name);
    ASSERT_GT(holder, 0);

    {
        TInstanceLock whileAlive(name);
        EXPECT_EQ(whileAlive.GetState(), TInstanceLock::State::HeldByAnother);
    }

    ::kill(holder, SIGKILL);
    ::waitpid(holder, nullptr, 0);
    TInstanceLock afterKill(name);
    EXPECT_EQ(afterKill.GetState(), TInstanceLock::State::Acquired);
}

// Any local process may bind an abstract name: one of another user must not
// keep the program from starting. In a private runtime folder only the user
// can make the marker at all.
TEST(TInstanceLockTest, MarkerHeldByAnotherUserDoesNotCount)
{
    const std::string name = TestName("squatted");
    const pid_t squatter = StartHolder(name, Nobody);
    ASSERT_GT(squatter, 0) << "needs root to start a holder as another user";
    {
        TInstanceLock squatted(name);
        EXPECT_EQ(squatted.GetState(), TInstanceLock::State::Unavailable);

        TempDir runtime;
        TInstanceLock first(name, runtime.Path());
        EXPECT_EQ(first.GetState(), TInstanceLock::State::Acquired);
        TInstanceLock second(name, runtime.Path());
        EXPECT_EQ(second.GetState(), TInstanceLock::State::HeldByAnother);
    }
    ::kill(squatter, SIGKILL);
    ::waitpid(squatter, nullptr, 0);
}

TEST(TInstanceLockTest, OneWaylandSocketNameInTwoRuntimeFoldersIsTwoSessions)
{
    const std::string runtime = TInstanceLock::SessionRuntimeDir();
    ::unsetenv("DISPLAY");
    ::setenv("WAYLAND_DISPLAY", "wayland-1", 1);
    const std::string here = TInstanceLock::SessionMarkerName();
    ::setenv("XDG_RUNTIME_DIR", "/run/user/elsewhere", 1);
    EXPECT_NE(TInstanceLock::SessionMarkerName(), here);
    ::setenv("XDG_RUNTIME_DIR", runtime.c_str(), 1);
}

// A later copy's request reaches the holder's loop, with either kind of marker.
TEST(TInstanceLockTest, ShowRequestOfALaterCopyReachesTheHolder)
{
    EventLoop& loop = UsePollLoop();
    TempDir runtime;
    for (const std::string& dir : {std::string(), runtime.Path()}) {
        const std::string name = TestName("show");
        TInstanceLock holder(name, dir);
        ASSERT_EQ(holder.GetState(), TInstanceLock::State::Acquired) << dir;
        int shown = 0;
        const TShowRequests requests(loop, holder.RequestFd(), [&] { ++shown; });

        EXPECT_TRUE(TInstanceLock::AskToShow(name, dir)) << dir;
        EXPECT_TRUE(RunUntil([&] { return shown == 1; })) << dir;
    }
}
