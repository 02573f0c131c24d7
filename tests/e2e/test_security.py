"""The settings' peer keys: ALLOW keeps strangers out, PASSPHRASE puts the
link between two copies inside an encrypted channel, and both fail closed:
no clipboard byte crosses to or from a peer they do not admit."""

import socket
import unittest

from harness import E2ETestCase, ScriptedPeer, free_port, wait_until

# Only the peer keys' code puts this key name into the executable.
ALLOW_MARKER = b"ALLOW"

ERROR_BOX_TITLE = "Tessaro II"
# Three ticks of the watcher: long enough for a text that should not move.
QuietS = 1.5


def settings_with(*lines):
    """A settings file with the peer's address and the given extra lines."""
    return b"".join(line + b"\r\n" for line in (b"[TESSAROPRO]", b"LASTIP=127.0.0.1") + lines)


def connect_from(source, port, timeout=10):
    """A scripted peer connected to the program's port from the loopback
    address `source` (all of 127.0.0.0/8 reaches this machine)."""
    def attempt():
        sock = socket.socket(socket.AF_INET, socket.SOCK_STREAM)
        sock.bind((source, 0))
        try:
            sock.connect(("127.0.0.1", port))
            return sock
        except ConnectionRefusedError:
            sock.close()
            return None
    return ScriptedPeer(wait_until(attempt, timeout, message="the program to listen on port %d" % port))


class AllowTest(E2ETestCase):

    def setUp(self):
        super().setUp()
        self.skip_unless_program_has(ALLOW_MARKER, "peer address list")

    def test_peer_outside_the_list_is_closed_before_a_byte_and_without_a_box(self):
        display = self.start_display()
        port = free_port()
        program = self.start_program(display, "/port:%d" % port, "/server",
                                     settings=settings_with(b"ALLOW=10.0.0.0/8, 127.0.0.1"))
        program.main_window()
        display.set_clipboard(b"server secret")

        stranger = connect_from("127.0.0.2", port)
        self.addCleanup(stranger.close)
        stranger.send_raw(b"5hello")
        stranger.wait_closed()
        self.assertEqual(stranger.bytes_received, 0)

        # The listed address is served, both ways; the stranger's text never
        # reached the clipboard.
        friend = connect_from("127.0.0.1", port)
        self.addCleanup(friend.close)
        friend.expect_transfer(b"server secret")
        friend.send_transfer(b"from a friend")
        wait_until(lambda: display.get_clipboard() == b"from a friend", message="the friend's text")
        self.assertEqual(display.windows(name=ERROR_BOX_TITLE, pid=program.pid), [], "an error box")


if __name__ == "__main__":
    unittest.main()
