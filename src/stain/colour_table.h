#pragma once
// The distinct colours of an image, laid out as a one-row image, so that work that depends only on
// a pixel's colour (its stain channel values, their mapping and recombination) is done once per
// colour and then looked up for every pixel.
//
// Construction requires an 8-bit 3-channel BGR image (any row stride). Colours() holds each colour
// of the image once; the per-colour results of any pixel-wise operation on Colours() are spread back
// to the pixels with Gather (planes) or Scatter (images), which require the image the table was made
// from and results for Colours(). Memory: 4 bytes per pixel, 11 per distinct colour and a fixed
// 4 MiB of colour index. `threads` (0 = all cores) splits the per-pixel passes of construction and
// Scatter by rows; results do not depend on it.
#include <cstddef>
#include <cstdint>
#include <opencv2/core.hpp>
#include <vector>

#include "common/image_colours.h"
#include "common/pixel_planes.h"

namespace histonorm {

class ColourTable {
 public:
  explicit ColourTable(const cv::Mat& image, unsigned threads = 1);
  // The table of the image that source.Scatter(perColour, image) writes, made from the source's
  // index without visiting that image, in the source's memory (the source is left a table of no
  // pixels). Requires a continuous BGR perColour of source.Size() pixels (throws
  // std::invalid_argument otherwise).
  ColourTable(ColourTable&& source, const cv::Mat& perColour, unsigned threads = 1);

  // 1 x Size() BGR image of the distinct colours.
  const cv::Mat& Colours() const { return colours_; }
  std::size_t Size() const { return colours_.total(); }

  // Index in Colours() of the colour of the pixel with dense index i (y * width + x).
  std::uint32_t ColourOf(std::size_t i) const { return index_.PixelIndices()[i]; }
  std::size_t PixelCount() const { return index_.PixelIndices().size(); }
  // The image's distinct-colour index (Colours() holds its Keys() in order).
  const ImageColours& Index() const { return index_; }

  // Dense planes of the image's size holding, per pixel, the per-colour values of its colour.
  void Gather(const PixelPlanes& perColour, PixelPlanes& perPixel) const;
  // An 8-bit single-channel image of the image's size holding, per pixel, the per-colour byte
  // (Size() of them) of its colour.
  cv::Mat GatherBytes(const std::vector<std::uint8_t>& perColour) const;
  // Writes to every pixel of `output` (of the image's size) the per-colour result (a 1 x Size() BGR
  // image) of that pixel's colour. `output` may be the image itself.
  void Scatter(const cv::Mat& perColour, cv::Mat& output, unsigned threads = 1) const;

 private:
  // Lays out index_'s keys as colours_.
  void ListColours();

  int width_;
  int height_;
  ImageColours index_;
  cv::Mat colours_;
};

}  // namespace histonorm
