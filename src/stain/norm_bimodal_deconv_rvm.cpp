#include "stain/norm_bimodal_deconv_rvm.h"

#include <iostream>
#include <stdexcept>
#include <utility>

#include "stain/channel_images.h"
#include "stain/colour_table.h"

namespace histonorm {

namespace {

// The second stage always selects stain samples at this probability, whatever the parameters say.
constexpr float kSecondStageProbThreshold = 0.99f;
// Diagnostic channel pictures are written unscaled.
constexpr float kChannelImageScale = 1.0f;

}  // namespace

CNormBimodalDeconvRVM::CNormBimodalDeconvRVM(const std::string& colourModelPath)
    : CNormBimodalDeconvRVM(std::make_unique<ColourClassifier_RVM_PCAVQ>(colourModelPath)) {}

CNormBimodalDeconvRVM::CNormBimodalDeconvRVM(std::unique_ptr<ColourClassifierBase> classifier)
    : classifier_(std::move(classifier)) {
  if (!classifier_) throw std::invalid_argument("stain normaliser: no colour classifier");
  targetDeconv_.Init();
}

void CNormBimodalDeconvRVM::ReadParams(std::istream& in) {
  params_.Read(in);
  paramsLoaded_ = true;
}

void CNormBimodalDeconvRVM::SetVerbose(const std::string& prefix) {
  verbose_ = true;
  prefix_ = prefix;
}

CColourDeconv CNormBimodalDeconvRVM::FreshDeconv(bool withParams) const {
  CColourDeconv deconv;
  deconv.Init();
  if (withParams && paramsLoaded_) deconv.dotProductThreshold = params_.dotProductThreshold;
  return deconv;
}

void CNormBimodalDeconvRVM::WriteDiagnostics(const CColourDeconv& deconv, const StainChannelPlanes* channels,
                                             const std::string& ending) const {
  if (!verbose_) return;
  const std::string vectors = prefix_ + ending + ".vectors.txt";
  if (!deconv.WriteVectors(vectors)) throw DiagnosticFileError(vectors);
  const std::string pictures = prefix_ + ending + ".channels";
  if (channels && !SaveChannelImages(*channels, kChannelImageScale, pictures)) {
    throw DiagnosticFileError(pictures + ".1.jpg");
  }
}

void CNormBimodalDeconvRVM::CalcStats(const cv::Mat& image) {
  Planes p;
  classifier_->ClassifyImage(image, p.probs);
  targetDeconv_ = FreshDeconv(true);
  targetSamples_ += CollectStainSamples(image, p.probs, params_.probThreshold);
  targetDeconv_.BuildFromSampleSums(targetSamples_);
  targetUsable_ = targetDeconv_.IsUsable();
  if (targetUsable_) {
    targetDeconv_.ImageToChannels(image, p.channels);
    WriteDiagnostics(targetDeconv_, &p.channels, ".target");
    targetHistograms_.Accumulate(image, p.channels, p.probs, params_.Membership());
  } else {
    // Channels from an unusable matrix mean nothing: the image adds no histogram counts.
    WriteDiagnostics(targetDeconv_, nullptr, ".target");
  }
  const ChannelStats stats = ComputeChannelStats(targetHistograms_);
  for (int i = 0; i < 2; ++i) {
    PrintChannelStatsLines("TImage Channel(", i, stats.channel[i]);
    target_[i] = TargetStatsOf(stats.channel[i]);
  }
}

void CNormBimodalDeconvRVM::RemapStage(const cv::Mat& image, const ColourTable& table,
                                       const ClassProbabilityPlanes& probs, const CColourDeconv& deconv,
                                       const Stage& stage, cv::Mat& output) const {
  // Channel values, their mapping and their recombination depend only on a pixel's colour.
  StainChannelPlanes values;
  deconv.ImageToChannels(table.Colours(), values);
  if (stage.diagnostics && verbose_) {
    StainChannelPlanes channels;
    table.Gather(values, channels);
    WriteDiagnostics(deconv, &channels, ".mapped");
  }
  ChannelHistograms histograms;
  histograms.AccumulateByColour(image, table, values, probs, params_.Membership());
  const ChannelStats stats = ComputeChannelStats(histograms);
  RemapStainChannels(stats, target_, values, stage.label, stage.lines);
  cv::Mat mapped(table.Colours().size(), CV_8UC3);
  targetDeconv_.ChannelsToImage(values, mapped);
  table.Scatter(mapped, output);
}

void CNormBimodalDeconvRVM::Norm(const cv::Mat& input, cv::Mat& output) {
  if (!targetUsable_) throw std::logic_error("stain normaliser: Norm without a usable target stain estimate");
  if (output.size() != input.size() || output.type() != input.type()) {
    throw std::invalid_argument("stain normaliser: output must have the input's size and type");
  }
  if (input.empty()) return;
  // One colour index per stage serves the classifier and the per-colour remapping.
  const ColourTable inputColours(input);
  ClassProbabilityPlanes probs;
  classifier_->ClassifyImage(input, inputColours.Index(), probs);
  CColourDeconv deconv = FreshDeconv(true);
  if (!deconv.EstimateStainVectors(input, probs, params_.probThreshold)) {
    WriteDiagnostics(deconv, nullptr, ".mapped");
    std::cerr << "Stain estimation failed, image copied unchanged" << std::endl;
    input.copyTo(output);
    return;
  }
  RemapStage(input, inputColours, probs, deconv, {"Image Channel(", StatsLines::kAfterFit, true}, output);

  // Second stage: measure the first stage's result with default settings and correct it once more.
  deconv = FreshDeconv(false);
  const ColourTable outputColours(output);
  classifier_->ClassifyImage(output, outputColours.Index(), probs);
  if (!deconv.EstimateStainVectors(output, probs, kSecondStageProbThreshold)) {
    std::cerr << "Stain estimation failed in the second stage, first stage result kept" << std::endl;
    return;
  }
  RemapStage(output, outputColours, probs, deconv,
             {"[2nd stage] Image Channel(", StatsLines::kBeforeFit, false}, output);
}

}  // namespace histonorm
