"""End-to-end harness: the built program on private virtual displays.

Each test gets its own X servers (Xvfb), each one a separate desktop session
with its own clipboard, and its own copies of the program, each in a private
folder (the settings file mowkin.ini lives beside the executable). Everything a
test starts is stopped by PID when the test ends, pass or fail. A program still
running then gets SIGTERM and must end with code 0, as must one that ended by
itself unobserved, so a crash or a sanitizer report anywhere fails the test.
Python 3 standard library only; the X side uses Xvfb, xclip and xdotool.

The parts, one module each:
    display.py   Display (an Xvfb server, its clipboard and windows), ToolError
    program.py   Installation, Program (one run), Window; WINDOW_TITLE,
                 SETTINGS_FILE, CONTROLS, program_source()
    peer.py      ScriptedPeer, PeerListener, connect_peer(), free_port(),
                 listening(), wait_listening(), frame()
    relay.py     StallingRelay, RelayedPair (a server and a client copy
                 joined through a relay that cuts and stalls), sample_text()
    waiting.py   wait_until(condition, timeout, interval, message) and
                 holds_for(condition, seconds) (for checking that something
                 does NOT happen)

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
    start_program(display, *args, installation=None, settings=None, env=None, user=None, prefix=())
        -> Program
        Runs the copy with DISPLAY and XDG_RUNTIME_DIR of `display`, the given
        arguments (e.g. "/addr:127.0.0.1", "/port:%d" % port, "/server") and
        any extra environment (a value of None removes the variable; Qt's
        platform is xcb unless removed). A fresh installation is made unless
        one is given. `user` (a uid, needs root) runs it as that user; `prefix`
        is a command that execs it (["ip", "netns", "exec", name]).
    peer_listener() -> PeerListener      a loopback listener for "/client" runs
    accept_peer(listener, timeout) -> ScriptedPeer
    connect_peer(port, timeout) -> ScriptedPeer   connects to a "/server" run
    assert_exit_code(program, code, timeout)
        Waits for the end and checks the exit code, showing the program's
        output (sanitizer reports included) when it differs.

Never sleep a fixed time to wait for something: poll with wait_until.
A missing tool (Xvfb, xclip, xdotool, xwininfo) or a missing program fails
the test: nothing here skips.
"""

import shutil
import tempfile
import unittest
from pathlib import Path

from display import REQUIRED_TOOLS, Display
from peer import PeerListener, connect_peer
from program import Installation, Program, program_source
from waiting import DefaultWaitS


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

    def start_program(self, display, *args, installation=None, settings=None, env=None, user=None, prefix=()):
        if installation is None:
            installation = self.install_program(settings)
        elif settings is not None:
            installation.write_settings(settings)
        program = Program(display, installation, args, env, user, prefix)
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
