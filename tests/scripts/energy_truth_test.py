#!/usr/bin/python3
"""power-report and energy-stat against the simulation's ground truth (fakeboard --simulate serving
the accumulators, with bursty rails, and writing /run/fakeboard/truth.csv: each latch's time and each
channel's true energy since the start).

One run of the daemon (--energy --raw -i 500) with `energy-stat -- sleep 5` and `energy-stat --` a
command busy for 3 s in it:
- power-report on its logs names its method and gives every rail's energy within 1e-4 of the truth,
  over the whole run and over windows of it, plus what the daemon's latch readings allow: each comes
  a little after its latch (tens of µs on a native build, milliseconds under an emulator on a loaded
  machine), so an interval's counter is off by its true power × the change in that delay. The
  trapezoid of the same run's samples (the logs without energy_raw) is more than 5 % off on a bursty
  rail. Both are printed, with the largest delay.
- each energy-stat figure agrees with the truth within its printed bound: the true energy of the
  span lies between the truth's growth over the latches inside it and over those around it, and the
  figure is within the bound of both; the bound is at most 2 × the largest rail power × the period.

  energy_truth_test.py SOURCE_DIR FAKEBOARD DAEMON

FAKEBOARD is one that serves the accumulators through FUSE; empty when the build has none (skipped,
failed under CI).
"""
import bisect
import csv
import os
import re
import shlex
import shutil
import subprocess
import sys
import time

INSIDE = sys.argv[1:2] == ["--inside"]
SOURCE_DIR = os.path.abspath(sys.argv[2] if INSIDE else sys.argv[1] if len(sys.argv) > 1 else ".")
STAT = os.path.join(SOURCE_DIR, "scripts", "energy-stat")
REPORT = os.path.join(SOURCE_DIR, "scripts", "power-report")
sys.path.insert(0, os.path.join(SOURCE_DIR, "scripts"))
from vantrel_power import rawlogs  # noqa: E402

ROOT = "/run/power-monitor"
TRUTH = "/run/fakeboard/truth.csv"
TOLERANCE = 1e-3  # relative, energy-stat's figures against the truth's brackets
EXACT = 1e-4  # relative, the counters against the truth beside what the latch readings allow
ATIME_STEP = 1e-4  # s, the resolution of a device log's latch reading (atime)
LATE = 0.05  # s, a latch reading later than this after its latch would belong to another one
BURSTY = ("nsp", "apc2")  # the simulation's bursty rails: the NSP and the prime core
failures, checks = [], 0


def check(what, ok):
    global checks
    checks += 1
    if not ok:
        failures.append(what)
        print(f"FAIL: {what}", file=sys.stderr)
    return ok


def truth_by_device():
    """Device name -> (latch times in s, each channel's true energy at them)."""
    out = {}
    with open(TRUTH, newline="") as f:
        for row in csv.DictReader(f):
            times, energies = out.setdefault(row["name"], ([], [[], [], [], []]))
            times.append(int(row["latch_ns"]) / 1e9)
            for n in range(4):
                energies[n].append(float(row[f"power{n + 1}_j"] or "nan"))
    return out


