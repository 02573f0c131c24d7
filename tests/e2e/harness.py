"""End-to-end harness: the built program on private virtual displays.

Each test gets its own X servers (Xvfb), each one a separate desktop session
with its own clipboard, and its own copies of the program, each in a private
folder (the settings file mowkin.ini lives beside the executable). Everything a
test starts is stopped by PID when the test ends, pass or fail. A program still
running then gets SIGTERM and must end with code 0, as must one that ended by
itself unobserved, so a crash or a sanitizer report anywhere fails the test.
Python 3 standard library only; the X side uses Xvfb, xclip and xdotool.

Writing a test
--------------
Derive from E2ETestCase and use its factory methods; each registers its own
clean-up::

    class StartupTest(E2ETestCase):
        def test_exit_button_ends_with_code_0(self):
            display = self.start_display()
            program = self.start_program(display)
            program.main_window().click("Button6")
            self.assert_exit_code(program, 0)

E2ETestCase
    start_display(tray=False) -> Display
        A new Xvfb (1024x768x24, no TCP) with its own 0700 XDG_RUNTIME_DIR.
        tray=True also starts trayer (a notification area) and waits until it
        owns the tray selection.
    install_program(settings=None) -> Installation
        A private folder holding a copy of the program; `settings` (bytes) is
        written there as mowkin.ini first. Start several runs from one
        installation to keep the settings file between them.
    start_program(display, *args, installation=None, settings=None, env=None, user=None)
        -> Program
        Runs the copy with DISPLAY and XDG_RUNTIME_DIR of `display`, the given
        arguments (e.g. "/addr:127.0.0.1", "/port:%d" % port, "/server") and
        any extra environment (a value of None removes the variable; Qt's
        platform is xcb unless removed). A fresh installation is made unless
        one is given. `user` (a uid, needs root) runs it as that user.
    peer_listener() -> PeerListener      a loopback listener for "/client" runs
    connect_peer(port, timeout) -> ScriptedPeer   connects to a "/server" run
    assert_exit_code(program, code, timeout)
        Waits for the end and checks the exit code, showing the program's
        output (sanitizer reports included) when it differs.

Program
    pid, dir, exe, settings_path, installation
    wait_exit(timeout) -> returncode (fails the test at the deadline)
    poll() -> returncode or None; returncode; running
    terminate(), kill() (as a crash would), send_signal(sig)
    output() -> what the program wrote to stdout and stderr
    main_window(timeout) -> Window (its visible window titled WINDOW_TITLE)
    windows(visible_only=False) -> ids of all its windows
    tray_icon(timeout) -> Window: its icon, embedded in the notification area
                          (needs start_display(tray=True))
    settings() -> bytes of mowkin.ini, or None when there is none

Window
    click(control, button=1)    control: a name from CONTROLS ("Button6") or an
                                (x, y) point in the client area
    click_center(button=1)      clicks the middle of the window
    type_into(control, text)    replaces an edit box's text by typing
    is_viewable()               mapped and visible on the screen
    info()                      see Display.window_info

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
    start_tray(); tool(*argv) runs an X tool on this display

ScriptedPeer (one TCP connection, loopback only, no threads)
    send_raw(data)                  one send
    send_transfer(text)             the length digits in one send, then, once
                                    the program has read them, the text
    wait_drained(timeout)           until the program has read all we sent
    program_unread_bytes()          bytes still in the program's receive queue
    expect_transfer(text, timeout)  reads one framed text and checks it
    wait_received(count, timeout)   until `count` bytes in total have come
    received (bytearray), bytes_received, take(count)
    assert_quiet(seconds)           nothing arrives for that long (only for
                                    checking that something does NOT happen)
    wait_closed(timeout)            until the program closes the connection
    close(), reset() (closes with RST)

Helpers: wait_until(condition, timeout, interval, message), holds_for(condition,
seconds) (for checking that something does NOT happen), free_port(),
listening(port) and wait_listening(port, timeout) (start a "/client" copy only
once its server listens: a refused first attempt is not retried),
frame(text) (the bytes of one transfer).

Never sleep a fixed time to wait for something: poll with wait_until.
A missing tool (Xvfb, xclip, xdotool, xwininfo) or a missing program fails
the test: nothing here skips.
"""

import os
import re
import select
import shutil
import signal
import socket
import struct
import subprocess
import tempfile
import time
import unittest
from pathlib import Path

