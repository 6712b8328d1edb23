#include "train/pixel_sampler.h"

#include <algorithm>
#include <array>
#include <stdexcept>
#include <utility>

namespace histonorm::train {

namespace {

template <typename T>
void Shuffle(std::vector<T>& items, SeededRandom& random) {
  for (std::size_t i = items.size(); i > 1; --i) std::swap(items[i - 1], items[random.Below(i)]);
}

// Labelled pixels of one image, grouped by label (1..4 become groups 0..3).
std::array<std::vector<LabelledPixel>, kLabelGroups> PixelsByClass(const cv::Mat& labels, int image) {
  if (labels.type() != CV_8UC1)
    throw std::invalid_argument("pixel sampling: labels are not 8-bit one-channel");
  std::array<std::vector<LabelledPixel>, kLabelGroups> byClass;
  for (int y = 0; y < labels.rows; ++y) {
    const std::uint8_t* row = labels.ptr<std::uint8_t>(y);
    for (int x = 0; x < labels.cols; ++x) {
      if (row[x] >= 1 && row[x] <= kLabelGroups) byClass[row[x] - 1u].push_back({image, x, y, row[x] - 1});
    }
  }
  return byClass;
}

}  // namespace

std::uint64_t SeededRandom::Next() {
  // splitmix64: small, fast and fully specified.
  std::uint64_t z = (state_ += 0x9E3779B97F4A7C15ull);
  z = (z ^ (z >> 30)) * 0xBF58476D1CE4E5B9ull;
  z = (z ^ (z >> 27)) * 0x94D049BB133111EBull;
  return z ^ (z >> 31);
}

PixelSample SamplePixels(const std::vector<cv::Mat>& labels, int perClass, std::uint64_t seed) {
  if (perClass <= 0) throw std::invalid_argument("pixel sampling: the sample count must be positive");
  SeededRandom random(seed);
  PixelSample sample;
  const auto wanted = static_cast<std::size_t>(perClass);
  for (std::size_t i = 0; i < labels.size(); ++i) {
    for (std::vector<LabelledPixel>& pixels : PixelsByClass(labels[i], static_cast<int>(i))) {
      // Only the first train + held pixels need their final places.
      const std::size_t train = std::min(wanted, pixels.size() - pixels.size() / 3);
      const std::size_t held = std::min(wanted, pixels.size() - train);
      for (std::size_t k = 0; k < train + held; ++k) {
        std::swap(pixels[k], pixels[k + random.Below(pixels.size() - k)]);
      }
      sample.training.insert(sample.training.end(), pixels.begin(), pixels.begin() + std::ptrdiff_t(train));
      sample.heldBack.insert(sample.heldBack.end(), pixels.begin() + std::ptrdiff_t(train),
                             pixels.begin() + std::ptrdiff_t(train + held));
    }
  }
  Shuffle(sample.training, random);
  return sample;
}

}  // namespace histonorm::train
