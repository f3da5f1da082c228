#!/usr/bin/env bash
# The network lab for LUMO fan-out: one publisher host and N viewer hosts on
# one switch (a Linux bridge in a namespace of its own that snoops IGMP and
# sends queries, as a managed switch does), each host a network namespace:
#
#   publisher 10.78.0.1   lumoBroker, lumoPublish (1024 x 768 x 2 bytes)
#   viewerN   10.78.0.(10+N)   lumoSubscribe
#
# The publisher sends --count images at --rate images/s over TCP and, unless
# --engine tcp, also by reliable multicast on 239.78.0.1:5556; the viewers
# subscribe by multicast (the first --tcp-viewers of them over TCP).
#
# Usage: scripts/netlab-lumo.sh [options]      (as root, or with CAP_NET_ADMIN)
#   --engine tcp|epgm        how the viewers receive (default epgm: PGM over UDP)
#   --viewers N              viewer hosts (default 2)
#   --tcp-viewers N          of them, the first N subscribe over TCP (default 0)
#   --count N                images the publisher sends (default 200)
#   --rate R                 images per second (default 50)
#   --width W, --height H    image size in 2-byte pixels (default 1024 x 768)
#   --mtu 1500|9000          MTU of every link (default 9000)
#   --multicast-rate MBIT    the publisher's multicast rate (default: derived from the stream)
#   --loss PCT               random loss of datagrams on viewer1's way in (nftables
#                            numgen and a counter, so the number dropped is exact)
#   --scenario NAME          plain (default); late-join: the last viewer starts when a
#                            third of the images are out; restart: the publisher stops
#                            half-way and a new one sends the rest; no-multicast: the
#                            publisher offers no multicast, the viewers must fall back
# Prints one line per host, a "figures:" line (bytes that left the publisher's
# link per image, publisher CPU per image, images lost per viewer), then PASS
# or the failed checks. Exit status 0 on PASS, 1 on a failed check, 2 for a
# bad command line, 77 without root or CAP_NET_ADMIN. Uses the programs of
# BUILD_DIR when set, else those in build/.
set -euo pipefail
cd "$(dirname "$0")/.."

engine=epgm viewers=2 tcp_viewers=0 count=200 rate=50 width=1024 height=768 mtu=9000 multicast_rate=0 loss=0
scenario=plain
usage() { sed -n '13,32p' "$0" | sed 's/^# \{0,1\}//'; }
while [ $# -gt 0 ]; do
  case "$1" in
    --engine) engine="$2"; shift 2 ;;
    --viewers) viewers="$2"; shift 2 ;;
    --tcp-viewers) tcp_viewers="$2"; shift 2 ;;
    --count) count="$2"; shift 2 ;;
    --rate) rate="$2"; shift 2 ;;
    --width) width="$2"; shift 2 ;;
    --height) height="$2"; shift 2 ;;
    --mtu) mtu="$2"; shift 2 ;;
    --multicast-rate) multicast_rate="$2"; shift 2 ;;
    --loss) loss="$2"; shift 2 ;;
    --scenario) scenario="$2"; shift 2 ;;
    -h|--help) usage; exit 0 ;;
    *) echo "netlab-lumo: unknown option $1" >&2; usage >&2; exit 2 ;;
  esac
done
bad() { echo "netlab-lumo: $1" >&2; exit 2; }
[[ "$engine" =~ ^(tcp|epgm)$ ]] || bad "--engine must be tcp or epgm"
[[ "$viewers" =~ ^[0-9]+$ && "$viewers" -ge 1 && "$viewers" -le 16 ]] || bad "--viewers must be 1 to 16"
[[ "$tcp_viewers" =~ ^[0-9]+$ && "$tcp_viewers" -le "$viewers" ]] || bad "--tcp-viewers must be 0 to --viewers"
[[ "$count" =~ ^[0-9]+$ && "$count" -ge 2 ]] || bad "--count must be at least 2"
[[ "$rate" =~ ^[0-9]+(\.[0-9]+)?$ ]] || bad "--rate must be a number"
[[ "$width" =~ ^[0-9]+$ && "$height" =~ ^[0-9]+$ ]] || bad "--width and --height must be numbers"
[[ "$mtu" =~ ^(1500|9000)$ ]] || bad "--mtu must be 1500 or 9000"
[[ "$multicast_rate" =~ ^[0-9]+$ ]] || bad "--multicast-rate must be a whole number of Mbit/s"
[[ "$loss" =~ ^[0-9]+(\.[0-9]+)?$ ]] && awk "BEGIN{exit !($loss < 100)}" || bad "--loss must be 0 to 100"
[[ "$scenario" =~ ^(plain|late-join|restart|no-multicast)$ ]] || bad "unknown --scenario $scenario"

