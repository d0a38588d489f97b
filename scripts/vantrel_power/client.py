"""The energy of a region of time, from the running daemon (vantrel_power_monitor --energy).

Exact, with the daemon's control socket (CONTROL_SOCKET): a latch on request before the region and
one after; the counters' difference is the energy from latch to latch, and the bound (± J) is each
rail's mean power × the time between the latches and the region's own start and end.

Prorated, without it (no socket: a daemon older than latches on request; access denied: a user
outside the socket's group): the energy snapshot is read until the first cycle after the region's
start and after its end; the two intervals that hold them are prorated by time, and their whole
energy is the bound.

The socket's protocol: SOCK_SEQPACKET, the request "latch\\n", the reply one message in the energy
snapshot's records with a latch record after each device record (powertree.parse_energy_snapshot);
anything else gets "error,TEXT\\n". A reply is read with a bounded buffer and parsed strictly.
"""
import os
import socket
import statistics
import sys
import threading
import time
from collections import deque
from dataclasses import dataclass, field

from . import marks, powertree, rawlogs

CONTROL_SOCKET = "/run/vantrel-power-monitor/control"
REQUEST = b"latch\n"
REPLY_LIMIT = 1 << 20
# A request waits at most for a cycle in progress (the first comes 1 s after the daemon's start) and
# the 10 ms between requested latches: this is generous.
REPLY_TIMEOUT = 5.0
STALE_PERIODS = 3
# A daemon just started has not yet published its first cycle: how long to wait for it.
START_WAIT_NS = 2_500_000_000
HISTORY = 256  # cycles kept to place marks in (a mark is read within a poll of its making)
FALLBACK = "figures prorated to the daemon's cycles"


class NoLatch(Exception):
    """No latch on request, and why (in words fit for "no latch on request: WHY")."""


class MeasureError(Exception):
    """The daemon gives no figure: a one-line reason."""


def now_ns():
    return marks.now_ns()


# --- Latches on request

@dataclass
class Reading:
    """The daemon's counters as of one latch of every device (a reply to a latch request). Readings
    subtract: later - earlier is a Difference, each rail's energy between its device's two latches."""
    snapshot: powertree.EnergySnapshot

    @property
    def run(self):
        return self.snapshot.run

    @property
    def devices(self):
        return self.snapshot.devices

    def latches(self):
        """Each device's latch time (CLOCK_MONOTONIC ns) by position."""
        return [d.latch_ns for d in self.snapshot.devices]

    def sequences(self):
        return [d.sequence for d in self.snapshot.devices]

    def time_ns(self):
        """When the reading was taken: its devices' latest latch."""
        return self.snapshot.latest_latch()

    def __sub__(self, earlier):
        return Difference(earlier, self)


def parse_reply(data):
    """The Reading of a reply's bytes; raises NoLatch with what is wrong."""
    if data.startswith(b"error,"):
        text = data[6:200].decode("ascii", "replace").strip()
        raise NoLatch(f"the daemon refused the request: {text}")
    snapshot, why = powertree.parse_energy_snapshot(data, reply=True)
    if snapshot is None:
        raise NoLatch(f"not a reply to a latch request ({why})")
    if any(d.latch_ns is None for d in snapshot.devices):
        raise NoLatch("a device has not latched yet")
    return Reading(snapshot)


