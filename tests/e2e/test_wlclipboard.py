"""Two copies of the program in two headless sway sessions (sway.py), with
and without XWayland, syncing through data-control while a native window
has the focus. Checked against sway 1.7 / wlroots 0.15 (Debian 12), which
offer zwlr_data_control_manager_v1 version 2. Needs root."""

import os
import shutil
import unittest

from harness import E2ETestCase
from peer import free_port, wait_listening
from sway import FlowerAppId, SwaySession, User, wl_owner_source
from test_wayland import established
from waiting import holds_for, wait_until

SESSION_TOOLS = ("sway", "swaymsg", "wl-copy", "wl-paste", "weston-flower")
# A loaded machine runs two compositors and two programs here.
SyncTimeoutS = 30
SecretQuietS = 3


def long_text(tag):
    return b"".join(b"%s line %07d of a 1 MB text\n" % (tag, line) for line in range(30000))


# Five texts each way: the index of the session copied in, and the text.
TEXTS = [(0, b"copied in the first session"),
         (1, "日本語のテキスト、二つ目のセッションで".encode()),
         (0, long_text(b"first")),
         (1, "grüße, über Zeilen\nhinweg\n".encode()),
         (0, "かな漢字まじり、一つ目から".encode()),
         (1, long_text(b"second")),
         (0, b"  leading and trailing blanks  "),
         (1, b"12345 starts with digits"),
         (0, "\tcafé".encode()),
         (1, b"the last one")]


class WaylandDataControlTest(E2ETestCase):

    def setUp(self):
        super().setUp()
        if os.geteuid() != 0:
            self.fail("these tests run sway and the program as an unprivileged user: run them as root")
        missing = [tool for tool in SESSION_TOOLS if shutil.which(tool) is None]
        if not wl_owner_source().is_file():
            missing.append("the Wayland test owner (set TESSARO_WL_CLIPBOARD_OWNER)")
        if missing:
            self.fail("missing (tools/test.sh installs them): " + ", ".join(missing))
        os.chmod(self.workdir, 0o755)

    def start_program(self, session, *args, shell):
        installation = self.install_program()
        os.chown(installation.dir, User.pw_uid, User.pw_gid)
        # Qt 6.4's Wayland plugin leaves objects of its own connection at exit,
        # also without data-control; the XWayland run checks the program's.
        env = {"QT_QPA_PLATFORM": None, **({} if shell == "xwayland" else {"ASAN_OPTIONS": "detect_leaks=0"})}
        program = super().start_program(session, *args, installation=installation, env=env, user=User.pw_uid)
        window = wait_until(lambda: next((view for view in session.views() if view["pid"] == program.pid), None),
                            message=lambda: "the program's window: " + program.output())
        # On X wherever XWayland runs, else through Qt's Wayland plugin.
        self.assertEqual(window["shell"], shell)
        return program

    def check_sync_in_background(self, xwayland):
        sessions = [SwaySession(self.workdir, xwayland) for _ in range(2)]
        for session in sessions:
            self.addCleanup(session.stop)
        port = free_port()
        shell = "xwayland" if xwayland else "xdg_shell"
        self.start_program(sessions[0], "/port:%d" % port, "/server", shell=shell)
        wait_listening(port)
        self.start_program(sessions[1], "/addr:127.0.0.1", "/port:%d" % port, "/client", shell=shell)
        wait_until(lambda: established(port), message="the client's connection")
        for session in sessions:
            session.hold_focus()

        for source, text in TEXTS:
            with self.subTest(source=source, text=text[:40], size=len(text)):
                target = sessions[1 - source]
                sessions[source].wl_copy(text)
                # Pasted from the program's own source, by a native client.
                wait_until(lambda: target.wl_paste() == text, SyncTimeoutS, interval=0.2,
                           message="the text in the other session")
                for session in sessions:
                    self.assertEqual(session.focused()["app_id"], FlowerAppId)

        secret = b"a password the user copied"
        sessions[0].own("text/plain;charset=utf-8", secret, "x-kde-passwordManagerHint", "secret")
        holds_for(lambda: sessions[1].wl_paste() == TEXTS[-1][1], SecretQuietS, message="the secret staying home")
        sessions[0].wl_copy(b"after the secret")
        wait_until(lambda: sessions[1].wl_paste() == b"after the secret", SyncTimeoutS, interval=0.2)

    def test_xwayland_enabled_copies_cross_both_ways_while_a_native_window_has_focus(self):
        self.check_sync_in_background(xwayland=True)

    def test_xwayland_disabled_the_program_runs_natively_and_copies_cross_both_ways(self):
        self.check_sync_in_background(xwayland=False)


if __name__ == "__main__":
    unittest.main()
