"""Hiding to the notification area and coming back; the window's scale."""

import unittest

from harness import E2ETestCase
from program import WINDOW_TITLE
from waiting import holds_for, wait_until


# Long enough for a wrongly handled click to have shown its effect.
NoEffectWindowS = 1.0


class HideAndRestoreTest(E2ETestCase):

    def test_hide_leaves_only_the_icon_and_a_left_click_restores(self):
        display = self.start_display(tray=True)
        program = self.start_program(display)
        window = program.main_window()
        icon = program.tray_icon()

        window.click("Button5")
        wait_until(lambda: not window.is_viewable(), message="the window to hide")
        self.assertTrue(icon.is_viewable())

        # The right button has no menu and does nothing.
        icon.click_center(button=3)
        holds_for(lambda: not window.is_viewable(), NoEffectWindowS, message="the hidden window")

        icon.click_center(button=1)
        wait_until(window.is_viewable, message="the window to come back")
        window.click("Button6")
        self.assert_exit_code(program, 0)

    def test_second_launch_brings_the_hidden_window_back_and_exits_1(self):
        display = self.start_display(tray=True)
        program = self.start_program(display)
        window = program.main_window()
        program.tray_icon()
        window.click("Button5")
        wait_until(lambda: not window.is_viewable(), message="the window to hide")

        second = self.start_program(display, installation=program.installation)
        self.assert_exit_code(second, 1)
        wait_until(window.is_viewable, message="the window to come back")
        self.assertEqual(display.windows(name=WINDOW_TITLE, visible_only=True), [window.id])

    def test_mini_option_hides_the_window_soon_after_start(self):
        display = self.start_display(tray=True)
        program = self.start_program(display, "/mini")
        icon = program.tray_icon()
        # The window may already be hidden again when we first look.
        window_id = wait_until(lambda: display.windows(name=WINDOW_TITLE, pid=program.pid),
                               message="the main window")[0]
        wait_until(lambda: not display.is_viewable(window_id), message="the window to hide")
        self.assertTrue(program.running)

        icon.click_center()
        wait_until(lambda: display.is_viewable(window_id), message="the window to come back")


# The window's client area at 1x.
WindowSize = (387, 135)


class ScaleTest(E2ETestCase):

    def test_window_follows_the_desktops_scale(self):
        for dpi in (144, 192):
            with self.subTest(dpi=dpi):
                display = self.start_display()
                display.tool("xrdb", "-merge", input_bytes=b"Xft.dpi: %d\n" % dpi)
                info = self.start_program(display).main_window().info()
                for got, design in zip((info["width"], info["height"]), WindowSize):
                    self.assertAlmostEqual(got, design * dpi / 96, delta=1)


if __name__ == "__main__":
    unittest.main()
