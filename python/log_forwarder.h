#pragma once
// Hands the library's log lines to a Python callable or file-like object.
#include <pybind11/pybind11.h>

#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <vector>

#include "histonorm/log_sink.h"

namespace histonorm::python {

// The library logs while the GIL is released, possibly from its worker threads and while the
// normaliser's lock is held: lines are queued and handed to the target once the operation is over
// (RaisePending or DropPending, with the GIL held and no lock taken), so a target that uses its own
// Normaliser cannot wait for itself. An exception raised by the target is kept (later lines are
// dropped) and raised again by RaisePending, so it never crosses the library.
class LogForwarder {
 public:
  // requires: the GIL is held; `target` is None, a callable taking one str, or has a write(str)
  //   method (each line is then written followed by "\n").
  // throws: TypeError for anything else.
  explicit LogForwarder(const pybind11::object& target);

  // ensures: a sink that forwards to the target, or drops every line for None.
  [[nodiscard]] LogSink Sink() const;

  // requires: the GIL is held.
  // ensures: the queued lines are handed to the target; the first exception it raised since the
  //   last call is raised again, if any.
  void RaisePending() const;

  // requires: the GIL is held.
  // ensures: the queued lines are handed to the target and a kept exception is dropped (the
  //   operation failed for another reason).
  void DropPending() const;

  // The object given at construction (None when lines are dropped).
  [[nodiscard]] pybind11::object Target() const;

 private:
  struct State {
    pybind11::object target;
    pybind11::object write;  // the callable each line is passed to; None when lines are dropped
    std::mutex mutex;        // guards lines and error
    std::vector<std::string> lines;
    std::optional<pybind11::error_already_set> error;
  };
  static void Forward(State& state, std::string_view line);
  void Deliver() const;  // requires: the GIL is held

  std::shared_ptr<State> state_;
};

}  // namespace histonorm::python
