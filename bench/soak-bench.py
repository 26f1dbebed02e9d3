#!/usr/bin/env python3
"""soak-bench: the console bridge through many session flaps and printer
reconnects, with its resident memory, descriptors and threads sampled as it
goes; they must stay flat.

One orvel-bridge-lab process simulates N printers (100) on 127.1.x.y and the
WVT server on 127.0.0.1. The server closes every session 1 s after its
registration (`close-after=1`), so each printer's session flaps at every
poll that starts a new one; the printers drop their status connection
(`status-close-after`): the even ones after one identity answer (the backup
asked for next then fails), the odd ones after two (their first connection
stores a backup). The bridge polls them as static printers and reconnects 10
s after each drop. A warm-up comes first: at least 30 s, until every
printer is registered and the backup folder holds a backup of each odd
printer. The run then lasts until the server saw --flaps sessions closed
and the printers --reconnects reconnections (1000 each) after the warm-up.

The bridge takes no new backup of a printer while its newest one is younger
than the backup period (4 hours), however often the printer reconnects: the
folder must hold as many backups at the end as after the warm-up.

Every --every seconds (30: one cycle of each kind of printer, whose
status connections live 10 s and 30 s) it samples the bridge's VmRSS, open
descriptors and threads (/proc), and prints them as a table with the flaps
and reconnects so far. As the threads and descriptors of the flapping
sessions and dropped connections come and go within each cycle (and the
printers, started together, keep in step), each sample is the mean of
readings taken every 0.25 s over its whole period. A figure is flat when
the last sample lies within 5 % of the first one after the warm-up.

Everything runs in a private network namespace (`unshare -n`; the program
re-runs itself there); needs root or unprivileged user namespaces, iproute2
and a built bridge and lab (--build DIR, else build/normal; or
ORVEL_BRIDGE_CONSOLE and ORVEL_BRIDGE_LAB). Run it niced on a shared machine.

Exit status: 0 when the counts were reached and every figure stayed flat,
1 otherwise, 2 when it cannot run.
"""

import argparse
import importlib.util
import os
import shutil
import signal
import statistics
import sys
import tempfile
import time

HERE = os.path.dirname(os.path.abspath(__file__))

# The scale benchmark's printer addresses, /proc readers and counting processes.
_spec = importlib.util.spec_from_file_location("scale_bench", os.path.join(HERE, "scale-bench.py"))
scale = importlib.util.module_from_spec(_spec)
_spec.loader.exec_module(scale)

OWNER = "soak-bench"
FLAT_PERCENT = 5.0
EXIT_BOUND = 20.0


class SoakLab(scale.CountingLab):
    """The lab with the flapping server and the printers that drop their
    status connection; counts registrations, closed sessions and status
    connections."""

    def __init__(self, count):
        argv = [os.environ["ORVEL_BRIDGE_LAB"], "--web-port", "0",
                "--server", "127.0.0.1:0,keepalive=10,password-version=-1,close-after=1"]
        for index in range(count):
            argv += ["--printer", "%s,discovery=none,backup-size=2048,status-close-after=%d"
                     % (scale.printer_address(index), 1 + index % 2)]
        self.registered = set()
        self.flaps = 0          # sessions the server closed after 1 s
        self.other_ends = 0     # sessions that ended otherwise
        self.connects = 0       # status connections
        self.invalid = 0        # registrations with problems
        super().__init__(OWNER, argv)

    def observe_event(self, now, event, fields):
        if event == "server-register":
            self.registered.add(fields.get("name"))
            self.invalid += fields.get("valid") != "yes"
        elif event == "server-session-end":
            if fields.get("reason") == "close-after":
                self.flaps += 1
            elif fields.get("reason") != "stopped":
                self.other_ends += 1
        elif event == "status-connect":
            self.connects += 1

    def counters(self):
        with self.condition:
            return self.flaps, self.connects, len(self.registered)


def sample(pid, seconds):
    """(VmRSS KiB, descriptors, threads), each the mean of readings taken
    every 0.25 s for `seconds`: over whole cycles of the printers, the
    threads and sockets of the sessions and status connections that come
    and go count the same way in every sample."""
    readings = []
    deadline = time.monotonic() + seconds
    while True:
        status = scale.read_status(pid)
        readings.append((status["VmRSS"], scale.count_entries("/proc/%d/fd" % pid), status["Threads"]))
        if time.monotonic() >= deadline:
            break
        time.sleep(0.25)
    return tuple(int(round(statistics.mean(column))) for column in zip(*readings))


def backups(home):
    """The finished backup files below the bridge's home, by printer: the
    part of the name before the time stamp ("Backup-<name>-<stamp>.<ext>")
    to the paths, oldest first."""
    found = {}
    for folder, _, names in os.walk(home):
        for name in sorted(names):
            if name.startswith("Backup-") and not name.endswith(".tmp"):
                found.setdefault(name.rsplit("-", 1)[0], []).append(os.path.join(folder, name))
    return found


def count_backups(home):
    return sum(len(paths) for paths in backups(home).values())