cap_eff=$(awk '/^CapEff:/ {print $2}' /proc/self/status)
if (( (0x$cap_eff >> 12 & 1) == 0 )); then
  echo "netlab-lumo: skipped: needs root or CAP_NET_ADMIN to create network namespaces"
  exit 77
fi
command -v ip >/dev/null || { echo "netlab-lumo: ip is missing: apt-get install iproute2" >&2; exit 1; }
[ "$loss" = 0 ] || command -v nft >/dev/null || { echo "netlab-lumo: nft is missing: apt-get install nftables" >&2; exit 1; }

build="$(cd "${BUILD_DIR:-build}" && pwd)"
broker="$build/platform/lumo/broker/lumoBroker"
publish="$build/platform/lumo/publish/lumoPublish"
subscribe="$build/platform/lumo/subscribe/lumoSubscribe"
for program in "$broker" "$publish" "$subscribe"; do
  [ -x "$program" ] || { echo "netlab-lumo: $program is not built" >&2; exit 1; }
done

lab="nm$$"
work="$(mktemp -d)"
namespaces=() pids=()
teardown() {
  local status=$?
  for pid in "${pids[@]}"; do kill "$pid" 2>/dev/null || true; done
  # A program that does not end within 5 s of SIGTERM is killed.
  for _ in $(seq 50); do
    local alive=0
    for pid in "${pids[@]}"; do ! kill -0 "$pid" 2>/dev/null || alive=1; done
    [ "$alive" = 1 ] || break
    sleep 0.1
  done
  for pid in "${pids[@]}"; do kill -9 "$pid" 2>/dev/null || true; wait "$pid" 2>/dev/null || true; done
  # Whatever still runs in this run's hosts was started by it.
  for ns in "${namespaces[@]}"; do
    ip netns pids "$ns" 2>/dev/null | xargs -r kill -9 2>/dev/null || true
    ip netns del "$ns" 2>/dev/null || true
  done
  rm -rf "$work"
  exit "$status"
}
trap teardown EXIT
trap 'exit 130' INT TERM

add_namespace() {
  ip netns add "$1" || { echo "netlab-lumo: cannot create network namespace $1" >&2; exit 1; }
  namespaces+=("$1")
  ip -n "$1" link set lo up
}
switch="$lab-switch"
add_namespace "$switch"
# IGMPv3 queries: an IGMPv2 report goes to the group itself, the other
# members hear it and hold back their own, and the switch would learn only
# one of several viewer ports.
ip -n "$switch" link add name br-lab type bridge mcast_snooping 1 mcast_querier 1 mcast_igmp_version 3
ip -n "$switch" link set br-lab mtu "$mtu" up
ip -n "$switch" addr add 10.78.0.254/24 dev br-lab  # the querier's source address
attach() {  # attach HOST ADDRESS SWITCH-PORT
  ip -n "$switch" link add "$3" type veth peer name eth0 netns "$1"
  ip -n "$switch" link set "$3" mtu "$mtu" master br-lab up
  ip -n "$1" link set eth0 mtu "$mtu" up
  ip -n "$1" addr add "$2/24" dev eth0
  ip -n "$1" route add 224.0.0.0/4 dev eth0
}
publisher_host="$lab-publisher"
add_namespace "$publisher_host"
attach "$publisher_host" 10.78.0.1 p-publisher
for i in $(seq "$viewers"); do
  add_namespace "$lab-viewer$i"
  attach "$lab-viewer$i" "10.78.0.$((10 + i))" "p-viewer$i"
done
if [ "$loss" != 0 ]; then
  per_10000=$(awk "BEGIN{printf \"%d\", $loss * 100 + 0.5}")
  ip netns exec "$lab-viewer1" nft -f - <<EOF
table ip netlab {
  chain input {
    type filter hook input priority 0; policy accept;
    iifname "eth0" ip saddr 10.78.0.1 numgen random mod 10000 < $per_10000 counter drop
  }
}
EOF
fi

start() {  # start NAME HOST COMMAND...: output in $work/NAME.out and .err
  local name="$1" ns="$2"; shift 2
  ip netns exec "$ns" "$@" >"$work/$name.out" 2>"$work/$name.err" &
  pids+=($!)
  eval "pid_$name=$!"
}
wait_for() {  # wait_for FILE PATTERN SECONDS
  for _ in $(seq $(($3 * 20))); do
    grep -q -- "$2" "$1" 2>/dev/null && return 0
    sleep 0.05
  done
  return 1
}
cpu_ticks() { awk '{print $14 + $15}' "/proc/$1/stat" 2>/dev/null || echo 0; }
tx_bytes() { ip netns exec "$publisher_host" cat /sys/class/net/eth0/statistics/tx_bytes; }

