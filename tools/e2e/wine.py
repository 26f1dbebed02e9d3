"""Windows programs under Wine for the tests: Wine prefixes (a prepared
template, and copies of it for namespaces of their own) and the wineserver
that serves each prefix.

Wine's sockets are made by the prefix's wineserver, so a program's network
is the network namespace its wineserver runs in: each namespace gets its own
prefix (a copy of the template, about 1 s, where a fresh one takes 7-8 s)
and its own wineserver, started inside it. The wineserver is started
persistent (`wineserver -p`) with its standard streams on /dev/null before
any program runs: one started on demand would inherit the first program's
stderr pipe and hold it open for 3 s after every program. Wine's system
processes (services.exe, rpcss.exe and the others) are booted right after it
the same way: the first program would otherwise start them with its own
stderr, and they live as long as the persistent server, so whoever waits for
the end of that program's output (CTest does) would wait for ever.

A fresh prefix links the user's Documents, Desktop, Music, Pictures, Videos
and Downloads to the home folder of whoever made it; prepare() makes them
folders of the prefix, so that a program's files stay inside it.

Command line (for tools/test.sh):
    wine.py prepare PREFIX    makes PREFIX a prepared prefix unless it is one
    wine.py start PREFIX      starts PREFIX's wineserver and system processes
"""

import fcntl
import os
import pwd
import shutil
import subprocess
import sys

WINE64 = os.environ.get("ORVEL_WINE64") or "/usr/lib/wine/wine64"
WINESERVER = os.path.join(os.path.dirname(WINE64), "wineserver")
# Wine's own "fixme" notes are noise; its errors stay visible (a missing DLL
# shows as err:module), except the notes that there is no display.
WINEDEBUG = os.environ.get("ORVEL_WINEDEBUG") or "fixme-all,err-winediag,err-systray"
# No .NET or HTML engine to offer to install while the prefix is made.
WINEDLLOVERRIDES = "mscoree,mshtml="
# Variables that would lead a Windows program (which sees the environment)
# or Wine itself outside the prefix: a display, the state folder.
DROPPED_VARIABLES = ("DISPLAY", "WAYLAND_DISPLAY", "STATE_DIRECTORY", "XDG_STATE_HOME",
                     "XDG_DOCUMENTS_DIR", "XDG_CONFIG_HOME")
PROFILE_LINKS = ("Desktop", "Documents", "Downloads", "Music", "Pictures", "Videos")
PREPARED_MARK = ".orvel-prepared"
# A fresh prefix takes 7-8 s on an idle machine; much longer on a busy one.
PREPARE_TIMEOUT = 300
SERVER_TIMEOUT = 60


def available():
    """Why Windows programs cannot run here, or None when they can."""
    for program in (WINE64, WINESERVER):
        if not os.access(program, os.X_OK):
            return "%s is missing (Debian package wine64)" % program
    return None


def environment_arguments(prefix):
    """An `env` command line that runs the rest with this prefix."""
    arguments = ["env"]
    for name in DROPPED_VARIABLES:
        arguments += ["-u", name]
    return arguments + ["WINEPREFIX=" + prefix, "WINEDEBUG=" + WINEDEBUG,
                        "WINEDLLOVERRIDES=" + WINEDLLOVERRIDES]


def user_folder(prefix):
    """The prefix's profile folder of the user running the tests."""
    return os.path.join(prefix, "drive_c", "users", pwd.getpwuid(os.getuid()).pw_name)


def _run(argv, timeout):
    """Runs a Wine tool with its streams on /dev/null; fails on a bad status."""
    subprocess.run(argv, stdin=subprocess.DEVNULL, stdout=subprocess.DEVNULL,
                   stderr=subprocess.DEVNULL, check=True, timeout=timeout)


def start_server(command):
    """Starts a persistent wineserver and Wine's system processes, all with
    their streams on /dev/null; `command` is the prefix of the command line
    (namespace and environment)."""
    _run(command + [WINESERVER, "-p"], SERVER_TIMEOUT)
    _run(command + [WINE64, "wineboot"], PREPARE_TIMEOUT)


