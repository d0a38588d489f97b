#!/usr/bin/python3
"""The raw logs the daemon writes against the columns scripts/vantrel_power/rawlogs.py declares for them
(docs/raw-logs.md): every log's header, the format of every data field, the units of the columns
read straight from the board, and the names: a device name holding "/", labels and zone types that
need quoting, a channel without a label, two devices that share a name, and the value file of each
rail; and with --energy, energy_raw: the counters of every device in discovery order under its own
labels, the totals, and a gap column for each, read back by the reader as energy, never as a device
log. A change to either side alone fails here.

  raw_log_schema_test.py SOURCE_DIR FAKEBOARD DAEMON

Runs the real daemon (--raw --once) on the reference fake board, then on the board changed twice, inside the
fake board's private mount namespace.
"""
import csv
import math
import os
import re
import shlex
import subprocess
import sys

SOURCE_DIR = sys.argv[2] if sys.argv[1:2] == ["--inside"] else sys.argv[1] if len(sys.argv) > 1 else "."
sys.path.insert(0, os.path.join(SOURCE_DIR, "scripts"))
from vantrel_power import rawlogs  # noqa: E402

HWMON = "/sys/class/hwmon"
THERMAL = "/sys/class/thermal"
failures = []
checks = 0


def check(what, ok):
    global checks
    checks += 1
    if not ok:
        failures.append(what)
        print(f"FAIL: {what}", file=sys.stderr)


def read(path):
    with open(path, encoding="utf-8") as f:
        return f.read().rstrip("\n")


def write(path, text):
    with open(path, "w", encoding="utf-8") as f:
        f.write(text + "\n")


def accumulators():
    """The board's accumulator directories in the daemon's order (its hwmon glob, bytewise)."""
    return [d for d in (os.path.join(HWMON, e) for e in sorted(os.listdir(HWMON)))
            if read(os.path.join(d, "name")).startswith("max34417")]


def labels(device):
    paths = [os.path.join(device, f"power{n}_label") for n in range(1, rawlogs.POWER_CHANNELS + 1)]
    return [read(p) if os.path.exists(p) else None for p in paths]


def zones():
    entries = sorted(e for e in os.listdir(THERMAL) if e.startswith("thermal_zone"))
    return [os.path.join(THERMAL, e) for e in entries]


def run_daemon(case, emulator, daemon):
    root = f"/run/schema-{case}"
    done = subprocess.run([*emulator, daemon, "--raw", "--energy", "--once", "--root-dir", root],
                          capture_output=True, text=True)
    check(f"{case}: the daemon exits 0 ({done.stdout.strip()} {done.stderr.strip()})", done.returncode == 0)
    return root


def lines(path):
    with open(path, newline="", encoding="utf-8") as f:
        return list(csv.reader(f))


def field_format(column):
    return r"-?[0-9]+" if column.decimals is None else rf"-?[0-9]+\.[0-9]{{{column.decimals}}}"


def check_log(case, path, columns, data_lines=1):
    """The header holds the declared names, and each data field is a number in its column's format."""
    name = os.path.basename(path)
    if not os.path.isfile(path):
        check(f"{case}: {name} written", False)
        return []
    rows = lines(path)
    check(f"{case}: {name} header {rows[0]} is {[c.name for c in columns]}", rows[0] == [c.name for c in columns])
    check(f"{case}: {name} has {data_lines} data line(s)", len(rows) == 1 + data_lines)
    for row in rows[1:]:
        check(f"{case}: {name} line {row} has a field per column", len(row) == len(columns))
        for column, text in zip(columns, row):
            check(f"{case}: {name} {column.name} = {text!r} as {field_format(column)}",
                  re.fullmatch(field_format(column), text) is not None)
    return rows[1:]


# A figure in the log against the board's file: the factor from the file's unit to the column's.
FROM_BOARD = {"W": 1e-6, "°C": 1e-3, "mV": 1, "Hz": 1, "kHz": 1, "%": 1}
SYSTEM_SOURCES = {
    "gpufreq": "/sys/devices/platform/soc@0/3d00000.gpu/devfreq/3d00000.gpu/cur_freq",
    **{f"cpufreq{n}": f"/sys/devices/system/cpu/cpu{n}/cpufreq/scaling_cur_freq" for n in range(8)},
    "battery_soc": "/run/vantrelcharger/battery_percent",
}


