#!/usr/bin/env bash
# The network lab: the whole system across hosts, each host a network
# namespace, joined by veth pairs to a switch namespace with two Linux
# bridges that snoop IGMP and act as querier:
#
#   camera net 10.77.1.0/24 (multicast)       viewer net 10.77.2.0/24 (LUMO)
#   camera   10.77.1.1  vexatoolsVexaSim      gateway  10.77.2.2  lumoBroker
#   gateway  10.77.1.2  vexatoolsVexa2Lumo,             (the broker's address)
#                       vexatoolsVexaReceiver, viewerN  10.77.2.(10+N)
#                       vexatoolsGatewayExample         netlabViewer x 2
#   gateway2 10.77.1.3  vexatoolsVexaReceiver (--multicast-checks)
#
# The camera sends 1024 x 768 Int16 samples to 239.77.0.1:50000 out of its
# interface; the gateway joins the group on its camera-net interface and
# publishes at its broker on the viewer net, where each viewer checks every
# image of the publisher tool (stream vexa_stream) and of the gateway example
# (stream vexa_gateway) byte for byte against the simulator's pattern.
# The addresses exist only inside the lab: the machine's own interfaces,
# routes, nftables and sysctls are not touched, and every name carries this
# run's PID, so that runs side by side do not meet.
#
# Usage: scripts/netlab.sh [options]      (as root, or with CAP_NET_ADMIN)
#   --mtu 1500|9000        MTU of every link (default 9000)
#   --packet-size BYTES    the simulator's datagram size (default 8972; 1472 fits MTU 1500)
#   --viewers N            viewer hosts (default 2)
#   --samples N            samples the camera sends (default 20)
#   --rate R               samples per second (default 10)
#   --loss PCT             drop this percentage of the stream's datagrams at random on the
#                          gateway's way in (nftables numgen; the count dropped is exact)
#   --link-rate RATE       token-bucket limit on the camera's link, e.g. 1gbit (tc tbf)
#   --multicast-checks     also: a second gateway host joins the group and gets the same
#                          stream, and a receiver joined on the gateway's viewer-net
#                          interface gets nothing and says so after 5 s
#   --no-example           without the gateway example and its viewers (for bench/netlab)
#   --keep                 leave the namespaces up and print how to enter each host
#   --lumo-multicast epgm  the publishers also publish by reliable multicast (PGM over UDP)
#                          and the viewers receive that way
#   --tcp-viewers N        with --lumo-multicast: the first N viewers stay on TCP
# Prints one line per host and exits 0 only when every viewer got every image
# of every complete sample bit-exact and the losses by cause add up to what
# the lab dropped; 1 otherwise, 2 for a bad command line, 77 when it cannot
# run here (no root or CAP_NET_ADMIN). Uses the programs of BUILD_DIR when
# that is set, else builds them in build/.
set -euo pipefail
cd "$(dirname "$0")/.."

mtu=9000 packet_size=8972 viewers=2 samples=20 rate=10 loss=0 link_rate="" multicast_checks=0 with_example=1 keep=0
lumo_multicast="" tcp_viewers=0
usage() { sed -n '22,43p' "$0" | sed 's/^# \{0,1\}//'; }
while [ $# -gt 0 ]; do
  case "$1" in
    --mtu) mtu="$2"; shift 2 ;;
    --packet-size) packet_size="$2"; shift 2 ;;
    --viewers) viewers="$2"; shift 2 ;;
    --samples) samples="$2"; shift 2 ;;
    --rate) rate="$2"; shift 2 ;;
    --loss) loss="$2"; shift 2 ;;
    --link-rate) link_rate="$2"; shift 2 ;;
    --multicast-checks) multicast_checks=1; shift ;;
    --no-example) with_example=0; shift ;;
    --keep) keep=1; shift ;;
    --lumo-multicast) lumo_multicast="$2"; shift 2 ;;
    --tcp-viewers) tcp_viewers="$2"; shift 2 ;;
    -h|--help) usage; exit 0 ;;
    *) echo "netlab: unknown option $1" >&2; usage >&2; exit 2 ;;
  esac
