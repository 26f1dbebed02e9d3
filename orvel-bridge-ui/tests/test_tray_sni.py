"""The tray program in a StatusNotifierItem host, the way KDE Plasma, GNOME's
AppIndicator extension and the panels with a StatusNotifier plug-in show tray
icons: over D-Bus. Everything runs on a private session bus under Xvfb, inside
a private network namespace: status-notifier-watcher (the watcher),
gtk-sni-tray-standalone (the host, a panel on the screen), a notification
server of this script that records the balloons, and simulated printers from
orvel-bridge-lab The program runs in a private IPC namespace too: its
single-instance guard is per user, so the tray tests, run at once, and a
tray the user runs would otherwise refuse each other.

Through D-Bus, as a desktop does, the test reads the item's title, tooltip
and icon and its exported menu (com.canonical.dbusmenu: every entry in order,
with its enabled state), and works every command of the menu by the menu's
Event method: "Show log..." opens the 600 x 400 "Logs" window; "Stop service"
and "Start service" change the tooltip, the icon and the entries; "Details...",
"Show status..." and "About Orvel-Bridge" show their boxes (their texts as
the program logs them at debug level); a click while a message box is up does not end the
program; a printer whose page cannot be opened gives the "Failed to open url"
balloon, and "notify-run" the starting one; a held Shift shows the expert
entries; "Exit" ends the program with 0. The program is started while the
watcher has no host yet: it waits, says so once, and shows its item when the
host comes. Screenshots of the panel with the icon and of the menu go to
ORVEL_SCREENSHOTS.

Exits 77 (skipped) without root or unshare, or without Xvfb, dbus-daemon,
status-notifier-watcher, gtk-sni-tray-standalone, python3-dbus with
python3-gi, xdotool, xwininfo or ImageMagick.
"""

import os
import sys
import time
import unittest

from traytesttools import LAB, SKIP, UI, TrayProcesses, enter_namespace, wait_for_display, wait_until

TOOLS = ("Xvfb", "dbus-daemon", "status-notifier-watcher", "gtk-sni-tray-standalone", "xdotool", "xwininfo",
         "import", "unshare", "ip")
MENU = "com.canonical.dbusmenu"
ITEM = "org.kde.StatusNotifierItem"


def notification_server(address, record):
    """Runs org.freedesktop.Notifications on the bus at `address`; appends
    each notification's summary and body, one line each, to `record`."""
    import dbus
    import dbus.service
    from dbus.mainloop.glib import DBusGMainLoop
    from gi.repository import GLib

    DBusGMainLoop(set_as_default=True)
    bus = dbus.bus.BusConnection(address)
    name = dbus.service.BusName("org.freedesktop.Notifications", bus)

    class Server(dbus.service.Object):
        counter = 0

        @dbus.service.method("org.freedesktop.Notifications", in_signature="susssasa{sv}i", out_signature="u")
        def Notify(self, app, replaces, icon, summary, body, actions, hints, timeout):
            with open(record, "a") as stream:
                stream.write("%s\t%s\t%s\t%d\n" % (summary, body.replace("\n", " "), icon, timeout))
            Server.counter += 1
            return Server.counter

        @dbus.service.method("org.freedesktop.Notifications", in_signature="", out_signature="as")
        def GetCapabilities(self):
            return ["body"]

        @dbus.service.method("org.freedesktop.Notifications", in_signature="u", out_signature="")
        def CloseNotification(self, notification):
            pass

        @dbus.service.method("org.freedesktop.Notifications", in_signature="", out_signature="ssss")
        def GetServerInformation(self):
            return ("recorder", "orvel", "1", "1.2")

    Server(bus, "/org/freedesktop/Notifications")
    name  # held for the process's lifetime
    GLib.MainLoop().run()


