#!/usr/bin/python3
"""power-report, energy-stat and vantrel_power.measure() against the simulation's ground truth
(fakeboard --simulate serving the accumulators, with bursty rails, and writing
/run/fakeboard/truth.csv: each latch's time and each channel's true energy since the start, a line
per trigger write, the daemon's cycles' and the latches asked for alike).

One run of the daemon (--energy --raw -i 500) with `energy-stat -- sleep 5` and `energy-stat --` a
command busy for 3 s in it:
- power-report on its logs names its method and gives every rail's energy within 1e-4 of the truth,
  over the whole run and over windows of it, plus what the daemon's latch readings allow: each comes
  a little after its latch (tens of µs on a native build, milliseconds under an emulator on a loaded
  machine), so an interval's counter is off by its true power × the change in that delay. The
  trapezoid of the same run's samples (the logs without energy_raw) is more than 5 % off on a bursty
  rail. Both are printed, with the largest delay.
- energy-stat, prorated (run by a user outside the control socket's group, when setpriv can make
  one): each figure agrees with the truth within its printed bound: the true energy of the span lies
  between the truth's growth over the latches inside it and over those around it, and the figure is
  within the bound of both; the bound is at most 2 × the largest rail power × the period.

Then the daemon at its default period (--energy --raw --control-group GROUP) and latches on request:
`energy-stat -- sleep 0.5`, `-r 3`, a mark, vantrel_power.measure(), and a member of the group: each
rail's figure is the truth between the two latches the replies name (matched to the truth's lines by
each device's sequence, not by time) within 1e-4 of it plus what the latch readings' delays allow
(known to the nanosecond at the edges, from the device logs between them); each bound is the rail's
mean power × the edge times energy-stat (or measure()) measured. A user outside the group gets the
prorated figures, one line saying why, and status 0.

With --profile, the daemon at its default period (--energy --raw) and profiles instead:
`energy-stat --interval 10 -- sleep 2`, then two such profiles at once (one with a mark), then
vantrel_power.measure(interval=0.01): every interval's mean equals the truth's over the same pair of
latches (found by their sequence numbers) within 1e-4 plus what the latch readings allow; each
rail's intervals tile the window from the latch before COMMAND to the one after; some nsp1
intervals exceed 1.5 W while every 1 s cycle mean of nsp1 stays below 1 W; two at once, the daemon
latches at most 100 times a second besides its cycles; the trace loads as JSON with one counter track
per rail, the profile CSV reads back, the PNG has one panel per device; an interval that is not a
number of at least 10 ms, an output without --interval and --plot without gnuplot are one-line
errors with status 125 before COMMAND runs; without a control socket, no profile and the plain
figures.

  energy_truth_test.py SOURCE_DIR FAKEBOARD DAEMON [--profile]

FAKEBOARD is one that serves the accumulators through FUSE; empty when the build has none (skipped,
failed under CI).
"""
import bisect
import csv
import json
import os
import re
import shlex
import shutil
import statistics
import subprocess
import sys
import time

INSIDE = sys.argv[1:2] == ["--inside"]
SOURCE_DIR = os.path.abspath(sys.argv[2] if INSIDE else sys.argv[1] if len(sys.argv) > 1 else ".")
STAT = os.path.join(SOURCE_DIR, "scripts", "energy-stat")
REPORT = os.path.join(SOURCE_DIR, "scripts", "power-report")
sys.path.insert(0, os.path.join(SOURCE_DIR, "scripts"))
from vantrel_power import client, powertree, rawlogs  # noqa: E402

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


def stat(command, user=()):
    done = subprocess.run([*user, STAT, "--", *command], capture_output=True, text=True, timeout=60)
    check(f"energy-stat {command[:2]}: status 0 ({done.stderr[-300:]!r})", done.returncode == 0)
    rows = {}  # rail -> (energy J, bound J) of the whole run (the phases, if any, come later)
    for m in re.finditer(r"^ +(-?[0-9.]+) J +[-0-9.]+ mWh +[-0-9.]+ W +(\S+) +± ([0-9.]+) J", done.stderr, re.M):
        rows.setdefault(m.group(2), (float(m.group(1)), float(m.group(3))))
    span = re.search(r"CLOCK_MONOTONIC ([0-9.]+) s to ([0-9.]+) s", done.stderr)
    period = re.search(r"([0-9.]+) seconds sampling period", done.stderr)
    return rows, (float(span.group(1)), float(span.group(2))) if span else None, float(period.group(1))


