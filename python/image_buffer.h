#pragma once
// The boundary between Python images (numpy arrays, objects with __array__ or __dlpack__, single
// images or batches) and the library's images (cv::Mat).
#include <pybind11/numpy.h>

#include <opencv2/core.hpp>
#include <vector>

namespace histonorm::python {

// A checked view of one RGB image inside a numpy array: its first byte and its strides in bytes
// (any sign).
struct RgbView {
  const std::uint8_t* data = nullptr;
  int rows = 0;
  int cols = 0;
  pybind11::ssize_t rowStride = 0;
  pybind11::ssize_t pixelStride = 0;
  pybind11::ssize_t channelStride = 0;
};

// The images of one argument: `array` keeps their memory alive while `views` are used.
struct RgbImages {
  pybind11::array array;
  std::vector<RgbView> views;
  bool batch = false;  // a (N, H, W, 3) batch rather than one (H, W, 3) image
};

// requires: the GIL is held.
// ensures: the images of `image`: a numpy array as it is, a tensor through numpy.from_dlpack
//   (without a copy), anything else with __array__ or the array interface (a PIL image) through
//   numpy.asarray. A (H, W, 3) array gives one view; a (N, H, W, 3) batch with N >= 1 one per
//   image. With `channelsFirst` the array is (3, H, W) or (N, 3, H, W) and is read through a
//   transposed view.
// throws: TypeError (py::type_error) when `image` is none of those; ValueError
//   (std::invalid_argument) naming the shape and dtype for any other shape or dtype, or an empty
//   image or batch. `what` names the argument.
[[nodiscard]] RgbImages CheckRgbImages(const pybind11::handle& image, bool channelsFirst, const char* what);

// requires: `view` comes from a live array (the GIL need not be held).
// ensures: a CV_8UC3 matrix of the view's pixels in red, green, blue order. When the array's pixels
//   are packed (pixel stride 3, channel stride 1, rows in ascending order that do not overlap) it
//   is the array's own memory, which must then only be read; otherwise `buffer`, (re)allocated to
//   the view's size, holds one packed copy.
[[nodiscard]] cv::Mat RgbPixels(const RgbView& view, cv::Mat& buffer, unsigned threads);

// requires: the GIL is held.
// ensures: a new C-contiguous uint8 array for the results of `images`: (H, W, 3), or (N, H, W, 3)
//   for a batch, always channels last.
[[nodiscard]] pybind11::array_t<std::uint8_t> ResultArray(const RgbImages& images);

// ensures: the CV_8UC3 matrix over image `index` of an array made by ResultArray.
[[nodiscard]] cv::Mat ResultImage(pybind11::array_t<std::uint8_t>& result, const RgbImages& images,
                                  std::size_t index);

}  // namespace histonorm::python
