// One SPH sub-step (density and force passes) and one spring sub-step
// (stretch breaking and spring forces) on a cubic block of particles one
// diameter apart, with the solver's default settings, at 1e5 and 1e6
// particles on 1 and 2 threads; and one sub-step of each granular contact
// pass on a block of 1e5 grains 0.95 diameters apart (every neighbour in
// contact). items_per_second is particle-substeps per second.
//
//   build-bench/bench/materials-bench
#include "BenchArgs.h"
#include "SimSystem.h"

#include <benchmark/benchmark.h>
#include <omp.h>

#include <cmath>
#include <memory>

namespace {

std::unique_ptr<SimSystem> block(int64_t count, char nature, SimSettings const& settings, double spacing = 1.0)
{
  auto system = std::make_unique<SimSystem>(settings);
  const int side = static_cast<int>(std::lround(std::cbrt(double(count))));
  for (int i = 0; i < side; ++i)
    for (int j = 0; j < side; ++j)
      for (int k = 0; k < side; ++k)
        system->placeParticle(spacing * Eigen::Vector3d(i, j, k), Eigen::Vector3d(0.01 * (i % 3), 0.02 * (j % 5), 0),
                              nature);
  system->initialize(1);
  system->_dt = 1.0 / 48.0;
  return system;
}

template <typename Step>
void run(benchmark::State& state, SimSystem& system, Step step)
{
  omp_set_num_threads(int(state.range(1)));
  for (auto _ : state)
    step(system);
  state.SetItemsProcessed(state.iterations() * int64_t(system._particlesArray.size()));
  state.counters["particles"] = double(system._particlesArray.size());
}

void BM_FluidSubStep(benchmark::State& state)
{
  static std::unique_ptr<SimSystem> system;
  if (!system || int64_t(system->_particlesArray.size()) < state.range(0) * 9 / 10 ||
      int64_t(system->_particlesArray.size()) > state.range(0) * 11 / 10)
  {
    SimSettings settings;
    settings.fluid = true;
    system = block(state.range(0), natureLiquid, settings);
  }
  run(state, *system, [](SimSystem& s) { s.applyFluidSPH(); });
}

void BM_SpringSubStep(benchmark::State& state)
{
  static std::unique_ptr<SimSystem> system;
  if (!system || int64_t(system->_particlesArray.size()) < state.range(0) * 9 / 10 ||
      int64_t(system->_particlesArray.size()) > state.range(0) * 11 / 10) {
    system = block(state.range(0), natureSoftBody, SimSettings());
    system->adjustSprings(true);
  }
  state.counters["springs"] = double(system->_springs.size());
  run(state, *system, [](SimSystem& s) {
    s.breakVeryLongSprings();
    s.applySpringForces();
  });
}

// Granular block in contact: mode 0 without static friction, 1 with it, 2 clusters.
void BM_ContactSubStep(benchmark::State& state)
{
  const int mode = int(state.range(0));
  SimSettings settings;
  settings.interParticleCollisions = true;
  settings.enforceStaticFriction = mode == 1;
  settings.interParticlesCollMode = mode == 2 ? 1 : 0;
  settings.enableRotations = mode == 2;
  auto system = block(100000, natureGranular, settings, 0.95);
  omp_set_num_threads(int(state.range(1)));
  for (auto _ : state) {
    if (mode == 0)
      system->resolveInterparticleCollisions_NoExplicitStaticFriction();
    else if (mode == 1)
      system->resolveInterparticleCollisions_SpringBased();
    else
      system->resolveInterparticleCollisions_SubParticles();
  }
  state.SetItemsProcessed(state.iterations() * int64_t(system->_particlesArray.size()));
  state.counters["records"] = double(system->_demTangentialSprings.size());
}

} // namespace

BENCHMARK(BM_FluidSubStep)->Apply(sizesAndThreads);
BENCHMARK(BM_SpringSubStep)->Apply(sizesAndThreads);
BENCHMARK(BM_ContactSubStep)
    ->ArgsProduct({{0, 1, 2}, {1, 2}})
    ->ArgNames({"mode", "threads"})
    ->Unit(benchmark::kMillisecond)
    ->UseRealTime();

BENCHMARK_MAIN();
