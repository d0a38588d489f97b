"""Reader of the value tree vantrel_power_monitor publishes (default /run/power-monitor), shared by
the tools that watch a live board: power/, voltage/, accumulator/, timestamp/, and with --energy
energy/ and energy/snapshot.csv; the platform figures from the tails of the raw logs (rawlogs.py)
or from the metrics file; and for energy-stat, whether a daemon holds its instance lock. The energy
snapshot is parsed once, strictly (every record and field as the daemon writes them, taken whole or not
at all, with the reason); its format is documented in src/publish/energy_snapshot.h and the man page's
ENERGY section.

Every value file is rewritten in place each cycle (truncated, then one write), so a reader may find
one empty, half a cycle old or, where others can write, replaced by junk, a link or a FIFO. Nothing
here raises for that: a figure that cannot be read is None, "unknown", and a file found empty is read
once more. Links, FIFOs and devices are never opened.
"""
import csv
import fcntl
import math
import os
import re
import stat
import time
from dataclasses import dataclass, field

from . import rawlogs

# power/ holds the rails, these four derived figures and the raw logs (*_raw).
TOTALS = ("vph_total", "cores_total", "vph_other", "bl_power")
ENERGY_TOTALS = ("vph_total", "cores_total", "vph_other")
SYSTEM_LOG, THERMAL_LOG, ENERGY_LOG = rawlogs.SYSTEM_LOG, rawlogs.THERMAL_LOG, "energy_raw"
DEFAULT_PERIOD = 1.0  # the daemon's default, until the tree tells
VALUE_BYTES = 64  # a value file holds one number
SNAPSHOT_BYTES = 1 << 20
METRICS_BYTES = 4 << 20
NAME = re.compile(r"^[a-z0-9_]+$")
_OPEN = os.O_RDONLY | os.O_NOFOLLOW | os.O_NONBLOCK | os.O_CLOEXEC


def sanitize(name):
    """A reading's file name as the daemon forms it: lower case, every run of characters other than
    ASCII letters and digits one underscore."""
    out = []
    for c in name:
        c = c.lower() if c.isascii() and c.isalnum() else "_"
        if c != "_" or not out or out[-1] != "_":
            out.append(c)
    return "".join(out)


def _read(name, dir_fd, limit):
    """Up to LIMIT bytes of a regular file and its mtime in seconds, or (None, None)."""
    try:
        fd = os.open(name, _OPEN, dir_fd=dir_fd)
    except (OSError, ValueError):
        return None, None
    try:
        st = os.fstat(fd)
        if not stat.S_ISREG(st.st_mode):
            return None, None
        return os.read(fd, limit), st.st_mtime_ns / 1e9
    except OSError:
        return None, None
    finally:
        os.close(fd)


def number(text):
    """A finite number from text, or None."""
    try:
        value = float(text)
    except (TypeError, ValueError):
        return None
    return value if math.isfinite(value) else None


@dataclass
class Value:
    value: float  # None when the file holds no number
    mtime: float  # CLOCK_REALTIME seconds of the last rewrite


def _values(root_fd, directory, logs=None):
    """Every value file of DIRECTORY: name -> Value. Only names the daemon can form count (lower-case
    letters, digits, underscores); the raw logs (*_raw) go into LOGS, name -> mtime. None when the
    directory is missing."""
    try:
        fd = os.open(directory, os.O_RDONLY | os.O_DIRECTORY | os.O_NOFOLLOW | os.O_CLOEXEC, dir_fd=root_fd)
    except OSError:
        return None
    values = {}
    try:
        with os.scandir(fd) as entries:
            names = []
            for e in entries:
                if not NAME.match(e.name):
                    continue
                if not e.name.endswith("_raw"):
                    names.append(e.name)
                elif logs is not None:
                    try:
                        st = e.stat(follow_symlinks=False)
                    except OSError:
                        continue
                    if stat.S_ISREG(st.st_mode):
                        logs[e.name] = st.st_mtime_ns / 1e9
        for name in names:
            data, mtime = _read(name, fd, VALUE_BYTES)
            if data == b"":  # caught between the truncation and the write: read it again
                data, mtime = _read(name, fd, VALUE_BYTES)
            if mtime is None:
                continue
            text = data.decode("ascii", errors="replace")
            values[name] = Value(number(text) if text.endswith("\n") else None, mtime)
    except OSError:
        pass
    finally:
        os.close(fd)
    return values


