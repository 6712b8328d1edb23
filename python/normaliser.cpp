#include "normaliser.h"

#include <cerrno>
#include <fstream>
#include <sstream>
#include <stdexcept>

#include "common/safe_save.h"
#include "image_buffer.h"

namespace py = pybind11;

namespace histonorm::python {

namespace {

Method ParseMethodOrThrow(const std::string& name) {
  if (const std::optional<Method> method = ParseMethod(name)) return *method;
  std::string known;
  for (const std::string& each : MethodNames()) known += (known.empty() ? "" : ", ") + each;
  throw std::invalid_argument("unknown method '" + name + "'; the methods are " + known);
}

[[noreturn]] void ThrowFileError(const std::string& path) {
  errno = errno != 0 ? errno : EIO;
  PyErr_SetFromErrnoWithFilename(PyExc_OSError, path.c_str());
  throw py::error_already_set();
}

// The images of fit's argument: the items of a list or tuple, or the argument itself.
std::vector<py::object> FitImages(const py::object& images) {
  std::vector<py::object> items;
  if (py::isinstance<py::list>(images) || py::isinstance<py::tuple>(images)) {
    for (const py::handle item : images) items.push_back(py::reinterpret_borrow<py::object>(item));
    if (items.empty()) throw std::invalid_argument("fit needs at least one image, got an empty sequence");
  } else {
    items.push_back(images);
  }
  return items;
}

}  // namespace

std::vector<std::string> MethodNames() {
  std::vector<std::string> names;
  names.reserve(kAllMethods.size());
  for (const Method method : kAllMethods) names.emplace_back(histonorm::MethodName(method));
  return names;
}

Normaliser::Normaliser(const std::string& method, std::optional<std::string> model, unsigned threads,
                       const py::object& log)
    : method_(method), model_(std::move(model)), threads_(threads), log_(log) {
  const Method parsed = ParseMethodOrThrow(method);
  if (parsed == Method::kBimodalDeconvRVM && (!model_ || model_->empty()))
    throw std::invalid_argument("method " + method + " needs a colour model file (model=...)");
  Options options;
  options.colourModelPath = model_.value_or("");
  options.log = log_.Sink();
  options.threads = threads;
  try {
    norm_ = MakeNormaliser(parsed, options);
  } catch (const ModelLoadError& e) {
    log_.DropPending();
    const std::string message = "cannot use the colour model '" + model_.value_or("") + "': " + e.what();
    PyErr_SetString(PyExc_OSError, message.c_str());
    throw py::error_already_set();
  }
  log_.RaisePending();
}

template <typename Work>
void Normaliser::Run(Work&& work) const {
  try {
    const py::gil_scoped_release release;
    work();
  } catch (...) {
    log_.DropPending();
    throw;
  }
  log_.RaisePending();
}

void Normaliser::Fit(const py::object& images) {
  const std::vector<py::object> items = FitImages(images);
  std::vector<RgbView> views;
  views.reserve(items.size());
  for (std::size_t i = 0; i < items.size(); ++i) {
    const std::string what = items.size() == 1 ? "image" : "image " + std::to_string(i);
    views.push_back(CheckRgbImage(items[i], what.c_str()));
  }
  Run([&] {
    // The arrays' own memory where their pixels are packed, else packed copies; only ever read.
    std::vector<cv::Mat> images;
    images.reserve(views.size());
    for (const RgbView& view : views) {
      cv::Mat copy;
      images.push_back(RgbPixels(view, copy, threads_));
    }
    const std::scoped_lock lock(mutex_);
    for (const cv::Mat& image : images) norm_->CalcStats(image, ChannelOrder::kRgb);
  });
}

py::array_t<std::uint8_t> Normaliser::Transform(const py::handle& image) {
  const RgbView view = CheckRgbImage(image, "image");
  py::array_t<std::uint8_t> result({py::ssize_t{view.rows}, py::ssize_t{view.cols}, py::ssize_t{3}});
  cv::Mat output(view.rows, view.cols, CV_8UC3, result.mutable_data());
  Run([&] {
    // The array's own memory when its pixels are packed (the result is a new array, so the input is
    // only read). Other strides are packed into the copy of the last such call on this thread: a
    // fresh one would cost a page fault per 4 KiB on every call.
    thread_local cv::Mat copy;
    const cv::Mat input = RgbPixels(view, copy, threads_);
    const std::scoped_lock lock(mutex_);
    norm_->Norm(input, output, ChannelOrder::kRgb);
  });
  return result;
}

bool Normaliser::Fitted() const {
  // Never wait for the lock while holding the GIL: its holder may be logging, which takes the GIL.
  bool fitted = false;
  Run([&] {
    const std::scoped_lock lock(mutex_);
    fitted = norm_->HasUsableTarget();
  });
  return fitted;
}

std::string Normaliser::TargetText() const {
  std::ostringstream text;
  SaveTarget(*norm_, text);
  return text.str();
}

void Normaliser::LoadTargetText(const std::string& text) {
  std::istringstream in(text);
  LoadTarget(*norm_, in);
}

void Normaliser::SaveTargetFile(const std::string& path) const {
  std::string text;
  Run([&] {
    const std::scoped_lock lock(mutex_);
    text = TargetText();
  });
  if (const SaveResult saved = ReplaceFile(path, text.data(), text.size()); !saved) {
    // errno is gone by now: the OSError carries the system's words and the file name.
    PyErr_SetObject(PyExc_OSError, py::make_tuple(py::none(), saved.Reason(), path).ptr());
    throw py::error_already_set();
  }
}

void Normaliser::LoadTargetFile(const std::string& path) {
  std::string text;
  try {
    text = ReadTargetFile(path);
    Run([&] {
      const std::scoped_lock lock(mutex_);
      LoadTargetText(text);
    });
  } catch (const TargetFileUnreadable& e) {
    errno = e.SystemError();
    ThrowFileError(path);
  } catch (const TargetFileError& e) {
    throw py::value_error("bad target file '" + path + "': " + e.what());
  }
}

NormaliserState Normaliser::State() const {
  NormaliserState state{method_, model_, threads_, std::nullopt};
  Run([&] {
    const std::scoped_lock lock(mutex_);
    if (norm_->HasUsableTarget()) state.target = TargetText();
  });
  return state;
}

std::unique_ptr<Normaliser> Normaliser::FromState(const NormaliserState& state) {
  auto normaliser = std::make_unique<Normaliser>(state.method, state.model, state.threads, py::none());
  if (state.target) {
    normaliser->Run([&] {
      const std::scoped_lock lock(normaliser->mutex_);
      normaliser->LoadTargetText(*state.target);
    });
  }
  return normaliser;
}

}  // namespace histonorm::python
