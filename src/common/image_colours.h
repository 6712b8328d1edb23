#pragma once
// The distinct colours of an 8-bit BGR image with the number of pixels of each, and a dense index
// per colour, so that per-colour work is done once per colour instead of once per pixel.
//
// Colours are identified by their keys (common/colour_key.h: ReadKey of the pixel as stored). Construction
// requires an 8-bit 3-channel image (any row stride) or an empty one, and ensures Keys() lists every
// colour of the image once in ascending key order, with Counts() giving its number of pixels, and
// PixelIndices() giving, row after row without gaps, the position in Keys() of each pixel's colour.
// IndexOf(key) requires a key of the image and gives its position in Keys(). Memory: a fixed 4 MiB
// of bit set and ranks, 8 bytes per distinct colour and 4 bytes per pixel, whatever the threads
// (with maxColours = 0, only the colours are listed: no per-pixel memory).
//
// `threads` (0 = all cores) splits the pixel passes by rows; the result is the same for every count.
// With `wide` (the default), passes over pixels take a vector of pixels at a time, on the widest
// target the processor runs; the results are the same either way.
#include <bit>
#include <cstddef>
#include <cstdint>
#include <opencv2/core.hpp>
#include <span>
#include <vector>

#include "common/colour_key.h"
#include "common/mapped_allocator.h"

namespace histonorm {

// Per pixel, the position of its colour among the distinct colours.
using PixelIndexVector = std::vector<std::uint32_t, MappedAllocator<std::uint32_t>>;

class ImageColours {
 public:
  explicit ImageColours(const cv::Mat& image) : ImageColours(image, SIZE_MAX) {}
  // As above, but when the image has more than maxColours distinct colours, Counts() and
  // PixelIndices() are left empty (Indexed() is false): callers that only want a per-colour table
  // for images whose colours repeat can give up early and cheaply.
  ImageColours(const cv::Mat& image, std::size_t maxColours, unsigned threads = 1, bool wide = true);
  // The index of the image whose every pixel of colour source.Keys()[c] is recoloured to
  // newKeys[c], made without visiting the image and in the source's memory (the source is left
  // an index of no pixels): requires an indexed source and one new key per source colour (throws
  // std::invalid_argument otherwise). Equal to indexing that image.
  ImageColours(ImageColours&& source, std::span<const std::uint32_t> newKeys, unsigned threads = 1);

  bool Indexed() const { return pixelIndices_.size() == total_; }

  const std::vector<std::uint32_t>& Keys() const { return keys_; }
  const std::vector<std::uint32_t>& Counts() const { return counts_; }
  const PixelIndexVector& PixelIndices() const { return pixelIndices_; }

  // Writes IndexOf(ReadKey(pixel)) of each of the n pixels at `pixels` (3 bytes each; every one of a
  // colour of the image) to `indices`, 3 bytes each, low byte first. `indices` may be `pixels`.
  void PackedIndices(const std::uint8_t* pixels, std::size_t n, std::uint8_t* indices,
                     bool wide = true) const;

  std::uint32_t IndexOf(std::uint32_t key) const {
    const Word& word = words_[key >> 6];
    const std::uint64_t below = word.seen & ((std::uint64_t{1} << (key & 63u)) - 1u);
    return word.rankBefore + static_cast<std::uint32_t>(std::popcount(below));
  }

 private:
  // Sets the bit of every colour of the image.
  void MarkAll(const cv::Mat& image, unsigned threads, bool wide);
  // Fills pixelIndices_ and counts_ from keys_.
  void IndexPixels(const cv::Mat& image, unsigned threads);
  // Fills the ranks and keys_ from the bits.
  void ListKeys(unsigned threads);

  // 64 colours: one bit each, and the number of colours in all earlier words, side by side so that
  // a look-up reads one cache line.
  struct alignas(16) Word {
    std::uint64_t seen = 0;
    std::uint32_t rankBefore = 0;
  };
  std::vector<Word> words_;  // one bit per 24-bit colour
  // The words' bytes, for the passes that read them as pairs of 64-bit lanes (bits, rank).
  std::uint8_t* SeenWords() { return reinterpret_cast<std::uint8_t*>(words_.data()); }
  std::vector<std::uint32_t> keys_;
  std::vector<std::uint32_t> counts_;
  PixelIndexVector pixelIndices_;
  std::size_t total_ = 0;  // pixels of the image
};

}  // namespace histonorm