@dataclass
class Snapshot:
    """energy/snapshot.csv as the live view uses it: one cycle's counters in joules and seconds."""
    pid: int
    start: float
    period: float  # seconds
    devices: list  # (position, name, latch or None)
    channels: list  # (position, device name, channel, label, joules, gap seconds)
    totals: dict  # name -> (joules, gap seconds)
    mtime: float


def parse_snapshot(data, mtime):
    """The snapshot from its bytes (parse_energy_snapshot), or None when it is not one (junk, a
    foreign file, cut short)."""
    energy, _ = parse_energy_snapshot(data)
    if energy is None:
        return None
    devices = [(d.position, d.name, None if d.latch_ns is None else d.latch_ns / 1e9) for d in energy.devices]
    channels = [(c.position, c.device, c.channel, c.label, c.nanojoules / 1e9, c.gap_ns / 1e9)
                for d in energy.devices for c in d.channels]
    totals = {name: (nj / 1e9, gap / 1e9) for name, (nj, gap) in energy.totals.items()}
    return Snapshot(energy.pid, energy.start_ns / 1e9, energy.period_ms / 1000, devices, channels, totals, mtime)


@dataclass
class Tree:
    root: str
    power: dict  # name -> Value: rails and totals
    voltage: dict
    accumulator: dict
    timestamp: dict  # device -> Value holding its latest latch, CLOCK_MONOTONIC seconds
    energy: dict = None  # name -> Value, None without energy/
    snapshot: Snapshot = None
    logs: dict = field(default_factory=dict)  # raw log name -> mtime

    def latch(self):
        """The newest latch time of any device, or None."""
        return max((v.value for v in self.timestamp.values() if v.value is not None), default=None)

    def cycle_mtime(self):
        """When the latest cycle was written: the newest timestamp file (written last in a pass), or
        the newest power file when no device has a timestamp."""
        files = self.timestamp or self.power
        return max((v.mtime for v in files.values()), default=None)


def read_tree(root):
    """The tree under ROOT, or None when ROOT holds none (no power/ directory)."""
    try:
        root_fd = os.open(root, os.O_RDONLY | os.O_DIRECTORY | os.O_CLOEXEC)
    except (OSError, ValueError):
        return None
    try:
        logs = {}
        power = _values(root_fd, "power", logs)
        if power is None:
            return None
        tree = Tree(root, power, _values(root_fd, "voltage") or {}, _values(root_fd, "accumulator") or {},
                    _values(root_fd, "timestamp") or {}, _values(root_fd, "energy"), None, logs)
        if tree.energy is not None:
            try:
                fd = os.open("energy", os.O_RDONLY | os.O_DIRECTORY | os.O_NOFOLLOW | os.O_CLOEXEC, dir_fd=root_fd)
            except OSError:
                fd = None
            if fd is not None:
                data, mtime = _read("snapshot.csv", fd, SNAPSHOT_BYTES)
                os.close(fd)
                if data:
                    tree.snapshot = parse_snapshot(data, mtime)
        return tree
    finally:
        os.close(root_fd)


def window(period):
    """How far before the latest cycle's writes a file may be and still belong to that cycle: half a
    period (a pass takes milliseconds), at least the file clock's coarse tick."""
    return max(period / 2, 0.02)


def fresh(tree, mtime, period):
    """Whether a file with this mtime was rewritten in the latest cycle."""
    latest = tree.cycle_mtime()
    return latest is not None and mtime is not None and mtime >= latest - window(period)


def live_rails(tree, period):
    """The rails of the latest cycle: name -> power (W, None when unreadable). A rail is a file of
    power/ other than the logs and the four totals that was rewritten in the latest cycle; files of
    rails that are gone stay in the tree but are not live."""
    return {name: v.value for name, v in tree.power.items()
            if name not in TOTALS and fresh(tree, v.mtime, period)}


def rail_energy(tree, period):
    """Each rail's and total's energy since the daemon started (J), when energy/ is fresh: from the
    snapshot (a consistent set) if it is, else from the energy/ files of the latest cycle."""
    if tree.snapshot is not None and fresh(tree, tree.snapshot.mtime, period):
        energy = {sanitize(label): joules for _, _, _, label, joules, _ in tree.snapshot.channels if label}
        energy.update({name: joules for name, (joules, _) in tree.snapshot.totals.items()})
        return energy
    if tree.energy:
        return {name: v.value for name, v in tree.energy.items() if fresh(tree, v.mtime, period)}
    return {}


