#!/bin/bash
# A real systemd as PID 1 of private namespaces, for tests that install into a system and need its
# service manager, D-Bus and logind. Nothing it does reaches the machine: it has its own PID, mount, UTS,
# IPC, network and cgroup namespaces; fresh tmpfs on /run, /tmp and /var/tmp; overlays on /etc, /var,
# /usr, /root and /home whose upper layers are in DIR; its own cgroup2 tree; every *.wants and *.requires
# folder and every generator hidden; and a target of its own that wants only dbus.socket and
# systemd-logind.service. Needs root.
#
#   sysroot.sh start DIR [KEEP...]  boot; DIR (an empty directory of the caller's) receives the upper
#                                   layers and a boot log. Returns once dbus and logind run. The system is
#                                   killed when the caller of `start` exits, should it forget `stop`.
#                                   Each KEEP (a checkout or build tree) stays visible inside, also when it
#                                   lies under /tmp or /var/tmp, which are fresh there.
#   sysroot.sh bare DIR [KEEP...]   the same isolation without a service manager: PID 1 only waits, as in
#                                   a container or chroot (no /run/systemd/system, no dbus, no logind).
#   sysroot.sh exec DIR CMD [ARG]   run CMD inside as root with a clean environment (PATH, LANG); its
#                                   output and exit status are passed on. Pass variables with `env A=B CMD`.
#   sysroot.sh stop DIR             SIGKILL to its PID 1 (SIGTERM would make systemd re-execute), then
#                                   its cgroup goes. DIR stays for the caller to remove.
# Exit status: 0 done, 1 failed, 2 cannot run here (not root, no cgroup2, no systemd); reason on stderr.
set -euo pipefail

die() { printf 'sysroot.sh: %s\n' "$2" >&2 && exit "$1"; }

# The system and its watcher keep none of the caller's files open: a lock the caller holds (a flock
# around a test run) must end with the caller, not with a system left behind.
close_inherited() {
  local fd
  for fd in /proc/"$BASHPID"/fd/*; do [ "${fd##*/}" -le 2 ] || eval "exec ${fd##*/}>&-"; done 2>/dev/null
}

run_inside() {
  local pid
  pid="$(cat "$1/pid1" 2>/dev/null)" || die 1 "no system booted in $1"
  shift
  nsenter -t "$pid" -m -p -n -u -i -C --wdns=/ env -i PATH=/usr/sbin:/usr/bin:/sbin:/bin LANG=C.UTF-8 "$@"
}

