#pragma once
// The colour transform a slide is streamed through, tile by tile.
//
//   const auto transform = histonorm::slide::MakeTileTransform("Identity", {}, sample);
//   transform->Apply(tileIn, tileOut);
//
// Every tile of a slide goes through the same transform object, and the transform maps each pixel by its
// colour alone, so two neighbouring tiles cannot disagree on a colour and no seam can appear at a border.
#include <histonorm/norm_base.h>
#include <histonorm/stain_params.h>

#include <array>
#include <memory>
#include <opencv2/core.hpp>
#include <string>
#include <string_view>

namespace histonorm::slide {

class TileTransform {
 public:
  TileTransform() = default;
  virtual ~TileTransform();
  TileTransform(const TileTransform&) = delete;
  TileTransform& operator=(const TileTransform&) = delete;
  TileTransform(TileTransform&&) = delete;
  TileTransform& operator=(TileTransform&&) = delete;

  // requires: bgrIn is CV_8UC3 (blue, green, red), non-empty.
  // ensures:  bgrOut is CV_8UC3 of bgrIn's size; each output pixel depends only on the colour of the input
  //           pixel at the same place. Safe to call from several threads at once. bgrOut may be bgrIn.
  virtual void Apply(const cv::Mat& bgrIn, cv::Mat& bgrOut) const = 0;

  // The same for pixels stored red, green, blue (as libvips holds them), written in that order.
  // requires: rgbIn is CV_8UC3, non-empty; rgbOut is CV_8UC3 of its size (its step may differ), not rgbIn.
  // ensures:  rgbOut holds the bytes of converting rgbIn to BGR, calling Apply and converting back. The
  //           default does just that; the transforms below do it without the conversions.
  virtual void ApplyRgb(const cv::Mat& rgbIn, cv::Mat& rgbOut) const;
};

// Copies every pixel unchanged: the plumbing's baseline (decode and re-encode).
class IdentityTransform final : public TileTransform {
 public:
  void Apply(const cv::Mat& bgrIn, cv::Mat& bgrOut) const override;
  void ApplyRgb(const cv::Mat& rgbIn, cv::Mat& rgbOut) const override;
};

// Maps each channel through its own table of 256 levels.
class ChannelTableTransform final : public TileTransform {
 public:
  // tables[c][v]: the output level of channel c (0 blue, 1 green, 2 red) for input level v.
  explicit ChannelTableTransform(const std::array<std::array<unsigned char, 256>, 3>& tables);
  void Apply(const cv::Mat& bgrIn, cv::Mat& bgrOut) const override;
  void ApplyRgb(const cv::Mat& rgbIn, cv::Mat& rgbOut) const override;

 private:
  cv::Mat table_;          // 1 x 256, CV_8UC3
  cv::Mat reversedTable_;  // the same with the channels in reverse order, for red, green, blue pixels
};

// What a normalisation method's transform is measured against: a target image or a saved target
// (one of the two), the stain method's colour model, and the threads used while measuring.
struct TransformTarget {
  cv::Mat image;            // a target image (8-bit BGR), or empty
  std::string savedPath;    // a saved target file (histonorm/saved_target.h), or empty
  std::string modelPath;    // the colour model of the stain method
  unsigned threads = 0;     // 0 = all cores
  StainParams stainParams;  // the stain method's thresholds
};

// The name MakeTileTransform accepts for the plain copy.
inline constexpr std::string_view kIdentityMethod = "Identity";

// ensures: for "Identity", an IdentityTransform; for a normalisation method, MakeFittedTransform's result.
// throws:  std::invalid_argument for a name that is neither; what MakeFittedTransform throws.
[[nodiscard]] std::unique_ptr<TileTransform> MakeTileTransform(std::string_view method,
                                                               const TransformTarget& target,
                                                               const cv::Mat& bgrSample);

// The normalisation of `method` with the given target, measured once on bgrSample (CV_8UC3) and
// applicable to every tile: a function of the colour, so tiles cannot seam.
// requires: exactly one of target.image and target.savedPath is given.
// throws:  std::invalid_argument for an unknown method or a missing or double target; ModelLoadError for a
//          colour model that cannot be used; TargetFileError for a bad saved target; std::runtime_error
//          when the saved target cannot be read or the target has no usable stain estimate.
[[nodiscard]] std::unique_ptr<TileTransform> MakeFittedTransform(std::string_view method,
                                                                 const TransformTarget& target,
                                                                 const cv::Mat& bgrSample);

// ensures: `norm` fitted on bgrSample (CNormBase::Fit) as a tile transform, independent of `norm`.
// throws:  what CNormBase::Fit throws.
[[nodiscard]] std::unique_ptr<TileTransform> FitTileTransform(const CNormBase& norm,
                                                              const cv::Mat& bgrSample);

}  // namespace histonorm::slide