def prepare(prefix):
    """Makes `prefix` a prepared prefix unless it is one already; callers at
    the same time wait for the first one's work."""
    os.makedirs(prefix, exist_ok=True)
    with open(os.path.join(prefix, ".orvel-lock"), "w") as lock:
        fcntl.flock(lock, fcntl.LOCK_EX)
        if os.path.exists(os.path.join(prefix, PREPARED_MARK)):
            return
        wine = environment_arguments(prefix)
        _run(wine + [WINESERVER, "-p"], SERVER_TIMEOUT)
        try:
            _run(wine + [WINE64, "wineboot", "-i"], PREPARE_TIMEOUT)
        finally:
            # -k ends it, -w waits until it has written the registry.
            subprocess.run(wine + [WINESERVER, "-k"], stdin=subprocess.DEVNULL,
                           stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL, timeout=SERVER_TIMEOUT)
            subprocess.run(wine + [WINESERVER, "-w"], stdin=subprocess.DEVNULL,
                           stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL, timeout=SERVER_TIMEOUT)
        folder = user_folder(prefix)
        for name in PROFILE_LINKS:
            path = os.path.join(folder, name)
            if os.path.islink(path):
                os.unlink(path)
            os.makedirs(path, exist_ok=True)
        open(os.path.join(prefix, PREPARED_MARK), "w").close()


class Prefix:
    """A Wine prefix whose wineserver runs in one network namespace (None:
    this process's own). start() copies the template when the prefix is a
    new folder and starts the wineserver; stop() ends it."""

    def __init__(self, path, namespace=None, template=None):
        self.path = path
        self.namespace = namespace
        self.template = template
        self.running = False

    def inside(self):
        """The command prefix that enters the namespace."""
        return ["ip", "netns", "exec", self.namespace] if self.namespace else []

    def command(self, program=()):
        """The command prefix that runs a Windows program in this prefix
        (followed by the program's path and its arguments)."""
        return self.inside() + environment_arguments(self.path) + [WINE64] + list(program)

    def start(self):
        if self.template and not os.path.exists(self.path):
            subprocess.run(["cp", "-a", self.template, self.path], check=True, timeout=PREPARE_TIMEOUT)
        if not os.path.exists(os.path.join(self.path, PREPARED_MARK)):
            raise RuntimeError("%s is not a prepared Wine prefix" % self.path)
        for name in ("Documents",):
            if os.path.islink(os.path.join(self.user_folder(), name)):
                raise RuntimeError("the prefix's %s is a link out of the prefix" % name)
        self.running = True
        start_server(self.inside() + environment_arguments(self.path))

    def stop(self):
        """Ends the wineserver (and any program still running in the prefix)."""
        if not self.running:
            return
        self.running = False
        wine = self.inside() + environment_arguments(self.path)
        subprocess.run(wine + [WINESERVER, "-k"], stdin=subprocess.DEVNULL, stdout=subprocess.DEVNULL,
                       stderr=subprocess.DEVNULL, timeout=SERVER_TIMEOUT)
        subprocess.run(wine + [WINESERVER, "-w"], stdin=subprocess.DEVNULL, stdout=subprocess.DEVNULL,
                       stderr=subprocess.DEVNULL, timeout=SERVER_TIMEOUT)

    def remove(self):
        """Stops the wineserver and deletes a copied prefix."""
        self.stop()
        if self.template:
            shutil.rmtree(self.path, ignore_errors=True)

    def user_folder(self):
        return user_folder(self.path)

    def documents(self):
        """The user's documents folder (SHGetFolderPath's CSIDL_PERSONAL)."""
        return os.path.join(self.user_folder(), "Documents")

    def application_data(self):
        """CSIDL_APPDATA."""
        return os.path.join(self.user_folder(), "AppData", "Roaming")

    def local_application_data(self):
        """CSIDL_LOCAL_APPDATA."""
        return os.path.join(self.user_folder(), "AppData", "Local")


if __name__ == "__main__":
    if len(sys.argv) == 3 and sys.argv[1] in ("prepare", "start"):
        problem = available()
        if problem:
            sys.exit("error: " + problem)
        prefix = os.path.abspath(sys.argv[2])
        if sys.argv[1] == "prepare":
            prepare(prefix)
        else:
            start_server(environment_arguments(prefix))
    else:
        sys.exit("usage: wine.py prepare|start PREFIX")
