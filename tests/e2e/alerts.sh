#!/usr/bin/env bash
# A device that stops answering and comes back, seen the way an operator sees
# it. The program runs in a network namespace of the test's own, joined by a
# veth pair to a second namespace that holds the device (10.201.0.2); an
# "unreachable" route in the program's namespace takes the device away and
# its removal brings it back. Nothing leaves the two namespaces.
#   A. the console mode prints one Down line and then one Up line;
#   B. the window program on a virtual display with a notification area and
#      a private session bus whose notification service is dunst: the tray
#      icon shows the red mark, one notification arrives, and one more when
#      the device is back; Stop greys the icon.
# Screenshots of the icon in each state go to $SCREENSHOTS (not committed).
#   alerts.sh PROGRAM SCREENSHOTS
set -uo pipefail
PROGRAM="$(realpath "$1")"
SCREENSHOTS="$2"

source "$(dirname "$0")/common.sh"
[ "$(id -u)" -eq 0 ] || { echo "SKIP: needs root to create network namespaces"; exit 77; }
e2e_begin ip Xvfb trayer xdotool xwininfo python3 import convert dbus-daemon dunst dunstctl

NS_P="sentrel-alerts-p-$$"
NS_D="sentrel-alerts-d-$$"
DEVICE=10.201.0.2
remove_namespaces() {
    ip netns delete "$NS_P" 2>/dev/null
    ip netns delete "$NS_D" 2>/dev/null
}
trap 'e2e_end; remove_namespaces' EXIT

ip netns add "$NS_P" 2>"$WORK/netns.log" ||
    { echo "SKIP: cannot create a network namespace: $(cat "$WORK/netns.log")"; exit 77; }
ip netns add "$NS_D" || fail "cannot create the device's namespace"
ip -n "$NS_P" link add vp type veth peer name vd netns "$NS_D" || fail "cannot link the namespaces"
ip -n "$NS_P" addr add 10.201.0.1/24 dev vp
ip -n "$NS_D" addr add "$DEVICE/24" dev vd
for ns in "$NS_P" "$NS_D"; do
    ip -n "$ns" link set lo up
done
ip -n "$NS_P" link set vp up
ip -n "$NS_D" link set vd up
# No default route in either: the device is the only address there is.
away() { ip -n "$NS_P" route add unreachable "$DEVICE/32" || fail "cannot take the device away"; }
back() { ip -n "$NS_P" route del unreachable "$DEVICE/32" || fail "cannot bring the device back"; }

# settings FILE: the device probed every second, down after the default
# three results in a row; a timeout long enough that a busy machine's late
# reply is not taken for a loss (taking the device away fails at once).
settings() {
    mkdir -p "$(dirname "$1")"
    cat >"$1" <<REG
Windows Registry Editor Version 5.00

[HKEY_CURRENT_USER\\Software\\Kestrava\\Sentrel\\1.0]
"AutoScan"=dword:00000001
"ShowWindow"=dword:00000000
"AllowEchoChange"=dword:00000001
"AllowDeviceChanges"=dword:00000001
"AllowClearLog"=dword:00000001
"AllowChangeLogSize"=dword:00000001
"ECHORequestSize"=dword:00000020
"IPTimeToLive"=dword:00000040
"ECHOTimeout"=dword:000007d0
"PingInterval"=dword:00000001
"SystemLogSize"=dword:00000064
"DeviceLogSize"=dword:00000032

[HKEY_CURRENT_USER\\Software\\Kestrava\\Sentrel\\1.0\\Devices\\$DEVICE]
"Host"="$DEVICE"
"Description"="device in a namespace"
"DeviceType"=dword:00000002
"Monitored"=dword:00000001
REG
}

# ---- A: console lines ----------------------------------------------------
settings "$WORK/console/Kestrava/Sentrel/settings.reg"
ip netns exec "$NS_P" env XDG_CONFIG_HOME="$WORK/console" "$PROGRAM" --console \
    >"$WORK/console.out" 2>"$WORK/console.err" &
CONSOLE=$!
PIDS+=($CONSOLE)
file_holds "A: the device answers" "$WORK/console.out" "$DEVICE +Connected"
away
file_holds "A: a Down line" "$WORK/console.out" "Down: $DEVICE is down \(.*\) since [0-9:]+$"
back
file_holds "A: an Up line" "$WORK/console.out" "Up: $DEVICE is up again after [0-9]+ s$"
kill -TERM "$CONSOLE"
wait "$CONSOLE"
[ "$(grep -c "Down: " "$WORK/console.out")" -eq 1 ] || fail "A: not one Down line: $(cat "$WORK/console.out")"
[ "$(grep -c "Up: " "$WORK/console.out")" -eq 1 ] || fail "A: not one Up line: $(cat "$WORK/console.out")"
echo "A: $(grep -E 'Down: |Up: ' "$WORK/console.out" | tr '\n' '|')"

