#!/usr/bin/env bash
# Installs the Debian 12 packages vexatools builds with, when missing.
# As root it runs apt-get; otherwise it prints the command to run.
# VEXA_BROWSER_TESTS=1 adds what the viewer's browser test needs: chromium,
# and node with npm when no node is installed. VEXA_TSHARK=1 adds tshark.
# VEXA_FUZZ=1 adds clang 14 with its libFuzzer and sanitizer runtimes, for
# scripts/fuzz.sh.
set -euo pipefail

packages=(
  cmake ninja-build g++ pkg-config
  libboost-dev libboost-program-options-dev libboost-system-dev
  libfmt-dev liblog4cplus-dev libzmq3-dev cppzmq-dev libpng-dev
  libgtest-dev libgmock-dev libbenchmark-dev libpcap-dev libsystemd-dev
  libhdf5-dev hdf5-filter-plugin  # vexatoolsRecord; the plugin holds the LZ4 filter
  bitshuffle  # the HDF5 bitshuffle filter, which Debian 12's hdf5-filter-plugin lacks
  python3 python3-zmq python3-h5py
  help2man  # the manual pages, made at build time from --help and --version
  dpkg-dev file  # cpack -G DEB reads the binaries' dependencies with dpkg-shlibdeps
)
# The Wireshark dissector's tests skip themselves without tshark.
if [ "${VEXA_TSHARK:-0}" = 1 ]; then
  packages+=(tshark)
fi
if [ "${VEXA_BROWSER_TESTS:-0}" = 1 ]; then
  packages+=(chromium)
  command -v node >/dev/null || packages+=(nodejs npm)
fi
if [ "${VEXA_FUZZ:-0}" = 1 ]; then
  packages+=(clang-14 libclang-rt-14-dev)
fi

missing=()
for package in "${packages[@]}"; do
  dpkg-query -W -f='${Status}' "$package" 2>/dev/null | grep -q "install ok installed" || missing+=("$package")
done
[ ${#missing[@]} -eq 0 ] && exit 0

if [ "$(id -u)" -eq 0 ]; then
  export DEBIAN_FRONTEND=noninteractive
  # tshark's package asks whether non-root users may capture; the answer is no.
  echo "wireshark-common wireshark-common/install-setuid boolean false" | debconf-set-selections
  apt-get install -y --no-install-recommends "${missing[@]}" ||
    { apt-get update && apt-get install -y --no-install-recommends "${missing[@]}"; }
else
  echo "Missing packages. Install them with:" >&2
  echo "  sudo apt-get install -y ${missing[*]}" >&2
  exit 1
fi
