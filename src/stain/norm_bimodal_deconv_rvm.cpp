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

// A fresh stain model, ready for an estimate, whose dot product correction stops at `dotProductThreshold`.
CColourDeconv InitialisedDeconv(const LogSink& log, float dotProductThreshold) {
  CColourDeconv deconv(log);
  deconv.Init();
  deconv.dotProductThreshold = dotProductThreshold;
  return deconv;
}

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
                                             const Options& options, const char* method)
    : params_(Checked(options.stainParams)),
      method_(method),
      modelPath_(options.colourModelPath),
      log_(options.log),
      diagnostics_(options.diagnostics),
      classifier_(std::move(classifier)),
      targetDeconv_(InitialisedDeconv(log_, params_.dotProductThreshold)) {
  if (!classifier_) throw std::invalid_argument("stain normaliser: no colour classifier");
}

void CNormBimodalDeconvRVM::ReadParams(std::istream& in) {
  ReadStainParams(in, params_);
  LogStainParams(log_, params_);
}

CColourDeconv CNormBimodalDeconvRVM::FreshDeconv(float dotProductThreshold) const {
  CColourDeconv deconv = InitialisedDeconv(log_, dotProductThreshold);
  deconv.threads = threads_;
  return deconv;
}

void CNormBimodalDeconvRVM::ShareTargetStains() const {
  if (!targetUsable_) return;
  std::array<std::array<float, 3>, 2> stains{};
  for (std::size_t k = 0; k < 2; ++k) {
    for (std::size_t i = 0; i < 3; ++i) stains[k][i] = static_cast<float>(targetDeconv_.RawStains()[i][k]);
  }
  classifier_->SetReferenceStains(stains);
}

void CNormBimodalDeconvRVM::HandDiagnostics(const CColourDeconv& deconv, const ColourTable* table,
                                            const StainChannelPlanes* colourValues, const char* stage,
                                            const ChannelStats* stats) const {
  if (!diagnostics_) return;
  StainDiagnostics d{stage, deconv.VectorsText(), {}};
  if (table) d.channels = ChannelPictures(*table, *colourValues, kChannelImageScale);
  for (std::size_t k = 0; stats != nullptr && k < 2; ++k) {
    // The curve RemapStainChannels fits, without its lines.
    const CubicBSpline curve = FitChannelMapping(stats->channel[k], target_[k]);
    for (int value = 0; value <= kChannelValueLimit; value += kCurveSampleStep)
      d.curves[k].push_back(MapStainChannelValue(curve, static_cast<float>(value)));
  }
  diagnostics_(d);
}

void CNormBimodalDeconvRVM::MeasureTarget(const cv::Mat& image, ChannelOrder order) {
  MeasureBgrTarget(ToBgr(image, order));
}

void CNormBimodalDeconvRVM::MeasureBgrTarget(const cv::Mat& image) {
  // Everything measured depends on a pixel's colour alone: work once per distinct colour.
  const ColourTable table(image, threads_);
  ClassProbabilityPlanes probs;
  classifier_->SetThreads(threads_);
  classifier_->ClassifyColours(image, table.Index(), probs);
  targetDeconv_ = FreshDeconv(params_.dotProductThreshold);
  targetSamples_ += CollectStainSamples(table.Index(), probs, params_.probThreshold, log_, threads_);
  targetDeconv_.BuildFromSampleSums(targetSamples_);
  targetUsable_ = targetDeconv_.IsUsable();
  if (targetUsable_) {
    StainChannelPlanes values;
    targetDeconv_.ImageToChannels(table.Colours(), values);
    HandDiagnostics(targetDeconv_, &table, &values, ".target");
    targetHistograms_.AccumulateByColour(table, values, probs, params_, threads_);
  } else {
    // Channels from an unusable matrix mean nothing: the image adds no histogram counts.
    HandDiagnostics(targetDeconv_, nullptr, nullptr, ".target");
  }
  const ChannelStats stats = ComputeChannelStats(targetHistograms_, log_);
  for (int i = 0; i < 2; ++i) {
    LogChannelStatsLines(log_, "TImage Channel(", i, stats.channel[i]);
    target_[i] = TargetStatsOf(stats.channel[i]);
  }
  ShareTargetStains();
}

