"""Reader of the raw CSV logs of vantrel_power_monitor --raw, shared by scripts/plot-raw,
scripts/power-report and the demo's summary; the logs' format is described in docs/raw-logs.md.

A run's logs are power/<device>_raw (time,atime,acc and four rails in W), power/system_raw,
power/thermal_raw and, with --energy, power/energy_raw (the energy counters: not a device log).
Header fields may be quoted as in RFC 4180 (a zone type or label holding a comma or a quote); data
lines are numbers only. Rotated parts (NAME.1, NAME.2.gz, ...) are read before the live
log, oldest first. Logs come off boards and may be damaged or hostile: lines are streamed, and what is
kept is one array of doubles per column, so memory follows the values kept, not the file's size.
"""
import bisect
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
ENERGY_LOG = "energy_raw"
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
# energy_raw: the time, every device's four channel counters (discovery order, the device logs'
# labels), these totals' counters, then the gap seconds of each of those columns, named GAP + its name.
ENERGY_TOTALS = ("vph_total", "cores_total", "vph_other")
GAP = "gap:"

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


def counter_column(name):
    return Column(name, "J", 6)


def gap_column(name):
    return Column(GAP + name, "s", 9)


def channel_names(labels):
    """A device's column names for its channels' labels (None: no label): the label, or powerN."""
    return [f"power{n}" if label is None else label for n, label in enumerate(labels, 1)]


def energy_columns(devices):
    """The columns of energy_raw for these devices (each a list of its channels' labels, None for no
    label), in discovery order."""
    names = [*(name for labels in devices for name in channel_names(labels)), *ENERGY_TOTALS]
    return [TIME, *map(counter_column, names), *map(gap_column, names)]


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


def _header(lines, raw=None):
    """The first record, read as RFC 4180 (a quoted field may hold a line feed); None at the end.
    The lines it was read from are appended to RAW."""
    def whole():
        for line in lines:
            if line is None:
                raise _Overlong()
            if raw is not None:
                raw.append(line)
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


def _add_lines(lines, columns, header=None, headers=None):
    """Appends the values of LINES to COLUMNS; returns how many were malformed: blank, with a quote
    (data fields are never quoted), the wrong number of fields, no time, or a field that is not a
    finite number. With HEADERS, a line that repeats the header's text HEADER is not malformed: the
    index of the line after it is appended to HEADERS."""
    kept, width, rows, base, repeated = 0, len(columns), array("d"), len(columns[0]), 0
    for line in filter(None, lines):
        if '"' not in line:
            fields = line.rstrip("\r").split(",")
            if len(fields) == width and fields[0] and (values := _values(fields)) is not None:
                rows.extend(values)
                kept += 1
                continue
        if headers is not None and line.rstrip("\r") == header:
            # Header lines in a row start the same line: one index, so that memory follows the lines
            # kept however many there are.
            if not headers or headers[-1] != base + kept:
                headers.append(base + kept)
            repeated += 1
    for i, column in enumerate(columns):
        column.extend(rows[i::width])
    return len(lines) - kept - repeated


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


def _read_part(path, header, note, headers=None):
    """The header of one file, its data lines as one array of values per column, and the number of
    lines dropped as malformed; None when the file is left out (said why on stderr). A part read
    only in part (a .gz that breaks off) is left out whole. With HEADERS, the indices of the lines
    that follow a repetition of the header line are appended to it (see _add_lines)."""
    name = os.path.basename(path)
    opener = gzip.open if path.endswith(".gz") else open
    raw = []
    try:
        with opener(path, "rt", newline="", encoding="utf-8", errors="replace") as f:
            lines = _lines(f)
            first = _header(lines, raw)
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
            # A header that took one line is recognised when it comes again.
            text = raw[0].rstrip("\r\n") if len(raw) == 1 else None
            for block in _blocks(f):
                dropped += _add_lines(block, columns, text, headers if text is not None else None)
    except _Overlong:
        note(f"{name} has no header line (its first line is longer than {LINE_LIMIT} characters)")
        return None
    except (OSError, EOFError, zlib.error, csv.Error) as e:
        note(f"{name}: cannot be read ({e})")
        return None
    return first, columns, dropped


