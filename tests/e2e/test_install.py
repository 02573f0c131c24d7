"""The Debian package and its checks, an install by cmake --install, and the
installed program run by root and by a user who cannot write the program's
folder."""

import os
import subprocess
import tempfile
import unittest
from pathlib import Path

from display import REPO_ROOT
from harness import E2ETestCase
from program import SETTINGS_FILE, program_source

# What a first "Exit" writes when no settings file was there.
DEFAULT_SETTINGS = b"[TESSAROPRO]\r\nLASTIP=192.168.0.1\r\nLASTPORT=3100\r\n\r\n"

# The unprivileged user the installed program runs as (the tests run as root).
Nobody = 65534
InstallTimeoutS = 120
# A package build of its own (tools/package.sh), with the hardening flags.
PackageTimeoutS = 1800
CheckTimeoutS = 300

APP_ID = "io.github.tessaro.Tessaro"
INSTALLED_FILES = (
    "bin/tessaro",
    "share/applications/%s.desktop" % APP_ID,
    "share/icons/hicolor/16x16/apps/tessaro.png",
    "share/icons/hicolor/256x256/apps/tessaro.png",
    "share/icons/hicolor/scalable/apps/tessaro.svg",
    "share/man/man1/tessaro.1.gz",
    "share/metainfo/%s.metainfo.xml" % APP_ID,
    "share/doc/tessaro/README.md",
    "share/doc/tessaro/SECURITY.md",
    "share/doc/tessaro/copyright",
    "share/doc/tessaro/changelog.gz",
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

    def run_and_exit(self, display, installation, env, user=Nobody):
        program = self.start_program(display, installation=installation, env=env, user=user)
        program.main_window().click("Button6")
        self.assert_exit_code(program, 0)

    def check(self, *argv):
        result = subprocess.run(argv, capture_output=True, timeout=CheckTimeoutS)
        output = (result.stdout + result.stderr).decode(errors="replace")
        self.assertEqual(result.returncode, 0, output)
        return output

    def test_package_passes_lintian_and_its_metadata_validates(self):
        package_dir = Path(os.environ.get("TESSARO_PACKAGE_DIR", REPO_ROOT / "build-package"))
        result = subprocess.run([str(REPO_ROOT / "tools/package.sh"), str(package_dir)],
                                capture_output=True, timeout=PackageTimeoutS)
        self.assertEqual(result.returncode, 0, result.stderr.decode(errors="replace"))
        package = result.stdout.decode().split()[-1]

        report = self.check("lintian", "--fail-on", "error,warning", package)
        self.assertEqual([line for line in report.splitlines() if line[:2] in ("E:", "W:")], [], report)
        prefix = self.install()
        self.check("appstreamcli", "validate", "--no-net", str(prefix / INSTALLED_FILES[6]))
        self.check("desktop-file-validate", str(prefix / INSTALLED_FILES[1]))

    def test_install_puts_program_entry_icons_manual_metadata_and_documents_in_place(self):
        prefix = self.install()
        for name in INSTALLED_FILES:
            self.assertTrue((prefix / name).is_file(), name)
        entry = (prefix / INSTALLED_FILES[1]).read_text()
        for line in ("Exec=tessaro", "Icon=tessaro", "Categories=Network;Utility;"):
            self.assertIn(line, entry.splitlines())

    def test_installed_program_keeps_each_users_settings_in_xdg_config_seeded_from_xdg_config_dirs(self):
        prefix = self.install()
        installation = PrefixInstallation(prefix)
        # The harness keeps each run's output beside the prefix's bin/.
        def written():
            return sorted(p for p in prefix.rglob("*") if not p.name.startswith("output-"))
        installed = written()
        xdg = self.workdir / "xdg"
        (xdg / "tessaro").mkdir(parents=True, mode=0o755)
        (xdg / "tessaro" / SETTINGS_FILE).write_bytes(b"; site default\r\n[TESSAROPRO]\r\nLASTIP=127.0.0.3\r\n")
        seeded = b"[TESSAROPRO]\r\nLASTIP=127.0.0.3\r\nLASTPORT=3100\r\n\r\n"
        display = self.start_display()

        # Seeded from the first defaults file (the comment vanishing shows the
        # rewrite); without one, the boxes' first texts.
        for user, dirs, expected in ((0, "%s:/nonexistent" % xdg, seeded), (Nobody, "/nonexistent:%s" % xdg, seeded),
                                     (Nobody, "/nonexistent", DEFAULT_SETTINGS)):
            with self.subTest(user=user, dirs=dirs):
                home, env = self.user_folders()
                self.run_and_exit(display, installation, dict(env, XDG_CONFIG_DIRS=dirs), user)
                self.assertEqual((home / ".config/tessaro" / SETTINGS_FILE).read_bytes(), expected)
                self.assertEqual(written(), installed)

if __name__ == "__main__":
    unittest.main()
