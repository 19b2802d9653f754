#!/usr/bin/env python3
"""Writes BENCHMARKS.md from the scenario benchmark's and the peer script's
results (JSON lines), with the machine's description. Run by
scripts/benchmarks.sh:
    python3 scripts/benchmarks_report.py ROOT SCENARIOS.jsonl PEERS.jsonl [MEASURES.txt [SETTLED.jsonl [CELLS.jsonl]]]
"""
import collections, json, os, platform, subprocess, sys

root, scenarios, peers = sys.argv[1:4]
measures = sys.argv[4] if len(sys.argv) > 4 else None
settled_runs = [json.loads(l) for l in open(sys.argv[5]) if l.strip()] if len(sys.argv) > 5 else []
cell_runs = [json.loads(l) for l in open(sys.argv[6]) if l.strip()] if len(sys.argv) > 6 else []
runs = [json.loads(l) for l in open(scenarios) if l.strip()]
peer_runs = [json.loads(l) for l in open(peers) if l.strip()]

def machine():
    model = next((l.split(":", 1)[1].strip() for l in open("/proc/cpuinfo") if l.startswith("model name")), "unknown")
    memory = next(int(l.split()[1]) for l in open("/proc/meminfo") if l.startswith("MemTotal")) / 2**20
    cache = subprocess.run(["lscpu"], capture_output=True, text=True).stdout
    caches = ", ".join(l.split(":", 1)[0].strip() + " " + l.split(":", 1)[1].strip()
                       for l in cache.splitlines() if l.strip().startswith(("L2 cache", "L3 cache")))
    return "%s, %d cores, %.1f GiB memory (%s); %s" % (model, os.cpu_count(), memory, caches, platform.platform())

by = collections.defaultdict(dict)
for r in runs:
    by[(r["scene"], r["particles"])][r["threads"]] = r

lines = ["# Benchmarks", "",
         "Written by `scripts/benchmarks.sh` (the scenario benchmark, then `scripts/peers.sh`); every figure here comes",
         "from that one run. Up to 2 million particles each scene ran twice per thread count, alternated, and the",
         "faster run is shown (the two must end in the same state): this machine's speed drifts by up to 2x from",
         "minute to minute. Rates are particle-substeps per second. The state hash is of every particle's id,",
         "position and velocity at the end of the run, in id order: an optimisation that changes what is computed",
         "changes it, and the 1- and 2-thread runs must agree.", "",
         "**Machine:** " + machine(), "",
         "## Scenes", "",
         "| Scene | Particles | Sub-steps | 1 thread | 2 threads | Speed-up | Bytes/particle | Peak memory | State hash (1 / 2 threads) |",
         "|---|---|---|---|---|---|---|---|---|"]
for (scene, particles), t in sorted(by.items(), key=lambda kv: (kv[0][0], kv[0][1])):
    one, two = t.get(1), t.get(2)
    if not one:
        continue
    speedup = "%.2f" % (two["rate"] / one["rate"]) if two else "-"
    hashes = one["hash"] + (" / same" if two and two["hash"] == one["hash"] else (" / " + two["hash"] if two else ""))
    lines.append("| %s | %d | %d | %.3g | %s | %s | %.0f | %.0f MiB | `%s` |" % (
        scene, particles, one["substeps"], one["rate"], "%.3g" % two["rate"] if two else "-", speedup,
        one["bytes_per_particle"], max(one["peak_bytes"], two["peak_bytes"] if two else 0) / 2**20, hashes))

