"""The settings' peer keys: ALLOW keeps strangers out, PASSPHRASE puts the
link between two copies inside an encrypted channel, and both fail closed:
no clipboard byte crosses to or from a peer they do not admit."""

import os
import select
import socket
import stat
import threading
import time
import unittest

from harness import E2ETestCase
from peer import connect_peer, free_port
from tcp_table import ConnectTimeoutS, wait_listening
from waiting import wait_until


ERROR_BOX_TITLE = "Tessaro II"
# Three ticks of the watcher: long enough for a text that should not move.
QuietS = 1.5
LargeTextBytes = 20 * 1024 * 1024
LargeTextTimeoutS = 90
# The program's limit for a handshake to complete.
HandshakeTimeoutS = 10
# TLS record types: change cipher spec, alert, handshake, application data.
TLS_RECORD_TYPES = (0x14, 0x15, 0x16, 0x17)
HANDSHAKE_RECORD = 0x16
# How often a stranger opens a connection and then says nothing.
StrangerEveryS = 3

PASSPHRASE = b"PASSPHRASE=plaid tortoise fifty quietly orbits"
OTHER_PASSPHRASE = b"PASSPHRASE=plaid tortoise fifty quietly orbit"


def sample_text(tag, size):
    """`size` printable bytes starting with `tag`, numbered lines."""
    body = b"".join(b"%08d the quick brown fox\n" % i for i in range(size // 29 + 1))
    return (tag + b" " + body)[:size]


def settings_with(*lines):
    """A settings file with the peer's address and the given extra lines."""
    return b"".join(line + b"\r\n" for line in (b"[TESSAROPRO]", b"LASTIP=127.0.0.1") + lines)


def tls_record_types(data):
    """The types of the TLS records `data` consists of; fails on any byte
    that is not part of a whole record (a cut last record is allowed)."""
    types, at = [], 0
    while at + 5 <= len(data):
        kind, major = data[at], data[at + 1]
        if kind not in TLS_RECORD_TYPES or major != 3:
            raise AssertionError("not a TLS record at byte %d: %r" % (at, bytes(data[at:at + 16])))
        types.append(kind)
        at += 5 + int.from_bytes(data[at + 3:at + 5], "big")
    return types


class Relay:
    """A loopback relay between a client copy and a server copy that keeps
    every byte it passes, per direction: what an eavesdropper on the LAN sees."""

    def __init__(self, target_port):
        self.listener = socket.socket(socket.AF_INET, socket.SOCK_STREAM)
        self.listener.bind(("127.0.0.1", 0))
        self.listener.listen(1)
        self.port = self.listener.getsockname()[1]
        self.target_port = target_port
        self.upstream = bytearray()    # client to server
        self.downstream = bytearray()  # server to client
        self.closed = threading.Event()
        self.stop = threading.Event()
        self.thread = threading.Thread(target=self._run, daemon=True)
        self.thread.start()

    def _run(self):
        if not select.select([self.listener], [], [], ConnectTimeoutS)[0]:
            return
        client, _ = self.listener.accept()
        server = socket.create_connection(("127.0.0.1", self.target_port))
        ends = {client: (server, self.upstream), server: (client, self.downstream)}
        try:
            while not self.stop.is_set():
                for sock in select.select(list(ends), [], [], 0.1)[0]:
                    try:
                        chunk = sock.recv(1 << 20)
                    except ConnectionResetError:
                        chunk = b""
                    if not chunk:
                        return
                    other, record = ends[sock]
                    record += chunk
                    other.sendall(chunk)
        finally:
            client.close()
            server.close()
            self.closed.set()

    def close(self):
        self.stop.set()
        self.thread.join(10)
        self.listener.close()


class PassphraseTest(E2ETestCase):

    def start_pair_through_relay(self, server_key, client_key):
        """A server and a client copy with the given PASSPHRASE lines (None:
        none), the client connected through a recording relay."""
        server_display, client_display = self.start_display(), self.start_display()
        port = free_port()
        keys = [(server_key,) if server_key else (), (client_key,) if client_key else ()]
        server = self.start_program(server_display, "/port:%d" % port, "/server", settings=settings_with(*keys[0]))
        wait_listening(port)
        relay = Relay(port)
        self.addCleanup(relay.close)
        client = self.start_program(client_display, "/addr:127.0.0.1", "/port:%d" % relay.port, "/client",
                                    settings=settings_with(*keys[1]))
        return relay, (server_display, server), (client_display, client)

    def assert_no_box(self, display, program):
        self.assertEqual(display.windows(name=ERROR_BOX_TITLE, pid=program.pid), [], "an error box")

    def test_matching_passphrases_sync_both_ways_including_20_mb_and_nothing_in_plain(self):
        relay, (server_display, server), (client_display, client) = self.start_pair_through_relay(
            PASSPHRASE, PASSPHRASE)
        client.main_window()
        wait_until(lambda: len(relay.downstream) > 0, ConnectTimeoutS, message="the handshake's answer")

        up = b"from the client: hunter2"
        client_display.set_clipboard(up)
        wait_until(lambda: server_display.get_clipboard() == up, ConnectTimeoutS, message="the client's text")
        down = sample_text(b"from the server", LargeTextBytes)
        server_display.set_clipboard(down)
        wait_until(lambda: client_display.get_clipboard() == down, LargeTextTimeoutS, interval=0.3,
                   message="the 20 MB text on the client")

        self.assertEqual(tls_record_types(relay.upstream)[0], HANDSHAKE_RECORD)
        self.assertEqual(tls_record_types(relay.downstream)[0], HANDSHAKE_RECORD)
        self.assertNotIn(b"hunter2", relay.upstream)
        self.assertNotIn(b"the quick brown fox", relay.downstream)
        self.assertGreater(len(relay.downstream), LargeTextBytes)

        # The program keeps the passphrase and writes the file for its owner only.
        server.main_window().click("Button6")
        self.assert_exit_code(server, 0)
        self.assertIn(b"\r\n" + PASSPHRASE + b"\r\n", server.settings())
        mode = stat.S_IMODE(os.stat(server.installation.settings_path).st_mode)
        self.assertEqual(mode, 0o600)

    def test_mismatched_or_one_sided_passphrase_fails_closed_with_nothing_in_plain(self):
        secret = b"secret copied before the link stood"
        for label, server_key, client_key in (("mismatch", PASSPHRASE, OTHER_PASSPHRASE),
                                              ("client only", None, PASSPHRASE),
                                              ("server only", PASSPHRASE, None)):
            with self.subTest(label):
                relay, (server_display, server), (client_display, client) = self.start_pair_through_relay(
                    server_key, client_key)
                server_display.set_clipboard(b"server side " + secret)
                client_display.set_clipboard(b"client side " + secret)
                client.main_window()
                # The side without a key speaks plain at once; the keyed side
                # hangs up at the first byte that is not a handshake, or when
                # the handshake times out.
                relay.closed.wait(ConnectTimeoutS + 15)
                self.assertTrue(relay.closed.is_set(), "the link was not dropped")
                keyed = [side for side, key in ((relay.upstream, client_key), (relay.downstream, server_key)) if key]
                for sent in keyed:
                    self.assertNotIn(secret, sent)
                    self.assertNotIn(0x17, tls_record_types(sent), "application data before a handshake")
                # Nothing reached either clipboard.
                self.assertEqual(server_display.get_clipboard(), b"server side " + secret)
                self.assertEqual(client_display.get_clipboard(), b"client side " + secret)
                self.assert_no_box(server_display, server)
                self.assert_no_box(client_display, client)

    def test_peer_sending_garbage_or_nothing_instead_of_a_handshake_is_dropped_without_a_box(self):
        display = self.start_display()
        port = free_port()
        program = self.start_program(display, "/port:%d" % port, "/server", settings=settings_with(PASSPHRASE))
        program.main_window()
        display.set_clipboard(b"kept at home")
        for garbage in (b"12hello, world", b"\x16\x03\x01\xff\xff" + os.urandom(4096)):
            peer = connect_peer(port, 10)
            self.addCleanup(peer.close)
            peer.send_raw(garbage)
            peer.wait_closed(ConnectTimeoutS)
            # At most the handshake's alert.
            self.assertIn(tls_record_types(peer.received), ([], [0x15]))
        # One that says nothing is dropped when the handshake times out.
        silent = connect_peer(port, 10)
        self.addCleanup(silent.close)
        silent.wait_closed(HandshakeTimeoutS + ConnectTimeoutS)
        self.assertEqual(silent.bytes_received, 0)
        self.assertEqual(display.get_clipboard(), b"kept at home")
        self.assert_no_box(display, program)

    def test_strangers_in_their_handshake_neither_lock_out_the_peer_nor_use_up_the_text(self):
        server_display, client_display = self.start_display(), self.start_display()
        port = free_port()
        self.start_program(server_display, "/port:%d" % port, "/server", settings=settings_with(PASSPHRASE))
        server_display.set_clipboard(b"the current text")
        strangers = [connect_peer(port, 10, source="127.0.0.2")]
        strangers[0].send_raw(b"12hello, world")  # a handshake that fails
        self.start_program(client_display, "/addr:127.0.0.1", "/port:%d" % port, "/client",
                           settings=settings_with(PASSPHRASE))
        started = time.monotonic()

        def arrived():  # meanwhile a stranger connects and says nothing, every few seconds
            if time.monotonic() - started > StrangerEveryS * (len(strangers) - 1):
                strangers.append(connect_peer(port, 10, source="127.0.0.2"))
                self.addCleanup(strangers[-1].close)
            return client_display.get_clipboard() == b"the current text"
        self.addCleanup(strangers[0].close)
        wait_until(arrived, HandshakeTimeoutS + ConnectTimeoutS, message="the server's text on the keyed peer")


class AllowTest(E2ETestCase):

    def test_peer_outside_the_list_is_closed_before_a_byte_and_without_a_box(self):
        display = self.start_display()
        port = free_port()
        program = self.start_program(display, "/port:%d" % port, "/server",
                                     settings=settings_with(b"ALLOW=10.0.0.0/8, 127.0.0.1"))
        program.main_window()
        display.set_clipboard(b"server secret")

        stranger = connect_peer(port, 10, source="127.0.0.2")
        self.addCleanup(stranger.close)
        stranger.send_raw(b"5hello")
        stranger.wait_closed()
        self.assertEqual(stranger.bytes_received, 0)

        # The listed address is served, both ways; the stranger's text never
        # reached the clipboard.
        friend = connect_peer(port, 10)
        self.addCleanup(friend.close)
        friend.expect_transfer(b"server secret")
        friend.send_transfer(b"from a friend")
        wait_until(lambda: display.get_clipboard() == b"from a friend", message="the friend's text")
        self.assertEqual(display.windows(name=ERROR_BOX_TITLE, pid=program.pid), [], "an error box")


if __name__ == "__main__":
    unittest.main()
