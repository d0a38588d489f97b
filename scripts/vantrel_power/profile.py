"""The power profile of a region of time: every rail's exact mean power over each interval between
two latches on request, taken every INTERVAL on absolute deadlines while the region lasts.

Each reply carries each device's own latch time and sequence; a rail's interval is bounded by its
own device's two latches (devices latch microseconds apart), and its mean is the counter's growth
over the time it counted (its gap left out). The daemon spaces latches on request at least 10 ms
apart for all its clients together, and a cycle in progress delays a request: an interval can be
longer than asked, and is exact all the same (Profile.lengthened says how many were).

    profile = Profile(run=1, interval_ns=10_000_000)
    profile.add(first)                              # a latch just before the region
    sampler = Sampler(profile, start_ns)            # a thread asking for latches
    ...                                             # the region
    sampler.end(); last = control.latch(); sampler.stop(); profile.add(last)
    profile.rails[0].intervals(), profile.peak(rail), write_csv(path, [profile]), plot(path, [profile])
"""
import csv
import math
import os
import shutil
import socket
import subprocess
import tempfile
import threading
from array import array
from dataclasses import dataclass, field

from . import client, trace

MIN_INTERVAL_MS = 10  # the daemon's own spacing of latches on request
CSV_COLUMNS = ["run", "device", "rail", "start_ns", "end_ns", "mean_w"]
# An interval this much longer than asked was lengthened by other clients' latches, the daemon's
# spacing of latches or a cycle in progress.
LENGTHENED = 1.5
PANEL_HEIGHT, PLOT_MARGIN, PLOT_WIDTH = 300, 90, 1500
GNUPLOT_MISSING = "--plot needs gnuplot, which is not installed (Debian package gnuplot-nox: apt-get install gnuplot-nox)"


class RailProfile:
    """One rail's intervals: start and end (its device's latches, CLOCK_MONOTONIC ns) and mean W
    (NaN when the interval is all gap: the counter could not count)."""

    def __init__(self, device, channel, device_name, name, label):
        self.device, self.channel, self.device_name, self.name, self.label = device, channel, device_name, name, label
        self.starts, self.ends, self.means = array("q"), array("q"), array("d")

    def intervals(self):
        """(start ns, end ns, mean W or None) of every interval, in time order."""
        return [(s, e, m if m == m else None) for s, e, m in zip(self.starts, self.ends, self.means)]

    def peak(self):
        """(mean W, start ns, end ns) of the interval with the largest mean, or None."""
        best = None
        for s, e, m in zip(self.starts, self.ends, self.means):
            if m == m and (best is None or m > best[0]):
                best = (m, s, e)
        return best


@dataclass
class Profile:
    """The profile of one run: each rail's intervals, each device's latches (sequence, ns) that bound
    them, COMMAND's own start and end, and the marks made during it (ns, name)."""
    run: int = 1
    interval_ns: int = 10_000_000
    start_ns: int = None
    end_ns: int = None
    rails: list = field(default_factory=list)
    latches: list = field(default_factory=list)  # per device: [(sequence, ns), ...]
    devices: list = field(default_factory=list)  # device names by position
    marks: list = field(default_factory=list)
    replies: int = 0
    problem: str = None  # why the profile stopped early, if it did
    _last: list = None  # per device: (latch ns, [(nJ, gap ns)] per channel) of the latest reading
    _run: tuple = None

    def add(self, reading):
        """Adds the intervals up to READING (a client.Reading) to every rail. A device that has not
        latched since the previous reading adds no interval: its next one spans both."""
        snapshot = reading.snapshot
        if self._last is None:
            self._run = snapshot.run
            # A device's name, or NAME@POSITION when devices share it (as rails' names are qualified).
            names = [d.name for d in snapshot.devices]
            self.devices = [n if names.count(n) == 1 else f"{n}@{d}" for d, n in enumerate(names)]
            self.rails = [RailProfile(d, n, self.devices[d], name, label)
                          for d, n, name, label in client.rail_names(snapshot)]
            self.latches = [[] for _ in snapshot.devices]
            self._last = [None] * len(snapshot.devices)
        elif snapshot.run != self._run or len(snapshot.devices) != len(self._last):
            raise client.MeasureError("the daemon restarted or its devices changed during the profile")
        self.replies += 1
        for d, device in enumerate(snapshot.devices):
            last = self._last[d]
            if last is not None and device.latch_ns <= last[0]:
                continue
            counters = [(c.nanojoules, c.gap_ns) for c in device.channels]
            if last is not None:
                for rail in self.rails:
                    if rail.device != d:
                        continue
                    (e0, g0), (e1, g1) = last[1][rail.channel], counters[rail.channel]
                    counted = device.latch_ns - last[0] - (g1 - g0)
                    mean = (e1 - e0) / counted if counted > 0 else math.nan
                    rail.starts.append(last[0])
                    rail.ends.append(device.latch_ns)
                    rail.means.append(mean if math.isfinite(mean) else math.nan)
            self._last[d] = (device.latch_ns, counters)
            self.latches[d].append((device.sequence, device.latch_ns))

    def peak(self):
        """{rail name: (mean W, start ns, end ns)} of every rail with an interval."""
        return {r.name: p for r in self.rails if (p := r.peak()) is not None}

    def lengths(self):
        """Every interval's length in ns (each device's, once per device)."""
        out = []
        for latches in self.latches:
            out += [b[1] - a[1] for a, b in zip(latches, latches[1:])]
        return out

    def lengthened(self):
        """How many device intervals are longer than LENGTHENED × the interval asked for."""
        return sum(1 for n in self.lengths() if n > LENGTHENED * self.interval_ns)


