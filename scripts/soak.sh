#!/usr/bin/env bash
# Soak test, not part of CI: bench/soak/soak.json (liquid poured continuously,
# a soft body and a granular column, stirred by a moving and a deforming
# collider) for 500 frames, once on 1 thread and once on 2. It checks that
# no frame holds a non-finite value, that memory grows no faster than the
# particle count, and that both runs wrote identical caches.
#   bash scripts/soak.sh [OUTPUT-FOLDER]      (default: build-soak/)
set -euo pipefail
root="$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)"
build="${BUILD_DIR:-$root/build}"
out="${1:-$root/build-soak}"

BUILD_DIR="$build" bash "$root/scripts/build.sh" >/dev/null
mkdir -p "$out"
for threads in 1 2; do
  rm -rf "$out/t$threads" "$out/memory-t$threads.txt"
  mkdir -p "$out/t$threads"
  start=$(date +%s%N)
  "$build/TalunoApp/taluno" run "$root/bench/soak/soak.json" --threads "$threads" --quiet \
    --output "$out/t$threads/frame.\$F4.geo" &
  pid=$!
  # Resident memory against frames written, twice a second.
  while kill -0 "$pid" 2>/dev/null; do
    rss=$(awk '/^VmRSS/ {print $2}' "/proc/$pid/status" 2>/dev/null || true)
    frames=$(find "$out/t$threads" -name 'frame.*.geo' | wc -l)
    [ -n "$rss" ] && echo "$frames $rss" >>"$out/memory-t$threads.txt"
    sleep 0.5
  done
  status=0
  wait "$pid" || status=$?
  echo "threads $threads: exit status $status, $(( ($(date +%s%N) - start) / 1000000 )) ms"
  [ "$status" -eq 0 ] || exit 1
done

python3 - "$out" <<'PY'
import hashlib, json, math, os, sys

out = sys.argv[1]
failures = []

def frames(folder):
    return sorted(f for f in os.listdir(folder) if f.endswith(".geo"))

def positions_and_count(path):
    with open(path) as f:
        text = f.read()
    try:
        geo = json.loads(text)
    except ValueError as e:
        return None, "not valid JSON (a non-finite number?): %s" % e
    count = geo[geo.index("pointcount") + 1]
    for attribute in geo[geo.index("attributes") + 1][1]:
        values = attribute[1][attribute[1].index("values") + 1]
        data = values[values.index("tuples") + 1] if "tuples" in values else values[values.index("arrays") + 1][0]
        flat = [x for t in data for x in (t if isinstance(t, list) else [t])]
        if not all(math.isfinite(x) for x in flat):
            return count, "non-finite values in attribute %s" % attribute[0][attribute[0].index("name") + 1]
    return count, None

one, two = frames(os.path.join(out, "t1")), frames(os.path.join(out, "t2"))
if len(one) != 500 or one != two:
    failures.append("expected 500 frames from each run, got %d and %d" % (len(one), len(two)))
counts = {}
identical = 0
for name in one:
    a, b = os.path.join(out, "t1", name), os.path.join(out, "t2", name)
    count, problem = positions_and_count(a)
    if problem:
        failures.append("%s: %s" % (name, problem))
    counts[int(name.split(".")[1])] = count
    if os.path.exists(b) and hashlib.sha256(open(a, "rb").read()).digest() == hashlib.sha256(open(b, "rb").read()).digest():
        identical += 1
if identical != len(one):
    failures.append("only %d of %d frames are identical on 1 and 2 threads" % (identical, len(one)))

def memory(threads):
    samples = [tuple(map(int, l.split())) for l in open(os.path.join(out, "memory-t%d.txt" % threads))]
    return [(f, kb) for f, kb in samples if f > 0]

print("frames identical on 1 and 2 threads: %d of %d" % (identical, len(one)))
print("particles: frame 1 %d, frame 100 %d, frame 250 %d, frame 500 %d"
      % (counts.get(1, 0), counts.get(100, 0), counts.get(250, 0), counts.get(500, 0)))
for threads in (1, 2):
    samples = memory(threads)
    peak = max(kb for _, kb in samples)
    early = next(((f, kb) for f, kb in samples if f >= 100), samples[0])
    late = samples[-1]
    grown = late[1] - early[1]
    particles = counts.get(late[0], 0) - counts.get(early[0], 0)
    print("threads %d: peak resident %.1f MiB; %.1f MiB at frame %d, %.1f MiB at frame %d: %+.1f MiB for %+d particles"
          % (threads, peak / 1024, early[1] / 1024, early[0], late[1] / 1024, late[0], grown / 1024, particles))
    # Bounded: no more than 4 KiB per new particle, plus 32 MiB of slack for
    # allocator and distance-field churn.
    if grown > max(particles, 0) * 4 + 32 * 1024:
        failures.append("threads %d: memory grew %.1f MiB for %d new particles" % (threads, grown / 1024, particles))

for f in failures:
    print("FAIL: " + f)
print("soak: " + ("failed" if failures else "passed"))
sys.exit(1 if failures else 0)
PY
