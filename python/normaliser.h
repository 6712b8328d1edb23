#pragma once
// histonorm.Normaliser: one library normaliser with its settings, usable from several Python
// threads at once; histonorm.Transform: a normalisation fitted once on a source and applied to any
// tile.
#include <pybind11/numpy.h>

#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <vector>

#include "histonorm/histonorm.h"
#include "log_forwarder.h"

namespace histonorm::python {

// The stain method's thresholds as given: the file named (params=) and what it held.
struct ParamsFile {
  std::string path;
  StainParams values;
};

// What a pickle carries: the settings and, once fitted, the saved target (JSON text). The
// thresholds travel as values, so the file need not exist where the pickle is loaded.
struct NormaliserState {
  std::string method;
  std::optional<std::string> model;
  unsigned threads = 0;
  std::optional<std::string> target;
  std::optional<ParamsFile> params;
};

// Reads a thresholds file in the format of the command line's params.txt.
// throws: OSError (with the file name) when it cannot be read; ValueError naming the file and line
//   for a value it refuses.
[[nodiscard]] ParamsFile ReadParamsFile(const std::string& path);

class SourceTransform;

// The fitted library normaliser is an immutable value held by a shared pointer: transform and
// fit_source take the current one (a pointer copy under `current_`, held for nothing else) and
// work on it with the GIL released, so calls on one Normaliser run at once, each using `threads`
// workers. fit, partial_fit and load_target build a new value beside it (from a copy, never a
// second read of the colour model) and swap it in when complete; they take turns under
// `writer_`, so no partial fit is lost, and a transform running meanwhile finishes on the value it
// started with. `writer_` is only taken with the GIL released (its holder may log, which queues).
class Normaliser {
 public:
  // requires: the GIL is held.
  // throws: ValueError for an unknown method name, or thresholds for a method that has none;
  //   OSError when the stain method's colour model cannot be used; TypeError for an unusable log
  //   object.
  Normaliser(const std::string& method, std::optional<std::string> model, unsigned threads,
             const pybind11::object& log, std::optional<ParamsFile> params = std::nullopt);

  // Replaces the target with the mean of one image, a batch, or every image of a list or tuple.
  // All images are checked and measured before the target changes: on failure it is unchanged.
  void Fit(const pybind11::object& images, bool channelsFirst);
  // Adds the images to the target. All images are checked before any is measured.
  void PartialFit(const pybind11::object& images, bool channelsFirst);
  // requires: fitted. ensures: a new array: one normalised image, or a batch of them.
  [[nodiscard]] pybind11::array_t<std::uint8_t> Transform(const pybind11::handle& image, bool channelsFirst);
  // requires: fitted. ensures: the transform measured on the images (one image made of all their
  //   pixels); it applied to the image equals Transform(image).
  [[nodiscard]] std::unique_ptr<SourceTransform> FitSource(const pybind11::object& images,
                                                           bool channelsFirst);

  void SaveTargetFile(const std::string& path) const;
  void LoadTargetFile(const std::string& path);

  [[nodiscard]] NormaliserState State() const;
  [[nodiscard]] static std::unique_ptr<Normaliser> FromState(const NormaliserState& state);

  [[nodiscard]] const std::string& MethodName() const { return method_; }
  [[nodiscard]] const std::optional<std::string>& Model() const { return model_; }
  [[nodiscard]] unsigned Threads() const { return threads_; }
  // The thresholds file given as params=, or none.
  [[nodiscard]] std::optional<std::string> ParamsPath() const {
    return params_ ? std::optional(params_->path) : std::nullopt;
  }
  [[nodiscard]] bool Fitted() const;
  [[nodiscard]] pybind11::object Log() const { return log_.Target(); }

 private:
  friend class SourceTransform;
  [[nodiscard]] std::unique_ptr<CNormBase> MakeLibraryNormaliser() const;
  // The normaliser calls work on now.
  [[nodiscard]] std::shared_ptr<const CNormBase> Current() const;
  // requires: the GIL is released. Builds a normaliser from a copy of the current one (or, with
  // `fresh`, of the one without target) changed by `change`, and makes it the current one.
  template <typename Change>
  void Replace(bool fresh, Change&& change);
  [[nodiscard]] static std::string TargetText(const CNormBase& norm);
  void LoadTargetText(const std::string& text);  // requires: the GIL is released
  // requires: the GIL is released. ensures: the transform measured on the packed RGB `sources`.
  [[nodiscard]] std::shared_ptr<const FittedTransform> FitPacked(const std::vector<cv::Mat>& sources);
  // Runs `work` with the GIL released, then raises what the log target raised meanwhile.
  template <typename Work>
  void Run(Work&& work) const;

  std::string method_;
  std::optional<std::string> model_;
  unsigned threads_;
  std::optional<ParamsFile> params_;
  LogForwarder log_;
  std::shared_ptr<const CNormBase> blank_;  // as made, without target
  std::shared_ptr<const CNormBase> norm_;   // guarded by current_
  mutable std::mutex current_;
  std::mutex writer_;
};

// histonorm.Transform: immutable, so any number of threads apply it at once without a lock. It
// keeps the normaliser's state and packed copies of the source images, from which a pickle rebuilds
// the same transform.
class SourceTransform {
 public:
  SourceTransform(std::shared_ptr<const FittedTransform> transform, NormaliserState fittedWith,
                  std::vector<cv::Mat> sources);

  // ensures: a new array: the transformed image, or batch, channels last.
  // throws: as Normaliser::Transform for an unsuitable image.
  [[nodiscard]] pybind11::array_t<std::uint8_t> Apply(const pybind11::handle& image,
                                                      bool channelsFirst) const;

  // The pickled form: (normaliser state, [source arrays]).
  [[nodiscard]] pybind11::tuple State() const;
  // throws: ValueError when `saved` is not such a state.
  [[nodiscard]] static std::unique_ptr<SourceTransform> FromState(const pybind11::tuple& saved);

  [[nodiscard]] const std::string& MethodName() const { return fittedWith_.method; }

 private:
  std::shared_ptr<const FittedTransform> transform_;
  NormaliserState fittedWith_;
  std::vector<cv::Mat> sources_;  // packed RGB copies
};

// The names of the four methods, in the library's order.
[[nodiscard]] std::vector<std::string> MethodNames();

// The normaliser state of a pickle. throws: ValueError when `saved` is not one.
[[nodiscard]] NormaliserState StateFromTuple(const pybind11::tuple& saved);
[[nodiscard]] pybind11::tuple StateToTuple(const NormaliserState& state);

}  // namespace histonorm::python