REPO_ROOT = Path(__file__).resolve().parents[2]

WINDOW_TITLE = "Tessaro II  Standard v2.0"
SETTINGS_FILE = "mowkin.ini"

# Controls as left, top, width, height in the main window's client area
# (controls inside a group box already offset by the box's position).
CONTROLS = {
    "Button3": (16, 32, 75, 25),    # ONLINE
    "Button4": (16, 64, 75, 25),    # OFFLINE, inside GroupBox1 at 8,8
    "Button1": (116, 32, 75, 25),   # Connect
    "Button2": (196, 32, 75, 25),   # Disconnect
    "Edit1": (174, 68, 95, 20),     # peer address
    "Edit2": (328, 35, 49, 20),     # port
    "Button5": (298, 9, 41, 20),    # hide
    "Button6": (344, 8, 41, 21),    # Exit
}

# For the sanitizer build: leaks in system libraries that are not ours.
LEAK_SUPPRESSIONS = Path(__file__).resolve().parent / "lsan.supp"

REQUIRED_TOOLS = ("Xvfb", "xclip", "xdotool", "xwininfo")

XvfbStartTimeoutS = 10
ToolTimeoutS = 10
DefaultWaitS = 10
PollIntervalS = 0.05
ProgramKillTimeoutS = 10


def wait_until(condition, timeout=DefaultWaitS, interval=PollIntervalS, message=None):
    """Calls `condition` until it returns something true; returns that value.

    Raises AssertionError at the deadline, naming `message` (a text or a
    function giving one) and the condition's last value."""
    deadline = time.monotonic() + timeout
    while True:
        value = condition()
        if value:
            return value
        if time.monotonic() >= deadline:
            text = message() if callable(message) else message
            raise AssertionError("timed out after %.1f s waiting for %s (last value %r)"
                                 % (timeout, text or getattr(condition, "__name__", "condition"), value))
        time.sleep(interval)


def holds_for(condition, seconds, interval=PollIntervalS, message=None):
    """Checks that `condition` stays true for `seconds`; for asserting that
    something does NOT happen, never for waiting on something that should."""
    deadline = time.monotonic() + seconds
    while True:
        if not condition():
            text = message() if callable(message) else message
            raise AssertionError("%s stopped holding" % (text or getattr(condition, "__name__", "condition")))
        if time.monotonic() >= deadline:
            return
        time.sleep(interval)


def free_port():
    """A TCP port on 127.0.0.1 that nothing listens on at this moment."""
    with socket.socket(socket.AF_INET, socket.SOCK_STREAM) as s:
        s.bind(("127.0.0.1", 0))
        return s.getsockname()[1]


def listening(port):
    """True while some socket on this machine listens on TCP `port` (IPv4)."""
    with open("/proc/net/tcp") as table:
        next(table)
        for line in table:
            fields = line.split()
            if fields[3] == "0A" and int(fields[1].split(":")[1], 16) == port:
                return True
    return False


def wait_listening(port, timeout=DefaultWaitS):
    """Waits until the program's server listens on `port`, without
    connecting (a probe connection would take the server's one peer slot)."""
    wait_until(lambda: listening(port), timeout, message="a listener on port %d" % port)


def frame(text):
    """The bytes of one transfer of `text`: its decimal length, then itself."""
    return str(len(text)).encode("ascii") + bytes(text)


def program_source():
    """The program under test: $TESSARO_BIN, else the README's build."""
    configured = os.environ.get("TESSARO_BIN")
    return Path(configured) if configured else REPO_ROOT / "build" / "tessaro"


def clipboard_owner_source():
    """The test owner that answers as told (tests/e2e/owner): $TESSARO_CLIPBOARD_OWNER,
    else beside the README's build."""
    configured = os.environ.get("TESSARO_CLIPBOARD_OWNER")
    return Path(configured) if configured else REPO_ROOT / "build" / "tests" / "e2e" / "clipboard_owner"


_program_bytes = {}


def program_contains(marker):
    """True if the program's executable holds the byte string `marker`."""
    path = program_source()
    if path not in _program_bytes:
        _program_bytes[path] = path.read_bytes() if path.is_file() else b""
    return marker in _program_bytes[path]


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


def _stop_process(process, timeout=ProgramKillTimeoutS):
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


