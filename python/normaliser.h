#pragma once
// histonorm.Normaliser: one library normaliser with its settings, usable from several Python
// threads at once.
#include <pybind11/numpy.h>

#include <memory>
#include <mutex>
#include <optional>
#include <string>

#include "histonorm/histonorm.h"
#include "log_forwarder.h"

namespace histonorm::python {

// What a pickle carries: the settings and, once fitted, the saved target (JSON text).
struct NormaliserState {
  std::string method;
  std::optional<std::string> model;
  unsigned threads = 0;
  std::optional<std::string> target;
};

// The library's normaliser changes while it works (the stain method keeps per-image state), so
// every operation on it holds `mutex_`: concurrent calls on one Normaliser are safe and run one
// after the other, each using `threads` workers. Strided images are copied outside the lock. The
// lock is only ever taken with the GIL released (its holder may log, which takes the GIL).
class Normaliser {
 public:
  // requires: the GIL is held.
  // throws: ValueError for an unknown method name or invalid thresholds; OSError when the stain
  //   method's colour model cannot be used; TypeError for an unusable log object.
  Normaliser(const std::string& method, std::optional<std::string> model, unsigned threads,
             const pybind11::object& log);

  // Adds one image, or every image of a list or tuple, to the target. All images are checked
  // before any is measured.
  void Fit(const pybind11::object& images);
  [[nodiscard]] pybind11::array_t<std::uint8_t> Transform(const pybind11::handle& image);

  void SaveTargetFile(const std::string& path) const;
  void LoadTargetFile(const std::string& path);

  [[nodiscard]] NormaliserState State() const;
  [[nodiscard]] static std::unique_ptr<Normaliser> FromState(const NormaliserState& state);

  [[nodiscard]] const std::string& MethodName() const { return method_; }
  [[nodiscard]] const std::optional<std::string>& Model() const { return model_; }
  [[nodiscard]] unsigned Threads() const { return threads_; }
  [[nodiscard]] bool Fitted() const;
  [[nodiscard]] pybind11::object Log() const { return log_.Target(); }

 private:
  [[nodiscard]] std::string TargetText() const;  // requires: mutex_ held
  void LoadTargetText(const std::string& text);  // requires: mutex_ held
  // Runs `work` with the GIL released, then raises what the log target raised meanwhile.
  template <typename Work>
  void Run(Work&& work) const;

  std::string method_;
  std::optional<std::string> model_;
  unsigned threads_;
  LogForwarder log_;
  std::unique_ptr<CNormBase> norm_;
  mutable std::mutex mutex_;
};

// The names of the four methods, in the library's order.
[[nodiscard]] std::vector<std::string> MethodNames();

}  // namespace histonorm::python