# ---- B: tray icon and notifications --------------------------------------
mkdir -p "$SCREENSHOTS"
start_display
export DBUS_SESSION_BUS_ADDRESS="unix:path=$WORK/bus"
dbus-daemon --session --nofork --address="$DBUS_SESSION_BUS_ADDRESS" >"$WORK/bus.log" 2>&1 &
PIDS+=($!)
wait_until "B: the session bus listens" 30 test -S "$WORK/bus"
# dunst with its built-in defaults, not whatever the machine's user set up.
: >"$WORK/dunstrc"
dunst -config "$WORK/dunstrc" >"$WORK/dunst.log" 2>&1 &
PIDS+=($!)
wait_until "B: dunst answers" 30 dunstctl is-paused >/dev/null
# notifications: how many dunst has been given (shown now, waiting, or closed).
notifications() {
    echo $(($(dunstctl count displayed) + $(dunstctl count waiting) + $(dunstctl count history)))
}
# summaries: their texts, once closed into dunst's history.
summaries() {
    dunstctl close-all
    dunstctl history | python3 -c '
import json, sys
for n in json.load(sys.stdin)["data"][0]:
    print(n["summary"]["data"], n["body"]["data"])'
}

export XDG_CONFIG_HOME="$WORK/gui"
settings "$XDG_CONFIG_HOME/Kestrava/Sentrel/settings.reg"
ip netns exec "$NS_P" env DISPLAY="$DISPLAY" DBUS_SESSION_BUS_ADDRESS="$DBUS_SESSION_BUS_ADDRESS" \
    XDG_CONFIG_HOME="$XDG_CONFIG_HOME" "$PROGRAM" >"$WORK/program.log" 2>&1 &
PROGRAM_PID=$!
PIDS+=($PROGRAM_PID)
ICON=""
found_icon() { ICON="$(tray_icon)"; }
wait_until "B: the tray icon appears" 30 found_icon

# red_pixels FILE: saturated red pixels of the tray icon now.
red_pixels() {
    import -window "$ICON" "$1"
    convert "$1" -fx '(r>0.7 && g<0.3 && b<0.3) ? 1 : 0' -format '%[fx:round(mean*w*h)]' info:
}
RED=0
red_at_least() { RED="$(red_pixels "$WORK/$1.png")"; [ "$RED" -ge "$2" ]; }
red_at_most() { RED="$(red_pixels "$WORK/$1.png")"; [ "$RED" -le "$2" ]; }
# Up is decided on the first reply, silently: no red mark, no notification
# (an absence, so it is looked at after a few probes' time).
wait_until "B: no red mark while the device answers" 30 red_at_most up 2
sleep 3
red_at_most up 2 || fail "B: a red mark while the device answers ($RED pixels)"
[ "$(notifications)" -eq 0 ] || fail "B: a notification before any change: $(summaries)"
cp "$WORK/up.png" "$SCREENSHOTS/tray-up.png"

away
wait_until "B: the red mark shows" 30 red_at_least down 12
echo "B: red pixels with the device down: $RED"
cp "$WORK/down.png" "$SCREENSHOTS/tray-down.png"
one() { [ "$(notifications)" -ge 1 ]; }
wait_until "B: a notification that the device is down" 30 one
import -window root "$SCREENSHOTS/notification-down.png"
# Read whole before grep looks: grep -q ends at its match, and under pipefail
# the writer's broken pipe would fail the check.
SAID="$(summaries)"
grep -qE "^$DEVICE is down \(.*\) since [0-9:]+" <<<"$SAID" || fail "B: the notification says: $SAID"

back
wait_until "B: the red mark goes" 30 red_at_most back 2
two() { [ "$(notifications)" -ge 2 ]; }
wait_until "B: a notification that the device is up again" 30 two
SAID="$(summaries)"
grep -qE "^$DEVICE is up again after [0-9]+ s" <<<"$SAID" || fail "B: the notifications say: $SAID"
[ "$(notifications)" -eq 2 ] || fail "B: more than two notifications: $(summaries)"

# Stop from the tray menu (the second item while scanning): the icon greys.
tray_menu "B: Stop" "" Down Down Return
grey() {
    import -window "$ICON" "$WORK/stopped.png"
    [ "$(red_pixels "$WORK/stopped.png")" -le 2 ] &&
        ! cmp -s <(convert "$WORK/stopped.png" rgb:-) <(convert "$WORK/back.png" rgb:-)
}
wait_until "B: Stop greys the icon" 30 grey
cp "$WORK/stopped.png" "$SCREENSHOTS/tray-stopped.png"
echo "PASS: $(summaries | tr '\n' '|')"
