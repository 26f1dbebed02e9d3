"""Tests of scale-bench's own helpers: the printers' addresses, the reading of
/proc/<pid>/smaps and the split of resident memory by kind, and the figures
read from /proc for a process whose use is known (this one)."""

import importlib.util
import os
import sys
import threading
import time
import unittest

HERE = os.path.dirname(os.path.abspath(__file__))
spec = importlib.util.spec_from_file_location("scale_bench", os.path.join(HERE, "..", "scale-bench.py"))
scale_bench = importlib.util.module_from_spec(spec)
spec.loader.exec_module(scale_bench)

SMAPS = """\
55d0c0a00000-55d0c0a21000 rw-p 00000000 00:00 0                          [heap]
Size:                132 kB
Rss:                  40 kB
7f0000000000-7f0000021000 rw-p 00000000 00:00 0 
Size:                132 kB
Rss:                 100 kB
7f0000021000-7f0004000000 ---p 00000000 00:00 0 
Size:              65404 kB
Rss:                   0 kB
7f0010001000-7f0010002000 ---p 00000000 00:00 0 
Size:                  4 kB
Rss:                   0 kB
7f0010002000-7f0010802000 rw-p 00000000 00:00 0 
Size:               8192 kB
Rss:                  12 kB
7f0020001000-7f0020011000 rw-p 00000000 00:00 0 
Size:                 64 kB
Rss:                   8 kB
7f0030000000-7f0030100000 r-xp 00000000 08:01 1234                       /usr/lib/libc.so.6
Size:               1024 kB
Rss:                 600 kB
7ffc00000000-7ffc00021000 rw-p 00000000 00:00 0                          [stack]
Size:                132 kB
Rss:                  20 kB
"""


class AddressTest(unittest.TestCase):
    def test_addresses_are_distinct_loopback_hosts(self):
        addresses = [scale_bench.printer_address(i) for i in range(256 * 254)]
        self.assertEqual(len(set(addresses)), len(addresses))
        for address in addresses:
            octets = [int(part) for part in address.split(".")]
            self.assertEqual(octets[:2], [127, 1])
            self.assertTrue(0 <= octets[2] <= 255)
            self.assertTrue(1 <= octets[3] <= 254, address)
        self.assertEqual(scale_bench.printer_address(0), "127.1.0.1")
        self.assertEqual(scale_bench.printer_address(254), "127.1.1.1")

    def test_beyond_the_range_is_refused(self):
        with self.assertRaises(ValueError):
            scale_bench.printer_address(256 * 254)


class MemoryTest(unittest.TestCase):
    def test_mappings_are_read_with_their_rss(self):
        mappings = scale_bench.parse_smaps(SMAPS)
        self.assertEqual(len(mappings), 8)
        self.assertEqual(mappings[0], (0x55d0c0a00000, 0x55d0c0a21000, "rw-p", "[heap]", 40))
        self.assertEqual(mappings[1][3], "")
        self.assertEqual(mappings[6][3], "/usr/lib/libc.so.6")
        self.assertEqual([m[4] for m in mappings], [40, 100, 0, 0, 12, 8, 600, 20])

    def test_kinds(self):
        mappings = scale_bench.parse_smaps(SMAPS)
        # One thread blocked with its stack pointer in the 8-MiB mapping, the main thread in [stack].
        kinds = scale_bench.classify_memory(mappings, [0x7f0010801000, 0x7ffc00020000])
        self.assertEqual(kinds["thread stacks"], (32, 2))
        self.assertEqual(kinds["malloc arenas"], (100, 1))
        self.assertEqual(kinds["main heap"], (40, 1))
        self.assertEqual(kinds["files"], (600, 1))
        # The arena's reserve, the guard page and an unaligned anonymous mapping.
        self.assertEqual(kinds["other anonymous"], (8, 3))
        self.assertEqual(sum(rss for rss, _ in kinds.values()), 780)

    def test_an_aligned_stack_is_a_stack(self):
        mappings = scale_bench.parse_smaps(SMAPS)
        kinds = scale_bench.classify_memory(mappings, [0x7f0000000100])
        self.assertEqual(kinds["thread stacks"], (100, 1))
        self.assertNotIn("malloc arenas", kinds)


class ProcTest(unittest.TestCase):
    def test_own_threads_and_memory(self):
        pid = os.getpid()
        before = scale_bench.read_status(pid)
        release = threading.Event()
        threads = [threading.Thread(target=release.wait) for _ in range(3)]
        for thread in threads:
            thread.start()
        try:
            during = scale_bench.read_status(pid)
            self.assertEqual(during["Threads"], before["Threads"] + 3)
            self.assertEqual(scale_bench.count_entries("/proc/%d/task" % pid), during["Threads"])
            self.assertGreaterEqual(during["VmHWM"], during["VmRSS"])
            # 32 MiB touched page by page shows in the resident size.
            block = bytearray(32 << 20)
            for offset in range(0, len(block), 4096):
                block[offset] = 1
            self.assertGreater(scale_bench.read_status(pid)["VmRSS"], during["VmRSS"] + 30 * 1024)
            pointers = scale_bench.thread_stack_pointers(pid)
            self.assertGreaterEqual(len(pointers), 3)
            kinds = scale_bench.memory_breakdown(pid)
            self.assertGreaterEqual(kinds["thread stacks"][1], 3)
        finally:
            release.set()
            for thread in threads:
                thread.join()

    def test_cpu_ticks_count_work(self):
        # Compared with the process's own CPU time as Python reads it, not with
        # the wall clock, so that a busy machine does not matter.
        pid = os.getpid()
        before, before_times = scale_bench.cpu_ticks(pid), os.times()
        total = 0
        while sum(os.times()[:2]) - sum(before_times[:2]) < 0.5:
            total += 1
        ticks = scale_bench.cpu_ticks(pid) - before
        spent = sum(os.times()[:2]) - sum(before_times[:2])
        self.assertAlmostEqual(ticks / scale_bench.CLOCK_TICKS, spent, delta=0.05)

    def test_run_time_counts_every_thread(self):
        pid = os.getpid()
        before = scale_bench.run_time_ns(pid)
        spun, release = threading.Event(), threading.Event()

        def spin():
            started = time.thread_time()
            while time.thread_time() - started < 0.2:
                pass
            spun.set()
            release.wait()

        worker = threading.Thread(target=spin)
        worker.start()
        try:
            self.assertTrue(spun.wait(30))
            # The worker's 0.2 s count while it still exists.
            self.assertGreaterEqual(scale_bench.run_time_ns(pid) - before, 0.2e9)
        finally:
            release.set()
            worker.join()

if __name__ == "__main__":
    unittest.main(argv=[sys.argv[0]] + sys.argv[1:], verbosity=2)
