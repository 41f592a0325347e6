#!/usr/bin/env bash
# The program never needs root. As a user this test creates, in a network
# namespace of its own (so that the ICMP setting changes nowhere else), with
# a copy of the program that carries no capability:
#   A. unprivileged ICMP allowed for the user's group: the console mode
#      prints "Connected" lines, and on SIGTERM saves and exits 0;
#   B. unprivileged ICMP off: the window program shows exactly one error
#      message, which names what to change, and keeps running; the console
#      mode exits 1 with the same advice.
# Pings 127.0.0.1 and 127.0.0.2 only. The screenshot of the message goes to
# $SCREENSHOTS/privilege-error.png (not committed).
#   privilege.sh PROGRAM SCREENSHOTS
set -uo pipefail
PROGRAM="$(realpath "$1")"
SCREENSHOTS="$2"
SKIP=77

[ "$(id -u)" -eq 0 ] || { echo "SKIP: needs root to create a user and a network namespace"; exit $SKIP; }
for tool in useradd userdel ip setpriv sysctl getcap Xvfb trayer xdotool xwininfo python3 import; do
    command -v "$tool" >/dev/null || { echo "SKIP: $tool is not installed"; exit $SKIP; }
done

WORK="$(mktemp -d /tmp/sentrel-privilege-XXXXXX)"
chmod 755 "$WORK"
ACCOUNT="sentrel-t$$"
NS="sentrel-privilege-$$"
PIDS=()
HAVE_USER=""
HAVE_NS=""
cleanup() {
    for pid in "${PIDS[@]}"; do kill "$pid" 2>/dev/null; done
    for pid in "${PIDS[@]}"; do
        for _ in $(seq 50); do kill -0 "$pid" 2>/dev/null || break; sleep 0.1; done
        kill -KILL "$pid" 2>/dev/null
    done
    wait 2>/dev/null
    # Anything else still running as the test's own user goes too, or the
    # user could not be removed.
    if [ -n "$HAVE_USER" ]; then
        for pid in $(ps -o pid= -u "$USER_ID" 2>/dev/null); do kill -KILL "$pid" 2>/dev/null; done
    fi
    [ -n "$HAVE_NS" ] && ip netns delete "$NS" 2>/dev/null
    [ -n "$HAVE_USER" ] && userdel "$ACCOUNT" 2>/dev/null
    rm -rf "$WORK"
}
trap cleanup EXIT
fail() { echo "FAIL: $*"; exit 1; }
source "$(dirname "$0")/common.sh"

# A system user without a home, and a namespace with nothing but loopback.
useradd -r -M -d /nonexistent -s /usr/sbin/nologin "$ACCOUNT" ||
    { echo "SKIP: cannot create a user"; exit $SKIP; }
USER_ID="$(id -u "$ACCOUNT")"
HAVE_USER=1
GROUP_ID="$(id -g "$ACCOUNT")"
ip netns add "$NS" 2>"$WORK/netns.log" ||
    { echo "SKIP: cannot create a network namespace: $(cat "$WORK/netns.log")"; exit $SKIP; }
HAVE_NS=1
ip netns exec "$NS" ip link set lo up || fail "cannot bring loopback up in $NS"
echo "user $ACCOUNT (uid $USER_ID, gid $GROUP_ID) in network namespace $NS"

# The program, its ICMP module and its help beside it, copied without the
# capability scripts/run may have given the build's executable.
BIN="$WORK/bin"
FROM="$(dirname "$PROGRAM")"
mkdir "$BIN"
cp "$PROGRAM" "$FROM/icmp.so" "$BIN/"
[ -e "$FROM/hhctrl.ocx" ] && cp "$FROM/hhctrl.ocx" "$BIN/"
[ -e "$FROM/Sentrel.chm" ] && cp -r "$FROM/Sentrel.chm" "$BIN/"
chmod -R a+rX "$BIN"
COPY="$BIN/$(basename "$PROGRAM")"
[ -z "$(getcap "$COPY")" ] || fail "the copy carries a capability: $(getcap "$COPY")"