class StatusNotifierItem(TrayProcesses, unittest.TestCase):
    @classmethod
    def setUpClass(cls):
        import dbus
        display = cls.start_display("orvel-sni-")
        cls.address = "unix:path=" + os.path.join(cls.home, "bus")
        cls.env = dict(os.environ, DISPLAY=":" + display, HOME=cls.home, XDG_RUNTIME_DIR=cls.home,
                       XDG_DOCUMENTS_DIR=os.path.join(cls.home, "docs"), DBUS_SESSION_BUS_ADDRESS=cls.address,
                       NO_AT_BRIDGE="1")
        for name in ("QT_QPA_PLATFORM", "QT_QPA_PLATFORMTHEME", "XDG_CURRENT_DESKTOP", "BROWSER"):
            cls.env.pop(name, None)
        cls.start(["dbus-daemon", "--session", "--nofork", "--address=" + cls.address])
        wait_until(lambda: os.path.exists(os.path.join(cls.home, "bus")), 10)
        wait_for_display(cls.env)
        cls.bus = wait_until(lambda: cls.connect(dbus), 10)
        cls.notices = os.path.join(cls.home, "notifications.txt")
        cls.start([sys.executable, os.path.abspath(__file__), "notification-server", cls.address, cls.notices])
        cls.start(["status-notifier-watcher"])
        wait_until(lambda: cls.bus.name_has_owner("org.kde.StatusNotifierWatcher"), 20)
        wait_until(lambda: cls.bus.name_has_owner("org.freedesktop.Notifications"), 20)
        cls.lab = cls.start([LAB, "--printer", "127.0.0.2,name=Front desk", "--web-port", "0"])
        cls.log = os.path.join(cls.home, "tray.log")
        # No browser on the program's path: opening a printer's page fails.
        cls.nobrowser = os.path.join(cls.home, "bin")
        os.makedirs(cls.nobrowser)
        cls.tray = cls.start([UI, "--static-printers", "127.0.0.2", "--server-address", "127.0.0.1",
                              "--server-port", "1", "--discovery-responder", "false", "--log-level", "0",
                              "--log-file", cls.log, "--notify-run"],
                             env=dict(cls.env, PATH=cls.nobrowser))

    @classmethod
    def connect(cls, dbus):
        try:
            return dbus.bus.BusConnection(cls.address)
        except dbus.exceptions.DBusException:
            return None

    # --- helpers -------------------------------------------------------------
    def notifications(self):
        try:
            with open(self.notices) as stream:
                return [line.rstrip("\n").split("\t") for line in stream]
        except FileNotFoundError:
            return []

    def outputs(self, tail=3000):
        texts = self.program_outputs(tail)
        texts.append("--- log\n" + self.log_text()[-tail:])
        return "\n".join(texts)

    def items(self):
        import dbus
        watcher = self.bus.get_object("org.kde.StatusNotifierWatcher", "/StatusNotifierWatcher")
        return [str(item) for item in watcher.Get("org.kde.StatusNotifierWatcher", "RegisteredStatusNotifierItems",
                                                  dbus_interface="org.freedesktop.DBus.Properties")]

    def item(self):
        """The program's item: its bus name and object path."""
        for entry in self.items():
            service, _, path = entry.partition("/")
            return service, "/" + path if path else "/StatusNotifierItem"
        return None

    def properties(self):
        service, path = self.found
        return self.bus.get_object(service, path).GetAll(ITEM, dbus_interface="org.freedesktop.DBus.Properties")

    def menu(self):
        service, path = self.found
        return self.bus.get_object(service, str(self.properties()["Menu"]))

    def layout(self, about_to_show=True):
        """The menu's top entries: [(id, label or "-", enabled)]."""
        menu = self.menu()
        if about_to_show:
            menu.AboutToShow(0, dbus_interface=MENU)
        _, (_, _, children) = menu.GetLayout(0, -1, [], dbus_interface=MENU)
        entries = []
        for child in children:
            child_id, props, _ = child
            if not bool(props.get("visible", True)):
                continue
            label = "-" if props.get("type", "") == "separator" else str(props.get("label", "")).replace("_", "")
            entries.append((int(child_id), label, bool(props.get("enabled", True))))
        return entries

    def labels(self):
        return [label for _, label, _ in self.layout()]

    def click(self, label, about_to_show=True):
        import dbus
        for child_id, text, _ in self.layout(about_to_show):
            if text == label:
                self.menu().Event(child_id, "clicked", dbus.Int32(0, variant_level=1), dbus.UInt32(0),
                                  dbus_interface=MENU)
                return
        self.fail("no entry %r in %s" % (label, self.layout(False)))

    def submenu_click(self, parent, label):
        import dbus
        menu = self.menu()
        _, (_, _, children) = menu.GetLayout(0, -1, [], dbus_interface=MENU)
        for child_id, props, grandchildren in children:
            if str(props.get("label", "")).replace("_", "") == parent:
                menu.AboutToShow(child_id, dbus_interface=MENU)
                _, (_, _, grandchildren) = menu.GetLayout(child_id, -1, [], dbus_interface=MENU)
                for grandchild_id, grandprops, _ in grandchildren:
                    if str(grandprops.get("label", "")).replace("_", "") == label:
                        menu.Event(grandchild_id, "clicked", dbus.Int32(0, variant_level=1), dbus.UInt32(0),
                                   dbus_interface=MENU)
                        return
        self.fail("no entry %r under %r" % (label, parent))

    def tooltip(self):
        tip = self.properties()["ToolTip"]
        return " ".join(str(part) for part in (tip[2], tip[3]) if str(part))

    def boxes(self):
        """The message boxes up: window ids of the program's "Orvel-Bridge" windows."""
        return self.x("xdotool", "search", "--onlyvisible", "--name", "^Orvel-Bridge$").stdout.split()

    def box_texts(self):
        """The texts of the message boxes shown so far, as the program logs
        them at debug level (the box's own text, lines joined by " | ")."""
        marker = "Message box shown: "
        return [line.split(marker, 1)[1].rsplit(" [", 1)[0] for line in self.log_text().splitlines()
                if marker in line]

    def close_box(self, window):
        self.x("xdotool", "windowfocus", "--sync", window)
        self.x("xdotool", "key", "Escape")
        self.assertTrue(wait_until(lambda: window not in self.boxes(), 10), "the box did not close")

    # --- the test --------------------------------------------------------------
    def test_item_in_a_status_notifier_host(self):
        # The watcher has no host yet: the program waits and says so once.
        self.assertTrue(wait_until(lambda: "Waiting for a notification area" in self.log_text(), 30),
                        self.outputs())
        self.assertEqual(self.items(), [])
        self.start(["gtk-sni-tray-standalone", "--top", "--size", "32"])
        self.__class__.found = wait_until(self.item, 30, 0.5)
        self.assertTrue(self.found, "no item registered: " + self.outputs())
        self.assertEqual(self.log_text().count("Waiting for a notification area"), 1)
        self.assertTrue(wait_until(lambda: "Bridge service started" in self.log_text(), 20), self.outputs())

        # The item's properties.
        props = self.properties()
        self.assertEqual(str(props["Title"]), "Orvel-Bridge")
        # While a balloon is up (10 s, here the starting one) the item asks
        # for attention and its tooltip shows the balloon; then the state.
        self.assertTrue(wait_until(lambda: self.tooltip() == "Orvel-Bridge - started (6.04)", 30), self.tooltip())
        self.assertEqual(str(self.properties()["Status"]), "Active")
        pixmaps = props["IconPixmap"]
        self.assertTrue(len(pixmaps) > 0 or str(props.get("IconName", "")), props)
        for width, height, data in pixmaps:
            self.assertEqual(len(data), int(width) * int(height) * 4)
        # The starting balloon, as a desktop notification.
        self.assertTrue(wait_until(lambda: any(n[:2] == ["Orvel-Bridge", "Orvel-Bridge is starting"]
                                               for n in self.notifications()), 10), self.notifications())

        # The printer has answered once its backup was taken.
        self.assertTrue(wait_until(lambda: "Backup of printer" in self.log_text(), 30), self.log_text()[-2000:])
        time.sleep(0.5)
        self.screenshot("tray-sni.png")

        # The menu without a key held: the plain view, in order, enabled states.
        entries = self.layout()
        self.assertEqual([(label, enabled) for _, label, enabled in entries],
                         [("Orvel-Server connection failed", True), ("-", True), ("Front desk - 127.0.0.2", True),
                          ("-", True), ("Show backups...", True), ("-", True), ("About Orvel-Bridge", True)])

        # Shift held while the menu opens: the expert view.
        self.x("xdotool", "keydown", "shift")
        try:
            expert = self.labels()
        finally:
            self.x("xdotool", "keyup", "shift")
        self.assertEqual(expert, ["Stop service", "-", "Orvel-Server connection failed", "-",
                                  "Front desk - 127.0.0.2", "-", "Show status...", "Show log...",
                                  "Show backups...", "-", "About Orvel-Bridge", "Exit"])

        # The menu on the screen: a right click on the icon in the panel.
        panel = self.x("xdotool", "search", "--onlyvisible", "--class", "gtk-sni-tray").stdout.split()
        if panel:
            self.x("xdotool", "mousemove", "--window", panel[0], "16", "16", "click", "3")
            time.sleep(1.5)
            self.screenshot("tray-sni-menu.png")
            self.x("xdotool", "key", "Escape")
            time.sleep(0.5)

        # "Show log..." (expert view, kept since the last opening with Shift).
        self.x("xdotool", "keydown", "shift")
        try:
            self.click("Show log...")
        finally:
            self.x("xdotool", "keyup", "shift")
        logs = wait_until(lambda: self.x("xdotool", "search", "--onlyvisible", "--name", "^Logs$").stdout.split(),
                          10)
        self.assertTrue(logs, "the log window did not show: " + self.outputs())
        geometry = self.x("xwininfo", "-id", logs[0]).stdout
        self.assertIn("Width: 600", geometry)
        self.assertIn("Height: 400", geometry)
        self.click("Show log...", about_to_show=False)
        self.assertTrue(wait_until(lambda: not self.x("xdotool", "search", "--onlyvisible", "--name",
                                                      "^Logs$").stdout.split(), 10))

        # The texts of the message boxes; a click while one is up.
        self.submenu_click("Front desk - 127.0.0.2", "Details...")
        box = wait_until(self.boxes, 10)
        self.assertTrue(box, "no details box: " + self.outputs())
        self.assertTrue(wait_until(lambda: len(self.box_texts()) == 1, 10))
        text = self.box_texts()[0]
        self.assertTrue(text.startswith("Name: Front desk | Address: 127.0.0.2 | Model: "), text)
        # While it is up: the status box from the menu, and Stop service,
        # which takes the printer (and its entries) away.
        self.click("Show status...", about_to_show=False)
        both = wait_until(lambda: len(self.boxes()) >= 2 and self.boxes(), 10)
        self.assertTrue(both, "no status box")
        status = [window for window in both if window != box[0]][0]
        self.assertTrue(wait_until(lambda: len(self.box_texts()) == 2, 10))
        self.assertTrue(self.box_texts()[1].startswith("Orvel-Server connected: no | Instance GUID: "),
                        self.box_texts())
        self.assertIn(" | Discovered printer(s): 1 | ", self.box_texts()[1])
        self.click("Stop service", about_to_show=False)
        self.assertTrue(wait_until(lambda: self.tooltip() == "Orvel-Bridge - stopped (6.04)", 20), self.tooltip())
        self.assertIsNone(self.tray.poll())
        self.close_box(status)
        self.close_box(box[0])
        self.assertIsNone(self.tray.poll(), self.outputs())

        # Stopped: the tooltip, the entries.
        self.x("xdotool", "keydown", "shift")
        try:
            stopped = self.labels()
        finally:
            self.x("xdotool", "keyup", "shift")
        self.assertEqual(stopped[:5], ["Start service", "-", "Orvel-Server connection failed", "-",
                                       "No printer detected"])
        self.assertFalse([enabled for _, label, enabled in self.layout(False) if label == "No printer detected"][0])
        self.click("Start service", about_to_show=False)
        self.assertTrue(wait_until(lambda: self.tooltip() == "Orvel-Bridge - started (6.04)", 20), self.tooltip())
        self.assertTrue(wait_until(lambda: "Front desk - 127.0.0.2" in self.labels(), 30), self.labels())
        self.x("xdotool", "keydown", "shift")
        try:
            self.assertEqual(self.labels()[0], "Stop service")
        finally:
            self.x("xdotool", "keyup", "shift")

        # About.
        self.click("About Orvel-Bridge", about_to_show=False)
        about = wait_until(self.boxes, 10)
        self.assertTrue(about)
        self.assertTrue(wait_until(lambda: len(self.box_texts()) == 3, 10))
        self.assertTrue(self.box_texts()[2].startswith("Orvel-Bridge 6.04 |  | "), self.box_texts())
        self.close_box(about[0])

        # A printer page that cannot be opened: the critical balloon.
        self.submenu_click("Front desk - 127.0.0.2", "Open in browser")
        self.assertTrue(wait_until(lambda: any(n[:2] == ["Orvel-Bridge", "Failed to open url 'http://127.0.0.2'"]
                                               for n in self.notifications()), 10), self.notifications())

        # Exit ends the program with 0.
        self.click("Exit", about_to_show=False)
        self.assertEqual(self.tray.wait(20), 0, self.outputs())
        self.assertIn("Bridge service stopped", self.log_text())


