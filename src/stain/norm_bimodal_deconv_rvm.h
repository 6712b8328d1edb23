#pragma once
// The stain-specific normaliser: remaps the two stain channels of an image so that their per-class
// statistics match the target's, then recombines them with the target's stain matrix.
//
// A pixel classifier gives every pixel the probabilities of stain 0, stain 1 and background; the
// image's own stain vectors are estimated from its most confidently classified pixels and the
// image is split into three stain channels. Channels 0 and 1 are measured per class (stain,
// background, other), each is mapped through a curve fitted from its statistics to the target's,
// and the channels are turned back into colours with the target's stain matrix. A second stage
// measures that result and corrects it once more.
//
// Several target images are pooled: their class histograms and their selected stain samples are
// added up, and the target statistics and stain matrix always describe all target images so far.
//
// Norm requires a usable target (HasUsableTarget); it writes every output pixel and changes nothing
// of the normaliser (the classifier keeps nothing of the images it classifies), so threads may
// share one normaliser. When the image's own stain estimate is unusable (a stain class without samples,
// a matrix that is not finite) the input is copied to the output unchanged. Lines go to the
// options' log (or the call's sinks); with a diagnostic sink, each CalcStats and the first stage of
// each Norm hand it the stain vectors and channel pictures (stage ".target" and ".mapped").
#include <array>
#include <istream>
#include <memory>
#include <optional>
#include <string>

#include "classifier/colour_classifier.h"
#include "deconv/colour_deconv.h"
#include "deconv/stain_samples.h"
#include "histonorm/norm_base.h"
#include "histonorm/options.h"
#include "histonorm/stain_params.h"
#include "stain/channel_mapping.h"
#include "stain/channel_stats.h"
#include "stain/colour_table.h"
#include "stain/od_stain_params.h"
#include "stain/stain_transform.h"

namespace histonorm {

class CNormBimodalDeconvRVM final : public CNormBase {
 public:
  // Reads the colour model file options.colourModelPath, logging its lines; throws ModelLoadError
  // when it cannot be used, std::invalid_argument for invalid options.stainParams. Calls use
  // options.threads.
  explicit CNormBimodalDeconvRVM(const Options& options);
  // Uses the given classifier (which must not be null; it logs where it was told to, or to the
  // call's log). Saved targets name the method `method` ("BimodalDeconvPCA" for the classifier
  // from optical densities). With `glass`, each stage gives glass colours their own bytes back
  // (stain/od_stain.h KeepGlass); without, nothing is kept.
  explicit CNormBimodalDeconvRVM(std::unique_ptr<ColourClassifierBase> classifier,
                                 const Options& options = {}, const char* method = "BimodalDeconvRVM",
                                 std::optional<OdStainParams> glass = std::nullopt);

  [[nodiscard]] const StainParams& Params() const { return params_; }
  // Threads each CalcStats and Norm call may use (0 = all cores): Options::threads.
  [[nodiscard]] unsigned Threads() const { return threads_; }
  // Target statistics of stain channels 0 and 1.
  [[nodiscard]] const std::array<TargetChannelStats, 2>& Target() const { return target_; }
  [[nodiscard]] const CColourDeconv& TargetDeconv() const { return targetDeconv_; }

 private:
  // How one remapping stage logs and whether it hands out its diagnostics.
  struct Stage {
    const char* label;
    StatsLines lines;
    bool diagnostics;
  };

  // The method works on blue-green-red pixels: others are converted before and after.
  void MeasureTarget(const cv::Mat& image, ChannelOrder order) override;
  void Normalise(const cv::Mat& input, cv::Mat& output, ChannelOrder order,
                 const CallSinks& sinks) const override;
  void MeasureBgrTarget(const cv::Mat& image);
  void NormaliseBgr(const cv::Mat& input, cv::Mat& output, const CallSinks& sinks) const;
  [[nodiscard]] std::unique_ptr<const FittedTransform> FitSource(const cv::Mat& source,
                                                                 const CallSinks& sinks) const override;
  [[nodiscard]] bool TargetReady() const override { return targetUsable_; }
  [[nodiscard]] std::unique_ptr<CNormBase> CopyOf() const override {
    return std::unique_ptr<CNormBase>(new CNormBimodalDeconvRVM(*this));
  }
  // The pooled class histograms and stain sample sums, with the colour model's size and SHA-256
  // (stain_saved_target.cpp).
  void ExportTarget(detail::TargetRecord& record) const override;
  void ImportTarget(const detail::TargetRecord& record) override;

  // Normalises with the image's own stain estimate and gives the colour table of the result; writes
  // the result to `output` unless the classifier reads colour indices alone (then the second stage
  // writes it). Nothing (output untouched) when the estimate is unusable.
  // With `fitted`, the stage's stain matrix and curves are kept there.
  std::optional<ColourTable> FirstStage(const cv::Mat& input, cv::Mat& output, const CallSinks& sinks,
                                        std::optional<FittedStage>* fitted = nullptr) const;
  // Measures the first stage's result (whose colour table is `outputColours`) with the default
  // thresholds and corrects it, writing the final result to `output`.
  // With `fitted`, the stage is kept there when it is used.
  void SecondStage(const ColourTable& outputColours, cv::Mat& output, const CallSinks& sinks,
                   std::optional<FittedStage>* fitted = nullptr) const;
  // Splits the colours of `table`'s image with `deconv`, measures stain channels 0 and 1 (with the
  // per-colour probabilities `probs`), maps them onto the target and recombines the channels with
  // the target's stain matrix: the result for each colour of the table, as a 1 x Size() image.
  [[nodiscard]] cv::Mat RemapStage(const ColourTable& table, const ClassProbabilityPlanes& probs,
                                   const CColourDeconv& deconv, const Stage& stage, const CallSinks& sinks,
                                   std::optional<FittedStage>* fitted = nullptr) const;
  // A fresh stain model logging to `log` for this normaliser's threads, whose dot product
  // correction stops at `dotProductThreshold`.
  [[nodiscard]] CColourDeconv FreshDeconv(float dotProductThreshold, const LogSink& log) const;
  // How the classifier is asked to classify: this normaliser's threads, the target's stain
  // directions once there are any, lines to `log`.
  [[nodiscard]] ClassifySettings Classify(const LogSink& log) const;
  // Hands the vectors and, given a table, the channel pictures from per-colour channel values to
  // the diagnostic sink, if there is one; given the image's channel statistics, also the curves the
  // stage fits from them.
  void HandDiagnostics(const DiagnosticSink& sink, const CColourDeconv& deconv, const ColourTable* table,
                       const StainChannelPlanes* colourValues, const char* stage,
                       const ChannelStats* stats = nullptr) const;

  StainParams params_;
  unsigned threads_;
  std::optional<OdStainParams> glass_;
  const char* method_;
  std::string modelPath_;  // the colour model file, when the normaliser read one
  std::shared_ptr<const ColourClassifierBase> classifier_;  // shared by copies: it never changes

  // The pooled target.
  ChannelHistograms targetHistograms_;
  StainSampleSums targetSamples_;
  std::array<TargetChannelStats, 2> target_{};
  CColourDeconv targetDeconv_;
  bool targetUsable_ = false;
};

}  // namespace histonorm
