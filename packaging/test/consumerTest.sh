#!/usr/bin/env bash
# Builds examples/consumer the way another project finds vexatools, and runs
# it against the simulator on loopback:
#   consumerTest.sh installed   after cmake --install of the build tree into
#                               a scratch prefix; also built through pkg-config
#   consumerTest.sh packages    from the .deb files of cpack -G DEB, unpacked
#                               with dpkg-deb -x into a scratch root (never
#                               installed on this machine); checks what each
#                               package holds and depends on
# Both also build linkAll/, which links every library of the CMake package,
# and check that the package refuses another major version.
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
  if [ "$status" -ne 0 ] || ! grep -qx "complete samples: 20" counter.out; then
    fail "$1 (status $status): $(cat counter.out counter.err)"
  fi
  echo "$1: $(cat counter.out)"
}

# systemd's own check of the packaged units (syntax, and that ExecStart is a
# program), with the programs taken from the unpacked root. systemd-analyze
# reports faults as text, often with status 0: any output fails.
verify_units() {
  if ! command -v systemd-analyze >/dev/null; then
    echo "units not verified: no systemd-analyze"
    return
  fi
  mkdir units
  local unit
  for unit in lumoBroker.service vexatoolsVexa2Lumo@.service; do
    sed "s|=/usr/bin/|=$prefix/bin/|" "$prefix/lib/systemd/system/$unit" >"units/$unit"
  done
  ln -s vexatoolsVexa2Lumo@.service units/vexatoolsVexa2Lumo@camera1.service
  local report status=0
  report=$(systemd-analyze verify --man=no "$PWD/units/lumoBroker.service" \
    "$PWD/units/vexatoolsVexa2Lumo@camera1.service" 2>&1) || status=$?
  if [ "$status" -ne 0 ] || [ -n "$report" ]; then fail "systemd-analyze verify (status $status): $report"; fi
  # The hardening: systemd's exposure score of each unit at most 3.0 (of 10).
  for unit in lumoBroker.service vexatoolsVexa2Lumo@camera1.service; do
    report=$(cd units && systemd-analyze security --offline=yes --no-pager "$unit" 2>&1) ||
      fail "systemd-analyze security $unit: $report"
    local score
    score=$(sed -n 's/.*Overall exposure level for .*: \([0-9.]*\) .*/\1/p' <<<"$report")
    awk -v score="$score" 'BEGIN { exit !(score != "" && score <= 3.0) }' ||
      fail "$unit is exposed at level '$score', more than 3.0:"$'\n'"$report"
    echo "$unit: exposure $score"
  done
}

# No lintian error.
check_lintian() {
  if ! command -v lintian >/dev/null; then
    echo "packages not checked: no lintian"
    return
  fi
  lintian --fail-on error "$@" >lintian.log 2>&1 || fail "lintian: $(cat lintian.log)"
}

configure_project() {  # source build-dir log [cmake options]
  local source="$1" build="$2" log="$3"
  shift 3
  "$CMAKE" -S "$source" -B "$build" -G Ninja -DCMAKE_PREFIX_PATH="$prefix" -DCMAKE_CXX_COMPILER="$CXX" \
    -DCMAKE_CXX_COMPILER_LAUNCHER="$CXX_LAUNCHER" -DCMAKE_CXX_FLAGS="-Wall -Wextra -Werror" "$@" >"$log" 2>&1
}

build_project() {  # source build-dir
  configure_project "$1" "$2" "$2.log" || fail "configuring $1: $(cat "$2.log")"
  "$CMAKE" --build "$2" >>"$2.log" 2>&1 || fail "building $1: $(cat "$2.log")"
  # The imported targets point into the tree under test, nowhere else.
  grep -q "vexatools_DIR:PATH=$prefix/" "$2/CMakeCache.txt" || fail "$1 did not find vexatools under $prefix"
}

