#!/usr/bin/python3
"""scripts/energy-stat against the real daemon on the simulated fake board: every error before
COMMAND gives one line and its status and runs nothing (a marker file COMMAND would make stays
absent); a restart during COMMAND gives no figure; SIGINT to energy-stat is passed on and gives 130
with the figures; hostile snapshots never give a traceback; and `-- sleep 5` and a command busy for
3 s agree with the daemon's own counters: `sleep 5` run by a user who may not use the control socket
(when setpriv can make one: prorated to the cycles, one line saying why), within the printed bound,
the bound the edge intervals' energy; the busy command with latches on request, between the counters
of the cycles inside and around its window. Every bound is at most 2 × the largest rail power × the
period. The same run's logs then go through power-report: its exact energies equal the daemon's
final counters, and over the prorated span they agree with energy-stat's within its bound. The
figures with latches on request against the simulation's truth: energy_truth_test.py.

  energy_stat_test.py SOURCE_DIR FAKEBOARD DAEMON
"""
import bisect
import csv
import os
import re
import shlex
import signal
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
SNAPSHOT = f"{ROOT}/energy/snapshot.csv"
MARKER = "/run/energy-stat-test.marker"
OUT = "/run/out"  # writable by the user outside the socket's group too
# A user outside the control socket's group (the socket is root's, 0600, without --control-group):
# set in inside() when setpriv can make one.
OUTSIDER = []
failures, checks = [], 0


def check(what, ok):
    global checks
    checks += 1
    if not ok:
        failures.append(what)
        print(f"FAIL: {what}", file=sys.stderr)
    return ok


class Daemon:
    started = []

    def __init__(self, emulator, daemon, *options):
        self.process = subprocess.Popen([*emulator, daemon, *options], stdout=subprocess.DEVNULL,
                                        stderr=subprocess.DEVNULL)
        self.pid = self.process.pid
        Daemon.started.append(self)

    def wait_for_snapshot(self):
        deadline = time.monotonic() + 10
        while time.monotonic() < deadline:
            try:
                with open(SNAPSHOT) as f:
                    if f"pid,{self.pid}\n" in f.read():
                        return True
            except OSError:
                pass
            time.sleep(0.05)
        return False

    def stop(self):
        if self.process.poll() is None:
            self.process.send_signal(signal.SIGCONT)
            self.process.terminate()
        self.process.wait(timeout=20)


def stat(*args, command=None):
    """(status, stderr) of energy-stat ARGS -- COMMAND; COMMAND by default makes the marker."""
    if os.path.exists(MARKER):
        os.remove(MARKER)
    command = ["touch", MARKER] if command is None else command
    done = subprocess.run([STAT, *args, "--", *command], capture_output=True, text=True, timeout=60)
    return done.returncode, done.stderr


def own_error(case, status, err, expected, text, ran=False):
    check(f"{case}: status {status} is {expected} ({err.strip()})", status == expected)
    check(f"{case}: one line on stderr: {err!r}", err.count("\n") == 1 and err.startswith("energy-stat: "))
    check(f"{case}: says {text!r}", text in err)
    check(f"{case}: no traceback", "Traceback" not in err)
    if not ran:
        check(f"{case}: COMMAND not run", not os.path.exists(MARKER))