# Runs as PID 1 of the new namespaces, before systemd (or, bare, a wait) replaces it.
boot() {
  local init=$1 dir=$2 d w
  shift
  for d in etc var usr root home; do
    mkdir -p "$dir/layers/$d/upper" "$dir/layers/$d/work"
    mount -t overlay overlay -o "lowerdir=/$d,upperdir=$dir/layers/$d/upper,workdir=$dir/layers/$d/work" "/$d"
  done
  # Its console is the boot log, not the machine's (bound while DIR is still in sight).
  mount --bind "$dir/boot.log" /dev/console
  mount -t tmpfs -o mode=0755 tmpfs /run
  # Each fresh tmpfs is made aside, given the kept paths that lie under it, and then moved in place.
  for d in /tmp /var/tmp; do
    local fresh="/run/fresh${d//\//-}" k
    mkdir -p "$fresh" && mount -t tmpfs -o mode=1777 tmpfs "$fresh"
    for k in "${@:2}"; do
      [[ "$k" == "$d"/* && -e "$k" ]] || continue
      if [ -d "$k" ]; then mkdir -p "$fresh${k#"$d"}"; else
        mkdir -p "$(dirname "$fresh${k#"$d"}")" && touch "$fresh${k#"$d"}"
      fi
      mount --bind "$k" "$fresh${k#"$d"}"
    done
    mount --move "$fresh" "$d"
  done
  mount -t cgroup2 cgroup2 /sys/fs/cgroup
  for w in /etc/systemd/system/*.wants /etc/systemd/system/*.requires /usr/lib/systemd/system/*.wants \
    /usr/lib/systemd/system/*.requires /{etc,usr/lib,usr/local/lib}/systemd/system-generators; do
    if [ -d "$w" ]; then mount -t tmpfs -o mode=0755 tmpfs "$w"; fi
  done
  # Nothing here may load kernel modules for the machine.
  ln -sf /dev/null /etc/systemd/system/modprobe@.service
  printf '[Unit]\nDescription=Private test system\nWants=dbus.socket systemd-logind.service\n' \
    >/etc/systemd/system/torvane-sysroot.target
  # Boot only with every isolation in place.
  for d in /etc /var /usr /root /home /run /tmp /var/tmp /usr/lib/systemd/system/sysinit.target.wants; do
    [[ "$(stat -f -c %T "$d")" =~ ^(overlayfs|tmpfs)$ ]] || die 1 "$d is not private"
  done
  if [ "$init" = bare ]; then
    touch /run/torvane-sysroot-ready
    exec sleep infinity
  fi
  exec /lib/systemd/systemd --system --unit=torvane-sysroot.target --log-target=console
}

start() {
  local init=$1 dir=$2 v2 cg outer child="" i=0 caller=$PPID
  shift
  [ "$(id -u)" -eq 0 ] || die 2 "booting a private systemd needs root"
  [ "$init" = bare ] || [ -x /lib/systemd/systemd ] || die 2 "systemd is not installed (scripts/bootstrap installs it)"
  v2="$(findmnt -n -t cgroup2 -o TARGET | head -n 1)"
  [[ -n "$v2" && -w "$v2" ]] || die 2 "no writable cgroup2 hierarchy"
  dir="$(cd "$1" && pwd)" || die 1 "no directory $1"
  local keep=() k
  for k in "${@:2}"; do keep+=("$(realpath -m "$k")"); done
  # The new cgroup namespace starts at a cgroup of its own: this systemd's slices are nobody else's.
  cg="$(mktemp -d "$v2/torvane-sysroot.XXXXXX")"
  echo "$cg" >"$dir/cgroup"
  close_inherited
  # shellcheck disable=SC2016 # expanded by the inner bash
  setsid bash -c 'echo $$ >"$1/cgroup.procs" && shift && exec "$@"' _ "$cg" \
    unshare --pid --fork --mount --uts --ipc --net --cgroup --propagation private --mount-proc \
    env -i container=torvane-sysroot PATH=/usr/sbin:/usr/bin:/sbin:/bin "${BASH_SOURCE[0]}" __boot "$init" "$dir" "${keep[@]}" \
    </dev/null >"$dir/boot.log" 2>&1 &
  outer=$!
  while [ -z "${child// /}" ] && [ $((i++)) -lt 100 ]; do
    sleep 0.1
    child="$(cat "/proc/$outer/task/$outer/children" 2>/dev/null || true)"
  done
  [ -n "${child// /}" ] || die 1 "the namespaces did not start: $(cat "$dir/boot.log")"
  echo "${child// /}" >"$dir/pid1"
  # Only its PID 1 stays in the new cgroup, which leaves systemd free to delegate controllers below it.
  echo "$outer" >"$v2$(awk -F: '$1 == 0 { print $3 }' /proc/self/cgroup)/cgroup.procs" || true
  # A watcher outside, in a session of its own so that killing the caller's process group spares it:
  # the system dies with whoever started it.
  setsid "${BASH_SOURCE[0]}" __watch "$caller" "$outer" "$dir" </dev/null >/dev/null 2>&1 &
  for ((i = 0; i < 300; i++)); do
    local states
    if [ "$init" = bare ]; then
      ! run_inside "$dir" test -e /run/torvane-sysroot-ready 2>/dev/null || return 0
    else
      states="$(run_inside "$dir" systemctl is-active dbus.service systemd-logind.service 2>/dev/null || true)"
      [ "$states" != $'active\nactive' ] || return 0
    fi
    kill -0 "$outer" 2>/dev/null || break
    sleep 0.1
  done
  stop "$dir"
  die 1 "the system did not come up ($init): $(tail -n 30 "$dir/boot.log")"
}

stop() {
  local dir=$1 pid cg i=0
  pid="$(cat "$dir/pid1" 2>/dev/null || true)"
  [ -z "$pid" ] || kill -KILL "$pid" 2>/dev/null || true
  cg="$(cat "$dir/cgroup" 2>/dev/null || true)"
  while [ -n "$cg" ] && [ -d "$cg" ] && [ $((i++)) -lt 50 ]; do
    echo 1 >"$cg/cgroup.kill" 2>/dev/null || true
    find "$cg" -depth -type d -exec rmdir {} + 2>/dev/null || sleep 0.1
  done
  rm -f "$dir/pid1" "$dir/cgroup"
}

case "${1:-}" in
  start) shift && start systemd "$@" ;;
  bare) shift && start bare "$@" ;;
  exec) shift && run_inside "$@" ;;
  stop) stop "$2" ;;
  __boot) shift && boot "$@" ;;
  __watch)
    while kill -0 "$2" && kill -0 "$3"; do sleep 1; done 2>/dev/null
    stop "$4"
    ;;
  *) die 1 "usage: sysroot.sh start|bare DIR [KEEP...] | exec DIR CMD [ARG...] | stop DIR" ;;
esac
