// The per-pixel passes are compiled once per processor target (Highway's foreach_target re-includes
// this file); the rest of it once, under HWY_ONCE.
#undef HWY_TARGET_INCLUDE
#define HWY_TARGET_INCLUDE "common/image_colours.cpp"
// clang-format off
#include <hwy/foreach_target.h>  // IWYU pragma: keep
#include <hwy/highway.h>
// clang-format on

#include <atomic>
#include <bit>
#include <cstddef>
#include <cstdint>
#include <cstring>

#include "common/colour_key.h"
#include "common/wide_pixels-inl.h"

HWY_BEFORE_NAMESPACE();
namespace histonorm::HWY_NAMESPACE {
namespace hn = hwy::HWY_NAMESPACE;

// The bit set lies in 16-byte words: the 64 `seen` bits, then the 32-bit rank (common/image_colours.h);
// `words` is the address of the first word.

// Sets the bit of colour `key`; with `shared`, other threads set bits of the same words at the same
// time, so a bit not yet set is set atomically.
HWY_INLINE void SetWordBit(std::uint8_t* words, ColourKey key, bool shared) {
  const std::uint64_t bit = std::uint64_t{1} << (key & 63U);
  std::uint64_t& seen = *reinterpret_cast<std::uint64_t*>(words + 16 * std::size_t{key >> 6U});
  if (!shared) {
    seen |= bit;
    return;
  }
  std::atomic_ref<std::uint64_t> word(seen);
  if ((word.load(std::memory_order_relaxed) & bit) == 0) word.fetch_or(bit, std::memory_order_relaxed);
}

// The position of colour `key` among the colours whose bits are set.
HWY_INLINE std::uint32_t IndexOfKey(const std::uint8_t* words, ColourKey key) {
  std::uint64_t seen = 0;
  std::uint32_t rank = 0;
  std::memcpy(&seen, words + 16 * std::size_t{key >> 6U}, sizeof seen);
  std::memcpy(&rank, words + 16 * std::size_t{key >> 6U} + 8, sizeof rank);
  return rank + static_cast<std::uint32_t>(std::popcount(seen & ((std::uint64_t{1} << (key & 63U)) - 1U)));
}

// The keys of the next Lanes(d) pixels (there is at least one more pixel after them) as 64-bit lanes.
template <class D>
HWY_INLINE hn::Vec<D> KeysOf(D d, const std::uint8_t* pixels) {
  const hn::Rebind<std::uint32_t, D> d32;
  return hn::PromoteTo(d, hn::And(ReadPixelWords(d32, pixels), hn::Set(d32, 0xFFFFFFU)));
}

// Sets the bit of every colour of the n pixels at `p`, a vector of pixels at a time: the bits of all its
// colours are read at once, and only those not yet set are set one by one (in a large image almost
// every colour has been seen before). With `shared`, other threads set bits of the same words at the
// same time: a gathered word may be stale, but a bit seen set is set for good, and one seen clear is
// set atomically.
void MarkPixels(const std::uint8_t* p, std::size_t n, std::uint8_t* words, bool shared) {
  const hn::ScalableTag<std::uint64_t> d;
  const hn::RebindToSigned<decltype(d)> di;
  const std::size_t lanes = hn::Lanes(d);
  HWY_ALIGN std::uint64_t keys[hn::MaxLanes(d)];  // NOLINT(*-avoid-c-arrays): one vector
  std::size_t x = 0;
  for (; x + lanes < n; x += lanes) {  // a key reads 4 bytes: the last pixel is left to the plain loop
    const auto key = KeysOf(d, p + 3 * x);
    const auto bit = hn::Shl(hn::Set(d, 1), hn::And(key, hn::Set(d, 63)));
    const auto seen = hn::GatherIndex(d, reinterpret_cast<const std::uint64_t*>(words),
                                      hn::BitCast(di, hn::ShiftLeft<1>(hn::ShiftRight<6>(key))));
    const auto fresh = hn::Eq(hn::And(seen, bit), hn::Zero(d));
    if (hn::AllFalse(d, fresh)) continue;
    hn::Store(hn::IfThenElseZero(fresh, hn::Add(key, hn::Set(d, 1))), d, keys);
    for (std::size_t i = 0; i < lanes; ++i) {
      if (keys[i] != 0) SetWordBit(words, static_cast<ColourKey>(keys[i] - 1), shared);
    }
  }
  for (; x < n; ++x) SetWordBit(words, ReadKey(p + 3 * x), shared);
}

// Writes the colour index of each of the n pixels at `pixels` (each word's rank plus the number of
// colours seen below the key's bit) to `out`, 3 bytes each; `out` may be `pixels`.
void IndexOfPixels(const std::uint8_t* words, const std::uint8_t* pixels, std::size_t n, std::uint8_t* out) {
  const hn::ScalableTag<std::uint64_t> d;
  const hn::RebindToSigned<decltype(d)> di;
  const std::size_t lanes = hn::Lanes(d);
  HWY_ALIGN std::uint64_t indices[hn::MaxLanes(d)];  // NOLINT(*-avoid-c-arrays): one vector
  std::size_t x = 0;
  for (; x + lanes < n; x += lanes) {
    const auto key = KeysOf(d, pixels + 3 * x);
    const auto word = hn::BitCast(di, hn::ShiftLeft<1>(hn::ShiftRight<6>(key)));
    const auto* base = reinterpret_cast<const std::uint64_t*>(words);
    const auto seen = hn::GatherIndex(d, base, word);
    const auto rank =
        hn::And(hn::GatherIndex(d, base, hn::Add(word, hn::Set(di, 1))), hn::Set(d, 0xFFFFFFFFU));
    const auto below =
        hn::And(seen, hn::Sub(hn::Shl(hn::Set(d, 1), hn::And(key, hn::Set(d, 63))), hn::Set(d, 1)));
    hn::Store(hn::Add(rank, hn::PopulationCount(below)), d, indices);
    for (std::size_t i = 0; i < lanes; ++i)
      WriteKey(out + 3 * (x + i), static_cast<std::uint32_t>(indices[i]));
  }
  for (; x < n; ++x) WriteKey(out + 3 * x, IndexOfKey(words, ReadKey(pixels + 3 * x)));
}

}  // namespace histonorm::HWY_NAMESPACE
HWY_AFTER_NAMESPACE();

