#!/usr/bin/env bash
# scripts/power-report on the checked-in logs of a simulated run: its figures against ones computed
# here with awk straight from the CSV, windows against their parts, the JSON trace against the logs,
# and logs as they come off a board: quoted names, rotated .gz parts, a file without its header.
#
#   power_report_test.sh SOURCE_DIR
set -uo pipefail
src=$1
. "$src/tests/scripts/check.sh"
report=$src/scripts/power-report
fixture=$src/tests/data/raw-logs

make_scratch

run() { # NAME ARGS... -> $tmp/NAME.{out,err,csv}, status in $status
  local name=$1
  shift
  status=0
  "$report" "$@" --csv "$tmp/$name.csv" >"$tmp/$name.out" 2>"$tmp/$name.err" || status=$?
}

col() { # LOG NAME -> the column number of NAME in LOG's header (plain, unquoted headers only)
  head -1 "$1" | tr , '\n' | grep -nxF -- "$2" | cut -d: -f1
}

# Energy (trapezoid over the time column) and mean of one column: "ENERGY MEAN".
hand() { # LOG COLUMN [FROM TO]
  awk -F, -v c="$2" -v lo="${3:--1e18}" -v hi="${4:-1e18}" '
    NR > 1 && $1 >= lo && $1 <= hi { if (n) e += ($1 - t) * ($c + p) / 2; t = $1; p = $c; s += $c; n++ }
    END { printf "%.6f %.6f\n", e, s / n }' "$1"
}

# A figure of the report's CSV: RAIL FIELD.
figure() { # CSV RAIL FIELD
  awk -F, -v r="$2" -v k="$3" 'NR == 1 { for (i = 1; i <= NF; i++) h[$i] = i; next } $1 == r { print $h[k] }' "$1"
}

near() { # A B RELATIVE: |A - B| <= RELATIVE * |B| + 1e-6
  [[ -n $1 && -n $2 ]] && awk -v a="$1" -v b="$2" -v r="$3" 'BEGIN { d = a - b; m = b < 0 ? -b : b
    exit !((d < 0 ? -d : d) <= r * m + 1e-6) }'
}

rails_of() { # LOG -> its rail labels
  head -1 "$1" | cut -d, -f4- | tr , '\n'
}

# --- the whole fixture: every rail's energy and mean against the CSV itself
run full "$fixture"
check "full: exit 0" test "$status" -eq 0
check "full: nothing on stderr" test ! -s "$tmp/full.err"
check "full: csv header" test "$(head -1 "$tmp/full.csv")" = "rail,avg_w,min_w,max_w,p95_w,energy_j,energy_mwh"
for log in max34417_raw max34417_b_raw; do
  for rail in $(rails_of "$fixture/$log"); do
    read -r energy mean < <(hand "$fixture/$log" "$(col "$fixture/$log" "$rail")")
    check "full: $rail energy $energy J" near "$(figure "$tmp/full.csv" "$rail" energy_j)" "$energy" 1e-6
    check "full: $rail energy in mWh" near "$(figure "$tmp/full.csv" "$rail" energy_mwh)" \
      "$(awk -v e="$energy" 'BEGIN { printf "%.6f", e / 3.6 }')" 1e-6
    check "full: $rail mean $mean W" near "$(figure "$tmp/full.csv" "$rail" avg_w)" "$mean" 1e-6
    c=$(col "$fixture/$log" "$rail")
    sorted=$(tail -n +2 "$fixture/$log" | cut -d, -f"$c" | sort -g)
    # Nearest rank: the smallest sample with at least 95 % of the samples at or below it.
    rank=$(awk -v n="$(wc -l <<<"$sorted")" 'BEGIN { r = int(0.95 * n); if (r < 0.95 * n) r++; print r }')
    got="$(figure "$tmp/full.csv" "$rail" min_w) $(figure "$tmp/full.csv" "$rail" max_w) $(figure "$tmp/full.csv" "$rail" p95_w)"
    check "full: $rail min, max, p95" test "$got" = \
      "$(sed -n 1p <<<"$sorted") $(sed -n '$p' <<<"$sorted") $(sed -n "${rank}p" <<<"$sorted")"
  done
