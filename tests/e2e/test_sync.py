"""Clipboard texts crossing a real connection, in both modes and both ways."""

import collections
import os
import random
import select
import socket
import sys
import threading
import time
import unittest

from display import REPO_ROOT
from harness import E2ETestCase
from peer import ScriptedPeer, free_port, frame, wait_listening
from tcp_table import wait_served
from waiting import wait_until

sys.path.insert(0, str(REPO_ROOT / "bench"))
from selection_watch import OwnerEvents  # noqa: E402


# Three ticks of the watcher: long enough for an echo to have shown up.
EchoWindowS = 1.5
# Larger than what loopback takes in one send, so the text goes out in pieces.
LargeTextBytes = 3 * 1024 * 1024
LargeTextTimeoutS = 60
# The relay's stalls: longer than the receiver's quiet second plus a watcher
# tick, so that the receiver does settle what it holds during one, and well
# below the time after which a text that has stopped coming is dropped.
RelayStallS = (1.6, 2.0)
RelayStallChance = 0.5
# Pauses between the pieces of a text, and the largest piece.
RelayGapS = (0.0, 0.02)
RelayPieceBytes = 256 * 1024
# Far larger than one piece of an incremental (INCR) answer.
HugeTextBytes = 100 * 1000 * 1000
HugeTextTimeoutS = 120


