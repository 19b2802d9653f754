#!/usr/bin/env bash
# Sets up, builds and runs the demonstration: a block of particles stepped for
# a few frames with the verbose timing lines. Arguments go to the program.
set -euo pipefail
root="$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)"
build="${BUILD_DIR:-$root/build}"

BUILD_DIR="$build" bash "$root/scripts/build.sh"
"$build/TalunoDemo/taluno-demo" "$@"