def near(a, b):
    return abs(a - b) <= 1e-9 * max(1.0, abs(b))


def from_board(column, path):
    """The board file's figure in the column's unit (NaN for a unit the test does not know)."""
    return float(read(path)) * FROM_BOARD.get(column.unit, math.nan)


def check_units(case, devices, root):
    logs = os.path.join(root, "power")
    fixed = len(rawlogs.DEVICE_COLUMNS)
    for device in devices:
        log = rawlogs.log_name(read(os.path.join(device, "name")))
        columns = rawlogs.device_columns(labels(device))
        rows = lines(os.path.join(logs, log)) if os.path.isfile(os.path.join(logs, log)) else []
        if len(rows) < 2 or len(rows[1]) != len(columns):
            continue  # already failed
        for n, column in enumerate(columns[fixed:], 1):
            check(f"{case}: {log} {column.name} in {column.unit}",
                  near(float(rows[1][fixed + n - 1]), from_board(column, os.path.join(device, f"power{n}_input"))))
    header, row = lines(os.path.join(logs, rawlogs.SYSTEM_LOG))
    bcl = [d for d in (os.path.join(HWMON, e) for e in os.listdir(HWMON))
           if read(os.path.join(d, "name")).startswith("c400000.spmi")][0]
    sources = {**SYSTEM_SOURCES, "bcl0_v": os.path.join(bcl, "in0_min"), "bcl1_v": os.path.join(bcl, "in0_lcrit")}
    for column in rawlogs.SYSTEM_COLUMNS:
        if column.name in sources and column.name in header:
            check(f"{case}: system_raw {column.name} in {column.unit}",
                  near(float(row[header.index(column.name)]), from_board(column, sources[column.name])))
    header, row = lines(os.path.join(logs, rawlogs.THERMAL_LOG))
    for i, zone in enumerate(zones(), 1):
        column = rawlogs.zone_column(header[i])
        check(f"{case}: thermal_raw {column.name} in {column.unit}",
              near(float(row[i]), from_board(column, os.path.join(zone, "temp"))))


def check_case(case, emulator, daemon, shared=False):
    devices = accumulators()
    root = run_daemon(case, emulator, daemon)
    logs = os.path.join(root, "power")
    names = {}  # log -> the labels of its header: the first device's of those that share it
    for device in devices:
        names.setdefault(rawlogs.log_name(read(os.path.join(device, "name"))), labels(device))
    expected = sorted([*names, rawlogs.SYSTEM_LOG, rawlogs.THERMAL_LOG, rawlogs.ENERGY_LOG])
    found = sorted(e for e in os.listdir(logs) if e.endswith("_raw"))
    check(f"{case}: the logs {found} are {expected}", found == expected)
    lines_per_log = {log: sum(rawlogs.log_name(read(os.path.join(d, "name"))) == log for d in devices) for log in names}
    for log, device_labels in names.items():
        check_log(case, os.path.join(logs, log), rawlogs.device_columns(device_labels), lines_per_log[log])
    check_log(case, os.path.join(logs, rawlogs.SYSTEM_LOG), rawlogs.SYSTEM_COLUMNS)
    check_log(case, os.path.join(logs, rawlogs.THERMAL_LOG),
              rawlogs.thermal_columns([read(os.path.join(z, "type")) for z in zones()]))
    # energy_raw: every device's own labels, in discovery order (not the shared log's header).
    energy = rawlogs.energy_columns([labels(d) for d in devices])
    rows = check_log(case, os.path.join(logs, rawlogs.ENERGY_LOG), energy)
    # --once: the first latch of a run counts nothing, so every counter and gap is 0.
    check(f"{case}: energy_raw counts nothing in one cycle {rows}",
          len(rows) == 1 and all(float(v) == 0 for v in rows[0][1:]))
    notes = []
    run = rawlogs.read_run(root, notes.append)
    check(f"{case}: read without a note {notes}", notes == [])
    check(f"{case}: energy_raw read as the energy log", run.energy is not None and run.energy.runs == [(0, 1)])
    check(f"{case}: energy_raw is no device log", rawlogs.ENERGY_LOG not in run.found_devices()
          and all(s.name != rawlogs.ENERGY_LOG for s in run.streams))
    if run.energy is not None:
        check(f"{case}: energy_raw's devices {run.energy.devices}",
              run.energy.devices == [rawlogs.channel_names(labels(d)) for d in devices])
    if not shared:
        check_units(case, devices, root)
    # The value file of every labelled rail is named as the reader says.
    for device in devices:
        for label in labels(device):
            if label is not None:
                file = rawlogs.value_file_name(label)
                check(f"{case}: power/{file} is the value file of {label!r}", os.path.isfile(os.path.join(logs, file)))
    return root, devices


