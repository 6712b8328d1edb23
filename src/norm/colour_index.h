#pragma once
// The distinct colours of an 8-bit BGR image, found by several threads, and the position of any of
// them among all: per-colour work can then be done once per colour and looked up per pixel.
//
// A colour's key is byte 0 + 256 x byte 1 + 65536 x byte 2 of the pixel as stored. Construction
// requires an 8-bit 3-channel image (any row stride) and ensures Keys() lists every colour of the
// image once in ascending key order, the same for every thread count. IndexOf(key) requires a key
// of the image and gives its position in Keys(). Memory: 4 MiB of bit set and ranks (plus 2 MiB
// per extra thread while building) and 4 bytes per distinct colour; nothing per pixel.
#include <algorithm>
#include <bit>
#include <cstddef>
#include <cstdint>
#include <opencv2/core.hpp>
#include <vector>

namespace histonorm {

class ColourIndex {
 public:
  // threads: 0 = all cores.
  ColourIndex(const cv::Mat& image, unsigned threads);

  [[nodiscard]] const std::vector<std::uint32_t>& Keys() const { return keys_; }

  static std::uint32_t Key(const std::uint8_t* pixel) {
    return static_cast<std::uint32_t>(pixel[0]) + 256U * pixel[1] + 65536U * pixel[2];
  }
  // Byte b (0, 1 or 2, as stored in the pixel) of a colour key.
  static std::uint8_t KeyByte(std::uint32_t key, int b) { return static_cast<std::uint8_t>(key >> (8 * b)); }

  [[nodiscard]] std::uint32_t IndexOf(std::uint32_t key) const {
    const Word& word = words_[key >> 6];
    const std::uint64_t below = word.seen & ((std::uint64_t{1} << (key & 63U)) - 1U);
    return word.rankBefore + static_cast<std::uint32_t>(std::popcount(below));
  }

 private:
  void MarkColours(const cv::Mat& image, unsigned threads);
  void RankColours();

  // 64 colours: one bit each, and the number of colours in all earlier words (side by side, so
  // that a look-up reads one cache line).
  struct alignas(16) Word {
    std::uint64_t seen = 0;
    std::uint32_t rankBefore = 0;
  };
  std::vector<Word> words_;
  std::vector<std::uint32_t> keys_;
};

// Rows per chunk so that a chunk of parallel per-pixel work holds at least about 64 Ki pixels: small
// images stay on the calling thread, where starting threads would cost more than it saves.
[[nodiscard]] inline std::size_t MinRowsPerChunk(int cols) {
  constexpr std::size_t kPixelsPerChunk = std::size_t{1} << 16;
  return std::max<std::size_t>(1, kPixelsPerChunk / static_cast<std::size_t>(std::max(1, cols)));
}

}  // namespace histonorm
