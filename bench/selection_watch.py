"""Watches who owns CLIPBOARD on several virtual displays, without polling.

Each display gets its own X connection that asks the XFIXES extension for an
event whenever the selection gets a new owner. The time of each event is
taken when it is read here, on the same monotonic clock as everything else in
the benchmark, so the moment one display's clipboard changed and the moment
the other display's clipboard took the copied text can be subtracted.

A program placing a text on the clipboard takes the selection, so an owner
change on the receiving display is the moment its text became available;
the caller checks the bytes afterwards, outside the timed span.
"""

import os
import re
import select
import struct
import subprocess
import time

from display import ToolError, XConnection

# XFIXES 5.0 is what current servers offer; the selection events date from 1.0.
XFixesMajorVersion = 5
XFixesMinorVersion = 0
XFixesQueryVersionRequest = 0
XFixesSelectSelectionInputRequest = 2
XFixesSetSelectionOwnerNotifyMask = 1
XFixesSelectionNotifyEvent = 0
QueryExtensionOpcode = 98
EventBytes = 32
WatchStartS = 10


def _root_window(display):
    output = display.tool("xwininfo", "-root").stdout.decode("ascii", "replace")
    match = re.search(r"Window id: (0x[0-9a-fA-F]+)", output)
    if not match:
        raise ToolError("no root window id in xwininfo's output: %r" % output[:200])
    return int(match.group(1), 16)


class OwnerEvents(XConnection):
    """One display's CLIPBOARD owner changes, as (monotonic time, owner) pairs."""

    def __init__(self, display, selection="CLIPBOARD"):
        super().__init__(display.number)
        self.display = display
        self.selection = self.atom(selection)
        self.major, self.first_event = self._query_extension(b"XFIXES")
        self._request(struct.pack("<BBHII", self.major, XFixesQueryVersionRequest, 3,
                                  XFixesMajorVersion, XFixesMinorVersion))
        self.sock.sendall(struct.pack("<BBHIII", self.major, XFixesSelectSelectionInputRequest, 4,
                                      _root_window(display), self.selection,
                                      XFixesSetSelectionOwnerNotifyMask))
        # A request with a reply after the one without: once it is answered,
        # the server has taken the selection request (or reported its error).
        self.selection_owner(selection)
        self.pending = []

    def _query_extension(self, name):
        pad = (4 - len(name) % 4) % 4
        request = struct.pack("<BxHHxx", QueryExtensionOpcode, 2 + (len(name) + pad) // 4, len(name))
        reply = self._request(request + name + b"\0" * pad)
        present, major, first_event = reply[8], reply[9], reply[10]
        if not present:
            raise ToolError("the X server has no %s extension" % name.decode())
        return major, first_event

    def fileno(self):
        return self.sock.fileno()

    def read_event(self):
        """Reads one event that select() said is waiting; keeps owner changes."""
        now = time.monotonic()
        event = self._read(EventBytes)
        if event[0] == 0:
            raise ToolError("X error %d on the selection watch" % event[1])
        if (event[0] & 0x7F) == self.first_event + XFixesSelectionNotifyEvent and event[1] == 0:
            owner, selection = struct.unpack_from("<II", event, 8)
            if selection == self.selection:
                self.pending.append((now, owner))


class OwnerWatch:
    """Owner changes on a set of displays, read as they come."""

    def __init__(self, displays):
        self._events = {display.name: OwnerEvents(display) for display in displays}

    def close(self):
        for events in self._events.values():
            events.close()
        self._events.clear()

    def _read_ready(self, wait_s):
        ready = select.select(list(self._events.values()), [], [], max(wait_s, 0))[0]
        for events in ready:
            events.read_event()

    def forget(self):
        """Drops the changes seen so far, the ones already sent included."""
        self._read_ready(0)
        for events in self._events.values():
            events.pending.clear()

    def next_change(self, display, timeout):
        """The time of the next new owner (not a mere release) on `display`."""
        events = self._events[display.name]
        deadline = time.monotonic() + timeout
        while True:
            while events.pending:
                when, owner = events.pending.pop(0)
                if owner != 0:
                    return when
            left = deadline - time.monotonic()
            if left <= 0:
                raise TimeoutError("no new clipboard owner on %s within %.0f s" % (display.name, timeout))
            self._read_ready(left)


class SelectionWatch:
    """Selection changes in Wayland sessions (tests/e2e/sway.py), as the
    data-control watcher of tests/e2e/owner reports them: one line with its
    CLOCK_MONOTONIC time (time.monotonic's clock) for each change, without
    reading any content. Same calls as OwnerWatch."""

    def __init__(self, sessions, watcher):
        self._watchers = {session.name: session.spawn([str(watcher), "--watch"], stdout=subprocess.PIPE)
                          for session in sessions}
        self._pending = {name: [] for name in self._watchers}
        self._partial = {name: b"" for name in self._watchers}
        # The first line is the selection found at start: the watch stands.
        for name in self._watchers:
            self.next_change_named(name, WatchStartS)

    def close(self):
        self._watchers.clear()

    def _read_ready(self, wait_s):
        by_fd = {watcher.stdout.fileno(): name for name, watcher in self._watchers.items()}
        for fd in select.select(list(by_fd), [], [], max(wait_s, 0))[0]:
            name = by_fd[fd]
            chunk = os.read(fd, 4096)
            if not chunk:
                raise ToolError("the selection watcher of %s ended" % name)
            *lines, self._partial[name] = (self._partial[name] + chunk).split(b"\n")
            self._pending[name] += [float(line) for line in lines]

    def forget(self):
        self._read_ready(0)
        for pending in self._pending.values():
            pending.clear()

    def next_change(self, session, timeout):
        return self.next_change_named(session.name, timeout)

    def next_change_named(self, name, timeout):
        deadline = time.monotonic() + timeout
        while not self._pending[name]:
            left = deadline - time.monotonic()
            self._read_ready(left)
            if not self._pending[name] and left <= 0:
                raise TimeoutError("no selection change in %s within %.0f s" % (name, timeout))
        return self._pending[name].pop(0)
