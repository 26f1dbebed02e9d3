"""Tests of soak-bench's count of the backup folder: finished backups of
every printer, whatever the printer's name holds, and nothing else."""

import importlib.util
import os
import sys
import tempfile
import unittest

HERE = os.path.dirname(os.path.abspath(__file__))
spec = importlib.util.spec_from_file_location("soak_bench", os.path.join(HERE, "..", "soak-bench.py"))
soak_bench = importlib.util.module_from_spec(spec)
spec.loader.exec_module(soak_bench)


class CountBackups(unittest.TestCase):
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

    def test_counts_finished_backups_of_every_printer_only(self):
        # A name with dashes of its own, and one with an alternate extension.
        for stamp in self.stamps(8):
            self.touch("Backup-Front-Desk-2-%s.bin" % stamp)
        for stamp in self.stamps(3):
            self.touch("Backup-Annex-%s.bck" % stamp)
        self.touch("Backup-Annex-20261208130000000000.tmp")
        self.touch("notes.txt")

        found = soak_bench.backups(self.home.name)
        self.assertEqual(sorted(found), ["Backup-Annex", "Backup-Front-Desk-2"])
        self.assertEqual([os.path.basename(path) for path in found["Backup-Front-Desk-2"]],
                         ["Backup-Front-Desk-2-%s.bin" % stamp for stamp in self.stamps(8)], "oldest first")
        self.assertEqual(soak_bench.count_backups(self.home.name), 11)


if __name__ == "__main__":
    sys.exit(unittest.main())