lines += ["", "Every count up to 2 million runs the same 20 sub-steps, the first tenth of a second of the scene, so",
          "that the counts compare like with like; 10 million runs 2. In that tenth of a second no two grains of",
          "the column touch (they start exactly a diameter apart and fall together): its contact phase measures",
          "the candidate checks, not contact forces. The same holds for the peers' first window at 10^5 and",
          "10^6 particles (50 steps, a quarter of a second); the rows \"column after 1 s\" below time the same",
          "steps after a second of fall, when grains press on each other.", "",
          "## Cost per particle-substep against the count (1 thread)", "",
          "Time per particle-substep relative to the mean over 10^4 to 10^6 particles; the goal is within 25 %.", "",
          "| Scene | " + " | ".join("%s" % c for c in ["10^4", "10^5", "10^6"]) + " | Spread | Within 25 % |",
          "|---|---|---|---|---|---|"]
for scene in sorted({s for s, _ in by}):
    costs = []
    for particles in sorted(p for s, p in by if s == scene):
        one = by[(scene, particles)].get(1)
        if one and 5e3 <= particles <= 2e6:
            costs.append(1.0 / one["rate"])
    if len(costs) < 2:
        continue
    mean = sum(costs) / len(costs)
    relative = [c / mean for c in costs]
    spread = max(abs(r - 1.0) for r in relative)
    lines.append("| %s | %s | %.0f %% | %s |" % (scene, " | ".join("%.2f" % r for r in relative), 100 * spread,
                                                 "yes" if spread <= 0.25 else "no"))

lines += ["", "## Phases (2 threads, milliseconds per sub-step)", "",
          "| Scene | Particles | " + " | ".join(["grid", "neighbour lists", "springs", "fluid", "contact", "collisions and advance", "ghosts", "sort", "other"]) + " |",
          "|---|---|" + "---|" * 9]
for (scene, particles), t in sorted(by.items(), key=lambda kv: (kv[0][0], kv[0][1])):
    r = t.get(2) or t.get(1)
    phases = r["phases"]
    named = ["grid", "neighbour lists", "springs", "fluid", "contact", "collisions and advance", "ghosts", "sort"]
    other = sum(v for k, v in phases.items() if k not in named)
    lines.append("| %s | %d | " % (scene, particles) + " | ".join("%.2f" % (1e3 * phases.get(k, 0.0)) for k in named)
                 + " | %.2f |" % (1e3 * other))

if settled_runs:
    named = ["grid", "neighbour lists", "springs", "fluid", "contact", "collisions and advance", "ghosts", "sort"]
    lines += ["", "## One second on (10^5 particles)", "",
              "The same scenes timed over 20 sub-steps after 192 untimed ones (`--settle 192`): the liquid has slumped",
              "(the default stiffness lets it compress, so each particle has about twice the neighbours it started",
              "with), the column's lower part is compressed and its grains slide. Here the pair lists are remade",
              "often, where the first tenth of a second hardly remakes them. Phases on one thread, in milliseconds",
              "per sub-step.", "",
              "| Scene | Particles | 1 thread | 2 threads | Speed-up | Lists made | " + " | ".join(named) + " | State hash (1 / 2 threads) |",
              "|---|---|---|---|---|---|" + "---|" * len(named) + "---|"]
    by_settled = collections.defaultdict(dict)
    for r in settled_runs:
        by_settled[r["scene"]][r["threads"]] = r
    for scene, t in sorted(by_settled.items()):
        one, two = t.get(1), t.get(2)
        if not one:
            continue
        hashes = one["hash"] + (" / same" if two and two["hash"] == one["hash"] else (" / " + two["hash"] if two else ""))
        lines.append("| %s | %d | %.3g | %s | %s | %s in %d | %s | `%s` |" % (
            scene, one["particles"], one["rate"], "%.3g" % two["rate"] if two else "-",
            "%.2f" % (two["rate"] / one["rate"]) if two else "-", one.get("remakes", "-"), one["substeps"],
            " | ".join("%.2f" % (1e3 * one["phases"].get(k, 0.0)) for k in named), hashes))

# What each structure holds at the end of the 1-thread runs at about 10^6
# particles, and the column again with the solver's default cell size.
held_runs = [(r["scene"], r) for (scene, particles), t in sorted(by.items()) if 5e5 <= particles <= 2e6
             for r in [t.get(1)] if r and r.get("held")]
