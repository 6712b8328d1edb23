#pragma once
// Balanced, seeded choice of training and held-back pixels among the labelled pixels of a set of
// images.
//
// For every image and class, the labelled pixels are put in a random order drawn from the seed;
// the first ones (at most perClass) train, the next ones (at most perClass) are held back to measure
// the trained model. The two sets never share a pixel, and the same labels and seed always give the
// same choice.
#include <cstdint>
#include <opencv2/core.hpp>
#include <vector>

namespace histonorm::train {

// Groups of labelled pixels: class 0 (stain 0), 1 (stain 1), 2 (background), and 3 for pixels
// that carry both stains.
inline constexpr int kLabelGroups = 4;
inline constexpr int kBothStainsGroup = 3;

struct LabelledPixel {
  int image = 0;  // position in the training image list
  int x = 0;
  int y = 0;
  int label = 0;  // label group 0..3
};

struct PixelSample {
  std::vector<LabelledPixel> training;  // in a seeded random order
  std::vector<LabelledPixel> heldBack;
};

// A reproducible generator of 64-bit numbers (the same sequence on every platform).
class SeededRandom {
 public:
  explicit SeededRandom(std::uint64_t seed) : state_(seed) {}
  std::uint64_t Next();
  // A number in [0, n); requires n > 0.
  std::size_t Below(std::size_t n) { return static_cast<std::size_t>(Next() % n); }

 private:
  std::uint64_t state_;
};

// Requires 8-bit one-channel label masks (0 unlabelled, 1..4 label group + 1) and perClass > 0.
PixelSample SamplePixels(const std::vector<cv::Mat>& labels, int perClass, std::uint64_t seed);

}  // namespace histonorm::train
