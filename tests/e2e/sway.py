"""Headless sway sessions for the end-to-end tests and the benchmark: a
compositor offering data-control, with or without XWayland. sway refuses
root: each session, and all that runs in it, runs as `User` (root is needed
to switch) with a private runtime folder, so two sessions are two separate
clipboards. views() and focused() read sway's tree; hold_focus() gives the
focus to a native window; the clipboard through wl-copy and wl-paste, own()
for several types at once (tests/e2e/owner/wl_clipboard_owner.cpp)."""

import json
import os
import pwd
import subprocess
import tempfile
from pathlib import Path

from display import _stop_process
from waiting import wait_until

User = pwd.getpwnam("nobody")
SwayStartTimeoutS = 30
ToolTimeoutS = 30
FlowerAppId = "org.freedesktop.weston.flower"


def wl_owner_source():
    configured = os.environ.get("TESSARO_WL_CLIPBOARD_OWNER")
    return Path(configured) if configured else Path(__file__).resolve().parents[2] / "build/tests/e2e/wl_clipboard_owner"


def as_user():
    return {"user": User.pw_uid, "group": User.pw_gid, "extra_groups": []}


class SwaySession:
    """A headless sway run as `User`; env, runtime_dir, spawn(), tool(),
    focused() and the clipboard through wl-copy and wl-paste."""

    def __init__(self, workdir, xwayland):
        self.runtime_dir = Path(tempfile.mkdtemp(prefix="sway-", dir=workdir))
        config = self.runtime_dir / "config"
        config.write_text("xwayland %s\n" % ("enable" if xwayland else "disable"))
        for path in (self.runtime_dir, config):
            os.chown(path, User.pw_uid, User.pw_gid)
        self.env = {"PATH": os.environ["PATH"], "HOME": str(self.runtime_dir),
                    "XDG_RUNTIME_DIR": str(self.runtime_dir), "WLR_BACKENDS": "headless",
                    "WLR_LIBINPUT_NO_DEVICES": "1", "WLR_RENDERER": "pixman"}
        self._helpers = []
        self.log = Path(workdir) / ("%s.log" % self.runtime_dir.name)
        with open(self.log, "wb") as log:
            self.sway = self.spawn(["sway", "-c", str(config)], stdout=log, stderr=log)

        def sockets():
            if self.sway.poll() is not None:
                raise AssertionError("sway exited with %d: %s" % (self.sway.returncode, self.log.read_text()))
            names = [p.name for p in self.runtime_dir.iterdir()]
            wayland = [n for n in names if n.startswith("wayland-") and not n.endswith(".lock")]
            ipc = [n for n in names if n.startswith("sway-ipc.")]
            return (wayland[0], ipc[0]) if wayland and ipc else None
        wayland, ipc = wait_until(sockets, SwayStartTimeoutS, message="sway's sockets")
        self.env.update(WAYLAND_DISPLAY=wayland, SWAYSOCK=str(self.runtime_dir / ipc))
        self.name = "sway " + self.runtime_dir.name
        if xwayland:
            # sway hands its X display to what it starts.
            shown = self.runtime_dir / "display"
            self.tool("swaymsg", "exec", "printenv DISPLAY > %s" % shown)
            self.env["DISPLAY"] = wait_until(lambda: shown.exists() and shown.read_text().strip(),
                                             message="sway's X display")

    def spawn(self, argv, **kwargs):
        process = subprocess.Popen(argv, env=self.env, stdin=kwargs.pop("stdin", subprocess.DEVNULL),
                                   stdout=kwargs.pop("stdout", subprocess.DEVNULL),
                                   stderr=kwargs.pop("stderr", subprocess.DEVNULL),
                                   start_new_session=True, **as_user(), **kwargs)
        self._helpers.append(process)
        return process

    def tool(self, *argv, check=True, timeout=ToolTimeoutS):
        result = subprocess.run(list(argv), env=self.env, stdin=subprocess.DEVNULL, capture_output=True,
                                timeout=timeout, **as_user())
        if check and result.returncode != 0:
            raise AssertionError("%s: %s" % (" ".join(argv), result.stderr.decode(errors="replace")))
        return result

    def stop(self):
        for helper in reversed(self._helpers):
            _stop_process(helper)

    def views(self):
        found, nodes = [], [json.loads(self.tool("swaymsg", "-t", "get_tree").stdout)]
        while nodes:
            node = nodes.pop()
            nodes += node.get("nodes", []) + node.get("floating_nodes", [])
            if node.get("pid"):
                found.append(node)
        return found

    def focused(self):
        return next((view for view in self.views() if view["focused"]), None)

    def hold_focus(self):
        self.spawn(["weston-flower"])
        wait_until(lambda: (self.focused() or {}).get("app_id") == FlowerAppId, message="the native window's focus")

    def wl_copy(self, data):
        process = self.spawn(["wl-copy", "--foreground"], stdin=subprocess.PIPE)
        process.stdin.write(data)
        process.stdin.close()
        wait_until(lambda: self.wl_paste() == data, message="wl-copy to own the selection")

    def wl_paste(self, timeout=ToolTimeoutS):
        result = self.tool("wl-paste", "--no-newline", check=False, timeout=timeout)
        return result.stdout if result.returncode == 0 else None

    set_clipboard = wl_copy
    get_clipboard = wl_paste
    # What copies a text read from standard input, without waiting.
    copy_argv = ("wl-copy", "--foreground")

    def own(self, *types_and_bytes):
        process = self.spawn([str(wl_owner_source())] + list(types_and_bytes), stdout=subprocess.PIPE)
        if process.stdout.readline() != b"owned\n":
            raise AssertionError("the Wayland test owner could not own the selection")
        return process
