"""The program in a Wayland session: weston with XWayland, and native Wayland
clients (wl-copy, wl-paste) on the clipboard.

Each session is a weston of its own on a private Xvfb (weston's x11 backend
gives it a seat, which the clipboard needs; nothing shows on a screen), with
its own Wayland socket and XWayland display: two sessions are two separate
clipboards. The program runs with WAYLAND_DISPLAY and DISPLAY set and
QT_QPA_PLATFORM unset, as a desktop starts it, with Qt's Wayland plugin
installed."""

import glob
import re
import shutil
import subprocess
import unittest
from pathlib import Path

from display import Display
from harness import E2ETestCase
from peer import free_port, wait_listening
from program import SETTINGS_FILE
from waiting import wait_until

WestonStartTimeoutS = 30
# A loaded machine runs two compositors and two programs here.
SyncTimeoutS = 30
NativeEnvironment = {"QT_QPA_PLATFORM": None}

SESSION_TOOLS = ("weston", "Xwayland", "wl-copy", "wl-paste", "weston-flower")
# Qt's Wayland plugin, which Qt would pick in a Wayland session if left to it.
QT_WAYLAND_PLUGIN = "/usr/lib/*/qt6/plugins/platforms/libqwayland-generic.so"


def established(port):
    """True while a TCP connection to local `port` stands (IPv4)."""
    with open("/proc/net/tcp") as table:
        next(table)
        return any(fields[3] == "01" and int(fields[1].split(":")[1], 16) == port
                   for fields in (line.split() for line in table))


class WestonSession(Display):
    """A Wayland session on its own Xvfb; tool(), spawn() and windows() work
    in the session (its XWayland display, when there is one)."""

    SocketName = "wayland-tessaro"

    def __init__(self, workdir, xwayland=True):
        super().__init__(workdir)
        self.weston_log = Path(workdir) / ("weston-%s.log" % self.runtime_dir.name)
        argv = ["weston", "--backend=x11-backend.so", "--use-pixman", "--socket=" + self.SocketName,
                "--idle-time=0", "--width=1024", "--height=768", "--log=%s" % self.weston_log]
        if xwayland:
            argv.append("--xwayland")
        weston = self.spawn(argv)
        socket = self.runtime_dir / self.SocketName

        def ready():
            if weston.poll() is not None:
                raise AssertionError("weston exited with %d: %s" % (weston.returncode, self.log_text()))
            return socket.exists() and (not xwayland or self.xwayland_display())
        wait_until(ready, WestonStartTimeoutS, message=lambda: "weston to start: " + self.log_text())

        self.env = dict(self.env, WAYLAND_DISPLAY=self.SocketName)
        if xwayland:
            self.name = self.env["DISPLAY"] = self.xwayland_display()
        else:
            self.env.pop("DISPLAY")

    def log_text(self):
        return self.weston_log.read_text(errors="replace") if self.weston_log.exists() else ""

    def xwayland_display(self):
        match = re.search(r"xserver listening on display (:\d+)", self.log_text())
        return match.group(1) if match else None

    def wl_copy(self, data):
        """A native client owns the selection with `data` until replaced."""
        process = self.spawn(["wl-copy", "--foreground"], stdin=subprocess.PIPE)
        process.stdin.write(data)
        process.stdin.close()
        wait_until(lambda: self.wl_paste() == data, message="wl-copy to own the selection")

    def wl_paste(self):
        result = self.tool("wl-paste", "--no-newline", check=False)
        return result.stdout if result.returncode == 0 else None

    def hold_focus(self):
        """A native window that takes the keyboard focus and keeps it."""
        self.spawn(["weston-flower"])

    def x_focus(self):
        result = self.tool("xdotool", "getwindowfocus", check=False)
        return int(result.stdout) if result.returncode == 0 and result.stdout.strip() else 0


class WaylandSessionTest(E2ETestCase):

    def setUp(self):
        super().setUp()
        missing = [tool for tool in SESSION_TOOLS if shutil.which(tool) is None]
        if not glob.glob(QT_WAYLAND_PLUGIN):
            missing.append("Qt's Wayland plugin (qt6-wayland)")
        if missing:
            self.fail("missing (tools/test.sh installs them): " + ", ".join(missing))

    def start_session(self, xwayland=True):
        session = WestonSession(self.workdir, xwayland)
        self.addCleanup(session.stop)
        return session

    def test_two_copies_sync_with_native_wayland_clients_both_ways_while_unfocused(self):
        sessions = [self.start_session(), self.start_session()]
        port = free_port()
        server = self.start_program(sessions[0], "/port:%d" % port, "/server", env=NativeEnvironment)
        wait_listening(port)
        client = self.start_program(sessions[1], "/addr:127.0.0.1", "/port:%d" % port, "/client",
                                    env=NativeEnvironment)
        # Found on the XWayland display: the program chose Qt's xcb plugin.
        windows = [program.main_window() for program in (server, client)]
        wait_until(lambda: established(port), message="the client's connection")
        for session in sessions:
            session.hold_focus()

        for source, target, text in ((0, 1, b"copied in the first session"),
                                     (1, 0, "copied in the second session, grüße".encode()),
                                     (0, 1, b"and back again")):
            with self.subTest(text=text):
                sessions[source].wl_copy(text)
                wait_until(lambda: sessions[target].wl_paste() == text, SyncTimeoutS, interval=0.2,
                           message="the text in the other session")
                for session, window in zip(sessions, windows):
                    self.assertNotEqual(session.x_focus(), window.id, "a program window has the focus")
        # Nothing on the console either (Qt's warnings included).
        self.assertEqual([server.output(), client.output()], ["", ""])

    def test_wayland_session_without_xwayland_is_refused_with_exit_code_2(self):
        session = self.start_session(xwayland=False)
        program = self.start_program(session, env=NativeEnvironment)
        self.assert_exit_code(program, 2)
        lines = program.output().splitlines()
        self.assertEqual(len(lines), 1, lines)
        self.assertIn("XWayland", lines[0])
        self.assertFalse((program.dir / SETTINGS_FILE).exists())


if __name__ == "__main__":
    unittest.main()
