#!/usr/bin/env bash
# The service's raw logs across restarts, as the installed unit runs them but without systemd: its
# ExecStartPre=, ExecStart= and ExecStopPost= command lines, taken from the installed unit, run on the
# reference fake board in this order:
#   start; restart (stop, rotation, start); stop whose rotation failed, then start; stop.
# Every line each run wrote must be in the rotated logs in /var/log/vantrel-power-monitor, each rotated
# file byte for byte the log the run left, header first. /var is a tmpfs inside the board's private
# mount namespace; the machine's own is never touched.
#
#   service_logs_test.sh ROOT FAKEBOARD     ROOT: a DESTDIR install (cmake --install) or a dpkg -x root
#   service_logs_test.sh --build BUILD_DIR FAKEBOARD      installs BUILD_DIR into a temporary ROOT first
set -uo pipefail
here=$(cd "$(dirname "$0")" && pwd)
. "$here/check.sh"

on_board_with_install "$0" "$@"

# On the board, in its private mount namespace.
read -r -a emulator <<<"${VPM_EMULATOR:-}"

unit=$(installed "$root" '*/systemd/system/vantrel-power-monitor.service') || exit 1
directive() { sed -n "s/^$1=//p" "$unit"; }

# A unit command line as this test runs it: "-" noted and dropped, $OPTIONS expanded, and each absolute
# path that the install root holds taken from there (the rest, e.g. logrotate, are the machine's).
declare -A ignore_failure
command_of() { # DIRECTIVE -> array "cmd"
  local line word
  line=$(directive "$1")
  [[ $(wc -l <<<"$line") -eq 1 && -n $line ]] || {
    fail "$1= is not exactly one command line: '$line'"
    return 1
  }
  ignore_failure[$1]=no
  if [[ $line == -* ]]; then
    ignore_failure[$1]=yes
    line=${line#-}
  fi
  cmd=()
  for word in $line; do
    if [[ $word == '$OPTIONS' ]]; then
      cmd+=(--raw -i 100)
    elif [[ $word == /* && -e $root$word ]]; then
      cmd+=("$root$word")
    else
      cmd+=("$word")
    fi
  done
}
command_of ExecStartPre && start_pre=("${cmd[@]}")
command_of ExecStopPost && stop_post=("${cmd[@]}")
command_of ExecStart && daemon=("${emulator[@]}" "${cmd[@]}")
check "ExecStartPre= cannot keep the daemon from starting (\"-\")" test "${ignore_failure[ExecStartPre]}" = yes
check "ExecStopPost= failure is ignored (\"-\")" test "${ignore_failure[ExecStopPost]}" = yes
check "ExecStartPre= rotates with --force" grep -qx -- --force < <(printf '%s\n' "${start_pre[@]}")
check "ExecStopPost= rotates with --force" grep -qx -- --force < <(printf '%s\n' "${stop_post[@]}")
((failures == 0)) || finish

# The unit's directories, as systemd creates them before the start.
runtime_dirs=$(directive RuntimeDirectory)
logs_dir=/var/log/$(directive LogsDirectory)
make_directories() {
  local d
  for d in $runtime_dirs; do mkdir -p -m 0755 "/run/$d"; done
  mkdir -p -m 0755 "$logs_dir" "/var/lib/$(directive StateDirectory)"
}
check "the unit keeps its rotated logs in /var/log/vantrel-power-monitor" test "$logs_dir" = /var/log/vantrel-power-monitor

# The steps' output, in the board's /run: fixed names in a shared /tmp could be anybody's.
scratch=/run/service-test
mkdir -p "$scratch"
run_step() { # NAME COMMAND...: a unit command; its failure is a test failure even where the unit ignores it
  "${@:2}" >"$scratch/$1.out" 2>&1 || fail "$1 failed: $(cat "$scratch/$1.out")"
}

pid=
start() { # RUN: ExecStartPre=, then the daemon, until it has written a few lines of every log
  run_step "start-pre-$1" "${start_pre[@]}"
  "${daemon[@]}" >"$scratch/daemon-$1.out" 2>&1 &
  pid=$!
  sleep 1.6
}
saved=$scratch/saved
mkdir -p "$saved"
stop() { # RUN: SIGTERM, the daemon's exit, a copy of every live log as the run left it
  local status=0 log
  kill -TERM "$pid"
  wait "$pid" || status=$?
  check "run $1: the daemon exits 0 on SIGTERM" test "$status" -eq 0
  for log in /run/power-monitor/power/*_raw; do
    [[ -f $log ]] && cp "$log" "$saved/$(basename "$log").run$1"
  done
}
stop_post() { # RUN
  run_step "stop-post-$1" "${stop_post[@]}"
  check "run $1: no live log left after the rotation at stop" \
    bash -c '! compgen -G "/run/power-monitor/power/*_raw*" >/dev/null'
}

make_directories
start 1
stop 1
stop_post 1
# Restart: systemd keeps the runtime directories (RuntimeDirectoryPreserve=restart).
start 2
stop 2
# The rotation at stop failed (or never ran): the next start's rotation must save run 2's lines.
start 3
stop 3
stop_post 3
# A stop removes the runtime directories.
for d in $runtime_dirs; do rm -rf "/run/${d:?}"; done

logs=$(cd "$saved" && ls -- *.run1 2>/dev/null | sed 's/\.run1$//')
check "run 1 wrote at least four raw logs" test "$(wc -w <<<"$logs")" -ge 4
for log in $logs; do
  for run in 1 2 3; do
    copy=$saved/$log.run$run
    generation=$logs_dir/$log.$((4 - run)).gz
    check "$log, run $run: the run left a header and at least 3 lines" \
      bash -c "[[ \$(head -n 1 '$copy') == time,* && \$(wc -l <'$copy') -ge 4 ]]"
    check "$log, run $run: rotated as $(basename "$generation")" test -f "$generation"
    check "$log, run $run: the rotated file is the run's log, header first, no line lost" \
      cmp -s "$copy" <(zcat "$generation" 2>/dev/null)
  done
  check "$log: no fourth generation" test ! -e "$logs_dir/$log.4.gz"
done
check "only compressed generations in $logs_dir" \
  bash -c "[[ -z \$(find '$logs_dir' -type f ! -name '*_raw.[0-9]*.gz') ]]"
echo "$(wc -w <<<"$logs") raw logs, 3 runs: $(cat "$saved"/*.run* | wc -l) lines, all rotated into $logs_dir"
finish