done
check "full: vph_total = vph" test "$(figure "$tmp/full.csv" vph_total energy_j)" = "$(figure "$tmp/full.csv" vph energy_j)"

# The totals per cycle, the two device logs side by side (their lines share the cycle's time).
paste -d, "$fixture/max34417_raw" "$fixture/max34417_b_raw" | cut -d, -f1,4-7,11-14 >"$tmp/both"
check "totals: the two logs' times agree" test "$(cut -d, -f1 "$fixture/max34417_raw")" = "$(cut -d, -f1 "$fixture/max34417_b_raw")"
awk -F, -v OFS=, 'NR == 1 { print "time,cores,other"; next }
  { print $1, $3 + $4 + $6 + $8, $2 - ($3 + $4 + $5 + $6 + $7 + $8 + $9) }' "$tmp/both" >"$tmp/totals"
check "totals: columns as expected" test "$(head -1 "$tmp/both")" = "time,vph,apc0,apc1,ddr,nsp1,gpu,apc2_l3,display"
read -r energy mean < <(hand "$tmp/totals" 2)
check "totals: cores_total energy $energy J" near "$(figure "$tmp/full.csv" cores_total energy_j)" "$energy" 1e-6
check "totals: cores_total mean" near "$(figure "$tmp/full.csv" cores_total avg_w)" "$mean" 1e-6
read -r energy mean < <(hand "$tmp/totals" 3)
check "totals: vph_other energy $energy J" near "$(figure "$tmp/full.csv" vph_other energy_j)" "$energy" 1e-6
check "totals: vph_other mean" near "$(figure "$tmp/full.csv" vph_other avg_w)" "$mean" 1e-6
check "totals: the output says the backlight is missing" contains "$tmp/full.out" "do not carry the backlight"

# The run's figures.
sys=$fixture/system_raw
duration=$(awk -F, 'NR == 2 { a = $1 } END { printf "%.3f", $1 - a }' "$sys")
check "run: duration $duration s" contains "$tmp/full.out" "duration              $duration s"
drop=$(awk -F, -v c="$(col "$sys" battery_soc)" 'NR == 2 { a = $c } END { printf "%.1f", a - $c }' "$sys")
check "run: battery drop $drop %" contains "$tmp/full.out" "battery drop          $drop %"
throttled=$(awk -F, -v c="$(col "$sys" bcl0)" 'NR > 2 { s += $c / 100 * ($1 - t) } NR > 1 { t = $1 } END { printf "%.3f", s }' "$sys")
check "run: some throttling in the fixture" test "$throttled" != 0.000
check "run: BCL throttled time $throttled s" contains "$tmp/full.out" "BCL throttled time    $throttled s"
hottest=$(awk -F, -v c="$(col "$fixture/thermal_raw" gpu-thermal)" 'NR > 1 && $c > m { m = $c } END { printf "%.1f", m }' "$fixture/thermal_raw")
check "run: gpu-thermal at most $hottest °C" grep -qE "^ +gpu-thermal +$hottest\$" "$tmp/full.out"

# --- windows: two windows meeting at a sample add up to the whole; a window's own figures
middle=1197.877
check "window: $middle is a sample time" grep -q "^$middle," "$fixture/max34417_raw"
run early "$fixture" --to "$middle"
run late "$fixture" --from "$middle"
for rail in vph apc0 gpu display vph_other; do
  check "window: $rail energy of the parts add up" near \
    "$(awk -v a="$(figure "$tmp/early.csv" "$rail" energy_j)" -v b="$(figure "$tmp/late.csv" "$rail" energy_j)" 'BEGIN { printf "%.6f", a + b }')" \
    "$(figure "$tmp/full.csv" "$rail" energy_j)" 1e-6
