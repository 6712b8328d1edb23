#pragma once
// The set of distinct colours of an 8-bit BGR image, with a dense index per colour.
//
// A colour's key is blue | green << 8 | red << 16. Construction requires an 8-bit 3-channel image
// (any row stride) and ensures Keys() lists every colour of the image once, in ascending key
// order. IndexOf(key) requires a key of the image and gives its position in Keys(). Memory is a
// fixed 3 MiB of bit set and ranks plus 4 bytes per distinct colour.
#include <bit>
#include <cstdint>
#include <opencv2/core.hpp>
#include <vector>

namespace histonorm {

class DistinctColours {
 public:
  explicit DistinctColours(const cv::Mat& image);

  static std::uint32_t Key(const std::uint8_t* bgr) {
    return static_cast<std::uint32_t>(bgr[0]) | static_cast<std::uint32_t>(bgr[1]) << 8 |
           static_cast<std::uint32_t>(bgr[2]) << 16;
  }

  const std::vector<std::uint32_t>& Keys() const { return keys_; }

  std::uint32_t IndexOf(std::uint32_t key) const {
    const std::uint64_t word = seen_[key >> 6];
    const std::uint64_t below = word & ((std::uint64_t{1} << (key & 63)) - 1);
    return rankBefore_[key >> 6] + static_cast<std::uint32_t>(std::popcount(below));
  }

 private:
  std::vector<std::uint64_t> seen_;        // one bit per 24-bit colour
  std::vector<std::uint32_t> rankBefore_;  // colours seen in all earlier words
  std::vector<std::uint32_t> keys_;
};

}  // namespace histonorm
