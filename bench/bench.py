#!/usr/bin/env python3
"""Measures the program on two virtual displays over loopback TCP.

    python3 bench/bench.py            full run (about two minutes), writes docs/PERFORMANCE.md
    python3 bench/bench.py --quick    smoke run (about half a minute), prints only

What it measures, each against a baseline taken in the same invocation:

- latency: from a copy on one display (xclip taking the clipboard) to the text
  on the other (the receiving side taking the clipboard), both moments read
  from the X servers' owner-change events; random printable ASCII texts and
  Japanese UTF-8 ones, alternately in both directions, each copy at a random
  phase of the program's fallback clipboard tick. Baseline: the tool pipe of
  baseline_relay.py started the moment the source clipboard changes.
- carrying large ASCII texts from one clipboard to the other: the same
  moments, the same baseline; the median of a few texts of each size.
- CPU time (utime + stime) of an idle, connected program with a large text
  owned by another program on its clipboard; baseline: the same with a small
  text.
- peak memory (VmHWM, reset before each text of the largest size) of both
  programs once such a text has crossed and been read back from the
  receiving clipboard, as a ratio to its size.
- the same latency and the largest carry between two headless sway sessions
  (no XWayland), whose clipboards the program reads and sets through
  Wayland data-control, the moments read from data-control watchers; while
  the large text comes, the receiving program is asked again and again for
  the small text it placed before (wl-paste), which its event loop serves:
  how long it takes to answer, against the same asked while idle. Baseline:
  the program's own figures on X11 from the same run. Runs as root (sway
  and the programs run as `nobody`).
- the encrypted link (PASSPHRASE): the latency phases again, against the same
  pipe baseline, and the largest text against the plain link.
- a peer that reads nothing: the growth of a server's memory while twelve
  20 MB texts are copied to a connected peer that is stopped (SIGSTOP), over
  the encrypted link against the plain one.
- relaying (MAXPEERS=3, three clients on displays of their own): fan-out
  latency from a copy on one client to the last of the other three machines,
  against the same pipe baseline; and the server's peak memory while a text of
  the largest size copied on it goes to all three peers.
- the event loop's lag (TESSARO_LAG_PROBE) while the window is moved and
  clicked and the clipboard's owner stalls 10 s on every request; baseline:
  the same with xclip owning the clipboard.
- peak memory while another owner streams a text far over the 256 MiB limit
  in INCR pieces, against the resident size before.

The program is $TESSARO_BIN, else build/tessaro. Everything started here runs
on private displays and loopback ports and is stopped by PID at the end.
"""

import argparse
import contextlib
import os
import random
import shutil
import signal
import statistics
import subprocess
import sys
import tempfile
import time
from dataclasses import dataclass
from pathlib import Path

BENCH_DIR = Path(__file__).resolve().parent
sys.path.insert(0, str(BENCH_DIR.parent / "tests" / "e2e"))
sys.path.insert(0, str(BENCH_DIR))

from baseline_relay import PipeRelay, listening  # noqa: E402
from display import Display  # noqa: E402
from peer import connect_peer, frame, free_port  # noqa: E402
from program import Installation, Program, program_source  # noqa: E402
from report import Figures, write_report  # noqa: E402
from selection_watch import OwnerWatch, SelectionWatch  # noqa: E402
from sway import SwaySession, User, wl_owner_source  # noqa: E402
from texts import TextMaker  # noqa: E402
from waiting import wait_until  # noqa: E402

MB = 1000 * 1000
REQUIRED_TOOLS = ("Xvfb", "xclip", "xwininfo", "socat", "xdotool", "sway", "swaymsg", "wl-copy", "wl-paste")


@dataclass(frozen=True)
class Plan:
    copies: int
    sizes_bytes: tuple
    repeats: int
    idle_s: float
    idle_text_bytes: int
    stall_s: float
    stream_bytes: int


FullPlan = Plan(copies=30, sizes_bytes=(1 * MB, 10 * MB, 100 * MB), repeats=3, idle_s=60,
                idle_text_bytes=10 * MB, stall_s=10, stream_bytes=700 * MB)
