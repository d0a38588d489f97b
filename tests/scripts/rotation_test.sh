#!/usr/bin/env bash
# The installed log rotation (its logrotate configuration, run as its units run it) and the installed
# daemon on the reference fake board:
#   1. rotation forced again and again while the daemon runs at -i 2: every live log and every rotated
#      part starts with its header, exactly as the run's first pass wrote it, and no line is missing;
#   2. the output root, the live logs' directory or the old logs' directory owned by another user,
#      with links planted at the names rotation touches, and swapped in while it runs: nothing is
#      rotated, and what the links point at is neither read nor changed.
# /var is a tmpfs inside the board's private mount namespace; the machine's own is never touched.
#
#   rotation_test.sh ROOT FAKEBOARD     ROOT: a DESTDIR install (cmake --install) or a dpkg -x root
#   rotation_test.sh --build BUILD_DIR FAKEBOARD      installs BUILD_DIR into a temporary ROOT first
set -uo pipefail
here=$(cd "$(dirname "$0")" && pwd)
. "$here/check.sh"

on_board_with_install "$0" "$@"

# On the board, in its private mount namespace.
read -r -a emulator <<<"${VPM_EMULATOR:-}"
daemon=$(installed "$root" '*/sbin/vantrel_power_monitor') || exit 1
conf=$(installed "$root" '*/vantrel-power-monitor/logrotate.conf') || exit 1
live=/run/power-monitor/power
old=/var/log/vantrel-power-monitor
state=/var/lib/vantrel-power-monitor/logrotate.state
scratch=/run/rotation-test
mkdir -p "$scratch" /var/lib/vantrel-power-monitor /run/vantrel-power-monitor

rotate() { # as the units run it: the shipped configuration, the state file, --force
  # An ordinary user's PATH has no sbin; logrotate is there.
  PATH=$PATH:/usr/sbin:/sbin logrotate --force --wait-for-state-lock --state "$state" "$conf"
}

# ---------------------------------------------------------------------------------------------------
# 1. Forced rotations while the daemon runs.

"${emulator[@]}" "$daemon" --raw -i 2 >"$scratch/daemon.out" 2>"$scratch/daemon.err" &
pid=$!
# The first cycle comes a second after start.
sleep 1.3
rotations=6
for ((r = 1; r <= rotations; r++)); do
  rotate >"$scratch/rotate-$r.out" 2>&1 || fail "rotation $r failed: $(cat "$scratch/rotate-$r.out")"
  sleep 0.15
done
kill -TERM "$pid"
status=0
wait "$pid" || status=$?
check "the daemon exits 0 on SIGTERM" test "$status" -eq 0
check "the daemon reported nothing: $(head -c 300 "$scratch/daemon.err")" test ! -s "$scratch/daemon.err"

logs=$(cd "$live" && ls -- *_raw 2>/dev/null)
check "at least four live logs" test "$(wc -w <<<"$logs")" -ge 4
reference=
for log in $logs; do
  first_header=$(zcat "$old/$log.$rotations.gz" 2>/dev/null | head -n 1)
  check "$log: the oldest part starts with a header" bash -c "[[ '$first_header' == time,* ]]"
  : >"$scratch/$log.times"
  for ((part = rotations; part >= 0; part--)); do
    if ((part == 0)); then
      name=$log
      read_part() { cat "$live/$log"; }
    else
      name=$log.$part.gz
      read_part() { zcat "$old/$log.$part.gz"; }
    fi
    read_part >"$scratch/part" 2>/dev/null || {
      fail "$name: missing"
      continue
    }
    check "$name: starts with the run's first header" test "$(head -n 1 "$scratch/part")" = "$first_header"
    check "$name: one header, then data lines" \
      test "$(grep -c '^time,' "$scratch/part")" -eq 1 -a "$(wc -l <"$scratch/part")" -ge 2
    tail -n +2 "$scratch/part" | cut -d, -f1 >>"$scratch/$log.times"
  done
  check "$log: no part left beyond the $rotations rotations" test ! -e "$old/$log.$((rotations + 1)).gz"
  check "$log: no $log.tmp left behind" test ! -e "$live/$log.tmp"
  check "$log: the parts' times never go back" sort -c -n "$scratch/$log.times"
  # Every cycle writes one line to every log, all with the cycle's time: one log missing a line has
  # a different list of times from the others.
  if [[ -z $reference ]]; then
    reference=$log
  else
    check "$log: the same $(wc -l <"$scratch/$reference.times") lines as $reference, none missing" \
      cmp -s "$scratch/$reference.times" "$scratch/$log.times"
  fi
done
echo "part 1: $(wc -w <<<"$logs") logs, $rotations forced rotations at -i 2," \
  "$(wc -l <"$scratch/$reference.times" 2>/dev/null) lines each"

# ---------------------------------------------------------------------------------------------------
# 2. A directory owned by another user.

user=4242
secret_text='root:$y$j9T$not-really-a-hash:19000:0:99999:7:::'
# A racer: each time rotation creates NAME (IN_CREATE) or renames a file to NAME (IN_MOVED_TO) in
# DIR, and NAME ends in SUFFIX, the user replaces it at once with a link to TARGET (symbolic or hard),
# as the owner of DIR may. It writes "ready" once it watches.
cat >"$scratch/racer.py" <<'PY'
import ctypes, os, struct, sys
directory, suffix, kind, target, ready = sys.argv[1:6]
libc = ctypes.CDLL(None, use_errno=True)
fd = libc.inotify_init1(0)
IN_MOVED_TO, IN_CREATE = 0x80, 0x100
if fd < 0 or libc.inotify_add_watch(fd, directory.encode(), IN_MOVED_TO | IN_CREATE) < 0:
    sys.exit("racer: inotify: " + os.strerror(ctypes.get_errno()))
