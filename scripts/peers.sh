#!/usr/bin/env bash
# Runs the same scenes in Debian's LAMMPS and LIGGGHTS and in this simulator,
# on one core each, and prints the ratio of our particle-steps per second to
# each peer's, from the fastest of several alternated runs of each code.
# Installs lammps and liggghts when missing. Not part of CI.
#   bash scripts/peers.sh [COUNTS...]     (default: 10000 100000 1000000)
#   REPEATS=N bash scripts/peers.sh ...   (runs of each code; default 3 up to 10^5, 2 above)
# Results go to build-bench/peers.jsonl (one JSON object per run), which
# scripts/benchmarks.sh folds into BENCHMARKS.md. What the peer inputs match
# and what they cannot is written at the top of each file in bench/peers/.
set -euo pipefail
root="$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)"
build="${BUILD_DIR:-$root/build-bench}"
counts=("$@")
((${#counts[@]})) || counts=(10000 100000 1000000)

bash "$root/scripts/setup.sh" lammps liggghts
cmake -S "$root" -B "$build" -DCMAKE_BUILD_TYPE=Release -DTALUNO_BUILD_BENCH=ON -DTALUNO_BUILD_TESTS=OFF >/dev/null
cmake --build "$build" -j "$(nproc)" --target scenario-bench >/dev/null

work="$build/peers"
mkdir -p "$work"
results="$build/peers.jsonl"
: >"$results"

# Atom-steps per second from a LAMMPS or LIGGGHTS log line
# "Loop time of T on P procs for S steps with N atoms".
peer_rate() {
  awk '/^Loop time of/ {for (i = 1; i <= NF; ++i) { if ($i == "of") t = $(i + 1); if ($i == "for") s = $(i + 1); if ($i == "with") n = $(i + 1) } }
       END { if (t > 0) printf "%d %.6g\n", n, n * s / t; else print "0 0" }'
}

# Our rate from scenario-bench's RESULT line: "particles rate".
our_rate() {
  sed -n 's/^RESULT //p' | python3 -c 'import json, sys; r = json.load(sys.stdin); print(r["particles"], r["rate"])'
}

record() { # scene count peer peer_particles peer_rate our_particles our_rate steps dt
  python3 - "$@" >>"$results" <<'PY'
import json, sys
scene, count, peer, pn, pr, on, orate, steps, dt = sys.argv[1:]
print(json.dumps({"scene": scene, "count": int(count), "peer": peer, "peer_particles": int(pn),
                  "peer_rate": float(pr), "our_particles": int(float(on)), "our_rate": float(orate),
                  "ratio": float(orate) / float(pr) if float(pr) > 0 else None, "steps": int(steps), "dt": float(dt)}))
PY
  printf '%-9s %9s  %-9s peer %9.3g/s (%s particles)  ours %9.3g/s (%s)  ratio %.2f\n' "$1" "$2" "$3" "$5" "$4" "$7" "$6" \
    "$(python3 -c "print($7 / $5 if $5 > 0 else 0)")"
}

# The fastest of several runs ("particles rate" lines on stdin): this VM's
# speed drifts by up to 2x from minute to minute, and the fastest run of each
# code, alternated with the others', is the one least slowed by it.
fastest() { sort -k2,2g | tail -n 1; }

for count in "${counts[@]}"; do
  # At least 50 steps: long enough that the peers rebuild their neighbour
  # lists as they would in use, rather than reusing the one built at set-up.
  steps=$(python3 -c "print(max(50, int(2e6 / $count)))")
  # Runs of each code, alternated (REPEATS overrides): 3 up to 10^5, 2 above.
  repeats=${REPEATS:-$(python3 -c "print(3 if $count <= 100000 else 2)")}

  # Granular column: LAMMPS gran/hooke/history and LIGGGHTS hooke/stiffness.
  W=$(python3 -c "print(round(($count / 2) ** (1 / 3)))")
  dt=0.005208333333
  # Timed twice: over the first steps, while the column still falls as one,
  # and after one second (192 untimed steps), when its grains press on each
  # other and slide and every code remakes its neighbour lists often.
  for settle in 0 192; do
    label=column
    ((settle == 0)) || label="column after 1 s"
    ours=() lammps=() liggghts=()
    for ((run = 0; run < repeats; ++run)); do
      ours+=("$("$build/bench/scenario-bench" --scene column --particles "$count" --threads 1 \
                  --dt "$dt" --substeps "$steps" --settle "$settle" | our_rate)")
      lammps+=("$(cd "$work" && lmp -in "$root/bench/peers/granular-lammps.in" -var W "$W" -var dt "$dt" \
                    -var steps "$steps" -var settle "$settle" -log lammps.log -screen none -nocite >/dev/null 2>&1;
                  peer_rate <"$work/lammps.log")")
      liggghts+=("$(cd "$work" && liggghts -in "$root/bench/peers/granular-liggghts.in" -var W "$W" -var dt "$dt" \
                      -var steps "$steps" -var settle "$settle" -log liggghts.log -screen none >/dev/null 2>&1;
                    peer_rate <"$work/liggghts.log")")
    done
    read -r on orate < <(printf '%s\n' "${ours[@]}" | fastest)
    read -r pn pr < <(printf '%s\n' "${lammps[@]}" | fastest)
    record "$label" "$count" lammps "$pn" "$pr" "$on" "$orate" "$steps" "$dt"
    read -r pn pr < <(printf '%s\n' "${liggghts[@]}" | fastest)
    record "$label" "$count" liggghts "$pn" "$pr" "$on" "$orate" "$steps" "$dt"
  done

  # Liquid dam break: LIGGGHTS SPH and LAMMPS SPH, both with a Tait equation
  # of state.
  S=$(python3 -c "print(round($count ** (1 / 3)))")
  dt=0.0001
  ours=() liggghts=() lammps=()
  for ((run = 0; run < repeats; ++run)); do
    ours+=("$("$build/bench/scenario-bench" --scene dam-break --particles "$count" --threads 1 \
                --dt "$dt" --substeps "$steps" | our_rate)")
    liggghts+=("$(cd "$work" && liggghts -in "$root/bench/peers/sph-liggghts.in" -var S "$S" -var dt "$dt" \
                    -var steps "$steps" -log liggghts-sph.log -screen none >/dev/null 2>&1;
                  peer_rate <"$work/liggghts-sph.log")")
    # LAMMPS's own SPH package (sph/taitwater), which Debian's lmp lacks:
    # `lmp_sph` is LAMMPS built from Debian's source with SPH
    # (bench/peers/README.md says how).
    if command -v lmp_sph >/dev/null; then
      lammps+=("$(cd "$work" && lmp_sph -in "$root/bench/peers/sph-lammps.in" -var S "$S" -var dt "$dt" \
                    -var steps "$steps" -log lammps-sph.log -screen none -nocite >/dev/null 2>&1;
                  peer_rate <"$work/lammps-sph.log")")
    fi
  done
  read -r on orate < <(printf '%s\n' "${ours[@]}" | fastest)
  read -r pn pr < <(printf '%s\n' "${liggghts[@]}" | fastest)
  record dam-break "$count" liggghts-sph "$pn" "$pr" "$on" "$orate" "$steps" "$dt"
  if ((${#lammps[@]})); then
    read -r pn pr < <(printf '%s\n' "${lammps[@]}" | fastest)
    record dam-break "$count" lammps-sph "$pn" "$pr" "$on" "$orate" "$steps" "$dt"
  else
    echo "dam-break $count: lmp_sph not found, LAMMPS SPH skipped (bench/peers/README.md says how to build it)"
  fi
done
echo "results in $results"
