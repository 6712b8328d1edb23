#include "histonorm/log_sink.h"

#include <ostream>

namespace histonorm {

LogSink LogSink::To(std::ostream& out) {
  return LogSink([&out](std::string_view line) { out << line << std::endl; });
}

}  // namespace histonorm
