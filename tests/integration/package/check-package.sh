#!/bin/bash
# usage: check-package.sh CPACK_CONFIG VERSION SYSROOT_SH
set -euo pipefail
config=$1 version=$2 sysroot=$3
tmp=$(mktemp -d /tmp/torvane-pkg.XXXXXX)
trap '[ ! -d "$tmp/sys" ] || "$sysroot" stop "$tmp/sys"; rm -rf "$tmp"' EXIT
fail() { echo "FAIL: $*" >&2; exit 1; }

cpack --config "$config" -B "$tmp/out" >"$tmp/cpack.log" 2>&1 || { cat "$tmp/cpack.log"; fail "cpack"; }
deb="$tmp/out/torvane_${version}_$(dpkg --print-architecture).deb"
[ -f "$deb" ] || fail "no $deb"
lintian --fail-on error "$deb" 2>/dev/null || fail "lintian reports errors"

# Exactly these files: the app finds ../share/torvane from its own directory, the scripts find the
# daemon at ../../libexec/torvane from theirs.
expected='-rwxr-xr-x ./usr/bin/torvane
-rwxr-xr-x ./usr/libexec/torvane/torvane-helper
-rw-r--r-- ./usr/share/applications/torvane.desktop
-rw-r--r-- ./usr/share/doc/torvane/changelog.gz
-rw-r--r-- ./usr/share/doc/torvane/copyright
-rw-r--r-- ./usr/share/icons/hicolor/scalable/apps/torvane.svg
-rw-r--r-- ./usr/share/man/man1/torvane.1.gz
-rwxr-xr-x ./usr/share/torvane/install-helper.sh
-rwxr-xr-x ./usr/share/torvane/uninstall.sh'
actual=$(dpkg-deb -c "$deb" | awk '$1 !~ /^d/ { print $1, $6 }' | sort -k2)
[ "$actual" = "$expected" ] || fail "package files differ:"$'\n'"$(diff <(echo "$expected") <(echo "$actual"))"
dpkg-deb -c "$deb" | awk '$2 != "root/root" { exit 1 }' || fail "files not owned by root"

field() { dpkg-deb -f "$deb" "$1"; }
[ "$(field Version)" = "$version" ] || fail "version $(field Version), not $version"
depends=$(field Depends | tr ',' '\n' | awk '{ print $1 }')
for dep in pkexec systemd libc6 libqt6widgets6 libsdbus-c++1 libsodium23; do
  grep -qxF "$dep" <<<"$depends" || fail "Depends lacks $dep: $(field Depends)"
done
[ "$(field Recommends)" = tmux ] || fail "Recommends: $(field Recommends)"
control=$(dpkg-deb --ctrl-tarfile "$deb" | tar -tvf -)
for script in prerm postinst; do
  grep -qE "^-rwxr-xr-x .* \./$script\$" <<<"$control" || fail "no $script"
done

dpkg-deb -x "$deb" "$tmp/root"
grep -qx 'Exec=/usr/bin/torvane' "$tmp/root/usr/share/applications/torvane.desktop" || fail "desktop Exec"
grep -qx 'Icon=torvane' "$tmp/root/usr/share/applications/torvane.desktop" || fail "desktop Icon"

# Both programs from the extracted copy, in a mount namespace whose /var/lib and /var/log are empty
# tmpfs: the daemon's shared directory and log are its own, never the machine's.
mkdir -p "$tmp/home" "$tmp/runtime" && chmod 700 "$tmp/runtime"
export HOME=$tmp/home XDG_CONFIG_HOME=$tmp/home/.config XDG_STATE_HOME=$tmp/home/.state \
  XDG_CACHE_HOME=$tmp/home/.cache XDG_RUNTIME_DIR=$tmp/runtime TMUX_TMPDIR=$tmp/runtime \
  QT_QPA_PLATFORM=offscreen DBUS_SYSTEM_BUS_ADDRESS=unix:path=$tmp/no-bus ROOT=$tmp/root