held_runs += [(r["scene"] + ", cells of one diameter", r) for r in cell_runs if r.get("held")]
if held_runs:
    names = []
    for _, r in held_runs:
        names += [k for k in r["held"] if k not in names]
    lines += ["", "## Memory by structure (about 10^6 particles, bytes per particle)", "",
              "What the system holds at the end of the 1-thread run (`SimSystem::heldBytes`: container capacities",
              "and the allocator's bookkeeping of each heap node), beside the peak resident size per particle, which",
              "adds the scene's objects (the emitters' candidate positions, in the world and about the pivot: 48",
              "bytes a particle) and the allocator's free lists. The bookkeeping is estimated (glibc's rounding of",
              "each node): for the soft block, whose spring-map nodes dominate, it comes out above the peak. Grid cells have",
              "the solver's default edge, the interaction radius (2 units, eight grains to a cell). The row \"cells",
              "of one diameter\" is the column with a grain to a cell: each occupied cell costs about 280 bytes (its",
              "27-head snapshot, its node in the ordered map, its slot in the hash index; ghost heads only near",
              "ghosts).", "",
              "| Scene | Particles | " + " | ".join(names) + " | Held | Peak resident | 1 thread |",
              "|---|---|" + "---|" * len(names) + "---|---|---|"]
    for label, r in held_runs:
        lines.append("| %s | %d | " % (label, r["particles"]) +
                     " | ".join("%.0f" % r["held"].get(k, 0.0) for k in names) +
                     " | %.0f | %.0f | %.3g |" % (sum(r["held"].values()), r["bytes_per_particle"], r["rate"]))

lines += ["", "## Against LAMMPS and LIGGGHTS (one core each)", "",
          "Same particle count (within lattice rounding), radius, contact or SPH constants, time step and number of",
          "steps (at least 50, so that the peers rebuild their neighbour lists as in use); the inputs, and what",
          "they match and cannot match, are in `bench/peers/`. Each code ran 3 times up to 10^5 particles and",
          "twice at 10^6, alternated with the others; the rates are each code's fastest run, the one least slowed",
          "by the machine's drift. Ratio is our rate over the peer's. The rows",
          "\"column after 1 s\" time the same steps after 192 untimed ones on both sides; a peer's particle count",
          "is the atoms it had at the end (atoms that leave its box are dropped, `thermo_modify lost ignore`).", "",
          "| Scene | Peer | Peer particles | Peer rate | Our particles | Our rate | Ratio | Steps | Time step (s) |",
          "|---|---|---|---|---|---|---|---|---|"]
for p in peer_runs:
    lines.append("| %s | %s | %d | %.3g | %d | %.3g | %s | %d | %g |" % (
        p["scene"], p["peer"], p["peer_particles"], p["peer_rate"], p["our_particles"], p["our_rate"],
        "%.2f" % p["ratio"] if p["ratio"] else "-", p["steps"], p["dt"]))
def read_measures(path):
    """{scene: {placement: [measure line, ...]}} from scripts/measures.sh output."""
    out, key = collections.OrderedDict(), None
    for l in open(path):
        l = l.strip()
        if l.startswith("== "):
            scene, _, shift = l[3:].split()
            key = (scene, int(shift))
            out.setdefault(scene, collections.OrderedDict())[key[1]] = []
        elif l.startswith("MEASURE ") and key:
            out[key[0]][key[1]].append(l[len("MEASURE "):])
    return out

def quantities(line):
    """[(name, value)] of one measure line: '0.25 s: centre x 0.5 y 0.4, farthest x 0.9, highest y 0.9'
    or 'column height by ring: 1.6 1.6 0 ...'."""
    label, _, rest = line.partition(": ")
    if label == "column height by ring":
        return [("%s ring %d" % (label, k), float(v)) for k, v in enumerate(rest.split())]
    out = []
    for part in rest.split(", "):
        words = part.split()
        subject = words[0]
        for axis, value in zip(words[1::2], words[2::2]):
            out.append(("%s: %s %s" % (label, subject, axis), float(value)))
    return out

