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

// The argument as a numpy array: arrays as they are, tensors through DLPack (no copy), anything
// with __array__ or the array interface (PIL images) through numpy.asarray.
py::array AsArray(const py::handle& image, const char* what) {
  if (py::isinstance<py::array>(image)) return py::reinterpret_borrow<py::array>(image);
  const py::module_ numpy = py::module_::import("numpy");
  if (py::hasattr(image, "__dlpack__")) return numpy.attr("from_dlpack")(image);
  if (py::hasattr(image, "__array__") || py::hasattr(image, "__array_interface__") ||
      py::hasattr(image, "__array_struct__"))
    return numpy.attr("asarray")(image);
  throw py::type_error(
      std::string(what) +
      " must be a numpy array, a tensor or an image convertible to one (uint8, (H, W, 3)), not " +
      py::str(py::type::handle_of(image).attr("__name__")).cast<std::string>());
}

}  // namespace

RgbImages CheckRgbImages(const py::handle& image, bool channelsFirst, const char* what) {
  const py::array given = AsArray(image, what);
  const py::ssize_t dims = given.ndim();
  const bool rightDims = dims == 3 || dims == 4;
  // (N,) H, W, 3 whatever the layout: the channels moved last is a view, not a copy.
  const py::array array = channelsFirst && rightDims
                              ? py::array(py::module_::import("numpy").attr("moveaxis")(given, -3, -1))
                              : given;
  const py::ssize_t first = dims == 4 ? 1 : 0;  // the axis of the rows
  const bool shaped = rightDims && array.shape(first + 2) == 3 && array.shape(first) > 0 &&
                      array.shape(first + 1) > 0 && (dims == 3 || array.shape(0) > 0);
  if (!shaped || array.dtype().kind() != 'u' || array.dtype().itemsize() != 1) {
    throw std::invalid_argument(
        std::string(what) + " must be a non-empty RGB image of shape " +
        (channelsFirst ? "(3, H, W) or a batch (N, 3, H, W)" : "(H, W, 3) or a batch (N, H, W, 3)") +
        " and dtype uint8, not " + DescribeArray(given));
  }
  if (array.shape(first) > std::numeric_limits<int>::max() ||
      array.shape(first + 1) > std::numeric_limits<int>::max())
    throw std::invalid_argument(std::string(what) + " is too large: " + DescribeArray(given));
  RgbImages images{array, {}, dims == 4};
  const py::ssize_t count = dims == 4 ? array.shape(0) : 1;
  images.views.reserve(static_cast<std::size_t>(count));
  for (py::ssize_t n = 0; n < count; ++n) {
    images.views.push_back(
        RgbView{static_cast<const std::uint8_t*>(array.data()) + (dims == 4 ? n * array.strides(0) : 0),
                static_cast<int>(array.shape(first)), static_cast<int>(array.shape(first + 1)),
                array.strides(first), array.strides(first + 1), array.strides(first + 2)});
  }
  return images;
}

py::array_t<std::uint8_t> ResultArray(const RgbImages& images) {
  const RgbView& view = images.views.front();
  std::vector<py::ssize_t> shape{view.rows, view.cols, 3};
  if (images.batch) shape.insert(shape.begin(), static_cast<py::ssize_t>(images.views.size()));
  return py::array_t<std::uint8_t>(shape);
}

cv::Mat ResultImage(py::array_t<std::uint8_t>& result, const RgbImages& images, std::size_t index) {
  const RgbView& view = images.views.front();
  const std::size_t imageBytes =
      3 * static_cast<std::size_t>(view.rows) * static_cast<std::size_t>(view.cols);
  return {view.rows, view.cols, CV_8UC3, result.mutable_data() + index * imageBytes};
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
