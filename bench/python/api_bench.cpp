// The in-process figures the Python module is compared with: Norm through the public API on the
// images bench_transform.py uses — the top-left 2048 x 2048 and 256 x 256 of he_sample_1 tiled,
// fitted to he_sample_2 — one new result image per call, as transform returns one.
#include <benchmark/benchmark.h>

#include <memory>
#include <opencv2/imgcodecs.hpp>
#include <stdexcept>
#include <string>

#include "histonorm/histonorm.h"
#include "support/bench_images.h"
#include "support/megapixel_rate.h"

namespace histonorm {
namespace {

const cv::Mat& Source(int size) {
  static const cv::Mat large = bench::TiledSample("he_sample_1.png", 2048);
  static const cv::Mat small = large(cv::Rect(0, 0, 256, 256)).clone();
  if (size != large.rows && size != small.rows) throw std::invalid_argument("no source of that size");
  return size == large.rows ? large : small;
}

std::unique_ptr<CNormBase> Fitted(Method method, unsigned threads) {
  Options options;
  options.colourModelPath = std::string(HISTONORM_MODEL_DIR) + "/he.model";
  options.threads = threads;
  auto norm = MakeNormaliser(method, options);
  norm->CalcStats(cv::imread(std::string(HISTONORM_SAMPLE_DIR) + "/he_sample_2.png", cv::IMREAD_COLOR));
  return norm;
}

// Arguments: method (index into kAllMethods), image size, threads (0 = all cores).
void BM_Norm(benchmark::State& state) {
  const Method method = kAllMethods.at(static_cast<std::size_t>(state.range(0)));
  const auto size = static_cast<int>(state.range(1));
  const auto norm = Fitted(method, static_cast<unsigned>(state.range(2)));
  const cv::Mat& source = Source(size);
  state.SetLabel(std::string(MethodName(method)));
  for (auto _ : state) {
    cv::Mat result = norm->Norm(source);
    benchmark::DoNotOptimize(result.data);
  }
  bench::SetMegapixelRate(state, double{1} * size * size);
}

BENCHMARK(BM_Norm)
    ->ArgsProduct({{0, 1, 2, 3}, {2048}, {1, 0}})
    ->ArgsProduct({{0, 1, 2, 3}, {256}, {1}})
    ->Unit(benchmark::kMillisecond)
    ->UseRealTime();

}  // namespace
}  // namespace histonorm

BENCHMARK_MAIN();
