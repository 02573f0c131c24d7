"""Soak run: two copies of the program carry thousands of texts back and forth.

Usage (from the repository's root):

    python3 tests/e2e/soak.py [--texts N] [--reconnect-every K] [--max-bytes B] [--seed S]

A server copy and a client copy run on two private virtual displays (see
display.py; the program is $TESSARO_BIN, else build/tessaro). Texts of random
sizes, from 1 byte to --max-bytes and skewed towards small ones, some of them
Japanese UTF-8 and some empty, are copied on one side and must arrive on the
other, alternating: even texts from the server, odd ones from the client.
Every K texts the client is disconnected and connected again with its
"Disconnect" and "Connect" buttons (the live process reconnects, so whatever a
connection leaves behind would pile up).

Checked for every text: the receiving clipboard holds it byte for byte, and
the sender's clipboard is still held by the xclip that set it, so nothing was
placed there (a text sent back would have been). Checked for every
connection, from the kernel's TCP counters: each end received exactly the
framed texts sent to it, so no text was sent twice, sent back or cut. At the
end of the first thousand texts (or the first fifth of a shorter run) and at
the end, the descriptor count (/proc/PID/fd) and resident memory (VmRSS) of
both copies are printed; the run fails if either grew past a small tolerance.
Finally both copies are ended with "Exit" and must end with code 0.

Exit code: 0 when all held, 1 at the first fault (with what was seen) or
when a tool or the program is missing.
"""

import argparse
import math
import os
import random
import shutil
import sys
import tempfile
import time
from pathlib import Path

import tcp_table
from display import REQUIRED_TOOLS, Display, ToolError
from peer import free_port
from program import Installation, Program, program_contains, program_source
from tcp_table import wait_listening, wait_served, wait_unconnected

DefaultTexts = 5000
DefaultReconnectEvery = 500
DefaultMaxBytes = 1024 * 1024
DefaultSeed = 20240607
BaselineTexts = 1000

EmptyShare = 0.03
JapaneseShare = 0.25
# Printable ASCII with line ends and tabs, and Japanese characters (three
# bytes each in UTF-8), picked by random bytes.
ASCII_SYMBOLS = b"abcdefghijklmnopqrstuvwxyzABCDEFGHIJKLMNOPQRSTUVWXYZ0123456789 \n\t.,;:-_!?()[]{}<>/\\'\"#@%&*+=|~^$"
ASCII_TABLE = bytes(ASCII_SYMBOLS[b % len(ASCII_SYMBOLS)] for b in range(256))
JAPANESE_SYMBOLS = "あいうえおかきくけこさしすせそたちつてとなにぬねのはひふへほまみむめもやゆよらりるれろわをん日本語漢字文書、。"

# Two ticks of each watcher: long enough for a text sent back to have left.
EchoWindowS = 1.2
# A text crosses within a tick, the transfer and a quiet spell that settles a
# text beginning with digits; the rest is room for a loaded machine.
TextTimeoutS = 15
TextTimeoutPerMiBS = 10
PollIntervalS = 0.02
ProgramEndTimeoutS = 15

# What may grow between the first thousand texts and the last: descriptors
# not at all beyond a stray one, memory by what the allocator keeps of the
# largest texts' copies.
FdTolerance = 1
RssToleranceKiB = 16 * 1024
# gcc links the sanitizer runtime dynamically: its name is not in the
# executable, but the calls into it are.
SANITIZER_MARKER = b"__asan_init"


class SoakFault(Exception):
    pass


