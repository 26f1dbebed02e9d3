"""Tests of soak-bench's clean-up of the backup folder: it must keep the
newest backups of every printer, whatever the printer's name holds, and
touch nothing else."""

import importlib.util
import os
import sys
import tempfile
import unittest

HERE = os.path.dirname(os.path.abspath(__file__))
spec = importlib.util.spec_from_file_location("soak_bench", os.path.join(HERE, "..", "soak-bench.py"))
soak_bench = importlib.util.module_from_spec(spec)
spec.loader.exec_module(soak_bench)


class PruneBackups(unittest.TestCase):
    def setUp(self):
        self.home = tempfile.TemporaryDirectory()
        self.folder = os.path.join(self.home.name, "Documents", "Backups")
        os.makedirs(self.folder)

    def tearDown(self):
        self.home.cleanup()

    def touch(self, name):
        with open(os.path.join(self.folder, name), "w"):
            pass

    def stamps(self, count):
        return ["202612081200%02d%06d" % (second, 0) for second in range(count)]

    def test_keeps_the_newest_of_each_printer_and_nothing_else(self):
        # A name with dashes of its own, and one with an alternate extension.
        for stamp in self.stamps(8):
            self.touch("Backup-Front-Desk-2-%s.bin" % stamp)
        for stamp in self.stamps(3):
            self.touch("Backup-Annex-%s.bck" % stamp)
        self.touch("Backup-Annex-20261208130000000000.tmp")
        self.touch("notes.txt")

        soak_bench.prune_backups(self.home.name)

        left = sorted(os.listdir(self.folder))
        front = [name for name in left if name.startswith("Backup-Front-Desk-2-")]
        self.assertEqual(front, ["Backup-Front-Desk-2-%s.bin" % stamp for stamp in self.stamps(8)[-5:]])
        self.assertEqual(len([name for name in left if name.endswith(".bck")]), 3)
        self.assertIn("Backup-Annex-20261208130000000000.tmp", left)
        self.assertIn("notes.txt", left)
        self.assertEqual(soak_bench.count_backups(self.home.name), 8)


if __name__ == "__main__":
    sys.exit(unittest.main())
