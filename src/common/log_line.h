#pragma once
// One line for a LogSink, formatted from its parts with a default-formatted stream. Nothing is
// formatted when the sink drops its lines.
//
//   LogLine(log, "Vec: ", x, ",", y, ",", z);
#include <sstream>

#include "histonorm/log_sink.h"

namespace histonorm {

template <typename... Parts>
void LogLine(const LogSink& log, const Parts&... parts) {
  if (!log.Enabled()) return;
  std::ostringstream line;
  (line << ... << parts);
  log.Line(line.str());
}

}  // namespace histonorm