QuickPlan = Plan(copies=8, sizes_bytes=(1 * MB, 10 * MB), repeats=1, idle_s=10, idle_text_bytes=10 * MB,
                 stall_s=4, stream_bytes=300 * MB)

# One tick of the program's fallback clipboard watcher, and the least time
# between two transfers to a peer: each copy comes at a random moment between
# one and two of them after the text before arrived, so that no copy keeps
# the same phase as the one before and none waits for the pace.
TickS = 0.5
SmallTextWaitS = 10
# Generous: far above what either side needs, only there so a hang ends.
LargeTextWaitSPerMB = 2.0
LargeTextWaitMinS = 30
StartWaitS = 20
# The owner that stalls answers each request this late.
OwnerStallMs = 10000
SmallIdleText = b"a small text on the clipboard"
LinkSettings = b"[TESSAROPRO]\r\nPASSPHRASE=bench link passphrase\r\n"
# Copies to a peer that reads nothing; between two, time for the program to
# read the clipboard and start the transfer (a few ticks), and after the last
# for the backlog to settle.
BacklogCopies = 12
BacklogTextBytes = 20 * MB
BacklogSpacingS = 1.5
BacklogSettleS = 3.0
RelaySettings = b"[TESSAROPRO]\r\nMAXPEERS=3\r\n"
RelayClients = 3
ClockTicksPerS = os.sysconf("SC_CLK_TCK")
XclipCopyArgv = ("xclip", "-selection", "clipboard", "-i", "-quiet", "-t", "UTF8_STRING")
# Asks of the receiving program while idle, for the figure to compare with.
IdleProbes = 10


def large_wait_s(size):
    return max(LargeTextWaitMinS, LargeTextWaitSPerMB * size / MB)


# The process's own figures

def cpu_seconds(pid):
    with open("/proc/%d/stat" % pid) as stat:
        fields = stat.read().rsplit(")", 1)[1].split()
    # utime and stime are the 14th and 15th fields; the split starts at the 3rd.
    return (int(fields[11]) + int(fields[12])) / ClockTicksPerS


def reset_peak_memory(pid):
    """Starts VmHWM afresh from the current resident size."""
    with open("/proc/%d/clear_refs" % pid, "w") as clear_refs:
        clear_refs.write("5")


def status_bytes(pid, key):
    with open("/proc/%d/status" % pid) as status:
        for line in status:
            if line.startswith(key + ":"):
                return int(line.split()[1]) * 1024
    raise KeyError(key)


# Copies and their timing

def copy_to_clipboard(display, text):
    """Gives `text` to a new xclip that takes the clipboard; returns at once.

    xclip reads all of its input before it takes the clipboard, so the owner
    change that the watch reports comes after this returns."""
    process = display.spawn(list(getattr(display, "copy_argv", XclipCopyArgv)), stdin=subprocess.PIPE)
    process.stdin.write(text)
    process.stdin.close()


def timed_copy(watch, source, target, text, wait_s, relay=None):
    """Seconds from `text` owning `source`'s clipboard to a new owner on
    `target`'s, checked to hold exactly `text`; also the read-back seconds."""
    watch.forget()
    copy_to_clipboard(source, text)
    copied = watch.next_change(source, wait_s)
    if relay is not None:
        relay.send()
    arrived = watch.next_change(target, wait_s)
    if relay is not None:
        relay.finish(wait_s)
    read_start = time.monotonic()
    got = target.get_clipboard(timeout=wait_s)
    read_s = time.monotonic() - read_start
    if got != text:
        raise AssertionError("%s holds %s bytes, not the %d copied on %s"
                             % (target.name, "no" if got is None else len(got), len(text), source.name))
    return arrived - copied, read_s


def dither():
    # Deliberately random, not a wait for anything: see TickS.
    time.sleep(random.uniform(TickS, 2 * TickS))


