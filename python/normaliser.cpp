#include "normaliser.h"

#include <pybind11/stl.h>

#include <algorithm>
#include <array>
#include <cerrno>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <opencv2/imgproc.hpp>
#include <sstream>
#include <stdexcept>

#include "common/safe_save.h"
#include "histonorm/stain_params.h"
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

// Raises KeyboardInterrupt (or what a Python signal handler raised) between the images of a call
// over many images, so that Ctrl-C ends it after the image at hand rather than after the last one.
// Only the main thread runs signal handlers; elsewhere this costs a GIL hand-over and nothing more.
// requires: the GIL is released and no lock of a normaliser is held.
void StopIfInterrupted() {
  const py::gil_scoped_acquire gil;
  if (PyErr_CheckSignals() != 0) throw py::error_already_set();
}

// The images of fit's argument: the items of a list or tuple, or the argument itself; each may be
// one image or a batch. All are checked before any is used.
std::vector<RgbImages> FitImages(const py::object& images, bool channelsFirst) {
  std::vector<py::object> items;
  const bool sequence = py::isinstance<py::list>(images) || py::isinstance<py::tuple>(images);
  if (sequence) {
    for (const py::handle item : images) items.push_back(py::reinterpret_borrow<py::object>(item));
    if (items.empty()) throw std::invalid_argument("fit needs at least one image, got an empty sequence");
  } else {
    items.push_back(images);
  }
  std::vector<RgbImages> checked;
  checked.reserve(items.size());
  for (std::size_t i = 0; i < items.size(); ++i) {
    const std::string what = sequence ? "image " + std::to_string(i) : "image";
    checked.push_back(CheckRgbImages(items[i], channelsFirst, what.c_str()));
  }
  return checked;
}

// The pixels of every checked image, without copies where they are packed (only ever read).
// requires: the GIL need not be held.
std::vector<cv::Mat> PixelsOf(const std::vector<RgbImages>& images, unsigned threads) {
  std::vector<cv::Mat> pixels;
  for (const RgbImages& each : images) {
    for (const RgbView& view : each.views) {
      cv::Mat copy;
      pixels.push_back(RgbPixels(view, copy, threads));
    }
  }
  return pixels;
}

// One image made of all the sources' pixels: the image itself, the images stacked when their
// widths agree, else every image as one row side by side.
cv::Mat CombinedSource(const std::vector<cv::Mat>& sources) {
  if (sources.size() == 1) return sources.front();
  const bool sameWidth = std::all_of(sources.begin(), sources.end(),
                                     [&](const cv::Mat& each) { return each.cols == sources.front().cols; });
  cv::Mat combined;
  if (sameWidth) {
    cv::vconcat(sources, combined);
    return combined;
  }
  std::vector<cv::Mat> rows;
  rows.reserve(sources.size());
  for (const cv::Mat& each : sources) rows.push_back(each.reshape(0, 1));
  cv::hconcat(rows, combined);
  return combined;
}

}  // namespace

std::vector<std::string> MethodNames() {
  std::vector<std::string> names;
  names.reserve(kAllMethods.size());
  for (const Method method : kAllMethods) names.emplace_back(histonorm::MethodName(method));
  return names;
}

ParamsFile ReadParamsFile(const std::string& path) {
  std::error_code error;
  if (std::filesystem::is_directory(path, error)) {
    errno = EISDIR;
    ThrowFileError(path);
  }
  std::ifstream in(path);
  if (!in.is_open()) ThrowFileError(path);
  ParamsFile file{path, {}};
  try {
    ReadStainParams(in, file.values);
  } catch (const StainParamsError& e) {
    throw py::value_error("bad stain parameters file '" + path + "': " + e.what());
  }
  return file;
}

Normaliser::Normaliser(const std::string& method, std::optional<std::string> model, unsigned threads,
                       const py::object& log, std::optional<ParamsFile> params)
    : method_(method), model_(std::move(model)), threads_(threads), params_(std::move(params)), log_(log) {
  const Method parsed = ParseMethodOrThrow(method);
  if (parsed == Method::kBimodalDeconvRVM && (!model_ || model_->empty()))
    throw std::invalid_argument("method " + method + " needs a colour model file (model=...)");
  if (params_ && parsed != Method::kBimodalDeconvRVM)
    throw std::invalid_argument("params= sets the thresholds of BimodalDeconvRVM only, not of " + method);
  blank_ = MakeLibraryNormaliser();
  norm_ = blank_;
  log_.RaisePending();
}