def errors(emulator, daemon):
    # No daemon: no lock at all, then a lock that nothing holds (a daemon ran and ended).
    status, err = stat()
    own_error("no lock", status, err, 125, "no daemon running")
    d = Daemon(emulator, daemon, "--energy", "-i", "200")
    check("a daemon publishes a snapshot", d.wait_for_snapshot())
    d.stop()
    status, err = stat()
    own_error("a daemon that ended", status, err, 125, "no daemon running")

    # A daemon without --energy: the snapshot left by the earlier daemon is not its own; then no
    # snapshot at all. Each says how to turn the counters on.
    d = Daemon(emulator, daemon, "-i", "200")
    time.sleep(0.5)
    status, err = stat()
    own_error("without --energy, an earlier snapshot", status, err, 125, "runs without --energy")
    check("without --energy: says whose the snapshot is", "earlier daemon's" in err)
    check("without --energy: says how to turn it on",
          "add --energy to OPTIONS in /etc/default/vantrel-power-monitor" in err)
    os.remove(SNAPSHOT)
    status, err = stat()
    own_error("without --energy, no snapshot", status, err, 125, f"(pid {d.pid}) runs without --energy")
    d.stop()

    # A daemon that stopped completing cycles (stopped by SIGSTOP, still holding the lock).
    d = Daemon(emulator, daemon, "--energy", "-i", "200")
    check("a daemon publishes a snapshot", d.wait_for_snapshot())
    d.process.send_signal(signal.SIGSTOP)
    time.sleep(0.8)
    status, err = stat()
    own_error("stale snapshot", status, err, 125, "older than three periods")
    # Resumed: the cases below need its next cycle's snapshot.
    with open(SNAPSHOT, "rb") as f:
        frozen = f.read()
    d.process.send_signal(signal.SIGCONT)
    deadline = time.monotonic() + 10
    while time.monotonic() < deadline:
        with open(SNAPSHOT, "rb") as f:
            if f.read() != frozen:
                break
        time.sleep(0.02)

    # Options and commands.
    status, err = stat("--bogus")
    own_error("bad option", status, err, 125, "unknown option '--bogus'")
    status, err = stat(command=["/nonexistent/command"])
    own_error("command not found", status, err, 127, "command not found")
    script = "/run/not-executable"
    with open(script, "w") as f:
        f.write(f"#!/bin/sh\ntouch {MARKER}\n")
    os.chmod(script, 0o644)
    status, err = stat(command=[script])
    own_error("command not executable", status, err, 126, "Permission denied")
    done = subprocess.run([STAT], capture_output=True, text=True)
    own_error("no command", done.returncode, done.stderr, 125, "no COMMAND")
    done = subprocess.run([STAT, "--help"], capture_output=True, text=True)
    check("--help: status 0, the usage", done.returncode == 0 and "energy-stat [--root DIR]" in done.stdout)
    link = "/run/es-link"
    os.symlink(STAT, link)
    done = subprocess.run([link, "--bogus"], capture_output=True, text=True)
    check(f"the program's name from argv[0] {done.stderr!r}", done.stderr.startswith("es-link: unknown option"))

    # Marks: a line of CLOCK_MONOTONIC seconds and the name; a name that would break the file refused.
    done = subprocess.run([STAT, "--mark", "compile all", "--marks", "/run/m"], capture_output=True, text=True)
    with open("/run/m") as f:
        line = f.read()
    check(f"--mark: status 0, the line {line!r}", done.returncode == 0 and
          re.fullmatch(r"[0-9]+\.[0-9]{9} compile all\n", line) is not None and
          abs(float(line.split()[0]) - time.clock_gettime(time.CLOCK_MONOTONIC)) < 5)
    for case, args in (("a line feed", ["--mark", "a\nb", "--marks", "/run/m"]), ("no --marks", ["--mark", "x"]),
                       ("an empty name", ["--mark", "", "--marks", "/run/m"])):
        done = subprocess.run([STAT, *args], capture_output=True, text=True)
        own_error(f"--mark, {case}", done.returncode, done.stderr, 125, "mark")
    with open("/run/m") as f:
        check("--mark: nothing written by a refused mark", f.read() == line)

    # The daemon restarted during COMMAND: COMMAND ran, but no figure.
    lock = "/run/vantrel-power-monitor/lock"
    restart = (f"kill {d.pid}; while ! flock -n -s {lock} true; do sleep 0.05; done; "
               f"{shlex.join([*emulator, daemon])} --energy -i 200 >/dev/null 2>&1 & echo $! >/run/new.pid; "
               f"sleep 1.5; touch {MARKER}")
    status, err = stat(command=["sh", "-c", restart])
    d.process.wait(timeout=10)
    own_error("restarted during COMMAND", status, err, 125, "the daemon restarted during COMMAND", ran=True)
    check("restarted: no figure", "seconds time elapsed" not in err)
    with open("/run/new.pid") as f:
        os.kill(int(f.read()), signal.SIGTERM)
    time.sleep(1)


