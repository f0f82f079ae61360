#!/usr/bin/env bash
# Builds the Debian packages from a configured build folder, unpacks them with
# dpkg-deb -x, checks the layout, the conffiles, the dependencies, the
# maintainer scripts, the unit's sandbox (systemd-analyze security) and
# Debian policy (lintian), and starts the unpacked service as an unprivileged
# user against the unpacked simulated board and a broker: it must run the
# start-up reset, answer a robot request, announce itself online and offline
# and stop cleanly on SIGTERM. Where root may use a private mount namespace, it
# also checks where the service finds its configuration (/etc before /lib).
# A missing tool skips its check with a notice.
#
#   tests/package/package_test.sh BUILD_DIR
set -euo pipefail
build=$(cd "$1" && pwd)
work=$(mktemp -d /tmp/station_package_XXXXXX)
pids=()
cleanup() {
  for pid in "${pids[@]}"; do kill -9 "$pid" 2>/dev/null || true; done
  rm -rf "$work"
}
trap cleanup EXIT
fail() { echo "package test: $*" >&2; exit 1; }
skip() { echo "package test: SKIPPED: $*"; }

(cd "$work" && cpack -G DEB --config "$build/CPackConfig.cmake" -B "$work/out" >"$work/cpack.log" 2>&1) ||
  { cat "$work/cpack.log" >&2; fail "cpack failed"; }
service_deb=$(ls "$work"/out/quorvane-station-center_*.deb 2>/dev/null | head -1)
sim_deb=$(ls "$work"/out/quorvane-station-board-sim_*.deb 2>/dev/null | head -1)
[ -n "$service_deb" ] || fail "no service package"
[ -n "$sim_deb" ] || fail "no simulator package"

# Control data: conffiles, dependencies, maintainer scripts.
dpkg-deb -e "$service_deb" "$work/control"
grep -qx /etc/quorvane_station_center/config.json "$work/control/conffiles" || fail "config.json is no conffile"
grep -qx /etc/quorvane_station_center/led.json "$work/control/conffiles" || fail "led.json is no conffile"
for script in preinst postinst prerm postrm; do
  [ -x "$work/control/$script" ] || fail "no executable $script"
done
depends=$(dpkg-deb -f "$service_deb" Depends)
for lib in libpaho-mqttpp3 libprotobuf32 libspdlog1.10 libfmt9 libsystemd0 adduser; do
  echo "$depends" | grep -q "$lib" || fail "Depends lacks $lib: $depends"
done

# Layout.
root="$work/root"
dpkg-deb -x "$service_deb" "$root"
dpkg-deb -x "$sim_deb" "$root"
for path in usr/bin/quorvane_station_center usr/bin/station_board_sim \
            etc/quorvane_station_center/config.json etc/quorvane_station_center/led.json \
            lib/systemd/system/quorvane-station-center.service \
            usr/share/doc/quorvane-station-center/copyright usr/share/doc/quorvane-station-board-sim/copyright; do
  [ -e "$root/$path" ] || fail "missing /$path"
done
if [ -e "$root/lib/quorvane_station_center" ]; then fail "configuration still under /lib"; fi
unit="$root/lib/systemd/system/quorvane-station-center.service"
grep -q '^Type=notify' "$unit" || fail "unit is not Type=notify"
grep -q '^User=_quorvane-station' "$unit" || fail "unit does not run as its own user"
grep -q '_quorvane-station' "$work/control/postinst" || fail "postinst does not create the service user"
if dpkg-deb -c "$sim_deb" | grep -q quorvane_station_center; then fail "the simulator package carries the service"; fi

# The sandbox: systemd's own rating of the unit, 0 (locked down) to 10 (exposed).
if command -v systemd-analyze >/dev/null 2>&1 && systemd-analyze security --help 2>/dev/null | grep -q -- --offline; then
  systemd-analyze security --offline=true "$unit" >"$work/security.txt" 2>&1 || true
  exposure=$(sed -n 's/.*Overall exposure level for [^:]*: \([0-9.]*\).*/\1/p' "$work/security.txt")
  [ -n "$exposure" ] || { cat "$work/security.txt" >&2; fail "systemd-analyze gave no exposure level"; }
  awk -v e="$exposure" 'BEGIN { exit !(e <= 2.0) }' || { cat "$work/security.txt" >&2; fail "unit exposure $exposure is above 2.0"; }
  echo "package test: unit exposure $exposure"
