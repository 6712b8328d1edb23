#include "image_buffer.h"

#include <algorithm>
#include <array>
#include <cstring>
#include <stdexcept>
#include <string>

#include "common/parallel_for.h"

namespace py = pybind11;

namespace histonorm::python {

namespace {

// Rows handed to one worker at least: below this, starting a thread costs more than the copy.
constexpr std::size_t kMinRowsPerThread = 64;

std::string DescribeArray(const py::array& array) {
  std::string shape = "(";
  for (py::ssize_t axis = 0; axis < array.ndim(); ++axis) {
    if (axis > 0) shape += ", ";
    shape += std::to_string(array.shape(axis));
  }
  if (array.ndim() == 1) shape += ",";
  return shape + ") dtype " + py::str(array.dtype()).cast<std::string>();
}

constexpr std::size_t kBlockBytes = 96;  // 32 pixels: whole pixels and whole 16- and 32-byte vectors
using ByteMask = std::array<std::uint8_t, kBlockBytes>;

constexpr ByteMask PixelByteMask(std::size_t byte) {
  ByteMask mask{};
  for (std::size_t j = 0; j < kBlockBytes; ++j) mask[j] = j % 3 == byte ? 0xFF : 0;
  return mask;
}
constexpr ByteMask kFirstByte = PixelByteMask(0);
constexpr ByteMask kMiddleByte = PixelByteMask(1);
constexpr ByteMask kLastByte = PixelByteMask(2);

// Copies `pixels` 3-byte pixels with the first and last byte exchanged. The conversion is as costly
// as a fast method's own work: in blocks of 32 pixels, output byte j takes input byte j + 2, j or
// j - 2 by a fixed mask, which the compiler turns into plain vector loads, ands and ors. The first
// pixel and the tail are copied one by one, so that no read leaves the row. On x86-64 an AVX2
// version is chosen at load time where the processor has it.
#if defined(__x86_64__) && defined(__GNUC__)
__attribute__((target_clones("avx2", "default")))
#endif
void ReverseTriples(const std::uint8_t* __restrict in, std::uint8_t* __restrict out, std::size_t pixels) {
  const std::size_t bytes = 3 * pixels;
  std::size_t j = 0;
  const auto oneByOne = [&](std::size_t end) {
    for (; j < end; j += 3) {
      out[j] = in[j + 2];
      out[j + 1] = in[j + 1];
      out[j + 2] = in[j];
    }
  };
  oneByOne(std::min<std::size_t>(bytes, 3));
  for (; j + kBlockBytes + 2 <= bytes; j += kBlockBytes) {
    const std::uint8_t* from = in + j;
    std::uint8_t* to = out + j;
    for (std::size_t k = 0; k < kBlockBytes; ++k) {
      to[k] = static_cast<std::uint8_t>((from[k + 2] & kFirstByte[k]) | (from[k] & kMiddleByte[k]) |
                                        (from[k - 2] & kLastByte[k]));
    }
  }
  oneByOne(bytes);
}

void CopyRows(const RgbView& view, cv::Mat& bgr, std::size_t begin, std::size_t end) {
  const bool packed = view.pixelStride == 3 && view.channelStride == 1;
  for (std::size_t row = begin; row < end; ++row) {
    const std::uint8_t* in = view.data + static_cast<py::ssize_t>(row) * view.rowStride;
    auto* out = bgr.ptr<std::uint8_t>(static_cast<int>(row));
    if (packed) {
      ReverseTriples(in, out, static_cast<std::size_t>(view.cols));
      continue;
    }
    for (int col = 0; col < view.cols; ++col, in += view.pixelStride, out += 3) {
      out[0] = in[2 * view.channelStride];
      out[1] = in[view.channelStride];
      out[2] = in[0];
    }
  }
}

}  // namespace

RgbView CheckRgbImage(const py::handle& image, const char* what) {
  if (!py::isinstance<py::array>(image)) {
    throw py::type_error(std::string(what) +
                         " must be a numpy array of shape (H, W, 3) and dtype uint8, not " +
                         py::str(py::type::handle_of(image).attr("__name__")).cast<std::string>());
  }
  const auto array = py::reinterpret_borrow<py::array>(image);
  const bool shaped = array.ndim() == 3 && array.shape(2) == 3 && array.shape(0) > 0 && array.shape(1) > 0;
  if (!shaped || array.dtype().kind() != 'u' || array.dtype().itemsize() != 1) {
    throw std::invalid_argument(std::string(what) +
                                " must be a non-empty RGB image of shape (H, W, 3) and dtype uint8, not " +
                                DescribeArray(array));
  }
  if (array.shape(0) > std::numeric_limits<int>::max() || array.shape(1) > std::numeric_limits<int>::max())
    throw std::invalid_argument(std::string(what) + " is too large: " + DescribeArray(array));
  return RgbView{static_cast<const std::uint8_t*>(array.data()),
                 static_cast<int>(array.shape(0)),
                 static_cast<int>(array.shape(1)),
                 array.strides(0),
                 array.strides(1),
                 array.strides(2)};
}

void CopyRgbToBgr(const RgbView& view, cv::Mat& bgr, unsigned threads) {
  ParallelFor(
      static_cast<std::size_t>(view.rows), threads,
      [&](std::size_t begin, std::size_t end) { CopyRows(view, bgr, begin, end); }, kMinRowsPerThread);
}

void SwapRedBlue(cv::Mat& image, unsigned threads) {
  ParallelFor(
      static_cast<std::size_t>(image.rows), threads,
      [&](std::size_t begin, std::size_t end) {
        // Blocks of pixels go through a small buffer on the stack, so that the copy can keep its
        // non-overlapping (vectorised) form.
        constexpr std::size_t kBlock = 256;
        std::array<std::uint8_t, 3 * kBlock> block{};
        for (std::size_t row = begin; row < end; ++row) {
          auto* pixels = image.ptr<std::uint8_t>(static_cast<int>(row));
          for (auto left = static_cast<std::size_t>(image.cols); left > 0;) {
            const std::size_t count = std::min(left, kBlock);
            std::memcpy(block.data(), pixels, 3 * count);
            ReverseTriples(block.data(), pixels, count);
            pixels += 3 * count;
            left -= count;
          }
        }
      },
      kMinRowsPerThread);
}

}  // namespace histonorm::python
