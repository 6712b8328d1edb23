#include "stain/colour_table.h"

#include <stdexcept>
#include <utility>

#include "common/parallel_for.h"

namespace histonorm {

namespace {
// Rows per thread below which splitting a pass costs more than it saves.
constexpr std::size_t kMinRowsPerThread = 64;

// The colour keys of a 1 x size BGR image.
std::vector<std::uint32_t> KeysOf(const cv::Mat& perColour, std::size_t size) {
  if (perColour.total() != size || (size > 0 && (perColour.type() != CV_8UC3 || !perColour.isContinuous()))) {
    throw std::invalid_argument("colour table: per-colour image of another size");
  }
  std::vector<std::uint32_t> keys(size);
  const std::uint8_t* p = size == 0 ? nullptr : perColour.ptr<std::uint8_t>(0);
  for (std::size_t c = 0; c < size; ++c, p += 3) keys[c] = ReadKey(p);
  return keys;
}
}  // namespace

ColourTable::ColourTable(const cv::Mat& image, unsigned threads)
    : width_(image.cols), height_(image.rows), index_(image, SIZE_MAX, threads) {
  ListColours();
}

ColourTable::ColourTable(ColourTable&& source, const cv::Mat& perColour, unsigned threads)
    : width_(source.width_),
      height_(source.height_),
      index_(std::move(source.index_), KeysOf(perColour, source.Size()), threads) {
  ListColours();
  source.width_ = 0;
  source.height_ = 0;
  source.colours_.release();
}

void ColourTable::ListColours() {
  const auto& keys = index_.Keys();
  if (keys.empty()) return;
  colours_.create(1, static_cast<int>(keys.size()), CV_8UC3);
  std::uint8_t* c = colours_.ptr<std::uint8_t>(0);
  for (const std::uint32_t key : keys) {
    *c++ = static_cast<std::uint8_t>(key);
    *c++ = static_cast<std::uint8_t>(key >> 8);
    *c++ = static_cast<std::uint8_t>(key >> 16);
  }
}

void ColourTable::Gather(const PixelPlanes& perColour, PixelPlanes& perPixel) const {
  if (perColour.PixelCount() != Size())
    throw std::invalid_argument("colour table: per-colour values of another size");
  perPixel.Resize(width_, height_);
  for (std::size_t i = 0; i < PixelCount(); ++i) {
    for (std::size_t k = 0; k < 3; ++k) perPixel[k][i] = perColour[k][ColourOf(i)];
  }
}

cv::Mat ColourTable::GatherBytes(const std::vector<std::uint8_t>& perColour) const {
  if (perColour.size() != Size())
    throw std::invalid_argument("colour table: per-colour bytes of another size");
  cv::Mat image(height_, width_, CV_8UC1);
  for (int y = 0; y < height_; ++y) {
    std::uint8_t* row = image.ptr<std::uint8_t>(y);
    const std::size_t start = static_cast<std::size_t>(y) * static_cast<std::size_t>(width_);
    for (int x = 0; x < width_; ++x) row[x] = perColour[ColourOf(start + static_cast<std::size_t>(x))];
  }
  return image;
}

void ColourTable::Scatter(const cv::Mat& perColour, cv::Mat& output, unsigned threads) const {
  if (perColour.type() != CV_8UC3 || perColour.total() != Size()) {
    throw std::invalid_argument("colour table: per-colour image of another size");
  }
  if (output.cols != width_ || output.rows != height_ || output.type() != CV_8UC3) {
    throw std::invalid_argument("colour table: output of another size or type");
  }
  if (Size() == 0) return;
  const std::uint8_t* results = perColour.ptr<std::uint8_t>(0);
  ParallelFor(
      static_cast<std::size_t>(height_), threads,
      [&](std::size_t begin, std::size_t end) {
        for (std::size_t y = begin; y < end; ++y) {
          std::uint8_t* out = output.ptr<std::uint8_t>(static_cast<int>(y));
          const std::uint32_t* colour = index_.PixelIndices().data() + y * static_cast<std::size_t>(width_);
          for (int x = 0; x < width_; ++x, out += 3) {
            const std::uint8_t* r = results + 3 * static_cast<std::size_t>(colour[x]);
            out[0] = r[0];
            out[1] = r[1];
            out[2] = r[2];
          }
        }
      },
      kMinRowsPerThread);
}

}  // namespace histonorm