def inside(emulator, daemon):
    if subprocess.run(["setpriv", "--reuid", "65534", "--regid", "65534", "--clear-groups", "true"],
                      capture_output=True).returncode == 0:
        OUTSIDER.extend(["setpriv", "--reuid", "65534", "--regid", "65534", "--clear-groups"])
    d = subprocess.Popen([*emulator, daemon, "--energy", "--raw", "-i", "500"], stdout=subprocess.DEVNULL,
                         stderr=subprocess.DEVNULL)
    try:
        time.sleep(1.5)
        busy = [sys.executable, "-c", "import time\nend = time.monotonic() + 3\nwhile time.monotonic() < end: pass"]
        # Prorated: as a user the root-only socket refuses.
        stats = {"sleep 5": stat(["sleep", "5"], OUTSIDER), "3 s busy": stat(busy, OUTSIDER)} if OUTSIDER else {}
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
    if not OUTSIDER:
        print("note: setpriv cannot make another user here: the prorated figures are not checked")
    on_request(emulator, daemon)


# --- Latches on request, at the daemon's default period

GROUP = 4242  # the control socket's group, by number (the test adds no group to the machine)
OUT = "/run/out"  # writable by the users setpriv makes
MEMBER = ["setpriv", "--reuid", "65534", "--regid", str(GROUP), "--clear-groups"]
OUTSIDER = []  # set in main's inside part when setpriv works
FALLBACK_LINE = ("energy-stat: no latch on request: permission denied on /run/vantrel-power-monitor/control; "
                 "figures prorated to the daemon's cycles\n")
MEASURE = """import json, sys, time, vantrel_power
with vantrel_power.measure() as m:
    time.sleep(0.4)
json.dump({"exact": m.exact, "rows": m.rows, "start_ns": m.start_ns, "end_ns": m.end_ns, "seconds": m.seconds,
           "energy_j": m.energy_j, "bound_j": m.bound_j, "gap_s": m.gap_s}, sys.stdout)
"""


def truth_lines():
    """Device name -> [(latch ns, [the four channels' true energy J])], every line in order: the k-th
    is the device's latch of sequence k."""
    out = {}
    with open(TRUTH, newline="") as f:
        for row in csv.DictReader(f):
            out.setdefault(row["name"], []).append(
                (int(row["latch_ns"]), [float(row[f"power{n + 1}_j"] or "nan") for n in range(4)]))
    return out


