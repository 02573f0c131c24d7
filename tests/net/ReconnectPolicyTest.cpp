// ReconnectPolicy: one run of trying through every state, step by step.
#include "net/ReconnectPolicy.h"

#include <gtest/gtest.h>

TEST(ReconnectPolicyTest, WaitsAndStatesThroughOneRunOfTrying)
{
    enum Call { Start, Attempt, Fail, Connect, Drop, Stop };
    using enum ReconnectPolicy::State;
    constexpr std::int64_t Old = SteadyRetryPeriodMs;
    // Call, time, jitter, state after it, wait returned (Fail, Drop).
    const struct { Call call; std::int64_t nowMs; double jitter; ReconnectPolicy::State state; std::int64_t waitMs; }
    steps[] = {{Start, 0, 0, Attempting, 0}, {Fail, 100, 0, Waiting, 1000}, {Attempt, 0, 0, Attempting, 0},
               {Fail, Old - 1, 0.99, Waiting, 1000}, // no jitter while young
               {Fail, Old, 0, Waiting, 2000}, {Fail, Old, 0, Waiting, 4000}, {Fail, Old, 0.5, Waiting, 7600},
               {Fail, Old, 0, Waiting, 16000}, {Fail, Old, 0, Waiting, 30000}, {Fail, Old, 0.5, Waiting, 28500},
               // Ended at once (a server turning a surplus peer away): a failure.
               {Connect, 2 * Old, 0, Connected, 0}, {Drop, 2 * Old + 999, 0, Waiting, 30000},
               // A connection that stood is tried again at once, then as a young one.
               {Connect, 2 * Old + 1000, 0, Connected, 0}, {Drop, 3 * Old, 0, Attempting, 0},
               {Fail, 3 * Old + 5, 0, Waiting, 1000},
               // Late news of an attempt after Stop changes nothing.
               {Stop, 0, 0, Idle, 0}, {Attempt, 0, 0, Idle, 0}, {Connect, 0, 0, Idle, 0}};
    double jitter = 0;
    ReconnectPolicy policy([&] { return jitter; });
    for (std::size_t i = 0; i < std::size(steps); ++i) {
        SCOPED_TRACE(i);
        jitter = steps[i].jitter;
        switch (steps[i].call) {
        case Start: policy.Start(steps[i].nowMs); break;
        case Attempt: policy.Attempt(); break;
        case Fail: EXPECT_EQ(policy.Failed(steps[i].nowMs), steps[i].waitMs); break;
        case Connect: policy.Connected(steps[i].nowMs); break;
        case Drop: EXPECT_EQ(policy.Dropped(steps[i].nowMs), steps[i].waitMs); break;
        case Stop: policy.Stop(); break;
        }
        EXPECT_EQ(policy.Current(), steps[i].state);
    }
}
