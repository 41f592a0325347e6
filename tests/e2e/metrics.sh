#!/usr/bin/env bash
# The console's metrics as Prometheus itself reads them. The program, a
# Prometheus server of the test's own and every request run in a network
# namespace that has loopback only, whose name service is the hosts file: a
# device there either answers (127.0.0.1) or cannot be looked up at all, and
# nothing leaves the namespace. The device that cannot be looked up carries
# a hostile host text (quotes, backslash, non-ASCII); Prometheus's query API
# must give back up 1 and up 0 with every label as it was written.
#   metrics.sh PROGRAM
set -uo pipefail
PROGRAM="$(realpath "$1")"

source "$(dirname "$0")/common.sh"
[ "$(id -u)" -eq 0 ] || { echo "SKIP: needs root to create network namespaces"; exit 77; }
e2e_begin ip prometheus curl python3

NS="sentrel-metrics-$$"
remove_namespace() {
    ip netns delete "$NS" 2>/dev/null
    rm -rf "/etc/netns/$NS"
}
trap 'e2e_end; remove_namespace' EXIT
# `ip netns exec` puts these over /etc's own: names come from the hosts file
# alone, so no name server is ever asked.
mkdir -p "/etc/netns/$NS" || { echo "SKIP: cannot write /etc/netns"; exit 77; }
echo "hosts: files" >"/etc/netns/$NS/nsswitch.conf"
echo "nameserver 127.0.0.1" >"/etc/netns/$NS/resolv.conf"
ip netns add "$NS" 2>"$WORK/netns.log" ||
    { echo "SKIP: cannot create a network namespace: $(cat "$WORK/netns.log")"; exit 77; }
ip -n "$NS" link set lo up || fail "cannot bring loopback up in the namespace"
# For commands run in the foreground; one started with & is `ip netns exec`
# itself, so that $! is the process and not a shell around it.
in_ns() { ip netns exec "$NS" "$@"; }

# As Prometheus must hand them back, and as the settings file writes them.
HOST='bad"host\ü.invalid'
DESK='desk "A" \ ü'
HOST_REG='bad\"host\\ü.invalid'
DESK_REG='desk \"A\" \\ ü'
mkdir -p "$WORK/config/Kestrava/Sentrel"
cat >"$WORK/config/Kestrava/Sentrel/settings.reg" <<REG
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
"ECHOTimeout"=dword:000003e8
"PingInterval"=dword:00000001
"SystemLogSize"=dword:00000064
"DeviceLogSize"=dword:00000032

[HKEY_CURRENT_USER\\Software\\Kestrava\\Sentrel\\1.0\\Devices\\loopback]
"Host"="127.0.0.1"
"Description"="$DESK_REG"
"DeviceType"=dword:00000001
"Monitored"=dword:00000001

[HKEY_CURRENT_USER\\Software\\Kestrava\\Sentrel\\1.0\\Devices\\hostile]
"Host"="$HOST_REG"
"Description"="nowhere"
"DeviceType"=dword:00000003
"Monitored"=dword:00000001
REG

ip netns exec "$NS" env XDG_CONFIG_HOME="$WORK/config" "$PROGRAM" --console --metrics 127.0.0.1:9437 \
    >"$WORK/console.out" 2>"$WORK/console.err" &
CONSOLE=$!
PIDS+=($CONSOLE)
file_holds "the console says where it serves" "$WORK/console.out" \
    "^Kestrava Sentrel: metrics on http://127\.0\.0\.1:9437/metrics$"

cat >"$WORK/prometheus.yml" <<YML
global:
  scrape_interval: 1s
  scrape_timeout: 1s
scrape_configs:
  - job_name: sentrel
    static_configs:
      - targets: ['127.0.0.1:9437']
YML
ip netns exec "$NS" prometheus --config.file="$WORK/prometheus.yml" --storage.tsdb.path="$WORK/tsdb" \
    --web.listen-address=127.0.0.1:9090 >"$WORK/prometheus.log" 2>&1 &
PROMETHEUS=$!
PIDS+=($PROMETHEUS)

# both_series: Prometheus's answer to the query holds the two devices with
# the values and labels expected; what it got is left in $WORK/query.json.
both_series() {
    in_ns curl -sf --max-time 2 http://127.0.0.1:9090/api/v1/query \
        --data-urlencode query=sentrel_device_up >"$WORK/query.json" || return 1
    HOST="$HOST" DESK="$DESK" python3 - "$WORK/query.json" <<'PY'
import json, os, sys
found = {}
for series in json.load(open(sys.argv[1], encoding="utf-8"))["data"]["result"]:
    m = series["metric"]
    found[m.get("host")] = (series["value"][1], m.get("description"), m.get("type"))
want = {
    "127.0.0.1": ("1", os.environ["DESK"], "Server"),
    os.environ["HOST"]: ("0", "nowhere", "Router"),
}
sys.exit(0 if found == want else 1)
PY
}
wait_until "Prometheus shows up 1 and up 0 with the labels as written" 25 both_series

kill -TERM "$CONSOLE"
wait "$CONSOLE"
status=$?
[ "$status" -eq 0 ] || fail "the console ended with $status: $(cat "$WORK/console.err")"
echo "PASS: $(python3 -c 'import json,sys; print(json.dumps(json.load(open(sys.argv[1]))["data"]["result"], ensure_ascii=False))' "$WORK/query.json")"