class Truth:
    """The truth of every rail, by the label its device log gives it."""

    def __init__(self, run):
        devices, self.rails, self.latest = truth_by_device(), {}, 0.0
        for s in run.streams:
            times, energies = devices[rawlogs.device_name(s)]
            for n, label in enumerate(rawlogs.rails(s)):
                self.rails[label] = (times, energies[n])

    def latch_of(self, label, a):
        """The index of the truth's latch that the daemon's latch reading A follows."""
        times, _ = self.rails[label]
        i = bisect.bisect_right(times, a + ATIME_STEP) - 1
        late = a - times[i] if i >= 0 else float("inf")
        self.latest = max(self.latest, late)
        check(f"{label}: the latch reading {a:.4f} s follows a truth latch by less than {LATE} s ({late:.6f} s)",
              -ATIME_STEP <= late < LATE)
        return i

    def over(self, label, readings):
        """The true energy between the latches that the first and the last of the daemon's latch
        READINGS follow, and what the readings allow a counter of those intervals to differ from it:
        each interval's true power × (the change in the readings' delay + their resolution)."""
        times, energy = self.rails[label]
        latches = [self.latch_of(label, a) for a in readings]
        allowed = 0.0
        for (i, a), (j, b) in zip(zip(latches, readings), zip(latches[1:], readings[1:])):
            power = (energy[j] - energy[i]) / (times[j] - times[i]) if j > i else 0.0
            allowed += abs(power) * (abs((b - times[j]) - (a - times[i])) + ATIME_STEP)
        return energy[latches[-1]] - energy[latches[0]], allowed

    def bracket(self, label, t0, t1):
        """The true growth over the latches inside [t0, t1] and over those around it."""
        times, energy = self.rails[label]
        b, c = bisect.bisect_right(times, t0) - 1, bisect.bisect_right(times, t1) - 1
        return max(energy[c] - energy[b + 1], 0.0), energy[c + 1] - energy[b]

    def largest_power(self):
        return max((e[i + 1] - e[i]) / (t[i + 1] - t[i]) for t, e in self.rails.values() for i in range(len(t) - 1))


def report_csv(directory, *args):
    path = "/run/report.csv"
    done = subprocess.run([REPORT, directory, "--csv", path, *args], capture_output=True, text=True)
    check(f"power-report {directory} {args}: exit 0 ({done.stderr.strip()})", done.returncode == 0)
    with open(path, newline="") as f:
        return done.stdout, {r["rail"]: float(r["energy_j"]) for r in csv.DictReader(f)}


def stat(command):
    done = subprocess.run([STAT, "--", *command], capture_output=True, text=True, timeout=60)
    check(f"energy-stat {command[:2]}: status 0 ({done.stderr[-300:]!r})", done.returncode == 0)
    rows = {}  # rail -> (energy J, bound J) of the whole run (the phases, if any, come later)
    for m in re.finditer(r"^ +(-?[0-9.]+) J +[-0-9.]+ mWh +[-0-9.]+ W +(\S+) +± ([0-9.]+) J", done.stderr, re.M):
        rows.setdefault(m.group(2), (float(m.group(1)), float(m.group(3))))
    span = re.search(r"CLOCK_MONOTONIC ([0-9.]+) s to ([0-9.]+) s", done.stderr)
    period = re.search(r"([0-9.]+) seconds sampling period", done.stderr)
    return rows, (float(span.group(1)), float(span.group(2))) if span else None, float(period.group(1))