cv::Mat CNormBimodalDeconvRVM::RemapStage(const ColourTable& table, const ClassProbabilityPlanes& probs,
                                          const CColourDeconv& deconv, const Stage& stage,
                                          std::optional<FittedStage>* fitted) const {
  // Channel values, their mapping and their recombination depend only on a pixel's colour.
  StainChannelPlanes values;
  deconv.ImageToChannels(table.Colours(), values);
  ChannelHistograms histograms;
  histograms.AccumulateByColour(table, values, probs, params_, threads_);
  const ChannelStats stats = ComputeChannelStats(histograms, log_);
  if (stage.diagnostics) HandDiagnostics(deconv, &table, &values, ".mapped", &stats);
  const std::array<CubicBSpline, 2> curves = RemapStainChannels(
      stats, target_, values, stage.label, stage.lines, log_, threads_, glass_.has_value());
  if (fitted != nullptr) fitted->emplace(FittedStage{deconv, curves, glass_});
  cv::Mat mapped(table.Colours().size(), CV_8UC3);
  CColourDeconv recombine = targetDeconv_;
  recombine.threads = threads_;
  Recombine(values, deconv, recombine, glass_, mapped);
  if (glass_) histonorm::KeepGlass(table.Colours(), mapped, *glass_, threads_);
  return mapped;
}

std::optional<ColourTable> CNormBimodalDeconvRVM::FirstStage(const cv::Mat& input, cv::Mat& output,
                                                             std::optional<FittedStage>* fitted) const {
  // Each stage works on one colour index of its image, with probabilities per distinct colour. The
  // result's index is made from the input's, in its memory (each input colour maps to one output
  // colour), without indexing the result's pixels again.
  ColourTable inputColours(input, threads_);
  ClassProbabilityPlanes probs;
  classifier_->ClassifyColours(input, inputColours.Index(), probs);
  CColourDeconv deconv = FreshDeconv(params_.dotProductThreshold);
  if (!deconv.EstimateStainVectors(inputColours.Index(), probs, params_.probThreshold)) {
    HandDiagnostics(deconv, nullptr, nullptr, ".mapped");
    return std::nullopt;
  }
  const cv::Mat mapped =
      RemapStage(inputColours, probs, deconv, {"Image Channel(", StatsLines::kAfterFit, true}, fitted);
  // A classifier that reads only the colour index needs no picture of the first stage's result.
  if (!classifier_->ClassifiesIndexAlone()) inputColours.Scatter(mapped, output, threads_);
  return std::optional<ColourTable>(std::in_place, std::move(inputColours), mapped, threads_);
}

void CNormBimodalDeconvRVM::SecondStage(const ColourTable& outputColours, cv::Mat& output,
                                        std::optional<FittedStage>* fitted) const {
  CColourDeconv deconv = FreshDeconv(StainParams{}.dotProductThreshold);
  ClassProbabilityPlanes probs;
  // The first stage rebuilt the colours with the target's stain matrix.
  classifier_->ClassifyRebuiltColours(output, outputColours.Index(), probs);
  if (!deconv.EstimateStainVectors(outputColours.Index(), probs, kSecondStageProbThreshold)) {
    log_.Line("Stain estimation failed in the second stage, first stage result kept");
    if (classifier_->ClassifiesIndexAlone()) outputColours.Scatter(outputColours.Colours(), output, threads_);
    return;
  }
  const cv::Mat mapped = RemapStage(outputColours, probs, deconv,
                                    {"[2nd stage] Image Channel(", StatsLines::kBeforeFit, false}, fitted);
  outputColours.Scatter(mapped, output, threads_);
}

void CNormBimodalDeconvRVM::Normalise(const cv::Mat& input, cv::Mat& output, ChannelOrder order) {
  if (order == ChannelOrder::kBgr) {
    NormaliseBgr(input, output);
    return;
  }
  cv::Mat result(input.size(), CV_8UC3);
  NormaliseBgr(ToBgr(input, order), result);
  FromBgr(result, output, order);
}

void CNormBimodalDeconvRVM::NormaliseBgr(const cv::Mat& input, cv::Mat& output) {
  classifier_->SetThreads(threads_);
  const std::optional<ColourTable> firstResult = FirstStage(input, output);
  if (!firstResult) {
    log_.Line("Stain estimation failed, image copied unchanged");
    input.copyTo(output);
    return;
  }
  SecondStage(*firstResult, output);
}

std::unique_ptr<const FittedTransform> CNormBimodalDeconvRVM::FitSource(const cv::Mat& source) {
  // Both stages are measured as Norm measures them, the second on the first stage's result.
  classifier_->SetThreads(threads_);
  cv::Mat result(source.size(), CV_8UC3);
  std::optional<FittedStage> first;
  std::optional<FittedStage> second;
  const std::optional<ColourTable> firstResult = FirstStage(source, result, &first);
  if (!firstResult) {
    log_.Line("Stain estimation failed, image copied unchanged");
  } else {
    SecondStage(*firstResult, result, &second);
  }
  return std::make_unique<StainTransform>(targetDeconv_, std::move(first), std::move(second));
}

}  // namespace histonorm