done
bad() { echo "netlab: $1" >&2; exit 2; }
[[ "$mtu" =~ ^(1500|9000)$ ]] || bad "--mtu must be 1500 or 9000"
[[ "$viewers" =~ ^[0-9]+$ && "$viewers" -ge 1 && "$viewers" -le 50 ]] || bad "--viewers must be 1 to 50"
[[ "$samples" =~ ^[0-9]+$ && "$samples" -ge 1 ]] || bad "--samples must be a positive number"
[[ "$packet_size" =~ ^[0-9]+$ ]] || bad "--packet-size must be a number of bytes"
[[ "$rate" =~ ^[0-9]+(\.[0-9]+)?$ ]] || bad "--rate must be a number"
[[ "$loss" =~ ^[0-9]+(\.[0-9]+)?$ ]] && awk "BEGIN{exit !($loss < 100)}" || bad "--loss must be 0 to 100"
[ -z "$lumo_multicast" ] || [[ "$lumo_multicast" =~ ^epgm$ ]] || bad "--lumo-multicast must be epgm"
[[ "$tcp_viewers" =~ ^[0-9]+$ && "$tcp_viewers" -le "$viewers" ]] || bad "--tcp-viewers must be 0 to --viewers"
[ -z "$link_rate" ] || [[ "$link_rate" =~ ^[0-9]+(\.[0-9]+)?[kmg]?bit$ ]] || bad "--link-rate must be like 1gbit or 500mbit"

# Root's uid is not enough in a container without CAP_NET_ADMIN (bit 12).
cap_eff=$(awk '/^CapEff:/ {print $2}' /proc/self/status)
if (( (0x$cap_eff >> 12 & 1) == 0 )); then
  echo "netlab: skipped: needs root or CAP_NET_ADMIN to create network namespaces"
  exit 77
fi

need() { command -v "$1" >/dev/null || { echo "netlab: $1 is missing: apt-get install $2" >&2; exit 1; }; }
need ip iproute2
[ "$loss" = 0 ] || need nft nftables
[ -z "$link_rate" ] || need tc iproute2

if [ -n "${BUILD_DIR:-}" ]; then
  build="$BUILD_DIR"
else
  scripts/install-deps.sh
  cmake -S . -B build -G Ninja >/dev/null
  cmake --build build --parallel "$(nproc)" --target vexatoolsVexaSim vexatoolsVexaReceiver vexatoolsVexa2Lumo \
    vexatoolsGatewayExample lumoBroker netlabViewer >/dev/null
  build="$PWD/build"
fi
build="$(cd "$build" && pwd)"
sim="$build/vexasim/vexatoolsVexaSim"
receiver="$build/vexareceiver/vexatoolsVexaReceiver"
publisher="$build/vexa2lumo/vexatoolsVexa2Lumo"
example="$build/examples/vexatoolsGatewayExample"
broker="$build/platform/lumo/broker/lumoBroker"
viewer="$build/netlab/netlabViewer"
for program in "$sim" "$receiver" "$publisher" "$example" "$broker" "$viewer"; do
  [ -x "$program" ] || { echo "netlab: $program is not built" >&2; exit 1; }
done

group=239.77.0.1 port=50000 broker_uri=tcp://10.77.2.2:5570
geometry=(-w 1024 -e 768 -t Int16)
lab="nl$$"  # prefix of every namespace of this run
work="$(mktemp -d)"
namespaces=() pids=()

teardown() {
  local status=$?
  if [ "$keep" -eq 1 ] && [ "${#namespaces[@]}" -gt 0 ]; then
    # Broker and publishers keep running: send the camera's stream again and
    # subscribe from a viewer host.
    echo "The lab stays up, lumoBroker and the publishers running on the gateway. Enter a host with:"
    for ns in "${namespaces[@]}"; do echo "  ip netns exec $ns bash"; done
    if [ -n "${viewer_hosts[0]:-}" ]; then
      echo "For example: ip netns exec $camera $sim -a $group -n 10.77.1.1 -p $port -w 1024 -e 768 -s 50 -r 10"
      echo "        and: ip netns exec ${viewer_hosts[0]} $build/platform/lumo/subscribe/lumoSubscribe -b $broker_uri -n 10"
    fi
    echo "Take it down with:"
    echo "  for ns in ${namespaces[*]}; do ip netns pids \$ns | xargs -r kill; ip netns del \$ns; done"
  else
    for pid in "${pids[@]}"; do kill "$pid" 2>/dev/null || true; done
    for pid in "${pids[@]}"; do wait "$pid" 2>/dev/null || true; done
    # Whatever still runs in this run's hosts was started by it.
    for ns in "${namespaces[@]}"; do
      ip netns pids "$ns" 2>/dev/null | xargs -r kill -9 2>/dev/null || true
      ip netns del "$ns" 2>/dev/null || true
    done
  fi
  rm -rf "$work"
  exit "$status"
}
trap teardown EXIT
trap 'exit 130' INT TERM

