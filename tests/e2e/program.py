"""The program under test: private installations of it, its runs, and its
windows on a Display.

Installation
    dir, exe, settings_path; write_settings(data); settings() -> bytes or None

Program
    pid, dir, exe, settings_path, installation
    wait_exit(timeout) -> returncode (fails the test at the deadline)
    poll() -> returncode or None; returncode; running
    terminate(), kill() (as a crash would), send_signal(sig)
    output() -> what the program wrote to stdout and stderr
    main_window(timeout) -> Window (its visible window titled WINDOW_TITLE)
    windows(visible_only=False) -> ids of all its windows
    tray_icon(timeout) -> Window: its icon, embedded in the notification area
                          (needs a display with a tray)
    settings() -> bytes of mowkin.ini, or None when there is none
    finish() -> the clean-up's check of how the run ended

Window
    click(control, button=1)    control: a name from CONTROLS ("Button6") or an
                                (x, y) point in the client area
    click_center(button=1)      clicks the middle of the window
    type_into(control, text)    replaces an edit box's text by typing
    is_viewable()               mapped and visible on the screen
    info()                      see Display.window_info
"""

import os
import shutil
import signal
import subprocess
import tempfile
from pathlib import Path

from display import REPO_ROOT
from waiting import DefaultWaitS, wait_until

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

ProgramKillTimeoutS = 10


def program_source():
    """The program under test: $TESSARO_BIN, else the README's build."""
    configured = os.environ.get("TESSARO_BIN")
    return Path(configured) if configured else REPO_ROOT / "build" / "tessaro"


_program_bytes = {}


def program_contains(marker):
    """True if the program's executable holds the byte string `marker`."""
    path = program_source()
    if path not in _program_bytes:
        _program_bytes[path] = path.read_bytes() if path.is_file() else b""
    return marker in _program_bytes[path]


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

    def __init__(self, display, installation, args, env=None, user=None, prefix=()):
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
            self.process = subprocess.Popen(list(prefix) + [str(self.exe)] + self.args, cwd=self.dir.parent,
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
