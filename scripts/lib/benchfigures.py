#!/usr/bin/python3
"""The figures of scripts/bench, from what its runs leave behind: the probe's reports, strace -c
summaries, valgrind's and callgrind_annotate's output, the system log's time column and size(1)'s
table. Each command prints the bench's lines for one measurement; with --vars FILE it also writes the
figures the bench goes on with, as shell assignments of numbers.

  benchfigures.py syscalls --cycles N --first N --floor LINE STRACE1 STRACE2 PROBE1 PROBE2 [--vars FILE]
  benchfigures.py cpu --cycles N --first N --load BEFORE AFTER PROBE1 PROBE2 [PROBE1 PROBE2]... [--vars FILE]
  benchfigures.py instructions --cycles N --first N VALGRIND1 VALGRIND2 [--vars FILE]
  benchfigures.py heaviest --cycles N --total N SELF1 SELF2 INCLUSIVE1 INCLUSIVE2
  benchfigures.py schedule --period MS --label TEXT --load BEFORE AFTER SYSTEM_RAW PROBE [--vars FILE]
  benchfigures.py size < SIZE_OUTPUT

The two runs of a measurement differ only in their cycle count (--cycles is the difference, --first
the shorter run's count): their difference is the cost of the steady-state cycles.
"""
import argparse
import os
import re
import sys

# A helper of the clone: its package is in scripts/, one directory up.
sys.path.insert(0, os.path.dirname(os.path.dirname(os.path.realpath(__file__))))
from vantrel_power import rawlogs  # noqa: E402

ME = "benchfigures"


class Unreadable(Exception):
    pass


def read(path):
    try:
        with open(path, encoding="utf-8", errors="replace") as f:
            return f.read()
    except OSError as e:
        raise Unreadable(f"{path}: {e.strerror}") from None


def report(text):
    """A "key=value key=value ..." line (the probe's report, the floor's line) as a dict."""
    return dict(word.split("=", 1) for word in text.split() if "=" in word)


def report_field(fields, key, where):
    if key not in fields:
        raise Unreadable(f"{where} has no {key}")
    return fields[key]


def number(fields, key, where):
    text = report_field(fields, key, where)
    try:
        return float(text)
    except ValueError:
        raise Unreadable(f"{where}: {key}={text} is not a number") from None


def strace_calls(text):
    """System call -> calls, from the table of strace -c (the "calls" column is the fourth)."""
    calls = {}
    for line in text.splitlines():
        f = line.split()
        if len(f) >= 5 and re.fullmatch(r"[0-9.]+", f[0]) and re.fullmatch(r"[a-z_0-9]+", f[-1]) \
                and f[-1] != "total":
            calls[f[-1]] = float(f[3])
    return calls


def per_cycle_calls(first, second, cycles):
    """(system call, calls per cycle) of the calls the longer run made more of (by more than 0.005
    per cycle), by name, and their total."""
    kept = [(name, (n - first.get(name, 0)) / cycles) for name, n in second.items()]
    kept = sorted((name, per) for name, per in kept if per > 0.005)
    return kept, sum(per for _, per in kept)


def syscalls(args):
    runs = f"runs of {args.first + args.cycles} and {args.first} cycles"
    kept, total = per_cycle_calls(strace_calls(read(args.strace[0])), strace_calls(read(args.strace[1])),
                                  args.cycles)
    total_text = f"{total:.2f}"
    floor = number(report(args.floor), "floor", "the floor's line")
    ratio = f"{float(total_text) / floor:.2f}"
    probes = [report(read(p)) for p in args.probe]
    a1 = report_field(probes[0], "allocs", args.probe[0])
    allocs = f"{(number(probes[1], 'allocs', args.probe[1]) - float(a1)) / args.cycles:.2f}"
    print(f"system calls (strace -c, {runs} at -i 1 subtracted):")
    for name, per in kept:
        print(f"  {name:<18} {per:>8.2f}")
    print(f"  {'total':<18} {total_text:>8}")
    print(f"floor ({args.floor}): 4 per read (open, size, read, close), 3 per write, 1 per mkdir level, 1 sleep")
    print(f"  ratio to floor      {ratio}")
    print(f"heap allocations      {allocs} per cycle (probe; {a1} in a {args.first}-cycle run)")
    return {"SYSCALLS": total_text, "SYSCALL_RATIO": ratio, "ALLOCS_PER_CYCLE": allocs}


def median_of_pairs(pairs):
    """The index of the median pair by total: the one with exactly one pair below it (an equal
    total counts as below when it comes first)."""
    totals = [t for t, _, _ in pairs]
    for i, t in enumerate(totals):
        if sum(1 for j, o in enumerate(totals) if o < t or (o == t and j < i)) == len(totals) // 2:
            return i
    return 0


