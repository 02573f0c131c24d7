"""A server with MAXPEERS=3 and three clients, each on a display of its own,
plain and with a passphrase: every copy ends on all four clipboards, two
copies at once converge, a client that stops reading holds up no one, a
fourth connection is closed at accept, and a peer of the oldest kind in a
client's place gets every length alone."""

import queue
import random
import signal
import threading
import time

from harness import E2ETestCase
from peer import LegacyReader, connect_peer, free_port, wait_listening
from tcp_table import wait_served
from waiting import holds_for, wait_until

SyncWithinS = 2
StartWithinS = 15  # the first copy also waits for the connections (and handshakes)
PASSPHRASE = b"PASSPHRASE=four machines share one quiet clipboard"


def text_of_kind(number, rng):
    """Short, 1 MB, Japanese and digit-leading texts in turn, each unique."""
    tag = rng.randrange(10 ** 6)
    return [b"short copy %d" % number, (b"large text %d, copy %d\n" % (tag, number) * 40000)[:1 << 20],
            ("日本語のコピー %d 番目" % number).encode("utf-8"), b"%d report %d" % (2024 + number, tag)][number % 4]


class RelayTest(E2ETestCase):

    def run_relay(self, *keys):
        def settings(*lines):
            return b"".join(line + b"\r\n" for line in (b"[TESSAROPRO]",) + keys + lines)
        rng, port = random.Random(20261208), free_port()
        displays = [self.start_display() for _ in range(4)]
        self.start_program(displays[0], "/port:%d" % port, "/server", settings=settings(b"MAXPEERS=3"))
        wait_listening(port)
        clients = [self.start_program(d, "/addr:127.0.0.1", "/port:%d" % port, "/client", settings=settings())
                   for d in displays[1:]]
        wait_served(port, 3, StartWithinS)

        def copy(source, text, on=displays, within=SyncWithinS):
            on[source].set_clipboard(text)
            wait_until(lambda: all(d.get_clipboard() == text for d in on), within, interval=0.1,
                       message="copy of %d bytes from machine %d on every clipboard" % (len(text), source))
        copy(0, b"first copy", within=StartWithinS)
        for number in range(12):
            copy(rng.randrange(4), text_of_kind(number, rng))

        # Two clients copy 50 ms apart (the gap is what is tested): all four end with one of them.
        displays[1].set_clipboard(b"burst one")
        time.sleep(0.05)
        displays[2].set_clipboard(b"burst two")
        wait_until(lambda: len({d.get_clipboard() for d in displays} | {b"burst one", b"burst two"}) == 2,
                   SyncWithinS * 2, interval=0.1, message="one text on every clipboard after the burst")
        settled = displays[0].get_clipboard()
        holds_for(lambda: all(d.get_clipboard() == settled for d in displays), 1.5)

        fourth = connect_peer(port, 10, source="127.0.0.2")
        self.addCleanup(fourth.close)
        fourth.wait_closed()
        self.assertEqual(fourth.bytes_received, 0)

        # A client that stops reading holds up no one; once it reads again, the next copy reaches it.
        clients[2].send_signal(signal.SIGSTOP)
        self.addCleanup(clients[2].send_signal, signal.SIGCONT)
        for number in range(12, 18):
            copy(number % 3, text_of_kind(number, rng), on=displays[:3])
        clients[2].send_signal(signal.SIGCONT)
        copy(0, b"after the stopped client read again", within=StartWithinS)

        # A reader of the oldest kind in that client's place: every length
        # reaches it alone. It speaks no encrypted link.
        if PASSPHRASE in keys:
            return
        clients[2].kill()
        wait_served(port, 2, StartWithinS)
        reader, transfers = LegacyReader(self.connect_peer(port)), queue.Queue()
        wait_served(port, 3, StartWithinS)

        def read_on():
            while True:
                transfers.put(reader.read_transfer(0))
        threading.Thread(target=read_on, daemon=True).start()
        for number in range(18, 22):
            text = text_of_kind(number, rng)
            copy(number % 3, text, on=displays[:3])
            received = None
            while received != text:
                first, received = transfers.get(timeout=StartWithinS)
                self.assertEqual(first, b"%d" % len(received), "a length joined to its text")

    def test_server_relays_every_copy_to_every_other_machine(self):
        self.run_relay(b"LASTIP=127.0.0.1")

    def test_server_relays_every_copy_to_every_other_machine_with_a_passphrase(self):
        self.run_relay(PASSPHRASE)
