#!/bin/bash
# A real systemd as PID 1 of private namespaces, for tests that install into a system and need its
# service manager, D-Bus and logind. Nothing it does reaches the machine: it has its own PID, mount, UTS,
# IPC, network and cgroup namespaces; fresh tmpfs on /run, /tmp and /var/tmp; overlays on /etc, /var,
# /usr, /root and /home whose upper layers are in DIR; its own cgroup2 tree; every *.wants and *.requires
# folder and every generator hidden; and a target of its own that wants only dbus.socket and
# systemd-logind.service. Needs root.
#
#   sysroot.sh start DIR            boot; DIR (an empty directory of the caller's) receives the upper
#                                   layers and a boot log. Returns once dbus and logind run. The system is
#                                   killed when the caller of `start` exits, should it forget `stop`.
#   sysroot.sh exec DIR CMD [ARG]   run CMD inside as root with a clean environment (PATH, LANG); its
#                                   output and exit status are passed on. Pass variables with `env A=B CMD`.
#   sysroot.sh stop DIR             SIGKILL to its PID 1 (SIGTERM would make systemd re-execute), then
#                                   its cgroup goes. DIR stays for the caller to remove.
set -euo pipefail

die() {
  printf 'sysroot.sh: %s\n' "$*" >&2
  exit 1
}

pid1() { cat "$1/pid1" 2>/dev/null || die "no system booted in $1"; }

run_inside() {
  local dir=$1
  shift
  nsenter -t "$(pid1 "$dir")" -m -p -n -u -i -C --wdns=/ \
    env -i PATH=/usr/sbin:/usr/bin:/sbin:/bin LANG=C.UTF-8 "$@"
}

# Runs as PID 1 of the new namespaces, before systemd replaces it.
boot() {
  local dir=$1 d w
  for d in etc var usr root home; do
    mkdir -p "$dir/layers/$d/upper" "$dir/layers/$d/work"
    mount -t overlay overlay -o "lowerdir=/$d,upperdir=$dir/layers/$d/upper,workdir=$dir/layers/$d/work" "/$d"
  done
  # Its console is the boot log, not the machine's (bound while DIR is still in sight).
  mount --bind "$dir/boot.log" /dev/console
  mount -t tmpfs -o mode=0755 tmpfs /run
  mount -t tmpfs -o mode=1777 tmpfs /tmp
  mount -t tmpfs -o mode=1777 tmpfs /var/tmp
  mount -t cgroup2 cgroup2 /sys/fs/cgroup
  for w in /etc/systemd/system/*.wants /etc/systemd/system/*.requires /usr/lib/systemd/system/*.wants \
    /usr/lib/systemd/system/*.requires /usr/lib/systemd/system-generators \
    /etc/systemd/system-generators /usr/local/lib/systemd/system-generators; do
    if [ -d "$w" ]; then mount -t tmpfs -o mode=0755 tmpfs "$w"; fi
  done
  # Nothing here may load kernel modules for the machine.
  ln -sf /dev/null /etc/systemd/system/modprobe@.service
  printf '[Unit]\nDescription=Private test system\nWants=dbus.socket systemd-logind.service\n' \
    >/etc/systemd/system/torvane-sysroot.target
  # Boot only with every isolation in place.
  for d in etc var usr root home; do
    [ "$(stat -f -c %T "/$d")" = overlayfs ] || die "/$d is not an overlay"
  done
  for d in /run /tmp /var/tmp; do
    [ "$(stat -f -c %T "$d")" = tmpfs ] || die "$d is not a private tmpfs"
  done
  [ -z "$(ls /usr/lib/systemd/system/sysinit.target.wants)" ] || die "sysinit.target.wants is not hidden"
  hostname torvane-sysroot
  exec /lib/systemd/systemd --system --unit=torvane-sysroot.target --log-target=console
}

start() {
  local dir=$1 cg child i
  [ "$(id -u)" -eq 0 ] || die "needs root"
  [ -d "$dir" ] || die "no directory $dir"
  dir="$(cd "$dir" && pwd)"
  cg="$(mktemp -d /sys/fs/cgroup/unified/torvane-sysroot.XXXXXX)"
  echo "$cg" >"$dir/cgroup"
  # The new cgroup namespace starts at a cgroup of its own, so that this systemd's slices and services
  # are nobody else's.
  # shellcheck disable=SC2016 # expanded by the inner bash
  setsid bash -c 'echo $$ >"$1/cgroup.procs" && shift && exec "$@"' _ "$cg" \
    unshare --pid --fork --mount --uts --ipc --net --cgroup --propagation private --mount-proc \
    env -i container=torvane-sysroot PATH=/usr/sbin:/usr/bin:/sbin:/bin "${BASH_SOURCE[0]}" __boot "$dir" \
    </dev/null >"$dir/boot.log" 2>&1 &
  local outer=$!
  for ((i = 0; i < 100; i++)); do
    child="$(cat "/proc/$outer/task/$outer/children" 2>/dev/null || true)"
    [ -n "${child// /}" ] && break
    sleep 0.1
  done
  [ -n "${child// /}" ] || die "the namespace did not start: $(cat "$dir/boot.log")"
  echo "${child// /}" >"$dir/pid1"
  # A watcher outside: the system dies with whoever started it.
  local caller=$PPID
  (
    while kill -0 "$caller" 2>/dev/null && kill -0 "$outer" 2>/dev/null; do sleep 1; done
    stop "$dir"
  ) </dev/null >/dev/null 2>&1 &
  for ((i = 0; i < 300; i++)); do
    if run_inside "$dir" systemctl is-active --quiet dbus.service 2>/dev/null &&
      run_inside "$dir" systemctl is-active --quiet systemd-logind.service 2>/dev/null; then
      return 0
    fi
    kill -0 "$outer" 2>/dev/null || break
    sleep 0.1
  done
  stop "$dir"
  die "systemd did not bring up dbus and logind: $(tail -n 30 "$dir/boot.log")"
}

stop() {
  local dir=$1 pid cg
  pid="$(cat "$dir/pid1" 2>/dev/null || true)"
  if [ -n "$pid" ]; then kill -KILL "$pid" 2>/dev/null || true; fi
  cg="$(cat "$dir/cgroup" 2>/dev/null || true)"
  if [ -n "$cg" ] && [ -d "$cg" ]; then
    echo 1 >"$cg/cgroup.kill" 2>/dev/null || true
    for ((i = 0; i < 50; i++)); do
      find "$cg" -depth -type d -exec rmdir {} + 2>/dev/null || true
      [ -d "$cg" ] || break
      sleep 0.1
    done
  fi
  rm -f "$dir/pid1" "$dir/cgroup"
}

case "${1:-}" in
  start) start "$2" ;;
  exec) shift && run_inside "$@" ;;
  stop) stop "$2" ;;
  __boot) boot "$2" ;;
  *) die "usage: sysroot.sh start DIR | exec DIR CMD [ARG...] | stop DIR" ;;
esac
