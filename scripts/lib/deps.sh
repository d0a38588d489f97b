# shellcheck shell=bash
# What the project's scripts need before they run (sourced by each): Debian packages by purpose, the only
# place anything is installed; and builds from the presets in CMakePresets.json.

declare -A VPM_PACKAGES=(
  [build]="cmake g++ make libgtest-dev libgmock-dev pkg-config libfuse3-dev fuse3 logrotate"
  [cross]="cmake make file g++-aarch64-linux-gnu qemu-user googletest"
  [package]="cmake make g++ g++-aarch64-linux-gnu dpkg-dev file systemd man-db groff-base logrotate lintian python3"
  # The amd64 .deb under a real systemd in a container (scripts/ci/systemd): systemd itself, unshare,
  # nsenter, setpriv, pivot_root, findmnt (util-linux), script (bsdutils), mount; logrotate for the
  # package's Depends.
  [systemd]="cmake make g++ dpkg-dev systemd util-linux bsdutils mount logrotate"
  [plot]="gnuplot-nox fonts-dejavu-core python3"
  [report]="python3"
  [bench]="strace valgrind binutils python3"
  # vantrel-top: curses is in python3; its tests drive the view in tmux.
  [top]="python3 tmux"
  [valgrind]="valgrind"
  [fuzz]="clang-14 libclang-rt-14-dev"
  [static]="clang-tidy-14 clang-format-14 cppcheck python3"
  # promtool comes with prometheus. Both ship services: see install_without_starting.
  [metrics]="prometheus prometheus-node-exporter"
  # newuidmap and newgidmap: an ordinary user's fake board maps the user's subordinate ids, so that the
  # tests that act as other users and groups run for them too.
  [ids]="uidmap"
)
# Everything the whole test suite needs, wherever it runs (natively, under qemu, with sanitizers).
VPM_SUITE_GROUPS="build metrics plot report top ids"

# On a machine whose PID 1 is not systemd, these packages' maintainer scripts start their services
# through invoke-rc.d, listening on every interface. A policy-rc.d that answers 101 ("action
# forbidden") stops invoke-rc.d and deb-systemd-invoke from starting anything; it is in place only for
# the install, and whatever policy the machine had before is put back afterwards.
install_without_starting() {
  local policy=/usr/sbin/policy-rc.d saved="" rc=0
  mkdir -p /run/lock
  exec {lock}>/run/lock/vpm-deps.lock
  flock "$lock"
  if [[ -e $policy || -L $policy ]]; then
    saved=$(mktemp /usr/sbin/.policy-rc.d.saved.XXXXXX)
    mv -f "$policy" "$saved"
  fi
  printf '#!/bin/sh\n# Installed by vantrel_power_monitor scripts/lib/deps.sh for one install.\nexit 101\n' \
    >"$policy.vpm"
  chmod 0755 "$policy.vpm"
  mv -f "$policy.vpm" "$policy"
  DEBIAN_FRONTEND=noninteractive apt-get install -y -qq --no-install-recommends "$@" || rc=$?
  rm -f "$policy"
  if [[ -n $saved ]]; then
    mv -f "$saved" "$policy"
  fi
  flock -u "$lock"
  exec {lock}>&-
  return "$rc"
}

# The bus-fault tests serve attributes from a FUSE server, which an ordinary user can mount in a user
# namespace only when /dev/fuse is open to everyone. Debian's udev rules make it 0666; a machine
# without udev (a container) leaves the kernel's 0600, so it is set here as udev would.
fuse_for_everyone() {
  if [[ -c /dev/fuse && $(stat -c %a /dev/fuse) != 666 ]]; then
    chmod 0666 /dev/fuse || echo "warning: could not make /dev/fuse usable by every user" >&2
  fi
}

# need_packages GROUP...: installs what is missing of the groups, as root. An ordinary user with
# everything installed passes; one with something missing is told what to install. VPM_NO_INSTALL
# (set for the tests) also only tells.
need_packages() {
  local absent=() group p
  for group in "$@"; do
    [[ -n ${VPM_PACKAGES[$group]:-} ]] || { echo "need_packages: no package group '$group'" >&2; return 1; }
    for p in ${VPM_PACKAGES[$group]}; do
      dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q "install ok installed" || absent+=("$p")
    done
  done
  if [[ $(id -u) -eq 0 && " $* " == *" build "* ]]; then
    fuse_for_everyone
  fi
  ((${#absent[@]})) || return 0
  if [[ $(id -u) -ne 0 || -n ${VPM_NO_INSTALL:-} ]]; then
    echo "error: missing Debian packages: ${absent[*]}" >&2
    echo "install them as root: apt-get install --no-install-recommends ${absent[*]}" >&2
    return 1
  fi
  echo "installing: ${absent[*]}"
  DEBIAN_FRONTEND=noninteractive apt-get update -qq
  install_without_starting "${absent[@]}"
}

# build_preset PRESET [TARGET...]: configures and builds (only TARGETs, when given) the preset's
# binary directory, quietly unless something fails. JOBS defaults to every core.
build_preset() {
  local preset=$1 log
  shift
  log=$(mktemp)
  echo "building preset $preset${1:+ (targets: $*)}"
  { cmake --preset "$preset" && cmake --build --preset "$preset" -j"${JOBS:-$(nproc)}" ${1:+--target "$@"}; } \
    >"$log" 2>&1 || { cat "$log" >&2; rm -f "$log"; die "building preset $preset failed"; }
  rm -f "$log"
}

# package_preset PRESET: builds the preset and makes its .deb afresh in its binary directory.
package_preset() {
  build_preset "$1"
  rm -f "build-$1"/*.deb
  cpack --preset "$1" >/dev/null
}

die() {
  echo "error: $*" >&2
  exit 1
}

# ctest_counts LOG: "FAILED TOTAL" from the last CTest summary in LOG; fails when there is none.
ctest_counts() {
  sed -nE 's/^[0-9]+% tests passed, ([0-9]+) tests? failed out of ([0-9]+).*/\1 \2/p' "$1" | tail -n 1 | grep .
}
