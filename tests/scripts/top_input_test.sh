#!/usr/bin/env bash
# vantrel-top on trees made by hand, as a damaged or hostile tree can be: junk, empty and half-written
# value files, links, FIFOs, a cut snapshot and cut logs, unread zones and battery, a junk metrics
# file, files rewritten with junk while it reads them; its command line and its errors. Never a
# traceback, never a hang, an unreadable figure shown as unknown.
#
#   top_input_test.sh SOURCE_DIR [TOOL]     (TOOL defaults to SOURCE_DIR/scripts/vantrel-top)
set -uo pipefail
src=$1
top=${2:-$src/scripts/vantrel-top}
. "$src/tests/scripts/check.sh"
export LANG=C.UTF-8 LC_ALL=C.UTF-8
make_scratch
me=$(basename "$top")

run() { # NAME ARGS...: stdout, stderr and status of the tool, stopped after 10 s
  local name=$1
  shift
  status=0
  timeout 10 "$top" "$@" >"$tmp/$name.out" 2>"$tmp/$name.err" </dev/null || status=$?
}
no_traceback() { ! grep -q Traceback "$tmp/$1.out" "$tmp/$1.err"; }
one_line() { [[ $(wc -l <"$tmp/$1.err") -eq 1 ]] && grep -q "^$me: " "$tmp/$1.err"; }

# --- the command line
run help --help
check "--help: exit 0" test "$status" -eq 0
check "--help: usage under its own name" grep -q "^usage: $me \[--root DIR\]" "$tmp/help.out"
run bad --frobnicate
check "bad option: exit 2" test "$status" -eq 2
check "bad option: one line" one_line bad
run fast --interval 0.1 --root "$tmp"
check "--interval 0.1: refused (exit 2)" test "$status" -eq 2
check "--interval 0.1: one line" one_line fast
run word --interval fast --root "$tmp"
check "--interval fast: refused, one line" one_line word

# --- no tree: one line naming the directory and how to start the daemon, status 1
for kind in missing file empty; do
  case $kind in
  missing) root=$tmp/none ;;
  file) root=$tmp/a-file && touch "$root" ;;
  empty) root=$tmp/empty && mkdir "$root" ;;
  esac
  for mode in --once --stream ""; do
    run notree --root "$root" $mode
    check "no tree ($kind, ${mode:-view}): exit 1" test "$status" -eq 1
    check "no tree ($kind, ${mode:-view}): one line" one_line notree
    check "no tree ($kind, ${mode:-view}): names $root and how to start the daemon" \
      grep -qF "no value tree at $root (no power/ there): start the daemon (systemctl start vantrel-power-monitor" "$tmp/notree.err"
  done
done

# --- a damaged tree
t=$tmp/tree
mkdir -p "$t/power" "$t/voltage" "$t/timestamp" "$t/energy" "$t/accumulator"
printf '1.500000\n' >"$t/power/vph"
printf 'abc\n' >"$t/power/apc0"        # junk
: >"$t/power/ddr"                      # empty, twice
printf '1.2' >"$t/power/gpu"           # half-written: no newline
head -c 1000000 /dev/zero | tr '\0' 7 >"$t/power/big"
head -c 512 /dev/urandom >"$t/power/noise"
mkfifo "$t/power/fifo"                 # would block a plain open
ln -s /etc/passwd "$t/power/link"
printf 'nan\n' >"$t/power/nsp1"
printf '1e999\n' >"$t/power/apc1"
printf '1.500000\n' >"$t/power/vph_total"
printf 'x\n' >"$t/power/cores_total"
printf '3.8\n' >"$t/voltage/v_vph"
printf 'volts\n' >"$t/voltage/v_ddr"
printf '100.0000\n' >"$t/timestamp/max34417"   # long ago on this clock: stale
printf 'junk\n' >"$t/timestamp/other"
printf 'vantrel-energy,1\npid,12\nstart,1.0\nperiod_ms,500\nchannel,0,max34417,1,vph,2.5,0\nchannel,0,max34417,2,apc0,x' \
  >"$t/energy/snapshot.csv"               # cut short in its last line
