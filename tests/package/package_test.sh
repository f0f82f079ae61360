#!/usr/bin/env bash
# Builds the Debian packages from a configured build folder, unpacks them with
# dpkg-deb -x, checks the layout, the conffiles, the dependencies and the
# maintainer scripts, and starts the unpacked service against the unpacked
# simulated board: it must run the start-up reset and stop cleanly on SIGTERM.
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

(cd "$work" && cpack -G DEB --config "$build/CPackConfig.cmake" -B "$work/out" >"$work/cpack.log" 2>&1) ||
  { cat "$work/cpack.log" >&2; fail "cpack failed"; }
service_deb=$(ls "$work"/out/quorvane-station-center_*.deb 2>/dev/null | head -1)
sim_deb=$(ls "$work"/out/quorvane-station-board-sim_*.deb 2>/dev/null | head -1)
[ -n "$service_deb" ] || fail "no service package"
[ -n "$sim_deb" ] || fail "no simulator package"

# Control data: conffiles, dependencies, maintainer scripts.
dpkg-deb -e "$service_deb" "$work/control"
grep -qx /lib/quorvane_station_center/config/config.json "$work/control/conffiles" || fail "config.json is no conffile"
grep -qx /lib/quorvane_station_center/config/led.json "$work/control/conffiles" || fail "led.json is no conffile"
for script in postinst prerm postrm; do
  [ -x "$work/control/$script" ] || fail "no executable $script"
done
depends=$(dpkg-deb -f "$service_deb" Depends)
for lib in libpaho-mqttpp3 libprotobuf32 libspdlog1.10 libfmt9 libsystemd0; do
  echo "$depends" | grep -q "$lib" || fail "Depends lacks $lib: $depends"
done

# Layout.
root="$work/root"
dpkg-deb -x "$service_deb" "$root"
dpkg-deb -x "$sim_deb" "$root"
for path in usr/bin/quorvane_station_center usr/bin/station_board_sim \
            lib/quorvane_station_center/config/config.json lib/quorvane_station_center/config/led.json \
            lib/systemd/system/quorvane-station-center.service; do
  [ -e "$root/$path" ] || fail "missing /$path"
done
grep -q '^Type=notify' "$root/lib/systemd/system/quorvane-station-center.service" || fail "unit is not Type=notify"
if dpkg-deb -c "$sim_deb" | grep -q quorvane_station_center; then fail "the simulator package carries the service"; fi

# The unpacked service against the unpacked simulator.
free_port() { python3 -c 'import socket; s=socket.socket(); s.bind(("127.0.0.1",0)); print(s.getsockname()[1])'; }
command_port=$(free_port)
report_port=$(free_port)
control_port=$(free_port)
broker_port=$(free_port)  # nobody listens: the service keeps retrying the broker
"$root/usr/bin/station_board_sim" --command-port "$command_port" --report-port "$report_port" \
  --control-port "$control_port" --level 300 </dev/null >"$work/sim.log" 2>&1 &
pids+=($!)
mkdir -p "$work/config"
python3 - "$root/lib/quorvane_station_center/config/config.json" "$work/config/config.json" \
  "$command_port" "$report_port" "$broker_port" <<'PY'
import json, sys
config = json.load(open(sys.argv[1]))
config.update(embedded_ip="127.0.0.1", embedded_action_port=int(sys.argv[3]), soc_ip="127.0.0.1",
              soc_data_server_port=int(sys.argv[4]), mqtt_server_address="tcp://127.0.0.1:" + sys.argv[5])
json.dump(config, open(sys.argv[2], "w"))
PY
cp "$root/lib/quorvane_station_center/config/led.json" "$work/config/led.json"
STATION_CENTER_CONFIG_DIR="$work/config" SPDLOG_STDOUT=true SPDLOG_SYSTEMD=false \
  "$root/usr/bin/quorvane_station_center" >"$work/service.log" 2>&1 &
service=$!
pids+=($service)
for _ in $(seq 1 300); do
  grep -q "reset station task success" "$work/service.log" && break
  kill -0 "$service" 2>/dev/null || break
  sleep 0.1
done
grep -q "reset station task success" "$work/service.log" || { cat "$work/service.log" >&2; fail "no start-up reset"; }
kill -TERM "$service"
for _ in $(seq 1 250); do kill -0 "$service" 2>/dev/null || break; sleep 0.1; done
if kill -0 "$service" 2>/dev/null; then fail "service did not stop on SIGTERM"; fi
wait "$service" && status=0 || status=$?
[ "$status" -eq 0 ] || { cat "$work/service.log" >&2; fail "service exited with $status"; }
grep -q "safe stop: 14 actuators switched off, 0 failed" "$work/service.log" || { cat "$work/service.log" >&2; fail "no safe stop"; }
echo "package test: $(basename "$service_deb") and $(basename "$sim_deb") unpack, start and stop as they should"