def snapshot_period(tree, period):
    """The daemon's own period from a snapshot of the latest cycle, or None."""
    if tree.snapshot is not None and fresh(tree, tree.snapshot.mtime, max(period, tree.snapshot.period)):
        return tree.snapshot.period
    return None


@dataclass
class PeriodLearner:
    """The sampling period learnt from successive latch times: the smallest step seen. A refresh
    slower than the period sees several cycles at once, so the smallest step is the best guess; the
    energy snapshot, when there is one, says it exactly."""
    last: float = None
    step: float = None

    def see(self, latch):
        if latch is not None and self.last is not None and latch > self.last:
            step = round(latch - self.last, 3)
            if step > 0 and (self.step is None or step < self.step):
                self.step = step
        elif latch is not None and self.last is not None and latch < self.last:
            self.step = None  # the clock went back: another boot's tree, or a restart elsewhere
        if latch is not None:
            self.last = latch


def period_of(tree, learner):
    """(period in seconds, how it is known: "snapshot", "latches" or "assumed")."""
    learner.see(tree.latch())
    guess = learner.step or DEFAULT_PERIOD
    from_snapshot = snapshot_period(tree, guess)
    if from_snapshot is not None:
        return from_snapshot, "snapshot"
    if learner.step is not None:
        return learner.step, "latches"
    return DEFAULT_PERIOD, "assumed"


def age(tree, now=None):
    """Seconds since the newest latch (CLOCK_MONOTONIC, the daemon's clock), or None."""
    latch = tree.latch()
    if latch is None:
        return None
    return (time.monotonic() if now is None else now) - latch


def devices_from_logs(tree):
    """Rail name -> device, from the device logs' headers (time,atime,acc, then the labels)."""
    devices = {}
    for name in sorted(tree.logs):
        if name in (SYSTEM_LOG, THERMAL_LOG, ENERGY_LOG):
            continue
        header, _ = rawlogs.read_tail(os.path.join(tree.root, "power", name))
        fixed = [column.name for column in rawlogs.DEVICE_COLUMNS]
        if header and header[:len(fixed)] == fixed:
            for label in header[len(fixed):]:
                if sanitize(label):
                    devices[sanitize(label)] = name[:-4]
    return devices


# --- the platform figures


@dataclass
class Platform:
    source: str  # where they come from, for the screen
    mtime: float  # when the source was last written
    zones: list = field(default_factory=list)  # (type, °C or None)
    cpus: list = field(default_factory=list)  # (cpu number, MHz or None)
    gpu: float = None  # MHz
    battery: float = None  # %
    fan_rpm: float = None
    fan_pwm: float = None
    throttle: float = None  # % of the last cycle throttled


def _positive(value):
    """The daemon records a battery, a zone or a clock it could not read as 0: that is unknown."""
    return None if value is None or value == 0 else value


def platform_from_logs(tree):
    """The platform figures from the last whole lines of system_raw and thermal_raw, or None."""
    power = os.path.join(tree.root, "power")
    found = None
    if SYSTEM_LOG in tree.logs:
        header, row = rawlogs.read_tail(os.path.join(power, SYSTEM_LOG))
        if row is not None:
            found = Platform(SYSTEM_LOG, tree.logs[SYSTEM_LOG])
            col = dict(zip(header, (number(x) for x in row)))
            found.cpus = [(n, _positive(col[f"cpufreq{n}"]) and col[f"cpufreq{n}"] / 1000)
                          for n in range(8) if f"cpufreq{n}" in col]
            found.gpu = _positive(col.get("gpufreq")) and col["gpufreq"] / 1e6
            found.battery = _positive(col.get("battery_soc"))
            found.fan_rpm, found.fan_pwm, found.throttle = col.get("fan_rpm"), col.get("fan_pwm"), col.get("bcl0")
    if THERMAL_LOG in tree.logs:
        header, row = rawlogs.read_tail(os.path.join(power, THERMAL_LOG))
        if row is not None:
            if found is None:
                found = Platform(THERMAL_LOG, tree.logs[THERMAL_LOG])
            else:
                found.source = "raw logs"
            found.zones = [(zone, _positive(number(x))) for zone, x in zip(header[1:], row[1:])]
    return found


