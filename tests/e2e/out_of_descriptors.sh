#!/usr/bin/env bash
# Out of descriptors, as an ordinary user: in a network namespace of its own
# (where datagram ICMP is allowed for the user's group; the machine's own
# setting is untouched), with `ulimit -n 64` and 100 loopback devices scanned
# at start, the window program shows the "too many open files" error, keeps
# descriptors for itself (fewer open than the limit), still answers (OK
# closes the message, the tray menu opens and View shows the window), and
# SIGTERM ends it. Pings 127.0.0.1 to 127.0.0.100 inside the namespace only.
# KEEP_WORK=1 keeps the work folder.
#   out_of_descriptors.sh PROGRAM
set -uo pipefail
PROGRAM="$(realpath "$1")"
LIMIT=64
DEVICES=100

[ "$(id -u)" -eq 0 ] || { echo "SKIP: needs root to create a user and a network namespace"; exit 77; }
source "$(dirname "$0")/common.sh"
e2e_begin useradd userdel ip setpriv sysctl Xvfb trayer xdotool xwininfo python3
chmod 755 "$WORK"
ACCOUNT="sentrel-f$$"
NS="sentrel-fds-$$"
HAVE_USER=""
HAVE_NS=""
cleanup() {
    # Whatever runs as the test's user goes first, or it could not be removed.
    [ -n "$HAVE_USER" ] && for pid in $(ps -o pid= -u "$USER_ID" 2>/dev/null); do
        kill -KILL "$pid" 2>/dev/null
    done
    e2e_end
    [ -n "$HAVE_NS" ] && ip netns delete "$NS" 2>/dev/null
    [ -n "$HAVE_USER" ] && userdel "$ACCOUNT" 2>/dev/null
}
trap cleanup EXIT

useradd -r -M -d /nonexistent -s /usr/sbin/nologin "$ACCOUNT" ||
    { echo "SKIP: cannot create a user"; exit 77; }
USER_ID="$(id -u "$ACCOUNT")"
GROUP_ID="$(id -g "$ACCOUNT")"
HAVE_USER=1
ip netns add "$NS" 2>"$WORK/netns.log" ||
    { echo "SKIP: cannot create a network namespace: $(cat "$WORK/netns.log")"; exit 77; }
HAVE_NS=1
ip netns exec "$NS" ip link set lo up || fail "cannot bring loopback up in $NS"
ip netns exec "$NS" sysctl -q -w net.ipv4.ping_group_range="$GROUP_ID $GROUP_ID" ||
    fail "cannot set ping_group_range in $NS"

# The program and its ICMP module, copied where the user may read them.
BIN="$WORK/bin"
mkdir "$BIN"
cp "$PROGRAM" "$(dirname "$PROGRAM")/icmp.so" "$BIN/"
chmod -R a+rX "$BIN"
COPY="$BIN/$(basename "$PROGRAM")"

HOME_DIR="$WORK/home"
SETTINGS="$HOME_DIR/config/Kestrava/Sentrel/settings.reg"
mkdir -p "$HOME_DIR/runtime"
write_settings "$SETTINGS" 1
for i in $(seq 3 "$DEVICES"); do
    printf '\n[HKEY_CURRENT_USER\\Software\\Kestrava\\Sentrel\\1.0\\Devices\\127.0.0.%s]\n"Host"="127.0.0.%s"\n"Description"="loopback %s"\n"DeviceType"=dword:00000000\n"Monitored"=dword:00000001\n' \
        "$i" "$i" "$i" >>"$SETTINGS"
done
chown -R "$USER_ID:$GROUP_ID" "$HOME_DIR"
chmod -R go-rwx "$HOME_DIR"

start_display -ac

# As the user, without any capability, in the namespace, under the limit
# (soft and hard, so the program cannot raise it).
ip netns exec "$NS" setpriv --reuid="$USER_ID" --regid="$GROUP_ID" --init-groups \
    --inh-caps=-all --bounding-set=-all \
    env -i PATH=/usr/bin:/bin HOME="$HOME_DIR" XDG_CONFIG_HOME="$HOME_DIR/config" \
    XDG_RUNTIME_DIR="$HOME_DIR/runtime" LANG=C.UTF-8 DISPLAY="$DISPLAY" \
    bash -c 'ulimit -n "$1" && exec "$2"' - "$LIMIT" "$COPY" >"$WORK/program.out" 2>"$WORK/program.err" &
PID=$!
PIDS+=($PID)

running() {
    kill -0 "$PID" 2>/dev/null || fail "the program ended: $(cat "$WORK/program.err")"
}
# Descriptors the program holds now; it must always have some left.
check_descriptors() {
    local open
    open="$(ls "/proc/$PID/fd" 2>/dev/null | wc -l)"
    [ "$open" -lt "$LIMIT" ] || fail "$1: $open descriptors open, the limit is $LIMIT"
    echo "$1: $open of $LIMIT descriptors open"
}

ICON=""
BOX=""
icon_and_box() {
    running
    [ -n "$ICON" ] || ICON="$(tray_icon)"
    BOX="$(xdotool search --onlyvisible --name '^Kestrava Sentrel$' 2>/dev/null |
        grep -vxF "${ICON:-none}" | head -n1)"
    [ -n "$ICON" ] && [ -n "$BOX" ]
}
wait_until "the tray icon and the error message appear" 60 icon_and_box
[ "$(awk '/^Uid:/ {print $2}' "/proc/$PID/status")" = "$USER_ID" ] || fail "not run as $ACCOUNT"
[ "$(awk '/^Max open files/ {print $4}' "/proc/$PID/limits")" = "$LIMIT" ] ||
    fail "the open-files limit is not $LIMIT: $(grep 'open files' "/proc/$PID/limits")"
grep -q "ICMP Error: Could not open handle: too many open files (limit $LIMIT)" "$WORK/program.err" ||
    fail "no out-of-descriptors error: $(cat "$WORK/program.err")"
grep -q "^Not started: 127\.0\.0\.[0-9]*, .* and [0-9]* more" "$WORK/program.err" ||
    fail "the devices not started are not named: $(cat "$WORK/program.err")"
check_descriptors "with the message shown"

# The program answers: OK closes the message, the tray menu opens, View
# shows the window.
focus "the message" "$BOX"
xdotool key Return
wait_until "OK closes the message" 30 is_gone "$BOX"
running
tray_menu "View" "" Down Return
MAIN=""
found_main() {
    running
    MAIN="$(xdotool search --onlyvisible --name '^Kestrava Sentrel$' 2>/dev/null |
        grep -vxF "$ICON" | head -n1)"
    [ -n "$MAIN" ]
}
wait_until "View shows the window" 30 found_main
check_descriptors "with the window shown"

kill -TERM "$PID"
ended() { ! kill -0 "$PID" 2>/dev/null; }
wait_until "SIGTERM ends the program" 30 ended
wait "$PID"
STATUS=$?
echo "SIGTERM: exit status $STATUS"
grep -q 'ending now' "$WORK/program.err" && echo "the grace period ended it: $(grep 'ending now' "$WORK/program.err")"
[ "$STATUS" -eq 0 ] || fail "SIGTERM ended the program with status $STATUS: $(tail -n 3 "$WORK/program.err")"
echo "PASS: out of descriptors the program kept some, answered, and ended on SIGTERM"
