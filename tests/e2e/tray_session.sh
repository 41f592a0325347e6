#!/usr/bin/env bash
# The real program on a virtual display with a notification area: the tray
# icon appears, "View" shows the window, loopback devices show "Connected"
# with green lamps, Stop clears them, "&Shutdown" ends the program, and the
# settings file then holds the window geometry. Screenshots go to
# $SCREENSHOTS (not committed).
#   tray_session.sh PROGRAM SCREENSHOTS
set -uo pipefail
PROGRAM="$1"
SCREENSHOTS="$2"
SKIP=77

for tool in Xvfb trayer xdotool import convert; do
    command -v "$tool" >/dev/null || { echo "SKIP: $tool is not installed"; exit $SKIP; }
done

WORK="$(mktemp -d /tmp/sentrel-e2e-XXXXXX)"
PIDS=()
cleanup() {
    for pid in "${PIDS[@]}"; do kill "$pid" 2>/dev/null; done
    wait 2>/dev/null
    rm -rf "$WORK"
}
trap cleanup EXIT
fail() { echo "FAIL: $*"; exit 1; }
source "$(dirname "$0")/common.sh"

start_display

export XDG_CONFIG_HOME="$WORK/config"
SETTINGS="$XDG_CONFIG_HOME/Kestrava/Sentrel/settings.reg"
write_settings "$SETTINGS" 1

"$PROGRAM" >"$WORK/program.log" 2>&1 &
PROGRAM_PID=$!
PIDS+=($PROGRAM_PID)
mkdir -p "$SCREENSHOTS"

# The tray icon: a small window of the program embedded in the panel.
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
echo "tray icon: window $ICON"

# Opens the tray menu and picks an item with the keys given, once the menu is
# on screen; tries again if the menu did not take them.
tray_menu() {
    local shot="$1"
    shift
    for _ in 1 2 3; do
        xdotool mousemove --window "$ICON" 11 11 click 3
        local menu=""
        for _ in $(seq 25); do
            menu="$(xdotool search --onlyvisible --class sentrel 2>/dev/null |
                while read -r w; do
                    [ "$w" = "$ICON" ] || [ "$w" = "${MAIN:-}" ] && continue
                    echo "$w"
                done | head -n1)"
            [ -n "$menu" ] && break
            sleep 0.2
        done
        if [ -n "$menu" ]; then
            sleep 0.3
            [ -n "$shot" ] && import -window root "$shot"
            xdotool key --window "$menu" "$@"
            return 0
        fi
        xdotool key Escape
    done
    return 1
}

# Nothing shows before View: ShowWindow is off.
xdotool search --onlyvisible --name '^Kestrava Sentrel$' 2>/dev/null | grep -qv "^$ICON\$" &&
    fail "the window showed although ShowWindow is off"

# "View" from the tray menu (its first item).
MAIN=""
tray_menu "$SCREENSHOTS/tray-menu.png" Down Return || fail "the tray menu did not open"
for _ in $(seq 30); do
    MAIN="$(xdotool search --onlyvisible --name '^Kestrava Sentrel$' 2>/dev/null | grep -v "^$ICON\$" | head -n1)"
    [ -n "$MAIN" ] && break
    sleep 0.2
done
[ -n "$MAIN" ] || fail "View did not show the window"

# Green lamps in the Status column, below the toolbar and the header.
green_pixels() {
    import -window "$MAIN" "$1"
    convert "$1" -crop 40x150+118+50 +repage \
        -fx '(g>0.55 && r<0.5 && b<0.5) ? 1 : 0' -format '%[fx:round(mean*w*h)]' info:
}
GREEN=0
for _ in $(seq 40); do
    GREEN="$(green_pixels "$SCREENSHOTS/main-scanning.png")"
    [ "$GREEN" -gt 40 ] && break
    sleep 0.25
done
echo "green lamp pixels while scanning: $GREEN"
[ "$GREEN" -gt 40 ] || fail "no green lamps while scanning"

# Waits for a visible window of the program whose name matches, prints its id.
wait_window() {
    local pattern="$1" w=""
    for _ in $(seq 50); do
        w="$(xdotool search --onlyvisible --name "$pattern" 2>/dev/null | head -n1)"
        [ -n "$w" ] && { echo "$w"; return 0; }
        sleep 0.2
    done
    return 1
}

