#!/usr/bin/env bash
# Sets up, builds and runs taluno: with no arguments, the built-in default
# scene (a tank with liquid, soft-body and granular particles), writing one
# cache file per frame into ./taluno-out/. Arguments go to `taluno run`, e.g.
#   bash scripts/run.sh examples/dam-break.json
# Pictures of the frames go to preview/ beside the output unless --preview
# names another folder.
set -euo pipefail
root="$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)"
build="${BUILD_DIR:-$root/build}"

BUILD_DIR="$build" bash "$root/scripts/build.sh" >/dev/null
preview=(--preview auto)
for argument in "$@"; do
  [[ "$argument" == --preview || "$argument" == --preview=* ]] && preview=()
done
exec "$build/TalunoApp/taluno" run "${preview[@]}" "$@"
