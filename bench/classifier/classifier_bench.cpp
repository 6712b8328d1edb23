// ClassifyImage on a 2048 x 2048 tile of an H&E sample with a model of trained size (D = 8, 30
// basis vectors per class), against classifying every pixel in turn.
#include <benchmark/benchmark.h>

#include <iostream>

#include "classifier/colour_classifier.h"
#include "classifier/image_colours.h"
#include "support/bench_images.h"
#include "support/model_builder.h"

namespace histonorm {
namespace {

constexpr int kTile = 2048;

const cv::Mat& Tile() {
  static const cv::Mat tile = bench::TiledSample("he_sample_3.png", kTile);
  return tile;
}

void SetRate(benchmark::State& state, const cv::Mat& image) {
  state.counters["MP/s"] = benchmark::Counter(static_cast<double>(image.total()) / 1e6,
                                              benchmark::Counter::kIsIterationInvariantRate);
}

void BM_ClassifyImage(benchmark::State& state) {
  ColourClassifier_RVM_PCAVQ classifier(test::MakeRealisticModel(8, 30));
  ClassProbabilityPlanes planes;
  for (auto _ : state) {
    classifier.ClassifyImage(Tile(), planes);
    benchmark::DoNotOptimize(planes.plane[0].data());
  }
  SetRate(state, Tile());
  state.counters["colours"] = static_cast<double>(ImageColours(Tile()).Keys().size());
}
BENCHMARK(BM_ClassifyImage)->Unit(benchmark::kMillisecond);

// The same result, evaluating the classifiers for every pixel.
void BM_ClassifyEveryPixel(benchmark::State& state) {
  ColourClassifier_RVM_PCAVQ classifier(test::MakeRealisticModel(8, 30));
  ClassProbabilityPlanes planes(Tile().cols, Tile().rows);
  for (auto _ : state) {
    classifier.ComputeProjection(Tile());
    for (int y = 0; y < Tile().rows; ++y) {
      const auto* p = Tile().ptr<std::uint8_t>(y);
      for (int x = 0; x < Tile().cols; ++x, p += 3) {
        const auto probs = classifier.ClassifyPixel({p[0], p[1], p[2]});
        const auto i =
            static_cast<std::size_t>(y) * static_cast<std::size_t>(Tile().cols) + static_cast<std::size_t>(x);
        for (std::size_t k = 0; k < 3; ++k) planes[k][i] = probs[k];
      }
    }
    benchmark::DoNotOptimize(planes.plane[0].data());
  }
  SetRate(state, Tile());
}
BENCHMARK(BM_ClassifyEveryPixel)->Unit(benchmark::kMillisecond)->Iterations(1);

void BM_ComputeProjection(benchmark::State& state) {
  ColourClassifier_RVM_PCAVQ classifier(test::MakeRealisticModel(8, 30));
  for (auto _ : state) classifier.ComputeProjection(Tile());
  SetRate(state, Tile());
}
BENCHMARK(BM_ComputeProjection)->Unit(benchmark::kMillisecond);

}  // namespace
}  // namespace histonorm

BENCHMARK_MAIN();
