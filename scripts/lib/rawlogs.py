"""Reader of the raw CSV logs of vantrel_power_monitor --raw, shared by scripts/plot-raw and
scripts/power-report.

A run's logs are power/<device>_raw (time,atime,acc and four rails in W), power/system_raw and
power/thermal_raw. Fields may be quoted as in RFC 4180 (a zone type or label holding a comma or a
quote). Rotated parts (NAME.1, NAME.2.gz, ...) are read before the live log, oldest first.
"""
import csv
import gzip
import math
import os
import re
from dataclasses import dataclass

PART = re.compile(r"^(.+_raw)(?:\.(\d+))?(\.gz)?$")
CORE_MARKERS = ("apc0", "apc1", "apc2", "nsp1", "nsp2")
DEVICE_COLUMNS = ["time", "atime", "acc"]


@dataclass
class Log:
    name: str  # the live log's file name, e.g. "max34417_raw"; a device's second stream adds "#2"
    columns: list  # the header's fields
    data: list  # one list per column: a float per line, None for an empty field

    def column(self, name):
        return self.data[self.columns.index(name)] if name in self.columns else None


def is_device_log(log):
    return log.columns[:3] == DEVICE_COLUMNS and len(log.columns) > 3


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


def read_logs(path, note):
    """Every readable log under PATH (a run's output root or a directory of logs), by device name."""
    d = logs_dir(path)
    logs = (read_log(name, files, note) for name, files in sorted(log_files(d).items(), key=lambda kv: kv[0][:-4]))
    return d, [log for log in logs if log is not None]


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
    labels = [label for s in streams for label in s.columns[3:]]
    return [(s, i, label if labels.count(label) == 1 else f"{device_name(s)}:{label}")
            for s in streams for i, label in enumerate(s.columns[3:], 3)]


def window(log, start=None, end=None):
    """The lines of LOG whose time lies in [start, end] (either bound may be None), or None."""
    if start is None and end is None:
        return log
    keep = [i for i, t in enumerate(log.data[0])
            if (start is None or t >= start) and (end is None or t <= end)]
    if not keep:
        return None
    return Log(log.name, log.columns, [[c[i] for i in keep] for c in log.data])


def is_core_rail(label):
    return any(m in label for m in CORE_MARKERS)


def totals(streams):
    """The daemon's power totals per cycle, for the cycles every device stream logged: vph_total
    (the rail labelled vph), cores_total (rails naming a CPU cluster or an NSP), vph_other (vph minus
    every other rail), and other_rails. The backlight estimate is not logged, so it is in none of them,
    as in the daemon's own totals."""
    sums = {}  # time -> [streams, vph, cores, others]
    for s in streams:
        for t in s.data[0]:
            sums.setdefault(t, [0, 0.0, 0.0, 0.0])[0] += 1
        for label, values in zip(s.columns[3:], s.data[3:]):
            vph, core = label == "vph", is_core_rail(label)
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