class Control:
    """A connection to the control socket, opened at the first latch and kept: the latch at a
    region's end then costs no connect. One reconnection when the daemon closed it."""

    def __init__(self, path=CONTROL_SOCKET, timeout=REPLY_TIMEOUT):
        self.path, self.timeout, self.sock, self.reply = path, timeout, None, None

    def _connect(self):
        sock = socket.socket(socket.AF_UNIX, socket.SOCK_SEQPACKET | socket.SOCK_CLOEXEC)
        sock.settimeout(self.timeout)
        try:
            sock.connect(self.path)
        except FileNotFoundError:
            sock.close()
            raise NoLatch(f"no control socket {self.path} (a daemon older than latches on request)") from None
        except PermissionError:
            sock.close()
            raise NoLatch(f"permission denied on {self.path}") from None
        except OSError as e:
            sock.close()
            raise NoLatch(f"{self.path}: {e.strerror or e}") from None
        self.sock = sock

    def _ask(self):
        """The reply's bytes, or None when the connection turned out closed."""
        try:
            self.sock.send(REQUEST, socket.MSG_NOSIGNAL)
            data, _, flags, _ = self.sock.recvmsg(REPLY_LIMIT)
        except socket.timeout:
            raise NoLatch(f"no reply on {self.path} within {self.timeout:g} s") from None
        except (BrokenPipeError, ConnectionResetError):
            return None
        except OSError as e:
            raise NoLatch(f"{self.path}: {e.strerror or e}") from None
        if flags & socket.MSG_TRUNC:
            raise NoLatch(f"a reply on {self.path} larger than {REPLY_LIMIT} bytes")
        return data or None

    def request(self):
        """The reply's bytes to a latch taken after this call began, not yet parsed (parse_reply), so
        that a region can start at once; raises NoLatch for a refusal or no reply."""
        for _ in (1, 2):
            if self.sock is None:
                self._connect()
            data = self._ask()
            if data is not None:
                if data.startswith(b"error,"):
                    parse_reply(data)
                self.reply = data
                return data
            self.close()
        raise NoLatch(f"the daemon closed {self.path} without a reply")

    def latch(self):
        """A Reading of a latch taken after this call began (its bytes in self.reply); raises NoLatch."""
        return parse_reply(self.request())

    def close(self):
        if self.sock is not None:
            self.sock.close()
            self.sock = None

    def __enter__(self):
        return self

    def __exit__(self, *_):
        self.close()


def latch(path=CONTROL_SOCKET, timeout=REPLY_TIMEOUT):
    """One latch on request: the Reading of every counter as of a latch taken after the call began.
    Raises NoLatch (no socket, access denied, a refused or malformed reply)."""
    with Control(path, timeout) as control:
        return control.latch()


# --- Rails and totals

def rail_names(snapshot):
    """(device, channel index, name, label) of every channel: its label, "<device>:<label>" when
    several channels share it, and "<device>@<position>:<label>" when those share a device name."""
    rows = [(d, n, c.label or f"power{n + 1}", c) for d, dev in enumerate(snapshot.devices)
            for n, c in enumerate(dev.channels)]
    names = [label for _, _, label, _ in rows]
    qualified = [f"{c.device}:{label}" for _, _, label, c in rows]
    out = []
    for (d, n, label, c), q in zip(rows, qualified):
        name = label if names.count(label) == 1 else q if qualified.count(q) == 1 else f"{c.device}@{d}:{label}"
        out.append((d, n, name, c.label))
    return out


def _with_totals(rails):
    """Row dicts of every rail, then the totals by the daemon's rules: vph; the core rails; vph less
    every other labelled rail but bl_power. RAILS: (name, label, energy nJ, bound nJ, gap ns, counted
    from ns, counted to ns, start latch ns, end latch ns, start sequence, end sequence). A total's
    bound is its members' summed (vph_other, a difference, adds every rail's); its gap their largest;
    its span their widest; it has no sequences."""
    totals = {t: [0.0, 0.0, 0.0, None, None, None, None] for t in rawlogs.ENERGY_TOTALS}

    def member(total, row, sign):
        t, (_, _, energy, bound, gap, t0, t1, l0, l1, _, _) = totals[total], row
        t[0], t[1], t[2] = t[0] + sign * energy, t[1] + bound, max(t[2], gap)
        t[3] = t0 if t[3] is None else min(t[3], t0)
        t[4] = t1 if t[4] is None else max(t[4], t1)
        if l0 is not None:
            t[5] = l0 if t[5] is None else min(t[5], l0)
            t[6] = l1 if t[6] is None else max(t[6], l1)

    for row in rails:
        label = row[1]
        if label == rawlogs.INPUT_RAIL:
            member("vph_total", row, 1)
            member("vph_other", row, 1)
        elif label and label != "bl_power":
            member("vph_other", row, -1)
        if label and rawlogs.is_core_rail(label):
            member("cores_total", row, 1)
    rows = list(rails) + [(t, None, *v, None, None) for t, v in totals.items()]
    out = []
    for name, _, energy, bound, gap, t0, t1, l0, l1, s0, s1 in rows:
        counted = ((t1 - t0) if t0 is not None else 0) - gap
        out.append({"rail": name, "energy_j": energy / 1e9, "bound_j": bound / 1e9, "gap_s": gap / 1e9,
                    "avg_w": energy / counted if counted > 0 else float("nan"),
                    "start_latch_ns": l0, "end_latch_ns": l1, "start_sequence": s0, "end_sequence": s1})
    return out


