#!/usr/bin/env bash
# Builds taluno and runs the validation suite, which writes VALIDATION.md and
# validation/figures/. Not part of CI: several minutes on two cores.
#   bash validation/run.sh [--only CASE ...] [--quick]
set -euo pipefail
root="$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)"
bash "$root/scripts/setup.sh" python3-matplotlib python3-numpy
BUILD_DIR="${BUILD_DIR:-$root/build}" bash "$root/scripts/build.sh"
# Debian's interpreter, which has numpy and matplotlib, whatever else is first on PATH.
exec /usr/bin/python3 "$root/validation/validate.py" --taluno "${BUILD_DIR:-$root/build}/TalunoApp/taluno" "$@"