std::unique_ptr<CNormBase> Normaliser::MakeLibraryNormaliser() const {
  Options options;
  options.colourModelPath = model_.value_or("");
  options.log = log_.Sink();
  options.threads = threads_;
  if (params_) options.stainParams = params_->values;
  try {
    return MakeNormaliser(ParseMethodOrThrow(method_), options);
  } catch (const ModelLoadError& e) {
    // The module's translator makes this an OSError; the message names the file.
    throw ModelLoadError("'" + model_.value_or("") + "': " + e.what());
  }
}

std::shared_ptr<const CNormBase> Normaliser::Current() const {
  const std::scoped_lock lock(current_);
  return norm_;
}

template <typename Change>
void Normaliser::Replace(bool fresh, Change&& change) {
  const std::scoped_lock writing(writer_);
  std::unique_ptr<CNormBase> made = (fresh ? blank_ : Current())->Copy();
  change(*made);
  std::shared_ptr<const CNormBase> changed = std::move(made);
  {
    const std::scoped_lock lock(current_);
    norm_.swap(changed);
  }
  // The replaced normaliser is released here, outside the lock, unless a call still works on it.
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

void Normaliser::Fit(const py::object& images, bool channelsFirst) {
  const std::vector<RgbImages> checked = FitImages(images, channelsFirst);
  Run([&] {
    const std::vector<cv::Mat> pixels = PixelsOf(checked, threads_);
    Replace(true, [&](CNormBase& fresh) {
      for (std::size_t i = 0; i < pixels.size(); ++i) {
        if (i > 0) StopIfInterrupted();  // the target is then unchanged
        fresh.CalcStats(pixels[i], ChannelOrder::kRgb);
      }
    });
  });
}

void Normaliser::PartialFit(const py::object& images, bool channelsFirst) {
  const std::vector<RgbImages> checked = FitImages(images, channelsFirst);
  Run([&] {
    const std::vector<cv::Mat> pixels = PixelsOf(checked, threads_);
    Replace(false, [&](CNormBase& copy) {
      for (const cv::Mat& image : pixels) copy.CalcStats(image, ChannelOrder::kRgb);
    });
  });
}

py::array_t<std::uint8_t> Normaliser::Transform(const py::handle& image, bool channelsFirst) {
  const RgbImages images = CheckRgbImages(image, channelsFirst, "image");
  py::array_t<std::uint8_t> result = ResultArray(images);
  const std::shared_ptr<const CNormBase> norm = Current();
  Run([&] {
    // The array's own memory when its pixels are packed (the result is a new array, so the input is
    // only read). Other strides are packed into the copy of the last such call on this thread: a
    // fresh one would cost a page fault per 4 KiB on every call.
    thread_local cv::Mat copy;
    for (std::size_t i = 0; i < images.views.size(); ++i) {
      if (i > 0) StopIfInterrupted();
      const cv::Mat input = RgbPixels(images.views[i], copy, threads_);
      cv::Mat output = ResultImage(result, images, i);
      norm->Norm(input, output, ChannelOrder::kRgb);
    }
  });
  return result;
}

std::shared_ptr<const FittedTransform> Normaliser::FitPacked(const std::vector<cv::Mat>& sources) {
  const cv::Mat source = CombinedSource(sources);
  // The library measures blue-green-red sources; the transform then maps pixels in either order.
  cv::Mat bgr;
  cv::cvtColor(source, bgr, cv::COLOR_RGB2BGR);
  return Current()->Fit(bgr);
}

std::unique_ptr<SourceTransform> Normaliser::FitSource(const py::object& images, bool channelsFirst) {
  const std::vector<RgbImages> checked = FitImages(images, channelsFirst);
  std::shared_ptr<const FittedTransform> transform;
  std::vector<cv::Mat> sources;
  Run([&] {
    for (const cv::Mat& image : PixelsOf(checked, threads_)) sources.push_back(image.clone());
    transform = FitPacked(sources);
  });
  return std::make_unique<SourceTransform>(std::move(transform), State(), std::move(sources));
}

bool Normaliser::Fitted() const { return Current()->HasUsableTarget(); }

std::string Normaliser::TargetText(const CNormBase& norm) {
  std::ostringstream text;
  SaveTarget(norm, text);
  return text.str();
}

void Normaliser::LoadTargetText(const std::string& text) {
  Replace(true, [&](CNormBase& fresh) {
    std::istringstream in(text);
    LoadTarget(fresh, in);
  });
}

void Normaliser::SaveTargetFile(const std::string& path) const {
  std::string text;
  Run([&] { text = TargetText(*Current()); });
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
    Run([&] { LoadTargetText(text); });
  } catch (const TargetFileUnreadable& e) {
    errno = e.SystemError();
    ThrowFileError(path);
  } catch (const TargetFileError& e) {
    throw py::value_error("bad target file '" + path + "': " + e.what());
  }
}

