// Times one sub-step's grid work: re-binning of moved particles, the neighbour
// snapshot refresh and the periodic sort, at 1e5 and 1e6 particles on 1 and 2
// threads. items_per_second is particle-substeps per second.
//
//   build/bench/grid-bench --benchmark_filter=SubStep
#include "BenchArgs.h"
#include "SimSystem.h"

#include <benchmark/benchmark.h>
#include <omp.h>

#include <cmath>
#include <memory>
#include <random>

namespace {

// A liquid-like block: particles on a jittered lattice of one diameter, eight
// per cell, with velocities that carry about a tenth of them across a cell face
// per sub-step.
struct Scene
{
  explicit Scene(int64_t count)
  {
    SimSettings settings;
    settings.fluid = true;
    system = std::make_unique<SimSystem>(settings);
    const int side = static_cast<int>(std::ceil(std::cbrt(double(count))));
    std::mt19937 rng(1);
    std::uniform_real_distribution<double> jitter(-0.05, 0.05), speed(-1.0, 1.0);
    for (int64_t n = 0; n < count; ++n) {
      const int i = int(n % side), j = int((n / side) % side), k = int(n / (int64_t(side) * side));
      system->placeParticle(Eigen::Vector3d(i + jitter(rng), j + jitter(rng), k + jitter(rng)),
                            Eigen::Vector3d(speed(rng), speed(rng), speed(rng)), char(natureLiquid));
    }
    system->initialize(1);
  }

  // Stand-in for the advance: a sub-step of 0.1 moves particles up to 0.1.
  void advance(double dt)
  {
    const int64_t n = int64_t(system->_particlesArray.size());
#pragma omp parallel for schedule(static)
    for (int64_t i = 0; i < n; ++i) {
      Particle& p = system->_particlesArray[i];
      p.position += p.velocity * dt;
    }
  }

  std::unique_ptr<SimSystem> system;
};

Scene& sceneOf(int64_t count)
{
  static std::unique_ptr<Scene> cached;
  if (!cached || int64_t(cached->system->_particlesArray.size()) != count)
    cached = std::make_unique<Scene>(count);
  return *cached;
}

template <typename Phase>
void runPhase(benchmark::State& state, Phase phase)
{
  Scene& scene = sceneOf(state.range(0));
  omp_set_num_threads(int(state.range(1)));
  double dt = 0.1;
  for (auto _ : state) {
    state.PauseTiming();
    scene.advance(dt);
    dt = -dt; // back and forth, so the scene stays the same size
    state.ResumeTiming();
    phase(*scene.system);
  }
  state.SetItemsProcessed(state.iterations() * state.range(0));
  state.counters["cells"] = double(scene.system->_cells.size());
}

void BM_Rebin(benchmark::State& state)
{
  runPhase(state, [](SimSystem& s) { s.updateCellsParticles(); });
}

void BM_Neighbors(benchmark::State& state)
{
  runPhase(state, [](SimSystem& s) {
    s.updateCellsParticles();
    s.updateCellsNeighbors();
  });
}

void BM_Sort(benchmark::State& state)
{
  runPhase(state, [](SimSystem& s) {
    s.updateCellsParticles();
    s.sortArrays(100);
  });
}

void BM_SubStep(benchmark::State& state)
{
  runPhase(state, [](SimSystem& s) {
    s.updateCellsParticles();
    s.updateCellsNeighbors();
    s.sortArrays(100);
  });
}

} // namespace

BENCHMARK(BM_Rebin)->Apply(sizesAndThreads);
BENCHMARK(BM_Neighbors)->Apply(sizesAndThreads);
BENCHMARK(BM_Sort)->Apply(sizesAndThreads);
BENCHMARK(BM_SubStep)->Apply(sizesAndThreads);

BENCHMARK_MAIN();
