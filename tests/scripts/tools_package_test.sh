#!/usr/bin/env bash
# The three packages as a user gets them: unpacked (dpkg -x) into one root outside the clone, with the
# root's dist-packages as Python's path (where Debian's python3 finds an installed package); every
# command of the tools package run from there with --help; the live view, the report and the plot on
# the tree and logs of the packaged daemon on the simulated fake board; the plot without gnuplot. The
# package vantrel_power each tool imported must be the root's, never the clone's.
#
#   tools_package_test.sh DAEMON.deb TOOLS.deb PYTHON.deb FAKEBOARD
set -uo pipefail
src=$(cd "$(dirname "$0")/../.." && pwd)
. "$src/tests/scripts/check.sh"
daemon_deb=$(realpath "$1")
tools_deb=$(realpath "$2")
python_deb=$(realpath "$3")
fakeboard=$(realpath "$4")
make_scratch
root=$tmp/root
dpkg -x "$daemon_deb" "$root" && dpkg -x "$tools_deb" "$root" && dpkg -x "$python_deb" "$root" ||
  { echo "FAIL: dpkg -x" >&2; exit 1; }
cd "$tmp" || exit 1
[[ $tmp != "$src"/* ]] || { echo "FAIL: the scratch root $tmp is inside the clone" >&2; exit 1; }
export PYTHONDONTWRITEBYTECODE=1 LANG=C.UTF-8 LC_ALL=C.UTF-8
unset PYTHONHOME PYTHONSTARTUP PYTHONUNBUFFERED
export PYTHONPATH=$root/usr/lib/python3/dist-packages
bin=$root/usr/bin
tools=$root/usr/share/vantrel-power-tools
package=$PYTHONPATH/vantrel_power
mapfile -t modules < <(cd "$package" && ls -- *.py)
check "the root has the package vantrel_power" test "${#modules[@]}" -ge 5 -a -f "$package/__init__.py"
check "the tools' directory holds only the tools" test -z "$(find "$tools" -mindepth 1 -not -executable -o -type d)"
check "import vantrel_power: the root's" bash -c "[[ \$(cd / && python3 -c 'import vantrel_power; print(vantrel_power.__file__)') == '$package/__init__.py' ]]"

# LOG: a tool's PYTHONVERBOSE output. Every module of vantrel_power it loaded came from the root's
# dist-packages, each of NEEDED was loaded, and nothing at all came from the clone.
modules_from_root() { # LOG NEEDED...
  local log=$1 m path loaded
  shift
  ! grep -qF "$src/" "$log" || return 1
  for m in "${modules[@]}"; do
    while read -r path; do
      [[ $path == "$package/$m" ]] || return 1
    done < <(sed -nE "s|^# code object from (.*/vantrel_power/$m)\$|\1|p" "$log")
  done
  for m in "$@"; do
    loaded=$(sed -nE "s|^# code object from (.*/vantrel_power/$m.py)\$|\1|p" "$log")
    [[ $loaded == "$package/$m.py" ]] || return 1
  done
}
run() { # NAME COMMAND ARGS...: stdout, stderr (verbose imports) and status
  local name=$1
  shift
  status=0
  PYTHONVERBOSE=1 timeout 60 "$@" >"$tmp/$name.out" 2>"$tmp/$name.err" </dev/null || status=$?
}

# --- every command: a relative link into the root, --help under its own name, a man page
commands=()
for link in "$bin"/*; do
  name=${link##*/}
  commands+=("$name")
  check "$name: a relative link" bash -c "[[ -L '$link' && \$(readlink '$link') == ../share/vantrel-power-tools/* ]]"
  check "$name: its target is in the root" test -x "$(realpath "$link")" -a "$(realpath "$link")" != "${link%/*}"
  run "help-$name" "$link" --help
  check "$name --help: exit 0" test "$status" -eq 0
  check "$name --help: usage under its own name" grep -q "^usage: $name " "$tmp/help-$name.out"
  check "$name --help: its modules from the root" modules_from_root "$tmp/help-$name.err"
  page=$root/usr/share/man/man1/$name.1.gz
  check "$name: man page" test -f "$page"
  check "$name: man page renders without warnings" bash -c "out=\$(MANWIDTH=80 man --warnings -l '$page' 2>&1 >/dev/null) && [[ -z \$out ]]"
