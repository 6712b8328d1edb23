// CalcStats and Norm of the colour-value methods on a 4096 x 4096 tiled H&E sample.
#include <benchmark/benchmark.h>

#include <memory>

#include "norm/reinhard.h"
#include "norm/rgb_hist_spec.h"
#include "support/bench_images.h"
#include "support/megapixel_rate.h"

namespace histonorm {
namespace {

constexpr int kSize = 4096;

const cv::Mat& Source() {
  static const cv::Mat image = bench::TiledSample("he_sample_1.png", kSize);
  return image;
}
const cv::Mat& Target() {
  static const cv::Mat image = bench::TiledSample("he_sample_2.png", kSize);
  return image;
}

std::unique_ptr<CNormBase> Make(int method) {
  if (method == 0) return std::make_unique<CNormReinhard>();
  return std::make_unique<CNormRGBHistSpec>(method == 2 ? HistSpecVariant::kPresence
                                                        : HistSpecVariant::kShares);
}

void BM_CalcStats(benchmark::State& state) {
  const auto method = static_cast<int>(state.range(0));
  for (auto _ : state) {
    auto norm = Make(method);
    norm->CalcStats(Target());
  }
  bench::SetMegapixelRate(state, double{kSize} * kSize);
}

void BM_Norm(benchmark::State& state) {
  const auto method = static_cast<int>(state.range(0));
  auto norm = Make(method);
  norm->CalcStats(Target());
  cv::Mat output(kSize, kSize, CV_8UC3);
  for (auto _ : state) {
    norm->Norm(Source(), output);
    benchmark::DoNotOptimize(output.data);
  }
  bench::SetMegapixelRate(state, double{kSize} * kSize);
}

// 0 = Reinhard, 1 = RGBHistSpec, 2 = RGBHistSpecThresh
BENCHMARK(BM_CalcStats)->DenseRange(0, 2)->Unit(benchmark::kMillisecond);
BENCHMARK(BM_Norm)->DenseRange(0, 2)->Unit(benchmark::kMillisecond);

}  // namespace
}  // namespace histonorm

BENCHMARK_MAIN();