@dataclass
class Difference:
    """Each rail's counters between two readings, each over its own device's two latches."""
    earlier: Reading
    later: Reading

    def rows(self, start_ns=None, end_ns=None):
        """Row dicts (rail, energy_j, bound_j, gap_s, avg_w, start_latch_ns, end_latch_ns,
        start_sequence, end_sequence) of every rail and total. With START_NS (END_NS), the region began after the earlier reading (ended before
        the later one): each rail's bound is its mean power × that time, measured on its device's own
        latch."""
        r0, r1 = self.earlier.snapshot, self.later.snapshot
        if r0.run != r1.run:
            raise MeasureError(f"the daemon restarted in between (pid {r0.pid} started at {r0.start_ns / 1e9:.3f} s, "
                               f"now pid {r1.pid} started at {r1.start_ns / 1e9:.3f} s): no figure")
        if len(r0.devices) != len(r1.devices):
            raise MeasureError("the daemon's devices changed in between: no figure")
        rails = []
        for d, n, name, label in rail_names(r1):
            l0, l1 = r0.devices[d].latch_ns, r1.devices[d].latch_ns
            c0, c1 = r0.devices[d].channels[n], r1.devices[d].channels[n]
            energy, gap = c1.nanojoules - c0.nanojoules, c1.gap_ns - c0.gap_ns
            counted = l1 - l0 - gap
            edges = (max(start_ns - l0, 0) if start_ns is not None else 0) + \
                (max(l1 - end_ns, 0) if end_ns is not None else 0)
            bound = abs(energy) / counted * edges if counted > 0 else 0.0
            rails.append((name, label, float(energy), bound, float(gap), l0, l1, l0, l1,
                          r0.devices[d].sequence, r1.devices[d].sequence))
        return _with_totals(rails)


# --- Without latches on request: the daemon's cycles, prorated

def alive(pid):
    return os.path.exists(f"/proc/{pid}")


def check_daemon(root=powertree.DEFAULT_ROOT, sleep=time.sleep):
    """The snapshot of a daemon running with --energy whose latest cycle is recent; raises
    MeasureError for each way that is not so. The tree outlives a daemon: the snapshot must be the lock
    holder's. Waits a little (SLEEP) for a daemon that has only just started."""
    deadline, path = now_ns() + START_WAIT_NS, os.path.join(root, powertree.ENERGY_SNAPSHOT)
    while True:
        running, holder = powertree.daemon_running()
        if running is None:
            raise MeasureError(f"cannot tell whether a daemon runs: {holder}")
        if not running:
            raise MeasureError(f"no daemon running (nothing holds {powertree.INSTANCE_LOCK})")
        snapshot, why, missing = powertree.read_energy_snapshot(root)
        if snapshot is None and not missing:
            raise MeasureError(why)
        ours = snapshot is not None and (snapshot.pid == holder if holder is not None else alive(snapshot.pid))
        if (ours and snapshot.latest_latch() is not None) or now_ns() > deadline:
            break
        sleep(0.05)
    who = f"the daemon (pid {holder})" if holder is not None else "the running daemon"
    if not ours:
        whose = "" if snapshot is None else f" (the one there is an earlier daemon's, pid {snapshot.pid})"
        raise MeasureError(f"{who} runs without --energy: it writes no {path}{whose}; add --energy to OPTIONS in "
                           "/etc/default/vantrel-power-monitor, then systemctl restart vantrel-power-monitor")
    if snapshot.latest_latch() is None:
        raise MeasureError(f"{who} has not latched a device yet")
    age = now_ns() - snapshot.latest_latch()
    if age > STALE_PERIODS * snapshot.period_ms * 1_000_000:
        raise MeasureError(f"the snapshot is {age / 1e9:.3f} s old, older than three periods "
                           f"({STALE_PERIODS} × {snapshot.period_ms} ms): {who} is not completing its cycles")
    return snapshot


