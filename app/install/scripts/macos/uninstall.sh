#!/bin/bash
# Removes the torvane-helper launchd daemon, its root-owned copy and the shared directory, leaving the
# app in place, then checks that sleep is no longer disabled. The daemon's orderly stop (SIGTERM from
# launchd) restores the sleep setting. Run as root with the single argument --keep-app.
# On failure: status 1 and the reason on stderr.
set -euo pipefail
# pkexec itself answers 126 and 127 (not authorised, dismissed): no failure of ours may look like those.
trap 'case $? in 126 | 127) exit 1 ;; esac' EXIT

root="${TORVANE_ROOT:-}"
label="jp.local.torvane.helper"
installed_helper="/Library/PrivilegedHelperTools/torvane-helper"
plist="/Library/LaunchDaemons/$label.plist"
shared_dir="/Library/Application Support/Torvane"
checks="${TORVANE_STOP_CHECKS:-20}" # how often to look again, 0.25 s apart

fail() {
  printf '%s\n' "$*" >&2
  exit 1
}

if [ "$#" -ne 1 ] || [ "$1" != "--keep-app" ]; then
  fail "使い方: uninstall.sh --keep-app（アプリ本体はアプリケーションフォルダからゴミ箱に入れてください）"
fi
[ "$(id -u)" -eq 0 ] || fail "管理者（root）として実行してください"

if command -v launchctl >/dev/null 2>&1 && launchctl print "system/$label" >/dev/null 2>&1; then
  output="$(launchctl bootout "system/$label" 2>&1)" || fail "ヘルパーを止められませんでした: $output"
  for ((i = 0; ; i++)); do
    launchctl print "system/$label" >/dev/null 2>&1 || break
    [ "$i" -lt "$checks" ] || fail "ヘルパーが止まりません。Mac を再起動してからもう一度お試しください"
    sleep 0.25
  done
fi
rm -f "$root$plist" "$root$installed_helper"
rm -rf "$root$shared_dir"

if ! command -v pmset >/dev/null 2>&1; then
  echo "ヘルパーを取り外しました（pmset がないため、スリープ設定は確認していません）"
  exit 0
fi
for ((i = 0; ; i++)); do
  # Read it whole first: grep -q stopping early would make pmset fail under pipefail.
  if ! settings="$(pmset -g 2>/dev/null)"; then
    echo "ヘルパーを取り外しました（pmset が答えないため、スリープ設定は確認していません）"
    exit 0
  fi
  if ! grep -Eq '^[[:space:]]*SleepDisabled[[:space:]]+1([[:space:]]|$)' <<<"$settings"; then
    echo "ヘルパーを取り外しました。スリープ設定は元に戻っています"
    exit 0
  fi
  [ "$i" -lt "$checks" ] || break
  sleep 0.25
done
fail "ヘルパーを取り外しましたが、スリープが無効のままです（pmset -g: SleepDisabled 1）。ターミナルで sudo pmset -a disablesleep 0 を実行してください"