# A settings folder of the user's own for each run.
new_profile() {
    local home="$WORK/$1" autoscan="$2"
    local settings="$home/config/Kestrava/Sentrel/settings.reg"
    mkdir -p "$home/runtime"
    write_settings "$settings" "$autoscan"
    chown -R "$USER_ID:$GROUP_ID" "$home"
    chmod -R go-rwx "$home"
}

# as_user PROFILE COMMAND... &: runs COMMAND in the namespace as the user,
# without any capability, on that profile. Only in the background: it takes
# the place of its subshell, so that $! is the program itself.
as_user() {
    local home="$WORK/$1"
    shift
    exec ip netns exec "$NS" setpriv --reuid="$USER_ID" --regid="$GROUP_ID" --init-groups \
        --inh-caps=-all --bounding-set=-all \
        env -i PATH=/usr/bin:/bin HOME="$home" XDG_CONFIG_HOME="$home/config" \
        XDG_RUNTIME_DIR="$home/runtime" LANG=C.UTF-8 ${DISPLAY:+DISPLAY="$DISPLAY"} "$@"
}

# The program's identity while it runs: the user's, and no capability.
check_identity() {
    local pid="$1" uid capeff
    uid="$(awk '/^Uid:/ {print $2}' "/proc/$pid/status")"
    capeff="$(awk '/^CapEff:/ {print $2}' "/proc/$pid/status")"
    [ "$uid" = "$USER_ID" ] || fail "the program runs as uid $uid, not $USER_ID"
    [ "$capeff" = "0000000000000000" ] || fail "the program holds capabilities $capeff"
    [ "$(readlink "/proc/$pid/ns/net")" = "$(readlink "/proc/$$/ns/net")" ] &&
        fail "the program runs in the machine's own network namespace"
    return 0
}

# The advice must name both ways to allow ICMP, the second for this copy.
check_advice() {
    local file="$1"
    grep -q 'net\.ipv4\.ping_group_range' "$file" || fail "no ping_group_range in: $(cat "$file")"
    grep -qF "setcap cap_net_raw+p $COPY" "$file" || fail "no setcap line for $COPY in: $(cat "$file")"
}

# ---- A: unprivileged ICMP allowed for the user's group -----------------
MACHINE_RANGE="$(cat /proc/sys/net/ipv4/ping_group_range)"
ip netns exec "$NS" sysctl -q -w net.ipv4.ping_group_range="$GROUP_ID $GROUP_ID" ||
    fail "cannot set ping_group_range in $NS"
[ "$(cat /proc/sys/net/ipv4/ping_group_range)" = "$MACHINE_RANGE" ] ||
    fail "the machine's own ping_group_range changed"
new_profile a 0
: >"$WORK/a.out"
as_user a "$COPY" --console >"$WORK/a.out" 2>"$WORK/a.err" &
PID=$!
PIDS+=($PID)
both_connected() {
    kill -0 "$PID" 2>/dev/null ||
        fail "A: the console mode ended; out: $(cat "$WORK/a.out") err: $(cat "$WORK/a.err")"
    [ "$(grep -cE '127\.0\.0\.[12] .*Connected' "$WORK/a.out")" -ge 2 ]
}
wait_until "A: Connected lines for both devices" 30 both_connected
check_identity "$PID"
kill -TERM "$PID"
wait "$PID"
STATUS=$?
[ "$STATUS" -eq 0 ] || fail "A: the console mode exited with $STATUS: $(cat "$WORK/a.err")"
SAVED="$WORK/a/config/Kestrava/Sentrel/settings.reg"
[ "$(stat -c %u "$SAVED")" = "$USER_ID" ] || fail "A: the saved settings are not the user's"
[ "$(grep -c '^"Host"="127\.0\.0\.[12]"' "$SAVED")" -eq 2 ] || fail "A: the saved settings lost devices"
grep -q 'ICMP' "$WORK/a.err" && fail "A: an ICMP error: $(cat "$WORK/a.err")"
echo "A: $(grep -c Connected "$WORK/a.out") Connected lines as $ACCOUNT; SIGTERM saved and exited 0"

