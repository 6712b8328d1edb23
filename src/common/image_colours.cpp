#include "common/image_colours.h"

#include <algorithm>
#include <array>
#include <atomic>
#include <bit>
#include <cstddef>
#include <stdexcept>
#include <utility>

#include "common/packed_lookup.h"
#include "common/parallel_for.h"
#include "common/wide_pixels.h"

namespace histonorm {

namespace {
constexpr std::size_t kWords = (std::size_t{1} << 24) / 64;
// Rows per thread below which splitting the pixel passes costs more than it saves.
constexpr std::size_t kMinRowsPerThread = 64;
constexpr std::size_t kMinPixelsPerThread = std::size_t{1} << 16;
constexpr std::size_t kMinColoursPerThread = std::size_t{1} << 14;

// Sets the bit of colour `key`; with `Shared`, other threads set bits of the same words at the
// same time, so a bit not yet set is set atomically.
template <bool Shared, typename Word>
void SetBit(Word* words, std::uint32_t key) {
  const std::uint64_t bit = std::uint64_t{1} << (key & 63u);
  if constexpr (Shared) {
    std::atomic_ref<std::uint64_t> word(words[key >> 6].seen);
    if ((word.load(std::memory_order_relaxed) & bit) == 0) word.fetch_or(bit, std::memory_order_relaxed);
  } else {
    words[key >> 6].seen |= bit;
  }
}

template <bool Shared, typename Word>
void MarkRow(const std::uint8_t* p, std::size_t n, Word* words) {
  for (std::size_t x = 0; x < n; ++x, p += 3) SetBit<Shared>(words, ImageColours::Key(p));
}

#if defined(HISTONORM_HAS_WIDE_PIXELS)
HISTONORM_WIDE_CODE_BEGIN
// Eight keys' own bits within their words and the `seen` bits of those words (64-bit lanes).
struct KeyWords {
  __m512i bit;
  __m512i seen;
};

// The KeyWords of 8 keys given as their word numbers and bit positions (32-bit lanes), with the
// words 16 bytes apart.
template <typename Word>
HISTONORM_WIDE_PIXELS KeyWords GatherKeyWords(const Word* words, __m256i numbers, __m256i bits) {
  static_assert(sizeof(Word) == 16 && offsetof(Word, seen) == 0);
  return {_mm512_sllv_epi64(_mm512_set1_epi64(1), _mm512_cvtepu32_epi64(bits)),
          _mm512_i32gather_epi64(_mm256_slli_epi32(numbers, 1), words, 8)};
}

// The KeyWords of 16 keys (32-bit lanes): lanes 0-7 in `low`, 8-15 in `high`.
struct KeyWordHalves {
  KeyWords low;
  KeyWords high;
};

template <typename Word>
HISTONORM_WIDE_PIXELS KeyWordHalves GatherKeyWords(const Word* words, __m512i keys) {
  const __m512i numbers = _mm512_srli_epi32(keys, 6);
  const __m512i bits = _mm512_and_si512(keys, _mm512_set1_epi32(63));
  return {GatherKeyWords(words, _mm512_castsi512_si256(numbers), _mm512_castsi512_si256(bits)),
          GatherKeyWords(words, _mm512_extracti64x4_epi64(numbers, 1), _mm512_extracti64x4_epi64(bits, 1))};
}

// MarkRow 16 pixels at a time: the bits of all 16 colours are read at once, and only those not yet
// set are set one by one (in a large image almost every colour has been seen before). With
// `Shared`, the gathered words may be stale (other threads set bits meanwhile; each 8-byte word is
// read whole): a bit seen set is set for good, and one seen clear is checked again by SetBit.
template <bool Shared, typename Word>
HISTONORM_WIDE_PIXELS void MarkRowWide(const std::uint8_t* p, std::size_t n, Word* words) {
  for (std::size_t x = 0; x < n; x += 16, p += 48) {
    const std::size_t m = std::min<std::size_t>(16, n - x);
    const __m512i keys = LoadPixelLanes(p, PixelBytesMask(m));
    const KeyWordHalves w = GatherKeyWords(words, keys);
    const __mmask8 newLo = _mm512_testn_epi64_mask(w.low.seen, w.low.bit);
    const __mmask8 newHi = _mm512_testn_epi64_mask(w.high.seen, w.high.bit);
    std::uint32_t fresh = (static_cast<std::uint32_t>(newHi) << 8U | newLo) & ((1U << m) - 1U);
    if (fresh == 0) continue;
    alignas(64) std::array<std::uint32_t, 16> key{};
    _mm512_store_si512(key.data(), keys);
    for (; fresh != 0; fresh &= fresh - 1)
      SetBit<Shared>(words, key[static_cast<std::size_t>(std::countr_zero(fresh))]);
  }
}

// The colour indices of up to 16 keys of the image (in 32-bit lanes): each word's rank plus the
// number of colours seen below the key's bit.
template <typename Word>
HISTONORM_WIDE_PIXELS __m512i IndicesOfKeys(const Word* words, __m512i keys) {
  static_assert(offsetof(Word, rankBefore) == 8);
  const __m512i one = _mm512_set1_epi64(1);
  const __m512i rank = _mm512_i32gather_epi32(_mm512_slli_epi32(_mm512_srli_epi32(keys, 6), 2),
                                              reinterpret_cast<const std::uint8_t*>(words) + 8, 4);
  const KeyWordHalves w = GatherKeyWords(words, keys);
  const auto below = [one](const KeyWords& h) HISTONORM_WIDE_PIXELS {
    return _mm512_cvtepi64_epi32(_mm512_popcnt_epi64(_mm512_and_si512(h.seen, _mm512_sub_epi64(h.bit, one))));
  };
  return _mm512_add_epi32(rank, _mm512_inserti64x4(_mm512_castsi256_si512(below(w.low)), below(w.high), 1));
}

// PackedIndices 16 pixels at a time.
template <typename Word>
HISTONORM_WIDE_PIXELS void PackedIndicesWide(const Word* words, const std::uint8_t* pixels, std::size_t n,
                                             std::uint8_t* indices) {
  MapPixelLanes(pixels, n, indices, [words](__m512i keys, __mmask16) HISTONORM_WIDE_PIXELS {
    return IndicesOfKeys(words, keys);
  });
}
HISTONORM_WIDE_CODE_END
#endif

// Sets the bit of every colour of rows [begin, end) of the image.
template <bool Shared, typename Word>
void MarkColours(const cv::Mat& image, std::size_t begin, std::size_t end, Word* words, bool wide) {
  const auto cols = static_cast<std::size_t>(image.cols);
  for (std::size_t y = begin; y < end; ++y) {
    const auto* p = image.ptr<std::uint8_t>(static_cast<int>(y));
#if defined(HISTONORM_HAS_WIDE_PIXELS)
    if (wide) {
      MarkRowWide<Shared>(p, cols, words);
      continue;
    }
#endif
    MarkRow<Shared>(p, cols, words);
  }
}

// The number of row chunks ParallelFor makes of the image's rows for `threads`.
std::size_t RowChunks(const cv::Mat& image, unsigned threads) {
  const auto rows = static_cast<std::size_t>(image.rows);
  return std::max<std::size_t>(1, std::min<std::size_t>(ResolveThreadCount(threads),
                                                        std::max<std::size_t>(1, rows / kMinRowsPerThread)));
}

}  // namespace

ImageColours::ImageColours(const cv::Mat& image, std::size_t maxColours, unsigned threads, bool wide)
    : words_(kWords), total_(static_cast<std::size_t>(image.rows) * static_cast<std::size_t>(image.cols)) {
  MarkAll(image, threads, wide && WidePixelsAvailable());
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

void ImageColours::MarkAll(const cv::Mat& image, unsigned threads, bool wide) {
  const std::size_t chunks = RowChunks(image, threads);
  const auto rows = static_cast<std::size_t>(image.rows);
  if (chunks == 1) {
    MarkColours<false>(image, 0, rows, words_.data(), wide);
    return;
  }
  // Chunks of rows share the bit set; the bits set do not depend on the order.
  ParallelFor(rows, static_cast<unsigned>(chunks), [&](std::size_t begin, std::size_t end) {
    MarkColours<true>(image, begin, end, words_.data(), wide);
  });
}

void ImageColours::PackedIndices(const std::uint8_t* pixels, std::size_t n, std::uint8_t* indices,
                                 bool wide) const {
#if defined(HISTONORM_HAS_WIDE_PIXELS)
  if (wide && WidePixelsAvailable()) {
    PackedIndicesWide(words_.data(), pixels, n, indices);
    return;
  }
#endif
  for (std::size_t x = 0; x < n; ++x, pixels += 3, indices += 3)
    WritePackedIndex(indices, IndexOf(Key(pixels)));
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
