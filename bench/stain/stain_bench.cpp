// The stain normaliser's Norm and CalcStats on a 2048 x 2048 tile of an H&E sample, as a whole on
// one thread and on all cores (argument "threads", 0 = all cores; rates are per wall-clock second),
// and step by step on one thread.
#include <benchmark/benchmark.h>

#include <array>
#include <chrono>
#include <memory>

#include "classifier/colour_classifier.h"
#include "stain/colour_table.h"
#include "stain/norm_bimodal_deconv_rvm.h"
#include "support/bench_images.h"
#include "support/megapixel_rate.h"
#include "support/model_builder.h"

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

std::unique_ptr<ColourClassifierBase> Classifier() {
  return std::make_unique<ColourClassifier_RVM_PCAVQ>(test::MakeStainLikeModel());
}

// A normaliser that has measured the target (it logs nothing).
std::unique_ptr<CNormBimodalDeconvRVM> MeasuredNormaliser(unsigned threads = 1) {
  Options options;
  options.threads = threads;
  auto norm = std::make_unique<CNormBimodalDeconvRVM>(Classifier(), options);
  norm->CalcStats(Target());
  if (!norm->HasUsableTarget()) throw std::runtime_error("benchmark target has no usable stain estimate");
  return norm;
}

void BM_Norm(benchmark::State& state) {
  const auto norm = MeasuredNormaliser(static_cast<unsigned>(state.range(0)));
  cv::Mat output(Source().size(), CV_8UC3);
  for (auto _ : state) {
    norm->Norm(Source(), output);
    benchmark::DoNotOptimize(output.data);
  }
  bench::SetMegapixelRate(state, static_cast<double>(Source().total()));
}
BENCHMARK(BM_Norm)
    ->ArgName("threads")
    ->Arg(1)
    ->Arg(0)
    ->UseRealTime()
    ->Unit(benchmark::kMillisecond)
    ->MinTime(5.0);

// Measuring one target image (a fresh normaliser each time, so that targets do not pool).
void BM_CalcStats(benchmark::State& state) {
  for (auto _ : state) {
    state.PauseTiming();
    Options options;
    options.threads = static_cast<unsigned>(state.range(0));
    CNormBimodalDeconvRVM norm(Classifier(), options);
    state.ResumeTiming();
    norm.CalcStats(Target());
    benchmark::DoNotOptimize(norm.HasUsableTarget());
  }
  bench::SetMegapixelRate(state, static_cast<double>(Target().total()));
}
BENCHMARK(BM_CalcStats)
    ->ArgName("threads")
    ->Arg(1)
    ->Arg(0)
    ->UseRealTime()
    ->Unit(benchmark::kMillisecond)
    ->MinTime(2.0);

// The steps of Norm in the same order through the same operations, each timed on its own.
enum Step { kClassify, kEstimate, kSplit, kStatistics, kFit, kMap, kRecombine, kSecondStage, kSteps };
constexpr std::array<const char*, kSteps> kStepNames = {
    "classify%", "estimate%", "split%", "statistics%", "fit%", "map%", "recombine%", "second stage%"};

using Clock = std::chrono::steady_clock;

class StepTimer {
 public:
  void Start() { start_ = Clock::now(); }
  void Stop(Step step) { Add(step, start_); }
  void Add(Step step, Clock::time_point since) {
    total_[step] += std::chrono::duration<double>(Clock::now() - since).count();
  }
  const std::array<double, kSteps>& Totals() const { return total_; }

 private:
  Clock::time_point start_;
  std::array<double, kSteps> total_{};
};

// One stage as Norm runs it: classify, estimate, then split, measure, fit, map and recombine once
// per distinct colour.
void Stage(const CNormBimodalDeconvRVM& norm, ColourClassifierBase& classifier, const cv::Mat& input,
           float probThreshold, cv::Mat& output, StepTimer* timer) {
  auto start = [&] {
    if (timer) timer->Start();
  };
  auto stop = [&](Step s) {
    if (timer) timer->Stop(s);
  };
  ClassProbabilityPlanes probs;
  start();
  const ColourTable table(input);
  classifier.ClassifyColours(input, table.Index(), probs);
  stop(kClassify);
  start();
  CColourDeconv deconv;
  deconv.Init();
  benchmark::DoNotOptimize(deconv.EstimateStainVectors(table.Index(), probs, probThreshold));
  stop(kEstimate);
  start();
  StainChannelPlanes values;
  deconv.ImageToChannels(table.Colours(), values);
  stop(kSplit);
  start();
  ChannelHistograms histograms;
  histograms.AccumulateByColour(table, values, probs, norm.Params());
  const ChannelStats stats = ComputeChannelStats(histograms);
  stop(kStatistics);
  for (std::size_t i = 0; i < 2; ++i) {
    start();
    const CubicBSpline curve = FitChannelMapping(stats.channel[i], norm.Target()[i]);
    stop(kFit);
    start();
    MapChannel(curve, values.plane[i]);
    stop(kMap);
  }
  start();
  cv::Mat mapped(table.Colours().size(), CV_8UC3);
  norm.TargetDeconv().ChannelsToImage(values, mapped);
  table.Scatter(mapped, output);
  stop(kRecombine);
}

void BM_NormSteps(benchmark::State& state) {
  const auto norm = MeasuredNormaliser();
  const auto classifier = Classifier();
  cv::Mat first(Source().size(), CV_8UC3), second(Source().size(), CV_8UC3);
  StepTimer timer;
  for (auto _ : state) {
    Stage(*norm, *classifier, Source(), norm->Params().probThreshold, first, &timer);
    const auto start = Clock::now();
    Stage(*norm, *classifier, first, 0.99f, second, nullptr);
    timer.Add(kSecondStage, start);
    benchmark::DoNotOptimize(second.data);
  }
  double total = 0.0;
  for (const double t : timer.Totals()) total += t;
  for (std::size_t s = 0; s < kSteps; ++s) state.counters[kStepNames[s]] = 100.0 * timer.Totals()[s] / total;
  bench::SetMegapixelRate(state, static_cast<double>(Source().total()));
}
BENCHMARK(BM_NormSteps)->Unit(benchmark::kMillisecond)->MinTime(5.0);

}  // namespace
}  // namespace histonorm

BENCHMARK_MAIN();
