// Argument sets shared by the particle benchmarks.
#pragma once

#include <benchmark/benchmark.h>

#include <cstdint>

// Runs a benchmark at 1e5 and 1e6 particles, each on 1 and 2 threads,
// timed on the wall clock so that parallel passes are measured fairly.
inline void sizesAndThreads(benchmark::internal::Benchmark* b)
{
  for (int64_t count : {100000, 1000000})
    for (int64_t threads : {1, 2})
      b->Args({count, threads});
  b->ArgNames({"particles", "threads"})->Unit(benchmark::kMillisecond)->UseRealTime();
}
