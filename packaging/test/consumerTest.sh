#!/usr/bin/env bash
# Builds examples/consumer the way another project finds vexatools, and runs
# it against the simulator on loopback:
#   consumerTest.sh installed   after cmake --install of the build tree into
#                               a scratch prefix; also built through pkg-config
#   consumerTest.sh packages    from the .deb files of cpack -G DEB, unpacked
#                               with dpkg-deb -x into a scratch root (never
#                               installed on this machine); checks what each
#                               package holds and depends on
# Environment (set by ctest): BUILD_DIR, SOURCE_DIR, WORK_DIR (emptied first),
# LIBDIR (relative to the prefix), CMAKE, CPACK, CXX, CXX_LAUNCHER (may be empty).
set -euo pipefail
mode="$1"
rm -rf "$WORK_DIR"
mkdir -p "$WORK_DIR"
cd "$WORK_DIR"

fail() {
  echo "FAIL: $*" >&2
  exit 1
}

expect_line() {  # text pattern what
  grep -Eq -- "$2" <<<"$1" || fail "$3: no line matching '$2' in:"$'\n'"$1"
}

refuse_line() {  # text pattern what
  if grep -Eq -- "$2" <<<"$1"; then fail "$3: unexpected line matching '$2'"; fi
}

# Loopback only: a free UDP port for the stream, the counter's output in a file.
free_udp_port() {
  python3 -c 'import socket; s = socket.socket(socket.AF_INET, socket.SOCK_DGRAM); s.bind(("127.0.0.1", 0)); print(s.getsockname()[1])'
}

# Runs a counter (given as a command) for 20 samples of 64 x 48 pixels from
# the simulator of the tree under test, which sends until it is stopped.
count_samples() {
  local port counter sim status=0
  port=$(free_udp_port)
  timeout 60 "$@" 127.0.0.1 "$port" 64 48 20 >counter.out 2>counter.err &
  counter=$!
  timeout 60 "$prefix/bin/vexatoolsVexaSim" -p "$port" -w 64 -e 48 -r 200 >sim.out 2>&1 &
  sim=$!
  wait "$counter" || status=$?
  kill "$sim" 2>/dev/null || true
  wait "$sim" 2>/dev/null || true
  [ "$status" -eq 0 ] && grep -qx "complete samples: 20" counter.out ||
    fail "$1 (status $status): $(cat counter.out counter.err)"
  echo "$1: $(cat counter.out)"
}

build_with_cmake() {
  "$CMAKE" -S "$SOURCE_DIR/examples/consumer" -B consumer-build -G Ninja \
    -DCMAKE_PREFIX_PATH="$prefix" -DCMAKE_CXX_COMPILER="$CXX" -DCMAKE_CXX_COMPILER_LAUNCHER="$CXX_LAUNCHER" \
    -DCMAKE_CXX_FLAGS="-Wall -Wextra -Werror" >consumer-configure.log ||
    fail "configuring the consumer: $(cat consumer-configure.log)"
  "$CMAKE" --build consumer-build >consumer-build.log || fail "building the consumer: $(cat consumer-build.log)"
  # The imported targets point into the tree under test, nowhere else.
  grep -q "$prefix" consumer-build/CMakeCache.txt || fail "the consumer did not find vexatools under $prefix"
}

case "$mode" in
  installed)
    prefix="$WORK_DIR/prefix"
    "$CMAKE" --install "$BUILD_DIR" --prefix "$prefix" >install.log
    ;;
  packages)
    "$CPACK" -G DEB --config "$BUILD_DIR/CPackConfig.cmake" -B packages >cpack.log || fail "cpack: $(cat cpack.log)"
    runtime_deb=$(echo packages/vexatools_*.deb)
    dev_deb=$(echo packages/vexatools-dev_*.deb)
    [ -f "$runtime_deb" ] && [ -f "$dev_deb" ] || fail "cpack made $(ls packages)"
    runtime_files=$(dpkg-deb -c "$runtime_deb" | awk '{ print $6 }')
    dev_files=$(dpkg-deb -c "$dev_deb" | awk '{ print $6 }')
    expect_line "$runtime_files" '^\./usr/bin/vexatoolsVexa2Lumo$' "runtime package"
    expect_line "$runtime_files" '^\./usr/bin/lumoBroker$' "runtime package"
    expect_line "$runtime_files" '/libkorvVexatoolsVexa2LumoLib_wirefast\.so\.1$' "runtime package"
    expect_line "$runtime_files" '^\./usr/share/vexatools/config/korv/vexatools/log\.properties$' "runtime package"
    expect_line "$runtime_files" '^\./usr/lib/systemd/system/lumoBroker\.service$' "runtime package"
    expect_line "$runtime_files" '^\./usr/lib/systemd/system/vexatoolsVexa2Lumo@\.service$' "runtime package"
    refuse_line "$runtime_files" '\.so$|^\./usr/include/' "runtime package"
    expect_line "$dev_files" '^\./usr/include/korv/vexatools/VexaReceiver\.hpp$' "dev package"
    expect_line "$dev_files" '/cmake/vexatools/vexatoolsConfig\.cmake$' "dev package"
    expect_line "$dev_files" '/pkgconfig/korvVexatoolsVexa2LumoLib_wirefast\.pc$' "dev package"
    expect_line "$dev_files" '/libkorvVexatoolsLib\.so$' "dev package"
    refuse_line "$dev_files" '\.so\.[0-9]|^\./usr/bin/' "dev package"
    # Dependencies read from the binaries (ZeroMQ only through liblumo), and
    # the dev package on the runtime package of its version.
    runtime_depends=$(dpkg-deb -f "$runtime_deb" Depends | tr ',' '\n')
    expect_line "$runtime_depends" 'libzmq5' "runtime package's Depends"
    expect_line "$runtime_depends" 'liblog4cplus' "runtime package's Depends"
    expect_line "$runtime_depends" 'libboost-program-options' "runtime package's Depends"
    expect_line "$(dpkg-deb -f "$dev_deb" Depends)" '^vexatools \(= ' "dev package's Depends"
    dpkg-deb -x "$runtime_deb" root
    dpkg-deb -x "$dev_deb" root
    prefix="$WORK_DIR/root/usr"
    ;;
  *)
    fail "usage: consumerTest.sh installed|packages"
    ;;
esac

build_with_cmake
count_samples consumer-build/sampleCounter

# The .pc files, found where the tree under test put them.
export PKG_CONFIG_PATH="$prefix/$LIBDIR/pkgconfig"
pkg-config --print-errors --exists korvVexatoolsLib korvVexatoolsVexa2LumoLib korvVexatoolsVexa2LumoLib_wirefast lumo
pkgconfig_flags=$(pkg-config --cflags --libs korvVexatoolsLib)
[ -f "$(sed -E 's/.*-I([^ ]*).*/\1/' <<<"$pkgconfig_flags")/korv/vexatools/VexaReceiver.hpp" ] ||
  fail "pkg-config's include directory holds no VexaReceiver.hpp: $pkgconfig_flags"
if [ "$mode" = installed ]; then
  # The same program built through them.
  # shellcheck disable=SC2086 # the flags are words
  ${CXX_LAUNCHER:+"$CXX_LAUNCHER"} "$CXX" -std=c++20 -Wall -Wextra -Werror "$SOURCE_DIR/examples/consumer/sampleCounter.cpp" \
    -o sampleCounter-pkgconfig $pkgconfig_flags -Wl,-rpath,"$prefix/$LIBDIR" || fail "building through pkg-config"
  count_samples ./sampleCounter-pkgconfig
fi
