// Stain channel transforms and stain vector estimation on 2048 x 2048 tiles of H&E samples.
#include <benchmark/benchmark.h>

#include <algorithm>
#include <array>
#include <random>
#include <stdexcept>
#include <string>

#include "deconv/colour_deconv.h"
#include "support/bench_images.h"
#include "support/megapixel_rate.h"

namespace histonorm {
namespace {

constexpr int kSize = 2048;
const std::array<std::string, 2> kSamples = {"he_sample_1.png", "he_sample_3.png"};

const cv::Mat& Tile(int sample) {
  static const std::array<cv::Mat, 2> tiles = {bench::TiledSample(kSamples[0], kSize),
                                               bench::TiledSample(kSamples[1], kSize)};
  return tiles[static_cast<std::size_t>(sample)];
}

// Every pixel a random colour: the least favourable image for per-colour evaluation.
const cv::Mat& Noise() {
  static const cv::Mat image = [] {
    cv::Mat m(kSize, kSize, CV_8UC3);
    cv::randu(m, cv::Scalar::all(0), cv::Scalar::all(256));
    return m;
  }();
  return image;
}

const cv::Mat& Image(int which) { return which < 2 ? Tile(which) : Noise(); }

// Plausible class probabilities from a colour rule: bright pixels are background, bluer ones
// stain 0, redder ones stain 1, with confidence growing with the blue-red difference.
ClassProbabilityPlanes RuleProbabilities(const cv::Mat& image) {
  ClassProbabilityPlanes probs(image.cols, image.rows);
  for (int y = 0; y < image.rows; ++y) {
    const std::uint8_t* px = image.ptr<std::uint8_t>(y);
    for (int x = 0; x < image.cols; ++x, px += 3) {
      const std::size_t i = static_cast<std::size_t>(y) * image.cols + x;
      const int b = px[0], r = px[2];
      const float brightness = (px[0] + px[1] + px[2]) / 765.0f;
      const float background = std::clamp((brightness - 0.6f) * 2.5f, 0.0f, 1.0f);
      const float blue = std::clamp(0.5f + (b - r) / 60.0f, 0.0f, 1.0f);
      probs[0][i] = (1.0f - background) * blue;
      probs[1][i] = (1.0f - background) * (1.0f - blue);
      probs[2][i] = background;
    }
  }
  return probs;
}

CColourDeconv Estimated(const cv::Mat& image) {
  CColourDeconv deconv;
  deconv.Init();
  if (!deconv.EstimateStainVectors(image, RuleProbabilities(image), 0.99f)) {
    throw std::runtime_error("benchmark image has no usable stain estimate");
  }
  return deconv;
}

void BM_ImageToChannels(benchmark::State& state) {
  const cv::Mat& image = Image(static_cast<int>(state.range(0)));
  const CColourDeconv deconv = Estimated(Tile(0));
  StainChannelPlanes channels;
  for (auto _ : state) {
    deconv.ImageToChannels(image, channels);
    benchmark::DoNotOptimize(channels.plane[0].data());
  }
  bench::SetMegapixelRate(state, double{kSize} * kSize);
}

void BM_ChannelsToImage(benchmark::State& state) {
  const cv::Mat& image = Image(static_cast<int>(state.range(0)));
  const CColourDeconv deconv = Estimated(Tile(0));
  StainChannelPlanes channels;
  deconv.ImageToChannels(image, channels);
  cv::Mat output(kSize, kSize, CV_8UC3);
  for (auto _ : state) {
    deconv.ChannelsToImage(channels, output);
    benchmark::DoNotOptimize(output.data);
  }
  bench::SetMegapixelRate(state, double{kSize} * kSize);
}

void BM_EstimateStainVectors(benchmark::State& state) {
  const cv::Mat& image = Image(static_cast<int>(state.range(0)));
  const ClassProbabilityPlanes probs = RuleProbabilities(image);
  for (auto _ : state) {
    CColourDeconv deconv;
    deconv.Init();
    benchmark::DoNotOptimize(deconv.EstimateStainVectors(image, probs, 0.99f));
  }
  bench::SetMegapixelRate(state, double{kSize} * kSize);
}

// 0, 1 = tiled H&E samples, 2 = random colours
BENCHMARK(BM_ImageToChannels)->DenseRange(0, 2)->Unit(benchmark::kMillisecond);
BENCHMARK(BM_ChannelsToImage)->DenseRange(0, 2)->Unit(benchmark::kMillisecond);
BENCHMARK(BM_EstimateStainVectors)->DenseRange(0, 2)->Unit(benchmark::kMillisecond);

}  // namespace
}  // namespace histonorm

BENCHMARK_MAIN();
