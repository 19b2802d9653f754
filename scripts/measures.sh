#!/usr/bin/env bash
# Macroscopic measures of the benchmark scenes at 10^4 particles (dam-break
# front, column heights, soft-block fall and bounce), each scene run at
# several placements: the whole scene moved sideways by 0, 1, 2, ... scene
# units. The physics is the same at every placement, but the grid cuts the
# scene elsewhere, so particles sit in another order in the array and every
# order-dependent sum changes in its last bits: how far a measure moves over
# the placements is its spread under such changes.
#   bash scripts/measures.sh SCENARIO_BENCH OUT [PLACEMENTS]   (default 40)
# OUT gets one "== scene shift S" header and the MEASURE lines per run.
set -euo pipefail
bench="$1"
out="$2"
placements="${3:-40}"
work="$(mktemp -d)"
trap 'rm -rf "$work"' EXIT

# One run per scene and placement, one thread each, as many at once as cores
# (results do not depend on the thread count).
for run in "dam-break 200" "column 1000" "soft-block 400"; do
  read -r scene steps <<<"$run"
  for ((s = 0; s < placements; ++s)); do
    echo "$scene $steps $s"
  done
done | xargs -P "$(nproc)" -L 1 bash -c '
  "$0" --scene "$1" --particles 10000 --threads 1 --substeps "$2" --shift "$3" --measures |
    grep "^MEASURE" >"'"$work"'/$1.$3" || exit 255' "$bench"

: >"$out"
for scene in dam-break column soft-block; do
  for ((s = 0; s < placements; ++s)); do
    echo "== $scene shift $s" >>"$out"
    cat "$work/$scene.$s" >>"$out"
  done
done