in_ns() { local ns="$1"; shift; ip netns exec "$ns" "$@"; }

add_namespace() {
  ip netns add "$1" || { echo "netlab: cannot create network namespace $1" >&2; exit 1; }
  namespaces+=("$1")
  ip -n "$1" link set lo up
}

# The switch: one bridge per net, snooping IGMP and sending queries, so that
# the group reaches only the ports that joined it, as on a managed switch.
# IGMPv3 queries, so that the hosts answer in IGMPv3: an IGMPv2 report goes
# to the group itself, reaches the other members, and they hold back their
# own reports, so the switch learns only one member's port of several.
switch="$lab-switch"
add_namespace "$switch"
for net in cam view; do
  ip -n "$switch" link add "br-$net" type bridge mcast_snooping 1 mcast_querier 1 \
    mcast_igmp_version 3
  ip -n "$switch" link set "br-$net" mtu "$mtu" up
done
ip -n "$switch" addr add 10.77.1.254/24 dev br-cam  # the queriers' source addresses
ip -n "$switch" addr add 10.77.2.254/24 dev br-view

# Joins interface DEV of host NS with ADDRESS to the bridge of NET; the veth
# pair is made inside the namespaces, so no name appears in the root namespace.
attach() {
  local ns="$1" dev="$2" address="$3" net="$4" port="$5"
  ip -n "$switch" link add "$port" type veth peer name "$dev" netns "$ns"
  ip -n "$switch" link set "$port" mtu "$mtu" master "br-$net" up
  ip -n "$ns" link set "$dev" mtu "$mtu" up
  ip -n "$ns" addr add "$address/24" dev "$dev"
}

camera="$lab-camera" gateway="$lab-gateway" gateway2="$lab-gateway2"
add_namespace "$camera"
attach "$camera" eth0 10.77.1.1 cam p-camera
ip -n "$camera" route add 224.0.0.0/4 dev eth0
add_namespace "$gateway"
attach "$gateway" eth0 10.77.1.2 cam p-gateway
attach "$gateway" eth1 10.77.2.2 view p-gateway-v
if [ "$multicast_checks" -eq 1 ]; then
  add_namespace "$gateway2"
  attach "$gateway2" eth0 10.77.1.3 cam p-gateway2
fi
viewer_hosts=()
for i in $(seq "$viewers"); do
  add_namespace "$lab-viewer$i"
  attach "$lab-viewer$i" eth0 "10.77.2.$((10 + i))" view "p-viewer$i"
  viewer_hosts+=("$lab-viewer$i")
done

# Random loss on the gateway's way in: numgen draws per datagram, the counter
# holds the exact number dropped. Reassembled datagrams pass the input hook,
# so it drops whole datagrams also when they came as IP fragments.
if [ "$loss" != 0 ]; then
  per_10000=$(awk "BEGIN{printf \"%d\", $loss * 100 + 0.5}")
  in_ns "$gateway" nft -f - <<EOF
table ip netlab {
  chain input {
    type filter hook input priority 0; policy accept;
    iifname "eth0" ip daddr $group udp dport $port numgen random mod 10000 < $per_10000 counter drop
  }
}
EOF
fi
# A slow link: a token bucket on the camera's interface, with a queue of
# about 2 ms; what does not fit is dropped there and counted by the qdisc.
if [ -n "$link_rate" ]; then
  tc -n "$camera" qdisc add dev eth0 root tbf rate "$link_rate" burst 64kb latency 2ms
fi

# Starts a program in a host; its output goes to $work/NAME.out and .err.
start() {
  local name="$1" ns="$2"; shift 2
  # A plain command, not a function: the background job is the program
  # itself (ip netns exec execs it), so that signals reach it.
  ip netns exec "$ns" "$@" >"$work/$name.out" 2>"$work/$name.err" &
  pids+=($!)
  eval "pid_$name=$!"
}
# Waits up to SECONDS for FILE to contain PATTERN.
wait_for() {
  local file="$1" pattern="$2" seconds="$3"
  for _ in $(seq $((seconds * 20))); do
    grep -q -- "$pattern" "$file" 2>/dev/null && return 0
    sleep 0.05
  done
  return 1
}
# The last --stats line of a tool, and one value of it.
last_stats() { grep '^elapsed=' "$work/$1.err" | tail -n 1 || true; }
stat_of() { sed -n "s/.* $2=\([0-9]*\).*/\1/p" <<<"$1"; }

