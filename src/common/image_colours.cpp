#include "common/image_colours.h"

#include <algorithm>
#include <stdexcept>

#include "common/parallel_for.h"

namespace histonorm {

namespace {
constexpr std::size_t kWords = (std::size_t{1} << 24) / 64;
// Rows per thread below which splitting the pixel passes costs more than it saves.
constexpr std::size_t kMinRowsPerThread = 64;
constexpr std::size_t kMinPixelsPerThread = std::size_t{1} << 16;

// Sets the bit of every colour of rows [begin, end) of the image.
void MarkColours(const cv::Mat& image, std::size_t begin, std::size_t end, std::uint64_t* seen) {
  for (std::size_t y = begin; y < end; ++y) {
    const auto* p = image.ptr<std::uint8_t>(static_cast<int>(y));
    for (int x = 0; x < image.cols; ++x, p += 3) {
      const std::uint32_t key = ImageColours::Key(p);
      seen[key >> 6] |= std::uint64_t{1} << (key & 63u);
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
    : seen_(kWords, 0),
      rankBefore_(kWords, 0),
      total_(static_cast<std::size_t>(image.rows) * static_cast<std::size_t>(image.cols)) {
  MarkAll(image, threads);
  ListKeys(threads);
  if (keys_.size() > maxColours) return;
  IndexPixels(image, threads);
}

ImageColours::ImageColours(const ImageColours& source, std::span<const std::uint32_t> newKeys,
                           unsigned threads)
    : seen_(kWords, 0), rankBefore_(kWords, 0), total_(source.total_) {
  if (!source.Indexed() || newKeys.size() != source.keys_.size()) {
    throw std::invalid_argument("recoloured colour index: one new key per colour of an indexed image needed");
  }
  for (const std::uint32_t key : newKeys) seen_[key >> 6] |= std::uint64_t{1} << (key & 63u);
  ListKeys(threads);
  // Source colour c becomes colour remap[c]; several source colours may merge into one.
  std::vector<std::uint32_t> remap(newKeys.size());
  counts_.assign(keys_.size(), 0);
  for (std::size_t c = 0; c < newKeys.size(); ++c) {
    remap[c] = IndexOf(newKeys[c]);
    counts_[remap[c]] += source.counts_[c];
  }
  pixelIndices_.resize(total_);
  ParallelFor(
      total_, threads,
      [&](std::size_t begin, std::size_t end) {
        for (std::size_t i = begin; i < end; ++i) pixelIndices_[i] = remap[source.pixelIndices_[i]];
      },
      kMinPixelsPerThread);
}

void ImageColours::ListKeys(unsigned threads) {
  std::uint32_t rank = 0;
  for (std::size_t w = 0; w < kWords; ++w) {
    rankBefore_[w] = rank;
    rank += static_cast<std::uint32_t>(std::popcount(seen_[w]));
  }
  keys_.resize(rank);
  ParallelFor(
      kWords, threads,
      [this](std::size_t begin, std::size_t end) {
        for (std::size_t w = begin; w < end; ++w) {
          std::uint32_t* key = keys_.data() + rankBefore_[w];
          for (std::uint64_t bits = seen_[w]; bits != 0; bits &= bits - 1) {
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
    MarkColours(image, 0, rows, seen_.data());
    return;
  }
  // Each chunk of rows marks its own bit set; the sets are then joined word by word.
  std::vector<std::vector<std::uint64_t>> extra(chunks - 1);
  ParallelFor(chunks, static_cast<unsigned>(chunks), [&](std::size_t begin, std::size_t end) {
    for (std::size_t chunk = begin; chunk < end; ++chunk) {
      std::uint64_t* seen = seen_.data();
      if (chunk > 0) {
        extra[chunk - 1].assign(kWords, 0);
        seen = extra[chunk - 1].data();
      }
      MarkColours(image, rows * chunk / chunks, rows * (chunk + 1) / chunks, seen);
    }
  });
  ParallelFor(kWords, static_cast<unsigned>(chunks), [&](std::size_t begin, std::size_t end) {
    for (const auto& other : extra) {
      for (std::size_t w = begin; w < end; ++w) seen_[w] |= other[w];
    }
  });
}

void ImageColours::IndexPixels(const cv::Mat& image, unsigned threads) {
  const std::size_t chunks = RowChunks(image, threads);
  const auto rows = static_cast<std::size_t>(image.rows);
  const auto cols = static_cast<std::size_t>(image.cols);
  pixelIndices_.resize(total_);
  // Each chunk of rows counts into its own table; the tables are added colour by colour (integer
  // sums, so the counts do not depend on the split).
  std::vector<std::vector<std::uint32_t>> counts(chunks);
  ParallelFor(chunks, static_cast<unsigned>(chunks), [&](std::size_t begin, std::size_t end) {
    for (std::size_t chunk = begin; chunk < end; ++chunk) {
      std::vector<std::uint32_t>& count = counts[chunk];
      count.assign(keys_.size(), 0);
      const std::size_t first = rows * chunk / chunks;
      std::uint32_t* index = pixelIndices_.data() + first * cols;
      for (std::size_t y = first; y < rows * (chunk + 1) / chunks; ++y) {
        const auto* p = image.ptr<std::uint8_t>(static_cast<int>(y));
        for (std::size_t x = 0; x < cols; ++x, p += 3, ++index) {
          *index = IndexOf(Key(p));
          ++count[*index];
        }
      }
    }
  });
  counts_ = std::move(counts[0]);
  ParallelFor(keys_.size(), static_cast<unsigned>(chunks), [&](std::size_t begin, std::size_t end) {
    for (std::size_t chunk = 1; chunk < chunks; ++chunk) {
      for (std::size_t c = begin; c < end; ++c) counts_[c] += counts[chunk][c];
    }
  });
}

}  // namespace histonorm
