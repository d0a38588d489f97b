#!/usr/bin/env bash
# A short run of scripts/demo, as a user starts it, into a temporary output directory; then checks of
# the value tree, the raw logs and the plot it leaves there.
#
#   demo_test.sh SOURCE_DIR BUILD_DIR
set -uo pipefail
src=$1
build=$2
. "$src/tests/scripts/check.sh"

# The fake board needs a private mount namespace: root's own, or an ordinary user's user namespace.
read -r -a emulator <<<"${VPM_EMULATOR:-}"
if [[ ${CI:-} != true ]] && ! "${emulator[@]}" "$build/tests/fakeboard" -- true 2>/dev/null; then
  echo "skipped: the fake board cannot make a private mount namespace here"
  exit 77
fi

make_scratch
out=$tmp/out
seconds=3

started=$(date +%s.%N)
status=0
(cd "$tmp" && DEMO_OUT=$out BUILD_DIR=$build "$src/scripts/demo" "$seconds" >"$tmp/stdout" 2>"$tmp/stderr") ||
  status=$?
elapsed=$(awk -v a="$started" -v b="$(date +%s.%N)" 'BEGIN { printf "%.1f", b - a }')
echo "demo $seconds s took $elapsed s (exit $status)"
if ((status != 0)); then
  cat "$tmp/stdout" "$tmp/stderr" >&2
  fail "demo exit status $status"
  finish
fi
check "no demo-out in the working directory" test ! -e "$tmp/demo-out"

# What the user sees.
stdout=$tmp/stdout
check "table: rails" contains "$stdout" "apc2_l3          max34417_b"
check "table: totals" contains "$stdout" "vph_total"
check "table: temperatures" contains "$stdout" "gpu-thermal"
check "plot path printed" contains "$stdout" "plot: $out/raw-logs.png"
check "nothing on stderr" test ! -s "$tmp/stderr"
check "it ends with the command to watch the rails live" \
  test "$(tail -n 2 "$stdout")" = "$(printf 'watch the rails live on the simulated board (q quits):\n  %s --live' "$src/scripts/demo")"

# The daemon's own output: started, stopped by SIGTERM, no write errors.
check "daemon started" contains "$out/daemon.log" "vantrel power monitor starting..."
check "daemon quit on SIGTERM" contains "$out/daemon.log" "vantrel power monitor quitting..."
check "daemon reported no error" bash -c "! grep -q Error '$out/daemon.log'"

# The value tree.
value() { head -c 64 "$out/$1"; }
is_watts() { [[ $(cat "$out/$1") =~ ^-?[0-9]+\.[0-9]{6}$ ]]; }
rails="vph apc0 apc1 ddr nsp1 gpu apc2_l3 display"
for f in $rails vph_total cores_total vph_other bl_power; do
  check "power/$f holds one number in watts" is_watts "power/$f"
done
for f in $rails; do
  check "voltage/v_$f holds one number in volts" is_watts "voltage/v_$f"
done
for d in max34417 max34417_b; do
  check "accumulator/$d is a count" bash -c "[[ \$(cat '$out/accumulator/$d') =~ ^[0-9]+$ ]]"
  check "timestamp/$d is seconds" bash -c "[[ \$(cat '$out/timestamp/$d') =~ ^[0-9]+\.[0-9]{4}$ ]]"
done
# The totals agree with the rails, and the simulated input rail carries the others.
sum() { awk -v root="$out/power" 'BEGIN { for (i = 1; i < ARGC; i++) { getline v < (root "/" ARGV[i]); s += v } printf "%.6f", s }' "$@"; }
near() { awk -v a="$1" -v b="$2" 'BEGIN { d = a - b; exit !(d < 2e-6 && d > -2e-6) }'; }
others=$(sum apc0 apc1 ddr nsp1 gpu apc2_l3 display)
check "cores_total = apc0 + apc1 + apc2_l3 + nsp1" near "$(value power/cores_total)" "$(sum apc0 apc1 apc2_l3 nsp1)"
check "vph_total = vph" near "$(value power/vph_total)" "$(value power/vph)"
check "vph_other = vph - the other rails" near "$(value power/vph_other)" \
  "$(awk -v v="$(value power/vph)" -v o="$others" 'BEGIN { printf "%.6f", v - o }')"
check "vph carries the other rails" awk -v v="$(value power/vph)" -v o="$others" 'BEGIN { exit !(v >= o && v < 2 * o) }'
check "bl_power = 120 steps of the backlight" near "$(value power/bl_power)" 0.653880

# The raw logs: headers, whole lines, one per cycle, values that move.
logs=$out/power
check "device log header" test "$(head -1 "$logs/max34417_raw")" = "time,atime,acc,vph,apc0,apc1,ddr"
check "second device log header" test "$(head -1 "$logs/max34417_b_raw")" = "time,atime,acc,nsp1,gpu,apc2_l3,display"
check "system log header" test "$(head -1 "$logs/system_raw")" = \
  "time,gpufreq,cpufreq0,cpufreq1,cpufreq2,cpufreq3,cpufreq4,cpufreq5,cpufreq6,cpufreq7,perf_now,battery_soc,fan_rpm,fan_pwm,bcl0,bcl0_v,bcl1_v"