NormaliserState Normaliser::State() const {
  NormaliserState state{method_, model_, threads_, std::nullopt, params_};
  Run([&] {
    const std::shared_ptr<const CNormBase> norm = Current();
    if (norm->HasUsableTarget()) state.target = TargetText(*norm);
  });
  return state;
}

std::unique_ptr<Normaliser> Normaliser::FromState(const NormaliserState& state) {
  auto normaliser =
      std::make_unique<Normaliser>(state.method, state.model, state.threads, py::none(), state.params);
  if (state.target) normaliser->Run([&] { normaliser->LoadTargetText(*state.target); });
  return normaliser;
}

SourceTransform::SourceTransform(std::shared_ptr<const FittedTransform> transform, NormaliserState fittedWith,
                                 std::vector<cv::Mat> sources)
    : transform_(std::move(transform)), fittedWith_(std::move(fittedWith)), sources_(std::move(sources)) {}

py::array_t<std::uint8_t> SourceTransform::Apply(const py::handle& image, bool channelsFirst) const {
  const RgbImages images = CheckRgbImages(image, channelsFirst, "image");
  py::array_t<std::uint8_t> result = ResultArray(images);
  {
    const py::gil_scoped_release release;
    thread_local cv::Mat copy;
    for (std::size_t i = 0; i < images.views.size(); ++i) {
      if (i > 0) StopIfInterrupted();
      cv::Mat output = ResultImage(result, images, i);
      transform_->Apply(RgbPixels(images.views[i], copy, 1), output, ChannelOrder::kRgb);
    }
  }
  return result;
}

py::tuple SourceTransform::State() const {
  py::list sources;
  for (const cv::Mat& each : sources_) {
    py::array_t<std::uint8_t> array({py::ssize_t{each.rows}, py::ssize_t{each.cols}, py::ssize_t{3}});
    std::memcpy(array.mutable_data(), each.data, each.total() * each.elemSize());
    sources.append(array);
  }
  return py::make_tuple(StateToTuple(fittedWith_), sources);
}

std::unique_ptr<SourceTransform> SourceTransform::FromState(const py::tuple& saved) {
  if (saved.size() != 2 || !py::isinstance<py::tuple>(saved[0]) || !py::isinstance<py::list>(saved[1]))
    throw std::invalid_argument("not a pickled histonorm.Transform");
  const std::unique_ptr<Normaliser> normaliser = Normaliser::FromState(StateFromTuple(saved[0]));
  return normaliser->FitSource(saved[1], false);
}

namespace {

// The thresholds in a pickle: None, or (path, six numbers in the order of the file).
py::object ParamsToObject(const std::optional<ParamsFile>& params) {
  if (!params) return py::none();
  const StainParams& v = params->values;
  return py::make_tuple(
      params->path, py::make_tuple(v.probThreshold, v.blackThreshold, v.whiteThreshold, v.backgroundThreshold,
                                   v.foregroundThreshold, v.dotProductThreshold));
}

std::optional<ParamsFile> ParamsFromObject(const py::handle& saved) {
  if (saved.is_none()) return std::nullopt;
  const auto [path, values] = saved.cast<std::pair<std::string, std::array<float, 6>>>();
  const StainParams params{values[0], values[1], values[2], values[3], values[4], values[5]};
  if (!StainParamsProblem(params).empty()) throw py::cast_error();
  return ParamsFile{path, params};
}

}  // namespace

NormaliserState StateFromTuple(const py::tuple& saved) {
  try {
    // Four fields: pickled before thresholds could be given.
    if (saved.size() == 4 || saved.size() == 5) {
      return NormaliserState{saved[0].cast<std::string>(), saved[1].cast<std::optional<std::string>>(),
                             saved[2].cast<unsigned>(), saved[3].cast<std::optional<std::string>>(),
                             saved.size() == 5 ? ParamsFromObject(saved[4]) : std::nullopt};
    }
  } catch (const py::cast_error&) {  // falls through to the error below, in Python's words
  }
  throw std::invalid_argument("not a pickled histonorm.Normaliser");
}

py::tuple StateToTuple(const NormaliserState& state) {
  return py::make_tuple(state.method, state.model, state.threads, state.target, ParamsToObject(state.params));
}

}  // namespace histonorm::python
