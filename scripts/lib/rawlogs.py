"""Reader of the raw CSV logs of vantrel_power_monitor --raw, shared by scripts/plot-raw,
scripts/power-report and the demo's summary; the logs' format is described in docs/raw-logs.md.

A run's logs are power/<device>_raw (time,atime,acc and four rails in W), power/system_raw and
power/thermal_raw. Header fields may be quoted as in RFC 4180 (a zone type or label holding a comma or
a quote). Rotated parts (NAME.1, NAME.2.gz, ...) are read before the live log, oldest first.
"""
import csv
import gzip
import math
import os
import re
from collections import namedtuple
from dataclasses import dataclass, field

# --- The columns the daemon writes. tests/scripts/raw_log_schema_test.py checks them against the
# daemon's own headers and lines.

# A column: its header text, its unit, and the decimals of its data fields (None: an integer).
Column = namedtuple("Column", "name unit decimals")

SYSTEM_LOG = "system_raw"
THERMAL_LOG = "thermal_raw"
TIME = Column("time", "s", 3)  # the cycle's time, the same on every log's line of the cycle
# A device log: these three, then one rail per power channel, headed by the channel's label.
DEVICE_COLUMNS = (TIME, Column("atime", "s", 4), Column("acc", "count", None))
POWER_CHANNELS = 4
SYSTEM_COLUMNS = (TIME, Column("gpufreq", "Hz", None),
                  *(Column(f"cpufreq{n}", "kHz", None) for n in range(8)),
                  Column("perf_now", "perf", 1), Column("battery_soc", "%", 1), Column("fan_rpm", "rpm", None),
                  Column("fan_pwm", "pwm", None), Column("bcl0", "% throttled", 2),
                  Column("bcl0_v", "mV", 2), Column("bcl1_v", "mV", 2))
# The power totals: the input rail is the one labelled exactly vph, the cores are the rails whose
# label holds one of these markers.
INPUT_RAIL = "vph"
CORE_MARKERS = ("apc0", "apc1", "apc2", "nsp1", "nsp2")

PART = re.compile(r"^(.+_raw)(?:\.(\d+))?(\.gz)?$")


def rail_column(label):
    return Column(label, "W", 6)


def zone_column(zone_type):
    return Column(zone_type, "°C", 3)


def device_columns(labels):
    """The columns of the log of a device whose power channels have these labels (None: no label)."""
    return [*DEVICE_COLUMNS, *(rail_column(f"power{n}" if label is None else label)
                               for n, label in enumerate(labels, 1))]


def thermal_columns(zone_types):
    return [TIME, *map(zone_column, zone_types)]


def system_unit(name):
    """The unit of a system_raw column, "value" for one the daemon does not write."""
    return next((c.unit for c in SYSTEM_COLUMNS if c.name == name), "value")


def log_name(device):
    """The log of a device: its name with every "/" made "_" (the log stays in power/), then _raw."""
    return device.replace("/", "_") + "_raw"


def value_file_name(label):
    """The value file (in power/, voltage/) of a reading: its first 127 bytes in lower case, every
    byte but an ASCII letter or digit made "_", then runs of "_" made one."""
    out = re.sub(rb"[^a-z0-9]", b"_", label.encode("utf-8", "surrogateescape")[:127].lower())
    return re.sub(rb"_+", b"_", out).decode("ascii")


def is_core_rail(label):
    return any(m in label for m in CORE_MARKERS)


# --- Reading

@dataclass
class Log:
    name: str  # the live log's file name, e.g. "max34417_raw"; a device's second stream adds "#2"
    columns: list  # the header's fields
    data: list  # one list per column: a float per line, None for an empty field

    def column(self, name):
        return self.data[self.columns.index(name)] if name in self.columns else None

    @property
    def times(self):
        return self.data[0]

    def series(self):
        """(name, values) of every column after the time."""
        return list(zip(self.columns[1:], self.data[1:]))


def rails(stream):
    """The rail labels of a device log or stream."""
    return stream.columns[len(DEVICE_COLUMNS):]


def is_device_log(log):
    fixed = len(DEVICE_COLUMNS)
    return log.columns[:fixed] == [c.name for c in DEVICE_COLUMNS] and len(log.columns) > fixed


def logs_dir(path):
    """PATH itself when it holds logs, else PATH/power (the logs of an output root)."""
    power = os.path.join(path, "power")
    if not any(PART.match(n) for n in os.listdir(path)) and os.path.isdir(power):
        return power
    return path


def log_files(path):
    """Log name -> its files, oldest first: NAME.N[.gz] with the highest N first, NAME last."""
    groups = {}
    for entry in os.listdir(path):
        m = PART.match(entry)
        if m and os.path.isfile(os.path.join(path, entry)):
            rank = (-int(m.group(2) or 0), 0 if m.group(3) else 1)
            groups.setdefault(m.group(1), []).append((rank, os.path.join(path, entry)))
    return {name: [p for _, p in sorted(files)] for name, files in groups.items()}


def _number(text):
    if text == "":
        return None
    value = float(text)
    if not math.isfinite(value):
        raise ValueError(text)
    return value


def _read_part(path, note):
    """The header and the lines of one file, or None (said why on stderr)."""
    name = os.path.basename(path)
    opener = gzip.open if path.endswith(".gz") else open
    try:
        with opener(path, "rt", newline="", encoding="utf-8", errors="replace") as f:
            lines = list(csv.reader(f))
    except (OSError, EOFError, csv.Error) as e:
        note(f"{name}: cannot be read ({e})")
        return None
    if not lines:
        note(f"{name} is empty")
        return None
    if not lines[0] or lines[0][0] != "time":
        note(f'{name} has no header line (its first line is "{",".join(lines[0])[:60]}")')
        return None
    return lines[0], lines[1:]


