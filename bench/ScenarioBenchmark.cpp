// Standard scenes built in code, each at a chosen particle count: a liquid dam
// break, a granular column collapsing (spheres), a soft-body block dropped on
// a floor, and all three materials together, with the solver's default grid
// cells (the interaction radius) unless --cell-size says otherwise. For
// one scene, count and thread count per run, prints particle-substeps per
// second overall and per phase, peak resident memory, bytes per particle and
// a hash of the final particle state, then one "RESULT {json}" line for
// scripts/benchmarks.sh.
//
//   build-bench/bench/scenario-bench --scene dam-break --particles 100000 --threads 2
#include "BoxObjects.h"
#include "SimSystem.h"

#include <CLI/CLI.hpp>
#include <omp.h>
#include <sys/resource.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cmath>
#include <cstdio>
#include <fstream>
#include <map>
#include <memory>
#include <string>
#include <vector>

namespace {

using Eigen::Vector3d;

// Resident memory now, in bytes.
double residentBytes()
{
  long pages = 0, resident = 0;
  std::ifstream("/proc/self/statm") >> pages >> resident;
  return double(resident) * double(sysconf(_SC_PAGE_SIZE));
}

double peakResidentBytes()
{
  rusage usage{};
  getrusage(RUSAGE_SELF, &usage);
  return double(usage.ru_maxrss) * 1024.0;
}

// Static box colliders (distance fields six levels deep) and emit-once box
// emitters, added to the system as they are made, every one moved by `shift`.
struct Objects
{
  void box(SimSystem& system, Vector3d const& min, Vector3d const& max, double friction, bool ghosts)
  {
    system.addCollisionObject(boxes.collider(min + shift, max + shift, friction, ghosts, 6));
  }
  void block(SimSystem& system, Vector3d const& min, Vector3d const& max, char nature)
  {
    system.addEmitterObject(boxes.emitter(min + shift, max + shift, nature));
  }
  BoxObjects boxes;
  Vector3d shift = Vector3d::Zero();
};

// A tank: a floor (sampling ghost particles when `ghosts`) and four walls
// around [0, x] x [0, z], each wall an object of its own.
void tank(SimSystem& system, Objects& objects, double x, double z, double height, bool ghosts)
{
  objects.box(system, {-2, -2, -2}, {x + 2, 0, z + 2}, 2000.0, ghosts);
  objects.box(system, {-2, -2, -2}, {0, height, z + 2}, 0.5, false);
  objects.box(system, {x, -2, -2}, {x + 2, height, z + 2}, 0.5, false);
  objects.box(system, {-2, -2, -2}, {x + 2, height, 0}, 0.5, false);
  objects.box(system, {-2, -2, z}, {x + 2, height, z + 2}, 0.5, false);
}

// Particles have radius 0.5: a block of side s (scene units) holds about s^3.
SimSettings settingsFor(std::string const& scene)
{
  SimSettings s;
  s.springs = scene == "soft-block" || scene == "mixed";
  s.fluid = scene == "dam-break" || scene == "mixed";
  s.viscosity = s.fluid;
  s.interParticleCollisions = scene == "column" || scene == "mixed";
  return s;
}

void build(std::string const& scene, double particles, SimSystem& system, Objects& objects)
{
  if (scene == "dam-break") {
    const double s = std::round(std::cbrt(particles));
    tank(system, objects, 3 * s, s, 2 * s, true);
    objects.block(system, {0, 0, 0}, {s, s, s}, char(natureLiquid));
  } else if (scene == "column") {
    // A column twice as tall as it is wide, on a wide floor. Raised half a
    // cell, so that its lattice starts at cell centres rather than on cell
    // faces, where the first fall would move every grain to a new cell.
    const double w = std::round(std::cbrt(particles / 2));
    objects.box(system, {-4 * w, -2, -4 * w}, {5 * w, 0, 5 * w}, 2000.0, false);
    objects.block(system, {0, 0.5, 0}, {w, 2 * w + 0.5, w}, char(natureGranular));
  } else if (scene == "soft-block") {
    const double s = std::round(std::cbrt(particles));
    objects.box(system, {-s, -2, -s}, {2 * s, 0, 2 * s}, 20.0, false);
    objects.block(system, {0, 2, 0}, {s, s + 2, s}, char(natureSoftBody));
  } else if (scene == "mixed") {
    // Three blocks side by side in one tank, a third of the particles each.
    const double s = std::round(std::cbrt(particles / 3));
    tank(system, objects, 5 * s, s, 2 * s, true);
    objects.block(system, {0, 0, 0}, {s, s, s}, char(natureLiquid));
    objects.block(system, {2 * s, 0, 0}, {3 * s, s, s}, char(natureSoftBody));
    objects.block(system, {4 * s, 0, 0}, {5 * s, s, s}, char(natureGranular));
  } else {
    throw CLI::ValidationError("--scene", "unknown scene " + scene);
  }
}

// FNV-1a over every particle's id, position and velocity in id order: the
// same state gives the same hash, whatever the thread count or array order.
uint64_t stateHash(SimSystem const& system)
{
  std::vector<Particle const*> byId;
  for (Particle const& p : system._particlesArray)
    byId.push_back(&p);
  std::sort(byId.begin(), byId.end(), [](Particle const* a, Particle const* b) { return a->id < b->id; });
  uint64_t h = 1469598103934665603ull;
  auto mix = [&h](void const* data, size_t size) {
    for (size_t i = 0; i < size; ++i) {
      h ^= static_cast<unsigned char const*>(data)[i];
      h *= 1099511628211ull;
    }
  };
  for (Particle const* p : byId) {
    mix(&p->id, sizeof p->id);
    mix(p->position.data(), 3 * sizeof(double));
    mix(p->velocity.data(), 3 * sizeof(double));
  }
  return h;
}

// Macroscopic measures that show whether a change which moves results in the
// last bits moved the physics: every quarter second, the centre of mass and
// the farthest particle along x and y (the dam-break front, the soft block's
// fall and bounce); at the end, the column's height profile. Lengths are in
// units of the scene's block size, from the scene's origin (so a shifted
// scene measures the same).
class Measures
{
public:
  Measures(std::string scene, double particles, Vector3d const& shift) : _scene(std::move(scene)), _shift(shift)
  {
    _size = std::round(std::cbrt(_scene == "column" ? particles / 2 : particles));
  }