SAMPLE = re.compile(r'^([A-Za-z_:][A-Za-z0-9_:]*)(?:\{((?:\s*[A-Za-z_][A-Za-z0-9_]*="(?:[^"\\]|\\.)*"\s*,?)*)\})?\s+(\S+)')
LABEL = re.compile(r'([A-Za-z_][A-Za-z0-9_]*)="((?:[^"\\]|\\.)*)"')
ESCAPE = re.compile(r"\\(.)")


def parse_metrics(text):
    """Samples of a Prometheus text file: (metric, labels dict, value); lines it cannot parse are
    left out."""
    samples = []
    for line in text.splitlines():
        m = SAMPLE.match(line)
        value = number(m.group(3)) if m else None
        if value is not None:
            labels = {k: ESCAPE.sub(lambda e: "\n" if e.group(1) == "n" else e.group(1), v)
                      for k, v in LABEL.findall(m.group(2) or "")}
            samples.append((m.group(1), labels, value))
    return samples


@dataclass
class Metrics:
    samples: list
    mtime: float


def read_metrics(path):
    """The metrics file the daemon replaces with --metrics FILE, or None when unreadable."""
    data, mtime = _read(path, None, METRICS_BYTES)
    if data is None:
        return None
    return Metrics(parse_metrics(data.decode("utf-8", errors="replace")), mtime)


def devices_from_metrics(metrics):
    """Rail name -> device, from vantrel_rail_power_watts{device=...,rail=...}."""
    return {sanitize(labels["rail"]): labels["device"] for name, labels, _ in metrics.samples
            if name == "vantrel_rail_power_watts" and "rail" in labels and "device" in labels
            and sanitize(labels["rail"])}


def platform_from_metrics(metrics, path):
    found = Platform(os.path.basename(path), metrics.mtime)
    for name, labels, value in metrics.samples:
        if name == "vantrel_thermal_zone_celsius" and "zone" in labels:
            found.zones.append((labels["zone"], _positive(value)))
        elif name == "vantrel_cpu_frequency_hertz" and labels.get("cpu", "").isdigit():
            found.cpus.append((int(labels["cpu"]), _positive(value) and value / 1e6))
        elif name == "vantrel_gpu_frequency_hertz":
            found.gpu = _positive(value) and value / 1e6
        elif name == "vantrel_battery_charge_ratio":
            found.battery = _positive(value) and value * 100
        elif name == "vantrel_fan_speed_rpm":
            found.fan_rpm = value
        elif name == "vantrel_fan_pwm":
            found.fan_pwm = value
        elif name == "vantrel_bcl_throttle_ratio":
            found.throttle = value * 100
    found.cpus.sort()
    return found


def platform(tree, metrics, metrics_path, period):
    """The platform figures from the raw logs' tails or the metrics file, whichever was written in
    the latest cycle (the logs when both were), else the newer one; None without a source."""
    logs = platform_from_logs(tree)
    other = platform_from_metrics(metrics, metrics_path) if metrics is not None else None
    if logs is None or other is None:
        return logs or other
    if fresh(tree, logs.mtime, period) or logs.mtime >= other.mtime:
        return logs
    return other


# --- The daemon and its energy snapshot

DEFAULT_ROOT = "/run/power-monitor"
# A running daemon holds an exclusive flock on this file (src/daemon/monitor.cpp).
INSTANCE_LOCK = "/run/vantrel-power-monitor/lock"
ENERGY_SNAPSHOT = os.path.join("energy", "snapshot.csv")
ENERGY_SNAPSHOT_LIMIT = 1 << 20
SNAPSHOT_TOTALS = ("vph_total", "cores_total", "vph_other")
SNAPSHOT_DEVICES_LIMIT = 4096
_INTEGER = re.compile(r"-?[0-9]{1,18}")
_NANO = re.compile(r"(-?)([0-9]{1,10})\.([0-9]{9})")  # a figure printed from integer nano-units
_READ = os.O_RDONLY | os.O_NOFOLLOW | os.O_NONBLOCK | os.O_CLOEXEC | os.O_NOCTTY


def daemon_running(lock=INSTANCE_LOCK):
    """(True, holder pid or None) when a daemon holds the instance lock, (False, None) when none
    does, (None, why) when that cannot be told. The test is a non-blocking shared lock, let go at
    once: it fails only while the daemon's exclusive lock is held."""
    try:
        fd = os.open(lock, _READ)
    except FileNotFoundError:
        return False, None
    except OSError as e:
        return None, f"{lock}: {e.strerror}"
    try:
        if not stat.S_ISREG(os.fstat(fd).st_mode):
            return None, f"{lock}: not a regular file"
        try:
            fcntl.flock(fd, fcntl.LOCK_SH | fcntl.LOCK_NB)
        except BlockingIOError:
            return True, lock_holder(os.fstat(fd))
        except OSError as e:
            return None, f"{lock}: {e.strerror}"
        return False, None
    finally:
        os.close(fd)