class Installation:
    """A private folder with a copy of the program (its settings live there)."""

    def __init__(self, workdir, source):
        self.dir = Path(tempfile.mkdtemp(prefix="program-", dir=workdir))
        self.exe = self.dir / "tessaro"
        shutil.copy2(source, self.exe)
        self.settings_path = self.dir / SETTINGS_FILE

    def write_settings(self, data):
        self.settings_path.write_bytes(bytes(data))

    def settings(self):
        return self.settings_path.read_bytes() if self.settings_path.exists() else None


class Window:
    """A top-level window of the program on one display."""

    def __init__(self, display, window_id):
        self.display = display
        self.id = window_id

    def _point(self, control):
        if isinstance(control, str):
            left, top, width, height = CONTROLS[control]
            return left + width // 2, top + height // 2
        return control

    def click(self, control, button=1):
        x, y = self._point(control)
        self.display.tool("xdotool", "mousemove", "--window", str(self.id), str(x), str(y),
                          "click", str(button))

    def type_into(self, control, text):
        """Focuses an edit box by clicking it, selects its text and types over it."""
        self.click(control)
        self.display.tool("xdotool", "key", "--clearmodifiers", "ctrl+a", "BackSpace")
        if text:
            self.display.tool("xdotool", "type", "--clearmodifiers", "--delay", "5", "--", text)

    def click_center(self, button=1):
        """Clicks the middle of the window (a tray icon, say)."""
        info = self.info()
        self.click((info["width"] // 2, info["height"] // 2), button)

    def info(self):
        return self.display.window_info(self.id)

    def is_viewable(self):
        return self.display.is_viewable(self.id)


class Program:
    """One run of the program; ended by PID when the test ends."""

    def __init__(self, display, installation, args, env=None, user=None):
        self.display = display
        self.installation = installation
        self.dir = installation.dir
        self.exe = installation.exe
        self.settings_path = installation.settings_path
        self.args = list(args)
        # Set once a test has looked at how the program ended (or ended it
        # by force); the clean-up checks every other ending.
        self.ending_seen = False
        self.log_path = Path(tempfile.mkstemp(prefix="output-", suffix=".log", dir=self.dir.parent)[1])
        environment = dict(display.env, QT_QPA_PLATFORM="xcb")
        leak_options = "suppressions=%s:print_suppressions=0" % LEAK_SUPPRESSIONS
        environment["LSAN_OPTIONS"] = ":".join(filter(None, (environment.get("LSAN_OPTIONS"), leak_options)))
        for name, value in (env or {}).items():
            if value is None:
                environment.pop(name, None)
            else:
                environment[name] = value
        as_user = {} if user is None else {"user": user, "group": user, "extra_groups": []}
        with open(self.log_path, "wb") as log:
            self.process = subprocess.Popen([str(self.exe)] + self.args, cwd=self.dir.parent,
                                            env=environment, stdin=subprocess.DEVNULL,
                                            stdout=log, stderr=subprocess.STDOUT, start_new_session=True,
                                            **as_user)
        self.pid = self.process.pid

    @property
    def returncode(self):
        return self.process.returncode

    @property
    def running(self):
        return self.process.poll() is None

    def poll(self):
        return self.process.poll()

    def wait_exit(self, timeout=DefaultWaitS):
        try:
            returncode = self.process.wait(timeout=timeout)
            self.ending_seen = True
            return returncode
        except subprocess.TimeoutExpired:
            raise AssertionError("the program (pid %d) still runs after %.1f s; its output:\n%s"
                                 % (self.pid, timeout, self.output())) from None

    def send_signal(self, sig):
        if self.running:
            self.process.send_signal(sig)

    def terminate(self):
        self.send_signal(signal.SIGTERM)

    def kill(self):
        """Ends the program by SIGKILL, as a crash would."""
        self.ending_seen = True
        if self.running:
            self.process.kill()
            self.process.wait()

    def finish(self):
        """The clean-up's end: a program still running gets SIGTERM (the
        session's end: it quits without saving); a program that ended on its
        own without the test looking must have ended with code 0. Either way a
        sanitizer build's report at exit fails the test."""
        if self.running:
            self.terminate()
            try:
                self.process.wait(timeout=ProgramKillTimeoutS)
            except subprocess.TimeoutExpired:
                self.kill()
                raise AssertionError("the program did not end on SIGTERM; its output:\n%s" % self.output())
        elif self.ending_seen:
            return
        self.ending_seen = True
        if self.returncode != 0:
            raise AssertionError("the program ended with code %s; its output:\n%s"
                                 % (self.returncode, self.output()))

    def output(self):
        return self.log_path.read_bytes().decode(errors="replace")

    def settings(self):
        return self.installation.settings()

    def windows(self, visible_only=False):
        return self.display.windows(pid=self.pid, visible_only=visible_only)

    def main_window(self, timeout=DefaultWaitS):
        def found():
            if not self.running:
                raise AssertionError("the program exited with %s before showing its window; its output:\n%s"
                                     % (self.returncode, self.output()))
            ids = self.display.windows(name=WINDOW_TITLE, pid=self.pid, visible_only=True)
            return ids[0] if ids else None
        return Window(self.display, wait_until(found, timeout, message="the main window"))

    def tray_icon(self, timeout=DefaultWaitS):
        """The program's icon, once a notification area has embedded it."""
        def embedded():
            for window_id in self.display.windows(pid=self.pid):
                info = self.display.window_info(window_id)
                if info and info["viewable"] and info["parent"] != info["root"]:
                    return window_id
            return None
        return Window(self.display, wait_until(embedded, timeout, message="the icon in the notification area"))


def _tcp_hex(address):
    """An IPv4 (host, port) as /proc/net/tcp writes it."""
    host, port = address
    return "%08X:%04X" % (struct.unpack("<I", socket.inet_aton(host))[0], port)


class ScriptedPeer:
    """The far end of one TCP connection with the program, driven step by step."""

    def __init__(self, sock):
        self.sock = sock
        self.sock.setblocking(False)
        self.received = bytearray()
        self.bytes_received = 0
        self.eof = False
        self.local = sock.getsockname()
        self.remote = sock.getpeername()

    def close(self):
        self.sock.close()

    def reset(self):
        """Closes the connection with a reset (RST) instead of an orderly FIN."""
        self.sock.setsockopt(socket.SOL_SOCKET, socket.SO_LINGER, struct.pack("ii", 1, 0))
        self.sock.close()

    # Sending

    def send_raw(self, data):
        """Hands `data` to the kernel in one send (loopback takes it whole)."""
        data = bytes(data)
        self.sock.setblocking(True)
        try:
            self.sock.sendall(data)
        finally:
            self.sock.setblocking(False)

    def send_transfer(self, text, timeout=DefaultWaitS):
        """Sends one transfer as the program expects it: the length digits in
        one send, then, once the program has read them, the text."""
        self.send_raw(str(len(text)).encode("ascii"))
        self.wait_drained(timeout)
        if text:
            self.send_raw(text)

    def program_unread_bytes(self):
        """Bytes we sent that wait unread in the program's receive queue."""
        wanted = (_tcp_hex(self.remote), _tcp_hex(self.local))
        with open("/proc/net/tcp") as table:
            next(table)
            for line in table:
                fields = line.split()
                if (fields[1], fields[2]) == wanted:
                    return int(fields[4].split(":")[1], 16)
        return 0

    def wait_drained(self, timeout=DefaultWaitS):
        wait_until(lambda: self.program_unread_bytes() == 0, timeout,
                   message="the program to read what the peer sent")

    # Receiving

    def _pump(self, wait_s):
        """Reads what has arrived, waiting up to `wait_s` for the first byte."""
        if self.eof:
            return False
        if not select.select([self.sock], [], [], max(wait_s, 0))[0]:
            return False
        try:
            chunk = self.sock.recv(65536)
        except (BlockingIOError, InterruptedError):
            return False
        except ConnectionResetError:
            chunk = b""
        if not chunk:
            self.eof = True
            return False
        self.received += chunk
        self.bytes_received += len(chunk)
        return True

    def _pump_until(self, condition, timeout, message):
        deadline = time.monotonic() + timeout
        while not condition():
            left = deadline - time.monotonic()
            if left <= 0 or (self.eof and not condition()):
                raise AssertionError("%s: %s; received so far %d bytes: %r"
                                     % ("connection closed" if self.eof else "timed out", message,
                                        len(self.received), bytes(self.received[:200])))
            self._pump(min(left, 0.5))

    def wait_received(self, count, timeout=DefaultWaitS):
        """Waits until `count` bytes in total have arrived since the start."""
        self._pump_until(lambda: self.bytes_received >= count, timeout, "%d bytes" % count)

    def take(self, count):
        """Removes and returns the first `count` bytes not yet taken."""
        data = bytes(self.received[:count])
        del self.received[:count]
        return data

    def expect_transfer(self, text, timeout=DefaultWaitS):
        """Reads one transfer and checks that it carries exactly `text`."""
        expected = frame(text)
        self._pump_until(lambda: len(self.received) >= len(expected), timeout,
                         "a transfer of %d bytes" % len(bytes(text)))
        got = self.take(len(expected))
        if got != expected:
            raise AssertionError("expected transfer %r, got %r" % (expected[:200], got[:200]))

    def assert_quiet(self, seconds):
        """Checks that nothing arrives (and the connection stays open) for `seconds`."""
        before = self.bytes_received
        deadline = time.monotonic() + seconds
        while time.monotonic() < deadline and not self.eof:
            self._pump(deadline - time.monotonic())
        if self.bytes_received != before:
            raise AssertionError("unexpected bytes from the program: %r" % bytes(self.received[-200:]))

    def wait_closed(self, timeout=DefaultWaitS):
        self._pump_until(lambda: self.eof, timeout, "the program to close the connection")


class PeerListener:
    """A loopback listening socket for the program's client mode to reach."""

    def __init__(self, port=0):
        self.sock = socket.socket(socket.AF_INET, socket.SOCK_STREAM)
        self.sock.setsockopt(socket.SOL_SOCKET, socket.SO_REUSEADDR, 1)
        self.sock.bind(("127.0.0.1", port))
        self.sock.listen(5)
        self.port = self.sock.getsockname()[1]

    def accept(self, timeout=DefaultWaitS):
        if not select.select([self.sock], [], [], timeout)[0]:
            raise AssertionError("no connection from the program within %.1f s" % timeout)
        sock, _ = self.sock.accept()
        return ScriptedPeer(sock)

    def close(self):
        self.sock.close()


def connect_peer(port, timeout=DefaultWaitS):
    """Connects to the program's server on 127.0.0.1, retrying while refused."""
    def attempt():
        sock = socket.socket(socket.AF_INET, socket.SOCK_STREAM)
        try:
            sock.connect(("127.0.0.1", port))
            return sock
        except ConnectionRefusedError:
            sock.close()
            return None
    return ScriptedPeer(wait_until(attempt, timeout, message="the program to listen on port %d" % port))


class E2ETestCase(unittest.TestCase):
    """Base of the end-to-end tests; everything made here is cleaned up."""

    def setUp(self):
        super().setUp()
        missing = [tool for tool in REQUIRED_TOOLS if shutil.which(tool) is None]
        source = program_source()
        if not source.is_file():
            missing.append("the program (%s; set TESSARO_BIN)" % source)
        if missing:
            self.fail("missing: " + ", ".join(missing))
        self.workdir = Path(tempfile.mkdtemp(prefix="tessaro-e2e-"))
        self.addCleanup(shutil.rmtree, self.workdir, ignore_errors=True)

    def assert_exit_code(self, program, code, timeout=DefaultWaitS):
        """Waits for the program to end and checks its exit code; a failure
        shows what the program wrote (sanitizer reports included)."""
        returncode = program.wait_exit(timeout)
        if returncode != code:
            self.fail("exit code %s, expected %s; the program's output:\n%s"
                      % (returncode, code, program.output()))

    def start_display(self, tray=False):
        display = Display(self.workdir)
        self.addCleanup(display.stop)
        if tray:
            display.start_tray()
        return display

    def install_program(self, settings=None):
        installation = Installation(self.workdir, program_source())
        if settings is not None:
            installation.write_settings(settings)
        return installation

    def start_program(self, display, *args, installation=None, settings=None, env=None, user=None):
        if installation is None:
            installation = self.install_program(settings)
        elif settings is not None:
            installation.write_settings(settings)
        program = Program(display, installation, args, env, user)
        self.addCleanup(program.finish)
        return program

    def peer_listener(self, port=0):
        listener = PeerListener(port)
        self.addCleanup(listener.close)
        return listener

    def accept_peer(self, listener, timeout=DefaultWaitS):
        peer = listener.accept(timeout)
        self.addCleanup(peer.close)
        return peer

    def connect_peer(self, port, timeout=DefaultWaitS):
        peer = connect_peer(port, timeout)
        self.addCleanup(peer.close)
        return peer
