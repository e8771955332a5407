#!/bin/bash
# Installs torvane-helper as a systemd service that runs a root-owned copy of the daemon, and makes the
# shared directory writable for the user who asked (the app writes its request there). When the daemon
# and its unit come from the Debian package, the packaged unit is enabled and started instead: nothing
# is copied or generated.
# Run as root without arguments; the app does so through pkexec. On failure: status 1, reason on stderr,
# and a first installation is taken back so that nothing is left half-done.
set -euo pipefail
# pkexec itself answers 126 and 127 (not authorised, dismissed): no failure of ours may look like those.
trap 'case $? in 126 | 127) exit 1 ;; esac' EXIT

# Tests point TORVANE_ROOT at a scratch root (and put stand-in tools on PATH); on a real system it is empty.
root="${TORVANE_ROOT:-}"
unit_name="jp.local.torvane.helper.service"
installed_helper="/usr/local/libexec/torvane/torvane-helper"
shared_dir="/var/lib/torvane"
helper_log="/var/log/torvane-helper.log"
unit_file="$root/etc/systemd/system/$unit_name"
packaged_unit="$root/lib/systemd/system/$unit_name"
packaged_helper="$root/usr/libexec/torvane/torvane-helper"
start_checks="${TORVANE_START_CHECKS:-40}" # how often to look for the running service, 0.25 s apart

here="$(cd "$(dirname "${BASH_SOURCE[0]}")" && pwd)"
source_helper="${TORVANE_HELPER_SOURCE:-$here/../../libexec/torvane/torvane-helper}"

fail() {
  printf '%s\n' "$*" >&2
  exit 1
}

[ "$#" -eq 0 ] || fail "install-helper.sh は引数を取りません"
[ "$(id -u)" -eq 0 ] || fail "管理者（root）として実行してください"

# systemd's own test for "booted with systemd".
if [ ! -d "$root/run/systemd/system" ] || ! command -v systemctl >/dev/null 2>&1; then
  fail "このシステムは systemd で動いていないため、ヘルパーを導入できません"
fi
if [ ! -f "$source_helper" ] || [ ! -x "$source_helper" ]; then
  fail "導入するヘルパーが見つかりません: $source_helper"
fi

# The user who asked: pkexec says so in PKEXEC_UID, sudo in SUDO_UID.
owner_uid="${PKEXEC_UID:-${SUDO_UID:-}}"
[[ "$owner_uid" =~ ^[0-9]+$ ]] ||
  fail "どのユーザーのために導入するのか分かりません。アプリのメニューから、または sudo で実行してください"
passwd_entry="$(getent passwd "$owner_uid")" || fail "ユーザー ID $owner_uid が見つかりません"
owner_gid="$(cut -d: -f4 <<<"$passwd_entry")"

if [ -L "$root$shared_dir" ] || { [ -e "$root$shared_dir" ] && [ ! -d "$root$shared_dir" ]; }; then
  fail "$shared_dir がディレクトリではありません。取り除いてからもう一度お試しください"
fi

packaged=0
if [ -f "$packaged_unit" ] && [ "$source_helper" -ef "$packaged_helper" ]; then
  packaged=1
  # A unit in /etc would hide the packaged one.
  [ ! -e "$unit_file" ] || fail "$(dirname "$unit_file") に別のヘルパー（ソースから導入したもの）があります。先に sudo bash $here/uninstall.sh --keep-app で取り外してください"
fi

# With PREFIX=/usr/local the app's own daemon already is the copy the service runs; it stays the app's.
app_owns_copy=0
if [ -e "$root$installed_helper" ] && [ "$source_helper" -ef "$root$installed_helper" ]; then
  app_owns_copy=1
fi

first_install=1
if [ "$packaged" -eq 1 ]; then
  systemctl is-enabled --quiet "$unit_name" 2>/dev/null && first_install=0
elif [ -e "$unit_file" ]; then
  first_install=0
fi
created_shared=0
changing=0

# shellcheck disable=SC2317 # run by the EXIT trap
take_back() {
  local status=$?
  if [ "$status" -ne 0 ] && [ "$changing" -eq 1 ] && [ "$first_install" -eq 1 ]; then
    systemctl disable --now "$unit_name" >/dev/null 2>&1 || true
    if [ "$packaged" -eq 0 ]; then
      rm -f "$unit_file"
      systemctl daemon-reload >/dev/null 2>&1 || true
      rm -f "$root$installed_helper.new"
      if [ "$app_owns_copy" -eq 0 ]; then rm -f "$root$installed_helper"; fi
      rmdir "$root$(dirname "$installed_helper")" 2>/dev/null || true
    fi
    if [ "$created_shared" -eq 1 ]; then rm -rf "$root$shared_dir"; fi
  fi
  case "$status" in 126 | 127) status=1 ;; esac
  exit "$status"
}
trap take_back EXIT
changing=1

install_copy_and_unit() {
  # A root-owned copy in a root-owned directory: the service never runs a binary a user could replace.
  install -d -o root -g root -m 0755 "$root$(dirname "$installed_helper")"
  if [ "$app_owns_copy" -eq 1 ]; then
    chown root:root "$root$installed_helper"
    chmod 0755 "$root$installed_helper"
  else
    install -o root -g root -m 0755 "$source_helper" "$root$installed_helper.new"
    mv -f "$root$installed_helper.new" "$root$installed_helper"
  fi

  install -d -o root -g root -m 0755 "$(dirname "$unit_file")"
  # The package's unit is made from this text by the build (packaging/CMakeLists.txt).
  cat >"$unit_file.new" <<UNIT
[Unit]
Description=Torvane helper: keeps the laptop awake with the lid closed while the app asks for it
After=systemd-logind.service

[Service]
Type=simple
User=root
ExecStart=$installed_helper
Restart=always
RestartSec=2
StandardError=append:$helper_log
NoNewPrivileges=yes
PrivateTmp=yes
ProtectHome=yes
ProtectSystem=full

[Install]
WantedBy=multi-user.target
UNIT
  chmod 0644 "$unit_file.new"
  mv -f "$unit_file.new" "$unit_file"
}
# The package's daemon and unit are root's already, in /usr and /lib.
[ "$packaged" -eq 1 ] || install_copy_and_unit

if [ ! -d "$root$shared_dir" ]; then
  mkdir -p "$root$shared_dir"
  created_shared=1
fi
chown "$owner_uid:$owner_gid" "$root$shared_dir"
chmod 0755 "$root$shared_dir"

output="$(systemctl daemon-reload 2>&1)" || fail "systemd に設定を読み込ませられませんでした: $output"
output="$(systemctl enable "$unit_name" 2>&1)" || fail "サービスを有効にできませんでした: $output"
# restart, not start: a reinstallation must run the new copy.
output="$(systemctl restart "$unit_name" 2>&1)" || fail "サービスを起動できませんでした: $output"

for ((i = 0; i < start_checks; i++)); do
  if systemctl is-active --quiet "$unit_name"; then
    echo "ヘルパーを導入しました（$unit_name）"
    exit 0
  fi
  sleep 0.25
done
state="$(systemctl is-active "$unit_name" 2>/dev/null || true)"
fail "ヘルパーのサービスが動いていません（状態: ${state:-不明}）。$helper_log と journalctl -u $unit_name を確認してください"