done
check "commands: energy-stat, the plot, the report and the live view" test "${commands[*]}" = "vantrel-energy-stat vantrel-plot-raw vantrel-power-report vantrel-top"
check "no deps.sh installed: the installed tools install nothing" test -z "$(find "$root" -name deps.sh)"

# --- on the fake board: the packaged daemon with --raw --energy, the live view read from the root
cat >"$tmp/on-board.sh" <<'SCRIPT'
daemon=$1 bin=$2 out=$3
"$daemon" --raw --energy >"$out/daemon.log" 2>&1 &
pid=$!
for _ in $(seq 80); do
  [ -s /run/power-monitor/energy/snapshot.csv ] && [ "$(wc -l </run/power-monitor/power/system_raw)" -ge 3 ] && break
  sleep 0.1
done
PYTHONVERBOSE=1 "$bin/vantrel-top" --once >"$out/top.out" 2>"$out/top.err"
echo $? >"$out/top.status"
PYTHONVERBOSE=1 "$bin/vantrel-top" --stream --once >"$out/stream.out" 2>"$out/stream.err"
echo $? >"$out/stream.status"
PYTHONVERBOSE=1 "$bin/vantrel-energy-stat" --csv "$out/stat.csv" -- sleep 1.5 >"$out/stat.out" 2>"$out/stat.err"
echo $? >"$out/stat.status"
kill -TERM "$pid"
wait "$pid"
cp -a /run/power-monitor "$out/tree"
SCRIPT
mkdir "$tmp/board"
"$fakeboard" --board reference --simulate -- sh "$tmp/on-board.sh" "$root/usr/sbin/vantrel_power_monitor" "$bin" "$tmp/board"
check "top --once: exit 0" test "$(cat "$tmp/board/top.status")" = 0
check "top --once: the eight rails, live" bash -c "grep -q '^live: ' '$tmp/board/top.out' &&
  [[ \$(grep -cE '^[a-z0-9_]+ +max34417(_b)? +[0-9.]+ W ' '$tmp/board/top.out') -eq 8 ]]"
check "top --once: its modules from the root" modules_from_root "$tmp/board/top.err" powertree rawlogs
check "top --stream: exit 0, one line" bash -c "[[ \$(cat '$tmp/board/stream.status') == 0 ]] &&
  grep -qE '^time=[0-9.]+ age=[0-9.]+ vph_total=[0-9.]+ .* battery=[0-9.]+\$' '$tmp/board/stream.out'"
check "top --stream: its modules from the root" modules_from_root "$tmp/board/stream.err" powertree rawlogs

check "energy-stat: exit 0, a figure per rail" bash -c "[[ \$(cat '$tmp/board/stat.status') == 0 ]] &&
  grep -q '^vph,' '$tmp/board/stat.csv'"
check "energy-stat: its modules from the root" modules_from_root "$tmp/board/stat.err" powertree rawlogs marks client

# --- the report and the plot on the run's logs
run report "$bin/vantrel-power-report" "$tmp/board/tree"
check "report: exit 0" test "$status" -eq 0
check "report: rails and totals" bash -c "grep -qE '^  vph ' '$tmp/report.out' && grep -qE '^  vph_other ' '$tmp/report.out'"
check "report: its modules from the root" modules_from_root "$tmp/report.err" rawlogs
run plot "$bin/vantrel-plot-raw" "$tmp/board/tree" "$tmp/run.png"
check "plot: exit 0" test "$status" -eq 0
check "plot: a PNG" is_png "$tmp/run.png" 40000
check "plot: its modules from the root" modules_from_root "$tmp/plot.err" rawlogs

# Without gnuplot on the PATH: one line saying what to install, nothing installed, no PNG.
mkdir "$tmp/no-gnuplot"
status=0
PATH=$tmp/no-gnuplot "$bin/vantrel-plot-raw" "$tmp/board/tree" "$tmp/none.png" >"$tmp/nognuplot.out" 2>"$tmp/nognuplot.err" ||
  status=$?
check "plot without gnuplot: exit 1" test "$status" -eq 1
check "plot without gnuplot: one line naming gnuplot-nox" bash -c "[[ \$(wc -l <'$tmp/nognuplot.err') -eq 1 ]] &&
  grep -q '^vantrel-plot-raw: gnuplot is missing: install the package gnuplot-nox' '$tmp/nognuplot.err'"
check "plot without gnuplot: nothing on stdout, no PNG" test ! -s "$tmp/nognuplot.out" -a ! -e "$tmp/none.png"
finish