class Sampler:
    """A thread asking for a latch at START_NS + k × the profile's interval (k = 1, 2, ...) on its own
    connection to the control socket, adding each reply to PROFILE. A reply that comes after the
    next deadline is followed by a request at once (the daemon's spacing of latches is then the
    floor); one more than an interval late skips the deadlines it missed. A failed request ends the
    sampling (PROFILE.problem says why).

    The region's last latch is asked for on another connection: end() first, so that no request of
    the sampler's is sent after it (each reply the sampler gets is then of a latch no later than the
    last one), then that request, then stop()."""

    def __init__(self, profile, start_ns, path=client.CONTROL_SOCKET):
        self.profile, self.start_ns, self.path = profile, start_ns, path
        self.lock, self.ending, self.stopping = threading.Lock(), False, threading.Event()
        self.sock = None
        self.thread = threading.Thread(target=self._run, daemon=True)
        self.thread.start()

    def _send(self):
        """Sends a request; False once end() was called."""
        with self.lock:
            if self.ending:
                return False
            if self.sock is None:
                self.sock = socket.socket(socket.AF_UNIX, socket.SOCK_SEQPACKET | socket.SOCK_CLOEXEC)
                self.sock.settimeout(client.REPLY_TIMEOUT)
                self.sock.connect(self.path)
            self.sock.send(client.REQUEST, socket.MSG_NOSIGNAL)
            return True

    def _receive(self):
        data, _, flags, _ = self.sock.recvmsg(client.REPLY_LIMIT)
        if flags & socket.MSG_TRUNC or not data:
            raise client.NoLatch("a truncated or empty reply")
        return data

    def _run(self):
        # Each reply is parsed while the next request waits for its latch, so that parsing never
        # delays a request.
        interval, k, pending = self.profile.interval_ns, 1, None
        try:
            while True:
                deadline = self.start_ns + k * interval
                wait = (deadline - client.now_ns()) / 1e9
                if (wait > 0 and self.stopping.wait(wait)) or self.stopping.is_set() or not self._send():
                    break
                if pending is not None:
                    self.profile.add(client.parse_reply(pending))
                pending = self._receive()
                now = client.now_ns()
                k += 1
                if now - (self.start_ns + k * interval) > interval:
                    k = (now - self.start_ns) // interval
            if pending is not None:
                self.profile.add(client.parse_reply(pending))
        except (client.NoLatch, client.MeasureError) as e:
            self.profile.problem = str(e)
        except OSError as e:
            self.profile.problem = f"{self.path}: {e.strerror or e}"
        finally:
            if self.sock is not None:
                self.sock.close()

    def end(self):
        """No request of the sampler's is sent after this returns."""
        with self.lock:
            self.ending = True

    def stop(self):
        self.end()
        self.stopping.set()
        self.thread.join()


def parse_interval(text):
    """The interval in ns of an option's MS (a whole number of ms, at least MIN_INTERVAL_MS), or None."""
    if not (text.isascii() and text.isdigit()) or len(text) > 9 or int(text) < MIN_INTERVAL_MS:
        return None
    return int(text) * 1_000_000


# --- Outputs

def write_csv(path, profiles):
    """One row per run, rail and interval: run,device,rail,start_ns,end_ns,mean_w (empty when the
    interval is all gap); the times are the rail's device's latches on CLOCK_MONOTONIC."""
    with open(path, "w", newline="", encoding="utf-8") as f:
        out = csv.writer(f, lineterminator="\n")
        out.writerow(CSV_COLUMNS)
        for p in profiles:
            for rail in p.rails:
                for s, e, m in rail.intervals():
                    out.writerow([p.run, rail.device_name, rail.name, s, e, "" if m is None else f"{m:.9f}"])


