#!/usr/bin/python3
"""scripts/power-report (and plot-raw) on logs with energy_raw: the energy from the counters at the
window's edges, interpolated within an edge interval; the daemon's runs split at a restart (a counter
that goes back, a header before a run's first line) but not at a rotated part; the method named,
the gap seconds given; the trapezoid when energy_raw is absent, damaged or cannot be matched; the
counters' interval means in the trace; the energy per phase of a marks file.

  energy_report_test.py SOURCE_DIR

The logs are made here with counters chosen so that each expected figure can be worked out by hand.
"""
import csv
import gzip
import json
import os
import shutil
import subprocess
import sys
import tempfile
import unittest

SOURCE_DIR = sys.argv.pop(1) if len(sys.argv) > 1 else "."
REPORT = os.path.join(SOURCE_DIR, "scripts", "power-report")
PLOT = os.path.join(SOURCE_DIR, "scripts", "plot-raw")
EXACT = "energy: accumulated (exact)"
SAMPLED = "sampled (trapezoid of instantaneous power; approximate on bursty loads)"

A = ["vph", "apc0", "apc1", "ddr"]  # max34417_raw
B = ["nsp1", "gpu", "apc2_l3", "display"]  # max34417_b_raw, discovered first
TIMES = [100.0, 101.0, 102.0, 103.0, 104.0, 105.0]
# The counters of vph at those times: intervals of 2, 4, 1, 10 and 1 J. The other channels draw a
# steady 1 W (apc0), 0.5 W (the rest of A) and 0.25 W (B).
VPH = [0.0, 2.0, 6.0, 7.0, 17.0, 18.0]
STEADY = {"apc0": 1.0, "apc1": 0.5, "ddr": 0.5, **{label: 0.25 for label in B}}


def counters(times, vph, t0=None, base=None):
    """Every channel's counter per line, cumulative from T0 (the run's first line), plus BASE."""
    t0 = times[0] if t0 is None else t0
    base = base or {}
    rows = []
    for t, v in zip(times, vph):
        c = {label: STEADY[label] * (t - t0) + base.get(label, 0) for label in STEADY}
        c["vph"] = v
        rows.append(c)
    return rows


def energy_line(t, c, gaps=None):
    gaps = gaps or {}
    channels = B + A
    cores = sum(c[x] for x in ("apc0", "apc1", "nsp1", "apc2_l3"))
    other = c["vph"] - sum(c[x] for x in channels if x != "vph")
    values = [c[x] for x in channels] + [c["vph"], cores, other]
    gap = [gaps.get(x, 0.0) for x in channels]
    gap_totals = [gaps.get("vph", 0.0), max(gaps.get(x, 0.0) for x in ("apc0", "apc1", "nsp1", "apc2_l3")),
                  max(gap)]
    return ",".join([f"{t:.3f}", *(f"{v:.6f}" for v in values), *(f"{g:.9f}" for g in gap + gap_totals)]) + "\n"


ENERGY_HEADER = ",".join(["time", *B, *A, "vph_total", "cores_total", "vph_other",
                          *(f"gap:{x}" for x in B + A + ["vph_total", "cores_total", "vph_other"])]) + "\n"


def device_log(labels, times, watts):
    """A device log: each rail's instantaneous power WATTS(label, t)."""
    lines = [",".join(["time", "atime", "acc", *labels]) + "\n"]
    for i, t in enumerate(times):
        lines.append(f"{t:.3f},{t - 0.002:.4f},{i}," + ",".join(f"{watts(x, t):.6f}" for x in labels) + "\n")
    return "".join(lines)


def instant(label, t):
    """The samples: steady rails at their power, vph 1 W at each sample (a bursty load seen between
    its bursts)."""
    return 1.0 if label == "vph" else STEADY[label]


def report(directory, *args):
    """(status, stdout, stderr, CSV rows by rail)."""
    out = os.path.join(directory, "..", os.path.basename(directory) + ".csv")
    done = subprocess.run([REPORT, directory, "--csv", out, *args], capture_output=True, text=True)
    rows = {}
    if os.path.exists(out):
        with open(out, newline="", encoding="utf-8") as f:
            rows = {r["rail"]: r for r in csv.DictReader(f)}
        os.remove(out)
    return done.returncode, done.stdout, done.stderr, rows