HOSTILE = {
    "empty": b"",
    "binary": bytes(range(256)) * 8,
    "not UTF-8": b"vantrel-energy,1\n\xff\xfe\n",
    "an open quote": b'vantrel-energy,1\npid,"1\n' + b"x" * 200000,
    "no line end": b"vantrel-energy,1\npid,1",
    "huge figures": b"vantrel-energy,1\npid,1\nstart,1e400\nperiod_ms,-5\n",
    "channels without devices": b"vantrel-energy,1\npid,1\nstart,1.000000000\nperiod_ms,200\n"
                                b"channel,0,x,1,vph,1.000000000,0.000000000\n",
    "too large": b"vantrel-energy,1\n" + b"device,0,x,\n" * 200000,
    "a thousand fields": b"vantrel-energy,1\n" + b",".join([b"pid"] * 1000) + b"\n",
    "NUL bytes": b"vantrel-energy,1\npid,\x00\x00\n",
}


def hostile(emulator, daemon):
    """Snapshots in another root while a daemon holds the lock: each one a line, status 125, COMMAND
    not run; a FIFO and a link are not read. The daemon's period leaves a frozen snapshot fresh for the
    3 s that energy-stat may take to start on a loaded machine."""
    d = Daemon(emulator, daemon, "--energy", "-i", "1000")
    check("a daemon publishes a snapshot", d.wait_for_snapshot())
    energy = "/run/hostile/energy"
    os.makedirs(energy)
    path = f"{energy}/snapshot.csv"
    for case, data in HOSTILE.items():
        with open(path, "wb") as f:
            f.write(data)
        status, err = stat("--root", "/run/hostile")
        own_error(f"hostile snapshot, {case}", status, err, 125, path)
    os.remove(path)
    os.mkfifo(path)
    status, err = stat("--root", "/run/hostile")
    own_error("hostile snapshot, a FIFO", status, err, 125, "not a regular file")
    os.remove(path)
    os.symlink(SNAPSHOT, path)
    status, err = stat("--root", "/run/hostile")
    own_error("hostile snapshot, a link", status, err, 125, path)
    # The daemon's own snapshot, frozen: it passes every check, but no cycle follows. With latches on
    # request the figures need none; prorated (as a user outside the socket's group) COMMAND runs, then
    # no figure.
    os.remove(path)
    with open(SNAPSHOT, "rb") as f, open(path, "wb") as out:
        out.write(f.read())
    status, err = stat("--root", "/run/hostile")
    check(f"a snapshot that stands still, latches on request: figures ({err[-200:]!r})",
          status == 0 and "latched on request, exact" in err and os.path.exists(MARKER))
    if OUTSIDER:
        done = subprocess.run([*OUTSIDER, STAT, "--root", "/run/hostile", "--", "true"], capture_output=True,
                              text=True, timeout=60)
        check(f"a snapshot that stands still, prorated: no figure ({done.stderr!r})", done.returncode == 125 and
              done.stderr.count("\n") == 1 and "no cycle of the daemon" in done.stderr)
    d.stop()


def figures(err):
    """{rail: (energy J, avg W, bound J)}, the elapsed seconds, the period and the CLOCK_MONOTONIC span
    of energy-stat's output (its first block): latch to latch with latches on request."""
    rows = {}
    block = err.split("seconds time elapsed")[0]
    for m in re.finditer(r"^ +(-?[0-9.]+) J +[-0-9.]+ mWh +([-0-9.]+) W +(\S+) +± ([0-9.]+) J", block, re.M):
        rows[m.group(3)] = (float(m.group(1)), float(m.group(2)), float(m.group(4)))
    elapsed = re.search(r"([0-9.]+) seconds time elapsed", err)
    period = re.search(r"([0-9.]+) seconds sampling period", err)
    span = re.search(r"CLOCK_MONOTONIC ([0-9.]+) s to ([0-9.]+) s", err)
    return rows, float(elapsed.group(1)) if elapsed else None, float(period.group(1)) if period else None, \
        (float(span.group(1)), float(span.group(2))) if span else None


