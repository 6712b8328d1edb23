#pragma once
// A normalisation measured once on a source image and applied to any pixels: the transform of a
// whole slide, measured on a sample of it and applied tile by tile.
//
//   auto norm = histonorm::MakeNormaliser(histonorm::Method::kReinhard, {});
//   norm->CalcStats(target);
//   const std::unique_ptr<const histonorm::FittedTransform> transform = norm->Fit(sample);
//   transform->Apply(tile, normalisedTile);   // any tile, from any thread
//
// Once a method has measured its source image, each output pixel depends on the input pixel's colour
// alone. A FittedTransform is that function of the colour, so tiles normalised with it fit together
// without seams, and `norm->Fit(image)->Apply(image)` gives exactly the bytes of `norm->Norm(image)`.
#include <opencv2/core.hpp>

#include "histonorm/channel_order.h"

namespace histonorm {

class FittedTransform {
 public:
  virtual ~FittedTransform() = default;
  FittedTransform(const FittedTransform&) = delete;
  FittedTransform& operator=(const FittedTransform&) = delete;

  // Writes the transformed colour of every pixel of `input` into `output`.
  // requires: `input` is CV_8UC3 and not empty; `output` has the input's size and type CV_8UC3 (its
  //   step may differ).
  // ensures: every pixel of `output` is written and nothing else of it; each output pixel depends
  //   only on the colour of the input pixel at the same place. The transform is unchanged, so
  //   several threads may apply one transform at once.
  // throws: std::invalid_argument (naming sizes and types) for an unsuitable input or output;
  //   `output` is then untouched.
  void Apply(const cv::Mat& input, cv::Mat& output) const;

  // The same into a new image of the input's size.
  [[nodiscard]] cv::Mat Apply(const cv::Mat& input) const;

  // The same for pixels stored in `order`, written in that order: with kRgb, the bytes of converting
  // the input to BGR, applying the transform and converting back, without those conversions.
  // requires, ensures, throws: as Apply(input, output).
  void Apply(const cv::Mat& input, cv::Mat& output, ChannelOrder order) const;

 protected:
  FittedTransform() = default;

 private:
  // Called with checked arguments only.
  virtual void Transform(const cv::Mat& input, cv::Mat& output, ChannelOrder order) const = 0;
};

}  // namespace histonorm
