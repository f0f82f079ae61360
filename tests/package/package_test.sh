#!/usr/bin/env bash
# Builds the Debian packages from a configured build folder and checks what only the packages can
# get wrong: layout, conffiles, dependencies, maintainer scripts, the unit's sandbox rating and
# Debian policy; where root may use a private mount namespace, that the service reads its
# configuration from /etc before /lib; and that the unpacked service, run as an unprivileged user
# without capabilities on its shipped files against the unpacked simulator, resets the station and
# stops on SIGTERM (with no broker: the service tests meet the robot with the same binary).
#   tests/package/package_test.sh BUILD_DIR
set -euo pipefail
build=$(cd "$1" && pwd)
work=$(mktemp -d /tmp/station_package_XXXXXX)
pids=()
trap 'for p in "${pids[@]}"; do kill -9 "$p" 2>/dev/null || true; done; rm -rf "$work"' EXIT
fail() { echo "package test: $*" >&2; exit 1; }
skip() { echo "package test: SKIPPED: $*"; }
(cd "$work" && cpack -G DEB --config "$build/CPackConfig.cmake" -B "$work/out" >"$work/cpack.log" 2>&1) ||
  { cat "$work/cpack.log" >&2; fail "cpack failed"; }
service_deb=$(ls "$work"/out/quorvane-station-center_*.deb | head -1)
sim_deb=$(ls "$work"/out/quorvane-station-board-sim_*.deb | head -1)
dpkg-deb -e "$service_deb" "$work/control"
for f in config.json led.json; do grep -qx "/etc/quorvane_station_center/$f" "$work/control/conffiles" || fail "$f is no conffile"; done
for s in preinst postinst prerm postrm; do [ -x "$work/control/$s" ] || fail "no executable $s"; done
depends=$(dpkg-deb -f "$service_deb" Depends)
for lib in libpaho-mqttpp3 libprotobuf32 libspdlog1.10 libfmt9 libsystemd0 adduser; do [[ $depends == *$lib* ]] || fail "Depends lacks $lib: $depends"; done
root="$work/root"
dpkg-deb -x "$service_deb" "$root" && dpkg-deb -x "$sim_deb" "$root"
for path in usr/bin/{quorvane_station_center,station_board_sim} etc/quorvane_station_center/{config,led}.json \
  lib/systemd/system/quorvane-station-center.service usr/share/doc/quorvane-station-{center,board-sim}/copyright; do
  [ -e "$root/$path" ] || fail "missing /$path"
done
[ ! -e "$root/lib/quorvane_station_center" ] || fail "configuration still under /lib"
unit="$root/lib/systemd/system/quorvane-station-center.service"
grep -q '^Type=notify' "$unit" && grep -q '^User=_quorvane-station' "$unit" || fail "unit is not Type=notify as its own user"
grep -q '_quorvane-station' "$work/control/postinst" || fail "postinst does not create the service user"
! dpkg-deb -c "$sim_deb" | grep -q quorvane_station_center || fail "the simulator package carries the service"
if systemd-analyze security --help 2>/dev/null | grep -q -- --offline; then
  exposure=$(systemd-analyze security --offline=true "$unit" 2>&1 | sed -n 's/.*Overall exposure level for [^:]*: \([0-9.]*\).*/\1/p')
  awk -v e="${exposure:-99}" 'BEGIN { exit !(e <= 2.0) }' || fail "unit exposure '${exposure}' is above 2.0"
else
  skip "systemd-analyze security --offline is not available"