class Latched:
    """The truth of the latches a run of the daemon took, by device and sequence: the daemon's
    sequence S of a device is its S-th line in the truth since that run started."""

    def __init__(self, offsets, channels, readings):
        self.lines, self.offsets, self.channels = truth_lines(), offsets, channels
        self.readings = readings  # device name -> [(latch reading s, resolution s)] of its cycles (device log)
        self.worst_delay = 0.0

    def index(self, device, sequence, reading_ns, what):
        i = self.offsets.get(device, 0) + sequence - 1
        lines = self.lines[device]
        ok = 0 <= i < len(lines) and 0 <= reading_ns - lines[i][0] < LATE * 1e9
        check(f"{what}: {device}'s latch {sequence} at {reading_ns} ns follows its truth line "
              f"({lines[i][0] if 0 <= i < len(lines) else None} ns) by less than {LATE} s", ok)
        if ok:
            self.worst_delay = max(self.worst_delay, (reading_ns - lines[i][0]) / 1e9)
        return i if ok else None

    def allowed(self, device, n, i0, i1, known):
        """What the latch readings' delays allow a counter over the truth's lines I0..I1 of DEVICE to
        differ from the truth: each interval's true power × (the change of the delay + the readings'
        resolutions). KNOWN: line -> (delay s, resolution s); a cycle's latch reading comes from the
        device log, any other is taken as anywhere between no delay and the largest known one."""
        lines, delays = self.lines[device], dict(known)
        for a, step in self.readings.get(device, []):
            k = bisect.bisect_right([t for t, _ in lines], a * 1e9 + step * 1e9) - 1
            if i0 < k < i1 and k not in delays and 0 <= a - lines[k][0] / 1e9 < LATE:
                delays[k] = (a - lines[k][0] / 1e9, step)
        largest = max(d + r for d, r in delays.values())
        total = 0.0
        for k in range(i0, i1):
            d0, r0 = delays.get(k, (largest / 2, largest / 2))
            d1, r1 = delays.get(k + 1, (largest / 2, largest / 2))
            dt = (lines[k + 1][0] - lines[k][0]) / 1e9
            power = (lines[k + 1][1][n] - lines[k][1][n]) / dt if dt > 0 else 0.0
            total += abs(power) * (abs(d1 - d0) + r0 + r1)
        return total

    def check_prorated(self, case, rows, start_ns, end_ns):
        """Prorated figures: the true energy of the region lies between the truth's growth over the
        latches inside it and over those around it, each within the figure's bound."""
        for r in rows:
            if r["rail"] not in self.channels:
                continue
            device, n = self.channels[r["rail"]]
            lines = self.lines[device][self.offsets.get(device, 0):]
            times = [t for t, _ in lines]
            b, c = bisect.bisect_right(times, start_ns) - 1, bisect.bisect_right(times, end_ns) - 1
            if not check(f"{case}: {r['rail']}: the truth has latches around the region", 0 <= b and c + 1 < len(lines)):
                continue
            inner, outer = max(lines[c][1][n] - lines[b + 1][1][n], 0.0), lines[c + 1][1][n] - lines[b][1][n]
            energy, bound = float(r["energy_j"]), float(r["bound_j"])
            slack = TOLERANCE * outer
            check(f"{case}: {r['rail']} {energy} ± {bound} J holds every truth in [{inner}, {outer}]",
                  energy - bound - slack <= inner and outer <= energy + bound + slack)

    def check_rows(self, case, rows, start_ns, end_ns, bounds):
        """Every rail of ROWS (energy-stat's CSV or measure()'s rows) against the truth between the
        latches its sequences name, and its bound against its mean power × the edge times. Adds
        (rail, bound, energy) to BOUNDS."""
        truths = {}
        for r in rows:
            if r["rail"] not in self.channels:
                continue
            device, n = self.channels[r["rail"]]
            l0, l1 = int(r["start_latch_ns"]), int(r["end_latch_ns"])
            i0 = self.index(device, int(r["start_sequence"]), l0, f"{case}: {r['rail']}")
            i1 = self.index(device, int(r["end_sequence"]), l1, f"{case}: {r['rail']}")
            if i0 is None or i1 is None:
                continue
            lines = self.lines[device]
            true = lines[i1][1][n] - lines[i0][1][n]
            allowed = self.allowed(device, n, i0, i1, {i0: ((l0 - lines[i0][0]) / 1e9, 0.0),
                                                       i1: ((l1 - lines[i1][0]) / 1e9, 0.0)})
            energy, bound, gap = float(r["energy_j"]), float(r["bound_j"]), float(r["gap_s"])
            truths[r["rail"]] = (true, allowed)
            print(f"  {case:<12} {r['rail']:<10} {energy:11.6f} J, truth {true:11.6f} J ({energy / true - 1:+.2e}, "
                  f"allowed {allowed:.2e} J), ± {bound:.6f} J ({bound / abs(energy):.3%})")
            check(f"{case}: {r['rail']} {energy} J is the truth {true} J between its latches within {EXACT} and "
                  f"the {allowed:.3e} J the latch readings allow", abs(energy - true) <= EXACT * abs(true) + allowed + 2e-9)
            edges = (start_ns - l0) + (l1 - end_ns)
            expected = abs(energy) / ((l1 - l0) / 1e9 - gap) * edges / 1e9
            check(f"{case}: {r['rail']} bound {bound} J is its mean power × the {edges} ns outside the region "
                  f"({expected} J)", abs(bound - expected) <= 2e-9 + 1e-6 * expected)
            bounds.append((case, r["rail"], bound, energy))
        named = {r["rail"]: r for r in rows}
        cores = [rail for rail in truths if rawlogs.is_core_rail(rail)]
        if "cores_total" in named and cores:
            true = sum(truths[c][0] for c in cores)
            check(f"{case}: cores_total {named['cores_total']['energy_j']} J is its rails' truth {true} J",
                  abs(float(named["cores_total"]["energy_j"]) - true) <=
                  EXACT * abs(true) + sum(truths[c][1] for c in cores) + 1e-8)
        check(f"{case}: every rail and total ({len(rows)})", len(rows) == 11 and len(truths) == 8)


def read_csv(path):
    with open(path, newline="") as f:
        return list(csv.DictReader(f))


