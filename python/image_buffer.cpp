#include "image_buffer.h"

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

void CopyRows(const RgbView& view, cv::Mat& bgr, std::size_t begin, std::size_t end) {
  const bool packed = view.pixelStride == 3 && view.channelStride == 1;
  for (std::size_t row = begin; row < end; ++row) {
    const std::uint8_t* in = view.data + static_cast<py::ssize_t>(row) * view.rowStride;
    auto* out = bgr.ptr<std::uint8_t>(static_cast<int>(row));
    if (packed) {
      for (int col = 0; col < view.cols; ++col, in += 3, out += 3) {
        out[0] = in[2];
        out[1] = in[1];
        out[2] = in[0];
      }
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
  if (!shaped || !array.dtype().is(py::dtype::of<std::uint8_t>())) {
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
        for (std::size_t row = begin; row < end; ++row) {
          auto* pixel = image.ptr<std::uint8_t>(static_cast<int>(row));
          for (int col = 0; col < image.cols; ++col, pixel += 3) std::swap(pixel[0], pixel[2]);
        }
      },
      kMinRowsPerThread);
}

}  // namespace histonorm::python
