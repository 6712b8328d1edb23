// The two pixel transforms of CColourDeconv: image -> stain channels and stain channels -> image.
#include <algorithm>
#include <cmath>
#include <cstdint>
#include <stdexcept>
#include <string>

#include "common/image_colours.h"
#include "common/parallel_for.h"
#include "deconv/colour_deconv.h"

namespace histonorm {
namespace {

// Below this many pixels the channels are evaluated pixel by pixel; above it once per distinct
// colour, which pays off as soon as colours repeat.
constexpr std::size_t kDistinctColourMinPixels = std::size_t{1} << 14;
// Per-colour evaluation is used only when colours repeat at least this often on average.
constexpr std::size_t kMinRepeats = 4;
// Fewer pixels than this per thread are not worth starting a thread for.
constexpr std::size_t kMinPixelsPerThread = std::size_t{1} << 14;

// Calls body(px, index, count) for runs of pixels that together cover the image once, split over
// `threads`: px points at the pixel with dense index `index` (y * cols + x), and the run goes on for
// `count` pixels along its row.
template <typename Image, typename Body>
void ForEachRun(Image& image, unsigned threads, const Body& body) {
  const auto cols = static_cast<std::size_t>(image.cols);
  ParallelFor(
      image.total(), threads,
      [&](std::size_t begin, std::size_t end) {
        for (std::size_t i = begin; i < end;) {
          const std::size_t x = i % cols;
          const std::size_t n = std::min(end - i, cols - x);
          body(image.template ptr<std::uint8_t>(static_cast<int>(i / cols)) + 3 * x, i, n);
          i += n;
        }
      },
      kMinPixelsPerThread);
}

// Evaluates the three channel values of one colour. The per-byte products OD(byte) * Q[k][i] are
// precomputed: they are the same double products the per-pixel formula forms, so the results are
// identical to the last bit.
class ChannelEvaluator {
 public:
  ChannelEvaluator(const std::array<float, 256>& odTable, const Matrix3& inverse, double logScale)
      : logScale_(logScale) {
    for (std::size_t k = 0; k < 3; ++k) {
      for (std::size_t i = 0; i < 3; ++i) {
        for (std::size_t v = 0; v < 256; ++v)
          weighted_[k][i][v] = static_cast<double>(odTable[v]) * inverse[k][i];
      }
    }
  }

  // Stain k's channel value for the bytes red r, green g, blue b.
  float Value(std::size_t k, std::uint8_t r, std::uint8_t g, std::uint8_t b) const {
    const auto& w = weighted_[k];
    const double e = (((w[1][g] + w[0][r]) + w[2][b]) - 255.0) * logScale_ / -255.0;
    return static_cast<float>(std::exp(e) + 0.5);
  }

