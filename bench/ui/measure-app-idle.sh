#!/usr/bin/env bash
# CPU time and memory of the idle tray app: a private Xvfb with trayer, a scratch home and shared
# directory, no logind (no bus at all), no phone link. Measures SECONDS with Caps Lock off (the
# 0.25 s poll and the 15 s review running), then SECONDS with carry mode on (plus the 5 s heartbeat).
#
#   measure-app-idle.sh APP [SECONDS [WARMUP]]
#
# APP is torvane_test_app, the app with the shared directory taken from the environment. For figures
# use a release build (see docs/performance.md); ctest runs it briefly only to keep it working.
set -euo pipefail

app=${1:?usage: measure-app-idle.sh APP [SECONDS [WARMUP]]}
seconds=${2:-60}
warmup=${3:-5}
tmp=$(mktemp -d)
pids=()
cleanup() {
  for pid in "${pids[@]}"; do kill "$pid" 2>/dev/null || true; done
  wait 2>/dev/null || true
  rm -rf "$tmp"
}
trap cleanup EXIT

# Xvfb picks a free display and writes its number to fd 3 once it accepts connections.
exec 3> >(cat > "$tmp/display")
Xvfb -displayfd 3 -noreset -nolisten tcp -screen 0 800x600x24 >/dev/null 2>&1 &
pids+=($!)
exec 3>&-
for _ in $(seq 100); do [ -s "$tmp/display" ] && break; sleep 0.1; done
[ -s "$tmp/display" ] || { echo "Xvfb did not start" >&2; exit 1; }
export DISPLAY=":$(head -n1 "$tmp/display")"

trayer --edge top --align right --widthtype request --height 28 --SetDockType true >/dev/null 2>&1 &
pids+=($!)

mkdir -p "$tmp"/{home,state,config,cache,runtime,tmux,shared}
chmod 700 "$tmp/runtime"
env -u QT_QPA_PLATFORM -u DBUS_SESSION_BUS_ADDRESS -u WAYLAND_DISPLAY \
  HOME="$tmp/home" XDG_STATE_HOME="$tmp/state" XDG_CONFIG_HOME="$tmp/config" XDG_CACHE_HOME="$tmp/cache" \
  XDG_RUNTIME_DIR="$tmp/runtime" TMUX_TMPDIR="$tmp/tmux" DBUS_SYSTEM_BUS_ADDRESS="unix:path=$tmp/no-bus" \
  TORVANE_TEST_SUPPORT_DIR="$tmp/shared" \
  "$app" >"$tmp/app.log" 2>&1 &
app_pid=$!
pids+=("$app_pid")

tick=$(getconf CLK_TCK)
cpu_ticks() { awk '{ print $14 + $15 }' "/proc/$app_pid/stat"; }
status_kb() { awk -v k="$1:" '$1 == k { print $2 }' "/proc/$app_pid/status"; }
alive() { kill -0 "$app_pid" 2>/dev/null || { echo "the app ended:" >&2; cat "$tmp/app.log" >&2; exit 1; }; }

# Start-up (fonts, the tray handshake) is not idle time.
for _ in $(seq 100); do grep -q "起動" "$tmp/state/torvane/Torvane.log" 2>/dev/null && break; sleep 0.1; done
sleep "$warmup"
alive

measure() {
  local label=$1 before after
  before=$(cpu_ticks)
  sleep "$seconds"
  alive
  after=$(cpu_ticks)
  awk -v l="$label" -v t="$((after - before))" -v hz="$tick" -v s="$seconds" -v rss="$(status_kb VmRSS)" \
    -v hwm="$(status_kb VmHWM)" 'BEGIN {
      cpu = t / hz
      printf "%-24s CPU %.2f s in %d s = %.3f %% of one core; RSS %.1f MB (peak %.1f MB)\n", l, cpu, s, 100 * cpu / s, rss / 1024, hwm / 1024
    }'
}

measure "inactive (Caps Lock off)"
xdotool key Caps_Lock
for _ in $(seq 50); do [ "$(cat "$tmp/shared/request" 2>/dev/null)" = 1 ] && break; sleep 0.1; done
[ "$(cat "$tmp/shared/request" 2>/dev/null)" = 1 ] || { echo "carry mode did not start" >&2; exit 1; }
[ "$warmup" = 0 ] || sleep 1
measure "active (heartbeat)"