else
  skip "systemd-analyze security --offline is not available: the unit's exposure is not rated"
fi

# Debian policy.
if command -v lintian >/dev/null 2>&1; then
  lintian --fail-on error "$service_deb" "$sim_deb" >"$work/lintian.txt" 2>&1 ||
    { cat "$work/lintian.txt" >&2; fail "lintian reports errors"; }
else
  skip "lintian is not installed (scripts/setup installs it): Debian policy is not checked"
fi

# Where the service finds its configuration, without touching the machine's
# own /etc or /lib: in a private mount namespace whose /etc and /usr/lib are
# overlays. The service ends with 255 at once (no led.json beside config.json),
# after echoing the station_id of the config.json it read.
lookup() {  # $1: etc config station_id or "", $2: lib config station_id or ""; prints the service's output
  local case_dir
  case_dir=$(mktemp -d "$work/lookup_XXXXXX")
  mkdir -p "$case_dir/etc/upper/quorvane_station_center" "$case_dir/etc/work" \
           "$case_dir/lib/upper/quorvane_station_center/config" "$case_dir/lib/work"
  local config='"embedded_ip":"127.0.0.1","embedded_action_port":1,"soc_ip":"127.0.0.1","soc_data_server_port":0'
  [ -z "$1" ] || echo "{$config,\"station_id\":\"$1\"}" >"$case_dir/etc/upper/quorvane_station_center/config.json"
  [ -z "$2" ] || echo "{$config,\"station_id\":\"$2\"}" >"$case_dir/lib/upper/quorvane_station_center/config/config.json"
  unshare --mount sh -c "
    mount -t overlay overlay -o lowerdir=/etc,upperdir=$case_dir/etc/upper,workdir=$case_dir/etc/work /etc &&
    mount -t overlay overlay -o lowerdir=/usr/lib,upperdir=$case_dir/lib/upper,workdir=$case_dir/lib/work /usr/lib &&
    exec env -u STATION_CENTER_CONFIG_DIR SPDLOG_STDOUT=true SPDLOG_SYSTEMD=false timeout 20 $root/usr/bin/quorvane_station_center
  " 2>&1 || true
}
if [ -e /etc/quorvane_station_center ] || [ -e /lib/quorvane_station_center ]; then
  skip "this machine has a station configuration of its own: the /etc and /lib lookup is not run"
elif [ "$(id -u)" -eq 0 ] && [ "$(readlink /lib)" = usr/lib ] && command -v unshare >/dev/null 2>&1 &&
   unshare --mount sh -c "mount -t tmpfs none $work/control" 2>/dev/null; then
  out=$(lookup from-etc from-lib)
  echo "$out" | grep -q "config folder : /etc/quorvane_station_center" || { echo "$out" >&2; fail "/etc config.json not chosen"; }
  echo "$out" | grep -q "station_id : from-etc" || { echo "$out" >&2; fail "/etc config.json not read"; }
  echo "$out" | grep -q "open led.json failed" || { echo "$out" >&2; fail "led.json not looked for beside config.json"; }
  out=$(lookup "" from-lib)
  echo "$out" | grep -q "station_id : from-lib" || { echo "$out" >&2; fail "/lib config.json not the fallback"; }
  out=$(lookup "" "")
  echo "$out" | grep -q "open config.json failed" || { echo "$out" >&2; fail "no config.json anywhere did not fail"; }
else
  skip "no private mount namespace (needs root, unshare and a merged /usr): the /etc and /lib lookup is not run"
fi

# The unpacked service against the unpacked simulator and a broker, as an
# unprivileged user with no capabilities (nobody, when this runs as root).
free_port() { python3 -c 'import socket; s=socket.socket(); s.bind(("127.0.0.1",0)); print(s.getsockname()[1])'; }
command_port=$(free_port)
report_port=$(free_port)
control_port=$(free_port)
broker_port=$(free_port)
station_id=P1
if ! command -v mosquitto >/dev/null 2>&1 && [ -x /usr/sbin/mosquitto ]; then PATH=$PATH:/usr/sbin; fi
command -v mosquitto >/dev/null 2>&1 || fail "no mosquitto (scripts/setup installs it)"
cat >"$work/mosquitto.conf" <<CONF
persistence false
allow_anonymous true
log_dest stderr
listener $broker_port 127.0.0.1
CONF
mosquitto -c "$work/mosquitto.conf" >"$work/mosquitto.log" 2>&1 &
pids+=($!)
"$root/usr/bin/station_board_sim" --command-port "$command_port" --report-port "$report_port" \
  --control-port "$control_port" --level 300 </dev/null >"$work/sim.log" 2>&1 &
