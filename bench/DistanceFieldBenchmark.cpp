// Adaptive distance field of a closed torus of 100,352 triangles (meshes keep
// 1 nearest vertex per query, the operators' default): build time, leaf count
// and memory at maximum depth 5, 6 and 7, and query throughput with gradient
// on 1 and 2 threads.
//
//   build-bench/bench/field-bench
#include "ASDFObject.h"
#include "Mesh.h"
#include "MeshShapes.h"

#include <benchmark/benchmark.h>
#include <omp.h>

#include <functional>
#include <map>
#include <memory>
#include <random>

namespace {

Mesh& torusMesh()
{
  static std::unique_ptr<Mesh> mesh(makeMesh(torusSoup(2.0, 0.5, 224, 224), 1));
  return *mesh;
}

void countCells(ASDFCell const* cell, int64_t& cells, int64_t& leaves)
{
  ++cells;
  if (cell->isLeaf()) {
    ++leaves;
    return;
  }
  for (ASDFCell const* child : cell->_children)
    countCells(child, cells, leaves);
}

void BM_BuildField(benchmark::State& state)
{
  const int depth = int(state.range(0));
  int64_t cells = 0, leaves = 0;
  for (auto _ : state) {
    ASDFObject field(&torusMesh(), 1e-3, depth);
    state.PauseTiming();
    cells = leaves = 0;
    countCells(field._root, cells, leaves);
    state.ResumeTiming();
  }
  // Each subdivision makes 8 cells and 19 corners; the root has 8 corners.
  const int64_t corners = 8 + 19 * (cells - leaves);
  const double bytes = double(cells) * (sizeof(ASDFCell) + 16) + double(corners) * (sizeof(Corner) + 16);
  state.counters["leaves"] = double(leaves);
  state.counters["corners"] = double(corners);
  state.counters["MiB"] = bytes / (1024.0 * 1024.0);
}

ASDFObject& queryField()
{
  static std::unique_ptr<ASDFObject> field = std::make_unique<ASDFObject>(&torusMesh(), 1e-3, 6);
  return *field;
}

void BM_Query(benchmark::State& state)
{
  ASDFObject& field = queryField();
  std::vector<Eigen::Vector3d> points(1 << 16);
  std::mt19937 rng(1);
  std::uniform_real_distribution<double> u(-2.6, 2.6), h(-0.6, 0.6);
  for (auto& p : points)
    p = Eigen::Vector3d(u(rng), h(rng), u(rng));
  const int threads = int(state.range(0));
  double sink = 0.0;
  for (auto _ : state) {
    double sum = 0.0;
#pragma omp parallel for schedule(static) num_threads(threads) reduction(+ : sum)
    for (int64_t i = 0; i < int64_t(points.size()); ++i) {
      double d;
      Eigen::Vector3d g = Eigen::Vector3d::Zero();
      field.trilinearInterpolation(points[i].x(), points[i].y(), points[i].z(), d, 1.0, g);
      sum += d < 1e30 ? d + g.x() : 0.0;
    }
    sink += sum;
  }
  benchmark::DoNotOptimize(sink);
  state.SetItemsProcessed(state.iterations() * int64_t(points.size()));
}

} // namespace

BENCHMARK(BM_BuildField)->ArgName("maxDepth")->Arg(5)->Arg(6)->Arg(7)->Unit(benchmark::kMillisecond)->Iterations(1);
BENCHMARK(BM_Query)->ArgName("threads")->Arg(1)->Arg(2)->Unit(benchmark::kMillisecond)->UseRealTime();

BENCHMARK_MAIN();
