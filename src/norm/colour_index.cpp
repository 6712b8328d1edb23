#include "norm/colour_index.h"

#include <mutex>

#include "common/parallel_for.h"

namespace histonorm {

namespace {

constexpr std::size_t kWords = (std::size_t{1} << 24) / 64;

void MarkRows(const cv::Mat& image, std::size_t begin, std::size_t end, std::uint64_t* seen) {
  for (auto y = static_cast<int>(begin); y < static_cast<int>(end); ++y) {
    const auto* p = image.ptr<std::uint8_t>(y);
    for (int x = 0; x < image.cols; ++x, p += 3) {
      const std::uint32_t key = ColourIndex::Key(p);
      seen[key >> 6] |= std::uint64_t{1} << (key & 63U);
    }
  }
}

}  // namespace

ColourIndex::ColourIndex(const cv::Mat& image, unsigned threads) : words_(kWords) {
  MarkColours(image, threads);
  RankColours();
}

void ColourIndex::MarkColours(const cv::Mat& image, unsigned threads) {
  const auto rows = static_cast<std::size_t>(image.rows);
  std::vector<std::uint64_t> seen(kWords, 0);
  std::mutex merge;
  ParallelFor(
      rows, threads,
      [&](std::size_t begin, std::size_t end) {
        if (begin == 0 && end == rows) {
          MarkRows(image, begin, end, seen.data());
          return;
        }
        // Each chunk marks its own bit set; OR-ing them is independent of the order.
        std::vector<std::uint64_t> own(kWords, 0);
        MarkRows(image, begin, end, own.data());
        const std::scoped_lock lock(merge);
        for (std::size_t w = 0; w < kWords; ++w) seen[w] |= own[w];
      },
      MinRowsPerChunk(image.cols));
  for (std::size_t w = 0; w < kWords; ++w) words_[w].seen = seen[w];
}

void ColourIndex::RankColours() {
  std::uint32_t rank = 0;
  for (Word& word : words_) {
    word.rankBefore = rank;
    rank += static_cast<std::uint32_t>(std::popcount(word.seen));
  }
  keys_.resize(rank);
  std::uint32_t* key = keys_.data();
  for (std::size_t w = 0; w < kWords; ++w) {
    for (std::uint64_t bits = words_[w].seen; bits != 0; bits &= bits - 1) {
      *key++ = static_cast<std::uint32_t>(w * 64 + static_cast<std::size_t>(std::countr_zero(bits)));
    }
  }
}

}  // namespace histonorm