def inside(emulator, daemon):
    d = subprocess.Popen([*emulator, daemon, "--energy", "--raw", "-i", "500"], stdout=subprocess.DEVNULL,
                         stderr=subprocess.DEVNULL)
    try:
        time.sleep(1.5)
        busy = [sys.executable, "-c", "import time\nend = time.monotonic() + 3\nwhile time.monotonic() < end: pass"]
        stats = {"sleep 5": stat(["sleep", "5"]), "3 s busy": stat(busy)}
        time.sleep(1.6)
    finally:
        d.terminate()
        d.wait(timeout=20)
    run = rawlogs.read_run(ROOT, print)
    truth = Truth(run)

    # The report: exact against the truth, the trapezoid of the same samples not.
    out, _ = report_csv(ROOT)
    check("the report names its method", "energy: accumulated (exact)" in out)
    sampled_dir = "/run/sampled"
    os.makedirs(sampled_dir)
    for name in os.listdir(os.path.join(ROOT, "power")):
        if name.endswith("_raw") and name != rawlogs.ENERGY_LOG:
            shutil.copy(os.path.join(ROOT, "power", name), sampled_dir)
    out, _ = report_csv(sampled_dir)
    check("without energy_raw the report names the trapezoid", "energy: sampled (trapezoid" in out)
    # Windows with edges at lines of the logs, so that the counters hold the edges exactly: the whole
    # run and its 3 s parts.
    latched = {}  # label -> (line time, the daemon's latch reading) of each line that has one
    for s in run.streams:
        for label in rawlogs.rails(s):
            latched[label] = [(t, a) for t, a in zip(s.times, s.data[1]) if a == a]
    times = run.energy.times
    windows = [(times[0], times[-1])] + [(times[i], times[min(i + 6, len(times) - 1)])
                                         for i in range(0, len(times) - 6, 6)]
    worst = (0.0, None)
    print(f"{'window':<22} {'rail':<10} {'truth J':>11} {'exact J':>11} {'rel. error':>10} "
          f"{'trapezoid J':>11} {'rel. error':>10}")
    for k, (t0, t1) in enumerate(windows):
        window = () if k == 0 else ("--from", f"{t0:.3f}", "--to", f"{t1:.3f}")
        _, exact = report_csv(ROOT, *window)
        _, sampled = report_csv(sampled_dir, *window)
        for label in truth.rails:
            true, allowed = truth.over(label, [a for t, a in latched[label] if t0 <= t <= t1])
            error, trapezoid = exact[label] / true - 1, sampled[label] / true - 1
            print(f"{t0:9.3f} to {t1:9.3f}  {label:<10} {true:11.6f} {exact[label]:11.6f} {error:+10.2e} "
                  f"{sampled[label]:11.6f} {trapezoid:+10.3f}")
            check(f"{t0} to {t1}: {label} {exact[label]} J within {EXACT} of the truth {true} J "
                  f"and the {allowed:.6f} J its latch readings allow",
                  abs(exact[label] - true) <= EXACT * abs(true) + allowed)
            if any(m in label for m in BURSTY) and abs(trapezoid) > abs(worst[0]):
                worst = (trapezoid, f"{label} over {t0:.3f} to {t1:.3f} s")
    print(f"the trapezoid's worst error on a bursty rail: {worst[0]:+.1%} ({worst[1]})")
    print(f"the latest latch reading came {truth.latest * 1e3:.3f} ms after its latch")
    check(f"the trapezoid is more than 5 % off on a bursty rail ({worst[0]:+.1%})", abs(worst[0]) > 0.05)

    # energy-stat: within its bound of every energy the truth allows.
    largest = truth.largest_power()
    for case, (rows, span, period) in stats.items():
        if not check(f"{case}: figures and a span printed", span is not None and len(rows) == 11):
            continue
        print(f"{case}: {span[1] - span[0]:.6f} s, period {period} s, largest rail power {largest:.3f} W")
        for label in truth.rails:
            energy, bound = rows[label]
            inner, outer = truth.bracket(label, *span)
            slack = TOLERANCE * outer
            print(f"  {label:<10} {energy:10.6f} J ± {bound:.6f} J; the truth lies in [{inner:.6f}, {outer:.6f}] J")
            check(f"{case}: {label} {energy} ± {bound} J holds every truth in [{inner}, {outer}]",
                  energy - bound - slack <= inner and outer <= energy + bound + slack)
            check(f"{case}: {label} bound {bound} J ≤ 2 × {largest:.3f} W × {period} s", bound <= 2 * largest * period)


def main():
    emulator = shlex.split(os.environ.get("VPM_EMULATOR", ""))
    if INSIDE and len(sys.argv) == 4:
        inside(emulator, sys.argv[3])
    elif len(sys.argv) == 4:
        src, fakeboard, daemon = sys.argv[1:]
        ci = os.environ.get("CI") == "true"
        if not fakeboard:
            print("skipped: this build's fakeboard does not serve the accumulators (no libfuse3)")
            return 1 if ci else 77
        if not ci and subprocess.run([fakeboard, "--", "true"], capture_output=True).returncode != 0:
            print("skipped: the fake board cannot make a private mount namespace here")
            return 77
        return subprocess.run([fakeboard, "--simulate", "--", sys.executable, os.path.realpath(__file__),
                               "--inside", src, daemon]).returncode
    else:
        print("usage: energy_truth_test.py SOURCE_DIR FAKEBOARD DAEMON", file=sys.stderr)
        return 2
    if failures:
        print(f"{len(failures)} of {checks} checks failed", file=sys.stderr)
        return 1
    print(f"{checks} checks passed")
    return 0


if __name__ == "__main__":
    sys.exit(main())
