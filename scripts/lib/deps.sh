# Debian packages by purpose; installs only what is missing. Sourced by the project's scripts.

declare -A VPM_PACKAGES=(
  [build]="cmake g++ make libgtest-dev libgmock-dev pkg-config libfuse3-dev fuse3"
  [cross]="cmake make file g++-aarch64-linux-gnu qemu-user googletest"
  [package]="cmake make g++ g++-aarch64-linux-gnu dpkg-dev file systemd man-db groff-base logrotate"
  [plot]="gnuplot-nox fonts-dejavu-core python3"
  [report]="python3"
  [bench]="strace valgrind gawk binutils"
  [valgrind]="valgrind"
  [fuzz]="clang-14 libclang-rt-14-dev"
  [static]="clang-tidy-14 clang-format-14 cppcheck python3"
)

need_packages() {
  local missing=() p
  for group in "$@"; do
    for p in ${VPM_PACKAGES[$group]}; do
      dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q "install ok installed" || missing+=("$p")
    done
  done
  if ((${#missing[@]})); then
    echo "installing: ${missing[*]}"
    if [[ $(id -u) -ne 0 ]]; then
      echo "error: need root to install ${missing[*]}" >&2
      return 1
    fi
    DEBIAN_FRONTEND=noninteractive apt-get update -qq
    DEBIAN_FRONTEND=noninteractive apt-get install -y -qq --no-install-recommends "${missing[@]}"
  fi
}
