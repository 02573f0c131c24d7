"""Private virtual displays: one Xvfb server each, a desktop session with its
own clipboard, driven with xclip, xdotool and xwininfo.

Display
    name (":N"), env, runtime_dir
    set_clipboard(data, target="UTF8_STRING") -> the xclip process
        xclip owns CLIPBOARD with exactly these bytes (binary-safe) until
        something else takes it (it then exits); returns once the X server
        has the new owner.
    own_clipboard(*answers) -> the test owner's process
        Owns CLIPBOARD answering as told ("UTF8_STRING=refuse",
        "UTF8_STRING=INTEGER:x", "x-kde-passwordManagerHint=x-kde-passwordManagerHint:secret").
    get_clipboard(target="UTF8_STRING") -> bytes, or None when nobody owns the
        clipboard or the owner does not offer the target
    clipboard_targets() -> list of target names, or None
    clipboard_owner() / selection_owner(name) -> window id, 0 for none
    windows(name=None, pid=None, visible_only=False) -> window ids
    window_info(id) -> dict with root, parent, viewable, x, y, width, height
    start_tray(); tool(*argv) runs an X tool on this display; spawn(argv)
        starts a helper process that stops with the display

XConnection: a minimal X11 protocol client that tells who owns a selection.
"""

import os
import re
import select
import socket
import struct
import subprocess
import tempfile
import time
from pathlib import Path

from waiting import DefaultWaitS, wait_until

REPO_ROOT = Path(__file__).resolve().parents[2]

# What a Display drives; a test that lacks one fails.
REQUIRED_TOOLS = ("Xvfb", "xclip", "xdotool", "xwininfo")

XvfbStartTimeoutS = 10
ToolTimeoutS = 10
StopTimeoutS = 10


def clipboard_owner_source():
    """The test owner that answers as told (tests/e2e/owner): $TESSARO_CLIPBOARD_OWNER,
    else beside the README's build."""
    configured = os.environ.get("TESSARO_CLIPBOARD_OWNER")
    return Path(configured) if configured else REPO_ROOT / "build" / "tests" / "e2e" / "clipboard_owner"


def _regex_literal(text):
    """`text` as a POSIX extended regular expression that matches only itself."""
    return re.sub(r"([.^$*+?()\[\]{}|\\])", r"\\\1", text)


class ToolError(RuntimeError):
    pass


def _run_tool(argv, env, input_bytes=None, timeout=ToolTimeoutS, check=True):
    result = subprocess.run(argv, env=env, input=input_bytes, stdin=None if input_bytes is not None
                            else subprocess.DEVNULL, capture_output=True, timeout=timeout)
    if check and result.returncode != 0:
        raise ToolError("%s exited with %d: %s" % (" ".join(argv), result.returncode,
                                                   result.stderr.decode(errors="replace").strip()))
    return result


def _stop_process(process, timeout=StopTimeoutS):
    """Ends a child by its PID: SIGTERM, then SIGKILL if it lingers."""
    if process.poll() is None:
        process.terminate()
        try:
            process.wait(timeout=timeout)
        except subprocess.TimeoutExpired:
            process.kill()
            process.wait()


