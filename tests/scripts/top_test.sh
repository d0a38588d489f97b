#!/usr/bin/env bash
# vantrel-top against the real daemon (--raw --energy) on the simulated reference board: the view in
# tmux (the rails on screen against the tree, staleness after a SIGTERM and recovery after a restart,
# resizes, q), --once and --stream against the tree, and the view's own CPU time.
#
#   top_test.sh SOURCE_DIR BUILD_DIR [TOOL]     (TOOL defaults to SOURCE_DIR/scripts/vantrel-top)
set -uo pipefail
src=$1
build=$2
. "$src/tests/scripts/check.sh"

if [[ ${3:-} != --inside ]]; then
  top=${3:-$src/scripts/vantrel-top}
  read -r -a emulator <<<"${VPM_EMULATOR:-}"
  if [[ ${CI:-} != true ]] && ! "${emulator[@]}" "$build/tests/fakeboard" -- true 2>/dev/null; then
    echo "skipped: the fake board cannot make a private mount namespace here"
    exit 77
  fi
  command -v tmux >/dev/null || { echo "FAIL: tmux is missing (scripts/lib/deps.sh, group top)" >&2; exit 1; }
  make_scratch
  "${emulator[@]}" "$build/tests/fakeboard" --board reference --simulate -- \
    bash "$0" "$src" "$build" --inside "$top" "$tmp"
  exit
fi

# --- inside the fake board's namespace
top=$4
tmp=$5
read -r -a emulator <<<"${VPM_EMULATOR:-}"
daemon=$build/src/vantrel_power_monitor
tree=/run/power-monitor
export LANG=C.UTF-8 LC_ALL=C.UTF-8
unset PYTHONUNBUFFERED # the stream must flush by itself
sock=$tmp/tmux.sock
tmux() { command tmux -u -S "$sock" -f /dev/null "$@"; }
daemon_pid=
cleanup() {
  tmux kill-server 2>/dev/null
  [[ -z $daemon_pid ]] || kill -KILL "$daemon_pid" 2>/dev/null
}
trap cleanup EXIT

start_daemon() {
  "${emulator[@]}" "$daemon" --raw --energy >>"$tmp/daemon.log" 2>&1 &
  daemon_pid=$!
}
# Until the daemon has written COUNT data lines to system_raw since its start (the first cycle
# comes 1 s after start).
wait_cycles() { # COUNT
  local i
  for i in $(seq 100); do
    [[ -s $tree/energy/snapshot.csv ]] && (($(wc -l <"$tree/power/system_raw") > $1)) && return 0
    sleep 0.1
  done
  return 1
}
# The tree as it was while the daemon was held (freeze), and a value of it as written.
freeze() { rm -rf "$tmp/frozen" && cp -a "$tree" "$tmp/frozen"; }
value() { cat "$tmp/frozen/$1"; }
newest_latch() { sort -g "${1:-$tmp/frozen}"/timestamp/* | tail -n 1; }
rails_of_tree() { # the live rails: every power file but the logs and totals (the ghost is left out below)
  local f
  for f in "$tmp/frozen"/power/*; do
    f=${f##*/}
    case $f in *_raw | vph_total | cores_total | vph_other | bl_power | ghost) ;; *) echo "$f" ;; esac
  done
}
screen() { tmux capture-pane -p -t view; }
# The number printed before "W" on the screen line of rail NAME.
on_screen() { # FILE NAME
  awk -v r="$2" '$1 == r { for (i = 2; i < NF; i++) if ($(i + 1) == "W") { print $i; exit } }' "$1"
}
until_screen() { # SECONDS PATTERN: polls the screen; the time it took in $took
  local start now
  start=$(date +%s.%N)
  while :; do
    screen | grep -qE -- "$2" && break
    now=$(date +%s.%N)
    awk -v a="$start" -v b="$now" -v l="$1" 'BEGIN { exit !(b - a > l) }' && return 1
    sleep 0.1
  done
  took=$(awk -v a="$start" -v b="$(date +%s.%N)" 'BEGIN { printf "%.2f", b - a }')
}

start_daemon
check "the daemon ran two cycles" wait_cycles 2
# A rail that is gone: its file stays in the tree, rewritten long ago.
echo 9.999999 >"$tree/power/ghost"
touch -d '-10 seconds' "$tree/power/ghost"