#if HWY_ONCE
#include <algorithm>
#include <array>
#include <atomic>
#include <bit>
#include <cstddef>
#include <stdexcept>
#include <utility>

#include "common/image_colours.h"
#include "common/parallel_for.h"

namespace histonorm {

HWY_EXPORT(MarkPixels);
HWY_EXPORT(IndexOfPixels);

namespace {
constexpr std::size_t kWords = (std::size_t{1} << 24) / 64;
// Rows per thread below which splitting the pixel passes costs more than it saves.
constexpr std::size_t kMinRowsPerThread = 64;
constexpr std::size_t kMinPixelsPerThread = std::size_t{1} << 16;
constexpr std::size_t kMinColoursPerThread = std::size_t{1} << 14;

// Sets the bit of every colour of rows [begin, end) of the image.
// With `wide`, through the processor's widest target; `shared` as for SetWordBit.
void MarkColours(const cv::Mat& image, std::size_t begin, std::size_t end, std::uint8_t* words, bool shared,
                 bool wide) {
  const auto cols = static_cast<std::size_t>(image.cols);
  for (std::size_t y = begin; y < end; ++y) {
    const auto* p = image.ptr<std::uint8_t>(static_cast<int>(y));
    if (wide) {
      HWY_DYNAMIC_DISPATCH(MarkPixels)(p, cols, words, shared);
      continue;
    }
    for (std::size_t x = 0; x < cols; ++x, p += 3) HWY_STATIC_DISPATCH(SetWordBit)(words, ReadKey(p), shared);
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
  MarkAll(image, threads, wide);
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
    MarkColours(image, 0, rows, SeenWords(), false, wide);
    return;
  }
  // Chunks of rows share the bit set; the bits set do not depend on the order.
  ParallelFor(rows, static_cast<unsigned>(chunks), [&](std::size_t begin, std::size_t end) {
    MarkColours(image, begin, end, SeenWords(), true, wide);
  });
}

void ImageColours::PackedIndices(const std::uint8_t* pixels, std::size_t n, std::uint8_t* indices,
                                 bool wide) const {
  if (wide) {
    HWY_DYNAMIC_DISPATCH(IndexOfPixels)
    (reinterpret_cast<const std::uint8_t*>(words_.data()), pixels, n, indices);
    return;
  }
  for (std::size_t x = 0; x < n; ++x, pixels += 3, indices += 3) WriteKey(indices, IndexOf(ReadKey(pixels)));
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
        *index = IndexOf(ReadKey(p));
        ++counts[*index];
      }
    }
  });
  for (const std::vector<std::uint32_t>& table : own) {
    for (std::size_t c = 0; c < table.size(); ++c) counts_[c] += table[c];
  }
}

}  // namespace histonorm
#endif  // HWY_ONCE