class XConnection:
    """A minimal X11 protocol client for what the tools cannot tell: who owns
    a selection. Xvfb started without -auth needs no authorisation."""

    def __init__(self, display_number):
        self.sock = socket.socket(socket.AF_UNIX, socket.SOCK_STREAM)
        self.sock.settimeout(ToolTimeoutS)
        path = "/tmp/.X11-unix/X%d" % display_number
        try:
            self.sock.connect(path)
        except OSError:
            self.sock.connect("\0" + path)
        self.sock.sendall(struct.pack("<BxHHHHxx", 0x6C, 11, 0, 0, 0))
        head = self._read(8)
        extra = self._read(struct.unpack_from("<H", head, 6)[0] * 4)
        if head[0] != 1:
            raise ToolError("X server refused the connection: %r" % extra[:head[1]])
        self._atoms = {}

    def close(self):
        self.sock.close()

    def _read(self, count):
        data = b""
        while len(data) < count:
            chunk = self.sock.recv(count - len(data))
            if not chunk:
                raise ToolError("X server closed the connection")
            data += chunk
        return data

    def _request(self, data):
        self.sock.sendall(data)
        while True:
            reply = self._read(32)
            if reply[0] == 0:
                raise ToolError("X error %d for request %d" % (reply[1], data[0]))
            if reply[0] == 1:
                return reply + self._read(struct.unpack_from("<I", reply, 4)[0] * 4)
            # An event: nothing here selects any, but skip it all the same.

    def atom(self, name):
        if name not in self._atoms:
            raw = name.encode("ascii")
            pad = (4 - len(raw) % 4) % 4
            request = struct.pack("<BBHHxx", 16, 0, 2 + (len(raw) + pad) // 4, len(raw)) + raw + b"\0" * pad
            self._atoms[name] = struct.unpack_from("<I", self._request(request), 8)[0]
        return self._atoms[name]

    def selection_owner(self, name):
        reply = self._request(struct.pack("<BxHI", 23, 2, self.atom(name)))
        return struct.unpack_from("<I", reply, 8)[0]


class Display:
    """One Xvfb server: a desktop session with its own clipboard."""

    def __init__(self, workdir):
        self.runtime_dir = Path(tempfile.mkdtemp(prefix="runtime-", dir=workdir))
        os.chmod(self.runtime_dir, 0o700)
        self._log = open(Path(workdir) / ("xvfb-%s.log" % self.runtime_dir.name), "wb")
        self._helpers = []
        read_end, write_end = os.pipe()
        try:
            self.xvfb = subprocess.Popen(
                ["Xvfb", "-displayfd", str(write_end), "-screen", "0", "1024x768x24", "-nolisten", "tcp"],
                pass_fds=(write_end,), stdin=subprocess.DEVNULL, stdout=self._log, stderr=self._log,
                start_new_session=True)
            os.close(write_end)
            write_end = -1
            self.number = self._read_display_number(read_end)
        finally:
            os.close(read_end)
            if write_end >= 0:
                os.close(write_end)
        self.name = ":%d" % self.number
        self.env = dict(os.environ, DISPLAY=self.name, XDG_RUNTIME_DIR=str(self.runtime_dir))
        self.env.pop("WAYLAND_DISPLAY", None)
        self.env.pop("XAUTHORITY", None)
        self._x = XConnection(self.number)

    def _read_display_number(self, fd):
        deadline = time.monotonic() + XvfbStartTimeoutS
        text = b""
        while not text.endswith(b"\n"):
            left = deadline - time.monotonic()
            if left <= 0 or self.xvfb.poll() is not None:
                self.stop()
                raise ToolError("Xvfb did not start (see %s)" % self._log.name)
            if select.select([fd], [], [], left)[0]:
                chunk = os.read(fd, 64)
                if not chunk:
                    self.stop()
                    raise ToolError("Xvfb closed its display fd (see %s)" % self._log.name)
                text += chunk
        return int(text)

    def stop(self):
        for helper in reversed(self._helpers):
            _stop_process(helper)
        self._helpers.clear()
        if getattr(self, "_x", None):
            self._x.close()
            self._x = None
        _stop_process(self.xvfb)
        self._log.close()

    def tool(self, *argv, input_bytes=None, timeout=ToolTimeoutS, check=True):
        """Runs an X tool on this display; returns the CompletedProcess."""
        return _run_tool(list(argv), self.env, input_bytes, timeout, check)

    def spawn(self, argv, **kwargs):
        """Starts a helper process on this display; it is stopped with it."""
        process = subprocess.Popen(argv, env=self.env, stdin=kwargs.pop("stdin", subprocess.DEVNULL),
                                   stdout=kwargs.pop("stdout", subprocess.DEVNULL),
                                   stderr=kwargs.pop("stderr", subprocess.DEVNULL),
                                   start_new_session=True, **kwargs)
        self._helpers.append(process)
        return process

    # Selections

    def selection_owner(self, name):
        return self._x.selection_owner(name)

    def clipboard_owner(self):
        return self.selection_owner("CLIPBOARD")

    def set_clipboard(self, data, target="UTF8_STRING", timeout=DefaultWaitS):
        """Makes an xclip process own CLIPBOARD with `data` offered as `target`
        and returns it (a Popen).

        It serves requests until another client takes the clipboard (it then
        exits by itself) or the display stops."""
        previous = self.clipboard_owner()
        process = self.spawn(["xclip", "-selection", "clipboard", "-i", "-quiet", "-t", target],
                             stdin=subprocess.PIPE)
        process.stdin.write(bytes(data))
        process.stdin.close()

        def owned():
            if process.poll() is not None:
                raise ToolError("xclip exited with %d before owning the clipboard" % process.returncode)
            owner = self.clipboard_owner()
            return owner != 0 and owner != previous
        wait_until(owned, timeout, message="xclip to own the clipboard")
        return process

    def own_clipboard(self, *answers, timeout=DefaultWaitS):
        """Makes the test owner own CLIPBOARD, answering each target as told:
        "TARGET=TYPE:BYTES" or "TARGET=refuse" (TARGETS lists them all).
        Returns the process once it owns the clipboard."""
        source = clipboard_owner_source()
        if not source.is_file():
            raise ToolError("no test clipboard owner at %s (set TESSARO_CLIPBOARD_OWNER)" % source)
        process = self.spawn([str(source)] + list(answers), stdout=subprocess.PIPE)
        if process.stdout.readline() != b"owned\n":
            raise ToolError("the test clipboard owner could not own the clipboard")
        return process

    def get_clipboard(self, target="UTF8_STRING", timeout=ToolTimeoutS):
        result = self.tool("xclip", "-selection", "clipboard", "-o", "-t", target, timeout=timeout,
                           check=False)
        return result.stdout if result.returncode == 0 else None

    def clipboard_targets(self):
        targets = self.get_clipboard("TARGETS")
        return None if targets is None else targets.decode("ascii", "replace").split()

    # Windows

    def windows(self, name=None, pid=None, visible_only=False):
        """Top-level windows matching all the given filters; `name` is an exact title."""
        argv = ["xdotool", "search", "--all"]
        if visible_only:
            argv.append("--onlyvisible")
        if pid is not None:
            argv += ["--pid", str(pid)]
        if name is not None or pid is None:
            argv += ["--name", "^%s$" % _regex_literal(name) if name is not None else ""]
        result = self.tool(*argv, check=False)
        return [int(line) for line in result.stdout.split()]

    def window_info(self, window_id):
        """Where a window is and how: {"root", "parent", "viewable", "x", "y",
        "width", "height"} (x and y on the screen), or None once it is gone."""
        result = self.tool("xwininfo", "-children", "-stats", "-id", str(window_id), check=False)
        if result.returncode != 0:
            return None
        text = result.stdout.decode(errors="replace")

        def field(pattern, convert=int):
            match = re.search(pattern, text, re.MULTILINE)
            return convert(match.group(1)) if match else None
        return {"root": field(r"Root window id: (0x[0-9a-f]+)", lambda v: int(v, 16)),
                "parent": field(r"Parent window id: (0x[0-9a-f]+)", lambda v: int(v, 16)),
                "viewable": "Map State: IsViewable" in text,
                "x": field(r"Absolute upper-left X:\s+(-?\d+)"),
                "y": field(r"Absolute upper-left Y:\s+(-?\d+)"),
                "width": field(r"^\s*Width:\s+(\d+)"),
                "height": field(r"^\s*Height:\s+(\d+)")}

    def is_viewable(self, window_id):
        info = self.window_info(window_id)
        return bool(info and info["viewable"])

    # Notification area

    def start_tray(self, timeout=DefaultWaitS):
        """Runs trayer on this display and waits until it owns the tray."""
        process = self.spawn(["trayer", "--edge", "top", "--align", "right", "--widthtype", "request",
                              "--height", "24", "--SetDockType", "true"])
        wait_until(lambda: self.selection_owner("_NET_SYSTEM_TRAY_S%d" % 0) != 0 or process.poll() is not None,
                   timeout, message="trayer to own the notification area")
        if process.poll() is not None:
            raise ToolError("trayer exited with %d" % process.returncode)
        return process
