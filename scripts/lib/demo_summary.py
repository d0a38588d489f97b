#!/usr/bin/python3
"""The final values of a demo run (scripts/demo), from its output root: the rails with the device
that measures each, the totals, and the last line of thermal_raw and of system_raw.

  demo_summary.py OUT
"""
import argparse
import os
import sys

# A helper of the clone: its package is in scripts/, one directory up.
sys.path.insert(0, os.path.dirname(os.path.dirname(os.path.realpath(__file__))))
from vantrel_power import rawlogs  # noqa: E402

ME = "demo_summary"


def value(path):
    """A value file's text, as the shell's $(cat FILE) gives it; "-" when it cannot be read."""
    try:
        with open(path, encoding="utf-8", errors="replace") as f:
            return f.read().rstrip("\n")
    except OSError:
        return "-"


def last(log, name):
    values = log.column(name) if log is not None else None
    return values[-1] if values and values[-1] == values[-1] else 0.0


def main():
    parser = argparse.ArgumentParser(prog=ME, description="Prints the final values of a demo run.")
    parser.add_argument("out", metavar="OUT", help="the demo's output directory (an output root)")
    args = parser.parse_args()
    power = os.path.join(args.out, "power")
    if not os.path.isdir(power):
        print(f"{ME}: {power}: no such directory", file=sys.stderr)
        return 1
    run = rawlogs.read_run(args.out, lambda message: print(f"{ME}: {message}", file=sys.stderr))
    system, thermal = run.system, run.thermal
    cycles = len(system.times) if system is not None else 0

    print()
    print(f"Final values in {args.out} (after {cycles} cycles)")
    print()
    row = "  {:<16} {:<14} {:>12} {:>12}"
    print(row.format("rail", "device", "power (W)", "voltage (V)"))
    # The device logs in the order of their file names, each rail with the device that measures it.
    for log in sorted((log for log in run.logs if rawlogs.is_device_log(log)), key=lambda log: log.name):
        device = log.name[:-len("_raw")]
        for label in rawlogs.rails(log):
            file = rawlogs.value_file_name(label)
            print(row.format(file, device, value(os.path.join(power, file)),
                             value(os.path.join(args.out, "voltage", "v_" + file))))
    print()
    print(f"  {'totals':<31} {'power (W)':>12}")
    for total in ("vph_total", "cores_total", "vph_other", "bl_power"):
        print(f"  {total:<31} {value(os.path.join(power, total)):>12}")
    print()
    print("  temperatures (°C, last line of thermal_raw)")
    zones = thermal.series() if thermal is not None else []
    for i, (zone, values) in enumerate(zones, 1):
        end = "\n" if i % 3 == 0 or i == len(zones) else ""
        print(f"  {zone:<16} {values[-1] if values[-1] == values[-1] else 0.0:6.1f}", end=end)
    print()
    bcl0 = next(c for c in rawlogs.SYSTEM_COLUMNS if c.name == "bcl0")
    print(f"  battery {last(system, 'battery_soc'):.1f} %, GPU {int(last(system, 'gpufreq') / 1e6)} MHz, "
          f"CPU0 {int(last(system, 'cpufreq0') / 1000)} MHz, fan {int(last(system, 'fan_rpm'))} rpm, "
          f"throttled {last(system, 'bcl0'):.{bcl0.decimals}f} % (last line of system_raw)")
    return 0


if __name__ == "__main__":
    sys.exit(main())
