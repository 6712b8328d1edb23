#include "common/image_colours.h"

#include <algorithm>
#include <atomic>
#include <stdexcept>
#include <utility>

#include "common/parallel_for.h"

namespace histonorm {

namespace {
constexpr std::size_t kWords = (std::size_t{1} << 24) / 64;
// Rows per thread below which splitting the pixel passes costs more than it saves.
constexpr std::size_t kMinRowsPerThread = 64;
constexpr std::size_t kMinPixelsPerThread = std::size_t{1} << 16;
constexpr std::size_t kMinColoursPerThread = std::size_t{1} << 14;

// Sets the bit of every colour of rows [begin, end) of the image, on one thread.
template <typename Word>
void MarkColours(const cv::Mat& image, std::size_t begin, std::size_t end, Word* words) {
  for (std::size_t y = begin; y < end; ++y) {
    const auto* p = image.ptr<std::uint8_t>(static_cast<int>(y));
    for (int x = 0; x < image.cols; ++x, p += 3) {
      const std::uint32_t key = ImageColours::Key(p);
      words[key >> 6].seen |= std::uint64_t{1} << (key & 63u);
    }
  }
}

// The number of row chunks ParallelFor makes of the image's rows for `threads`.
std::size_t RowChunks(const cv::Mat& image, unsigned threads) {
  const auto rows = static_cast<std::size_t>(image.rows);
  return std::max<std::size_t>(1, std::min<std::size_t>(ResolveThreadCount(threads),
                                                        std::max<std::size_t>(1, rows / kMinRowsPerThread)));
}

}  // namespace

ImageColours::ImageColours(const cv::Mat& image, std::size_t maxColours, unsigned threads)
    : words_(kWords), total_(static_cast<std::size_t>(image.rows) * static_cast<std::size_t>(image.cols)) {
  MarkAll(image, threads);
  ListKeys(threads);
  if (keys_.size() > maxColours) return;
  IndexPixels(image, threads);
}

ImageColours::ImageColours(ImageColours&& source, std::span<const std::uint32_t> newKeys, unsigned threads)
    : words_(std::move(source.words_)),
      pixelIndices_(std::move(source.pixelIndices_)),
      total_(source.total_) {
  if (pixelIndices_.size() != total_ || newKeys.size() != source.keys_.size()) {
    throw std::invalid_argument("recoloured colour index: one new key per colour of an indexed image needed");
  }
  for (Word& word : words_) word.seen = 0;
  for (const std::uint32_t key : newKeys) words_[key >> 6].seen |= std::uint64_t{1} << (key & 63u);
  ListKeys(threads);
  // Source colour c becomes colour remap[c]; several source colours may merge into one.
  std::vector<std::uint32_t> remap(newKeys.size());
  ParallelFor(
      newKeys.size(), threads,
      [&](std::size_t begin, std::size_t end) {
        for (std::size_t c = begin; c < end; ++c) remap[c] = IndexOf(newKeys[c]);
      },
      kMinColoursPerThread);
  counts_.assign(keys_.size(), 0);
  for (std::size_t c = 0; c < newKeys.size(); ++c) counts_[remap[c]] += source.counts_[c];
  ParallelFor(
      total_, threads,
      [&](std::size_t begin, std::size_t end) {
        for (std::size_t i = begin; i < end; ++i) pixelIndices_[i] = remap[pixelIndices_[i]];
      },
      kMinPixelsPerThread);
  // The source keeps no colours and no pixels.
  source.keys_.clear();
  source.counts_.clear();
  source.total_ = 0;
}

void ImageColours::ListKeys(unsigned threads) {
  std::uint32_t rank = 0;
  for (Word& word : words_) {
    word.rankBefore = rank;
    rank += static_cast<std::uint32_t>(std::popcount(word.seen));
  }
  keys_.resize(rank);
  ParallelFor(
      kWords, threads,
      [this](std::size_t begin, std::size_t end) {
        for (std::size_t w = begin; w < end; ++w) {
          std::uint32_t* key = keys_.data() + words_[w].rankBefore;
          for (std::uint64_t bits = words_[w].seen; bits != 0; bits &= bits - 1) {
            *key++ = static_cast<std::uint32_t>(w * 64 + static_cast<std::size_t>(std::countr_zero(bits)));
          }
        }
      },
      kWords / 4);
}

void ImageColours::MarkAll(const cv::Mat& image, unsigned threads) {
  const std::size_t chunks = RowChunks(image, threads);
  const auto rows = static_cast<std::size_t>(image.rows);
  if (chunks == 1) {
    MarkColours(image, 0, rows, words_.data());
    return;
  }
  // Chunks of rows share the bit set: a bit not yet set is set atomically, and the bits set do not
  // depend on the order.
  ParallelFor(rows, static_cast<unsigned>(chunks), [&](std::size_t begin, std::size_t end) {
    for (std::size_t y = begin; y < end; ++y) {
      const auto* p = image.ptr<std::uint8_t>(static_cast<int>(y));
      for (int x = 0; x < image.cols; ++x, p += 3) {
        const std::uint32_t key = Key(p);
        const std::uint64_t bit = std::uint64_t{1} << (key & 63u);
        std::atomic_ref<std::uint64_t> word(words_[key >> 6].seen);
        if ((word.load(std::memory_order_relaxed) & bit) == 0) word.fetch_or(bit, std::memory_order_relaxed);
      }
    }
  });
}

void ImageColours::IndexPixels(const cv::Mat& image, unsigned threads) {
  const std::size_t chunks = RowChunks(image, threads);
  const auto rows = static_cast<std::size_t>(image.rows);
  const auto cols = static_cast<std::size_t>(image.cols);
  pixelIndices_.resize(total_);
  counts_.assign(keys_.size(), 0);
  // Each chunk counts its pixels in a table of its own (the first in counts_); the integer counts add
  // up to the same totals in any order.
  std::vector<std::vector<std::uint32_t>> own(chunks - 1);
  ParallelFor(chunks, static_cast<unsigned>(chunks), [&](std::size_t chunk, std::size_t) {
    std::uint32_t* counts = counts_.data();
    if (chunk != 0) {
      own[chunk - 1].assign(keys_.size(), 0);
      counts = own[chunk - 1].data();
    }
    const std::size_t begin = rows * chunk / chunks;
    std::uint32_t* index = pixelIndices_.data() + begin * cols;
    for (std::size_t y = begin; y < rows * (chunk + 1) / chunks; ++y) {
      const auto* p = image.ptr<std::uint8_t>(static_cast<int>(y));
      for (std::size_t x = 0; x < cols; ++x, p += 3, ++index) {
        *index = IndexOf(Key(p));
        ++counts[*index];
      }
    }
  });
  for (const std::vector<std::uint32_t>& table : own) {
    for (std::size_t c = 0; c < table.size(); ++c) counts_[c] += table[c];
  }
}

}  // namespace histonorm