build_against_tree() {
  build_project "$SOURCE_DIR/examples/consumer" consumer-build
  count_samples consumer-build/sampleCounter
  build_project "$SOURCE_DIR/packaging/test/linkAll" linkAll-build
  linkAll-build/linkAll || fail "linkAll ended with status $?"
  if configure_project "$SOURCE_DIR/packaging/test/linkAll" linkAll-2.0 linkAll-2.0.log -DWANTED_VERSION=2.0; then
    fail "find_package(vexatools 2.0) took version 1"
  fi
  grep -q "vexatoolsConfig.cmake, version: 1\." linkAll-2.0.log || fail "find_package(vexatools 2.0): $(cat linkAll-2.0.log)"
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
    if [ ! -f "$runtime_deb" ] || [ ! -f "$dev_deb" ]; then fail "cpack made $(ls packages)"; fi
    runtime_files=$(dpkg-deb -c "$runtime_deb" | awk '{ print $6 }')
    dev_files=$(dpkg-deb -c "$dev_deb" | awk '{ print $6 }')
    expect_line "$runtime_files" '^\./usr/bin/vexatoolsVexa2Lumo$' "runtime package"
    expect_line "$runtime_files" '^\./usr/bin/lumoBroker$' "runtime package"
    expect_line "$runtime_files" '/libkorvVexatoolsVexa2LumoLib_wirefast\.so\.1$' "runtime package"
    expect_line "$runtime_files" '^\./usr/share/vexatools/config/korv/vexatools/log\.properties$' "runtime package"
    expect_line "$runtime_files" '^\./usr/lib/systemd/system/lumoBroker\.service$' "runtime package"
    expect_line "$runtime_files" '^\./usr/lib/systemd/system/vexatoolsVexa2Lumo@\.service$' "runtime package"
    expect_line "$runtime_files" '^\./usr/lib/sysctl\.d/60-vexatools\.conf$' "runtime package"
    for program in vexatoolsVexaReceiver vexatoolsVexa2Lumo vexatoolsVexaSim vexatoolsGatewayExample vexatoolsViewer \
      lumoBroker lumoPublish lumoSubscribe vexatoolsRecord; do
      expect_line "$runtime_files" "^\./usr/share/man/man1/$program\.1\.gz$" "runtime package"
    done
    for package in vexatools:"$runtime_files" vexatools-dev:"$dev_files"; do
      expect_line "${package#*:}" "^\./usr/share/doc/${package%%:*}/copyright$" "${package%%:*} package"
      expect_line "${package#*:}" "^\./usr/share/doc/${package%%:*}/changelog\.gz$" "${package%%:*} package"
    done
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
    expect_line "$(dpkg-deb --ctrl-tarfile "$runtime_deb" | tar -t)" '^\./triggers$' "runtime package's control files"
    check_lintian "$runtime_deb" "$dev_deb"
    dpkg-deb -x "$runtime_deb" root
    dpkg-deb -x "$dev_deb" root
    prefix="$WORK_DIR/root/usr"
    verify_units
    ;;
  *)
    fail "usage: consumerTest.sh installed|packages"
    ;;
esac

build_against_tree

# The .pc files, found where the tree under test put them.
export PKG_CONFIG_PATH="$prefix/$LIBDIR/pkgconfig"
pkg-config --print-errors --exists korvVexatoolsLib korvVexatoolsVexa2LumoLib korvVexatoolsVexa2LumoLib_wirefast lumo
[ -f "$(pkg-config --variable=includedir korvVexatoolsLib)/korv/vexatools/VexaReceiver.hpp" ] ||
  fail "pkg-config's include directory holds no VexaReceiver.hpp: $(pkg-config --cflags korvVexatoolsLib)"
if [ "$mode" = installed ]; then
  # The same program built through them.
  # shellcheck disable=SC2046 # the flags are words
  ${CXX_LAUNCHER:+"$CXX_LAUNCHER"} "$CXX" -std=c++20 -Wall -Wextra -Werror "$SOURCE_DIR/examples/consumer/sampleCounter.cpp" \
    -o sampleCounter-pkgconfig $(pkg-config --cflags --libs korvVexatoolsLib) -Wl,-rpath,"$prefix/$LIBDIR" || fail "building through pkg-config"
  count_samples ./sampleCounter-pkgconfig
fi
