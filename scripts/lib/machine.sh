# shellcheck shell=bash
# A root that runs as a machine would, for the CI stages that boot or enter one (scripts/ci/systemd,
# scripts/ci/fresh): its own /dev, the pivot into it, and the cgroup the stage runs it in. Every mount
# here is made in a private mount namespace of the stage's own, so none reaches the machine.

# machine_dev DEV [NAME:MAJOR:MINOR:MODE...]: a tmpfs on DEV (a new root's /dev) with the nodes every
# machine has, the extra ones given, a devpts instance of its own (ptmx through it) and the usual links.
# Never the machine's /dev: what runs inside may change a node's mode (deps.sh opens /dev/fuse to all).
machine_dev() {
  local dev=$1 node name major minor mode
  shift
  mount -t tmpfs -o mode=0755,nosuid vpm-machine-dev "$dev"
  for node in null:1:3:0666 zero:1:5:0666 full:1:7:0666 random:1:8:0666 urandom:1:9:0666 tty:5:0:0666 "$@"; do
    IFS=: read -r name major minor mode <<<"$node"
    mknod -m "$mode" "$dev/$name" c "$major" "$minor"
  done
  mkdir -m 0755 "$dev/pts"
  mkdir -m 1777 "$dev/shm"
  mount -t devpts -o newinstance,ptmxmode=0666,mode=0620,gid=5,nosuid,noexec vpm-machine-devpts "$dev/pts"
  ln -s pts/ptmx "$dev/ptmx"
  ln -s /proc/self/fd "$dev/fd"
  ln -s /proc/self/fd/0 "$dev/stdin"
  ln -s /proc/self/fd/1 "$dev/stdout"
  ln -s /proc/self/fd/2 "$dev/stderr"
}

# pivot_into ROOT: makes ROOT (a mount point) the root of this mount namespace and drops the old one.
pivot_into() {
  cd "$1" || return
  mkdir .vpm-old-root
  pivot_root . .vpm-old-root
  cd /
  umount -l /.vpm-old-root
  rmdir /.vpm-old-root
}

# The directory of this process's cgroup in the machine's first cgroup2 hierarchy, beside which a stage
# makes the cgroup of what it starts (empty without a cgroup2 hierarchy).
cgroup_parent() {
  local mnt
  mnt=$(findmnt -n -t cgroup2 -o TARGET | head -n 1)
  [[ -z $mnt ]] || { mnt=$mnt$(sed -n 's/^0:://p' /proc/self/cgroup) && echo "${mnt%/}"; }
}

# cgroup_remove CG: kills whatever still runs in CG and removes it with every cgroup below it.
cgroup_remove() {
  local cg=$1 i
  [[ -d $cg ]] || return 0
  if [[ -f $cg/cgroup.kill ]]; then
    echo 1 >"$cg/cgroup.kill"
  else
    # shellcheck disable=SC2046 # one pid a line
    kill -KILL $(cat "$cg/cgroup.procs") 2>/dev/null || true
  fi
  for ((i = 0; i < 250; i++)); do
    [[ -d $cg ]] || return 0
    find "$cg" -depth -type d -exec rmdir {} + 2>/dev/null || sleep 0.02
  done
  echo "error: cannot remove the cgroup $cg" >&2
  return 1
}

# What a stage started inside a root must leave as it found it: the machine's mounts and the cgroups
# beside the stage's own (under PARENT).
machine_state() { # parent cgroup
  echo "mounts:"
  findmnt -rn -o TARGET,SOURCE,FSTYPE | sort
  echo "cgroups under $1:"
  find "$1" -mindepth 1 -maxdepth 1 -type d | sort
}
