#include "deconv/distinct_colours.h"

#include <bit>
#include <stdexcept>

namespace histonorm {
namespace {

constexpr std::size_t kWords = (std::size_t{1} << 24) / 64;

}  // namespace

DistinctColours::DistinctColours(const cv::Mat& image) : seen_(kWords, 0), rankBefore_(kWords, 0) {
  if (image.type() != CV_8UC3) throw std::invalid_argument("distinct colours need an 8-bit 3-channel image");
  for (int y = 0; y < image.rows; ++y) {
    const std::uint8_t* px = image.ptr<std::uint8_t>(y);
    for (int x = 0; x < image.cols; ++x, px += 3) {
      const std::uint32_t key = Key(px);
      seen_[key >> 6] |= std::uint64_t{1} << (key & 63);
    }
  }
  std::uint32_t rank = 0;
  for (std::size_t w = 0; w < kWords; ++w) {
    rankBefore_[w] = rank;
    rank += static_cast<std::uint32_t>(std::popcount(seen_[w]));
  }
  keys_.reserve(rank);
  for (std::size_t w = 0; w < kWords; ++w) {
    for (std::uint64_t bits = seen_[w]; bits != 0; bits &= bits - 1) {
      keys_.push_back(static_cast<std::uint32_t>(w * 64 + static_cast<std::size_t>(std::countr_zero(bits))));
    }
  }
}

}  // namespace histonorm
