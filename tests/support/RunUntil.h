// Running the real (Qt) loop in tests: until a condition holds, with a deadline.
// Never a fixed sleep.
#pragma once

#include <functional>

class EventLoop;

// Makes sure a QCoreApplication exists (unless the test made a QApplication)
// and a QtEventLoop is the main loop; returns that loop.
EventLoop& UseQtLoop();

// Runs the loop until `condition` is true or `timeoutMs` passes; returns the
// condition's last value.
bool RunUntil(const std::function<bool()>& condition, int timeoutMs = 5000);

// Runs the loop for whatever is pending now and for up to `ms` of further
// activity; for checking that something does NOT happen.
void RunFor(int ms);