def make_text(rng, max_bytes):
    """A random text: empty now and then, else 1 byte to `max_bytes`, skewed
    small (uniform in the logarithm of the size), ASCII or Japanese UTF-8."""
    if rng.random() < EmptyShare:
        return b""
    size = min(max_bytes, max(1, int(math.exp(rng.uniform(0.0, math.log(max_bytes))))))
    if rng.random() < JapaneseShare and size >= 3:
        # Three bytes a character; a few ASCII bytes fill up to the size.
        chars = "".join(JAPANESE_SYMBOLS[b % len(JAPANESE_SYMBOLS)] for b in rng.randbytes(size // 3))
        return chars.encode("utf-8") + rng.randbytes(size % 3).translate(ASCII_TABLE)
    return rng.randbytes(size).translate(ASCII_TABLE)


def framed_size(text):
    return len(str(len(text))) + len(text)


def describe(text):
    return "%d bytes %r%s" % (len(text), text[:40], "..." if len(text) > 40 else "")


def process_figures(pid):
    """(descriptors, VmRSS in KiB) of a running process."""
    descriptors = len(os.listdir("/proc/%d/fd" % pid))
    with open("/proc/%d/status" % pid) as status:
        rss = next(int(line.split()[1]) for line in status if line.startswith("VmRSS:"))
    return descriptors, rss


class Side:
    """One copy of the program with its display, and what it last copied."""

    def __init__(self, name, display, program):
        self.name = name
        self.display = display
        self.program = program
        self.owner = None  # (xclip process, its window) of the last text copied here
        self.copiers = []   # xclip processes not yet seen to end

    def copy(self, text):
        # An xclip ends once the program takes the clipboard from it; reaping
        # it keeps thousands of ended ones from holding process ids.
        self.copiers = [process for process in self.copiers if process.poll() is None]
        process = self.display.set_clipboard(text)
        self.copiers.append(process)
        self.owner = (process, self.display.clipboard_owner())

    def assert_still_holds_its_copy(self, index):
        process, window = self.owner
        if process.poll() is not None or self.display.clipboard_owner() != window:
            raise SoakFault("text %d: the %s's clipboard was taken after it copied the text: something was "
                            "placed there (sent back?)" % (index, self.name))

    def figures(self):
        return process_figures(self.program.pid)


class Soak:

    def __init__(self, args, workdir):
        self.args = args
        self.workdir = workdir
        self.rng = random.Random(args.seed)
        self.port = free_port()
        self.cleanups = []
        self.texts_done = 0
        self.text_bytes = 0
        self.wire_bytes = 0
        self.reconnects = 0
        self.baseline = None

    def start(self):
        server_display = self.own_display()
        client_display = self.own_display()
        self.server = Side("server", server_display,
                           self.own_program(server_display, "/port:%d" % self.port, "/server"))
        wait_listening(self.port)
        self.client = Side("client", client_display,
                           self.own_program(client_display, "/addr:127.0.0.1", "/port:%d" % self.port, "/client"))
        wait_served(self.port)
        self.client_window = self.client.program.main_window()
        self.server_window = self.server.program.main_window()

    def own_display(self):
        display = Display(self.workdir)
        self.cleanups.append(display.stop)
        return display

    def own_program(self, display, *args):
        program = Program(display, Installation(self.workdir, program_source()), args)
        self.cleanups.append(program.kill)
        return program

    def stop(self):
        for cleanup in reversed(self.cleanups):
            try:
                cleanup()
            except Exception as error:  # clean-up goes on; the run's result stands
                print("clean-up: %s" % error, file=sys.stderr)

    def carry(self, index, sender, receiver, text):
        before = receiver.display.clipboard_owner()
        sender.copy(text)
        deadline = time.monotonic() + TextTimeoutS + TextTimeoutPerMiBS * len(text) / (1024 * 1024)

        # The receiver places a text once, whole: the first change of owner
        # on its display must bring exactly this text.
        while receiver.display.clipboard_owner() == before:
            if time.monotonic() > deadline:
                raise SoakFault("text %d (%s to %s, %s) did not arrive" % (index, sender.name, receiver.name,
                                                                           describe(text)))
            time.sleep(PollIntervalS)
        got = receiver.display.get_clipboard()
        if got != text:
            offset = next((i for i, (a, b) in enumerate(zip(got or b"", text)) if a != b),
                          min(len(got or b""), len(text)))
            raise SoakFault("text %d (%s to %s): sent %s, the clipboard holds %s; they differ from byte %d"
                            % (index, sender.name, receiver.name, describe(text),
                               "nothing" if got is None else describe(got), offset))
        sender.assert_still_holds_its_copy(index)

    def check_connection(self, expected):
        """Each end of the connection received exactly the framed texts sent
        to it; called once nothing more should move."""
        counts = tcp_table.bytes_received(self.port)
        server_end = [count for (local, _), count in counts.items() if local == self.port]
        client_end = [count for (_, remote), count in counts.items() if remote == self.port]
        if len(server_end) != 1 or len(client_end) != 1:
            raise SoakFault("expected one connection on port %d, found %r" % (self.port, counts))
        if (server_end[0], client_end[0]) != (expected["to server"], expected["to client"]):
            raise SoakFault("bytes received by the server %d (expected %d), by the client %d (expected %d)"
                            % (server_end[0], expected["to server"], client_end[0], expected["to client"]))

    def reconnect(self):
        self.client_window.click("Button2")
        wait_unconnected(self.port)
        self.client_window.click("Button1")
        wait_served(self.port)
        self.reconnects += 1

    def report(self, started, label):
        figures = {side.name: side.figures() for side in (self.server, self.client)}
        print("%-9s texts %5d  %8.1f MiB  %6.0f s  reconnects %2d  | server fds %3d rss %7d KiB"
              "  | client fds %3d rss %7d KiB"
              % (label, self.texts_done, self.text_bytes / 1048576, time.monotonic() - started, self.reconnects,
                 figures["server"][0], figures["server"][1], figures["client"][0], figures["client"][1]),
              flush=True)
        return figures

    def run(self):
        args = self.args
        baseline_at = min(BaselineTexts, max(1, args.texts // 5))
        started = time.monotonic()
        previous = None
        expected = {"to server": 0, "to client": 0}
        # Even texts leave from the server. A block starts with one, so the
        # client has surely taken in its new connection before it sends.
        for index in range(args.texts):
            sender, receiver = (self.server, self.client) if index % 2 == 0 else (self.client, self.server)
            text = make_text(self.rng, args.max_bytes)
            while text == previous:
                text = make_text(self.rng, args.max_bytes)
            self.carry(index, sender, receiver, text)
            previous = text
            self.texts_done += 1
            self.text_bytes += len(text)
            self.wire_bytes += framed_size(text)
            expected["to client" if sender is self.server else "to server"] += framed_size(text)

            last = self.texts_done == args.texts
            block_end = last or self.texts_done % args.reconnect_every == 0
            if block_end:
                time.sleep(EchoWindowS)  # only to let a text that must not be sent back show up
                sender.assert_still_holds_its_copy(index)
                self.check_connection(expected)
                expected = {"to server": 0, "to client": 0}
            if self.texts_done == baseline_at:
                self.baseline = self.report(started, "first")
            elif block_end:
                final = self.report(started, "last" if last else "")
            if block_end and not last:
                self.reconnect()

        duration = time.monotonic() - started
        self.finish()
        self.summary(self.baseline if args.texts == baseline_at else final, duration)

    def finish(self):
        """Both copies end by "Exit", with code 0."""
        for side, window in ((self.client, self.client_window), (self.server, self.server_window)):
            window.click("Button6")
            code = side.program.wait_exit(ProgramEndTimeoutS)
            if code != 0:
                raise SoakFault("the %s ended with code %d; its output:\n%s" % (side.name, code,
                                                                                 side.program.output()))

    def summary(self, final, duration):
        print("\nSoak: %d texts, %d text bytes (%.1f MiB; %d on the wire), %d reconnects, %.0f s"
              % (self.texts_done, self.text_bytes, self.text_bytes / 1048576, self.wire_bytes, self.reconnects,
                 duration))
        growth = []
        # A sanitizer build holds freed memory back on purpose: its RSS says
        # nothing about leaks (the sanitizer itself reports those at the end).
        check_rss = not program_contains(SANITIZER_MARKER)
        if not check_rss:
            print("  (sanitizer build: resident memory is shown, not judged)")
        for name in ("server", "client"):
            (fd_first, rss_first), (fd_last, rss_last) = self.baseline[name], final[name]
            print("  %s: descriptors %d -> %d, VmRSS %d KiB -> %d KiB"
                  % (name, fd_first, fd_last, rss_first, rss_last))
            if fd_last > fd_first + FdTolerance:
                growth.append("%s descriptors %d -> %d" % (name, fd_first, fd_last))
            if check_rss and rss_last > rss_first + RssToleranceKiB:
                growth.append("%s VmRSS %d -> %d KiB" % (name, rss_first, rss_last))
        if growth:
            raise SoakFault("grew past the tolerance: " + "; ".join(growth))


def main(argv):
    parser = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    parser.add_argument("--texts", type=int, default=DefaultTexts)
    parser.add_argument("--reconnect-every", type=int, default=DefaultReconnectEvery,
                        help="an even number of texts between reconnects")
    parser.add_argument("--max-bytes", type=int, default=DefaultMaxBytes)
    parser.add_argument("--seed", type=int, default=DefaultSeed)
    args = parser.parse_args(argv)
    if args.texts < 1 or args.max_bytes < 1 or args.reconnect_every < 2 or args.reconnect_every % 2:
        parser.error("--texts and --max-bytes must be positive, --reconnect-every even and at least 2")

    missing = [tool for tool in REQUIRED_TOOLS + ("ss",) if shutil.which(tool) is None]
    if not program_source().is_file():
        missing.append("the program (%s; set TESSARO_BIN)" % program_source())
    if missing:
        print("soak cannot run, missing: " + ", ".join(missing), file=sys.stderr)
        return 1

    workdir = Path(tempfile.mkdtemp(prefix="tessaro-soak-"))
    soak = Soak(args, workdir)
    print("soak: %d texts up to %d bytes, reconnect every %d, seed %d, program %s"
          % (args.texts, args.max_bytes, args.reconnect_every, args.seed, program_source()), flush=True)
    try:
        soak.start()
        soak.run()
    except (SoakFault, AssertionError, ToolError) as fault:
        print("\nSOAK FAILED after %d texts: %s" % (soak.texts_done, fault), file=sys.stderr)
        for side in (getattr(soak, "server", None), getattr(soak, "client", None)):
            if side is not None and side.program.output():
                print("%s output:\n%s" % (side.name, side.program.output()), file=sys.stderr)
        return 1
    finally:
        soak.stop()
        shutil.rmtree(workdir, ignore_errors=True)
    return 0


if __name__ == "__main__":
    sys.exit(main(sys.argv[1:]))
