"""The benchmark's figures, judged against their targets, as a Markdown table.

write_report replaces only the part of the report between its two markers,
so the findings written by hand around the figures stay.
"""

import datetime
import os
import statistics
import subprocess
from dataclasses import dataclass, field
from pathlib import Path

MB = 1000 * 1000
BEGIN_MARKER = "<!-- bench.py writes from here -->"
END_MARKER = "<!-- bench.py writes up to here -->"

MedianLatencyTargetS = 0.040
P95LatencyTargetS = 0.090
LargeTextTargetRatio = 2.0
# Texts of at least this size are held to LargeTextTargetRatio.
LargeTextTargetFromBytes = 10 * MB
IdleCpuTargetFraction = 0.002
PeakMemoryTargetRatio = 2.0
LinkTargetRatio = 1.3
# Through Wayland data-control, against the program's own X11 figure.
WaylandLatencyMarginS = 0.010
# The longest a program may take to serve its own text while a large one comes.
AnswerTargetS = 0.250
LinkLatencyTargetRatio = 2.0
# A server whose peer reads nothing holds about two texts: the current one
# and the one still leaving.
BacklogTargetTexts = 2.5
ReadBackTargetRatio = 1.5
LagTargetMs = 50
# The largest text the program takes, and what it may hold beyond it while
# it reads one.
TextLimitBytes = 256 * 1024 * 1024
StreamMarginBytes = 32 * 1024 * 1024


def percentile_95(samples):
    return statistics.quantiles(samples, n=20, method="inclusive")[18]


def _ms(seconds):
    return "%.0f ms" % (seconds * 1000)


def _s(seconds):
    return "lost" if seconds is None else "%.2f s" % seconds


def _mb(size):
    return "%.0f MB" % (size / MB) if size >= MB else "%.1f MB" % (size / MB)


def _percent(fraction):
    return "%.3f %%" % (fraction * 100)


def _ratio(value, base=1.0):
    return "" if value is None or not base else "%.2f×" % (value / base)


def _lag(ms):
    # The program logs only ticks more than 5 ms late.
    return "≤ 5 ms" if ms <= 5 else "%d ms" % ms


def _verdict(met):
    return "" if met is None else ("met" if met else "**missed**")