# --- --once and --stream against the tree, the daemon held between two cycles
kill -STOP "$daemon_pid"
sleep 0.1
"$top" --once >"$tmp/once" 2>"$tmp/once.err"
check "--once: exit 0" test $? -eq 0
check "--once: nothing on stderr" test ! -s "$tmp/once.err"
"$top" --stream --once >"$tmp/line" 2>&1
check "--stream --once: exit 0" test $? -eq 0
freeze
kill -CONT "$daemon_pid"
rails=$(rails_of_tree)
check "the board has its eight rails" test "$(wc -w <<<"$rails")" -eq 8
for rail in $rails; do
  check "--once: $rail = power/$rail" test "$(on_screen "$tmp/once" "$rail")" = "$(value "power/$rail")"
  check "--stream: $rail = power/$rail" grep -q " $rail=$(value "power/$rail")\( \|$\)" "$tmp/line"
  energy=$(awk -F, -v r="$rail" '$1 == "channel" && $5 == r { printf "%.3f", $6 }' "$tmp/frozen/energy/snapshot.csv")
  check "--once: $rail energy $energy J from the snapshot" \
    awk -v r="$rail" -v e="$energy" '$1 == r && $(NF - 1) == e && $NF == "J" { found = 1 } END { exit !found }' "$tmp/once"
done
check "--once: the gone rail is not shown" bash -c "! grep -q '^ghost ' '$tmp/once'"
check "--stream: the gone rail is not in the line" bash -c "! grep -q ' ghost=' '$tmp/line'"
check "--once: its devices from the logs' headers" grep -qE '^apc2_l3 +max34417_b +' "$tmp/once"
for total in vph_total cores_total vph_other bl_power; do
  check "--once: $total = power/$total" grep -qF "$total $(value "power/$total") W" "$tmp/once"