def cpu(args):
    if len(args.probe) != 6:
        raise Unreadable("cpu takes three pairs of probe reports")
    pairs = []
    for short, long in zip(args.probe[0::2], args.probe[1::2]):
        a, b = report(read(short)), report(read(long))
        user = (number(b, "utime_us", long) - number(a, "utime_us", short)) / args.cycles
        system = (number(b, "stime_us", long) - number(a, "stime_us", short)) / args.cycles
        pairs.append((user + system, user, system))
    total, user, system = pairs[median_of_pairs(pairs)]
    each = ", ".join(f"{t:.1f}" for t, _, _ in pairs)
    print(f"CPU time (getrusage)  {total:.1f} us per cycle, user + system, median of 3 "
          f"(pairs of {args.first + args.cycles} and {args.first} cycles at -i 1: {each} us)")
    print(f"  in the median pair: user {user:.1f} us, system {system:.1f} us (the split is sampled at the "
          f"clock tick); load average before: {args.load[0]}, after: {args.load[1]}")
    return {"CPU_US": f"{total:.1f}"}


def collected(text, where):
    """The instruction count callgrind prints at exit ("Collected : N")."""
    found = re.findall(r"Collected :\s*(\d+)", text)
    if not found:
        raise Unreadable(f"{where} has no callgrind total")
    return int(found[-1])


def instructions(args):
    a, b = (collected(read(p), p) for p in args.valgrind)
    per = f"{(b - a) / args.cycles:.0f}"
    print(f"instructions          {per} per cycle (callgrind, user space, runs of {args.first + args.cycles} "
          f"and {args.first} cycles at -i 1 subtracted)")
    return {"INSTRUCTIONS": per}


def annotated(text, inclusive):
    """Function -> instructions, from callgrind_annotate's function table. The lines of one function's
    inlined pieces (a file each) add up to its own cost; with callees, its largest line is its cost."""
    cost, on = {}, False
    for line in text.splitlines():
        if "file:function" in line:
            on = True
            continue
        words = line.split()
        if not on or not words or not re.fullmatch(r"[0-9,]+", words[0]):
            continue
        n = int(words[0].replace(",", ""))
        name = re.sub(r"^ *[0-9,]+ *\([^)]*\) *", "", line, count=1)
        name = re.sub(r" \[/[^]]*\]$", "", name, count=1)
        name = re.sub(r"^[^:]*:", "", name, count=1)
        cost[name] = max(cost.get(name, 0), n) if inclusive else cost.get(name, 0) + n
    return cost


IOSTREAM = re.compile(r"std::(basic_[io]|locale|ios|__cxx11::basic_[io])")


def heaviest_functions(first, second, cycles, total, inclusive):
    """The ten heaviest functions per cycle as (instructions, name), heaviest first, and the
    instructions per cycle of iostream and std::locale functions."""
    per = {f: (second.get(f, 0) - first.get(f, 0)) / cycles for f in {*first, *second}}
    io = sum(p for f, p in per.items() if p > 0 and IOSTREAM.search(f))
    if inclusive:  # the chain from the entry point down to the loop holds the whole run, sleeps too
        per = {f: p for f, p in per.items() if p < 0.999 * total}
    return sorted(((p, f) for f, p in per.items()), reverse=True)[:10], io


def heaviest(args):
    total = args.total
    for kind, (a, b) in (("own instructions", args.self), ("with their callees", args.inclusive)):
        inclusive = kind != "own instructions"
        print(f"  heaviest functions per cycle, {kind} (share of the cycle's instructions):")
        top, io = heaviest_functions(annotated(read(a), inclusive), annotated(read(b), inclusive),
                                     args.cycles, total, inclusive)
        for p, f in top:
            print(f"    {p:9.0f} {100 * p / total:5.1f}%  {f}")
        if not inclusive:
            print(f"  iostream or std::locale functions on the cycle path: {io:.0f} instructions per cycle")
    return {}


def schedule_figures(times, period_ms):
    """From the time column of a run at one period: (cycles later than a period, the largest,
    median and 99th-percentile deviation in ms). The first cycle is left out (it also searches for
    the devices); t0 is the earliest start the others admit, min(t_k - k * period), so a deviation
    is how much later than the most punctual cycle a cycle came."""
    offsets = [t * 1000 - k * period_ms for k, t in enumerate(times[1:], 1)]
    t0 = min(offsets)
    d = sorted(o - t0 for o in offsets)
    n = len(d)
    return sum(1 for x in d if x > period_ms), d[-1], d[int(0.50 * (n - 1))], d[int(0.99 * (n - 1))]


