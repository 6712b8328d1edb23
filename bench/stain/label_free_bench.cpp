// The three label-free stain methods (BimodalDeconvPCA, Macenko, Vahadane): Norm of a 2048 x 2048
// tile of an H&E sample to another, on one thread and on all cores (argument "threads", 0 = all
// cores; rates are per wall-clock second).
#include <benchmark/benchmark.h>

#include <memory>

#include "histonorm/histonorm.h"
#include "support/bench_images.h"
#include "support/megapixel_rate.h"

namespace histonorm {
namespace {

constexpr int kTile = 2048;

const cv::Mat& Source() {
  static const cv::Mat image = bench::TiledSample("he_sample_3.png", kTile);
  return image;
}
const cv::Mat& Target() {
  static const cv::Mat image = bench::TiledSample("he_sample_1.png", kTile);
  return image;
}

template <Method M>
void BM_Norm(benchmark::State& state) {
  Options options;
  options.threads = static_cast<unsigned>(state.range(0));
  const auto norm = MakeNormaliser(M, options);
  norm->CalcStats(Target());
  cv::Mat output(Source().size(), CV_8UC3);
  for (auto _ : state) {
    norm->Norm(Source(), output);
    benchmark::DoNotOptimize(output.data);
  }
  bench::SetMegapixelRate(state, static_cast<double>(Source().total()));
}

#define HISTONORM_LABEL_FREE_BENCH(method) \
  BENCHMARK_TEMPLATE(BM_Norm, method)      \
      ->ArgName("threads")                 \
      ->Arg(1)                             \
      ->Arg(0)                             \
      ->UseRealTime()                      \
      ->Unit(benchmark::kMillisecond)      \
      ->MinTime(3.0)

HISTONORM_LABEL_FREE_BENCH(Method::kBimodalDeconvPCA);
HISTONORM_LABEL_FREE_BENCH(Method::kMacenko);
HISTONORM_LABEL_FREE_BENCH(Method::kVahadane);

}  // namespace
}  // namespace histonorm

BENCHMARK_MAIN();
