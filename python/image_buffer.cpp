#include "image_buffer.h"

#include <cstring>
#include <limits>
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

// The view's pixels are packed 3-byte red, green, blue triples within each row.
bool PackedPixels(const RgbView& view) { return view.pixelStride == 3 && view.channelStride == 1; }

// Copies rows [begin, end) of the view into `packed`, keeping the channel order.
void CopyRows(const RgbView& view, cv::Mat& packed, std::size_t begin, std::size_t end) {
  for (std::size_t row = begin; row < end; ++row) {
    const std::uint8_t* in = view.data + static_cast<py::ssize_t>(row) * view.rowStride;
    auto* out = packed.ptr<std::uint8_t>(static_cast<int>(row));
    if (PackedPixels(view)) {
      std::memcpy(out, in, 3 * static_cast<std::size_t>(view.cols));
      continue;
    }
    for (int col = 0; col < view.cols; ++col, in += view.pixelStride, out += 3) {
      out[0] = in[0];
      out[1] = in[view.channelStride];
      out[2] = in[2 * view.channelStride];
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

cv::Mat RgbPixels(const RgbView& view, cv::Mat& buffer, unsigned threads) {
  // Rows that follow one another without overlapping can be described by a matrix step.
  const auto rowBytes = 3 * static_cast<py::ssize_t>(view.cols);
  if (PackedPixels(view) && (view.rows == 1 || view.rowStride >= rowBytes)) {
    // The matrix is handed on as const only: the library reads the array and never writes it.
    auto* data = const_cast<std::uint8_t*>(view.data);
    const std::size_t step =
        view.rows == 1 ? static_cast<std::size_t>(rowBytes) : static_cast<std::size_t>(view.rowStride);
    return {view.rows, view.cols, CV_8UC3, data, step};
  }
  buffer.create(view.rows, view.cols, CV_8UC3);
  ParallelFor(
      static_cast<std::size_t>(view.rows), threads,
      [&](std::size_t begin, std::size_t end) { CopyRows(view, buffer, begin, end); }, kMinRowsPerThread);
  return buffer;
}

}  // namespace histonorm::python