 private:
  double logScale_;
  std::array<std::array<std::array<double, 256>, 3>, 3> weighted_{};  // [stain][colour][byte]
};

void ChannelsPerPixel(const ChannelEvaluator& eval, const cv::Mat& image, StainChannelPlanes& channels,
                      unsigned threads) {
  ForEachRun(image, threads, [&](const std::uint8_t* px, std::size_t index, std::size_t count) {
    for (const std::size_t end = index + count; index < end; ++index, px += 3) {
      for (std::size_t k = 0; k < 3; ++k) channels[k][index] = eval.Value(k, px[2], px[1], px[0]);
    }
  });
}

void ChannelsPerDistinctColour(const ChannelEvaluator& eval, const ImageColours& colours,
                               StainChannelPlanes& channels) {
  const std::vector<std::uint32_t>& keys = colours.Keys();
  std::vector<std::array<float, 3>> values(keys.size());
  for (std::size_t c = 0; c < keys.size(); ++c) {
    const auto b = static_cast<std::uint8_t>(keys[c]);
    const auto g = static_cast<std::uint8_t>(keys[c] >> 8);
    const auto r = static_cast<std::uint8_t>(keys[c] >> 16);
    for (std::size_t k = 0; k < 3; ++k) values[c][k] = eval.Value(k, r, g, b);
  }
  const PixelIndexVector& colourOf = colours.PixelIndices();
  float* const plane0 = channels[0];
  float* const plane1 = channels[1];
  float* const plane2 = channels[2];
  for (std::size_t i = 0; i < colourOf.size(); ++i) {
    const std::array<float, 3>& v = values[colourOf[i]];
    plane0[i] = v[0];
    plane1[i] = v[1];
    plane2[i] = v[2];
  }
}

// Integer part of t for 0 <= t <= 255, 255 above, 0 for negative and not-a-number values.
std::uint8_t ToByte(double t) {
  if (t >= 0.0 && t <= 255.0) return static_cast<std::uint8_t>(t);
  if (t > 255.0) return 255;
  return 0;
}

}  // namespace

void CColourDeconv::ImageToChannels(const cv::Mat& image, StainChannelPlanes& channels) const {
  if (image.type() != CV_8UC3) throw std::invalid_argument("stain channels need an 8-bit 3-channel image");
  if (channels.width != image.cols || channels.height != image.rows ||
      channels.plane[0].size() != channels.PixelCount()) {
    channels.Resize(image.cols, image.rows);
  }
  const ChannelEvaluator eval(odTable_, inverseStains_, logScale_);
  // A single row is taken for a table of distinct colours (as the stain normaliser passes): indexing
  // its colours would find no repeats.
  if (channels.PixelCount() < kDistinctColourMinPixels || image.rows == 1) {
    ChannelsPerPixel(eval, image, channels, threads);
    return;
  }
  const ImageColours colours(image, channels.PixelCount() / kMinRepeats, threads);
  // With few repeats the scattered look-ups cost more than evaluating every pixel.
  if (!colours.Indexed()) {
    ChannelsPerPixel(eval, image, channels, threads);
  } else {
    ChannelsPerDistinctColour(eval, colours, channels);
  }
}

void CColourDeconv::ChannelsToImage(const StainChannelPlanes& channels, cv::Mat& image) const {
  RecombineWith(stains_, channels, image);
}

void CColourDeconv::ChannelsToImageKeepingResidual(const StainChannelPlanes& channels,
                                                   const CColourDeconv& own, cv::Mat& image) const {
  Matrix3 stains = stains_;
  for (std::size_t i = 0; i < 3; ++i) stains[i][2] = own.stains_[i][2];
  RecombineWith(stains, channels, image);
}

void CColourDeconv::RecombineWith(const Matrix3& s, const StainChannelPlanes& channels,
                                  cv::Mat& image) const {
  if (image.type() != CV_8UC3)
    throw std::invalid_argument("recombined stain channels need an 8-bit 3-channel image");
  if (channels.width != image.cols || channels.height != image.rows ||
      channels.plane[0].size() != channels.PixelCount() ||
      channels.plane[1].size() != channels.PixelCount() ||
      channels.plane[2].size() != channels.PixelCount()) {
    throw std::invalid_argument("stain channels of " + std::to_string(channels.width) + " x " +
                                std::to_string(channels.height) + " do not match an image of " +
                                std::to_string(image.cols) + " x " + std::to_string(image.rows));
  }
  const double logScale = logScale_;
  const float* const plane0 = channels[0];
  const float* const plane1 = channels[1];
  const float* const plane2 = channels[2];
  ForEachRun(image, threads, [&](std::uint8_t* px, std::size_t index, std::size_t count) {
    for (const std::size_t end = index + count; index < end; ++index, px += 3) {
      const double d0 = 255.0 - std::log(static_cast<double>(plane0[index])) * 255.0 / logScale;
      const double d1 = 255.0 - std::log(static_cast<double>(plane1[index])) * 255.0 / logScale;
      const double d2 = 255.0 - std::log(static_cast<double>(plane2[index])) * 255.0 / logScale;
      // Colour i is stored at byte 2 - i (blue, green, red).
      for (std::size_t i = 0; i < 3; ++i) {
        const double t =
            std::exp(((d1 * s[i][1] + d0 * s[i][0]) + d2 * s[i][2]) * logScale / -255.0) * 255.0 - 1.0;
        px[2 - i] = ToByte(t);
      }
    }
  });
}

}  // namespace histonorm
