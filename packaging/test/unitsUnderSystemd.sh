#!/usr/bin/env bash
# Starts the packaged units, as built, under the machine's systemd: the
# broker, then a publisher (Type=notify: the start returns once it reported
# READY=1), a restart of the publisher (SIGTERM, then an immediate start that
# must register again), and clean stops with status 0. The units run as
# runtime units under names of their own (/run/systemd/system, removed at the
# end), with the programs of the build tree, on loopback ports picked here.
# Skips (status 77) where no systemd manages the machine or not as root:
# starting a systemd of its own would touch the host (/tmp, sysctl, journal).
# Environment (set by ctest): BUILD_DIR, UNIT_DIR (the configured units).
set -euo pipefail

if [ ! -d /run/systemd/system ]; then
  echo "SKIP: no systemd manages this machine (PID 1 is $(ps -p 1 -o comm=)); the units are only checked by systemd-analyze"
  exit 77
fi
if [ "$(id -u)" -ne 0 ]; then
  echo "SKIP: starting system units needs root"
  exit 77
fi

fail() {
  echo "FAIL: $*" >&2
  exit 1
}

free_port() {  # tcp|udp
  python3 -c "import socket, sys; s = socket.socket(socket.AF_INET, socket.SOCK_STREAM if sys.argv[1] == 'tcp' else socket.SOCK_DGRAM); s.bind(('127.0.0.1', 0)); print(s.getsockname()[1])" "$1"
}

prefix="vexatoolsTest$$"
broker_unit="$prefix-lumoBroker.service"
publisher_unit="$prefix-vexa2lumo.service"
broker_port=$(free_port tcp)
udp_port=$(free_port udp)

cleanup() {
  systemctl stop "$publisher_unit" "$broker_unit" >/dev/null 2>&1 || true
  rm -f "/run/systemd/system/$broker_unit" "/run/systemd/system/$publisher_unit"
  systemctl daemon-reload || true
}
trap cleanup EXIT

# The packaged unit with the build tree's program and these options instead
# of the configuration file. The build tree stays readable under ProtectHome.
install_unit() {  # packaged-unit name program options
  sed -e "s|^ExecStart=.*|ExecStart=$BUILD_DIR/$3 $4|" -e '/^EnvironmentFile=/d' -e '/^\[Install\]/,$d' \
    "$UNIT_DIR/$1" >"/run/systemd/system/$2"
  printf 'BindReadOnlyPaths=%s\n' "$BUILD_DIR" >>"/run/systemd/system/$2"
}
install_unit lumoBroker.service "$broker_unit" platform/lumo/broker/lumoBroker "--uri tcp://127.0.0.1:$broker_port"
install_unit vexatoolsVexa2Lumo@.service "$publisher_unit" vexa2lumo/vexatoolsVexa2Lumo \
  "-p $udp_port -w 64 -e 48 -k tcp://127.0.0.1:$broker_port -s $prefix -i 0"
systemctl daemon-reload

timeout 60 systemctl start "$broker_unit" || fail "broker: $(systemctl status --no-pager "$broker_unit")"
timeout 60 systemctl start "$publisher_unit" || fail "publisher: $(systemctl status --no-pager "$publisher_unit")"
[ "$(systemctl show -p ActiveState --value "$publisher_unit")" = active ] || fail "publisher not active"

# A restart: the stopped publisher unregisters, the new one registers at once.
timeout 60 systemctl restart "$publisher_unit" || fail "restart: $(systemctl status --no-pager "$publisher_unit")"
[ "$(systemctl show -p NRestarts --value "$publisher_unit")" = 0 ] || fail "the publisher failed and was restarted"

# Images flow from the simulator through the service to a subscriber.
"$BUILD_DIR/platform/lumo/subscribe/lumoSubscribe" -b "tcp://127.0.0.1:$broker_port" -s "$prefix" -n 3 -t 20 \
  >subscriber.out 2>&1 &
subscriber=$!
"$BUILD_DIR/vexasim/vexatoolsVexaSim" -p "$udp_port" -w 64 -e 48 -r 20 -s 200 >/dev/null &
simulator=$!
status=0
wait "$subscriber" || status=$?
kill "$simulator" 2>/dev/null || true
wait "$simulator" 2>/dev/null || true
[ "$status" -eq 0 ] || fail "subscriber (status $status): $(cat subscriber.out)"

for unit in "$publisher_unit" "$broker_unit"; do
  timeout 60 systemctl stop "$unit"
  [ "$(systemctl show -p Result --value "$unit")" = success ] || fail "$unit stopped with $(systemctl show -p Result "$unit")"
done
echo "both units started, restarted and stopped cleanly under systemd"