def sample_text(size):
    """Numbered lines, so that a dropped or doubled piece shows."""
    line = bytes(range(0x21, 0x7F)) + b"\n"
    numbered = b"".join(b"line %08d " % i + line for i in range(size // (len(line) + 14) + 1))
    return numbered[:size]


class StallingRelay:
    """Carries the connection of two copies of the program, as a slow and
    lossy network would: each text goes on in random pieces with short gaps,
    and now and then the relay stalls inside a text for over a second. A
    length is never cut and arrives alone, read by the program before the
    text's first piece follows, as a sender sends it in a send of its own.
    (A stall between a length and its text is not tried: "12" followed by
    silence is also what a sender that joins its length to a one-byte text
    sends, and the receiver reads it so.) The relay frames what it carries by
    the texts the test says are coming (`expect`), so bytes beyond them are
    reported."""

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

    def expect(self, towards_server, text):
        self.expected[0 if towards_server else 1].append(text)

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
                framed = frame(queue[0]) if queue else b""
                if not framed.startswith(bytes(pending[:len(framed)])) or not framed:
                    self.errors.append("unexpected bytes %r" % bytes(pending[:60]))
                    pending.clear()
                elif len(pending) >= len(framed):
                    del pending[:len(framed)]
                    self._forward(target, queue.popleft(), rng)
                else:
                    break

    def _forward(self, target, text, rng):
        target.send_raw(str(len(text)).encode("ascii"))
        target.wait_drained()
        cuts = sorted(rng.sample(range(1, len(text)), max(0, min(len(text) - 1, rng.randint(0, 6)))))
        cuts += range(RelayPieceBytes, len(text), RelayPieceBytes)
        points = [0] + sorted(set(cuts)) + [len(text)]
        stall = rng.randrange(1, len(points) - 1) if len(points) > 2 and rng.random() < RelayStallChance else None
        for i in range(len(points) - 1):
            if i == stall:
                self.stalls += 1
                time.sleep(rng.uniform(*RelayStallS))
            else:
                time.sleep(rng.uniform(*RelayGapS))
            target.send_raw(text[points[i]:points[i + 1]])


class SyncTest(E2ETestCase):

    def test_server_mode_exchanges_texts_with_a_scripted_peer(self):
        display = self.start_display()
        port = free_port()
        self.start_program(display, "/port:%d" % port, "/server")
        peer = self.connect_peer(port)

        received = "grüße 世界\r\nline two".encode("utf-8")
        peer.send_transfer(received)
        wait_until(lambda: display.get_clipboard() == received, message="the peer's text on the clipboard")
        # A text the program placed itself is not sent back.
        peer.assert_quiet(EchoWindowS)

        copied = b"copied on the server"
        display.set_clipboard(copied)
        peer.expect_transfer(copied)

    def test_placed_texts_are_served_in_every_text_form_and_whole_at_100_mb(self):
        display = self.start_display()
        port = free_port()
        self.start_program(display, "/port:%d" % port, "/server")
        peer = self.connect_peer(port)

        latin = "café crème".encode("utf-8")
        japanese = "日本語".encode("utf-8")
        for text, target, expected in (
                (latin, "UTF8_STRING", latin),
                (latin, "text/plain;charset=utf-8", latin),
                (latin, "TEXT", latin),
                (latin, "STRING", "café crème".encode("latin-1")),
                (japanese, "UTF8_STRING", japanese),
                (japanese, "STRING", None)):
            peer.send_transfer(text)
            wait_until(lambda: display.get_clipboard() == text, message="the peer's text on the clipboard")
            self.assertEqual(display.get_clipboard(target), expected, target)
        self.assertEqual(set(display.clipboard_targets()),
                         {"TARGETS", "TIMESTAMP", "UTF8_STRING", "text/plain;charset=utf-8", "TEXT", "STRING",
                          "MULTIPLE"})

        huge = sample_text(HugeTextBytes)
        peer.send_transfer(huge, HugeTextTimeoutS)
        wait_until(lambda: display.clipboard_owner() != 0 and display.get_clipboard(timeout=HugeTextTimeoutS) == huge,
                   HugeTextTimeoutS, interval=1, message="the 100 MB text read back whole")

    def test_received_text_is_kept_by_a_clipboard_manager_when_the_program_ends(self):
        display = self.start_display()
        manager = display.own_clipboard("--manager")
        port = free_port()
        program = self.start_program(display, "/port:%d" % port, "/server")
        peer = self.connect_peer(port)
        peer.send_transfer(b"outlives the program")
        wait_until(lambda: display.get_clipboard() == b"outlives the program", message="the peer's text")
        program.terminate()
        self.assert_exit_code(program, 0)
        self.assertEqual(manager.stdout.readline(), b"saved\n")
        self.assertEqual(display.get_clipboard(), b"outlives the program")

    def test_client_mode_exchanges_texts_with_a_scripted_peer(self):
        display = self.start_display()
        listener = self.peer_listener()
        self.start_program(display, "/addr:127.0.0.1", "/port:%d" % listener.port, "/client")
        peer = self.accept_peer(listener)

        copied = b"copied on the client"
        display.set_clipboard(copied)
        peer.expect_transfer(copied)

        received = b"from the server"
        peer.send_transfer(received)
        wait_until(lambda: display.get_clipboard() == received, message="the peer's text on the clipboard")
        peer.assert_quiet(EchoWindowS)

    def test_two_copies_keep_their_clipboards_in_step(self):
        server_display, client_display = self.start_display(), self.start_display()
        port = free_port()
        self.start_program(server_display, "/port:%d" % port, "/server")
        wait_listening(port)
        self.start_program(client_display, "/addr:127.0.0.1", "/port:%d" % port, "/client")

        # Each way, twice, so that the second text proves the first did not
        # leave either side stuck mid-transfer; the large one crosses in pieces.
        texts = [(server_display, client_display, b"first from the server"),
                 (client_display, server_display, b"first from the client"),
                 (client_display, server_display, sample_text(LargeTextBytes)),
                 (server_display, client_display, b"second from the server")]
        for source, target, text in texts:
            with self.subTest(bytes=len(text), towards=target.name):
                source.set_clipboard(text)
                wait_until(lambda: target.get_clipboard() == text, timeout=LargeTextTimeoutS,
                           interval=0.2, message="%d bytes on the other clipboard" % len(text))

    def test_texts_of_every_kind_cross_a_relay_that_cuts_and_stalls_them_whole(self):
        server_display, client_display = self.start_display(), self.start_display()
        port = free_port()
        self.start_program(server_display, "/port:%d" % port, "/server")
        wait_listening(port)
        seed = int.from_bytes(os.urandom(4), "little")
        relay = StallingRelay(port, seed)
        self.addCleanup(relay.close)
        self.start_program(client_display, "/addr:127.0.0.1", "/port:%d" % relay.port, "/client")
        wait_served(port)
        owners = {display.name: OwnerEvents(display) for display in (server_display, client_display)}
        for events in owners.values():
            self.addCleanup(events.close)

        def placed_on(display):
            """New clipboard owners on `display` since the last call."""
            events = owners[display.name]
            while select.select([events], [], [], 0.2)[0]:
                events.read_event()
            count = sum(1 for _, owner in events.pending if owner != 0)
            events.pending.clear()
            return count

        total = "Total: 3 items, 12.50 EUR; " + "paid by card. " * 9
        texts = [total.encode("ascii"), b"12345", b"2024 report", "電話 03-1234-5678、予定表".encode(),
                 b"", b"0", b"1234567890" * 3, sample_text(1200 * 1024), b"100", b"\r\n\ttabs and lines\r\n"]
        for number, text in enumerate(texts):
            towards_server = number % 2 == 1
            source, target = ((client_display, server_display) if towards_server
                              else (server_display, client_display))
            what = "text %d (%d bytes, seed %d)" % (number, len(text), seed)
            placed_on(target)
            relay.expect(towards_server, text)
            source.set_clipboard(text)
            wait_until(lambda: target.get_clipboard() == text or relay.errors, timeout=LargeTextTimeoutS,
                       interval=0.1, message=what + " on the other clipboard")
            self.assertEqual(relay.errors, [], what)
            self.assertEqual(placed_on(target), 1, what + ": texts placed besides the whole one")
        self.assertGreater(relay.stalls, 0, "seed %d gave no stall" % seed)


if __name__ == "__main__":
    unittest.main()
