"""The single-instance guard with real processes (tests/guardprobe.cpp):
a second instance of the same user is refused while the first runs, a new
one starts after the first exits normally or is killed with SIGKILL, and a
block with a spoiled checksum is repaired after the wait, with the warning
in the log. Each test uses an application name of its own, so tests never
share a block. The probe's pauses run on a virtual clock (--fast-wait)."""

import os
import select
import signal
import subprocess
import sys
import unittest

PROBE = os.environ.get("GUARDPROBE", "")
START_TIMEOUT = 60  # generous for the sanitized builds
REFUSAL = "Error: another instance is running"
WARNING = ("SingleApplication: Shared memory block has been in an inconsistent state "
           "from more than 5s. Assuming primary instance failure")


def environment():
    env = dict(os.environ)
    env.setdefault("QT_QPA_PLATFORM", "offscreen")
    return env


class Probe:
    """One probe process holding (or trying to hold) the primary role."""

    def __init__(self, name, *extra):
        self.process = subprocess.Popen([PROBE, name, "hold", *extra], stdout=subprocess.PIPE,
                                        stderr=subprocess.PIPE, text=True, env=environment())

    def wait_primary(self):
        """Waits for the "primary" line; fails if the probe ends first."""
        lines = []
        ready, _, _ = select.select([self.process.stdout], [], [], START_TIMEOUT)
        while ready:
            line = self.process.stdout.readline()
            if not line:
                break
            lines.append(line.rstrip("\n"))
            if lines[-1] == "primary":
                return lines
            ready, _, _ = select.select([self.process.stdout], [], [], START_TIMEOUT)
        raise AssertionError("no primary: stdout %r, stderr %r" % (lines, self.stderr_after_exit()))

    def stderr_after_exit(self):
        try:
            self.process.wait(timeout=5)
        except subprocess.TimeoutExpired:
            return "(still running)"
        return self.process.stderr.read()

    def stop(self):
        """SIGTERM and a normal exit; returns the exit code."""
        self.process.send_signal(signal.SIGTERM)
        code = self.process.wait(timeout=START_TIMEOUT)
        self.close()
        return code

    def kill(self):
        self.process.kill()
        self.process.wait(timeout=START_TIMEOUT)
        self.close()

    def close(self):
        self.process.stdout.close()
        self.process.stderr.close()


def run_once(name, *extra):
    return subprocess.run([PROBE, name, "once", *extra], capture_output=True, text=True,
                          env=environment(), timeout=START_TIMEOUT)


def run_once_with_timeout(name, seconds):
    return subprocess.run([PROBE, name, "once"], capture_output=True, text=True,
                          env=environment(), timeout=seconds)


class GuardTest(unittest.TestCase):
    def setUp(self):
        self.name = "guardprobe-%d-%s" % (os.getpid(), self._testMethodName)
        self.probes = []

    def tearDown(self):
        for probe in self.probes:
            if probe.process.poll() is None:
                probe.kill()
        # A killed holder leaves the block behind; a normal run removes it.
        run_once(self.name)

    def start(self, *extra):
        probe = Probe(self.name, *extra)
        self.probes.append(probe)
        return probe

    def assert_refused(self):
        result = run_once(self.name)
        self.assertEqual(result.returncode, 1, result)
        self.assertEqual(result.stdout, "")
        self.assertIn(REFUSAL + "\n", result.stderr)

    def test_second_instance_refused_until_the_first_exits(self):
        first = self.start()
        first.wait_primary()
        self.assert_refused()
        self.assert_refused()
        self.assertIsNone(first.process.poll())
        self.assertEqual(first.stop(), 0)
        again = self.start()
        again.wait_primary()
        self.assert_refused()
        self.assertEqual(again.stop(), 0)

    def test_new_primary_after_sigkill(self):
        first = self.start()
        first.wait_primary()
        self.assert_refused()
        first.kill()
        # The block outlives the killed primary; its process is gone.
        second = self.start()
        second.wait_primary()
        self.assert_refused()
        self.assertEqual(second.stop(), 0)

    def test_lock_of_a_killed_process_is_released(self):
        first = self.start()
        first.wait_primary()
        holder = subprocess.Popen([PROBE, self.name, "lockhold"], stdout=subprocess.PIPE,
                                  stderr=subprocess.PIPE, text=True, env=environment())
        try:
            ready, _, _ = select.select([holder.stdout], [], [], START_TIMEOUT)
            self.assertTrue(ready)
            self.assertEqual(holder.stdout.readline(), "locked\n")
            # While the lock is held a new instance cannot decide.
            with self.assertRaises(subprocess.TimeoutExpired):
                run_once_with_timeout(self.name, 3)
        finally:
            holder.kill()
            holder.wait(timeout=START_TIMEOUT)
            holder.stdout.close()
            holder.stderr.close()
        # The system gives a killed process's lock back (SEM_UNDO).
        self.assert_refused()
        self.assertEqual(first.stop(), 0)
        self.assertEqual(run_once(self.name).returncode, 0)

    def test_spoiled_block_repaired_after_the_wait(self):
        first = self.start()
        first.wait_primary()
        corrupt = subprocess.run([PROBE, self.name, "corrupt"], capture_output=True, text=True,
                                 env=environment(), timeout=START_TIMEOUT)
        self.assertEqual(corrupt.returncode, 0, corrupt)
        # A primary that died while writing: the spoiled block stays behind.
        first.kill()
        result = run_once(self.name, "--fast-wait")
        self.assertEqual(result.returncode, 0, result)
        lines = result.stdout.splitlines()
        self.assertEqual(lines[-1], "primary", result)
        # One wait before the repair (the first already lasts over 5 s) and
        # one after it; every wait is 8 to 18 s.
        waits = lines[:-1]
        self.assertEqual(len(waits), 2, result)
        for line in waits:
            words = line.split()
            self.assertEqual((words[0], words[2]), ("waited", "s"), line)
            self.assertTrue(8 <= int(words[1]) <= 18, line)
        warnings = [line for line in result.stderr.splitlines() if WARNING in line]
        self.assertEqual(len(warnings), 1, result.stderr)
        self.assertIn(" [warning] " + WARNING, warnings[0])
        # Repaired and released: the next start takes the role at once.
        again = run_once(self.name, "--fast-wait")
        self.assertEqual((again.returncode, again.stdout), (0, "primary\n"), again)


if __name__ == "__main__":
    if not PROBE or not os.access(PROBE, os.X_OK):
        print("GUARDPROBE is not set to the probe program", file=sys.stderr)
        sys.exit(2)
    unittest.main(verbosity=2)
