"""Reader of what a running vantrel_power_monitor publishes, shared by the tools that watch a live
board (scripts/energy-stat): whether a daemon is running, and energy/snapshot.csv (--energy), every
energy counter of one cycle in one file that the daemon replaces atomically. Its format is
documented in src/publish/energy_snapshot.h and the man page's ENERGY section.

The tree outlives a daemon and anything can be found in it: nothing here raises for what a file
holds. A snapshot is parsed strictly (every record and field as the daemon writes them) and taken
whole or not at all, with the reason; links, FIFOs and devices are never read.
"""
import csv
import fcntl
import os
import re
import stat
from dataclasses import dataclass, field

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


def parse_energy_snapshot(data):
    """(EnergySnapshot, None) from the file's bytes, or (None, why it is not one)."""
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
            devices.append(SnapshotDevice(position, record[2], latch))
        elif kind == "channel":
            if len(record) != 7 or not devices:
                return None, f"{where}: a channel record has 7 fields and follows its device"
            device = devices[-1]
            position = _integer(record[1], 0, SNAPSHOT_DEVICES_LIMIT - 1)
            channel = _integer(record[3], 1, 4)
            joules, gap = _nano(record[5], signed=True), _nano(record[6])
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