def _columns(rows):
    """The lines as columns of numbers, None for an empty field; lines with a field that is not a
    number are left out. Returns (columns, lines left out)."""
    try:  # the usual case, every field a number, converted a column at a time
        columns = [list(map(float, c)) for c in zip(*rows)]
        if all(all(map(math.isfinite, c)) for c in columns):
            return columns, 0
    except ValueError:
        pass
    numbers = []
    for fields in rows:
        try:
            numbers.append([_number(x) for x in fields])
        except ValueError:
            pass
    return [list(c) for c in zip(*numbers)], len(rows) - len(numbers)


def read_log(name, paths, note):
    """One log from its files. Lines with a wrong number of fields or a field that is not a number
    are dropped and counted: a log copied while the daemon appends to it can end in half a line."""
    header, rows, dropped = None, [], 0
    for path in paths:
        part = _read_part(path, note)
        if part is None:
            continue
        if header is None:
            header = part[0]
        elif part[0] != header:
            note(f"{os.path.basename(path)}: its header differs from the earlier parts': skipped")
            continue
        whole = [fields for fields in part[1] if len(fields) == len(header) and fields[0] != ""]
        rows += whole
        dropped += len(part[1]) - len(whole)
    if header is None:
        return None
    columns, malformed = _columns(rows)
    if dropped + malformed:
        note(f"{name}: dropped {dropped + malformed} malformed line(s)")
    if not columns:
        note(f"{name} has no data lines")
        return None
    return Log(name, header, columns)


@dataclass
class Run:
    where: str  # the directory the logs were read from
    found: list  # the name of every log found there, readable or not
    logs: list  # every readable log with a line in the window, by device name
    streams: list = field(default_factory=list)  # one per device, shared logs split
    system: Log = None
    thermal: Log = None

    def found_devices(self):
        return [name for name in self.found if name not in (SYSTEM_LOG, THERMAL_LOG)]


def read_run(path, note, start=None, end=None):
    """The logs under PATH, their lines in [start, end] (see window), split into the device streams,
    the system log and the thermal log. A log that is none of these is named on stderr and left out
    of the split."""
    where = logs_dir(path)
    files = log_files(where)
    run = Run(where, sorted(files, key=lambda n: n[:-4]), [])
    for name in run.found:
        log = read_log(name, files[name], note)
        if log is not None and (log := window(log, start, end)) is not None:
            run.logs.append(log)
    for log in run.logs:
        if log.name == SYSTEM_LOG:
            run.system = log
        elif log.name == THERMAL_LOG:
            run.thermal = log
        elif is_device_log(log):
            run.streams += device_streams(log)
        else:
            note(f"{log.name} is not a device log (its header lacks time,atime,acc and the rails)")
    return run


def device_streams(log):
    """A device log as one stream per device. Devices that report the same name share a log, one
    line each per cycle: the k-th line of a cycle belongs to the k-th of them."""
    seen, which = {}, []
    for t in log.data[0]:
        which.append(seen.get(t, 0))
        seen[t] = which[-1] + 1
    if max(which) == 0:
        return [log]
    streams = []
    for k in range(max(which) + 1):
        rows = [i for i, w in enumerate(which) if w == k]
        name = log.name if k == 0 else f"{log.name}#{k + 1}"
        streams.append(Log(name, log.columns, [[c[i] for i in rows] for c in log.data]))
    return streams


def device_name(stream):
    return stream.name.replace("_raw", "", 1)


def rail_names(streams):
    """(stream, column index, name) of every rail; a label that several devices share gets the
    device's name too ("max34417_b:gpu")."""
    labels = [label for s in streams for label in rails(s)]
    return [(s, i, label if labels.count(label) == 1 else f"{device_name(s)}:{label}")
            for s in streams for i, label in enumerate(rails(s), len(DEVICE_COLUMNS))]


def window(log, start=None, end=None):
    """The lines of LOG whose time lies in [start, end] (either bound may be None), or None."""
    if start is None and end is None:
        return log
    keep = [i for i, t in enumerate(log.data[0])
            if (start is None or t >= start) and (end is None or t <= end)]
    if not keep:
        return None
    return Log(log.name, log.columns, [[c[i] for i in keep] for c in log.data])


def totals(streams):
    """The daemon's power totals per cycle, for the cycles every device stream logged: vph_total
    (the rail labelled vph), cores_total (rails naming a CPU cluster or an NSP), vph_other (vph minus
    every other rail), and other_rails. The backlight estimate is not logged, so it is in none of them,
    as in the daemon's own totals."""
    sums = {}  # time -> [streams, vph, cores, others]
    for s in streams:
        for t in s.data[0]:
            sums.setdefault(t, [0, 0.0, 0.0, 0.0])[0] += 1
        for label, values in zip(rails(s), s.data[len(DEVICE_COLUMNS):]):
            vph, core = label == INPUT_RAIL, is_core_rail(label)
            for t, v in zip(s.data[0], values):
                if v is not None:
                    acc = sums[t]
                    acc[1 if vph else 3] += v
                    if core:
                        acc[2] += v
    times = sorted(t for t, acc in sums.items() if acc[0] == len(streams))
    rows = [(t, sums[t][1], sums[t][2], sums[t][1] - sums[t][3], sums[t][3]) for t in times]
    return Log("totals", ["time", "vph_total", "cores_total", "vph_other", "other_rails"],
               [list(c) for c in zip(*rows)] if rows else [[] for _ in range(5)])
