"""An install by cmake --install, and the installed program run by a user who
cannot write the program's folder."""

import os
import shutil
import subprocess
import tempfile
import unittest
from pathlib import Path

from harness import E2ETestCase
from program import SETTINGS_FILE, program_source

# What a first "Exit" writes when no settings file was there.
DEFAULT_SETTINGS = b"[TESSAROPRO]\r\nLASTIP=192.168.0.1\r\nLASTPORT=3100\r\n\r\n"

# The unprivileged user the installed program runs as (the tests run as root).
Nobody = 65534
InstallTimeoutS = 120

INSTALLED_FILES = (
    "bin/tessaro",
    "share/applications/tessaro.desktop",
    "share/icons/hicolor/16x16/apps/tessaro.png",
    "share/icons/hicolor/256x256/apps/tessaro.png",
    "share/icons/hicolor/scalable/apps/tessaro.svg",
    "share/man/man1/tessaro.1.gz",
    "share/metainfo/tessaro.metainfo.xml",
)


def build_dir():
    configured = os.environ.get("TESSARO_BUILD_DIR")
    return Path(configured) if configured else program_source().parent


class PrefixInstallation:
    """The program as cmake --install put it under a prefix."""

    def __init__(self, prefix):
        self.dir = prefix / "bin"
        self.exe = self.dir / "tessaro"
        self.settings_path = self.dir / SETTINGS_FILE

    def settings(self):
        return self.settings_path.read_bytes() if self.settings_path.exists() else None


class InstallTest(E2ETestCase):

    def setUp(self):
        super().setUp()
        if os.geteuid() != 0:
            self.fail("these tests run the installed program as another user: run them as root")
        # The user must reach the prefix and its own home below the work folder.
        os.chmod(self.workdir, 0o755)

    def install(self):
        prefix = self.workdir / "prefix"
        result = subprocess.run(["cmake", "--install", str(build_dir()), "--prefix", str(prefix)],
                                capture_output=True, timeout=InstallTimeoutS)
        self.assertEqual(result.returncode, 0, result.stderr.decode(errors="replace"))
        return prefix

    def user_folders(self):
        """A home and a private runtime folder owned by the user."""
        home = Path(tempfile.mkdtemp(prefix="home-", dir=self.workdir))
        runtime = home / "runtime"
        runtime.mkdir(mode=0o700)
        for folder in (home, runtime):
            os.chown(folder, Nobody, Nobody)
        return home, {"HOME": str(home), "XDG_RUNTIME_DIR": str(runtime), "XDG_CONFIG_HOME": None}

    def run_and_exit(self, display, installation, env):
        program = self.start_program(display, installation=installation, env=env, user=Nobody)
        program.main_window().click("Button6")
        self.assert_exit_code(program, 0)

    def test_install_puts_program_entry_icons_manual_and_metadata_in_place(self):
        prefix = self.install()
        for name in INSTALLED_FILES:
            self.assertTrue((prefix / name).is_file(), name)
        entry = (prefix / "share/applications/tessaro.desktop").read_text()
        for line in ("Exec=tessaro", "Icon=tessaro", "Categories=Network;Utility;"):
            self.assertIn(line, entry.splitlines())

    def test_user_who_cannot_write_the_program_folder_keeps_settings_in_xdg_config(self):
        installation = PrefixInstallation(self.install())
        home, env = self.user_folders()
        display = self.start_display()

        self.run_and_exit(display, installation, env)
        self.assertEqual((home / ".config/tessaro" / SETTINGS_FILE).read_bytes(), DEFAULT_SETTINGS)
        self.assertIsNone(installation.settings())

        # A file beside the program that the user may write is still used
        # there (the comment vanishing shows that it was rewritten).
        installation.settings_path.write_bytes(b"; site default\r\n[TESSAROPRO]\r\nLASTIP=127.0.0.3\r\n")
        os.chmod(installation.settings_path, 0o666)
        shutil.rmtree(home / ".config")
        self.run_and_exit(display, installation, env)
        self.assertEqual(installation.settings(), b"[TESSAROPRO]\r\nLASTIP=127.0.0.3\r\nLASTPORT=3100\r\n\r\n")
        self.assertFalse((home / ".config").exists())


if __name__ == "__main__":
    unittest.main()