broker_uri=tcp://10.78.0.1:5570
start broker "$publisher_host" "$broker" --uri "$broker_uri" --log-level WARN --lease-ms 1000
wait_for "$work/broker.out" "listening on" 10 || { echo "netlab-lumo: lumoBroker did not start" >&2; exit 1; }

multicast_options=()
if [ "$engine" != tcp ] && [ "$scenario" != no-multicast ]; then
  multicast_options=(--multicast "$engine://10.78.0.1;239.78.0.1:5556")
  [ "$multicast_rate" = 0 ] || multicast_options+=(--multicast-rate "$multicast_rate")
fi
image_bytes=$((width * height * 2))
idle=4  # a viewer ends this long after its last image
viewer_start() {  # viewer_start I
  local i="$1" how=()
  [ "$engine" = tcp ] || [ "$i" -le "$tcp_viewers" ] || how=(--multicast)
  # Each viewer's CPU time: `times` of the subshell that waited for it.
  ip netns exec "$lab-viewer$i" bash -c '"$@"; status=$?; times >&3; exit $status' viewer \
    "$subscribe" -b "$broker_uri" -n 0 -t "$idle" -l INFO "${how[@]}" \
    >"$work/viewer$i.out" 2>"$work/viewer$i.err" 3>"$work/viewer$i.times" &
  pids+=($!)
  eval "pid_viewer$i=$!"
}
late=0
[ "$scenario" != late-join ] || late="$viewers"
for i in $(seq "$viewers"); do
  [ "$i" = "$late" ] || viewer_start "$i"
done

publisher_run() {  # publisher_run NAME COUNT DELAY
  start "$1" "$publisher_host" "$publish" -b "$broker_uri" -w "$width" -e "$height" -B 2 -r "$rate" -n "$2" \
    --delay "$3" "${multicast_options[@]}"
}
half=$count
[ "$scenario" != restart ] || half=$((count / 2))
tx_before=$(tx_bytes)
# The viewers look the stream up every 200 ms until it is registered: two
# seconds lets every one of them join before the first image.
publisher_run publisher "$half" 2
wait_for "$work/publisher.out" "^Publishing" 10 || { echo "netlab-lumo: lumoPublish did not start" >&2; cat "$work/publisher.err" >&2; exit 1; }
if [ "$late" != 0 ]; then
  sleep "$(awk "BEGIN{print 2 + $count / 3 / $rate}")"
  viewer_start "$late"
fi
failures=()
cpu_publisher=0
wait_publisher() {  # wait_publisher NAME: its CPU ticks added to cpu_publisher
  local pid_var="pid_$1" last=0 deadline=$((SECONDS + 30 + ${count%.*} * 3 / ${rate%.*}))
  while kill -0 "${!pid_var}" 2>/dev/null; do
    if [ "$SECONDS" -ge "$deadline" ]; then
      failures+=("$1: still publishing after $((deadline - SECONDS + 0))+ s, stopped")
      kill -9 "${!pid_var}" 2>/dev/null || true
      break
    fi
    last=$(cpu_ticks "${!pid_var}")
    [ "$last" = 0 ] || echo "$last" >"$work/$1.cpu"
    sleep 0.1
  done
  wait "${!pid_var}" || true
  cpu_publisher=$((cpu_publisher + $(cat "$work/$1.cpu" 2>/dev/null || echo 0)))
}
wait_publisher publisher
if [ "$scenario" = restart ]; then
  # A new publisher process on the same stream: new TCP port, the same group.
  publisher_run publisher2 "$((count - half))" 1.5
  wait_publisher publisher2
fi
for i in $(seq "$viewers"); do
  pid_var="pid_viewer$i"
  wait "${!pid_var}" 2>/dev/null || true
done
tx_after=$(tx_bytes)