def soak(options):
    home = tempfile.mkdtemp(prefix="orvel-soak-home-")
    lab = bridge = None
    rows, failures = [], []
    try:
        lab = SoakLab(options.printers)
        if not lab.wait_for(lambda: lab.ready and lab.port, 30):
            raise RuntimeError("the lab did not get ready")
        bridge = scale.ScaleBridge(home, [
            "--server-address", "127.0.0.1", "--server-port", str(lab.port), "--gateway", "false",
            "--discovery-responder", "false", "--log-level", "2",
            "--static-printers", ";".join(scale.printer_address(i) for i in range(options.printers))])
        pid = bridge.process.pid
        if not bridge.wait_for(lambda: bridge.started_at is not None, 30):
            raise RuntimeError("the bridge did not start")
        started = time.monotonic()
        if not lab.wait_for(lambda: len(lab.registered) >= options.printers, options.warmup + 30):
            failures.append("only %d of %d printers registered" % (len(lab.registered), options.printers))
        stored = options.printers // 2
        while count_backups(home) < stored and time.monotonic() - started < options.limit:
            time.sleep(1.0)
        time.sleep(max(0.0, started + options.warmup - time.monotonic()))
        warmup = time.monotonic() - started
        warmed = count_backups(home)
        flaps0, connects0, _ = lab.counters()
        print("%8s %10s %6s %8s %7s %11s" % ("seconds", "VmRSS KiB", "fds", "threads", "flaps", "reconnects"),
              flush=True)
        while True:
            rss, fds, threads = sample(pid, options.every)
            flaps, connects, _ = lab.counters()
            # Counted from the end of the warm-up; the status connections
            # made then were all reconnections.
            rows.append((time.monotonic() - started, rss, fds, threads, flaps - flaps0, connects - connects0))
            print("%8.0f %10d %6d %8d %7d %11d" % rows[-1], flush=True)
            if bridge.process.poll() is not None:
                failures.append("the bridge ended with status %s" % bridge.process.poll())
                break
            if rows[-1][4] >= options.flaps and rows[-1][5] >= options.reconnects:
                break
            if time.monotonic() - started > options.limit:
                failures.append("the counts were not reached within %d s" % options.limit)
                break
        print("after a warm-up of %.0f s: %d flaps, %d reconnects"
              % (warmup, rows[-1][4], rows[-1][5]))
        after = count_backups(home)
        print("backups: %d after the warm-up, %d at the end" % (warmed, after))
        if after != warmed:
            failures.append("the backups went from %d to %d while the printers flapped" % (warmed, after))
        if lab.other_ends:
            failures.append("%d sessions ended otherwise than by the server's close" % lab.other_ends)
        if lab.invalid:
            failures.append("%d registrations with problems" % lab.invalid)
        bridge.signal(signal.SIGINT)
        if bridge.wait_exit(EXIT_BOUND) != 0:
            failures.append("the bridge did not exit cleanly")
    finally:
        for process in (bridge, lab):
            if process is not None:
                process.finish()
        shutil.rmtree(home, ignore_errors=True)
    return rows, failures


def verdict(rows):
    """Lines that compare the last sample with the first, and whether all are flat."""
    first, last = rows[0], rows[-1]
    lines, flat = [], True
    for column, name in ((1, "VmRSS"), (2, "descriptors"), (3, "threads")):
        change = 100.0 * (last[column] - first[column]) / first[column]
        ok = abs(change) <= FLAT_PERCENT
        flat &= ok
        values = [row[column] for row in rows]
        lines.append("%-12s first %8d  last %8d  change %+6.1f %%  (min %d, max %d)  %s"
                     % (name, first[column], last[column], change, min(values), max(values),
                        "flat" if ok else "NOT FLAT"))
    return lines, flat


def parse_arguments(argv):
    parser = argparse.ArgumentParser(description="Session flaps and printer reconnects; memory, "
                                                 "descriptors and threads must stay flat.")
    parser.add_argument("--printers", type=int, default=100)
    parser.add_argument("--flaps", type=int, default=1000, help="session flaps to reach (default 1000)")
    parser.add_argument("--reconnects", type=int, default=1000, help="printer reconnects to reach (default 1000)")
    parser.add_argument("--every", type=float, default=30.0, help="seconds per sample (default 30)")
    parser.add_argument("--warmup", type=float, default=30.0, help="shortest warm-up in seconds (default 30)")
    parser.add_argument("--limit", type=float, default=1800.0, help="give up after this many seconds")
    parser.add_argument("--build", help="build folder (default build/normal)")
    parser.add_argument("--inside", action="store_true", help=argparse.SUPPRESS)
    options = parser.parse_args(argv)
    if not 1 <= options.printers <= 256 * 254:
        parser.error("--printers lies between 1 and %d" % (256 * 254))
    return options


def main(argv):
    options = parse_arguments(argv)
    status = scale.prepare_run(OWNER, __file__, options.build, argv, options.inside)
    if status is not None:
        return status

    print("soak-bench: %d printers, the server closes each session 1 s after registration, the printers drop "
          "their status connection after 1 (even) or 2 (odd) answers; a sample every %g s" % (
              options.printers, options.every), flush=True)
    rows, failures = soak(options)
    if rows:
        lines, flat = verdict(rows)
        print("\n".join(lines))
        if not flat:
            failures.append("a figure did not stay within %g %%" % FLAT_PERCENT)
    for failure in failures:
        print("FAILED: " + failure)
    return 1 if failures or not rows else 0


if __name__ == "__main__":
    sys.exit(main(sys.argv[1:]))