start broker "$gateway" "$broker" --uri "$broker_uri" --log-level WARN
wait_for "$work/broker.out" "listening on" 10 || { echo "netlab: lumoBroker did not start" >&2; cat "$work/broker.err" >&2; exit 1; }
# With --lumo-multicast each publisher also sends on a group of its own on
# the viewer net, at a rate that carries the camera's (images of 1.5 MiB).
publisher_multicast=() example_multicast=()
if [ -n "$lumo_multicast" ]; then
  multicast_rate=$(awk "BEGIN{printf \"%d\", $rate * 1572864 * 8 * 1.25 / 1e6 + 10}")
  publisher_multicast=(--multicast "$lumo_multicast://10.77.2.2;239.77.2.1:5556" --multicast-rate "$multicast_rate")
  example_multicast=(--multicast "$lumo_multicast://10.77.2.2;239.77.2.2:5558" --multicast-rate "$multicast_rate")
fi
start publisher "$gateway" "$publisher" -a "$group" -n 10.77.1.2 -p "$port" "${geometry[@]}" -k "$broker_uri" -i 0 --stats \
  "${publisher_multicast[@]}"
[ "$with_example" -eq 0 ] || start example "$gateway" "$example" -a "$group" -n 10.77.1.2 -p "$port" "${geometry[@]}" -k "$broker_uri" -s vexa_gateway -i 0 \
  "${example_multicast[@]}"
start receiver "$gateway" "$receiver" -a "$group" -n 10.77.1.2 -p "$port" "${geometry[@]}" -s "$samples" --stats
if [ "$multicast_checks" -eq 1 ]; then
  start receiver2 "$gateway2" "$receiver" -a "$group" -n 10.77.1.3 -p "$port" "${geometry[@]}" -s "$samples" --stats
  start wrongif "$gateway" "$receiver" -a "$group" -n 10.77.2.2 -p "$port" "${geometry[@]}" -s 1 --stats
fi
viewer_names=()
for i in $(seq "$viewers"); do
  streams=(vexa_stream)
  [ "$with_example" -eq 0 ] || streams+=(vexa_gateway)
  for stream in "${streams[@]}"; do
    name="viewer${i}_$stream"
    viewer_names+=("$name")
    viewer_multicast=()
    [ -z "$lumo_multicast" ] || [ "$i" -le "$tcp_viewers" ] || viewer_multicast=(--multicast)
    start "$name" "$lab-viewer$i" "$viewer" -b "$broker_uri" -s "$stream" --name "viewer$i $stream" --idle 3 \
      --timeout 30 "${viewer_multicast[@]}"
  done
done
# Every viewer connected to its publisher, so that none misses the first images.
for name in "${viewer_names[@]}"; do
  wait_for "$work/$name.err" "connected to" 20 || { echo "netlab: $name found no publisher" >&2; cat "$work/$name.err" >&2; exit 1; }
done
sleep 0.5  # subscriptions reach the publishers; the receivers' joins reach the switch
if [ -n "$lumo_multicast" ]; then
  # A multicast viewer gets the group only once the switch has learnt its
  # port from its IGMP report: start the stream when every multicast
  # viewer's port has the group (bounded: 10 s).
  joined_ports=0
  for _ in $(seq 200); do
    joined_ports=$(bridge -n "$switch" mdb show dev br-view | grep -c 'grp 239\.77\.2\.1 ' || true)
    [ "$joined_ports" -lt $((viewers - tcp_viewers)) ] || break
    sleep 0.05
  done
  [ "$joined_ports" -ge $((viewers - tcp_viewers)) ] || echo "netlab: only $joined_ports viewer port(s) joined 239.77.2.1" >&2
fi

in_ns "$camera" "$sim" -a "$group" -n 10.77.1.1 -p "$port" "${geometry[@]}" -s "$samples" -r "$rate" \
  --packet-size "$packet_size" >"$work/camera.out" 2>"$work/camera.err" || { cat "$work/camera.err" >&2; exit 1; }
sent_line=$(grep '^Sent ' "$work/camera.out")
frames_sent=$(sed -n 's/^Sent [0-9]* samples, \([0-9]*\) frames.*/\1/p' <<<"$sent_line")