class Counters:
    """The daemon's own counters from its logs: per device, its latch times (the device log's atime)
    and each channel's counter at them (energy_raw's line of the same cycle)."""

    def __init__(self, root):
        run = rawlogs.read_run(root, print)
        self.energy, self.devices = run.energy, {}
        lines = {t: i for i, t in enumerate(run.energy.times)}
        names = rawlogs.counter_names(run.energy)
        for k, g in rawlogs.match_counters(run.streams, run.energy).items():
            s = run.streams[k]
            latches = [(a, lines[t]) for t, a in zip(s.times, s.data[1]) if a == a and t in lines]
            columns = range(1 + 4 * g, 5 + 4 * g)
            self.devices[k] = ([a for a, _ in latches],
                               {names[c - 1]: [run.energy.data[c][i] for _, i in latches] for c in columns})

    def around(self, rail, t0, t1):
        """(inner, outer, latch times, counters): the counter's growth between the first latches
        after T0 and at or before T1, and between the latches at or before T0 and after T1."""
        for latches, rails in self.devices.values():
            if rail in rails:
                c = rails[rail]
                b, c0 = bisect.bisect_right(latches, t0) - 1, bisect.bisect_right(latches, t1) - 1
                return max(c[c0] - c[b + 1], 0.0), c[c0 + 1] - c[b], latches, c
        return None

    def largest_power(self):
        """The largest mean power of any rail over any of its intervals."""
        return max((c[i + 1] - c[i]) / (t[i + 1] - t[i])
                   for t, rails in self.devices.values() for c in rails.values() for i in range(len(t) - 1))