  // Called after each sub-step with the time simulated so far.
  void record(SimSystem const& system, double time)
  {
    if (time < _nextTime - 1e-9)
      return;
    Eigen::Vector3d centre = Eigen::Vector3d::Zero();
    double farX = -1e300, farY = -1e300;
    for (Particle const& p : system._particlesArray) {
      const Vector3d position = p.position - _shift;
      centre += position;
      farX = std::max(farX, position.x());
      farY = std::max(farY, position.y());
    }
    centre /= double(system._particlesArray.size()) * _size;
    std::printf("MEASURE %.2f s: centre x %.4f y %.4f, farthest x %.4f, highest y %.4f\n", _nextTime, centre.x(),
                centre.y(), farX / _size, farY / _size);
    _nextTime += 0.25;
  }

  void finish(SimSystem const& system) const
  {
    if (_scene != "column")
      return;
    // Highest grain in rings around the column's axis, half a width wide.
    const int rings = 8;
    std::vector<double> height(rings, 0.0);
    for (Particle const& p : system._particlesArray) {
      const Vector3d position = p.position - _shift;
      const double r = std::hypot(position.x() - _size / 2, position.z() - _size / 2) / _size;
      const int k = int(r * 2);
      if (k < rings)
        height[size_t(k)] = std::max(height[size_t(k)], position.y() / _size);
    }
    std::printf("MEASURE column height by ring:");
    for (double h : height)
      std::printf(" %.4f", h);
    std::printf("\n");
  }

private:
  std::string _scene;
  Vector3d _shift;
  double _size;
  double _nextTime = 0.25;
};

} // namespace

