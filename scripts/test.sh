#!/usr/bin/env bash
# Sets up, builds and runs the whole test suite.
set -euo pipefail
root="$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)"
build="${BUILD_DIR:-$root/build}"

# VTK's Python module lets the cache tests open .vtp and .ply files with
# VTK's own readers, as ParaView does.
bash "$root/scripts/setup.sh" python3-vtk9
BUILD_DIR="$build" bash "$root/scripts/build.sh" "$@"
ctest --test-dir "$build" --output-on-failure -j "$(nproc)"