class Bench:

    def __init__(self, plan, workdir, stack):
        self.plan = plan
        self.workdir = workdir
        self.stack = stack
        self.source = program_source()
        self.texts = TextMaker()
        self.figures = Figures(plan=plan)

    def display(self, wayland=False):
        display = SwaySession(self.workdir, xwayland=False) if wayland else Display(self.workdir)
        self.stack.callback(display.stop)
        return display

    def watch(self, displays):
        watch = OwnerWatch(displays)
        self.stack.callback(watch.close)
        return watch

    def program(self, display, *args, settings=None, env=None):
        installation = Installation(self.workdir, self.source)
        if settings is not None:
            installation.write_settings(settings)
        options = {"env": env}
        if isinstance(display, SwaySession):
            os.chown(installation.dir, User.pw_uid, User.pw_gid)
            options = {"env": {**(env or {}), "QT_QPA_PLATFORM": None}, "user": User.pw_uid}
        program = Program(display, installation, args, **options)
        self.stack.callback(program.kill)
        return program

    def server(self, display, settings=None, env=None):
        port = free_port()
        program = self.program(display, "/port:%d" % port, "/server", settings=settings, env=env)
        wait_until(lambda: listening(port) or not program.running, StartWaitS,
                           message="the program to listen on port %d" % port)
        if not program.running:
            raise RuntimeError("the program exited with %s: %s" % (program.returncode, program.output()))
        return program, port

    def pair(self, settings=None, wayland=False):
        """A server and a client program on two new displays, connected."""
        first, second = self.display(wayland), self.display(wayland)
        server, port = self.server(first, settings)
        client = self.program(second, "/addr:127.0.0.1", "/port:%d" % port, "/client", settings=settings)
        # A text each way proves the connection stands before anything is timed.
        for source, target in ((first, second), (second, first)):
            text = self.texts.latency_text()
            source.set_clipboard(text)
            wait_until(lambda: target.get_clipboard() == text, StartWaitS,
                               message="the warm-up text on %s" % target.name)
        return first, second, server, client

    # Phases

    def latency(self, watch, first, second, make_relay=None, digits=False):
        samples = []
        for index in range(self.plan.copies):
            source, target = (first, second) if index % 2 == 0 else (second, first)
            text = self.texts.digit_text() if digits else self.texts.latency_text(japanese=index % 3 == 2)
            relay = make_relay(source, target) if make_relay else None
            dither()
            samples.append(timed_copy(watch, source, target, text, SmallTextWaitS, relay)[0])
        return samples

    def large(self, watch, first, second, make_relay=None, programs=(), sizes=None):
        """Per size, the medians of the carry and read-back seconds; None
        for a size of which a text was lost. With `programs`, each text of
        the largest size is framed by a reset and a reading of their peak
        memory: (resident before, peak) per program, one pair per text."""
        results = {}
        peaks = []
        for size in sizes or self.plan.sizes_bytes:
            watched = programs if size == max(self.plan.sizes_bytes) else ()
            runs = []
            for _ in range(self.plan.repeats):
                text = self.texts.large_text(size)
                relay = make_relay(first, second) if make_relay else None
                dither()
                resident = []
                for program in watched:
                    reset_peak_memory(program.pid)
                    resident.append(status_bytes(program.pid, "VmRSS"))
                try:
                    runs.append(timed_copy(watch, first, second, text, large_wait_s(size), relay))
                except TimeoutError as error:
                    # Kept as a lost text for the report; the larger ones still run.
                    report_progress("  %d MB: lost (%s)" % (size // MB, error))
                    runs = None
                    break
                if watched:
                    peak = [status_bytes(program.pid, "VmHWM") for program in watched]
                    peaks.append(tuple(zip(resident, peak)))
            if runs is None:
                results[size] = None
                continue
            results[size] = (statistics.median(took for took, _ in runs),
                             statistics.median(read for _, read in runs))
            carried, read = (", ".join("%.2f s" % run[index] for run in runs) for index in (0, 1))
            report_progress("  %d MB: %s (read back %s)" % (size // MB, carried, read))
        return results, peaks

    def run_baseline(self):
        report_progress("baseline: xclip | socat | xclip")
        first, second = self.display(), self.display()
        watch = self.watch((first, second))
        self.figures.baseline_latency = self.latency(watch, first, second, PipeRelay)
        self.figures.baseline_digit_latency = self.latency(watch, first, second, PipeRelay, digits=True)
        self.figures.baseline_large = self.large(watch, first, second, PipeRelay)[0]

    def run_program(self):
        report_progress("program: server and client")
        first, second, server, client = self.pair()
        watch = self.watch((first, second))
        self.figures.latency = self.latency(watch, first, second)
        self.figures.digit_latency = self.latency(watch, first, second, digits=True)
        self.figures.large, self.figures.peaks = self.large(watch, first, second, programs=(server, client))

    def run_link(self):
        largest = max(self.plan.sizes_bytes)
        report_progress("program: server and client sharing a PASSPHRASE, %d MB" % (largest // MB))
        first, second, _, _ = self.pair(LinkSettings)
        watch = self.watch((first, second))
        self.figures.link_latency = self.latency(watch, first, second)
        self.figures.link_digit_latency = self.latency(watch, first, second, digits=True)
        self.figures.link_large = self.large(watch, first, second, sizes=(largest,))[0]

    def run_wayland(self):
        largest = max(self.plan.sizes_bytes)
        report_progress("program through Wayland data-control: two sway sessions, %d MB" % (largest // MB))
        # The programs run as another user, from folders below this one.
        os.chmod(self.workdir, 0o755)
        first, second, _, _ = self.pair(wayland=True)
        watch = SelectionWatch((first, second), wl_owner_source())
        self.stack.callback(watch.close)
        self.figures.wayland_latency = self.latency(watch, first, second)
        # The receiving program's own text, which it serves while the large one comes.
        placed = self.texts.latency_text()
        first.set_clipboard(placed)
        wait_until(lambda: second.get_clipboard() == placed, StartWaitS, message="the probe's text")
        idle = [took for took in (self.probe(second, placed) for _ in range(IdleProbes)) if took is not None]
        text = self.texts.large_text(largest)
        dither()
        watch.forget()
        copy_to_clipboard(first, text)
        copied = watch.next_change(first, large_wait_s(largest))
        during = []
        while True:
            took = self.probe(second, placed)
            try:
                arrived = watch.next_change(second, 0)
                break
            except TimeoutError:
                if took is not None:
                    during.append(took)
            if time.monotonic() - copied > large_wait_s(largest):
                raise TimeoutError("the %d MB text did not reach %s" % (largest // MB, second.name))
        read_start = time.monotonic()
        if second.get_clipboard(timeout=large_wait_s(largest)) != text:
            raise AssertionError("%s does not hold the %d MB text copied" % (second.name, largest // MB))
        self.figures.wayland_large = {largest: (arrived - copied, time.monotonic() - read_start)}
        self.figures.wayland_probes = (idle, during)
        report_progress("  %d MB: %.2f s; the receiving program answered in %.0f ms at most (%d asks), %.0f ms idle"
                        % (largest // MB, arrived - copied, max(during, default=0) * 1000, len(during),
                           statistics.median(idle) * 1000))

    @staticmethod
    def probe(session, expected):
        """Seconds a wl-paste of the program's own text takes."""
        started = time.monotonic()
        got = session.get_clipboard()
        took = time.monotonic() - started
        return took if got == expected else None

    def backlog(self, settings):
        """How much a server's resident memory grows, and its peak above the
        start, while texts are copied to a connected peer that is stopped."""
        first, _, server, client = self.pair(settings)
        os.kill(client.pid, signal.SIGSTOP)
        self.stack.callback(os.kill, client.pid, signal.SIGCONT)
        reset_peak_memory(server.pid)
        before = status_bytes(server.pid, "VmRSS")
        for _ in range(BacklogCopies):
            copy_to_clipboard(first, self.texts.large_text(BacklogTextBytes))
            time.sleep(BacklogSpacingS)
        time.sleep(BacklogSettleS)
        if not server.running:
            raise RuntimeError("the server ended: %s" % server.output())
        return status_bytes(server.pid, "VmRSS") - before, status_bytes(server.pid, "VmHWM") - before

    def run_backlog(self):
        report_progress("a stopped peer: %d copies of %d MB, plain and encrypted link"
                        % (BacklogCopies, BacklogTextBytes // MB))
        self.figures.backlog_plain = self.backlog(None)
        self.stack.close()
        self.figures.backlog_link = self.backlog(LinkSettings)
        report_progress("  growth / peak: plain %s, encrypted %s" % tuple(
            "+%d / +%d MB" % (grown // MB, peak // MB)
            for grown, peak in (self.figures.backlog_plain, self.figures.backlog_link)))

    def run_relay(self):
        largest = max(self.plan.sizes_bytes)
        report_progress("program: a server relaying to %d clients; fan-out latency, %d MB to all"
                        % (RelayClients, largest // MB))
        displays = [self.display() for _ in range(RelayClients + 1)]
        server, port = self.server(displays[0], RelaySettings)
        for display in displays[1:]:
            self.program(display, "/addr:127.0.0.1", "/port:%d" % port, "/client")
        warm = self.texts.latency_text()
        displays[0].set_clipboard(warm)
        wait_until(lambda: all(d.get_clipboard() == warm for d in displays), StartWaitS,
                   message="the warm-up text on every display")
        watch = self.watch(displays)
        samples = []
        for index in range(self.plan.copies):
            source = displays[1 + index % RelayClients]
            targets = [display for display in displays if display is not source]
            text = self.texts.latency_text(japanese=index % 3 == 2)
            dither()
            watch.forget()
            copy_to_clipboard(source, text)
            copied = watch.next_change(source, SmallTextWaitS)
            last = max(watch.next_change(target, SmallTextWaitS) for target in targets)
            for target in targets:
                if target.get_clipboard() != text:
                    raise AssertionError("%s does not hold the copy made on %s" % (target.name, source.name))
            samples.append(last - copied)
        self.figures.fanout_latency = samples
        text = self.texts.large_text(largest)
        dither()
        reset_peak_memory(server.pid)
        resident = status_bytes(server.pid, "VmRSS")
        copy_to_clipboard(displays[0], text)
        wait_until(lambda: all(d.get_clipboard(timeout=large_wait_s(largest)) == text for d in displays[1:]),
                   large_wait_s(largest) * 2, interval=1, message="the large text on every client")
        self.figures.relay_peak = (resident, status_bytes(server.pid, "VmHWM"))

    def idle_program(self, text):
        """A server with a scripted peer that has received `text`, on its own display."""
        display = self.display()
        program, port = self.server(display)
        peer = connect_peer(port)
        self.stack.callback(peer.close)
        display.set_clipboard(text)
        peer.wait_received(len(frame(text)), large_wait_s(len(text)))
        return program, peer

    def run_idle(self):
        report_progress("idle: %.0f s with a %d MB and with a small foreign text"
                        % (self.plan.idle_s, self.plan.idle_text_bytes // MB))
        big = self.idle_program(self.texts.large_text(self.plan.idle_text_bytes))
        small = self.idle_program(SmallIdleText)
        programs = (big[0], small[0])
        before = [cpu_seconds(program.pid) for program in programs]
        started = time.monotonic()
        # Both at once; the peers must hear nothing while the programs idle.
        deadline = started + self.plan.idle_s
        while time.monotonic() < deadline:
            for _, peer in (big, small):
                peer.assert_quiet(min(TickS, max(deadline - time.monotonic(), 0)))
        elapsed = time.monotonic() - started
        used = [cpu_seconds(program.pid) - start for program, start in zip(programs, before)]
        self.figures.idle_s = elapsed
        self.figures.idle_cpu_s = tuple(used)
        self.figures.idle_rss = tuple(status_bytes(program.pid, "VmRSS") for program in programs)

    def longest_lag_ms(self, display, window, lag_log):
        """Moves and clicks the window for the plan's stall time; the longest
        lag the program logged meanwhile."""
        started = time.monotonic()
        step = 0
        while time.monotonic() - started < self.plan.stall_s:
            display.tool("xdotool", "windowmove", str(window.id), str(20 + step % 50), "40")
            window.click("Edit1")
            step += 1
        ended = time.monotonic()
        lags = [int(line.split()[1]) for line in lag_log.read_text().splitlines()
                if started * 1000 <= int(line.split()[0]) <= ended * 1000]
        return max(lags, default=0)

    def run_owners(self):
        report_progress("clipboard owners: one stalling %d s per request, one streaming %d MB"
                        % (OwnerStallMs // 1000, self.plan.stream_bytes // MB))
        display = self.display()
        lag_log = self.workdir / "lag.log"
        program, port = self.server(display, env={"TESSARO_LAG_PROBE": str(lag_log)})
        window = program.main_window()
        display.set_clipboard(SmallIdleText)
        self.figures.baseline_lag_ms = self.longest_lag_ms(display, window, lag_log)
        stalled = display.own_clipboard("--stall", str(OwnerStallMs), "UTF8_STRING=UTF8_STRING:stalled")
        self.stack.callback(stalled.kill)
        self.figures.stall_lag_ms = self.longest_lag_ms(display, window, lag_log)

        reset_peak_memory(program.pid)
        before = status_bytes(program.pid, "VmRSS")
        stream = display.own_clipboard("UTF8_STRING=incr:%d" % self.plan.stream_bytes)
        self.stack.callback(stream.kill)
        ending = stream.stdout.readline().decode("ascii", "replace").strip()
        self.figures.stream = (before, status_bytes(program.pid, "VmHWM"), ending)


def report_progress(text):
    print(text, flush=True)


def missing_tools():
    missing = [tool for tool in REQUIRED_TOOLS if shutil.which(tool) is None]
    if not program_source().is_file():
        missing.append("the program (%s; set TESSARO_BIN)" % program_source())
    if not wl_owner_source().is_file():
        missing.append("the Wayland watcher (%s; set TESSARO_WL_CLIPBOARD_OWNER)" % wl_owner_source())
    if os.geteuid() != 0:
        missing.append("root (sway and the programs in it run as nobody)")
    return missing


def main(argv):
    parser = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    parser.add_argument("--quick", action="store_true", help="smaller texts, fewer copies, 10 s idle")
    parser.add_argument("--output", type=Path,
                        help="the report to write (default: docs/PERFORMANCE.md on a full run, "
                             "nothing on a quick one)")
    args = parser.parse_args(argv)
    missing = missing_tools()
    if missing:
        sys.exit("missing: " + ", ".join(missing))
    plan = QuickPlan if args.quick else FullPlan
    output = args.output or (None if args.quick else BENCH_DIR.parent / "docs" / "PERFORMANCE.md")

    workdir = Path(tempfile.mkdtemp(prefix="tessaro-bench-"))
    started = time.monotonic()
    try:
        with contextlib.ExitStack() as stack:
            bench = Bench(plan, workdir, stack)
            bench.run_baseline()
            stack.close()
            bench.run_program()
            stack.close()
            bench.run_link()
            stack.close()
            bench.run_wayland()
            stack.close()
            bench.run_backlog()
            stack.close()
            bench.run_relay()
            stack.close()
            bench.run_idle()
            stack.close()
            bench.run_owners()
    finally:
        shutil.rmtree(workdir, ignore_errors=True)
    bench.figures.run_s = time.monotonic() - started
    print(bench.figures.table())
    if output:
        write_report(output, bench.figures, quick=args.quick)
        print("written to %s" % output)
    return 0


if __name__ == "__main__":
    sys.exit(main(sys.argv[1:]))
