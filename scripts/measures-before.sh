#!/usr/bin/env bash
# Records bench/measures-before.txt: the macroscopic measures of the code
# before the speed work (commit 36b048f, before the pair lists and every later
# change of results), that scripts/benchmarks.sh sets beside its own. That
# commit's library is built with today's scenario-bench (which adds --shift),
# less the two diagnostics it did not have yet (pair-list remakes and held
# bytes). Takes a few minutes.
#   bash scripts/measures-before.sh
set -euo pipefail
root="$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)"
base=36b048f
work="$(mktemp -d)"
trap 'git -C "$root" worktree remove --force "$work/src" >/dev/null 2>&1 || true; rm -rf "$work"' EXIT

git -C "$root" worktree add --detach "$work/src" "$base" >/dev/null
sed -e 's/system\.pairListRemakes()/uint64_t(0)/' \
    -e 's/system\.heldBytes()/std::map<std::string, size_t>{}/' \
    "$root/bench/ScenarioBenchmark.cpp" >"$work/src/bench/ScenarioBenchmark.cpp"
cmake -S "$work/src" -B "$work/build" -DCMAKE_BUILD_TYPE=Release -DTALUNO_BUILD_BENCH=ON -DTALUNO_BUILD_TESTS=OFF >/dev/null
cmake --build "$work/build" -j "$(nproc)" --target scenario-bench >/dev/null

bash "$root/scripts/measures.sh" "$work/build/bench/scenario-bench" "$work/measures.txt"
{
  echo "# scripts/measures.sh with the library of commit $base (before the pair lists), recorded by"
  echo "# scripts/measures-before.sh; scripts/benchmarks.sh compares its own run against these."
  cat "$work/measures.txt"
} >"$root/bench/measures-before.txt"
echo "wrote bench/measures-before.txt"
