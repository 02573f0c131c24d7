"""Texts for the benchmark: every one different from all the others.

The program sends a clipboard text only when it differs from the last one it
sent or received, so each text starts with its own serial number. Latency
texts are short random printable ASCII or Japanese UTF-8; large texts are
random printable ASCII with line breaks, made fast from random bytes.
"""

import os
import random

# A fixed seed: the same latency texts every run, so that runs compare.
Seed = 20260
LatencyTextMinBytes = 16
LatencyTextMaxBytes = 4096

ASCII_CHARS = "".join(chr(code) for code in range(0x20, 0x7F)) + "\n"
JAPANESE_CHARS = ("あいうえおかきくけこさしすせそたちつてとなにぬねのはひふへほまみむめもやゆよらりるれろわをん"
                  "アイウエオカキクケコサシスセソタチツテトナニヌネノハヒフヘホマミムメモヤユヨラリルレロワヲン"
                  "日本語文字列貼付送信受信時間速度記憶画面接続切断転送確認設定番号")
JAPANESE_MIX = JAPANESE_CHARS * 4 + "、。「」ー・ 0123456789abc\n"

# Every byte value maps to a printable character or a line break (never 0).
_PRINTABLE_TABLE = bytes(ASCII_CHARS.encode("ascii")[value % len(ASCII_CHARS)] for value in range(256))


class TextMaker:

    def __init__(self, seed=Seed):
        self._random = random.Random(seed)
        self._serial = 0

    def _prefix(self):
        self._serial += 1
        return "#%d " % self._serial

    def latency_text(self, japanese=False):
        """Between LatencyTextMinBytes and LatencyTextMaxBytes bytes (roughly, for Japanese)."""
        size = self._random.randint(LatencyTextMinBytes, LatencyTextMaxBytes)
        if japanese:
            # Three bytes a character in UTF-8, give or take the ASCII ones.
            body = "".join(self._random.choices(JAPANESE_MIX, k=size // 3))
        else:
            body = "".join(self._random.choices(ASCII_CHARS, k=size))
        return (self._prefix() + body).encode("utf-8")

    def digit_text(self):
        """A short text that begins with digits, as a copied number or a
        dated title does: its first bytes read like a continued length."""
        self._serial += 1
        digits = "".join(self._random.choices("0123456789", k=self._random.randint(1, 8)))
        tail = self._random.choice(("", " report", " 年度", "-555-0100"))
        # The serial's fixed width keeps every text apart from the others.
        return ("%05d%s%s" % (self._serial, digits, tail)).encode("utf-8")

    def large_text(self, size):
        """Exactly `size` bytes of printable ASCII and line breaks."""
        prefix = self._prefix().encode("ascii")
        return prefix + os.urandom(size - len(prefix)).translate(_PRINTABLE_TABLE)
