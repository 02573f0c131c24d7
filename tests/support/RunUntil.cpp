#include "RunUntil.h"

#include "PollEventLoop.h"

#include <algorithm>
#include <chrono>
#include <stdexcept>

namespace {

// The longest a pass waits: the condition is tested again at least this
// often, since another thread may make it true without waking the loop.
constexpr int HeartbeatMs = 5;

using Clock = std::chrono::steady_clock;

LoopPass& CurrentPass()
{
    static LoopPass pass;
    return pass;
}

void Pass(Clock::time_point deadline)
{
    if (!CurrentPass()) throw std::logic_error("no loop for RunUntil: call UsePollLoop first");
    const auto left = std::chrono::ceil<std::chrono::milliseconds>(deadline - Clock::now()).count();
    CurrentPass()(static_cast<int>(std::clamp<long long>(left, 0, HeartbeatMs)));
}

} // namespace

void SetLoopPass(LoopPass pass)
{
    CurrentPass() = std::move(pass);
}

EventLoop& UsePollLoop()
{
    // Lives until the process ends: lookups finishing on worker threads may
    // still post to it.
    static PollEventLoop* loop = new PollEventLoop;
    SetMainLoop(loop);
    SetLoopPass([](int maxWaitMs) { loop->RunOnce(maxWaitMs); });
    return *loop;
}

bool RunUntil(const std::function<bool()>& condition, int timeoutMs)
{
    const Clock::time_point deadline = Clock::now() + std::chrono::milliseconds(timeoutMs);
    while (!condition()) {
        if (Clock::now() >= deadline) return condition();
        Pass(deadline);
    }
    return true;
}

void RunFor(int ms)
{
    const Clock::time_point deadline = Clock::now() + std::chrono::milliseconds(ms);
    do {
        Pass(deadline);
    } while (Clock::now() < deadline);
}
