"""Checks of the benchmark's own parts that need no display.

    python3 bench/test_bench.py
"""

import socket
import sys
import tempfile
import unittest
from pathlib import Path

BENCH_DIR = Path(__file__).resolve().parent
sys.path.insert(0, str(BENCH_DIR.parent / "tests" / "e2e"))
sys.path.insert(0, str(BENCH_DIR))

from baseline_relay import listening  # noqa: E402
from bench import QuickPlan  # noqa: E402
from report import BEGIN_MARKER, END_MARKER, MB, Figures, write_report  # noqa: E402
from texts import TextMaker  # noqa: E402


def sample_figures(lost_largest=False):
    small, large = QuickPlan.sizes_bytes
    figures = Figures(plan=QuickPlan)
    figures.latency = [0.03, 0.04, 0.05, 0.035]
    figures.baseline_latency = [0.01, 0.02, 0.015, 0.012]
    figures.large = {small: (0.3, 0.01), large: None if lost_largest else (0.5, 0.1)}
    figures.baseline_large = {small: (0.02, 0.01), large: (0.1, 0.05)}
    figures.peaks = [((30 * MB, 80 * MB), (30 * MB, 95 * MB))]
    figures.idle_s = 10.0
    figures.idle_cpu_s = (0.02, 0.0)
    figures.idle_rss = (78 * MB, 31 * MB)
    return figures


class WriteReportTest(unittest.TestCase):

    def setUp(self):
        folder = tempfile.TemporaryDirectory()
        self.addCleanup(folder.cleanup)
        self.path = Path(folder.name) / "PERFORMANCE.md"

    def test_new_figures_replace_only_the_marked_part(self):
        self.path.write_text("# Title\n\nIntro.\n\n%s\nold figures\n%s\n\n## Findings\n\nBy hand.\n"
                             % (BEGIN_MARKER, END_MARKER), encoding="utf-8")
        write_report(self.path, sample_figures())
        text = self.path.read_text(encoding="utf-8")
        self.assertTrue(text.startswith("# Title\n\nIntro.\n\n" + BEGIN_MARKER))
        self.assertTrue(text.endswith(END_MARKER + "\n\n## Findings\n\nBy hand.\n"))
        self.assertNotIn("old figures", text)
        self.assertIn("| Latency, median of 4 copies | 38 ms |", text)
        self.assertEqual(text.count(BEGIN_MARKER), 1)

    def test_report_without_markers_keeps_its_text_and_gains_the_figures_at_its_end(self):
        self.path.write_text("# Notes\n\nKeep me.\n", encoding="utf-8")
        write_report(self.path, sample_figures())
        text = self.path.read_text(encoding="utf-8")
        self.assertTrue(text.startswith("# Notes\n\nKeep me.\n\n" + BEGIN_MARKER))
        self.assertTrue(text.endswith(END_MARKER + "\n"))

    def test_missing_report_is_made(self):
        path = self.path.parent / "docs" / "PERFORMANCE.md"
        write_report(path, sample_figures(), quick=True)
        self.assertIn("--quick", path.read_text(encoding="utf-8"))


class FiguresTest(unittest.TestCase):

    def test_every_target_is_judged(self):
        verdicts = {row[0]: row[5] for row in sample_figures().rows()}
        self.assertTrue(verdicts["Latency, median of 4 copies"])
        self.assertTrue(verdicts["Latency, 95th percentile"])
        self.assertFalse(verdicts["Carry 10 MB"])  # 5× the baseline
        self.assertTrue(verdicts["Idle CPU over 10 s, small foreign text"])
        self.assertFalse(verdicts["Peak memory (VmHWM) of the receiving program, the first 10 MB text"])

    def test_a_lost_text_misses_its_target_and_leaves_the_table_whole(self):
        figures = sample_figures(lost_largest=True)
        table = figures.table()
        self.assertIn("| Carry 10 MB | lost | 0.10 s |  |", table)
        self.assertIn("| Read 10 MB back from the receiving clipboard | lost |", table)
        self.assertFalse(figures.all_met())


class TextMakerTest(unittest.TestCase):

    def test_texts_differ_from_each_other_and_hold_no_zero_byte(self):
        maker = TextMaker()
        texts = [maker.latency_text(japanese=index % 2 == 1) for index in range(40)]
        texts += [maker.digit_text() for _ in range(40)]
        texts += [maker.large_text(size) for size in (1000, 1000, 70000)]
        self.assertEqual(len(set(texts)), len(texts))
        for text in texts:
            self.assertNotIn(b"\0", text)
        self.assertEqual([len(text) for text in texts[-3:]], [1000, 1000, 70000])

    def test_japanese_texts_are_utf8_beyond_ascii(self):
        text = TextMaker().latency_text(japanese=True).decode("utf-8")
        self.assertTrue(any(ord(char) > 0x7F for char in text))


class ListeningTest(unittest.TestCase):

    def test_sees_a_loopback_listener_come_and_go(self):
        with socket.socket(socket.AF_INET, socket.SOCK_STREAM) as server:
            server.bind(("127.0.0.1", 0))
            port = server.getsockname()[1]
            self.assertFalse(listening(port))
            server.listen(1)
            self.assertTrue(listening(port))
        self.assertFalse(listening(port))


if __name__ == "__main__":
    unittest.main()
