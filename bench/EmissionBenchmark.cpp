// Emitter fill and emission pass timings:
//  - Fill of a sphere emitter (1,280 triangles) whose enlarged box holds
//    100^3 = 1,000,000 lattice points, with 1 and 2 threads;
//  - one emission pass of a continuous emitter whose volume is already full
//    (about 100,000 particles, nothing emitted).
//
//   build-bench/bench/emission-bench
#include "EmitterObject.h"
#include "Mesh.h"
#include "MeshShapes.h"
#include "SimSystem.h"

#include <benchmark/benchmark.h>
#include <omp.h>

#include <memory>

namespace {

void BM_Fill(benchmark::State& state)
{
  omp_set_num_threads(int(state.range(0)));
  // Box side 97 + 2 margin = 99 units: 100 lattice points per axis at r = 0.5.
  std::unique_ptr<Mesh> mesh(makeMesh(sphereSoup(Eigen::Vector3d::Zero(), 48.5, 3), 1));
  EmitterObject emitter(mesh.get(), 2, EmitterObject::emitOnce, EmitterObject::cubic, 0,
                        EmitterObject::staticGeometry, 0, 0, 0, 1, 0, 0, 0, 1, 4294967295u);
  size_t kept = 0;
  for (auto _ : state) {
    double radius = 0.5;
    emitter.Fill(radius);
    kept = emitter._positions.size();
  }
  state.counters["kept"] = double(kept);
  state.counters["lattice"] = 1e6;
  state.SetItemsProcessed(state.iterations() * 1000000);
}

void BM_EmissionIntoFullVolume(benchmark::State& state)
{
  omp_set_num_threads(1);
  std::unique_ptr<Mesh> mesh(makeMesh(boxSoup(Eigen::Vector3d::Zero(), Eigen::Vector3d::Constant(47.0)), 1));
  EmitterObject emitter(mesh.get(), 2, EmitterObject::continuousEmission, EmitterObject::cubic, 0,
                        EmitterObject::staticGeometry, 0, 0, 0, 1, 0, 0, 0, 1, 4294967295u);
  SimSystem system{SimSettings()};
  system.addEmitterObject(&emitter);
  system.initialize(1);
  const size_t particles = system._particlesArray.size();
  for (auto _ : state)
    system.emitParticles(2);
  if (system._particlesArray.size() != particles)
    state.SkipWithError("the full volume emitted particles");
  state.counters["particles"] = double(particles);
  state.SetItemsProcessed(state.iterations() * int64_t(emitter._positions.size()));
}

} // namespace

BENCHMARK(BM_Fill)->ArgName("threads")->Arg(1)->Arg(2)->Unit(benchmark::kMillisecond)->UseRealTime();
BENCHMARK(BM_EmissionIntoFullVolume)->Unit(benchmark::kMillisecond);

BENCHMARK_MAIN();