class Edge:
    """An instant (a region's start or end, a mark) and, per device, the latest cycle at or before
    it and the first after it."""

    def __init__(self, ns, name=None):
        self.ns, self.name, self.before, self.after, self.resolved = ns, name, {}, {}, False

    def place(self, history, period_ns):
        """Finds each device's cycles around the instant in HISTORY (oldest first). A device that
        has not latched for three periods while the others did has no cycle after: its counters
        stand still."""
        newest = history[-1].latest_latch()
        done = True
        for d, _ in enumerate(history[-1].devices):
            if d in self.after:
                continue
            before = next((s for s in reversed(history) if s.devices[d].latch_ns is not None
                           and s.devices[d].latch_ns <= self.ns), None)
            after = next((s for s in history if s.devices[d].latch_ns is not None
                          and s.devices[d].latch_ns > self.ns), None)
            if before is not None:
                self.before[d] = before.devices[d]
            if after is not None:
                self.after[d] = after.devices[d]
            elif newest is not None and newest - self.ns > STALE_PERIODS * period_ns:
                self.after[d] = None
            else:
                done = False
        self.resolved = done
        return done

    def at(self, d, n):
        """Channel N of device D at the instant: (counter nJ, gap ns), linear within the interval
        that holds it; that interval's whole energy (nJ); and the interval, (latch, latch) or None."""
        b, a = self.before.get(d), self.after.get(d)
        if b is None and a is None:
            return 0.0, 0.0, 0, None
        if b is None:  # no cycle before: the counters' first value
            c = a.channels[n]
            return float(c.nanojoules), float(c.gap_ns), 0, None
        cb = b.channels[n]
        if a is None:
            return float(cb.nanojoules), float(cb.gap_ns), 0, (b.latch_ns, None)
        ca = a.channels[n]
        share = (self.ns - b.latch_ns) / (a.latch_ns - b.latch_ns)
        return (cb.nanojoules + (ca.nanojoules - cb.nanojoules) * share, cb.gap_ns + (ca.gap_ns - cb.gap_ns) * share,
                ca.nanojoules - cb.nanojoules, (b.latch_ns, a.latch_ns))


def prorated_rows(snapshot, e0, e1):
    """Row dicts of every rail and total from edge E0 to edge E1; each bound the whole energy of
    the intervals that hold the edges."""
    rails = []
    for d, n, name, label in rail_names(snapshot):
        c0, g0, whole0, interval0 = e0.at(d, n)
        c1, g1, whole1, interval1 = e1.at(d, n)
        bound = abs(whole0) + (abs(whole1) if interval1 != interval0 or interval0 is None else 0)
        rails.append((name, label, c1 - c0, float(bound), g1 - g0, e0.ns, e1.ns, None, None, None, None))
    return _with_totals(rails)


class Region:
    """What follow() needs of the region it measures: its start, and its end once it came."""

    def __init__(self, start_ns):
        self.start_ns, self.end_ns, self.done = start_ns, None, threading.Event()

    def end(self, ns=None):
        self.end_ns = now_ns() if ns is None else ns
        self.done.set()


