"""Clipboard texts crossing a real connection, in both modes and both ways."""

import unittest

from harness import E2ETestCase
from peer import free_port, wait_listening
from relay import LargeTextTimeoutS, RelayedPair, sample_text
from waiting import wait_until


# Three ticks of the watcher: long enough for an echo to have shown up.
EchoWindowS = 1.5
# Larger than what loopback takes in one send, so the text goes out in pieces.
LargeTextBytes = 3 * 1024 * 1024
# Far larger than one piece of an incremental (INCR) answer.
HugeTextBytes = 100 * 1000 * 1000
HugeTextTimeoutS = 120


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
        pair = RelayedPair(self)
        total = "Total: 3 items, 12.50 EUR; " + "paid by card. " * 9
        texts = [total.encode("ascii"), b"12345", b"2024 report", "電話 03-1234-5678、予定表".encode(),
                 b"", b"0", b"1234567890" * 3, sample_text(1200 * 1024), b"100", b"\r\n\ttabs and lines\r\n"]
        for number, text in enumerate(texts):
            pair.cross(number, text, towards_server=number % 2 == 1)
        self.assertGreater(pair.relay.stalls, 0, "seed %d gave no stall" % pair.seed)


if __name__ == "__main__":
    unittest.main()
