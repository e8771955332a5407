#!/bin/bash
# usage: check-package.sh CPACK_CONFIG VERSION SYSROOT_SH
set -euo pipefail
config=$1 version=$2 sysroot=$3
export LC_ALL=C # one collation for sort and comm
tmp=$(mktemp -d /tmp/torvane-pkg.XXXXXX)
cleanup() {
  local booted
  for booted in "$tmp"/sys-*; do [ ! -d "$booted" ] || "$sysroot" stop "$booted"; done
  rm -rf "$tmp"
}
trap cleanup EXIT
fail() { echo "FAIL: $*" >&2; exit 1; }

cpack --config "$config" -B "$tmp/out" >"$tmp/cpack.log" 2>&1 || { cat "$tmp/cpack.log"; fail "cpack"; }
deb="$tmp/out/torvane_${version}_$(dpkg --print-architecture).deb"
[ -f "$deb" ] || fail "no $deb"
lint=$(lintian -I --pedantic "$deb" 2>&1) || true
! grep -E '^[EW]: ' <<<"$lint" || fail "lintian reports errors or warnings"

# Exactly these files: the app finds ../share/torvane from its own directory, the scripts find the
# daemon at ../../libexec/torvane from theirs.
expected='-rw-r--r-- ./lib/systemd/system/jp.local.torvane.helper.service
-rwxr-xr-x ./usr/bin/torvane
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

field() { dpkg-deb -f "$deb" "$1"; }
[ "$(field Version)" = "$version" ] || fail "version $(field Version), not $version"
depends=$(field Depends | tr ',' '\n' | awk '{ print $1 }')
for dep in pkexec libc6 libqt6widgets6 libsdbus-c++1 libsodium23; do
  grep -qxF "$dep" <<<"$depends" || fail "Depends lacks $dep: $(field Depends)"
done
! grep -qxF systemd <<<"$depends" || fail "only the optional helper needs systemd: $(field Depends)"
[ "$(field Recommends)" = "systemd, tmux" ] || fail "Recommends: $(field Recommends)"

dpkg-deb -x "$deb" "$tmp/root"
grep -qx 'Exec=/usr/bin/torvane' "$tmp/root/usr/share/applications/torvane.desktop" || fail "desktop Exec"
desktop-file-validate "$tmp/root/usr/share/applications/torvane.desktop" || fail "desktop entry"
for program in usr/bin/torvane usr/libexec/torvane/torvane-helper; do
  [[ "$(readelf --dyn-syms -W "$tmp/root/$program")" == *__stack_chk_fail* ]] || fail "$program: no stack protector"
done

# The app from the extracted copy, in a mount namespace whose /var/lib is an empty tmpfs.
mkdir -p "$tmp/home" "$tmp/runtime" && chmod 700 "$tmp/runtime"
export HOME=$tmp/home XDG_CONFIG_HOME=$tmp/home/.config XDG_STATE_HOME=$tmp/home/.state \
  XDG_CACHE_HOME=$tmp/home/.cache XDG_RUNTIME_DIR=$tmp/runtime TMUX_TMPDIR=$tmp/runtime \
  QT_QPA_PLATFORM=offscreen DBUS_SYSTEM_BUS_ADDRESS=unix:path=$tmp/no-bus ROOT=$tmp/root
unset DISPLAY WAYLAND_DISPLAY TMUX
# Both answer and end at once, without starting the app.
[ "$(timeout 10 "$ROOT/usr/bin/torvane" --version)" = "torvane $version" ] || fail "torvane --version"
timeout 10 "$ROOT/usr/bin/torvane" --help | grep -q '^使い方: torvane' || fail "torvane --help"
[ ! -e "$XDG_STATE_HOME/torvane" ] || fail "--help or --version started the app"
unshare --user --map-root-user --mount --propagation private bash -euo pipefail -c '
  mount -t tmpfs none /var/lib
  out=$HOME/out.log applog=$XDG_STATE_HOME/torvane/Torvane.log
  fail() { cat "$out" >&2; echo "FAIL: $*" >&2; exit 1; }
  "$ROOT/usr/bin/torvane" >>"$out" 2>&1 & app=$!
  for _ in $(seq 100); do grep -q "=== Torvane 起動 ===" "$applog" 2>/dev/null && break; sleep 0.1; done
  kill -TERM "$app" && wait "$app" || fail "the app did not start and end in order"
  grep -q "=== Torvane 終了（通常の電源設定に戻しました）===" "$applog" || fail "no end line"
'
echo "package $(basename "$deb"): $(stat -c %s "$deb") bytes"

# Installed, used, upgraded, removed and purged as a user would: on a real systemd booted in private
# namespaces, then in the same isolation without systemd (a container, a chroot). Each step is checked
# against the exact set of paths it leaves, compared with the private system before the installation.
[ "$(id -u)" -eq 0 ] || { echo "SKIP: installing into a private system needs root"; exit 77; }
unit=jp.local.torvane.helper.service
wants=/etc/systemd/system/multi-user.target.wants/$unit
inside() { "$sysroot" exec "$sys" "$@"; }
# Package managers' own records and caches change with every installation; they are not ours.
snapshot() {
  inside find /etc /usr /var \( -path /var/lib/dpkg -o -path /var/lib/apt -o -path /var/cache \
    -o -path /var/log/apt -o -path /var/log/dpkg.log -o -path /var/log/journal -o -path /var/tmp \
    -o -path /var/lib/systemd -o -path /var/lib/PackageKit \) -prune -o -print | sort
}
# usage: step NAME EXPECTED: the paths added or gone since the base snapshot are exactly EXPECTED.
step() {
  local changed
  changed=$(comm -3 "$tmp/base" <(snapshot) | tr -d '\t')
  [ "$changed" = "$2" ] || fail "$1 changed other paths:"$'\n'"$(diff <(echo "$2") <(echo "$changed"))"
}
apt_get() { inside apt-get -y -q "$@" >"$tmp/apt.log" 2>&1 || { cat "$tmp/apt.log"; fail "apt-get $*"; }; }
# The package's paths as the running system names them (/lib is /usr/lib here).
dpkg-deb -c "$deb" | awk '{ sub(/^\./, "", $6); sub(/\/$/, "", $6); if ($6 != "") print $6 }' |
  sed -E "s|^/lib(/\|\$)|$(realpath /lib)\1|" | sort >"$tmp/files"
