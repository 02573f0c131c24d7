// ReconnectPolicy: one run of trying through every state, step by step.
#include "net/ReconnectPolicy.h"

#include <gtest/gtest.h>

using State = ReconnectPolicy::State;

TEST(ReconnectPolicyTest, WaitsAndStatesThroughOneRunOfTrying)
{
    enum Call { Start, Attempt, Failed, Connected, Dropped, Stop };
    struct Step {
        Call call;
        std::int64_t nowMs;
        double jitter;
        State state;
        std::int64_t waitMs; // Failed only
    };
    const Step steps[] = {
        {Start, 0, 0, State::Attempting, 0},
        {Failed, 100, 0, State::Waiting, 1000},
        {Attempt, 1100, 0, State::Attempting, 0},
        {Failed, SteadyRetryPeriodMs - 1, 0.99, State::Waiting, 1000}, // no jitter while young
        {Attempt, 0, 0, State::Attempting, 0},
        {Failed, SteadyRetryPeriodMs, 0, State::Waiting, 2000},
        {Failed, SteadyRetryPeriodMs, 0, State::Waiting, 4000},
        {Failed, SteadyRetryPeriodMs, 0.5, State::Waiting, 7600}, // 8 s less 5 %
        {Failed, SteadyRetryPeriodMs, 0, State::Waiting, 16000},
        {Failed, SteadyRetryPeriodMs, 0, State::Waiting, 30000},
        {Failed, SteadyRetryPeriodMs, 0.5, State::Waiting, 28500},
        {Connected, 0, 0, State::Connected, 0},
        // A lost connection tries afresh: young again, one second apart.
        {Dropped, 10 * SteadyRetryPeriodMs, 0, State::Attempting, 0},
        {Failed, 10 * SteadyRetryPeriodMs + 5, 0, State::Waiting, 1000},
        {Stop, 0, 0, State::Idle, 0},
        // Late news of an attempt after Stop changes nothing.
        {Attempt, 0, 0, State::Idle, 0},
        {Connected, 0, 0, State::Idle, 0},
    };
    double jitter = 0;
    ReconnectPolicy policy([&] { return jitter; });
    int index = 0;
    for (const Step& step : steps) {
        SCOPED_TRACE(index++);
        jitter = step.jitter;
        switch (step.call) {
        case Start: policy.Start(step.nowMs); break;
        case Attempt: policy.Attempt(); break;
        case Failed: EXPECT_EQ(policy.Failed(step.nowMs), step.waitMs); break;
        case Connected: policy.Connected(); break;
        case Dropped: policy.Dropped(step.nowMs); break;
        case Stop: policy.Stop(); break;
        }
        EXPECT_EQ(policy.Current(), step.state);
    }
}