# The tools count until their figures stand still: two --stats lines a
# second apart with the same datagram count (bounded: 15 s).
settled() {
  local previous="" current
  for _ in $(seq 30); do
    current=$(stat_of "$(last_stats "$1")" datagrams)
    if [ -n "$current" ] && [ "$current" = "$previous" ]; then return 0; fi
    previous="$current"
    sleep 1.1
  done
  return 1
}
settled publisher || true
settled receiver || true
[ "$multicast_checks" -eq 0 ] || settled receiver2 || true
if [ "$multicast_checks" -eq 1 ]; then
  # The wrong interface's receiver has had at least 5 s without a datagram.
  wait_for "$work/wrongif.err" "No datagram for 5 s" 10 || true
fi
# The receiver tools end at their sample limit, or else now, at SIGTERM
# (background jobs of a script ignore SIGINT); their figures are the last
# --stats line. The gateway example prints its figures at SIGTERM.
stop_and_wait() {
  local name pid_var
  for name in "$@"; do
    pid_var="pid_$name"
    [ -z "${!pid_var:-}" ] || kill -TERM "${!pid_var}" 2>/dev/null || true
  done
  for name in "$@"; do
    pid_var="pid_$name"
    [ -z "${!pid_var:-}" ] || wait "${!pid_var}" 2>/dev/null || true
  done
}
stop_and_wait receiver receiver2 wrongif example
published=$(stat_of "$(last_stats publisher)" published)
example_figure() { sed -n "s/^$1 \([0-9]*\)$/\1/p" "$work/example.out" 2>/dev/null || true; }
[ "$with_example" -eq 0 ] || example_published=$(( $(example_figure samples) - $(example_figure ringDrops) ))
# Each viewer ends 3 s after its last image; a stream without images has
# nothing to wait for.
for name in "${viewer_names[@]}"; do
  expected=$published
  [[ "$name" != *vexa_gateway ]] || expected=$example_published
  [ "${expected:-0}" != 0 ] || stop_and_wait "$name"
done
for name in "${viewer_names[@]}"; do
  pid_var="pid_$name"
  wait "${!pid_var}" 2>/dev/null || true
done

# --- The figures, one line per host ---------------------------------------
lab_dropped=0
if [ "$loss" != 0 ]; then
  lab_dropped=$(in_ns "$gateway" nft list chain ip netlab input | sed -n 's/.*counter packets \([0-9]*\).*/\1/p')
fi
link_dropped=0
if [ -n "$link_rate" ]; then
  link_dropped=$(tc -n "$camera" -s qdisc show dev eth0 | sed -n 's/.*(dropped \([0-9]*\),.*/\1/p' | head -n 1)
fi
fragmented=0
[ $((packet_size + 28)) -le "$mtu" ] || fragmented=1

failures=()
check() {  # check DESCRIPTION CONDITION...
  local what="$1"; shift
  "$@" || failures+=("$what")
}
equal() { [ "$1" = "$2" ]; }

echo "camera:   $sent_line (${packet_size}-byte datagrams, MTU $mtu$( [ "$fragmented" -eq 0 ] || echo ", IP fragments")$( [ -z "$link_rate" ] || echo ", link $link_rate: $link_dropped dropped in its queue"))"

# The receiving tools' losses by cause add up to what the lab dropped:
# datagrams read + socket drops + lab drops + link drops = frames sent.
# Link drops count packets, so with IP fragments they are not datagrams.
account() {
  local name="$1" host="$2" stats="$3" lab_drops="$4"
  local datagrams socket_drops
  datagrams=$(stat_of "$stats" datagrams)
  socket_drops=$(stat_of "$stats" socket_drops)
  check "$host: no --stats figures" test -n "$datagrams"
  [ -n "$datagrams" ] || return 0
  if [ "$fragmented" -eq 0 ] || [ -z "$link_rate" ]; then
    check "$host $name: datagrams $datagrams + socket drops $socket_drops + lab drops $lab_drops + link drops $link_dropped != frames sent $frames_sent" \
      equal $((datagrams + socket_drops + lab_drops + link_dropped)) "$frames_sent"
  fi
  if [ $((lab_drops + link_dropped + socket_drops)) -eq 0 ]; then
    check "$host $name: nothing was dropped, yet complete is not $samples" equal "$(stat_of "$stats" complete)" "$samples"
    check "$host $name: nothing was dropped, yet frames are missing" equal "$(stat_of "$stats" frames_missing)" 0
  else
    check "$host $name: more frames missing than dropped" \
      test "$(stat_of "$stats" frames_missing)" -le $((lab_drops + link_dropped + socket_drops))
    check "$host $name: datagrams dropped, yet no sample incomplete" test "$(stat_of "$stats" incomplete)" -gt 0
  fi
}

