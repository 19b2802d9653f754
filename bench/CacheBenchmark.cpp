// Writing one frame of 1,000,000 particles in each cache format, with the
// attributes the solver writes (v, ID, colour), as taluno does; and turning
// one frame of 1,000,000 liquid particles into its surface (time, the
// process's peak memory, and the mesh's size).
//
//   build-bench/bench/cache-bench
#include "GU/GU_Detail.h"
#include "GeoIO.h"
#include "LiquidSurface.h"

#include <benchmark/benchmark.h>

#include <cstdio>
#include <filesystem>
#include <random>
#include <sys/resource.h>

namespace {

GU_Detail& frame()
{
  static GU_Detail gdp;
  if (gdp.getNumPoints() == 0) {
    std::mt19937 rng(1);
    std::uniform_real_distribution<float> u(-50, 50);
    GA_Attribute* v = gdp.addFloatTuple(GA_ATTRIB_POINT, "v", 3);
    GA_Attribute* id = gdp.addIntTuple(GA_ATTRIB_POINT, "ID", 1);
    GA_Attribute* cd = gdp.addDiffuseAttribute(GA_ATTRIB_POINT);
    GEO_Primitive* particles = gdp.insertPrimitive(GA_PRIMPART);
    for (int i = 0; i < 1000000; ++i) {
      const GA_Offset p = gdp.appendPointOffset();
      gdp.setPos3(p, UT_Vector3(u(rng), u(rng), u(rng)));
      for (int c = 0; c < 3; ++c) {
        v->set(p, c, u(rng));
        cd->set(p, c, 0.5);
      }
      id->set(p, 0, i);
      particles->appendVertex(p);
    }
  }
  return gdp;
}

void writeFormat(benchmark::State& state, char const* extension)
{
  GU_Detail& gdp = frame();
  const std::string path = (std::filesystem::temp_directory_path() / (std::string("cache-bench") + extension)).string();
  std::string problem;
  for (auto _ : state)
    if (!writeCache(gdp, path, problem))
      state.SkipWithError(problem.c_str());
  state.counters["MB"] = double(std::filesystem::file_size(path)) / 1e6;
  state.SetItemsProcessed(state.iterations() * gdp.getNumPoints());
  std::remove(path.c_str());
}

// A block of 100 x 100 x 100 liquid particles of radius 0.05, packed at
// their diameter: a 10-unit cube of water, with the sphere radius the
// solver writes as "pscale".
GU_Detail& liquidBlock()
{
  static GU_Detail gdp;
  constexpr int N = 100;
  if (gdp.getNumPoints() == 0) {
    GA_Attribute* pscale = gdp.addFloatTuple(GA_ATTRIB_POINT, "pscale", 1);
    std::mt19937 rng(2);
    std::uniform_real_distribution<float> jitter(-0.005f, 0.005f);
    for (int i = 0; i < N; ++i)
      for (int j = 0; j < N; ++j)
        for (int k = 0; k < N; ++k) {
          const GA_Offset p = gdp.appendPointOffset();
          gdp.setPos3(p, UT_Vector3(0.1f * i + jitter(rng), 0.1f * j + jitter(rng), 0.1f * k + jitter(rng)));
          pscale->set(p, 0, 0.05f);
        }
  }
  return gdp;
}

void BM_SurfaceLiquid(benchmark::State& state)
{
  GU_Detail& particles = liquidBlock();
  GU_Detail surface;
  std::string problem;
  for (auto _ : state)
    if (!surfaceParticles(particles, "", 0.05, SurfaceSettings{}, surface, problem))
      state.SkipWithError(problem.c_str());
  rusage usage{};
  getrusage(RUSAGE_SELF, &usage);
  state.counters["peakMB"] = double(usage.ru_maxrss) / 1024.0;
  state.counters["triangles"] = double(surface.getNumPrimitives());
  state.SetItemsProcessed(state.iterations() * particles.getNumPoints());
}

void BM_WriteGeo(benchmark::State& state) { writeFormat(state, ".geo"); }
void BM_WriteBgeo(benchmark::State& state) { writeFormat(state, ".bgeo"); }
void BM_WritePly(benchmark::State& state) { writeFormat(state, ".ply"); }
void BM_WriteVtp(benchmark::State& state) { writeFormat(state, ".vtp"); }

} // namespace

BENCHMARK(BM_WriteGeo)->Unit(benchmark::kMillisecond)->Iterations(2);
BENCHMARK(BM_WriteBgeo)->Unit(benchmark::kMillisecond)->Iterations(3);
BENCHMARK(BM_WritePly)->Unit(benchmark::kMillisecond)->Iterations(3);
BENCHMARK(BM_WriteVtp)->Unit(benchmark::kMillisecond)->Iterations(3);
// Last: the peak memory it reports includes the frames above.
BENCHMARK(BM_SurfaceLiquid)->Unit(benchmark::kMillisecond)->Iterations(1)->UseRealTime();

BENCHMARK_MAIN();
