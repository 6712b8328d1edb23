#pragma once
// The colour transform a slide is streamed through, tile by tile: a normaliser's FittedTransform, or the
// plain copy.
//
//   const auto transform = histonorm::slide::MakeTileTransform("Identity", {}, sample);
//   transform->Apply(tileIn, tileOut);
//
// Every tile of a slide goes through the same transform object, and the transform maps each pixel by its
// colour alone, so two neighbouring tiles cannot disagree on a colour and no seam can appear at a border.
#include <histonorm/fitted_transform.h>
#include <histonorm/norm_base.h>
#include <histonorm/stain_diagnostics.h>
#include <histonorm/stain_params.h>

#include <memory>
#include <opencv2/core.hpp>
#include <string>
#include <string_view>

namespace histonorm::slide {

// Copies every pixel unchanged: the plumbing's baseline (decode and re-encode).
class IdentityTransform final : public FittedTransform {
 private:
  void Transform(const cv::Mat& input, cv::Mat& output, ChannelOrder order) const override;
};

// What a normalisation method's transform is measured against: a target image or a saved target
// (one of the two), the stain method's colour model, and the threads used while measuring.
struct TransformTarget {
  cv::Mat image;               // a target image (8-bit BGR), or empty
  std::string savedPath;       // a saved target file (histonorm/saved_target.h), or empty
  std::string modelPath;       // the colour model of the stain method
  unsigned threads = 0;        // 0 = all cores
  StainParams stainParams;     // the stain method's thresholds
  DiagnosticSink diagnostics;  // what the stain method estimates while it measures; none when empty
};

// The name MakeTileTransform accepts for the plain copy.
inline constexpr std::string_view kIdentityMethod = "Identity";

// ensures: for "Identity", an IdentityTransform; for a normalisation method, MakeFittedTransform's result.
// throws:  std::invalid_argument for a name that is neither; what MakeFittedTransform throws.
[[nodiscard]] std::unique_ptr<const FittedTransform> MakeTileTransform(std::string_view method,
                                                                       const TransformTarget& target,
                                                                       const cv::Mat& bgrSample);

// The normalisation of `method` with the given target, measured once on bgrSample (CV_8UC3) and
// applicable to every tile: a function of the colour, so tiles cannot seam.
// requires: exactly one of target.image and target.savedPath is given.
// throws:  std::invalid_argument for an unknown method or a missing or double target; ModelLoadError for a
//          colour model that cannot be used; what LoadTargetFile throws for a saved target;
//          std::runtime_error when the target has no usable stain estimate.
[[nodiscard]] std::unique_ptr<const FittedTransform> MakeFittedTransform(std::string_view method,
                                                                         const TransformTarget& target,
                                                                         const cv::Mat& bgrSample);

}  // namespace histonorm::slide