done
t() { sed -n "s/.*BCL throttled time *\([0-9.]*\) s/\1/p" "$tmp/$1.out"; }
check "window: throttled time of the parts add up" near "$(awk -v a="$(t early)" -v b="$(t late)" 'BEGIN { print a + b }')" "$(t full)" 2e-3
run part "$fixture" --from 1190 --to 1200.5
read -r energy mean < <(hand "$fixture/max34417_raw" "$(col "$fixture/max34417_raw" apc1)" 1190 1200.5)
check "window: apc1 energy in [1190, 1200.5]" near "$(figure "$tmp/part.csv" apc1 energy_j)" "$energy" 1e-6
check "window: apc1 mean in [1190, 1200.5]" near "$(figure "$tmp/part.csv" apc1 avg_w)" "$mean" 1e-6
duration=$(awk -F, 'NR > 1 && $1 >= 1190 && $1 <= 1200.5 { if (!a) a = $1; b = $1 } END { printf "%.3f", b - a }' "$sys")
check "window: its duration $duration s" contains "$tmp/part.out" "duration              $duration s"
# Twenty samples: the nearest rank of the 95th percentile is exactly the 19th.
last=$(sed -n 21p "$fixture/max34417_raw" | cut -d, -f1)
run twenty "$fixture" --to "$last"
check "window: p95 of 20 samples is the 19th smallest" test "$(figure "$tmp/twenty.csv" ddr p95_w)" = \
  "$(sed -n 2,21p "$fixture/max34417_raw" | cut -d, -f"$(col "$fixture/max34417_raw" ddr)" | sort -g | sed -n 19p)"
run none "$fixture" --from 5000
check "empty window: exit 1" test "$status" -eq 1
check "empty window: says so" contains "$tmp/none.err" "within the window"

# --- the trace: JSON, one track per column, one event per column per line, the logs' own times
"$report" "$fixture" --trace "$tmp/trace.json" >/dev/null 2>"$tmp/trace.err"
awk -F, 'NR > 1 { printf "%d\n", $1 * 1000 + 0.5 }' "$fixture/max34417_raw" | sed 's/$/000/' >"$tmp/times"
python3 - "$tmp/trace.json" "$tmp/times" >"$tmp/trace.out" 2>&1 <<'PY'
import json, sys
events = json.load(open(sys.argv[1]))["traceEvents"]
counters = [e for e in events if e["ph"] == "C"]
tracks = {}
for e in counters:
    assert isinstance(e["ts"], int) and len(e["args"]) == 1, e
    tracks.setdefault((e["pid"], e["name"]), []).append(e["ts"])
print("tracks", len(tracks))
print("events", len(counters))
print("lengths", sorted({len(v) for v in tracks.values()}))
times = [int(line) for line in open(sys.argv[2])]
print("same times", all(v == times for v in tracks.values()))
print("names", " ".join(sorted(name for _, name in tracks)))
PY
# 8 rails + 3 totals + 16 system columns + 12 zones, each with 26 lines.
check "trace: parses, one track per column" contains "$tmp/trace.out" "tracks 39"
check "trace: one event per column per line" contains "$tmp/trace.out" "events 1014"
check "trace: 26 events on every track" contains "$tmp/trace.out" "lengths [26]"
check "trace: timestamps are the logs' times in µs" contains "$tmp/trace.out" "same times True"
check "trace: rails, totals, clocks, zones, battery, throttle" contains "$tmp/trace.out" \
  "names apc0 apc1 apc2_l3 battery battery_soc bcl0 bcl0_v bcl1_v camera-thermal cores_total cpu0-thermal"
check "trace: nothing on stderr" test ! -s "$tmp/trace.err"