# ---- B: unprivileged ICMP off, no capability -----------------------------
ip netns exec "$NS" sysctl -q -w net.ipv4.ping_group_range="1 0" ||
    fail "cannot set ping_group_range in $NS"

# The console mode: exit 1 and the advice.
new_profile b-console 0
as_user b-console "$COPY" --console >"$WORK/b-console.out" 2>"$WORK/b-console.err" &
PID=$!
PIDS+=($PID)
ended() { ! kill -0 "$PID" 2>/dev/null; }
wait_until "B: the console mode ends without ICMP" 30 ended
wait "$PID"
STATUS=$?
[ "$STATUS" -eq 1 ] || fail "B: the console mode exited with $STATUS, 1 expected"
grep -q '^Kestrava Sentrel: ICMP Error: Could not open handle' "$WORK/b-console.err" ||
    fail "B: the console mode said: $(cat "$WORK/b-console.err")"
check_advice "$WORK/b-console.err"
echo "B: the console mode exited 1 with the advice"

# The window program on a display any user may connect to, with a
# notification area.
start_display -ac

new_profile b 1
as_user b "$COPY" >"$WORK/b.out" 2>"$WORK/b.err" &
PID=$!
PIDS+=($PID)

# The program's visible windows captioned "Kestrava Sentrel", its tray
# icon left out.
message_boxes() {
    local icon="$1" w
    for w in $(xdotool search --onlyvisible --name '^Kestrava Sentrel$' 2>/dev/null); do
        [ "$w" = "$icon" ] || echo "$w"
    done
}

ICON=""
BOXES=""
icon_and_box() {
    kill -0 "$PID" 2>/dev/null || fail "B: the program ended: $(cat "$WORK/b.err")"
    [ -n "$ICON" ] || ICON="$(tray_icon)"
    BOXES="$(message_boxes "$ICON")"
    [ -n "$ICON" ] && [ -n "$BOXES" ]
}
wait_until "B: the tray icon and a message box appear" 30 icon_and_box
check_identity "$PID"

# Nothing more is to come, so this watches a few ping intervals (the devices
# are probed every second) and fails at the first sign: the program gone,
# a second message, the icon gone.
WATCH_END=$((SECONDS + 5))
while [ "$SECONDS" -lt "$WATCH_END" ]; do
    kill -0 "$PID" 2>/dev/null || fail "B: the program ended: $(cat "$WORK/b.err")"
    BOXES="$(message_boxes "$ICON")"
    [ "$(echo "$BOXES" | grep -c .)" -eq 1 ] || fail "B: $(echo "$BOXES" | grep -c .) message boxes"
    tray_icon >/dev/null || fail "B: the tray icon went away"
    sleep 0.2
done
mkdir -p "$SCREENSHOTS"
import -window root "$SCREENSHOTS/privilege-error.png"

# stderr holds the message's words: the error once, a blank line, the advice.
[ "$(grep -c 'ICMP Error: Could not open handle' "$WORK/b.err")" -eq 1 ] ||
    fail "B: stderr holds: $(cat "$WORK/b.err")"
awk '/^Kestrava Sentrel: ICMP Error: Could not open handle\.$/ { found = NR }
     found && NR == found + 1 && $0 == "" { blank = 1 }
     END { exit (found && blank) ? 0 : 1 }' "$WORK/b.err" ||
    fail "B: the error is not followed by a blank line and the advice: $(cat "$WORK/b.err")"
check_advice "$WORK/b.err"

# OK closes the message; the program goes on.
focus "B: the message" "$BOXES"
xdotool key Return
no_box() { [ -z "$(message_boxes "$ICON")" ]; }
wait_until "B: OK closes the message" 30 no_box
kill -0 "$PID" 2>/dev/null || fail "B: the program ended after OK"
kill -TERM "$PID"
wait "$PID"
STATUS=$?
[ "$STATUS" -eq 0 ] || fail "B: the program exited with $STATUS on SIGTERM"
echo "B: one message box, the program kept running; SIGTERM ended it with 0"
echo "PASS: as $ACCOUNT without root or capability: A scans, B names what to change"
sed -n '/ICMP Error/,$p' "$WORK/b.err"