def on_request(emulator, daemon):
    """The daemon at its default period with latches on request: energy-stat, its repeats, a mark,
    measure(), a member of the socket's group and a user outside it, against the truth."""
    offsets = {name: len(lines) for name, lines in truth_lines().items()}
    os.makedirs(OUT, mode=0o1777, exist_ok=True)
    os.chmod(OUT, 0o1777)
    d = subprocess.Popen([*emulator, daemon, "--energy", "--raw", "--control-group", str(GROUP)],
                         stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
    outputs = {}
    try:
        deadline = time.monotonic() + 10
        while time.monotonic() < deadline and not os.path.exists(f"{ROOT}/energy/snapshot.csv"):
            time.sleep(0.05)
        for case, user, args in (
                ("sleep 0.5", [], ["--", "sleep", "0.5"]),
                ("-r 3", [], ["-r", "3", "--", "sleep", "0.3"]),
                ("mark", [], ["--marks", f"{OUT}/marks", "--", "sh", "-c",
                              f"sleep 0.3; {STAT} --mark second --marks {OUT}/marks; sleep 0.3"]),
                ("member", MEMBER if OUTSIDER else [], ["--", "sleep", "0.5"]),
                ("outsider", OUTSIDER, ["--", "sleep", "0.5"])):
            if case == "outsider" and not OUTSIDER:
                continue
            path = f"{OUT}/{case.replace(' ', '_')}.csv"
            done = subprocess.run([*user, STAT, "--csv", path, *args], capture_output=True, text=True, timeout=60)
            check(f"{case}: status 0 ({done.stderr[-300:]!r})", done.returncode == 0)
            outputs[case] = (done.stderr, read_csv(path) if done.returncode == 0 else [])
        env = {**os.environ, "PYTHONPATH": os.path.join(SOURCE_DIR, "scripts")}
        done = subprocess.run([sys.executable, "-c", MEASURE], capture_output=True, text=True, timeout=60, env=env)
        check(f"measure(): status 0 ({done.stderr[-300:]!r})", done.returncode == 0 and done.stderr == "")
        measured = json.loads(done.stdout) if done.returncode == 0 else None
        prorated = None
        if OUTSIDER:
            done = subprocess.run([*OUTSIDER, sys.executable, "-c", MEASURE], capture_output=True, text=True,
                                  timeout=60, env=env)
            check(f"measure() outside the group: status 0, one line saying why ({done.stderr!r})",
                  done.returncode == 0 and done.stderr == "vantrel_power: " + FALLBACK_LINE[len("energy-stat: "):])
            prorated = json.loads(done.stdout) if done.returncode == 0 else None
        snapshot, _, _ = powertree.read_energy_snapshot(ROOT)
    finally:
        d.terminate()
        d.wait(timeout=20)
    channels = {name: (snapshot.devices[dev].name, n) for dev, n, name, _ in client.rail_names(snapshot)}
    run = rawlogs.read_run(ROOT, print)
    readings = {rawlogs.device_name(s): [(a, ATIME_STEP) for a in s.data[1] if a == a] for s in run.streams}
    truth, bounds = Latched(offsets, channels, readings), []
    print(f"{'case':<14} {'rail':<10} {'figure':>13} {'truth':>17}")

    for case in ("sleep 0.5", "member"):
        err, rows = outputs.get(case, ("", []))
        check(f"{case}: exact, no line about the socket", "latched on request, exact" in err and
              "no latch on request" not in err)
        if rows:
            truth.check_rows(case, rows, int(rows[0]["command_start_ns"]), int(rows[0]["command_end_ns"]), bounds)
    err, rows = outputs["-r 3"]
    runs = sorted({r["run"] for r in rows})
    check(f"-r 3: three runs in the CSV ({runs})", runs == ["1", "2", "3"])
    for number in runs:
        mine = [r for r in rows if r["run"] == number]
        truth.check_rows(f"-r 3, run {number}", mine, int(mine[0]["command_start_ns"]), int(mine[0]["command_end_ns"]),
                         bounds)
    vph = [float(r["energy_j"]) for r in rows if r["rail"] == "vph"]
    printed = re.search(r"^ +([0-9.]+) J .* vph +± [0-9.]+ J +\( \+- ([0-9.]+)% \)$", err, re.M)
    mean, spread = statistics.fmean(vph), 100 * statistics.stdev(vph) / statistics.fmean(vph) if len(vph) > 1 else 0
    check(f"-r 3: vph's mean {mean} J and relative standard deviation {spread:.2f} % printed ({printed and printed.groups()})",
          printed is not None and abs(float(printed.group(1)) - mean) <= 1e-6 and abs(float(printed.group(2)) - spread) <= 0.006)

    # The mark: its latch splits the run; each phase is the truth between the latches around it.
    err, rows = outputs["mark"]
    with open(f"{OUT}/marks") as f:
        mark_ns = int(f.read().split()[0].replace(".", ""))
    phases, name = {}, None
    for line in err.split("Phases (marks):")[-1].splitlines() if "Phases (marks):" in err else []:
        heading = re.match(r"^  (\(start\)|'second'): [0-9.]+ s$", line)
        figure = re.match(r"^ +(-?[0-9.]+) J .* W +(\S+) +±", line)
        if heading:
            name = heading.group(1)
        elif figure and name:
            phases.setdefault(name, {})[figure.group(2)] = float(figure.group(1))
    for name in ("(start)", "'second'"):
        figures = phases.get(name, {})
        check(f"mark: phase {name} printed ({len(figures)} rows)", len(figures) == 11)
        for r in rows:
            if r["rail"] not in channels or r["rail"] not in figures:
                continue
            device, n = channels[r["rail"]]
            lines = truth.lines[device]
            i0 = truth.index(device, int(r["start_sequence"]), int(r["start_latch_ns"]), "mark")
            i1 = truth.index(device, int(r["end_sequence"]), int(r["end_latch_ns"]), "mark")
            if i0 is None or i1 is None:
                continue
            # The mark's latch: the device's last truth line at or before the mark's time (its pass's last
            # latch reading), strictly between the run's two.
            im = bisect.bisect_right([t for t, _ in lines], mark_ns) - 1
            if not check(f"mark: {device}'s latch for the mark lies within the run", i0 < im < i1):
                continue
            a, b = (i0, im) if name == "(start)" else (im, i1)
            true = lines[b][1][n] - lines[a][1][n]
            # The mark's own reading of this device came after its latch and by the pass's last reading
            # (the mark's time): anywhere in between, however late a busy machine made it.
            span = (mark_ns - lines[im][0]) / 1e9
            known = {i0: ((int(r["start_latch_ns"]) - lines[i0][0]) / 1e9, 0.0),
                     i1: ((int(r["end_latch_ns"]) - lines[i1][0]) / 1e9, 0.0), im: (span / 2, span / 2)}
            allowed = truth.allowed(device, n, a, b, known)
            check(f"mark: phase {name} {r['rail']} {figures[r['rail']]} J is the truth {true} J within {EXACT} and "
                  f"{allowed:.3e} J", abs(figures[r["rail"]] - true) <= EXACT * abs(true) + allowed + 1e-6)

    if measured is not None:
        check(f"measure(): exact, its region's own seconds {measured['seconds']}",
              measured["exact"] and abs(measured["seconds"] - (measured["end_ns"] - measured["start_ns"]) / 1e9) < 1e-9)
        truth.check_rows("measure()", measured["rows"], measured["start_ns"], measured["end_ns"], bounds)
        check("measure(): energy_j, bound_j and gap_s by rail are its rows'",
              all(measured["energy_j"][r["rail"]] == r["energy_j"] and measured["bound_j"][r["rail"]] == r["bound_j"]
                  and measured["gap_s"][r["rail"]] == r["gap_s"] for r in measured["rows"]))

    if OUTSIDER:
        err, rows = outputs["outsider"]
        check(f"outsider: one line saying why, then the prorated figures ({err[:300]!r})",
              err.startswith(FALLBACK_LINE) and err.count("no latch on request") == 1 and
              "accumulated counters, prorated to the cycles" in err and len(rows) == 11 and
              all(r["start_latch_ns"] == "" for r in rows))
        if rows:
            truth.check_prorated("outsider", rows, int(rows[0]["command_start_ns"]), int(rows[0]["command_end_ns"]))
    if prorated is not None:
        check("measure() outside the group: prorated, every rail and total",
              prorated["exact"] is False and len(prorated["rows"]) == 11)
        truth.check_prorated("measure() outside the group", prorated["rows"], prorated["start_ns"], prorated["end_ns"])
    vph = [(case, bound / energy) for case, rail, bound, energy in bounds if rail == "vph"]
    print("vph's bound relative to its figure: " + ", ".join(f"{case} {ratio:.3%}" for case, ratio in vph))
    print(f"the latest latch reading of a reply came {truth.worst_delay * 1e3:.3f} ms after its latch")


# --- Profiles (energy-stat --interval, measure(interval=)) against the truth, the daemon at its default period

def channels_of_rails():
    """Rail label -> (device name, channel index) from the daemon's snapshot."""
    with open(os.path.join(ROOT, "energy", "snapshot.csv"), newline="") as f:
        return {r[4]: (r[2], int(r[3]) - 1) for r in csv.reader(f) if r and r[0] == "channel"}


def own_latches(case, profiles, truth):
    """(device name, sequence) -> the daemon's latch ns of every latch some profile saw, each checked
    to follow the truth's latch of its sequence. PROFILES: [(case, {device name: [(sequence, ns)]})]."""
    known = {}
    for case, latches in profiles:
        for name, pairs in latches.items():
            for seq, ns in pairs:
                ok = 1 <= seq <= len(truth[name]) and 0 <= ns - truth[name][seq - 1][0] < LATE * 1e9
                check(f"{case}: {name} latch {seq} at {ns} ns follows the truth's latch {seq}", ok)
                if ok:
                    known[(name, seq)] = ns
    return known


def check_profile(case, intervals, known, truth, rails):
    """Every interval (device, rail, start ns, end ns, mean W) against the truth over the same pair of
    latches, found by their sequences (KNOWN: own_latches). An interval may hold latches of the
    daemon's cycles, whose reading delays are unknown: each lies between 0 and twice the largest delay
    of the latches seen, and the allowance is what the delays move the mean by (summed by parts over
    the truth's sub-interval means)."""
    sequence = {(name, ns): seq for (name, seq), ns in known.items()}
    delay = {k: ns - truth[k[0]][k[1] - 1][0] for k, ns in known.items()}
    worst_delay, worst, exact = 2 * max(delay.values(), default=0), 0.0, 0
    for device, rail, start, end, mean in intervals:
        name, n = rails[rail]
        a, b = sequence.get((device, start)), sequence.get((device, end))
        if not check(f"{case}: {rail} {start}..{end}: both latches are known", None not in (a, b)):
            continue
        lines = truth[name][a - 1:b]
        sub = [(e1[n] - e0[n]) / ((t1 - t0) / 1e9) for (t0, e0), (t1, e1) in zip(lines, lines[1:])]
        true = (lines[-1][1][n] - lines[0][1][n]) / ((lines[-1][0] - lines[0][0]) / 1e9)
        # The counter's energy moves by Σ mean × change in delay; the mean's time by the ends' change.
        moved = sub[-1] * delay[(name, b)] - sub[0] * delay[(name, a)] - true * (delay[(name, b)] - delay[(name, a)])
        unknown = 0.0
        for i in range(a + 1, b):  # the latches inside the interval
            step = sub[i - a - 1] - sub[i - a]
            if (name, i) in delay:
                moved += delay[(name, i)] * step
            else:
                unknown += worst_delay * abs(step)
        allowed = EXACT * abs(true) + 1e-6 + (abs(moved) + unknown) / (end - start)  # 1e-6: the averages' µW
        worst = max(worst, abs(mean - true) / allowed)
        exact += check(f"{case}: {rail} {start}..{end} ({b - a} latches): {mean} W is the truth's {true} W "
                       f"within {allowed:.2e} W", abs(mean - true) <= allowed)
    print(f"{case}: {exact} of {len(intervals)} intervals exact; largest latch reading delay "
          f"{worst_delay / 2e3:.1f} µs; worst error {worst:.2f} of its allowance")


def check_tiling(case, intervals, window):
    """Each rail's intervals follow one another without a gap or an overlap, from the latch before
    COMMAND to the latch after it (WINDOW: rail -> (start latch, end latch, command start, command end))."""
    by_rail = {}
    for device, rail, start, end, _ in intervals:
        by_rail.setdefault(rail, []).append((start, end))
    check(f"{case}: intervals of every rail {sorted(by_rail)}", set(by_rail) == set(window))
    for rail, spans in by_rail.items():
        spans.sort()
        first, last, begin, finish = window[rail]
        check(f"{case}: {rail}: {len(spans)} intervals tile {first}..{last} around COMMAND's {begin}..{finish}",
              spans[0][0] == first <= begin and spans[-1][1] == last >= finish and
              all(x[1] == y[0] and x[0] < x[1] for x, y in zip(spans, spans[1:])))


def profile_run(command, tag, marks=None):
    """Starts energy-stat --interval 10 with every output named after TAG; returns the process."""
    out = [f"/run/{tag}.{x}" for x in ("csv", "profile.csv", "json")]
    extra = ["--marks", marks] if marks else []
    return subprocess.Popen([STAT, "--interval", "10", "--csv", out[0], "--profile-csv", out[1], "--trace", out[2],
                             *extra, "--", *command], stderr=subprocess.PIPE, text=True)


def profile_outputs(case, tag, done, err, rails):
    """The outputs of one profiled run, read back and checked: (case, intervals, trace events,
    latches)."""
    check(f"{case}: status 0 ({err[-400:]!r})", done == 0)
    check(f"{case}: the summary gives nsp1's peak interval mean", re.search(r"W +nsp1 +[-+0-9.]+ s to", err))
    with open(f"/run/{tag}.profile.csv", newline="") as f:
        table = list(csv.reader(f))
    check(f"{case}: the profile CSV's columns {table[:1]}", table[:1] == [["run", "device", "rail", "start_ns",
                                                                           "end_ns", "mean_w"]])
    intervals = [(r[1], r[2], int(r[3]), int(r[4]), float(r[5])) for r in table[1:]]
    with open(f"/run/{tag}.csv", newline="") as f:
        window = {r["rail"]: (int(r["start_latch_ns"]), int(r["end_latch_ns"]), int(r["command_start_ns"]),
                              int(r["command_end_ns"])) for r in csv.DictReader(f) if r["rail"] in rails}
    with open(f"/run/{tag}.json", encoding="utf-8") as f:
        events = json.load(f)["traceEvents"]
    counters = {e["name"] for e in events if e["ph"] == "C"}
    check(f"{case}: one counter track per rail in the trace {sorted(counters)}", counters == set(window))
    runs = [e for e in events if e["ph"] == "X"]
    check(f"{case}: COMMAND's run is one slice", len(runs) == 1)
    latches = {k.split(":", 1)[1]: [tuple(x) for x in v]
               for k, v in runs[0]["args"]["latches (sequence, CLOCK_MONOTONIC ns)"].items()} if runs else {}
    check_tiling(case, intervals, window)
    return case, intervals, events, latches


def png_height(path):
    with open(path, "rb") as f:
        head = f.read(24)
    return int.from_bytes(head[20:24], "big") if head[:8] == b"\x89PNG\r\n\x1a\n" else None


def profiles(emulator, daemon):
    import vantrel_power
    from vantrel_power import profile
    d = subprocess.Popen([*emulator, daemon, "--energy", "--raw"], stdout=subprocess.DEVNULL,
                         stderr=subprocess.DEVNULL)
    marker = "/run/profile.marker"
    try:
        while not os.path.exists(os.path.join(ROOT, "energy", "snapshot.csv")) and d.poll() is None:
            time.sleep(0.05)
        # energy-stat --interval 10 -- sleep 2, drawn too; then two profiles at once, one with a mark.
        one = profile_run(["sleep", "2"], "one")
        one_err = one.communicate(timeout=60)[1]
        plot = subprocess.run([STAT, "--interval", "10", "--plot", "/run/one.png", "--", "sleep", "0.3"],
                              capture_output=True, text=True, timeout=60)
        mark = shlex.join([STAT, "--mark", "half", "--marks", "/run/marks"])
        two = [profile_run(["sleep", "2"], "two-a"),
               profile_run(["sh", "-c", f"sleep 1; {mark}; sleep 1"], "two-b", "/run/marks")]
        two_err = [p.communicate(timeout=60)[1] for p in two]
        with vantrel_power.measure(interval=0.01) as m:
            time.sleep(0.5)
        # Bad input: one line, status 125, COMMAND never runs.
        touch = ["--", "touch", marker]
        bad = [(a, "--interval MS") for a in (["--interval", "9"], ["--interval", "ten"], ["--interval", ""],
                                               ["--interval=-10"])]
        bad += [(["--trace", "/run/x.json"], "needs --interval"),
                (["--interval", "10", "--plot", "/run/x.png"], "gnuplot-nox")]
        for args, text in bad:
            env = {**os.environ, "PATH": "/nonexistent"} if "--plot" in args else None
            done = subprocess.run([STAT, *args, *touch[:1], "/usr/bin/touch", marker], capture_output=True,
                                  text=True, env=env)
            check(f"bad input {args}: status 125, one line saying {text!r} ({done.stderr!r})",
                  done.returncode == 125 and done.stderr.count("\n") == 1 and text in done.stderr)
            check(f"bad input {args}: COMMAND not run", not os.path.exists(marker))
        # A user outside the socket's group (root's alone here), then an older daemon without the
        # socket: no profile, the plain figures.
        outsider = ["setpriv", "--reuid", "65534", "--regid", "65534", "--clear-groups"]
        if subprocess.run([*outsider, "true"], capture_output=True).returncode != 0:
            outsider = None
            print("note: setpriv cannot make another user here: the outsider's case is not checked")
        else:
            denied = subprocess.run([*outsider, STAT, "--interval", "10", "--", "sleep", "0.2"], capture_output=True,
                                    text=True, timeout=60)
        os.remove("/run/vantrel-power-monitor/control")
        older = subprocess.run([STAT, "--interval", "10", "--", "sleep", "0.2"], capture_output=True, text=True,
                               timeout=60)
        time.sleep(1.2)  # a cycle after the last run
    finally:
        d.terminate()
        d.wait(timeout=20)
    truth, rails = truth_lines(), channels_of_rails()  # the k-th line of a device is its sequence k

    outputs = [profile_outputs("--interval 10 -- sleep 2", "one", one.returncode, one_err, rails)]
    outputs += [profile_outputs(f"two at once ({t})", t, p.returncode, e, rails)
                for t, p, e in zip(("two-a", "two-b"), two, two_err)]
    exact = m.profile is not None and m.profile.rails
    check("measure(interval=0.01): a profile on the result", exact)
    if exact:
        check(f"measure(interval=0.01): about 50 intervals in 0.5 s ({len(m.profile.rails[0].starts)})",
              len(m.profile.rails[0].starts) >= 20)
        outputs.append(("measure(interval=0.01)",
                        [(r.device_name, r.name, s, e, w) for r in m.profile.rails for s, e, w in r.intervals()],
                        [], {name: m.profile.latches[d] for d, name in enumerate(m.profile.devices)}))
    # Every interval against the truth, knowing the delay of every latch some profile saw.
    known = own_latches("latches", [(case, latches) for case, _, _, latches in outputs], truth)
    for case, intervals, _, _ in outputs:
        check_profile(case, intervals, known, truth, rails)

    nsp1 = [w for _, rail, _, _, w in outputs[0][1] if rail == "nsp1"]
    # The daemon's cycle means of nsp1: its counter in energy_raw over its device's latch readings
    # (the device log's atime of the same line; a line's own time can come late on a loaded machine).
    run = rawlogs.read_run(ROOT, print)
    column = run.energy.data[1 + rawlogs.counter_names(run.energy).index("nsp1")]
    line = {t: i for i, t in enumerate(run.energy.times)}
    stream = next(s for s in run.streams if "nsp1" in rawlogs.rails(s))
    latched = [(a, column[line[t]]) for t, a in zip(stream.times, stream.data[1]) if a == a and t in line]
    cycles = [(e1 - e0) / (a1 - a0) for (a0, e0), (a1, e1) in zip(latched, latched[1:])]
    # Whoever asks for latches, the daemon's own cycles keep their schedule: a line a period, none lost.
    steps = [b - a for a, b in zip(stream.times, stream.times[1:])]
    check(f"the cycles went on through the profiles: {len(steps)} steps of {min(steps, default=0):.3f} to "
          f"{max(steps, default=0):.3f} s", steps and 0.5 < min(steps) and max(steps) < 1.5)
    print(f"nsp1: largest 10 ms mean {max(nsp1, default=0):.3f} W, largest cycle mean {max(cycles, default=0):.3f} W")
    check(f"the NSP bursts: some nsp1 intervals above 1.5 W ({max(nsp1, default=0):.3f} W)", max(nsp1, default=0) > 1.5)
    check(f"nsp1's cycle means all below 1 W ({max(cycles, default=9):.3f} W)", cycles and max(cycles) < 1)
    check(f"--plot: status 0 ({plot.stderr[-300:]!r})", plot.returncode == 0)
    devices = len({name for name, _ in rails.values()})
    check(f"--plot: one panel per device ({devices}): height {png_height('/run/one.png')}",
          png_height("/run/one.png") == profile.PLOT_MARGIN + profile.PANEL_HEIGHT * devices)

    instants = [e["name"] for e in outputs[2][2] if e["ph"] == "i"]
    check(f"two at once: the mark is an instant of the trace ({instants})", instants == ["half"])
    spans = [(i[2], i[3]) for o in outputs[1:3] for i in o[1]]
    t0, t1 = min(s for s, _ in spans), max(e for _, e in spans)
    seconds = (t1 - t0) / 1e9
    for name, lines in truth.items():
        n = sum(1 for ns, _ in lines if t0 < ns <= t1)
        # The daemon's cycles (one a second) latch too.
        check(f"two at once: {name} latched {n} times in {seconds:.3f} s: at most 100 a second and its cycles",
              n <= 100 * seconds + seconds + 2)

    for case, done in (("no socket", older), ("outside the group", denied if outsider else None)):
        if done is None:
            continue
        check(f"{case}: status 0 ({done.stderr[-300:]!r})", done.returncode == 0)
        check(f"{case}: says no profile is possible", "no profile (--interval) is possible" in done.stderr)
        check(f"{case}: the plain figures", "seconds time elapsed" in done.stderr and "Profile" not in done.stderr)


def main():
    emulator = shlex.split(os.environ.get("VPM_EMULATOR", ""))
    if INSIDE and len(sys.argv) == 5:
        (profiles if sys.argv[4] == "--profile" else inside)(emulator, sys.argv[3])
    elif len(sys.argv) == 5 and sys.argv[4] == "--profile" or len(sys.argv) == 4:
        src, fakeboard, daemon = sys.argv[1:4]
        mode = sys.argv[4:]
        ci = os.environ.get("CI") == "true"
        if not fakeboard:
            print("skipped: this build's fakeboard does not serve the accumulators (no libfuse3)")
            return 1 if ci else 77
        if not ci and subprocess.run([fakeboard, "--", "true"], capture_output=True).returncode != 0:
            print("skipped: the fake board cannot make a private mount namespace here")
            return 77
        return subprocess.run([fakeboard, "--simulate", "--", sys.executable, os.path.realpath(__file__),
                               "--inside", src, daemon, *(mode or ["--report"])]).returncode
    else:
        print("usage: energy_truth_test.py SOURCE_DIR FAKEBOARD DAEMON [--profile]", file=sys.stderr)
        return 2
    if failures:
        print(f"{len(failures)} of {checks} checks failed", file=sys.stderr)
        return 1
    print(f"{checks} checks passed")
    return 0


if __name__ == "__main__":
    sys.exit(main())
