#pragma once
// The boundary between numpy images (RGB, any strides) and the library's images (BGR cv::Mat).
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

// requires: `view` comes from a live array (the GIL need not be held); `bgr` is CV_8UC3 of its size.
// ensures: every pixel of `bgr` holds the view's pixel with red and blue exchanged.
void CopyRgbToBgr(const RgbView& view, cv::Mat& bgr, unsigned threads);

// requires: `image` is CV_8UC3 (the GIL need not be held).
// ensures: the first and last byte of every pixel are exchanged in place.
void SwapRedBlue(cv::Mat& image, unsigned threads);

}  // namespace histonorm::python
