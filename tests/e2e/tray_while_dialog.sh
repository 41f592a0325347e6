#!/usr/bin/env bash
# The tray menu stays usable while dialogs are open. In administration mode,
# with the main window hidden: Options from the tray opens the dialog; with
# it open the tray menu opens, View Log shows the system log, Options and
# View Log again bring the open windows forward instead of a second copy,
# View shows the main window, and one "&Shutdown" ends the program with
# status 0 and the settings saved. KEEP_WORK=1 keeps the work folder.
#   tray_while_dialog.sh PROGRAM
set -uo pipefail
PROGRAM="$(realpath "$1")"

source "$(dirname "$0")/common.sh"
e2e_begin Xvfb trayer xdotool xwininfo python3

start_display

export XDG_CONFIG_HOME="$WORK/config"
SETTINGS="$XDG_CONFIG_HOME/Kestrava/Sentrel/settings.reg"
write_settings "$SETTINGS" 0
grep -q 'Form\]' "$SETTINGS" && fail "the settings hold the window geometry before the run"

(cd "$WORK" && exec "$PROGRAM" admin) >"$WORK/program.log" 2>&1 &
PROGRAM_PID=$!
PIDS+=($PROGRAM_PID)

ICON=""
found_icon() { ICON="$(tray_icon)"; }
wait_until "the tray icon appears" 30 found_icon

# count_windows PATTERN: how many mapped windows have a matching name.
count_windows() {
    xdotool search --onlyvisible --name "$1" 2>/dev/null | grep -cvxF "$ICON"
}
# is_above UPPER LOWER: UPPER is stacked above LOWER (no window manager
# reparents them, so both are children of the root, listed top first).
stack_position() {
    xwininfo -root -children 2>/dev/null |
        awk -v id="$(printf '0x%x' "$1")" '$1 == id { print NR; exit }'
}
is_above() {
    local upper lower
    upper="$(stack_position "$1")"
    lower="$(stack_position "$2")"
    [ -n "$upper" ] && [ -n "$lower" ] && [ "$upper" -lt "$lower" ]
}

# The tray menu: View, Start Scanner, View Log, Options, Help, Shutdown.
tray_menu "Options" "" o
wait_window "Options opens in administration mode" '^Sentrel Administration$' OPTIONS
[ "$(count_windows '^Kestrava Sentrel$')" -eq 0 ] ||
    fail "the main window showed with the options dialog"

tray_menu "View Log, with Options open" "" Down Down Down Return
is_viewable "$OPTIONS" || fail "the options dialog closed while the tray menu was asked for"
wait_window "View Log shows the system log" '^Network Activity Log$' VIEWER
wait_until "the system log is above Options" 30 is_above "$VIEWER" "$OPTIONS"

tray_menu "Options again" "" o
wait_until "Options again brings the open dialog forward" 30 is_above "$OPTIONS" "$VIEWER"
[ "$(count_windows '^Sentrel Administration$')" -eq 1 ] || fail "a second options dialog opened"

tray_menu "View Log again" "" Down Down Down Return
wait_until "View Log again brings the open log forward" 30 is_above "$VIEWER" "$OPTIONS"
[ "$(count_windows '^Network Activity Log$')" -eq 1 ] || fail "a second system log opened"

tray_menu "View" "" Down Return
MAIN=""
found_main() {
    MAIN="$(xdotool search --onlyvisible --name '^Kestrava Sentrel$' 2>/dev/null |
        grep -vxF "$ICON" | head -n1)"
    [ -n "$MAIN" ]
}
wait_until "View shows the window" 30 found_main
wait_until "the open dialogs stay above the window" 30 is_above "$OPTIONS" "$MAIN"
is_above "$VIEWER" "$MAIN" || fail "the system log went below the window"

is_viewable "$OPTIONS" && is_viewable "$VIEWER" || fail "a dialog closed before Shutdown"
tray_menu "Shutdown" "" Up Return
ended() { ! kill -0 "$PROGRAM_PID" 2>/dev/null; }
wait_until "one Shutdown ends the program" 30 ended
wait "$PROGRAM_PID"
STATUS=$?
[ "$STATUS" -eq 0 ] || fail "the program exited with $STATUS: $(cat "$WORK/program.log")"
grep -q '^"Width"=dword:' "$SETTINGS" || fail "the settings were not saved at Shutdown"
echo "PASS: with Options and the system log open, the tray menu worked and Shutdown saved"
