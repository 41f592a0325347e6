# Shared by the end-to-end scripts. They define WORK, PIDS and fail() first.

# start_display [XVFB OPTION...]: a virtual display of our own (Xvfb names a
# free one) with a notification area on it; DISPLAY is exported.
start_display() {
    exec 5> >(cat > "$WORK/display")
    Xvfb -displayfd 5 "$@" -screen 0 1024x768x24 -nolisten tcp >"$WORK/xvfb.log" 2>&1 &
    PIDS+=($!)
    for _ in $(seq 50); do [ -s "$WORK/display" ] && break; sleep 0.1; done
    exec 5>&-
    [ -s "$WORK/display" ] || fail "Xvfb did not start"
    export DISPLAY=":$(head -n1 "$WORK/display")"
    trayer --edge top --align right --widthtype pixel --width 120 --height 24 \
        --transparent false --tint 0x336699 >"$WORK/trayer.log" 2>&1 &
    PIDS+=($!)
    sleep 1
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
