#pragma once
// The boundary between numpy images (RGB, any strides) and the library's images (cv::Mat).
#include <pybind11/numpy.h>

#include <opencv2/core.hpp>

namespace histonorm::python {

// A checked view of a numpy image: its first byte and its strides in bytes (any sign).
struct RgbView {
  const std::uint8_t* data = nullptr;
  int rows = 0;
  int cols = 0;
  pybind11::ssize_t rowStride = 0;
  pybind11::ssize_t pixelStride = 0;
  pybind11::ssize_t channelStride = 0;
};

// requires: the GIL is held.
// ensures: a view of `image` when it is a numpy array of shape (H, W, 3), dtype uint8, H, W >= 1.
// throws: TypeError (py::type_error) when `image` is not a numpy array; ValueError
//   (std::invalid_argument) naming the shape and dtype otherwise. `what` names the argument.
[[nodiscard]] RgbView CheckRgbImage(const pybind11::handle& image, const char* what);

// requires: `view` comes from a live array (the GIL need not be held).
// ensures: a CV_8UC3 matrix of the view's pixels in red, green, blue order. When the array's pixels
//   are packed (pixel stride 3, channel stride 1, rows in ascending order that do not overlap) it
//   is the array's own memory, which must then only be read; otherwise `buffer`, (re)allocated to
//   the view's size, holds one packed copy.
[[nodiscard]] cv::Mat RgbPixels(const RgbView& view, cv::Mat& buffer, unsigned threads);

}  // namespace histonorm::python