boot() {
  sys=$tmp/sys-$1
  mkdir "$sys" && "$sysroot" "$1" "$sys"
  # It keeps none of our files open (fd 8): a lock taken around the test run ends with the run.
  [ -z "$(find "/proc/$(cat "$sys/pid1")/fd" -lname "$deb")" ] || fail "the system holds our files open"
  # A machine that lets packages (re)start services, unlike a container image's policy-rc.d.
  inside rm -f /usr/sbin/policy-rc.d
  # The compared tree is this system's alone: an empty /usr/local of its own, and none of the machine's
  # Torvane state (shared directory, log, units) showing through the overlays.
  inside sh -ec "mount -t tmpfs -o mode=0755 tmpfs /usr/local
    rm -rf /var/lib/torvane /var/log/torvane-helper.log /etc/systemd/system/$unit $wants"
  snapshot >"$tmp/base"
  inside sh -c 'cat >/root/torvane.deb' <"$deb"
  comm -13 "$tmp/base" <(snapshot) >"$tmp/deb"
  packaged=$(comm -13 "$tmp/base" "$tmp/files" | sort -m - "$tmp/deb")
}
data="/var/lib/torvane
/var/lib/torvane/ack
/var/lib/torvane/request
/var/log/torvane-helper.log"
helper_on=$(sort <<<"$wants"$'\n'"$data")

exec 8<"$deb"
boot start
locks() { inside systemd-inhibit --list --no-pager --no-legend | awk '$1 == "torvane-helper"'; }
apt_get install /root/torvane.deb
step install "$packaged"
[ "$(inside systemctl is-enabled $unit)" = disabled ] || fail "the unit is enabled before the user asks"
# What the menu runs through pkexec.
inside env PKEXEC_UID=65534 /bin/bash /usr/share/torvane/install-helper.sh >"$tmp/on.log" 2>&1 ||
  fail "install-helper.sh: $(cat "$tmp/on.log")"
[ "$(inside systemctl is-active $unit)" = active ] || fail "service not active"
# The app's request, by the user the helper was installed for: the daemon blocks sleep.
inside setpriv --reuid=65534 --regid=65534 --clear-groups sh -c 'printf 1 >/var/lib/torvane/request'
for _ in $(seq 50); do [ -n "$(locks)" ] && break; sleep 0.1; done
[ -n "$(locks)" ] || fail "the installed daemon never took the sleep lock"
step "helper on" "$(sort -m <(echo "$packaged") <(echo "$helper_on"))"
# An upgrade keeps the helper on and restarts it on the new daemon.
before=$(inside systemctl show -P MainPID $unit)
apt_get install --reinstall /root/torvane.deb
[ "$(inside systemctl show -P MainPID $unit)" != "$before" ] || fail "the upgrade did not restart the daemon"
step upgrade "$(sort -m <(echo "$packaged") <(echo "$helper_on"))"
# As an earlier package turned it on: a copy in /usr/local run by a unit in /etc. An upgrade moves it.
inside sh -ec "systemctl disable -q --now $unit; mkdir -p /usr/local/libexec/torvane
  cp /usr/libexec/torvane/torvane-helper /usr/local/libexec/torvane/
  sed 's|^ExecStart=.*|ExecStart=/usr/local/libexec/torvane/torvane-helper|' /lib/systemd/system/$unit >/etc/systemd/system/$unit
  systemctl daemon-reload; systemctl enable -q --now $unit"
apt_get install --reinstall /root/torvane.deb
grep -qF "パッケージのサービスに移しました" "$tmp/apt.log" || fail "the upgrade did not move the old helper"
running=$(inside systemctl show -P ActiveState,FragmentPath $unit | paste -sd' ')
[[ "$running" == "active "*/lib/systemd/system/$unit ]] || fail "not the packaged unit running: $running"
step "upgrade from /usr/local" "$(sort -m <(echo "$packaged") <(echo "$helper_on"))"

apt_get remove torvane
grep -qF "ヘルパーのサービスを止めて無効にしました" "$tmp/apt.log" || fail "the removal did not say it stopped the helper"
held=$(locks) # a listing that fails ends the test here
[ -z "$held" ] || fail "a sleep lock outlived the package: $held"
[ -z "$(inside systemctl list-units --all --plain --no-legend $unit)" ] || fail "the service is still known"
step remove "$(sort -m "$tmp/deb" <(echo "$data"))"
apt_get purge torvane
step purge "$(cat "$tmp/deb")"
"$sysroot" stop "$sys"
echo "installed, turned on, upgraded, removed and purged under systemd"

boot bare
apt_get install /root/torvane.deb
# A system image in which the helper was turned on, then used without booting it.
inside sh -c "ln -s /lib/systemd/system/$unit $wants && mkdir /var/lib/torvane &&
  printf ok >/var/lib/torvane/ack && printf 0 >/var/lib/torvane/request && echo x >/var/log/torvane-helper.log"
apt_get remove torvane
step "remove without systemd" "$(sort -m "$tmp/deb" <(echo "$data"))"
apt_get purge torvane
step "purge without systemd" "$(cat "$tmp/deb")"
echo "installed, removed and purged without systemd"