def schedule(args):
    notes = []
    log = rawlogs.read_log(rawlogs.SYSTEM_LOG, [args.log], notes.append)
    if log is None or len(log.times) < 2:
        raise Unreadable(f"{args.log}: fewer than two cycles logged{''.join(f'; {n}' for n in notes)}")
    late, most, p50, p99 = schedule_figures(log.times, args.period)
    cycles = len(log.times)
    probe = report(read(args.probe))
    wake = {k: number(probe, k, args.probe) for k in
            ("wake_count", "wake_late", "wake_p50_ns", "wake_p99_ns", "wake_max_ns")}
    print(f"== schedule{args.label}: {cycles} cycles at -i {args.period:g} --raw on the reference board (load "
          f"average before: {args.load[0]}, after: {args.load[1]}; {len(os.sched_getaffinity(0))} cores)")
    print(f"  raw log time column (ms, after sampling): late by more than a period {late}, deviation from "
          f"t0 + k*{args.period:g} ms: max {most:.3f} ms, p50 {p50:.3f} ms, p99 {p99:.3f} ms")
    print(f"  wake-up after its deadline (probe, {int(wake['wake_count'])} cycles): late by more than a period "
          f"{int(wake['wake_late'])}, p50 {wake['wake_p50_ns'] / 1e6:.3f} ms, p99 {wake['wake_p99_ns'] / 1e6:.3f} ms, "
          f"max {wake['wake_max_ns'] / 1e6:.3f} ms")
    return {"LATE_CYCLES": str(late), "LOGGED_CYCLES": str(cycles)}


def size_line(text):
    """size(1)'s Berkeley table: "text T, data D, bss B bytes"."""
    rows = text.splitlines()
    if len(rows) < 2 or len(rows[1].split()) < 3:
        raise Unreadable("size printed no table")
    t, d, b = rows[1].split()[:3]
    return f"text {t}, data {d}, bss {b} bytes"


def size(_args):
    print(size_line(sys.stdin.read()))
    return {}


def main(argv):
    parser = argparse.ArgumentParser(prog=ME, description="The figures of scripts/bench from its runs' output.")
    commands = parser.add_subparsers(dest="command", required=True)

    def command(name, run, help_text, pair_runs=True, figures=True):
        p = commands.add_parser(name, help=help_text)
        p.set_defaults(run=run)
        if pair_runs:
            p.add_argument("--cycles", type=int, required=True, help="the longer run's cycles less the shorter's")
        if figures:
            p.add_argument("--vars", metavar="FILE", help="write the figures to FILE as shell assignments")
        return p

    p = command("syscalls", syscalls, "system calls and heap allocations per cycle")
    p.add_argument("--first", type=int, required=True, help="the shorter run's cycles")
    p.add_argument("--floor", required=True, metavar="LINE", help="bench_floor's line")
    p.add_argument("strace", nargs=2, metavar="STRACE", help="strace -c of the shorter, then the longer run")
    p.add_argument("probe", nargs=2, metavar="PROBE", help="the probe's reports of the same runs")
    p = command("cpu", cpu, "CPU time per cycle, the median of three pairs of runs")
    p.add_argument("--first", type=int, required=True, help="the shorter run's cycles")
    p.add_argument("--load", nargs=2, required=True, metavar=("BEFORE", "AFTER"), help="load averages")
    p.add_argument("probe", nargs="+", metavar="PROBE", help="the probe's reports, shorter then longer, per pair")
    p = command("instructions", instructions, "user-space instructions per cycle")
    p.add_argument("--first", type=int, required=True, help="the shorter run's cycles")
    p.add_argument("valgrind", nargs=2, metavar="VALGRIND", help="valgrind's output of the shorter, then the longer run")
    p = command("heaviest", heaviest, "the heaviest functions per cycle", figures=False)
    p.add_argument("--total", type=float, required=True, help="instructions per cycle")
    p.add_argument("self", nargs=2, metavar="SELF", help="callgrind_annotate --inclusive=no of both runs")
    p.add_argument("inclusive", nargs=2, metavar="INCLUSIVE", help="callgrind_annotate --inclusive=yes of both runs")
    p = command("schedule", schedule, "punctuality of a run at one period", pair_runs=False)
    p.add_argument("--period", type=float, required=True, metavar="MS")
    p.add_argument("--label", default="", help="said after '== schedule'")
    p.add_argument("--load", nargs=2, required=True, metavar=("BEFORE", "AFTER"), help="load averages")
    p.add_argument("log", metavar="SYSTEM_RAW", help="the run's system log")
    p.add_argument("probe", metavar="PROBE", help="the probe's report of the run")
    command("size", size, "size(1)'s table on stdin as one line", pair_runs=False, figures=False)

    args = parser.parse_args(argv)
    try:
        figures = args.run(args)
    except Unreadable as e:
        print(f"{ME}: {e}", file=sys.stderr)
        return 1
    if getattr(args, "vars", None):
        with open(args.vars, "w", encoding="utf-8") as f:
            f.writelines(f"{k}={v}\n" for k, v in figures.items())
    return 0


if __name__ == "__main__":
    sys.exit(main(sys.argv[1:]))