fi
if ! command -v lintian >/dev/null; then skip "lintian is not installed"
elif ! lintian --fail-on error "$service_deb" "$sim_deb" >"$work/lintian.txt" 2>&1; then cat "$work/lintian.txt" >&2; fail "lintian errors"; fi
# In a private mount namespace whose /etc and /usr/lib are overlays: the service echoes the
# station_id of the config.json it read and ends at once (no led.json beside it).
lookup() {  # $1: station_id in /etc or "", $2: in /lib or ""
  local d; d=$(mktemp -d "$work/lookup_XXXXXX")
  mkdir -p "$d/etc/u/quorvane_station_center" "$d/etc/w" "$d/lib/u/quorvane_station_center/config" "$d/lib/w"
  local c='"embedded_ip":"127.0.0.1","embedded_action_port":1,"soc_ip":"127.0.0.1","soc_data_server_port":0'
  [ -z "$1" ] || echo "{$c,\"station_id\":\"$1\"}" >"$d/etc/u/quorvane_station_center/config.json"
  [ -z "$2" ] || echo "{$c,\"station_id\":\"$2\"}" >"$d/lib/u/quorvane_station_center/config/config.json"
  unshare --mount sh -c "mount -t overlay o -o lowerdir=/etc,upperdir=$d/etc/u,workdir=$d/etc/w /etc &&
    mount -t overlay o -o lowerdir=/usr/lib,upperdir=$d/lib/u,workdir=$d/lib/w /usr/lib &&
    exec env -u STATION_CENTER_CONFIG_DIR SPDLOG_STDOUT=true timeout 20 $root/usr/bin/quorvane_station_center" 2>&1 || true
}
if [ -e /etc/quorvane_station_center ] || [ -e /lib/quorvane_station_center ]; then
  skip "this machine has a station configuration of its own: /etc and /lib lookup not run"
elif [ "$(id -u)" -eq 0 ] && [ "$(readlink /lib)" = usr/lib ] && unshare --mount sh -c "mount -t tmpfs none $work/control" 2>/dev/null; then
  lookup from-etc from-lib | grep -q "station_id : from-etc" || fail "/etc config.json not read first"
  lookup "" from-lib | grep -q "station_id : from-lib" || fail "/lib config.json not the fallback"
  lookup "" "" | grep -q "open config.json failed" || fail "no config.json anywhere did not fail"
else
  skip "no private mount namespace: /etc and /lib lookup not run"
fi
port() { python3 -c 'import socket; s=socket.socket(); s.bind(("127.0.0.1",0)); print(s.getsockname()[1])'; }
command_port=$(port); report_port=$(port); broker_port=$(port)
"$root/usr/bin/station_board_sim" --command-port "$command_port" --report-port "$report_port" --control-port 0 \
  --level 300 </dev/null >"$work/sim.log" 2>&1 & pids+=($!)
mkdir -p "$work/config" && cp "$root/etc/quorvane_station_center/led.json" "$work/config/"
python3 -c 'import json,sys; c=json.load(open(sys.argv[1])); c.update(embedded_ip="127.0.0.1", embedded_action_port=int(sys.argv[3]),
  soc_ip="127.0.0.1", soc_data_server_port=int(sys.argv[4]), mqtt_server_address="tcp://127.0.0.1:"+sys.argv[5], station_id="P1")
json.dump(c, open(sys.argv[2], "w"))' "$root/etc/quorvane_station_center/config.json" "$work/config/config.json" \
  "$command_port" "$report_port" "$broker_port"
chmod -R a+rX "$work"
as_user=()
[ "$(id -u)" -ne 0 ] || as_user=(setpriv --reuid=65534 --regid=65534 --clear-groups --no-new-privs --inh-caps=-all --bounding-set=-all)
STATION_CENTER_CONFIG_DIR="$work/config" SPDLOG_STDOUT=true "${as_user[@]}" "$root/usr/bin/quorvane_station_center" \
  >"$work/service.log" 2>&1 & service=$!; pids+=($service)
for _ in $(seq 1 300); do grep -q "reset station task success" "$work/service.log" && break; sleep 0.1; done
grep -q "reset station task success" "$work/service.log" || { cat "$work/service.log" >&2; fail "no start-up reset"; }
[ "$(id -u)" -ne 0 ] || [ "$(awk '/^Uid:/ { print $3 }' "/proc/$service/status")" = 65534 ] || fail "service runs as root"
[ "$(awk '/^CapEff:/ { print $2 }' "/proc/$service/status")" = 0000000000000000 ] || fail "service holds capabilities"
kill -TERM "$service"
wait "$service" && status=0 || status=$?
[ "$status" -eq 0 ] || { cat "$work/service.log" >&2; fail "service exited with $status on SIGTERM"; }
echo "package test: $(basename "$service_deb") and $(basename "$sim_deb") unpack, start unprivileged, reset and stop"
