"""Reader of the raw CSV logs of vantrel_power_monitor --raw, shared by scripts/plot-raw,
scripts/power-report and the demo's summary; the logs' format is described in docs/raw-logs.md.

A run's logs are power/<device>_raw (time,atime,acc and four rails in W), power/system_raw and
power/thermal_raw. Header fields may be quoted as in RFC 4180 (a zone type or label holding a comma or
a quote); data lines are numbers only. Rotated parts (NAME.1, NAME.2.gz, ...) are read before the live
log, oldest first. Logs come off boards and may be damaged or hostile: lines are streamed, and what is
kept is one array of doubles per column, so memory follows the values kept, not the file's size.
"""
import csv
import gzip
import itertools
import math
import os
import re
import zlib
from array import array
from collections import Counter, namedtuple
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
    data: list  # one array('d') per column, a value per line, NaN for an empty field

    def column(self, name):
        return self.data[self.columns.index(name)] if name in self.columns else None

    @property
    def times(self):
        return self.data[0]

    def series(self):
        """(name, values) of every column after the time."""
        return list(zip(self.columns[1:], self.data[1:]))


def present(values):
    """The values that are not empty fields."""
    return [v for v in values if v == v]


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


NAN = math.nan
# A longer line is dropped unread. The daemon's longest is 8 KiB; a hand-made log of 100,000 rails
# has lines of a megabyte.
LINE_LIMIT = 1 << 24
BLOCK = 1 << 16


class _Overlong(Exception):
    pass


def _lines(f):
    """The file's lines, for its header; a line longer than LINE_LIMIT comes as None, never held
    whole."""
    readline = f.readline
    while line := readline(LINE_LIMIT):
        if len(line) == LINE_LIMIT and line[-1] not in "\r\n":
            while (rest := readline(LINE_LIMIT)) and len(rest) == LINE_LIMIT and rest[-1] not in "\r\n":
                pass
            line = None
        yield line


def _header(lines):
    """The first record, read as RFC 4180 (a quoted field may hold a line feed); None at the end."""
    def whole():
        for line in lines:
            if line is None:
                raise _Overlong()
            yield line
    return next(csv.reader(whole()), None)


def _blocks(f):
    """The rest of the file as lists of lines, a block at a time, line feeds removed. A line longer
    than LINE_LIMIT is never held whole: it comes as '"', a malformed line."""
    tail, size, skipping = [], 0, False
    while block := f.read(BLOCK):
        if "\n" not in block:
            if not skipping:
                tail.append(block)
                size += len(block)
                tail, size, skipping = ([], 0, True) if size > LINE_LIMIT else (tail, size, False)
            continue
        lines = "".join([*tail, block]).split("\n")
        if skipping:
            lines[0], skipping = '"', False
        tail = [lines.pop()]
        size = len(tail[0])
        yield lines
    if skipping or size:
        yield ['"' if skipping else "".join(tail)]


def _add_lines(lines, columns):
    """Appends the values of LINES to COLUMNS; returns how many were malformed: blank, with a quote
    (data fields are never quoted), the wrong number of fields, no time, or a field that is not a
    finite number."""
    kept, width, rows = 0, len(columns), array("d")
    for line in filter(None, lines):
        if '"' not in line:
            fields = line.rstrip("\r").split(",")
            if len(fields) == width and fields[0] and (values := _values(fields)) is not None:
                rows.extend(values)
                kept += 1
    for i, column in enumerate(columns):
        column.extend(rows[i::width])
    return len(lines) - kept


def _values(fields):
    """The numbers of a data line's fields, NaN for an empty one; None when one is not a finite
    number."""
    try:
        values = list(map(float, fields))
    except ValueError:
        try:
            values = [NAN if x == "" else float(x) for x in fields]
        except ValueError:
            return None
        return values if all(math.isfinite(v) for v, x in zip(values, fields) if x != "") else None
    total = sum(values)
    return values if total - total == 0 or all(map(math.isfinite, values)) else None


def _read_part(path, header, note):
    """The header of one file, its data lines as one array of values per column, and the number of
    lines dropped as malformed; None when the file is left out (said why on stderr). A part read
    only in part (a .gz that breaks off) is left out whole."""
    name = os.path.basename(path)
    opener = gzip.open if path.endswith(".gz") else open
    try:
        with opener(path, "rt", newline="", encoding="utf-8", errors="replace") as f:
            lines = _lines(f)
            first = _header(lines)
            if first is None:
                note(f"{name} is empty")
                return None
            if not first or first[0] != "time":
                note(f'{name} has no header line (its first line is "{",".join(first)[:60]}")')
                return None
            if header is not None and first != header:
                note(f"{name}: its header differs from the earlier parts': skipped")
                return None
            columns, dropped = [array("d") for _ in first], 0
            for block in _blocks(f):
                dropped += _add_lines(block, columns)
    except _Overlong:
        note(f"{name} has no header line (its first line is longer than {LINE_LIMIT} characters)")
        return None
    except (OSError, EOFError, zlib.error, csv.Error) as e:
        note(f"{name}: cannot be read ({e})")
        return None
    return first, columns, dropped


