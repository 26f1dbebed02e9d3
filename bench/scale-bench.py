#!/usr/bin/env python3
"""scale-bench: the console bridge with N static printers, all simulated by one
orvel-bridge-lab process that also plays the WVT server.

For each N (0, the idle bridge, first) it starts the lab with N printers on
127.1.x.y and its server on 127.0.0.1 (a keep-alive every 10 s), starts the
bridge with those printers as static printers and that server, waits until
every printer is registered, and then measures over a window (60 s): the
bridge's resident memory, threads, descriptors and CPU time, the sessions
lost and the keep-alive replies per printer; finally the time from SIGINT to
the bridge's exit. It prints one table with the goals.

Everything runs in a private network namespace (`unshare -n`, the program
re-runs itself there), where 127.1.0.0/16 is loopback and the bridge's
discovery broadcasts reach nothing. Needs root or unprivileged user
namespaces, iproute2 (`ip`) and a built bridge and lab.

Exit status: 0 when every printer was registered and kept alive, no session
was lost, every registration and reply was valid and the bridge exited with
status 0; 1 otherwise; 2 when it cannot run. The speed and memory goals are
shown as met or MISSED in the table and do not change the status.
"""

import argparse
import os
import resource
import shutil
import signal
import subprocess
import sys
import tempfile
import time

sys.path.insert(0, os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "tools", "e2e"))
from bridgeharness import LOG_LINE, STARTED, Bridge, Process, parse_report  # noqa: E402

OWNER = "scale-bench"
CLOCK_TICKS = os.sysconf("SC_CLK_TCK")
PAGE_KIB = os.sysconf("SC_PAGE_SIZE") // 1024
# glibc aligns the heaps of its non-main malloc arenas to this size on 64-bit systems.
ARENA_ALIGNMENT = 64 << 20

GOAL_KIB_PER_PRINTER = 64
GOAL_CPU_PERCENT = 2.0
GOAL_EXIT_SECONDS = 1.0
# How long the bridge may take to exit before it is killed and the run fails.
EXIT_BOUND = 20.0


