#!/bin/bash
# Installs torvane-helper as a launchd daemon that runs a root-owned copy of it, and makes the shared
# directory writable for the user at the console (the app writes its request there).
# Run as root without arguments; the app does so through osascript's administrator prompt. On failure:
# status 1, reason on stderr, and a first installation is taken back so that nothing is left half-done.
set -euo pipefail
# pkexec itself answers 126 and 127 (not authorised, dismissed): no failure of ours may look like those.
trap 'case $? in 126 | 127) exit 1 ;; esac' EXIT

# Tests point TORVANE_ROOT at a scratch root (and put stand-in tools on PATH); on a real system it is empty.
root="${TORVANE_ROOT:-}"
admin_group="${TORVANE_ADMIN_GROUP:-wheel}"
label="jp.local.torvane.helper"
installed_helper="/Library/PrivilegedHelperTools/torvane-helper"
plist="/Library/LaunchDaemons/$label.plist"
shared_dir="/Library/Application Support/Torvane"
helper_log="/var/log/torvane-helper.log"
checks="${TORVANE_START_CHECKS:-40}" # how often to look at launchd, 0.25 s apart

here="$(cd "$(dirname "${BASH_SOURCE[0]}")" && pwd)"

fail() {
  printf '%s\n' "$*" >&2
  exit 1
}

[ "$#" -eq 0 ] || fail "install-helper.sh は引数を取りません"
[ "$(id -u)" -eq 0 ] || fail "管理者（root）として実行してください"
command -v launchctl >/dev/null 2>&1 || fail "launchctl が見つからないため、ヘルパーを導入できません"

# The daemon ships beside the scripts, in the bundle's MacOS folder, or under a prefix's libexec.
source_helper="${TORVANE_HELPER_SOURCE:-}"
if [ -z "$source_helper" ]; then
  for candidate in "$here/torvane-helper" "$here/../MacOS/torvane-helper" "$here/../../libexec/torvane/torvane-helper"; do
    if [ -f "$candidate" ] && [ -x "$candidate" ]; then
      source_helper="$candidate"
      break
    fi
  done
fi
if [ -z "$source_helper" ] || [ ! -f "$source_helper" ] || [ ! -x "$source_helper" ]; then
  fail "導入するヘルパーが見つかりません: ${source_helper:-$here/torvane-helper}"
fi

# The prompt runs us as root without saying who asked; the user at the console is the app's user.
owner="${TORVANE_CONSOLE_USER:-$(stat -f%Su /dev/console 2>/dev/null || true)}"
if [ -z "$owner" ] || [ "$owner" = "root" ] || [ "$owner" = "loginwindow" ]; then
  owner="${SUDO_USER:-}"
fi
if [ -z "$owner" ] || ! id -u "$owner" >/dev/null 2>&1; then
  fail "どのユーザーのために導入するのか分かりません。ログインした状態でアプリのメニューから実行してください"
fi
owner_group="$(id -gn "$owner")"

if [ -L "$root$shared_dir" ] || { [ -e "$root$shared_dir" ] && [ ! -d "$root$shared_dir" ]; }; then
  fail "$shared_dir がフォルダではありません。取り除いてからもう一度お試しください"
fi

loaded() { launchctl print "system/$label" >/dev/null 2>&1; }

wait_until_unloaded() {
  for ((i = 0; i < checks; i++)); do
    loaded || return 0
    sleep 0.25
  done
  return 1
}

first_install=1
[ -e "$root$plist" ] && first_install=0
created_shared=0
changing=0

# shellcheck disable=SC2317 # run by the EXIT trap
take_back() {
  local status=$?
  if [ "$status" -ne 0 ] && [ "$changing" -eq 1 ] && [ "$first_install" -eq 1 ]; then
    launchctl bootout "system/$label" >/dev/null 2>&1 || true
    rm -f "$root$plist" "$root$installed_helper"
    if [ "$created_shared" -eq 1 ]; then rm -rf "$root$shared_dir"; fi
  fi
  case "$status" in 126 | 127) status=1 ;; esac
  exit "$status"
}
trap take_back EXIT
changing=1

# A reinstallation replaces a running daemon: unload it first so launchd runs the new copy.
if loaded; then
  launchctl bootout "system/$label" >/dev/null 2>&1 || true
  wait_until_unloaded || fail "動いているヘルパーを止められませんでした"
fi

# A root-owned copy in a root-owned folder: launchd never runs a binary a user could replace.
install -d -o root -g "$admin_group" -m 0755 "$root$(dirname "$installed_helper")"
install -o root -g "$admin_group" -m 0755 "$source_helper" "$root$installed_helper.new"
mv -f "$root$installed_helper.new" "$root$installed_helper"

install -d -o root -g "$admin_group" -m 0755 "$root$(dirname "$plist")"
cat >"$root$plist.new" <<PLIST
<?xml version="1.0" encoding="UTF-8"?>
<!DOCTYPE plist PUBLIC "-//Apple//DTD PLIST 1.0//EN" "http://www.apple.com/DTDs/PropertyList-1.0.dtd">
<plist version="1.0">
<dict>
	<key>Label</key>
	<string>$label</string>
	<key>ProgramArguments</key>
	<array>
		<string>$installed_helper</string>
	</array>
	<key>RunAtLoad</key>
	<true/>
	<key>KeepAlive</key>
	<true/>
	<key>StandardErrorPath</key>
	<string>$helper_log</string>
</dict>
</plist>
PLIST
chown "root:$admin_group" "$root$plist.new"
chmod 0644 "$root$plist.new"
mv -f "$root$plist.new" "$root$plist"

if [ ! -d "$root$shared_dir" ]; then
  mkdir -p "$root$shared_dir"
  created_shared=1
fi
chown "$owner:$owner_group" "$root$shared_dir"
chmod 0755 "$root$shared_dir"

output="$(launchctl bootstrap system "$root$plist" 2>&1)" || fail "ヘルパーを launchd に登録できませんでした: $output"

for ((i = 0; i < checks; i++)); do
  if service="$(launchctl print "system/$label" 2>/dev/null)" && grep -q 'state = running' <<<"$service"; then
    echo "ヘルパーを導入しました（$label）"
    exit 0
  fi
  sleep 0.25
done
fail "ヘルパーが動いていません。$helper_log を確認してください"