def agreement(emulator, daemon):
    d = Daemon(emulator, daemon, "--energy", "--raw", "-i", "500")
    check("a daemon publishes a snapshot", d.wait_for_snapshot())
    time.sleep(1)
    busy = [sys.executable, "-c", "import time\nend = time.monotonic() + 3\nwhile time.monotonic() < end: pass"]
    runs, exact, outside = {}, {}, {}
    for case, command, user in (("sleep 5", ["sleep", "5"], OUTSIDER), ("3 s busy", busy, [])):
        began = time.monotonic()
        done = subprocess.run([*user, STAT, "--csv", f"{OUT}/{case[0]}.csv", "--", *command], capture_output=True,
                              text=True, timeout=60)
        outside[case] = time.monotonic() - began
        status, err = done.returncode, done.stderr
        check(f"{case}: status 0 ({err[-300:]!r})", status == 0)
        exact[case] = "latched on request, exact" in err
        check(f"{case}: latches on request for root, not for a user outside the socket's group",
              exact[case] == (not user) and ("energy-stat: no latch on request: permission denied on "
                                            "/run/vantrel-power-monitor/control; figures prorated to the daemon's "
                                            "cycles\n" in err) == bool(user))
        got = list(figures(err))
        if exact[case]:  # the mean power is over the window
            window = re.search(r"([0-9.]+) seconds window, latch to latch", err)
            got[1] = float(window.group(1)) if window else None
        runs[case] = tuple(got), f"{OUT}/{case[0]}.csv"
    # Phases: COMMAND marks one; "(start)" runs to it, the mark to the end; together the whole.
    marks = "/run/phases"
    mark = shlex.join([STAT, "--mark", "second half", "--marks", marks])
    status, err = stat("--marks", marks, command=["sh", "-c", f"sleep 1; {mark}; sleep 1"])
    whole = figures(err)[0]
    phases = err.split("Phases (marks):")[-1]
    parts = [figures(p)[0] for p in re.split(r"\n  (?:\(start\)|'second half'): ", phases)[1:]]
    check(f"phases: status 0, two phases ({err[-400:]!r})", status == 0 and len(parts) == 2)
    if len(parts) == 2:
        for rail, (energy, _, _) in whole.items():
            check(f"phases: {rail}'s phases add up to {energy} J",
                  abs(parts[0][rail][0] + parts[1][rail][0] - energy) <= 2e-6)
    time.sleep(1.2)  # the cycles after the last command's end reach the logs
    d.stop()
    counters = Counters(ROOT)
    largest = counters.largest_power()
    for case, ((rows, elapsed, period, span), csv_path) in runs.items():
        check(f"{case}: the period printed {period}", period == 0.5)
        # COMMAND's own time (latched: the window): at least what it spends, at most energy-stat's whole run
        # as seen from here.
        check(f"{case}: elapsed {elapsed} s within [{case[0]}, {outside[case]:.3f}] s", elapsed is not None and
              (4.99 if case == "sleep 5" else 2.99) < elapsed <= outside[case])
        check(f"{case}: every rail and total {sorted(rows)}", len(rows) == 11)
        with open(csv_path, newline="") as f:
            table = {r["rail"]: r for r in csv.DictReader(f)}
        check(f"{case}: the CSV's columns", list(next(iter(table.values())))[:4] ==
              ["rail", "energy_j", "energy_mwh", "avg_w"])
        if span is None:
            continue
        print(f"{case}: elapsed {elapsed:.6f} s, period {period} s, largest rail power {largest:.3f} W")
        for rail, (energy, avg, bound) in rows.items():
            check(f"{case}: {rail} in the CSV", abs(float(table[rail]["energy_j"]) - energy) < 1e-6)
            around = counters.around(rail, *span)
            if around is None:
                continue
            inner, outer, latches, _ = around
            # The daemon's counters bracket the true energy of the span; energy-stat's figure lies in
            # that bracket, and its bound is the bracket's width, the two edge intervals' energy.
            print(f"  {rail:<10} {energy:10.6f} J ± {bound:.6f} J; the daemon's counters: inner {inner:.6f} J,"
                  f" outer {outer:.6f} J")
            check(f"{case}: {rail} {energy} J within the counters' [{inner}, {outer}] J",
                  inner - 1e-5 <= energy <= outer + 1e-5)
            if not exact[case]:
                check(f"{case}: {rail} bound {bound} J is the edges' energy {outer - inner} J",
                      abs(bound - (outer - inner)) <= 1e-4 * max(outer, 1) + 1e-5)
            check(f"{case}: {rail} bound {bound} J ≤ 2 × {largest:.3f} W × {period} s",
                  bound <= 2 * largest * period)
            counted = elapsed - float(table[rail]["gap_s"])
            check(f"{case}: {rail} mean power {avg} W over {counted} s counted",
                  abs(avg - energy / counted) <= 1e-3 + 1e-4 * abs(avg))
        # The totals from the daemon's own total counters, over the members' brackets.
        cores = [r for r in rows if rawlogs.is_core_rail(r)]
        inner = sum(counters.around(r, *span)[0] for r in cores)
        outer = sum(counters.around(r, *span)[1] for r in cores)
        check(f"{case}: cores_total {rows['cores_total'][0]} J within [{inner}, {outer}]",
              inner - 1e-5 <= rows["cores_total"][0] <= outer + 1e-5)
        check(f"{case}: vph_total is vph", rows["vph_total"][:2] == rows["vph"][:2])

    # power-report on the same logs: exact, its whole-run energies the daemon's final counters, and
    # over energy-stat's span within energy-stat's bound.
    with open(SNAPSHOT) as f:
        final = {r[4]: float(r[5]) for r in csv.reader(f) if r[0] == "channel"}
    done = subprocess.run([REPORT, ROOT, "--csv", "/run/report.csv"], capture_output=True, text=True)
    check(f"power-report: exit 0 ({done.stderr!r})", done.returncode == 0)
    check("power-report: names its method", "energy: accumulated (exact)" in done.stdout)
    with open("/run/report.csv", newline="") as f:
        report = {r["rail"]: r for r in csv.DictReader(f)}
    for rail, joules in final.items():
        check(f"power-report: {rail} {report[rail]['energy_j']} J is the daemon's final counter {joules} J",
              abs(float(report[rail]["energy_j"]) - joules) <= 2e-6)
    (rows, _, _, span), _ = runs["sleep 5"]
    if span is not None and not exact["sleep 5"]:
        done = subprocess.run([REPORT, ROOT, "--from", f"{span[0]:.6f}", "--to", f"{span[1]:.6f}",
                               "--csv", "/run/window.csv"], capture_output=True, text=True)
        with open("/run/window.csv", newline="") as f:
            window = {r["rail"]: float(r["energy_j"]) for r in csv.DictReader(f)}
        for rail, (energy, _, bound) in rows.items():
            check(f"power-report over sleep 5: {rail} {window.get(rail)} J within {energy} ± {bound} J",
                  rail in window and abs(window[rail] - energy) <= bound)


