#include "common/image_colours.h"

namespace histonorm {

namespace {
constexpr std::size_t kWords = (std::size_t{1} << 24) / 64;
}

ImageColours::ImageColours(const cv::Mat& image, std::size_t maxColours)
    : seen_(kWords, 0),
      rankBefore_(kWords, 0),
      total_(static_cast<std::size_t>(image.rows) * static_cast<std::size_t>(image.cols)) {
  for (int y = 0; y < image.rows; ++y) {
    const auto* p = image.ptr<std::uint8_t>(y);
    for (int x = 0; x < image.cols; ++x, p += 3) {
      const std::uint32_t key = Key(p);
      seen_[key >> 6] |= std::uint64_t{1} << (key & 63u);
    }
  }
  std::uint32_t rank = 0;
  for (std::size_t w = 0; w < kWords; ++w) {
    rankBefore_[w] = rank;
    for (std::uint64_t bits = seen_[w]; bits != 0; bits &= bits - 1) {
      keys_.push_back(static_cast<std::uint32_t>(w * 64 + static_cast<std::size_t>(std::countr_zero(bits))));
    }
    rank = static_cast<std::uint32_t>(keys_.size());
  }
  if (keys_.size() > maxColours) return;
  counts_.assign(keys_.size(), 0);
  pixelIndices_.resize(static_cast<std::size_t>(image.rows) * static_cast<std::size_t>(image.cols));
  std::uint32_t* index = pixelIndices_.data();
  for (int y = 0; y < image.rows; ++y) {
    const auto* p = image.ptr<std::uint8_t>(y);
    for (int x = 0; x < image.cols; ++x, p += 3, ++index) {
      *index = IndexOf(Key(p));
      ++counts_[*index];
    }
  }
}

}  // namespace histonorm
