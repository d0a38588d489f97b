#!/usr/bin/python3
"""scripts/lib/benchfigures.py on outputs of strace, valgrind, callgrind_annotate, size and the
bench's probe as the bench's runs leave them: the figures, the lines the bench prints, the figures it
goes on with, and one-line errors for a missing or incomplete input.

  benchfigures_test.py SOURCE_DIR
"""
import os
import subprocess
import sys
import tempfile
import unittest

SOURCE_DIR = sys.argv.pop(1) if len(sys.argv) > 1 else "."
TOOL = os.path.join(SOURCE_DIR, "scripts", "lib", "benchfigures.py")
sys.path.insert(0, os.path.dirname(TOOL))
import benchfigures  # noqa: E402

STRACE = """\
% time     seconds  usecs/call     calls    errors syscall
------ ----------- ----------- --------- --------- ----------------
  0.00    0.000000           0       152           read
  0.00    0.000000           0       248           close
  0.00    0.000000           0         1         1 ioctl
  0.00    0.000000           0         2           clock_nanosleep
  0.00    0.000000           0       253         5 openat
------ ----------- ----------- --------- --------- ----------------
100.00    0.000000           0       656         6 total
"""
ANNOTATE = """\
--------------------------------------------------------------------------------
Ir                 
--------------------------------------------------------------------------------
{total} (100.0%)  PROGRAM TOTALS

--------------------------------------------------------------------------------
Ir                file:function
--------------------------------------------------------------------------------
{a} (32.14%)  ./src/a.cpp:run_cycle(state&) [/work/build/src/vantrel_power_monitor]
{b} ( 7.00%)  ./src/b.h:put_fixed(char*, char*, double, int)
{c} ( 5.24%)  ./src/c.cpp:put_fixed(char*, char*, double, int) [/work/build/src/vantrel_power_monitor]
{d} ( 1.00%)  /usr/include/c++/12/ostream:std::basic_ostream<char>::put(char)
"""


