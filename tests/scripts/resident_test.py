#!/usr/bin/python3
"""scripts/lib/resident.py: /proc/PID/status and smaps as the kernel writes them, and the tool on
processes of its own: a live one, one that is gone, the child of a wrapper by name.

  resident_test.py SOURCE_DIR
"""
import os
import subprocess
import sys
import tempfile
import unittest

SOURCE_DIR = sys.argv.pop(1) if len(sys.argv) > 1 else "."
TOOL = os.path.join(SOURCE_DIR, "scripts", "lib", "resident.py")
sys.path.insert(0, os.path.dirname(TOOL))
import resident  # noqa: E402

SMAPS = """\
5609e1eaf000-5609e1eb4000 r--p 00000000 fe:00 5325706                    /usr/sbin/daemon
Size:                 20 kB
Rss:                  20 kB
Pss:                  20 kB
5609e1eb4000-5609e1f10000 r-xp 00005000 fe:00 5325706                    /usr/sbin/daemon
Rss:                 228 kB
7f2c1a000000-7f2c1a021000 rw-p 00000000 00:00 0
Rss:                  12 kB
7f2c1b000000-7f2c1b022000 r--p 00000000 fe:00 1234                       /usr/lib/libc.so.6
Rss:                1364 kB
7ffd5e000000-7ffd5e021000 rw-p 00000000 00:00 0                          [stack]
Rss:                  20 kB
7ffd5f000000-7ffd5f002000 r--p 00000000 00:00 0                          [vvar]
Rss:                   0 kB
7f2c1c000000-7f2c1c021000 rw-p 00000000 00:00 0
Rss:                  28 kB
"""


class Resident(unittest.TestCase):
    def run_tool(self, *args):
        done = subprocess.run([TOOL, *map(str, args)], capture_output=True, text=True)
        return done.returncode, done.stdout

    def test_status_and_mappings(self):
        fields = resident.status_fields("Name:\tvantrel_power_m\nVmHWM:\t    1924 kB\nRssAnon:\t     148 kB\n")
        self.assertEqual(fields, {"Name": "vantrel_power_m", "VmHWM": "1924", "RssAnon": "148"})
        # A file's mappings add up, those without a file are one; ties by name, largest first.
        self.assertEqual(resident.mappings(SMAPS), [(1364, "/usr/lib/libc.so.6"), (248, "/usr/sbin/daemon"),
                                                    (40, "[anonymous]"), (20, "[stack]")])

    def test_a_live_process_and_one_gone(self):
        child = subprocess.Popen(["sleep", "30"])
        self.addCleanup(child.wait)
        self.addCleanup(child.kill)
        with tempfile.TemporaryDirectory() as work:
            maps = os.path.join(work, "maps")
            rc, out = self.run_tool("--mappings", maps, child.pid, "VmRSS", "VmHWM")
            self.assertEqual(rc, 0)
            rss, hwm = map(int, out.split())
            self.assertTrue(0 < rss <= hwm, out)
            with open(maps, encoding="utf-8") as f:
                rows = f.read().splitlines()
            self.assertTrue(any(row.endswith("/sleep") for row in rows), rows)
            self.assertEqual(rows, sorted(rows, key=lambda r: int(r.split()[0]), reverse=True))
        rc, out = self.run_tool("--labels", child.pid, "VmHWM", "NoSuchField")
        self.assertEqual(rc, 1)
        self.assertRegex(out, r"^VmHWM: [0-9]+ kB NoSuchField: \? kB\n$")
        # Measured through its wrapper (this test's process, whose first child it is), by its name.
        direct = self.run_tool(child.pid, "VmRSS")
        self.assertEqual(self.run_tool("--child-named", "sleep", os.getpid(), "VmRSS"), direct)
        self.assertEqual(self.run_tool("--child-named", "vantrel", os.getpid(), "VmRSS"), (1, "?\n"))
        child.kill()
        child.wait()
        self.assertEqual(self.run_tool(child.pid, "VmRSS", "VmHWM"), (1, "? ?\n"))


if __name__ == "__main__":
    unittest.main()
