// Running the test's loop until a condition holds, with a deadline. Never a
// fixed sleep.
#pragma once

#include <functional>

class EventLoop;

// One pass of the loop a test runs: waits at most `maxWaitMs` for something
// to do, then does it.
using LoopPass = std::function<void(int maxWaitMs)>;

// Sets the pass RunUntil and RunFor make. UsePollLoop sets its own; the
// widget tests set one over Qt's dispatcher.
void SetLoopPass(LoopPass pass);

// Makes a PollEventLoop (one per test program) the main loop and the loop
// RunUntil runs; returns it.
EventLoop& UsePollLoop();

// Runs the loop until `condition` is true or `timeoutMs` passes; returns the
// condition's last value.
bool RunUntil(const std::function<bool()>& condition, int timeoutMs = 5000);

// Runs the loop for whatever is pending now and for up to `ms` of further
// activity; for checking that something does NOT happen.
void RunFor(int ms);
