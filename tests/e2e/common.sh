# Shared by the end-to-end scripts. They define WORK, PIDS and fail() first,
# or have e2e_begin define them.

fail() { echo "FAIL: $*"; exit 1; }

# e2e_begin TOOL...: skips (status 77) unless every TOOL is installed, then
# makes the work folder WORK; at exit every process in PIDS is ended and WORK
# removed (KEEP_WORK=1 keeps it).
e2e_begin() {
    local tool
    for tool in "$@"; do
        command -v "$tool" >/dev/null || { echo "SKIP: $tool is not installed"; exit 77; }
    done
    WORK="$(mktemp -d /tmp/sentrel-e2e-XXXXXX)"
    # The program's history stays in the work folder too.
    export XDG_STATE_HOME="$WORK/state"
    PIDS=()
    trap e2e_end EXIT
}
e2e_end() {
    for pid in "${PIDS[@]}"; do kill "$pid" 2>/dev/null; done
    wait 2>/dev/null
    [ -n "${KEEP_WORK:-}" ] && echo "kept $WORK" || rm -rf "$WORK"
}

# wait_until STEP SECONDS COMMAND...: runs COMMAND until it succeeds, at
# most SECONDS long; fails the test naming STEP if it never does. Every step
# of the scripts waits on something it can see this way, never on the clock
# alone, so a busy machine only makes them slower.
wait_until() {
    local step="$1" seconds="$2"
    shift 2
    local deadline=$((SECONDS + seconds))
    until "$@"; do
        [ "$SECONDS" -lt "$deadline" ] || fail "$step (not within ${seconds}s)"
        sleep 0.1
    done
}

# start_display [XVFB OPTION...]: a virtual display of our own (Xvfb names a
# free one) with a notification area on it; DISPLAY is exported.
start_display() {
    exec 5> >(cat > "$WORK/display")
    Xvfb -displayfd 5 "$@" -screen 0 1024x768x24 -nolisten tcp >"$WORK/xvfb.log" 2>&1 &
    PIDS+=($!)
    wait_until "Xvfb names its display" 30 test -s "$WORK/display"
    exec 5>&-
    export DISPLAY=":$(head -n1 "$WORK/display")"
    trayer --edge top --align right --widthtype pixel --width 120 --height 24 \
        --transparent false --tint 0x336699 >"$WORK/trayer.log" 2>&1 &
    PIDS+=($!)
    # The program asks for the notification area once, at start.
    wait_until "the panel takes the notification area" 30 tray_owned
}

# tray_owned: whether some client holds the notification area of screen 0
# (the selection _NET_SYSTEM_TRAY_S0).
tray_owned() {
    python3 - <<'PY'
import ctypes, sys
x = ctypes.CDLL("libX11.so.6")
x.XOpenDisplay.restype = ctypes.c_void_p
x.XInternAtom.argtypes = [ctypes.c_void_p, ctypes.c_char_p, ctypes.c_int]
x.XInternAtom.restype = ctypes.c_ulong
x.XGetSelectionOwner.argtypes = [ctypes.c_void_p, ctypes.c_ulong]
x.XGetSelectionOwner.restype = ctypes.c_ulong
x.XCloseDisplay.argtypes = [ctypes.c_void_p]
display = x.XOpenDisplay(None)
if not display:
    sys.exit(1)
owner = x.XGetSelectionOwner(display, x.XInternAtom(display, b"_NET_SYSTEM_TRAY_S0", 0))
x.XCloseDisplay(display)
sys.exit(0 if owner else 1)
PY
}

# tray_icon: prints the program's tray icon, its 22x22 window embedded in
# the panel.
tray_icon() {
    local w geometry
    for w in $(xdotool search --class sentrel 2>/dev/null); do
        read -r _ geometry < <(xdotool getwindowgeometry "$w" 2>/dev/null | sed -n 3p)
        [ "$geometry" = "22x22" ] && { echo "$w"; return 0; }
    done
    return 1
}

# is_viewable WINDOW: the window exists and is mapped, its parents too.
is_viewable() {
    xwininfo -id "$1" 2>/dev/null | grep -q 'Map State: IsViewable'
}

# is_gone WINDOW: the window no longer exists or is no longer mapped.
is_gone() {
    ! is_viewable "$1"
}

# has_focus WINDOW: the window is mapped and holds the keyboard focus.
has_focus() {
    is_viewable "$1" && [ "$(xdotool getwindowfocus 2>/dev/null)" = "$1" ]
}