receiver_stats=$(last_stats receiver)
publisher_stats=$(last_stats publisher)
account "receiver tool" gateway "$receiver_stats" "$lab_dropped"
account "publisher tool" gateway "$publisher_stats" "$lab_dropped"
complete=$(stat_of "$receiver_stats" complete)
report=$(grep -A2 'execution report' "$work/receiver.out" | tail -n 2 | tr '\n' ' ' || true)
echo "gateway:  lab dropped $lab_dropped datagrams on the way in; receiver tool: $(cut -d' ' -f2- <<<"$receiver_stats")${report:+; report: $report}"
echo "gateway:  publisher tool: $(cut -d' ' -f2- <<<"$publisher_stats")"
[ "$with_example" -eq 0 ] || echo "gateway:  gateway example: samples $(example_figure samples), ring drops $(example_figure ringDrops), published $example_published, missed samples $(example_figure missedSamples)"
# Both tools read the same datagrams unless one of them lost some in its
# socket buffer (a loaded host), so they complete the same samples.
if [ "$(stat_of "$receiver_stats" socket_drops)$(stat_of "$publisher_stats" socket_drops)" = 00 ]; then
  check "gateway: the publisher tool completed $(stat_of "$publisher_stats" complete) samples, the receiver tool $complete" \
    equal "$(stat_of "$publisher_stats" complete)" "$complete"
fi
example_missed=$(example_figure missedSamples)
if [ "$with_example" -eq 1 ] && [ $((lab_dropped + link_dropped)) -eq 0 ] && [ "$example_missed" = 0 ]; then
  check "gateway: the gateway example missed no sample but published $example_published of $samples" \
    equal "$example_published" "$samples"
fi
check "gateway: the publisher tool published $published of $(stat_of "$publisher_stats" complete) complete samples" \
  equal "$published" "$(stat_of "$publisher_stats" complete)"
if [ $((lab_dropped + link_dropped)) -eq 0 ]; then
  check "gateway: the receiver tool's report is not 'Received $samples sample(s), lost 0 sample(s)'" \
    grep -q "Received $samples sample(s), lost 0 sample(s)" "$work/receiver.out"
fi

if [ "$multicast_checks" -eq 1 ]; then
  receiver2_stats=$(last_stats receiver2)
  account "receiver tool" gateway2 "$receiver2_stats" 0
  echo "gateway2: receiver tool: $(cut -d' ' -f2- <<<"$receiver2_stats")"
  wrongif_stats=$(last_stats wrongif)
  silence=$(grep -o 'No datagram for 5 s on .*' "$work/wrongif.err" | head -n 1 || true)
  echo "gateway:  receiver joined via the viewer net: datagrams $(stat_of "$wrongif_stats" datagrams)${silence:+; said: $silence}"
  check "gateway: a receiver joined on the wrong interface got datagrams" equal "$(stat_of "$wrongif_stats" datagrams)" 0
  check "gateway: the receiver on the wrong interface did not say 'No datagram for 5 s on $group:$port via 10.77.2.2'" \
    equal "$silence" "No datagram for 5 s on $group:$port via 10.77.2.2"
fi

# Every viewer got every published image bit-exact, from the publisher's
# address on the viewer net (the broker's rewrite of the wildcard address).
for name in "${viewer_names[@]}"; do
  line=$(tail -n 1 "$work/$name.out")
  echo "$line"
  images=$(sed -n 's/.*: images \([0-9]*\),.*/\1/p' <<<"$line")
  exact=$(sed -n 's/.*bit-exact \([0-9]*\),.*/\1/p' <<<"$line")
  expected=$published
  [[ "$name" != *vexa_gateway ]] || expected=$example_published
  check "$name: $images images of $expected published" equal "$images" "$expected"
  check "$name: $exact of $images images bit-exact" equal "$exact" "$images"
  viewer_index=${name#viewer}; viewer_index=${viewer_index%%_*}
  if [ -n "$lumo_multicast" ] && [ "$viewer_index" -gt "$tcp_viewers" ]; then
    check "$name: not received by multicast from 10.77.2.2" grep -q "from $lumo_multicast://10.77.2.2;239.77.2" <<<"$line"
  else
    check "$name: publisher not reached at 10.77.2.2 on the viewer net" grep -q 'from tcp://10.77.2.2:' <<<"$line"
  fi
done

if [ "${#failures[@]}" -gt 0 ]; then
  printf 'FAIL: %s\n' "${failures[@]}"
  exit 1
fi
echo "PASS"