def follow(root, first, region, mark_reader=None, note=None):
    """Reads the snapshot until the first cycle after the region's end: returns (the latest snapshot,
    the edges: start, marks made during the region, end). Raises MeasureError when the daemon
    restarted or stopped, after the region has ended."""
    period_ns = first.period_ms * 1_000_000
    poll = min(max(first.period_ms / 20_000, 0.005), 0.05)
    history = deque([first], maxlen=HISTORY)
    start = Edge(region.start_ns)
    pending, placed, end, problem, last_new, why = [start], [], None, None, now_ns(), None
    while True:
        snapshot, why, _ = powertree.read_energy_snapshot(root)
        if snapshot is not None and snapshot.run != first.run and problem is None:
            problem = (f"the daemon restarted during COMMAND (pid {first.pid} started at {first.start_ns / 1e9:.3f} s, "
                       f"now pid {snapshot.pid} started at {snapshot.start_ns / 1e9:.3f} s): no figure")
        elif snapshot is not None and snapshot.run == first.run and len(snapshot.devices) == len(first.devices) \
                and snapshot.latches() != history[-1].latches():
            history.append(snapshot)
            last_new = now_ns()
        if mark_reader is not None:
            for mark in mark_reader.new_marks():
                if mark.ns >= region.start_ns and (region.end_ns is None or mark.ns <= region.end_ns):
                    pending.append(Edge(mark.ns, mark.name))
        if end is None and region.done.is_set():
            end = Edge(region.end_ns)
            pending = [e for e in pending if e.ns <= end.ns] + [end]
        oldest = min((d.latch_ns for d in history[0].devices if d.latch_ns is not None), default=0)
        for edge in pending:
            if edge.ns < oldest:
                if note is not None:
                    note(f"mark {edge.name!r} came too late to be placed: left out")
                edge.resolved = None
            elif edge.place(history, period_ns):
                placed.append(edge)
        pending = [e for e in pending if e.resolved is False]
        if end is not None and not pending:
            if problem:
                raise MeasureError(problem)
            if end in placed:
                return history[-1], sorted((e for e in placed if e.resolved), key=lambda e: e.ns)
        stalled = now_ns() - last_new > STALE_PERIODS * period_ns + 1_000_000_000
        if end is not None and (problem or stalled):
            raise MeasureError(problem or f"no cycle of the daemon for {(now_ns() - last_new) / 1e9:.1f} s, "
                               f"more than three periods ({why or 'the snapshot stands still'}): no figure")
        if end is None:
            region.done.wait(poll)
        else:
            time.sleep(poll)


# --- The Python API

@dataclass
class Measurement:
    """The energy of a region: per rail and total (names as energy-stat prints them) its energy_j,
    bound_j (± J) and gap_s (seconds its counter could not count); the region's own seconds, and
    window_s, latch to latch when exact. Filled in when the region ends."""
    exact: bool = None
    reason: str = None  # why not exact
    seconds: float = None  # the region's own time
    window_s: float = None  # latch to latch (exact), else the region's own time
    energy_j: dict = field(default_factory=dict)
    bound_j: dict = field(default_factory=dict)
    gap_s: dict = field(default_factory=dict)
    rows: list = field(default_factory=list)
    start_ns: int = None
    end_ns: int = None
    pid: int = None
    period_ms: int = None
    # With measure(interval=S): a profile.Profile, each rail's exact mean power per interval
    # (profile.rails[i].intervals(): start ns, end ns, W); None without latches on request.
    profile: object = None

    def _fill(self, rows):
        self.rows = rows
        for r in rows:
            self.energy_j[r["rail"]], self.bound_j[r["rail"]], self.gap_s[r["rail"]] = \
                r["energy_j"], r["bound_j"], r["gap_s"]


def measure(root=powertree.DEFAULT_ROOT, control=CONTROL_SOCKET, quiet=False, interval=None):
    """A context manager measuring the energy of its block into the Measurement it gives: a latch on
    request on entry and on exit (exact), or, without the control socket, the daemon's cycles
    prorated as energy-stat does (one line on standard error says why, unless QUIET). Raises
    MeasureError on entry when no daemon runs with --energy, and on exit when there is no figure (a
    restart; unless the block raised). With INTERVAL (seconds, at least 0.01) the block is profiled
    as energy-stat --interval does: m.profile."""
    return _Measuring(root, control, quiet, interval)