def interrupt(emulator, daemon):
    d = Daemon(emulator, daemon, "--energy", "-i", "200")
    check("a daemon publishes a snapshot", d.wait_for_snapshot())
    # COMMAND notes when it runs, then becomes the sleep: the elapsed time printed lies between that
    # start and the signal, and energy-stat's own start and end as seen from here.
    started_file = "/run/interrupted-command-start"
    command = [sys.executable, "-c", "import os, sys, time\n"
               "open(sys.argv[1], 'w').write(repr(time.monotonic()))\nos.execvp('sleep', ['sleep', '30'])",
               started_file]
    launched = time.monotonic()
    child = subprocess.Popen([STAT, "--", *command], stderr=subprocess.PIPE, text=True)
    deadline = time.monotonic() + 30
    while not (os.path.exists(started_file) and os.path.getsize(started_file)) and time.monotonic() < deadline:
        time.sleep(0.05)
    time.sleep(1.0)
    began = time.monotonic()
    child.send_signal(signal.SIGINT)  # to energy-stat alone, as kill -INT does
    try:
        _, err = child.communicate(timeout=30)
    except subprocess.TimeoutExpired:
        child.kill()
        _, err = child.communicate()
    ended = time.monotonic()
    with open(started_file) as f:
        command_start = float(f.read())
    check(f"SIGINT: status 130 ({err[-200:]!r})", child.returncode == 130)
    rows, elapsed, _, _ = figures(err)
    low, high = began - command_start, ended - launched
    check(f"SIGINT: the figures so far ({elapsed} s, expected {low:.3f} to {high:.3f} s, sleep ended early)",
          len(rows) == 11 and elapsed is not None and low <= elapsed <= high and elapsed < 30)
    check("SIGINT: said so", "interrupted" in err)
    d.stop()


def inside(emulator, daemon):
    os.makedirs(OUT, mode=0o1777)
    os.chmod(OUT, 0o1777)
    if subprocess.run(["setpriv", "--reuid", "65534", "--regid", "65534", "--clear-groups", "true"],
                      capture_output=True).returncode == 0:
        OUTSIDER.extend(["setpriv", "--reuid", "65534", "--regid", "65534", "--clear-groups"])
    else:
        print("note: setpriv cannot make another user here: energy-stat runs with latches on request only")
    try:
        errors(emulator, daemon)
        hostile(emulator, daemon)
        interrupt(emulator, daemon)
        agreement(emulator, daemon)
    finally:
        for d in Daemon.started:
            if d.process.poll() is None:
                d.process.kill()


def main():
    emulator = shlex.split(os.environ.get("VPM_EMULATOR", ""))
    if INSIDE and len(sys.argv) == 4:
        inside(emulator, sys.argv[3])
    elif len(sys.argv) == 4:
        src, fakeboard, daemon = sys.argv[1:]
        if os.environ.get("CI") != "true" and subprocess.run([*emulator, fakeboard, "--", "true"],
                                                              capture_output=True).returncode != 0:
            print("skipped: the fake board cannot make a private mount namespace here")
            return 77
        return subprocess.run([*emulator, fakeboard, "--simulate", "--", sys.executable,
                               os.path.realpath(__file__), "--inside", src, daemon]).returncode
    else:
        print("usage: energy_stat_test.py SOURCE_DIR FAKEBOARD DAEMON", file=sys.stderr)
        return 2
    if failures:
        print(f"{len(failures)} of {checks} checks failed", file=sys.stderr)
        return 1
    print(f"{checks} checks passed")
    return 0


if __name__ == "__main__":
    sys.exit(main())
