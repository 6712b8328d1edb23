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

void CNormBimodalDeconvRVM::WriteDiagnostics(const CColourDeconv& deconv, const ColourTable* table,
                                             const StainChannelPlanes* colourValues,
                                             const std::string& ending) const {
  if (!verbose_) return;
  const std::string vectors = prefix_ + ending + ".vectors.txt";
  if (!deconv.WriteVectors(vectors)) throw DiagnosticFileError(vectors);
  const std::string pictures = prefix_ + ending + ".channels";
  if (table && !SaveChannelImages(*table, *colourValues, kChannelImageScale, pictures)) {
    throw DiagnosticFileError(pictures + ".1.jpg");
  }
}

void CNormBimodalDeconvRVM::CalcStats(const cv::Mat& image) {
  // Everything measured depends on a pixel's colour alone: work once per distinct colour.
  const ColourTable table(image);
  ClassProbabilityPlanes probs;
  classifier_->ClassifyColours(image, table.Index(), probs);
  targetDeconv_ = FreshDeconv(true);
  targetSamples_ += CollectStainSamples(table.Index(), probs, params_.probThreshold);
  targetDeconv_.BuildFromSampleSums(targetSamples_);
  targetUsable_ = targetDeconv_.IsUsable();
  if (targetUsable_) {
    StainChannelPlanes values;
    targetDeconv_.ImageToChannels(table.Colours(), values);
    WriteDiagnostics(targetDeconv_, &table, &values, ".target");
    targetHistograms_.AccumulateByColour(table, values, probs, params_.Membership());
  } else {
    // Channels from an unusable matrix mean nothing: the image adds no histogram counts.
    WriteDiagnostics(targetDeconv_, nullptr, nullptr, ".target");
  }
  const ChannelStats stats = ComputeChannelStats(targetHistograms_);
  for (int i = 0; i < 2; ++i) {
    PrintChannelStatsLines("TImage Channel(", i, stats.channel[i]);
    target_[i] = TargetStatsOf(stats.channel[i]);
  }
}

void CNormBimodalDeconvRVM::RemapStage(const ColourTable& table, const ClassProbabilityPlanes& probs,
                                       const CColourDeconv& deconv, const Stage& stage,
                                       cv::Mat& output) const {
  // Channel values, their mapping and their recombination depend only on a pixel's colour.
  StainChannelPlanes values;
  deconv.ImageToChannels(table.Colours(), values);
  if (stage.diagnostics) WriteDiagnostics(deconv, &table, &values, ".mapped");
  ChannelHistograms histograms;
  histograms.AccumulateByColour(table, values, probs, params_.Membership());
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
  // Each stage works on one colour index of its image, with probabilities per distinct colour; the
  // first stage's index is gone before the second stage's is made.
  {
    const ColourTable inputColours(input);
    ClassProbabilityPlanes probs;
    classifier_->ClassifyColours(input, inputColours.Index(), probs);
    CColourDeconv deconv = FreshDeconv(true);
    if (!deconv.EstimateStainVectors(inputColours.Index(), probs, params_.probThreshold)) {
      WriteDiagnostics(deconv, nullptr, nullptr, ".mapped");
      std::cerr << "Stain estimation failed, image copied unchanged" << std::endl;
      input.copyTo(output);
      return;
    }
    RemapStage(inputColours, probs, deconv, {"Image Channel(", StatsLines::kAfterFit, true}, output);
  }

  // Second stage: measure the first stage's result with default settings and correct it once more.
  CColourDeconv deconv = FreshDeconv(false);
  const ColourTable outputColours(output);
  ClassProbabilityPlanes probs;
  classifier_->ClassifyColours(output, outputColours.Index(), probs);
  if (!deconv.EstimateStainVectors(outputColours.Index(), probs, kSecondStageProbThreshold)) {
    std::cerr << "Stain estimation failed in the second stage, first stage result kept" << std::endl;
    return;
  }
  RemapStage(outputColours, probs, deconv, {"[2nd stage] Image Channel(", StatsLines::kBeforeFit, false},
             output);
}

}  // namespace histonorm
