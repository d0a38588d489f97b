# shellcheck shell=bash
# Small assertion helpers for the script tests (sourced). Every failed check is reported; the test
# fails at the end when any did.
failures=0
checks=0

# A scratch directory in $tmp, removed on exit.
make_scratch() {
  tmp=$(mktemp -d)
  trap 'rm -rf "$tmp"' EXIT
}

fail() {
  echo "FAIL: $*" >&2
  failures=$((failures + 1))
}

check() { # DESCRIPTION COMMAND...
  local what=$1
  shift
  checks=$((checks + 1))
  "$@" || fail "$what"
}

contains() { # FILE TEXT
  grep -qF -- "$2" "$1"
}

# A PNG: the eight signature bytes, an IHDR chunk, and more than MIN_BYTES in all.
is_png() { # FILE MIN_BYTES
  [[ -f $1 ]] || return 1
  [[ $(head -c 8 "$1" | od -An -tx1 | tr -d ' \n') == 89504e470d0a1a0a ]] || return 1
  [[ $(head -c 16 "$1" | tail -c 4) == IHDR ]] || return 1
  (($(stat -c %s "$1") > $2))
}

png_height() { # FILE
  od -An -tu1 -j 20 -N 4 "$1" | awk '{ print $1 * 16777216 + $2 * 65536 + $3 * 256 + $4 }'
}

# What a person sees is counted in characters, not bytes: the view's bars are multi-byte in UTF-8, and
# mawk's length counts bytes.
fits_columns() { # FILE COLUMNS
  python3 -c 'import sys; sys.exit(any(len(l.rstrip("\n")) > int(sys.argv[2]) for l in open(sys.argv[1], encoding="utf-8")))' "$1" "$2"
}

finish() {
  if ((failures)); then
    echo "$failures of $checks checks failed" >&2
    exit 1
  fi
  echo "$checks checks passed"
}

# For a test of an installed tree on the reference fake board, called with the test's own arguments:
#   ROOT FAKEBOARD                 ROOT: a DESTDIR install (cmake --install) or a dpkg -x root
#   --build BUILD_DIR FAKEBOARD    installs BUILD_DIR into a temporary ROOT first
# runs SCRIPT again on the board as "SCRIPT --on-board ROOT" and exits with its status (77: no
# private mount namespace here). On the board (--on-board ROOT) it returns with $root set, and makes
# /var a tmpfs of the namespace: the rotation trusts only directories root owns, which the host's /var
# is not in an ordinary user's namespace; the machine's own /var is never touched.
on_board_with_install() { # SCRIPT ARGS...
  local script=$1 emulator
  shift
  if [[ ${1:-} == --on-board ]]; then
    root=$2
    # Every mount on /run is listed, oldest first: a machine whose /run is a tmpfs already has one
    # under the board's, and only the last is the one the namespace sees.
    [[ $(findmnt -n -o SOURCE /run | tail -n 1) == fakeboard ]] || {
      echo "FAIL: not on a fake board (/run is not its tmpfs); refusing to mount over /var" >&2
      exit 1
    }
    mount -t tmpfs -o mode=0755 board-var /var && mkdir -m 0755 /var/log /var/lib || {
      echo "FAIL: cannot put a tmpfs over /var in the namespace" >&2
      exit 1
    }
    # A clone or build under /var (/var/tmp, say) is hidden now: nothing may rely on the working
    # directory (a python3 that is a pyenv shim changes into it first).
    cd /
    return 0
  fi
  make_scratch
  if [[ $1 == --build ]]; then
    root=$tmp/root
    DESTDIR=$root cmake --install "$2" >"$tmp/install.log" || {
      cat "$tmp/install.log" >&2
      echo "FAIL: cmake --install $2" >&2
      exit 1
    }
    shift
  else
    root=$(realpath "$1")
  fi
  read -r -a emulator <<<"${VPM_EMULATOR:-}"
  # The fake board needs a private mount namespace: root's own, or an ordinary user's user namespace.
  if [[ ${CI:-} != true ]] && ! "${emulator[@]}" "$2" -- true 2>/dev/null; then
    echo "skipped: the fake board cannot make a private mount namespace here"
    exit 77
  fi
  # Not exec: the EXIT trap removes the temporary install root afterwards.
  "${emulator[@]}" "$2" --board reference -- bash "$script" --on-board "$root"
  exit
}

# The one file under ROOT whose path matches PATTERN (find -path).
installed() { # ROOT PATTERN
  local found
  found=$(find "$1" -path "$2" \( -type f -o -type l \))
  [[ -n $found && $(wc -l <<<"$found") -eq 1 ]] || {
    echo "FAIL: not exactly one $2 under $1: '$found'" >&2
    exit 1
  }
  echo "$found"
}
