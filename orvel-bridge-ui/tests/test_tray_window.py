"""The tray program in a real X session: Xvfb with tint2 as the notification
area host, simulated printers from orvel-bridge-lab, all inside a private
network namespace (the bridge's discovery broadcasts stay in it). The program
runs in a private IPC namespace too: its
single-instance guard is per user, so the tray tests, run at once, and a
tray the user runs would otherwise refuse each other.

  Help: "help" prints the options, the tray's two included, and exits 0
        without a display (so without an icon).
  Window: the icon appears in the panel; a click opens the menu with the
        server line and the printers' labels (screenshots before and after
        are saved under the build folder); a right click opens it too;
        "Show status..." shows its box, and a click on the icon while the
        box is up does not end the program; a second instance is refused with
        "Error: another instance is running" and exit code 1; SIGTERM stops
        the service and ends the program with 0 within 2 s, its icon gone.

Environment: ORVEL_BRIDGE_UI and ORVEL_BRIDGE_LAB name the programs,
ORVEL_SCREENSHOTS the folder of the screenshots. Exits 77 (skipped) without
root or unshare, or without Xvfb, tint2, xdotool, xwininfo or ImageMagick.
"""

import os
import signal
import subprocess
import sys
import time
import unittest

from traytesttools import INSIDE, LAB, UI, TrayProcesses, enter_namespace, wait_for_display, wait_until

TINT2RC = """panel_items = S
panel_size = 100% 32
panel_position = top center horizontal
systray_padding = 4 2 4
systray_icon_size = 24
"""


class Help(unittest.TestCase):
    def test_help_lists_the_tray_options_and_exits_0(self):
        env = dict(os.environ)
        env.pop("DISPLAY", None)
        env.pop("QT_QPA_PLATFORM", None)
        result = subprocess.run([UI, "--help"], env=env, stdout=subprocess.PIPE,
                                stderr=subprocess.PIPE, text=True, timeout=30)
        self.assertEqual(result.returncode, 0, result.stderr)
        lines = result.stdout.splitlines()
        # The tray's two options come first, before the library's.
        self.assertIn("--expert-mode", lines[0])
        self.assertIn("Force the expert UI mode", lines[0])
        self.assertIn("--notify-run", lines[1])
        self.assertIn("Show a notification when the app is starting", " ".join(result.stdout.split()))
        for option in ("--help", "--static-printers", "--server-address", "--log-file"):
            self.assertIn(option, result.stdout)
        self.assertEqual(result.stderr.strip(), "")


