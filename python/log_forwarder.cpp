#include "log_forwarder.h"

#include <string>
#include <vector>

namespace py = pybind11;

namespace histonorm::python {

LogForwarder::LogForwarder(const py::object& target) : state_(std::make_shared<State>()) {
  state_->target = target;
  state_->write = py::none();
  if (target.is_none()) return;
  if (py::hasattr(target, "write")) {
    py::object write = target.attr("write");
    state_->write = py::cpp_function([write](const std::string& line) { write(line + "\n"); });
  } else if (PyCallable_Check(target.ptr()) != 0) {
    state_->write = target;
  } else {
    throw py::type_error("log must be None, a callable taking one str, or a file-like object with write()");
  }
}

void LogForwarder::Forward(State& state, std::string_view line) {
  const std::scoped_lock lock(state.mutex);
  if (!state.error) state.lines.emplace_back(line);
}

void LogForwarder::Deliver() const {
  std::vector<std::string> lines;
  {
    const std::scoped_lock lock(state_->mutex);
    lines.swap(state_->lines);
  }
  for (const std::string& line : lines) {
    try {
      state_->write(py::str(line));
    } catch (py::error_already_set& e) {
      const std::scoped_lock lock(state_->mutex);
      if (!state_->error) state_->error = std::move(e);
      state_->lines.clear();
      return;
    }
  }
}

LogSink LogForwarder::Sink() const {
  if (state_->write.is_none()) return {};
  std::shared_ptr<State> state = state_;
  return LogSink([state](std::string_view line) { Forward(*state, line); });
}

void LogForwarder::RaisePending() const {
  Deliver();
  std::optional<py::error_already_set> error;
  {
    const std::scoped_lock lock(state_->mutex);
    error.swap(state_->error);
  }
  if (error) throw std::move(*error);
}

void LogForwarder::DropPending() const {
  Deliver();
  std::optional<py::error_already_set> error;
  {
    const std::scoped_lock lock(state_->mutex);
    error.swap(state_->error);
  }
}

py::object LogForwarder::Target() const { return state_->target; }

}  // namespace histonorm::python
