#!/usr/bin/env bash
# Sets up, builds and runs the whole test suite.
set -euo pipefail
root="$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)"
build="${BUILD_DIR:-$root/build}"

BUILD_DIR="$build" bash "$root/scripts/build.sh" "$@"
ctest --test-dir "$build" --output-on-failure -j "$(nproc)"