def lock_holder(st):
    """The pid holding an exclusive flock on the file of stat ST, from /proc/locks, or None."""
    node = f"{os.major(st.st_dev):02x}:{os.minor(st.st_dev):02x}:{st.st_ino}"
    try:
        with open("/proc/locks", encoding="ascii", errors="replace") as f:
            for line in f:
                fields = line.split()
                if len(fields) >= 6 and fields[1:4] == ["FLOCK", "ADVISORY", "WRITE"] and fields[5] == node:
                    return int(fields[4]) if fields[4].isdigit() else None
    except OSError:
        pass
    return None


@dataclass
class SnapshotChannel:
    position: int  # its device's discovery position
    device: str  # its device's name ("" when unknown)
    channel: int  # 1 ... 4
    label: str  # "" until read
    nanojoules: int
    gap_ns: int


@dataclass
class SnapshotDevice:
    position: int
    name: str
    latch_ns: int = None  # its last successful latch, CLOCK_MONOTONIC; None before the first
    channels: list = field(default_factory=list)  # its four SnapshotChannels
    # Only in a reply to a latch request: the device's count of successful latches (cycles' and
    # requests' alike; 0 before the first), and its latch time to the nanosecond.
    sequence: int = None


@dataclass
class EnergySnapshot:
    pid: int
    start_ns: int  # the daemon's start, CLOCK_MONOTONIC
    period_ms: int
    devices: list  # SnapshotDevices by position
    totals: dict  # name -> (nanojoules, gap ns)

    @property
    def run(self):
        """What tells a daemon's run apart from a later one's."""
        return self.pid, self.start_ns

    def latches(self):
        return tuple(d.latch_ns for d in self.devices)

    def latest_latch(self):
        return max((d.latch_ns for d in self.devices if d.latch_ns is not None), default=None)


def _nano(text, signed=False):
    """The integer nano-units of a figure printed with nine decimals, or None."""
    m = _NANO.fullmatch(text)
    if m is None or (m.group(1) and not signed):
        return None
    value = int(m.group(2)) * 1_000_000_000 + int(m.group(3))
    return -value if m.group(1) else value


def _integer(text, low, high):
    if _INTEGER.fullmatch(text) is None or not low <= int(text) <= high:
        return None
    return int(text)