pids+=($!)
mkdir -p "$work/config"
python3 - "$root/etc/quorvane_station_center/config.json" "$work/config/config.json" \
  "$command_port" "$report_port" "$broker_port" "$station_id" <<'PY'
import json, sys
config = json.load(open(sys.argv[1]))
config.update(embedded_ip="127.0.0.1", embedded_action_port=int(sys.argv[3]), soc_ip="127.0.0.1",
              soc_data_server_port=int(sys.argv[4]), mqtt_server_address="tcp://127.0.0.1:" + sys.argv[5],
              mqtt_keep_alive_interval=5, station_id=sys.argv[6])
json.dump(config, open(sys.argv[2], "w"))
PY
cp "$root/etc/quorvane_station_center/led.json" "$work/config/led.json"
chmod -R a+rX "$work"
as_user=()
if [ "$(id -u)" -eq 0 ]; then
  command -v setpriv >/dev/null 2>&1 || fail "no setpriv (util-linux) to drop root"
  as_user=(setpriv --reuid=65534 --regid=65534 --clear-groups --no-new-privs --inh-caps=-all --bounding-set=-all)
fi
topic="clean_robot_station/$station_id"
mosquitto_sub -p "$broker_port" -V mqttv5 -v -t "$topic/checkStationRe" -t "$topic/availability" \
  >"$work/robot.log" 2>&1 &
pids+=($!)
STATION_CENTER_CONFIG_DIR="$work/config" SPDLOG_STDOUT=true SPDLOG_SYSTEMD=false \
  "${as_user[@]}" "$root/usr/bin/quorvane_station_center" >"$work/service.log" 2>&1 &
service=$!
pids+=($service)
for _ in $(seq 1 300); do
  grep -q "reset station task success" "$work/service.log" && break
  kill -0 "$service" 2>/dev/null || break
  sleep 0.1
done
grep -q "reset station task success" "$work/service.log" || { cat "$work/service.log" >&2; fail "no start-up reset"; }
uid=$(awk '/^Uid:/ { print $3 }' "/proc/$service/status")
caps=$(awk '/^CapEff:/ { print $2 }' "/proc/$service/status")
[ "$(id -u)" -ne 0 ] || [ "$uid" = 65534 ] || fail "service runs as uid $uid"
[ "$caps" = 0000000000000000 ] || fail "service holds capabilities $caps"
# The robot asks until the station's subscriptions are in place.
for _ in $(seq 1 60); do
  grep -q "^$topic/checkStationRe " "$work/robot.log" && break
  mosquitto_pub -p "$broker_port" -V mqttv5 -t "$topic/checkStation" -m '{"checkType":0}' || true
  sleep 0.5
done
grep -q "^$topic/checkStationRe {\"rspHeader\"" "$work/robot.log" ||
  { cat "$work/robot.log" "$work/service.log" >&2; fail "no answer to the robot"; }
grep -qx "$topic/availability online" "$work/robot.log" || { cat "$work/robot.log" >&2; fail "not announced online"; }
kill -TERM "$service"
for _ in $(seq 1 250); do kill -0 "$service" 2>/dev/null || break; sleep 0.1; done
if kill -0 "$service" 2>/dev/null; then fail "service did not stop on SIGTERM"; fi
wait "$service" && status=0 || status=$?
[ "$status" -eq 0 ] || { cat "$work/service.log" >&2; fail "service exited with $status"; }
grep -q "safe stop: 14 actuators switched off, 0 failed" "$work/service.log" || { cat "$work/service.log" >&2; fail "no safe stop"; }
for _ in $(seq 1 50); do grep -qx "$topic/availability offline" "$work/robot.log" && break; sleep 0.1; done
grep -qx "$topic/availability offline" "$work/robot.log" || { cat "$work/robot.log" >&2; fail "not announced offline"; }
echo "package test: $(basename "$service_deb") and $(basename "$sim_deb") unpack, start as uid ${uid}, answer and stop as they should"
