#include "net/ReconnectPolicy.h"

#include <algorithm>
#include <random>

namespace {

double RandomJitter()
{
    static std::minstd_rand generator(std::random_device{}());
    return std::uniform_real_distribution<double>(0.0, 1.0)(generator);
}

} // namespace

ReconnectPolicy::ReconnectPolicy(Jitter jitter) : jitter_(jitter ? std::move(jitter) : Jitter(RandomJitter)) {}

void ReconnectPolicy::Start(std::int64_t nowMs)
{
    state_ = State::Attempting;
    tryingSinceMs_ = nowMs;
    lastWaitMs_ = 0;
}

void ReconnectPolicy::Attempt()
{
    if (state_ != State::Idle) state_ = State::Attempting;
}

std::int64_t ReconnectPolicy::Failed(std::int64_t nowMs)
{
    state_ = State::Waiting;
    if (nowMs - tryingSinceMs_ < SteadyRetryPeriodMs) {
        lastWaitMs_ = RetryWaitMs;
        return RetryWaitMs;
    }
    // The doubling goes on from the undisturbed wait, not the jittered one.
    lastWaitMs_ = std::min(lastWaitMs_ * 2, MaxRetryWaitMs);
    const auto cut = static_cast<std::int64_t>(static_cast<double>(lastWaitMs_) * RetryJitterPercent / 100 * jitter_());
    return lastWaitMs_ - cut;
}

void ReconnectPolicy::Connected(std::int64_t nowMs)
{
    if (state_ == State::Idle) return;
    state_ = State::Connected;
    connectedSinceMs_ = nowMs;
}

std::int64_t ReconnectPolicy::Dropped(std::int64_t nowMs)
{
    if (nowMs - connectedSinceMs_ < RetryWaitMs) return Failed(nowMs);
    Start(nowMs);
    return 0;
}

void ReconnectPolicy::Stop()
{
    state_ = State::Idle;
}
