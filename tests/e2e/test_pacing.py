"""A peer that reads the simplest way a receiver can: its first read after
readiness is the length, whatever that read holds; the reads after it are the
text until the count is reached. It depends on the length arriving alone and
on the next length not joining the end of a text. And the same lengths read
by the program itself, when the network holds the text back after them."""

import queue
import threading
import time

from harness import E2ETestCase
from peer import LegacyReader, free_port
from relay import RelayedPair, sample_text
from waiting import wait_until


# How long the reader lets readiness wait before its one read, as a busy
# program's loop would.
DispatchDelaysMs = (0, 5, 20)
TransfersPerDelay = 50
LongTextBytes = 600 * 1000
TransferTimeoutS = 20


def text_for(number):
    """Short, long, digit-leading, empty and Japanese texts in turn, each
    different from the one before."""
    kind = number % 5
    if kind == 0:
        return b"short %d" % number
    if kind == 1:
        line = b"%08d long line of the long text\n" % number
        return (line * (LongTextBytes // len(line) + 1))[:LongTextBytes + number]
    if kind == 2:
        return b"%d" % (10 ** 6 + number) if number % 2 else b"%d report" % (2024 + number)
    if kind == 3:
        return b""
    return ("日本語のテキスト %d" % number).encode("utf-8")


class PacingTest(E2ETestCase):

    def test_each_length_arrives_alone_and_each_text_whole_at_a_reader_of_the_oldest_kind(self):
        display = self.start_display()
        port = free_port()
        program = self.start_program(display, "/port:%d" % port, "/server")
        peer = self.connect_peer(port)
        reader = LegacyReader(peer)
        wait_until(lambda: program.running and peer.program_unread_bytes() == 0)

        # The reader waits on readiness in a thread of its own while the
        # clipboard is set, so its one read comes when its delay says.
        delays = [delay for delay in DispatchDelaysMs for _ in range(TransfersPerDelay)]
        results = queue.Queue()

        def read_all():
            try:
                for delay in delays:
                    results.put(reader.read_transfer(delay))
            except Exception as error:  # reported by the main thread
                results.put(error)
        thread = threading.Thread(target=read_all, daemon=True)
        thread.start()

        for number, delay in enumerate(delays, start=1):
            text = text_for(number)
            display.set_clipboard(text)
            result = results.get(timeout=TransferTimeoutS)
            if isinstance(result, Exception):
                raise result
            first, received = result
            self.assertEqual(first, b"%d" % len(text),
                             "transfer %d at a delay of %d ms: the length did not arrive alone" % (number, delay))
            self.assertEqual(received, text, "transfer %d at a delay of %d ms" % (number, delay))
        thread.join(TransferTimeoutS)

    def test_texts_held_back_after_their_length_by_the_network_land_whole(self):
        # Lengths of 10-19, 200-299 and 3000-3999 bytes alone also read as a
        # short length and its whole text; a stall of 1.2-4 s follows them.
        pair = RelayedPair(self)
        japanese = "予定表の確認をお願いします。".encode() * 6
        texts = [(b"2024 report, item 1", 4.0, 0), (b"short note", 1.6, 0), (japanese, 2.5, 0),
                 (sample_text(1024 * 1024), 0, 2.0), (b"12345", 0, 0), (b"1234567890", 1.6, 0),
                 (b"0", 0, 0), ("日本語のテキスト".encode(), 0, 1.2), (sample_text(3500), 1.2, 0),
                 (b"last one, plain", 0, 0)]
        for number, (text, length_stall_s, text_stall_s) in enumerate(texts):
            pair.cross(number, text, number % 2 == 1, length_stall_s, text_stall_s)
