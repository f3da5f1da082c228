#!/usr/bin/env bash
# LUMO fan-out in the network lab (needs root or CAP_NET_ADMIN): one
# publisher host sends 1024 x 768 x 2-byte images at a fixed rate to 1, 2, 4
# and 8 viewer hosts, over TCP and by multicast (PGM) side by side, trials
# interleaved; then a viewer link with 0.1 % and 1 % random loss. Each run
# is one scripts/netlab-lumo.sh; the table shows the median of the trials
# and, in brackets, their range.
#
# Usage: bench/fanout/run.sh [--trials N] [--rate R] [--count N] [--viewers "1 2 4 8"] [--no-loss]
# BUILD_DIR names the build tree (default build/).
set -euo pipefail
cd "$(dirname "$0")/../.."

trials=2 rate=50 count=200 viewer_counts="1 2 4 8" with_loss=1
while [ $# -gt 0 ]; do
  case "$1" in
    --trials) trials="$2"; shift 2 ;;
    --rate) rate="$2"; shift 2 ;;
    --count) count="$2"; shift 2 ;;
    --viewers) viewer_counts="$2"; shift 2 ;;
    --no-loss) with_loss=0; shift ;;
    -h|--help) sed -n '2,10p' "$0" | sed 's/^# \{0,1\}//'; exit 0 ;;
    *) echo "bench/fanout: unknown option $1" >&2; exit 2 ;;
  esac
done
results="$(mktemp)"
trap 'rm -f "$results"' EXIT

run() {  # run ENGINE VIEWERS [more netlab-lumo options]: appends its figures line
  local engine="$1" viewers="$2"; shift 2
  local output status=0
  output=$(scripts/netlab-lumo.sh --engine "$engine" --viewers "$viewers" --count "$count" --rate "$rate" "$@" 2>&1) || status=$?
  [ "$status" != 77 ] || { echo "$output" >&2; exit 77; }
  grep '^figures:' <<<"$output" >>"$results" || { echo "bench/fanout: no figures from $engine x $viewers:" >&2; echo "$output" >&2; }
  grep '^viewer1:' <<<"$output" | sed "s/^/  $engine x $viewers $* /" >&2 || true
}

echo "LUMO fan-out: $count images of 1024 x 768 x 2 bytes at $rate images/s, $trials trial(s), $(nproc) cores, load $(cut -d' ' -f1 /proc/loadavg)"
for trial in $(seq "$trials"); do
  for viewers in $viewer_counts; do
    for engine in tcp epgm; do run "$engine" "$viewers"; done
  done
done

# Median and range of one figure over the trials of ENGINE x VIEWERS.
figure() {  # figure ENGINE VIEWERS FIELD-NAME [DIVISOR]
  awk -v engine="$1" -v n="$2" -v field="$3" -v divisor="${4:-1}" '
    $3 == engine && $5 == n { for (i = 1; i < NF; ++i) if ($i == field) v[++c] = $(i + 1) / divisor }
    END {
      if (c == 0) { print "-"; exit }
      for (i = 1; i <= c; ++i) for (j = i + 1; j <= c; ++j) if (v[j] < v[i]) { t = v[i]; v[i] = v[j]; v[j] = t }
      median = c % 2 ? v[(c + 1) / 2] : (v[c / 2] + v[c / 2 + 1]) / 2
      printf (c > 1 ? "%.2f [%.2f-%.2f]" : "%.2f"), median, v[1], v[c]
    }' "$results"
}
lost() {  # lost ENGINE VIEWERS: images lost at each viewer, per trial
  awk -v engine="$1" -v n="$2" '$3 == engine && $5 == n { sub(/.* lost /, ""); gsub(/ /, ","); printf "%s%s", sep, $0; sep = " / " }' "$results"
}
image_bytes=$((1024 * 768 * 2))
echo
echo "| viewers | bytes out per image, TCP (in images) | bytes out per image, multicast (in images) | publisher CPU ms per image, TCP | publisher CPU ms per image, multicast | images lost per viewer, TCP | images lost per viewer, multicast |"
echo "|---|---|---|---|---|---|---|"
for viewers in $viewer_counts; do
  echo "| $viewers | $(figure tcp "$viewers" bytes_out_per_image "$image_bytes") | $(figure epgm "$viewers" bytes_out_per_image "$image_bytes") | $(figure tcp "$viewers" publisher_cpu_ms_per_image) | $(figure epgm "$viewers" publisher_cpu_ms_per_image) | $(lost tcp "$viewers") | $(lost epgm "$viewers") |"
done
echo "(bytes out: the publisher link's tx_bytes over the run / images sent / $image_bytes bytes of one image)"

if [ "$with_loss" = 1 ]; then
  echo
  echo "Loss on viewer1's link (2 viewers, multicast): every loss repaired, or shown as a gap?"
  for loss in 0.1 1; do
    output=$(scripts/netlab-lumo.sh --engine epgm --viewers 2 --count "$count" --rate "$rate" --loss "$loss" 2>&1) || true
    echo "- $loss %: $(grep '^viewer1:' <<<"$output" | sed 's/, CPU [^,]*, [^,]*//')"
    echo "  $(grep '^viewer2:' <<<"$output" | sed 's/, CPU [^,]*, [^,]*//')"
  done
fi