def read_log(name, paths, note, headers=None):
    """One log from its files. Malformed data lines are dropped and counted: a log copied while the
    daemon appends to it can end in half a line. With HEADERS, the index of every line that follows
    a header line (that starts a later part, or repeats the header within a part) is appended to it."""
    header, data, dropped = None, None, 0
    for path in paths:
        within = None if headers is None else []
        part = _read_part(path, header, note, within)
        if part is None:
            continue
        base = 0 if data is None else len(data[0])
        if headers is not None:
            headers.extend([base] if base else [])
            headers.extend(base + i for i in within)
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
class EnergyLog(Log):
    """energy_raw, read whole (a window's edges are interpolated between the lines around them)."""
    devices: list = field(default_factory=list)  # each device's four counter names, discovery order
    runs: list = field(default_factory=list)  # (first, end) line indices of each daemon run

    def counters(self):
        """The index of every counter column: the channels', then the totals'."""
        return range(1, (len(self.columns) + 1) // 2)

    def gap_of(self, index):
        """The index of the gap column of counter column INDEX."""
        return index + len(self.counters())

    def total(self, name):
        return self.columns.index(name)

    def at(self, index, first, end, t):
        """Column INDEX at time T within the run of lines [first, end): linear between the lines
        around T, the run's first or last value outside it."""
        times, values = self.times, self.data[index]
        i = bisect.bisect_right(times, t, first, end)
        if i == first:
            return values[first]
        if i == end:
            return values[end - 1]
        t0 = times[i - 1]
        return values[i - 1] + (values[i] - values[i - 1]) * (t - t0) / (times[i] - t0)

    def spans(self, start=None, end=None):
        """(first, end, s, e) of each run that overlaps [start, end] (either bound may be None):
        its lines and the part [s, e] of the window it covers, s < e."""
        for first, stop in self.runs:
            s = self.times[first] if start is None else max(start, self.times[first])
            e = self.times[stop - 1] if end is None else min(end, self.times[stop - 1])
            if s < e:
                yield first, stop, s, e

    def change(self, index, start=None, end=None):
        """How much column INDEX grew over [start, end]: over each run it overlaps, the value at the
        window's end minus the value at its start, each interpolated within the interval holding
        it. Time between runs is in none of them."""
        return sum(self.at(index, f, stop, e) - self.at(index, f, stop, s)
                   for f, stop, s, e in self.spans(start, end))

    def seconds(self, start=None, end=None):
        """The time of [start, end] that the runs cover."""
        return sum(e - s for _, _, s, e in self.spans(start, end))


def energy_layout(columns):
    """The four counter names of each device of an energy_raw header, or None when the header is
    not time, the counters, the totals, and a gap column for each counter."""
    counters = len(columns) // 2
    names, gaps = columns[1:counters + 1], columns[counters + 1:]
    if columns[:1] != ["time"] or len(columns) % 2 == 0 or tuple(names[-3:]) != ENERGY_TOTALS \
            or (counters - 3) % POWER_CHANNELS or gaps != [GAP + name for name in names]:
        return None
    channels = names[:-3]
    return [channels[i:i + POWER_CHANNELS] for i in range(0, len(channels), POWER_CHANNELS)]


def _run_starts(log, headers):
    """The lines that start a run of the daemon: one whose time does not advance, one at which a
    counter that cannot go back (a channel's, vph_total, cores_total, any gap) goes back, and one
    after a header line that is a run's first (every channel counter 0). A header line before lines
    that go on counting is a rotated part's (logrotate writes the header into the new log)."""
    starts = {i for i in headers if 0 < i < len(log.times)}
    channels = len(log.devices) * POWER_CHANNELS
    starts = {i for i in starts if all(log.data[c][i] == 0 for c in range(1, channels + 1))}
    vph_other = log.total("vph_other")
    for c, values in enumerate(log.data):
        if c != vph_other:
            starts.update(i for i, (a, b) in enumerate(zip(values, itertools.islice(values, 1, None)), 1)
                          if b < a or (c == 0 and b == a))
    return sorted(starts)


def read_energy_log(name, paths, note):
    """energy_raw from its files, or None (said why). Lines with an empty field are dropped and
    counted: the daemon writes every field of every line."""
    headers = []
    log = read_log(name, paths, note, headers)
    if log is None:
        return None
    devices = energy_layout(log.columns)
    if devices is None:
        note(f"{name}: its header is not time, the channels' counters, {', '.join(ENERGY_TOTALS)} and a "
             f"{GAP}NAME column for each: left out")
        return None
    # Fields are finite or empty (NaN), so a column's sum is NaN only when it has an empty field (a
    # sum that overflows stays infinite).
    whole = True if all(total == total for total in map(sum, log.data)) else \
        [all(v == v for v in row) for row in zip(*log.data)]
    if whole is not True:
        note(f"{name}: dropped {whole.count(False)} line(s) with an empty field")
        kept = list(itertools.accumulate(whole, initial=0))  # kept lines before each index
        headers = [kept[i] for i in headers]
        log.data = [array("d", itertools.compress(c, whole)) for c in log.data]
        if not log.data[0]:
            note(f"{name} has no data lines")
            return None
    energy = EnergyLog(log.name, log.columns, log.data, devices)
    starts = _run_starts(energy, headers)
    energy.runs = list(zip([0, *starts], [*starts, len(energy.times)]))
    return energy


@dataclass
class Run:
    where: str  # the directory the logs were read from
    found: list  # the name of every log found there, readable or not
    logs: list  # every readable log with a line in the window, by device name (energy_raw apart)
    streams: list = field(default_factory=list)  # one per device, shared logs split
    system: Log = None
    thermal: Log = None
    energy: EnergyLog = None  # energy_raw, whole: not cut to the window

    def found_devices(self):
        return [name for name in self.found if name not in (SYSTEM_LOG, THERMAL_LOG, ENERGY_LOG)]


def read_run(path, note, start=None, end=None):
    """The logs under PATH, their lines in [start, end] (see window), split into the device streams,
    the system log and the thermal log; energy_raw whole, apart. A log that is none of these is named
    on stderr and left out of the split."""
    where = logs_dir(path)
    files = log_files(where)
    run = Run(where, sorted(files, key=lambda n: n[:-4]), [])
    for name in run.found:
        if name == ENERGY_LOG:
            run.energy = read_energy_log(name, files[name], note)
            continue
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


def match_counters(streams, energy):
    """{stream index: device index of energy_raw} for the device streams whose counters energy_raw
    holds. energy_raw names a device's counters by its labels only, so a stream is matched through
    its log's header: when exactly one log has those labels and energy_raw has as many devices with
    them as the log has streams (devices that share the log's name), in order; or just one such
    device, the log's first stream (its header is that device's labels). Any other stream has no
    counters that can be told apart."""
    logs, groups = {}, {}
    for i, s in enumerate(streams):
        logs.setdefault(s.name.split("#")[0], []).append(i)
    for g, labels in enumerate(energy.devices):
        groups.setdefault(tuple(labels), []).append(g)
    by_labels = Counter(tuple(rails(streams[members[0]])) for members in logs.values())
    match = {}
    for members in logs.values():
        labels = tuple(rails(streams[members[0]]))
        found = groups.get(labels, [])
        if by_labels[labels] != 1:
            continue
        if len(found) == len(members):
            match.update(zip(members, found))
        elif len(found) == 1:
            match[members[0]] = found[0]
    return match


def counter_names(energy):
    """The name of each channel counter of energy_raw: its label, or "device<G>:<label>" (G its
    device's position there) for a label that several devices share."""
    labels = Counter(label for device in energy.devices for label in device)
    return [label if labels[label] == 1 else f"device{g}:{label}"
            for g, device in enumerate(energy.devices) for label in device]


def interval_means(energy, index, start=None, end=None):
    """(times, watts): each interval's mean power from counter column INDEX, at the interval's
    start, for the intervals between two lines of one run within [start, end] (either may be None).
    A gap's time is left out of its interval; an interval that is all gap has no mean."""
    times, values, gaps = energy.times, energy.data[index], energy.data[energy.gap_of(index)]
    at, watts = array("d"), array("d")
    for first, stop in energy.runs:
        for i in range(first + 1, stop):
            t0, t1 = times[i - 1], times[i]
            counted = t1 - t0 - (gaps[i] - gaps[i - 1])
            if (start is None or t0 >= start) and (end is None or t1 <= end) and counted > 0:
                mean = (values[i] - values[i - 1]) / counted
                if math.isfinite(mean):  # hostile counters can overflow
                    at.append(t0)
                    watts.append(mean)
    return at, watts


def interval_steps(energy, index, start=None, end=None):
    """(start, end, watts or None) of every interval between two lines of one run within [start, end]
    (either may be None), from counter column INDEX: interval_means with each interval's end, and
    None for an interval that is all gap, so that a trace can close each run's last interval."""
    times, values, gaps = energy.times, energy.data[index], energy.data[energy.gap_of(index)]
    out = []
    for first, stop in energy.runs:
        for i in range(first + 1, stop):
            t0, t1 = times[i - 1], times[i]
            if (start is None or t0 >= start) and (end is None or t1 <= end) and t1 > t0:
                counted = t1 - t0 - (gaps[i] - gaps[i - 1])
                mean = (values[i] - values[i - 1]) / counted if counted > 0 else None
                out.append((t0, t1, mean if mean is not None and math.isfinite(mean) else None))
    return out


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
