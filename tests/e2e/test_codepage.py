"""The peer's code page: with CODEPAGE in the settings file, texts travel in
that 8-bit encoding and reach the desktop as Unicode; without it, the bytes
pass as they are."""

import unittest

from harness import E2ETestCase
from peer import free_port
from waiting import wait_until


# The error box carries the application's title; the main window a longer one.
ERROR_BOX_TITLE = "Tessaro II"

# Three ticks of the watcher: long enough for an echo to have shown up.
EchoWindowS = 1.5

# Shift-JIS traps: half-width katakana are single bytes above 0x7F, and the
# second byte of "ソ" and "表" is 0x5C, the ASCII backslash.
JAPANESE_FROM_PEER = "日本語のテキスト、ｶﾀｶﾅ。\r\nソフトの表示～二行目"
JAPANESE_COPIED = "コピーした日本語：予定表"
LATIN_FROM_PEER = "Ça coûte 20 € à Zürich – «naïve» café"
LATIN_COPIED = "Grüße aus Köln, œuvre, ½ Brötchen"


def settings_naming(codepage):
    """A settings file with the peer's address and the given CODEPAGE line
    (None: no such line)."""
    lines = [b"[TESSAROPRO]", b"LASTIP=127.0.0.1"]
    if codepage is not None:
        lines.append(b"CODEPAGE=" + codepage.encode("ascii"))
    return b"".join(line + b"\r\n" for line in lines)


class CodePageTest(E2ETestCase):

    def start_server(self, settings, env=None):
        display = self.start_display()
        port = free_port()
        program = self.start_program(display, "/port:%d" % port, "/server", settings=settings, env=env)
        return display, program, port

    def start_client(self, settings):
        display = self.start_display()
        listener = self.peer_listener()
        program = self.start_program(display, "/addr:127.0.0.1", "/port:%d" % listener.port, "/client",
                                     settings=settings)
        return display, program, self.accept_peer(listener)

    def assert_received(self, display, peer, wire, clipboard):
        """The peer sends `wire`; the clipboard shows `clipboard` (UTF-8) and
        nothing is sent back."""
        peer.send_transfer(wire)
        wait_until(lambda: display.get_clipboard() == clipboard,
                   message=lambda: "%r on the clipboard (it holds %r)" % (clipboard, display.get_clipboard()))
        peer.assert_quiet(EchoWindowS)

    def test_cp932_peer_exchanges_japanese_text_both_ways_in_any_locale(self):
        # The desktop hands the program UTF-8 whatever the locale, so a "C"
        # locale must not change what the conversion starts from.
        for locale in ("C.UTF-8", "C"):
            with self.subTest(locale=locale):
                display, program, port = self.start_server(settings_naming("CP932"), env={"LC_ALL": locale})
                window = program.main_window()
                peer = self.connect_peer(port)

                self.assert_received(display, peer, JAPANESE_FROM_PEER.encode("cp932"),
                                     JAPANESE_FROM_PEER.encode("utf-8"))
                display.set_clipboard(JAPANESE_COPIED.encode("utf-8"))
                # The announced length counts the Shift-JIS bytes.
                peer.expect_transfer(JAPANESE_COPIED.encode("cp932"))

                # The program never writes the key, but keeps it.
                window.click("Button6")
                self.assert_exit_code(program, 0)
                self.assertIn(b"\r\nCODEPAGE=CP932\r\n", program.settings())

    def test_cp1252_peer_exchanges_accented_text_and_gets_question_marks_for_the_rest(self):
        display, program, peer = self.start_client(settings_naming("CP1252"))
        program.main_window()

        self.assert_received(display, peer, LATIN_FROM_PEER.encode("cp1252"), LATIN_FROM_PEER.encode("utf-8"))
        display.set_clipboard(LATIN_COPIED.encode("utf-8"))
        peer.expect_transfer(LATIN_COPIED.encode("cp1252"))

        # One "?" per character the code page lacks, whatever its UTF-8 length
        # (the emoji takes four bytes there).
        display.set_clipboard("漢字 and 😀 in Zürich".encode("utf-8"))
        peer.expect_transfer("?? and ? in Zürich".encode("cp1252"))

    def test_received_text_that_does_not_convert_back_is_not_sent_back(self):
        # Bytes the code page does not define arrive as U+FFFD, which reads
        # back as "?": the clipboard's text then differs from the received one.
        cases = (("CP1252", b"caf\xe9 \x81\x8d", "café \ufffd\ufffd", "après"),
                 ("CP932", b"\x93\xfa\x96\x7b\x82", "日本\ufffd", "次のコピー"))
        for codepage, wire, shown, copied in cases:
            with self.subTest(codepage=codepage):
                display, program, port = self.start_server(settings_naming(codepage))
                program.main_window()
                peer = self.connect_peer(port)

                self.assert_received(display, peer, wire, shown.encode("utf-8"))
                # The watcher is not stuck on that text: a new copy goes out.
                display.set_clipboard(copied.encode("utf-8"))
                peer.expect_transfer(copied.encode(codepage))

    def test_without_a_code_page_bytes_pass_unchanged(self):
        text = "grüße 世界 😀".encode("utf-8")
        copied = "копия ½ 漢字".encode("utf-8")
        for label, settings in (("key missing", settings_naming(None)), ("key empty", settings_naming(""))):
            with self.subTest(label):
                display, program, port = self.start_server(settings)
                program.main_window()
                peer = self.connect_peer(port)

                self.assert_received(display, peer, text, text)
                display.set_clipboard(copied)
                peer.expect_transfer(copied)

    def test_unknown_code_page_is_reported_once_and_texts_then_pass_unconverted(self):
        display, program, port = self.start_server(settings_naming("NO-SUCH-CODE-PAGE"))
        boxes = wait_until(lambda: display.windows(name=ERROR_BOX_TITLE, pid=program.pid, visible_only=True),
                           message="the error box")
        self.assertEqual(len(boxes), 1)
        # The box holds the rest of the start until it is dismissed.
        display.tool("xdotool", "windowfocus", "--sync", str(boxes[0]), "key", "Return")
        wait_until(lambda: not display.windows(name=ERROR_BOX_TITLE, pid=program.pid, visible_only=True),
                   message="the error box to close")
        program.main_window()
        peer = self.connect_peer(port)

        text = "grüße 世界".encode("utf-8")
        self.assert_received(display, peer, text, text)
        display.set_clipboard("日本語".encode("utf-8"))
        peer.expect_transfer("日本語".encode("utf-8"))
        self.assertEqual(display.windows(name=ERROR_BOX_TITLE, pid=program.pid), [], "a second error box")


if __name__ == "__main__":
    unittest.main()