printf 'time,atime,acc,vph,apc0,"d,d r",gpu\n1.0,1.0,5,1.5,0.5,0.1,0.2\n2.0,2.0,6,1.5,0.5,0.1' >"$t/power/max34417_raw"
printf 'time,gpufreq,cpufreq0,cpufreq1,perf_now,battery_soc,fan_rpm,fan_pwm,bcl0,bcl0_v,bcl1_v\n' >"$t/power/system_raw"
printf '1.0,587000000,1804800,0,12.3,0.0,2400,128,0.00,3200.00,2800.00\n2.0,5870' >>"$t/power/system_raw"
printf 'time,zone-a,zone b,"zone,c"\n1.0,0.000,41.500,39.000\n2.0,0.0' >"$t/power/thermal_raw"
mkfifo "$t/power/fifo_raw"
printf '\377\376junk\n' >"$t/power/energy_raw"
find "$t" -exec touch -h -d '-30 seconds' {} +   # one cycle, long ago

run damaged --root "$t" --once
check "damaged: exit 0" test "$status" -eq 0
check "damaged: no traceback" no_traceback damaged
check "damaged: nothing on stderr" test ! -s "$tmp/damaged.err"
rail() { grep -E "^$1 " "$tmp/damaged.out"; }
check "damaged: a good rail shown" bash -c "rail() { grep -E \"^\$1 \" '$tmp/damaged.out'; }; rail vph | grep -q ' 1.500000 W'"
for f in apc0 ddr gpu noise nsp1 apc1; do
  check "damaged: $f shown as unknown" grep -qE "^$f +(max34417 +)?unknown W" "$tmp/damaged.out"
done
check "damaged: a number too long for a value file is unknown" grep -qE '^big +unknown W' "$tmp/damaged.out"
check "damaged: no FIFO or link read" bash -c "! grep -qE '^(fifo|link) |root:' '$tmp/damaged.out'"
check "damaged: devices from the cut log's header" grep -qE '^apc0 +max34417 ' "$tmp/damaged.out"
check "damaged: the junk total unknown" grep -q 'cores_total unknown W' "$tmp/damaged.out"
check "damaged: the voltages, junk unknown" grep -qE 'v_ddr unknown V +v_vph 3.800 V' "$tmp/damaged.out"
check "damaged: stale, in words" grep -q '^STALE: nothing was updated for' "$tmp/damaged.out"
# The daemon replaces the snapshot whole, so a cut one is not one: nothing of it is taken.
check "damaged: no period from the cut snapshot" bash -c "! grep -q '(snapshot)' '$tmp/damaged.out'"
check "damaged: no energy from the cut snapshot" bash -c "! grep -qE '^vph .* 2.500 J$' '$tmp/damaged.out'"
check "damaged: the last whole log lines: battery 0 is unknown, never 0" grep -qE '^battery +unknown +fan 2400 rpm' "$tmp/damaged.out"
check "damaged: clocks, an unread CPU unknown" grep -qE '^clocks +cpu0 1805 MHz +cpu1 unknown +gpu 587 MHz' "$tmp/damaged.out"
check "damaged: zones, an unread zone unknown" grep -qE '^hottest +zone b 41.5°C +zone,c 39.0°C +1 zone\(s\) unknown' "$tmp/damaged.out"

run line --root "$t" --stream --once
check "damaged --stream: exit 0, no traceback" bash -c "[[ $status -eq 0 ]] && ! grep -q Traceback '$tmp/line.out' '$tmp/line.err'"
check "damaged --stream: unknowns as ?, the zone's blank as _, stale" \
  grep -qE '^time=100.0000 age=[0-9.]+ vph_total=1.500000 .*apc0=\? .*vph=1.500000 hottest=zone_b:41.5 battery=\? stale$' "$tmp/line.out"

# Platform figures from a junk metrics file, without logs.
m=$tmp/tree2
mkdir -p "$m/power" "$m/timestamp"
printf '2.000000\n' >"$m/power/gpu"
printf '%s\n' '# HELP x' 'garbage line {' 'vantrel_rail_power_watts{device="max34417_b",rail="GPU"} 2' \
  'vantrel_thermal_zone_celsius{zone="q\"z"} 44.5' 'vantrel_thermal_zone_celsius{zone="dead"} 0' \
  'vantrel_battery_charge_ratio 0' 'vantrel_cpu_frequency_hertz{cpu="0"} 1e9' 'vantrel_fan_speed_rpm NaN' \
  'vantrel_bcl_throttle_ratio{' >"$tmp/m.prom"