class Figures(unittest.TestCase):
    def setUp(self):
        self.work = tempfile.TemporaryDirectory()
        self.addCleanup(self.work.cleanup)

    def file(self, name, text):
        path = os.path.join(self.work.name, name)
        with open(path, "w", encoding="utf-8") as f:
            f.write(text)
        return path

    def run_tool(self, *args, stdin=None):
        done = subprocess.run([TOOL, *args], capture_output=True, text=True, input=stdin)
        return done.returncode, done.stdout, done.stderr

    def test_strace_table(self):
        calls = benchfigures.strace_calls(STRACE)
        self.assertEqual(calls, {"read": 152, "close": 248, "ioctl": 1, "clock_nanosleep": 2, "openat": 253})
        longer = {**calls, "read": 352, "close": 248.5, "write": 1000}
        kept, total = benchfigures.per_cycle_calls(calls, longer, 200)
        # close grew by 0.0025 per cycle: under the 0.005 that counts; a call only in the longer run counts.
        self.assertEqual(kept, [("read", 1.0), ("write", 5.0)])
        self.assertEqual(total, 6.0)

    def test_syscalls_block_and_its_figures(self):
        s1 = self.file("s1", STRACE)
        s2 = self.file("s2", STRACE.replace("  152 ", "  352 ").replace("  253 ", "  653 ").replace("    2 ", "  202 "))
        p1 = self.file("p1", "cycles=2 allocs=182 utime_us=1\n")
        p2 = self.file("p2", "cycles=202 allocs=182 utime_us=9\n")
        out = os.path.join(self.work.name, "vars")
        rc, text, err = self.run_tool("syscalls", "--cycles", "200", "--first", "2", "--floor",
                                      "reads=1 writes=1 floor=6.8", s1, s2, p1, p2, "--vars", out)
        self.assertEqual((rc, err), (0, ""))
        self.assertEqual(text, """\
system calls (strace -c, runs of 202 and 2 cycles at -i 1 subtracted):
  clock_nanosleep        1.00
  openat                 2.00
  read                   1.00
  total                  4.00
floor (reads=1 writes=1 floor=6.8): 4 per read (open, size, read, close), 3 per write, 1 per mkdir level, 1 sleep
  ratio to floor      0.59
heap allocations      0.00 per cycle (probe; 182 in a 2-cycle run)
""")
        with open(out, encoding="utf-8") as f:
            self.assertEqual(f.read(), "SYSCALLS=4.00\nSYSCALL_RATIO=0.59\nALLOCS_PER_CYCLE=0.00\n")

    def test_cpu_median_of_three(self):
        self.assertEqual(benchfigures.median_of_pairs([(3, 0, 0), (1, 0, 0), (2, 0, 0)]), 2)
        self.assertEqual(benchfigures.median_of_pairs([(1, 0, 0), (1, 0, 0), (2, 0, 0)]), 1)
        self.assertEqual(benchfigures.median_of_pairs([(5, 0, 0), (5, 0, 0), (5, 0, 0)]), 1)
        reports = []
        for k, (user, system) in enumerate([(400, 50), (100, 20), (300, 10)]):
            reports += [self.file(f"c1.{k}", "utime_us=100 stime_us=20"),
                        self.file(f"c2.{k}", f"utime_us={100 + 10 * user} stime_us={20 + 10 * system}")]
        rc, text, err = self.run_tool("cpu", "--cycles", "10", "--first", "2", "--load", "1.0 2.0 3.0",
                                      "0.5 1 2", *reports)
        self.assertEqual((rc, err), (0, ""))
        self.assertEqual(text.splitlines(), [
            "CPU time (getrusage)  310.0 us per cycle, user + system, median of 3 "
            "(pairs of 12 and 2 cycles at -i 1: 450.0, 120.0, 310.0 us)",
            "  in the median pair: user 300.0 us, system 10.0 us (the split is sampled at the clock tick); "
            "load average before: 1.0 2.0 3.0, after: 0.5 1 2"])

    def test_instructions_and_heaviest_functions(self):
        v1 = self.file("v1", "==5392== Events    : Ir\n==5392== Collected : 2417189\n==5392==\n")
        v2 = self.file("v2", "==5393== Collected : 10417189\n")
        rc, text, _ = self.run_tool("instructions", "--cycles", "100", "--first", "2", v1, v2)
        self.assertEqual(text, "instructions          80000 per cycle (callgrind, user space, runs of 102 and "
                               "2 cycles at -i 1 subtracted)\n")
        first = benchfigures.annotated(ANNOTATE.format(total="9,999", a="1,000", b="200", c="100", d="10"), False)
        # The pieces of put_fixed (a file each) add up; the file and the object are left out.
        self.assertEqual(first, {"run_cycle(state&)": 1000, "put_fixed(char*, char*, double, int)": 300,
                                 "std::basic_ostream<char>::put(char)": 10})
        second = benchfigures.annotated(ANNOTATE.format(total="9,999", a="11,000", b="2,200", c="1,100", d="510"),
                                        False)
        top, io = benchfigures.heaviest_functions(first, second, 10, 1000, False)
        self.assertEqual(top, [(1000, "run_cycle(state&)"), (300, "put_fixed(char*, char*, double, int)"),
                               (50, "std::basic_ostream<char>::put(char)")])
        self.assertEqual(io, 50)
        # With callees a function's largest line is its cost, and the whole cycle's chain is left out.
        inclusive = benchfigures.annotated(ANNOTATE.format(total="1", a="11,000", b="2,200", c="1,100", d="510"),
                                           True)
        self.assertEqual(inclusive["put_fixed(char*, char*, double, int)"], 2200)
        top, _ = benchfigures.heaviest_functions({}, inclusive, 10, 1000, True)
        self.assertEqual([f for _, f in top], ["put_fixed(char*, char*, double, int)",
                                               "std::basic_ostream<char>::put(char)"])
        a = [self.file(f"a{n}", ANNOTATE.format(total="1", a=f"{n}00", b="0", c="0", d="0")) for n in (1, 3)]
        rc, text, _ = self.run_tool("heaviest", "--cycles", "2", "--total", "400", *a, *a)
        self.assertEqual(rc, 0)
        self.assertIn("  heaviest functions per cycle, own instructions (share of the cycle's instructions):\n"
                      "          100  25.0%  run_cycle(state&)\n", text)
        self.assertIn("  iostream or std::locale functions on the cycle path: 0 instructions per cycle\n", text)

    def test_schedule(self):
        # Cycle k at k * 5 ms but for the fourth, 7 ms late; the first cycle is left out.
        times = [100.0, 100.005, 100.010, 100.022, 100.020, 100.025]
        late, most, p50, p99 = benchfigures.schedule_figures(times, 5)
        self.assertEqual((late, round(most, 6), round(p50, 6), round(p99, 6)), (1, 7.0, 0.0, 0.0))
        log = self.file("system_raw", "time,gpufreq\n" + "".join(f"{t:.3f},1\n" for t in times))
        probe = self.file("probe", "wake_count=5 wake_late=1 wake_p50_ns=48000 wake_p99_ns=102000 wake_max_ns=3745000")
        rc, text, _ = self.run_tool("schedule", "--period", "5", "--label", " under chrt -f 10", "--load",
                                    "1 2 3", "4 5 6", log, probe)
        self.assertEqual(rc, 0)
        lines = text.splitlines()
        self.assertTrue(lines[0].startswith("== schedule under chrt -f 10: 6 cycles at -i 5 --raw on the reference "
                                            "board (load average before: 1 2 3, after: 4 5 6; "), lines[0])
        self.assertEqual(lines[1:], [
            "  raw log time column (ms, after sampling): late by more than a period 1, deviation from t0 + k*5 ms: "
            "max 7.000 ms, p50 0.000 ms, p99 0.000 ms",
            "  wake-up after its deadline (probe, 5 cycles): late by more than a period 1, p50 0.048 ms, "
            "p99 0.102 ms, max 3.745 ms"])

    def test_size(self):
        rc, text, _ = self.run_tool("size", stdin="   text\t   data\t    bss\t    dec\t    hex\tfilename\n"
                                                  " 411386\t   7144\t    336\t 418866\t  66432\tvpm\n")
        self.assertEqual((rc, text), (0, "text 411386, data 7144, bss 336 bytes\n"))

    def test_errors_are_one_line(self):
        missing = os.path.join(self.work.name, "missing")
        empty = self.file("empty", "")
        for args in (["instructions", "--cycles", "1", "--first", "1", missing, missing],
                     ["instructions", "--cycles", "1", "--first", "1", empty, empty],
                     ["syscalls", "--cycles", "1", "--first", "1", "--floor", "floor=1", empty, empty, empty, empty]):
            rc, text, err = self.run_tool(*args)
            self.assertEqual((rc, text), (1, ""), args)
            self.assertRegex(err, r"^benchfigures: [^\n]+\n$")


if __name__ == "__main__":
    unittest.main()