class Window(TrayProcesses, unittest.TestCase):
    @classmethod
    def setUpClass(cls):
        display = cls.start_display("orvel-tray-")
        cls.env = dict(os.environ, DISPLAY=":" + display, HOME=cls.home,
                       XDG_RUNTIME_DIR=cls.home, XDG_DOCUMENTS_DIR=os.path.join(cls.home, "docs"))
        cls.env.pop("QT_QPA_PLATFORM", None)
        with open(os.path.join(cls.home, "tint2rc"), "w") as config:
            config.write(TINT2RC)
        # Wait until the display answers, and start the panel again if it gave
        # up on the display at once.
        wait_for_display(cls.env)
        for _ in range(3):
            cls.panel = cls.start(["tint2", "-c", os.path.join(cls.home, "tint2rc")])
            if not wait_until(lambda: cls.panel.poll() is not None, 1.5):
                break
        cls.lab = cls.start([LAB, "--printer", "127.0.0.2,name=Front desk", "--printer", "127.0.0.3,name=",
                             "--web-port", "0"])
        cls.log = os.path.join(cls.home, "tray.log")
        cls.tray = cls.start([UI, "--static-printers", "127.0.0.2;127.0.0.3", "--server-address", "127.0.0.1",
                              "--server-port", "1", "--discovery-responder", "false", "--log-level", "0",
                              "--log-file", cls.log, "--expert-mode"])

    def icon_window(self):
        """The tray icon's window in the panel, or None."""
        result = self.x("xdotool", "search", "--classname", "orvel-bridge-ui")
        for window in result.stdout.split():
            info = self.x("xwininfo", "-id", window).stdout
            if "Map State: IsViewable" in info and "Width: 24" in info:
                return window
        return None

    def outputs(self, tail=3000):
        """What the programs wrote (the last tail characters of each), for a
        failure's message."""
        texts = self.program_outputs(tail)
        texts.append("--- windows\n" + self.x("xwininfo", "-root", "-tree").stdout[-3000:])
        return "\n".join(texts)

    def click_icon(self, button):
        """Clicks the tray icon with `button`; the panel may embed it anew."""
        for _ in range(5):
            window = wait_until(self.icon_window, 10, 0.5)
            if window and self.x("xdotool", "mousemove", "--window", window, "12", "12", "click",
                                 str(button)).returncode == 0:
                return
            time.sleep(0.5)
        self.fail("could not click the icon: " + self.outputs())

    def open_menu(self):
        """Left-clicks the icon until its menu shows. A click can miss the
        icon while the panel embeds it anew (a new window), as the first
        click above also allows for."""
        for _ in range(3):
            self.click_icon(1)
            if wait_until(self.menu_windows, 5):
                return
        self.fail("no menu: " + self.log_text()[-3000:])

    def menu_windows(self):
        """The program's visible pop-up menus: its override-redirect windows
        other than the icon (24 pixels wide in the panel)."""
        menus = []
        for window in self.x("xdotool", "search", "--onlyvisible", "--classname", "orvel-bridge-ui").stdout.split():
            info = self.x("xwininfo", "-id", window).stdout
            if "Override Redirect State: yes" in info and "Width: 24\n" not in info:
                menus.append(window)
        return menus

    def boxes(self):
        """The message boxes up: the program's visible "Orvel-Bridge" windows."""
        return self.x("xdotool", "search", "--onlyvisible", "--name", "^Orvel-Bridge$").stdout.split()

    def test_window(self):
        # The panel takes about 15 s to appear without a window manager; the
        # program waits for its notification area.
        window = wait_until(self.icon_window, 60, 0.5)
        self.assertTrue(window, "no tray icon in the panel: " + self.outputs())
        self.assertTrue(wait_until(lambda: "Bridge service started" in self.log_text(), 10))
        # Both printers have answered once the backups of both were taken.
        self.assertTrue(wait_until(lambda: self.log_text().count("Backup of printer") >= 2, 20),
                        self.log_text()[-2000:])
        time.sleep(0.5)

        # A second instance of the same user is refused.
        second = subprocess.run([UI], cwd=self.home, env=self.env, stdout=subprocess.PIPE,
                                stderr=subprocess.PIPE, text=True, timeout=60)
        self.assertEqual(second.returncode, 1, second.stderr[-3000:])
        # (A sanitized build may add its own report of suppressions after it.)
        self.assertIn("Error: another instance is running", second.stderr.splitlines(), second.stderr[-3000:])

        before = self.screenshot("tray-before-click.png")
        # The panel may embed the icon anew (a new window) at any time, most of
        # all in a slow sanitized build: find it again for the click.
        for _ in range(5):
            window = wait_until(self.icon_window, 10, 0.5) or window
            result = self.x("xdotool", "mousemove", "--window", window, "12", "12", "click", "1")
            if result.returncode == 0:
                break
            time.sleep(0.5)
        self.assertEqual(result.returncode, 0, result.stderr)
        self.assertTrue(wait_until(lambda: "Tray menu opened: " in self.log_text(), 10))
        time.sleep(1.0)
        after = self.screenshot("tray-menu.png")

        opened = [line for line in self.log_text().splitlines() if "Tray menu opened: " in line][-1]
        entries = opened.split("Tray menu opened: ", 1)[1].rsplit(" [", 1)[0].split(" | ")
        self.assertEqual(entries[:2], ["Stop service", "Orvel-Server connection failed"])
        self.assertEqual(sorted(entries[2:4]), ["? - 127.0.0.3", "Front desk - 127.0.0.2"])
        self.assertEqual(entries[4:], ["Show status...", "Show log...", "Show backups...", "About Orvel-Bridge",
                                       "Exit"])

        # The menu shows on the screen: a large area changed below the panel.
        compare = self.x("compare", "-metric", "AE", before, after, "null:")
        changed = float(compare.stderr.split()[0])
        self.assertGreater(changed, 150 * 100, compare.stderr)
        menus = self.x("xwininfo", "-root", "-tree").stdout
        self.assertIn("orvel-bridge-ui", menus)

        self.x("xdotool", "key", "Escape")
        self.assertTrue(wait_until(lambda: not self.menu_windows(), 10), "the menu did not close")

        # A right click opens the same menu (the icon's context menu), once.
        opened = self.log_text().count("Tray menu opened: ")
        self.click_icon(3)
        self.assertTrue(wait_until(lambda: self.log_text().count("Tray menu opened: ") > opened, 10))
        time.sleep(0.5)
        self.assertEqual(self.log_text().count("Tray menu opened: "), opened + 1)
        self.assertTrue(self.menu_windows())
        self.x("xdotool", "key", "Escape")
        self.assertTrue(wait_until(lambda: not self.menu_windows(), 10), "the menu did not close")

        # "Show status..." (the fifth entry that takes the keyboard's focus)
        # shows its text in a box; a click on the icon while the box is up
        # leaves the program running; the box closes with Escape.
        self.open_menu()
        self.x("xdotool", "key", "--delay", "100", "Down", "Down", "Down", "Down", "Down", "Return")
        self.assertTrue(wait_until(self.boxes, 10), "no status box: " + self.outputs())
        self.assertTrue(wait_until(lambda: "Message box shown: Orvel-Server connected: no | Instance GUID: "
                                   in self.log_text(), 10))
        # (Here the box, modal, keeps the click from the icon: Qt blocks
        # the icon's window while it is up; over D-Bus the menu does open,
        # which the StatusNotifierItem test works.)
        self.click_icon(1)
        time.sleep(1.0)
        self.assertIsNone(self.tray.poll(), self.outputs())
        if self.menu_windows():
            self.x("xdotool", "key", "Escape")
        for _ in range(5):
            boxes = self.boxes()
            if not boxes:
                break
            self.x("xdotool", "windowfocus", "--sync", boxes[-1])
            self.x("xdotool", "key", "Escape")
            wait_until(lambda: boxes[-1] not in self.boxes(), 5)
        self.assertEqual(self.boxes(), [])
        self.assertIsNone(self.tray.poll(), self.outputs())

        # "Show log..." is the sixth entry that takes the keyboard's focus.
        self.open_menu()
        self.x("xdotool", "key", "--delay", "100", "Down", "Down", "Down", "Down", "Down", "Down", "Return")
        logs = wait_until(lambda: self.x("xdotool", "search", "--onlyvisible", "--name", "^Logs$").stdout.split(), 10)
        self.assertTrue(logs, "the log window did not show")
        time.sleep(1.0)
        self.screenshot("tray-log-window.png")
        geometry = self.x("xwininfo", "-id", logs[0]).stdout
        self.assertIn("Width: 600", geometry)
        self.assertIn("Height: 400", geometry)

        # SIGTERM: the service stops and the program ends with 0 within 2 s.
        started = time.monotonic()
        self.tray.send_signal(signal.SIGTERM)
        code = self.tray.wait(10)
        elapsed = time.monotonic() - started
        # A sanitizer's report at exit (exit -6) is in the program's output,
        # with a stack of up to 30 frames for each leak.
        if code != 0 or elapsed >= 2.0:
            self.fail("exit code %s after %.1f s\n%s" % (code, elapsed, self.outputs(30000)))
        self.assertIn("Bridge service stopped", self.log_text(), self.log_text()[-2000:])
        self.assertIsNone(wait_until(lambda: self.icon_window() is None, 5) and None)
        self.assertIsNone(self.icon_window())


def main():
    if not UI or not os.path.exists(UI):
        print("ORVEL_BRIDGE_UI is not set to the program")
        return 1
    names = sys.argv[1:] or ["Help", "Window"]
    if "Window" in names or os.environ.get(INSIDE) == "1":
        code = enter_namespace(__file__, ("Xvfb", "tint2", "xdotool", "xwininfo", "import", "compare", "unshare",
                                          "ip"), names)
        if code is not None:
            return code
    suite = unittest.TestSuite()
    loader = unittest.defaultTestLoader
    for name in names:
        suite.addTests(loader.loadTestsFromTestCase(globals()[name]))
    result = unittest.TextTestRunner(verbosity=2).run(suite)
    return 0 if result.wasSuccessful() else 1


if __name__ == "__main__":
    sys.exit(main())
