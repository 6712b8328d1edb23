#pragma once
// The colour transform a slide is streamed through, tile by tile.
//
//   const auto transform = histonorm::slide::MakeTileTransform("Identity", {}, sample);
//   transform->Apply(tileIn, tileOut);
//
// Every tile of a slide goes through the same transform object, and the transform maps each pixel by its
// colour alone, so two neighbouring tiles cannot disagree on a colour and no seam can appear at a border.
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
};

// Copies every pixel unchanged: the plumbing's baseline (decode and re-encode).
class IdentityTransform final : public TileTransform {
 public:
  void Apply(const cv::Mat& bgrIn, cv::Mat& bgrOut) const override;
};

// Maps each channel through its own table of 256 levels.
class ChannelTableTransform final : public TileTransform {
 public:
  // tables[c][v]: the output level of channel c (0 blue, 1 green, 2 red) for input level v.
  explicit ChannelTableTransform(const std::array<std::array<unsigned char, 256>, 3>& tables);
  void Apply(const cv::Mat& bgrIn, cv::Mat& bgrOut) const override;

 private:
  cv::Mat table_;  // 1 x 256, CV_8UC3
};

// Where the transform's reference colours come from (one of the two, or neither for Identity).
struct TransformTarget {
  std::string imagePath;  // a target image
  std::string savedPath;  // a saved, already measured target
  std::string modelPath;  // the colour model of the stain method
};

// The name MakeTileTransform accepts for the plain copy.
inline constexpr std::string_view kIdentityMethod = "Identity";

// ensures: for "Identity", an IdentityTransform; for a normalisation method, MakeFittedTransform's result.
// throws:  std::invalid_argument for a name that is neither; what MakeFittedTransform throws.
[[nodiscard]] std::unique_ptr<TileTransform> MakeTileTransform(std::string_view method,
                                                               const TransformTarget& target,
                                                               const cv::Mat& bgrSample);

// The normalisation of `method`, measured once on bgrSample (CV_8UC3) and applicable to every tile.
// throws: std::runtime_error for now: the library does not yet split its methods into a measuring and a
//         colour-mapping step, and normalising each tile with its own statistics would make seams.
[[nodiscard]] std::unique_ptr<TileTransform> MakeFittedTransform(std::string_view method,
                                                                 const TransformTarget& target,
                                                                 const cv::Mat& bgrSample);

}  // namespace histonorm::slide
