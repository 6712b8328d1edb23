#pragma once
// Reports a benchmark's throughput as the counter "MP/s": megapixels processed per second.
#include <benchmark/benchmark.h>

namespace histonorm::bench {

// Requires that every iteration processes `pixelsPerIteration` pixels.
inline void SetMegapixelRate(benchmark::State& state, double pixelsPerIteration) {
  state.counters["MP/s"] =
      benchmark::Counter(pixelsPerIteration / 1e6, benchmark::Counter::kIsIterationInvariantRate);
}

}  // namespace histonorm::bench
