#include "FakeEventLoop.h"
#include "base/SysUtils.h"
#include "base/Timer.h"

#include <gtest/gtest.h>

#include <memory>
#include <stdexcept>

namespace {

struct TimerTest : ::testing::Test {
    FakeEventLoop loop;
    int ticks = 0;
    void Attach(TTimer& t) { t.SetOnTimer([this] { ++ticks; }); }
};

} // namespace

TEST_F(TimerTest, DefaultsAndCountingNeedAllThreeConditions)
{
    TTimer t(loop);
    EXPECT_EQ(t.Interval(), 1000);
    EXPECT_TRUE(t.Enabled());
    EXPECT_EQ(loop.ActiveTimers(), 0); // no handler yet
    Attach(t);
    loop.Advance(2500);
    EXPECT_EQ(ticks, 2);
    t.SetInterval(0);
    loop.Advance(5000);
    EXPECT_EQ(ticks, 2);
}

TEST_F(TimerTest, EnablingAnEnabledTimerDoesNotRestartTheCount)
{
    TTimer t(loop);
    t.SetInterval(250);
    Attach(t);
    loop.Advance(200);
    t.SetEnabled(true);
    t.SetInterval(250);
    loop.Advance(50);
    EXPECT_EQ(ticks, 1);
}

TEST_F(TimerTest, AChangeRestartsTheCountFromZero)
{
    TTimer t(loop);
    t.SetInterval(250);
    Attach(t);
    loop.Advance(200);
    t.SetInterval(300);
    loop.Advance(250);
    EXPECT_EQ(ticks, 0);
    loop.Advance(50);
    EXPECT_EQ(ticks, 1);

    loop.Advance(200);
    t.SetEnabled(false);
    t.SetEnabled(true);
    loop.Advance(200);
    EXPECT_EQ(ticks, 1);
    loop.Advance(100);
    EXPECT_EQ(ticks, 2);

    loop.Advance(200);
    Attach(t); // attaching a handler restarts too
    loop.Advance(200);
    EXPECT_EQ(ticks, 2);
}

TEST_F(TimerTest, KeepsTickingAfterAnErrorInItsHandler)
{
    SetErrorReporter([](std::exception_ptr) {});
    TTimer t(loop);
    t.SetInterval(100);
    t.SetOnTimer([this] {
        ++ticks;
        throw std::runtime_error("boom");
    });
    loop.Advance(350);
    EXPECT_EQ(ticks, 3);
    SetErrorReporter(nullptr);
}

TEST_F(TimerTest, HandlerMayDestroyItsOwnTimer)
{
    auto t = std::make_unique<TTimer>(loop);
    t->SetOnTimer([&] {
        ++ticks;
        t->SetEnabled(false);
        t.reset();
    });
    loop.Advance(5000);
    EXPECT_EQ(ticks, 1);
    EXPECT_EQ(loop.ActiveTimers(), 0);
}

TEST_F(TimerTest, DestroyingStopsIt)
{
    {
        TTimer t(loop);
        Attach(t);
    }
    EXPECT_EQ(loop.ActiveTimers(), 0);
    loop.Advance(5000);
    EXPECT_EQ(ticks, 0);
}

TEST_F(TimerTest, NoTimerFromThePlatformRaisesAndKeepsTheValue)
{
    TTimer t(loop);
    t.SetEnabled(false);
    Attach(t);
    loop.failNextTimer = true;
    try {
        t.SetEnabled(true);
        FAIL() << "no error";
    } catch (const EOutOfResources& e) {
        EXPECT_EQ(e.Message(), "タイマーを取得できません");
    }
    EXPECT_TRUE(t.Enabled());
    loop.Advance(5000);
    EXPECT_EQ(ticks, 0);
}
