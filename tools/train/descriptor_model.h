#pragma once
// The image descriptor model: normalised colour-code histograms of training images (or of their
// tiles), their mean, all 256 principal directions and the leading variances; and the descriptor of
// an image computed exactly as the classifier computes it from a model file.
//
// FitDescriptorModel requires at least requestedDims + 1 histograms and ensures a model whose kept
// components all have a variance clearly above zero (components with a vanishing variance would
// shrink every descriptor to zero). Directions and mean are rounded to single precision, as the
// classifier stores them.
#include <array>
#include <cstdint>
#include <opencv2/core.hpp>
#include <vector>

#include "classifier/octree.h"
#include "train/colour_quantiser.h"

namespace histonorm::train {

using CodeHistogram = std::array<float, 256>;

// Colour code of every pixel (32-bit signed, one channel). Requires an 8-bit, 3-channel image.
cv::Mat CodeImage(const cv::Mat& image, const OctTree& tree);

// Histogram of the codes 1..255 of a code image (or a view into one), each count divided by the
// single-precision total. All zeros when no pixel has a code.
CodeHistogram NormalisedHistogram(const cv::Mat& codes);

// A grid of tiles about `tileSide` pixels on a side covering an image (one tile for tileSide 0).
class TileGrid {
 public:
  TileGrid(cv::Size imageSize, int tileSide);
  int Count() const { return nx_ * ny_; }
  cv::Rect Tile(int index) const;  // tiles row by row
  int TileAt(int x, int y) const;  // index of the tile holding pixel (x, y)

 private:
  cv::Size size_;
  int nx_ = 1;
  int ny_ = 1;
};

// Histograms of the tiles of TileGrid(codes.size(), tileSide), in tile order.
std::vector<CodeHistogram> TileHistograms(const cv::Mat& codes, int tileSide);

struct DescriptorModel {
  std::array<float, 256> mean{};
  std::vector<double> directions;        // 65536 values: direction i is 256 i .. 256 i + 255
  std::vector<float> eigenvalues;        // variances of the kept components, largest first
  std::vector<double> leadingVariances;  // the requested number of variances before any was dropped
};

// Throws std::invalid_argument when requestedDims is negative or not below the histogram count.
DescriptorModel FitDescriptorModel(const std::vector<CodeHistogram>& histograms, int requestedDims);

// The descriptor (one value per kept component) of an image given its code image.
std::vector<double> Describe(const cv::Mat& codes, const DescriptorModel& model);

}  // namespace histonorm::train