int main(int argc, char** argv)
{
  CLI::App app{"scenario-bench: standard scenes at a chosen particle count"};
  std::string scene = "dam-break";
  double particles = 1e5;
  int threads = 0, subSteps = 0;
  double dt = 1.0 / 192.0; // eight sub-steps a frame at 24 frames per second
  app.add_option("--scene", scene, "dam-break, column, soft-block or mixed")
      ->check(CLI::IsMember({"dam-break", "column", "soft-block", "mixed"}));
  app.add_option("--particles", particles, "about how many particles (default 1e5)")->check(CLI::Range(100.0, 1e8));
  app.add_option("--threads", threads, "threads (default: all cores)")->check(CLI::PositiveNumber);
  app.add_option("--substeps", subSteps,
                 "sub-steps timed (default: 20, the same first tenth of a second of the scene at every count, so "
                 "that counts compare; 2 beyond 2e6 particles)")
      ->check(CLI::PositiveNumber);
  app.add_option("--dt", dt, "sub-step length in seconds (default 1/192)")->check(CLI::PositiveNumber);
  int settle = 0;
  app.add_option("--settle", settle,
                 "sub-steps run untimed before the timed ones (default 0): times a later stretch of the scene, "
                 "such as the column once its grains press on each other")
      ->check(CLI::NonNegativeNumber);
  double cellSize = 0.0;
  app.add_option("--cell-size", cellSize,
                 "grid cell edge in scene units, at least a particle diameter (1); default: the solver's default, "
                 "the interaction radius (2)")
      ->check(CLI::PositiveNumber);
  double shift = 0.0;
  app.add_option("--shift", shift,
                 "move the whole scene sideways (along x and z) by this many scene units: the same physics, cut by "
                 "the grid elsewhere, so particles sit in another order in the array and in every sum; measures "
                 "stay relative to the scene (default 0)");
  bool measures = false;
  app.add_flag("--measures", measures,
               "print the scene's macroscopic measures (dam-break front, column heights, soft-block bounce)");
  CLI11_PARSE(app, argc, argv);
  if (threads > 0)
    omp_set_num_threads(threads);
  if (subSteps == 0)
    subSteps = particles <= 2e6 ? 20 : 2;

  const double baseline = residentBytes();
  const auto setupStart = std::chrono::steady_clock::now();
  SimSettings settings = settingsFor(scene);
  SimSystem system(settings);
  if (cellSize > 0.0)
    system._cellSize = std::max(2.0 * system.particleRadius, cellSize); // as the solver clamps "gridCellSize"
  Objects objects;
  objects.shift = Vector3d(shift, 0.0, shift);
  build(scene, particles, system, objects);
  system.initialize(1);
  // The first sub-step emits every particle; it is not timed.
  system.simulStep(1, dt, 1);
  for (int step = 0; step < settle; ++step)
    system.simulStep(2 + unsigned(step), dt, 1);
  const double setup = std::chrono::duration<double>(std::chrono::steady_clock::now() - setupStart).count();
  const double n = double(system._particlesArray.size());

  std::map<std::string, double> phases;
  system._phaseSeconds = &phases;
  const uint64_t remakesBefore = system.pairListRemakes();
  const auto start = std::chrono::steady_clock::now();
  Measures measured(scene, particles, objects.shift);
  for (int step = 0; step < subSteps; ++step) {
    system.simulStep(2 + unsigned(settle + step), dt, 1);
    if (measures)
      measured.record(system, dt * (settle + step + 2));
  }
  const double seconds = std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
  system._phaseSeconds = nullptr;
  const uint64_t remakes = system.pairListRemakes() - remakesBefore;

  const double peak = peakResidentBytes();
  const double bytesPerParticle = (peak - baseline) / n;
  const uint64_t hash = stateHash(system);
  if (measures)
    measured.finish(system);
  const double rate = n * subSteps / seconds;

  std::printf("%s: %.0f particles (mass %.6g), %zu springs, %zu ghosts, %d threads, %d sub-steps of %g s after %d untimed (setup %.2f s)\n",
              scene.c_str(), n, system._particleMass, system._springs.size(), system._ghostParticlesArray.size(),
              omp_get_max_threads(), subSteps, dt, settle, setup);
  std::printf("  %-24s %10s %16s\n", "phase", "ms/sub-step", "particle-steps/s");
  std::string phaseJson;
  for (auto const& [name, time] : phases) {
    std::printf("  %-24s %10.2f %16.4g\n", name.c_str(), 1e3 * time / subSteps, n * subSteps / time);
    phaseJson += (phaseJson.empty() ? "" : ", ") + ("\"" + name + "\": ") + std::to_string(time / subSteps);
  }
  std::printf("  %-24s %10.2f %16.4g\n", "whole sub-step", 1e3 * seconds / subSteps, rate);
  std::printf("  pair lists made %llu times in %d sub-steps\n", static_cast<unsigned long long>(remakes), subSteps);
  std::printf("  held at the end, bytes per particle:");
  std::string heldJson;
  size_t heldTotal = 0;
  for (auto const& [name, bytes] : system.heldBytes()) {
    heldTotal += bytes;
    if (bytes == 0)
      continue;
    std::printf(" %s %.0f,", name.c_str(), double(bytes) / n);
    heldJson += (heldJson.empty() ? "" : ", ") + ("\"" + name + "\": ") + std::to_string(double(bytes) / n);
  }
  std::printf(" in all %.0f (resident now %.0f)\n", double(heldTotal) / n, (residentBytes() - baseline) / n);
  std::printf("  peak resident %.1f MiB, %.0f bytes per particle, state hash %016llx\n", peak / 1048576.0,
              bytesPerParticle, static_cast<unsigned long long>(hash));
  std::printf("RESULT {\"scene\": \"%s\", \"particles\": %.0f, \"threads\": %d, \"substeps\": %d, \"settle\": %d, "
              "\"seconds_per_substep\": %.6g, \"rate\": %.6g, \"peak_bytes\": %.0f, \"bytes_per_particle\": %.1f, "
              "\"hash\": \"%016llx\", \"remakes\": %llu, \"phases\": {%s}, \"held\": {%s}}\n",
              scene.c_str(), n, omp_get_max_threads(), subSteps, settle, seconds / subSteps, rate, peak, bytesPerParticle,
              static_cast<unsigned long long>(hash), static_cast<unsigned long long>(remakes), phaseJson.c_str(), heldJson.c_str());
  return 0;
}