done
check "--stream: vph_total" grep -q " vph_total=$(value power/vph_total) " "$tmp/line"
check "--stream: time is the newest latch" grep -q "^time=$(newest_latch) age=" "$tmp/line"
battery=$(tail -n 1 "$tmp/frozen/power/system_raw" | cut -d, -f12)
check "--stream: battery from system_raw ($battery)" grep -q " battery=$battery$" "$tmp/line"
check "--once: battery from system_raw" grep -qE "^battery +$battery %" "$tmp/once"
hottest=$(awk -F, 'NR == 1 { for (i = 2; i <= NF; i++) z[i] = $i; next }
  END { for (i = 2; i <= NF; i++) if ($i > m || i == 2) { m = $i; n = z[i] } printf "%s:%.1f", n, m }' "$tmp/frozen/power/thermal_raw")
check "--stream: the hottest zone from thermal_raw ($hottest)" grep -q " hottest=$hottest " "$tmp/line"
check "--once: the hottest zone first" grep -qE "^hottest +${hottest%%:*} ${hottest##*:}°C" "$tmp/once"
check "--once: the period from the energy snapshot" grep -q "period 1.000 s (snapshot)" "$tmp/once"
check "--once: voltages" grep -qF "v_vph $(printf '%.3f' "$(value voltage/v_vph)") V" "$tmp/once"

# The stream as a pipe sees it: a line a period, each as it comes (a block-buffered stream would
# hand over all three at once, when it ends).
{ timeout 10 "$top" --stream || true; } | {
  read -r first && date +%s.%N >"$tmp/first-line-at"
  echo "$first" >"$tmp/stream"
  head -n 2 >>"$tmp/stream" && date +%s.%N >"$tmp/third-line-at"
}
arrived() { [[ -s $tmp/third-line-at ]] && awk -v a="$(cat "$tmp/first-line-at")" -v b="$(cat "$tmp/third-line-at")" 'BEGIN { exit !(b - a >= 1.0) }'; }
check "--stream: each line reaches the pipe as it comes, two periods between the first and the third" arrived
# Each line shows the latest latch when it is written: never an older one, and newer ones as the daemon
# runs (on a busy machine a line can come just before a late cycle, so not always a new one).
check "--stream: three lines, the latch times moving on" \
  awk '{ sub(/^time=/, "", $1); if (NR > 1 && $1 < t) exit 1; t = $1; if (NR == 1) first = $1 }
    END { exit !(NR == 3 && t >= first + 1.0) }' "$tmp/stream"
check "--stream: every line has its fields" \
  awk '!/^time=[0-9.]+ age=[0-9.]+ vph_total=[0-9.]+ ([a-z0-9_]+=[0-9.]+ )+hottest=[^ ]+:[0-9.]+ battery=[0-9.]+$/ { bad = 1 } END { exit bad }' "$tmp/stream"

# --- the view in tmux, at 80x24
tmux new-session -d -s view -x 80 -y 24 "bash --norc --noprofile"
tmux send-keys -t view "stty -a >'$tmp/stty.before'; '$top'; echo \"exit=\$?\"; stty -a >'$tmp/stty.after'" Enter
check "view: shows the rails" until_screen 5 '^RAIL +DEVICE +POWER'
check "view: in the alternate screen" test "$(tmux display -p -t view '#{alternate_on}')" = 1
view_pid=$(pgrep -P "$(tmux display -p -t view '#{pane_pid}')" | head -n 1)

# The rails on screen are the tree's values of the moment: the daemon is held still across a refresh.
kill -STOP "$daemon_pid"
sleep 1.3
screen >"$tmp/view"
freeze
kill -CONT "$daemon_pid"
for rail in $rails; do
  check "view: $rail = power/$rail" test "$(on_screen "$tmp/view" "$rail")" = "$(value "power/$rail")"
done
check "view: the latest latch" grep -q "latched at $(newest_latch) s" "$tmp/view"
check "view: the gone rail is not shown" bash -c "! grep -q '^ghost ' '$tmp/view'"
check "view: totals" grep -qF "vph_total $(value power/vph_total) W" "$tmp/view"
check "view: sorted by power" bash -c "[[ \$(awk '\$1 != \"RAIL\" && \$(NF) == \"J\" { print \$1; exit }' '$tmp/view') == vph ]]"
check "view: every row fits 80 columns" fits_columns "$tmp/view" 80
check "view: the platform" grep -qE '^battery +[0-9.]+ %' "$tmp/view"
check "view: 24 lines used" test "$(wc -l <"$tmp/view")" -eq 24
tmux send-keys -t view s
check "view: s sorts by name" until_screen 2 'q quit  s sort by power'
screen | awk '$NF == "J" { print $1 }' >"$tmp/order"
check "view: rails by name" diff -q "$tmp/order" <(sort "$tmp/order")

# Its own CPU time over 10 s at the default refresh (1 s), in clock ticks (utime + stime).
ticks() { awk '{ print $14 + $15 }' "/proc/$view_pid/stat"; }
t0=$(ticks) w0=$(date +%s.%N)
sleep 10
t1=$(ticks) w1=$(date +%s.%N)
cpu=$(awk -v t="$((t1 - t0))" -v hz="$(getconf CLK_TCK)" -v a="$w0" -v b="$w1" 'BEGIN { printf "%.2f", 100 * t / hz / (b - a) }')
# Reported, not judged: what a slow or shared machine makes of it says nothing about the view.
echo "vantrel-top CPU: $cpu % of one core over 10 s at a 1 s refresh ($((t1 - t0)) ticks)"

# A resize to 40x10 and back; smaller still, it says so.
tmux resize-window -t view -x 40 -y 10
check "view at 40x10: still the rails" until_screen 2 '^[a-z0-9_]+ +max34417(_b)? +[0-9.]+ W'
screen >"$tmp/small"
check "view at 40x10: rows fit" fits_columns "$tmp/small" 40
tmux resize-window -t view -x 30 -y 6
check "view at 30x6: says the terminal is too small" until_screen 2 'terminal too small \(30x6\)'
tmux resize-window -t view -x 80 -y 24
check "view back at 80x24: the whole view" until_screen 2 '^hottest '
check "view: still running after the resizes" kill -0 "$view_pid"

# Staleness: the daemon stopped as a service manager does; the view says so within three periods
# (1 s each) of its last cycle, keeps running, and recovers when it is back.
check "view: live before the stop" until_screen 2 '^live: '
kill -TERM "$daemon_pid"
wait "$daemon_pid"
check "daemon: exit 0 after SIGTERM" test $? -eq 0
daemon_pid=
stopped_latch=$(newest_latch "$tree")
check "view: the staleness notice within 3 periods and a refresh of the daemon's exit" \
  until_screen 4.5 '^STALE: nothing was updated for [0-9]+ s, more than three periods'
echo "staleness notice $took s after the daemon's exit (last latch $stopped_latch)"
screen >"$tmp/stale"
check "view: the notice comes after three periods, not before" \
  awk '/^STALE: / { found = 1; exit !($6 >= 3) } END { exit !found }' "$tmp/stale"
check "view: the stale screen keeps the last rails" grep -q '^vph ' "$tmp/stale"
start_daemon
check "view: the notice goes once the daemon is back" until_screen 5 '^live: '
echo "recovered $took s after the restart"
check "view: still running" kill -0 "$view_pid"

# q: status 0, the terminal as it was.
tmux send-keys -t view q
check "view: q ends it with status 0" until_screen 3 '^exit=0$'
check "view: the alternate screen is left" test "$(tmux display -p -t view '#{alternate_on}')" = 0
check "view: the cursor is shown" test "$(tmux display -p -t view '#{cursor_flag}')" = 1
check "view: the terminal settings restored" diff -q "$tmp/stty.before" "$tmp/stty.after"
tmux capture-pane -p -S - -t view >"$tmp/history"
check "view: no traceback" bash -c "! grep -q Traceback '$tmp/history'"
finish
