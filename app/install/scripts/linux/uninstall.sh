#!/bin/bash
# Removes the torvane-helper service, its root-owned daemon and the shared directory, leaving the app
# in place, then checks that sleep is no longer blocked. The Debian package's unit is only stopped and
# disabled: it and its daemon belong to the package. The daemon's orderly stop (SIGTERM from systemd)
# gives its logind inhibitor back. Run as root with the single argument --keep-app.
# On failure: status 1 and the reason on stderr.
set -euo pipefail
# pkexec itself answers 126 and 127 (not authorised, dismissed): no failure of ours may look like those.
trap 'case $? in 126 | 127) exit 1 ;; esac' EXIT

root="${TORVANE_ROOT:-}"
unit_name="jp.local.torvane.helper.service"
installed_helper="/usr/local/libexec/torvane/torvane-helper"
shared_dir="/var/lib/torvane"
unit_file="$root/etc/systemd/system/$unit_name"
packaged_unit="$root/lib/systemd/system/$unit_name"
stop_checks="${TORVANE_STOP_CHECKS:-20}" # how often to look for a leftover inhibitor, 0.25 s apart

here="$(cd "$(dirname "${BASH_SOURCE[0]}")" && pwd)"
app_helper="${TORVANE_HELPER_SOURCE:-$here/../../libexec/torvane/torvane-helper}"

fail() {
  printf '%s\n' "$*" >&2
  exit 1
}

if [ "$#" -ne 1 ] || [ "$1" != "--keep-app" ]; then
  fail "使い方: uninstall.sh --keep-app（アプリ本体の削除は README を参照してください）"
fi
[ "$(id -u)" -eq 0 ] || fail "管理者（root）として実行してください"

have_systemctl=0
command -v systemctl >/dev/null 2>&1 && have_systemctl=1

if { [ -e "$unit_file" ] || [ -e "$packaged_unit" ]; } && [ "$have_systemctl" -eq 1 ]; then
  output="$(systemctl disable --now "$unit_name" 2>&1)" || fail "ヘルパーのサービスを止められませんでした: $output"
fi
rm -f "$unit_file"
if [ "$have_systemctl" -eq 1 ]; then
  systemctl daemon-reload >/dev/null 2>&1 || true
  systemctl reset-failed "$unit_name" >/dev/null 2>&1 || true
fi
# With PREFIX=/usr/local the service ran the app's own daemon, which goes only with the app.
if [ ! -e "$app_helper" ] || ! [ "$app_helper" -ef "$root$installed_helper" ]; then
  rm -f "$root$installed_helper"
fi
rm -f "$root$installed_helper.new"
rmdir "$root$(dirname "$installed_helper")" 2>/dev/null || true
rm -rf "$root$shared_dir"

# The daemon's inhibitor goes with its process; logind may take a moment to notice.
if ! command -v systemd-inhibit >/dev/null 2>&1; then
  echo "ヘルパーを取り外しました（systemd-inhibit がないため、スリープ設定は確認していません）"
  exit 0
fi
for ((i = 0; ; i++)); do
  if ! listing="$(systemd-inhibit --list --no-pager --no-legend 2>/dev/null)"; then
    echo "ヘルパーを取り外しました（logind に問い合わせできないため、スリープ設定は確認していません）"
    exit 0
  fi
  holders="$(awk '$1 == "torvane-helper" { print $4 }' <<<"$listing" | paste -sd, -)"
  if [ -z "$holders" ]; then
    echo "ヘルパーを取り外しました。スリープの抑止は残っていません"
    exit 0
  fi
  [ "$i" -lt "$stop_checks" ] || break
  sleep 0.25
done
fail "ヘルパーを取り外しましたが、torvane-helper（PID $holders）がまだスリープを抑止しています。そのプロセスを終了させるか、再起動してください"
