// CalcStats and Norm of the colour-value methods on a 4096 x 4096 tiled H&E sample, on one thread and
// on all cores; Reinhard per call on 256 x 256 and 2048 x 2048 tiles.
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

std::unique_ptr<CNormBase> Make(int method, unsigned threads) {
  if (method == 0) return std::make_unique<CNormReinhard>(LogSink(), threads);
  return std::make_unique<CNormRGBHistSpec>(
      method == 2 ? HistSpecVariant::kPresence : HistSpecVariant::kShares, threads);
}

void BM_CalcStats(benchmark::State& state) {
  const auto method = static_cast<int>(state.range(0));
  const auto threads = static_cast<unsigned>(state.range(1));
  for (auto _ : state) {
    auto norm = Make(method, threads);
    norm->CalcStats(Target());
  }
  bench::SetMegapixelRate(state, double{kSize} * kSize);
}

void BM_Norm(benchmark::State& state) {
  const auto method = static_cast<int>(state.range(0));
  auto norm = Make(method, static_cast<unsigned>(state.range(1)));
  norm->CalcStats(Target());
  cv::Mat output(kSize, kSize, CV_8UC3);
  for (auto _ : state) {
    norm->Norm(Source(), output);
    benchmark::DoNotOptimize(output.data);
  }
  bench::SetMegapixelRate(state, double{kSize} * kSize);
}

// Reinhard's Norm per call on a square tile cut from the source (a 256 x 256 tile is converted pixel by
// pixel, a 2048 x 2048 one colour by colour), fitted once on the target.
void BM_ReinhardTile(benchmark::State& state) {
  const auto size = static_cast<int>(state.range(0));
  CNormReinhard norm(LogSink(), static_cast<unsigned>(state.range(1)));
  norm.CalcStats(Target());
  const cv::Mat tile = Source()(cv::Rect(0, 0, size, size)).clone();
  cv::Mat output(size, size, CV_8UC3);
  for (auto _ : state) {
    norm.Norm(tile, output);
    benchmark::DoNotOptimize(output.data);
  }
  bench::SetMegapixelRate(state, double{1.0} * size * size);
}

// Arguments: method (0 = Reinhard, 1 = RGBHistSpec, 2 = RGBHistSpecThresh), threads (1, or 0 = all cores).
BENCHMARK(BM_CalcStats)
    ->ArgsProduct({{0, 1, 2}, {1, 0}})
    ->ArgNames({"method", "threads"})
    ->Unit(benchmark::kMillisecond)
    ->UseRealTime();
BENCHMARK(BM_Norm)
    ->ArgsProduct({{0, 1, 2}, {1, 0}})
    ->ArgNames({"method", "threads"})
    ->Unit(benchmark::kMillisecond)
    ->UseRealTime();
// Arguments: tile side, threads (1, or 0 = all cores).
BENCHMARK(BM_ReinhardTile)
    ->ArgsProduct({{256, 2048}, {1, 0}})
    ->ArgNames({"size", "threads"})
    ->Unit(benchmark::kMillisecond)
    ->UseRealTime();

}  // namespace
}  // namespace histonorm

BENCHMARK_MAIN();
