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
// CalcStats requires an 8-bit 3-channel BGR image. Norm requires a usable target (HasUsableTarget)
// and an output of the input's size and type (it throws otherwise); it writes every output pixel and changes
// nothing of the normaliser. When the image's own stain estimate is unusable (a stain class without samples,
// a matrix that is not finite) the input is copied to the output unchanged.
#include <array>
#include <istream>
#include <memory>
#include <stdexcept>
#include <string>

#include "classifier/colour_classifier.h"
#include "deconv/colour_deconv.h"
#include "deconv/stain_samples.h"
#include "norm/norm_base.h"
#include "stain/channel_mapping.h"
#include "stain/channel_stats.h"
#include "stain/colour_table.h"
#include "stain/stain_params.h"

namespace histonorm {

// A diagnostic file of verbose mode that could not be written; what() is its path.
class DiagnosticFileError : public std::runtime_error {
 public:
  using std::runtime_error::runtime_error;
};

class CNormBimodalDeconvRVM final : public CNormBase {
 public:
  // Reads the colour model file; throws ModelLoadError when it cannot be used.
  explicit CNormBimodalDeconvRVM(const std::string& colourModelPath);
  // Uses the given classifier (which must not be null).
  explicit CNormBimodalDeconvRVM(std::unique_ptr<ColourClassifierBase> classifier);

  // Reads the six thresholds from a parameters file and prints them.
  void ReadParams(std::istream& in);
  // Turns on the diagnostic files, named from `prefix` (a copy is kept). CalcStats and Norm then
  // throw DiagnosticFileError when one of them cannot be written.
  void SetVerbose(const std::string& prefix);

  void CalcStats(const cv::Mat& image) override;
  void Norm(const cv::Mat& input, cv::Mat& output) override;

  // True once a target has been measured whose pooled stain estimate can transform images.
  bool HasUsableTarget() const { return targetUsable_; }

  const StainParams& Params() const { return params_; }
  bool ParamsLoaded() const { return paramsLoaded_; }
  bool Verbose() const { return verbose_; }
  const std::string& Prefix() const { return prefix_; }
  // Target statistics of stain channels 0 and 1.
  const std::array<TargetChannelStats, 2>& Target() const { return target_; }
  const CColourDeconv& TargetDeconv() const { return targetDeconv_; }

 private:
  // How one remapping stage prints and whether it writes the diagnostic files.
  struct Stage {
    const char* label;
    StatsLines lines;
    bool diagnostics;
  };

  CColourDeconv FreshDeconv(bool withParams) const;
  // Splits the colours of `table`'s image with `deconv`, measures stain channels 0 and 1 (with the
  // per-colour probabilities `probs`), maps them onto the target and recombines the channels with
  // the target's stain matrix into `output` (which may be the table's image).
  void RemapStage(const ColourTable& table, const ClassProbabilityPlanes& probs, const CColourDeconv& deconv,
                  const Stage& stage, cv::Mat& output) const;
  // Writes the vectors and, given a table, the channel pictures from per-colour channel values.
  void WriteDiagnostics(const CColourDeconv& deconv, const ColourTable* table,
                        const StainChannelPlanes* colourValues, const std::string& ending) const;

  StainParams params_;
  bool paramsLoaded_ = false;
  std::unique_ptr<ColourClassifierBase> classifier_;

  // The pooled target.
  ChannelHistograms targetHistograms_;
  StainSampleSums targetSamples_;
  std::array<TargetChannelStats, 2> target_{};
  CColourDeconv targetDeconv_;
  bool targetUsable_ = false;

  bool verbose_ = false;
  std::string prefix_;
};

}  // namespace histonorm