@dataclass
class Figures:
    plan: object
    baseline_latency: list = field(default_factory=list)
    baseline_large: dict = field(default_factory=dict)
    latency: list = field(default_factory=list)
    baseline_digit_latency: list = field(default_factory=list)
    digit_latency: list = field(default_factory=list)
    large: dict = field(default_factory=dict)
    peaks: list = field(default_factory=list)
    link_large: dict = field(default_factory=dict)
    wayland_latency: list = field(default_factory=list)
    wayland_large: dict = field(default_factory=dict)
    wayland_probes: tuple = ((), ())
    link_latency: list = field(default_factory=list)
    link_digit_latency: list = field(default_factory=list)
    backlog_plain: tuple = ()
    backlog_link: tuple = ()
    fanout_latency: list = field(default_factory=list)
    relay_peak: tuple = ()
    idle_s: float = 0.0
    idle_cpu_s: tuple = (0.0, 0.0)
    idle_rss: tuple = (0, 0)
    baseline_lag_ms: int = 0
    stall_lag_ms: int = 0
    stream: tuple = ()
    run_s: float = 0.0

    def rows(self):
        """(measure, program, baseline, ratio, target, met or None) for each figure."""
        rows = []
        median, base_median = statistics.median(self.latency), statistics.median(self.baseline_latency)
        rows.append(("Latency, median of %d copies" % len(self.latency), _ms(median), _ms(base_median),
                     _ratio(median, base_median), "≤ %s" % _ms(MedianLatencyTargetS),
                     median <= MedianLatencyTargetS))
        p95, base_p95 = percentile_95(self.latency), percentile_95(self.baseline_latency)
        rows.append(("Latency, 95th percentile", _ms(p95), _ms(base_p95), _ratio(p95, base_p95),
                     "≤ %s" % _ms(P95LatencyTargetS), p95 <= P95LatencyTargetS))
        if self.digit_latency:
            median, base_median = (statistics.median(self.digit_latency),
                                   statistics.median(self.baseline_digit_latency))
            rows.append(("Latency of texts that begin with digits, median of %d" % len(self.digit_latency),
                         _ms(median), _ms(base_median), _ratio(median, base_median),
                         "≤ %s" % _ms(MedianLatencyTargetS), median <= MedianLatencyTargetS))
            p95, base_p95 = percentile_95(self.digit_latency), percentile_95(self.baseline_digit_latency)
            rows.append(("Latency of texts that begin with digits, 95th percentile", _ms(p95), _ms(base_p95),
                         _ratio(p95, base_p95), "≤ %s" % _ms(P95LatencyTargetS), p95 <= P95LatencyTargetS))
        for name, samples, base in (("", self.link_latency, self.baseline_latency),
                                    (" of texts that begin with digits", self.link_digit_latency,
                                     self.baseline_digit_latency)):
            if not samples:
                continue
            median, base_median = statistics.median(samples), statistics.median(base)
            rows.append(("Latency%s over the encrypted link, median of %d" % (name, len(samples)), _ms(median),
                         _ms(base_median), _ratio(median, base_median),
                         "≤ %.2f× baseline" % LinkLatencyTargetRatio,
                         median <= LinkLatencyTargetRatio * base_median))
        largest = max(self.large)
        for size in sorted(self.large):
            took, base = self._seconds(self.large, size, 0), self._seconds(self.baseline_large, size, 0)
            target = size >= LargeTextTargetFromBytes
            rows.append(("Carry %s" % _mb(size), _s(took), _s(base), _ratio(took, base),
                         "≤ %.2f× baseline" % LargeTextTargetRatio if target else "",
                         (took is not None and base is not None and took <= LargeTextTargetRatio * base)
                         if target else None))
        if self.link_large:
            linked, plain = self._seconds(self.link_large, largest, 0), self._seconds(self.large, largest, 0)
            rows.append(("Carry %s over the encrypted link (PASSPHRASE)" % _mb(largest), _s(linked),
                         "%s plain link" % _s(plain), _ratio(linked, plain),
                         "≤ %.2f× plain link" % LinkTargetRatio,
                         linked is not None and plain is not None and linked <= LinkTargetRatio * plain))
        rows += self._wayland_rows(largest)
        if self.backlog_link:
            text = 20 * MB
            rows.append(("Memory growth (peak) of a server whose keyed peer reads nothing, twelve %s copies"
                         % _mb(text), "+%s (+%s)" % tuple(_mb(size) for size in self.backlog_link),
                         "+%s (+%s) plain link" % tuple(_mb(size) for size in self.backlog_plain),
                         _ratio(self.backlog_link[0], self.backlog_plain[0]),
                         "growth ≤ %.1f texts" % BacklogTargetTexts, self.backlog_link[0] <= BacklogTargetTexts * text))
        if self.fanout_latency:
            median, base_median = statistics.median(self.fanout_latency), statistics.median(self.baseline_latency)
            rows.append(("Fan-out latency to 3 peers, copy on a client to the last machine, median of %d"
                         % len(self.fanout_latency), _ms(median), "%s pipe, one peer" % _ms(base_median),
                         _ratio(median, base_median), "", None))
        if self.relay_peak and self.peaks:
            before, peak = self.relay_peak
            one_peer = max(run[0][1] for run in self.peaks)
            rows.append(("Peak memory (VmHWM) of a server sending a %s copy to 3 peers" % _mb(largest),
                         "%s (%s before)" % (_mb(peak), _mb(before)), "%s to one peer" % _mb(one_peer),
                         _ratio(peak, one_peer), "about the one-peer figure", None))
        read = self._seconds(self.large, largest, 1)
        base_read = self._seconds(self.baseline_large, largest, 1)
        rows.append(("Read %s back from the receiving clipboard" % _mb(largest), _s(read), _s(base_read),
                     _ratio(read, base_read), "≤ %.2f× baseline" % ReadBackTargetRatio,
                     read is not None and base_read is not None and read <= ReadBackTargetRatio * base_read))
        idle_text = _mb(self.plan.idle_text_bytes)
        big_cpu, small_cpu = (seconds / self.idle_s for seconds in self.idle_cpu_s)
        big_text, small_text = ("%s (%.0f ms)" % (_percent(seconds / self.idle_s), seconds * 1000)
                                for seconds in self.idle_cpu_s)
        target = "< %s of a core" % _percent(IdleCpuTargetFraction)
        rows.append(("Idle CPU over %.0f s, %s foreign text" % (self.idle_s, idle_text), big_text,
                     "%s, small text" % small_text, _ratio(big_cpu, small_cpu) or "n/a", target,
                     big_cpu < IdleCpuTargetFraction))
        rows.append(("Idle CPU over %.0f s, small foreign text" % self.idle_s, small_text, "", "", target,
                     small_cpu < IdleCpuTargetFraction))
        rows.append(("Idle resident memory, %s / small text" % idle_text, "%s / %s" % tuple(
            _mb(size) for size in self.idle_rss), "", "", "", None))
        if self.stream:
            rows.append(("Longest event-loop lag, window moved and clicked, owner stalling every request",
                         _lag(self.stall_lag_ms), "%s, xclip owning" % _lag(self.baseline_lag_ms), "",
                         "≤ %d ms" % LagTargetMs, self.stall_lag_ms <= LagTargetMs))
            before, peak, ending = self.stream
            rows.append(("Peak memory while another owner streams %s (INCR; the owner: %s)"
                         % (_mb(self.plan.stream_bytes), ending or "no word"),
                         "%s above resident" % _mb(peak - before), "%s resident" % _mb(before), "",
                         "≤ %s" % _mb(TextLimitBytes + StreamMarginBytes),
                         peak - before <= TextLimitBytes + StreamMarginBytes))
        cases = [("the first %s text" % _mb(largest), self.peaks[:1]),
                 ("a %s text replacing another" % _mb(largest), self.peaks[1:])]
        for case, peaks in cases:
            if not peaks:
                continue
            for index, side in enumerate(("sending", "receiving")):
                before, peak = max((run[index] for run in peaks), key=lambda pair: pair[1])
                rows.append(("Peak memory (VmHWM) of the %s program, %s" % (side, case),
                             "%s (%s before)" % (_mb(peak), _mb(before)), "text %s" % _mb(largest),
                             _ratio(peak, largest), "< %.2f× text" % PeakMemoryTargetRatio,
                             peak < PeakMemoryTargetRatio * largest))
        return rows

    def _wayland_rows(self, largest):
        if not self.wayland_latency:
            return []
        median, x11 = statistics.median(self.wayland_latency), statistics.median(self.latency)
        rows = [("Latency through Wayland data-control (sway), median of %d copies" % len(self.wayland_latency),
                 _ms(median), "%s on X11" % _ms(x11), _ratio(median, x11),
                 "≤ X11 + %s" % _ms(WaylandLatencyMarginS), median <= x11 + WaylandLatencyMarginS)]
        took, x11_took = self._seconds(self.wayland_large, largest, 0), self._seconds(self.large, largest, 0)
        rows.append(("Carry %s through Wayland data-control" % _mb(largest), _s(took), "%s on X11" % _s(x11_took),
                     _ratio(took, x11_took), "", None))
        idle, during = self.wayland_probes
        if during:
            longest, calm = max(during), statistics.median(idle)
            rows.append(("Receiving program serving its own text during that carry, longest of %d asks"
                         % len(during), _ms(longest), "%s idle" % _ms(calm), _ratio(longest, calm),
                         "≤ %s" % _ms(AnswerTargetS), longest <= AnswerTargetS))
        return rows

    @staticmethod
    def _seconds(results, size, index):
        """A timing of one carried text; None for a text that never arrived."""
        result = results.get(size)
        return None if result is None else result[index]

    def all_met(self):
        return all(row[5] is not False for row in self.rows())

    def table(self):
        lines = ["| Measure | Program | Baseline | Ratio | Target | |", "|---|---|---|---|---|---|"]
        lines += ["| %s | %s | %s | %s | %s | %s |" % (*row[:5], _verdict(row[5])) for row in self.rows()]
        return "\n".join(lines)