def write_trace(path, profiles, command, pid=1):
    """The profiles as a Chrome/Perfetto trace on CLOCK_MONOTONIC: one counter track per rail (its
    interval means, a step at each interval's start, each run's last interval closed), each run of
    COMMAND as a slice whose arguments give each device's latches (sequence, ns) and each mark as an
    instant."""
    with trace.Writer(path) as out:
        out.process(pid, "vantrel rail interval means")
        out.process(pid + 1, f"energy-stat {command}")
        out.thread(pid + 1, 1, "runs")
        names = []
        for p in profiles:
            names += [r.name for r in p.rails if r.name not in names]
        for name in names:
            intervals = []
            for p in profiles:
                for r in p.rails:
                    if r.name == name:
                        intervals += [(trace.us_of_ns(s), trace.us_of_ns(e), m) for s, e, m in r.intervals()]
            out.steps(pid, name, "W", intervals)
        for p in profiles:
            latches = {f"{d}:{name}": [list(x) for x in p.latches[d]] for d, name in enumerate(p.devices)}
            out.slice(pid + 1, 1, f"run {p.run}" if len(profiles) > 1 else command, trace.us_of_ns(p.start_ns),
                      trace.us_of_ns(p.end_ns), {"run": p.run, "interval_ms": p.interval_ns / 1e6,
                                                 "latches (sequence, CLOCK_MONOTONIC ns)": latches})
            for ns, name in p.marks:
                out.instant(pid + 1, 1, name, trace.us_of_ns(ns))


def gnuplot_missing():
    return shutil.which("gnuplot") is None


def _quote(text):
    """A gnuplot string literal: single quotes take everything literally but a doubled quote."""
    return "'" + text.replace("'", "''") + "'"


def plot_script(profiles, out, work, title):
    """The gnuplot script drawing one panel per device: its rails' interval means over the run(s),
    seconds since the first run's start, the marks as vertical lines. Writes its data files into WORK."""
    t0 = profiles[0].start_ns
    devices = profiles[0].devices
    height = PLOT_MARGIN + PANEL_HEIGHT * len(devices)
    begin = min(min((s for r in p.rails for s in r.starts), default=p.start_ns) for p in profiles)
    end = max(max((e for r in p.rails for e in r.ends), default=p.end_ns) for p in profiles)
    text = [f'set terminal pngcairo size {PLOT_WIDTH},{height} font "DejaVu Sans,11" noenhanced',
            f"set output {_quote(out)}", "set encoding utf8",
            f"set multiplot layout {len(devices)},1 title {_quote(title)} font \",14\"",
            "set lmargin 12", "set rmargin 30", 'set grid lc rgb "#dddddd"', 'set ylabel "power (W)"',
            f"set xrange [{(begin - t0) / 1e9!r}:{(end - t0) / 1e9!r}]", "set yrange [0:*]",
            "set key at graph 1.02, graph 1 left top vertical Left reverse"]
    colours = ["1f77b4", "ff7f0e", "2ca02c", "d62728", "9467bd", "8c564b",
               "e377c2", "7f7f7f", "bcbd22", "17becf", "393b79", "ad494a"]
    text += [f'set linetype {i} lc rgb "#{c}"' for i, c in enumerate(colours, 1)] + ["set linetype cycle 12"]
    marks = [(ns, name) for p in profiles for ns, name in p.marks]
    for k, (ns, name) in enumerate(marks, 1):
        x = (ns - t0) / 1e9
        text.append(f'set arrow {k} from {x!r}, graph 0 to {x!r}, graph 1 nohead dt 2 lw 1.5 lc rgb "#444444"')
        text.append(f"set label {k} {_quote(name)} at {x!r}, graph 0.97 left offset 0.3,0 tc rgb \"#444444\"")
    for d, name in enumerate(devices):
        plots = []
        for rail in (r for r in profiles[0].rails if r.device == d):
            path = os.path.join(work, f"{len(os.listdir(work))}.dat")
            with open(path, "w", encoding="utf-8") as f:
                for p in profiles:
                    mine = [r for r in p.rails if r.name == rail.name]
                    steps = mine[0].intervals() if mine else []
                    for s, _, m in steps:
                        f.write(f"{(s - t0) / 1e9!r} {'NaN' if m is None else repr(m)}\n")
                    if steps:  # the last interval held to its end
                        f.write(f"{(steps[-1][1] - t0) / 1e9!r} {'NaN' if steps[-1][2] is None else repr(steps[-1][2])}\n")
                    f.write("\n")
            plots.append(f"{_quote(path)} using 1:2 with steps lw 2 title {_quote(rail.name)}")
        text.append(f"set title {_quote(f'{name} (device {d}): mean power per interval')}")
        if d == len(devices) - 1:
            text.append('set xlabel "seconds since COMMAND started"')
        text.append("plot " + ", ".join(plots) if plots else "plot NaN notitle")
    return "\n".join(text + ["unset multiplot"]) + "\n"


def plot(path, profiles, title):
    """Draws the profiles into PATH (PNG) with gnuplot; returns None, or why it could not."""
    if gnuplot_missing():
        return GNUPLOT_MISSING
    with tempfile.TemporaryDirectory() as work:
        script = os.path.join(work, "plot.gp")
        part = path + ".part"
        with open(script, "w", encoding="utf-8") as f:
            f.write(plot_script(profiles, part, work, title))
        done = subprocess.run(["gnuplot", script], stderr=subprocess.PIPE, text=True)
        if done.returncode != 0 or not os.path.exists(part):
            if os.path.exists(part):
                os.remove(part)
            return "gnuplot failed: " + " ".join(done.stderr.split())[:300]
    os.replace(part, path)
    return None