check "thermal log header" test "$(head -1 "$logs/thermal_raw")" = \
  "time,cpu0-thermal,cpu1-thermal,modem-thermal,camera-thermal,cpu2-thermal,cpu3-thermal,gpu-thermal,nsp-thermal,ddr-thermal,pmic-thermal,battery,skin-therm"
cycles=$(($(wc -l <"$logs/system_raw") - 1))
check "one line per second of the run ($cycles)" test "$cycles" -ge "$seconds" -a "$cycles" -le $((seconds + 2))
for log in max34417_raw max34417_b_raw system_raw thermal_raw; do
  check "$log: $cycles data lines" test "$(($(wc -l <"$logs/$log") - 1))" -eq "$cycles"
  check "$log: every line whole and numeric, times rising" awk -F, '
    NR == 1 { n = NF; next }
    NF != n { exit 1 }
    { for (i = 1; i <= NF; i++) if ($i !~ /^-?[0-9]+(\.[0-9]+)?$/) exit 1
      if (NR > 2 && $1 <= last) exit 1; last = $1 }' "$logs/$log"
done
check "rails change from cycle to cycle" awk -F, 'NR == 2 { first = $4 $5 $6 $7 } END { exit !(first != $4 $5 $6 $7) }' \
  "$logs/max34417_raw"
check "temperatures change" awk -F, 'NR == 2 { first = $8 } END { exit !(first != $8) }' "$logs/thermal_raw"
check "battery never rises, stays near its start" awk -F, 'NR > 1 { if (NR > 2 && $12 > last) exit 1; last = $12 }
  END { exit !(last > 80 && last <= 87.5) }' "$logs/system_raw"
check "clocks and throttling in range" awk -F, 'NR > 1 { if ($2 < 1e8 || $3 < 1e5 || $15 < 0 || $15 > 100) exit 1 }' \
  "$logs/system_raw"

# The pictures: the raw logs' and, beside it, the profile's.
check "raw-logs.png is a PNG" is_png "$out/raw-logs.png" 40000
check "profile.png is a PNG" is_png "$out/profile.png" 20000

# The energy report, then the profile it ends with. The daemon runs with --energy, so each rail's
# energy is its exact counter's growth over the run (the last line of energy_raw; the first is all 0),
# and the trapezoid of the same samples, printed beside it for the bursty rail, is another figure.
check "report, then the profile, at the end" awk '/BCL throttled time/ { r = NR } /the power profile of/ { p = NR }
  /peak interval mean/ { k = NR } END { exit !(r && p > r && k > p && NR - r < 60) }' "$stdout"
check "profile: the plot's path" contains "$stdout" "profile plot: $out/profile.png"
check "report: rails and totals" bash -c "grep -qE '^  apc2_l3 ' '$stdout' && grep -qE '^  vph_other ' '$stdout'"
check "report: the exact method" contains "$stdout" "energy: accumulated (exact)"
"$src/scripts/power-report" "$out" --csv "$tmp/report.csv" >/dev/null
for c in 2 3 4 5 6 7 8 9; do
  rail=$(head -1 "$logs/energy_raw" | cut -d, -f$c)
  counter=$(tail -n 1 "$logs/energy_raw" | cut -d, -f$c)
  check "report: $rail energy is its counter's $counter J" awk -F, -v r="$rail" -v e="$counter" \
    '$1 == r { found = 1; d = $6 - e; if (d < 0) d = -d } END { exit !(found && e > 0 && d <= 1e-6) }' "$tmp/report.csv"
done
line=$(grep -E '^  nsp1, the bursty rail: ' "$stdout")
exact=$(awk -F, '$1 == "nsp1" { print $6 }' "$tmp/report.csv")
check "report: nsp1's exact and trapezoid energies compared ($line)" \
  awk -v l="$line" -v e="$exact" 'BEGIN { n = split(l, w, " "); ok = (w[5] + 0 == sprintf("%.3f", e) + 0)
    for (i = 1; i <= n; i++) if (w[i] == "samples:") t = w[i + 1]
    exit !(ok && t != "" && t + 0 != w[5] + 0) }'

# That command, in a terminal: the rails live, q ends it with status 0 and stops its daemon.
if command -v tmux >/dev/null; then
  sock=$tmp/tmux.sock
  tmux -u -S "$sock" -f /dev/null new-session -d -s live -x 80 -y 24 \
    "cd '$tmp' && LANG=C.UTF-8 BUILD_DIR='$build' '$src/scripts/demo' --live; echo exit=\$?; sleep 30"
  for _ in $(seq 100); do
    tmux -S "$sock" capture-pane -p -t live >"$tmp/live"
    grep -qE '^vph +max34417 +[0-9.]+ W' "$tmp/live" && break
    sleep 0.1
  done
  check "--live: the rails on screen" grep -qE '^vph +max34417 +[0-9.]+ W' "$tmp/live"
  tmux -S "$sock" send-keys -t live q
  for _ in $(seq 50); do
    tmux -S "$sock" capture-pane -p -t live >"$tmp/live"
    grep -q '^exit=' "$tmp/live" && break
    sleep 0.1
  done
  check "--live: q ends it with status 0" grep -q '^exit=0$' "$tmp/live"
  tmux -S "$sock" kill-server
else
  fail "tmux is missing (scripts/lib/deps.sh, group top)"
fi

finish
