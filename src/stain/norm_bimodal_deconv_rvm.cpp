#include "stain/norm_bimodal_deconv_rvm.h"

#include <stdexcept>
#include <utility>

#include "common/log_line.h"
#include "stain/channel_images.h"
#include "stain/colour_table.h"
#include "stain/od_stain.h"
#include "stain/stain_transform.h"

namespace histonorm {

namespace {

// The second stage always selects stain samples at the default probability, whatever the parameters say.
constexpr float kSecondStageProbThreshold = StainParams{}.probThreshold;
// Diagnostic channel pictures are made unscaled.
constexpr float kChannelImageScale = 1.0f;
// The largest channel value the mapping curves take (MapStainChannelValue maps larger ones as this).
constexpr int kChannelValueLimit = 500;

const StainParams& Checked(const StainParams& params) {
  const std::string problem = StainParamsProblem(params);
  if (!problem.empty()) throw std::invalid_argument("stain normaliser: stain thresholds: " + problem);
  return params;
}

}  // namespace

CNormBimodalDeconvRVM::CNormBimodalDeconvRVM(const Options& options)
    : CNormBimodalDeconvRVM(
          std::make_unique<ColourClassifier_RVM_PCAVQ>(options.colourModelPath, options.log), options) {}

CNormBimodalDeconvRVM::CNormBimodalDeconvRVM(std::unique_ptr<ColourClassifierBase> classifier,
                                             const Options& options, const char* method,
                                             std::optional<OdStainParams> glass)
    : CNormBase({options.log, options.diagnostics}),
      params_(Checked(options.stainParams)),
      threads_(options.threads),
      glass_(glass),
      method_(method),
      modelPath_(options.colourModelPath),
      classifier_(std::move(classifier)),
      targetDeconv_(options.log, params_.dotProductThreshold, threads_) {
  if (!classifier_) throw std::invalid_argument("stain normaliser: no colour classifier");
}

CColourDeconv CNormBimodalDeconvRVM::FreshDeconv(float dotProductThreshold, const LogSink& log) const {
  return CColourDeconv(log, dotProductThreshold, threads_);
}

ClassifySettings CNormBimodalDeconvRVM::Classify(const LogSink& log) const {
  ClassifySettings settings{threads_, std::nullopt, &log};
  if (!targetUsable_) return settings;
  StainDirections stains{};
  for (std::size_t k = 0; k < 2; ++k) {
    for (std::size_t i = 0; i < 3; ++i) stains[k][i] = static_cast<float>(targetDeconv_.RawStains()[i][k]);
  }
  settings.referenceStains = stains;
  return settings;
}

void CNormBimodalDeconvRVM::HandDiagnostics(const DiagnosticSink& sink, const CColourDeconv& deconv,
                                            const ColourTable* table, const StainChannelPlanes* colourValues,
                                            const char* stage, const ChannelStats* stats) const {
  if (!sink) return;
  StainDiagnostics d{stage, deconv.VectorsText(), {}};
  if (table) d.channels = ChannelPictures(*table, *colourValues, kChannelImageScale);
  for (std::size_t k = 0; stats != nullptr && k < 2; ++k) {
    // The curve RemapStainChannels fits, without its lines.
    CubicBSpline curve = FitChannelMapping(stats->channel[k], target_[k]);
    if (glass_) MakeNonDecreasing(curve);
    for (int value = 0; value <= kChannelValueLimit; value += kCurveSampleStep)
      d.curves[k].push_back(MapStainChannelValue(curve, static_cast<float>(value)));
  }
  sink(d);
}

void CNormBimodalDeconvRVM::MeasureTarget(const cv::Mat& image, ChannelOrder order) {
  MeasureBgrTarget(ToBgr(image, order));
}

void CNormBimodalDeconvRVM::MeasureBgrTarget(const cv::Mat& image) {
  const CallSinks& sinks = OwnSinks();
  // Everything measured depends on a pixel's colour alone: work once per distinct colour.
  const ColourTable table(image, threads_);
  ClassProbabilityPlanes probs;
  static_cast<void>(classifier_->ClassifyColours(image, table.Index(), probs, Classify(sinks.log)));
  targetDeconv_ = FreshDeconv(params_.dotProductThreshold, sinks.log);
  targetSamples_ += CollectStainSamples(table.Index(), probs, params_.probThreshold, sinks.log, threads_);
  targetDeconv_.BuildFromSampleSums(targetSamples_);
  targetUsable_ = targetDeconv_.IsUsable();
  if (targetUsable_) {
    StainChannelPlanes values;
    targetDeconv_.ImageToChannels(table.Colours(), values);
    HandDiagnostics(sinks.diagnostics, targetDeconv_, &table, &values, ".target");
    targetHistograms_.AccumulateByColour(table, values, probs, params_, threads_);
  } else {
    // Channels from an unusable matrix mean nothing: the image adds no histogram counts.
    HandDiagnostics(sinks.diagnostics, targetDeconv_, nullptr, nullptr, ".target");
  }
  const ChannelStats stats = ComputeChannelStats(targetHistograms_, sinks.log);
  for (int i = 0; i < 2; ++i) {
    LogChannelStatsLines(sinks.log, "TImage Channel(", i, stats.channel[i]);
    target_[i] = TargetStatsOf(stats.channel[i]);
  }
}

cv::Mat CNormBimodalDeconvRVM::RemapStage(const ColourTable& table, const ClassProbabilityPlanes& probs,
                                          const CColourDeconv& deconv, const Stage& stage,
                                          const CallSinks& sinks, std::optional<FittedStage>* fitted) const {
  // Channel values, their mapping and their recombination depend only on a pixel's colour.
  StainChannelPlanes values;
  deconv.ImageToChannels(table.Colours(), values);
  ChannelHistograms histograms;
  histograms.AccumulateByColour(table, values, probs, params_, threads_);
  const ChannelStats stats = ComputeChannelStats(histograms, sinks.log);
  if (stage.diagnostics) HandDiagnostics(sinks.diagnostics, deconv, &table, &values, ".mapped", &stats);
  const std::array<CubicBSpline, 2> curves = RemapStainChannels(
      stats, target_, values, stage.label, stage.lines, sinks.log, threads_, glass_.has_value());
  if (fitted != nullptr) fitted->emplace(FittedStage{deconv, curves, glass_});
  cv::Mat mapped(table.Colours().size(), CV_8UC3);
  Recombine(values, deconv, targetDeconv_, glass_, mapped);
  if (glass_) histonorm::KeepGlass(table.Colours(), mapped, *glass_, threads_);
  return mapped;
}

std::optional<ColourTable> CNormBimodalDeconvRVM::FirstStage(const cv::Mat& input, cv::Mat& output,
                                                             const CallSinks& sinks,
                                                             std::optional<FittedStage>* fitted) const {
  // Each stage works on one colour index of its image, with probabilities per distinct colour. The
  // result's index is made from the input's, in its memory (each input colour maps to one output
  // colour), without indexing the result's pixels again.
  ColourTable inputColours(input, threads_);
  ClassProbabilityPlanes probs;
  static_cast<void>(classifier_->ClassifyColours(input, inputColours.Index(), probs, Classify(sinks.log)));
  CColourDeconv deconv = FreshDeconv(params_.dotProductThreshold, sinks.log);
  if (!deconv.EstimateStainVectors(inputColours.Index(), probs, params_.probThreshold)) {
    HandDiagnostics(sinks.diagnostics, deconv, nullptr, nullptr, ".mapped");
    return std::nullopt;
  }
  const cv::Mat mapped =
      RemapStage(inputColours, probs, deconv, {"Image Channel(", StatsLines::kAfterFit, true}, sinks, fitted);
  // A classifier that reads only the colour index needs no picture of the first stage's result.
  if (!classifier_->ClassifiesIndexAlone()) inputColours.Scatter(mapped, output, threads_);
  return std::optional<ColourTable>(std::in_place, std::move(inputColours), mapped, threads_);
}

void CNormBimodalDeconvRVM::SecondStage(const ColourTable& outputColours, cv::Mat& output,
                                        const CallSinks& sinks, std::optional<FittedStage>* fitted) const {
  CColourDeconv deconv = FreshDeconv(StainParams{}.dotProductThreshold, sinks.log);
  ClassProbabilityPlanes probs;
  // The first stage rebuilt the colours with the target's stain matrix.
  static_cast<void>(
      classifier_->ClassifyRebuiltColours(output, outputColours.Index(), probs, Classify(sinks.log)));
  if (!deconv.EstimateStainVectors(outputColours.Index(), probs, kSecondStageProbThreshold)) {
    sinks.log.Line("Stain estimation failed in the second stage, first stage result kept");
    if (classifier_->ClassifiesIndexAlone()) outputColours.Scatter(outputColours.Colours(), output, threads_);
    return;
  }
  const cv::Mat mapped =
      RemapStage(outputColours, probs, deconv, {"[2nd stage] Image Channel(", StatsLines::kBeforeFit, false},
                 sinks, fitted);
  outputColours.Scatter(mapped, output, threads_);
}

void CNormBimodalDeconvRVM::Normalise(const cv::Mat& input, cv::Mat& output, ChannelOrder order,
                                      const CallSinks& sinks) const {
  if (order == ChannelOrder::kBgr) {
    NormaliseBgr(input, output, sinks);
    return;
  }
  cv::Mat result(input.size(), CV_8UC3);
  NormaliseBgr(ToBgr(input, order), result, sinks);
  FromBgr(result, output, order);
}

void CNormBimodalDeconvRVM::NormaliseBgr(const cv::Mat& input, cv::Mat& output,
                                         const CallSinks& sinks) const {
  const std::optional<ColourTable> firstResult = FirstStage(input, output, sinks);
  if (!firstResult) {
    sinks.log.Line("Stain estimation failed, image copied unchanged");
    input.copyTo(output);
    return;
  }
  SecondStage(*firstResult, output, sinks);
}

std::unique_ptr<const FittedTransform> CNormBimodalDeconvRVM::FitSource(const cv::Mat& source,
                                                                        const CallSinks& sinks) const {
  // Both stages are measured as Norm measures them, the second on the first stage's result.
  cv::Mat result(source.size(), CV_8UC3);
  std::optional<FittedStage> first;
  std::optional<FittedStage> second;
  const std::optional<ColourTable> firstResult = FirstStage(source, result, sinks, &first);
  if (!firstResult) {
    sinks.log.Line("Stain estimation failed, image copied unchanged");
  } else {
    SecondStage(*firstResult, result, sinks, &second);
  }
  return std::make_unique<StainTransform>(targetDeconv_, std::move(first), std::move(second));
}

}  // namespace histonorm