check() { local what="$1"; shift; "$@" || failures+=("$what"); }
dropped=0
[ "$loss" = 0 ] || dropped=$(ip netns exec "$lab-viewer1" nft list chain ip netlab input | sed -n 's/.*counter packets \([0-9]*\).*/\1/p')
echo "publisher: $(grep -h '^Published' "$work"/publisher*.out | tr '\n' ' ')(${multicast_options[*]:-TCP only})"
lost_list=()
for i in $(seq "$viewers"); do
  summary=$(grep '^images ' "$work/viewer$i.out" | tail -n 1 || true)
  images=$(sed -n 's/^images \([0-9]*\),.*/\1/p' <<<"$summary")
  gaps=$(sed -n 's/.*gaps \([0-9]*\) (\([0-9]*\) missed).*/\1/p' <<<"$summary")
  missed=$(sed -n 's/.*gaps [0-9]* (\([0-9]*\) missed).*/\1/p' <<<"$summary")
  via=$(grep -o "Following LUMO stream '[^']*' at [^ ]*" "$work/viewer$i.err" | tail -n 1 | sed 's/.* at //' || true)
  cpu=$(awk 'NR == 2 {print $1 " user, " $2 " sys"}' "$work/viewer$i.times" 2>/dev/null || true)
  restarted=$(grep -c 'publisher restarted' "$work/viewer$i.out" || true)
  first=$(grep -m1 '^seq ' "$work/viewer$i.out" || true)
  images=${images:-0} missed=${missed:-0} gaps=${gaps:-0}
  lost_list+=("$((count - images))")
  echo "viewer$i: images $images, gaps $gaps ($missed missed), via ${via:-nothing}, CPU $cpu$( [ "$i" != 1 ] || [ "$loss" = 0 ] || echo ", lab dropped $dropped datagrams")"
  multicast_wanted=0
  [ "$engine" = tcp ] || [ "$i" -le "$tcp_viewers" ] || [ "$scenario" = no-multicast ] || multicast_wanted=1
  if [ "$multicast_wanted" = 1 ]; then
    check "viewer$i: did not receive by multicast" grep -q "^$engine://10.78.0.1;239.78.0.1:5556" <<<"$via"
  else
    check "viewer$i: did not receive over TCP" grep -q '^tcp://10.78.0.1:' <<<"$via"
  fi
  if [ "$scenario" = no-multicast ] && [ "$engine" != tcp ] && [ "$i" -gt "$tcp_viewers" ]; then
    check "viewer$i: no warning that the stream has no multicast endpoint" \
      grep -q 'receiving over TCP, not by multicast: the publisher registered no multicast endpoint' "$work/viewer$i.err"
  fi
  # Every image is received bit for bit (ZeroMQ checks nothing: the sizes
  # tell a torn image), and every loss is a gap the viewer reports.
  check "viewer$i: an image of a size other than $image_bytes bytes" \
    test "$(grep '^seq ' "$work/viewer$i.out" | grep -vc " $image_bytes bytes " || true)" = 0
  if [ "$i" = "$late" ]; then
    check "viewer$i (late): no image" test "$images" -gt 0
    check "viewer$i (late): its first image is counted as after a gap" test "$(grep -c 'missed)' <<<"$first" || true)" = 0
    check "viewer$i (late): a gap after joining ($gaps)" test "$gaps" = 0
    check "viewer$i (late): the images do not run to the last one" grep -q "^seq $count " "$work/viewer$i.out"
  elif [ "$scenario" = restart ]; then
    # Losses on a loaded host may cost an image or two; the sequences tell.
    check "viewer$i: the restart was not reported" test "$restarted" = 1
    check "viewer$i: no image before the restart" grep -q "^seq 1 " "$work/viewer$i.out"
    check "viewer$i: the new publisher's last image did not arrive" grep -q "^seq $((count - half)) " <(sed -n '/publisher restarted/,$p' "$work/viewer$i.out")
    check "viewer$i: $images images + $missed missed > $count sent" test $((images + missed)) -le "$count"
  elif [ "$i" = 1 ] && [ "$loss" != 0 ]; then
    check "viewer$i: $images images + $missed missed != $count sent: a loss was neither repaired nor shown" \
      test $((images + missed)) -eq "$count"
  else
    check "viewer$i: $images of $count images" test "$images" -eq "$count"
  fi
done
ticks_per_second=$(getconf CLK_TCK)
awk -v bytes=$((tx_after - tx_before)) -v images="$count" -v image="$image_bytes" -v ticks="$cpu_publisher" \
  -v hz="$ticks_per_second" -v lost="${lost_list[*]}" -v engine="$engine" -v n="$viewers" \
  'BEGIN { printf "figures: engine %s viewers %d bytes_out_per_image %.0f (%.2f images) publisher_cpu_ms_per_image %.2f lost %s\n",
           engine, n, bytes / images, bytes / images / image, ticks * 1000 / hz / images, lost }'
if [ "${#failures[@]}" -gt 0 ]; then
  printf 'FAIL: %s\n' "${failures[@]}"
  for i in $(seq "$viewers"); do grep -h 'WARN\|ERROR' "$work/viewer$i.err" | head -n 3 | sed "s/^/viewer$i: /" || true; done
  exit 1
fi
echo "PASS"
