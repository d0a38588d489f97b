#!/usr/bin/python3
"""scripts/power-report and scripts/plot-raw on damaged and hostile logs, as logs copied off boards
can be: a .gz part whose deflate stream breaks off, a double quote opening a data field, a .gz of
millions of blank lines, a long run of many rails, a log of 100,000 rails, and many lines sharing one
time. The tools run with an address-space limit, so that a reader that stores what it should stream
fails here instead of taking the machine's memory.

  report_damage_test.py SOURCE_DIR
"""
import gzip
import os
import random
import resource
import shutil
import subprocess
import sys
import tempfile
import unittest
import zlib

SOURCE_DIR = sys.argv.pop(1) if len(sys.argv) > 1 else "."
REPORT = os.path.join(SOURCE_DIR, "scripts", "power-report")
PLOT = os.path.join(SOURCE_DIR, "scripts", "plot-raw")
FIXTURE = os.path.join(SOURCE_DIR, "tests", "data", "raw-logs")
HEADER = "time,atime,acc,vph,apc0,apc1,ddr\n"
LIMIT = 1 << 30  # address space of a tool run: far above what a streaming reader needs


def device_lines(count, first=1000.0, rails=4, seed=1):
    rng = random.Random(seed)
    return [f"{first + i:.3f},{first + i - 0.0005:.4f},{i},"
            + ",".join(f"{rng.random() * 3:.6f}" for _ in range(rails)) + "\n" for i in range(count)]


def run(tool, *args, cpu_seconds=60):
    """(exit status, stdout, stderr, peak RSS in MB, CPU seconds) of TOOL ARGS, under the limits."""
    def limits():
        resource.setrlimit(resource.RLIMIT_AS, (LIMIT, LIMIT))
        resource.setrlimit(resource.RLIMIT_CPU, (cpu_seconds, cpu_seconds + 1))
    with tempfile.TemporaryFile() as out, tempfile.TemporaryFile() as err:
        child = subprocess.Popen([tool, *args], stdout=out, stderr=err, preexec_fn=limits)
        _, status, usage = os.wait4(child.pid, 0)
        child.returncode = os.waitstatus_to_exitcode(status)
        out.seek(0)
        err.seek(0)
        return (child.returncode, out.read().decode(), err.read().decode(),
                usage.ru_maxrss / 1024, usage.ru_utime + usage.ru_stime)