class _Measuring:
    """measure()'s context manager."""

    def __init__(self, root=powertree.DEFAULT_ROOT, control=CONTROL_SOCKET, quiet=False, interval=None):
        from . import profile  # profile builds on this module
        if interval is not None and not interval >= profile.MIN_INTERVAL_MS / 1000:
            raise ValueError(f"interval: at least {profile.MIN_INTERVAL_MS / 1000} s, not {interval!r}")
        self.root, self.control, self.quiet = root, Control(control), quiet
        self.interval_ns, self.sampler = None if interval is None else round(interval * 1e9), None
        self.m, self.first, self.reading, self.region, self.thread, self.result = Measurement(), None, None, None, None, None

    def __enter__(self):
        self.first = check_daemon(self.root)
        try:
            # Parsed at the exit, so that the region starts at once after the latch.
            self.reading = self.control.request()
            if not self.reading.startswith(b"vantrel-energy,1\n"):
                raise NoLatch("not a reply to a latch request")
        except NoLatch as e:
            self.control.close()
            self.m.exact, self.m.reason = False, str(e)
            if not self.quiet:
                no_profile = "; no profile (interval) is possible without them" if self.interval_ns else ""
                print(f"vantrel_power: no latch on request: {e}; {FALLBACK}{no_profile}", file=sys.stderr)
        else:
            self.m.exact = True
        self.m.pid, self.m.period_ms = self.first.pid, self.first.period_ms
        self.m.start_ns = now_ns()
        self.region = Region(self.m.start_ns)
        if not self.m.exact:
            self.thread = threading.Thread(target=self._follow, daemon=True)
            self.thread.start()
        elif self.interval_ns is not None:
            from . import profile
            self.m.profile = profile.Profile(interval_ns=self.interval_ns, start_ns=self.m.start_ns)
            try:
                self.m.profile.add(parse_reply(self.reading))
                self.sampler = profile.Sampler(self.m.profile, self.m.start_ns, self.control.path)
            except NoLatch as e:
                self.m.profile.problem = str(e)
        return self.m

    def _follow(self):
        try:
            self.result = follow(self.root, self.first, self.region)
        except MeasureError as e:
            self.result = e

    def __exit__(self, kind, *_):
        end_ns = now_ns()
        self.region.end(end_ns)
        self.m.end_ns, self.m.seconds = end_ns, (end_ns - self.m.start_ns) / 1e9
        try:
            if self.m.exact:
                if self.sampler is not None:
                    self.sampler.end()
                try:
                    later, earlier = parse_reply(self.control.request()), parse_reply(self.reading)
                except NoLatch as e:
                    raise MeasureError(f"no latch at the region's end: {e}: no figure") from None
                finally:
                    if self.sampler is not None:
                        self.sampler.stop()
                if self.m.profile is not None:
                    self.m.profile.end_ns = end_ns
                    self.m.profile.add(later)
                rows = (later - earlier).rows(self.m.start_ns, end_ns)
                self.m.window_s = (later.time_ns() - min(earlier.latches())) / 1e9
            else:
                self.thread.join()
                if isinstance(self.result, MeasureError):
                    raise self.result
                snapshot, edges = self.result
                rows = prorated_rows(snapshot, edges[0], edges[-1])
                self.m.window_s = self.m.seconds
            self.m._fill(rows)
        except MeasureError:
            if kind is None:
                raise
        finally:
            self.control.close()
        return False


def spread(values):
    """(mean, relative standard deviation in %) of VALUES, as perf stat -r prints them; 0 % for one."""
    mean = statistics.fmean(values)
    if len(values) < 2 or mean == 0:
        return mean, 0.0
    return mean, 100 * statistics.stdev(values) / abs(mean)
