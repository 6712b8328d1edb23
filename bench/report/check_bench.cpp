// The checks of a result against Reinhard's Norm of the same image, on one thread: H&E samples tiled
// to 1024 x 1024 and 4096 x 4096 (all on one core).
#include <benchmark/benchmark.h>

#include <map>
#include <opencv2/core/utility.hpp>

#include "histonorm/histonorm.h"
#include "support/bench_images.h"
#include "support/megapixel_rate.h"

namespace histonorm {
namespace {

struct Images {
  cv::Mat source, target, result;
  CheckTarget summary;
};

const Images& ImagesOfSize(int size) {
  static std::map<int, Images> made;
  auto [it, added] = made.try_emplace(size);
  if (added) {
    it->second.source = bench::TiledSample("he_sample_1.png", size);
    it->second.target = bench::TiledSample("he_sample_2.png", size);
    Options options;
    options.threads = 1;
    auto norm = MakeNormaliser(Method::kReinhard, options);
    norm->CalcStats(it->second.target);
    it->second.result = norm->Norm(it->second.source);
    it->second.summary.Add(it->second.target);
  }
  return it->second;
}

void BM_Check(benchmark::State& state) {
  const int size = static_cast<int>(state.range(0));
  const Images& images = ImagesOfSize(size);
  for (auto _ : state) {
    const ResultCheck check = CheckResult(images.source, images.result, images.summary);
    benchmark::DoNotOptimize(check.failed);
  }
  bench::SetMegapixelRate(state, double{1.0} * size * size);
}

void BM_Reinhard(benchmark::State& state) {
  const int size = static_cast<int>(state.range(0));
  const Images& images = ImagesOfSize(size);
  Options options;
  options.threads = 1;
  auto norm = MakeNormaliser(Method::kReinhard, options);
  norm->CalcStats(images.target);
  cv::Mat output(size, size, CV_8UC3);
  for (auto _ : state) {
    norm->Norm(images.source, output);
    benchmark::DoNotOptimize(output.data);
  }
  bench::SetMegapixelRate(state, double{1.0} * size * size);
}

BENCHMARK(BM_Check)->Arg(1024)->Arg(4096)->ArgName("side")->Unit(benchmark::kMillisecond)->UseRealTime();
BENCHMARK(BM_Reinhard)->Arg(1024)->Arg(4096)->ArgName("side")->Unit(benchmark::kMillisecond)->UseRealTime();

}  // namespace
}  // namespace histonorm

// One thread for the image library too, so that both sides run on one core.
int main(int argc, char** argv) {
  cv::setNumThreads(1);
  benchmark::Initialize(&argc, argv);
  benchmark::RunSpecifiedBenchmarks();
  benchmark::Shutdown();
  return 0;
}
