// ReconnectPolicy: when a client that keeps trying makes its next attempt.
//
// Trying starts with "Connect" (Start) and goes on until Stop. A failed
// attempt is followed by another after RetryWaitMs for the first
// SteadyRetryPeriodMs of trying, then after waits that double from
// 2 * RetryWaitMs up to MaxRetryWaitMs, each shortened by up to
// RetryJitterPercent so that clients that lost one server together do not
// come back in step. A connection that ends other than by the user starts
// trying afresh with an attempt at once, unless it ended within RetryWaitMs
// of being made: a server that turns the client away as soon as it accepts
// it would otherwise be asked again and again without pause. The class only counts; the caller
// runs the timers and the sockets. No clock of its own: every call that
// needs the time is given it.
#pragma once

#include <cstdint>
#include <functional>

// The wait after a failed attempt while trying is young.
inline constexpr std::int64_t RetryWaitMs = 1000;
// How long attempts follow each other at RetryWaitMs.
inline constexpr std::int64_t SteadyRetryPeriodMs = 5 * 60 * 1000;
// The longest wait between two attempts.
inline constexpr std::int64_t MaxRetryWaitMs = 30 * 1000;
// The most a wait is shortened by, in percent, to spread clients out.
inline constexpr int RetryJitterPercent = 10;
// How long an attempt may go unanswered (a connect into a link that is
// down) before it is given up and counted as failed.
inline constexpr int AttemptTimeoutMs = 4000;

class ReconnectPolicy {
public:
    enum class State {
        Idle,       // not trying: before Connect, after Stop
        Attempting, // an attempt is under way
        Waiting,    // an attempt failed; the next waits for its time
        Connected,  // the connection stands
    };
    // A number in [0, 1): how much of RetryJitterPercent a wait loses.
    using Jitter = std::function<double()>;

    explicit ReconnectPolicy(Jitter jitter = {});

    State Current() const { return state_; }
    // "Connect": trying starts with an attempt now.
    void Start(std::int64_t nowMs);
    // The wait is over (or cut short): the next attempt starts.
    void Attempt();
    // The attempt under way failed: returns how long to wait before the next.
    std::int64_t Failed(std::int64_t nowMs);
    void Connected(std::int64_t nowMs);
    // The connection ended other than by the user: returns how long to wait
    // before the next attempt (0: at once, trying afresh).
    std::int64_t Dropped(std::int64_t nowMs);
    // Trying ends.
    void Stop();

private:
    Jitter jitter_;
    State state_ = State::Idle;
    std::int64_t tryingSinceMs_ = 0;
    std::int64_t lastWaitMs_ = 0;
    std::int64_t connectedSinceMs_ = 0;
};