def read_log(name, paths, note):
    """One log from its files. Malformed data lines are dropped and counted: a log copied while the
    daemon appends to it can end in half a line."""
    header, data, dropped = None, None, 0
    for path in paths:
        part = _read_part(path, header, note)
        if part is None:
            continue
        if header is None:
            header, data, dropped = part
            continue
        for column, more in zip(data, part[1]):
            column.extend(more)
        dropped += part[2]
    if header is None:
        return None
    if dropped:
        note(f"{name}: dropped {dropped} malformed line(s)")
    if not data[0]:
        note(f"{name} has no data lines")
        return None
    return Log(name, header, data)


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


def _rows(log, rows):
    """LOG's lines at the indices ROWS, as arrays."""
    return [array("d", map(column.__getitem__, rows)) for column in log.data]


def device_streams(log):
    """A device log as one stream per device. Devices that report the same name share a log, one
    line each per cycle: the k-th line of a cycle belongs to the k-th of them."""
    seen, streams = {}, []
    for i, t in enumerate(log.times):
        k = seen.get(t, 0)
        seen[t] = k + 1
        if k == len(streams):
            streams.append([])
        streams[k].append(i)
    if len(streams) <= 1:
        return [log]
    return [Log(log.name if k == 0 else f"{log.name}#{k + 1}", log.columns, _rows(log, rows))
            for k, rows in enumerate(streams)]


def device_name(stream):
    return stream.name.replace("_raw", "", 1)


def rail_names(streams):
    """(stream, column index, name) of every rail; a label that several devices share gets the
    device's name too ("max34417_b:gpu")."""
    labels = Counter(label for s in streams for label in rails(s))
    return [(s, i, label if labels[label] == 1 else f"{device_name(s)}:{label}")
            for s in streams for i, label in enumerate(rails(s), len(DEVICE_COLUMNS))]


def window(log, start=None, end=None):
    """The lines of LOG whose time lies in [start, end] (either bound may be None), or None."""
    if start is None and end is None:
        return log
    keep = [(start is None or t >= start) and (end is None or t <= end) for t in log.times]
    if not any(keep):
        return None
    return Log(log.name, log.columns, [array("d", itertools.compress(c, keep)) for c in log.data])


def totals(streams):
    """The daemon's power totals per cycle, for the cycles every device stream logged: vph_total
    (the rail labelled vph), cores_total (rails naming a CPU cluster or an NSP), vph_other (vph minus
    every other rail), and other_rails. The backlight estimate is not logged, so it is in none of them,
    as in the daemon's own totals."""
    slot, lines, vph, cores, others = {}, array("l"), array("d"), array("d"), array("d")
    for s in streams:
        slots = array("l")
        for t in s.times:
            i = slot.setdefault(t, len(lines))
            if i == len(lines):
                for sums in (lines, vph, cores, others):
                    sums.append(0)
            lines[i] += 1
            slots.append(i)
        for label, values in zip(rails(s), s.data[len(DEVICE_COLUMNS):]):
            sums, core = vph if label == INPUT_RAIL else others, is_core_rail(label)
            for i, v in zip(slots, values):
                if v == v:
                    sums[i] += v
                    if core:
                        cores[i] += v
    times = sorted(t for t, i in slot.items() if lines[i] == len(streams))
    rows = [slot[t] for t in times]
    return Log("totals", ["time", "vph_total", "cores_total", "vph_other", "other_rails"],
               [array("d", times), array("d", (vph[i] for i in rows)), array("d", (cores[i] for i in rows)),
                array("d", (vph[i] - others[i] for i in rows)), array("d", (others[i] for i in rows))])


def read_tail(path, limit=8192):
    """The header and the last whole line of a live log, read from its first and last few KiB only:
    logs grow to megabytes and a live view reads them every period. Returns (header, fields), lists
    of strings, either None when unavailable. A line is whole when it ends in a newline and has the
    header's number of fields, so a line being appended is skipped. Links, FIFOs and devices are
    refused (a reader may run as root over a directory others can write)."""
    import stat  # here, so that this function stays self-contained

    def fields(data):
        try:
            return next(csv.reader([data.decode("utf-8", errors="replace")]), None)
        except csv.Error:
            return None

    try:
        fd = os.open(path, os.O_RDONLY | os.O_NOFOLLOW | os.O_NONBLOCK | os.O_CLOEXEC)
    except OSError:
        return None, None
    try:
        size = os.fstat(fd)
        if not stat.S_ISREG(size.st_mode):
            return None, None
        size = size.st_size
        want = limit
        head = os.pread(fd, want, 0)
        while b"\n" not in head and len(head) == want and want < 1 << 20:  # a board with many zones
            want *= 8
            head = os.pread(fd, want, 0)
        end = head.find(b"\n")
        header = fields(head[:end]) if end > 0 else None
        if not header or header[0] != "time":
            return None, None
        while True:
            start = max(end + 1, size - limit)
            lines = os.pread(fd, size - start, start).split(b"\n")[:-1]  # the last piece has no newline
            if start > end + 1:
                lines = lines[1:]  # the first piece may begin inside a line
            for line in reversed(lines):
                row = fields(line)
                if row is not None and len(row) == len(header):
                    return header, row
            if start == end + 1 or limit >= 1 << 20:
                return header, None
            limit *= 8
    except OSError:
        return None, None
    finally:
        os.close(fd)