run metrics --root "$m" --metrics "$tmp/m.prom" --once
check "metrics: exit 0, no traceback" bash -c "[[ $status -eq 0 ]] && ! grep -q Traceback '$tmp/metrics.out' '$tmp/metrics.err'"
check "metrics: the device from the metrics" grep -qE '^gpu +max34417_b +2.000000 W' "$tmp/metrics.out"
check "metrics: zones, the unread one unknown" grep -qE '^hottest +q"z 44.5°C +1 zone\(s\) unknown' "$tmp/metrics.out"
check "metrics: battery 0 unknown, clocks" bash -c "grep -qE '^battery +unknown' '$tmp/metrics.out' && grep -qE '^clocks +cpu0 1000 MHz' '$tmp/metrics.out'"
check "metrics: no latch time said in words" grep -q '^no latch time in timestamp/ yet' "$tmp/metrics.out"
run nometrics --root "$m" --metrics "$tmp/none.prom" --once
check "a missing metrics file: exit 1, one line" bash -c "[[ $status -eq 1 ]] && grep -qF 'none.prom: no such file' '$tmp/nometrics.err'"

# Files rewritten with junk, emptied, removed and put back while the stream reads them every 0.25 s.
( end=$((SECONDS + 4))
  while ((SECONDS < end)); do
    for f in vph apc0 vph_total; do head -c $((RANDOM % 24)) /dev/urandom >"$t/power/$f"; done
    head -c $((RANDOM % 300)) /dev/urandom >"$t/energy/snapshot.csv"
    printf 'time,zone\n1.0,4' >"$t/power/thermal_raw"
    rm -rf "$t/timestamp"; mkdir "$t/timestamp"; printf '%s\n' "$RANDOM.5" >"$t/timestamp/max34417"
    rm -f "$t/power/system_raw"
    sleep 0.01
  done ) &
churn=$!
run churn --root "$t" --stream --interval 0.25
wait "$churn"
check "churning tree: ran until stopped (status 124 from timeout)" test "$status" -eq 124
check "churning tree: no traceback, nothing on stderr" bash -c "! grep -q Traceback '$tmp/churn.out' && test ! -s '$tmp/churn.err'"
check "churning tree: a line every 0.25 s" test "$(grep -c '^time=' "$tmp/churn.out")" -ge 30

# The tree removed under the running stream (the service removes it when it stops): it goes on.
mkdir -p "$tmp/gone/power"
printf '1.000000\n' >"$tmp/gone/power/vph"
( sleep 1; rm -rf "$tmp/gone" ) &
timeout 2.5 "$top" --root "$tmp/gone" --stream --interval 0.25 >"$tmp/gone.out" 2>&1
check "tree removed: the stream goes on, saying notree" bash -c "grep -q ' vph=1.000000 ' '$tmp/gone.out' && tail -n 1 '$tmp/gone.out' | grep -q ' stale notree$'"

# The view in tmux on the damaged tree: no traceback, the notice, q.
if command -v tmux >/dev/null; then
  sock=$tmp/tmux.sock
  tmux -u -S "$sock" -f /dev/null new-session -d -s v -x 80 -y 24 \
    "'$top' --root '$t' --metrics '$tmp/m.prom'; echo exit=\$?; sleep 30"
  sleep 1.5
  tmux -S "$sock" capture-pane -p -t v >"$tmp/view"
  tmux -S "$sock" send-keys -t v q
  sleep 0.5
  tmux -S "$sock" capture-pane -p -t v >"$tmp/view-after"
  tmux -S "$sock" kill-server
  check "view on junk: shown, stale in words" grep -q '^STALE: ' "$tmp/view"
  check "view on junk: q, status 0, no traceback" bash -c "grep -q '^exit=0' '$tmp/view-after' && ! grep -q Traceback '$tmp/view-after'"
else
  fail "tmux is missing (scripts/lib/deps.sh, group top)"
fi
finish