class EnergyReport(unittest.TestCase):
    def setUp(self):
        work = tempfile.TemporaryDirectory()
        self.addCleanup(work.cleanup)
        self.work = work.name

    def logs(self, name, energy=None, devices=True, times=TIMES, extra=None):
        """A directory NAME: both device logs over TIMES, energy_raw's text ENERGY (if any), EXTRA
        files (name -> text or bytes)."""
        path = os.path.join(self.work, name)
        os.makedirs(path)
        files = dict(extra or {})
        files.setdefault("system_raw", "time,battery_soc\n" + "".join(f"{t:.3f},80.0\n" for t in times))
        if devices:
            files["max34417_raw"] = device_log(A, times, instant)
            files["max34417_b_raw"] = device_log(B, times, instant)
        if energy is not None:
            files["energy_raw"] = energy
        for file, text in files.items():
            with open(os.path.join(path, file), "wb" if isinstance(text, bytes) else "w") as f:
                f.write(text)
        return path

    def energy(self, times=TIMES, vph=VPH, gaps=None):
        return ENERGY_HEADER + "".join(energy_line(t, c, gaps and gaps.get(t))
                                       for t, c in zip(times, counters(times, vph)))

    def assertFigure(self, rows, rail, key, expected, places=6):
        self.assertIn(rail, rows)
        self.assertAlmostEqual(float(rows[rail][key]), expected, places=places, msg=f"{rail} {key}")

    def test_counters_give_the_energy_and_the_method(self):
        status, out, err, rows = report(self.logs("full", self.energy()))
        self.assertEqual((status, err), (0, ""))
        self.assertIn(f"  {EXACT}, from energy_raw's counters over 5.000 s", out)
        self.assertIn("gap s", out.splitlines()[3])
        # vph: 18 J over 5 s, where the samples (1 W each) would give the trapezoid's 5 J.
        self.assertFigure(rows, "vph", "energy_j", 18.0)
        self.assertFigure(rows, "vph", "energy_mwh", 5.0)
        self.assertFigure(rows, "vph", "avg_w", 3.6)
        self.assertFigure(rows, "vph", "min_w", 1.0)  # the samples' statistics stay
        self.assertFigure(rows, "apc0", "energy_j", 5.0)
        self.assertFigure(rows, "display", "energy_j", 1.25)
        self.assertFigure(rows, "vph_total", "energy_j", 18.0)
        self.assertFigure(rows, "cores_total", "energy_j", 5 * (1 + 0.5 + 0.25 + 0.25))
        self.assertFigure(rows, "vph_other", "energy_j", 18.0 - 5 * (1 + 0.5 + 0.5 + 4 * 0.25))
        self.assertEqual({r["method"] for r in rows.values()}, {"accumulated"})
        self.assertEqual(list(next(iter(rows.values()))),
                         ["rail", "avg_w", "min_w", "max_w", "p95_w", "energy_j", "energy_mwh", "gap_s", "method"])
        self.assertEqual(len(rows), 11)

        # Without energy_raw the same samples give the trapezoid, and the report says so.
        status, out, err, rows = report(self.logs("sampled"))
        self.assertEqual((status, err), (0, ""))
        self.assertIn(f"  energy: {SAMPLED}\n", out)
        self.assertNotIn("accumulated", out)
        self.assertFigure(rows, "vph", "energy_j", 5.0)
        self.assertEqual(list(next(iter(rows.values()))),
                         ["rail", "avg_w", "min_w", "max_w", "p95_w", "energy_j", "energy_mwh"])

    def test_window_edges_are_interpolated_within_their_interval(self):
        path = self.logs("window", self.energy())
        # vph at 100.5 s is halfway through the 2 J interval (1 J), at 103.25 s a quarter through the
        # 10 J interval (7 + 2.5 J): 8.5 J over 2.75 s.
        _, out, _, rows = report(path, "--from", "100.5", "--to", "103.25")
        self.assertFigure(rows, "vph", "energy_j", 8.5)
        self.assertFigure(rows, "vph", "avg_w", 8.5 / 2.75)
        self.assertFigure(rows, "apc0", "energy_j", 2.75)
        self.assertIn("counters over 2.750 s", out)
        # Two windows that meet anywhere add up to the whole.
        _, _, _, early = report(path, "--to", "102.6")
        _, _, _, late = report(path, "--from", "102.6")
        for rail in ("vph", "apc1", "nsp1", "vph_other", "cores_total"):
            self.assertAlmostEqual(float(early[rail]["energy_j"]) + float(late[rail]["energy_j"]),
                                   {"vph": 18.0, "apc1": 2.5, "nsp1": 1.25, "vph_other": 3.0,
                                    "cores_total": 10.0}[rail], places=5, msg=rail)
        # Within one interval, where no line lies: its mean power times the window.
        status, out, _, inner = report(path, "--from", "103.2", "--to", "103.7")
        self.assertEqual(status, 0)
        self.assertIn("103.200 s to 103.700 s of the logs' clock", out)
        self.assertFigure(inner, "vph", "energy_j", 5.0)
        self.assertFigure(inner, "vph", "avg_w", 10.0)
        self.assertEqual(inner["vph"]["min_w"], "")

    def test_gaps_are_given_and_left_out_of_the_mean(self):
        # 0.5 s of vph's interval to 103 s could not be counted (the daemon adds no energy for it).
        gaps = {t: {"vph": 0.5} for t in TIMES if t >= 103}
        status, out, err, rows = report(self.logs("gaps", self.energy(gaps=gaps)))
        self.assertEqual((status, err), (0, ""))
        self.assertFigure(rows, "vph", "gap_s", 0.5)
        self.assertFigure(rows, "vph", "avg_w", 18.0 / 4.5)
        self.assertFigure(rows, "vph_total", "gap_s", 0.5)
        self.assertFigure(rows, "vph_other", "gap_s", 0.5)
        self.assertFigure(rows, "apc0", "gap_s", 0.0)
        self.assertRegex(out, r"\n  vph +4\.0000 .* 18\.000 +5\.0000 +0\.500\n")  # avg: 18 J / 4.5 s
        _, _, _, rows = report(self.logs("gap-window", self.energy(gaps=gaps)), "--from", "102.5", "--to", "103")
        self.assertFigure(rows, "vph", "gap_s", 0.25)

    def test_runs_split_at_a_restart_not_at_a_rotated_part(self):
        later = [110.0, 111.0, 112.0]
        second = "".join(energy_line(t, c) for t, c in zip(later, counters(later, [0.0, 3.0, 5.0])))
        first = self.energy()
        # A restart in one file: the counters go back to 0 (no header between).
        _, out, err, rows = report(self.logs("restart", first + second, times=TIMES + later))
        self.assertEqual(err, "")
        self.assertFigure(rows, "vph", "energy_j", 23.0)  # 18 J, then 5 J; 105 s to 110 s is no run
        self.assertIn("counters over 7.000 s", out)
        self.assertFigure(rows, "apc0", "energy_j", 7.0)
        # The same with the header line again before the second run (two files put together).
        _, out, err, rows = report(self.logs("concatenated", first + ENERGY_HEADER + second, times=TIMES + later))
        self.assertEqual(err, "")
        self.assertFigure(rows, "vph", "energy_j", 23.0)
        # A window across the restart counts each run's part of it.
        _, _, _, rows = report(self.logs("across", first + second, times=TIMES + later), "--from", "104.5",
                               "--to", "110.5")
        self.assertFigure(rows, "vph", "energy_j", 0.5 + 1.5)
        # A run whose counters all stayed 0 (--once), then a run: a header before a run's first
        # line starts a new run even though nothing went back.
        once = ENERGY_HEADER + energy_line(90.0, counters([90.0], [0.0])[0])
        _, out, _, rows = report(self.logs("once", once + self.energy(), times=[90.0] + TIMES))
        self.assertIn("counters over 5.000 s", out)
        self.assertFigure(rows, "apc0", "avg_w", 1.0)

        # Rotated parts of one run: each part starts with the header, the counters go on. The
        # interval between the parts counts.
        lines = self.energy().splitlines(keepends=True)
        path = self.logs("rotated", ENERGY_HEADER + "".join(lines[4:]),
                         extra={"energy_raw.1.gz": gzip.compress("".join(lines[:4]).encode())})
        _, out, err, rows = report(path)
        self.assertEqual(err, "")
        self.assertFigure(rows, "vph", "energy_j", 18.0)
        self.assertIn("counters over 5.000 s", out)

    def test_damaged_energy_raw(self):
        lines = self.energy().splitlines(keepends=True)
        # A half line at the end and a quoted field: dropped and counted, the rest counted.
        _, out, err, rows = report(self.logs("cut", "".join(lines) + lines[3][:20]))
        self.assertIn("energy_raw: dropped 1 malformed line(s)", err)
        self.assertFigure(rows, "vph", "energy_j", 18.0)
        fields = lines[3].split(",")
        fields[5] = ""  # vph at 102 s
        _, out, err, rows = report(self.logs("empty-field", "".join(lines[:3]) + ",".join(fields) + "".join(lines[4:])))
        self.assertIn("energy_raw: dropped 1 line(s) with an empty field", err)
        self.assertFigure(rows, "vph", "energy_j", 18.0)  # interpolated across the dropped line
        # A header that is not energy_raw's: left out, said why, the trapezoid instead.
        _, out, err, rows = report(self.logs("foreign", "time,vph,apc0\n100.000,1.0,2.0\n101.000,2.0,3.0\n"))
        self.assertIn("energy_raw: its header is not time, the channels' counters", err)
        self.assertIn(f"energy: {SAMPLED}", out)
        self.assertFigure(rows, "vph", "energy_j", 5.0)
        # A .gz part that breaks off: left out whole, the live part still read.
        broken = gzip.compress("".join(lines[:4]).encode())[:-12]
        _, out, err, rows = report(self.logs("broken-gz", ENERGY_HEADER + "".join(lines[4:]),
                                             extra={"energy_raw.1.gz": broken}))
        self.assertIn("energy_raw.1.gz: cannot be read", err)
        self.assertFigure(rows, "vph", "energy_j", 11.0)  # 103 s to 105 s
        # Hostile counters (near the largest double, going up and down): figures, never a traceback,
        # and a trace that is still JSON.
        huge = ",".join(["1.000", "1e308", "-1e308", *["0"] * 20]) + "\n" + ",".join(["2.000", *["1e308"] * 22]) + "\n"
        path = self.logs("hostile", ENERGY_HEADER + huge, devices=False)
        trace = os.path.join(self.work, "hostile.json")
        status, out, err, rows = report(path, "--trace", trace)
        self.assertEqual(status, 0, err)
        self.assertNotIn("Traceback", err)
        with open(trace, encoding="utf-8") as f:
            self.assertIn("traceEvents", json.load(f))
        # A window energy_raw does not reach: sampled, said so.
        _, out, err, rows = report(self.logs("outside", "".join(lines[:3]), ), "--from", "103")
        self.assertIn("energy_raw has no interval in the window", err)
        self.assertIn(f"energy: {SAMPLED}", out)

    def test_counters_that_cannot_be_matched(self):
        # Two devices that share a name share a log, whose header is the first device's labels:
        # the second device's counters (under its own labels) cannot be told to be that stream's.
        shared = device_log(A, TIMES, instant).splitlines(keepends=True)
        b = device_log(B, TIMES, instant).splitlines(keepends=True)
        text = shared[0] + "".join(x + y for x, y in zip(shared[1:], b[1:]))
        path = self.logs("shared", self.energy(), devices=False, extra={"max34417_raw": text})
        status, out, err, rows = report(path)
        self.assertEqual((status, err), (0, ""))
        self.assertEqual(rows["max34417:vph"]["method"], "accumulated")
        self.assertFigure(rows, "max34417:vph", "energy_j", 18.0)
        self.assertEqual(rows["max34417#2:vph"]["method"], "sampled")
        self.assertIn("energy of max34417#2:vph, max34417#2:apc0", out)
        self.assertIn(SAMPLED, out)
        # The unmatched device's counters are still reported, under their labels.
        self.assertFigure(rows, "gpu", "energy_j", 1.25)
        self.assertEqual(rows["gpu"]["min_w"], "")

        # energy_raw alone: every rail from its counters, no sample statistics.
        status, out, err, rows = report(self.logs("alone", self.energy(), devices=False))
        self.assertEqual(status, 0)
        self.assertFigure(rows, "vph", "energy_j", 18.0)
        self.assertEqual(rows["vph"]["p95_w"], "")
        self.assertRegex(out, r"\n  vph +3\.6000 +- +- +- ")

    def test_trace_has_the_counters_interval_means(self):
        path = self.logs("trace", self.energy())
        trace = os.path.join(self.work, "trace.json")
        subprocess.run([REPORT, path, "--trace", trace], check=True, capture_output=True)
        with open(trace, encoding="utf-8") as f:
            events = json.load(f)["traceEvents"]
        means = [e for e in events if e["ph"] == "C" and e["pid"] == 6]
        vph = [(e["ts"], e["args"]["W"]) for e in means if e["name"] == "vph"]
        # One step per interval, at its start: 2, 4, 1, 10, 1 W; the last interval closed at its end.
        self.assertEqual(vph, [(100_000_000, 2.0), (101_000_000, 4.0), (102_000_000, 1.0),
                               (103_000_000, 10.0), (104_000_000, 1.0), (105_000_000, 0.0)])
        self.assertEqual(len({e["name"] for e in means}), 11)
        self.assertIn({"ph": "M", "name": "process_name", "pid": 6, "tid": 0,
                       "args": {"name": "vantrel rail averages (energy counters)"}}, events)
        # Without energy_raw, no such track.
        subprocess.run([REPORT, self.logs("no-energy"), "--trace", trace], check=True, capture_output=True)
        with open(trace, encoding="utf-8") as f:
            self.assertFalse([e for e in json.load(f)["traceEvents"] if e.get("pid") == 6])

    def test_phases_of_a_marks_file(self):
        marks = os.path.join(self.work, "marks")
        with open(marks, "w") as f:
            f.write("103.250000000 load\nnot a mark\n100.500000000 idle start\n")
        status, out, err, _ = report(self.logs("phases", self.energy()), "--marks", marks)
        self.assertEqual(status, 0)
        self.assertIn("1 line(s) that are not marks", err)
        self.assertIn("phases (" + marks + "): energy accumulated (exact)", out)
        # idle start: 100.5 s to 103.25 s, 8.5 J of vph (as the window above); load: to the end.
        self.assertRegex(out, r"'idle start': 100\.500 s to 103\.250 s \(2\.750 s\)\n +vph +8\.500 J")
        self.assertRegex(out, r"'load': 103\.250 s to 105\.000 s \(1\.750 s\)\n +vph +8\.500 J")
        # Sampled: the trapezoid cut at the marks, 1 W of vph.
        status, out, err, _ = report(self.logs("phases-sampled"), "--marks", marks)
        self.assertRegex(out, r"'load': 103\.250 s to 105\.000 s \(1\.750 s\)\n +vph +1\.750 J")
        status, out, err, _ = report(self.logs("no-marks"), "--marks", os.path.join(self.work, "none"))
        self.assertEqual(status, 1)
        self.assertIn("none: No such file or directory", err)

    def test_plot_draws_the_means_never_a_device(self):
        if shutil.which("gnuplot") is None:
            self.skipTest("gnuplot is not installed")
        path = self.logs("plot", self.energy(), devices=False)
        done = subprocess.run([PLOT, path, os.path.join(self.work, "plot.png")], capture_output=True, text=True)
        self.assertEqual(done.returncode, 0, done.stderr)
        self.assertIn("no device logs (<device>_raw)", done.stderr)
        self.assertNotIn("energy_raw", done.stderr)


if __name__ == "__main__":
    unittest.main(verbosity=1)
