"""What the tray tests share: the programs under test, the wait for a
condition, a test class's own display (Xvfb) and processes, and the private
network and IPC namespace the tests run in. Imported by the tests beside it
(a script's own folder is on Python's path, so it is found however the test
is started)."""

import os
import shutil
import subprocess
import sys
import tempfile
import time

UI = os.environ.get("ORVEL_BRIDGE_UI", "")
LAB = os.environ.get("ORVEL_BRIDGE_LAB", "")
SCREENSHOTS = os.environ.get("ORVEL_SCREENSHOTS", tempfile.gettempdir())
INSIDE = "ORVEL_TRAY_NAMESPACE"
SKIP = 77


def wait_until(predicate, timeout, step=0.1):
    deadline = time.monotonic() + timeout
    while time.monotonic() < deadline:
        value = predicate()
        if value:
            return value
        time.sleep(step)
    return predicate()


def wait_for_display(env):
    """Waits until the display named in `env` answers a client: it may refuse
    its first clients for a moment after Xvfb named it (seen on a loaded
    machine)."""
    wait_until(lambda: subprocess.run(["xwininfo", "-root"], env=env, stdout=subprocess.DEVNULL,
                                      stderr=subprocess.DEVNULL).returncode == 0, 10)


def enter_namespace(script, tools, arguments=(), missing=""):
    """Inside the private namespace, brings its loopback up and returns None:
    the caller runs its tests. Outside, runs `script` again inside one (its
    exit code returned), or returns 77 (skipped) when a tool of `tools` is
    missing (`missing` says what needs it) or no namespace can be made."""
    if os.environ.get(INSIDE) == "1":
        subprocess.run(["ip", "link", "set", "lo", "up"], check=True)
        return None
    for tool in tools:
        if shutil.which(tool) is None:
            print("skipped: %s is missing%s" % (tool, missing))
            return SKIP
    if not LAB or not os.path.exists(LAB):
        print("ORVEL_BRIDGE_LAB is not set to the simulator")
        return 1
    command = ["unshare", "-n", "-i"] if os.geteuid() == 0 else ["unshare", "-r", "-n", "-i"]
    probe = subprocess.run(command + ["true"], stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
    if probe.returncode != 0:
        print("skipped: no private network namespace (needs root or user namespaces)")
        return SKIP
    env = dict(os.environ, **{INSIDE: "1"})
    return subprocess.run(command + [sys.executable, os.path.abspath(script)] + list(arguments),
                          env=env).returncode


class TrayProcesses:
    """A test class's programs (a mix-in for a unittest.TestCase): each runs in
    the class's folder `home`, writes its output to "<program>.out" there, and
    is ended (terminated, killed after 5 s) with the class; the folder goes
    with them. `env` is the programs' environment once the class set it;
    `log` the tray program's log file."""

    @classmethod
    def start_display(cls, prefix):
        """Makes the class's folder and starts its Xvfb; returns the display's
        number."""
        cls.home = tempfile.mkdtemp(prefix=prefix)
        cls.processes = []
        os.chmod(cls.home, 0o700)
        os.makedirs(os.path.join(cls.home, "docs"))
        read_end, write_end = os.pipe()
        cls.start(["Xvfb", "-displayfd", str(write_end), "-screen", "0", "1024x768x24", "-nolisten", "tcp"],
                  pass_fds=(write_end,))
        os.close(write_end)
        with os.fdopen(read_end) as stream:
            display = stream.readline().strip()
        if not display:
            raise RuntimeError("Xvfb did not start")
        return display

    @classmethod
    def start(cls, argv, env=None, **popen):
        out = open(os.path.join(cls.home, os.path.basename(argv[0]) + ".out"), "a")
        process = subprocess.Popen(argv, cwd=cls.home, env=env or getattr(cls, "env", None), stdout=out,
                                   stderr=subprocess.STDOUT, **popen)
        cls.processes.append(process)
        return process

    @classmethod
    def tearDownClass(cls):
        for process in reversed(cls.processes):
            if process.poll() is None:
                process.terminate()
                try:
                    process.wait(5)
                except subprocess.TimeoutExpired:
                    process.kill()
                    process.wait()
        shutil.rmtree(cls.home, ignore_errors=True)

    def x(self, *argv):
        return subprocess.run(list(argv), env=self.env, stdout=subprocess.PIPE, stderr=subprocess.PIPE,
                              text=True, timeout=30)

    def log_text(self):
        try:
            with open(self.log) as stream:
                return stream.read()
        except FileNotFoundError:
            return ""

    def program_outputs(self, tail=3000):
        """What the programs wrote (the last tail characters of each), one
        text a program, for a failure's message."""
        texts = []
        for name in sorted(os.listdir(self.home)):
            if name.endswith(".out"):
                with open(os.path.join(self.home, name)) as stream:
                    texts.append("--- %s\n%s" % (name, stream.read()[-tail:]))
        return texts

    def screenshot(self, name):
        """Saves the screen as `name` in the screenshots' folder; returns its path."""
        path = os.path.join(SCREENSHOTS, name)
        result = self.x("import", "-window", "root", path)
        self.assertEqual(result.returncode, 0, result.stderr)
        return path
