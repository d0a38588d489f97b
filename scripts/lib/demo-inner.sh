# shellcheck shell=bash
# The demo's run on the fake board, inside its private mount namespace (started by scripts/demo
# through fakeboard --simulate): the daemon at its default period and output root, stopped with
# SIGTERM like a service manager does, then its output tree copied out.
#
#   bash demo-inner.sh DAEMON SECONDS OUT
set -uo pipefail

daemon=$1
seconds=$2
out=$3
tree=/run/power-monitor

"$daemon" --raw >"$out/daemon.log" 2>&1 &
pid=$!
sleep "$seconds"
kill -TERM "$pid"
# The daemon finishes the cycle it is waiting for (at most one period, 1 s) before it quits.
for _ in $(seq 50); do
  kill -0 "$pid" 2>/dev/null || break
  sleep 0.1
done
if kill -0 "$pid" 2>/dev/null; then
  echo "demo: the daemon did not stop within 5 s of SIGTERM" >&2
  kill -KILL "$pid"
  wait "$pid"
  exit 1
fi
wait "$pid"
status=$?
if ((status != 0)); then
  echo "demo: the daemon exited with status $status" >&2
  exit 1
fi
if [[ ! -d $tree/power ]]; then
  echo "demo: the daemon wrote no $tree/power" >&2
  exit 1
fi
cp -a "$tree/." "$out/"