def parse_energy_snapshot(data, reply=False):
    """(EnergySnapshot, None) from the file's bytes, or (None, why it is not one). With REPLY, the
    bytes are the daemon's reply to a latch request: each device record is followed by its latch
    record (latch,POSITION,LATCH_NS,SEQUENCE), which then gives the device's latch time; a snapshot
    file never holds latch records."""
    try:
        text = data.decode("utf-8")
    except UnicodeDecodeError:
        return None, "not UTF-8 text"
    if not text.endswith("\n"):
        return None, "cut short (no line end at its end)"
    try:
        records = list(csv.reader(text.split("\n")[:-1], strict=True))
    except csv.Error as e:
        return None, f"not comma-separated records ({e})"
    if not records or records[0] != ["vantrel-energy", "1"]:
        return None, "not an energy snapshot of format 1 (its first line is not vantrel-energy,1)"
    head, devices, totals = {}, [], {}
    for number, record in enumerate(records[1:], 2):
        kind = record[0] if record else ""
        where = f"line {number}"
        if kind in ("pid", "start", "period_ms"):
            if kind in head or len(record) != 2:
                return None, f"{where}: a second or malformed {kind} record"
            value = {"pid": lambda t: _integer(t, 1, 2**31 - 1), "start": _nano,
                     "period_ms": lambda t: _integer(t, 1, 2**31 - 1)}[kind](record[1])
            if value is None:
                return None, f"{where}: {kind} {record[1][:40]!r} is not a figure"
            head[kind] = value
        elif kind == "device":
            if len(record) != 4:
                return None, f"{where}: a device record has 4 fields"
            position = _integer(record[1], 0, SNAPSHOT_DEVICES_LIMIT - 1)
            latch = None if record[3] == "" else _nano(record[3])
            if position != len(devices) or (record[3] != "" and latch is None):
                return None, f"{where}: device {record[1][:20]!r} out of order, or its latch time is not a figure"
            if devices and len(devices[-1].channels) != 4:
                return None, f"{where}: device {len(devices) - 1} has not its four channels"
            if reply and devices and devices[-1].sequence is None:
                return None, f"{where}: device {len(devices) - 1} has no latch record"
            devices.append(SnapshotDevice(position, record[2], latch))
        elif kind == "latch" and reply:
            device = devices[-1] if devices else None
            if len(record) != 4 or device is None or device.sequence is not None or device.channels:
                return None, f"{where}: a latch record has 4 fields and follows its device record"
            position = _integer(record[1], 0, SNAPSHOT_DEVICES_LIMIT - 1)
            sequence = _integer(record[3], 0, 2**63 - 1)
            latch = None if record[2] == "" else _integer(record[2], 0, 2**63 - 1)
            if position != device.position or sequence is None or (record[2] != "" and latch is None):
                return None, f"{where}: latch {record[1][:20]!r} is not device {device.position}'s, or not figures"
            if (latch is None) != (sequence == 0) or (latch is None) != (device.latch_ns is None) or \
                    (latch is not None and abs(latch - device.latch_ns) >= 1000):
                return None, f"{where}: latch record of device {device.position} disagrees with its device record"
            device.latch_ns, device.sequence = latch, sequence
        elif kind == "channel":
            if len(record) != 7 or not devices:
                return None, f"{where}: a channel record has 7 fields and follows its device"
            device = devices[-1]
            position = _integer(record[1], 0, SNAPSHOT_DEVICES_LIMIT - 1)
            channel = _integer(record[3], 1, 4)
            joules, gap = _nano(record[5], signed=True), _nano(record[6])
            if reply and device.sequence is None:
                return None, f"{where}: device {device.position} has no latch record before its channels"
            if position != device.position or record[2] != device.name or channel != len(device.channels) + 1:
                return None, f"{where}: channel {record[3][:20]!r} is not the next channel of device {device.position}"
            if joules is None or gap is None:
                return None, f"{where}: the counter or gap of channel {channel} is not a figure"
            device.channels.append(SnapshotChannel(position, device.name, channel, record[4], joules, gap))
        elif kind == "total":
            joules = _nano(record[2], signed=True) if len(record) == 4 else None
            gap = _nano(record[3]) if len(record) == 4 else None
            if len(record) != 4 or record[1] not in SNAPSHOT_TOTALS or record[1] in totals or None in (joules, gap):
                return None, f"{where}: a malformed or second total record"
            totals[record[1]] = (joules, gap)
        else:
            return None, f"{where}: unknown record {kind[:40]!r}"
    missing = [k for k in ("pid", "start", "period_ms") if k not in head] + \
        [t for t in SNAPSHOT_TOTALS if t not in totals]
    if missing:
        return None, f"no {', '.join(missing)} record"
    if devices and len(devices[-1].channels) != 4:
        return None, f"device {len(devices) - 1} has not its four channels"
    if reply and not devices:
        return None, "no device record"
    return EnergySnapshot(head["pid"], head["start"], head["period_ms"], devices, totals), None


def read_energy_snapshot(root=DEFAULT_ROOT):
    """(EnergySnapshot or None, why not, whether the file is missing) of ROOT/energy/snapshot.csv."""
    path = os.path.join(root, ENERGY_SNAPSHOT)
    try:
        fd = os.open(path, _READ)
    except FileNotFoundError:
        return None, f"{path}: no such file", True
    except OSError as e:
        return None, f"{path}: {e.strerror}", False
    try:
        if not stat.S_ISREG(os.fstat(fd).st_mode):
            return None, f"{path}: not a regular file", False
        chunks, size = [], 0
        while size <= ENERGY_SNAPSHOT_LIMIT and (chunk := os.read(fd, ENERGY_SNAPSHOT_LIMIT + 1 - size)):
            chunks.append(chunk)
            size += len(chunk)
    except OSError as e:
        return None, f"{path}: {e.strerror}", False
    finally:
        os.close(fd)
    if size > ENERGY_SNAPSHOT_LIMIT:
        return None, f"{path}: larger than {ENERGY_SNAPSHOT_LIMIT} bytes", False
    snapshot, why = parse_energy_snapshot(b"".join(chunks))
    return snapshot, None if snapshot else f"{path}: {why}", False