# Options from the tray menu: add a loopback device and confirm.
tray_menu "" o || fail "the tray menu did not open"
OPTIONS="$(wait_window '^Sentrel Options$')" || fail "Options did not open"
sleep 0.5
xdotool key --window "$OPTIONS" alt+v
sleep 0.3
import -window "$OPTIONS" "$SCREENSHOTS/options-devices.png"
xdotool key --window "$OPTIONS" alt+a
ADD="$(wait_window '^Add Device Info$')" || fail "Add did not open the device window"
sleep 0.3
xdotool type --window "$ADD" --delay 20 "127.0.0.3"
xdotool key --window "$ADD" alt+d
xdotool type --window "$ADD" --delay 20 "added by the test"
import -window "$ADD" "$SCREENSHOTS/add-device.png"
xdotool key --window "$ADD" Return
for _ in $(seq 30); do xdotool search --onlyvisible --name '^Add Device Info$' >/dev/null 2>&1 || break; sleep 0.2; done
sleep 0.5
import -window "$OPTIONS" "$SCREENSHOTS/options-added.png"
xdotool key --window "$OPTIONS" alt+o
for _ in $(seq 30); do xdotool search --onlyvisible --name '^Sentrel Options$' >/dev/null 2>&1 || break; sleep 0.2; done
grep -q '^"Host"="127.0.0.3"$' "$SETTINGS" || fail "the added device was not saved"

# Its row turns green: three lit lamps now.
THREE=0
for _ in $(seq 40); do
    THREE="$(green_pixels "$SCREENSHOTS/main-three-devices.png")"
    [ "$THREE" -ge $((GREEN * 3 / 2)) ] && break
    sleep 0.25
done
echo "green lamp pixels with the added device: $THREE"
[ "$THREE" -ge $((GREEN * 3 / 2)) ] || fail "the added device's lamp did not turn green"

# Its log: the rows are lit computers first (127.0.0.1, 127.0.0.3), then the router.
xdotool mousemove --window "$MAIN" 60 77 click --repeat 2 --delay 80 1
VIEWER="$(wait_window '^Activity Log for 127.0.0.3$')" || fail "the device's log did not open"
sleep 0.3
import -window "$VIEWER" "$SCREENSHOTS/device-log.png"
SAVED="$WORK/device-log"
xdotool key --window "$VIEWER" alt+s
DIALOG="$(wait_window '^Save Log File$')" || fail "Save did not open the file dialog"
sleep 0.5
xdotool type --window "$DIALOG" --delay 10 "$SAVED"
sleep 0.3
import -window root "$SCREENSHOTS/save-dialog.png"
# The first Return may only close the name completion's list.
for _ in 1 2 3; do
    xdotool key --window "$DIALOG" Return
    sleep 0.5
    xdotool search --onlyvisible --name '^Save Log File$' >/dev/null 2>&1 || break
done
for _ in $(seq 30); do [ -f "$SAVED.log" ] && break; sleep 0.2; done
[ -f "$SAVED.log" ] || fail "the log was not saved as $SAVED.log"
LINES="$(wc -l < "$SAVED.log")"
grep -qE '^ *[0-9/.-]+ [0-9:APM ]+  Connected'$'\r''$' "$SAVED.log" ||
    fail "the saved log holds: $(od -c "$SAVED.log" | head -5)"
[ "$LINES" -eq 1 ] || fail "the saved log has $LINES lines, one expected"
echo "saved device log: $(tr -d '\r' < "$SAVED.log")"
xdotool key --window "$VIEWER" Escape
for _ in $(seq 30); do xdotool search --onlyvisible --name '^Activity Log for' >/dev/null 2>&1 || break; sleep 0.2; done

# Stop: the first toolbar button while scanning.
xdotool mousemove --window "$MAIN" 14 14 click 1
sleep 1
GREEN="$(green_pixels "$SCREENSHOTS/main-stopped.png")"
echo "green lamp pixels after Stop: $GREEN"
[ "$GREEN" -eq 0 ] || fail "lamps still lit after Stop"

# Move the window so the saved geometry is recognisable, then "&Shutdown"
# (the last item of the tray menu).
xdotool windowmove "$MAIN" 100 120
sleep 0.5
for _ in 1 2 3; do
    tray_menu "" Up Return || fail "the tray menu did not open"
    for _ in $(seq 25); do kill -0 "$PROGRAM_PID" 2>/dev/null || break; sleep 0.2; done
    kill -0 "$PROGRAM_PID" 2>/dev/null || break
done
kill -0 "$PROGRAM_PID" 2>/dev/null && fail "Shutdown did not end the program"
wait "$PROGRAM_PID"
STATUS=$?
[ "$STATUS" -eq 0 ] || fail "the program exited with $STATUS"

grep -q '^"Left"=dword:00000064$' "$SETTINGS" || fail "Left not saved: $(grep -A4 'Form]' "$SETTINGS")"
grep -q '^"Top"=dword:00000078$' "$SETTINGS" || fail "Top not saved"
grep -q '^"Width"=dword:00000138$' "$SETTINGS" || fail "Width not saved"
echo "PASS: window geometry saved: $(grep -A4 'Form]' "$SETTINGS" | tr '\n' ' ')"
