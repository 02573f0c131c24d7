"""Two copies of the program, a server and a client on displays of their own,
whose connection runs through a relay that carries it as a slow and lossy
network would.

StallingRelay(server_port, seed)
    expect(towards_server, text, length_stall_s=0.0, text_stall_s=None)
    stalls (how many stalls it made), errors (what it saw go wrong), close()
RelayedPair(test)
    Starts both copies through a relay on `test`'s clean-up;
    cross(number, text, towards_server, ...) sets `text` on one clipboard and
    checks it lands whole on the other, and nothing else is placed there.
sample_text(size): numbered lines, so that a dropped or doubled piece shows.
"""

import collections
import os
import random
import select
import socket
import sys
import threading
import time

from display import REPO_ROOT
from peer import ScriptedPeer, free_port, frame, wait_listening
from tcp_table import wait_served
from waiting import wait_until

sys.path.insert(0, str(REPO_ROOT / "bench"))
from selection_watch import OwnerEvents  # noqa: E402

# The relay's stalls inside a text: longer than the receiver's quiet second
# plus a watcher tick, so that the receiver does settle what it holds during
# one, and well below the time after which a text that has stopped coming is
# dropped.
RelayStallS = (1.6, 2.0)
RelayStallChance = 0.5
# Pauses between the pieces of a text, and the largest piece.
RelayGapS = (0.0, 0.02)
RelayPieceBytes = 256 * 1024
LargeTextTimeoutS = 60


def sample_text(size):
    """Numbered lines, so that a dropped or doubled piece shows."""
    line = bytes(range(0x21, 0x7F)) + b"\n"
    numbered = b"".join(b"line %08d " % i + line for i in range(size // (len(line) + 14) + 1))
    return numbered[:size]


class StallingRelay:
    """Carries the connection of two copies of the program, as a slow and
    lossy network would: each text goes on in random pieces with short gaps,
    and now and then the relay stalls inside a text for over a second. A
    length is never cut and arrives alone, read by the program before
    anything follows it, as a sender sends it in a send of its own; the
    relay may then hold the text back (`length_stall_s`). The relay frames
    what it carries by the texts the test says are coming (`expect`), so
    bytes beyond them are reported."""

    def __init__(self, server_port, seed):
        self.server_port = server_port
        self.seed = seed
        self.listener = socket.create_server(("127.0.0.1", 0))
        self.port = self.listener.getsockname()[1]
        self.expected = (collections.deque(), collections.deque())  # towards the server, the client
        self.errors = []
        self.stalls = 0
        self.closed = False
        self.threads = [threading.Thread(target=self._run, daemon=True)]
        self.threads[0].start()

    def expect(self, towards_server, text, length_stall_s=0.0, text_stall_s=None):
        """`text` comes next that way. The relay holds it back for
        `length_stall_s` once its length has been read, and stalls inside it
        for `text_stall_s` (0: not at all; None: by chance)."""
        self.expected[0 if towards_server else 1].append((text, length_stall_s, text_stall_s))

    def close(self):
        self.closed = True
        for thread in self.threads:
            thread.join(timeout=10)
        self.listener.close()

    def _run(self):
        self.listener.settimeout(30)
        client, _ = self.listener.accept()
        server = socket.create_connection(("127.0.0.1", self.server_port))
        for source, target, index in ((client, server, 0), (server, client, 1)):
            thread = threading.Thread(target=self._pump, daemon=True,
                                      args=(source, ScriptedPeer(target), index))
            self.threads.append(thread)
            thread.start()

    def _pump(self, source, target, index):
        try:
            self._carry(source, target, index)
        except Exception as error:  # reported by the test, not lost with the thread
            self.errors.append("relay: %r" % error)

    def _carry(self, source, target, index):
        rng = random.Random(self.seed * 2 + index)
        pending = bytearray()
        queue = self.expected[index]
        while not self.closed:
            if select.select([source], [], [], 0.1)[0]:
                try:
                    chunk = source.recv(1 << 20)
                except BlockingIOError:
                    continue
                if not chunk:
                    return
                pending += chunk
            while pending:
                framed = frame(queue[0][0]) if queue else b""
                if not framed.startswith(bytes(pending[:len(framed)])) or not framed:
                    self.errors.append("unexpected bytes %r" % bytes(pending[:60]))
                    pending.clear()
                elif len(pending) >= len(framed):
                    del pending[:len(framed)]
                    self._forward(target, *queue.popleft(), rng)
                else:
                    break

    def _forward(self, target, text, length_stall_s, text_stall_s, rng):
        target.send_raw(str(len(text)).encode("ascii"))
        target.wait_drained()
        if length_stall_s:
            self.stalls += 1
            time.sleep(length_stall_s)
        cuts = sorted(rng.sample(range(1, len(text)), max(0, min(len(text) - 1, rng.randint(0, 6)))))
        cuts += range(RelayPieceBytes, len(text), RelayPieceBytes)
        points = [0] + sorted(set(cuts)) + [len(text)]
        if text_stall_s is None and rng.random() < RelayStallChance:
            text_stall_s = rng.uniform(*RelayStallS)
        stall = rng.randrange(1, len(points) - 1) if len(points) > 2 and text_stall_s else None
        for i in range(len(points) - 1):
            if i == stall:
                self.stalls += 1
                time.sleep(text_stall_s)
            else:
                time.sleep(rng.uniform(*RelayGapS))
            target.send_raw(text[points[i]:points[i + 1]])


class RelayedPair:
    """A server copy and a client copy of the program, connected through a
    StallingRelay (`relay`, seeded at random: `seed`)."""

    def __init__(self, test):
        self.test = test
        self.server_display, self.client_display = test.start_display(), test.start_display()
        port = free_port()
        test.start_program(self.server_display, "/port:%d" % port, "/server")
        wait_listening(port)
        self.seed = int.from_bytes(os.urandom(4), "little")
        self.relay = StallingRelay(port, self.seed)
        test.addCleanup(self.relay.close)
        test.start_program(self.client_display, "/addr:127.0.0.1", "/port:%d" % self.relay.port, "/client")
        wait_served(port)
        self.owners = {display.name: OwnerEvents(display) for display in (self.server_display, self.client_display)}
        for events in self.owners.values():
            test.addCleanup(events.close)

    def placed_on(self, display):
        """New clipboard owners on `display` since the last call."""
        events = self.owners[display.name]
        while select.select([events], [], [], 0.2)[0]:
            events.read_event()
        count = sum(1 for _, owner in events.pending if owner != 0)
        events.pending.clear()
        return count

    def cross(self, number, text, towards_server, length_stall_s=0.0, text_stall_s=None):
        """Copies `text` on one side; it must land whole on the other side's
        clipboard, the only text placed there."""
        source, target = ((self.client_display, self.server_display) if towards_server
                          else (self.server_display, self.client_display))
        what = "text %d (%d bytes, seed %d)" % (number, len(text), self.seed)
        self.placed_on(target)
        self.relay.expect(towards_server, text, length_stall_s, text_stall_s)
        source.set_clipboard(text)
        wait_until(lambda: target.get_clipboard() == text or self.relay.errors, timeout=LargeTextTimeoutS,
                   interval=0.1, message=what + " on the other clipboard")
        self.test.assertEqual(self.relay.errors, [], what)
        self.test.assertEqual(self.placed_on(target), 1, what + ": texts placed besides the whole one")