def printer_address(index):
    """The loopback address of printer index (0-based): 127.1.x.y with y in 1..254."""
    if not 0 <= index < 256 * 254:
        raise ValueError("printer index %d out of range" % index)
    return "127.1.%d.%d" % (index // 254, index % 254 + 1)


# ---------------------------------------------------------------- /proc readers

def read_status(pid):
    """VmRSS, VmHWM (KiB) and the thread count from /proc/<pid>/status."""
    values = {}
    with open("/proc/%d/status" % pid) as status:
        for line in status:
            key, _, rest = line.partition(":")
            if key in ("VmRSS", "VmHWM", "Threads"):
                values[key] = int(rest.split()[0])
    return values


def cpu_times(pid):
    """(utime, stime) of the process, in clock ticks."""
    with open("/proc/%d/stat" % pid) as stat:
        fields = stat.read().rsplit(")", 1)[1].split()
    # fields[0] is the state, field 3 of the line; utime and stime are fields 14 and 15.
    return int(fields[11]), int(fields[12])


def cpu_ticks(pid):
    """utime + stime of the process, in clock ticks."""
    return sum(cpu_times(pid))


def run_time_ns(pid):
    """Nanoseconds the process's threads have run, summed from each thread's
    /proc/<pid>/task/<tid>/schedstat. Unlike utime and stime, which charge a
    whole clock tick to the thread that runs when the tick comes, this counts
    every short burst exactly; threads that end are no longer counted."""
    total = 0
    for tid in os.listdir("/proc/%d/task" % pid):
        try:
            with open("/proc/%d/task/%s/schedstat" % (pid, tid)) as schedstat:
                total += int(schedstat.read().split()[0])
        except (OSError, IndexError, ValueError):
            continue
    return total


def machine_ticks():
    """(busy, total) clock ticks of all cores from /proc/stat."""
    with open("/proc/stat") as stat:
        values = [int(v) for v in stat.readline().split()[1:]]
    idle = values[3] + (values[4] if len(values) > 4 else 0)
    return sum(values) - idle, sum(values)


def count_entries(path):
    try:
        return len(os.listdir(path))
    except OSError:
        return -1


def thread_stack_pointers(pid):
    """Stack pointers of the process's threads that are blocked in a system call
    (/proc/<pid>/task/<tid>/syscall ends with the stack and instruction pointers)."""
    pointers = []
    for tid in os.listdir("/proc/%d/task" % pid):
        try:
            with open("/proc/%d/task/%s/syscall" % (pid, tid)) as syscall:
                fields = syscall.read().split()
        except OSError:
            continue
        if len(fields) >= 3 and fields[0] not in ("running", "-1"):
            pointers.append(int(fields[-2], 16))
    return pointers


def parse_smaps(text):
    """/proc/<pid>/smaps text -> list of mappings (start, end, permissions, path, rss KiB)."""
    mappings = []
    for line in text.splitlines():
        head = line.split(None, 5)
        if head and "-" in head[0] and len(head) >= 5 and not head[0].endswith(":"):
            start, end = (int(part, 16) for part in head[0].split("-"))
            mappings.append([start, end, head[1], head[5].strip() if len(head) > 5 else "", 0])
        elif line.startswith("Rss:") and mappings:
            mappings[-1][4] = int(line.split()[1])
    return [tuple(mapping) for mapping in mappings]


def classify_memory(mappings, stack_pointers):
    """Resident KiB by kind: thread stacks (mappings that hold a thread's stack
    pointer), malloc arenas (anonymous writable mappings that start on the
    arenas' alignment), the main heap, other anonymous memory and files.
    Returns {kind: (rss KiB, mappings)}."""
    kinds = {}
    for start, end, permissions, path, rss in mappings:
        if any(start <= pointer < end for pointer in stack_pointers):
            kind = "thread stacks"
        elif path == "[heap]":
            kind = "main heap"
        elif path.startswith("["):
            kind = "other anonymous"
        elif path:
            kind = "files"
        elif permissions.startswith("rw") and start % ARENA_ALIGNMENT == 0:
            kind = "malloc arenas"
        else:
            kind = "other anonymous"
        total, count = kinds.get(kind, (0, 0))
        kinds[kind] = (total + rss, count + 1)
    return kinds


def memory_breakdown(pid):
    with open("/proc/%d/smaps" % pid) as smaps:
        text = smaps.read()
    return classify_memory(parse_smaps(text), thread_stack_pointers(pid))


# ---------------------------------------------------------------- the programs

class Counting(Process):
    """A Process that also hands each output line to observe() as it arrives,
    so that waits test counters instead of scanning every line again."""

    def _read(self, stream, name):
        for line in stream:
            now = time.monotonic()
            text = line.rstrip("\n")
            with self.condition:
                self.lines.append((now, name, text))
                if name == "out":
                    self.observe(now, text)
                self.condition.notify_all()

    def observe(self, now, text):
        pass

    def wait_for(self, predicate, timeout):
        """Waits until predicate() holds (tested under the lines' lock)."""
        return self.wait_until(lambda _: predicate(), timeout)

    def tail(self, count=30):
        lines = self.snapshot()
        text = ["--- %s (exit status %s), last %d of %d lines"
                % (self.label, self.process.poll(), min(count, len(lines)), len(lines))]
        text += ["%8.3f %s %s" % (when - self.started, stream, line)
                 for when, stream, line in lines[-count:]]
        return "\n".join(text)


class CountingLab(Counting):
    """orvel-bridge-lab, whose reports keep its server's port and whether it is
    ready, and go to observe_event() for the counters of a benchmark."""

    def __init__(self, owner, argv):
        self.port = None
        self.ready = False
        super().__init__(owner, "lab", argv)

    def observe(self, now, text):
        try:
            _, event, fields = parse_report(text)
        except (ValueError, IndexError):
            return
        if event == "server-listen":
            self.port = int(fields["port"])
        elif event == "ready":
            self.ready = True
        else:
            self.observe_event(now, event, fields)

    def observe_event(self, now, event, fields):
        pass


class ScaleLab(CountingLab):
    """orvel-bridge-lab with N printers and the simulated server; counts the
    server's registrations, replies and ended sessions per printer name."""

    def __init__(self, count, keepalive):
        argv = [os.environ["ORVEL_BRIDGE_LAB"], "--web-port", "0",
                "--server", "127.0.0.1:0,keepalive=%g" % keepalive]
        for index in range(count):
            argv += ["--printer", printer_address(index)]
        self.first_registration = {}  # name -> arrival time
        self.registrations = 0
        self.invalid_registrations = 0
        self.replies = {}             # name -> count
        self.faulty_replies = 0
        self.session_ends = 0
        super().__init__(OWNER, argv)

    def observe_event(self, now, event, fields):
        if event == "server-register":
            self.registrations += 1
            if fields.get("valid") != "yes":
                self.invalid_registrations += 1
            self.first_registration.setdefault(fields.get("name"), now)
        elif event == "server-reply":
            name = fields.get("name")
            self.replies[name] = self.replies.get(name, 0) + 1
            if fields.get("type") != fields.get("expected") or fields.get("echo") != "ok":
                self.faulty_replies += 1
        elif event == "server-session-end":
            self.session_ends += 1

    def counters(self):
        with self.condition:
            return {"registrations": self.registrations, "session_ends": self.session_ends,
                    "replies": dict(self.replies)}


class ScaleBridge(Bridge, Counting):
    """The console bridge; counts its started line and its sessions' "connected" lines."""

    CONNECTED_SUFFIX = "' connected to gateway"

    def __init__(self, home, args):
        self.started_at = None
        self.connected = 0
        super().__init__(OWNER, home, args)

    def observe(self, now, text):
        match = LOG_LINE.match(text)
        if not match:
            return
        message = match.group(3)
        if message.startswith("Printer '") and message.endswith(self.CONNECTED_SUFFIX):
            self.connected += 1
        elif message == STARTED and self.started_at is None:
            self.started_at = now


# ---------------------------------------------------------------- one run

class Failure(Exception):
    pass


def measure(count, options):
    """Runs the lab and the bridge with count printers; returns the figures."""
    figures = {"N": count, "failures": []}
    home = tempfile.mkdtemp(prefix="orvel-scale-home-")
    lab = bridge = None
    try:
        lab = ScaleLab(count, options.keepalive)
        if not lab.wait_for(lambda: lab.ready and lab.port, 30 + count * 0.05):
            raise Failure("the lab did not get ready")

        bridge_args = ["--server-address", "127.0.0.1", "--server-port", str(lab.port),
                       "--gateway", "false", "--discovery-responder", "false",
                       "--log-level", "2"]
        if count:
            bridge_args += ["--static-printers", ";".join(printer_address(i) for i in range(count))]
        bridge = ScaleBridge(home, bridge_args)
        pid = bridge.process.pid
        if not bridge.wait_for(lambda: bridge.started_at is not None, 30):
            raise Failure("the bridge did not start")

        deadline = 30 + count * options.register_seconds_per_printer
        all_registered = lab.wait_for(lambda: len(lab.first_registration) >= count, deadline) \
            if count else True
        figures["registered"] = len(lab.first_registration)
        if count and all_registered:
            figures["register_s"] = max(lab.first_registration.values()) - bridge.started
        if not all_registered:
            figures["failures"].append("only %d of %d printers registered within %.0f s"
                                       % (len(lab.first_registration), count, deadline))
        if not count:
            time.sleep(options.settle)

        # The window.
        before_lab = lab.counters()
        before_connected = bridge.connected
        started = time.monotonic()
        before_cpu, before_lab_cpu = cpu_times(pid), cpu_ticks(lab.process.pid)
        before_run = run_time_ns(pid)
        before_machine = machine_ticks()
        peak = {"VmRSS": 0, "Threads": 0, "fds": 0}
        while True:
            status = read_status(pid)
            peak["VmRSS"] = max(peak["VmRSS"], status["VmRSS"])
            peak["Threads"] = max(peak["Threads"], status["Threads"])
            peak["fds"] = max(peak["fds"], count_entries("/proc/%d/fd" % pid))
            left = started + options.seconds - time.monotonic()
            if left <= 0:
                break
            time.sleep(min(1.0, left))
        elapsed = time.monotonic() - started
        after_cpu = cpu_times(pid)
        run = run_time_ns(pid) - before_run
        user, system = (after - before for after, before in zip(after_cpu, before_cpu))
        lab_cpu = cpu_ticks(lab.process.pid) - before_lab_cpu
        after_machine = machine_ticks()
        after_lab = lab.counters()
        status = read_status(pid)
        figures.update({
            "rss": status["VmRSS"], "rss_peak": peak["VmRSS"], "hwm": status["VmHWM"],
            "threads": count_entries("/proc/%d/task" % pid), "threads_peak": peak["Threads"],
            "fds": count_entries("/proc/%d/fd" % pid), "fds_peak": peak["fds"],
            "cpu_percent": 100.0 * (user + system) / CLOCK_TICKS / elapsed,
            "run_percent": 100.0 * run / 1e9 / elapsed,
            "cpu_user_percent": 100.0 * user / CLOCK_TICKS / elapsed,
            "cpu_system_percent": 100.0 * system / CLOCK_TICKS / elapsed,
            "lab_cpu_percent": 100.0 * lab_cpu / CLOCK_TICKS / elapsed,
            "machine_percent": 100.0 * (after_machine[0] - before_machine[0])
            / max(1, after_machine[1] - before_machine[1]),
            "window_s": elapsed,
            "breakdown": memory_breakdown(pid),
        })

        # Sessions lost in the window: ended at the server, registered again, or
        # connected again by the bridge (one lost session shows in all three).
        ends = after_lab["session_ends"] - before_lab["session_ends"]
        again = after_lab["registrations"] - before_lab["registrations"]
        with bridge.condition:
            reconnected = bridge.connected - before_connected
        figures["lost"] = max(ends, again, reconnected)
        if figures["lost"]:
            figures["failures"].append("%d sessions lost (server ends %d, registrations %d, bridge connects %d)"
                                       % (figures["lost"], ends, again, reconnected))
        if count:
            per_printer = [after_lab["replies"].get(name, 0) - before_lab["replies"].get(name, 0)
                           for name in lab.first_registration]
            per_printer += [0] * (count - len(per_printer))
            figures["replies"] = (min(per_printer), sum(per_printer) / count, max(per_printer))
            # Each session gets a keep-alive every period; phases differ, so one fewer may fall in the window.
            least = int(elapsed // options.keepalive) - 1
            if min(per_printer) < least:
                figures["failures"].append("a printer had only %d keep-alive replies in %.0f s (at least %d expected)"
                                           % (min(per_printer), elapsed, least))
        with lab.condition:
            figures["faulty"] = lab.faulty_replies + lab.invalid_registrations
        if figures["faulty"]:
            figures["failures"].append("%d invalid registrations, %d faulty keep-alive replies"
                                       % (lab.invalid_registrations, lab.faulty_replies))

        # The stop.
        sent = time.monotonic()
        bridge.signal(signal.SIGINT)
        exit_status = bridge.wait_exit(EXIT_BOUND)
        figures["exit_s"] = time.monotonic() - sent
        figures["exit_status"] = exit_status
        if exit_status != 0:
            figures["failures"].append("the bridge %s after SIGINT" % (
                "did not exit within %.0f s" % EXIT_BOUND if exit_status is None
                else "exited with status %d" % exit_status))
    except Failure as failure:
        figures["failures"].append(str(failure))
    finally:
        if figures["failures"]:
            for process in (bridge, lab):
                if process is not None:
                    print(process.tail(), flush=True)
        if bridge is not None:
            bridge.finish()
        if lab is not None:
            lab.signal(signal.SIGINT)
            if lab.wait_exit(30) is None:
                figures["failures"].append("the lab did not exit")
            lab.finish()
        shutil.rmtree(home, ignore_errors=True)
    return figures


# ---------------------------------------------------------------- the table

def show(value, form="%d"):
    return "-" if value is None else form % value


def print_table(results, options):
    idle = results[0]
    columns = [result["N"] for result in results]

    def row(label, values):
        print("%-44s" % label + "".join("%14s" % value for value in values))

    def above_idle(result):
        if not result["N"] or "rss" not in result or "rss" not in idle:
            return None
        return (result["rss"] - idle["rss"]) / result["N"]

    print()
    print("Scale benchmark: %g-s window, keep-alive every %g s, %d cores, open-files limit %d"
          % (options.seconds, options.keepalive, os.cpu_count(), resource.getrlimit(resource.RLIMIT_NOFILE)[0]))
    row("printers (N)", columns)
    row("registered", [show(r.get("registered")) for r in results])
    row("start to all registered (s)", [show(r.get("register_s"), "%.2f") for r in results])
    row("sessions lost in window", [show(r.get("lost")) for r in results])
    row("keep-alive replies per printer min/mean/max",
        ["%d/%.1f/%d" % r["replies"] if "replies" in r else "-" for r in results])
    row("invalid registrations + faulty replies", [show(r.get("faulty")) for r in results])
    row("VmRSS at window end (KiB)", [show(r.get("rss")) for r in results])
    row("VmRSS peak in window (KiB)", [show(r.get("rss_peak")) for r in results])
    row("VmHWM (KiB)", [show(r.get("hwm")) for r in results])
    row("resident per printer above idle (KiB)", [show(above_idle(r), "%.1f") for r in results])
    # Between one run and the one before it: the cost of one more printer, without the fixed costs.
    marginal = [None]
    for previous, result in zip(results, results[1:]):
        marginal.append((result["rss"] - previous["rss"]) / (result["N"] - previous["N"])
                        if "rss" in result and "rss" in previous else None)
    row("  per added printer, from the run before", [show(value, "%.1f") for value in marginal])
    row("threads (peak)", ["%s (%s)" % (show(r.get("threads")), show(r.get("threads_peak"))) for r in results])
    row("open descriptors (peak)", ["%s (%s)" % (show(r.get("fds")), show(r.get("fds_peak"))) for r in results])
    row("CPU, % of one core", [show(r.get("cpu_percent"), "%.2f") for r in results])
    row("  of it user / system", ["%s/%s" % (show(r.get("cpu_user_percent"), "%.2f"),
                                              show(r.get("cpu_system_percent"), "%.2f")) for r in results])
    row("  threads' run time (schedstat), % of one core", [show(r.get("run_percent"), "%.2f") for r in results])
    row("SIGINT to exit (s)", [show(r.get("exit_s"), "%.3f") for r in results])
    print("resident memory by kind (KiB, mappings):")
    kinds = ["thread stacks", "malloc arenas", "main heap", "other anonymous", "files"]
    for kind in kinds:
        row("  " + kind, ["%d (%d)" % r["breakdown"].get(kind, (0, 0)) if "breakdown" in r else "-"
                          for r in results])
    row("  per thread, stacks (KiB)",
        [show(r["breakdown"].get("thread stacks", (0, 0))[0] / max(1, r["threads"]), "%.1f")
         if "breakdown" in r else "-" for r in results])
    print("machine:")
    row("  lab CPU, % of one core", [show(r.get("lab_cpu_percent"), "%.1f") for r in results])
    row("  all cores busy, %", [show(r.get("machine_percent"), "%.1f") for r in results])

    print("goals:")
    largest = results[-1]

    def verdict(met):
        return "-" if met is None else ("met" if met else "MISSED")

    row("  all registered, kept alive, none lost",
        [verdict(None if "lost" not in r else
                 r.get("registered") == r["N"] and r["lost"] == 0 and not r["failures"]) for r in results])
    row("  <= %d KiB per printer above idle" % GOAL_KIB_PER_PRINTER,
        [verdict(None if above_idle(r) is None else above_idle(r) <= GOAL_KIB_PER_PRINTER) for r in results])
    row("  < %g %% of one core" % GOAL_CPU_PERCENT,
        [verdict(None if "cpu_percent" not in r else r["cpu_percent"] < GOAL_CPU_PERCENT) for r in results])
    row("  exit within %g s of SIGINT" % GOAL_EXIT_SECONDS,
        [verdict(None if "exit_s" not in r else r["exit_s"] <= GOAL_EXIT_SECONDS and r["exit_status"] == 0)
         for r in results])
    print("(the goals name 1000 printers; at small N the fixed costs, such as the heap's first pages,\n"
          " weigh on the memory per printer: the row \"per added printer\" leaves them out)")
    if largest["N"] != 1000:
        print("(the goals name 1000 printers; the largest run here had %d)" % largest["N"])
    for result in results:
        for failure in result["failures"]:
            print("FAILED N=%d: %s" % (result["N"], failure))


# ---------------------------------------------------------------- main

def parse_arguments(argv):
    parser = argparse.ArgumentParser(description="The bridge with N static printers against one simulator.")
    parser.add_argument("--printers", default="10,100,1000",
                        help="comma-separated printer counts (the idle bridge, 0, always runs first)")
    parser.add_argument("--seconds", type=float, default=60.0, help="length of the measurement window")
    parser.add_argument("--keepalive", type=float, default=10.0, help="the server's keep-alive period (s)")
    parser.add_argument("--settle", type=float, default=2.0,
                        help="seconds between the idle bridge's start and its window")
    parser.add_argument("--register-seconds-per-printer", type=float, default=0.1,
                        help="registration deadline: 30 s plus this per printer")
    parser.add_argument("--build", default=None,
                        help="build directory (default build/normal; ORVEL_BRIDGE_CONSOLE and ORVEL_BRIDGE_LAB win)")
    parser.add_argument("--inside", action="store_true", help=argparse.SUPPRESS)
    options = parser.parse_args(argv)
    try:
        counts = sorted({int(part) for part in options.printers.split(",") if part.strip()} - {0})
    except ValueError:
        parser.error("--printers takes comma-separated numbers")
    if any(count < 0 or count > 256 * 254 for count in counts):
        parser.error("printer counts lie between 0 and %d" % (256 * 254))
    if options.seconds <= 0 or options.keepalive < 0.001:
        parser.error("--seconds must be positive and --keepalive at least 0.001")
    options.counts = [0] + counts
    return options


def prepare_run(owner, script, build, argv, inside):
    """The start that the benchmarks share. Finds the built bridge and lab
    (ORVEL_BRIDGE_CONSOLE and ORVEL_BRIDGE_LAB win over the build folder
    `build`, default build/normal); outside the namespace runs `script` again
    with `argv` and --inside in a private network namespace; inside it brings
    lo up and raises the open-files limit, which the lab inherits (the
    bridge raises its own). Returns the exit status to end with, or None when
    the run may go on."""
    root = os.path.join(os.path.dirname(os.path.abspath(__file__)), "..")
    build = os.path.abspath(build or os.path.join(root, "build", "normal"))
    os.environ.setdefault("ORVEL_BRIDGE_CONSOLE", os.path.join(build, "console", "orvel-bridge-console"))
    os.environ.setdefault("ORVEL_BRIDGE_LAB", os.path.join(build, "lab", "orvel-bridge-lab"))
    for name in ("ORVEL_BRIDGE_CONSOLE", "ORVEL_BRIDGE_LAB"):
        # The bridge runs in a folder of its own.
        os.environ[name] = os.path.abspath(os.environ[name])
        if not os.access(os.environ[name], os.X_OK):
            print("%s: %s is not built (%s)" % (owner, name, os.environ[name]), file=sys.stderr)
            return 2
    if not inside:
        command = [sys.executable, os.path.abspath(script), "--inside"] + [a for a in argv if a != "--inside"]
        for flags in (["-n"], ["-rn"]):
            if subprocess.run(["unshare"] + flags + ["true"], stderr=subprocess.DEVNULL).returncode == 0:
                return subprocess.run(["unshare"] + flags + ["--"] + command).returncode
        print("%s: cannot make a private network namespace (unshare -n); not run" % owner, file=sys.stderr)
        return 2
    if subprocess.run(["ip", "link", "set", "lo", "up"]).returncode != 0:
        print("%s: cannot bring lo up in the namespace" % owner, file=sys.stderr)
        return 2
    soft, hard = resource.getrlimit(resource.RLIMIT_NOFILE)
    if soft < hard:
        resource.setrlimit(resource.RLIMIT_NOFILE, (hard, hard))
    return None


def main(argv):
    options = parse_arguments(argv)
    status = prepare_run(OWNER, __file__, options.build, argv, options.inside)
    if status is not None:
        return status
    # The lab holds three descriptors per printer and two connections.
    hard = resource.getrlimit(resource.RLIMIT_NOFILE)[1]
    needed = 6 * max(options.counts) + 64
    if hard != resource.RLIM_INFINITY and hard < needed:
        print("scale-bench: the open-files limit %d is below the %d the lab needs" % (hard, needed),
              file=sys.stderr)
        return 2

    results = []
    for count in options.counts:
        print("running N=%d ..." % count, flush=True)
        results.append(measure(count, options))
    print_table(results, options)
    sys.stdout.flush()
    return 1 if any(result["failures"] for result in results) else 0


if __name__ == "__main__":
    sys.exit(main(sys.argv[1:]))
