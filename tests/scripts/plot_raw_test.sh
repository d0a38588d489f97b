#!/usr/bin/env bash
# scripts/plot-raw on the checked-in logs of a simulated run, and on logs that are broken in the ways
# logs copied off a board can be: a column missing, empty files, headers only, a cut last line.
#
#   plot_raw_test.sh SOURCE_DIR
set -uo pipefail
src=$1
. "$src/tests/scripts/check.sh"
plot=$src/scripts/plot-raw
fixture=$src/tests/data/raw-logs

make_scratch

run() { # NAME ARGS... -> $tmp/NAME.{out,err}, status in $status
  local name=$1
  shift
  status=0
  "$plot" "$@" >"$tmp/$name.out" 2>"$tmp/$name.err" || status=$?
}

logs_copy() { # NAME -> a fresh copy of the fixture logs in $tmp/NAME
  mkdir -p "$tmp/$1"
  cp "$fixture"/*_raw "$tmp/$1/"
  echo "$tmp/$1"
}

# Whole logs: every panel, nothing said on stderr.
run full "$fixture" "$tmp/full.png"
check "full logs: exit 0" test "$status" -eq 0
check "full logs: the path is printed" contains "$tmp/full.out" "$tmp/full.png"
check "full logs: nothing on stderr" test ! -s "$tmp/full.err"
check "full logs: a PNG" is_png "$tmp/full.png" 40000
full_height=$(png_height "$tmp/full.png")
check "full logs: six panels high" test "$full_height" -gt 1500
check "full logs: the fixture is left as it was" test ! -e "$fixture/raw-logs.png"

# An output root (logs under power/), with the default output next to it.
mkdir -p "$tmp/root/power"
cp "$fixture"/*_raw "$tmp/root/power/"
run root "$tmp/root"
check "output root: exit 0" test "$status" -eq 0
check "output root: default output DIR/raw-logs.png" is_png "$tmp/root/raw-logs.png" 40000

# No battery column: that panel goes, with a message; the rest stays.
d=$(logs_copy no_battery)
awk -F, -v OFS=, '{ $12 = ""; sub(/,,/, ","); print }' "$fixture/system_raw" >"$d/system_raw"
check "no battery: the fixture column is gone" bash -c "! head -1 '$d/system_raw' | grep -q battery_soc"
run no_battery "$d" "$tmp/no_battery.png"
check "no battery: exit 0" test "$status" -eq 0
check "no battery: says which panel is skipped" contains "$tmp/no_battery.err" \
  "system_raw has no battery_soc column: battery panel skipped"
check "no battery: a PNG" is_png "$tmp/no_battery.png" 30000
check "no battery: one panel fewer" test "$(png_height "$tmp/no_battery.png")" -lt "$full_height"

# A thermal log without zones and device logs without data.
d=$(logs_copy sparse)
cut -d, -f1 "$fixture/thermal_raw" >"$d/thermal_raw"
head -1 "$fixture/max34417_raw" >"$d/max34417_raw"
: >"$d/max34417_b_raw"
run sparse "$d" "$tmp/sparse.png"
check "sparse: exit 0" test "$status" -eq 0
check "sparse: thermal message" contains "$tmp/sparse.err" "thermal_raw has no zone columns: temperature panel skipped"
check "sparse: header-only message" contains "$tmp/sparse.err" "max34417_raw has no data lines"
check "sparse: empty-file message" contains "$tmp/sparse.err" "max34417_b_raw is empty"
check "sparse: power message" contains "$tmp/sparse.err" "no usable device log: power panels skipped"
check "sparse: clocks, battery and throttling still drawn" is_png "$tmp/sparse.png" 20000
check "sparse: a shorter picture" test "$(png_height "$tmp/sparse.png")" -lt "$(png_height "$tmp/no_battery.png")"

# A log copied while the daemon was appending ends in half a line; a log without its header (the
# run's first pass failed) cannot be read by name.
d=$(logs_copy cut)
head -c -40 "$fixture/system_raw" >"$d/system_raw"
tail -n +2 "$fixture/max34417_raw" >"$d/max34417_raw"
run cut "$d" "$tmp/cut.png"
check "cut: exit 0" test "$status" -eq 0
check "cut: the half line is dropped" contains "$tmp/cut.err" "system_raw: dropped 1 malformed line(s)"
check "cut: headerless log named" contains "$tmp/cut.err" "max34417_raw has no header line"
check "cut: a PNG" is_png "$tmp/cut.png" 40000

# Names holding a comma or a quote (a zone type, a rail label) come as quoted fields: read as names,
# their lines whole.
d=$(logs_copy quoted)
sed -i '1s/,gpu,/,"gpu""x",/' "$d/max34417_b_raw"
sed -i "1s/,gpu-thermal,/,\"gpu,it's hot\",/" "$d/thermal_raw"
run quoted "$d" "$tmp/quoted.png"
check "quoted names: exit 0" test "$status" -eq 0
check "quoted names: no line dropped, nothing on stderr" test ! -s "$tmp/quoted.err"
check "quoted names: every panel" test "$(png_height "$tmp/quoted.png")" -eq "$full_height"

# Every log empty: nothing to draw, no picture, a clear message and a failure status.
d=$(logs_copy empty)
for f in "$d"/*_raw; do : >"$f"; done
run empty "$d" "$tmp/empty.png"
check "empty: exit 1" test "$status" -eq 1
check "empty: says so" contains "$tmp/empty.err" "nothing to plot in $d"
check "empty: each file named" contains "$tmp/empty.err" "thermal_raw is empty"
check "empty: no PNG left behind" bash -c "! ls '$tmp'/empty.png* 2>/dev/null | grep -q ."

# A directory without any log, a missing directory, bad usage.
mkdir -p "$tmp/nothing"
run nothing "$tmp/nothing" "$tmp/nothing.png"
check "no logs: exit 1" test "$status" -eq 1
check "no logs: says so" contains "$tmp/nothing.err" "nothing to plot"
run missing "$tmp/does-not-exist"
check "missing dir: exit 1" test "$status" -eq 1
check "missing dir: says so" contains "$tmp/missing.err" "does-not-exist: no such directory"
run usage
check "no arguments: exit 2" test "$status" -eq 2
check "no arguments: usage" contains "$tmp/usage.err" "usage: plot-raw DIR [OUT.png]"

finish
