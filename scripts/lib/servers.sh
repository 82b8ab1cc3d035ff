# shellcheck shell=bash
# Shell functions shared by scripts/run-daemon and bench/run_daemon_bench.sh:
# a private nsd publishing example.com's key records, and waiting for
# listening ports. Source it. nsd needs root for port 53: as another user it
# runs through sudo.

sudo_cmd=()
[ "$(id -u)" -eq 0 ] || sudo_cmd=(sudo)

# nsd_start DIR ADDRESS: serves the zone example.com, holding every DIR/*.dns
# record file, on ADDRESS port 53 (where the daemon asks), in the
# background; its files live in DIR. Fails, with nsd's log, when it does not
# start within about ten seconds.
nsd_start() {
  local dir=$1 address=$2
  {
    echo "\$TTL 300"
    echo "@ IN SOA ns.example.com. hostmaster.example.com. 1 3600 600 86400 300"
    echo "@ IN NS ns.example.com."
    echo "ns IN A $address"
    for record in "$dir"/*.dns; do echo "\$INCLUDE $record"; done
  } >"$dir/example.com.zone"
  cat >"$dir/nsd.conf" <<CONF
server:
  ip-address: $address@53
  username: ""
  zonesdir: "$dir"
  pidfile: "$dir/nsd.pid"
  xfrdfile: "$dir/xfrd.state"
  xfrdir: "$dir"
  zonelistfile: "$dir/zone.list"
  database: ""
  logfile: "$dir/nsd.log"
  server-count: 1
  do-ip6: no
  rrl-ratelimit: 0
remote-control:
  control-enable: no
zone:
  name: "example.com"
  zonefile: "$dir/example.com.zone"
CONF
  "${sudo_cmd[@]}" nsd -c "$dir/nsd.conf"
  for _ in $(seq 100); do
    [ -s "$dir/nsd.pid" ] && return 0
    sleep 0.1
  done
  echo "nsd did not start:" >&2
  cat "$dir/nsd.log" >&2 || true
  return 1
}

# nsd_stop DIR: stops the nsd that nsd_start DIR started, if it runs, and
# waits (about five seconds at most) until it has ended, so that DIR can go.
nsd_stop() {
  local dir=$1 pid
  [ -s "$dir/nsd.pid" ] || return 0
  pid=$(cat "$dir/nsd.pid")
  "${sudo_cmd[@]}" kill -TERM "$pid" 2>/dev/null || return 0
  for _ in $(seq 50); do
    "${sudo_cmd[@]}" kill -0 "$pid" 2>/dev/null || return 0
    sleep 0.1
  done
}

# wait_listening ADDRESS PORT...: true once every TCP port listens on
# ADDRESS, as the socket table says (no probe connection, which the daemon
# would serve as a session); false after about ten seconds.
wait_listening() {
  local address=$1
  shift
  for _ in $(seq 100); do
    local table all=1
    table=$(ss -Hltn 2>/dev/null || true)
    for port in "$@"; do
      grep -q " $address:$port " <<<"$table" || all=
    done
    [ -n "$all" ] && return 0
    sleep 0.1
  done
  return 1
}