def spread(values):
    mean = sum(values) / len(values)
    sd = (sum((v - mean) ** 2 for v in values) / (len(values) - 1)) ** 0.5 if len(values) > 1 else 0.0
    return mean, sd

if measures:
    before = read_measures(os.path.join(root, "bench", "measures-before.txt"))
    after = read_measures(measures)
    placements = min(len(v) for v in list(before.values()) + list(after.values()))
    lines += ["", "## Macroscopic measures, before the speed work and now", "",
              "`scripts/measures.sh` runs each scene at 10,000 particles and records every quarter second the centre",
              "of mass and the farthest particle along x and y (the dam-break front, the soft block's fall and",
              "splash), and the column's final height in rings around its axis, in units of the block's size.",
              "Before: the library before the pair lists and every later change of results",
              "(`bench/measures-before.txt`, recorded by `scripts/measures-before.sh`); after: this run.",
              "", "A run repeats exactly, so the spread a change in the last bits should stay within is measured by",
              "placing each scene at %d places, moved sideways by 0, 1, 2, ... scene units: the same physics, but"
              % placements,
              "the grid cuts it elsewhere, so particles sit in another order and every order-dependent sum changes in",
              "its last bits, as with the changes measured here. The table shows the scene at its usual place;",
              "\"within spread\" means every value lies within the range the code before gave over the placements.", "",
              "| Scene | Measure (before) | After | Same |", "|---|---|---|---|"]
    moved = []
    for scene, runs_before in before.items():
        runs_after = after.get(scene, {})
        for k, row in enumerate(runs_before[0]):
            new_row = runs_after[0][k] if 0 in runs_after and k < len(runs_after[0]) else "-"
            verdict = "yes" if new_row == row else "**no**"
            if new_row not in (row, "-"):
                inside = True
                for q, (name, value) in enumerate(quantities(new_row)):
                    olds = [quantities(r[k])[q][1] for r in runs_before.values()]
                    inside &= min(olds) <= value <= max(olds)
                verdict = "within spread" if inside else "**no**"
            lines.append("| %s | %s | %s | %s |" % (scene, row, new_row, verdict))
            # Measures that move over the placements (or between before and after).
            for q, (name, value) in enumerate(quantities(row)):
                olds = [quantities(r[k])[q][1] for r in runs_before.values()]
                news = [quantities(r[k])[q][1] for r in runs_after.values() if k < len(r)]
                if news and (max(olds) > min(olds) or max(news) > min(news) or olds[0] != news[0]):
                    moved.append((scene, name, olds, news))
    if moved:
        lines += ["", "Measures that move over the placements: mean ± standard deviation [least, greatest], and how far",
                  "apart the two means are, in standard errors of their difference and in particle diameters (a block",
                  "is 22 diameters wide, the column 17).", "",
                  "| Scene | Measure | Before | After | Means apart (errors) | Means apart (diameters) |",
                  "|---|---|---|---|---|---|"]
        for scene, name, olds, news in moved:
            (mo, so), (mn, sn) = spread(olds), spread(news)
            error = (so ** 2 / len(olds) + sn ** 2 / len(news)) ** 0.5
            diameters = round((10000 / (2 if scene == "column" else 1)) ** (1 / 3))
            lines.append("| %s | %s | %.4f ± %.4f [%.4f, %.4f] | %.4f ± %.4f [%.4f, %.4f] | %s | %.3f |" % (
                scene, name, mo, so, min(olds), max(olds), mn, sn, min(news), max(news),
                "%.1f" % (abs(mn - mo) / error) if error > 0 else "-", abs(mn - mo) * diameters))

open(os.path.join(root, "BENCHMARKS.md"), "w").write("\n".join(lines) + "\n")
print("wrote BENCHMARKS.md")