# --- names with a comma or a quote are quoted fields; they read as the names they are
mkdir -p "$tmp/quoted"
cp "$fixture"/*_raw "$tmp/quoted/"
sed -i '1s/,gpu,/,"gpu""x",/' "$tmp/quoted/max34417_b_raw"
sed -i '1s/,gpu-thermal,/,"gpu,hot",/' "$tmp/quoted/thermal_raw"
run quoted "$tmp/quoted"
check "quoted: exit 0, nothing on stderr" test "$status" -eq 0 -a ! -s "$tmp/quoted.err"
check "quoted: the rail's name in the CSV, quoted" grep -q '^"gpu""x",' "$tmp/quoted.csv"
check "quoted: that rail's energy is gpu's" test "$(grep '^"gpu""x",' "$tmp/quoted.csv" | cut -d, -f2-)" = \
  "$(grep '^gpu,' "$tmp/full.csv" | cut -d, -f2-)"
check "quoted: the zone's name and temperature" grep -qE "^ +gpu,hot +$hottest\$" "$tmp/quoted.out"

# --- copied off a board: rotated parts (oldest .2.gz, then .1.gz, then the live log)
mkdir -p "$tmp/rotated"
cp "$fixture"/*_raw "$tmp/rotated/"
log=$tmp/rotated/max34417_raw
{ head -9 "$fixture/max34417_raw"; } | gzip >"$log.2.gz"
{ head -1 "$fixture/max34417_raw"; sed -n 10,18p "$fixture/max34417_raw"; } | gzip >"$log.1.gz"
{ head -1 "$fixture/max34417_raw"; sed -n '19,$p' "$fixture/max34417_raw"; } >"$log"
run rotated "$tmp/rotated"
check "rotated: exit 0, nothing on stderr" test "$status" -eq 0 -a ! -s "$tmp/rotated.err"
check "rotated: the same figures as the whole log" test "$(grep -E '^(vph|apc0|apc1|ddr),' "$tmp/rotated.csv")" = \
  "$(grep -E '^(vph|apc0|apc1|ddr),' "$tmp/full.csv")"

# The live log lost its header (the daemon appended before logrotate copied it): skipped, said so.
tail -n +2 "$fixture/system_raw" >"$tmp/rotated/system_raw"
run headerless "$tmp/rotated"
check "headerless: exit 0" test "$status" -eq 0
check "headerless: warned" contains "$tmp/headerless.err" "power-report: system_raw has no header line"
check "headerless: no battery figure" bash -c "! grep -q 'battery drop' '$tmp/headerless.out'"
check "headerless: the rails still reported" grep -q '^vph,' "$tmp/headerless.csv"

# --- two devices that report the same name share one log, a line each per cycle; a device without
# a snapshot time this cycle leaves atime and acc empty (the line still counts)
mkdir -p "$tmp/shared"
cp "$fixture/system_raw" "$fixture/thermal_raw" "$tmp/shared/"
paste -d'\n' "$fixture/max34417_raw" "$fixture/max34417_b_raw" | sed '2d; 3s/,[^,]*,[^,]*,/,,,/' >"$tmp/shared/max34417_raw"
check "shared: the second header is gone, a line lost its snapshot" test "$(sed -n 2p "$tmp/shared/max34417_raw" | cut -c1-12)" = "1185.878,,,7"
run shared "$tmp/shared"
check "shared: exit 0, nothing on stderr" test "$status" -eq 0 -a ! -s "$tmp/shared.err"
check "shared: the first device's vph" test "$(grep '^max34417:vph,' "$tmp/shared.csv" | cut -d, -f2-)" = \
  "$(grep '^vph,' "$tmp/full.csv" | cut -d, -f2-)"
check "shared: the second device's first rail (nsp1)" test "$(grep '^max34417#2:vph,' "$tmp/shared.csv" | cut -d, -f2-)" = \
  "$(grep '^nsp1,' "$tmp/full.csv" | cut -d, -f2-)"

# --- usage and missing logs
status=0
"$report" >/dev/null 2>"$tmp/usage.err" || status=$?
check "no arguments: exit 2 with the usage" test "$status" -eq 2 -a -n "$(grep 'usage: power-report DIR' "$tmp/usage.err")"
run missing "$tmp/does-not-exist"
check "missing dir: exit 1, said" test "$status" -eq 1 -a -n "$(grep 'does-not-exist: no such directory' "$tmp/missing.err")"
mkdir -p "$tmp/nothing"
run nothing "$tmp/nothing"
check "no logs: exit 1" test "$status" -eq 1

finish
