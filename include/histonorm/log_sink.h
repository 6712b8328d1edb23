#pragma once
// Where the library's progress and statistics lines go. The library never writes to the console
// itself: every line it produces is handed to the LogSink its caller gave it.
//
//   histonorm::Options options;
//   options.log = histonorm::LogSink::To(std::cerr);  // each line followed by std::endl
//   histonorm::LogSink quiet;                         // the default: every line is dropped
//
// Lines are formatted with a fresh, default-formatted stream, so the settings of the caller's
// stream (precision, flags) never change what a line says.
#include <functional>
#include <iosfwd>
#include <string_view>
#include <utility>

namespace histonorm {

class LogSink {
 public:
  using LineWriter = std::function<void(std::string_view line)>;

  // ensures: Enabled() is false; every line is dropped.
  LogSink() = default;

  // requires: nothing (an empty writer drops every line).
  // ensures: every line is passed to `write`, in order, without a line end.
  explicit LogSink(LineWriter write) : write_(std::move(write)) {}

  // requires: `out` outlives every copy of the returned sink and is not written by another thread
  //   while the library logs.
  // ensures: every line is written to `out` followed by std::endl (so it is flushed).
  [[nodiscard]] static LogSink To(std::ostream& out);

  // ensures: true when lines reach a writer; callers may skip formatting a line otherwise.
  [[nodiscard]] bool Enabled() const { return static_cast<bool>(write_); }

  // ensures: `text` has been handed to the writer (or dropped).
  // throws: whatever the writer throws.
  void Line(std::string_view text) const {
    if (write_) write_(text);
  }

 private:
  LineWriter write_;
};

}  // namespace histonorm