def inside(emulator, daemon):
    check_case("reference", emulator, daemon)

    # Names that need care: a "/" in a device name, labels and a zone type holding a comma or a
    # quote, a channel without a label, a label that is not a file name.
    first, second = accumulators()
    write(os.path.join(first, "name"), "max34417/x")
    write(os.path.join(first, "power2_label"), 'gpu"x')
    os.remove(os.path.join(second, "power3_label"))
    write(os.path.join(second, "power2_label"), "Apc0  Big, Core")
    write(os.path.join(zones()[4], "type"), 'gpu "hot", skin')
    root, _ = check_case("names", emulator, daemon)
    power = os.path.join(root, "power")
    check("names: the device log's name", os.path.isfile(os.path.join(power, "max34417_x_raw")))
    header = read(os.path.join(power, rawlogs.log_name(read(os.path.join(second, "name"))))).split("\n")[0]
    check(f"names: {header} quotes the label, names the unlabelled channel",
          header.endswith(',"Apc0  Big, Core",power3,ddr'))
    check("names: a quote doubled", ',"gpu""x",' in read(os.path.join(power, "max34417_x_raw")).split("\n")[0])
    check("names: the zone type quoted", ',"gpu ""hot"", skin",' in read(os.path.join(power, rawlogs.THERMAL_LOG)))

    # Two devices with the same name share one log: the first device's header, a line each per cycle
    # at the same time, split back into a stream per device by the reader.
    write(os.path.join(first, "name"), read(os.path.join(second, "name")))
    root, devices = check_case("shared", emulator, daemon, shared=True)
    run = rawlogs.read_run(root, print)
    streams = [s.name for s in run.streams]
    check(f"shared: the streams {streams}", streams == ["max34417_raw", "max34417_raw#2"])
    if len(run.streams) == 2:
        logged = [values[0] for values in run.streams[1].data[len(rawlogs.DEVICE_COLUMNS):]]
        board = [float(read(os.path.join(devices[1], f"power{n}_input"))) / 1e6 for n in range(1, 5)]
        check(f"shared: the second stream holds the second device's rails {logged}",
              len(logged) == 4 and all(near(a, b) for a, b in zip(logged, board)))
        check("shared: both lines at the cycle's time", run.streams[0].times == run.streams[1].times)


def main():
    if len(sys.argv) == 4 and sys.argv[1] == "--inside":
        inside(shlex.split(os.environ.get("VPM_EMULATOR", "")), sys.argv[3])
    elif len(sys.argv) == 4:
        src, fakeboard, daemon = sys.argv[1:]
        emulator = shlex.split(os.environ.get("VPM_EMULATOR", ""))
        if os.environ.get("CI") != "true" and subprocess.run([*emulator, fakeboard, "--", "true"],
                                                              capture_output=True).returncode != 0:
            print("skipped: the fake board cannot make a private mount namespace here")
            return 77
        done = subprocess.run([*emulator, fakeboard, "--board", "reference", "--", sys.executable,
                               os.path.realpath(__file__), "--inside", src, daemon])
        return done.returncode
    else:
        print("usage: raw_log_schema_test.py SOURCE_DIR FAKEBOARD DAEMON", file=sys.stderr)
        return 2
    if failures:
        print(f"{len(failures)} of {checks} checks failed", file=sys.stderr)
        return 1
    print(f"{checks} checks passed")
    return 0


if __name__ == "__main__":
    sys.exit(main())