def main():
    if len(sys.argv) == 4 and sys.argv[1] == "notification-server":
        notification_server(sys.argv[2], sys.argv[3])
        return 0
    try:
        import dbus  # noqa: F401
        import dbus.mainloop.glib  # noqa: F401
        from gi.repository import GLib  # noqa: F401
    except ImportError:
        # Debian's python3-dbus belongs to the system's interpreter.
        if os.path.exists("/usr/bin/python3") and os.path.realpath(sys.executable) != "/usr/bin/python3" \
                and os.environ.get("ORVEL_SNI_REEXEC") != "1":
            os.environ["ORVEL_SNI_REEXEC"] = "1"
            os.execv("/usr/bin/python3", ["/usr/bin/python3", os.path.abspath(__file__)] + sys.argv[1:])
        print("skipped: python3-dbus or python3-gi is missing")
        return SKIP
    if not UI or not os.path.exists(UI):
        print("ORVEL_BRIDGE_UI is not set to the program")
        return 1
    code = enter_namespace(__file__, TOOLS, missing=" (a StatusNotifierItem host needs it)")
    if code is not None:
        return code
    suite = unittest.defaultTestLoader.loadTestsFromTestCase(StatusNotifierItem)
    result = unittest.TextTestRunner(verbosity=2).run(suite)
    return 0 if result.wasSuccessful() else 1


if __name__ == "__main__":
    sys.exit(main())