def _cpu_model():
    with open("/proc/cpuinfo") as cpuinfo:
        for line in cpuinfo:
            if line.startswith("model name"):
                return line.split(":", 1)[1].strip()
    return "unknown"


def _commit(folder):
    try:
        result = subprocess.run(["git", "-C", str(folder), "describe", "--always", "--dirty"],
                                capture_output=True, text=True, timeout=10)
    except (OSError, subprocess.TimeoutExpired):
        return "unknown"
    return result.stdout.strip() or "unknown"


def figures_block(figures, quick):
    when = datetime.datetime.now(datetime.timezone.utc).strftime("%Y-%m-%d %H:%M UTC")
    load = " / ".join("%.2f" % value for value in os.getloadavg())
    plan = figures.plan
    return "\n".join([
        BEGIN_MARKER,
        "",
        "%s run of `python3 bench/bench.py%s` on %s, source %s; %d CPU cores (%s), load average "
        "%s when it ended; the run took %.0f s." % (
            "A quick" if quick else "A full", " --quick" if quick else "", when,
            _commit(Path(__file__).resolve().parent), os.cpu_count(), _cpu_model(), load, figures.run_s),
        "",
        figures.table(),
        "",
        "- Latency: %d copies, alternately from the server's display to the client's and back, every third "
        "a Japanese UTF-8 text, the others printable ASCII (16 to 4096 bytes); each copy at a random moment "
        "500 to 1000 ms after the text before arrived, so that none waits for the 500 ms pace between two "
        "transfers to a peer. The program's times include its 40 ms wait between a length and its text."
        % plan.copies,
        "- Latency of texts that begin with digits: as many copies again of short texts such as \"0004217 report\", "
        "whose first bytes read like a continued length.",
        "- Carry: the median of %d texts of each size, printable ASCII (1 MB = 10^6 bytes), from the "
        "server's display to the client's, from the "
        "source clipboard changing to the receiving side taking the clipboard; the bytes are then read back "
        "and compared. The program's times include its 40 ms wait between the length and the text." % plan.repeats,
        "- Encrypted link: the same carry of the largest size between a server and a client that share a "
        "PASSPHRASE (TLS 1.3, AES-128-GCM), compared with the plain link's figure above.",
        "- Latency over the encrypted link: the two latency phases again between programs that share the "
        "PASSPHRASE, against the same baseline; there the text follows its length at once.",
        "- A peer that reads nothing: a server and a client connected, the client stopped (SIGSTOP), twelve "
        "20 MB texts copied on the server's display 1.5 s apart; the server's resident growth and its peak "
        "(VmHWM, reset at the start) above the start, 3 s after the last copy; on the plain link as the baseline.",
        "- Baseline for both: `xclip -o | socat` to `socat | xclip -i` over loopback, its receiving half "
        "already waiting, its sending half started the moment the source clipboard changes.",
        "- Idle: two connected servers with a scripted peer, after their clipboard text has been sent; "
        "utime + stime from /proc/PID/stat over the interval.",
        "- Peak memory: VmHWM of each program, reset (/proc/PID/clear_refs) before a text of the largest "
        "size is copied and read once it has crossed and been read back from the receiving clipboard; "
        "\"before\" is the resident size at the reset. The first such text replaces smaller ones, the "
        "others one of their own size (the highest of those is shown).",
        "- Read back: `xclip -o` of the largest text from the receiving clipboard, which the program serves "
        "itself; baseline: the same read from the `xclip` that placed the text at the pipe's end.",
        "- Lag: the longest delay of a 10 ms timer in the program (TESSARO_LAG_PROBE) while xdotool moves "
        "and clicks its window for %.0f s, with a clipboard owner that answers every request %d s late; "
        "baseline: the same with `xclip` owning the clipboard." % (plan.stall_s, 10),
        "- Streaming owner: VmHWM of a server while a test owner answers with an INCR stream of %s in "
        "1 MiB pieces, against its resident size when the owner took the clipboard."
        % _mb(plan.stream_bytes),
        "",
        END_MARKER,
    ])


def write_report(path, figures, quick=False):
    """Puts the figures between the markers of `path`; a report without them
    gets the figures at its end, and a missing one is made."""
    path = Path(path)
    block = figures_block(figures, quick)
    if not path.exists():
        path.parent.mkdir(parents=True, exist_ok=True)
        path.write_text("# Performance\n\n" + block + "\n", encoding="utf-8")
        return
    text = path.read_text(encoding="utf-8")
    begin, end = text.find(BEGIN_MARKER), text.find(END_MARKER)
    if begin >= 0 and end > begin:
        text = text[:begin] + block + text[end + len(END_MARKER):]
    else:
        text = text.rstrip("\n") + "\n\n" + block + "\n"
    path.write_text(text, encoding="utf-8")
