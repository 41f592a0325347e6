#!/usr/bin/env bash
# The real program on a virtual display with a notification area: the tray
# icon appears, "View" shows the window, loopback devices show "Connected"
# with green lamps, Stop clears them, one "&Shutdown" ends the program, and
# the settings file then holds the window geometry. Each step waits for what
# it needs to see and names itself when that does not come. Screenshots go to
# $SCREENSHOTS (not committed); KEEP_WORK=1 keeps the work folder with the
# program's output.
#   tray_session.sh PROGRAM SCREENSHOTS
set -uo pipefail
PROGRAM="$(realpath "$1")"
SCREENSHOTS="$2"

source "$(dirname "$0")/common.sh"
e2e_begin Xvfb trayer xdotool xwininfo python3 import convert

start_display

export XDG_CONFIG_HOME="$WORK/config"
SETTINGS="$XDG_CONFIG_HOME/Kestrava/Sentrel/settings.reg"
write_settings "$SETTINGS" 1

# The program runs in an empty folder: the file dialog opens there, so a
# bare file name is typed and no name completion pops up over it.
SAVES="$WORK/saves"
mkdir -p "$SAVES" "$SCREENSHOTS"
(cd "$SAVES" && exec "$PROGRAM") >"$WORK/program.log" 2>&1 &
PROGRAM_PID=$!
PIDS+=($PROGRAM_PID)

# The tray icon: a small window of the program embedded in the panel.
ICON=""
found_icon() { ICON="$(tray_icon)"; }
wait_until "the tray icon appears" 30 found_icon
echo "tray icon: window $ICON"

# Nothing shows before View: ShowWindow is off.
xdotool search --onlyvisible --name '^Kestrava Sentrel$' 2>/dev/null | grep -qv "^$ICON\$" &&
    fail "the window showed although ShowWindow is off"

# "View" from the tray menu (its first item).
MAIN=""
tray_menu "View" "$SCREENSHOTS/tray-menu.png" Down Return
found_main() {
    MAIN="$(xdotool search --onlyvisible --name '^Kestrava Sentrel$' 2>/dev/null |
        grep -v "^$ICON\$" | head -n1)"
    [ -n "$MAIN" ]
}
wait_until "View shows the window" 30 found_main

# Green lamps in the Status column, below the toolbar and the header.
green_pixels() {
    import -window "$MAIN" "$1"
    convert "$1" -crop 40x150+118+50 +repage \
        -fx '(g>0.55 && r<0.5 && b<0.5) ? 1 : 0' -format '%[fx:round(mean*w*h)]' info:
}
GREEN=0
lit() {
    GREEN="$(green_pixels "$SCREENSHOTS/$1")"
    [ "$GREEN" -gt "$2" ]
}
wait_until "green lamps while scanning" 30 lit main-scanning.png 40
echo "green lamp pixels while scanning: $GREEN"
TWO_LAMPS=$GREEN

# Options from the tray menu: add a loopback device and confirm.
tray_menu "Options" "" o
wait_window "Options opens" '^Sentrel Options$' OPTIONS
focus "Options" "$OPTIONS"
xdotool key alt+v
import -window "$OPTIONS" "$SCREENSHOTS/options-devices.png"
xdotool key alt+a
wait_window "Add opens the device window" '^Add Device Info$' ADD
focus "the device window" "$ADD"
xdotool type --delay 20 "127.0.0.3"
xdotool key alt+d
xdotool type --delay 20 "added by the test"
import -window "$ADD" "$SCREENSHOTS/add-device.png"
xdotool key Return
wait_until "the device window closes on Return" 30 is_gone "$ADD"
focus "Options, after Add" "$OPTIONS"
import -window "$OPTIONS" "$SCREENSHOTS/options-added.png"
xdotool key alt+o
wait_until "Options closes on OK" 30 is_gone "$OPTIONS"
file_holds "the added device is saved" "$SETTINGS" '^"Host"="127\.0\.0\.3"$'

# Its row turns green: three lit lamps now.
wait_until "the added device's lamp turns green" 30 \
    lit main-three-devices.png $((TWO_LAMPS * 3 / 2 - 1))
echo "green lamp pixels with the added device: $GREEN"

# Its log: the rows are lit computers first (127.0.0.1, 127.0.0.3), then the router.
xdotool mousemove --window "$MAIN" 60 77 click --repeat 2 --delay 80 1
wait_window "a double click opens the device's log" '^Activity Log for 127.0.0.3$' VIEWER
focus "the device's log" "$VIEWER"
import -window "$VIEWER" "$SCREENSHOTS/device-log.png"
SAVED="$SAVES/device-log"
xdotool key alt+s
wait_window "Save opens the file dialog" '^Save Log File$' DIALOG
focus "the file dialog" "$DIALOG"
xdotool type --delay 10 "device-log"
import -window root "$SCREENSHOTS/save-dialog.png"
xdotool key Return
wait_until "the file dialog closes on Return" 30 is_gone "$DIALOG"
# Saved to a file beside it and renamed: once there, it is whole.
wait_until "the log is saved as $SAVED.log" 30 test -f "$SAVED.log"
LINES="$(wc -l < "$SAVED.log")"
grep -qE '^ *[0-9/.-]+ [0-9:APM ]+  Connected'$'\r''$' "$SAVED.log" ||
    fail "the saved log holds: $(od -c "$SAVED.log" | head -5)"
[ "$LINES" -eq 1 ] || fail "the saved log has $LINES lines, one expected"
echo "saved device log: $(tr -d '\r' < "$SAVED.log")"
focus "the device's log, after saving" "$VIEWER"
xdotool key Escape
wait_until "the device's log closes on Escape" 30 is_gone "$VIEWER"

# Stop: the first toolbar button while scanning.
xdotool mousemove --window "$MAIN" 14 14 click 1
unlit() {
    GREEN="$(green_pixels "$SCREENSHOTS/main-stopped.png")"
    [ "$GREEN" -eq 0 ]
}
wait_until "the lamps go out after Stop" 30 unlit
echo "green lamp pixels after Stop: $GREEN"

# Move the window so the saved geometry is recognisable, then "&Shutdown"
# (the last item of the tray menu), exactly once.
xdotool windowmove "$MAIN" 100 120
at_100_120() { xdotool getwindowgeometry "$MAIN" | grep -q 'Position: 100,120 '; }
wait_until "the window moves to 100,120" 30 at_100_120
tray_menu "Shutdown" "" Up Return
ended() { ! kill -0 "$PROGRAM_PID" 2>/dev/null; }
wait_until "one Shutdown ends the program" 30 ended
wait "$PROGRAM_PID"
STATUS=$?
[ "$STATUS" -eq 0 ] || fail "the program exited with $STATUS"

grep -q '^"Left"=dword:00000064$' "$SETTINGS" || fail "Left not saved: $(grep -A4 'Form]' "$SETTINGS")"
grep -q '^"Top"=dword:00000078$' "$SETTINGS" || fail "Top not saved"
grep -q '^"Width"=dword:00000138$' "$SETTINGS" || fail "Width not saved"
echo "PASS: window geometry saved: $(grep -A4 'Form]' "$SETTINGS" | tr '\n' ' ')"