# focus STEP WINDOW: gives the window the keyboard focus (asking again while
# it does not have it; there is no window manager to do it) and waits until
# it holds it, so that the keys typed next go there.
focus() {
    local step="$1" window="$2"
    wait_until "$step: the window is mapped" 30 is_viewable "$window"
    wait_until "$step: the window takes the keyboard focus" 30 take_focus "$window"
}
take_focus() {
    has_focus "$1" && return 0
    xdotool windowfocus "$1" 2>/dev/null
    has_focus "$1"
}

# find_window PATTERN: prints the first mapped window whose name matches.
find_window() {
    local w
    w="$(xdotool search --onlyvisible --name "$1" 2>/dev/null | head -n1)"
    [ -n "$w" ] && echo "$w"
}

# wait_window STEP PATTERN VARIABLE: waits for a mapped window whose name
# matches and stores its id in VARIABLE.
wait_window() {
    local step="$1" pattern="$2" found=""
    found_window() { found="$(find_window "$pattern")"; }
    wait_until "$step" 30 found_window
    printf -v "$3" '%s' "$found"
}

# file_holds STEP FILE PATTERN: waits until FILE has a line matching PATTERN
# (files are written whole and renamed into place, so a match is complete).
file_holds() {
    wait_until "$1" 30 grep -qE "$3" "$2"
}

# write_settings FILE AUTOSCAN: a settings file with two loopback devices,
# probed every second, scanning at start when AUTOSCAN is 1.
write_settings() {
    mkdir -p "$(dirname "$1")"
    cat > "$1" <<REG
Windows Registry Editor Version 5.00

[HKEY_CURRENT_USER\\Software\\Kestrava\\Sentrel\\1.0]
"AutoScan"=dword:0000000$2
"ShowWindow"=dword:00000000
"AllowEchoChange"=dword:00000001
"AllowDeviceChanges"=dword:00000001
"AllowClearLog"=dword:00000001
"AllowChangeLogSize"=dword:00000001
"ECHORequestSize"=dword:00000020
"IPTimeToLive"=dword:00000040
"ECHOTimeout"=dword:000003e8
"PingInterval"=dword:00000001
"SystemLogSize"=dword:00000064
"DeviceLogSize"=dword:00000032

[HKEY_CURRENT_USER\\Software\\Kestrava\\Sentrel\\1.0\\Devices\\127.0.0.1]
"Host"="127.0.0.1"
"Description"="this machine"
"DeviceType"=dword:00000000
"Monitored"=dword:00000001

[HKEY_CURRENT_USER\\Software\\Kestrava\\Sentrel\\1.0\\Devices\\127.0.0.2]
"Host"="127.0.0.2"
"Description"="loopback router"
"DeviceType"=dword:00000003
"Monitored"=dword:00000001
REG
}

# The open tray menu: a mapped window of the program taller than a tooltip
# that was not mapped before the menu was asked for (the icon, the main
# window, dialogs); its id goes to MENU.
MENU=""
BEFORE_MENU=""
menu_open() {
    local w geometry
    for w in $(xdotool search --onlyvisible --class sentrel 2>/dev/null); do
        grep -qxF "$w" <<<"$BEFORE_MENU" && continue
        read -r _ geometry < <(xdotool getwindowgeometry "$w" 2>/dev/null | sed -n 3p)
        [ "${geometry#*x}" -gt 50 ] 2>/dev/null && { MENU="$w"; return 0; }
    done
    return 1
}
# Asks for the menu with a right click until it is open (retrying the
# opening only, never the item).
request_menu() {
    menu_open && return 0
    xdotool mousemove --window "$ICON" 11 11 click 3
    for _ in $(seq 30); do menu_open && return 0; sleep 0.1; done
    echo "the tray menu did not open within 3 s; asking again" >&2
    # Only a window that came up with the click (a menu stuck part-way) is
    # sent Escape: otherwise the key would close the dialog that has focus.
    local w
    for w in $(xdotool search --onlyvisible --class sentrel 2>/dev/null); do
        grep -qxF "$w" <<<"$BEFORE_MENU" || { xdotool key Escape; break; }
    done
    return 1
}
# tray_menu STEP SHOT KEY...: opens the tray menu and picks an item with the
# keys once it is open. While a menu is open Qt hands it every key that
# reaches the program, so the keys go to the menu whatever holds the focus.
tray_menu() {
    local step="$1" shot="$2"
    shift 2
    MENU=""
    BEFORE_MENU="$(xdotool search --onlyvisible --class sentrel 2>/dev/null)"
    wait_until "$step: the tray menu opens" 60 request_menu
    [ -n "$shot" ] && import -window root "$shot"
    xdotool key "$@"
    wait_until "$step: the tray menu closes" 30 is_gone "$MENU"
}
