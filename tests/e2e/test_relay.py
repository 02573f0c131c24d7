"""A server with MAXPEERS=3 relaying between three clients, each copy of the
program on a display of its own: every copy ends on all four clipboards, two
copies at once converge, a client that stops reading holds up no one, and a
fourth connection is closed at accept. Plain and with a passphrase."""

import random
import signal
import time

from harness import E2ETestCase
from peer import connect_peer, free_port, wait_listening
from tcp_table import wait_served
from waiting import holds_for, wait_until


# How soon after a copy every clipboard holds it.
SyncWithinS = 2
# The first copy also waits for the clients' connections (and handshakes).
FirstSyncWithinS = 15
# After two copies at once: long enough to see a text circulating.
SettledS = 1.5
# A client that read nothing for a while first works through what waited.
CatchUpWithinS = 15
CopyCount = 12
MegabyteText = 1024 * 1024

PASSPHRASE = b"PASSPHRASE=four machines share one quiet clipboard"


def text_of_kind(number, rng):
    """Short, 1 MB, Japanese and digit-leading texts in turn, each unique."""
    kind = number % 4
    if kind == 0:
        return b"short copy %d" % number
    if kind == 1:
        line = b"large text %d, line of copy %08d\n" % (rng.randrange(10 ** 6), number)
        return (line * (MegabyteText // len(line) + 1))[:MegabyteText]
    if kind == 2:
        return ("日本語のコピー %d 番目" % number).encode("utf-8")
    return b"%d report %d" % (2024 + number, rng.randrange(10 ** 6))


class RelayTest(E2ETestCase):

    def start_star(self, *keys):
        """The server and three clients, connected; returns (displays,
        programs), the server first."""
        settings = lambda *lines: b"".join(  # noqa: E731
            line + b"\r\n" for line in (b"[TESSAROPRO]", b"LASTIP=127.0.0.1") + keys + lines)
        self.port = free_port()
        displays = [self.start_display() for _ in range(4)]
        programs = [self.start_program(displays[0], "/port:%d" % self.port, "/server",
                                       settings=settings(b"MAXPEERS=3"))]
        wait_listening(self.port)
        for display in displays[1:]:
            programs.append(self.start_program(display, "/addr:127.0.0.1", "/port:%d" % self.port, "/client",
                                               settings=settings()))
        wait_served(self.port, 3, FirstSyncWithinS)
        return displays, programs

    def assert_all_hold(self, displays, text, within, what):
        wait_until(lambda: all(d.get_clipboard() == text for d in displays), within, interval=0.1,
                   message="%s (%d bytes) on every clipboard" % (what, len(text)))

    def run_relay(self, *keys):
        rng = random.Random(20261208)
        displays, programs = self.start_star(*keys)

        first = b"first copy, on the server"
        displays[0].set_clipboard(first)
        self.assert_all_hold(displays, first, FirstSyncWithinS, "the first copy")

        for number in range(CopyCount):
            source = rng.randrange(4)
            text = text_of_kind(number, rng)
            with self.subTest(copy=number, machine=source, bytes=len(text)):
                displays[source].set_clipboard(text)
                self.assert_all_hold(displays, text, SyncWithinS, "copy %d from machine %d" % (number, source))

        # Two clients copy 50 ms apart: all four end with one of the two, and stay so.
        burst = (b"burst from client one", b"burst from client two")
        displays[1].set_clipboard(burst[0])
        time.sleep(0.05)  # the gap between the two copies is what is tested
        displays[2].set_clipboard(burst[1])
        wait_until(lambda: len({d.get_clipboard() for d in displays}) == 1 and displays[0].get_clipboard() in burst,
                   SyncWithinS * 2, interval=0.1, message="one text on every clipboard after the burst")
        settled = displays[0].get_clipboard()
        holds_for(lambda: all(d.get_clipboard() == settled for d in displays), SettledS,
                  message="the clipboards stay equal after the burst")

        # A fourth connection, from another address, finds every place taken.
        fourth = connect_peer(self.port, 10, source="127.0.0.2")
        self.addCleanup(fourth.close)
        fourth.wait_closed()
        self.assertEqual(fourth.bytes_received, 0)

        # A client that stops reading holds up none of the others.
        stopped = programs[3]
        stopped.send_signal(signal.SIGSTOP)
        self.addCleanup(stopped.send_signal, signal.SIGCONT)
        running = displays[:3]
        for number in range(CopyCount, CopyCount + 6):
            text = text_of_kind(number, rng)
            source = number % 3
            with self.subTest(copy=number, machine=source, stopped_client=True):
                running[source].set_clipboard(text)
                self.assert_all_hold(running, text, SyncWithinS, "copy %d beside a stopped client" % number)
        # Once it reads again, the next copy reaches it too.
        stopped.send_signal(signal.SIGCONT)
        after = b"after the stopped client read again"
        displays[0].set_clipboard(after)
        self.assert_all_hold(displays, after, CatchUpWithinS, "the next copy on the client that read again")

    def test_server_relays_every_copy_to_every_other_machine(self):
        self.run_relay()

    def test_server_relays_every_copy_to_every_other_machine_with_a_passphrase(self):
        self.run_relay(PASSPHRASE)
