"""Start-up, the one-copy-per-session rule and the ways the program ends."""

import signal
import unittest

from harness import E2ETestCase
from program import WINDOW_TITLE

# The file a first "Exit" writes when no settings file was there: the section,
# both keys with the boxes' initial texts, and one empty line, CR LF each.
DEFAULT_SETTINGS = b"[TESSAROPRO]\r\nLASTIP=192.168.0.1\r\nLASTPORT=3100\r\n\r\n"


# A second copy is refused before any window exists; allow for a loaded machine.
RefusalTimeoutS = 10


class SingleInstanceTest(E2ETestCase):

    def test_second_copy_in_same_session_exits_1_silently_and_first_runs_on(self):
        display = self.start_display()
        first = self.start_program(display)
        first_window = first.main_window()

        # The rule is per session, not per executable: a copy from the same
        # folder and one from another folder are both refused.
        for label, installation in (("same folder", first.installation),
                                    ("other folder", self.install_program())):
            with self.subTest(label):
                second = self.start_program(display, installation=installation)
                self.assert_exit_code(second, 1, RefusalTimeoutS)
                self.assertEqual(second.output(), "")
                self.assertEqual(display.windows(name=WINDOW_TITLE), [first_window.id])
                self.assertTrue(first.running)

        first_window.click("Button6")
        self.assert_exit_code(first, 0)

    def test_copies_on_two_displays_run_side_by_side(self):
        displays = [self.start_display(), self.start_display()]
        programs = [self.start_program(display) for display in displays]
        windows = [program.main_window() for program in programs]
        self.assertTrue(all(program.running for program in programs))

        for program, window in zip(programs, windows):
            window.click("Button6")
            self.assert_exit_code(program, 0)

    def test_marker_of_a_killed_copy_does_not_block_the_next(self):
        display = self.start_display()
        crashed = self.start_program(display)
        crashed.main_window()
        crashed.kill()

        successor = self.start_program(display, installation=crashed.installation)
        successor.main_window()
        self.assertTrue(successor.running)


class EndingTest(E2ETestCase):

    def test_exit_button_ends_with_code_0(self):
        display = self.start_display()
        program = self.start_program(display)
        program.main_window().click("Button6")
        self.assert_exit_code(program, 0)

    def test_exit_writes_default_settings_when_none_existed(self):
        display = self.start_display()
        program = self.start_program(display)
        window = program.main_window()
        self.assertIsNone(program.settings(), "a settings file appeared before any close")

        window.click("Button6")
        self.assert_exit_code(program, 0)
        self.assertEqual(program.settings(), DEFAULT_SETTINGS)

    def test_typed_address_and_port_are_saved_and_read_back(self):
        display = self.start_display()
        installation = self.install_program()
        program = self.start_program(display, installation=installation)
        window = program.main_window()
        window.type_into("Edit1", "127.0.0.2")
        window.type_into("Edit2", "4242")
        window.click("Button6")
        self.assert_exit_code(program, 0)
        saved = b"[TESSAROPRO]\r\nLASTIP=127.0.0.2\r\nLASTPORT=4242\r\n\r\n"
        self.assertEqual(installation.settings(), saved)

        # A second run shows the stored texts and, untouched, writes them back.
        again = self.start_program(display, installation=installation)
        again.main_window().click("Button6")
        self.assert_exit_code(again, 0)
        self.assertEqual(installation.settings(), saved)

    def test_end_of_session_signals_end_with_code_0_without_saving(self):
        # A comment line would vanish from any rewritten file, so an unchanged
        # file proves that nothing was written.
        settings = b"; kept as it is\r\n[TESSAROPRO]\r\nLASTIP=127.0.0.1\r\n"
        for sig in (signal.SIGTERM, signal.SIGHUP):
            with self.subTest(signal=sig.name):
                display = self.start_display()
                program = self.start_program(display, settings=settings)
                program.main_window()
                program.send_signal(sig)
                self.assert_exit_code(program, 0)
                self.assertEqual(program.settings(), settings)


if __name__ == "__main__":
    unittest.main()
