"""Waiting for a condition by polling it, with a deadline: the end-to-end
tests' only way to wait. Never sleep a fixed time instead."""

import time

DefaultWaitS = 10
PollIntervalS = 0.05


def wait_until(condition, timeout=DefaultWaitS, interval=PollIntervalS, message=None):
    """Calls `condition` until it returns something true; returns that value.

    Raises AssertionError at the deadline, naming `message` (a text or a
    function giving one) and the condition's last value."""
    deadline = time.monotonic() + timeout
    while True:
        value = condition()
        if value:
            return value
        if time.monotonic() >= deadline:
            text = message() if callable(message) else message
            raise AssertionError("timed out after %.1f s waiting for %s (last value %r)"
                                 % (timeout, text or getattr(condition, "__name__", "condition"), value))
        time.sleep(interval)


def holds_for(condition, seconds, interval=PollIntervalS, message=None):
    """Checks that `condition` stays true for `seconds`; for asserting that
    something does NOT happen, never for waiting on something that should."""
    deadline = time.monotonic() + seconds
    while True:
        if not condition():
            text = message() if callable(message) else message
            raise AssertionError("%s stopped holding" % (text or getattr(condition, "__name__", "condition")))
        if time.monotonic() >= deadline:
            return
        time.sleep(interval)
