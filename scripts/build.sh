#!/usr/bin/env bash
# Sets up the dependencies and builds into $BUILD_DIR (default: build/).
# Extra arguments go to the CMake configure step, e.g. -DTALUNO_SANITIZE=ON.
set -euo pipefail
root="$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)"
build="${BUILD_DIR:-$root/build}"

bash "$root/scripts/setup.sh"
cmake -S "$root" -B "$build" -DCMAKE_BUILD_TYPE="${BUILD_TYPE:-Release}" "$@" >/dev/null
cmake --build "$build" -j "$(nproc)"
