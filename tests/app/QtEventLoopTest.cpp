#include "app/QtEventLoop.h"
#include "RunUntil.h"
#include "base/SysUtils.h"

#include <gtest/gtest.h>

#include <sys/socket.h>
#include <unistd.h>

#include <atomic>
#include <stdexcept>
#include <string>
#include <thread>

namespace {

struct QtEventLoopTest : ::testing::Test {
    QtEventLoop loop;
    std::string reported;
    void SetUp() override
    {
        SetErrorReporter([this](std::exception_ptr e) {
            try {
                std::rethrow_exception(e);
            } catch (const std::exception& ex) {
                reported = ex.what();
            }
        });
    }
    void TearDown() override { SetErrorReporter(nullptr); }
};

} // namespace

TEST_F(QtEventLoopTest, PostedCallsRunInOrderAndCancelledOnesNever)
{
    std::string order;
    loop.Post([&] { order += 'a'; });
    const PostId b = loop.Post([&] { order += 'b'; });
    loop.Post([&] { order += 'c'; });
    loop.CancelPost(b);
    ASSERT_TRUE(RunUntil([&] { return order.size() >= 2; }));
    RunFor(20);
    EXPECT_EQ(order, "ac");
}

TEST_F(QtEventLoopTest, PostFromAnotherThreadRunsOnTheLoop)
{
    std::atomic<bool> ran{false};
    std::thread::id where;
    std::thread worker([&] { loop.Post([&] { where = std::this_thread::get_id(); ran = true; }); });
    worker.join();
    ASSERT_TRUE(RunUntil([&] { return ran.load(); }));
    EXPECT_EQ(where, std::this_thread::get_id());
}

TEST_F(QtEventLoopTest, ErrorInACallbackGoesToTheReporterAndTheLoopGoesOn)
{
    bool after = false;
    loop.Post([] { throw EConvertError("bad"); });
    loop.Post([&] { after = true; });
    ASSERT_TRUE(RunUntil([&] { return after; }));
    EXPECT_EQ(reported, "bad");
}

TEST_F(QtEventLoopTest, ReadWatchIsLevelTriggeredAndMayUnwatchItself)
{
    int fds[2];
    ASSERT_EQ(socketpair(AF_UNIX, SOCK_STREAM, 0, fds), 0);
    ASSERT_EQ(write(fds[1], "x", 1), 1);
    int calls = 0;
    WatchId id = 0;
    id = loop.Watch(fds[0], Readiness::Read, [&] {
        if (++calls == 3) loop.Unwatch(id); // data stays unread: readiness persists
    });
    ASSERT_TRUE(RunUntil([&] { return calls >= 3; }));
    RunFor(30);
    EXPECT_EQ(calls, 3);
    close(fds[0]);
    close(fds[1]);
}

TEST_F(QtEventLoopTest, DisabledWatchStaysQuiet)
{
    int fds[2];
    ASSERT_EQ(socketpair(AF_UNIX, SOCK_STREAM, 0, fds), 0);
    int calls = 0;
    const WatchId id = loop.Watch(fds[0], Readiness::Write, [&] { ++calls; });
    loop.SetWatchEnabled(id, false);
    RunFor(30);
    EXPECT_EQ(calls, 0);
    loop.SetWatchEnabled(id, true);
    EXPECT_TRUE(RunUntil([&] { return calls > 0; }));
    loop.Unwatch(id);
    close(fds[0]);
    close(fds[1]);
}

TEST_F(QtEventLoopTest, TimerMayStopItselfFromItsTick)
{
    int ticks = 0;
    TimerId id = 0;
    id = loop.StartTimer(5, [&] {
        ++ticks;
        loop.StopTimer(id);
    });
    ASSERT_NE(id, 0u);
    ASSERT_TRUE(RunUntil([&] { return ticks == 1; }));
    RunFor(40);
    EXPECT_EQ(ticks, 1);
}

// An error box opened from a tick runs a nested loop until it is dismissed;
// the timer's ticks go on meanwhile.
TEST_F(QtEventLoopTest, TimerTicksGoOnWhileItsOwnTickRunsANestedLoop)
{
    int ticks = 0;
    bool tickedInside = false;
    const TimerId id = loop.StartTimer(5, [&] {
        if (++ticks == 1) tickedInside = RunUntil([&] { return ticks >= 3; }, 2000);
    });
    ASSERT_TRUE(RunUntil([&] { return ticks >= 3; }));
    loop.StopTimer(id);
    EXPECT_TRUE(tickedInside);
}
