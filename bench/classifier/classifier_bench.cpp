// ClassifyImage on a 2048 x 2048 tile of an H&E sample with a model of trained size (D = 8, 30
// basis vectors per class), against classifying every pixel in turn, and against evaluating the
// library's class functions once per colour (the same values, computed the library's way).
#include <benchmark/benchmark.h>

#include <iostream>

#include "classifier/colour_classifier.h"
#include "classifier/colour_model_file.h"
#include "common/image_colours.h"
#include "support/bench_images.h"
#include "support/megapixel_rate.h"
#include "support/model_builder.h"

namespace histonorm {
namespace {

constexpr int kTile = 2048;

const cv::Mat& Tile() {
  static const cv::Mat tile = bench::TiledSample("he_sample_3.png", kTile);
  return tile;
}

// Argument "threads": 1 or 0 (all cores); rates are per wall-clock second.
void BM_ClassifyImage(benchmark::State& state) {
  const ColourClassifier_RVM_PCAVQ classifier(test::MakeRealisticModel(8, 30));
  ClassifySettings settings;
  settings.threads = static_cast<unsigned>(state.range(0));
  ClassProbabilityPlanes planes;
  for (auto _ : state) {
    classifier.ClassifyImage(Tile(), planes, settings);
    benchmark::DoNotOptimize(planes.plane[0].data());
  }
  bench::SetMegapixelRate(state, static_cast<double>(Tile().total()));
  state.counters["colours"] = static_cast<double>(ImageColours(Tile()).Keys().size());
}
BENCHMARK(BM_ClassifyImage)->ArgName("threads")->Arg(1)->Arg(0)->UseRealTime()->Unit(benchmark::kMillisecond);

// The same result, evaluating the class functions for every pixel instead of every colour.
void BM_ClassifyEveryPixel(benchmark::State& state) {
  ColourClassifier_RVM_PCAVQ classifier(test::MakeRealisticModel(8, 30));
  ClassProbabilityPlanes planes(Tile().cols, Tile().rows);
  for (auto _ : state) {
    const ImageDescriptor descriptor = classifier.ComputeProjection(Tile());
    for (int y = 0; y < Tile().rows; ++y) {
      const auto* p = Tile().ptr<std::uint8_t>(y);
      for (int x = 0; x < Tile().cols; ++x, p += 3) {
        const auto probs = classifier.ClassifyPixel({p[0], p[1], p[2]}, descriptor);
        const auto i =
            static_cast<std::size_t>(y) * static_cast<std::size_t>(Tile().cols) + static_cast<std::size_t>(x);
        for (std::size_t k = 0; k < 3; ++k) planes[k][i] = probs[k];
      }
    }
    benchmark::DoNotOptimize(planes.plane[0].data());
  }
  bench::SetMegapixelRate(state, static_cast<double>(Tile().total()));
}
BENCHMARK(BM_ClassifyEveryPixel)->Unit(benchmark::kMillisecond)->Iterations(1);

// The class functions evaluated by the library for every distinct colour of the tile, with the
// descriptor ClassifyImage finds; the rate is in pixels of the tile, as for ClassifyImage.
void BM_LibraryPerColour(benchmark::State& state) {
  const auto model = test::MakeRealisticModel(8, 30);
  ColourClassifier_RVM_PCAVQ classifier(model);
  const ImageDescriptor projection = classifier.ComputeProjection(Tile());
  const ImageColours colours(Tile());
  FeatureVector feature(static_cast<long>(classifier.PcaDim()) + 3, 1);
  for (unsigned i = 0; i < classifier.PcaDim(); ++i) feature(static_cast<long>(i)) = projection[i];
  for (auto _ : state) {
    double total = 0.0;
    for (const std::uint32_t key : colours.Keys()) {
      for (long b = 0; b < 3; ++b) feature(classifier.PcaDim() + b) = (key >> (8 * b)) & 0xFFu;
      for (const auto& c : model.classes) total += c(feature);
    }
    benchmark::DoNotOptimize(total);
  }
  bench::SetMegapixelRate(state, static_cast<double>(Tile().total()));
}
BENCHMARK(BM_LibraryPerColour)->Unit(benchmark::kMillisecond)->Iterations(1);

void BM_ComputeProjection(benchmark::State& state) {
  ColourClassifier_RVM_PCAVQ classifier(test::MakeRealisticModel(8, 30));
  for (auto _ : state) classifier.ComputeProjection(Tile());
  bench::SetMegapixelRate(state, static_cast<double>(Tile().total()));
}
BENCHMARK(BM_ComputeProjection)->Unit(benchmark::kMillisecond);

}  // namespace
}  // namespace histonorm

BENCHMARK_MAIN();
