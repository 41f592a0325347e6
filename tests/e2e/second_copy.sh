#!/usr/bin/env bash
# A second copy on a virtual display with a notification area: the first
# copy starts hidden in the tray; starting the program again shows its
# window and ends with 0, and the first runs on.
#   second_copy.sh PROGRAM
set -uo pipefail
PROGRAM="$1"

source "$(dirname "$0")/common.sh"
e2e_begin Xvfb trayer xdotool python3

start_display

export XDG_CONFIG_HOME="$WORK/config"
write_settings "$XDG_CONFIG_HOME/Kestrava/Sentrel/settings.reg" 0

"$PROGRAM" >"$WORK/first.log" 2>&1 &
FIRST=$!
PIDS+=($FIRST)

# Up once its tray icon (a 22x22 window of the program) is in the panel.
ICON=""
for _ in $(seq 50); do
    for w in $(xdotool search --class sentrel 2>/dev/null); do
        read -r _ geometry < <(xdotool getwindowgeometry "$w" | sed -n 3p)
        [ "$geometry" = "22x22" ] && ICON="$w"
    done
    [ -n "$ICON" ] && break
    sleep 0.2
done
[ -n "$ICON" ] || fail "no tray icon appeared"
main_window() {
    xdotool search --onlyvisible --name '^Kestrava Sentrel$' 2>/dev/null | grep -v "^$ICON\$" | head -n1
}
[ -z "$(main_window)" ] || fail "the window showed although ShowWindow is off"

timeout 60 "$PROGRAM" >"$WORK/second.log" 2>&1
STATUS=$?
[ "$STATUS" -eq 0 ] || fail "the second copy exited with $STATUS: $(cat "$WORK/second.log")"
# The first answers once it has asked for its window to show; the display
# maps it a moment later.
MAIN=""
for _ in $(seq 50); do
    MAIN="$(main_window)"
    [ -n "$MAIN" ] && break
    sleep 0.2
done
[ -n "$MAIN" ] || fail "the second copy did not bring the window forward"
kill -0 "$FIRST" 2>/dev/null || fail "the first copy ended"
echo "the second copy showed the first one's window"

kill -TERM "$FIRST"
wait "$FIRST"
STATUS=$?
[ "$STATUS" -eq 0 ] || fail "the first copy exited with $STATUS"
echo "PASS"
