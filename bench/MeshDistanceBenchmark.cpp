// minimumDistance queries per second on a closed torus of 100,352 triangles,
// for 0, 1 and 8 nearest vertices per query, and the mesh and KD-tree build
// time. Queries are spread over the torus's bounding box, half of them within
// a tube radius of the surface.
//
//   build-bench/bench/mesh-bench
#include "KdTree.h"
#include "Mesh.h"
#include "MeshShapes.h"

#include <benchmark/benchmark.h>

#include <memory>
#include <random>

namespace {

TriangleSoup const& torus()
{
  static const TriangleSoup soup = torusSoup(2.0, 0.5, 224, 224);
  return soup;
}

std::vector<Eigen::Vector3d> const& queries()
{
  static const std::vector<Eigen::Vector3d> points = [] {
    std::mt19937 rng(1);
    std::uniform_real_distribution<double> wide(-3.0, 3.0), height(-1.0, 1.0), unit(0.0, 1.0);
    std::vector<Eigen::Vector3d> out;
    for (int i = 0; i < 4096; ++i) {
      if (i % 2 == 0) {
        out.emplace_back(wide(rng), height(rng), wide(rng));
      } else { // near the surface
        const double u = 6.283185307179586 * unit(rng), v = 6.283185307179586 * unit(rng);
        const double r = 0.5 + 0.5 * height(rng), ring = 2.0 + r * std::cos(v);
        out.emplace_back(ring * std::cos(u), r * std::sin(v), ring * std::sin(u));
      }
    }
    return out;
  }();
  return points;
}

void BM_MinimumDistance(benchmark::State& state)
{
  const unsigned nearest = unsigned(state.range(0));
  std::unique_ptr<Mesh> mesh(makeMesh(torus(), nearest));
  auto const& points = queries();
  size_t i = 0;
  double sum = 0.0;
  for (auto _ : state) {
    Eigen::Vector3d p = points[i++ & 4095];
    sum += mesh->minimumDistance(p.x(), p.y(), p.z());
  }
  benchmark::DoNotOptimize(sum);
  state.SetItemsProcessed(state.iterations());
  state.counters["triangles"] = mesh->_nbTriangles;
}

void BM_BuildMesh(benchmark::State& state)
{
  const unsigned nearest = unsigned(state.range(0));
  for (auto _ : state) {
    std::unique_ptr<Mesh> mesh(makeMesh(torus(), nearest));
    benchmark::DoNotOptimize(mesh.get());
  }
  state.counters["triangles"] = double(torus().triangles.size());
}

} // namespace

BENCHMARK(BM_MinimumDistance)->ArgName("nearestVertices")->Arg(0)->Arg(1)->Arg(8)->Unit(benchmark::kMicrosecond);
BENCHMARK(BM_BuildMesh)->ArgName("nearestVertices")->Arg(0)->Arg(1)->Unit(benchmark::kMillisecond);

BENCHMARK_MAIN();
