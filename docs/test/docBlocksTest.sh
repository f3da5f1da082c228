#!/usr/bin/env bash
# Runs the shell blocks of README.md and docs/ that work on one host as
# printed, and checks each against the output its text promises. Blocks that
# need a real source or a site's addresses are not run.
#
# Each block runs in a network namespace of its own (loopback only, so its
# fixed ports 5570 and 50000 are free whatever else runs on the host) and a
# mount namespace where /tmp is a scratch directory, from a directory where
# build/ is the build tree under test. Its build line ("cmake ...") is left
# out: the tree is built.
# Usage: docBlocksTest.sh SOURCE_DIR BUILD_DIR WORK_DIR
set -euo pipefail
source_dir=$1 build_dir=$2 work_dir=$3

fail() {
  echo "FAIL: $*" >&2
  exit 1
}

if ! command -v ip >/dev/null; then
  echo "SKIP: no ip (iproute2) to bring up the loopback interface of the blocks' network namespace"
  exit 77
fi
if [ "$(id -u)" -ne 0 ] || ! unshare --net --mount true 2>/dev/null; then
  echo "SKIP: running the blocks needs root, for network and mount namespaces"
  exit 77
fi
case "$build_dir/" in
  /tmp/*) echo "SKIP: the build tree is under /tmp, which the blocks get a scratch copy of"; exit 77 ;;
esac

# The first shell block after the line that begins with `heading`.
block_after() {  # file heading
  awk -v heading="$2" '
    index($0, heading) == 1 { found = 1; next }
    found && /^```sh/ { inside = 1; next }
    inside && /^```/ { exit }
    inside && !/^cmake / { print }' "$1"
}

# Runs the block in $work_dir/<name>: out.txt and err.txt hold what it wrote,
# tmp/ what it put into /tmp.
run_block() {  # name file heading
  local name=$1 script status=0
  script=$(block_after "$2" "$3")
  [ -n "$script" ] || fail "no shell block after '$3' in $2"
  rm -rf "${work_dir:?}/$name"
  mkdir -p "$work_dir/$name/tmp"
  cd "$work_dir/$name"
  ln -s "$build_dir" build
  timeout 60 unshare --net --mount bash -c '
    set -e
    ip link set lo up
    mount --bind "$2" /tmp
    eval "$1"
    wait' _ "$script" "$work_dir/$name/tmp" >out.txt 2>err.txt || status=$?
  [ "$status" -eq 0 ] || fail "$name block ended with status $status:"$'\n'"$script"$'\n'"$(cat out.txt err.txt)"
}

expect() {  # name file pattern [count]
  local found
  found=$(grep -Ec -- "$3" "$work_dir/$1/$2" || true)
  if [ "$found" -ne "${4:-1}" ]; then
    fail "$1: $found lines of $2 match '$3', not ${4:-1}:"$'\n'"$(cat "$work_dir/$1/out.txt" "$work_dir/$1/err.txt")"
  fi
}

# README: broker, test pattern publisher, subscriber saving 10 PNG files.
run_block lumo "$source_dir/README.md" "Images are published on named LUMO streams"
expect lumo out.txt '^seq [0-9]+ 1024x768 type 1 bpp 2 1572864 bytes latency [0-9.]+ ms$' 10
expect lumo out.txt '^images 10, gaps 0 \(0 missed\), '
[ "$(find "$work_dir/lumo/tmp/images" -name '*.png' | wc -l)" -eq 10 ] || fail "lumo: $(ls -R "$work_dir/lumo/tmp")"

# README and docs/gateway.md: the gateway example gets every sample of the
# simulator, the first one too, once it has said that its socket is open.
run_block gateway "$source_dir/README.md" "\`vexatoolsGatewayExample\` shows it at work"
expect gateway gateway.log '^vexatoolsGatewayExample: receiving on UDP 127\.0\.0\.1:50000$'
expect gateway out.txt '^Sent 50 samples, '
expect gateway out.txt '^samples 50$'
expect gateway out.txt '^missedSamples 0$'
expect gateway out.txt '^bytes 78643200$'

run_block gateway-doc "$source_dir/docs/gateway.md" "## Trying it"
expect gateway-doc out.txt '^seq [0-9]+ 1024x768 type 1 bpp 2 1572864 bytes latency [0-9.]+ ms$' 5
expect gateway-doc gateway.log 'Using geometry from VEXA Extended Info: 1024x768 type 256'
expect gateway-doc out.txt '^samples 50$'
expect gateway-doc out.txt '^missedSamples 0$'
echo "documentation blocks ran as printed"
