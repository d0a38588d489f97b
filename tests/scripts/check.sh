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

finish() {
  if ((failures)); then
    echo "$failures of $checks checks failed" >&2
    exit 1
  fi
  echo "$checks checks passed"
}