unset DISPLAY WAYLAND_DISPLAY TMUX
unshare --user --map-root-user --mount --propagation private bash -euo pipefail -c '
  mount -t tmpfs none /var/lib && mount -t tmpfs none /var/log
  out=$HOME/out.log applog=$XDG_STATE_HOME/torvane/Torvane.log
  fail() { cat "$out" >&2; echo "FAIL: $*" >&2; exit 1; }
  until_bounded() { for _ in $(seq 100); do eval "$1" && return 0; sleep 0.1; done; fail "$2"; }
  stops() { kill -TERM "$1"; status=0; wait "$1" || status=$?; [ "$status" -eq 0 ] || fail "$2 exit $status"; }

  "$ROOT/usr/libexec/torvane/torvane-helper" 2>>"$out" & helper=$!
  until_bounded "[ -f /var/lib/torvane/ack ]" "the daemon never acknowledged"
  "$ROOT/usr/bin/torvane" >>"$out" 2>&1 & app=$!
  until_bounded "grep -q \"=== Torvane 起動 ===\" \"$applog\" 2>/dev/null" "the app never logged its start"
  stops "$app" "the app"
  grep -q "=== Torvane 終了（通常の電源設定に戻しました）===" "$applog" || fail "no end line"
  [ "$(cat /var/lib/torvane/request)" = 0 ] || fail "request not 0"
  stops "$helper" "the daemon"
  grep -q "停止します（signal 15）" "$out" || fail "no daemon stop line"
'
echo "package $(basename "$deb"): $(stat -c %s "$deb") bytes"

# Installed, used and removed as a user would, on a real systemd booted in private namespaces.
[ "$(id -u)" -eq 0 ] || { echo "SKIP: installing under a private systemd needs root"; exit 77; }
mkdir "$tmp/sys" && "$sysroot" start "$tmp/sys"
inside() { "$sysroot" exec "$tmp/sys" "$@"; }
unit=jp.local.torvane.helper.service
locks() { inside systemd-inhibit --list --no-pager --no-legend | awk '$1 == "torvane-helper"'; }
inside sh -c 'cat >/root/torvane.deb' <"$deb"
inside apt-get install -y -q /root/torvane.deb >"$tmp/apt.log" 2>&1 || { cat "$tmp/apt.log"; fail "apt install"; }
# What the menu runs through pkexec.
inside env PKEXEC_UID=65534 /bin/bash /usr/share/torvane/install-helper.sh || fail "install-helper.sh"
[ "$(inside systemctl is-active $unit)" = active ] || fail "service not active"
inside cmp /usr/libexec/torvane/torvane-helper /usr/local/libexec/torvane/torvane-helper || fail "not the packaged daemon"
# The app's request, by the user the helper was installed for: the daemon blocks sleep.
hold_lock() {
  inside setpriv --reuid=65534 --regid=65534 --clear-groups sh -c 'printf 1 >/var/lib/torvane/request'
  for _ in $(seq 50); do [ -n "$(locks)" ] && return; sleep 0.1; done
  fail "the installed daemon never took the sleep lock $1"
}
hold_lock ""
# An upgrade keeps the helper and restarts it on the new daemon.
before=$(inside systemctl show -P MainPID $unit)
upgrade=$(inside apt-get install -y -q --reinstall /root/torvane.deb 2>&1) || fail "reinstall: $upgrade"
grep -qF "install-helper.sh" <<<"$upgrade" || fail "the upgrade did not replace the helper: $upgrade"
[ "$(inside systemctl show -P MainPID $unit)" != "$before" ] || fail "the upgrade did not restart the daemon"
hold_lock "after the upgrade"

removal=$(inside apt-get remove -y -q torvane 2>&1) || fail "apt remove: $removal"
grep -qF "uninstall.sh --keep-app" <<<"$removal" || fail "the removal did not say it removed the helper"
held=$(locks) # a listing that fails ends the test here
[ -z "$held" ] || fail "a sleep lock outlived the package: $held"
[ -z "$(inside systemctl list-units --all --plain --no-legend $unit)" ] || fail "the service is still known"
for gone in /etc/systemd/system/$unit /usr/local/libexec/torvane /var/lib/torvane /usr/bin/torvane; do
  ! inside test -e "$gone" || fail "$gone left after removal"
done
echo "installed, used and removed under systemd"