class Damage(unittest.TestCase):
    def setUp(self):
        work = tempfile.TemporaryDirectory()
        self.addCleanup(work.cleanup)
        self.work = work.name

    def logs(self, name, files=None, fixture=True):
        """A directory NAME holding a copy of the fixture's logs (unless not FIXTURE), then FILES
        (name -> text or bytes, or None to remove the fixture's file)."""
        path = os.path.join(self.work, name)
        if fixture:
            shutil.copytree(FIXTURE, path)
        else:
            os.makedirs(path)
        for file, content in (files or {}).items():
            if content is None:
                os.remove(os.path.join(path, file))
                continue
            with open(os.path.join(path, file), "wb") as f:
                f.write(content.encode() if isinstance(content, str) else content)
        return path

    def report(self, path, **limits):
        csv = os.path.join(self.work, "report.csv")
        if os.path.exists(csv):
            os.remove(csv)
        rc, out, err, peak, cpu = run(REPORT, path, "--csv", csv, **limits)
        with open(csv, encoding="utf-8") if os.path.exists(csv) else open(os.devnull) as f:
            return rc, out, err, f.read(), peak, cpu

    def test_a_broken_gz_part_is_named_and_the_rest_read(self):
        lines = device_lines(3000)
        whole = {"max34417_b_raw": None, "max34417_raw.2.gz": gzip.compress((HEADER + "".join(lines[:1000])).encode()),
                 "max34417_raw": HEADER + "".join(lines[2000:])}
        # The deflate stream breaks off after more than a read's worth of lines: a block of the
        # reserved type follows a full flush.
        deflate = zlib.compressobj(6, zlib.DEFLATED, 31)
        broken = deflate.compress((HEADER + "".join(lines[1000:2000])).encode()) + deflate.flush(zlib.Z_FULL_FLUSH)
        cut = gzip.compress(HEADER.encode() + "".join(lines[1000:2000]).encode())[:-300]
        expected = self.report(self.logs("whole", whole))
        self.assertEqual(expected[0], 0, expected[2])
        for damage, part in (("a reserved block", broken + b"\xff" + b"\0" * 64), ("cut short", cut)):
            d = self.logs(damage.replace(" ", "_"), {**whole, "max34417_raw.1.gz": part})
            rc, out, err, csv, _, _ = self.report(d)
            self.assertEqual(rc, 0, f"{damage}: {err}")
            self.assertRegex(err, r"^power-report: max34417_raw\.1\.gz: cannot be read \([^\n]+\)\n$", damage)
            self.assertEqual(csv, expected[3], f"{damage}: the other parts' figures, none of this part's")
            rc, _, err, _, _ = run(PLOT, d, os.path.join(self.work, "plot.png"))
            self.assertEqual(rc, 0, f"{damage}: plot-raw: {err}")
            self.assertIn("plot-raw: max34417_raw.1.gz: cannot be read (", err)

    def test_a_quote_opening_a_data_field_drops_that_line_only(self):
        with open(os.path.join(FIXTURE, "max34417_raw"), encoding="utf-8") as f:
            log = f.readlines()
        quoted = log[:1] + [log[1].replace(",", ',"', 3)] + log[2:]
        rc, out, err, csv, _, _ = self.report(self.logs("quoted", {"max34417_raw": "".join(quoted)}))
        self.assertEqual(rc, 0, err)
        self.assertEqual(err, "power-report: max34417_raw: dropped 1 malformed line(s)\n")
        rc, _, _, without, _, _ = self.report(self.logs("without", {"max34417_raw": "".join(log[:1] + log[2:])}))
        self.assertEqual(csv, without, "every line after the damaged one is read")
        self.assertIn("\nvph,", csv)

    def test_memory_is_bounded_by_what_the_report_keeps_not_by_the_lines(self):
        # Ten million blank lines after a header, and without one: 44 kB of .gz each.
        blank = zlib.compressobj(1, zlib.DEFLATED, 31)
        body = b"".join(blank.compress(b"\n" * (1 << 20)) for _ in range(10)) + blank.flush()
        headed = zlib.compressobj(1, zlib.DEFLATED, 31)
        head = headed.compress(HEADER.encode()) + b"".join(headed.compress(b"\n" * (1 << 20)) for _ in range(10))
        for name, bomb in (("headed", head + headed.flush()), ("headless", body)):
            rc, out, err, csv, peak, _ = self.report(self.logs(name, {"max34417_raw.1.gz": bomb}))
            self.assertEqual(rc, 0, f"{name}: {err}")
            self.assertLess(peak, 100, f"{name}: peak RSS {peak:.0f} MB")
            self.assertIn("\nvph,", csv, "the live log's lines are read")

    def test_energy_raw_of_header_lines_only(self):
        # energy_raw keeps an index where a header line starts a part of it: two million header
        # lines in a row (a .gz of 78 kB) are one index, not two million.
        header = ("time," + ",".join(["vph", "apc0", "apc1", "ddr", "vph_total", "cores_total", "vph_other"])
                  + "," + ",".join(f"gap:{n}" for n in ["vph", "apc0", "apc1", "ddr", "vph_total", "cores_total",
                                                         "vph_other"]) + "\n")
        lines = "".join(f"{1000 + i:.3f}," + ",".join([f"{i:.6f}"] * 7) + "," + ",".join(["0.000000000"] * 7) + "\n"
                        for i in range(3))
        bomb = zlib.compressobj(9, zlib.DEFLATED, 31)
        data = bomb.compress((header + lines).encode()) + b"".join(
            bomb.compress(header.encode() * 100000) for _ in range(20)) + bomb.compress(lines.encode()) + bomb.flush()
        rc, out, err, csv, peak, seconds = self.report(self.logs("headers", {"energy_raw.1.gz": data}))
        self.assertEqual(rc, 0, err)
        self.assertNotIn("malformed", err)
        self.assertIn("energy: accumulated (exact)", out)
        plain = gzip.compress((header + lines + lines.replace("100", "101")).encode())
        *_, baseline, _ = self.report(self.logs("no-headers", {"energy_raw.1.gz": plain}))
        # An index per header line would add about 19 MB.
        self.assertLess(peak - baseline, 8, f"peak RSS {peak:.0f} MB, {baseline:.0f} MB without the header lines")
        print(f"energy_raw of 2,000,000 header lines: peak {peak:.0f} MB ({baseline:.0f} MB without), "
              f"{seconds:.1f} s CPU", file=sys.stderr)

    def test_memory_grows_by_the_values_kept(self):
        # A run of ten devices of four rails: what memory grows by with the lines is close to the
        # 8 bytes of each value kept, not the text or an object per value.
        peaks = []
        for lines in (10000, 40000):
            files = {}
            for d in range(10):
                files[f"dev{d}_raw"] = (f"time,atime,acc,vph_{d},apc0_{d},ddr_{d},gpu_{d}\n"
                                        + "".join(device_lines(lines, seed=d)))
            with open(os.path.join(FIXTURE, "system_raw"), encoding="utf-8") as f:
                header, line = f.readline(), f.readline().split(",", 1)[1]
            files["system_raw"] = header + "".join(f"{1000 + i:.3f},{line}" for i in range(lines))
            rc, _, err, csv, peak, _ = self.report(self.logs(f"run{lines}", files, fixture=False))
            self.assertEqual((rc, err), (0, ""))
            self.assertEqual(csv.count("\n"), 1 + 40 + 3)
            peaks.append(peak)
        values = 30000 * (10 * 7 + 17)
        per_value = (peaks[1] - peaks[0]) * (1 << 20) / values
        self.assertLess(per_value, 20, f"peak RSS {peaks[0]:.0f} MB, then {peaks[1]:.0f} MB: {per_value:.0f} B a value")

    def cpu_grows_linearly(self, what, make, small, large):
        """The report's CPU time beyond that of a tiny input grows with SIZE as a linear reader's does:
        LARGE / SMALL times at most, with room for noise; a quadratic one takes that ratio squared."""
        cpu = {}
        for n in (1, small, large):
            d = os.path.join(self.work, f"{what}-{n}")
            os.makedirs(d)
            check = make(d, n)
            rc, out, err, _, _, cpu[n] = self.report(d)
            self.assertEqual(rc, 0, err)
            check(out)
        ratio = (cpu[large] - cpu[1]) / max(cpu[small] - cpu[1], 1e-3)
        print(f"{what}: {cpu[1]:.2f} s of CPU for 1, {cpu[small]:.2f} s for {small}, {cpu[large]:.2f} s for "
              f"{large}: {ratio:.1f} x the work beyond the first", file=sys.stderr)
        self.assertLess(ratio, 2 * large / small, f"{what}: {ratio:.1f} x the CPU for {large / small:.0f} x the size")

    def test_the_reader_is_linear_in_the_rails(self):
        def wide(d, n):  # 100,000 rails make a log of 1.3 MB
            with open(os.path.join(d, "wide_raw"), "w", encoding="utf-8") as f:
                f.write("time,atime,acc," + ",".join(f"r{i}" for i in range(n)) + "\n")
                f.write("1.000,1.0000,1," + ",".join("0.125" for _ in range(n)) + "\n")
            return lambda out: self.assertEqual(out.count(" 0.1250 "), 4 * n)
        self.cpu_grows_linearly("rails", wide, 20000, 100000)

    def test_the_reader_is_linear_in_the_lines_sharing_a_time(self):
        def shared(d, n):  # N lines at one time: as many devices sharing a name, one line each
            with open(os.path.join(d, "max34417_raw"), "w", encoding="utf-8") as f:
                f.write(HEADER + "".join(line.replace(line.split(",")[0], "1.000", 1) for line in device_lines(n)))
            return lambda out: self.assertIn(f"\n  max34417#{n}:ddr " if n > 1 else "\n  ddr ", out)
        self.cpu_grows_linearly("devices sharing a log", shared, 2000, 10000)

if __name__ == "__main__":
    unittest.main()