open(ready, "w").write("ready\n")
target_inode = os.stat(target).st_ino
swapped = set()
while True:
    events = os.read(fd, 65536)
    at = 0
    while at < len(events):
        _, mask, _, length = struct.unpack_from("iIII", events, at)
        name = events[at + 16 : at + 16 + length].rstrip(b"\0").decode()
        at += 16 + length
        if not name.endswith(suffix) or name in swapped:
            continue
        swapped.add(name)
        path, spare = os.path.join(directory, name), os.path.join(directory, ".racer")
        try:
            (os.symlink if kind == "symlink" else os.link)(target, spare)
            os.rename(spare, path)
        except OSError:
            pass
PY

# The logs a run leaves, kept to lay out each case afresh.
rm -rf /run/power-monitor "$old" "$state"
"${emulator[@]}" "$daemon" --raw --once >/dev/null 2>&1 || fail "the daemon's --once run failed"
cp -a /run/power-monitor "$scratch/template"
logs=$(cd "$live" && ls -- *_raw 2>/dev/null)

# A root-only file on each file system, with an atime well before now: any read moves it (relatime).
make_secret() { # PATH
  printf '%s\n' "$secret_text" >"$1"
  chmod 0600 "$1"
  touch -a -d '3 days ago' "$1"
}
# Mode, owner, size, atime and mtime (not ctime, which a hard link's arrival moves); read without
# reading the file, which would move its atime.
fingerprint() { stat -c '%a %u %s %X %Y' -- "$@"; }
# Every file under DIRs, compressed ones uncompressed, that holds the secret (its own hard links aside).
holding_secret() {
  local file
  while IFS= read -r file; do
    case $file in
    *.gz) zcat -- "$file" 2>/dev/null | grep -qF -- "$secret_text" && echo "$file" ;;
    *) grep -qF -- "$secret_text" "$file" 2>/dev/null && echo "$file" ;;
    esac
  done < <(find "$@" -type f ! -samefile /run/secret ! -samefile /var/log/secret 2>/dev/null)
}
listing() { # DIR: every entry with its link target
  (cd "$1" && find . -mindepth 1 -printf '%p %y %l\n' | sort)
}

for case in output_root live_dir old_dir; do
  rm -rf /run/power-monitor "$old" "$state" /run/secret /var/log/secret "$scratch/ready"
  cp -a "$scratch/template" /run/power-monitor
  mkdir -m 0755 "$old"
  make_secret /run/secret
  make_secret /var/log/secret
  racer=
  case $case in
  output_root) # a root given to the user; power/ inside it is still root's
    chown "$user" /run/power-monitor
    ;;
  live_dir) # NAME.tmp, where rotation renames each log, planted and swapped back in after the rename
    chown "$user" "$live"
    for log in $logs; do ln -s /run/secret "$live/$log.tmp"; done
    racer=("$live" .tmp symlink /run/secret)
    ;;
  old_dir) # the generations, and NAME.1 swapped for a hard link as soon as rotation creates it
    chown "$user" "$old"
    for log in $logs; do
      ln -s /var/log/secret "$old/$log.1.gz"
      ln /var/log/secret "$old/$log.2.gz"
      ln -s /var/log/secret "$old/$log.101.gz"
    done
    racer=("$old" _raw.1 hard /var/log/secret)
    ;;
  esac
  if [[ -n ${racer[*]} ]]; then
    python3 "$scratch/racer.py" "${racer[@]}" "$scratch/ready" 2>"$scratch/racer.err" &
    racer_pid=$!
    for _ in $(seq 50); do [[ -s $scratch/ready ]] && break; sleep 0.05; done
    check "$case: the racer watches $(cat "$scratch/racer.err")" test -s "$scratch/ready"
  fi
  # The daemon's lock, held as a running daemon holds it (the daemon itself cannot publish into a
  # foreign directory): a rotation that wrote headers did so only while a daemon ran.
  exec {lock}>/run/vantrel-power-monitor/lock
  flock -x "$lock"
  before_live=$(listing /run/power-monitor)
  before_old=$(listing "$old")
  secrets_before=$(fingerprint /run/secret /var/log/secret)

  status=0
  rotate >"$scratch/rotate.out" 2>&1 || status=$?
  exec {lock}>&-
  if [[ -n ${racer[*]} ]]; then
    kill "$racer_pid" 2>/dev/null
    wait "$racer_pid" 2>/dev/null
  fi

  check "$case: the targets are unread and unchanged" \
    test "$(fingerprint /run/secret /var/log/secret)" = "$secrets_before"
  check "$case: the targets hold what they held" \
    test "$(cat /run/secret /var/log/secret)" = "$secret_text"$'\n'"$secret_text"
  check "$case: no file holds the target's text: $(holding_secret /run/power-monitor "$old" | tr '\n' ' ')" \
    test -z "$(holding_secret /run/power-monitor "$old")"
  check "$case: nothing rotated in the live logs' tree" test "$(listing /run/power-monitor)" = "$before_live"
  check "$case: nothing rotated into the old logs' directory" test "$(listing "$old")" = "$before_old"
  for log in $logs; do
    check "$case: $log is as the run left it" cmp -s "$live/$log" "$scratch/template/power/$log"
  done
  check "$case: logrotate fails, naming the directory: $(head -c 300 "$scratch/rotate.out")" \
    bash -c "[[ $status -ne 0 ]] && grep -q 'not root.s alone' '$scratch/rotate.out'"
done

# The atime check above sees a read at all: one read of a secret as laid out moves its atime.
make_secret /run/secret
before=$(stat -c %X /run/secret)
cat /run/secret >/dev/null
check "a read of a target shows in its atime" test "$(stat -c %X /run/secret)" != "$before"
finish
