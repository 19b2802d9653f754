#!/usr/bin/env bash
# Fuzzes the readers of outside input with libFuzzer (Debian's clang):
#   bash scripts/fuzz.sh [SECONDS] [TARGET...]
# TARGET is one of scene, expression, cook, file, checkpoint, obj, ply, geo (default: all), each run
# for SECONDS (default 60). Each starts from its seed corpus in
# fuzz/corpus/TARGET/ and keeps what it learns in build-fuzz/corpus/TARGET/.
# A crash is saved to fuzz/findings/TARGET/: fix it, then add the input to
# the seed corpus, where every test run replays it.
set -euo pipefail
root="$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)"
build="${BUILD_DIR:-$root/build-fuzz}"
seconds="${1:-60}"
shift || true
targets=("$@")
((${#targets[@]})) || targets=(scene expression cook file checkpoint obj ply geo)

bash "$root/scripts/setup.sh" clang libclang-rt-14-dev libomp-14-dev

CC=clang CXX=clang++ cmake -S "$root" -B "$build" -DCMAKE_BUILD_TYPE=RelWithDebInfo -DTALUNO_FUZZ=ON \
  -DTALUNO_BUILD_TESTS=OFF >/dev/null
cmake --build "$build" -j "$(nproc)" --target $(printf 'fuzz-%s ' "${targets[@]}")

status=0
for t in "${targets[@]}"; do
  mkdir -p "$build/corpus/$t" "$root/fuzz/findings/$t"
  echo "== fuzz-$t for ${seconds}s"
  # Scenes refer to files by name; run where none of them exist.
  if ! (cd "$build" && OMP_NUM_THREADS=1 "./fuzz/fuzz-$t" -max_total_time="$seconds" -print_final_stats=1 \
          -max_len=65536 -timeout=10 -rss_limit_mb=4096 -artifact_prefix="$root/fuzz/findings/$t/" \
          "$build/corpus/$t" "$root/fuzz/corpus/$t" 2>&1 |
          grep -E "^(stat::number_of_executed_units|stat::peak_rss_mb|Done|==[0-9]+==ERROR|SUMMARY)|artifact"); then
    :
  fi
  if compgen -G "$root/fuzz/findings/$t/*" >/dev/null; then
    echo "fuzz-$t found crashes: see fuzz/findings/$t/"
    status=1
  fi
done
exit $status
