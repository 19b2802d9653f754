#!/usr/bin/env bash
# Sets up, builds and runs taluno: with no arguments, the built-in default
# scene (a tank with liquid, soft-body and granular particles), writing one
# cache file per frame into ./taluno-out/. Arguments go to `taluno run`, e.g.
#   bash scripts/run.sh examples/dam-break.json
set -euo pipefail
root="$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)"
build="${BUILD_DIR:-$root/build}"

BUILD_DIR="$build" bash "$root/scripts/build.sh" >/dev/null
"$build/TalunoApp/taluno" run "$@"
